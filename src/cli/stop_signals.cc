#include "cli/stop_signals.h"

namespace zb::cli {
namespace {

volatile std::sig_atomic_t g_stop_signal = 0;

extern "C" void NoteStopSignal(int signal_number) { g_stop_signal = signal_number; }

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

StopSignals::StopSignals() {
  static_assert(sizeof(kSignals) / sizeof(kSignals[0]) == kCount);
  g_stop_signal = 0;
  struct sigaction action {};
  action.sa_handler = NoteStopSignal;
  // Calls in progress carry on; the work looks at the flag between blocks.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < kCount; ++i) sigaction(kSignals[i], &action, &previous_[i]);
}

StopSignals::~StopSignals() {
  for (std::size_t i = 0; i < kCount; ++i) sigaction(kSignals[i], &previous_[i], nullptr);
}

bool StopSignals::Requested() { return g_stop_signal != 0; }

}  // namespace zb::cli
