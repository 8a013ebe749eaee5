#include "sync/file_search.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "base/path.h"
#include "base/text.h"
#include "platform/file_system.h"

namespace zb::sync {
namespace {

// How often (in entries) the pump runs: often enough for a responsive
// window, rarely enough that the call costs nothing against a readdir.
constexpr unsigned kPumpEvery = 256;
// The content test reads in blocks of this size.
constexpr size_t kContentBlock = 4096;

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Length of the UTF-8 sequence starting with `c` (1 for a stray byte), so
// "?" stands for one character, not for one byte of it.
size_t SeqLen(unsigned char c) {
  if (c >= 0xF0 && c <= 0xF7) return 4;
  if (c >= 0xE0) return c <= 0xEF ? 3 : 1;
  if (c >= 0xC2) return 2;
  return 1;
}

// Glob match ignoring ASCII case, with one backtrack point per "*": linear
// in practice and quadratic at worst, never exponential.
bool Glob(std::string_view name, std::string_view mask) {
  size_t i = 0, j = 0;
  size_t star_j = std::string_view::npos, star_i = 0;
  while (i < name.size()) {
    if (j < mask.size() && mask[j] == '*') {
      star_j = j++;
      star_i = i;
    } else if (j < mask.size() && mask[j] == '?') {
      i += std::min(SeqLen(static_cast<unsigned char>(name[i])), name.size() - i);
      ++j;
    } else if (j < mask.size() && Upper(mask[j]) == Upper(name[i])) {
      ++i;
      ++j;
    } else if (star_j != std::string_view::npos) {
      j = star_j + 1;
      star_i += SeqLen(static_cast<unsigned char>(name[star_i]));
      i = std::min(star_i, name.size());
    } else {
      return false;
    }
  }
  while (j < mask.size() && mask[j] == '*') ++j;
  return j == mask.size();
}

// The folder text the events get: without its trailing separator, except
// for a root ("/") or a drive root ("C:/").
std::string EventFolder(const std::string& folder) {
  if (folder.size() <= 1) return folder;
  if (folder.back() != '/') return folder;
  if (folder.size() >= 2 && folder[folder.size() - 2] == ':') return folder;
  return folder.substr(0, folder.size() - 1);
}

// A full path with "." and ".." resolved lexically; an empty item is the
// current working folder. Always ends with the separator.
std::string FullFolder(const std::string& item) {
  std::filesystem::path p =
      item.empty() ? std::filesystem::current_path() : std::filesystem::absolute(item);
  return IncludeTrailingSeparator(p.lexically_normal().string());
}

DateTime LocalOf(const timespec& ts) { return FromTimeT(ts.tv_sec, ts.tv_nsec); }

uint32_t DosAttrOf(const struct stat& st) {
  uint32_t a = 0;
  if (S_ISDIR(st.st_mode)) a |= kAttrDirectory;
  if (S_ISREG(st.st_mode)) a |= kAttrArchive;
  if ((st.st_mode & S_IWUSR) == 0) a |= kAttrReadOnly;
  return a;
}

}  // namespace

struct TFileSearch::Work {
  struct Line {
    std::string folder;  // full path with trailing separator
    std::string mask;
  };
  std::vector<Line> lines;
  std::vector<std::string> exclude;
  TFileAttributes attributes;
  bool exact = false;
  bool subfolders = true;
  DateTime mod_before = 0, mod_after = 0, cre_before = 0, cre_after = 0, acc_before = 0,
           acc_after = 0;
  int64_t size_min = 0, size_max = 0;
  std::string containing;  // folded to upper case when ignore_case
  bool ignore_case = true;
  // (dev, ino) of the folders being walked, to stop at a loop.
  std::vector<std::pair<dev_t, ino_t>> ancestors;
  std::vector<char> buf;
  unsigned ticks = 0;
};

TFileSearch::~TFileSearch() { destroying_ = true; }

void TFileSearch::SetFilename(const std::string& value) {
  if (ExtractFileName(value) != value) {
    throw EFileSearchError(value + "\n\rInvalid filename specified");
  }
  filename_ = value;
}

void TFileSearch::SetLocation(const std::string& value) {
  if (value.find_first_of("*?") != std::string::npos) {
    throw EFileSearchError(value + "\n\rlocation cannot to be contained wildcards");
  }
  location_ = value;
  location_is_one_folder_ = false;
}

void TFileSearch::SetLocationFolder(const std::string& folder) {
  location_ = folder;
  location_is_one_folder_ = true;
}

bool TFileSearch::MaskMatch(std::string_view name, std::string_view mask) {
  if (mask == "*" || mask == "*.*") return true;
  if (Glob(name, mask)) return true;
  // "x.*" also names "x": the dot of a mask may stand for no extension.
  if (mask.size() >= 2 && mask.substr(mask.size() - 2) == ".*" &&
      name.find('.') == std::string_view::npos) {
    return Glob(name, mask.substr(0, mask.size() - 2));
  }
  return false;
}

bool TFileSearch::ExclusionMatch(std::string_view full_name, std::string_view pattern) {
  std::string f = UpperCase(full_name);
  std::string p = UpperCase(pattern);
  size_t fs = f.rfind('/');
  std::string fdir = fs == std::string::npos ? std::string() : f.substr(0, fs + 1);
  std::string fname = fs == std::string::npos ? f : f.substr(fs + 1);
  size_t ps = p.rfind('/');
  std::string pdir = ps == std::string::npos ? std::string() : p.substr(0, ps + 1);
  std::string pname = ps == std::string::npos ? p : p.substr(ps + 1);

  if (!pdir.empty()) {
    if (pdir.size() >= 2 && pdir[1] == ':') {
      char d = pdir[0];
      if (d != '*' && d != '?' && (fdir.empty() || d != fdir[0])) return false;
      pdir.erase(0, 2);
    }
    // The full name's own drive ("C:") is not part of what a pattern folder
    // is compared with; POSIX paths have none.
    size_t drive = (fdir.size() >= 2 && fdir[1] == ':') ? 2 : 0;
    if (pdir.size() + drive > fdir.size()) return false;
    if (fdir.compare(fdir.size() - pdir.size(), pdir.size(), pdir) != 0) return false;
  }
  if (pname.empty()) return true;

  // A "*" swallows the name up to its next "." and never crosses it; the
  // pattern characters between that "*" and the pattern's next "." are
  // then skipped.
  size_t i = 0, j = 0;
  const size_t n = fname.size(), m = pname.size();
  while (i < n && j < m) {
    char c = fname[i], q = pname[j];
    if (c == q || (q == '?' && c != '.')) {
      ++i;
      ++j;
    } else if (c == '.') {
      if (q == '?') {
        ++j;
      } else if (q == '*') {
        size_t dot = pname.find('.', j);
        j = dot == std::string::npos ? m : dot;
      } else {
        return false;
      }
    } else if (q == '*') {
      ++i;
    } else {
      return false;
    }
  }
  while (j < m && (pname[j] == '*' || pname[j] == '?')) ++j;
  return i == n && j == m;
}

bool TFileSearch::DateTest(DateTime t, DateTime before, DateTime after) {
  auto part = [t](DateTime limit) -> DateTime {
    if (limit == std::floor(limit)) return std::floor(t);  // a date only
    if (limit < 1) return t - std::floor(t);               // a time of day only
    return t;
  };
  if (before != 0 && !(part(before) <= before)) return false;
  if (after != 0 && !(part(after) >= after)) return false;
  return true;
}

TFileAttributes TFileSearch::AttributeSet(uint32_t dos_attr) {
  TFileAttributes s;
  if (dos_attr & kAttrArchive) s.Add(TFileAttribute::ffArchive);
  if (dos_attr & kAttrReadOnly) s.Add(TFileAttribute::ffReadonly);
  if (dos_attr & kAttrHidden) s.Add(TFileAttribute::ffHidden);
  if (dos_attr & kAttrSystem) s.Add(TFileAttribute::ffSystem);
  if (dos_attr & kAttrDirectory) s.Add(TFileAttribute::ffDirectory);
  return s;
}

void TFileSearch::BuildSearchList(Work& w) const {
  auto add = [&w](std::string folder, std::string mask) {
    // Paths on this platform are case-sensitive: only identical texts are
    // the same folder.
    for (const auto& l : w.lines) {
      if (l.folder == folder && SameText(l.mask, mask)) return;
    }
    w.lines.push_back({std::move(folder), std::move(mask)});
  };
  if (!IncludeFiles.empty()) {
    for (const auto& line : IncludeFiles) {
      std::string mask = ExtractFileName(line);
      if (mask.empty()) mask = "*.*";
      add(FullFolder(ExtractFilePath(line)), mask);
    }
    return;
  }
  std::string mask = filename_.empty() ? "*.*" : filename_;
  if (mask.find('.') == std::string::npos) mask += ".*";
  if (location_is_one_folder_) {
    add(FullFolder(location_), mask);
    return;
  }
  std::string rest = location_;
  do {
    size_t semi = rest.find(';');
    std::string item = rest.substr(0, semi);
    rest = semi == std::string::npos ? std::string() : rest.substr(semi + 1);
    add(FullFolder(item), mask);
  } while (!rest.empty() && rest != ";");
}

void TFileSearch::StartSearch() {
  if (busy_) return;
  busy_ = true;
  aborted_ = false;
  abort_reason_.clear();
  unreadable_.clear();
  Work w;
  try {
    BuildSearchList(w);
    w.exclude = ExcludeFiles;
    w.attributes = Attributes;
    w.exact = ExactAttribute;
    w.subfolders = Subfolders;
    w.mod_before = ModifiedBefore;
    w.mod_after = ModifiedAfter;
    w.cre_before = CreatedBefore;
    w.cre_after = CreatedAfter;
    w.acc_before = AccessedBefore;
    w.acc_after = AccessedAfter;
    w.size_min = SizeMin;
    w.size_max = SizeMax;
    w.ignore_case = IgnoreCase;
    w.containing = IgnoreCase ? UpperCase(Containing) : Containing;
    RunList(w);
  } catch (const std::exception& e) {
    aborted_ = true;
    abort_reason_ = e.what();
  }
  NotifyComplete();
}

void TFileSearch::RunList(Work& w) {
  for (const auto& line : w.lines) {
    try {
      WalkFolder(w, AT_FDCWD, line.folder, line.mask, true);
    } catch (const std::exception& e) {
      // An error ends the search; what was found so far has been reported.
      aborted_ = true;
      abort_reason_ = e.what();
    }
    if (aborted_) return;
  }
}

void TFileSearch::WalkFolder(Work& w, int parent_fd, const std::string& folder,
                             const std::string& mask, bool top) {
  if (!AskNewFolder(folder)) return;
  if (aborted_) return;
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  // The named folders may be links; below them, links to folders are not
  // entered, so a walk never leaves the tree it was given.
  if (!top) flags |= O_NOFOLLOW;
  const char* open_name = top ? folder.c_str() : nullptr;  // subfolders are opened by name below
  std::string leaf;
  if (!top) {
    std::string f = folder.substr(0, folder.size() - 1);
    leaf = f.substr(f.rfind('/') + 1);
    open_name = leaf.c_str();
  }
  int fd = ::openat(parent_fd, open_name, flags);
  if (fd < 0) {
    unreadable_.push_back(EventFolder(folder));
    return;
  }
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    unreadable_.push_back(EventFolder(folder));
    return;
  }
  struct DirCloser {
    DIR* d;
    ~DirCloser() { ::closedir(d); }
  } closer{dir};

