#pragma once

#include <csignal>
#include <cstddef>

namespace zb::cli {

// While a long verb works (a backup, a restore), Ctrl-C, a hang-up or a
// plain kill only raise a flag; the work looks at it between blocks and
// stops cleanly there (its unfinished output removed, the stop logged)
// instead of the process dying with a temporary file left behind. The
// previous handlers come back when the object goes.
class StopSignals final {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Whether one of the signals arrived since construction.
  [[nodiscard]] static bool Requested();

 private:
  static constexpr std::size_t kCount = 3;
  struct sigaction previous_[kCount] {};
};

}  // namespace zb::cli
