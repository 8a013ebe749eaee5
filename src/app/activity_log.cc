#include "app/activity_log.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <unordered_map>

#include "base/date_time.h"
#include "base/errors.h"
#include "platform/atomic_file.h"

namespace zb::app {
namespace {

constexpr std::string_view kCommon = "Common";
constexpr std::string_view kTotalKey = "Log Total";
constexpr std::string_view kKeys[5] = {"Date", "Operate", "Status", "Project", "Information"};
// Longest value a profile-string read returns.
constexpr size_t kMaxValue = 2047;

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// log.txt held in memory as its lines, so an update keeps everything it does
// not touch (other sections, comments, unknown keys) byte for byte. Lookups
// follow the profile-string rules: names without regard to case, the first
// section and key of a name win, values lose surrounding blanks and one pair
// of enclosing quotes.
class LogDocument {
 public:
  explicit LogDocument(std::string_view text) {
    crlf_ = text.find("\r\n") != std::string_view::npos;
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find('\n', pos);
      if (end == std::string_view::npos) end = text.size();
      std::string_view line = text.substr(pos, end - pos);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      lines_.emplace_back(line);
      pos = end + 1;
    }
    Index();
  }

  [[nodiscard]] std::optional<std::string> Get(std::string_view section,
                                               std::string_view key) const {
    const auto sec = sections_.find(Lower(section));
    if (sec == sections_.end()) return std::nullopt;
    const std::string lkey = Lower(key);
    for (size_t i = sec->second.first + 1; i < sec->second.second; ++i) {
      std::string_view k, v;
      if (!SplitKey(lines_[i], k, v) || Lower(k) != lkey) continue;
      v = Trim(v);
      if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
      return std::string(v.substr(0, kMaxValue));
    }
    return std::nullopt;
  }

  void Set(std::string_view section, std::string_view key, std::string_view value) {
    // A line break inside a value would end it and turn the rest into a
    // line of its own; a blank keeps the text readable instead.
    std::string clean(value);
    std::replace_if(
        clean.begin(), clean.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    const std::string line = std::string(key) + "=" + clean;
    const auto sec = sections_.find(Lower(section));
    if (sec == sections_.end()) {
      if (!lines_.empty() && !Trim(lines_.back()).empty()) lines_.emplace_back();
      lines_.push_back("[" + std::string(section) + "]");
      lines_.push_back(line);
      sections_.emplace(Lower(section), std::pair(lines_.size() - 2, lines_.size()));
      return;
    }
    const std::string lkey = Lower(key);
    size_t insert_at = sec->second.first + 1;
    for (size_t i = sec->second.first + 1; i < sec->second.second; ++i) {
      std::string_view k, v;
      if (!SplitKey(lines_[i], k, v)) continue;
      if (Lower(k) == lkey) {
        lines_[i] = line;
        return;
      }
      insert_at = i + 1;
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insert_at), line);
    Index();
  }

  [[nodiscard]] std::string Text() const {
    std::string out;
    const char* eol = crlf_ ? "\r\n" : "\n";
    for (const auto& l : lines_) out.append(l).append(eol);
    return out;
  }

 private:
  static bool SplitKey(std::string_view line, std::string_view& key, std::string_view& value) {
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    key = Trim(line.substr(0, eq));
    value = line.substr(eq + 1);
    return !key.empty() && key.front() != ';' && key.front() != '[';
  }

  // Maps each section name to its header line and the line after its last.
  void Index() {
    sections_.clear();
    std::string current;
    size_t start = 0;
    bool open = false;
    for (size_t i = 0; i < lines_.size(); ++i) {
      const std::string_view t = Trim(lines_[i]);
      if (t.size() >= 2 && t.front() == '[' && t.find(']') != std::string_view::npos) {
        if (open) sections_.emplace(current, std::pair(start, i));
        current = Lower(Trim(t.substr(1, t.find(']') - 1)));
        start = i;
        open = true;
      }
    }
    if (open) sections_.emplace(current, std::pair(start, lines_.size()));
  }