  struct stat self;
  if (::fstat(fd, &self) != 0) {
    unreadable_.push_back(EventFolder(folder));
    return;
  }
  for (const auto& a : w.ancestors) {
    if (a.first == self.st_dev && a.second == self.st_ino) return;  // a loop: already walking it
  }
  w.ancestors.emplace_back(self.st_dev, self.st_ino);
  struct PopAncestor {
    Work& w;
    ~PopAncestor() { w.ancestors.pop_back(); }
  } pop{w};

  std::vector<std::string> subfolders;
  for (;;) {
    errno = 0;
    struct dirent* de = ::readdir(dir);
    if (!de) {
      if (errno != 0) unreadable_.push_back(EventFolder(folder));
      break;
    }
    const char* name = de->d_name;
    if (name[0] == '.') continue;
    if (++w.ticks % kPumpEvery == 0 && Pump) Pump();

    bool is_dir_entry = de->d_type == DT_DIR;  // a real folder, not a link to one
    if (de->d_type == DT_UNKNOWN) {
      struct stat lst;
      if (::fstatat(fd, name, &lst, AT_SYMLINK_NOFOLLOW) == 0) is_dir_entry = S_ISDIR(lst.st_mode);
    }
    if (w.subfolders && is_dir_entry) subfolders.emplace_back(name);

    if (!MaskMatch(name, mask)) continue;
    struct stat st;
    if (::fstatat(fd, name, &st, 0) != 0 && ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;  // vanished since the directory was read
    }
    TSearchRec rec;
    rec.Name = name;
    rec.FullSize = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    rec.Size = static_cast<int32_t>(static_cast<uint32_t>(rec.FullSize));
    rec.Attr = DosAttrOf(st);
    rec.Time = TimeTToDos(st.st_mtim.tv_sec);
    rec.last_write_time = st.st_mtim;
    rec.last_access_time = st.st_atim;
    rec.creation_time = st.st_ctim;
    rec.dev = st.st_dev;
    rec.ino = st.st_ino;
    bool is_dir = S_ISDIR(st.st_mode);
    if (!Filter(w, fd, folder, rec, is_dir)) continue;
    NotifyFound(folder, rec);
    if (aborted_) return;
  }
  for (const auto& sub : subfolders) {
    if (aborted_) return;
    WalkFolder(w, fd, folder + sub + "/", mask, false);
  }
}

