#include "shell/single_instance.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "base/errors.h"
#include "platform/file_lock.h"

namespace zb::shell {
namespace {

constexpr char kLockName[] = ".zipbackup-instance.lock";
constexpr QByteArrayView kActivate = "activate\n";
constexpr QByteArrayView kAck = "ok\n";

// A folder only this user can enter: a real directory (no link), owned by
// us, no access for group or others.
bool IsPrivateDir(const std::filesystem::path& dir) {
  struct stat st;
  return lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
         (st.st_mode & 077) == 0;
}

// The peer of a local connection must be this same user.
bool PeerIsSameUser(qintptr fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  return getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 &&
         cred.uid == getuid();
}

}  // namespace

SingleInstance::SingleInstance(std::filesystem::path data_dir, QObject* parent)
    : QObject(parent), data_dir_(std::move(data_dir)) {}

SingleInstance::~SingleInstance() = default;

std::filesystem::path SingleInstance::RuntimeDir() {
  std::filesystem::path base = "/tmp";
  if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && tmp[0] == '/') base = tmp;
  if (const char* xdg = std::getenv("XDG_RUNTIME_DIR");
      xdg != nullptr && xdg[0] == '/' && IsPrivateDir(xdg))
    base = xdg;
  const std::filesystem::path dir = base / ("quillomar-zipbackup-" + std::to_string(getuid()));
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    throw EOSError("Unable to create directory", dir.string(), errno);
  if (!IsPrivateDir(dir)) throw EOSError("Not a private folder of this user:", dir.string(), EPERM);
  return dir;
}

QString SingleInstance::SocketPath() const {
  // One socket per data folder, so two installations can run side by side.
  std::error_code ec;
  std::filesystem::path canonical = std::filesystem::weakly_canonical(data_dir_, ec);
  if (ec) canonical = data_dir_;
  const QByteArray hash = QCryptographicHash::hash(QByteArray::fromStdString(canonical.string()),
                                                   QCryptographicHash::Sha256)
                              .toHex()
                              .left(16);
  return QString::fromStdString((RuntimeDir() / ("instance-" + hash.toStdString())).string());
}

bool SingleInstance::Claim() {
  lock_ = std::make_unique<FileLock>(data_dir_ / kLockName);
  bool acquired;
  try {
    acquired = lock_->TryAcquire();
  } catch (const Error&) {
    // A program folder the user may not write to (a system-wide install)
    // still runs; the lock then lives beside the socket, keyed the same way.
    std::filesystem::path socket = SocketPath().toStdString();
    socket += ".lock";
    lock_ = std::make_unique<FileLock>(socket);
    acquired = lock_->TryAcquire();
  }
  if (!acquired) {
    lock_.reset();
    return false;
  }
  // Holding the lock, any socket file left behind is stale: a crash.
  try {
    const QString path = SocketPath();
    QLocalServer::removeServer(path);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::OnNewConnection);
    if (!server_->listen(path))
      std::fprintf(stderr, "zipbackup: cannot listen on %s: %s\n", qPrintable(path),
                   qPrintable(server_->errorString()));
  } catch (const Error& e) {
    // Without the socket a second start cannot raise this window, but this
    // instance works normally and the lock still keeps a second one out.
    std::fprintf(stderr, "zipbackup: %s\n", e.what());
  }
  return true;
}

void SingleInstance::OnNewConnection() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    if (!PeerIsSameUser(socket->socketDescriptor())) {
      socket->abort();
      continue;
    }
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      if (!socket->canReadLine()) return;
      const QByteArray line = socket->readLine(64);
      if (line == kActivate) {
        socket->write(kAck.data(), kAck.size());
        socket->flush();
        emit ActivateRequested();
      }
      socket->disconnectFromServer();
    });
  }
}

bool SingleInstance::ActivatePreviousInstance(int timeout_ms) {
  QString path;
  try {
    path = SocketPath();
  } catch (const Error& e) {
    std::fprintf(stderr, "zipbackup: %s\n", e.what());
    return false;
  }
  const QDeadlineTimer deadline(timeout_ms);
  while (!deadline.hasExpired()) {
    struct stat st;
    // Talk only to a socket of this user inside the private folder.
    if (lstat(path.toLocal8Bit().constData(), &st) == 0 && S_ISSOCK(st.st_mode) &&
        st.st_uid == getuid()) {
      QLocalSocket socket;
      socket.connectToServer(path);
      if (socket.waitForConnected(500)) {
        socket.write(kActivate.data(), kActivate.size());
        socket.waitForBytesWritten(500);
        while (!socket.canReadLine() && socket.waitForReadyRead(1000)) {
        }
        if (socket.canReadLine() && socket.readLine(64) == kAck) return true;
      }
    }
    // The first instance may hold the lock but not listen yet.
    QThread::msleep(100);
  }
  return false;
}

}  // namespace zb::shell
