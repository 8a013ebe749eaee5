#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zb::zip {

// Why a file was left out of an archive. Per-file problems never fail an
// operation: they are reported and the run goes on.
enum class FileProblem {
  kCannotOpen,     // open() or stat() failed (permissions, broken link...)
  kCannotRead,     // a read failed part-way
  kVanished,       // listed, but gone when its turn came
  kChanged,        // changed while being stored (and again on the retry)
  kSpecialFile,    // FIFO, socket or device: never opened
  kLinkLoop,       // a link or mount that leads back into its own folder
  kDuplicateName,  // another file already has this stored name
};

[[nodiscard]] const char* FileProblemText(FileProblem problem);

// Receives every file left out: its path, the kind of problem and the OS
// reason or other detail (may be empty).
using ProblemReporter =
    std::function<void(const std::string& path, FileProblem problem, const std::string& detail)>;

// Identity of a file independent of its path.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileId&) const = default;
};

// One item met by the walk.
struct FoundItem {
  std::string path;       // folder + "/" + name
  std::string_view name;  // points into `path`; valid during the visit only
  bool is_dir = false;
  uint64_t size = 0;
  FileId id;
};

// The depth-first folder walk. Items of a folder come in the order the file
// system lists them, hidden ones included; with `recurse` a subfolder is
// entered when it is met, so its items precede the rest of its parent.
// Symbolic links to folders are not followed; a link to a regular file is
// that file. Folder loops (bind mounts) are caught by device and inode and
// reported. FIFOs, sockets and devices are reported and never opened.
class TDirSearch final {
 public:
  using Visit = std::function<void(const FoundItem&)>;

  // `reporter` and `pump` may be empty; `pump` runs every few hundred items.
  TDirSearch(ProblemReporter reporter, std::function<void()> pump);

  // Calls `visit` for each regular file below `folder`, and for each
  // subfolder (with is_dir set, before its contents) when `recurse` is true.
  // A folder that cannot be opened is reported as kCannotOpen.
  void Walk(const std::string& folder, bool recurse, const Visit& visit);

 private:
  void WalkFd(int dir_fd, const std::string& folder, bool recurse, const Visit& visit);
  void Report(const std::string& path, FileProblem problem, const std::string& detail);
  void Tick();

  ProblemReporter reporter_;
  std::function<void()> pump_;
  std::vector<FileId> ancestors_;
  unsigned ticks_ = 0;
};

// Joins a folder and a name with exactly one "/"; an empty folder gives
// the name alone (relative to the current folder).
[[nodiscard]] std::string JoinPath(std::string_view folder, std::string_view name);

}  // namespace zb::zip
