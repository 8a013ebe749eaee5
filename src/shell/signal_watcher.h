#pragma once

#include <QObject>

class QSocketNotifier;

namespace zb::shell {

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the event loop, so the
// program closes through its normal path (settings saved) rather than dying
// in the middle of a write. The handler only writes the signal number to a
// pipe, the one thing that is safe inside a signal handler.
// Only one watcher may exist per process.
class SignalWatcher final : public QObject {
  Q_OBJECT
 public:
  explicit SignalWatcher(QObject* parent = nullptr);
  ~SignalWatcher() override;
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 signals:
  void Received(int signal_number);

 private:
  void ReadPipe();
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace zb::shell
