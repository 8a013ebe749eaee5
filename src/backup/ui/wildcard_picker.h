#pragma once

// "Edit Wildcard" (the shared pattern list) and "Select files by wildcard"
// (a folder from a tree plus a pattern).

#include <QDialog>
#include <QString>
#include <filesystem>
#include <functional>
#include <optional>

class QComboBox;
class QFileSystemModel;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QToolButton;
class QTreeView;

namespace zb {
class UserInteraction;
}

namespace zb::backup::ui {

// What the dialogs need from the program: the data folder holding
// "project.ini", the message interface, and the help opener (may be empty).
struct PickerContext {
  std::filesystem::path data_dir;
  UserInteraction* messages = nullptr;  // REQUIRES: non-null
  std::function<void(int)> show_help;
};

// "Edit Wildcard": edits the shared list. accept() writes it (a failed write
// is shown and the dialog stays open); Cancel writes nothing.
class TFormWildcard final : public QDialog {
  Q_OBJECT
 public:
  explicit TFormWildcard(PickerContext context, QWidget* parent = nullptr);

  void accept() override;

  void OnAddPattern();
  void OnDeletePattern();
  void OnClearPatterns();

 private:
  PickerContext context_;
  QListWidget* pattern_list_;
  QLineEdit* pattern_edit_;
};

// "Select files by wildcard": a folder tree and a pattern box. accept()
// refuses without a folder ("Please select a folder!").
class TFormselectbyfilter final : public QDialog {
  Q_OBJECT
 public:
  explicit TFormselectbyfilter(PickerContext context, QWidget* parent = nullptr);

  void accept() override;

  // Selects `folder` in the tree (as a click would) when it exists; an empty
  // `folder` clears the choice.
  void SelectFolder(const QString& folder);
  // The chosen folder and the list entry the dialog stands for.
  [[nodiscard]] QString SelectedFolder() const;
  [[nodiscard]] QString Entry() const;

  // Fills the pattern box from the stored list ("*.*" when it is empty).
  void LoadPatterns();
  // "Edit Wildcard": edits the shared list, then refills the pattern box.
  void OnEditPatterns();

 private:
  void ShowChosenFolder();

  PickerContext context_;
  QComboBox* pattern_box_;
  QLabel* folder_label_;
  QTreeView* folder_tree_;
  QFileSystemModel* model_;
};

// PickWildcardEntry shows TFormselectbyfilter modally and gives the entry
// ("/data/*.doc"), or nothing on Cancel.
[[nodiscard]] std::optional<QString> PickWildcardEntry(QWidget* parent,
                                                       const PickerContext& context);

// PickByWildcard: appends the chosen entry to `target` and selects the first
// item equal to it (case ignored). Returns whether an entry was added.
bool PickByWildcard(QWidget* parent, QListWidget* target, const PickerContext& context);

}  // namespace zb::backup::ui
