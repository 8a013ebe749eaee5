#pragma once

// The wildcard patterns shared by every picker of the program, kept in the
// "Common" section of "project.ini", and the small list rules of the
// editor and the pickers.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace zb::backup {

// The stored patterns in the user's order: "Wildcard Total" entries
// "Wildcard0".., empty or missing entries skipped. A missing or unreadable
// file reads as an empty list; never throws on content.
[[nodiscard]] std::vector<std::string> ReadWildcardList(const std::filesystem::path& data_dir);

// Stores `patterns` as the list: the total and one key each, in one atomic
// save under the data-folder lock. Keys at or beyond the new total stay in
// the file (they are never read). Throws zb::ELocked, zb::EWriteError
// (nothing changed) or zb::EInvalidInput for a pattern that cannot be stored.
void WriteWildcardList(const std::filesystem::path& data_dir,
                       const std::vector<std::string>& patterns);

// The editor's add: appends the trimmed `text` unless it is empty or the
// list already holds it (case ignored). Returns whether it was appended.
bool AddWildcard(std::vector<std::string>& patterns, std::string_view text);

// The list entry of the wildcard picker: `folder` with a trailing separator
// added when it lacks one, then the trimmed `pattern`. An empty pattern
// leaves the folder itself ("/data/"), which the writer takes as the folder.
[[nodiscard]] std::string WildcardEntry(std::string_view folder, std::string_view pattern);

}  // namespace zb::backup
