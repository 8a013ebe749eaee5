#pragma once

// The runs of stored backup projects that the window starts itself rather
// than a page: the schedule, whose table and 30-second timer live here, and
// the tray's "Backup Project" items. A run goes through the core's stored
// project run, with the window's settings and its progress, log and
// messages; the pages only show the project before and after it.

#include <QObject>
#include <functional>
#include <string>

#include "schedule/schedule_table.h"

class QTimer;

namespace zb::app {
class PageHost;
}

namespace zb::shell {

class TScheduler final : public QObject {
  Q_OBJECT
 public:
  // `gate` says whether a tick may start runs now (the scheduling switch,
  // edit mode, a run going on); it is asked again before each start.
  TScheduler(app::PageHost& host, std::function<schedule::TickGate()> gate, QObject* parent);

  // The table from the host's project list; the timer runs only while the
  // table holds an entry. A store that cannot be read is
  // reported and leaves the table as it was.
  void Rebuild();
  void Stop();
  // One tick of the timer: starts every due project. Nothing it throws
  // leaves it.
  void OnTick();
  // Selects the stored project `name` (case ignored), shows it and runs it.
  // `scheduled`: no question, and every message closes by itself and leaves
  // a log line; otherwise as the Create Backup command asks and reports.
  // False when the project list has no such project.
  bool RunProject(const std::string& name, bool scheduled);

  [[nodiscard]] const schedule::ScheduleTable& Table() const { return table_; }
  [[nodiscard]] bool TimerActive() const;

 private:
  // Keeps the moment of a scheduled start in the data folder.
  void NoteScheduledStart(const std::string& project);
  // A scheduled start that failed before its run: a box that closes by
  // itself and a "Fails" line, never a box that waits for a click.
  void ReportScheduledFailure(const std::string& project, const std::string& text);

  app::PageHost& host_;
  std::function<schedule::TickGate()> gate_;
  schedule::ScheduleTable table_;
  QTimer* timer_;
};

}  // namespace zb::shell
