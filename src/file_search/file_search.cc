#include "file_search/file_search.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "base/path.h"
#include "base/text.h"
#include "platform/file_system.h"

namespace zb::file_search {
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

// The components whose events this thread is raising right now, innermost
// last. WaitFor() called from inside one of them must not wait: the search
// it would wait for is the one that is waiting for the handler to return.
thread_local std::vector<const TFileSearch*> tls_raising;

struct EventScope {
  explicit EventScope(const TFileSearch* s) { tls_raising.push_back(s); }
  ~EventScope() { tls_raising.pop_back(); }
  EventScope(const EventScope&) = delete;
  EventScope& operator=(const EventScope&) = delete;
};

// The nice value of a priority, relative to the thread that started the
// search. Linux keeps a nice value per thread, so a worker can be slowed
// down without touching the rest of the program.
int NiceDelta(TThreadPriority p) {
  switch (p) {
    case TThreadPriority::tpIdle:
      return 19;
    case TThreadPriority::tpLowest:
      return 10;
    case TThreadPriority::tpLower:
      return 5;
    case TThreadPriority::tpNormal:
      return 0;
    case TThreadPriority::tpHigher:
      return -5;
    case TThreadPriority::tpHighest:
      return -10;
    case TThreadPriority::tpTimeCritical:
      return -20;
  }
  return 0;
}

int CurrentNice() {
  errno = 0;
  int n = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
  return errno == 0 ? n : 0;
}

// Best effort: raising a priority needs privileges the program usually
// lacks, and a search runs just as correctly at the priority it has.
void ApplyPriority(pid_t tid, TThreadPriority p, int base_nice) {
  int nice = std::clamp(base_nice + NiceDelta(p), -20, 19);
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
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
  // The worker walking this search; null on the calling thread.
  TSearchThread* thread = nullptr;
  uint64_t generation = 0;
  // The outcome, published when the search completes.
  std::vector<std::string> unreadable;
  std::string abort_reason;
};

// What the component shares with its workers and with events still queued
// on the owner thread. Held by shared_ptr so a queued event or a worker's
// last steps never touch freed memory, whatever order things end in.
struct TFileSearch::Shared {
  std::mutex mu;
  std::condition_variable cv;
  TFileSearch* owner = nullptr;  // null once the component is being destroyed
  TThreadPriority priority = TThreadPriority::tpNormal;
  int base_nice = 0;
  pid_t tid = 0;  // the worker walking now, 0 when none
  int live = 0;   // workers that have not yet returned
  // The hand-off of one event to the owner thread; the worker waits while
  // call_pending is set.
  std::function<void()> call;
  uint64_t call_seq = 0;
  bool call_pending = false;
  bool call_running = false;
  std::exception_ptr call_error;
  // The outcome of a walk whose completion waits for the owner thread.
  std::unique_ptr<Work> done_work;
  uint64_t started = 0, completed = 0, threaded = 0;  // search generations

  // Owner thread. REQUIRES: `lk` holds mu and call_pending && !call_running.
  void RunCall(std::unique_lock<std::mutex>& lk) {
    call_running = true;
    std::function<void()> fn = std::move(call);
    call = nullptr;
    lk.unlock();
    std::exception_ptr error;
    try {
      fn();
    } catch (...) {
      error = std::current_exception();
    }
    lk.lock();
    call_running = false;
    call_pending = false;
    call_error = error;
    cv.notify_all();
  }

  // Owner thread. REQUIRES: `lk` holds mu.
  void RunCompletion(std::unique_lock<std::mutex>& lk) {
    if (!done_work || !owner) return;
    std::unique_ptr<Work> w = std::move(done_work);
    TFileSearch* o = owner;
    lk.unlock();
    o->FinishSearch(*w);  // may start the next search, or destroy the component
    lk.lock();
  }
};

// The worker of a threaded search. It owns the search's working state and
// frees itself when the walk is over; the owner waits for it on destruction.
class TFileSearch::TSearchThread {
 public:
  TSearchThread(TFileSearch& owner, std::shared_ptr<Shared> shared, std::unique_ptr<Work> work,
                TEventPoster post)
      : owner_(owner), shared_(std::move(shared)), work_(std::move(work)), post_(std::move(post)) {
    work_->thread = this;
  }
  TSearchThread(const TSearchThread&) = delete;
  TSearchThread& operator=(const TSearchThread&) = delete;

  Work& work() { return *work_; }

