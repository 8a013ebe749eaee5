#pragma once

#include <QObject>
#include <QString>
#include <filesystem>
#include <memory>

class QLocalServer;

namespace zb {
class FileLock;
}

namespace zb::shell {

// One running program per data folder. The first start holds a lock file in
// the data folder (released by the kernel when the process ends, so a crash
// leaves nothing stale) and listens on a local socket in a private per-user
// folder (mode 0700, owner checked). A later start finds the lock taken,
// asks the first one through the socket to show its window, and ends.
class SingleInstance final : public QObject {
  Q_OBJECT
 public:
  explicit SingleInstance(std::filesystem::path data_dir, QObject* parent = nullptr);
  ~SingleInstance() override;

  // True when this process is the first; it then listens for hand-overs.
  // In a data folder without write access the lock file goes to the private
  // folder instead. Throws zb::EOSError when neither can be opened.
  [[nodiscard]] bool Claim();
  // Asks the running instance to show its window, retrying while it is still
  // starting, for up to `timeout_ms`. True when it acknowledged.
  [[nodiscard]] bool ActivatePreviousInstance(int timeout_ms = 5000);

  // The private folder for the socket: $XDG_RUNTIME_DIR when it is ours and
  // private, else the temporary folder, plus a per-user subfolder created
  // with mode 0700. Throws zb::EOSError when the folder exists but is not a
  // private folder of this user (someone may be trying to intercept).
  [[nodiscard]] static std::filesystem::path RuntimeDir();
  [[nodiscard]] QString SocketPath() const;

 signals:
  void ActivateRequested();

 private:
  void OnNewConnection();

  std::filesystem::path data_dir_;
  std::unique_ptr<FileLock> lock_;
  QLocalServer* server_ = nullptr;
};

}  // namespace zb::shell
