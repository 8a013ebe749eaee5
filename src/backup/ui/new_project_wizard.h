#pragma once

// The six-step "Add project wizard": name, files to back up, files to
// exclude, archive name and folder, options, schedule.

#include <QDialog>
#include <QStringList>
#include <filesystem>
#include <functional>

#include "backup/archive_naming.h"
#include "backup/ui/schedule_controls.h"
#include "backup/ui/wildcard_picker.h"

class QCheckBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QSlider;
class QSpinBox;
class QStackedWidget;
class QTimeEdit;
class QComboBox;

namespace zb::app {
class PageHost;
}

namespace zb::backup {
struct BackupProject;
}

namespace zb::backup::ui {

struct WizardContext {
  PickerContext pickers;            // data folder, messages, help
  NamingOptions naming;             // "Is Append 0" and "Width"
  bool overwrite_existing = false;  // "IsOverWrite": a run may replace its archive
  QStringList project_names;        // the list in memory, for the name check
};

// The wizard dialog. Nothing is stored before Finish; Finish stores the
// project and appends it to the stored list, then closes with Accepted.
class TFormProjectName final : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kSteps = 6;

  explicit TFormProjectName(WizardContext context, QWidget* parent = nullptr);

  // The step shown, from 0.
  [[nodiscard]] int Step() const;
  // The project as the controls stand (what Finish would store).
  [[nodiscard]] BackupProject ProjectFromControls() const;
  // The stored name after a successful Finish.
  [[nodiscard]] QString StoredName() const { return stored_name_; }

  void OnNext();
  void OnBack();

 private:
  void BuildPages();
  void ShowStep(int step);
  [[nodiscard]] bool CheckStep(int step);
  void Finish();
  void UpdateFileName();
  void UpdateEnabledStates();
  void OnSelectSaveFolder();

  WizardContext context_;
  QString save_folder_;
  QString stored_name_;

  QStackedWidget* steps_;
  QPushButton* back_button_;
  QPushButton* next_button_;
  // Step 1
  QLineEdit* name_edit_;
  // Step 2
  QListWidget* include_list_;
  QCheckBox* subfolders_box_;
  QCheckBox* newer_only_box_;
  QDateEdit* newer_date_edit_;
  QTimeEdit* newer_time_edit_;
  QCheckBox* use_last_date_box_;
  // Step 3
  QListWidget* exclude_list_;
  QLabel* subfolders_label_;
  // Step 4
  QLineEdit* prefix_edit_;
  QRadioButton* suffix_none_radio_;
  QRadioButton* suffix_date_radio_;
  QRadioButton* suffix_number_radio_;
  QSpinBox* next_number_spin_;
  QSpinBox* step_spin_;
  QLabel* step_label_;
  QLineEdit* file_name_edit_;
  // Step 5
  QCheckBox* password_box_;
  QLabel* password_label_;
  QLineEdit* password_edit_;
  QLabel* confirm_label_;
  QLineEdit* confirm_password_edit_;
  QCheckBox* store_path_box_;
  QCheckBox* comment_box_;
  QLineEdit* comment_edit_;
  QSlider* level_slider_;
  QSpinBox* keep_count_spin_;
  // Step 6
  ScheduleControls schedule_;
};

// The wizard for the Add command, over `parent`, with the window's data
// folder, messages, naming settings and project list. Returns true when a
// project was stored; the caller then reloads the settings, which selects
// it.
bool RunNewProjectWizard(app::PageHost& host, QWidget* parent);

}  // namespace zb::backup::ui
