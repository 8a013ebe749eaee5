#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "base/errors.h"

namespace zb {

FileLock::FileLock(std::filesystem::path path) : path_(std::move(path)) {}

FileLock::~FileLock() { Release(); }

int FileLock::OpenLockFile() {
  // O_CLOEXEC: a program started from here (the help viewer, an editor)
  // must not inherit the descriptor and keep the lock alive after we exit.
  const int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw EOSError("Unable to open the lock file", path_.string(), errno);
  return fd;
}

bool FileLock::TryAcquire() {
  if (fd_ >= 0) return true;
  const int fd = OpenLockFile();
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    const int err = errno;
    close(fd);
    if (err == EWOULDBLOCK) return false;
    throw EOSError("Unable to lock", path_.string(), err);
  }
  fd_ = fd;
  return true;
}

void FileLock::Acquire() {
  if (fd_ >= 0) return;
  const int fd = OpenLockFile();
  while (flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    const int err = errno;
    close(fd);
    throw EOSError("Unable to lock", path_.string(), err);
  }
  fd_ = fd;
}

void FileLock::Release() {
  if (fd_ < 0) return;
  // The lock file itself stays: deleting it would let a waiter lock an
  // unlinked file while a newcomer locks a fresh one.
  close(fd_);
  fd_ = -1;
}

}  // namespace zb
