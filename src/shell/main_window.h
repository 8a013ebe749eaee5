#pragma once

#include <QMainWindow>
#include <QString>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "app/activity_log.h"
#include "app/app_settings.h"
#include "app/run_progress.h"

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QProgressBar;
class QSystemTrayIcon;
class QTabWidget;
class QTableView;
class QTimer;
class QToolButton;
class QUrl;

namespace zb {
class UserInteraction;
}

namespace zb::shell {

class LogGridModel;

// What the pages plug into the shell. The Backup, Restore and Synchronize
// pages are built in TFormMain::CreatePages(); each page fills the hooks it
// serves, and the shell calls them at the points of start-up and close where
// they belong. An empty hook is skipped.
struct TMainPageHooks {
  std::function<void()> reload_sync_projects;  // sync list and its tray submenu
  std::function<void()> rebuild_schedule;      // schedule table and Timer1 state
  std::function<void()> load_project_page;     // show the selected backup project
  std::function<void()> timer_tick;            // Timer1, every 30 s
  // A tray "Backup Project" / "Synchronize Project" item was chosen.
  std::function<void(const QString&)> backup_project_chosen;
  std::function<void(const QString&)> sync_project_chosen;
};

// The main window: toolbar, the four pages, the progress strip, the "Menu"
// drop-down and the notification-area icon; owner of the settings and the
// activity log for the life of the program.
class TFormMain final : public QMainWindow {
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
    // Builds the Backup, Restore and Synchronize pages into their
    // placeholders (found by objectName under Pages()) and fills Hooks();
    // called once from the constructor, before the settings are loaded.
    std::function<void(TFormMain&)> install_pages;
  };

  explicit TFormMain(Options options, QWidget* parent = nullptr);
  ~TFormMain() override;

  // --- Seams for the runs (backup, restore, maintenance, synchronize) ---
  // `on` = false enters the busy state: run commands, the pages and the tray
  // project menus are disabled and the cursor waits; true leaves it. A close
  // asked for meanwhile is carried out when the busy state ends.
  void SetBusy(bool on);
  [[nodiscard]] bool Busy() const { return busy_; }
  // Shows or hides the progress strip, bars reset to 0 of 100, label empty.
  void ShowProgress(bool on);
  [[nodiscard]] QProgressBar* TotalBar() const { return ProgressBar1_; }
  [[nodiscard]] QProgressBar* CurrentBar() const { return ProgressBar2_; }
  [[nodiscard]] QLabel* FileNameLabel() const { return A2_; }
  // The pump long operations call between blocks: keeps the window alive.
  [[nodiscard]] std::function<void()> Pump() const;
  // Set when a termination signal arrived during a run: the run stops at its
  // next block boundary, removes its partial output and logs "Interrupt".
  [[nodiscard]] bool InterruptRequested() const { return interrupt_requested_; }
  // A run's window side: the pump, the busy state with the progress strip,
  // both bars, the file name and the stop request.
  [[nodiscard]] app::RunProgress ProgressHooks();
  // The activity log as an object of the run's own, holding the entries
  // already in log.txt (a fresh one would restart the numbering and hide
  // them); the window rereads the file with LoadLog afterwards.
  [[nodiscard]] std::unique_ptr<app::ActivityLog> OpenRunLog() const;

  // Appends to the activity log and refreshes the grid. Throws
  // zb::EWriteError when log.txt cannot be written.
  void AddLogEntry(const std::string& operation, const std::string& status,
                   const std::string& project, const std::string& information);
  [[nodiscard]] const app::ActivityLog& Log() const { return log_; }

  [[nodiscard]] app::AppSettings& Settings() { return settings_; }
  [[nodiscard]] UserInteraction& Ui() { return *ui_; }
  [[nodiscard]] const std::filesystem::path& DataDir() const { return data_dir_; }
  [[nodiscard]] TMainPageHooks& Hooks() { return hooks_; }
  [[nodiscard]] QStringList ProjectNames() const;
  // For the pages: the controls of the shell they work with.
  [[nodiscard]] QComboBox* ProjectBox() const { return comboProject_; }
  [[nodiscard]] QTabWidget* Pages() const { return PageControl1_; }
  [[nodiscard]] QTimer* ScheduleTimer() const { return Timer1_; }
  [[nodiscard]] QMenu* SyncProjectMenu() const { return menuSync_; }
  [[nodiscard]] QToolButton* SchedulingButton() const { return spEnable_; }

  [[nodiscard]] bool StartMinimizedPending() const { return start_minimized_pending_; }
  // Whether a notification area exists now (it may appear after a start at
  // logon, before the desktop's panel).
  [[nodiscard]] bool TrayAvailable() const;

  // --- Handlers ---
  void LoadAppSettings();
  void SaveAppSettings();
  void LoadLog();
  void RebuildBackupMenu();
  // The 30-second schedule timer: hands the tick to the page that owns the
  // schedule; nothing it throws leaves the handler.
  void Timer1Timer();
  void RefreshSchedulingState();
  void spEnableClick();
  void menuEnDisClick();
  void Help2Click();
  void Help1Click();
  void About1Click();
  void menuPreferencesClick();
  void SpExitClick();
  void TrayIcon1Click();
  void OpenMainWindow1Click();
  void ApplicationEvents1Minimize();
  void Clearalllog1Click();
  // A termination signal: close through the normal path, or, during a run,
  // interrupt it and close when it has ended.
  void CloseBySignal();
  // Opens the user guide at a help context (0 = its start).
  void ShowHelp(int context);

 signals:
  // The window has closed and its settings are saved; the program may end.
  void FormClosed();
  void BusyChanged(bool busy);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void FormCreate();
  void FormClose();
  void CreateToolbar(QWidget* panel);
  void CreatePages();
  void CreateLogPage(QWidget* page);
  void CreateProgressStrip(QWidget* panel);
  void CreateMenus();
  QToolButton* AddButton(const char* name, const char* icon, const char* hint);

  std::filesystem::path data_dir_;
  std::filesystem::path help_dir_;
  std::unique_ptr<UserInteraction> own_ui_;
  UserInteraction* ui_ = nullptr;
  std::function<bool(const QUrl&)> open_url_;
  std::function<void(TFormMain&)> install_pages_;
  std::optional<bool> tray_override_;

  app::AppSettings settings_;
  app::ActivityLog log_;
  TMainPageHooks hooks_;

  bool busy_ = false;
  bool close_pending_ = false;
  bool closing_by_signal_ = false;
  bool interrupt_requested_ = false;
  bool start_minimized_pending_ = false;
  bool shown_once_ = false;
  bool was_minimized_ = false;

  QComboBox* comboProject_ = nullptr;
  QToolButton* spEnable_ = nullptr;
  QTabWidget* PageControl1_ = nullptr;
  QTableView* LogGrid_ = nullptr;
  LogGridModel* log_model_ = nullptr;
  QWidget* PanelProgress_ = nullptr;
  QLabel* A1_ = nullptr;
  QLabel* A2_ = nullptr;
  QLabel* A3_ = nullptr;
  QProgressBar* ProgressBar1_ = nullptr;
  QProgressBar* ProgressBar2_ = nullptr;
  QMenu* PopupMenu1_ = nullptr;
  QMenu* PopupMenu2_ = nullptr;
  QMenu* menuBackup_ = nullptr;
  QMenu* menuSync_ = nullptr;
  QAction* menuEnDis_ = nullptr;
  QAction* menuPreferences_ = nullptr;
  QSystemTrayIcon* TrayIcon1_ = nullptr;
  QTimer* Timer1_ = nullptr;
};

}  // namespace zb::shell
