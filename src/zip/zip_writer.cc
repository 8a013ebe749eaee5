#include "zip/zip_writer.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "base/date_time.h"
#include "base/errors.h"
#include "platform/replacing_file.h"
#include "zip/crc32.h"
#include "zip/deflate.h"
#include "zip/wildcard.h"
#include "zip/zip_crypto.h"
#include "zip/zip_names.h"

namespace zb::zip {

namespace {

// Source files are read, and output collected, in blocks of this size: large
// enough that system calls cost nothing next to compression, small enough to
// keep progress and the pump frequent (a few ms per block at level 6).
constexpr size_t kBlockSize = 256 * 1024;

// Every new entry is marked as made on Unix, with the file's type and
// permission bits in the high 16 bits of the external attributes, as Linux
// ZIP tools store them: a private file comes back private and a script
// runnable. The DOS bits stay in the low byte for readers that only know
// those (read-only when the owner cannot write, directory for folders).
// Unzip tools on Linux take the name of a Unix entry as the bytes it is,
// so a Linux name that is not UTF-8 comes back byte for byte.
// A new entry whose name is stored in CP437 but is not plain ASCII also gets
// a Unicode Path block (0x7075: version 1, CRC-32 of the stored name, the
// name in UTF-8) in both headers: for a Unix entry readers would otherwise
// take the CP437 bytes as the name.
std::vector<std::byte> UnicodePathExtra(const TZipHeaderInfo& h) {
  if ((h.flags & kFlagUtf8) != 0) return {};
  // Only a name that was turned into CP437 needs one: ASCII names are the
  // same bytes in every form, and a Linux name that is not UTF-8 is stored
  // as the bytes it is.
  const std::string& raw = h.raw_name;
  const std::string utf8 = h.FullName();
  if (utf8 == raw || !IsValidUtf8(utf8)) return {};
  const size_t body = 1 + 4 + utf8.size();
  if (body > 0xFFFF - 4) return {};
  std::vector<std::byte> out;
  auto put = [&out](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::byte>((v >> (8 * i)) & 0xFF));
  };
  put(kExtraUnicodePath, 2);
  put(static_cast<uint32_t>(body), 2);
  put(1, 1);
  put(Crc32(0, raw.data(), raw.size()), 4);
  for (char c : utf8) out.push_back(static_cast<std::byte>(c));
  return out;
}

void MarkMadeOnUnix(TZipHeaderInfo& h, uint32_t mode) {
  h.version_made_by = static_cast<uint16_t>((kHostUnix << 8) | (h.version_made_by & 0xFF));
  const bool dir = (h.external_attributes & kAttrDirectory) != 0;
  if ((mode & S_IFMT) == 0) mode |= dir ? S_IFDIR : S_IFREG;
  h.external_attributes = ((mode & 0xFFFF) << 16) | (h.external_attributes & 0xFF);
}

// The extra field of a new entry's central header (the local header has
// the same blocks, after a ZIP64 block when one is reserved).
std::vector<std::byte> NewEntryExtra(const TZipHeaderInfo& h) {
  std::vector<std::byte> extra =
      h.unix_mtime ? MakeTimestampExtra(*h.unix_mtime) : std::vector<std::byte>();
  const std::vector<std::byte> unicode_path = UnicodePathExtra(h);
  extra.insert(extra.end(), unicode_path.begin(), unicode_path.end());
  return extra;
}

std::string AsciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool IsFullDisk(int err) { return err == ENOSPC || err == EDQUOT || err == EFBIG; }

std::string ParentFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The folder part of a path as stored: relative, "/"-separated, ending in
// "/" unless empty. "." goes, ".." takes back the folder before it, and a
// leading "/" or ".." that cannot be taken back is dropped, so a stored name
// never points outside the folder it is extracted to.
std::string StoredFolder(std::string_view folder) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start < folder.size()) {
    size_t slash = folder.find('/', start);
    if (slash == std::string_view::npos) slash = folder.size();
    const std::string_view part = folder.substr(start, slash - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = slash + 1;
  }
  std::string out;
  for (std::string_view part : parts) {
    out.append(part);
    out.push_back('/');
  }
  return out;
}

// The local header's ZIP64 block when reserved: both sizes, as the APPNOTE
// requires in a local header.
std::vector<std::byte> LocalZip64Extra(uint64_t size, uint64_t compressed) {
  std::vector<std::byte> extra;
  Put16(&extra, kExtraZip64);
  Put16(&extra, 16);
  Put64(&extra, size);
  Put64(&extra, compressed);
  return extra;
}

// A central extra field without its ZIP64 block: that block holds offsets of
// the old archive and is made anew for the entry's new place.
std::vector<std::byte> WithoutZip64Block(std::span<const std::byte> extra) {
  std::vector<std::byte> out;
  size_t i = 0;
  while (i + 4 <= extra.size()) {
    const uint16_t id = Load16(extra, i);
    const size_t len = Load16(extra, i + 2);
    if (i + 4 + len > extra.size()) break;
    if (id != kExtraZip64) out.insert(out.end(), extra.begin() + i, extra.begin() + i + 4 + len);
    i += 4 + len;
  }
  // Bytes that do not form a whole block are kept as they were.
  out.insert(out.end(), extra.begin() + i, extra.end());
  return out;
}

