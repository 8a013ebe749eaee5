#include "shell/scheduler.h"

#include <QTimer>
#include <cstdio>
#include <memory>

#include "app/activity_log.h"
#include "app/ui/page_host.h"
#include "app/user_interaction.h"
#include "backup/backup_project.h"
#include "backup/backup_run.h"
#include "base/errors.h"
#include "schedule/last_run_store.h"

namespace zb::shell {
namespace {

// Messages of a scheduled start close by themselves after this long.
constexpr int kScheduledMessageSeconds = 6;

}  // namespace

TScheduler::TScheduler(app::PageHost& host, std::function<schedule::TickGate()> gate,
                       QObject* parent)
    : QObject(parent), host_(host), gate_(std::move(gate)), timer_(new QTimer(this)) {
  timer_->setObjectName("Timer1");
  timer_->setInterval(schedule::kTickMilliseconds);
  // A coarse timer may drift by up to 5 % of its period; the schedule's
  // times are meant to the tick.
  timer_->setTimerType(Qt::PreciseTimer);
  connect(timer_, &QTimer::timeout, this, &TScheduler::OnTick);
}

bool TScheduler::TimerActive() const { return timer_->isActive(); }

void TScheduler::Stop() { timer_->stop(); }

void TScheduler::Rebuild() {
  timer_->stop();
  (void)RunCommand(host_.Ui(), [this] {
    table_.RebuildSchedule(host_.DataDir(), host_.ProjectNames(), host_.Now());
  });
  if (table_.TimerActive()) timer_->start();
}

void TScheduler::OnTick() {
  // Nobody may be at the screen when the schedule runs, and an exception
  // must not end the program through the event loop: the tick is reported
  // on stderr, and the next one comes as usual.
  try {
    (void)table_.Timer1TimerGated(
        gate_, [this] { return host_.Now(); },
        [this](const std::string& project) {
          NoteScheduledStart(project);
          return RunProject(project, true);
        });
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zipbackup: scheduled check failed: %s\n", WithFullStop(e.what()).c_str());
  } catch (...) {
    std::fprintf(stderr, "zipbackup: scheduled check failed.\n");
  }
}

bool TScheduler::RunProject(const std::string& wanted, bool scheduled) {
  const std::vector<std::string> names = host_.ProjectNames();
  const int index = backup::FindProjectName(names, wanted);
  if (index < 0) return false;
  const std::string name = names[static_cast<size_t>(index)];
  UserInteraction& ui = host_.Ui();
  // By hand an error ends the command in its modal box; a scheduled start
  // must never wait for a click.
  const auto step = [&](const std::function<void()>& body) {
    if (!scheduled) return RunCommand(ui, body);
    try {
      body();
      return true;
    } catch (const EAbort&) {
      return false;
    } catch (const std::exception& e) {
      ReportScheduledFailure(name, e.what());
      return false;
    }
  };
  const auto reload_log = [&] {
    if (!scheduled) {
      (void)RunCommand(ui, [this] { host_.LoadLog(); });
      return;
    }
    try {
      host_.LoadLog();
    } catch (const std::exception& e) {
      ui.ShowTimedMessage(WithFullStop(e.what()), MessageKind::kError, kScheduledMessageSeconds);
    }
  };

  // Chosen during editing, the stored project replaces the unsaved page and
  // runs; the page stays in edit mode.
  if (!step([&] { host_.SelectProject(name); })) {
    reload_log();
    return true;
  }
  const app::Page page = host_.CurrentPage();
  backup::BackupRunResult result;
  app::RunProgress progress = host_.ProgressHooks();
  const bool ran = step([&] {
    backup::BackupRunRequest request =
        backup::StoredProjectRequest(host_.DataDir(), name, host_.Settings());
    request.scheduled = scheduled;
    // The run logs into log.txt itself; the Log page rereads it afterwards.
    const std::unique_ptr<app::ActivityLog> log = host_.OpenRunLog();
    backup::BackupRunHooks hooks;
    static_cast<app::RunProgress&>(hooks) = progress;
    hooks.ui = &ui;
    hooks.log = log.get();
    hooks.on_archive_name = host_.Hooks().archive_named;
    hooks.clock = [this] { return host_.Now(); };
    result = backup::RunBackup(request, hooks);
  });
  // A run that went wrong past its own reporting must still leave a usable
  // window.
  if (host_.Busy() && progress.set_running) progress.set_running(false);
  reload_log();
  if (!ran || result.status == backup::RunStatus::kNotStarted) return true;
  // The pages show what a run that made its archive advanced (the next
  // number, the newer-than moment) and the name box what the run left for
  // it; then the page that was active comes back and is told so, as if it
  // had just been chosen.
  if (result.status == backup::RunStatus::kSucceeded)
    (void)step([&] { host_.SelectProject(name); });
  if (!result.next_file_name.empty() && host_.Hooks().archive_named)
    host_.Hooks().archive_named(result.next_file_name);
  host_.ReenterPage(page);
  return true;
}

void TScheduler::NoteScheduledStart(const std::string& project) {
  // Noted before the run, so a program ended during the run does not start
  // it again for the same due time. A failed write costs at most one
  // repeated run after a restart; the run itself goes ahead.
  try {
    schedule::WriteLastScheduledRun(host_.DataDir(), project, host_.Now());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zipbackup: %s\n", WithFullStop(e.what()).c_str());
  }
}

void TScheduler::ReportScheduledFailure(const std::string& project, const std::string& text) {
  try {
    backup::ReportScheduledFailure(host_.Ui(), *host_.OpenRunLog(), project, text);
  } catch (const std::exception&) {
    // An unreadable log: the box alone tells of the failure.
    host_.Ui().ShowTimedMessage(WithFullStop(text), MessageKind::kError, kScheduledMessageSeconds);
  }
}

}  // namespace zb::shell
