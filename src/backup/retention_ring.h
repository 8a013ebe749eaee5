#pragma once

// The retention ring: each project remembers the paths of the archives its
// runs produced in numbered slots of "StoreNumber.txt" ([project] Max, Head,
// N1..N<Max>). When a new archive takes a slot, the archive held there
// before is deleted, so at most "keep count" archives of a project remain.
//
// Every operation loads the file once and saves it once, atomically, under
// the data-folder lock (zb::ELocked when another process holds it); a failed
// save throws zb::EWriteError and leaves both the file and the archives as
// they were.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zb {
class FileOps;
}

namespace zb::backup {

inline constexpr int kMinKeepCount = 1;
inline constexpr int kMaxKeepCount = 50000;

// Registers `archive_path` as the newest archive of `project` and deletes the
// archive that falls out of the ring. Nothing happens in None naming mode
// (every run writes the same name). A file is only deleted when it is a
// regular file named "*.zip", is not the new archive and is not named by
// another slot of this ring or by any slot of another project's ring. A
// damaged section (Max outside 1..50000, a negative Head) deletes nothing:
// the ring restarts with the new archive. Returns the paths deleted.
// Throws zb::EInvalidInput (nothing changed) for a keep count outside
// 1..50000. `ops` carries the file write (tests put a full disk there).
std::vector<std::string> RecordArchive(const std::filesystem::path& data_dir,
                                       std::string_view project, const std::string& archive_path,
                                       int keep_count, int naming_mode, FileOps& ops);
std::vector<std::string> RecordArchive(const std::filesystem::path& data_dir,
                                       std::string_view project, const std::string& archive_path,
                                       int keep_count, int naming_mode);

// What a run is about to place, noted in the project's section before the
// archive gets its name and cleared once the ring, the number and the
// newer-than moment are written. A run that finds it knows that the run
// before it stopped somewhere between those steps ("Pending",
// "PendingNumber", "PendingStart").
struct PendingArchive {
  std::string path;
  int number = 0;             // the archive number used (Number mode)
  int64_t start_seconds = 0;  // the run's start, whole seconds of DateTime
};
void MarkPending(const std::filesystem::path& data_dir, std::string_view project,
                 const PendingArchive& pending, FileOps& ops);
void ClearPending(const std::filesystem::path& data_dir, std::string_view project, FileOps& ops);
[[nodiscard]] std::optional<PendingArchive> ReadPending(const std::filesystem::path& data_dir,
                                                        std::string_view project);
// True when a slot of any project's ring names `path`.
[[nodiscard]] bool RingHolds(const std::filesystem::path& data_dir, const std::string& path);

// Removes the project's section; its archives stay on disk.
void EraseRing(const std::filesystem::path& data_dir, std::string_view project);

// Moves the ring of `old_name` to `new_name`: any section of the new name is
// dropped first, then "Max", "Head" and the non-empty slots 1..Max are
// copied and the old section erased. A change of letter case only is a
// no-op (sections match without regard to case).
void MoveRing(const std::filesystem::path& data_dir, std::string_view old_name,
              std::string_view new_name);

// The archive paths of a project's ring, oldest first (for display and
// tests). Empty slots and placeholders are left out.
[[nodiscard]] std::vector<std::string> RingArchives(const std::filesystem::path& data_dir,
                                                    std::string_view project);

}  // namespace zb::backup
