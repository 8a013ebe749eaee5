#include "app/activity_log.h"

#include <algorithm>
#include <optional>
#include <string>

#include "base/date_time.h"
#include "base/errors.h"
#include "ini/ini_file.h"

namespace zb::app {
namespace {

constexpr std::string_view kCommon = "Common";
constexpr std::string_view kTotalKey = "Log Total";
constexpr std::string_view kKeys[5] = {"Date", "Operate", "Status", "Project", "Information"};

std::string LogSection(int n) { return "Log" + std::to_string(n); }

LogEntry ReadEntry(const ini::IniFile& file, int n) {
  const std::string sec = LogSection(n);
  LogEntry e;
  std::string* fields[5] = {&e.date, &e.operation, &e.status, &e.project, &e.information};
  for (int i = 0; i < 5; ++i) *fields[i] = file.ReadString(sec, kKeys[i], "");
  return e;
}

// A line break inside a value would end it and turn the rest into a line of
// its own; run reports use them, so they become blanks here.
std::string OneLine(std::string_view text) {
  std::string s(text);
  std::replace_if(
      s.begin(), s.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; }, ' ');
  return s;
}

void WriteEntry(ini::IniFile& file, int n, const LogEntry& e) {
  const std::string sec = LogSection(n);
  const std::string* fields[5] = {&e.date, &e.operation, &e.status, &e.project, &e.information};
  for (int i = 0; i < 5; ++i) file.WriteString(sec, kKeys[i], OneLine(*fields[i]));
}

}  // namespace

int ClampLogCount(int log_count) { return std::clamp(log_count, kMinLogRows, kMaxLogRows); }

ActivityLog::ActivityLog(std::filesystem::path file, int log_count, Clock clock)
    : file_(std::move(file)), log_count_(log_count), clock_(std::move(clock)) {
  if (!clock_) clock_ = [] { return FormatDateTime(Now()); };
  rows_.resize(static_cast<size_t>(RowCount()));
}

void ActivityLog::SetLogCount(int log_count) {
  log_count_ = log_count;
  rows_.resize(static_cast<size_t>(RowCount()));
}

void ActivityLog::Load() {
  // A file that cannot be read shows as an empty log; only a write may fail
  // loudly, and Add reads the file again before it writes.
  std::optional<ini::IniFile> file;
  try {
    file.emplace(file_);
  } catch (const Error&) {
    file.emplace(ini::IniFile::FromText(""));
  }
  const ini::IniFile& doc = *file;
  // A negative total from a hand-edited file means no entries.
  int total = std::max(0, doc.ReadInteger(kCommon, kTotalKey, 0));
  const int limit = RowCount();
  if (limit < total) total = limit - 1;
  std::vector<LogEntry> rows(static_cast<size_t>(limit));
  for (int k = total; k >= 1; --k) rows[static_cast<size_t>(total - k)] = ReadEntry(doc, k);
  total_ = total;
  rows_ = std::move(rows);
}

void ActivityLog::Add(std::string_view operation, std::string_view status, std::string_view project,
                      std::string_view information) {
  ini::IniFile doc(file_);
  const int n = total_ + 1;
  const LogEntry entry{OneLine(clock_()), OneLine(operation), OneLine(status), OneLine(project),
                       OneLine(information)};
  doc.WriteInteger(kCommon, kTotalKey, n);
  WriteEntry(doc, n, entry);

  std::vector<LogEntry> rows = rows_;
  rows.insert(rows.begin(), entry);
  rows.resize(static_cast<size_t>(RowCount()));
  int total = n;
  if (n >= RowCount()) {
    // Cut back to the newest entries, renumbered from [Log1] for the oldest
    // of them, so the numbering stays in the order the entries were added.
    total = kLogKeptOnTrim;
    doc.WriteInteger(kCommon, kTotalKey, total);
    for (int row = 1; row <= kLogKeptOnTrim; ++row)
      WriteEntry(doc, kLogKeptOnTrim + 1 - row, rows[static_cast<size_t>(row - 1)]);
    for (size_t i = kLogKeptOnTrim; i < rows.size(); ++i) rows[i] = LogEntry{};
  }
  doc.Save();
  total_ = total;
  rows_ = std::move(rows);
}

void ActivityLog::Clear() {
  ini::IniFile doc(file_);
  doc.WriteInteger(kCommon, kTotalKey, 0);
  doc.Save();
  total_ = 0;
  for (auto& r : rows_) r = LogEntry{};
}

}  // namespace zb::app
