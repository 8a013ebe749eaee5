#include "base/date_time.h"

#include <cmath>
#include <cstdio>

namespace zb {
namespace {

constexpr int64_t kMsPerDay = 86'400'000;

// Days from 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// days_from_civil): exact over the whole range without tables.
constexpr int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Civil {
  int64_t year;
  int month, day;
};

constexpr Civil CivilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

// The day value of 1899-12-30, the zero of DateTime.
constexpr int64_t kEpochShift = DaysFromCivil(1899, 12, 30);

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Splits a value into whole days and milliseconds of the day. Rounding to
// the millisecond first keeps 0.5 from decoding as 11:59:59.999.
void Split(DateTime dt, int64_t& days, int64_t& ms) {
  // Values from damaged files can be anything; keep them within the years
  // 1..9999 so the arithmetic below stays defined.
  constexpr double kMin = -693593.0;      // 0001-01-01
  constexpr double kMax = 2958465.99999;  // 9999-12-31 23:59:59
  if (!(dt >= kMin)) dt = std::isnan(dt) ? 0.0 : kMin;
  if (dt > kMax) dt = kMax;
  const int64_t total = std::llround(dt * static_cast<double>(kMsPerDay));
  days = total / kMsPerDay;
  ms = total % kMsPerDay;
  if (ms < 0) {
    ms += kMsPerDay;
    --days;
  }
}

std::string Pad(int64_t v, int width) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%0*lld", width, static_cast<long long>(v));
  return buf;
}

// A small cursor for the text forms: digits and single separators.
class Scanner {
 public:
  explicit Scanner(std::string_view s) : s_(s) {}
  void SkipBlanks() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t')) ++pos_;
  }
  bool Number(int max_digits, int& out) {
    size_t start = pos_;
    int64_t v = 0;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9' &&
           pos_ - start < static_cast<size_t>(max_digits)) {
      v = v * 10 + (s_[pos_] - '0');
      ++pos_;
    }
    if (pos_ == start) return false;
    // More digits than the field allows is not a valid form.
    if (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') return false;
    out = static_cast<int>(v);
    return true;
  }
  bool Char(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool AtEnd() const { return pos_ >= s_.size(); }
  size_t Pos() const { return pos_; }

 private:
  std::string_view s_;
  size_t pos_ = 0;
};

bool ScanDate(Scanner& sc, int& y, int& m, int& d) {
  return sc.Number(4, y) && sc.Char('-') && sc.Number(2, m) && sc.Char('-') && sc.Number(2, d);
}

bool ScanTime(Scanner& sc, int& h, int& n, int& s, int& ms) {
  s = 0;
  ms = 0;
  if (!sc.Number(2, h) || !sc.Char(':') || !sc.Number(2, n)) return false;
  if (sc.Char(':')) {
    if (!sc.Number(2, s)) return false;
    if (sc.Char('.') && !sc.Number(3, ms)) return false;
  }
  return true;
}

}  // namespace

DateTime Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return FromTimeT(ts.tv_sec, ts.tv_nsec);
}

DateTime FromTimeT(std::time_t t, long nsec) {
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) return 0;
  const int64_t days = DaysFromCivil(tm.tm_year + 1900LL, tm.tm_mon + 1, tm.tm_mday) - kEpochShift;
  // A leap second (tm_sec 60) folds into the last second of the minute.
  const int sec = tm.tm_sec > 59 ? 59 : tm.tm_sec;
  const int64_t ms = (tm.tm_hour * 3600LL + tm.tm_min * 60LL + sec) * 1000 + nsec / 1'000'000;
  return static_cast<double>(days) + static_cast<double>(ms) / kMsPerDay;
}

std::time_t ToTimeT(DateTime dt) {
  const DateTimeFields f = DecodeDateTime(dt);
  std::tm tm{};
  tm.tm_year = f.year - 1900;
  tm.tm_mon = f.month - 1;
  tm.tm_mday = f.day;
  tm.tm_hour = f.hour;
  tm.tm_min = f.minute;
  tm.tm_sec = f.second;
  // Let the C library decide whether daylight saving applies at that moment;
  // a fixed offset would be an hour off for half of the year.
  tm.tm_isdst = -1;
  return mktime(&tm);
}

