#pragma once

// TFileSearch: walks one or more folders (optionally with their subfolders)
// and reports every entry that matches a file mask and a chain of filters.
// Each hit is handed to OnFound the moment it is found; nothing is collected
// or sorted.
//
// Each folder is read once: the mask, the filters and the list of subfolders
// all come from that one read, and an entry is stat'ed only when it matches
// the mask (its size and times are needed) or when the directory read could
// not say whether it is a folder. Below the named folders, links to folders
// are not entered, so a walk never leaves the tree it was given and never
// loops.
//
// Threading. By default the walk runs on the calling thread inside
// StartSearch(). With Threaded set, StartSearch() starts a worker thread and
// returns at once; the worker reads the folders and applies the filters.
// Where the events run is chosen by PostEvent:
//  - PostEvent set: every OnNewFolder and OnFound is handed to the owner
//    thread (the thread that calls StartSearch and destroys the component)
//    and the worker waits until the handler has returned; OnComplete is
//    handed over the same way after the walk. PostEvent must queue the
//    function it is given to run later on the owner thread (a GUI posts it
//    to its event loop); WaitFor() also runs queued events itself.
//  - PostEvent empty: the events run on the worker thread; handlers must
//    then guard whatever they share with other threads.
// Abort() may be called from any thread. Destroying the component stops a
// running walk, waits for the worker to end and fires no further event; an
// OnComplete handler may destroy it, OnFound and OnNewFolder must not. The
// filters are copied at StartSearch, but the events are read while the
// walk runs: leave them alone until OnComplete.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/date_time.h"
#include "base/errors.h"

namespace zb::file_search {

// Bits 0..4 of a TFileAttributes set, in this order.
enum class TFileAttribute : uint8_t { ffArchive, ffReadonly, ffHidden, ffSystem, ffDirectory };

class TFileAttributes {
 public:
  constexpr TFileAttributes() = default;
  constexpr TFileAttributes(std::initializer_list<TFileAttribute> members) {
    for (auto m : members) bits_ |= Bit(m);
  }
  [[nodiscard]] constexpr bool Has(TFileAttribute a) const { return (bits_ & Bit(a)) != 0; }
  constexpr void Add(TFileAttribute a) { bits_ |= Bit(a); }
  constexpr void Remove(TFileAttribute a) { bits_ &= static_cast<uint8_t>(~Bit(a)); }
  [[nodiscard]] constexpr bool Empty() const { return bits_ == 0; }
  [[nodiscard]] constexpr bool Intersects(TFileAttributes o) const {
    return (bits_ & o.bits_) != 0;
  }
  [[nodiscard]] constexpr uint8_t Bits() const { return bits_; }
  constexpr bool operator==(const TFileAttributes&) const = default;

 private:
  static constexpr uint8_t Bit(TFileAttribute a) {
    return static_cast<uint8_t>(1u << static_cast<unsigned>(a));
  }
  uint8_t bits_ = 0;
};

enum class TThreadPriority {
  tpIdle,
  tpLowest,
  tpLower,
  tpNormal,
  tpHigher,
  tpHighest,
  tpTimeCritical
};

// The information record of one entry.
struct TSearchRec {
  std::string Name;  // without a path
  int32_t Size = 0;  // low 32 bits of the size (signed), as older consumers read it
  uint64_t FullSize = 0;
  uint32_t Attr = 0;  // DOS attribute bits (platform/file_system.h kAttr...)
  uint32_t Time = 0;  // last-write time, local, packed DOS date (high) and time (low)
  // Raw times (UTC). creation_time is the birth time where the file system
  // keeps one and is read only when a creation-time limit is set; otherwise
  // it is the last status change.
  timespec creation_time{};
  timespec last_access_time{};
  timespec last_write_time{};
  dev_t dev = 0;
  ino_t ino = 0;
};

using zb::EFileSearchError;

class TFileSearch final {
 public:
  using TFoundEvent =
      std::function<void(TFileSearch& sender, const std::string& folder, TSearchRec& file_info)>;
  using TNewFolderEvent =
      std::function<void(TFileSearch& sender, const std::string& folder, bool& ignore_folder)>;
  using TNotifyEvent = std::function<void(TFileSearch& sender)>;

  TFileSearch();
  ~TFileSearch();
  TFileSearch(const TFileSearch&) = delete;
  TFileSearch& operator=(const TFileSearch&) = delete;

  // --- Properties -------------------------------------------------------------

  // A bare mask; a value with a folder part throws EFileSearchError
  // "<value>\n\rInvalid filename specified" and keeps the old value.
  [[nodiscard]] const std::string& Filename() const { return filename_; }
  void SetFilename(const std::string& value);

  // Folders separated by ";". A value holding "*" or "?" throws
  // EFileSearchError "<value>\n\rlocation cannot to be contained wildcards".
  [[nodiscard]] const std::string& Location() const { return location_; }
  void SetLocation(const std::string& value);
  // Takes `folder` as exactly one folder: never split at ";", and "*" or "?"
  // are accepted as the ordinary characters they are in a folder name.
  // Setting Location afterwards returns to the list form.
  void SetLocationFolder(const std::string& folder);
  [[nodiscard]] bool LocationIsOneFolder() const { return location_is_one_folder_; }

  // When not empty, replaces Location and Filename: each line is a folder
  // and a mask in one ("/home/me/docs/*.txt"), searched in the lines' order;
  // a line ending in a separator searches all of that folder.
  std::vector<std::string> IncludeFiles;
  // Exclusion patterns matched against folder + name (see ExclusionMatch).
  std::vector<std::string> ExcludeFiles;
  void SetIncludeFiles(const std::vector<std::string>* lines) {
    if (lines)
      IncludeFiles = *lines;
    else
      IncludeFiles.clear();
  }
  void SetExcludeFiles(const std::vector<std::string>* lines) {
    if (lines)
      ExcludeFiles = *lines;
    else
      ExcludeFiles.clear();
  }