bool TFileSearch::Filter(Work& w, int dir_fd, const std::string& folder, const TSearchRec& rec,
                         bool is_dir) {
  TFileAttributes set = AttributeSet(rec.Attr);
  if (w.exact) {
    if (!(set == w.attributes)) return false;
  } else if (!set.Empty() && !set.Intersects(w.attributes)) {
    return false;
  }
  if (!is_dir) {
    // The full size is compared, so a file of 4 GB + 10 bytes is not taken
    // for a 10-byte one.
    auto size = static_cast<int64_t>(rec.FullSize);
    if (w.size_min != 0 && size < w.size_min) return false;
    if (w.size_max != 0 && size > w.size_max) return false;
  }
  if (w.cre_before != 0 || w.cre_after != 0) {
    timespec born = rec.creation_time;
    struct statx sx;
    if (::statx(dir_fd, rec.Name.c_str(), 0, STATX_BTIME, &sx) == 0 &&
        (sx.stx_mask & STATX_BTIME)) {
      born.tv_sec = sx.stx_btime.tv_sec;
      born.tv_nsec = sx.stx_btime.tv_nsec;
    }
    if (!DateTest(LocalOf(born), w.cre_before, w.cre_after)) return false;
  }
  if ((w.mod_before != 0 || w.mod_after != 0) &&
      !DateTest(LocalOf(rec.last_write_time), w.mod_before, w.mod_after)) {
    return false;
  }
  if ((w.acc_before != 0 || w.acc_after != 0) &&
      !DateTest(LocalOf(rec.last_access_time), w.acc_before, w.acc_after)) {
    return false;
  }
  if (!w.exclude.empty()) {
    std::string full = folder + rec.Name;
    for (const auto& pattern : w.exclude) {
      if (ExclusionMatch(full, pattern)) return false;
    }
  }
  if (!w.containing.empty() && !is_dir) {
    // Only regular files are read: a device or a pipe may never end.
    if ((rec.Attr & kAttrArchive) == 0) return false;
    return ContentTest(w, dir_fd, folder, rec.Name);
  }
  return true;
}

