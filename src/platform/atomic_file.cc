#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "base/errors.h"

namespace zb {
namespace {

// Linux's own limit on links followed while resolving a path.
constexpr int kMaxSymlinkHops = 40;

std::string Reason(const char* step, int err) {
  return std::string(step) + ": " + std::strerror(err);
}

std::filesystem::path TempNameFor(const std::filesystem::path& target) {
  static std::atomic<unsigned> counter{0};
  // A leading dot keeps the temporary file out of casual listings; pid and
  // counter make it unique among the writers of this machine.
  std::string name(".");
  name.append(target.filename().string());
  name.append(".tmp-");
  name.append(std::to_string(getpid()));
  name.push_back('-');
  name.append(std::to_string(counter.fetch_add(1)));
  return target.parent_path() / name;
}

// Makes the rename itself durable. Failure here is not reported: the data
// are already in place and readable, only a power loss could undo it.
void SyncFolder(const std::filesystem::path& folder) {
  const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)fsync(fd);
  close(fd);
}

}  // namespace

int FileOps::Open(const char* path, int flags, mode_t mode) { return open(path, flags, mode); }
ssize_t FileOps::Write(int fd, const void* data, size_t size) { return write(fd, data, size); }
int FileOps::Fsync(int fd) { return fsync(fd); }
int FileOps::Fchmod(int fd, mode_t mode) { return fchmod(fd, mode); }
int FileOps::Close(int fd) { return close(fd); }
int FileOps::Rename(const char* from, const char* to) { return rename(from, to); }
int FileOps::Unlink(const char* path) { return unlink(path); }

FileOps& FileOps::Default() {
  static FileOps ops;
  return ops;
}

std::filesystem::path ResolveSymlinks(const std::filesystem::path& path) {
  std::filesystem::path p = path;
  for (int hop = 0; hop <= kMaxSymlinkHops; ++hop) {
    struct stat st {};
    if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
    std::error_code ec;
    std::filesystem::path next = std::filesystem::read_symlink(p, ec);
    if (ec) throw EOSError("Unable to read the link", p.string(), ec.value());
    p = next.is_absolute() ? next : p.parent_path() / next;
  }
  throw EOSError("Unable to resolve", path.string(), ELOOP);
}

void WriteFileAtomically(const std::filesystem::path& path, std::string_view data, FileOps& ops) {
  const std::string shown = path.string();
  std::filesystem::path target;
  try {
    target = ResolveSymlinks(path);
  } catch (const EOSError& e) {
    throw EWriteError(shown, Reason("resolving the link", e.Errno()));
  }

  // Permission bits of the file being replaced; a new file takes the
  // default that the umask leaves of 0666.
  struct stat old {};
  const bool had_old = stat(target.c_str(), &old) == 0;

  std::filesystem::path temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = TempNameFor(target);
    fd = ops.Open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) throw EWriteError(shown, Reason("creating a temporary file", errno));

  auto fail = [&](const char* step, int err) {
    if (fd >= 0) ops.Close(fd);
    ops.Unlink(temp.c_str());
    throw EWriteError(shown, Reason(step, err));
  };

  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ops.Write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("writing", errno);
    }
    if (n == 0) fail("writing", EIO);  // no progress: treat as a device error
    done += static_cast<size_t>(n);
  }
  if (had_old && ops.Fchmod(fd, old.st_mode & 07777) != 0) fail("setting permissions", errno);
  if (ops.Fsync(fd) != 0) fail("flushing to disk", errno);
  const int fd_closing = fd;
  fd = -1;
  if (ops.Close(fd_closing) != 0) fail("closing", errno);
  if (ops.Rename(temp.c_str(), target.c_str()) != 0) fail("replacing the file", errno);
  SyncFolder(target.parent_path());
}

std::optional<std::string> ReadFileIfExists(const std::filesystem::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw EOSError("Unable to read", path.string(), errno);
  }
  std::string out;
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      close(fd);
      throw EOSError("Unable to read", path.string(), err);
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

}  // namespace zb
