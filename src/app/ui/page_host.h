#pragma once

// What a page of the main window may use of the window, and how the window
// reaches the page. The main window implements PageHost; a page never sees
// the window's own widgets (toolbar, project box, tray menus, timer), so
// the window may arrange them as it likes and a page can be built in a test
// without them.

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/app_settings.h"
#include "app/run_progress.h"
#include "base/date_time.h"

namespace zb {
class UserInteraction;
}

namespace zb::app {

class ActivityLog;

// The pages of the window, in tab order.
enum class Page { kBackup, kRestore, kSynchronize, kLog };

// The toolbar commands a page serves.
enum class Command {
  kAddProject,
  kEditProject,
  kSaveProject,
  kCancelEdit,
  kRenameProject,
  kCopyProject,
  kDeleteProject,
  kCreateBackup,
  kRestoreFile,
};

// What the pages serve of the window's commands and events. Each page fills
// what it serves when it is installed; the window skips what nobody fills.
struct PageHooks {
  std::map<Command, std::function<void()>> commands;
  // A backup project became the selected one (the project box, a tray item,
  // the schedule, start-up, a project command): every page that shows a
  // project's settings shows its own, in the order they were added. They
  // may throw; the caller reports the error.
  std::vector<std::function<void()>> project_selected;
  // A page became the active one, or was entered again after a run so that
  // it shows what the run changed.
  std::vector<std::function<void(Page)>> page_entered;
  // A run the window started (tray item, schedule) named its archive; in
  // Date mode the name carries the time of the run.
  std::function<void(const std::string& path)> archive_named;
  // The synchronization projects and their tray submenu are to be reread.
  std::function<void()> reload_sync_projects;
};

// What a busy state does beyond disabling the commands.
struct BusyStyle {
  // A request to close the program (the close box, "E&xit", a termination
  // signal) asks the run to stop: RunProgress::interrupted turns true, the
  // run returns at its next pump, and the window closes once the busy state
  // has ended. Without it the run finishes first (a signal still stops it).
  bool stop_on_close = false;
  // The application-wide wait cursor; off for a window that keeps its own
  // pointer rules.
  bool wait_cursor = true;
};

class PageHost {
 public:
  virtual ~PageHost() = default;

  [[nodiscard]] virtual PageHooks& Hooks() = 0;

  // --- What every page works with ---
  [[nodiscard]] virtual const std::filesystem::path& DataDir() const = 0;
  // The settings in memory; they reach "project.ini" when the window closes.
  [[nodiscard]] virtual AppSettings& Settings() = 0;
  [[nodiscard]] virtual UserInteraction& Ui() = 0;
  // Opens the user guide at a help context.
  virtual void ShowHelp(int context) = 0;
  // The window's clock: archive names and the schedule read it.
  [[nodiscard]] virtual DateTime Now() const = 0;

  // --- Runs ---
  // `on` false enters the busy state: the commands that start a run, the
  // pages and the tray project menus are disabled and the cursor waits;
  // true leaves it.
  virtual void SetBusy(bool on) = 0;
  // SetBusy with a style; the style of entering holds until the busy state
  // ends.
  virtual void SetBusy(bool on, const BusyStyle& style) = 0;
  [[nodiscard]] virtual bool Busy() const = 0;
  // A run's window side: the pump, the busy state with the progress strip,
  // both bars, the file name and the stop request.
  [[nodiscard]] virtual RunProgress ProgressHooks() = 0;
  // The same for a run whose busy state has `style`.
  [[nodiscard]] virtual RunProgress ProgressHooks(const BusyStyle& style) = 0;
  // The activity log as an object of the run's own, holding the entries
  // already in log.txt.
  [[nodiscard]] virtual std::unique_ptr<ActivityLog> OpenRunLog() const = 0;
  // The Log page rereads log.txt after a run wrote to it. Throws when the
  // file cannot be read.
  virtual void LoadLog() = 0;

  // --- The backup project list of the project box ---
  [[nodiscard]] virtual std::vector<std::string> ProjectNames() const = 0;
  // Empty when no project is selected.
  [[nodiscard]] virtual std::string SelectedProject() const = 0;
  // Selects `name` (case ignored; none when it is not listed) and tells the
  // pages (PageHooks::project_selected). Throws what they throw.
  virtual void SelectProject(const std::string& name) = 0;
  // The stored list changed: the box shows `names` with `selected` chosen
  // (no page is told), and the tray menu and the schedule follow.
  virtual void ProjectListChanged(const std::vector<std::string>& names,
                                  const std::string& selected) = 0;
  // A project was saved: its schedule and its mark may have changed.
  virtual void ProjectSaved() = 0;
  // Reads the stored settings, list and schedule again (a project was added).
  virtual void ReloadSettings() = 0;
  // The Backup page entered or left edit mode: the toolbar follows, and no
  // scheduled run starts while a project is being edited.
  virtual void SetEditing(bool editing) = 0;

  // --- Pages ---
  [[nodiscard]] virtual Page CurrentPage() const = 0;
  virtual void ShowPage(Page page) = 0;
  // Makes `page` the active one and tells the pages it was entered, also
  // when it was the active one already.
  virtual void ReenterPage(Page page) = 0;
};

}  // namespace zb::app
