#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace zb::net {

// The longest a network wait blocks before it calls the caller's pump and
// stop check again. A window's Stop button therefore ends any operation
// within about this time, and the window repaints at least this often.
inline constexpr std::chrono::milliseconds kWaitSlice{100};

// How a caller keeps control while an operation waits on the network. Every
// member may be left empty.
struct WaitControl {
  // Called at most kWaitSlice apart while an operation waits or moves data;
  // the window lets its event loop run here. It may call Close() on the very
  // connection that is waiting: the operation then ends with ENetStopped.
  std::function<void()> pump;
  // Polled after every pump and before every wait; true ends the operation
  // with ENetStopped.
  std::function<bool()> stop_requested;
  // The longest one wait for the peer may last (connecting, or an idle read
  // or write); zero waits as long as the peer takes.
  std::chrono::milliseconds timeout{0};
};

// Paces the waits of one connection: slices, pump, stop check, time-out.
class Pacer final {
 public:
  Pacer() = default;
  explicit Pacer(WaitControl control) : control_(std::move(control)) {}

  [[nodiscard]] const WaitControl& Control() const { return control_; }

  // Calls `step(slice)` until it returns true. Each step may block for at
  // most `slice`; between steps the pump runs. Throws ENetStopped when a stop
  // is requested and ENetTimeout ("Timed out " + what) when the time-out
  // passes. Whatever `step` throws passes through.
  void WaitUntil(const std::function<bool(std::chrono::milliseconds slice)>& step,
                 const std::string& what);

  // For loops that move data without waiting: pumps when a slice has passed
  // since the last pump, then checks for a stop.
  void Tick();

 private:
  void Pump();
  void CheckStop() const;

  WaitControl control_;
  std::chrono::steady_clock::time_point last_pump_ = std::chrono::steady_clock::now();
};

}  // namespace zb::net
