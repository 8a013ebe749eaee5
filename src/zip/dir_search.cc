#include "zip/dir_search.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace zb::zip {

const char* FileProblemText(FileProblem problem) {
  switch (problem) {
    case FileProblem::kCannotOpen:
      return "cannot open";
    case FileProblem::kCannotRead:
      return "cannot read";
    case FileProblem::kVanished:
      return "vanished";
    case FileProblem::kChanged:
      return "changed while being stored";
    case FileProblem::kSpecialFile:
      return "not a regular file";
    case FileProblem::kLinkLoop:
      return "link loop";
    case FileProblem::kDuplicateName:
      return "duplicate name";
  }
  return "unknown problem";
}

std::string JoinPath(std::string_view folder, std::string_view name) {
  if (folder.empty()) return std::string(name);
  std::string out;
  out.reserve(folder.size() + 1 + name.size());
  out.append(folder);
  if (out.empty() || out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

TDirSearch::TDirSearch(ProblemReporter reporter, std::function<void()> pump)
    : reporter_(std::move(reporter)), pump_(std::move(pump)) {}

void TDirSearch::Report(const std::string& path, FileProblem problem, const std::string& detail) {
  if (reporter_) reporter_(path, problem, detail);
}

void TDirSearch::Tick() {
  // Often enough to keep a window responsive, rarely enough to cost nothing.
  if (pump_ && (++ticks_ & 255) == 0) pump_();
}

void TDirSearch::Walk(const std::string& folder, bool recurse, const Visit& visit) {
  // The starting folder was named by the caller, so a link there is followed.
  const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    Report(folder, FileProblem::kCannotOpen, std::strerror(errno));
    return;
  }
  ancestors_.clear();
  WalkFd(fd, folder, recurse, visit);
}

void TDirSearch::WalkFd(int dir_fd, const std::string& folder, bool recurse, const Visit& visit) {
  struct stat self {};
  if (fstat(dir_fd, &self) != 0) {
    Report(folder, FileProblem::kCannotOpen, std::strerror(errno));
    close(dir_fd);
    return;
  }
  const FileId self_id{self.st_dev, self.st_ino};
  if (std::find(ancestors_.begin(), ancestors_.end(), self_id) != ancestors_.end()) {
    Report(folder, FileProblem::kLinkLoop, "folder contains itself");
    close(dir_fd);
    return;
  }
  DIR* dir = fdopendir(dir_fd);
  if (dir == nullptr) {
    Report(folder, FileProblem::kCannotOpen, std::strerror(errno));
    close(dir_fd);
    return;
  }
  ancestors_.push_back(self_id);
  struct Closer {
    DIR* d;
    std::vector<FileId>* a;
    ~Closer() {
      closedir(d);
      a->pop_back();
    }
  } closer{dir, &ancestors_};

  FoundItem item;
  for (;;) {
    errno = 0;
    const dirent* de = readdir(dir);
    if (de == nullptr) {
      if (errno != 0) Report(folder, FileProblem::kCannotRead, std::strerror(errno));
      break;
    }
    const char* name = de->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    Tick();
    item.path = JoinPath(folder, name);
    item.name = std::string_view(item.path).substr(item.path.size() - std::strlen(name));

    struct stat st {};
    if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      // Deleted between readdir and stat: nothing to store, nothing lost.
      if (errno != ENOENT) Report(item.path, FileProblem::kCannotOpen, std::strerror(errno));
      continue;
    }
    if (S_ISLNK(st.st_mode)) {
      struct stat target {};
      if (fstatat(dirfd(dir), name, &target, 0) != 0) {
        const int err = errno;
        Report(item.path, err == ELOOP ? FileProblem::kLinkLoop : FileProblem::kCannotOpen,
               err == ENOENT ? "broken symbolic link" : std::strerror(err));
        continue;
      }
      // Following a link to a folder could store a tree twice or loop, so
      // only links to files are taken (with the content of their target).
      if (S_ISDIR(target.st_mode)) continue;
      st = target;
    }
    if (S_ISDIR(st.st_mode)) {
      if (!recurse) continue;
      item.is_dir = true;
      item.size = 0;
      item.id = {st.st_dev, st.st_ino};
      visit(item);
      const int sub = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) {
        if (errno != ENOENT) Report(item.path, FileProblem::kCannotOpen, std::strerror(errno));
        continue;
      }
      const std::string sub_path = item.path;
      WalkFd(sub, sub_path, recurse, visit);
      continue;
    }
    if (!S_ISREG(st.st_mode)) {
      Report(item.path, FileProblem::kSpecialFile, "");
      continue;
    }
    item.is_dir = false;
    item.size = static_cast<uint64_t>(st.st_size);
    item.id = {st.st_dev, st.st_ino};
    visit(item);
  }
}

}  // namespace zb::zip