// The end record holds a comment of at most 65535 bytes; a longer one is
// refused before anything is written rather than cut without a word.
void CheckComment(const std::optional<std::string>& comment) {
  if (comment && comment->size() > kMaxCommentLength) {
    throw EZipError("The archive comment is " + std::to_string(comment->size()) +
                    " bytes long; an archive comment holds at most 65535");
  }
}

// A read of a source file failed: the file is left out, the run goes on.
// Kept apart from EOSError so that an output failure is never taken for one.
struct SourceReadError {
  std::string reason;
};

size_t ReadSource(File& file, std::span<std::byte> buf) {
  try {
    return file.Read(buf);
  } catch (const EOSError& e) {
    throw SourceReadError{e.what()};
  }
}

// Runs an output step; a full disk becomes ENotEnoughRoom.
template <typename F>
void GuardRoom(F&& f) {
  try {
    f();
  } catch (const EOSError& e) {
    if (IsFullDisk(e.Errno())) throw ENotEnoughRoom();
    throw;
  }
}

// --- Output ----------------------------------------------------------------------

// The archive being written, with a write-behind buffer. Local headers are
// patched in the buffer when they are still there, so a run of small files
// costs one write per buffer rather than two per file. A full disk becomes
// ENotEnoughRoom.
class Output {
 public:
  explicit Output(WritableFile& file) : file_(file), flushed_(file.Position()) {
    buf_.reserve(kBlockSize);
  }

  [[nodiscard]] uint64_t Position() const { return flushed_ + buf_.size(); }

  void Append(std::span<const std::byte> data, ZipCrypto* crypt = nullptr) {
    while (!data.empty()) {
      const size_t room = kBlockSize - buf_.size();
      const size_t n = std::min(room, data.size());
      const size_t at = buf_.size();
      buf_.insert(buf_.end(), data.begin(), data.begin() + n);
      if (crypt != nullptr) crypt->Encrypt(std::span(buf_).subspan(at, n));
      data = data.subspan(n);
      if (buf_.size() >= kBlockSize) Flush();
    }
  }

  void WriteAt(uint64_t offset, std::span<const std::byte> data) {
    if (offset >= flushed_) {
      std::copy(data.begin(), data.end(), buf_.begin() + static_cast<ptrdiff_t>(offset - flushed_));
      return;
    }
    Flush();
    GuardRoom([&] { file_.WriteAt(offset, data); });
  }

  // Drops everything from `size` on (an entry being rolled back).
  void Truncate(uint64_t size) {
    if (size >= flushed_) {
      buf_.resize(size - flushed_);
      return;
    }
    buf_.clear();
    GuardRoom([&] { file_.Truncate(size); });
    flushed_ = size;
  }

  void Flush() {
    if (buf_.empty()) return;
    GuardRoom([&] { file_.Append(buf_); });
    flushed_ += buf_.size();
    buf_.clear();
  }

 private:
  WritableFile& file_;
  std::vector<std::byte> buf_;
  uint64_t flushed_ = 0;
};

// An entry of the archive being written, with the central extra field and
// comment that a carried-over entry brings along.
struct NewEntry {
  std::unique_ptr<TZipHeaderInfo> h;
  std::vector<std::byte> central_extra;
  std::string comment;
};

// One file or folder to store, with its stored name worked out.
struct Item {
  std::string path;
  bool is_folder = false;
  uint64_t size = 0;
  TZipHeaderInfo name;  // only the name fields are set
};

}  // namespace

// --- One operation ------------------------------------------------------------------

// The state of one Zip, ZipInto or RemoveEntries: its options and events,
// the archive being written and its new directory.
class TZipWriter::Job {
 public:
  Job(TZipReader& reader, const TZipEvents& events) : reader_(reader), ev_(events) {}

  int Zip(const TZipOptions& options);
  int ZipInto(ReplacingFile& out, const TZipOptions& options);
  int Remove(const TRemoveOptions& options);

 private:
  enum class StoreResult { kStored, kSkipped, kLeftOut };

  void Pump() {
    if (ev_.Pump) ev_.Pump();
  }
  // Reads the archive to update; throws when it cannot safely be the base
  // of an update (spanned, or rebuilt by the recovery scan).
  void ReadBase(const std::string& zip_name);
  // Opens the temporary output beside `zip_name` (or the file it links to),
  // after clearing leftovers of killed runs there.
  void OpenOutput(const std::string& zip_name, WritableFileFactory* factory);
  // Writes the central directory and end record and flushes them.
  void FinishOutput(const std::string& comment);
  // Puts the finished output in the archive's place and reads it back.
  void PlaceOutput(const std::string& zip_name);
  // The items to store, with their stored names.
  std::vector<Item> Items(const TZipOptions& options, ExpandOptions expand);

  StoreResult StoreItem(const Item& item) {
    return item.is_folder ? StoreFolder(item) : StoreFile(item);
  }
  StoreResult StoreFolder(const Item& item);
  StoreResult StoreFile(const Item& item);
  // One attempt at the data of a file; false when it changed, shrank or
  // could not be read (the entry is then rolled back by the caller).
  bool WriteFileData(File& file, TZipHeaderInfo& h, bool zip64_local, uint64_t* read_total,
                     std::string* why, bool* grew_past_limit);
  void CopyKeptEntry(const TZipHeaderInfo& old, File& source);
  // Copies the bytes before the old archive's first entry (a self-extractor
  // stub), so they stay in front of the new one; the offsets written after
  // them count them.
  void CopyPrefix(File& source);
  void PrepareName(const std::string& path, bool is_folder, TZipHeaderInfo* h) const;

