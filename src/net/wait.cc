#include "net/wait.h"

#include <algorithm>

#include "net/net_error.h"

namespace zb::net {

using Clock = std::chrono::steady_clock;

void Pacer::WaitUntil(const std::function<bool(std::chrono::milliseconds)>& step,
                      const std::string& what) {
  const auto start = Clock::now();
  for (;;) {
    CheckStop();
    auto slice = kWaitSlice;
    if (control_.timeout.count() > 0) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(start + control_.timeout - Clock::now());
      if (left.count() <= 0) throw ENetTimeout("Timed out " + what);
      slice = std::min(slice, left);
    }
    if (step(slice)) return;
    Pump();
  }
}

void Pacer::Tick() {
  if (Clock::now() - last_pump_ >= kWaitSlice) Pump();
  CheckStop();
}

void Pacer::Pump() {
  last_pump_ = Clock::now();
  if (control_.pump) control_.pump();
}

void Pacer::CheckStop() const {
  if (control_.stop_requested && control_.stop_requested()) {
    throw ENetStopped("Operation stopped");
  }
}

}  // namespace zb::net
