#pragma once

// TZipWriter: writes new archives and merges files into (or removes entries
// from) existing ones. An existing archive is never changed in place: the
// new archive is written to a temporary file beside it, flushed, and renamed
// over it only when complete, so any failure leaves the old archive as it was.
//
// Each operation takes its options and events with the call; the writer
// keeps only what makes the next operation cheaper (buffers, the deflater)
// and a reader of the archive last written. Everything runs on the calling
// thread; `Pump` is called between blocks. Whole-operation failures throw
// the zb::Error family; a file that cannot be stored is reported through
// `OnFileProblem` and left out.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "zip/dir_search.h"
#include "zip/file_list_expander.h"
#include "zip/zip_reader.h"

namespace zb {
class ReplacingFile;
}

namespace zb::zip {

class Deflater;

struct TMultiZipInfo {
  // Only mmNone is written in this version; mmSpan and mmBlocks make Zip()
  // throw EZipError "Disk spanning is not supported yet".
  TMultiMode MultiMode = TMultiMode::mmNone;
  bool WriteDiskLabels = true;
};

// One Zip (or ZipInto).
struct TZipOptions {
  // Full path of the archive. Blank: nothing is written.
  std::string ZipName;
  // Files, folders ("x/") and patterns ("[|>]folder/mask") to store.
  std::vector<std::string> FilesList;
  // Files an expansion already found (ExpandFilesList), stored in this
  // order as they are. When set, FilesList, ExcludeList, Recurse,
  // AddDirEntriesOnRecurse and RootDir are not used.
  std::optional<std::vector<ExpandedItem>> ExpandedFiles;
  std::vector<std::string> ExcludeList;
  bool Recurse = false;
  bool StorePaths = false;
  int PackLevel = 6;  // 0 stores; 1..9 deflate
  // Not empty: every entry written is encrypted with it.
  std::string Password;
  bool AddDirEntriesOnRecurse = false;
  // The comment of the archive written. Unset: an update keeps the old
  // archive's comment, a new archive has none.
  std::optional<std::string> ArchiveComment;
  TMultiZipInfo MultiZipInfo;
  // Folder of plain names given without one.
  std::string RootDir;
  // Where output files are opened (tests pass a full disk); null is the
  // real file system. Not owned.
  WritableFileFactory* OutputFactory = nullptr;
  // For tests: sizes are taken from here instead of the file when set, so
  // the ZIP64 thresholds can be reached without gigabytes of data. Called
  // with the path and the size found on disk.
  std::function<uint64_t(const std::string& path, uint64_t size)> SizeOverrideForTest;
};

// One RemoveEntries.
struct TRemoveOptions {
  std::string ZipName;
  // Plain names match stored folder + name ignoring ASCII case and remove
  // one entry each; patterns without "/" match the file name, others the
  // whole name, and may remove many.
  std::vector<std::string> FilesList;
  // Names that remove exactly the entry so named (byte for byte in UTF-8,
  // never as patterns), one entry each.
  std::vector<std::string> ExactNames;
  // As TZipOptions::ArchiveComment.
  std::optional<std::string> ArchiveComment;
  WritableFileFactory* OutputFactory = nullptr;
};

struct TZipEvents {
  // Once per file, after its header is prepared, before any byte of it is
  // written. Setting `skip` leaves the file out (not counted, its size taken
  // off the total). May throw to end the operation (nothing is kept).
  std::function<void(const std::string& fname, TZipHeaderInfo& header, bool& skip)> OnStartZip;
  // After a successful Zip, with the count of entries written (in an update,
  // new and replaced ones).
  std::function<void(int file_count)> OnZipComplete;
  // A file was left out: it could not be opened or read, vanished, changed
  // while being stored, is not a regular file, sits in a link loop, or
  // duplicates a stored name.
  ProblemReporter OnFileProblem;
  std::function<void(int percent)> OnFilePercentDone;
  std::function<void(int percent)> OnTotalPercentDone;
  // Spanning only; not raised while spanning is refused.
  std::function<void(int next_disk, std::string& fname)> OnGetNextDisk;
  // Called between blocks of long work.
  std::function<void()> Pump;
};

class TZipWriter final {
 public:
  TZipWriter();
  ~TZipWriter();
  TZipWriter(const TZipWriter&) = delete;
  TZipWriter& operator=(const TZipWriter&) = delete;

  // Expands FilesList and writes ZipName (a new archive, or the update of an
  // existing one); returns the number of entries written. Raises
  // OnZipComplete on success only. Throws ENotEnoughRoom on a full disk,
  // the reader's errors for an unreadable existing archive, EOSError, and
  // whatever a handler throws.
  int Zip(const TZipOptions& options, const TZipEvents& events);

  // Writes a new archive (never an update; options.ZipName is not used)
  // into `out` and leaves it there, flushed but not committed: the caller
  // checks it and puts it in place. Returns the count and raises the
  // events as Zip does. On an error `out` holds no valid archive.
  int ZipInto(ReplacingFile& out, const TZipOptions& options, const TZipEvents& events);

  // Removes the entries the options name and returns the count removed.
  // Of the events only Pump is raised.
  int RemoveEntries(const TRemoveOptions& options, const TZipEvents& events);

  // The directory of the archive the last successful Zip or RemoveEntries
  // wrote (empty after ZipInto, whose archive is not in place yet).
  [[nodiscard]] const TZipReader& Directory() const { return reader_; }

  // True for the names the writer gives its temporary files
  // (".<archive name>.zbk-XXXXXXXX.tmp"). Leftovers of killed runs with such
  // names, not locked by a live writer, are removed by the next operation in
  // their folder.
  [[nodiscard]] static bool IsTempFileName(std::string_view file_name);

 private:
  class Job;

  // Reads the archive an operation starts from, and then the one written.
  TZipReader reader_;
  // Kept between operations: allocating them per file costs fresh zeroed
  // pages for every small file.
  std::vector<std::byte> read_buf_;
  std::unique_ptr<Deflater> deflater_;
};

}  // namespace zb::zip