  void ReportProblem(const std::string& path, FileProblem problem, const std::string& detail) {
    if (ev_.OnFileProblem) ev_.OnFileProblem(path, problem, detail);
  }
  void AddProgress(uint64_t bytes);
  void ReportFilePercent(uint64_t done, uint64_t size);

  TZipReader& reader_;
  const TZipEvents& ev_;
  const TZipOptions* opt_ = nullptr;  // Zip and ZipInto
  std::string zip_name_;              // for messages

  std::optional<ReplacingFile> own_file_;  // the temporary file of Zip and Remove
  std::optional<mode_t> keep_mode_;        // an update keeps the archive's mode
  std::optional<Output> out_;
  std::vector<NewEntry> new_dir_;
  std::unordered_set<std::string> stored_names_;
  uint64_t total_ = 0;
  uint64_t done_ = 0;

  // Buffers and the deflater serve every file of the operation.
  std::vector<std::byte> read_buf_;
  std::unique_ptr<Deflater> deflater_;
  ZipCrypto* sink_keys_ = nullptr;  // encrypts the deflater's output
};

void TZipWriter::Job::AddProgress(uint64_t bytes) {
  done_ += bytes;
  if (!ev_.OnTotalPercentDone) return;
  const int percent =
      total_ == 0 ? 100
                  : static_cast<int>(std::min<uint64_t>(100, (done_ * 100 + total_ / 2) / total_));
  ev_.OnTotalPercentDone(percent);
}

void TZipWriter::Job::ReportFilePercent(uint64_t done, uint64_t size) {
  if (!ev_.OnFilePercentDone) return;
  const int percent =
      size == 0 ? 0 : static_cast<int>(std::min<uint64_t>(100, (done * 100 + size / 2) / size));
  ev_.OnFilePercentDone(percent);
}

void TZipWriter::Job::PrepareName(const std::string& path, bool is_folder,
                                  TZipHeaderInfo* h) const {
  std::string folder;
  std::string file_name;
  if (is_folder) {
    folder = path;
  } else {
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos) {
      folder = path.substr(0, slash + 1);
      file_name = path.substr(slash + 1);
    } else {
      file_name = path;
    }
  }
  const std::string directory = opt_->StorePaths ? StoredFolder(folder) : std::string();
  const StoredName stored = EncodeStoredName(directory + file_name);
  h->raw_name = stored.bytes;
  h->flags = stored.utf8 ? kFlagUtf8 : 0;
  h->SetDirectory(directory);
  h->SetFileName(file_name);
}

// --- Output file life cycle ------------------------------------------------------

void TZipWriter::Job::ReadBase(const std::string& zip_name) {
  reader_.SetZipName(zip_name);
  reader_.ReadDirectory();
  if (reader_.MultiMode() != TMultiMode::mmNone) {
    throw EZipError("Updating an archive that spans disks is not supported yet");
  }
  // A directory pieced together by the recovery scan may lack entries; an
  // update built on it would drop them for good when it replaces the file.
  if (reader_.DirectoryRecovered()) {
    throw EBadZipFile("The directory of " + zip_name +
                      " is damaged; the archive is left unchanged");
  }
}

void TZipWriter::Job::OpenOutput(const std::string& zip_name, WritableFileFactory* factory) {
  std::string target = zip_name;
  // A link to an archive updates the archive, not the link: the temporary
  // file goes beside the real file and is renamed over it.
  if (LStat(target).IsSymlink()) {
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(target, ec);
    if (!ec) target = real.string();
  }
  ReplacingFile::RemoveLeftovers(ParentFolder(target));
  // An update keeps the archive's permissions; a new archive gets those of
  // any new file.
  const FileInfo old = Stat(target);
  if (old.Exists()) keep_mode_ = old.mode & 07777;
  own_file_.emplace(ReplacingFile::Create(target, {.factory = factory}));
  out_.emplace(own_file_->Output());
}

void TZipWriter::Job::FinishOutput(const std::string& comment) {
  std::vector<std::byte> rec;
  const uint64_t central_offset = out_->Position();
  for (NewEntry& e : new_dir_) {
    TZipHeaderInfo& h = *e.h;
    std::vector<std::byte> extra = MakeZip64Extra(h, true);
    if (!extra.empty()) h.version_needed = std::max<uint16_t>(h.version_needed, kVersionZip64);
    extra.insert(extra.end(), e.central_extra.begin(), e.central_extra.end());
    rec.clear();
    SerializeCentralHeader(h, extra, e.comment, &rec);
    out_->Append(rec);
  }
  TEndCentral end;
  end.entries_this_disk = end.total_entries = new_dir_.size();
  end.central_offset = central_offset;
  end.central_size = out_->Position() - central_offset;
  rec.clear();
  if (EndCentralNeedsZip64(end)) {
    Zip64Locator locator;
    locator.offset = out_->Position();
    SerializeZip64EndCentral(end, &rec);
    SerializeZip64Locator(locator, &rec);
  }
  SerializeEndCentral(end, comment, &rec);
  out_->Append(rec);
  out_->Flush();
}

