#pragma once

#include <QMainWindow>
#include <QString>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/activity_log.h"
#include "app/app_settings.h"
#include "app/run_progress.h"
#include "app/ui/page_host.h"
#include "schedule/schedule_table.h"

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QProgressBar;
class QSystemTrayIcon;
class QTabWidget;
class QTableView;
class QToolButton;
class QUrl;

namespace zb {
class UserInteraction;
}

namespace zb::shell {

class LogGridModel;
class TScheduler;

// The main window: toolbar with the project box, the four pages, the
// progress strip, the "Menu" drop-down and the notification-area icon; owner
// of the settings, the activity log and the schedule for the life of the
// program. It runs stored projects itself (the tray's project items, the
// schedule); the pages reach it only through app::PageHost.
class TFormMain final : public QMainWindow, public app::PageHost {
  Q_OBJECT
 public:
  struct Options {
    std::filesystem::path data_dir;
    // Questions and messages; the Qt message boxes when null (not owned).
    UserInteraction* ui = nullptr;
    // Where the user guide lives; the program folder's "help" when empty.
    std::filesystem::path help_dir;
    // Overrides the desktop's answer to "is there a notification area".
    std::optional<bool> tray_available;
    // Opens help pages and web addresses; the desktop's browser when empty.
    std::function<bool(const QUrl&)> open_url;
    // Builds the Backup, Restore and Synchronize pages into their areas
    // (PageArea) and fills Hooks(); called once from the constructor,
    // before the settings are loaded.
    std::function<void(TFormMain&)> install_pages;
  };

  explicit TFormMain(Options options, QWidget* parent = nullptr);
  ~TFormMain() override;

  // --- app::PageHost ---
  [[nodiscard]] app::PageHooks& Hooks() override { return hooks_; }
  [[nodiscard]] const std::filesystem::path& DataDir() const override { return data_dir_; }
  [[nodiscard]] app::AppSettings& Settings() override { return settings_; }
  [[nodiscard]] UserInteraction& Ui() override { return *ui_; }
  // Opens the user guide at a help context (0 = its start).
  void ShowHelp(int context) override;
  [[nodiscard]] DateTime Now() const override;
  // A close asked for during the busy state is carried out when it ends.
  void SetBusy(bool on) override { SetBusy(on, app::BusyStyle{}); }
  void SetBusy(bool on, const app::BusyStyle& style) override;
  [[nodiscard]] bool Busy() const override { return busy_; }
  [[nodiscard]] app::RunProgress ProgressHooks() override { return ProgressHooks({}); }
  [[nodiscard]] app::RunProgress ProgressHooks(const app::BusyStyle& style) override;
  // The window rereads log.txt with LoadLog after the run.
  [[nodiscard]] std::unique_ptr<app::ActivityLog> OpenRunLog() const override;
  void LoadLog() override;
  [[nodiscard]] std::vector<std::string> ProjectNames() const override;
  [[nodiscard]] std::string SelectedProject() const override;
  void SelectProject(const std::string& name) override;
  void ProjectListChanged(const std::vector<std::string>& names,
                          const std::string& selected) override;
  void ProjectSaved() override;
  void ReloadSettings() override { LoadAppSettings(); }
  void SetEditing(bool editing) override;
  [[nodiscard]] app::Page CurrentPage() const override;
  void ShowPage(app::Page page) override;
  void ReenterPage(app::Page page) override;

  // --- The window's own ---
  // The area a page builds itself into.
  [[nodiscard]] QWidget* PageArea(app::Page page) const;
  // Shows or hides the progress strip, bars reset to 0 of 100, label empty.
  void ShowProgress(bool on);
  // The pump long operations call between blocks: keeps the window alive.
  [[nodiscard]] std::function<void()> Pump() const;
  // Set when a termination signal arrived during a run, or a close request
  // during a run that stops on close: the run stops at its next block
  // boundary, removes its partial output and logs "Interrupt".
  [[nodiscard]] bool InterruptRequested() const { return interrupt_requested_; }
  // Appends to the activity log and refreshes the grid. Throws
  // zb::EWriteError when log.txt cannot be written.
  void AddLogEntry(const std::string& operation, const std::string& status,
                   const std::string& project, const std::string& information);
  [[nodiscard]] const app::ActivityLog& Log() const { return log_; }
  [[nodiscard]] const schedule::ScheduleTable& Schedule() const;
  [[nodiscard]] TScheduler& Scheduler() { return *scheduler_; }
  // The clock of the schedule and of archive names; tests set their own.
  void SetClock(std::function<DateTime()> clock) { clock_ = std::move(clock); }
  [[nodiscard]] bool StartMinimizedPending() const { return start_minimized_pending_; }
  // Whether a notification area exists now (it may appear after a start at
  // logon, before the desktop's panel).
  [[nodiscard]] bool TrayAvailable() const;

