#pragma once

// TFileSearch: walks one or more folders (optionally with their subfolders)
// and reports every entry that matches a file mask and a chain of filters.
// The walk runs on the calling thread inside StartSearch(); each hit is
// handed to OnFound the moment it is found, nothing is collected or sorted.
//
// Each folder is read once: the mask, the filters and the list of subfolders
// all come from that one read, and an entry is stat'ed only when it matches
// the mask (its size and times are needed) or when the directory read could
// not say whether it is a folder.

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "base/date_time.h"
#include "base/errors.h"

namespace zb::sync {

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

  TFileSearch() = default;
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
  // and a mask in one ("/home/me/docs/*.txt").
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
  // Kept for callers that set them; the core walk always runs on the calling
  // thread (a threaded walk needs the user interface's event loop).
  bool Threaded = false;
  [[nodiscard]] TThreadPriority ThreadPriority() const { return priority_; }
  void SetThreadPriority(TThreadPriority p) { priority_ = p; }

  TFoundEvent OnFound;
  TNewFolderEvent OnNewFolder;
  TNotifyEvent OnComplete;
  // Called every few hundred entries so a user interface stays alive.
  std::function<void()> Pump;

  // --- Operations -------------------------------------------------------------

  // Runs a whole search and returns after OnComplete has fired. Does nothing
  // when a search is already running (for example from inside OnFound).
  void StartSearch();
  [[nodiscard]] bool Busy() const { return busy_; }

  // The outcome of the last search: whether an error ended it early, and the
  // folders (full paths, no trailing separator) that could not be read.
  // Events stay as they are; callers that must not act on a partial scan
  // check these after StartSearch().
  [[nodiscard]] bool Aborted() const { return aborted_; }
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
  void BuildSearchList(Work& w) const;
  void RunList(Work& w);
  void WalkFolder(Work& w, int parent_fd, const std::string& folder, const std::string& mask,
                  bool top);
  [[nodiscard]] bool Filter(Work& w, int dir_fd, const std::string& folder, const TSearchRec& rec,
                            bool is_dir);
  [[nodiscard]] bool ContentTest(Work& w, int dir_fd, const std::string& folder,
                                 const std::string& name);
  void NotifyFound(const std::string& folder, TSearchRec& rec);
  [[nodiscard]] bool AskNewFolder(const std::string& folder);
  void NotifyComplete();

  std::string filename_ = "*.*";
  std::string location_;
  bool location_is_one_folder_ = false;
  TThreadPriority priority_ = TThreadPriority::tpNormal;
  bool busy_ = false;
  bool aborted_ = false;
  bool destroying_ = false;
  std::string abort_reason_;
  std::vector<std::string> unreadable_;
};

}  // namespace zb::sync