void TZipWriter::Job::PlaceOutput(const std::string& zip_name) {
  // Flushed to disk, then the name, then the folder entry.
  GuardRoom([&] { own_file_->Commit(keep_mode_); });
  own_file_.reset();
  // The directory now describes the archive just written. The lists of
  // this operation go first, so a large archive is not held three times.
  std::vector<NewEntry>().swap(new_dir_);
  stored_names_.clear();
  reader_.SetZipName(zip_name);
  reader_.ForgetDirectory();
  try {
    reader_.ReadDirectory();
  } catch (const Error&) {
    reader_.ForgetDirectory();
  }
}

// --- Storing one item --------------------------------------------------------------

TZipWriter::Job::StoreResult TZipWriter::Job::StoreFolder(const Item& item) {
  // Without stored paths a folder entry would have no name at all.
  if (item.name.raw_name.empty()) return StoreResult::kSkipped;
  auto h = std::make_unique<TZipHeaderInfo>(item.name);
  const FileInfo info = Stat(item.path);
  const time_t mtime = info.Exists() ? info.mtime.tv_sec : std::time(nullptr);
  h->dos_date_time = TimeTToDos(mtime);
  h->unix_mtime = mtime;
  h->external_attributes = info.Exists() ? DosAttributes(info) : kAttrDirectory;
  const uint32_t mode = info.Exists() ? static_cast<uint32_t>(info.mode) : (S_IFDIR | 0755);
  h->method = kMethodStored;
  h->crc32 = 0;
  h->compressed_size = h->uncompressed_size = 0;
  h->internal_attributes = 2;
  if (stored_names_.count(h->raw_name) != 0) {
    ReportProblem(item.path, FileProblem::kDuplicateName, h->FullName());
    return StoreResult::kLeftOut;
  }
  bool skip = false;
  if (ev_.OnStartZip) ev_.OnStartZip(item.path, *h, skip);
  if (skip) return StoreResult::kSkipped;
  h->local_header_offset = out_->Position();
  h->disk_number_start = 0;
  std::vector<std::byte> rec;
  std::vector<std::byte> extra = NewEntryExtra(*h);
  SerializeLocalHeader(*h, extra, &rec);
  out_->Append(rec);
  MarkMadeOnUnix(*h, mode);
  stored_names_.insert(h->raw_name);
  new_dir_.push_back({std::move(h), std::move(extra), {}});
  return StoreResult::kStored;
}

