#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zb {

// An open file descriptor with checked I/O. Every call that fails throws
// zb::EOSError carrying the path and the OS reason. Reads and writes retry
// on EINTR and on short counts, so a returned count below the request only
// means end of file.
class File final {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens an existing file for reading.
  [[nodiscard]] static File OpenRead(const std::filesystem::path& path);
  // Creates a new file that must not exist yet (O_EXCL), for reading and
  // writing, with mode 0666 & ~umask.
  [[nodiscard]] static File CreateExclusive(const std::filesystem::path& path);
  // Opens an existing file, or creates it when `create` is set, for reading
  // and writing; `truncate` empties it.
  [[nodiscard]] static File OpenReadWrite(const std::filesystem::path& path, bool create = false,
                                          bool truncate = false);
  // Takes ownership of an already open descriptor (used with openat).
  [[nodiscard]] static File Adopt(int fd, std::filesystem::path path);

  [[nodiscard]] bool IsOpen() const { return fd_ >= 0; }
  [[nodiscard]] int Fd() const { return fd_; }
  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }

  // Reads at the current position; returns the bytes read (< size only at
  // end of file).
  [[nodiscard]] size_t Read(std::span<std::byte> buf);
  // Reads at `offset` without moving the position.
  [[nodiscard]] size_t ReadAt(uint64_t offset, std::span<std::byte> buf);
  // Writes everything or throws (ENOSPC included).
  void Write(std::span<const std::byte> data);
  void WriteAt(uint64_t offset, std::span<const std::byte> data);
  // Sets the position; returns it.
  uint64_t Seek(uint64_t offset);
  [[nodiscard]] uint64_t Position() const;
  [[nodiscard]] uint64_t Size() const;
  void Truncate(uint64_t size);
  void Fsync();
  // Closes and reports a failing close (deferred write errors on some file
  // systems). The destructor closes silently.
  void Close();

 private:
  File(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
  int fd_ = -1;
  std::filesystem::path path_;
};

enum class FileType { kNone, kRegular, kDirectory, kSymlink, kOther };

struct FileInfo {
  FileType type = FileType::kNone;
  uint64_t size = 0;
  timespec mtime{};
  mode_t mode = 0;
  dev_t dev = 0;
  ino_t ino = 0;

  [[nodiscard]] bool Exists() const { return type != FileType::kNone; }
  [[nodiscard]] bool IsRegular() const { return type == FileType::kRegular; }
  [[nodiscard]] bool IsDirectory() const { return type == FileType::kDirectory; }
  [[nodiscard]] bool IsSymlink() const { return type == FileType::kSymlink; }
};

// stat (follows links) / lstat (does not). A missing path gives type kNone;
// any other failure throws zb::EOSError.
[[nodiscard]] FileInfo Stat(const std::filesystem::path& path);
[[nodiscard]] FileInfo LStat(const std::filesystem::path& path);
[[nodiscard]] FileInfo FStat(const File& file);

[[nodiscard]] inline bool SameFile(const FileInfo& a, const FileInfo& b) {
  return a.Exists() && b.Exists() && a.dev == b.dev && a.ino == b.ino;
}

// Sets access and modification time (both to `mtime`) on a path, without
// following a final symbolic link, or on an open file.
void SetFileTimes(const std::filesystem::path& path, const timespec& mtime);
void SetFileTimes(const File& file, const timespec& mtime);

// DOS attribute bits as stored in archives.
inline constexpr uint32_t kAttrReadOnly = 0x01;
inline constexpr uint32_t kAttrHidden = 0x02;
inline constexpr uint32_t kAttrSystem = 0x04;
inline constexpr uint32_t kAttrDirectory = 0x10;
inline constexpr uint32_t kAttrArchive = 0x20;

// The DOS attributes of a POSIX file: read-only when the owner cannot write,
// directory for folders, archive for every regular file. Hidden and system
// are never set.
[[nodiscard]] uint32_t DosAttributes(const FileInfo& info);
// Applies the read-only bit back: set clears all write bits, clear restores
// the owner's write bit. Other bits are ignored (POSIX has no place for them).
void ApplyDosAttributes(const std::filesystem::path& path, uint32_t attributes);
[[nodiscard]] bool IsReadOnly(const FileInfo& info);

// Creates a folder and its missing parents. Throws zb::EOSError naming the
// component that could not be made (or that exists and is not a folder).
void MakeDirs(const std::filesystem::path& path);

// Creates a new, uniquely named empty file in `folder` named
// prefix + random + suffix and returns it open for reading and writing.
// REQUIRES: suffix does not end in ".zip" (so leftovers are never taken for
// archives).
[[nodiscard]] File CreateTempFile(const std::filesystem::path& folder, std::string_view prefix,
                                  std::string_view suffix = ".tmp");

// rename(2); replaces an existing target atomically on the same file system.
void RenameFile(const std::filesystem::path& from, const std::filesystem::path& to);
// unlink(2). Returns false when the file did not exist.
bool RemoveFile(const std::filesystem::path& path);
// Removes without throwing; for clean-up paths.
void RemoveFileNoThrow(const std::filesystem::path& path) noexcept;

// Bytes available to an unprivileged user on the file system of `path`.
[[nodiscard]] uint64_t FreeSpace(const std::filesystem::path& path);

// Where a writer puts its bytes. The real implementation writes a File; tests
// use a double that fails after N bytes to play a full disk.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  // Writes all of `data` or throws (zb::EOSError with ENOSPC for a full disk).
  virtual void Append(std::span<const std::byte> data) = 0;
  // Overwrites bytes already written (the writer patches local headers).
  virtual void WriteAt(uint64_t offset, std::span<const std::byte> data) = 0;
  [[nodiscard]] virtual uint64_t Position() const = 0;
  virtual void Sync() = 0;
  virtual void Close() = 0;
  // Cuts the file back to `size` bytes and appends from there (a writer
  // drops an entry it could not finish).
  virtual void Truncate(uint64_t size) = 0;
  [[nodiscard]] virtual const std::filesystem::path& Path() const = 0;
};

// A WritableFile on a File it owns; the position is kept here so appends
// follow any WriteAt.
class PosixWritableFile final : public WritableFile {
 public:
  explicit PosixWritableFile(File file);
  void Append(std::span<const std::byte> data) override;
  void WriteAt(uint64_t offset, std::span<const std::byte> data) override;
  [[nodiscard]] uint64_t Position() const override { return pos_; }
  void Sync() override;
  void Close() override;
  void Truncate(uint64_t size) override {
    file_.Truncate(size);
    pos_ = size;
  }
  [[nodiscard]] const std::filesystem::path& Path() const override { return file_.Path(); }
  [[nodiscard]] File& Underlying() { return file_; }

 private:
  File file_;
  uint64_t pos_ = 0;
};

// Opens output files; tests substitute a factory that hands out failing files.
class WritableFileFactory {
 public:
  virtual ~WritableFileFactory() = default;
  // Wraps an open file (created by the caller, e.g. a temporary file).
  [[nodiscard]] virtual std::unique_ptr<WritableFile> Wrap(File file) = 0;
};

// The factory of the real file system.
[[nodiscard]] WritableFileFactory& DefaultWritableFileFactory();

// Removes the regular files of `folder` whose names `is_leftover` accepts and
// that no live process holds an flock on: writers of temporary files keep
// them locked while at work, so only leftovers of killed runs go. Best
// effort; nothing is reported.
void RemoveUnlockedLeftovers(const std::string& folder,
                             const std::function<bool(const char* name)>& is_leftover);

}  // namespace zb
