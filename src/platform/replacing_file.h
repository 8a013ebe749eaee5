#pragma once

// ReplacingFile: a new file written beside its target under a temporary
// name and put in the target's place only when complete, so that readers
// see the old file or the new one and a failure at any step costs nothing.
//
// The temporary name is "." + target name + ".zbk-" + 8 random characters
// + ".tmp": hidden, never ending in ".zip", created with O_EXCL, and held
// under an flock while the object lives, so RemoveLeftovers can tell the
// file of a killed process from one still being written.

#include <sys/types.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/file_system.h"
#include "platform/folder_walk.h"
#include "platform/unique_fd.h"

namespace zb {

class ReplacingFile final {
 public:
  struct Options {
    // Where the bytes go; null is the real file system. Not owned; must
    // outlive the object.
    WritableFileFactory* factory = nullptr;
    // Flush the file before the rename and the folder after it. A restore
    // of thousands of files does without (the archive still holds the
    // data); archives and copies keep it.
    bool flush_to_disk = true;
    // False: a mode or time the file system refuses is let go, the data
    // being what counts (a restore must not stop over a time stamp).
    bool stamps_required = true;
    // Readable by its owner only until committed: an update of a private
    // archive must not be readable by others while it is being written.
    // Without it the file has a new file's mode from the start (cheaper for
    // many small files whose content is no secret).
    bool keep_private = true;
  };

  // Creates the temporary file in the folder of `target`. Throws
  // zb::EOSError naming the folder (or the file when it cannot be locked).
  [[nodiscard]] static ReplacingFile Create(const std::filesystem::path& target,
                                            const Options& options);
  [[nodiscard]] static ReplacingFile Create(const std::filesystem::path& target) {
    return Create(target, Options{});
  }
  // The same for the file `leaf` of a folder already open (walked without
  // following links): every later step works on that descriptor.
  // REQUIRES: `folder` outlives the object (its descriptor is borrowed).
  [[nodiscard]] static ReplacingFile CreateIn(const OpenFolder& folder, std::string_view leaf,
                                              const Options& options);

  ReplacingFile(ReplacingFile&& other) noexcept;
  ReplacingFile& operator=(ReplacingFile&& other) noexcept;
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;
  // Removes the temporary file unless it was committed.
  ~ReplacingFile();

  // Appends; throws what the output throws (zb::EOSError, ENOSPC on a full
  // disk). The temporary file stays until Commit or destruction.
  void Write(std::span<const std::byte> data) { output_->Append(data); }
  // The output itself, for writers that patch what they wrote.
  [[nodiscard]] WritableFile& Output() { return *output_; }

  [[nodiscard]] const std::filesystem::path& Target() const { return target_; }
  [[nodiscard]] const std::filesystem::path& TempPath() const { return temp_path_; }
  // The permission bits the file gets at its commit unless told otherwise:
  // those of any new file here (0666 less the umask). Asked before the
  // commit; throws zb::EOSError.
  [[nodiscard]] mode_t NewFileMode();

  // Flushes and closes the file, gives it `mode` (default NewFileMode())
  // and the modification time `mtime` (default: left as written), renames
  // it over the target and flushes the folder. Any failure removes the
  // temporary file and throws zb::EOSError; the target is then untouched.
  void Commit(std::optional<mode_t> mode = std::nullopt,
              std::optional<timespec> mtime = std::nullopt);
  // As Commit, but never replaces anything: false when a file of the
  // target's name exists. The temporary file then stays, closed, for a
  // later Commit (after the user agreed) or for the destructor.
  [[nodiscard]] bool CommitNoReplace(std::optional<mode_t> mode = std::nullopt,
                                     std::optional<timespec> mtime = std::nullopt);

  // True for names this class gives its temporary files.
  [[nodiscard]] static bool IsTempName(std::string_view file_name);
  // Removes the temporary files of `folder` that no live process holds:
  // leftovers of killed runs. Best effort; nothing is reported.
  static void RemoveLeftovers(const std::filesystem::path& folder);

 private:
  enum class State { kOpen, kClosed, kCommitted, kGone };

  ReplacingFile(UniqueFd own_dir, int dir_fd, std::filesystem::path dir_path, std::string leaf,
                const Options& options);
  // Flushes, closes and stamps the file once (the first commit attempt).
  void Close(std::optional<mode_t> mode, std::optional<timespec> mtime);
  void Committed();
  void Discard() noexcept;
  [[noreturn]] void Fail(std::string_view what, const std::filesystem::path& path, int err);

  UniqueFd own_dir_;  // the folder, when this object opened it
  int dir_fd_ = -1;   // the folder every step works in
  std::filesystem::path dir_path_;
  std::string leaf_;  // the target's name in the folder
  std::string temp_name_;
  std::filesystem::path target_;
  std::filesystem::path temp_path_;
  bool flush_ = true;
  bool stamps_required_ = true;
  bool private_ = true;
  std::optional<mode_t> new_file_mode_;  // learnt when first needed
  // A second descriptor of the temporary file: it keeps the lock, and gives
  // mode and time once the output is closed.
  UniqueFd lock_fd_;
  std::unique_ptr<WritableFile> output_;
  State state_ = State::kGone;
};

}  // namespace zb
