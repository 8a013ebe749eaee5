#include "platform/folder_walk.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace zb {

OpenFolder OpenFolder::Open(const std::filesystem::path& path) {
  return {UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), path};
}

WalkResult WalkFolders(const OpenFolder& base, std::span<const std::string> parts,
                       const WalkOptions& options, OpenFolder* out) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (options.follow_links ? 0 : O_NOFOLLOW);
  UniqueFd cur = base.fd.Duplicate();
  std::filesystem::path path = base.path;
  if (!cur.Valid()) return {WalkError::kFailed, std::strerror(errno)};
  for (const std::string& part : parts) {
    path /= part;
    int fd = ::openat(cur.Get(), part.c_str(), flags);
    if (fd < 0 && errno == ENOENT && options.create) {
      if (::mkdirat(cur.Get(), part.c_str(), 0777) != 0 && errno != EEXIST) {
        return {WalkError::kFailed,
                "Unable to create directory " + path.string() + ": " + std::strerror(errno)};
      }
      fd = ::openat(cur.Get(), part.c_str(), flags);
    }
    if (fd < 0) {
      const int err = errno;
      // O_NOFOLLOW on a link gives ELOOP, or ENOTDIR with O_DIRECTORY on
      // some kernels; only a look at the level itself tells a link apart
      // from a plain file in the way.
      if (err == ELOOP || err == ENOTDIR) {
        struct stat st {};
        if (::fstatat(cur.Get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode)) {
          return {WalkError::kThroughLink,
                  "the path passes through the symbolic link " + path.string()};
        }
      }
      return {WalkError::kFailed,
              "Unable to open directory " + path.string() + ": " + std::strerror(err)};
    }
    cur = UniqueFd(fd);
  }
  out->fd = std::move(cur);
  out->path = std::move(path);
  return {};
}

}  // namespace zb
