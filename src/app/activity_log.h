#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zb::app {

// One entry of the activity log, as stored in log.txt and shown in a row.
struct LogEntry {
  std::string date;
  std::string operation;
  std::string status;
  std::string project;
  std::string information;

  [[nodiscard]] bool Empty() const {
    return date.empty() && operation.empty() && status.empty() && project.empty() &&
           information.empty();
  }
  friend bool operator==(const LogEntry&, const LogEntry&) = default;
};

// The bounds applied to the stored "Log Count" for the rows and the trim: a
// hand-edited 0, negative or enormous value must neither index past the rows
// nor allocate without limit. The stored value itself is left as it is.
inline constexpr int kMinLogRows = 5;
inline constexpr int kMaxLogRows = 100000;
// The number of entries kept when the log is cut back.
inline constexpr int kLogKeptOnTrim = 5;
[[nodiscard]] int ClampLogCount(int log_count);

// The activity log: the file log.txt ([Common] "Log Total", sections [Log1],
// [Log2] ... with Date, Operate, Status, Project, Information) and the rows
// the Log page shows, newest first. Each operation reads the file once and
// writes it once, through a temporary file and a rename, so a crash leaves
// either the old or the new log, never an empty one.
class ActivityLog final {
 public:
  // Gives the date text of a new entry; the default is the current local
  // date and time in the process-wide form.
  using Clock = std::function<std::string()>;

  explicit ActivityLog(std::filesystem::path file, int log_count = 50, Clock clock = {});

  // Sets the limit (the stored "Log Count"); the rows grow or shrink at once,
  // keeping the newest.
  void SetLogCount(int log_count);
  [[nodiscard]] int LogCount() const { return log_count_; }
  // The number of rows shown: the limit clamped to kMinLogRows..kMaxLogRows.
  [[nodiscard]] int RowCount() const { return ClampLogCount(log_count_); }

  // Fills the rows from the file. A missing or damaged file reads as an
  // empty log; a total beyond the limit is cut to limit - 1 so the next
  // addition trims. Throws nothing for bad content.
  void Load();
  // Appends one entry; when the count reaches the limit the log is cut to
  // its five newest entries, renumbered [Log1] (oldest) to [Log5].
  // Throws zb::EWriteError ("Unable to write to <path>") when the file cannot
  // be written, zb::EOSError when it exists but cannot be read (it is never
  // overwritten blind); the rows, the total and the file then stay as they
  // were.
  void Add(std::string_view operation, std::string_view status, std::string_view project,
           std::string_view information);
  // Sets the stored total to 0 and empties the rows; the entry sections stay
  // in the file unread. Throws zb::EWriteError.
  void Clear();

  // The current entry count.
  [[nodiscard]] int Total() const { return total_; }
  // RowCount() rows, row 0 the newest; rows past the entries are empty.
  [[nodiscard]] const std::vector<LogEntry>& Rows() const { return rows_; }
  [[nodiscard]] const std::filesystem::path& File() const { return file_; }

 private:
  std::filesystem::path file_;
  int log_count_;
  Clock clock_;
  int total_ = 0;
  std::vector<LogEntry> rows_;
};

}  // namespace zb::app
