#include "shell/signal_watcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

#include "base/errors.h"

namespace zb::shell {
namespace {

int g_pipe[2] = {-1, -1};
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

void OnSignal(int sig) {
  const int saved = errno;
  const char byte = static_cast<char>(sig);
  // A full pipe already holds a pending close request; dropping more is fine.
  [[maybe_unused]] const ssize_t n = write(g_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

SignalWatcher::SignalWatcher(QObject* parent) : QObject(parent) {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pipe) != 0)
    throw EOSError("Unable to create the signal pipe", "", errno);
  notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &SignalWatcher::ReadPipe);
  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : kSignals) sigaction(sig, &sa, nullptr);
}

SignalWatcher::~SignalWatcher() {
  struct sigaction sa = {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  for (int sig : kSignals) sigaction(sig, &sa, nullptr);
  delete notifier_;
  close(g_pipe[0]);
  close(g_pipe[1]);
  g_pipe[0] = g_pipe[1] = -1;
}

void SignalWatcher::ReadPipe() {
  char buf[16];
  ssize_t n;
  while ((n = read(g_pipe[0], buf, sizeof buf)) > 0) {
    for (ssize_t i = 0; i < n; ++i) emit Received(buf[i]);
  }
}

}  // namespace zb::shell
