#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "base/errors.h"

namespace zb {
namespace {

[[noreturn]] void Fail(std::string_view what, const std::filesystem::path& path, int err) {
  throw EOSError(what, path.string(), err);
}

int OpenFd(const std::filesystem::path& path, int flags, std::string_view what) {
  for (;;) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    if (errno != EINTR) Fail(what, path, errno);
  }
}

FileInfo FromStat(const struct stat& st) {
  FileInfo info;
  if (S_ISREG(st.st_mode)) {
    info.type = FileType::kRegular;
  } else if (S_ISDIR(st.st_mode)) {
    info.type = FileType::kDirectory;
  } else if (S_ISLNK(st.st_mode)) {
    info.type = FileType::kSymlink;
  } else {
    info.type = FileType::kOther;
  }
  info.size = static_cast<uint64_t>(st.st_size);
  info.mtime = st.st_mtim;
  info.mode = st.st_mode;
  info.dev = st.st_dev;
  info.ino = st.st_ino;
  return info;
}

}  // namespace

// --- File ---------------------------------------------------------------------

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

File::File(File&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
  other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

File File::OpenRead(const std::filesystem::path& path) {
  return File(OpenFd(path, O_RDONLY, "Unable to open"), path);
}

File File::CreateExclusive(const std::filesystem::path& path) {
  return File(OpenFd(path, O_RDWR | O_CREAT | O_EXCL, "Unable to create"), path);
}

File File::OpenReadWrite(const std::filesystem::path& path, bool create, bool truncate) {
  int flags = O_RDWR | (create ? O_CREAT : 0) | (truncate ? O_TRUNC : 0);
  return File(OpenFd(path, flags, "Unable to open"), path);
}

File File::Adopt(int fd, std::filesystem::path path) { return File(fd, std::move(path)); }

size_t File::Read(std::span<std::byte> buf) {
  size_t done = 0;
  while (done < buf.size()) {
    ssize_t n = ::read(fd_, buf.data() + done, buf.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("Unable to read", path_, errno);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

size_t File::ReadAt(uint64_t offset, std::span<std::byte> buf) {
  size_t done = 0;
  while (done < buf.size()) {
    ssize_t n =
        ::pread(fd_, buf.data() + done, buf.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("Unable to read", path_, errno);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

void File::Write(std::span<const std::byte> data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("Unable to write", path_, errno);
    }
    // A write that stores nothing without an error would loop forever.
    if (n == 0) Fail("Unable to write", path_, ENOSPC);
    done += static_cast<size_t>(n);
  }
}

void File::WriteAt(uint64_t offset, std::span<const std::byte> data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n =
        ::pwrite(fd_, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("Unable to write", path_, errno);
    }
    if (n == 0) Fail("Unable to write", path_, ENOSPC);
    done += static_cast<size_t>(n);
  }
}

uint64_t File::Seek(uint64_t offset) {
  off_t r = ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET);
  if (r < 0) Fail("Unable to seek in", path_, errno);
  return static_cast<uint64_t>(r);
}

uint64_t File::Position() const {
  off_t r = ::lseek(fd_, 0, SEEK_CUR);
  if (r < 0) Fail("Unable to seek in", path_, errno);
  return static_cast<uint64_t>(r);
}

uint64_t File::Size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) Fail("Unable to read the size of", path_, errno);
  return static_cast<uint64_t>(st.st_size);
}

void File::Truncate(uint64_t size) {
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) Fail("Unable to truncate", path_, errno);
}

void File::Fsync() {
  if (::fsync(fd_) != 0) Fail("Unable to flush", path_, errno);
}

void File::Close() {
  if (fd_ < 0) return;
  int fd = fd_;
  fd_ = -1;
  // POSIX leaves the descriptor state unspecified after EINTR; Linux always
  // releases it, so close is never retried.
  if (::close(fd) != 0 && errno != EINTR) Fail("Unable to close", path_, errno);
}

// --- Information ----------------------------------------------------------------

FileInfo Stat(const std::filesystem::path& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return {};
    Fail("Unable to read the attributes of", path, errno);
  }
  return FromStat(st);
}

FileInfo LStat(const std::filesystem::path& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return {};
    Fail("Unable to read the attributes of", path, errno);
  }
  return FromStat(st);
}

FileInfo FStat(const File& file) {
  struct stat st;
  if (::fstat(file.Fd(), &st) != 0) Fail("Unable to read the attributes of", file.Path(), errno);
  return FromStat(st);
}

