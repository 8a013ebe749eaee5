#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace zb {

// The system calls WriteFileAtomically makes, behind a seam so that tests can
// put a double in (one that fails after N bytes, or at fsync or rename).
// Each returns what the POSIX call returns and sets errno the same way.
class FileOps {
 public:
  virtual ~FileOps() = default;
  virtual int Open(const char* path, int flags, mode_t mode);
  virtual ssize_t Write(int fd, const void* data, size_t size);
  virtual int Fsync(int fd);
  virtual int Fchmod(int fd, mode_t mode);
  virtual int Close(int fd);
  virtual int Rename(const char* from, const char* to);
  virtual int Unlink(const char* path);

  // The real calls; shared and stateless.
  static FileOps& Default();
};

// Replaces the contents of `path` with `data` so that readers see either the
// old file or the new one, never a mixture: a temporary file in the same
// folder is written in full, flushed to disk and renamed over the old file.
// A symbolic link is followed and its final target is replaced (the link
// stays a link). An existing file keeps its permission bits; a new one gets
// 0666 less the umask. On any failure the old file is untouched, the
// temporary file is removed, and zb::EWriteError is thrown naming `path`
// with the failing step and OS reason in Reason().
void WriteFileAtomically(const std::filesystem::path& path, std::string_view data,
                         FileOps& ops = FileOps::Default());

// Reads a whole file. nullopt when it does not exist; zb::EOSError
// ("Unable to read <path>: reason") for any other failure, so a file that
// merely cannot be read is never mistaken for an empty one and overwritten.
[[nodiscard]] std::optional<std::string> ReadFileIfExists(const std::filesystem::path& path);

// Follows a chain of symbolic links to the path that really holds the data
// (the path itself when it is no link or does not exist). Throws
// zb::EOSError on a link loop.
[[nodiscard]] std::filesystem::path ResolveSymlinks(const std::filesystem::path& path);

}  // namespace zb
