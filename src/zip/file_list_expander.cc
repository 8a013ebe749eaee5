#include "zip/file_list_expander.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "zip/wildcard.h"

namespace zb::zip {
namespace {

std::string AsciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string_view FileNameOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> SplitFolders(std::string_view folder) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= folder.size()) {
    const size_t slash = folder.find('/', start);
    const size_t end = slash == std::string_view::npos ? folder.size() : slash;
    if (end > start) parts.emplace_back(folder.substr(start, end - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return parts;
}

// Real subfolders of `folder` whose names match `mask`, in listing order.
// Links to folders are not followed here either, as in the walk.
std::vector<std::string> MatchingSubfolders(const std::string& folder, const std::string& mask) {
  std::vector<std::string> out;
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return out;
  while (const dirent* de = readdir(dir)) {
    const char* name = de->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    struct stat st {};
    if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
      continue;
    }
    if (WildcardMatch(mask, name)) out.push_back(JoinPath(folder, name));
  }
  closedir(dir);
  return out;
}

// Resolves a folder part that may hold wildcards into the existing folders
// it names, matching each level from the first wildcard on.
std::vector<std::string> ResolveFolders(const std::string& folder) {
  if (!HasWildcard(folder)) return {folder};
  const bool absolute = !folder.empty() && folder[0] == '/';
  std::vector<std::string> current{absolute ? "/" : ""};
  for (const std::string& part : SplitFolders(folder)) {
    std::vector<std::string> next;
    for (const std::string& base : current) {
      if (HasWildcard(part)) {
        for (std::string& sub : MatchingSubfolders(base, part)) next.push_back(std::move(sub));
      } else {
        next.push_back(JoinPath(base, part));
      }
    }
    current = std::move(next);
    if (current.empty()) break;
  }
  return current;
}

}  // namespace

bool MaskMatch(std::string_view mask, std::string_view name) {
  if (mask == "*.*" || mask == "*") return true;
  if (WildcardMatch(mask, name)) return true;
  if (name.find('.') == std::string_view::npos) {
    std::string dotted(name);
    dotted.push_back('.');
    return WildcardMatch(mask, dotted);
  }
  return false;
}

ExclusionTest::ExclusionTest(const std::vector<std::string>& exclude_list) {
  for (const std::string& e : exclude_list) {
    if (e.empty()) continue;
    const bool whole_path = e.find('/') != std::string::npos;
    if (HasWildcard(e)) {
      (whole_path ? path_patterns_ : name_patterns_).push_back(e);
    } else {
      (whole_path ? paths_ : names_).insert(AsciiLower(e));
    }
  }
}

bool ExclusionTest::Excludes(std::string_view path) const {
  const std::string_view name = FileNameOf(path);
  if (!names_.empty() && names_.count(AsciiLower(name)) != 0) return true;
  if (!paths_.empty() && paths_.count(AsciiLower(path)) != 0) return true;
  for (const std::string& p : name_patterns_) {
    if (WildcardMatch(p, name)) return true;
  }
  for (const std::string& p : path_patterns_) {
    if (WildcardMatch(p, path)) return true;
  }
  return false;
}

std::vector<ExpandedItem> ExpandFilesList(const std::vector<std::string>& files_list,
                                          const ExpandOptions& options,
                                          const ProblemReporter& reporter,
                                          const std::function<void()>& pump) {
  const ExclusionTest exclusion(options.exclude_list);
  std::unordered_set<std::string> taken;
  std::vector<ExpandedItem> out;
  std::vector<std::string> patterns;

  auto report = [&](const std::string& path, FileProblem problem, const std::string& detail) {
    if (reporter) reporter(path, problem, detail);
  };
  auto skipped = [&](const std::string& path, FileId id) {
    for (const FileId& s : options.skip_ids) {
      if (s == id) return true;
    }
    return std::find(options.skip_paths.begin(), options.skip_paths.end(), path) !=
           options.skip_paths.end();
  };
  auto take = [&](std::string path, bool is_folder, uint64_t size) {
    if (!taken.insert(path).second) return;
    out.push_back({std::move(path), is_folder, size});
  };

  for (const std::string& entry : files_list) {
    if (entry.empty()) continue;
    if (entry.back() == '/') {
      take(entry, true, 0);
      continue;
    }
    const std::string path =
        entry.find('/') == std::string::npos ? JoinPath(options.root_dir, entry) : entry;
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    const int stat_errno = exists ? 0 : errno;
    // A file that exists under this very name is that file, even when its
    // name holds characters that would otherwise make it a pattern.
    if (!(exists && S_ISREG(st.st_mode)) && HasWildcard(entry)) {
      patterns.push_back(entry);
      continue;
    }
    if (!exists) {
      report(path, stat_errno == ELOOP ? FileProblem::kLinkLoop : FileProblem::kCannotOpen,
             std::strerror(stat_errno));
      continue;
    }
    if (skipped(path, {st.st_dev, st.st_ino})) continue;
    if (S_ISDIR(st.st_mode)) {
      take(path + "/", true, 0);
      continue;
    }
    if (!S_ISREG(st.st_mode)) {
      report(path, FileProblem::kSpecialFile, "");
      continue;
    }
    if (exclusion.Excludes(path)) continue;
    take(path, false, static_cast<uint64_t>(st.st_size));
  }

  TDirSearch search(reporter, pump);
  for (const std::string& raw : patterns) {
    std::string_view pattern = raw;
    bool recurse = options.recurse;
    if (pattern[0] == '|') {
      recurse = false;
      pattern.remove_prefix(1);
    } else if (pattern[0] == '>') {
      recurse = true;
      pattern.remove_prefix(1);
    }
    const size_t slash = pattern.rfind('/');
    std::string folder;
    std::string mask;
    if (slash == std::string_view::npos) {
      folder = options.root_dir;
      mask = pattern;
    } else {
      folder = std::string(pattern.substr(0, slash == 0 ? 1 : slash));
      mask = pattern.substr(slash + 1);
    }
    if (mask.empty()) mask.assign(1, '*');  // assigning "*" trips GCC 12's -Wrestrict
    for (const std::string& dir : ResolveFolders(folder)) {
      search.Walk(dir, recurse, [&](const FoundItem& item) {
        if (skipped(item.path, item.id)) return;
        if (item.is_dir) {
          if (options.add_dir_entries) take(item.path + "/", true, 0);
          return;
        }
        if (!MaskMatch(mask, item.name)) return;
        if (exclusion.Excludes(item.path)) return;
        take(item.path, false, item.size);
      });
    }
  }
  return out;
}

}  // namespace zb::zip
