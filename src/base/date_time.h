#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace zb {

// A moment in local time as days since 1899-12-30 00:00:00, the fraction
// being the time of day (0.5 is noon). This is the value the stored data
// and the archive list sort work with.
using DateTime = double;

// Current local date and time.
[[nodiscard]] DateTime Now();

// Local time <-> POSIX time. FromTimeT keeps sub-second precision from ns.
[[nodiscard]] DateTime FromTimeT(std::time_t t, long nsec = 0);
[[nodiscard]] std::time_t ToTimeT(DateTime dt);

// Builds a value from calendar fields; nullopt when a field is out of range.
[[nodiscard]] std::optional<DateTime> EncodeDateTime(int year, int month, int day, int hour = 0,
                                                     int minute = 0, int second = 0, int msec = 0);
struct DateTimeFields {
  int year, month, day, hour, minute, second, msec;
  int day_of_week;  // 1 = Sunday ... 7 = Saturday
};
[[nodiscard]] DateTimeFields DecodeDateTime(DateTime dt);

// The packed DOS date-time (date word high, time word low, 2-second steps).
// Conversions to DOS clamp to 1980-01-01 00:00:00 .. 2107-12-31 23:59:58.
[[nodiscard]] uint32_t DateTimeToDos(DateTime dt);
[[nodiscard]] uint32_t TimeTToDos(std::time_t t);
// Converts a DOS value; nullopt when it does not name a real date and time.
[[nodiscard]] std::optional<DateTime> DosToDateTime(uint32_t dos);
// Repairs an invalid DOS value field by field (seconds/2 >= 30 -> 29,
// minutes >= 60 -> 59, hours > 23 -> 23, day 0 -> 1, month 0 -> 1,
// month > 12 -> 12, year >= 2100 -> 2099); valid fields stay.
[[nodiscard]] uint32_t ValidateDos(uint32_t dos);
[[nodiscard]] std::time_t DosToTimeT(uint32_t dos);

// The process-wide text forms: "yyyy-mm-dd", "HH:mm:ss", and the date, one
// blank, the time (the date alone when the time is exactly midnight).
[[nodiscard]] std::string FormatDate(DateTime dt);
[[nodiscard]] std::string FormatTime(DateTime dt);
[[nodiscard]] std::string FormatDateTime(DateTime dt);
// Always date + blank + time, midnight included (stored "NewDateTime").
[[nodiscard]] std::string FormatDateTimeFull(DateTime dt);
// Parsing accepts the same forms; nullopt when the text does not parse.
[[nodiscard]] std::optional<DateTime> ParseDate(std::string_view s);
[[nodiscard]] std::optional<DateTime> ParseTime(std::string_view s);  // time of day only
[[nodiscard]] std::optional<DateTime> ParseDateTime(std::string_view s);

// Explicit format patterns: yyyy, yy, m, mm, d, dd, h, hh, n, nn, s, ss,
// z, zzz, text in double or single quotes copied literally, "/" gives the
// date separator "-" and ":" the time separator ":". The archive-name stamp
// is FormatPattern("mm\"-\"dd\"_\"hh\"h\"nn\"m\"ss\"s\"", t) -> 06-30_14h05m09s.
[[nodiscard]] std::string FormatPattern(std::string_view pattern, DateTime dt);

}  // namespace zb
