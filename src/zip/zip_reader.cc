#include "zip/zip_reader.h"

#include <algorithm>
#include <array>
#include <optional>
#include <unordered_map>

#include "base/errors.h"
#include "base/text.h"
#include "zip/zip_names.h"

namespace zb::zip {
namespace {

// Read size of the recovery scan. Large enough that system calls do not
// dominate, small enough that the pump stays lively.
constexpr size_t kBlockSize = 64 * 1024;
// The user interface runs at least this often during the recovery scan.
constexpr uint64_t kScanPumpInterval = 10240;

std::span<std::byte> AsBytes(std::vector<std::byte>& v) { return {v.data(), v.size()}; }

std::string_view AsText(std::span<const std::byte> b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

bool SameStamp(const FileInfo& info, dev_t dev, ino_t ino, uint64_t size, const timespec& mtime) {
  return info.dev == dev && info.ino == ino && info.size == size &&
         info.mtime.tv_sec == mtime.tv_sec && info.mtime.tv_nsec == mtime.tv_nsec;
}

void CallPump(const TReadEvents& events) {
  if (events.Pump) events.Pump();
}

// How far from the start a file without an end record is searched for a
// local header before it is taken for no ZIP archive at all (self-extracting
// stubs put up to a few hundred KiB before the first entry).
constexpr uint64_t kNotZipScanSpan = 4 * 1024 * 1024;

// Whether a local header signature with a plausible version-needed value
// lies at `pos` of `b`.
bool LocalHeaderAt(std::span<const std::byte> b, size_t pos) {
  return pos + 6 <= b.size() && b[pos] == std::byte{0x50} &&
         Load32(b, pos) == kLocalHeaderSignature && static_cast<uint8_t>(b[pos + 5]) < 10;
}

// The offset of the first local header at or after `from` and before
// `until`, if any.
std::optional<uint64_t> FindLocalHeader(File& file, uint64_t from, uint64_t until,
                                        const TReadEvents& events) {
  std::vector<std::byte> buf(64 * 1024);
  uint64_t pos = from;
  while (pos + 6 <= until) {
    const size_t n = file.ReadAt(pos, std::span(buf.data(), buf.size()));
    if (n < 6) return std::nullopt;
    std::span<const std::byte> b(buf.data(), n);
    for (size_t i = 0; i + 6 <= n; ++i) {
      if (LocalHeaderAt(b, i)) return pos + i;
    }
    if (n < buf.size()) return std::nullopt;
    pos += n - 5;  // a signature may straddle the block boundary
    CallPump(events);
  }
  return std::nullopt;
}

bool HasLocalHeader(File& file, uint64_t size, uint64_t span) {
  return FindLocalHeader(file, 0, std::min(size, span), {}).has_value();
}

// Whether a central header signature stands at `pos`.
bool LooksLikeCentral(File& file, uint64_t pos, uint64_t size) {
  std::array<std::byte, 4> sig{};
  return pos + 4 <= size && file.ReadAt(pos, sig) == sig.size() &&
         Load32(sig, 0) == kCentralHeaderSignature;
}

// Gives `h` its name and time from the stored name and the extra field. An
// entry is a folder when its name ends in "/" or its attributes say so:
// some Windows tools mark folders by the DOS directory bit alone, and
// taken as files they would block every entry inside them.
void SetNameAndTime(TZipHeaderInfo* h, std::span<const std::byte> extra, bool oem_convert) {
  std::string name = DecodeStoredName(h->raw_name, h->flags, h->version_made_by, extra, oem_convert);
  if (!name.empty() && name.back() != '/' && h->AttributesSayFolder()) name += '/';
  std::string directory, file_name;
  SplitName(name, &directory, &file_name);
  h->SetDirectory(directory);
  h->SetFileName(file_name);
  h->unix_mtime = ReadTimestampExtra(extra);
}

}  // namespace

// --- Construction and properties ------------------------------------------------

TZipReader::TZipReader() : dir_(std::make_unique<TSortedZip>(TZipSortMode::ByNone, true, false)) {}

TZipReader::~TZipReader() = default;

void TZipReader::SetZipName(const std::string& name) {
  // Names compare byte for byte: on this file system "A.zip" and "a.zip"
  // are two archives.
  if (name != zip_name_) {
    ForgetDirectory();
    end_.Clear();
  }
  zip_name_ = name;
}

void TZipReader::SetOEMConvert(bool convert) {
  if (convert != oem_convert_) ForgetDirectory();
  oem_convert_ = convert;
}

void TZipReader::SetSortMode(TZipSortMode mode) {
  if (mode == sort_mode_) return;
  sort_mode_ = mode;
  RebuildView();
}

void TZipReader::ForgetDirectory() {
  loaded_ = false;
  view_.reset();
  dir_->Clear();
  recovery_gaps_ = 0;
  warning_.clear();
  overlapping_.clear();
  multi_mode_ = TMultiMode::mmNone;
  recovered_ = false;
  recovered_unasked_ = false;
}

void TZipReader::RebuildView() {
  view_.reset();
  if (sort_mode_ == TZipSortMode::ByNone) return;
  view_ = std::make_unique<TSortedZip>(sort_mode_, false, true);
  std::vector<TZipHeaderInfo*> all;
  all.reserve(dir_->Count());
  for (size_t i = 0; i < dir_->Count(); ++i) all.push_back(dir_->At(i));
  // One stable sort gives the order of repeated insertion after equals, in
  // O(n log n) instead of O(n^2) moves for a large archive.
  view_->BuildFrom(all);
}

// --- Entry accessors ------------------------------------------------------------

int TZipReader::EntryCount() const { return loaded_ ? static_cast<int>(dir_->Count()) : 0; }

TZipHeaderInfo* TZipReader::ViewAt(int i) const {
  if (i < 0 || i >= EntryCount()) throw Error("Index " + std::to_string(i) + " is out of range");
  return view_ ? view_->At(static_cast<size_t>(i)) : dir_->At(static_cast<size_t>(i));
}

const TZipHeaderInfo& TZipReader::Entry(int i) const { return *ViewAt(i); }
std::string TZipReader::EntryFileName(int i) const { return ViewAt(i)->FileName(); }
std::string TZipReader::EntryDirectory(int i) const { return ViewAt(i)->Directory(); }
uint64_t TZipReader::EntrySize(int i) const { return ViewAt(i)->uncompressed_size; }

DateTime TZipReader::EntryDateTime(int i) const {
  if (auto dt = DosToDateTime(ViewAt(i)->dos_date_time)) return *dt;
  return Now();
}

std::string TZipReader::ArchiveComment() {
  ReadDirectory();
  if (!end_.comment) {
    std::string text(end_.comment_length, '\0');
    if (end_.comment_length > 0) {
      File f = File::OpenRead(zip_name_);
      size_t n = f.ReadAt(end_.comment_offset,
                          std::as_writable_bytes(std::span<char>(text.data(), text.size())));
      text.resize(n);
    }
    end_.comment = std::move(text);
  }
  return *end_.comment;
}

// --- Reading the directory ------------------------------------------------------

void TZipReader::ReadDirectory(const TReadOptions& options, const TReadEvents& events) {
  (void)Refresh(options, events);
}

bool TZipReader::Refresh(const TReadOptions& options, const TReadEvents& events) {
  if (zip_name_.empty()) {
    ForgetDirectory();
    end_.Clear();
    return true;
  }
  if (loaded_) {
    FileInfo info = Stat(zip_name_);
    if (info.Exists() && SameStamp(info, stamp_.dev, stamp_.ino, stamp_.size, stamp_.mtime)) {
      return false;
    }
  }
  TIncompleteZipMode mode = options.IncompleteZipMode;
  for (;;) {
    try {
      LoadDirectory(mode, events);
      return true;
    } catch (const EIncompleteZip&) {
      // With a handler the user may insert the last disk of a set and try
      // again; the handler ends the loop by choosing another mode.
      if (!events.OnInCompleteZip) throw;
      CallPump(events);
    }
  }
}

void TZipReader::LoadDirectory(TIncompleteZipMode& mode, const TReadEvents& events) {
  ForgetDirectory();
  end_.Clear();
  File file = File::OpenRead(zip_name_);
  FileInfo info = FStat(file);
  uint64_t size = info.size;
  ArchiveStamp stamp{info.dev, info.ino, info.size, info.mtime};

  if (size == 0) {
    // An empty file is an archive without entries.
    stamp_ = stamp;
    loaded_ = true;
    return;
  }

  TEndCentral end;
  bool have_end = LocateEnd(file, size, &end);
  bool from_zfc = false;
  if (!have_end && ReadZfc(&end, events)) {
    have_end = true;
    from_zfc = true;
  }

  bool recovered = false;
  bool unasked = false;   // recovered without the incomplete-archive question
  uint64_t declared = 0;  // entries the end record declares
  if (!have_end) {
    // A file with neither an end record nor any local header near its start
    // is no ZIP archive, not a part of one: said at once, without asking
    // about disks or recovery.
    if (!HasLocalHeader(file, size, kNotZipScanSpan)) throw ENotAZipFile();
    if (events.OnInCompleteZip) events.OnInCompleteZip(mode);
    switch (mode) {
      case TIncompleteZipMode::izAssumeNotAZip:
        throw ENotAZipFile();
      case TIncompleteZipMode::izAssumeMulti:
        throw EIncompleteZip();
      case TIncompleteZipMode::izAssumeBad:
        RecoveryScan(file, size, events);
        recovered = true;
        break;
    }
  } else {
    if (end.this_disk != 0 || end.central_disk != 0) {
      multi_mode_ = TMultiMode::mmSpan;
      throw EZipError("The archive " + zip_name_ + " spans " + std::to_string(end.this_disk + 1) +
                      " disks; reading multi-disk archives is not supported");
    }
    // Bytes put before an archive (a self-extractor stub) without its
    // offsets adjusted: the directory lies right before the end record, not
    // where the record says. Read it there and move every offset alike.
    uint64_t shift = 0;
    if (!from_zfc && !end.zip64 && end.central_size <= end.record_offset) {
      const uint64_t actual = end.record_offset - end.central_size;
      if (actual > end.central_offset && LooksLikeCentral(file, actual, size) &&
          !LooksLikeCentral(file, end.central_offset, size)) {
        shift = actual - end.central_offset;
        end.central_offset = actual;
      }
    }
    // The configuration file's headers were read with it.
    bool ok = from_zfc || ReadCentralDirectory(file, size, end, events);
    if (ok && shift > 0) {
      for (size_t i = 0; i < dir_->Count(); ++i) dir_->At(i)->local_header_offset += shift;
      warning_ = "the archive's offsets do not count the " + std::to_string(shift) +
                 " bytes before its first entry; they were corrected";
    }
    if (!ok) {
      declared = end.total_entries;
      RecoveryScan(file, size, events);
      recovered = true;
      unasked = true;
    }
  }
  if (recovered) {
    // A recovered archive has no trustworthy end record; keep only what
    // describes the entries found.
    end.Clear();
    end.total_entries = end.entries_this_disk = dir_->Count();
  }
  end_ = end;
  stamp_ = stamp;
  loaded_ = true;
  recovered_ = recovered;
  recovered_unasked_ = unasked;
  declared_entries_ = declared;
  overlapping_ = MarkOverlaps();
  RebuildView();
}

bool TZipReader::LocateEnd(File& file, uint64_t file_size, TEndCentral* end) {
  if (file_size < kEndCentralSize) return false;
  uint64_t span = std::min<uint64_t>(file_size, kEndCentralSearchSpan);
  uint64_t base = file_size - span;
  std::vector<std::byte> buf(span);
  if (file.ReadAt(base, AsBytes(buf)) != span) return false;
  std::span<const std::byte> b(buf);
  for (size_t pos = span - kEndCentralSize + 1; pos-- > 0;) {
    if (b[pos] != std::byte{0x50} || Load32(b, pos) != kEndCentralSignature) continue;
    TEndCentral candidate;
    if (!ParseEndCentral(b.subspan(pos), &candidate)) continue;
    candidate.record_offset = base + pos;
    candidate.comment_offset = candidate.record_offset + kEndCentralSize;
    // A comment length that runs past the end of the file is cut to what is
    // there, so reading it never leaves the file.
    uint64_t avail = file_size - candidate.comment_offset;
    if (candidate.comment_length > avail) candidate.comment_length = static_cast<uint16_t>(avail);

    // ZIP64: the locator lies right before the end record.
    if (candidate.record_offset >= kZip64LocatorSize) {
      std::span<const std::byte> loc_bytes;
      std::array<std::byte, kZip64LocatorSize> loc_buf{};
      if (pos >= kZip64LocatorSize) {
        loc_bytes = b.subspan(pos - kZip64LocatorSize, kZip64LocatorSize);
      } else if (file.ReadAt(candidate.record_offset - kZip64LocatorSize, loc_buf) ==
                 kZip64LocatorSize) {
        loc_bytes = loc_buf;
      }
      Zip64Locator loc;
      if (!loc_bytes.empty() && ParseZip64Locator(loc_bytes, &loc)) {
        std::array<std::byte, kZip64EndCentralSize> rec{};
        TEndCentral z = candidate;
        if (loc.offset + kZip64EndCentralSize <= candidate.record_offset &&
            file.ReadAt(loc.offset, rec) == rec.size() && ParseZip64EndCentral(rec, &z)) {
          z.record_offset = candidate.record_offset;
          candidate = z;
        } else {
          // A locator pointing nowhere: the values of the plain record stand
          // only when none of them defers to ZIP64.
          if (EndCentralNeedsZip64(candidate)) continue;
        }
      }
    }
    // Checked on the final values: a ZIP64 record replaces disk fields of
    // 0xFFFF, which would fail the test on the plain record.
    if (candidate.this_disk > kMaxDiskNumber || candidate.central_disk > kMaxDiskNumber ||
        candidate.this_disk < candidate.central_disk) {
      continue;  // a signature inside a comment, not a record
    }
    *end = candidate;
    return true;
  }
  return false;
}

bool TZipReader::ReadZfc(TEndCentral* end, const TReadEvents& events) {
  std::filesystem::path zfc(zip_name_);
  zfc.replace_extension(".zfc");
  FileInfo info = Stat(zfc);
  if (!info.IsRegular()) return false;
  File f = File::OpenRead(zfc);
  uint64_t size = f.Size();
  TEndCentral e;
  if (!LocateEnd(f, size, &e)) return false;
  // The configuration file holds the central headers from its start, then
  // the end record; the entries' offsets refer to the archive itself.
  e.central_offset = 0;
  e.central_size = e.record_offset;
  if (!ReadCentralDirectory(f, size, e, events)) return false;
  // The comment lives in the configuration file, not the archive.
  std::string comment(e.comment_length, '\0');
  size_t n = f.ReadAt(e.comment_offset,
                      std::as_writable_bytes(std::span<char>(comment.data(), comment.size())));
  comment.resize(n);
  e.comment = std::move(comment);
  *end = e;
  return true;
}

bool TZipReader::ReadCentralDirectory(File& file, uint64_t file_size, const TEndCentral& end,
                                      const TReadEvents& events) {
  dir_->Clear();
  // Nothing is allocated before the directory is known to lie in the file.
  if (end.central_offset > file_size || end.central_size > file_size - end.central_offset ||
      end.central_offset + end.central_size > end.record_offset) {
    return false;
  }
  if (end.central_size == 0) return end.total_entries == 0 || !end.zip64;
  std::vector<std::byte> buf(end.central_size);
  if (file.ReadAt(end.central_offset, AsBytes(buf)) != buf.size()) return false;
  std::span<const std::byte> b(buf);

  size_t pos = 0;
  uint64_t count = 0;
  std::vector<std::unique_ptr<TZipHeaderInfo>> found;
  TZipHeaderInfo* previous = nullptr;
  size_t previous_extra_end = 0;
  while (pos < b.size()) {
    if (b.size() - pos < kCentralHeaderSize || Load32(b, pos) != kCentralHeaderSignature) {
      // Some writers declared a central extra field they never wrote. Take
      // it as absent and look once more where it would have started.
      if (previous && previous->central_extra_length > 0 &&
          pos == previous_extra_end + previous->central_extra_length + previous->comment_length) {
        size_t back = pos - previous->central_extra_length;
        if (b.size() - back >= kCentralHeaderSize && Load32(b, back) == kCentralHeaderSignature) {
          previous->central_extra_length = 0;
          pos = back;
          continue;
        }
      }
      break;
    }
    auto h = std::make_unique<TZipHeaderInfo>();
    if (!ParseCentralHeader(b.subspan(pos), h.get())) break;
    uint16_t name_len = CentralNameLength(b.subspan(pos));
    size_t total = kCentralHeaderSize + name_len + h->central_extra_length + h->comment_length;
    if (total > b.size() - pos) {
      // The last header's extra field may be the declared-but-missing kind.
      if (kCentralHeaderSize + name_len + h->comment_length <= b.size() - pos &&
          pos + kCentralHeaderSize + name_len == b.size()) {
        h->central_extra_length = 0;
        h->comment_length = 0;
        total = kCentralHeaderSize + name_len;
      } else {
        return false;
      }
    }
    std::span<const std::byte> rec = b.subspan(pos);
    h->raw_name = std::string(AsText(rec.subspan(kCentralHeaderSize, name_len)));
    std::span<const std::byte> extra =
        rec.subspan(kCentralHeaderSize + name_len, h->central_extra_length);
    if (!ApplyZip64Extra(extra, Load32(rec, kCenSize), Load32(rec, kCenCompressedSize),
                         Load32(rec, kCenLocalOffset), Load16(rec, kCenDiskStart), h.get())) {
      return false;
    }
    h->oem_convert = oem_convert_;
    SetNameAndTime(h.get(), extra, oem_convert_);
    h->dos_date_time = ValidateDos(h->dos_date_time);
    h->central_header_offset = end.central_offset + pos;
    previous = h.get();
    previous_extra_end = pos + kCentralHeaderSize + name_len;
    found.push_back(std::move(h));
    pos += total;
    ++count;
    if ((count & 0x3FF) == 0) CallPump(events);
  }
  bool complete = count == end.total_entries ||
                  // The 16-bit count of an old writer wraps past 65535
                  // entries; the headers that fill the directory's size are
                  // the truth then.
                  (!end.zip64 && pos == b.size() && (count & 0xFFFF) == end.total_entries);
  if (!complete) return false;
  // Two entries at one disk and offset make the directory bad.
  return dir_->AddAll(std::move(found)) == 0;
}

void TZipReader::RecoveryScan(File& file, uint64_t file_size, const TReadEvents& events) {
  dir_->Clear();
  recovery_gaps_ = 0;
  uint64_t pos = 0;
  std::string lower = LowerCase(zip_name_);
  if (lower.size() >= 4 && lower.compare(lower.size() - 4, 4, ".exe") == 0) {
    pos = kSfxScanStart;
  }
  // Find the first local header whose version-needed looks real.
  std::vector<std::byte> buf(kBlockSize);
  bool found = false;
  uint64_t since_pump = 0;
  while (!found && pos + kLocalHeaderSize <= file_size) {
    size_t n = file.ReadAt(pos, AsBytes(buf));
    if (n < 6) break;
    std::span<const std::byte> b(buf.data(), n);
    size_t i = 0;
    for (; i + 6 <= n; ++i) {
      if (b[i] == std::byte{0x50} && Load32(b, i) == kLocalHeaderSignature &&
          static_cast<uint8_t>(b[i + 5]) < 10) {
        found = true;
        break;
      }
      if (++since_pump >= kScanPumpInterval) {
        since_pump = 0;
        CallPump(events);
      }
    }
    pos += i;
    if (!found) {
      if (n < buf.size()) break;
      pos -= 5;  // a signature may straddle the block boundary
    }
  }
  // Read consecutive local headers from there. Where something else stands
  // (an entry whose sizes lie, or a piece cut out), the scan looks for the
  // next local header after the last good one's name, so the intact
  // entries behind the damage are found too.
  std::array<std::byte, kLocalHeaderSize> rec{};
  uint64_t after_last = pos;  // where the next entry could start at the earliest
  while (found && pos + kLocalHeaderSize <= file_size) {
    LocalHeader lh;
    bool ok = file.ReadAt(pos, rec) == rec.size() && ParseLocalHeader(rec, &lh) &&
              static_cast<uint8_t>(rec[5]) < 10;
    uint64_t var = ok ? uint64_t{lh.name_length} + lh.extra_length : 0;
    if (ok && pos + kLocalHeaderSize + var > file_size) ok = false;
    std::vector<std::byte> names(var);
    if (ok && file.ReadAt(pos + kLocalHeaderSize, AsBytes(names)) != var) ok = false;
    if (!ok) {
      // Not a header: resume the search after the last entry's name.
      if (!LooksLikeCentral(file, pos, file_size)) {
        std::optional<uint64_t> next = FindLocalHeader(file, after_last, file_size, events);
        if (next && *next != pos) {
          ++recovery_gaps_;
          pos = *next;
          continue;
        }
      }
      break;
    }
    auto h = std::make_unique<TZipHeaderInfo>();
    h->version_made_by = kVersionDefault;
    h->version_needed = lh.version_needed;
    h->flags = lh.flags;
    h->method = lh.method;
    h->dos_date_time = ValidateDos(lh.dos_date_time);
    h->crc32 = lh.crc32;
    h->compressed_size = lh.compressed_size;
    h->uncompressed_size = lh.uncompressed_size;
    h->local_extra_length = lh.extra_length;
    h->local_header_offset = pos;
    h->raw_name = std::string(AsText(std::span<const std::byte>(names).first(lh.name_length)));
    std::span<const std::byte> extra = std::span<const std::byte>(names).subspan(lh.name_length);
    if (!ApplyZip64Extra(extra, lh.uncompressed_size, lh.compressed_size, 0, 0, h.get())) break;
    h->oem_convert = oem_convert_;
    SetNameAndTime(h.get(), extra, oem_convert_);
    uint64_t next =
        pos + kLocalHeaderSize + var + h->compressed_size + (h->HasDataDescriptor() ? 16 : 0);
    after_last = pos + kLocalHeaderSize + var;
    if (dir_->Add(std::move(h)) < 0) break;
    if (next <= pos) break;
    pos = next;
    CallPump(events);
  }
  if (!found) pos = file_size;
  // The central directory, if any, starts where the last entry ended.
  if (pos > file_size) pos = file_size;
  // Central headers right after the entries refine what the local headers
  // said (sizes behind a data descriptor, attributes, host).
  std::unordered_map<uint64_t, TZipHeaderInfo*> by_offset;
  for (size_t i = 0; i < dir_->Count(); ++i)
    by_offset[dir_->At(i)->local_header_offset] = dir_->At(i);
  std::array<std::byte, kCentralHeaderSize> cen{};
  while (!by_offset.empty() && pos + kCentralHeaderSize <= file_size) {
    TZipHeaderInfo c;
    if (file.ReadAt(pos, cen) != cen.size() || !ParseCentralHeader(cen, &c)) break;
    uint16_t name_len = CentralNameLength(cen);
    uint64_t total =
        kCentralHeaderSize + uint64_t{name_len} + c.central_extra_length + c.comment_length;
    if (pos + total > file_size) break;
    std::vector<std::byte> var(total - kCentralHeaderSize);
    if (file.ReadAt(pos + kCentralHeaderSize, AsBytes(var)) != var.size()) break;
    std::span<const std::byte> extra =
        std::span<const std::byte>(var).subspan(name_len, c.central_extra_length);
    if (ApplyZip64Extra(extra, Load32(cen, kCenSize), Load32(cen, kCenCompressedSize),
                        Load32(cen, kCenLocalOffset), Load16(cen, kCenDiskStart), &c)) {
      auto it = by_offset.find(c.local_header_offset);
      if (it != by_offset.end()) {
        TZipHeaderInfo* h = it->second;
        h->version_made_by = c.version_made_by;
        h->version_needed = c.version_needed;
        h->flags = c.flags;
        h->method = c.method;
        h->dos_date_time = ValidateDos(c.dos_date_time);
        h->crc32 = c.crc32;
        h->compressed_size = c.compressed_size;
        h->uncompressed_size = c.uncompressed_size;
        h->central_extra_length = c.central_extra_length;
        h->comment_length = c.comment_length;
        h->internal_attributes = c.internal_attributes;
        h->external_attributes = c.external_attributes;
        h->central_header_offset = pos;
        h->raw_name = std::string(AsText(std::span<const std::byte>(var).first(name_len)));
        SetNameAndTime(h, extra, oem_convert_);
      }
    }
    pos += total;
  }
  if (dir_->Count() == 0) throw EBadZipFile();
}

std::vector<bool> TZipReader::MarkOverlaps() const {
  // Entries are in physical order. Each one's data must end before the next
  // local header starts; an entry whose smallest possible extent reaches
  // into the next one shares bytes with it (the overlapping "zip bomb"
  // pattern, which makes a small file expand without bound).
  std::vector<bool> marks(dir_->Count(), false);
  for (size_t i = 0; i + 1 < dir_->Count(); ++i) {
    const TZipHeaderInfo& a = (*dir_)[i];
    const TZipHeaderInfo& b = (*dir_)[i + 1];
    if (a.disk_number_start != b.disk_number_start) continue;
    unsigned __int128 a_end = static_cast<unsigned __int128>(a.local_header_offset) +
                              kLocalHeaderSize + a.raw_name.size() + a.compressed_size;
    if (a_end > b.local_header_offset) {
      marks[i] = true;
      marks[i + 1] = true;
    }
  }
  return marks;
}

}  // namespace zb::zip
