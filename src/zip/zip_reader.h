#pragma once

// TZipReader: loads the directory of an archive, answers questions about its
// entries, tests and extracts them. The reader keeps the archive it looks at
// (its name, directory and entry order); everything else an operation needs
// comes with the call, as options and events, and nothing of it stays for
// the next caller.
//
// All work runs on the calling thread; `Pump` is called between blocks so a
// user interface stays alive. Failures of the whole operation throw the
// zb::EZipError family; problems of single entries are reported through
// `OnEntryProblem` and the run goes on.

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/date_time.h"
#include "platform/file_system.h"
#include "zip/sorted_zip.h"
#include "zip/zip_header_info.h"

namespace zb::zip {

enum class TUZOverwriteMode { Prompt, Always, Never, ifNewer, ifOlder };
enum class TIncompleteZipMode { izAssumeMulti, izAssumeBad, izAssumeNotAZip };
enum class TMultiMode { mmNone, mmSpan, mmBlocks };

// Why an entry was left out of an extraction or failed a test.
enum class EntryProblemKind {
  kUnsafePath,      // would be written outside the destination
  kIsArchive,       // the output path is the archive being read
  kExists,          // the overwrite policy kept the existing file
  kReadOnly,        // an existing read-only file is never replaced
  kCannotCreate,    // the output (or its folder) could not be made
  kBadPassword,     // the password check failed and no new one was given
  kBadCrc,          // the data did not match the stored CRC-32
  kTooLarge,        // more data than the declared size
  kCorrupt,         // the compressed data cannot be decoded, or are cut off
  kUnknownMethod,   // "Unknown Compression Method"
  kOverlapping,     // shares its data with another entry (zip bomb pattern)
  kBadLocalHeader,  // no local header where the directory says
  kUnsupported,     // strong encryption, other disks
  kNoOriginalPlace,  // restoring from the root would make a new top-level folder
                     // (the name was stored relative): a folder must be chosen
  kNeedsPassword,    // encrypted, and no password was given
};

struct EntryProblem {
  int index = -1;              // in SortMode order; -1 for the archive itself
  std::string entry_name;      // stored folder + name, "/" separators
  std::filesystem::path path;  // output path when one was known
  EntryProblemKind kind = EntryProblemKind::kCorrupt;
  std::string reason;  // a sentence for logs and messages
};

struct TestResult {
  int tested = 0;  // entries whose data were checked and found good
  int failed = 0;  // problems reported through OnEntryProblem (a damaged
                   // directory replaced by the recovery scan counts as one)
};

// How a directory is read; every operation of the reader reads it first.
struct TReadOptions {
  // What to assume when no end record is found. OnInCompleteZip may change
  // it; its choice holds for the rest of the operation.
  TIncompleteZipMode IncompleteZipMode = TIncompleteZipMode::izAssumeMulti;
};

struct TReadEvents {
  // No end record: choose what to assume. While the choice is izAssumeMulti
  // the read starts again (the user may insert the last disk of a set).
  std::function<void(TIncompleteZipMode& mode)> OnInCompleteZip;
  // A multi-disk archive needs disk `next_disk` (from 1): keep, replace or
  // empty `fname` (cancel). Multi-disk archives are refused for now.
  std::function<void(int next_disk, std::string& fname)> OnGetNextDisk;
  // Called between blocks of long work.
  std::function<void()> Pump;
};

// One extraction (UnZip) or check (Test).
struct TUnZipOptions : TReadOptions {
  // Destination folder (a trailing "/" is ignored); empty is the home folder.
  std::string DestDir;
  bool RecreateDirs = false;
  TUZOverwriteMode OverwriteMode = TUZOverwriteMode::Prompt;
  bool DoAll = false;
  // Patterns (WildcardMatch) that select entries by stored folder + name.
  std::vector<std::string> FilesList;
  // Exact stored names (folder + name, "/" separators) that select
  // themselves only, never as patterns.
  std::vector<std::string> ExactNames;
  // Entries selected by identity: indexes in SortMode order of the
  // directory as it was loaded before the call. Dropped when the call finds
  // the archive changed and reads it again (they name rows of a listing the
  // archive no longer matches).
  std::vector<int> Indexes;
  // For encrypted entries; OnBadPassword may replace it for the rest of the
  // operation.
  std::string Password;
  bool RetainAttributes = true;
  bool ReplaceReadOnly = false;
  // Folders below the destination are entered without following symbolic
  // links, so a link planted there cannot lead a write elsewhere. A restore
  // to the stored folders from the file-system root sets this: nothing can
  // lie outside "/", and the system's own links (a home folder on another
  // disk) are part of the original places.
  bool FollowDestLinks = false;
  // Output files are opened through this factory (tests pass one that
  // plays a full disk). Null means the real file system. Not owned.
  WritableFileFactory* FileFactory = nullptr;
};

struct TUnZipEvents : TReadEvents {
  // Before an entry is extracted: may change the output path or skip it.
  std::function<void(int file_index, std::string& fname, bool& skip)> OnStartUnZip;
  std::function<void(int percent)> OnFilePercentDone;
  std::function<void(int percent)> OnTotalPercentDone;
  // The password check failed: change `new_password` to retry, leave it to
  // give up the entry, or throw to stop the whole run.
  std::function<void(int file_index, std::string& new_password)> OnBadPassword;
  // Raised once by every UnZip that reached extraction.
  std::function<void(int file_count)> OnUnZipComplete;
  // Prompt mode: answer whether to replace `file_name`. Unassigned, Prompt
  // behaves as Never (the core never shows a message box itself).
  std::function<bool(const std::string& file_name)> AskOverwrite;
  // An entry was left out or failed.
  std::function<void(const EntryProblem&)> OnEntryProblem;
};

class TZipReader {
 public:
  TZipReader();
  ~TZipReader();
  TZipReader(const TZipReader&) = delete;
  TZipReader& operator=(const TZipReader&) = delete;

