#include "app/data_folder.h"

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

#include "base/errors.h"
#include "platform/file_lock.h"
#include "platform/program_dir.h"

namespace zb::app {
namespace {

// flock() conflicts between two descriptors of the same process, so nested
// holders in one process share one FileLock and count themselves.
struct Held {
  std::unique_ptr<FileLock> lock;
  int count = 0;
};

std::mutex& RegistryMutex() {
  static std::mutex m;
  return m;
}

std::map<std::filesystem::path, Held>& Registry() {
  static std::map<std::filesystem::path, Held> held;
  return held;
}

std::filesystem::path KeyFor(const std::filesystem::path& data_dir) {
  std::error_code ec;
  std::filesystem::path key = std::filesystem::weakly_canonical(data_dir, ec);
  return ec ? data_dir.lexically_normal() : key;
}

}  // namespace

const std::filesystem::path& DefaultDataDir() { return ProgramDir(); }

std::filesystem::path DataFile(const std::filesystem::path& data_dir, std::string_view name) {
  return data_dir / name;
}

DataFolderLock::DataFolderLock(const std::filesystem::path& data_dir) : key_(KeyFor(data_dir)) {
  std::lock_guard guard(RegistryMutex());
  Held& held = Registry()[key_];
  if (held.count == 0) {
    auto lock = std::make_unique<FileLock>(key_ / kLockFile);
    bool got = false;
    try {
      got = lock->TryAcquire();
    } catch (const EOSError& e) {
      // A folder this process may not write to: no data file can be
      // written there either, and the write itself reports that with the
      // file's name. Reading needs no lock, so carry on without one.
      if (e.Errno() != EACCES && e.Errno() != EROFS && e.Errno() != EPERM) {
        Registry().erase(key_);
        throw;
      }
      lock.reset();
      got = true;
    }
    if (!got) {
      Registry().erase(key_);
      throw ELocked("Another running Quillomar ZIP Backup is using the data folder " +
                    key_.string());
    }
    held.lock = std::move(lock);
  }
  ++held.count;
}

DataFolderLock::~DataFolderLock() {
  std::lock_guard guard(RegistryMutex());
  auto it = Registry().find(key_);
  if (it != Registry().end() && --it->second.count == 0) Registry().erase(it);
}

}  // namespace zb::app