std::optional<DateTime> EncodeDateTime(int year, int month, int day, int hour, int minute,
                                       int second, int msec) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 59 || msec < 0 || msec > 999) {
    return std::nullopt;
  }
  const int64_t days = DaysFromCivil(year, month, day) - kEpochShift;
  const int64_t ms = ((hour * 60LL + minute) * 60 + second) * 1000 + msec;
  return static_cast<double>(days) + static_cast<double>(ms) / kMsPerDay;
}

DateTimeFields DecodeDateTime(DateTime dt) {
  int64_t days, ms;
  Split(dt, days, ms);
  const Civil c = CivilFromDays(days + kEpochShift);
  DateTimeFields f{};
  f.year = static_cast<int>(c.year);
  f.month = c.month;
  f.day = c.day;
  f.hour = static_cast<int>(ms / 3'600'000);
  f.minute = static_cast<int>(ms / 60'000 % 60);
  f.second = static_cast<int>(ms / 1000 % 60);
  f.msec = static_cast<int>(ms % 1000);
  // 1899-12-30 was a Saturday (7); Sunday is 1.
  int64_t dow = (days + 6) % 7;
  if (dow < 0) dow += 7;
  f.day_of_week = static_cast<int>(dow) + 1;
  return f;
}

uint32_t DateTimeToDos(DateTime dt) {
  static const DateTime kFirst = *EncodeDateTime(1980, 1, 1);
  static const DateTime kLast = *EncodeDateTime(2107, 12, 31, 23, 59, 58);
  // Clamping (rather than wrapping the 7-bit year) keeps a 1970 file from
  // being stamped as a 2098 one.
  if (!(dt >= kFirst)) return (0u << 25) | (1u << 21) | (1u << 16);  // NaN lands here too
  if (dt > kLast) dt = kLast;
  const DateTimeFields f = DecodeDateTime(dt);
  const uint32_t date = (static_cast<uint32_t>(f.year - 1980) << 9) |
                        (static_cast<uint32_t>(f.month) << 5) | static_cast<uint32_t>(f.day);
  const uint32_t time = (static_cast<uint32_t>(f.hour) << 11) |
                        (static_cast<uint32_t>(f.minute) << 5) |
                        static_cast<uint32_t>(f.second / 2);
  return (date << 16) | time;
}

uint32_t TimeTToDos(std::time_t t) { return DateTimeToDos(FromTimeT(t)); }

std::optional<DateTime> DosToDateTime(uint32_t dos) {
  const int year = 1980 + static_cast<int>(dos >> 25);
  const int month = static_cast<int>((dos >> 21) & 0x0F);
  const int day = static_cast<int>((dos >> 16) & 0x1F);
  const int hour = static_cast<int>((dos >> 11) & 0x1F);
  const int minute = static_cast<int>((dos >> 5) & 0x3F);
  const int second = static_cast<int>(dos & 0x1F) * 2;
  return EncodeDateTime(year, month, day, hour, minute, second);
}

uint32_t ValidateDos(uint32_t dos) {
  uint32_t year = dos >> 25;
  uint32_t month = (dos >> 21) & 0x0F;
  uint32_t day = (dos >> 16) & 0x1F;
  uint32_t hour = (dos >> 11) & 0x1F;
  uint32_t minute = (dos >> 5) & 0x3F;
  uint32_t sec2 = dos & 0x1F;
  if (sec2 >= 30) sec2 = 29;
  if (minute >= 60) minute = 59;
  if (hour > 23) hour = 23;
  if (month == 0) month = 1;
  if (month > 12) month = 12;
  if (year >= 2100 - 1980) year = 2099 - 1980;
  if (day == 0) day = 1;
  // Day 31 of a 30-day month would still not convert; the month's last day
  // is the nearest real date.
  const uint32_t last =
      static_cast<uint32_t>(DaysInMonth(static_cast<int>(year) + 1980, static_cast<int>(month)));
  if (day > last) day = last;
  return (year << 25) | (month << 21) | (day << 16) | (hour << 11) | (minute << 5) | sec2;
}

std::time_t DosToTimeT(uint32_t dos) { return ToTimeT(*DosToDateTime(ValidateDos(dos))); }

std::string FormatDate(DateTime dt) {
  const DateTimeFields f = DecodeDateTime(dt);
  return Pad(f.year, 4) + "-" + Pad(f.month, 2) + "-" + Pad(f.day, 2);
}

std::string FormatTime(DateTime dt) {
  const DateTimeFields f = DecodeDateTime(dt);
  return Pad(f.hour, 2) + ":" + Pad(f.minute, 2) + ":" + Pad(f.second, 2);
}

std::string FormatDateTime(DateTime dt) {
  int64_t days, ms;
  Split(dt, days, ms);
  if (ms == 0) return FormatDate(dt);
  return FormatDateTimeFull(dt);
}

std::string FormatDateTimeFull(DateTime dt) { return FormatDate(dt) + " " + FormatTime(dt); }

std::optional<DateTime> ParseDate(std::string_view s) {
  Scanner sc(s);
  sc.SkipBlanks();
  int y, m, d;
  if (!ScanDate(sc, y, m, d)) return std::nullopt;
  sc.SkipBlanks();
  if (!sc.AtEnd()) return std::nullopt;
  return EncodeDateTime(y, m, d);
}

std::optional<DateTime> ParseTime(std::string_view s) {
  Scanner sc(s);
  sc.SkipBlanks();
  int h, n, sec, ms;
  if (!ScanTime(sc, h, n, sec, ms)) return std::nullopt;
  sc.SkipBlanks();
  if (!sc.AtEnd()) return std::nullopt;
  if (h > 23 || n > 59 || sec > 59) return std::nullopt;
  return (((h * 60.0 + n) * 60.0 + sec) * 1000.0 + ms) / kMsPerDay;
}

std::optional<DateTime> ParseDateTime(std::string_view s) {
  Scanner sc(s);
  sc.SkipBlanks();
  int y, m, d;
  if (!ScanDate(sc, y, m, d)) return std::nullopt;
  int h = 0, n = 0, sec = 0, ms = 0;
  const size_t before = sc.Pos();
  sc.SkipBlanks();
  if (!sc.AtEnd()) {
    if (sc.Pos() == before) return std::nullopt;  // the time needs a blank before it
    if (!ScanTime(sc, h, n, sec, ms)) return std::nullopt;
    sc.SkipBlanks();
    if (!sc.AtEnd()) return std::nullopt;
  }
  return EncodeDateTime(y, m, d, h, n, sec, ms);
}

std::string FormatPattern(std::string_view pattern, DateTime dt) {
  const DateTimeFields f = DecodeDateTime(dt);
  std::string out;
  bool after_hour = false;  // "m" right after an hour field means minutes
  size_t i = 0;
  auto run_of = [&](char lower) {
    size_t n = 0;
    while (i + n < pattern.size() && (pattern[i + n] | 0x20) == lower) ++n;
    return n;
  };
  while (i < pattern.size()) {
    const char c = pattern[i];
    const char lc = static_cast<char>(c | 0x20);
    if (c == '"' || c == '\'') {
      const size_t end = pattern.find(c, i + 1);
      const size_t stop = end == std::string_view::npos ? pattern.size() : end;
      out.append(pattern.substr(i + 1, stop - i - 1));
      i = stop == pattern.size() ? stop : stop + 1;
      continue;
    }
    if (c == '/') {
      out += '-';
      ++i;
      continue;
    }
    if (lc == 'y') {
      const size_t n = run_of('y');
      out += n <= 2 ? Pad(f.year % 100, 2) : Pad(f.year, 4);
      i += n;
      after_hour = false;
      continue;
    }
    if (lc == 'm') {
      const size_t n = run_of('m');
      const int v = after_hour ? f.minute : f.month;
      out += n >= 2 ? Pad(v, 2) : std::to_string(v);
      i += n;
      after_hour = false;
      continue;
    }
    if (lc == 'd' || lc == 'h' || lc == 'n' || lc == 's') {
      const size_t n = run_of(lc);
      const int v = lc == 'd' ? f.day : lc == 'h' ? f.hour : lc == 'n' ? f.minute : f.second;
      out += n >= 2 ? Pad(v, 2) : std::to_string(v);
      i += n;
      after_hour = lc == 'h';
      continue;
    }
    if (lc == 'z') {
      const size_t n = run_of('z');
      out += n >= 3 ? Pad(f.msec, 3) : std::to_string(f.msec);
      i += n;
      continue;
    }
    out += c;  // ':' and any other character stand for themselves
    ++i;
  }
  return out;
}

}  // namespace zb
