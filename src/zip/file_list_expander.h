#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "zip/dir_search.h"

namespace zb::zip {

// One item of an expanded file list.
struct ExpandedItem {
  std::string path;        // a file, or a folder ending in "/"
  bool is_folder = false;  // store a folder entry, not file data
  uint64_t size = 0;       // at expansion time
};

struct ExpandOptions {
  std::vector<std::string> exclude_list;
  bool recurse = false;
  bool add_dir_entries = false;
  std::string root_dir;  // prefix for plain names without a folder
  // Files never taken, by identity: the archive being written and its
  // temporary file, so an archive inside the zipped folder never stores
  // itself or an earlier state of itself.
  std::vector<FileId> skip_ids;
  std::vector<std::string> skip_paths;  // the same files by path
};

// The exclusion list, split so that plain names cost a hash lookup and only
// real patterns go through WildcardMatch. An entry holding "/" is matched
// against the whole path, any other against the file name alone.
class ExclusionTest final {
 public:
  explicit ExclusionTest(const std::vector<std::string>& exclude_list);
  [[nodiscard]] bool Excludes(std::string_view path) const;

 private:
  std::unordered_set<std::string> names_, paths_;
  std::vector<std::string> name_patterns_, path_patterns_;
};

// Expands a FilesList: folder entries (ending in "/") and plain files keep
// their order; patterns ("[|>]folder/mask") are replaced by the files they
// find, pattern by pattern, in walk order. A leading "|" never searches
// subfolders, ">" always does, otherwise `recurse` decides. Wildcards in the
// folder part are matched level by level against subfolder names. An entry
// naming an existing file is that file even if it contains wildcard
// characters. Files met twice are taken once. Problems go to `reporter`.
[[nodiscard]] std::vector<ExpandedItem> ExpandFilesList(const std::vector<std::string>& files_list,
                                                        const ExpandOptions& options,
                                                        const ProblemReporter& reporter,
                                                        const std::function<void()>& pump);

// True when `name` (a file name without folder) matches `mask` under the
// file-list rules: "*.*" is "*", and a name without an extension also
// matches with a "." appended ("*." selects exactly those names).
[[nodiscard]] bool MaskMatch(std::string_view mask, std::string_view name);

}  // namespace zb::zip