TZipWriter::Job::StoreResult TZipWriter::Job::StoreFile(const Item& item) {
  std::optional<TZipHeaderInfo> prepared;  // as OnStartZip left it
  bool force_zip64 = false;
  uint64_t expected_in_total = item.size;
  std::string last_reason;
  FileProblem last_problem = FileProblem::kChanged;

  // A file that changes while it is stored is rolled back and tried once
  // more; a second failure leaves it out. The growth retry (a file that
  // crossed the ZIP64 limit while being read) does not count as an attempt.
  for (int attempt = 0; attempt < 2; ++attempt) {
    File file;
    try {
      file = File::OpenRead(item.path);
    } catch (const EOSError& e) {
      total_ -= std::min(total_, expected_in_total);
      ReportProblem(item.path,
                    e.Errno() == ENOENT ? FileProblem::kVanished : FileProblem::kCannotOpen,
                    e.what());
      return StoreResult::kLeftOut;
    }
    FileInfo info;
    try {
      info = FStat(file);
    } catch (const EOSError& e) {
      total_ -= std::min(total_, expected_in_total);
      ReportProblem(item.path, FileProblem::kCannotOpen, e.what());
      return StoreResult::kLeftOut;
    }
    if (!info.IsRegular()) {
      total_ -= std::min(total_, expected_in_total);
      ReportProblem(item.path, FileProblem::kSpecialFile, "");
      return StoreResult::kLeftOut;
    }
    uint64_t size = info.size;
    if (opt_->SizeOverrideForTest) size = opt_->SizeOverrideForTest(item.path, size);
    // The total follows what the file holds now.
    total_ = total_ - std::min(total_, expected_in_total) + info.size;
    expected_in_total = info.size;

    TZipHeaderInfo h;
    if (!prepared) {
      h = item.name;
      h.external_attributes = DosAttributes(info);
      h.dos_date_time = TimeTToDos(info.mtime.tv_sec);
      h.unix_mtime = info.mtime.tv_sec;
      h.uncompressed_size = size;
      h.internal_attributes = 2;
      h.local_header_offset = out_->Position();
      h.disk_number_start = 0;
      if (stored_names_.count(h.raw_name) != 0) {
        total_ -= std::min(total_, expected_in_total);
        ReportProblem(item.path, FileProblem::kDuplicateName, h.FullName());
        return StoreResult::kLeftOut;
      }
      bool skip = false;
      const std::string name_before = h.FullName();
      if (ev_.OnStartZip) ev_.OnStartZip(item.path, h, skip);
      if (skip) {
        total_ -= std::min(total_, expected_in_total);
        return StoreResult::kSkipped;
      }
      if (h.FullName() != name_before) {
        // The handler renamed the entry: store the new name, still unique.
        const StoredName stored = EncodeStoredName(h.FullName());
        h.raw_name = stored.bytes;
        h.flags = static_cast<uint16_t>((h.flags & ~kFlagUtf8) | (stored.utf8 ? kFlagUtf8 : 0));
        if (stored_names_.count(h.raw_name) != 0) {
          total_ -= std::min(total_, expected_in_total);
          ReportProblem(item.path, FileProblem::kDuplicateName, h.FullName());
          return StoreResult::kLeftOut;
        }
      }
      prepared = h;
    } else {
      h = *prepared;
      h.uncompressed_size = size;
      h.dos_date_time = TimeTToDos(info.mtime.tv_sec);
      h.unix_mtime = info.mtime.tv_sec;
      h.external_attributes = DosAttributes(info);
    }

    const bool encrypt = !opt_->Password.empty();
    const int level = std::clamp(opt_->PackLevel, 0, 9);
    h.method = level == 0 ? kMethodStored : kMethodDeflated;
    h.flags &= kFlagUtf8;
    if (encrypt) h.flags |= kFlagEncrypted;
    if (level == 1 || level == 2) h.flags |= kFlagDeflateFast;
    if (level >= 8) h.flags |= kFlagDeflateMax;
    // The local header is written before the sizes are known, so its ZIP64
    // block is reserved whenever the data could reach the 32-bit limit.
    const uint64_t worst =
        (level == 0 ? size : DeflateBound(size)) + (encrypt ? kEncryptionHeaderSize : 0);
    const bool zip64_local = force_zip64 || worst >= kZip64Marker32 || size >= kZip64Marker32;
    if (zip64_local) h.version_needed = h.version_made_by = kVersionZip64;

    const uint64_t entry_start = out_->Position();
    h.local_header_offset = entry_start;
    std::vector<std::byte> rec;
    const std::vector<std::byte> entry_extra = NewEntryExtra(h);
    std::vector<std::byte> extra = zip64_local ? LocalZip64Extra(0, 0) : std::vector<std::byte>();
    extra.insert(extra.end(), entry_extra.begin(), entry_extra.end());
    SerializeLocalHeader(h, extra, &rec);
    out_->Append(rec);

    const uint64_t done_before = done_;
    bool ok = false;
    bool grew_past_limit = false;
    try {
      ok = WriteFileData(file, h, zip64_local, &expected_in_total, &last_reason, &grew_past_limit);
      last_problem = FileProblem::kChanged;
    } catch (const SourceReadError& e) {
      last_reason = e.reason;
      last_problem = FileProblem::kCannotRead;
    }
    if (ok) {
      rec.clear();
      std::vector<std::byte> final_extra =
          zip64_local ? LocalZip64Extra(h.uncompressed_size, h.compressed_size)
                      : std::vector<std::byte>();
      final_extra.insert(final_extra.end(), entry_extra.begin(), entry_extra.end());
      SerializeLocalHeader(h, final_extra, &rec);
      if (zip64_local) {
        // With the block present both local size fields defer to it.
        for (int at : {kLocCompressedSize, kLocSize}) {
          for (int k = 0; k < 4; ++k) rec[at + k] = std::byte{0xFF};
        }
      }
      out_->WriteAt(entry_start, rec);
      MarkMadeOnUnix(h, static_cast<uint32_t>(info.mode));
      stored_names_.insert(h.raw_name);
      new_dir_.push_back({std::make_unique<TZipHeaderInfo>(h), entry_extra, {}});
      return StoreResult::kStored;
    }
    // Roll back: the entry's bytes go, the progress it made is taken back.
    out_->Truncate(entry_start);
    done_ = done_before;
    if (grew_past_limit && !force_zip64) {
      force_zip64 = true;
      --attempt;
    }
  }
  total_ -= std::min(total_, expected_in_total);
  ReportProblem(item.path, last_problem, last_reason);
  return StoreResult::kLeftOut;
}