  void Execute() {
    tls_worker = shared_.get();
    const pid_t tid = ::gettid();
    {
      std::lock_guard lk(shared_->mu);
      shared_->tid = tid;
      if (shared_->priority != TThreadPriority::tpNormal) {
        ApplyPriority(tid, shared_->priority, shared_->base_nice);
      }
    }
    owner_.RunList(*work_);
    {
      std::lock_guard lk(shared_->mu);
      if (shared_->tid == tid) shared_->tid = 0;
    }
    if (post_) {
      bool queued = false;
      {
        std::lock_guard lk(shared_->mu);
        if (shared_->owner) {
          shared_->done_work = std::move(work_);
          queued = true;
          shared_->cv.notify_all();  // WaitFor may run the completion itself
        }
      }
      if (queued) {
        try {
          post_([sh = shared_] {
            std::unique_lock lk(sh->mu);
            sh->RunCompletion(lk);
          });
        } catch (...) {
          // The completion stays queued here; WaitFor() can still run it.
        }
      }
    } else {
      // The events run here; after this the owner may be gone (an
      // OnComplete handler may destroy it), so only shared_ is touched.
      // A handler's error has no caller to go to on this thread.
      try {
        owner_.FinishSearch(*work_);
      } catch (...) {
      }
    }
    std::lock_guard lk(shared_->mu);
    --shared_->live;
    shared_->cv.notify_all();
  }

  // The hand-offs: the folder and record are kept in the thread's fields
  // while the owner thread runs the event on them.
  bool AskNewFolder(const std::string& folder) {
    folder_ = folder;
    ignore_folder_ = false;
    Synchronize([this] { ignore_folder_ = !owner_.AskNewFolder(folder_); });
    return !ignore_folder_;
  }
  void Found(const std::string& folder, TSearchRec& rec) {
    folder_ = folder;
    rec_ = &rec;
    Synchronize([this] { owner_.NotifyFound(folder_, *rec_); });
    rec_ = nullptr;
  }

  static thread_local Shared* tls_worker;

 private:
  // Runs `fn` on the owner thread and waits until it has returned; rethrows
  // what the handler threw, so it ends the walk as any other error does.
  void Synchronize(std::function<void()> fn) {
    if (!post_) {
      fn();
      return;
    }
    std::unique_lock lk(shared_->mu);
    if (!shared_->owner) return;  // being destroyed: no more events
    shared_->call = std::move(fn);
    const uint64_t seq = ++shared_->call_seq;
    shared_->call_pending = true;
    shared_->call_error = nullptr;
    shared_->cv.notify_all();
    lk.unlock();
    std::exception_ptr post_error;
    try {
      post_([sh = shared_, seq] {
        std::unique_lock lk2(sh->mu);
        if (sh->call_pending && !sh->call_running && sh->call_seq == seq && sh->owner) {
          sh->RunCall(lk2);
        }
      });
    } catch (...) {
      post_error = std::current_exception();
    }
    lk.lock();
    if (post_error && shared_->call_pending && !shared_->call_running) {
      // Nothing will run it (WaitFor has not taken it either): withdraw the
      // event, which refers to this thread's fields, and end the walk with
      // the poster's error.
      shared_->call_pending = false;
      shared_->call = nullptr;
      lk.unlock();
      std::rethrow_exception(post_error);
    }
    // The destructor clears owner and stops waiting for the owner thread,
    // which may be the very thread that is destroying the component.
    shared_->cv.wait(lk, [&] { return !shared_->call_pending || !shared_->owner; });
    if (std::exception_ptr e = std::exchange(shared_->call_error, nullptr)) {
      lk.unlock();
      std::rethrow_exception(e);
    }
  }

