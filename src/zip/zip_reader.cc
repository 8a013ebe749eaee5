#include "zip/zip_reader.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <unordered_map>

#include "base/errors.h"
#include "base/text.h"
#include "zip/crc32.h"
#include "zip/inflate.h"
#include "zip/legacy_decoders.h"
#include "zip/wildcard.h"
#include "zip/zip_crypto.h"
#include "zip/zip_names.h"

namespace zb::zip {
namespace {

// Read size for entry data and the recovery scan. Large enough that system
// calls do not dominate, small enough that progress and the pump stay lively.
constexpr size_t kBlockSize = 64 * 1024;
// The user interface runs at least this often during the recovery scan.
constexpr uint64_t kScanPumpInterval = 10240;

// A descriptor closed on scope exit (folders walked during extraction).
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  [[nodiscard]] int Get() const { return fd_; }
  [[nodiscard]] bool Valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

std::span<std::byte> AsBytes(std::vector<std::byte>& v) { return {v.data(), v.size()}; }

std::string_view AsText(std::span<const std::byte> b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

int Percent(uint64_t done, uint64_t total) {
  if (total == 0) return 100;
  unsigned __int128 p = (static_cast<unsigned __int128>(done) * 200 + total) / (total * 2ull);
  return p > 100 ? 100 : static_cast<int>(p);
}

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

bool SameStamp(const FileInfo& info, dev_t dev, ino_t ino, uint64_t size, const timespec& mtime) {
  return info.dev == dev && info.ino == ino && info.size == size &&
         info.mtime.tv_sec == mtime.tv_sec && info.mtime.tv_nsec == mtime.tv_nsec;
}

// Outcome of decoding one entry's data.
enum class Decode {
  kOk,
  kBadPassword,
  kTooLarge,
  kCorrupt,
  kUnknownMethod,
  kUnsupported,
  kBadLocalHeader,
  kPrematureEnd,  // the archive file ends inside the entry's data
  kSinkFailed,    // the output failed; the exception is kept
};

// Methods Extraction::Run can decode.
bool MethodSupported(uint16_t method) {
  return method == kMethodStored || method == kMethodDeflated ||
         (method >= kMethodShrunk && method <= kMethodImploded);
}

// The AES encryption marker method (WinZip AE-x, APPNOTE 4.4.5 method 99).
constexpr uint16_t kMethodAes = 99;

// Where an entry's data lie in the archive file.
struct DataSpan {
  uint64_t start = 0;  // first byte after the local header (encryption header included)
  uint64_t size = 0;   // compressed size from the central header
};

// Splits a stored folder into safe components: a leading root or drive is
// dropped, "." and empty parts vanish, ".." climbs. False when the name
// would climb above the destination or holds a NUL byte.
bool SafeComponents(std::string_view folder, std::vector<std::string>* parts) {
  if (folder.find('\0') != std::string_view::npos) return false;
  if (folder.size() >= 2 && folder[1] == ':' &&
      ((folder[0] >= 'a' && folder[0] <= 'z') || (folder[0] >= 'A' && folder[0] <= 'Z'))) {
    folder.remove_prefix(2);
  }
  parts->clear();
  for (std::string_view rest = folder; !rest.empty();) {
    size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (parts->empty()) return false;
      parts->pop_back();
      continue;
    }
    parts->emplace_back(part);
  }
  return true;
}

bool SafeFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('\0') == std::string_view::npos && name.find('/') == std::string_view::npos;
}

// Creates a uniquely named file in the folder `dirfd`, never following or
// reusing an existing name.
UniqueFd CreateTempAt(int dirfd, std::string* name) {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char r[10];
    if (::getrandom(r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) {
      for (size_t i = 0; i < sizeof r; ++i) r[i] = static_cast<unsigned char>(attempt * 13 + i);
    }
    std::string candidate = ".zbx-";
    for (unsigned char c : r) candidate += kDigits[c % 36];
    candidate += ".part";
    int fd = ::openat(dirfd, candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                      0666);
    if (fd >= 0) {
      *name = candidate;
      return UniqueFd(fd);
    }
    if (errno != EEXIST && errno != EINTR) return UniqueFd();
  }
  errno = EEXIST;
  return UniqueFd();
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

void TZipReader::SetDestDir(const std::string& dir) {
  std::string d = dir;
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  dest_dir_ = d;
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
  overlapping_.clear();
  identity_selection_.clear();
  multi_mode_ = TMultiMode::mmNone;
  recovered_ = false;
  recovered_unasked_ = false;
}

void TZipReader::MarkDirectoryCurrent() {
  FileInfo info = Stat(zip_name_);
  stamp_ = {info.dev, info.ino, info.size, info.mtime};
  loaded_ = info.Exists();
  overlapping_ = MarkOverlaps();
  RebuildView();
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

void TZipReader::SelectIndexes(std::span<const int> indexes) {
  for (int i : indexes) identity_selection_.insert(ViewAt(i));
}

// --- Reading the directory ------------------------------------------------------

void TZipReader::ReadDirectory() {
  if (zip_name_.empty()) {
    ForgetDirectory();
    end_.Clear();
    return;
  }
  if (loaded_) {
    FileInfo info = Stat(zip_name_);
    if (info.Exists() && SameStamp(info, stamp_.dev, stamp_.ino, stamp_.size, stamp_.mtime)) {
      return;
    }
  }
  for (;;) {
    try {
      LoadDirectory();
      return;
    } catch (const EIncompleteZip&) {
      // With a handler the user may insert the last disk of a set and try
      // again; the handler ends the loop by choosing another mode.
      if (!OnInCompleteZip) throw;
      CallPump();
    }
  }
}

void TZipReader::LoadDirectory() {
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
  if (!have_end && ReadZfc(&end)) {
    have_end = true;
    from_zfc = true;
  }

  bool recovered = false;
  bool unasked = false;   // recovered without the incomplete-archive question
  uint64_t declared = 0;  // entries the end record declares
  if (!have_end) {
    if (OnInCompleteZip) OnInCompleteZip(IncompleteZipMode);
    switch (IncompleteZipMode) {
      case TIncompleteZipMode::izAssumeNotAZip:
        throw ENotAZipFile();
      case TIncompleteZipMode::izAssumeMulti:
        throw EIncompleteZip();
      case TIncompleteZipMode::izAssumeBad:
        RecoveryScan(file, size);
        recovered = true;
        break;
    }
  } else {
    if (end.this_disk != 0 || end.central_disk != 0) {
      multi_mode_ = TMultiMode::mmSpan;
      throw EZipError("The archive " + zip_name_ + " spans " + std::to_string(end.this_disk + 1) +
                      " disks; reading multi-disk archives is not supported");
    }
    // The configuration file's headers were read with it.
    bool ok = from_zfc || ReadCentralDirectory(file, size, end);
    if (!ok) {
      declared = end.total_entries;
      RecoveryScan(file, size);
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

bool TZipReader::ReadZfc(TEndCentral* end) {
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
  if (!ReadCentralDirectory(f, size, e)) return false;
  // The comment lives in the configuration file, not the archive.
  std::string comment(e.comment_length, '\0');
  size_t n = f.ReadAt(e.comment_offset,
                      std::as_writable_bytes(std::span<char>(comment.data(), comment.size())));
  comment.resize(n);
  e.comment = std::move(comment);
  *end = e;
  return true;
}

bool TZipReader::ReadCentralDirectory(File& file, uint64_t file_size, const TEndCentral& end) {
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
    h->oem_convert = OEMConvert;
    std::string name =
        DecodeStoredName(h->raw_name, h->flags, h->version_made_by, extra, OEMConvert);
    std::string directory, file_name;
    SplitName(name, &directory, &file_name);
    h->SetDirectory(directory);
    h->SetFileName(file_name);
    h->dos_date_time = ValidateDos(h->dos_date_time);
    h->central_header_offset = end.central_offset + pos;
    previous = h.get();
    previous_extra_end = pos + kCentralHeaderSize + name_len;
    found.push_back(std::move(h));
    pos += total;
    ++count;
    if ((count & 0x3FF) == 0) CallPump();
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

void TZipReader::RecoveryScan(File& file, uint64_t file_size) {
  dir_->Clear();
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
        CallPump();
      }
    }
    pos += i;
    if (!found) {
      if (n < buf.size()) break;
      pos -= 5;  // a signature may straddle the block boundary
    }
  }
  // Read consecutive local headers from there.
  std::array<std::byte, kLocalHeaderSize> rec{};
  while (found && pos + kLocalHeaderSize <= file_size) {
    LocalHeader lh;
    if (file.ReadAt(pos, rec) != rec.size() || !ParseLocalHeader(rec, &lh)) break;
    uint64_t var = uint64_t{lh.name_length} + lh.extra_length;
    if (pos + kLocalHeaderSize + var > file_size) break;
    std::vector<std::byte> names(var);
    if (file.ReadAt(pos + kLocalHeaderSize, AsBytes(names)) != var) break;
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
    h->oem_convert = OEMConvert;
    std::string directory, file_name;
    SplitName(DecodeStoredName(h->raw_name, h->flags, 0, extra, OEMConvert), &directory,
              &file_name);
    h->SetDirectory(directory);
    h->SetFileName(file_name);
    uint64_t next =
        pos + kLocalHeaderSize + var + h->compressed_size + (h->HasDataDescriptor() ? 16 : 0);
    if (dir_->Add(std::move(h)) < 0) break;
    if (next <= pos) break;
    pos = next;
    CallPump();
  }
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
        std::string directory, file_name;
        SplitName(DecodeStoredName(h->raw_name, h->flags, h->version_made_by, extra, OEMConvert),
                  &directory, &file_name);
        h->SetDirectory(directory);
        h->SetFileName(file_name);
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

// --- Decoding --------------------------------------------------------------------

// One pass over the selected entries, shared by UnZip and Test.
class TZipReader::Extraction {
 public:
  using Sink = std::function<void(std::span<const std::byte>)>;

  Extraction(TZipReader& r, File& archive, uint64_t archive_size)
      : r_(r), archive_(archive), archive_size_(archive_size), buf_(kBlockSize) {}

  void Report(int index, const TZipHeaderInfo& h, const std::filesystem::path& path,
              EntryProblemKind kind, std::string reason) {
    ++problems_;
    if (r_.OnEntryProblem) r_.OnEntryProblem({index, h.FullName(), path, kind, std::move(reason)});
  }
  [[nodiscard]] int Problems() const { return problems_; }

  // Locates the entry's data behind its local header.
  Decode Locate(const TZipHeaderInfo& h, DataSpan* span) {
    if (h.disk_number_start != 0) return Decode::kUnsupported;
    std::array<std::byte, kLocalHeaderSize> rec{};
    if (h.local_header_offset > archive_size_ ||
        archive_.ReadAt(h.local_header_offset, rec) != rec.size()) {
      return Decode::kBadLocalHeader;
    }
    LocalHeader lh;
    if (!ParseLocalHeader(rec, &lh)) return Decode::kBadLocalHeader;
    span->start = h.local_header_offset + kLocalHeaderSize + lh.name_length + lh.extra_length;
    span->size = h.compressed_size;
    if (span->start > archive_size_ || span->size > archive_size_ - span->start) {
      return Decode::kPrematureEnd;
    }
    return Decode::kOk;
  }

  // Checks the password against the entry's encryption header, asking
  // OnBadPassword for another as long as it gives a new one.
  Decode CheckPassword(int index, const TZipHeaderInfo& h, const DataSpan& span) {
    if (h.flags & kFlagStrongEncryption) return Decode::kUnsupported;
    // An entry we cannot decode is reported as such before its password is
    // judged: AES entries carry their own header, so the traditional check
    // would call a right password wrong and ask the user for another.
    if (h.method == kMethodAes) return Decode::kUnsupported;
    if (!MethodSupported(h.method)) return Decode::kUnknownMethod;
    if (span.size < kEncryptionHeaderSize) return Decode::kCorrupt;
    std::array<std::byte, kEncryptionHeaderSize> header{};
    if (archive_.ReadAt(span.start, header) != header.size()) return Decode::kPrematureEnd;
    for (;;) {
      ZipCrypto keys(r_.Password);
      if (CheckEncryptionHeader(keys, header, h.CheckByte())) return Decode::kOk;
      if (!AskNewPassword(index)) return Decode::kBadPassword;
    }
  }

  // True when the handler changed the password (the caller retries).
  bool AskNewPassword(int index) {
    if (!r_.OnBadPassword) return false;
    std::string pw = r_.Password;
    r_.OnBadPassword(index, pw);
    if (pw == r_.Password) return false;
    r_.Password = pw;
    return true;
  }

  // Decodes the entry's data into `sink`, computing CRC and size. The sink
  // may throw; that is reported as kSinkFailed with the exception kept.
  Decode Run(const TZipHeaderInfo& h, const DataSpan& span, const Sink& sink, uint32_t* crc,
             uint64_t* written) {
    *crc = 0;
    *written = 0;
    sink_error_ = nullptr;
    too_large_ = false;
    uint64_t in_pos = span.start;
    uint64_t in_left = span.size;
    std::optional<ZipCrypto> keys;
    if (h.IsEncrypted()) {
      keys.emplace(r_.Password);
      std::array<std::byte, kEncryptionHeaderSize> header{};
      if (archive_.ReadAt(in_pos, header) != header.size()) return Decode::kPrematureEnd;
      keys->Decrypt(header);
      in_pos += kEncryptionHeaderSize;
      in_left -= kEncryptionHeaderSize;
    }
    const uint64_t limit = h.uncompressed_size;
    auto out = [&](std::span<const std::byte> data) -> bool {
      if (data.size() > limit - *written) {
        too_large_ = true;
        return false;
      }
      try {
        sink(data);
      } catch (...) {
        sink_error_ = std::current_exception();
        return false;
      }
      *crc = Crc32(*crc, data);
      *written += data.size();
      return true;
    };
    // Pulls the next piece of compressed data, decrypted; 0 at its end.
    bool read_failed = false;
    auto pull = [&](std::span<std::byte> dst) -> size_t {
      size_t want = static_cast<size_t>(std::min<uint64_t>(dst.size(), in_left));
      if (want == 0) return 0;
      size_t n = archive_.ReadAt(in_pos, dst.first(want));
      if (n < want) read_failed = true;
      if (keys) keys->Decrypt(dst.first(n));
      in_pos += n;
      in_left -= n;
      r_.CallPump();
      return n;
    };

    switch (h.method) {
      case kMethodStored: {
        for (;;) {
          size_t n = pull(buf_);
          if (n == 0) break;
          if (!out(std::span<const std::byte>(buf_.data(), n))) return StopReason();
        }
        if (read_failed) return Decode::kPrematureEnd;
        return Decode::kOk;
      }
      case kMethodDeflated: {
        Inflater inflater([&](std::span<const std::byte> d) { return out(d); });
        inflater.SetOutputLimit(limit);
        for (;;) {
          size_t n = pull(buf_);
          // The file shrank under us: nothing more will come.
          if (n == 0 && in_left > 0) return Decode::kPrematureEnd;
          bool last = in_left == 0;
          size_t used = 0;
          InflateResult res =
              inflater.Inflate(std::span<const std::byte>(buf_.data(), n), last, &used);
          if (res == InflateResult::kDone) return Decode::kOk;
          if (res == InflateResult::kNeedInput && !last) continue;
          if (res == InflateResult::kSinkStopped) return StopReason();
          if (res == InflateResult::kOutputLimit) return Decode::kTooLarge;
          if (read_failed) return Decode::kPrematureEnd;
          detail_ = InflateResultText(res);
          return Decode::kCorrupt;
        }
      }
      case kMethodShrunk:
      case kMethodShrunk + 1:
      case kMethodShrunk + 2:
      case kMethodShrunk + 3:
      case kMethodShrunk + 4:
      case kMethodImploded: {
        LegacySource src = [&](std::span<std::byte> dst) { return pull(dst); };
        LegacySink dst = [&](std::span<const std::byte> d) { return out(d); };
        LegacyResult res;
        if (h.method == kMethodShrunk) {
          res = Unshrink(src, dst, limit);
        } else if (h.method == kMethodImploded) {
          res = Explode(h.flags, src, dst, limit);
        } else {
          res = Unreduce(h.method - 1, src, dst, limit);
        }
        if (res == LegacyResult::kOk) return Decode::kOk;
        if (res == LegacyResult::kSinkStopped) return StopReason();
        if (read_failed) return Decode::kPrematureEnd;
        detail_ = LegacyResultText(res);
        return Decode::kCorrupt;
      }
      default:
        return Decode::kUnknownMethod;
    }
  }

  [[nodiscard]] std::exception_ptr SinkError() const { return sink_error_; }
  [[nodiscard]] const std::string& Detail() const { return detail_; }

  static std::string Describe(Decode d, const std::string& detail) {
    switch (d) {
      case Decode::kOk:
        return "ok";
      case Decode::kBadPassword:
        return "wrong password";
      case Decode::kTooLarge:
        return EBiggerThanUncompressed().what();
      case Decode::kCorrupt:
        return "the compressed data are damaged" + (detail.empty() ? "" : " (" + detail + ")");
      case Decode::kUnknownMethod:
        return "Unknown Compression Method";
      case Decode::kUnsupported:
        return "the entry uses a feature this program cannot read (strong encryption or "
               "another disk)";
      case Decode::kBadLocalHeader:
        return "no local header where the directory says";
      case Decode::kPrematureEnd:
        return EFatalUnzipError().what();
      case Decode::kSinkFailed:
        return "the output failed";
    }
    return "unknown";
  }

  static EntryProblemKind KindOf(Decode d) {
    switch (d) {
      case Decode::kBadPassword:
        return EntryProblemKind::kBadPassword;
      case Decode::kTooLarge:
        return EntryProblemKind::kTooLarge;
      case Decode::kUnknownMethod:
        return EntryProblemKind::kUnknownMethod;
      case Decode::kUnsupported:
        return EntryProblemKind::kUnsupported;
      case Decode::kBadLocalHeader:
        return EntryProblemKind::kBadLocalHeader;
      case Decode::kSinkFailed:
        return EntryProblemKind::kCannotCreate;
      default:
        return EntryProblemKind::kCorrupt;
    }
  }

 private:
  Decode StopReason() const { return too_large_ ? Decode::kTooLarge : Decode::kSinkFailed; }

  TZipReader& r_;
  File& archive_;
  uint64_t archive_size_;
  std::vector<std::byte> buf_;
  std::exception_ptr sink_error_;
  bool too_large_ = false;
  std::string detail_;
  int problems_ = 0;
};

// --- Selection -------------------------------------------------------------------

namespace {

// The selection of one run: exact names and identities by hash, plain
// names (no wildcard) by their ASCII-folded form, and only true patterns
// through the matcher, so selecting every row of a large archive stays
// linear.
class Selection {
 public:
  Selection(const std::vector<std::string>& patterns, const std::vector<std::string>& exact,
            const std::unordered_set<const TZipHeaderInfo*>& identities)
      : identities_(identities) {
    for (std::string p : patterns) {
      std::replace(p.begin(), p.end(), '\\', '/');
      if (HasWildcard(p)) {
        patterns_.push_back(std::move(p));
      } else {
        folded_.insert(LowerCase(p));
      }
    }
    exact_.insert(exact.begin(), exact.end());
  }

  [[nodiscard]] bool Empty() const {
    return patterns_.empty() && folded_.empty() && exact_.empty() && identities_.empty();
  }

  [[nodiscard]] bool Selects(const TZipHeaderInfo& h) const {
    if (identities_.count(&h)) return true;
    std::string name = h.FullName();
    if (exact_.count(name)) return true;
    if (!folded_.empty() && folded_.count(LowerCase(name))) return true;
    for (const std::string& p : patterns_) {
      if (WildcardMatch(p, name)) return true;
    }
    return false;
  }

 private:
  const std::unordered_set<const TZipHeaderInfo*>& identities_;
  std::vector<std::string> patterns_;
  std::unordered_set<std::string> folded_;
  std::unordered_set<std::string> exact_;
};

}  // namespace

// --- Extraction ------------------------------------------------------------------

namespace {

// Output folders are walked from the destination with openat and O_NOFOLLOW,
// so no symbolic link planted in the destination (or in the archive's own
// earlier entries) can lead a write elsewhere.
struct OpenFolder {
  UniqueFd fd;
  std::filesystem::path path;  // for messages and events
};

bool WalkFolders(int base_fd, const std::filesystem::path& base_path,
                 const std::vector<std::string>& parts, bool create, bool follow_links,
                 OpenFolder* out, std::string* why) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow_links ? 0 : O_NOFOLLOW);
  UniqueFd cur(::fcntl(base_fd, F_DUPFD_CLOEXEC, 0));
  std::filesystem::path path = base_path;
  if (!cur.Valid()) {
    *why = std::strerror(errno);
    return false;
  }
  for (const std::string& part : parts) {
    path /= part;
    int fd = ::openat(cur.Get(), part.c_str(), flags);
    if (fd < 0 && errno == ENOENT && create) {
      if (::mkdirat(cur.Get(), part.c_str(), 0777) != 0 && errno != EEXIST) {
        *why = "Unable to create directory " + path.string() + ": " + std::strerror(errno);
        return false;
      }
      fd = ::openat(cur.Get(), part.c_str(), flags);
    }
    if (fd < 0) {
      int err = errno;
      if (err == ELOOP || err == ENOTDIR) {
        struct stat st;
        if (::fstatat(cur.Get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode)) {
          *why = "the path passes through the symbolic link " + path.string();
          errno = ELOOP;
          return false;
        }
      }
      *why = "Unable to open directory " + path.string() + ": " + std::strerror(err);
      errno = err;
      return false;
    }
    cur = UniqueFd(fd);
  }
  out->fd = std::move(cur);
  out->path = path;
  return true;
}

}  // namespace

// Entries found by the recovery scan are all that could be found, not all
// the archive held: unless the user chose the scan when asked, the run must
// not end as if the archive were sound.
void TZipReader::ReportRecovered(Extraction& x) {
  if (!recovered_unasked_) return;
  x.Report(-1, TZipHeaderInfo(), {}, EntryProblemKind::kCorrupt,
           "the archive's central directory is damaged; scanning found " +
               std::to_string(dir_->Count()) + " of the " + std::to_string(declared_entries_) +
               " entries its end record declares");
}

int TZipReader::UnZip() {
  int count = 0;
  struct ClearLists {
    TZipReader& r;
    ~ClearLists() {
      r.FilesList.clear();
      r.ExactNames.clear();
      r.identity_selection_.clear();
    }
  } clear_lists{*this};

  ReadDirectory();
  if (zip_name_.empty()) {
    if (OnUnZipComplete) OnUnZipComplete(0);
    return 0;
  }
  std::string dest = dest_dir_.empty() ? HomeFolder() : dest_dir_;
  MakeDirs(dest);

  try {
    File archive = File::OpenRead(zip_name_);
    uint64_t archive_size = archive.Size();
    Extraction x(*this, archive, archive_size);
    UniqueFd dest_fd(::open(dest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dest_fd.Valid()) throw EOSError("Unable to open directory", dest, errno);

    // Visiting order and selection.
    ReportRecovered(x);
    Selection sel(FilesList, ExactNames, identity_selection_);
    std::vector<int> chosen;
    uint64_t total = 0;
    for (int i = 0; i < EntryCount(); ++i) {
      TZipHeaderInfo* h = ViewAt(i);
      h->selected_for_extraction = false;
      if (h->IsDirectoryEntry() && !RecreateDirs) continue;
      if (!DoAll && !sel.Selects(*h)) continue;
      h->selected_for_extraction = true;
      chosen.push_back(i);
      total += h->uncompressed_size;
    }
    std::unordered_map<const TZipHeaderInfo*, bool> overlap;
    for (size_t i = 0; i < dir_->Count(); ++i) {
      if (overlapping_[i]) overlap[dir_->At(i)] = true;
    }

    uint64_t total_done = 0;
    OpenFolder last_folder;
    std::vector<std::string> last_parts;
    for (int index : chosen) {
      TZipHeaderInfo& h = *ViewAt(index);
      std::filesystem::path shown;
      // Output folder below the destination.
      std::vector<std::string> parts;
      bool safe = SafeComponents(RecreateDirs ? h.Directory() : std::string(), &parts);
      if (!h.IsDirectoryEntry()) safe = safe && SafeFileName(h.FileName());
      std::filesystem::path folder_path(dest);
      for (const auto& p : parts) folder_path /= p;
      shown = h.IsDirectoryEntry() ? folder_path : folder_path / h.FileName();
      if (!safe) {
        x.Report(index, h, shown, EntryProblemKind::kUnsafePath,
                 "the name would place the file outside " + dest);
        continue;
      }
      if (h.IsDirectoryEntry()) {
        OpenFolder f;
        std::string why;
        if (WalkFolders(dest_fd.Get(), dest, parts, true, FollowDestLinks, &f, &why)) {
          ++count;
        } else {
          x.Report(index, h, shown,
                   errno == ELOOP ? EntryProblemKind::kUnsafePath : EntryProblemKind::kCannotCreate,
                   why);
        }
        continue;
      }
      std::string fname = shown.string();
      std::string before = fname;
      bool skip = false;
      if (OnStartUnZip) OnStartUnZip(index, fname, skip);
      if (skip) continue;

      OpenFolder folder;
      std::string leaf;
      std::string why;
      if (fname == before) {
        // Entries come folder by folder: the last folder walked is kept
        // open, so a run of files in one folder walks it once instead of
        // opening every component again for each file.
        if (last_folder.fd.Valid() && parts == last_parts) {
          folder.fd = UniqueFd(::fcntl(last_folder.fd.Get(), F_DUPFD_CLOEXEC, 0));
          folder.path = last_folder.path;
        }
        if (!folder.fd.Valid()) {
          if (!WalkFolders(dest_fd.Get(), dest, parts, true, FollowDestLinks, &folder, &why)) {
            x.Report(
                index, h, fname,
                errno == ELOOP ? EntryProblemKind::kUnsafePath : EntryProblemKind::kCannotCreate,
                why);
            continue;
          }
          last_folder.fd = UniqueFd(::fcntl(folder.fd.Get(), F_DUPFD_CLOEXEC, 0));
          last_folder.path = folder.path;
          last_parts = parts;
        }
        leaf = h.FileName();
      } else {
        // The handler chose the path itself; its folder is taken as given.
        std::filesystem::path p(fname);
        leaf = p.filename().string();
        std::filesystem::path parent = p.parent_path();
        if (parent.empty()) parent = ".";
        try {
          MakeDirs(parent);
        } catch (const EOSError& e) {
          x.Report(index, h, fname, EntryProblemKind::kCannotCreate, e.what());
          continue;
        }
        folder.fd = UniqueFd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        folder.path = parent;
        if (!folder.fd.Valid() || !SafeFileName(leaf)) {
          x.Report(index, h, fname, EntryProblemKind::kCannotCreate,
                   "Unable to open directory " + parent.string());
          continue;
        }
      }

      if (overlap.count(&h)) {
        x.Report(index, h, fname, EntryProblemKind::kOverlapping,
                 "its data overlap another entry's; the archive is crafted or damaged");
        continue;
      }
      DataSpan span;
      Decode located = x.Locate(h, &span);
      if (located == Decode::kPrematureEnd) {
        x.Report(index, h, fname, EntryProblemKind::kCorrupt, EFatalUnzipError().what());
        throw EFatalUnzipError();
      }
      if (located != Decode::kOk) {
        x.Report(index, h, fname, Extraction::KindOf(located), Extraction::Describe(located, {}));
        continue;
      }
      if (h.IsEncrypted()) {
        Decode pw = x.CheckPassword(index, h, span);
        if (pw != Decode::kOk) {
          x.Report(index, h, fname, Extraction::KindOf(pw), Extraction::Describe(pw, {}));
          continue;
        }
      }

      // Overwrite decision against what is at the output path now.
      struct stat st;
      bool exists = ::fstatat(folder.fd.Get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
      if (exists) {
        if (S_ISDIR(st.st_mode)) {
          x.Report(index, h, fname, EntryProblemKind::kCannotCreate,
                   "a folder of that name exists");
          continue;
        }
        if (st.st_dev == stamp_.dev && st.st_ino == stamp_.ino) {
          x.Report(index, h, fname, EntryProblemKind::kIsArchive,
                   "the output file is the archive being read");
          continue;
        }
        if (S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0 && !ReplaceReadOnly) {
          x.Report(index, h, fname, EntryProblemKind::kReadOnly, "the existing file is read-only");
          continue;
        }
        bool write = true;
        uint32_t existing = ValidateDos(TimeTToDos(st.st_mtim.tv_sec));
        switch (OverwriteMode) {
          case TUZOverwriteMode::Always:
            break;
          case TUZOverwriteMode::Never:
            write = false;
            break;
          case TUZOverwriteMode::ifNewer:
            write = h.dos_date_time > existing;
            break;
          case TUZOverwriteMode::ifOlder:
            write = h.dos_date_time < existing;
            break;
          case TUZOverwriteMode::Prompt:
            write = AskOverwrite ? AskOverwrite(h.FileName()) : false;
            break;
        }
        if (!write) {
          x.Report(index, h, fname, EntryProblemKind::kExists, "the existing file was kept");
          continue;
        }
      }

      // Decode into a temporary file beside the output, verified before it
      // takes the output's name: a failed entry never harms an existing file.
      for (bool retry = true; retry;) {
        retry = false;
        std::string temp_name;
        UniqueFd temp_fd = CreateTempAt(folder.fd.Get(), &temp_name);
        if (!temp_fd.Valid()) {
          x.Report(
              index, h, fname, EntryProblemKind::kCannotCreate,
              "Unable to create a file in " + folder.path.string() + ": " + std::strerror(errno));
          break;
        }
        std::filesystem::path temp_path = folder.path / temp_name;
        int dirfd = folder.fd.Get();
        auto drop_temp = [&] { ::unlinkat(dirfd, temp_name.c_str(), 0); };
        std::unique_ptr<WritableFile> out;
        uint32_t crc = 0;
        uint64_t written = 0;
        Decode res;
        try {
          out = (file_factory_ ? *file_factory_ : DefaultWritableFileFactory())
                    .Wrap(File::Adopt(temp_fd.Release(), temp_path));
          uint64_t entry_size = h.uncompressed_size;
          res = x.Run(
              h, span,
              [&](std::span<const std::byte> d) {
                out->Append(d);
                total_done += d.size();
                if (OnFilePercentDone) OnFilePercentDone(Percent(out->Position(), entry_size));
                if (OnTotalPercentDone) OnTotalPercentDone(Percent(total_done, total));
              },
              &crc, &written);
          if (res == Decode::kOk && written == 0 && OnFilePercentDone) OnFilePercentDone(100);
        } catch (...) {
          out.reset();
          drop_temp();
          throw;
        }
        if (res == Decode::kSinkFailed) {
          out.reset();
          drop_temp();
          std::string reason = "write failed";
          try {
            std::rethrow_exception(x.SinkError());
          } catch (const std::exception& e) {
            reason = e.what();
          }
          x.Report(index, h, fname, EntryProblemKind::kCannotCreate, reason);
          throw ECantWriteUCF();
        }
        if (res == Decode::kPrematureEnd) {
          out.reset();
          drop_temp();
          x.Report(index, h, fname, EntryProblemKind::kCorrupt, EFatalUnzipError().what());
          throw EFatalUnzipError();
        }
        if (res == Decode::kOk && (written != h.uncompressed_size || crc != h.crc32)) {
          out.reset();
          drop_temp();
          if (h.IsEncrypted() && x.AskNewPassword(index)) {
            // A changed password extracts the entry again from the start;
            // the header check must pass with it first.
            if (x.CheckPassword(index, h, span) == Decode::kOk) {
              retry = true;
              continue;
            }
            x.Report(index, h, fname, EntryProblemKind::kBadPassword, "wrong password");
            break;
          }
          x.Report(index, h, fname, EntryProblemKind::kBadCrc,
                   written != h.uncompressed_size
                       ? "the data end after " + std::to_string(written) + " of " +
                             std::to_string(h.uncompressed_size) + " bytes"
                       : "CRC error: the extracted data differ from what was stored");
          break;
        }
        if (res != Decode::kOk) {
          out.reset();
          drop_temp();
          x.Report(index, h, fname, Extraction::KindOf(res), Extraction::Describe(res, x.Detail()));
          break;
        }
        // Verified: stamp, close, and give it the output's name.
        try {
          out->Close();
          out.reset();
          timespec ts{DosToTimeT(h.dos_date_time), 0};
          timespec times[2] = {ts, ts};
          ::utimensat(dirfd, temp_name.c_str(), times, AT_SYMLINK_NOFOLLOW);
          if (RetainAttributes && (h.external_attributes & kAttrReadOnly)) {
            struct stat ts_st;
            if (::fstatat(dirfd, temp_name.c_str(), &ts_st, AT_SYMLINK_NOFOLLOW) == 0) {
              ::fchmodat(dirfd, temp_name.c_str(),
                         ts_st.st_mode & 07777 & ~(S_IWUSR | S_IWGRP | S_IWOTH), 0);
            }
          }
          if (::renameat(dirfd, temp_name.c_str(), dirfd, leaf.c_str()) != 0) {
            throw EOSError("Unable to rename " + temp_path.string() + " to", fname, errno);
          }
        } catch (const std::exception& e) {
          out.reset();
          drop_temp();
          x.Report(index, h, fname, EntryProblemKind::kCannotCreate, e.what());
          throw ECantWriteUCF();
        }
        ++count;
      }
      CallPump();
    }
    if (OnTotalPercentDone) OnTotalPercentDone(100);
  } catch (...) {
    if (OnUnZipComplete) OnUnZipComplete(count);
    throw;
  }
  if (OnUnZipComplete) OnUnZipComplete(count);
  return count;
}

TestResult TZipReader::Test() {
  struct ClearLists {
    TZipReader& r;
    ~ClearLists() {
      r.FilesList.clear();
      r.ExactNames.clear();
      r.identity_selection_.clear();
    }
  } clear_lists{*this};
  TestResult result;
  ReadDirectory();
  if (zip_name_.empty()) return result;
  File archive = File::OpenRead(zip_name_);
  Extraction x(*this, archive, archive.Size());
  ReportRecovered(x);
  Selection sel(FilesList, ExactNames, identity_selection_);
  bool all = DoAll || sel.Empty();
  std::unordered_map<const TZipHeaderInfo*, bool> overlap;
  for (size_t i = 0; i < dir_->Count(); ++i) {
    if (overlapping_[i]) overlap[dir_->At(i)] = true;
  }
  uint64_t total = 0;
  for (int i = 0; i < EntryCount(); ++i) {
    if (all || sel.Selects(*ViewAt(i))) total += ViewAt(i)->uncompressed_size;
  }
  uint64_t total_done = 0;
  for (int index = 0; index < EntryCount(); ++index) {
    const TZipHeaderInfo& h = *ViewAt(index);
    if (!all && !sel.Selects(h)) continue;
    if (h.IsDirectoryEntry() && h.uncompressed_size == 0) continue;
    if (overlap.count(&h)) {
      x.Report(index, h, {}, EntryProblemKind::kOverlapping,
               "its data overlap another entry's; the archive is crafted or damaged");
      continue;
    }
    DataSpan span;
    Decode res = x.Locate(h, &span);
    if (res == Decode::kOk && h.IsEncrypted()) res = x.CheckPassword(index, h, span);
    for (bool retry = res == Decode::kOk; retry;) {
      retry = false;
      uint32_t crc = 0;
      uint64_t written = 0;
      res = x.Run(
          h, span,
          [&](std::span<const std::byte> d) {
            total_done += d.size();
            if (OnTotalPercentDone) OnTotalPercentDone(Percent(total_done, total));
          },
          &crc, &written);
      if (res == Decode::kOk && (written != h.uncompressed_size || crc != h.crc32)) {
        if (h.IsEncrypted() && x.AskNewPassword(index) &&
            x.CheckPassword(index, h, span) == Decode::kOk) {
          retry = true;
          continue;
        }
        x.Report(index, h, {}, EntryProblemKind::kBadCrc,
                 written != h.uncompressed_size ? "the data end early" : "CRC error");
        res = Decode::kSinkFailed;  // reported already
      }
    }
    if (res == Decode::kOk) {
      ++result.tested;
    } else if (res != Decode::kSinkFailed) {
      x.Report(index, h, {}, Extraction::KindOf(res), Extraction::Describe(res, x.Detail()));
    }
  }
  if (OnTotalPercentDone) OnTotalPercentDone(100);
  result.failed = x.Problems();
  return result;
}

}  // namespace zb::zip
