#pragma once

#include <functional>
#include <string>

namespace zb::app {

// What a long run (a backup, a restore) tells the window while it works and
// asks it between blocks. Every member may be left empty: a command-line
// run fills only what it shows.
struct RunProgress {
  std::function<void()> pump;                     // between blocks of work
  std::function<void(bool running)> set_running;  // busy state and progress strip
  std::function<void(int percent)> on_total_percent;
  std::function<void(int percent)> on_file_percent;
  std::function<void(const std::string& name)> on_file;  // name without folder
  // Polled between blocks; true stops the run there as "Interrupt".
  std::function<bool()> interrupted;
};

}  // namespace zb::app
