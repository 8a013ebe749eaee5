#include "zip/zip_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "base/date_time.h"
#include "base/errors.h"
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

// Temporary files are named "." + archive name + ".zbk-" + 8 random
// characters + ".tmp": hidden, never ending in ".zip", and recognisable so
// that leftovers of a killed run can be found again.
constexpr std::string_view kTempMarker = ".zbk-";
constexpr std::string_view kTempSuffix = ".tmp";
constexpr size_t kTempRandomLength = 8;

// A new entry whose name is stored as UTF-8 (flag bit 11) is marked as made
// on Unix. Unzip tools on Linux translate the names of entries made on DOS
// from the OEM code page even when bit 11 says UTF-8, which garbles every
// name CP437 cannot hold; for a Unix entry they take the bytes as they are.
// The Unix mode in the high 16 bits follows the DOS attributes kept in the
// low byte, so every reader restores the same read-only state. Names that
// CP437 can hold keep the DOS host.
// A new entry whose name is stored in CP437 but is not plain ASCII also gets
// a Unicode Path block (0x7075: version 1, CRC-32 of the stored name, the
// name in UTF-8) in both headers. Unzip tools on Linux otherwise turn such
// names into Latin-1 bytes or raw CP437 bytes; with the block they write
// the UTF-8 name. Plain ASCII names need no block and get none.
std::vector<std::byte> UnicodePathExtra(const TZipHeaderInfo& h) {
  if ((h.flags & kFlagUtf8) != 0) return {};
  const std::string& raw = h.raw_name;
  if (std::all_of(raw.begin(), raw.end(), [](char c) { return (c & 0x80) == 0; })) return {};
  const std::string utf8 = Cp437ToUtf8(raw);
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

void MarkUtf8EntryAsUnix(TZipHeaderInfo& h) {
  if ((h.flags & kFlagUtf8) == 0) return;
  h.version_made_by = static_cast<uint16_t>((kHostUnix << 8) | (h.version_made_by & 0xFF));
  const bool dir = (h.external_attributes & kAttrDirectory) != 0;
  const bool read_only = (h.external_attributes & kAttrReadOnly) != 0;
  uint32_t mode = dir ? (S_IFDIR | 0755) : (S_IFREG | 0644);
  if (read_only) mode &= ~static_cast<uint32_t>(0222);
  h.external_attributes = (mode << 16) | (h.external_attributes & 0xFFFF);
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

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
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

uint32_t CurrentUmask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

void SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  // The rename is durable only once the folder is; a failure here cannot
  // undo it and loses nothing, so it is not reported.
  (void)::fsync(fd);
  ::close(fd);
}

// Removes leftovers of killed runs in `folder`: temporary files of our
// pattern that no live writer holds locked.
void RemoveLeftovers(const std::string& folder) {
  RemoveUnlockedLeftovers(folder,
                          [](const char* name) { return TZipWriter::IsTempFileName(name); });
}

}  // namespace

// --- Output ----------------------------------------------------------------------

// The archive being written, with a write-behind buffer. Local headers are
// patched in the buffer when they are still there, so a run of small files
// costs one write per buffer rather than two per file. A full disk becomes
// ENotEnoughRoom.
class TZipWriter::Output {
 public:
  Output(std::unique_ptr<WritableFile> file, std::string path)
      : file_(std::move(file)), path_(std::move(path)), flushed_(file_->Position()) {
    buf_.reserve(kBlockSize);
  }

  [[nodiscard]] const std::string& Path() const { return path_; }
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
    Guard([&] { file_->WriteAt(offset, data); });
  }

  // Drops everything from `size` on (an entry being rolled back).
  void Truncate(uint64_t size) {
    if (size >= flushed_) {
      buf_.resize(size - flushed_);
      return;
    }
    buf_.clear();
    Guard([&] { file_->Truncate(size); });
    flushed_ = size;
  }

  void Flush() {
    if (buf_.empty()) return;
    Guard([&] { file_->Append(buf_); });
    flushed_ += buf_.size();
    buf_.clear();
  }

  void Finish() {
    Flush();
    Guard([&] {
      file_->Sync();
      file_->Close();
    });
  }

  void Abandon() noexcept {
    try {
      file_->Close();
    } catch (...) {
    }
  }

 private:
  template <typename F>
  void Guard(F&& f) {
    try {
      f();
    } catch (const EOSError& e) {
      if (IsFullDisk(e.Errno())) throw ENotEnoughRoom();
      throw;
    }
  }

  std::unique_ptr<WritableFile> file_;
  std::string path_;
  std::vector<std::byte> buf_;
  uint64_t flushed_ = 0;
};

