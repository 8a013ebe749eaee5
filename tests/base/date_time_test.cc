#include "base/date_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>

namespace zb {
namespace {

// Builds a DOS value from its fields, for readable expectations.
uint32_t Dos(int y, int mo, int d, int h, int mi, int s) {
  return (static_cast<uint32_t>(y - 1980) << 25) | (static_cast<uint32_t>(mo) << 21) |
         (static_cast<uint32_t>(d) << 16) | (static_cast<uint32_t>(h) << 11) |
         (static_cast<uint32_t>(mi) << 5) | static_cast<uint32_t>(s / 2);
}

DateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  return *EncodeDateTime(y, mo, d, h, mi, s);
}

TEST(DateTimeTest, EpochAndKnownSerials) {
  EXPECT_EQ(At(1899, 12, 30), 0.0);
  EXPECT_EQ(At(1900, 1, 1), 2.0);
  EXPECT_EQ(At(2000, 1, 1), 36526.0);
  EXPECT_DOUBLE_EQ(At(2000, 1, 1, 12), 36526.5);
  EXPECT_EQ(At(1899, 12, 29), -1.0);
}

TEST(DateTimeTest, EncodeRejectsImpossibleFields) {
  EXPECT_FALSE(EncodeDateTime(2023, 2, 29));
  EXPECT_TRUE(EncodeDateTime(2024, 2, 29));
  EXPECT_FALSE(EncodeDateTime(1900, 2, 29));  // century rule
  EXPECT_TRUE(EncodeDateTime(2000, 2, 29));
  EXPECT_FALSE(EncodeDateTime(2024, 13, 1));
  EXPECT_FALSE(EncodeDateTime(2024, 4, 31));
  EXPECT_FALSE(EncodeDateTime(2024, 1, 1, 24));
  EXPECT_FALSE(EncodeDateTime(2024, 1, 1, 0, 60));
  EXPECT_FALSE(EncodeDateTime(0, 1, 1));
}

TEST(DateTimeTest, DecodeRoundTripsEveryFieldAndWeekday) {
  // Noon must not decode as 11:59:59.999 through floating-point error.
  for (int y : {1601, 1899, 1980, 2024, 2107, 9999}) {
    for (int mo : {1, 2, 12}) {
      const DateTime dt = *EncodeDateTime(y, mo, 28, 12, 0, 0, 0);
      const DateTimeFields f = DecodeDateTime(dt);
      EXPECT_EQ(f.year, y);
      EXPECT_EQ(f.month, mo);
      EXPECT_EQ(f.day, 28);
      EXPECT_EQ(f.hour, 12);
      EXPECT_EQ(f.minute, 0);
      EXPECT_EQ(f.second, 0);
      EXPECT_EQ(f.msec, 0);
    }
  }
  EXPECT_EQ(DecodeDateTime(At(2024, 3, 15)).day_of_week, 6);  // a Friday
  EXPECT_EQ(DecodeDateTime(At(2024, 3, 17)).day_of_week, 1);  // a Sunday
  EXPECT_EQ(DecodeDateTime(At(1899, 12, 30)).day_of_week, 7);
  EXPECT_EQ(DecodeDateTime(At(1899, 12, 24)).day_of_week, 1);  // before the epoch
  // Out-of-range values from damaged data decode to the nearest end.
  EXPECT_EQ(DecodeDateTime(1e300).year, 9999);
  EXPECT_EQ(DecodeDateTime(-1e300).year, 1);
  EXPECT_EQ(FormatDate(std::nan("")), "1899-12-30");
  const DateTimeFields f = DecodeDateTime(*EncodeDateTime(2024, 3, 15, 23, 59, 59, 999));
  EXPECT_EQ(f.second, 59);
  EXPECT_EQ(f.msec, 999);
}

TEST(DateTimeTest, DosPackingAndClamping) {
  EXPECT_EQ(DateTimeToDos(At(2024, 3, 15, 9, 5, 7)), Dos(2024, 3, 15, 9, 5, 6));
  // A 1970 file would wrap to 2098 in a 7-bit year; it must clamp instead.
  EXPECT_EQ(DateTimeToDos(At(1970, 1, 1)), Dos(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(DateTimeToDos(At(1979, 12, 31, 23, 59, 59)), Dos(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(DateTimeToDos(At(2200, 6, 1)), Dos(2107, 12, 31, 23, 59, 58));
  EXPECT_EQ(DateTimeToDos(At(2107, 12, 31, 23, 59, 59)), Dos(2107, 12, 31, 23, 59, 58));
  EXPECT_EQ(DateTimeToDos(At(1980, 1, 1)), Dos(1980, 1, 1, 0, 0, 0));

  const auto back = DosToDateTime(Dos(2024, 3, 15, 9, 5, 6));
  ASSERT_TRUE(back);
  EXPECT_EQ(FormatDateTime(*back), "2024-03-15 09:05:06");
}

TEST(DateTimeTest, DosValidationRepairsFieldByField) {
  EXPECT_FALSE(DosToDateTime(0));  // month 0, day 0
  EXPECT_EQ(ValidateDos(0), Dos(1980, 1, 1, 0, 0, 0));
  // seconds 31*2, minute 63, hour 31, month 15, day 31: every field at its limit.
  const uint32_t bad = (10u << 25) | (15u << 21) | (31u << 16) | (31u << 11) | (63u << 5) | 31u;
  EXPECT_FALSE(DosToDateTime(bad));
  EXPECT_EQ(ValidateDos(bad), Dos(1990, 12, 31, 23, 59, 58));
  // A valid field stays as it was while a neighbour is repaired.
  const uint32_t bad_minute = Dos(2024, 3, 15, 9, 0, 10) | (61u << 5);
  EXPECT_EQ(ValidateDos(bad_minute), Dos(2024, 3, 15, 9, 59, 10));
  EXPECT_EQ(ValidateDos(Dos(2024, 2, 1, 0, 0, 0) | (30u << 16)), Dos(2024, 2, 29, 0, 0, 0));
  EXPECT_EQ(ValidateDos(127u << 25 | (1u << 21) | (1u << 16)), Dos(2099, 1, 1, 0, 0, 0));
  const uint32_t good = Dos(2024, 3, 15, 9, 5, 6);
  EXPECT_EQ(ValidateDos(good), good);
  EXPECT_TRUE(DosToDateTime(ValidateDos(bad)));
}

TEST(DateTimeTest, TimeTConversionIsLocalAndDstSafe) {
  // Run under a zone with daylight saving so both offsets are exercised.
  const char* old = std::getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  for (std::time_t t : {std::time_t{1710500000}, std::time_t{1700000000}, std::time_t{0}}) {
    EXPECT_EQ(ToTimeT(FromTimeT(t)), t) << t;
  }
  // 2024-07-01 12:00:00 UTC is 14:00 in Berlin summer time.
  EXPECT_EQ(FormatDateTime(FromTimeT(1719835200)), "2024-07-01 14:00:00");
  EXPECT_EQ(FormatDateTime(FromTimeT(1704110400)), "2024-01-01 13:00:00");
  const uint32_t dos = TimeTToDos(1719835200);
  EXPECT_EQ(dos, Dos(2024, 7, 1, 14, 0, 0));
  EXPECT_EQ(DosToTimeT(dos), 1719835200);
  if (old) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST(DateTimeTest, TextFormsAndParsing) {
  const DateTime dt = At(2024, 3, 15, 9, 5, 7);
  EXPECT_EQ(FormatDate(dt), "2024-03-15");
  EXPECT_EQ(FormatTime(dt), "09:05:07");
  EXPECT_EQ(FormatDateTime(dt), "2024-03-15 09:05:07");
  EXPECT_EQ(FormatDateTime(At(2024, 3, 15)), "2024-03-15");
  EXPECT_EQ(FormatDateTimeFull(At(2024, 3, 15)), "2024-03-15 00:00:00");

  EXPECT_EQ(ParseDateTime("2024-03-15 09:05:07"), dt);
  EXPECT_EQ(ParseDateTime("2024-03-15"), At(2024, 3, 15));
  EXPECT_EQ(ParseDateTime(" 2024-3-5  9:05 "), At(2024, 3, 5, 9, 5));
  EXPECT_EQ(ParseDate("2024-03-15"), At(2024, 3, 15));
  EXPECT_DOUBLE_EQ(*ParseTime("12:00:00"), 0.5);
  EXPECT_DOUBLE_EQ(*ParseTime("06:00"), 0.25);

  for (const char* bad : {"", "2024-02-30", "2024/03/15", "2024-03-15x", "2024-03-1509:05",
                          "2024-03-15 25:00:00", "20245-01-01", "yesterday"}) {
    EXPECT_FALSE(ParseDateTime(bad)) << bad;
  }
  for (const char* bad : {"", "24:00:00", "12:60", "12", "12:00:00 pm", "1:2:3:4"}) {
    EXPECT_FALSE(ParseTime(bad)) << bad;
  }
  EXPECT_FALSE(ParseDate("2024-03-15 09:05:07"));
}

TEST(DateTimeTest, FormatPatterns) {
  const DateTime dt = *EncodeDateTime(2024, 6, 30, 14, 5, 9, 42);
  EXPECT_EQ(FormatPattern("mm\"-\"dd\"_\"hh\"h\"nn\"m\"ss\"s\"", dt), "06-30_14h05m09s");
  EXPECT_EQ(FormatPattern("yyyy/mm/dd", dt), "2024-06-30");
  EXPECT_EQ(FormatPattern("yymmdd", dt), "240630");
  EXPECT_EQ(FormatPattern("HH:mm:ss", dt), "14:05:09");  // m after h is minutes
  EXPECT_EQ(FormatPattern("d.m.yyyy h:n:s.zzz", dt), "30.6.2024 14:5:9.042");
  EXPECT_EQ(FormatPattern("'d'dd", dt), "d30");
  EXPECT_EQ(FormatPattern("\"unterminated", dt), "unterminated");
}

}  // namespace
}  // namespace zb
