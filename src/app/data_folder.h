#pragma once

#include <filesystem>
#include <string_view>

namespace zb::app {

// The data files, all directly in the data folder.
inline constexpr char kProjectFile[] = "project.ini";
inline constexpr char kSyncFile[] = "sync.ini";
inline constexpr char kAccountFile[] = "account.ini";
inline constexpr char kLogFile[] = "log.txt";
inline constexpr char kStoreNumberFile[] = "StoreNumber.txt";
inline constexpr char kHelpFile[] = "help.chm";
// Held by every process while it writes a data file, and by the GUI for as
// long as it runs.
inline constexpr char kLockFile[] = ".zipbackup.lock";

// The program's own data folder: the folder of the executable. Core code
// takes the folder as a parameter instead, so tests and the CLI can point
// elsewhere. Throws zb::EOSError when the folder cannot be found.
[[nodiscard]] const std::filesystem::path& DefaultDataDir();

// `data_dir` / `name`.
[[nodiscard]] std::filesystem::path DataFile(const std::filesystem::path& data_dir,
                                             std::string_view name);

// Scoped hold of the data-folder lock. Re-entrant within one process (the
// GUI holds it for its whole run and its own saves nest inside), exclusive
// between processes. The constructor never waits: when another process
// holds the lock it throws zb::ELocked with a one-line message naming the
// folder. In a folder where this process may not create the lock file it
// holds nothing (the data-file write then fails with its own error); other
// failures to open the lock file throw zb::EOSError.
class DataFolderLock final {
 public:
  explicit DataFolderLock(const std::filesystem::path& data_dir);
  ~DataFolderLock();
  DataFolderLock(const DataFolderLock&) = delete;
  DataFolderLock& operator=(const DataFolderLock&) = delete;

 private:
  std::filesystem::path key_;
};

// Runs `body` while holding the data-folder lock; for CLI verbs and other
// writers of data files. Refuses with zb::ELocked like DataFolderLock.
template <typename Body>
decltype(auto) WithDataFolderLock(const std::filesystem::path& data_dir, Body&& body) {
  DataFolderLock lock(data_dir);
  return body();
}

}  // namespace zb::app