// An entry of the archive being written, with the central extra field and
// comment that a carried-over entry brings along.
struct TZipWriter::NewEntry {
  std::unique_ptr<TZipHeaderInfo> h;
  std::vector<std::byte> central_extra;
  std::string comment;
};

// One file or folder to store, with its stored name worked out.
struct TZipWriter::Item {
  std::string path;
  bool is_folder = false;
  uint64_t size = 0;
  TZipHeaderInfo name;  // only the name fields are set
};

// --- Construction and properties ------------------------------------------------

TZipWriter::TZipWriter() = default;
TZipWriter::~TZipWriter() { DiscardOutput(); }

void TZipWriter::SetZipName(const std::string& name) {
  if (name != ZipName()) comment_pending_ = false;
  TZipReader::SetZipName(name);
}

void TZipWriter::SetArchiveComment(std::string comment) {
  pending_comment_ = std::move(comment);
  comment_pending_ = true;
}

bool TZipWriter::IsTempFileName(std::string_view name) {
  const size_t min = 1 + 1 + kTempMarker.size() + kTempRandomLength + kTempSuffix.size();
  if (name.size() < min || name[0] != '.' || !name.ends_with(kTempSuffix)) return false;
  const size_t random_at = name.size() - kTempSuffix.size() - kTempRandomLength;
  if (name.substr(random_at - kTempMarker.size(), kTempMarker.size()) != kTempMarker) {
    return false;
  }
  for (size_t i = random_at; i < random_at + kTempRandomLength; ++i) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'))) return false;
  }
  return true;
}

// --- Helpers ----------------------------------------------------------------------

void TZipWriter::ReportProblem(const std::string& path, FileProblem problem,
                               const std::string& detail) {
  if (OnFileProblem) OnFileProblem(path, problem, detail);
}

void TZipWriter::AddProgress(uint64_t bytes) {
  done_ += bytes;
  if (!OnTotalPercentDone) return;
  const int percent =
      total_ == 0 ? 100
                  : static_cast<int>(std::min<uint64_t>(100, (done_ * 100 + total_ / 2) / total_));
  OnTotalPercentDone(percent);
}

void TZipWriter::ReportFilePercent(uint64_t done, uint64_t size) {
  if (!OnFilePercentDone) return;
  const int percent =
      size == 0 ? 0 : static_cast<int>(std::min<uint64_t>(100, (done * 100 + size / 2) / size));
  OnFilePercentDone(percent);
}

void TZipWriter::PrepareName(const std::string& path, bool is_folder, TZipHeaderInfo* h) const {
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
  const std::string directory = StorePaths ? StoredFolder(folder) : std::string();
  const StoredName stored = EncodeStoredName(directory + file_name);
  h->raw_name = stored.bytes;
  h->flags = stored.utf8 ? kFlagUtf8 : 0;
  h->SetDirectory(directory);
  h->SetFileName(file_name);
}

// --- Output file life cycle ------------------------------------------------------