  void LoadAppSettings();
  void SaveAppSettings();
  void RebuildBackupMenu();
  // The schedule table from the project box, the tray items' marks and the
  // timer started or stopped.
  void RebuildSchedule();
  void RefreshSchedulingState();
  // A termination signal: close through the normal path, or, during a run,
  // interrupt it and close when it has ended.
  void CloseBySignal();

  // --- Commands and events ---
  // A tray "Backup Project" item: select the project, show it and run it.
  void OnBackupProjectChosen(const std::string& name);
  void OnSchedulingToggled();
  void OnSchedulingMenuItem();
  void OnHelp();
  void OnVisitWebsite();
  void OnAbout();
  void OnPreferences();
  void OnExit();
  void OnTrayIconClicked();
  void OnOpenMainWindow();
  void OnMinimized();
  void OnClearLog();

 signals:
  // The window has closed and its settings are saved; the program may end.
  void FormClosed();
  void BusyChanged(bool busy);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void Initialize();
  void SaveOnClose();
  // Closes the other windows of the program (tool windows, dialogs, message
  // boxes); false when one of them stays open.
  bool CloseToolWindows();
  void CreateToolbar(QWidget* panel);
  void CreatePages();
  void CreateLogPage(QWidget* page);
  void CreateProgressStrip(QWidget* panel);
  void CreateMenus();
  QToolButton* AddButton(const char* name, const char* icon, const char* hint);
  void FillProjectBox(const std::vector<std::string>& names, const std::string& selected);
  // The toolbar, the project box and "Preferences..." as the edit mode and
  // the busy state allow.
  void UpdateCommandStates();
  void RunCommandOfPage(app::Command command);
  void TellPagesProjectSelected();
  void TellPagesPageEntered(int index);

  std::filesystem::path data_dir_;
  std::filesystem::path help_dir_;
  std::unique_ptr<UserInteraction> own_ui_;
  UserInteraction* ui_ = nullptr;
  std::function<bool(const QUrl&)> open_url_;
  std::function<void(TFormMain&)> install_pages_;
  std::optional<bool> tray_override_;
  std::function<DateTime()> clock_;

  app::AppSettings settings_;
  app::ActivityLog log_;
  app::PageHooks hooks_;
  TScheduler* scheduler_ = nullptr;

  bool busy_ = false;
  app::BusyStyle busy_style_;
  bool wait_cursor_set_ = false;
  bool editing_ = false;
  bool close_pending_ = false;
  bool closing_by_signal_ = false;
  bool interrupt_requested_ = false;
  bool start_minimized_pending_ = false;
  bool shown_once_ = false;
  bool was_minimized_ = false;

  QComboBox* project_box_ = nullptr;
  std::map<app::Command, QToolButton*> command_buttons_;
  QToolButton* scheduling_button_ = nullptr;
  QTabWidget* pages_ = nullptr;
  QTableView* log_grid_ = nullptr;
  LogGridModel* log_model_ = nullptr;
  QWidget* progress_strip_ = nullptr;
  QLabel* file_name_label_ = nullptr;
  QProgressBar* total_bar_ = nullptr;
  QProgressBar* current_bar_ = nullptr;
  QMenu* main_menu_ = nullptr;
  QMenu* tray_menu_ = nullptr;
  QMenu* tray_backup_menu_ = nullptr;
  QMenu* tray_sync_menu_ = nullptr;
  QAction* tray_scheduling_item_ = nullptr;
  QAction* preferences_item_ = nullptr;
  QSystemTrayIcon* tray_icon_ = nullptr;
};

}  // namespace zb::shell
