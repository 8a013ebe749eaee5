#include "backup/wildcard_list.h"

#include "app/data_folder.h"
#include "base/path.h"
#include "base/text.h"
#include "ini/ini_file.h"

namespace zb::backup {

namespace {

constexpr char kCommon[] = "Common";
constexpr char kTotalKey[] = "Wildcard Total";
constexpr char kItemKey[] = "Wildcard";

}  // namespace

std::vector<std::string> ReadWildcardList(const std::filesystem::path& data_dir) {
  std::vector<std::string> patterns;
  try {
    const ini::IniFile f(app::DataFile(data_dir, app::kProjectFile));
    // The total comes from a file users may edit: a huge count must not make
    // us probe billions of keys, so the walk ends after the highest index
    // that is actually present.
    const int total = f.ReadInteger(kCommon, kTotalKey, 0);
    int present = 0;
    for (const std::string& key : f.KeyNames(kCommon)) {
      const std::string_view k(key);
      if (k.size() <= sizeof(kItemKey) - 1 || k.size() > sizeof(kItemKey) + 8) continue;
      if (!SameText(k.substr(0, sizeof(kItemKey) - 1), kItemKey)) continue;
      int index = 0;
      bool digits = true;
      for (char c : k.substr(sizeof(kItemKey) - 1)) {
        if (c < '0' || c > '9') {
          digits = false;
          break;
        }
        index = index * 10 + (c - '0');
      }
      if (digits && index >= present) present = index + 1;
    }
    for (int i = 0; i < total && i < present; ++i) {
      std::string p(f.ReadString(kCommon, kItemKey + std::to_string(i), ""));
      if (!Trim(p).empty()) patterns.push_back(std::move(p));
    }
  } catch (const std::exception&) {
    // An unreadable file offers no patterns rather than failing the picker.
    patterns.clear();
  }
  return patterns;
}

void WriteWildcardList(const std::filesystem::path& data_dir,
                       const std::vector<std::string>& patterns) {
  app::DataFolderLock lock(data_dir);
  ini::IniFile f(app::DataFile(data_dir, app::kProjectFile));
  f.WriteList(kCommon, kTotalKey, kItemKey, patterns);
  f.Save();
}

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
