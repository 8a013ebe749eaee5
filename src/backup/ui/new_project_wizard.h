#pragma once

// The six-step "Add project wizard": name, files to back up, files to
// exclude, archive name and folder, options, schedule.

#include <QDialog>
#include <QStringList>
#include <filesystem>
#include <functional>

#include "backup/archive_naming.h"
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
class QToolButton;
class QComboBox;

namespace zb::shell {
class TFormMain;
}

namespace zb::backup {
struct BackupProject;
}

namespace zb::backup::ui {

struct WizardContext {
  PickerContext pickers;      // data folder, messages, help
  NamingOptions naming;       // "Is Append 0" and "Width"
  QStringList project_names;  // the list in memory, for the name check
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

  void btnNextClick();
  void btnBackClick();

 private:
  void BuildPages();
  void ShowStep(int step);
  [[nodiscard]] bool CheckStep(int step);
  void Finish();
  void UpdateFileName();
  void UpdateEnabling();
  void SpSelectDirectoryClick();

  WizardContext context_;
  QString save_folder_;
  QString stored_name_;

  QStackedWidget* pages_;
  QPushButton* btnBack_;
  QPushButton* btnNext_;
  // Step 1
  QLineEdit* comboproject_;
  // Step 2
  QListWidget* ListboxBackup_;
  QCheckBox* radioyes_;
  QCheckBox* CheckBoxAddNewer_;
  QDateEdit* DateTimePickerToday_;
  QTimeEdit* DateTimePickerTime_;
  QCheckBox* CheckBoxToday_;
  // Step 3
  QListWidget* ListBoxNobackup_;
  QLabel* LabelYesOrNo_;
  // Step 4
  QLineEdit* EditPrefix_;
  QRadioButton* RadioUseNone_;
  QRadioButton* RadioUseDate_;
  QRadioButton* RadioUserNumber_;
  QSpinBox* spinValue_;
  QSpinBox* SpinIncrease_;
  QLabel* Labelauto_;
  QLineEdit* EditFilename_;
  // Step 5
  QCheckBox* CheckBoxPassword_;
  QLabel* LabInput_;
  QLineEdit* EditPassword_;
  QLabel* LabConfirm_;
  QLineEdit* EditConfirmPassword_;
  QCheckBox* CheckBoxpath_;
  QCheckBox* CheckBoxcomment_;
  QLineEdit* Editcomment_;
  QSlider* TrackBar1_;
  QSpinBox* spStore_;
  // Step 6
  QRadioButton* radioNone_;
  QRadioButton* radioOnce_;
  QTimeEdit* DateTimePicker1_;
  QRadioButton* radioDaily_;
  QSpinBox* SpinEditNumber_;
  QLabel* minutes_label_;
  QRadioButton* radioWeekly_;
  QComboBox* cbWeekly_;
};

// The wizard for the main window's Add command. Returns true when a project
// was stored; the caller then runs window.LoadAppSettings(), which selects
// it. Errors of the store are shown through window.Ui() and give false.
bool RunNewProjectWizard(shell::TFormMain& window);

}  // namespace zb::backup::ui
