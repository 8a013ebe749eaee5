#include "backup/retention_ring.h"

#include <cstdint>
#include <string>
#include <unordered_set>

#include "app/data_folder.h"
#include "backup/backup_project.h"
#include "base/errors.h"
#include "base/text.h"
#include "ini/ini_file.h"
#include "platform/atomic_file.h"
#include "platform/file_system.h"

namespace zb::backup {
namespace {

constexpr char kMaxKey[] = "Max";
constexpr char kHeadKey[] = "Head";
constexpr char kPendingKey[] = "Pending";
constexpr char kPendingNumberKey[] = "PendingNumber";
constexpr char kPendingStartKey[] = "PendingStart";
constexpr std::string_view kPlaceholder = "NoFile";

std::string SlotKey(int64_t slot) { return "N" + IntToStr(slot); }

// "NoFile" + digits stands for an empty slot while a ring is shrunk.
bool IsPlaceholder(std::string_view text) {
  if (!text.starts_with(kPlaceholder) || text.size() == kPlaceholder.size()) return false;
  for (char c : text.substr(kPlaceholder.size())) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool HoldsArchive(std::string_view text) { return !text.empty() && !IsPlaceholder(text); }

// Slot texts are compared in a normal form, so "/b//x.zip" and "/b/x.zip"
// count as the same archive.
std::string NormalPath(std::string_view text) {
  return std::filesystem::path(text).lexically_normal().string();
}

// A slot key of any ring: "N" followed by decimal digits only.
bool IsSlotKey(std::string_view key) {
  if (key.size() < 2 || (key[0] != 'N' && key[0] != 'n')) return false;
  for (char c : key.substr(1)) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

ini::IniFile LoadRingFile(const std::filesystem::path& data_dir) {
  return ini::IniFile(app::DataFile(data_dir, app::kStoreNumberFile));
}

// Deletes `text`'s file when it is safe to: only a regular file (never a link,
// folder or device) whose name ends in ".zip", and never the new archive.
bool DeleteArchive(const std::string& text, const FileInfo& new_archive) {
  if (!EndsWith(LowerCase(text), ".zip")) return false;
  try {
    const FileInfo info = LStat(text);
    if (!info.IsRegular() || SameFile(info, new_archive)) return false;
    return RemoveFile(text);
  } catch (const Error&) {
    // An archive that cannot be looked at or removed stays; the ring goes on.
    return false;
  }
}

}  // namespace

std::vector<std::string> RecordArchive(const std::filesystem::path& data_dir,
                                       std::string_view project, const std::string& archive_path,
                                       int keep_count, int naming_mode) {
  return RecordArchive(data_dir, project, archive_path, keep_count, naming_mode,
                       FileOps::Default());
}

std::vector<std::string> RecordArchive(const std::filesystem::path& data_dir,
                                       std::string_view project, const std::string& archive_path,
                                       int keep_count, int naming_mode, FileOps& ops) {
  if (naming_mode == kSuffixNone) return {};
  if (keep_count < kMinKeepCount || keep_count > kMaxKeepCount) {
    throw EInvalidInput("The number of archives to keep (" + IntToStr(keep_count) +
                        ") is outside 1.." + IntToStr(kMaxKeepCount));
  }
  const int64_t k = keep_count;
  app::DataFolderLock lock(data_dir);
  ini::IniFile file = LoadRingFile(data_dir);
  const int64_t max = file.ReadInteger(project, kMaxKey, 2);
  int64_t head = file.ReadInteger(project, kHeadKey, 0);

  std::vector<std::string> candidates;  // texts of archives falling out
  if (max < kMinKeepCount || max > kMaxKeepCount || head < 0) {
    // A hand-edited or damaged section cannot say which archives are the
    // oldest: delete nothing and start the ring again with this archive.
    head = 1;
    file.WriteInteger(project, kMaxKey, k);
  } else {
    if (k < max) {
      // Shrink: list the slots oldest first, drop the oldest max - k and
      // pack the rest into slots 1..k, newest in slot k.
      std::vector<std::string> texts;
      texts.reserve(static_cast<size_t>(max));
      for (int64_t i = 1; i <= max; ++i) {
        const int64_t slot = (head + i - 1) % max + 1;
        const std::string key = SlotKey(slot);
        texts.push_back(file.KeyExists(project, key) ? file.ReadString(project, key, "")
                                                     : std::string(kPlaceholder) + IntToStr(slot));
      }
      for (int64_t i = 0; i < max - k; ++i) candidates.push_back(texts[i]);
      for (int64_t j = 1; j <= k; ++j) {
        file.WriteString(project, SlotKey(j), texts[static_cast<size_t>(max - k + j - 1)]);
      }
      head = k;
    }
    file.WriteInteger(project, kMaxKey, k);
    if (head > k) head = 0;
    head = head % k + 1;
    candidates.push_back(file.ReadString(project, SlotKey(head), ""));
  }
  file.WriteInteger(project, kHeadKey, head);
  file.WriteString(project, SlotKey(head), archive_path);

  // Whatever a live slot of any ring names is still wanted, also when names
  // repeat (a number stuck at its limit, two projects writing one folder).
  std::unordered_set<std::string> wanted;
  for (int64_t slot = 1; slot <= k; ++slot) {
    const std::string text = file.ReadString(project, SlotKey(slot), "");
    if (HoldsArchive(text)) wanted.insert(NormalPath(text));
  }
  for (const std::string& section : file.SectionNames()) {
    if (SameText(section, project)) continue;
    for (const std::string& key : file.KeyNames(section)) {
      if (!IsSlotKey(key)) continue;
      const std::string text = file.ReadString(section, key, "");
      if (HoldsArchive(text)) wanted.insert(NormalPath(text));
    }
  }

  file.Save(ops);

  FileInfo new_archive;
  try {
    new_archive = Stat(archive_path);
  } catch (const Error&) {
    // Compared by path only then.
  }
  std::vector<std::string> deleted;
  for (const std::string& text : candidates) {
    if (!HoldsArchive(text) || wanted.contains(NormalPath(text))) continue;
    if (DeleteArchive(text, new_archive)) deleted.push_back(text);
  }
  return deleted;
}

void EraseRing(const std::filesystem::path& data_dir, std::string_view project) {
  app::DataFolderLock lock(data_dir);
  ini::IniFile file = LoadRingFile(data_dir);
  file.EraseSection(project);
  file.Save();
}

void MoveRing(const std::filesystem::path& data_dir, std::string_view old_name,
              std::string_view new_name) {
  if (SameText(Trim(old_name), Trim(new_name))) return;
  app::DataFolderLock lock(data_dir);
  ini::IniFile file = LoadRingFile(data_dir);
  // A leftover ring of the new name must not be inherited.
  file.EraseSection(new_name);
  if (file.SectionExists(old_name)) {
    const int max = file.ReadInteger(old_name, kMaxKey, 2);
    file.WriteInteger(new_name, kMaxKey, max);
    file.WriteInteger(new_name, kHeadKey, file.ReadInteger(old_name, kHeadKey, 0));
    // A run interrupted before a rename is still recovered under the new name.
    for (const char* key : {kPendingKey, kPendingNumberKey, kPendingStartKey}) {
      if (file.KeyExists(old_name, key))
        file.WriteString(new_name, key, file.ReadString(old_name, key, ""));
    }
    // A damaged Max copies no slot rather than walking an absurd range.
    const int last = (max >= kMinKeepCount && max <= kMaxKeepCount) ? max : 0;
    for (int slot = 1; slot <= last; ++slot) {
      const std::string text = file.ReadString(old_name, SlotKey(slot), "");
      if (!text.empty()) file.WriteString(new_name, SlotKey(slot), text);
    }
    file.EraseSection(old_name);
  }
  file.Save();
}

void MarkPending(const std::filesystem::path& data_dir, std::string_view project,
                 const PendingArchive& pending, FileOps& ops) {
  app::DataFolderLock lock(data_dir);
  ini::IniFile file = LoadRingFile(data_dir);
  file.WriteString(project, kPendingKey, pending.path);
  file.WriteInteger(project, kPendingNumberKey, pending.number);
  file.WriteInteger(project, kPendingStartKey, pending.start_seconds);
  file.Save(ops);
}

void ClearPending(const std::filesystem::path& data_dir, std::string_view project, FileOps& ops) {
  app::DataFolderLock lock(data_dir);
  ini::IniFile file = LoadRingFile(data_dir);
  file.DeleteKey(project, kPendingKey);
  file.DeleteKey(project, kPendingNumberKey);
  file.DeleteKey(project, kPendingStartKey);
  file.Save(ops);
}

std::optional<PendingArchive> ReadPending(const std::filesystem::path& data_dir,
                                          std::string_view project) {
  const ini::IniFile file = LoadRingFile(data_dir);
  PendingArchive pending;
  pending.path = file.ReadString(project, kPendingKey, "");
  if (pending.path.empty()) return std::nullopt;
  pending.number = file.ReadInteger(project, kPendingNumberKey, 0);
  pending.start_seconds = StrToInt64Def(file.ReadString(project, kPendingStartKey, ""), 0);
  return pending;
}

bool RingHolds(const std::filesystem::path& data_dir, const std::string& path) {
  const ini::IniFile file = LoadRingFile(data_dir);
  const std::string wanted = NormalPath(path);
  for (const std::string& section : file.SectionNames()) {
    // Slots above Max count too, as they do for the deletions of the ring:
    // a file any slot names is never moved away by a run.
    for (const std::string& key : file.KeyNames(section)) {
      if (!IsSlotKey(key)) continue;
      const std::string text = file.ReadString(section, key, "");
      if (HoldsArchive(text) && NormalPath(text) == wanted) return true;
    }
  }
  return false;
}

std::vector<std::string> RingArchives(const std::filesystem::path& data_dir,
                                      std::string_view project) {
  const ini::IniFile file = LoadRingFile(data_dir);
  const int64_t max = file.ReadInteger(project, kMaxKey, 2);
  const int64_t head = file.ReadInteger(project, kHeadKey, 0);
  std::vector<std::string> out;
  if (max < kMinKeepCount || max > kMaxKeepCount || head < 0) return out;
  for (int64_t i = 1; i <= max; ++i) {
    const std::string text = file.ReadString(project, SlotKey((head + i - 1) % max + 1), "");
    if (HoldsArchive(text)) out.push_back(text);
  }
  return out;
}

}  // namespace zb::backup