void TZipWriter::OpenOutput() {
  target_ = ZipName();
  // A link to an archive updates the archive, not the link: the temporary
  // file goes beside the real file and is renamed over it.
  if (LStat(target_).IsSymlink()) {
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(target_, ec);
    if (!ec) target_ = real.string();
  }
  const std::string& zip_name = target_;
  const std::string folder = ParentFolder(zip_name);
  RemoveLeftovers(folder);
  // The archive's own name may already be near the file-name limit (255
  // bytes): only as much of it goes into the temporary name as leaves room
  // for the rest, cut at a UTF-8 character boundary.
  std::string base = BaseName(zip_name);
  constexpr size_t kMaxBase = 255 - 1 - kTempMarker.size() - kTempRandomLength - kTempSuffix.size();
  if (base.size() > kMaxBase) {
    size_t cut = kMaxBase;
    while (cut > 0 && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80) --cut;
    base.resize(cut);
  }
  const std::string prefix = "." + base + std::string(kTempMarker);
  File file = CreateTempFile(folder, prefix, kTempSuffix);
  // The lock tells a later run in this folder that the file is in use; it
  // goes away with the process, so a killed run's file can be cleaned up.
  if (::flock(file.Fd(), LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    const std::string path = file.Path().string();
    file = File();
    RemoveFileNoThrow(path);
    throw EOSError("Unable to lock", path, err);
  }
  // An update keeps the archive's permissions; a new archive gets those of
  // any new file rather than the temporary file's 0600.
  const FileInfo old = Stat(zip_name);
  const mode_t mode = old.Exists() ? (old.mode & 07777) : (0666 & ~CurrentUmask());
  if (::fchmod(file.Fd(), mode) != 0) {
    const int err = errno;
    const std::string path = file.Path().string();
    file = File();
    RemoveFileNoThrow(path);
    throw EOSError("Unable to set the permissions of", path, err);
  }
  const std::string path = file.Path().string();
  WritableFileFactory& factory = factory_ != nullptr ? *factory_ : DefaultWritableFileFactory();
  try {
    out_ = std::make_unique<Output>(factory.Wrap(std::move(file)), path);
  } catch (...) {
    RemoveFileNoThrow(path);
    throw;
  }
}

void TZipWriter::DiscardOutput() noexcept {
  if (!out_) return;
  out_->Abandon();
  RemoveFileNoThrow(out_->Path());
  out_.reset();
}

void TZipWriter::FinishOutput(const std::string& comment) {
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
  out_->Finish();

  // fsync(file) happened in Finish; now the name, then the folder entry.
  RenameFile(out_->Path(), target_);
  out_.reset();
  SyncFolder(ParentFolder(target_));
}

// --- Storing one item --------------------------------------------------------------

TZipWriter::StoreResult TZipWriter::StoreItem(const Item& item) {
  return item.is_folder ? StoreFolder(item) : StoreFile(item);
}

TZipWriter::StoreResult TZipWriter::StoreFolder(const Item& item) {
  // Without stored paths a folder entry would have no name at all.
  if (item.name.raw_name.empty()) return StoreResult::kSkipped;
  auto h = std::make_unique<TZipHeaderInfo>(item.name);
  const FileInfo info = Stat(item.path);
  h->dos_date_time = TimeTToDos(info.Exists() ? info.mtime.tv_sec : std::time(nullptr));
  h->external_attributes = info.Exists() ? DosAttributes(info) : kAttrDirectory;
  h->method = kMethodStored;
  h->crc32 = 0;
  h->compressed_size = h->uncompressed_size = 0;
  h->internal_attributes = 2;
  if (stored_names_.count(h->raw_name) != 0) {
    ReportProblem(item.path, FileProblem::kDuplicateName, h->FullName());
    return StoreResult::kLeftOut;
  }
  bool skip = false;
  if (OnStartZip) OnStartZip(item.path, *h, skip);
  if (skip) return StoreResult::kSkipped;
  h->local_header_offset = out_->Position();
  h->disk_number_start = 0;
  std::vector<std::byte> rec;
  std::vector<std::byte> unicode_path = UnicodePathExtra(*h);
  SerializeLocalHeader(*h, unicode_path, &rec);
  out_->Append(rec);
  MarkUtf8EntryAsUnix(*h);
  stored_names_.insert(h->raw_name);
  new_dir_.push_back({std::move(h), std::move(unicode_path), {}});
  return StoreResult::kStored;
}

TZipWriter::StoreResult TZipWriter::StoreFile(const Item& item) {
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
    if (SizeOverrideForTest) size = SizeOverrideForTest(item.path, size);
    // The total follows what the file holds now.
    total_ = total_ - std::min(total_, expected_in_total) + info.size;
    expected_in_total = info.size;

    TZipHeaderInfo h;
    if (!prepared) {
      h = item.name;
      h.external_attributes = DosAttributes(info);
      h.dos_date_time = TimeTToDos(info.mtime.tv_sec);
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
      if (OnStartZip) OnStartZip(item.path, h, skip);
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
    }

    const bool encrypt = !Password.empty();
    const int level = std::clamp(PackLevel, 0, 9);
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
    const std::vector<std::byte> unicode_path = UnicodePathExtra(h);
    std::vector<std::byte> extra = zip64_local ? LocalZip64Extra(0, 0) : std::vector<std::byte>();
    extra.insert(extra.end(), unicode_path.begin(), unicode_path.end());
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
      final_extra.insert(final_extra.end(), unicode_path.begin(), unicode_path.end());
      SerializeLocalHeader(h, final_extra, &rec);
      if (zip64_local) {
        // With the block present both local size fields defer to it.
        for (int at : {kLocCompressedSize, kLocSize}) {
          for (int k = 0; k < 4; ++k) rec[at + k] = std::byte{0xFF};
        }
      }
      out_->WriteAt(entry_start, rec);
      MarkUtf8EntryAsUnix(h);
      stored_names_.insert(h.raw_name);
      new_dir_.push_back({std::make_unique<TZipHeaderInfo>(h), unicode_path, {}});
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

bool TZipWriter::WriteFileData(File& file, TZipHeaderInfo& h, bool zip64_local,
                               uint64_t* read_total, std::string* why, bool* grew_past_limit) {
  const bool encrypt = !Password.empty();
  const int level = std::clamp(PackLevel, 0, 9);
  // Buffers and the deflater live as long as the writer: allocating them per
  // file costs fresh zeroed pages for every small file.
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
      CallPump();
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
    crypt.emplace(Password);
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
    CallPump();
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

void TZipWriter::CopyKeptEntry(const TZipHeaderInfo& old, File& source) {
  const std::string where = ZipName() + " (" + old.FullName() + ")";
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
    CallPump();
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

// --- Operations ---------------------------------------------------------------------

void TZipWriter::RefuseUnsafeBase() {
  if (MultiMode() != TMultiMode::mmNone) {
    throw EZipError("Updating an archive that spans disks is not supported yet");
  }
  // A directory pieced together by the recovery scan may lack entries; an
  // update built on it would drop them for good when it replaces the file.
  if (DirectoryRecovered()) {
    throw EBadZipFile("The directory of " + ZipName() +
                      " is damaged; the archive is left unchanged");
  }
}

int TZipWriter::Zip() {
  new_dir_.clear();
  stored_names_.clear();
  total_ = done_ = 0;
  int count = 0;
  try {
    count = ZipInner();
  } catch (...) {
    DiscardOutput();
    new_dir_.clear();
    stored_names_.clear();
    FilesList.clear();
    throw;
  }
  new_dir_.clear();
  stored_names_.clear();
  FilesList.clear();
  if (OnZipComplete) OnZipComplete(count);
  return count;
}

int TZipWriter::ZipInner() {
  if (ZipName().empty() || ZipName().find_first_not_of(" \t") == std::string::npos) {
    return 0;
  }
  if (MultiZipInfo.MultiMode != TMultiMode::mmNone) {
    throw EZipError("Disk spanning is not supported yet");
  }
  const FileInfo archive = Stat(ZipName());
  if (archive.Exists() && !archive.IsRegular()) {
    throw EOSError("Unable to write archive", ZipName(), archive.IsDirectory() ? EISDIR : EINVAL);
  }
  const bool update = archive.Exists();
  std::string comment = comment_pending_ ? pending_comment_ : std::string();
  std::optional<File> source;
  if (update) {
    ReadDirectory();
    RefuseUnsafeBase();
    if (!comment_pending_) comment = ArchiveComment();
    source.emplace(File::OpenRead(ZipName()));
  }

  OpenOutput();
  ExpandOptions options;
  options.exclude_list = ExcludeList;
  options.recurse = Recurse;
  options.add_dir_entries = AddDirEntriesOnRecurse;
  options.root_dir = RootDir;
  if (update) options.skip_ids.push_back({archive.dev, archive.ino});
  const FileInfo temp = Stat(out_->Path());
  options.skip_ids.push_back({temp.dev, temp.ino});
  options.skip_paths = {ZipName(), out_->Path()};
  std::vector<ExpandedItem> expanded =
      ExpandFilesList(FilesList, options, OnFileProblem, [this] { CallPump(); });

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
  std::vector<bool> consumed(items.size(), false);

  // Plan the update: which old entry each file replaces, which files are
  // not newer than their entries and so are dropped.
  std::vector<int> replaced_by;  // per old entry: item index or -1
  if (update) {
    std::unordered_map<std::string, std::vector<size_t>> exact, folded;
    for (size_t i = 0; i < items.size(); ++i) {
      exact[items[i].name.raw_name].push_back(i);
      folded[AsciiLower(items[i].name.FullName())].push_back(i);
    }
    auto first_free = [&](auto& map, const std::string& key) -> int {
      auto it = map.find(key);
      if (it == map.end()) return -1;
      for (size_t i : it->second) {
        if (!consumed[i]) return static_cast<int>(i);
      }
      return -1;
    };
    TSortedZip& dir = Directory();
    replaced_by.assign(dir.Count(), -1);
    // Byte-equal names first, for every entry; ignoring case only as a
    // fallback for entries left without a match, so that archives made
    // where names fold still update, while "A.txt" and "a.txt" stay apart.
    std::vector<int> match(dir.Count(), -1);
    for (int pass = 0; pass < 2; ++pass) {
      for (size_t k = 0; k < dir.Count(); ++k) {
        if (match[k] >= 0) continue;
        const TZipHeaderInfo& e = dir[k];
        const int x = pass == 0 ? first_free(exact, e.raw_name)
                                : first_free(folded, AsciiLower(e.FullName()));
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
    TSortedZip& dir = Directory();
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
  comment_pending_ = false;
  if (OnTotalPercentDone) OnTotalPercentDone(100);
  // The directory now describes the archive just written. The lists of
  // this run go first, so a large archive is not held three times over.
  std::vector<Item>().swap(items);
  std::vector<NewEntry>().swap(new_dir_);
  stored_names_.clear();
  ForgetDirectory();
  try {
    ReadDirectory();
  } catch (const Error&) {
    ForgetDirectory();
  }
  return count;
}

int TZipWriter::RemoveEntries() {
  new_dir_.clear();
  stored_names_.clear();
  total_ = done_ = 0;
  int count = 0;
  try {
    count = RemoveInner();
  } catch (...) {
    DiscardOutput();
    new_dir_.clear();
    stored_names_.clear();
    FilesList.clear();
    ExactNames.clear();
    throw;
  }
  new_dir_.clear();
  stored_names_.clear();
  FilesList.clear();
  ExactNames.clear();
  return count;
}

int TZipWriter::RemoveInner() {
  if (ZipName().empty()) return 0;
  ReadDirectory();
  RefuseUnsafeBase();
  const bool new_comment = comment_pending_;
  const std::string comment = new_comment ? pending_comment_ : ArchiveComment();
  File source = File::OpenRead(ZipName());
  OpenOutput();

  // Plain names and exact names each remove at most one entry; patterns may
  // remove many. Plain names are looked up by hash so that long lists stay
  // fast; patterns are tried in list order.
  std::unordered_map<std::string, std::vector<size_t>> plain;
  std::vector<std::pair<size_t, std::string>> patterns;
  for (size_t i = 0; i < FilesList.size(); ++i) {
    std::string item = FilesList[i];
    std::replace(item.begin(), item.end(), '\\', '/');
    if (HasWildcard(item)) {
      patterns.emplace_back(i, std::move(item));
    } else {
      plain[AsciiLower(item)].push_back(i);
    }
  }
  std::vector<bool> used(FilesList.size(), false);
  std::unordered_map<std::string, int> exact;
  for (const std::string& name : ExactNames) ++exact[name];

  int count = 0;
  TSortedZip& dir = Directory();
  for (size_t k = 0; k < dir.Count(); ++k) {
    const TZipHeaderInfo& e = dir[k];
    const std::string full = e.FullName();
    bool remove = false;
    if (auto it = exact.find(full); it != exact.end() && it->second > 0) {
      --it->second;
      remove = true;
    }
    if (!remove) {
      size_t plain_index = FilesList.size();
      std::vector<size_t>* plain_list = nullptr;
      if (auto it = plain.find(AsciiLower(full)); it != plain.end()) {
        for (size_t i : it->second) {
          if (!used[i]) {
            plain_index = i;
            plain_list = &it->second;
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
      if (!remove && plain_list != nullptr) {
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
  if (new_comment) comment_pending_ = false;
  std::vector<NewEntry>().swap(new_dir_);
  stored_names_.clear();
  ForgetDirectory();
  try {
    ReadDirectory();
  } catch (const Error&) {
    ForgetDirectory();
  }
  return count;
}

}  // namespace zb::zip
