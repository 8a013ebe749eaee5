#pragma once

#include <fcntl.h>
#include <unistd.h>

namespace zb {

// A POSIX descriptor closed when its holder goes: folders walked with
// openat, the folder a temporary file lives in, a lock kept on a file, a
// socket. close(2) on Linux frees the descriptor even when it reports EINTR,
// so it is never retried.
class UniqueFd final {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.Release();
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  // A second descriptor for the same open file (close-on-exec); invalid
  // when the system refuses one (errno tells why).
  [[nodiscard]] UniqueFd Duplicate() const { return UniqueFd(::fcntl(fd_, F_DUPFD_CLOEXEC, 0)); }

  [[nodiscard]] int Get() const { return fd_; }
  [[nodiscard]] bool Valid() const { return fd_ >= 0; }
  [[nodiscard]] int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

}  // namespace zb