  bool Subfolders = true;
  TFileAttributes Attributes{TFileAttribute::ffArchive, TFileAttribute::ffReadonly,
                             TFileAttribute::ffHidden, TFileAttribute::ffSystem};
  bool ExactAttribute = false;
  // Date limits (local date-times); 0 is no limit. A whole number is a date
  // only, a value below 1 a time of day only. Both limits are inclusive.
  DateTime ModifiedBefore = 0, ModifiedAfter = 0;
  DateTime CreatedBefore = 0, CreatedAfter = 0;
  DateTime AccessedBefore = 0, AccessedAfter = 0;
  // Size limits in bytes for entries that are not folders; 0 is no limit.
  int32_t SizeMin = 0, SizeMax = 0;
  // Text a file must contain; empty is no content test.
  std::string Containing;
  bool IgnoreCase = true;
  // Run the walk on a worker thread (see the threading notes at the top).
  bool Threaded = false;
  // The worker's priority, as a nice value relative to the thread that
  // started the search (tpIdle +19 ... tpNormal 0 ... tpTimeCritical -20).
  // Setting it while a worker runs changes that worker at once. Raising a
  // priority above the starter's needs privileges; without them the worker
  // keeps the priority it has.
  [[nodiscard]] TThreadPriority ThreadPriority() const;
  void SetThreadPriority(TThreadPriority p);

  TFoundEvent OnFound;
  TNewFolderEvent OnNewFolder;
  TNotifyEvent OnComplete;
  // Called every few hundred entries of a walk on the calling thread so a
  // user interface stays alive. Never called by a worker thread.
  std::function<void()> Pump;
  // Threaded searches only: queues `event` to run later on the owner thread.
  // Copied at StartSearch; it may be called from the worker thread.
  using TEventPoster = std::function<void(std::function<void()> event)>;
  TEventPoster PostEvent;

  // --- Operations -------------------------------------------------------------

  // Starts a search. On the calling thread it returns after OnComplete has
  // fired; with Threaded it returns once the worker has started. Does nothing
  // while a search is busy (for example when called from inside OnFound).
  void StartSearch();
  [[nodiscard]] bool Busy() const { return busy_.load(); }
  // Asks a running search to stop; it ends after the entry in hand and
  // OnComplete still fires. Safe from any thread and from the events.
  void Abort();
  // Owner thread only: returns when the threaded search running at the call
  // has completed (OnComplete has returned), running the events that wait
  // for the owner thread. Returns at once when no threaded search is
  // running, and when called from inside this component's events.
  void WaitFor();

  // The outcome of the last completed search: whether it ended early (an
  // error, or Abort), the error's text (empty after Abort), and the folders
  // (full paths, no trailing separator) that could not be read. Events stay
  // as they are; callers that must not act on a partial scan check these
  // once OnComplete has fired.
  [[nodiscard]] bool Aborted() const { return aborted_.load(); }
  [[nodiscard]] const std::string& AbortReason() const { return abort_reason_; }
  [[nodiscard]] const std::vector<std::string>& UnreadableFolders() const { return unreadable_; }

  // --- The matching rules, exposed for callers and tests ----------------------

  // The exclusion match of a full name (folder + name) against a pattern.
  [[nodiscard]] static bool ExclusionMatch(std::string_view full_name, std::string_view pattern);
  // The folder-enumeration mask: "*" any run, "?" one character, case
  // ignored; "*.*" matches every name, and "x.*" also matches "x".
  [[nodiscard]] static bool MaskMatch(std::string_view name, std::string_view mask);
  // The date test of local time `t` against the two limits.
  [[nodiscard]] static bool DateTest(DateTime t, DateTime before, DateTime after);
  // The attribute set of DOS attribute bits.
  [[nodiscard]] static TFileAttributes AttributeSet(uint32_t dos_attr);

 private:
  struct Work;
  struct Shared;
  class TSearchThread;
  void BuildSearchList(Work& w) const;
  void RunInCaller(std::unique_ptr<Work> w);
  void RunThreaded(std::unique_ptr<Work> w);
  void RunList(Work& w);
  void WalkFolder(Work& w, int parent_fd, const std::string& folder, const std::string& mask,
                  bool top);
  [[nodiscard]] bool Filter(Work& w, int dir_fd, const std::string& folder, TSearchRec& rec,
                            bool is_dir);
  [[nodiscard]] bool ContentTest(Work& w, int dir_fd, const std::string& folder,
                                 const std::string& name);
  // An error or an Abort() ends the walk at the next check.
  [[nodiscard]] bool Stopped() const { return aborted_.load() || stop_.load(); }
  // Raise the events from the walk, through the worker's hand-off when
  // there is one.
  void Found(Work& w, const std::string& folder, TSearchRec& rec);
  [[nodiscard]] bool EnterFolder(Work& w, const std::string& folder);
  void NotifyFound(const std::string& folder, TSearchRec& rec);
  [[nodiscard]] bool AskNewFolder(const std::string& folder);
  // Publishes the outcome of `w`, then NotifyComplete.
  void FinishSearch(Work& w);
  void NotifyComplete();

  std::string filename_ = "*.*";
  std::string location_;
  bool location_is_one_folder_ = false;
  std::atomic<bool> busy_{false};
  std::atomic<bool> aborted_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> destroying_{false};
  std::string abort_reason_;
  std::vector<std::string> unreadable_;
  // Worker bookkeeping shared with the worker threads and with events
  // still queued on the owner thread; outlives the component if need be.
  std::shared_ptr<Shared> shared_;
};

}  // namespace zb::file_search
