// TZipReader::UnZip and TZipReader::Test: one pass over the selected entries
// of a loaded directory.
//
// An extracted entry goes through five steps, each a function below:
//   select       which entries the options choose, and their total size;
//   open folder  the stored folder made safe and walked below the
//                destination without following links;
//   overwrite    what the policy says about a file already at the output;
//   decode       the data into a temporary file beside the output, checked
//                against the stored size and CRC-32;
//   commit       the time and mode given, the temporary file renamed over
//                the output.
// A failed entry never harms an existing file: it is replaced only at commit.

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "base/errors.h"
#include "base/text.h"
#include "platform/folder_walk.h"
#include "platform/replacing_file.h"
#include "zip/crc32.h"
#include "zip/inflate.h"
#include "zip/legacy_decoders.h"
#include "zip/wildcard.h"
#include "zip/zip_crypto.h"
#include "zip/zip_reader.h"

namespace zb::zip {
namespace {

// Read size for entry data. Large enough that system calls do not dominate,
// small enough that progress and the pump stay lively.
constexpr size_t kBlockSize = 64 * 1024;

// The AES encryption marker method (WinZip AE-x, APPNOTE 4.4.5 method 99).
constexpr uint16_t kMethodAes = 99;

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

std::string DestinationOf(const TUnZipOptions& options) {
  std::string d = options.DestDir;
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  return d.empty() ? HomeFolder() : d;
}

// --- Selection -------------------------------------------------------------------

// The selection of one run: exact names and identities by hash, plain
// names (no wildcard) by their ASCII-folded form, and only true patterns
// through the matcher, so selecting every row of a large archive stays
// linear.
class Selection {
 public:
  Selection(const TUnZipOptions& options, std::unordered_set<const TZipHeaderInfo*> identities)
      : identities_(std::move(identities)) {
    for (std::string p : options.FilesList) {
      std::replace(p.begin(), p.end(), '\\', '/');
      if (HasWildcard(p)) {
        patterns_.push_back(std::move(p));
      } else {
        folded_.insert(LowerCase(p));
      }
    }
    exact_.insert(options.ExactNames.begin(), options.ExactNames.end());
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
  std::unordered_set<const TZipHeaderInfo*> identities_;
  std::vector<std::string> patterns_;
  std::unordered_set<std::string> folded_;
  std::unordered_set<std::string> exact_;
};

// --- Safe names ------------------------------------------------------------------

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

bool IsFullDisk(int err) { return err == ENOSPC || err == EDQUOT || err == EFBIG; }

// The longest name a file of `folder` may have.
size_t NameLimit(const OpenFolder& folder) {
  const long limit = ::fpathconf(folder.fd.Get(), _PC_NAME_MAX);
  return limit > 0 ? static_cast<size_t>(limit) : 255;
}

bool SafeFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('\0') == std::string_view::npos && name.find('/') == std::string_view::npos;
}

EntryProblemKind WalkProblem(const WalkResult& walk) {
  return walk.error == WalkError::kThroughLink ? EntryProblemKind::kUnsafePath
                                               : EntryProblemKind::kCannotCreate;
}

// --- Decoding --------------------------------------------------------------------

// Outcome of decoding one entry's data.
enum class Decode {
  kOk,
  kBadPassword,
  kNeedsPassword,  // encrypted, and no password was given
  kTooLarge,
  kCorrupt,
  kUnknownMethod,
  kUnsupported,
  kBadLocalHeader,
  kPrematureEnd,  // the archive file ends inside the entry's data
  kSinkFailed,    // the output failed; the exception is kept
};

// Methods EntryDecoder::Run can decode.
bool MethodSupported(uint16_t method) {
  return method == kMethodStored || method == kMethodDeflated ||
         (method >= kMethodShrunk && method <= kMethodImploded);
}

// Where an entry's data lie in the archive file.
struct DataSpan {
  uint64_t start = 0;  // first byte after the local header (encryption header included)
  uint64_t size = 0;   // compressed size from the central header
};

std::string Describe(Decode d, const std::string& detail) {
  switch (d) {
    case Decode::kOk:
      return "ok";
    case Decode::kBadPassword:
      return "wrong password";
    case Decode::kNeedsPassword:
      return "password needed: the entry is encrypted";
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

EntryProblemKind KindOf(Decode d) {
  switch (d) {
    case Decode::kBadPassword:
      return EntryProblemKind::kBadPassword;
    case Decode::kNeedsPassword:
      return EntryProblemKind::kNeedsPassword;
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

// Reads entries' data from the archive file: finds them behind their local
// headers, checks the password, and decodes them into a sink. The password
// of the run lives here, so a new one given by OnBadPassword holds for the
// entries after it.
class EntryDecoder {
 public:
  using Sink = std::function<void(std::span<const std::byte>)>;

  EntryDecoder(File& archive, uint64_t archive_size, std::string password,
               const TUnZipEvents& events)
      : archive_(archive),
        archive_size_(archive_size),
        password_(std::move(password)),
        events_(events),
        buf_(kBlockSize) {}

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
      ZipCrypto keys(password_);
      if (CheckEncryptionHeader(keys, header, h.CheckByte())) return Decode::kOk;
      // Without any password the entry is not damaged and no password is
      // wrong: one is needed, and the message says so.
      const bool had_none = password_.empty();
      if (!AskNewPassword(index)) return had_none ? Decode::kNeedsPassword : Decode::kBadPassword;
    }
  }

  // True when the handler changed the password (the caller retries).
  bool AskNewPassword(int index) {
    if (!events_.OnBadPassword) return false;
    std::string pw = password_;
    events_.OnBadPassword(index, pw);
    if (pw == password_) return false;
    password_ = pw;
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
      keys.emplace(password_);
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
      if (events_.Pump) events_.Pump();
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

  // The text of what the sink threw, after kSinkFailed.
  [[nodiscard]] std::string SinkErrorText() const {
    try {
      std::rethrow_exception(sink_error_);
    } catch (const std::exception& e) {
      return e.what();
    } catch (...) {
    }
    return "write failed";
  }
  [[nodiscard]] const std::string& Detail() const { return detail_; }

 private:
  Decode StopReason() const { return too_large_ ? Decode::kTooLarge : Decode::kSinkFailed; }

  File& archive_;
  uint64_t archive_size_;
  std::string password_;
  const TUnZipEvents& events_;
  std::vector<std::byte> buf_;
  std::exception_ptr sink_error_;
  bool too_large_ = false;
  std::string detail_;
};

}  // namespace

// --- One run -----------------------------------------------------------------------

class TZipReader::Extraction {
 public:
  Extraction(TZipReader& reader, const TUnZipOptions& options, const TUnZipEvents& events,
             std::unordered_set<const TZipHeaderInfo*> identities, File& archive)
      : r_(reader),
        o_(options),
        ev_(events),
        selection_(options, std::move(identities)),
        decoder_(archive, archive.Size(), options.Password, events) {
    const uint64_t archive_size = archive.Size();
    const size_t n = r_.dir_->Count();
    for (size_t i = 0; i < n; ++i) {
      const TZipHeaderInfo* e = r_.dir_->At(i);
      if (r_.overlapping_[i]) overlapping_.insert(e);
      // An entry's data end before the next local header, or before the
      // central directory for the last one.
      uint64_t limit = archive_size;
      if (i + 1 < n && r_.dir_->At(i + 1)->disk_number_start == e->disk_number_start) {
        limit = r_.dir_->At(i + 1)->local_header_offset;
      } else if (!r_.recovered_ && r_.end_.central_offset > e->local_header_offset) {
        limit = std::min(limit, r_.end_.central_offset);
      }
      data_limits_[e] = limit;
    }
  }

  Extraction(const Extraction&) = delete;
  Extraction& operator=(const Extraction&) = delete;
  // Folders get their late modes however the run ends, so none is left
  // more open than the archive says.
  ~Extraction() {
    for (auto& [folder, perms] : late_modes_) (void)::fchmod(folder.fd.Get(), perms);
  }

  int UnZip(const std::string& dest, int* count);
  TestResult Test();

 private:
  // Where one entry goes.
  struct Output {
    std::vector<std::string> parts;  // safe folders below the destination
    std::string fname;               // the output path, as events see it
    OpenFolder folder;               // the folder it goes into
    std::string leaf;                // its name there
  };
  enum class Outcome { kExtracted, kLeftOut, kRetry };

  void Report(int index, const TZipHeaderInfo& h, const std::filesystem::path& path,
              EntryProblemKind kind, std::string reason) {
    ++problems_;
    if (ev_.OnEntryProblem)
      ev_.OnEntryProblem({index, h.FullName(), path, kind, std::move(reason)});
  }
  void ReportRecovered();
  void Pump() {
    if (ev_.Pump) ev_.Pump();
  }

  std::vector<int> SelectForUnZip(uint64_t* total);
  bool PlaceOutput(int index, const TZipHeaderInfo& h, Output* out);
  bool OpenOutputFolder(int index, const TZipHeaderInfo& h, bool redirected, Output* out);
  bool MayOverwrite(int index, const TZipHeaderInfo& h, const Output& out);
  Outcome DecodeAndCommit(int index, const TZipHeaderInfo& h, const DataSpan& span,
                          const Output& out);
  bool ExtractFile(int index, const TZipHeaderInfo& h, Output& out);
  bool NewTopFolder(int index, const TZipHeaderInfo& h, const Output& out);
  void ExtractFolder(int index, const TZipHeaderInfo& h, const Output& out, int* count);

  TZipReader& r_;
  const TUnZipOptions& o_;
  const TUnZipEvents& ev_;
  Selection selection_;
  EntryDecoder decoder_;
  // Entries whose data overlap another's; they are never decoded.
  std::unordered_set<const TZipHeaderInfo*> overlapping_;
  // Where each entry's data must end at the latest.
  std::unordered_map<const TZipHeaderInfo*, uint64_t> data_limits_;
  // Locates the entry's data; kCorrupt when the sizes the directory gives
  // run into the next entry (the local extra field is only known here).
  Decode LocateData(const TZipHeaderInfo& h, DataSpan* span) {
    const Decode d = decoder_.Locate(h, span);
    if (d != Decode::kOk) return d;
    auto it = data_limits_.find(&h);
    if (it != data_limits_.end() && span->start + span->size > it->second) return Decode::kCorrupt;
    return d;
  }
  int problems_ = 0;

  // UnZip's state.
  std::string dest_;
  OpenFolder dest_folder_;
  // Entries come folder by folder: the last folder walked is kept open, so
  // a run of files in one folder walks it once instead of opening every
  // component again for each file.
  OpenFolder last_folder_;
  std::vector<std::string> last_parts_;
  uint64_t total_ = 0;
  uint64_t total_done_ = 0;
  // Folders whose stored mode would keep the owner from writing into them:
  // given their mode after the last entry.
  std::vector<std::pair<OpenFolder, mode_t>> late_modes_;
};

// Entries found by the recovery scan are all that could be found, not all
// the archive held: unless the user chose the scan when asked, the run must
// not end as if the archive were sound.
void TZipReader::Extraction::ReportRecovered() {
  if (r_.recovered_ && !r_.recovered_unasked_ && r_.recovery_gaps_ > 0) {
    Report(-1, TZipHeaderInfo(), {}, EntryProblemKind::kCorrupt,
           "the archive is damaged: scanning found " + std::to_string(r_.dir_->Count()) +
               " entries and stepped over " + std::to_string(r_.recovery_gaps_) +
               " damaged stretch(es) whose entries are lost");
  }
  if (!r_.recovered_unasked_) return;
  Report(-1, TZipHeaderInfo(), {}, EntryProblemKind::kCorrupt,
         "the archive's central directory is damaged; scanning found " +
             std::to_string(r_.dir_->Count()) + " of the " + std::to_string(r_.declared_entries_) +
             " entries its end record declares");
}

// Step 1: the entries the options choose, in SortMode order; folder
// entries only when folders are recreated.
std::vector<int> TZipReader::Extraction::SelectForUnZip(uint64_t* total) {
  std::vector<int> chosen;
  *total = 0;
  for (int i = 0; i < r_.EntryCount(); ++i) {
    TZipHeaderInfo* h = r_.ViewAt(i);
    h->selected_for_extraction = false;
    if (h->IsDirectoryEntry() && !h->FullName().empty() && !o_.RecreateDirs) continue;
    if (!o_.DoAll && !selection_.Selects(*h)) continue;
    h->selected_for_extraction = true;
    chosen.push_back(i);
    *total += h->uncompressed_size;
  }
  return chosen;
}

// The output path below the destination; false (reported) when the stored
// name would leave it.
bool TZipReader::Extraction::PlaceOutput(int index, const TZipHeaderInfo& h, Output* out) {
  bool safe = SafeComponents(o_.RecreateDirs ? h.Directory() : std::string(), &out->parts);
  if (!h.IsDirectoryEntry()) safe = safe && SafeFileName(h.FileName());
  std::filesystem::path folder_path(dest_);
  for (const auto& p : out->parts) folder_path /= p;
  const std::filesystem::path shown =
      h.IsDirectoryEntry() ? folder_path : folder_path / h.FileName();
  out->fname = shown.string();
  if (!safe) {
    Report(index, h, shown, EntryProblemKind::kUnsafePath,
           "the name would place the file outside " + dest_);
  }
  return safe;
}

// Step 2: the folder the file goes into, made where missing. The stored
// folders are walked from the destination; a path that OnStartUnZip chose
// instead (`redirected`) is taken as given.
bool TZipReader::Extraction::OpenOutputFolder(int index, const TZipHeaderInfo& h, bool redirected,
                                              Output* out) {
  if (!redirected) {
    if (last_folder_.Valid() && out->parts == last_parts_) out->folder = last_folder_.Duplicate();
    if (!out->folder.Valid()) {
      const WalkResult walk =
          WalkFolders(dest_folder_, out->parts,
                      {.create = true, .follow_links = o_.FollowDestLinks}, &out->folder);
      if (!walk.Ok()) {
        Report(index, h, out->fname, WalkProblem(walk), walk.why);
        return false;
      }
      last_folder_ = out->folder.Duplicate();
      last_parts_ = out->parts;
    }
    out->leaf = h.FileName();
    return true;
  }
  const std::filesystem::path p(out->fname);
  out->leaf = p.filename().string();
  std::filesystem::path parent = p.parent_path();
  if (parent.empty()) parent = ".";
  try {
    MakeDirs(parent);
  } catch (const EOSError& e) {
    Report(index, h, out->fname, EntryProblemKind::kCannotCreate, e.what());
    return false;
  }
  out->folder = OpenFolder::Open(parent);
  if (!out->folder.Valid() || !SafeFileName(out->leaf)) {
    Report(index, h, out->fname, EntryProblemKind::kCannotCreate,
           "Unable to open directory " + parent.string());
    return false;
  }
  return true;
}

// Step 3: whether the file at the output may be replaced; false (reported)
// when it stays.
bool TZipReader::Extraction::MayOverwrite(int index, const TZipHeaderInfo& h, const Output& out) {
  struct stat st {};
  if (::fstatat(out.folder.fd.Get(), out.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return true;
  }
  if (S_ISDIR(st.st_mode)) {
    Report(index, h, out.fname, EntryProblemKind::kCannotCreate, "a folder of that name exists");
    return false;
  }
  if (st.st_dev == r_.stamp_.dev && st.st_ino == r_.stamp_.ino) {
    Report(index, h, out.fname, EntryProblemKind::kIsArchive,
           "the output file is the archive being read");
    return false;
  }
  if (S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0 && !o_.ReplaceReadOnly) {
    Report(index, h, out.fname, EntryProblemKind::kReadOnly, "the existing file is read-only");
    return false;
  }
  bool write = true;
  // With the extended timestamp both times are whole seconds; without it
  // the file's time is cut to the DOS precision the entry has.
  const int64_t entry_time = h.unix_mtime ? *h.unix_mtime : h.dos_date_time;
  const int64_t existing =
      h.unix_mtime ? st.st_mtim.tv_sec : ValidateDos(TimeTToDos(st.st_mtim.tv_sec));
  switch (o_.OverwriteMode) {
    case TUZOverwriteMode::Always:
      break;
    case TUZOverwriteMode::Never:
      write = false;
      break;
    case TUZOverwriteMode::ifNewer:
      write = entry_time > existing;
      break;
    case TUZOverwriteMode::ifOlder:
      write = entry_time < existing;
      break;
    case TUZOverwriteMode::Prompt:
      write = ev_.AskOverwrite ? ev_.AskOverwrite(h.FileName()) : false;
      break;
  }
  if (!write) Report(index, h, out.fname, EntryProblemKind::kExists, "the existing file was kept");
  return write;
}

// Steps 4 and 5: the data decoded into a temporary file beside the output
// and, once size and CRC-32 agree, committed under the output's name.
// kRetry: a new password was given after a CRC failure.
TZipReader::Extraction::Outcome TZipReader::Extraction::DecodeAndCommit(int index,
                                                                        const TZipHeaderInfo& h,
                                                                        const DataSpan& span,
                                                                        const Output& out) {
  // The permission bits of an entry made on Unix; set-user-ID, set-group-ID
  // and sticky never come from an archive.
  const std::optional<mode_t> unix_perms =
      o_.RetainAttributes && h.UnixMode() != 0
          ? std::optional<mode_t>(static_cast<mode_t>(h.UnixMode() & 0777))
          : std::nullopt;
  std::optional<ReplacingFile> temp;
  try {
    // With a stored mode the file is private until it gets that mode, and
    // stays private should the file system refuse it: never more readable
    // than the file that was saved.
    temp.emplace(ReplacingFile::CreateIn(out.folder, out.leaf,
                                         {.factory = o_.FileFactory,
                                          .flush_to_disk = false,
                                          .stamps_required = false,
                                          .keep_private = unix_perms.has_value()}));
  } catch (const EOSError& e) {
    Report(index, h, out.fname, EntryProblemKind::kCannotCreate, e.what());
    return Outcome::kLeftOut;
  }
  WritableFile& file = temp->Output();
  const uint64_t entry_size = h.uncompressed_size;
  uint32_t crc = 0;
  uint64_t written = 0;
  const Decode res = decoder_.Run(
      h, span,
      [&](std::span<const std::byte> d) {
        file.Append(d);
        total_done_ += d.size();
        if (ev_.OnFilePercentDone) ev_.OnFilePercentDone(Percent(file.Position(), entry_size));
        if (ev_.OnTotalPercentDone) ev_.OnTotalPercentDone(Percent(total_done_, total_));
      },
      &crc, &written);
  if (res == Decode::kOk && written == 0 && ev_.OnFilePercentDone) ev_.OnFilePercentDone(100);
  if (res != Decode::kOk || written != h.uncompressed_size || crc != h.crc32) temp.reset();

  switch (res) {
    case Decode::kOk:
      break;
    case Decode::kSinkFailed:
      // A short write (a full disk) ends the whole extraction.
      Report(index, h, out.fname, EntryProblemKind::kCannotCreate, decoder_.SinkErrorText());
      throw ECantWriteUCF();
    case Decode::kPrematureEnd:
      Report(index, h, out.fname, EntryProblemKind::kCorrupt, EFatalUnzipError().what());
      if (r_.recovered_) return Outcome::kLeftOut;
      throw EFatalUnzipError();
    default:
      Report(index, h, out.fname, KindOf(res), Describe(res, decoder_.Detail()));
      return Outcome::kLeftOut;
  }
  if (written != h.uncompressed_size || crc != h.crc32) {
    if (h.IsEncrypted() && decoder_.AskNewPassword(index)) {
      // A changed password extracts the entry again from the start; the
      // header check must pass with it first.
      if (decoder_.CheckPassword(index, h, span) == Decode::kOk) return Outcome::kRetry;
      Report(index, h, out.fname, EntryProblemKind::kBadPassword, "wrong password");
      return Outcome::kLeftOut;
    }
    Report(index, h, out.fname, EntryProblemKind::kBadCrc,
           written != h.uncompressed_size
               ? "the data end after " + std::to_string(written) + " of " +
                     std::to_string(h.uncompressed_size) + " bytes"
               : "CRC error: the extracted data differ from what was stored");
    return Outcome::kLeftOut;
  }

  // Verified: stamped and given the output's name.
  try {
    std::optional<mode_t> mode = unix_perms;
    if (!mode && o_.RetainAttributes && (h.external_attributes & kAttrReadOnly)) {
      mode = temp->NewFileMode() & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    }
    temp->Commit(mode, timespec{h.unix_mtime ? static_cast<time_t>(*h.unix_mtime)
                                             : DosToTimeT(h.dos_date_time),
                                0});
  } catch (const EOSError& e) {
    // Only a full disk ends the run; a name this folder cannot take (too
    // long, a folder in the way, no permission) is this entry's problem.
    Report(index, h, out.fname, EntryProblemKind::kCannotCreate, e.what());
    if (IsFullDisk(e.Errno())) throw ECantWriteUCF();
    return Outcome::kLeftOut;
  } catch (const std::exception& e) {
    Report(index, h, out.fname, EntryProblemKind::kCannotCreate, e.what());
    throw ECantWriteUCF();
  }
  return Outcome::kExtracted;
}

// One file entry through steps 2 to 5; true when it was extracted.
bool TZipReader::Extraction::ExtractFile(int index, const TZipHeaderInfo& h, Output& out) {
  const std::string placed = out.fname;
  bool skip = false;
  if (ev_.OnStartUnZip) ev_.OnStartUnZip(index, out.fname, skip);
  if (skip) return false;
  if (!OpenOutputFolder(index, h, out.fname != placed, &out)) return false;
  if (const size_t limit = NameLimit(out.folder); out.leaf.size() > limit) {
    Report(index, h, out.fname, EntryProblemKind::kCannotCreate,
           "the name is longer than the " + std::to_string(limit) +
               "-byte limit of the file system");
    return false;
  }

  if (overlapping_.count(&h)) {
    Report(index, h, out.fname, EntryProblemKind::kOverlapping,
           "its data overlap another entry's; the archive is crafted or damaged");
    return false;
  }
  DataSpan span;
  const Decode located = LocateData(h, &span);
  // In an archive pieced together by the recovery scan a cut entry is one
  // of the losses it reports; the entries found after it still count.
  if (located == Decode::kPrematureEnd && !r_.recovered_) {
    Report(index, h, out.fname, EntryProblemKind::kCorrupt, EFatalUnzipError().what());
    throw EFatalUnzipError();
  }
  if (located != Decode::kOk) {
    Report(index, h, out.fname, KindOf(located), Describe(located, {}));
    return false;
  }
  if (h.IsEncrypted()) {
    const Decode pw = decoder_.CheckPassword(index, h, span);
    if (pw != Decode::kOk) {
      Report(index, h, out.fname, KindOf(pw), Describe(pw, {}));
      return false;
    }
  }
  if (!MayOverwrite(index, h, out)) return false;

  Outcome outcome = Outcome::kRetry;
  while (outcome == Outcome::kRetry) outcome = DecodeAndCommit(index, h, span, out);
  Pump();
  return outcome == Outcome::kExtracted;
}

// From the root, the stored folders are the original places, and every one
// of them starts in a top-level folder that exists. A name stored relative
// (a project whose include path was relative) would make a new one there
// and scatter the files over the root: the entry fails instead, so the user
// can choose a folder for it.
bool TZipReader::Extraction::NewTopFolder(int index, const TZipHeaderInfo& h, const Output& out) {
  if (dest_ != "/" || !o_.RecreateDirs || out.parts.empty()) return false;
  struct stat st {};
  if (::fstatat(dest_folder_.fd.Get(), out.parts[0].c_str(), &st, 0) == 0) return false;
  Report(index, h, out.fname, EntryProblemKind::kNoOriginalPlace,
         "its folder '" + out.parts[0] +
             "/' does not exist in the root folder: the name holds no original place; "
             "restore it into a chosen folder");
  return true;
}

// A folder entry: the folder made, and given the mode an entry made on Unix
// stores (never set-user-ID, set-group-ID or sticky).
void TZipReader::Extraction::ExtractFolder(int index, const TZipHeaderInfo& h, const Output& out,
                                           int* count) {
  OpenFolder made;
  const WalkResult walk = WalkFolders(
      dest_folder_, out.parts, {.create = true, .follow_links = o_.FollowDestLinks}, &made);
  if (!walk.Ok()) {
    Report(index, h, out.fname, WalkProblem(walk), walk.why);
    return;
  }
  ++*count;
  if (!o_.RetainAttributes || h.UnixMode() == 0 || out.parts.empty()) return;
  const mode_t perms = static_cast<mode_t>(h.UnixMode() & 0777);
  if ((perms & S_IRWXU) == S_IRWXU) {
    // A refused mode leaves the folder as made: the files in it carry
    // their own modes.
    (void)::fchmod(made.fd.Get(), perms);
  } else {
    late_modes_.emplace_back(std::move(made), perms);
  }
}

int TZipReader::Extraction::UnZip(const std::string& dest, int* count) {
  dest_ = dest;
  dest_folder_ = OpenFolder::Open(dest_);
  if (!dest_folder_.Valid()) {
    const int err = errno;
    throw EOSError("Unable to open directory", dest_, err);
  }
  ReportRecovered();
  const std::vector<int> chosen = SelectForUnZip(&total_);
  for (int index : chosen) {
    const TZipHeaderInfo& h = *r_.ViewAt(index);
    Output out;
    if (h.FullName().empty()) {
      Report(index, h, {}, EntryProblemKind::kUnsafePath, "the entry has an empty name");
      continue;
    }
    if (!PlaceOutput(index, h, &out)) continue;
    if (NewTopFolder(index, h, out)) continue;
    if (h.IsDirectoryEntry()) {
      ExtractFolder(index, h, out, count);
      continue;
    }
    if (ExtractFile(index, h, out)) ++*count;
  }
  if (ev_.OnTotalPercentDone) ev_.OnTotalPercentDone(100);
  return *count;
}

TestResult TZipReader::Extraction::Test() {
  ReportRecovered();
  TestResult result;
  const bool all = o_.DoAll || selection_.Empty();
  uint64_t total = 0;
  for (int i = 0; i < r_.EntryCount(); ++i) {
    if (all || selection_.Selects(*r_.ViewAt(i))) total += r_.ViewAt(i)->uncompressed_size;
  }
  uint64_t total_done = 0;
  for (int index = 0; index < r_.EntryCount(); ++index) {
    const TZipHeaderInfo& h = *r_.ViewAt(index);
    if (!all && !selection_.Selects(h)) continue;
    if (h.FullName().empty()) {
      Report(index, h, {}, EntryProblemKind::kUnsafePath, "the entry has an empty name");
      continue;
    }
    if (h.IsDirectoryEntry() && h.uncompressed_size == 0) continue;
    if (overlapping_.count(&h)) {
      Report(index, h, {}, EntryProblemKind::kOverlapping,
             "its data overlap another entry's; the archive is crafted or damaged");
      continue;
    }
    DataSpan span;
    Decode res = LocateData(h, &span);
    if (res == Decode::kOk && h.IsEncrypted()) res = decoder_.CheckPassword(index, h, span);
    bool reported = false;
    for (bool retry = res == Decode::kOk; retry;) {
      retry = false;
      uint32_t crc = 0;
      uint64_t written = 0;
      res = decoder_.Run(
          h, span,
          [&](std::span<const std::byte> d) {
            total_done += d.size();
            if (ev_.OnTotalPercentDone) ev_.OnTotalPercentDone(Percent(total_done, total));
          },
          &crc, &written);
      if (res == Decode::kOk && (written != h.uncompressed_size || crc != h.crc32)) {
        if (h.IsEncrypted() && decoder_.AskNewPassword(index) &&
            decoder_.CheckPassword(index, h, span) == Decode::kOk) {
          retry = true;
          continue;
        }
        Report(index, h, {}, EntryProblemKind::kBadCrc,
               written != h.uncompressed_size ? "the data end early" : "CRC error");
        reported = true;
      }
    }
    if (reported) continue;
    if (res == Decode::kOk) {
      ++result.tested;
    } else if (res != Decode::kSinkFailed) {
      // (kSinkFailed: the progress handler threw; nothing was decoded wrong.)
      Report(index, h, {}, KindOf(res), Describe(res, decoder_.Detail()));
    }
  }
  if (ev_.OnTotalPercentDone) ev_.OnTotalPercentDone(100);
  result.failed = problems_;
  return result;
}

// --- The reader's entry points -------------------------------------------------------

std::unordered_set<const TZipHeaderInfo*> TZipReader::Identities(const TUnZipOptions& options,
                                                                 bool reread) const {
  std::unordered_set<const TZipHeaderInfo*> identities;
  if (reread) return identities;
  for (int i : options.Indexes) identities.insert(ViewAt(i));
  return identities;
}

int TZipReader::UnZip(const TUnZipOptions& options, const TUnZipEvents& events) {
  const bool was_loaded = loaded_;
  const bool reread = Refresh(options, events) || !was_loaded;
  if (zip_name_.empty()) {
    if (events.OnUnZipComplete) events.OnUnZipComplete(0);
    return 0;
  }
  auto identities = Identities(options, reread);
  const std::string dest = DestinationOf(options);
  MakeDirs(dest);

  int count = 0;
  try {
    File archive = File::OpenRead(zip_name_);
    Extraction x(*this, options, events, std::move(identities), archive);
    (void)x.UnZip(dest, &count);
  } catch (...) {
    if (events.OnUnZipComplete) events.OnUnZipComplete(count);
    throw;
  }
  if (events.OnUnZipComplete) events.OnUnZipComplete(count);
  return count;
}

TestResult TZipReader::Test(const TUnZipOptions& options, const TUnZipEvents& events) {
  const bool was_loaded = loaded_;
  const bool reread = Refresh(options, events) || !was_loaded;
  if (zip_name_.empty()) return {};
  auto identities = Identities(options, reread);
  File archive = File::OpenRead(zip_name_);
  Extraction x(*this, options, events, std::move(identities), archive);
  return x.Test();
}

}  // namespace zb::zip
