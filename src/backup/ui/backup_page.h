#pragma once

// The Backup page: shows the selected backup project, edits it, and carries
// the project commands of the toolbar, the manual, tray and scheduled runs
// and the schedule table's timer. The run itself is RunBackup of the core.

#include <QString>
#include <QWidget>
#include <functional>
#include <optional>

#include "backup/backup_project.h"
#include "backup/backup_run.h"
#include "base/date_time.h"
#include "schedule/schedule_table.h"

class QCheckBox;
class QComboBox;
class QDateEdit;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QRadioButton;
class QSlider;
class QSpinBox;
class QTimeEdit;
class QToolButton;

namespace zb {
class UserInteraction;
namespace shell {
class TFormMain;
}
}  // namespace zb

namespace zb::backup::ui {

class TBackupPage final : public QWidget {
  Q_OBJECT
 public:
  explicit TBackupPage(shell::TFormMain& window, QWidget* parent = nullptr);

  // Shows the project selected in the project box (nothing when none is).
  void LoadProjectPage();

  // The project commands of the toolbar.
  void SpNewClick();
  void SpEditClick();
  bool SpSaveClick();  // false when a check failed or nothing could be written
  void SpCancelClick();
  void SpRenameClick();
  void spCopyClick();
  void SpDeleteClick();
  // Create Backup for the shown project. `scheduled`: started by the timer,
  // so no question is asked and no message waits for a click.
  BackupRunResult SpStartClick(bool scheduled = false);
  // A tray "Backup Project" item: show that project and run it.
  void BackupProjectChosen(const QString& name);

  // The schedule table from the project box, the timer started or stopped.
  void RebuildSchedule();
  // One tick of the 30-second timer.
  void Timer1Timer();

  [[nodiscard]] bool Editing() const;
  [[nodiscard]] bool Running() const { return running_; }
  [[nodiscard]] const schedule::ScheduleTable& Schedule() const { return schedule_; }
  // The page's settings as Save would write them.
  [[nodiscard]] BackupProject PageProject() const;

  // Seams for tests: the clock of the schedule and the names, the question
  // for a new name (Rename, Copy) and the new-project wizard (true on
  // Finish).
  void SetClock(std::function<DateTime()> clock) { clock_ = std::move(clock); }
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
  QToolButton* ToolbarButton(const char* name) const;

  void SetEditMode(bool editing);
  void RefreshCommandStates();
  void OnBusyChanged(bool busy);
  void RadioSuffixClick();
  void RecomputeFileName();
  void PasswordClick();
  void CommentClick();
  void NewerClick();
  void radioNoneClick();
  void SpSelectDirectoryClick();
  // Fills every control from `p` (no project selection involved).
  void ShowProject(const BackupProject& p);
  // LoadProjectPage through the window's hook, so the pages that follow the
  // selected project come along.
  // False when it failed (the error was shown).
  bool ShowSelectedProject(bool scheduled = false);
  // A step of a start. By hand an error ends the command in its modal box;
  // a scheduled start must never wait for a click, so its error closes by
  // itself and leaves a "Fails" line for `project`.
  bool RunStartStep(bool scheduled, const QString& project, const std::function<void()>& step);
  // After a store: the boxes show what was written.
  void ShowStored(const BackupProject& stored);
  void ShowSchedule(const BackupProject& p);
  void ShowNewerThan(DateTime moment);
  [[nodiscard]] int SuffixChosen() const;
  [[nodiscard]] QString SelectedName() const;
  [[nodiscard]] std::vector<std::string> ProjectList() const;
  void FillProjectBox(const std::vector<std::string>& names, const std::string& selected);
  [[nodiscard]] DateTime NowMoment() const { return clock_ ? clock_() : Now(); }

  shell::TFormMain& window_;
  UserInteraction& ui_;
  schedule::ScheduleTable schedule_;
  std::function<DateTime()> clock_;
  NameAsker ask_name_;
  std::function<bool(QWidget*)> new_project_dialog_;
  bool editing_ = false;
  bool running_ = false;
  // The folder of the selected project's archives ("Save Path").
  std::string save_folder_;

  QGroupBox* GroupSource_ = nullptr;
  QGroupBox* GroupDes_ = nullptr;
  QGroupBox* GroupOption_ = nullptr;
  QGroupBox* GroupSche_ = nullptr;
  QListWidget* ListboxBackup_ = nullptr;
  QListWidget* ListBoxNobackup_ = nullptr;
  QCheckBox* radioyes_ = nullptr;
  QCheckBox* CheckBoxAddNewer_ = nullptr;
  QDateEdit* DateTimePickerToday_ = nullptr;
  QTimeEdit* DateTimePickerTime_ = nullptr;
  QCheckBox* CheckBoxToday_ = nullptr;
  QLineEdit* EditPrefix_ = nullptr;
  QRadioButton* RadioUseNone_ = nullptr;
  QRadioButton* RadioUseDate_ = nullptr;
  QRadioButton* RadioUserNumber_ = nullptr;
  QSpinBox* spinValue_ = nullptr;
  QLabel* Labelauto_ = nullptr;
  QSpinBox* SpinIncrease_ = nullptr;
  QLineEdit* EditFilename_ = nullptr;
  QCheckBox* CheckBoxPassword_ = nullptr;
  QLineEdit* EditPassword_ = nullptr;
  QLineEdit* EditConfirmPassword_ = nullptr;
  QCheckBox* CheckBoxpath_ = nullptr;
  QCheckBox* CheckBoxcomment_ = nullptr;
  QLineEdit* Editcomment_ = nullptr;
  QSlider* Trackbar1_ = nullptr;
  QSpinBox* LevelBox_ = nullptr;
  QSpinBox* spStore_ = nullptr;
  QRadioButton* radioNone_ = nullptr;
  QRadioButton* radioOnce_ = nullptr;
  QRadioButton* radioDaily_ = nullptr;
  QRadioButton* radioWeekly_ = nullptr;
  QTimeEdit* DateTimePicker1_ = nullptr;
  QSpinBox* SpinEditNumber_ = nullptr;
  QLabel* LabelMinutes_ = nullptr;
  QComboBox* cbWeekly_ = nullptr;
};

// Builds the page into the window's "Tabbackup" placeholder and fills the
// window's hooks.
void InstallBackupPage(shell::TFormMain& window);

}  // namespace zb::backup::ui