bool TFileSearch::ContentTest(Work& w, int dir_fd, const std::string& folder,
                              const std::string& name) {
  int fd = ::openat(dir_fd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) throw EOSError("Unable to open", folder + name, errno);
  Fd guard(fd);
  const std::string& needle = w.containing;
  const size_t len = needle.size();
  // Each block starts with the last len - 1 bytes of the one before, so a
  // text that straddles two reads is still found.
  const size_t keep = len - 1;
  w.buf.resize(kContentBlock + keep);
  size_t have = 0;
  for (;;) {
    ssize_t n = ::read(fd, w.buf.data() + have, kContentBlock);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // end of file, or a read error: what was found so far
    size_t total = have + static_cast<size_t>(n);
    if (w.ignore_case) {
      for (size_t k = have; k < total; ++k) w.buf[k] = Upper(w.buf[k]);
    }
    if (total >= len && ::memmem(w.buf.data(), total, needle.data(), len) != nullptr) return true;
    have = std::min(keep, total);
    std::memmove(w.buf.data(), w.buf.data() + total - have, have);
  }
}

void TFileSearch::NotifyFound(const std::string& folder, TSearchRec& rec) {
  if (OnFound && !destroying_) OnFound(*this, EventFolder(folder), rec);
}

bool TFileSearch::AskNewFolder(const std::string& folder) {
  bool ignore = false;
  if (OnNewFolder && !destroying_) OnNewFolder(*this, EventFolder(folder), ignore);
  return !ignore;
}

void TFileSearch::NotifyComplete() {
  busy_ = false;
  if (OnComplete && !destroying_) OnComplete(*this);
}

}  // namespace zb::sync
