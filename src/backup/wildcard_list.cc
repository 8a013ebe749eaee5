#include "backup/wildcard_list.h"

#include "base/path.h"
#include "base/text.h"

namespace zb::backup {

bool AddWildcard(std::vector<std::string>& patterns, std::string_view text) {
  const std::string_view p = Trim(text);
  if (p.empty()) return false;
  for (const std::string& listed : patterns) {
    if (SameText(listed, p)) return false;
  }
  patterns.emplace_back(p);
  return true;
}

std::string WildcardEntry(std::string_view folder, std::string_view pattern) {
  return IncludeTrailingSeparator(folder) + std::string(Trim(pattern));
}

}  // namespace zb::backup
