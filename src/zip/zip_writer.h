#pragma once

// TZipWriter: writes new archives and merges files into (or removes entries
// from) existing ones. An existing archive is never changed in place: the
// new archive is written to a temporary file beside it, flushed, and renamed
// over it only when complete, so any failure leaves the old archive as it was.
//
// Everything runs on the calling thread; `Pump` (inherited) is called between
// blocks. Whole-operation failures throw the zb::Error family; a file that
// cannot be stored is reported through `OnFileProblem` and left out.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/file_system.h"
#include "zip/dir_search.h"
#include "zip/file_list_expander.h"
#include "zip/zip_reader.h"

namespace zb::zip {

class Deflater;
class ZipCrypto;

struct TMultiZipInfo {
  // Only mmNone is written in this version; mmSpan and mmBlocks make Zip()
  // throw EZipError "Disk spanning is not supported yet".
  TMultiMode MultiMode = TMultiMode::mmNone;
  bool WriteDiskLabels = true;
};

class TZipWriter : public TZipReader {
 public:
  TZipWriter();
  ~TZipWriter() override;

  // --- Properties (kept between operations unless stated) ---------------------

  std::vector<std::string> ExcludeList;
  bool Recurse = false;
  bool StorePaths = false;
  int PackLevel = 6;  // 0 stores; 1..9 deflate
  bool AddDirEntriesOnRecurse = false;
  TMultiZipInfo MultiZipInfo;

  // As the reader's; a different name also drops a pending comment. (Hides
  // the reader's setter: call it through the writer.)
  void SetZipName(const std::string& name);

  // The comment for the next archive written. A comment set for the current
  // ZipName replaces the old archive's comment in an update; otherwise the
  // old comment is carried over. Setting a different ZipName afterwards
  // drops the pending comment.
  void SetArchiveComment(std::string comment);

  // --- Events -----------------------------------------------------------------

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

  // --- Operations ---------------------------------------------------------------

  // Expands FilesList and writes ZipName (a new archive, or the update of an
  // existing one); returns the number of entries written. Raises
  // OnZipComplete on success only. Throws ENotEnoughRoom on a full disk,
  // the reader's errors for an unreadable existing archive, EOSError, and
  // whatever a handler throws. FilesList is cleared in every case.
  int Zip();

  // Removes the entries that FilesList names (plain names match stored
  // folder + name ignoring ASCII case and remove one entry each; patterns
  // without "/" match the file name, others the whole name, and may remove
  // many) and those ExactNames names (exactly, byte for byte in UTF-8, never
  // as patterns). Returns the count removed. FilesList and ExactNames are
  // cleared. Does not raise OnZipComplete.
  int RemoveEntries();

  // For tests: where output files are opened (default: the real file system).
  // `factory` must outlive the writer.
  void SetOutputFactory(WritableFileFactory* factory) { factory_ = factory; }

  // For tests: sizes are taken from here instead of the file when set, so the
  // ZIP64 thresholds can be reached without gigabytes of data. Called with
  // the path and the size found on disk.
  std::function<uint64_t(const std::string& path, uint64_t size)> SizeOverrideForTest;

  // True for the names the writer gives its temporary files
  // (".<archive name>.zbk-XXXXXXXX.tmp"). Leftovers of killed runs with such
  // names, not locked by a live writer, are removed by the next operation in
  // their folder.
  [[nodiscard]] static bool IsTempFileName(std::string_view file_name);

 private:
  struct NewEntry;
  struct Item;
  class Output;

  enum class StoreResult { kStored, kSkipped, kLeftOut };

  int ZipInner();
  int RemoveInner();
  // Throws when the loaded directory cannot safely be the base of an update
  // (spanned archive, or one the recovery scan rebuilt).
  void RefuseUnsafeBase();
  // Opens the temporary output beside ZipName, after clearing leftovers.
  void OpenOutput();
  void DiscardOutput() noexcept;
  // Writes the central directory and end record, flushes, and renames the
  // output over ZipName.
  void FinishOutput(const std::string& comment);

  StoreResult StoreItem(const Item& item);
  StoreResult StoreFolder(const Item& item);
  StoreResult StoreFile(const Item& item);
  // One attempt at the data of a file; false when it changed, shrank or
  // could not be read (the entry is then rolled back by the caller).
  bool WriteFileData(File& file, TZipHeaderInfo& h, bool zip64_local, uint64_t* read_total,
                     std::string* why, bool* grew_past_limit);
  void CopyKeptEntry(const TZipHeaderInfo& old, File& source);
  void PrepareName(const std::string& path, bool is_folder, TZipHeaderInfo* h) const;

  void ReportProblem(const std::string& path, FileProblem problem, const std::string& detail);
  void AddProgress(uint64_t bytes);
  void ReportFilePercent(uint64_t done, uint64_t size);

  WritableFileFactory* factory_ = nullptr;
  std::string pending_comment_;
  bool comment_pending_ = false;

  std::vector<std::byte> read_buf_;
  std::unique_ptr<Deflater> deflater_;
  ZipCrypto* sink_keys_ = nullptr;  // encrypts the deflater's output

  // State of the operation in progress.
  std::string target_;  // the file renamed over: ZipName, or the file it links to
  std::unique_ptr<Output> out_;
  std::vector<NewEntry> new_dir_;
  std::unordered_set<std::string> stored_names_;
  uint64_t total_ = 0;
  uint64_t done_ = 0;
};

}  // namespace zb::zip