bool TZipWriter::Job::WriteFileData(File& file, TZipHeaderInfo& h, bool zip64_local,
                                    uint64_t* read_total, std::string* why, bool* grew_past_limit) {
  const bool encrypt = !opt_->Password.empty();
  const int level = std::clamp(opt_->PackLevel, 0, 9);
  // Buffers and the deflater live as long as the operation: allocating them
  // per file costs fresh zeroed pages for every small file.
  if (read_buf_.size() != kBlockSize) read_buf_.resize(kBlockSize);
  std::span<std::byte> buf(read_buf_);
  const uint64_t size_at_open = *read_total;

  // The encryption header carries the CRC, so with a password the file is
  // read once for the CRC before any data is written.
  uint32_t first_crc = 0;
  uint64_t first_len = 0;
  if (encrypt) {
    for (;;) {
      const size_t n = ReadSource(file, buf);
      if (n == 0) break;
      first_crc = Crc32(first_crc, buf.data(), n);
      first_len += n;
      Pump();
    }
    try {
      file.Seek(0);
    } catch (const EOSError& e) {
      throw SourceReadError{e.what()};
    }
  }

  const uint64_t data_start = out_->Position();
  std::optional<ZipCrypto> crypt;
  if (encrypt) {
    crypt.emplace(opt_->Password);
    const auto header = MakeEncryptionHeader(*crypt, first_crc);
    out_->Append(header);  // MakeEncryptionHeader encrypts it already
  }
  ZipCrypto* keys = crypt ? &*crypt : nullptr;
  sink_keys_ = keys;

  Deflater* deflater = nullptr;
  if (level > 0) {
    if (!deflater_) {
      deflater_ = std::make_unique<Deflater>(
          level, [this](std::span<const std::byte> piece) { out_->Append(piece, sink_keys_); });
    } else {
      deflater_->Reset(level);
    }
    deflater = deflater_.get();
  }

  uint32_t crc = 0;
  uint64_t read = 0;
  for (;;) {
    const size_t n = ReadSource(file, buf);
    if (n == 0) break;
    const std::span<const std::byte> block = buf.first(n);
    crc = Crc32(crc, block);
    read += n;
    if (deflater) {
      deflater->Write(block);
    } else {
      out_->Append(block, keys);
    }
    AddProgress(n);
    ReportFilePercent(read, size_at_open);
    Pump();
    if (encrypt && read > first_len) break;  // grew since the CRC pass
  }
  if (read == 0) {
    // No block was read: an empty file still reports its progress once.
    AddProgress(0);
    ReportFilePercent(0, 0);
  }
  if (deflater) deflater->Finish();
  *read_total = read;

  if (encrypt && (read != first_len || crc != first_crc)) {
    // Never keep an entry whose check byte disagrees with its data.
    *why = "changed while being read";
    return false;
  }
  if (read < size_at_open) {
    *why = "shrank while being read";
    return false;
  }
  const uint64_t compressed = out_->Position() - data_start;
  if (!zip64_local && (read >= kZip64Marker32 || compressed >= kZip64Marker32)) {
    *why = "grew past 4 GiB while being read";
    *grew_past_limit = true;
    return false;
  }
  h.crc32 = crc;
  h.uncompressed_size = read;
  h.compressed_size = compressed;
  h.internal_attributes = deflater ? (deflater->IsText() ? 1 : 0) : 0;
  return true;
}

// --- Carrying entries over -------------------------------------------------------

void TZipWriter::Job::CopyKeptEntry(const TZipHeaderInfo& old, File& source) {
  const std::string where = zip_name_ + " (" + old.FullName() + ")";
  const uint64_t source_size = source.Size();
  std::array<std::byte, kLocalHeaderSize> fixed{};
  LocalHeader lh;
  if (source.ReadAt(old.local_header_offset, fixed) != fixed.size() ||
      !ParseLocalHeader(fixed, &lh)) {
    throw EBadZipFile("Local header missing in " + where);
  }
  const uint64_t data_start =
      old.local_header_offset + kLocalHeaderSize + lh.name_length + lh.extra_length;
  uint64_t end = data_start + old.compressed_size;
  if (old.HasDataDescriptor()) {
    // The descriptor's form is not recorded anywhere: with or without its
    // optional signature, with 32- or 64-bit sizes. Tell them apart by
    // where the CRC sits.
    std::vector<std::byte> local_extra(lh.extra_length);
    (void)source.ReadAt(data_start - lh.extra_length, local_extra);
    const bool wide = FindExtraBlock(local_extra, kExtraZip64).has_value();
    const uint64_t plain_len = 4 + (wide ? 16 : 8);
    std::array<std::byte, 8> head{};
    const size_t got = source.ReadAt(end, head);
    uint64_t len = plain_len;
    if (got == head.size() && Load32(head, 0) == kDataDescriptorSignature &&
        (Load32(head, 4) == old.crc32 || Load32(head, 0) != old.crc32)) {
      len = plain_len + 4;
    }
    end += len;
  }
  if (end > source_size || data_start > end) throw EBadZipFile("Entry data cut off in " + where);

  auto h = std::make_unique<TZipHeaderInfo>(old);
  h->local_header_offset = out_->Position();
  h->disk_number_start = 0;

  // Local header, name, extra field and data (and descriptor) go over byte
  // for byte: nothing in them depends on the entry's position.
  std::vector<std::byte> buf(kBlockSize);
  for (uint64_t at = old.local_header_offset; at < end;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), end - at));
    const size_t got = source.ReadAt(at, std::span(buf.data(), want));
    if (got != want) throw EBadZipFile("Entry data cut off in " + where);
    out_->Append(std::span(buf.data(), want));
    at += want;
    Pump();
  }

  // The central extra field and the comment come from the old directory.
  std::vector<std::byte> tail(old.central_extra_length + old.comment_length);
  const uint64_t tail_at = old.central_header_offset + kCentralHeaderSize + old.raw_name.size();
  if (!tail.empty() && source.ReadAt(tail_at, tail) != tail.size()) {
    throw EBadZipFile("Central directory cut off in " + where);
  }
  NewEntry entry;
  entry.central_extra = WithoutZip64Block(std::span(tail).first(old.central_extra_length));
  entry.comment.assign(reinterpret_cast<const char*>(tail.data()) + old.central_extra_length,
                       old.comment_length);
  entry.h = std::move(h);
  stored_names_.insert(entry.h->raw_name);
  new_dir_.push_back(std::move(entry));
}