  TFileSearch& owner_;
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<Work> work_;
  TEventPoster post_;
  bool ignore_folder_ = false;
  std::string folder_;
  TSearchRec* rec_ = nullptr;
};

thread_local TFileSearch::Shared* TFileSearch::TSearchThread::tls_worker = nullptr;

TFileSearch::TFileSearch() : shared_(std::make_shared<Shared>()) { shared_->owner = this; }

TFileSearch::~TFileSearch() {
  destroying_ = true;
  stop_ = true;
  std::unique_lock lk(shared_->mu);
  shared_->owner = nullptr;
  if (!shared_->call_running) {
    shared_->call_pending = false;
    shared_->call = nullptr;
  }
  shared_->done_work.reset();  // a completion still queued never runs
  shared_->cv.notify_all();
  // A worker that destroys the component from its own OnComplete is still
  // counted, but touches nothing of the component after that handler.
  const int self = TSearchThread::tls_worker == shared_.get() ? 1 : 0;
  shared_->cv.wait(lk, [&] { return shared_->live <= self; });
}

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

TThreadPriority TFileSearch::ThreadPriority() const {
  std::lock_guard lk(shared_->mu);
  return shared_->priority;
}

void TFileSearch::SetThreadPriority(TThreadPriority p) {
  std::lock_guard lk(shared_->mu);
  shared_->priority = p;
  if (shared_->tid != 0) ApplyPriority(shared_->tid, p, shared_->base_nice);
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
  // then skipped. A "?" stands for one character, so it takes a whole
  // UTF-8 sequence of the name.
  size_t i = 0, j = 0;
  const size_t n = fname.size(), m = pname.size();
  while (i < n && j < m) {
    char c = fname[i], q = pname[j];
    if (c == q) {
      ++i;
      ++j;
    } else if (q == '?' && c != '.') {
      i += std::min(SeqLen(static_cast<unsigned char>(c)), n - i);
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
  if (!IncludeFiles.empty()) {
    // The lines are the search list as they stand, in their order.
    for (const auto& line : IncludeFiles) {
      std::string mask = ExtractFileName(line);
      // A line that names only a folder ("/home/me/docs/") means all of it.
      if (mask.empty()) mask = "*.*";
      w.lines.push_back({FullFolder(ExtractFilePath(line)), mask});
    }
    return;
  }
  auto add = [&w](std::string folder, const std::string& mask) {
    // Paths on this platform are case-sensitive: only identical texts are
    // the same folder.
    for (const auto& l : w.lines) {
      if (l.folder == folder) return;
    }
    w.lines.push_back({std::move(folder), mask});
  };
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
  if (busy_.exchange(true)) return;
  aborted_ = false;
  stop_ = false;
  abort_reason_.clear();
  unreadable_.clear();
  auto w = std::make_unique<Work>();
  {
    std::lock_guard lk(shared_->mu);
    w->generation = ++shared_->started;
  }
  try {
    BuildSearchList(*w);
    w->exclude = ExcludeFiles;
    w->attributes = Attributes;
    w->exact = ExactAttribute;
    w->subfolders = Subfolders;
    w->mod_before = ModifiedBefore;
    w->mod_after = ModifiedAfter;
    w->cre_before = CreatedBefore;
    w->cre_after = CreatedAfter;
    w->acc_before = AccessedBefore;
    w->acc_after = AccessedAfter;
    w->size_min = SizeMin;
    w->size_max = SizeMax;
    w->ignore_case = IgnoreCase;
    w->containing = IgnoreCase ? UpperCase(Containing) : Containing;
  } catch (const std::exception& e) {
    // The working folder may be gone; nothing has been walked yet.
    aborted_ = true;
    w->abort_reason = e.what();
    FinishSearch(*w);
    return;
  }
  if (Threaded) {
    RunThreaded(std::move(w));
  } else {
    RunInCaller(std::move(w));
  }
}

void TFileSearch::RunInCaller(std::unique_ptr<Work> w) {
  RunList(*w);
  FinishSearch(*w);
}

void TFileSearch::RunThreaded(std::unique_ptr<Work> w) {
  {
    std::lock_guard lk(shared_->mu);
    shared_->threaded = w->generation;
    shared_->base_nice = CurrentNice();
    ++shared_->live;
  }
  auto t = std::make_unique<TSearchThread>(*this, shared_, std::move(w), PostEvent);
  TSearchThread* raw = t.get();
  try {
    std::thread([raw] {
      std::unique_ptr<TSearchThread> own(raw);
      own->Execute();
    }).detach();
    (void)t.release();  // the thread owns it now
  } catch (const std::system_error& e) {
    {
      std::lock_guard lk(shared_->mu);
      --shared_->live;
      shared_->threaded = 0;
    }
    aborted_ = true;
    t->work().abort_reason = e.what();
    FinishSearch(t->work());
  }
}

void TFileSearch::Abort() { stop_ = true; }

void TFileSearch::WaitFor() {
  if (std::find(tls_raising.begin(), tls_raising.end(), this) != tls_raising.end()) return;
  std::shared_ptr<Shared> sh = shared_;
  std::unique_lock lk(sh->mu);
  const uint64_t generation = sh->started;
  if (sh->threaded != generation) return;
  while (sh->completed < generation && sh->owner) {
    if (sh->call_pending && !sh->call_running) {
      sh->RunCall(lk);
    } else if (sh->done_work) {
      sh->RunCompletion(lk);
    } else {
      sh->cv.wait(lk);
    }
  }
}

void TFileSearch::RunList(Work& w) {
  for (const auto& line : w.lines) {
    try {
      WalkFolder(w, AT_FDCWD, line.folder, line.mask, true);
    } catch (const std::exception& e) {
      // An error ends the search; what was found so far has been reported.
      aborted_ = true;
      w.abort_reason = e.what();
    } catch (...) {
      aborted_ = true;
      w.abort_reason = "Unknown error";
    }
    if (Stopped()) return;
  }
}

void TFileSearch::WalkFolder(Work& w, int parent_fd, const std::string& folder,
                             const std::string& mask, bool top) {
  if (!EnterFolder(w, folder)) return;
  if (Stopped()) return;
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
    w.unreadable.push_back(EventFolder(folder));
    return;
  }
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    w.unreadable.push_back(EventFolder(folder));
    return;
  }
  struct DirCloser {
    DIR* d;
    ~DirCloser() { ::closedir(d); }
  } closer{dir};

  struct stat self;
  if (::fstat(fd, &self) != 0) {
    w.unreadable.push_back(EventFolder(folder));
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
    if (Stopped()) return;
    errno = 0;
    struct dirent* de = ::readdir(dir);
    if (!de) {
      if (errno != 0) w.unreadable.push_back(EventFolder(folder));
      break;
    }
    const char* name = de->d_name;
    if (name[0] == '.') continue;
    if (++w.ticks % kPumpEvery == 0 && Pump && !w.thread) Pump();

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
    Found(w, folder, rec);
  }
  for (const auto& sub : subfolders) {
    if (Stopped()) return;
    WalkFolder(w, fd, folder + sub + "/", mask, false);
  }
}

bool TFileSearch::Filter(Work& w, int dir_fd, const std::string& folder, TSearchRec& rec,
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
    // The birth time costs a second call, so it is read only when asked for.
    struct statx sx;
    if (::statx(dir_fd, rec.Name.c_str(), 0, STATX_BTIME, &sx) == 0 &&
        (sx.stx_mask & STATX_BTIME)) {
      rec.creation_time.tv_sec = sx.stx_btime.tv_sec;
      rec.creation_time.tv_nsec = sx.stx_btime.tv_nsec;
    }
    if (!DateTest(LocalOf(rec.creation_time), w.cre_before, w.cre_after)) return false;
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

void TFileSearch::Found(Work& w, const std::string& folder, TSearchRec& rec) {
  if (w.thread) {
    w.thread->Found(folder, rec);
  } else {
    NotifyFound(folder, rec);
  }
}

bool TFileSearch::EnterFolder(Work& w, const std::string& folder) {
  return w.thread ? w.thread->AskNewFolder(folder) : AskNewFolder(folder);
}

void TFileSearch::NotifyFound(const std::string& folder, TSearchRec& rec) {
  if (!OnFound || destroying_) return;
  EventScope scope(this);
  OnFound(*this, EventFolder(folder), rec);
}

bool TFileSearch::AskNewFolder(const std::string& folder) {
  bool ignore = false;
  if (OnNewFolder && !destroying_) {
    EventScope scope(this);
    OnNewFolder(*this, EventFolder(folder), ignore);
  }
  return !ignore;
}

void TFileSearch::FinishSearch(Work& w) {
  // The search counts as completed once OnComplete has returned, or thrown,
  // so WaitFor() never waits for a completion that is over.
  struct MarkCompleted {
    std::shared_ptr<Shared> sh;
    uint64_t generation;
    ~MarkCompleted() {
      std::lock_guard lk(sh->mu);
      sh->completed = std::max(sh->completed, generation);
      sh->cv.notify_all();
    }
  } mark{shared_, w.generation};
  if (stop_) aborted_ = true;
  abort_reason_ = std::move(w.abort_reason);
  unreadable_ = std::move(w.unreadable);
  NotifyComplete();  // may start the next search, or destroy the component
}

void TFileSearch::NotifyComplete() {
  busy_ = false;
  if (!OnComplete || destroying_) return;
  // A copy, so a handler that destroys the component does not destroy the
  // function that is running.
  TNotifyEvent handler = OnComplete;
  EventScope scope(this);
  handler(*this);
}

}  // namespace zb::file_search
