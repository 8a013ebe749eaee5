#pragma once

// The small list rules of the wildcard editor and the pickers. The shared
// pattern list itself is stored by the project store (ReadWildcardList,
// WriteWildcardList in backup_project.h).

#include <string>
#include <string_view>
#include <vector>

namespace zb::backup {

// The editor's add: appends the trimmed `text` unless it is empty or the
// list already holds it (case ignored). Returns whether it was appended.
bool AddWildcard(std::vector<std::string>& patterns, std::string_view text);

// The list entry of the wildcard picker: `folder` with a trailing separator
// added when it lacks one, then the trimmed `pattern`. An empty pattern
// leaves the folder itself ("/data/"), which the writer takes as the folder.
[[nodiscard]] std::string WildcardEntry(std::string_view folder, std::string_view pattern);

}  // namespace zb::backup
