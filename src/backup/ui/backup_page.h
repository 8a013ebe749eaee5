#pragma once

// The Backup page: shows the selected backup project, edits it, and serves
// the project commands of the toolbar and Create Backup for the project as
// the page shows it. The run itself is RunBackup of the core; runs of a
// stored project (tray items, the schedule) are the window's.

#include <QString>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "backup/backup_project.h"
#include "backup/backup_run.h"
#include "backup/ui/schedule_controls.h"
#include "base/date_time.h"

class QCheckBox;
class QDateEdit;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QRadioButton;
class QSlider;
class QSpinBox;
class QTimeEdit;

namespace zb {
class UserInteraction;
namespace app {
class PageHost;
}
}  // namespace zb

namespace zb::backup::ui {

class TBackupPage final : public QWidget {
  Q_OBJECT
 public:
  explicit TBackupPage(app::PageHost& host, QWidget* parent = nullptr);

  // Shows the selected project (nothing when none is) and makes the page
  // the active one. Throws when the project cannot be read.
  void LoadProjectPage();

  // The project commands of the toolbar.
  void OnAddProject();
  void OnEditProject();
  bool OnSaveProject();  // false when a check failed or nothing could be written
  void OnCancelEdit();
  void OnRenameProject();
  void OnCopyProject();
  void OnDeleteProject();
  // Create Backup for the project as the page shows it.
  BackupRunResult OnCreateBackup();
  // The archive name of a run in progress (Date mode names it by its time).
  void ShowArchiveName(const std::string& path);

  [[nodiscard]] bool Editing() const { return editing_; }
  // The page's settings as Save would write them.
  [[nodiscard]] BackupProject PageProject() const;

  // Seams for tests: the question for a new name (Rename, Copy) and the
  // new-project wizard (true on Finish).
  using NameAsker =
      std::function<std::optional<QString>(const QString& caption, const QString& initial)>;
  void SetNameAsker(NameAsker asker) { ask_name_ = std::move(asker); }
  void SetNewProjectDialog(std::function<bool(QWidget*)> dialog) {
    new_project_dialog_ = std::move(dialog);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Rename and Copy: ask for the name, run the store operation, show the
  // result. `store` is RenameProject or CopyProject.
  using NameStoreOperation =
      std::function<NameChange(const std::filesystem::path&, std::vector<std::string>&,
                               std::string_view, std::string_view, BackupProject&)>;
  void ChangeProjectName(const QString& caption, const QString& proposal,
                         const NameStoreOperation& store);
  void BuildSource(QGroupBox* group);
  void BuildDestination(QGroupBox* group);
  void BuildOptions(QGroupBox* group);
  void BuildSchedule(QGroupBox* group);

  void SetEditMode(bool editing);
  void OnSuffixChosen();
  void RecomputeFileName();
  void OnPasswordToggled();
  void OnCommentToggled();
  void UpdateNewerThanControls();
  void OnSelectSaveFolder();
  // Shows the selected project on every page that follows the selection.
  void ShowSelectedProject();
  // Fills every control from `p` (no project selection involved).
  void ShowProject(const BackupProject& p);
  // After a store: the boxes show what was written.
  void ShowStored(const BackupProject& stored);
  void ShowNewerThan(DateTime moment);
  [[nodiscard]] int SuffixChosen() const;

  app::PageHost& host_;
  UserInteraction& ui_;
  NameAsker ask_name_;
  std::function<bool(QWidget*)> new_project_dialog_;
  bool editing_ = false;
  // The folder of the selected project's archives ("Save Path").
  std::string save_folder_;

  QGroupBox* source_group_ = nullptr;
  QGroupBox* destination_group_ = nullptr;
  QGroupBox* options_group_ = nullptr;
  QGroupBox* schedule_group_ = nullptr;
  // Source
  QListWidget* include_list_ = nullptr;
  QListWidget* exclude_list_ = nullptr;
  QCheckBox* subfolders_box_ = nullptr;
  QCheckBox* newer_only_box_ = nullptr;
  QDateEdit* newer_date_edit_ = nullptr;
  QTimeEdit* newer_time_edit_ = nullptr;
  QCheckBox* use_last_date_box_ = nullptr;
  // Destination
  QLineEdit* prefix_edit_ = nullptr;
  QRadioButton* suffix_none_radio_ = nullptr;
  QRadioButton* suffix_date_radio_ = nullptr;
  QRadioButton* suffix_number_radio_ = nullptr;
  QSpinBox* next_number_spin_ = nullptr;
  QLabel* step_label_ = nullptr;
  QSpinBox* step_spin_ = nullptr;
  QLineEdit* file_name_edit_ = nullptr;
  // Options
  QCheckBox* password_box_ = nullptr;
  QLineEdit* password_edit_ = nullptr;
  QLineEdit* confirm_password_edit_ = nullptr;
  QCheckBox* store_path_box_ = nullptr;
  QCheckBox* comment_box_ = nullptr;
  QLineEdit* comment_edit_ = nullptr;
  QSlider* level_slider_ = nullptr;
  QSpinBox* level_spin_ = nullptr;
  QSpinBox* keep_count_spin_ = nullptr;
  ScheduleControls schedule_;
};

// Builds the page into `area` (the window's "Tabbackup" page) and fills the
// hooks it serves in `host`.
TBackupPage* InstallBackupPage(app::PageHost& host, QWidget* area);

}  // namespace zb::backup::ui
