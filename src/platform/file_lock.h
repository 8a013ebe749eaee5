#pragma once

#include <filesystem>

namespace zb {

// An exclusive advisory lock (flock) on a lock file, created when missing.
// The kernel drops the lock when the descriptor closes, including when the
// process dies, so a crash never leaves a stale lock behind. Two FileLock
// objects conflict even inside one process (each has its own open file).
class FileLock final {
 public:
  explicit FileLock(std::filesystem::path path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // True when the lock was taken; false at once when another holder has it.
  // Throws zb::EOSError when the lock file cannot be opened.
  [[nodiscard]] bool TryAcquire();
  // Waits until the lock is free. Throws zb::EOSError like TryAcquire.
  void Acquire();
  void Release();
  [[nodiscard]] bool Held() const { return fd_ >= 0; }
  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }

 private:
  int OpenLockFile();
  std::filesystem::path path_;
  int fd_ = -1;
};

}  // namespace zb