void TZipWriter::Job::CopyPrefix(File& source) {
  const TSortedZip& dir = reader_.PhysicalOrder();
  const uint64_t prefix =
      dir.Count() > 0 ? dir[0].local_header_offset : reader_.EndCentral().central_offset;
  std::vector<std::byte> buf(kBlockSize);
  for (uint64_t at = 0; at < prefix;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), prefix - at));
    if (source.ReadAt(at, std::span(buf.data(), want)) != want) {
      throw EBadZipFile("The bytes before the first entry of " + zip_name_ + " are cut off");
    }
    out_->Append(std::span(buf.data(), want));
    at += want;
  }
}

// --- Operations ---------------------------------------------------------------------

std::vector<Item> TZipWriter::Job::Items(const TZipOptions& options, ExpandOptions expand) {
  std::vector<ExpandedItem> expanded;
  if (options.ExpandedFiles) {
    expanded = *options.ExpandedFiles;
  } else {
    expand.exclude_list = options.ExcludeList;
    expand.recurse = options.Recurse;
    expand.add_dir_entries = options.AddDirEntriesOnRecurse;
    expand.root_dir = options.RootDir;
    expanded = ExpandFilesList(options.FilesList, expand, ev_.OnFileProblem, [this] { Pump(); });
  }
  std::vector<Item> items;
  items.reserve(expanded.size());
  for (ExpandedItem& e : expanded) {
    Item item;
    item.path = std::move(e.path);
    item.is_folder = e.is_folder;
    item.size = e.size;
    PrepareName(item.path, item.is_folder, &item.name);
    items.push_back(std::move(item));
  }
  return items;
}

int TZipWriter::Job::Zip(const TZipOptions& options) {
  opt_ = &options;
  zip_name_ = options.ZipName;
  const std::string& zip_name = options.ZipName;
  if (zip_name.empty() || zip_name.find_first_not_of(" \t") == std::string::npos) return 0;
  if (options.MultiZipInfo.MultiMode != TMultiMode::mmNone) {
    throw EZipError("Disk spanning is not supported yet");
  }
  CheckComment(options.ArchiveComment);
  const FileInfo archive = Stat(zip_name);
  if (archive.Exists() && !archive.IsRegular()) {
    throw EOSError("Unable to write archive", zip_name, archive.IsDirectory() ? EISDIR : EINVAL);
  }
  const bool update = archive.Exists();
  std::string comment = options.ArchiveComment.value_or(std::string());
  std::optional<File> source;
  if (update) {
    ReadBase(zip_name);
    if (!options.ArchiveComment) comment = reader_.ArchiveComment();
    source.emplace(File::OpenRead(zip_name));
  }

  OpenOutput(zip_name, options.OutputFactory);
  ExpandOptions expand;
  if (update) expand.skip_ids.push_back({archive.dev, archive.ino});
  const FileInfo temp = Stat(own_file_->TempPath());
  expand.skip_ids.push_back({temp.dev, temp.ino});
  expand.skip_paths = {zip_name, own_file_->TempPath().string()};
  std::vector<Item> items = Items(options, std::move(expand));
  std::vector<bool> consumed(items.size(), false);

  // Plan the update: which old entry each file replaces, which files are
  // not newer than their entries and so are dropped.
  std::vector<int> replaced_by;  // per old entry: item index or -1
  const TSortedZip& dir = reader_.PhysicalOrder();
  if (update) {
    std::unordered_map<std::string, std::vector<size_t>> raw, decoded;
    for (size_t i = 0; i < items.size(); ++i) {
      raw[items[i].name.raw_name].push_back(i);
      decoded[items[i].name.FullName()].push_back(i);
    }
    auto first_free = [&](auto& map, const std::string& key) -> int {
      auto it = map.find(key);
      if (it == map.end()) return -1;
      for (size_t i : it->second) {
        if (!consumed[i]) return static_cast<int>(i);
      }
      return -1;
    };
    replaced_by.assign(dir.Count(), -1);
    // A file replaces an entry only under the very same name: on Linux
    // "Report.txt" and "report.txt" are two files, and folding case here
    // would let one silently take the other's place. Stored bytes first;
    // then the name as read, for entries another tool stored in another
    // form of the same name (a DOS "\" separator).
    std::vector<int> match(dir.Count(), -1);
    for (int pass = 0; pass < 2; ++pass) {
      for (size_t k = 0; k < dir.Count(); ++k) {
        if (match[k] >= 0) continue;
        const TZipHeaderInfo& e = dir[k];
        const int x = pass == 0 ? first_free(raw, e.raw_name) : first_free(decoded, e.FullName());
        if (x < 0) continue;
        consumed[static_cast<size_t>(x)] = true;
        match[k] = x;
      }
    }
    for (size_t k = 0; k < dir.Count(); ++k) {
      const int x = match[k];
      if (x < 0) continue;
      const FileInfo info = Stat(items[static_cast<size_t>(x)].path);
      if (!info.Exists()) continue;  // keep the entry; nothing to replace it with
      if (ValidateDos(dir[k].dos_date_time) >= TimeTToDos(info.mtime.tv_sec)) continue;
      replaced_by[k] = x;
    }
  }
  for (size_t i = 0; i < items.size(); ++i) {
    if (!consumed[i]) total_ += items[i].size;
  }
  for (int x : replaced_by) {
    if (x >= 0) total_ += items[static_cast<size_t>(x)].size;
  }

  int count = 0;
  if (update) {
    CopyPrefix(*source);
    for (size_t k = 0; k < dir.Count(); ++k) {
      const int x = replaced_by[k];
      if (x >= 0 && StoreItem(items[static_cast<size_t>(x)]) == StoreResult::kStored) {
        ++count;
        continue;
      }
      // Kept, or its replacement could not be stored: the entry stays.
      CopyKeptEntry(dir[k], *source);
    }
  }
  for (size_t i = 0; i < items.size(); ++i) {
    if (consumed[i]) continue;
    if (StoreItem(items[i]) == StoreResult::kStored) ++count;
  }

  FinishOutput(comment);
  std::vector<Item>().swap(items);
  PlaceOutput(zip_name);
  if (ev_.OnTotalPercentDone) ev_.OnTotalPercentDone(100);
  return count;
}