  std::vector<std::string> lines_;
  // emplace keeps the first section of a name, as profile reads do.
  std::unordered_map<std::string, std::pair<size_t, size_t>> sections_;
  bool crlf_ = false;
};

std::string LogSection(int n) { return "Log" + std::to_string(n); }

// An integer the way profile reads take it: optional sign and digits, the
// default for anything else or for a value out of range.
int ReadInt(const LogDocument& doc, std::string_view section, std::string_view key, int def) {
  const auto v = doc.Get(section, key);
  if (!v || v->empty()) return def;
  const char* first = v->data();
  const char* last = v->data() + v->size();
  if (*first == '+') ++first;
  int out = 0;
  const auto [ptr, ec] = std::from_chars(first, last, out);
  if (ec != std::errc() || ptr == first) return def;
  return out;
}

LogEntry ReadEntry(const LogDocument& doc, int n) {
  const std::string sec = LogSection(n);
  LogEntry e;
  std::string* fields[5] = {&e.date, &e.operation, &e.status, &e.project, &e.information};
  for (int i = 0; i < 5; ++i) *fields[i] = doc.Get(sec, kKeys[i]).value_or("");
  return e;
}

void WriteEntry(LogDocument& doc, int n, const LogEntry& e) {
  const std::string sec = LogSection(n);
  const std::string* fields[5] = {&e.date, &e.operation, &e.status, &e.project, &e.information};
  for (int i = 0; i < 5; ++i) doc.Set(sec, kKeys[i], *fields[i]);
}

// The stored text, or "" when there is no file yet.
std::string ReadLogText(const std::filesystem::path& path) {
  return ReadFileIfExists(path).value_or(std::string());
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
  // loudly, and Add reads again before it writes.
  std::string text;
  try {
    text = ReadLogText(file_);
  } catch (const Error&) {
  }
  const LogDocument doc(text);
  // A negative total from a hand-edited file means no entries.
  int total = std::max(0, ReadInt(doc, kCommon, kTotalKey, 0));
  const int limit = RowCount();
  if (limit < total) total = limit - 1;
  std::vector<LogEntry> rows(static_cast<size_t>(limit));
  for (int k = total; k >= 1; --k) rows[static_cast<size_t>(total - k)] = ReadEntry(doc, k);
  total_ = total;
  rows_ = std::move(rows);
}

void ActivityLog::Add(std::string_view operation, std::string_view status, std::string_view project,
                      std::string_view information) {
  LogDocument doc(ReadLogText(file_));
  const int n = total_ + 1;
  LogEntry entry{clock_(), std::string(operation), std::string(status), std::string(project),
                 std::string(information)};
  doc.Set(kCommon, kTotalKey, std::to_string(n));
  WriteEntry(doc, n, entry);

  std::vector<LogEntry> rows = rows_;
  rows.insert(rows.begin(), entry);
  rows.resize(static_cast<size_t>(RowCount()));
  int total = n;
  if (n >= RowCount()) {
    // Cut back to the newest entries, renumbered from [Log1] for the oldest
    // of them, so the numbering stays in the order the entries were added.
    total = kLogKeptOnTrim;
    doc.Set(kCommon, kTotalKey, std::to_string(total));
    for (int row = 1; row <= kLogKeptOnTrim; ++row)
      WriteEntry(doc, kLogKeptOnTrim + 1 - row, rows[static_cast<size_t>(row - 1)]);
    for (size_t i = kLogKeptOnTrim; i < rows.size(); ++i) rows[i] = LogEntry{};
  }
  WriteFileAtomically(file_, doc.Text());
  total_ = total;
  rows_ = std::move(rows);
}

void ActivityLog::Clear() {
  LogDocument doc(ReadLogText(file_));
  doc.Set(kCommon, kTotalKey, "0");
  WriteFileAtomically(file_, doc.Text());
  total_ = 0;
  for (auto& r : rows_) r = LogEntry{};
}

}  // namespace zb::app