void SetFileTimes(const std::filesystem::path& path, const timespec& mtime) {
  timespec times[2] = {mtime, mtime};
  if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    Fail("Unable to set the time of", path, errno);
  }
}

void SetFileTimes(const File& file, const timespec& mtime) {
  timespec times[2] = {mtime, mtime};
  if (::futimens(file.Fd(), times) != 0) Fail("Unable to set the time of", file.Path(), errno);
}

bool IsReadOnly(const FileInfo& info) { return (info.mode & S_IWUSR) == 0; }

uint32_t DosAttributes(const FileInfo& info) {
  uint32_t attr = 0;
  if (IsReadOnly(info)) attr |= kAttrReadOnly;
  if (info.IsDirectory()) attr |= kAttrDirectory;
  if (info.IsRegular()) attr |= kAttrArchive;
  return attr;
}

void ApplyDosAttributes(const std::filesystem::path& path, uint32_t attributes) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) Fail("Unable to read the attributes of", path, errno);
  mode_t mode = st.st_mode & 07777;
  mode_t wanted =
      (attributes & kAttrReadOnly) ? (mode & ~(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
  if (wanted != mode && ::chmod(path.c_str(), wanted) != 0) {
    Fail("Unable to set the attributes of", path, errno);
  }
}

// --- Folders and names ------------------------------------------------------------

void MakeDirs(const std::filesystem::path& path) {
  if (path.empty()) return;
  std::filesystem::path partial;
  for (const auto& part : path.lexically_normal()) {
    partial /= part;
    if (part.empty() || part == "/") continue;
    if (::mkdir(partial.c_str(), 0777) == 0) continue;
    int err = errno;
    if (err == EEXIST) {
      struct stat st;
      if (::stat(partial.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
      Fail("Unable to create directory", partial, ENOTDIR);
    }
    Fail("Unable to create directory", partial, err);
  }
}

File CreateTempFile(const std::filesystem::path& folder, std::string_view prefix,
                    std::string_view suffix) {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char random[8];
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
      // Fall back to something that still differs between attempts.
      for (size_t i = 0; i < sizeof random; ++i) {
        random[i] = static_cast<unsigned char>(::getpid() * 31 + attempt * 7 + i);
      }
    }
    std::string name(prefix);
    for (unsigned char r : random) name += kDigits[r % 36];
    name += suffix;
    std::filesystem::path path = folder / name;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return File::Adopt(fd, path);
    if (errno != EEXIST && errno != EINTR)
      Fail("Unable to create a temporary file in", folder, errno);
  }
  Fail("Unable to create a temporary file in", folder, EEXIST);
}

void RenameFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    int err = errno;
    throw EOSError("Unable to rename " + from.string() + " to", to.string(), err);
  }
}

bool RemoveFile(const std::filesystem::path& path) {
  if (::unlink(path.c_str()) == 0) return true;
  if (errno == ENOENT) return false;
  Fail("Unable to delete", path, errno);
}

void RemoveFileNoThrow(const std::filesystem::path& path) noexcept { ::unlink(path.c_str()); }

uint64_t FreeSpace(const std::filesystem::path& path) {
  struct statvfs vfs;
  if (::statvfs(path.c_str(), &vfs) != 0) Fail("Unable to read the free space of", path, errno);
  return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

// --- Writable files ---------------------------------------------------------------

PosixWritableFile::PosixWritableFile(File file) : file_(std::move(file)) {
  pos_ = file_.Position();
}

void PosixWritableFile::Append(std::span<const std::byte> data) {
  file_.WriteAt(pos_, data);
  pos_ += data.size();
}

void PosixWritableFile::WriteAt(uint64_t offset, std::span<const std::byte> data) {
  file_.WriteAt(offset, data);
}

void PosixWritableFile::Sync() { file_.Fsync(); }

void PosixWritableFile::Close() { file_.Close(); }

namespace {
class PosixFactory final : public WritableFileFactory {
 public:
  std::unique_ptr<WritableFile> Wrap(File file) override {
    return std::make_unique<PosixWritableFile>(std::move(file));
  }
};
}  // namespace

WritableFileFactory& DefaultWritableFileFactory() {
  static PosixFactory factory;
  return factory;
}

void RemoveUnlockedLeftovers(const std::string& folder,
                             const std::function<bool(const char* name)>& is_leftover) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* de = ::readdir(dir)) {
    if (!is_leftover(de->d_name)) continue;
    const int fd = ::openat(::dirfd(dir), de->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      ::unlinkat(::dirfd(dir), de->d_name, 0);
    }
    ::close(fd);
  }
  ::closedir(dir);
}

}  // namespace zb