int TZipWriter::Job::ZipInto(ReplacingFile& out, const TZipOptions& options) {
  opt_ = &options;
  zip_name_ = out.Target().string();
  CheckComment(options.ArchiveComment);
  if (options.MultiZipInfo.MultiMode != TMultiMode::mmNone) {
    throw EZipError("Disk spanning is not supported yet");
  }
  out_.emplace(out.Output());
  ExpandOptions expand;
  const FileInfo temp = Stat(out.TempPath());
  expand.skip_ids.push_back({temp.dev, temp.ino});
  expand.skip_paths = {zip_name_, out.TempPath().string()};
  const std::vector<Item> items = Items(options, std::move(expand));
  for (const Item& item : items) total_ += item.size;
  int count = 0;
  for (const Item& item : items) {
    if (StoreItem(item) == StoreResult::kStored) ++count;
  }
  FinishOutput(options.ArchiveComment.value_or(std::string()));
  if (ev_.OnTotalPercentDone) ev_.OnTotalPercentDone(100);
  return count;
}

int TZipWriter::Job::Remove(const TRemoveOptions& options) {
  zip_name_ = options.ZipName;
  const std::string& zip_name = options.ZipName;
  if (zip_name.empty()) return 0;
  CheckComment(options.ArchiveComment);
  ReadBase(zip_name);
  const std::string comment =
      options.ArchiveComment ? *options.ArchiveComment : reader_.ArchiveComment();
  File source = File::OpenRead(zip_name);
  OpenOutput(zip_name, options.OutputFactory);

  // Plain names and exact names each remove at most one entry; patterns may
  // remove many. Plain names are looked up by hash so that long lists stay
  // fast; patterns are tried in list order.
  const std::vector<std::string>& list = options.FilesList;
  std::unordered_map<std::string, std::vector<size_t>> plain;
  std::vector<std::pair<size_t, std::string>> patterns;
  for (size_t i = 0; i < list.size(); ++i) {
    std::string item = list[i];
    std::replace(item.begin(), item.end(), '\\', '/');
    if (HasWildcard(item)) {
      patterns.emplace_back(i, std::move(item));
    } else {
      plain[AsciiLower(item)].push_back(i);
    }
  }
  std::vector<bool> used(list.size(), false);
  std::unordered_map<std::string, int> exact;
  for (const std::string& name : options.ExactNames) ++exact[name];

  int count = 0;
  CopyPrefix(source);
  const TSortedZip& dir = reader_.PhysicalOrder();
  for (size_t k = 0; k < dir.Count(); ++k) {
    const TZipHeaderInfo& e = dir[k];
    const std::string full = e.FullName();
    bool remove = false;
    if (auto it = exact.find(full); it != exact.end() && it->second > 0) {
      --it->second;
      remove = true;
    }
    if (!remove) {
      size_t plain_index = list.size();
      if (auto it = plain.find(AsciiLower(full)); it != plain.end()) {
        for (size_t i : it->second) {
          if (!used[i]) {
            plain_index = i;
            break;
          }
        }
      }
      for (const auto& [index, pattern] : patterns) {
        if (index > plain_index) break;
        const bool whole = pattern.find('/') != std::string::npos;
        if (WildcardMatch(pattern, whole ? std::string_view(full) : e.FileName())) {
          remove = true;
          break;
        }
      }
      if (!remove && plain_index < list.size()) {
        used[plain_index] = true;
        remove = true;
      }
    }
    if (remove) {
      ++count;
    } else {
      CopyKeptEntry(e, source);
    }
  }
  FinishOutput(comment);
  PlaceOutput(zip_name);
  return count;
}

// --- The writer ------------------------------------------------------------------------

TZipWriter::TZipWriter() = default;
TZipWriter::~TZipWriter() = default;

bool TZipWriter::IsTempFileName(std::string_view name) { return ReplacingFile::IsTempName(name); }

int TZipWriter::Zip(const TZipOptions& options, const TZipEvents& events) {
  const int count = Job(reader_, events).Zip(options);
  if (events.OnZipComplete) events.OnZipComplete(count);
  return count;
}

int TZipWriter::ZipInto(ReplacingFile& out, const TZipOptions& options, const TZipEvents& events) {
  reader_.SetZipName(std::string());
  const int count = Job(reader_, events).ZipInto(out, options);
  if (events.OnZipComplete) events.OnZipComplete(count);
  return count;
}

int TZipWriter::RemoveEntries(const TRemoveOptions& options, const TZipEvents& events) {
  return Job(reader_, events).Remove(options);
}

}  // namespace zb::zip