  // Full path of the archive. Setting a different name forgets the loaded
  // directory (and the archive comment).
  [[nodiscard]] const std::string& ZipName() const { return zip_name_; }
  void SetZipName(const std::string& name);
  // Order of the entry accessors; changing it re-sorts the loaded view.
  [[nodiscard]] TZipSortMode SortMode() const { return sort_mode_; }
  void SetSortMode(TZipSortMode mode);
  // Names of entries made on DOS are read from the OEM code page (CP437)
  // when set; changing it forgets the loaded directory.
  [[nodiscard]] bool OEMConvert() const { return oem_convert_; }
  void SetOEMConvert(bool convert);
  // The mode the last directory read found (mmNone for one disk).
  [[nodiscard]] TMultiMode MultiMode() const { return multi_mode_; }

  // Loads the directory of ZipName unless it is loaded and the archive file
  // is unchanged (same device, inode, size and modification time). Throws
  // ENotAZipFile, EIncompleteZip, EBadZipFile, EUserCanceled, EOSError.
  void ReadDirectory(const TReadOptions& options = {}, const TReadEvents& events = {});

  // Entry accessors in SortMode order; an index out of range throws
  // zb::Error "Index %d is out of range". EntryCount is 0 when nothing is
  // loaded.
  [[nodiscard]] int EntryCount() const;
  [[nodiscard]] std::string EntryFileName(int i) const;
  [[nodiscard]] std::string EntryDirectory(int i) const;
  [[nodiscard]] DateTime EntryDateTime(int i) const;
  [[nodiscard]] uint64_t EntrySize(int i) const;
  [[nodiscard]] const TZipHeaderInfo& Entry(int i) const;

  // The archive comment (raw bytes), read on first use (the directory is
  // read first, as ReadDirectory with default options would).
  [[nodiscard]] std::string ArchiveComment();
  [[nodiscard]] const TEndCentral& EndCentral() const { return end_; }

  // The loaded entries in physical order (disk, then local header offset).
  [[nodiscard]] const TSortedZip& PhysicalOrder() const { return *dir_; }
  // True when the loaded directory came from the recovery scan: it may lack
  // entries the archive held, so it must not be the base of an update.
  [[nodiscard]] bool DirectoryRecovered() const { return recovered_; }
  // Damaged stretches the recovery scan stepped over to reach the entries
  // behind them (0 when it found one unbroken run of entries).
  [[nodiscard]] int RecoveryGaps() const { return recovery_gaps_; }
  // Something the last directory read corrected without losing anything
  // (offsets that did not count a stub before the first entry); empty when
  // the archive was read as it stands.
  [[nodiscard]] const std::string& Warning() const { return warning_; }
  // Forgets the directory; the next ReadDirectory reads the archive again.
  void ForgetDirectory();

  // Extracts the selected entries (or all with DoAll) into DestDir and
  // returns how many were extracted. Raises OnUnZipComplete on every path
  // that reached extraction, then lets any error continue.
  int UnZip(const TUnZipOptions& options, const TUnZipEvents& events);

  // Reads and checks every selected entry (all when nothing is selected)
  // without writing anything; failures go to OnEntryProblem. Of the options
  // only the selection, the password and the read options are used.
  TestResult Test(const TUnZipOptions& options, const TUnZipEvents& events);

 private:
  struct ArchiveStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    uint64_t size = 0;
    timespec mtime{};
  };
  class Extraction;

  // ReadDirectory's work; true when the archive was (re)read.
  bool Refresh(const TReadOptions& options, const TReadEvents& events);
  // The entries options.Indexes name; none after a new read of the archive.
  [[nodiscard]] std::unordered_set<const TZipHeaderInfo*> Identities(const TUnZipOptions& options,
                                                                     bool reread) const;
  void LoadDirectory(TIncompleteZipMode& mode, const TReadEvents& events);
  bool LocateEnd(File& file, uint64_t file_size, TEndCentral* end);
  bool ReadCentralDirectory(File& file, uint64_t file_size, const TEndCentral& end,
                            const TReadEvents& events);
  bool ReadZfc(TEndCentral* end, const TReadEvents& events);
  void RecoveryScan(File& file, uint64_t file_size, const TReadEvents& events);
  void RebuildView();
  [[nodiscard]] TZipHeaderInfo* ViewAt(int i) const;
  [[nodiscard]] std::vector<bool> MarkOverlaps() const;

  std::string zip_name_;
  TZipSortMode sort_mode_ = TZipSortMode::ByNone;
  TMultiMode multi_mode_ = TMultiMode::mmNone;
  bool oem_convert_ = true;

  std::unique_ptr<TSortedZip> dir_;   // owning, physical order
  std::unique_ptr<TSortedZip> view_;  // referring, SortMode order (or null)
  TEndCentral end_;
  bool loaded_ = false;
  bool recovered_ = false;          // the directory came from the recovery scan
  bool recovered_unasked_ = false;  // ... because the directory was damaged
  uint64_t declared_entries_ = 0;   // ... which declared this many entries
  int recovery_gaps_ = 0;           // damaged stretches the recovery scan skipped
  std::string warning_;
  ArchiveStamp stamp_;
  // Data ranges shared by several entries; such entries are never decoded.
  std::vector<bool> overlapping_;  // by physical index
};

}  // namespace zb::zip
