// Times and intervals: construction, arithmetic and normalisation, calendar
// fields in UTC and in a zone with daylight saving, the limits of the 32-bit
// seconds (2038, 2106), formatting, packing and the text format.
#include <array>
#include <climits>
#include <ctime>
#include <tuple>

#include "kq_tinterval.h"
#include "kq_ttime.h"
#include "platform/kq_sys_time.h"
#include "test_support.h"

namespace {

using kqtest::ReadText;
using kqtest::Text;

// Zones as POSIX TZ rules, which need no zone database. Central Europe: +1,
// summer time +2 from the last Sunday of March 02:00 to the last Sunday of
// October 03:00. New York: -5, summer time -4 from the second Sunday of
// March to the first Sunday of November.
constexpr char kCETZone[] = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr char kNewYorkZone[] = "EST5EDT,M3.2.0,M11.1.0";

// Every test that reads local fields sets the zone it needs first.
void SetZone(char const* zone) {
  setenv("TZ", zone, 1);
  kq::sys::ReloadTimeZone();
}

// Year, month, day, hour, minute, second.
using Fields = std::array<int, 6>;

KQ_TTime Make(bool utc, Fields const& f, std::uint32_t micros = 0) {
  auto const year = static_cast<std::int16_t>(f[0]);
  auto const n = [&f](int i) { return static_cast<std::uint8_t>(f[static_cast<std::size_t>(i)]); };
  return utc ? KQ_TTime(KQ_TTime::kUTC, year, n(1), n(2), n(3), n(4), n(5), micros)
             : KQ_TTime(year, n(1), n(2), n(3), n(4), n(5), micros);
}
KQ_TTime UTC(Fields const& f, std::uint32_t micros = 0) { return Make(true, f, micros); }
KQ_TTime Local(Fields const& f, std::uint32_t micros = 0) { return Make(false, f, micros); }

std::tm Tm(Fields const& f, int isdst = 0) {
  std::tm fields{};
  fields.tm_year = f[0] - 1900;
  fields.tm_mon = f[1] - 1;
  fields.tm_mday = f[2];
  fields.tm_hour = f[3];
  fields.tm_min = f[4];
  fields.tm_sec = f[5];
  fields.tm_isdst = isdst;
  return fields;
}

// The UTC seconds of a calendar date, as the C library counts them.
std::uint32_t Seconds(Fields const& f) {
  std::tm fields = Tm(f);
  return static_cast<std::uint32_t>(timegm(&fields));
}

// The calendar fields of a time and its weekday, in UTC or local time.
std::array<int, 7> FieldsOf(KQ_TTime const& t, bool utc) {
  if (utc) {
    return {t.GMTYear(),   t.GMTMonth(),  t.GMTDay(),    t.GMTHour(),
            t.GMTMinute(), t.GMTSecond(), t.GMTWeekday()};
  }
  return {t.Year(), t.Month(), t.Day(), t.Hour(), t.Minute(), t.Second(), t.Weekday()};
}

// The seconds and micros of a time or an interval.
template <class T>
void ExpectParts(T const& value, std::int64_t seconds, std::int64_t micros) {
  EXPECT_EQ(value.Seconds(), seconds);
  EXPECT_EQ(value.Micros(), micros);
}

// Every comparison of every pair of values given in ascending order.
template <class T>
void ExpectOrdered(std::vector<T> const& ordered) {
  for (std::size_t i = 0; i < ordered.size(); ++i) {
    for (std::size_t j = 0; j < ordered.size(); ++j) {
      SCOPED_TRACE(testing::Message() << i << " vs " << j);
      kqtest::ExpectOrder(ordered[i], ordered[j], (i > j) - (i < j));
    }
  }
}

// The target after reading text into it.
template <class T>
T Read(std::string const& text, T target) {
  ReadText(target, text);
  return target;
}

std::string Str(KQ_TString const& string) { return string.UTF8(); }

class TimeTest : public kqtest::InitializedTest {};

TEST_F(TimeTest, ConstructorsCarryMicrosAndRejectTheInvalidSecond) {
  ExpectParts(KQ_TTime(5u, 1000000u), 5, 1000000);
  ExpectParts(KQ_TTime(5u, 2500000u), 7, 500000);
  ExpectParts(KQ_TTime(5u, 0xFFFFFFFFu), 5 + 4294, 967295);
  // A negative 32-bit value stands for its unsigned bits; only -1 is refused.
  ExpectParts(KQ_TTime(std::int32_t{-2}), 0xFFFFFFFEu, 0);
  // 64-bit seconds are never cut to 32 bits.
  ExpectParts(KQ_TTime(std::int64_t{4294967294}), 4294967294u, 0);
  EXPECT_THROW(KQ_TTime(std::int32_t{-1}), KQ_ETimeException);
  EXPECT_THROW(KQ_TTime(0xFFFFFFFFu), KQ_EIllegalTime);
  EXPECT_THROW(KQ_TTime(std::int64_t{4294967295}), KQ_EIllegalTime);
  EXPECT_THROW(KQ_TTime(std::int64_t{-1}), KQ_EIllegalTime);

  // The current time, to the millisecond.
  std::time_t const before = std::time(nullptr);
  KQ_TTime const now;
  std::time_t const after = std::time(nullptr);
  EXPECT_TRUE(now.Seconds() >= before && now.Seconds() <= after);
  EXPECT_EQ(now.Micros() % 1000, 0u);
}

TEST_F(TimeTest, MovingByIntervalsBorrowsAndCarriesOneSecond) {
  KQ_TTime const start(10u, 900000u);
  ExpectParts(start + KQ_TInterval(0, 200000), 11, 100000);
  ExpectParts(start - KQ_TInterval(0, 950000), 9, 950000);
  ExpectParts(start + KQ_TInterval(-1, -950000), 8, 950000);
  // A sum of exactly one second's micros stays in the micros.
  ExpectParts(start - KQ_TInterval(-2, -100000), 12, 1000000);
  // Seconds wrap modulo 2^32 rather than raise; across 2038 and up to 2106
  // the unsigned seconds count on.
  ExpectParts(KQ_TTime(5u, 0u) - KQ_TInterval(10, 0), 0xFFFFFFFBu, 0);
  ExpectParts(KQ_TTime(0x7FFFFFFFu, 500000u) + KQ_TInterval(1, 600000), 0x80000001u, 100000);

  // The difference of two times, normalised.
  ExpectParts(KQ_TTime(10u, 900000u) - KQ_TTime(20u, 100000u), -9, -200000);
  ExpectParts(KQ_TInterval(KQ_TTime(0x80000000u, 0u), KQ_TTime(0x7FFFFFFFu, 1u)), 0, 999999);
  ExpectParts(KQ_TTime(0xFFFFFFFEu, 0u) - KQ_TTime(0x80000000u, 0u), 0x7FFFFFFE, 0);
}

TEST_F(TimeTest, TimesAndIntervalsOrderBySecondsThenMicros) {
  ExpectOrdered<KQ_TTime>({KQ_TTime(0u, 0u), KQ_TTime(0u, 1u), KQ_TTime(1u, 0u),
                           KQ_TTime(0x7FFFFFFFu, 999999u), KQ_TTime(0x80000000u, 0u),
                           KQ_TTime(0xFFFFFFFEu, 0u)});
  ExpectOrdered<KQ_TInterval>({KQ_TInterval(-2, 0), KQ_TInterval(-1, -500000),
                               KQ_TInterval(0, -500000), KQ_TInterval(0, 0), KQ_TInterval(0, 1),
                               KQ_TInterval(1, 0)});

  // Close times lie less than a second apart; equal seconds always count,
  // seconds two apart never, whatever the micros say.
  std::tuple<KQ_TTime, KQ_TTime, bool> const cases[] = {
      {KQ_TTime(10u, 500000u), KQ_TTime(11u, 700000u), false},
      {KQ_TTime(10u, 999999u), KQ_TTime(11u, 999998u), true},
      {KQ_TTime(10u, 0u), KQ_TTime(10u, 1000000u), true},
      {KQ_TTime(0u, 900000u), KQ_TTime(0xFFFFFFFEu, 900000u), false},
      {KQ_TTime(10u, 0u).SetMicros(1999999), KQ_TTime(12u, 0u), false}};
  for (auto const& [a, b, close] : cases) {
    SCOPED_TRACE(testing::Message()
                 << a.Seconds() << "." << a.Micros() << " vs " << b.Seconds() << "." << b.Micros());
    EXPECT_EQ(a ^ b, close);
    EXPECT_EQ(b ^ a, close);
  }
}

TEST_F(TimeTest, IntervalsNormaliseToTheSignOfTheSpan) {
  // Seconds and micros as given, and as normalised.
  std::int32_t const made[][4] = {
      {-2, 300000, -1, -700000}, {2, -300000, 1, 700000},   {5, 1000000, 5, 1000000},
      {0, -500000, 0, -500000},  {0, 2500000, 2, 500000},   {0, -1000000, -1, 0},
      {3, -2500000, 0, 500000},  {-3, 2500000, 0, -500000}, {0, 1000001, 1, 1}};
  for (auto const& c : made) {
    SCOPED_TRACE(testing::Message() << c[0] << ", " << c[1]);
    ExpectParts(KQ_TInterval(c[0], c[1]), c[2], c[3]);
  }
  ExpectParts(KQ_TInterval(INT32_MAX, 1000001), INT32_MIN, 1);
  ExpectParts(KQ_TInterval(1, 0) - KQ_TInterval(2, 500000), -1, -500000);
  KQ_TInterval sum(0, 999999);
  ExpectParts(sum += KQ_TInterval(0, 2), 1, 1);
  KQ_TInterval assigned(7, 7);
  ExpectParts(assigned = (sum -= KQ_TInterval(3, 0)), -1, -999999);

  // Setting one field keeps the sub-second in place; zero seconds are
  // neither sign, so the micros stay.
  ExpectParts(KQ_TInterval(5, 0).SetMicros(-300), 4, 999700);
  ExpectParts(KQ_TInterval(2, 0).SetMicros(-2500000), 0, -500000);
  ExpectParts(KQ_TInterval(0, 0).SetMicros(-300), 0, -300);
  ExpectParts(KQ_TInterval(-2, -300000).SetSeconds(5), 5, 700000);
  ExpectParts(KQ_TInterval(2, 300000).SetSeconds(-5), -5, -700000);
  ExpectParts(KQ_TInterval(2, 300000).SetSeconds(0), 0, 300000);

  // The printed form: minutes, seconds and micros.
  EXPECT_EQ(Str(KQ_TInterval(125, 300)), "2\":05.000300'");
  EXPECT_EQ(Str(KQ_TInterval(0, -500000)), "-0\":00.500000'");
  EXPECT_EQ(Str(KQ_TInterval(INT32_MIN, -1000000)), "-35791394\":08.1000000'");
}

TEST_F(TimeTest, CalendarFieldsReachFrom1970To2106InUTCAndLocalTime) {
  SetZone(kCETZone);
  // UTC (1) or local (0), seconds, fields and weekday (1 for Sunday): summer
  // time, a year later than in UTC, the rules beyond 2038.
  std::int64_t const cases[][9] = {
      {1, 0x00000000, 1970, 1, 1, 0, 0, 0, 5},      {1, 951782400, 2000, 2, 29, 0, 0, 0, 3},
      {1, 0x7FFFFFFF, 2038, 1, 19, 3, 14, 7, 3},    {1, 0x80000000, 2038, 1, 19, 3, 14, 8, 3},
      {1, 4107542400, 2100, 3, 1, 0, 0, 0, 2},      {1, 0xFFFFFFFE, 2106, 2, 7, 6, 28, 14, 1},
      {1, 1167607815, 2006, 12, 31, 23, 30, 15, 1}, {0, 1168858800, 2007, 1, 15, 12, 0, 0, 2},
      {0, 1184493600, 2007, 7, 15, 12, 0, 0, 1},    {0, 1167607815, 2007, 1, 1, 0, 30, 15, 2},
      {0, 4118119200, 2100, 7, 1, 12, 0, 0, 5},     {0, 0xFFFFFFFE, 2106, 2, 7, 7, 28, 14, 1}};
  for (auto const& c : cases) {
    SCOPED_TRACE(testing::Message() << (c[0] ? "UTC " : "local ") << c[1]);
    bool const utc = c[0] != 0;
    auto const seconds = static_cast<std::uint32_t>(c[1]);
    KQ_TTime const time(seconds, 42u);
    std::array<int, 7> fields;
    for (std::size_t i = 0; i < 7; ++i) fields[i] = static_cast<int>(c[i + 2]);
    EXPECT_EQ(FieldsOf(time, utc), fields);
    EXPECT_EQ(utc ? time.GMTMicros() : time.Micros(), 42u);
    Fields const f = {fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]};
    ExpectParts(Make(utc, f, 42), seconds, 42);
  }
  // Fields out of range are carried over (2100 is no leap year).
  EXPECT_EQ(UTC({2100, 2, 29, 0, 0, 0}).Seconds(), 4107542400u);
  EXPECT_EQ(UTC({2007, 1, 32, 24, 60, 60}).Seconds(), Seconds({2007, 2, 2, 1, 1, 0}));
  // One second beyond the first and the last valid one, in either form
  // (00:30 on 1 January 1970 here lies before 1970 in UTC).
  int const beyond[][7] = {{1, 1969, 12, 31, 23, 59, 59},
                           {1, 2106, 2, 7, 6, 28, 15},
                           {1, -30000, 1, 1, 0, 0, 0},
                           {0, 2106, 2, 7, 7, 28, 15},
                           {0, 1970, 1, 1, 0, 30, 0}};
  for (auto const& b : beyond) {
    EXPECT_THROW(Make(b[0] != 0, {b[1], b[2], b[3], b[4], b[5], b[6]}), KQ_EIllegalTime) << b[1];
  }
}

// Each setter carries the field over in its own time and keeps the others;
// what gives no valid time is refused and leaves the time as it was.
TEST_F(TimeTest, SettingAFieldCarriesOverAndRefusesInvalidTimes) {
  SetZone(kCETZone);
  KQ_TTime utc = UTC({2007, 1, 31, 10, 20, 30}, 77);
  ExpectParts(utc.SetGMTDay(32), Seconds({2007, 2, 1, 10, 20, 30}), 77);
  // A summer date keeps its UTC hour whatever the zone's daylight saving.
  ExpectParts(utc.SetGMTMonth(7), Seconds({2007, 7, 1, 10, 20, 30}), 77);
  ExpectParts(utc.SetGMTHour(-1), Seconds({2007, 6, 30, 23, 20, 30}), 77);
  ExpectParts(utc.SetGMTMinute(61).SetGMTSecond(5).SetGMTYear(2100), Seconds({2100, 7, 1, 0, 1, 5}),
              77);
  KQ_TTime local = Local({2007, 1, 31, 12, 20, 30}, 9);
  ExpectParts(local.SetDay(32), Seconds({2007, 2, 1, 11, 20, 30}), 9);
  // From winter into summer the local hour stays 12.
  ExpectParts(local.SetMonth(7), Seconds({2007, 7, 1, 10, 20, 30}), 9);
  ExpectParts(local.SetHour(-1), Seconds({2007, 6, 30, 21, 20, 30}), 9);
  ExpectParts(local.SetMinute(0).SetSecond(75).SetYear(2040), Seconds({2040, 6, 30, 21, 1, 15}), 9);

  KQ_TTime const utcBefore(utc);
  KQ_TTime const localBefore(local);
  for (auto const& set : std::vector<std::function<void()>>{
           [&] { utc.SetGMTYear(2106); }, [&] { utc.SetGMTYear(1969); },
           [&] { utc.SetGMTMonth(INT_MIN); }, [&] { local.SetYear(2107); },
           [&] { local.SetYear(INT_MIN); }, [&] { local.SetHour(INT_MAX); }}) {
    EXPECT_EQ(kqtest::Raised(set), "KQ_EIllegalTime");
  }
  EXPECT_TRUE(utc == utcBefore);
  EXPECT_TRUE(local == localBefore);
  // Early in 2106 the year is still valid.
  EXPECT_EQ(utc.SetGMTMonth(1).SetGMTYear(2106).Seconds(), Seconds({2106, 1, 1, 0, 1, 5}));
  EXPECT_EQ(utc.SetGMTMicros(12).GMTMicros(), 12u);
  EXPECT_EQ(local.SetMicros(1000000).Micros(), 1000000u);
}

TEST_F(TimeTest, TheSkippedHourLandsAfterTheJump) {
  SetZone(kCETZone);
  // 2024-03-31: the clocks go from 02:00 CET to 03:00 CEST.
  KQ_TTime const lastWinter = Local({2024, 3, 31, 1, 59, 59});
  EXPECT_EQ(lastWinter.Seconds(), Seconds({2024, 3, 31, 0, 59, 59}));
  EXPECT_EQ(FieldsOf(lastWinter + KQ_TInterval(1, 0), false),
            (std::array<int, 7>{2024, 3, 31, 3, 0, 0, 1}));
  KQ_TTime const skipped = Local({2024, 3, 31, 2, 30, 0});
  EXPECT_EQ(skipped.Seconds(), Seconds({2024, 3, 31, 1, 30, 0}));
  EXPECT_EQ(skipped.Hour(), 3);
  KQ_TTime set = Local({2024, 3, 31, 1, 30, 0});
  EXPECT_EQ(set.SetHour(2).Seconds(), Seconds({2024, 3, 31, 1, 30, 0}));
  EXPECT_EQ(set.Hour(), 3);

  // The same in a zone west of UTC; the zone's bias is its standard offset.
  SetZone(kNewYorkZone);
  EXPECT_EQ(KQ_TTime::TimeZone(), 5 * 3600);
  EXPECT_EQ(Local({2024, 3, 10, 2, 30, 0}).Seconds(), Seconds({2024, 3, 10, 7, 30, 0}));
}

TEST_F(TimeTest, TheRepeatedHourMeansTheEarlierInstantUnlessToldOtherwise) {
  SetZone(kCETZone);
  // 2024-10-27: the clocks go back from 03:00 CEST to 02:00 CET.
  std::uint32_t const firstPass = Seconds({2024, 10, 27, 0, 30, 0});
  std::uint32_t const secondPass = Seconds({2024, 10, 27, 1, 30, 0});
  EXPECT_EQ(Local({2024, 10, 27, 2, 30, 0}).Seconds(), firstPass);
  KQ_TTime const later = KQ_TTime(firstPass, 0u) + KQ_TInterval(3600, 0);
  EXPECT_EQ(later.Seconds(), secondPass);
  EXPECT_EQ(later.Hour(), 2);
  EXPECT_EQ(Str(later.Format("%H:%M %Z")), "02:30 CET");
  EXPECT_EQ(Str(KQ_TTime(firstPass, 0u).Format("%H:%M %Z")), "02:30 CEST");
  // Setters keep the daylight-saving state when the new fields occur twice.
  EXPECT_EQ(KQ_TTime(secondPass, 0u).SetMinute(45).Seconds(), Seconds({2024, 10, 27, 1, 45, 0}));
  EXPECT_EQ(KQ_TTime(firstPass, 0u).SetMinute(45).Seconds(), Seconds({2024, 10, 27, 0, 45, 0}));

  // The std::tm form takes tm_isdst as the choice (negative: the earlier
  // instant), and writes the fields back as they are.
  for (auto const& [isdst, seconds, written] : std::vector<std::array<std::int64_t, 3>>{
           {0, secondPass, 0}, {1, firstPass, 1}, {-1, firstPass, 1}}) {
    std::tm fields = Tm({2024, 10, 27, 2, 30, 0}, static_cast<int>(isdst));
    EXPECT_EQ(KQ_TTime(&fields).Seconds(), seconds);
    EXPECT_EQ(fields.tm_isdst, written);
    EXPECT_EQ(fields.tm_wday, 0);
  }
  // Elsewhere in the year tm_isdst cannot move the local hour.
  std::tm summer = Tm({2007, 7, 45, 12, 0, 0});
  EXPECT_EQ(KQ_TTime(&summer).Seconds(), Seconds({2007, 8, 14, 10, 0, 0}));
  EXPECT_EQ((std::array<int, 4>{summer.tm_mon, summer.tm_mday, summer.tm_isdst, summer.tm_yday}),
            (std::array<int, 4>{7, 14, 1, 225}));

  EXPECT_THROW(KQ_TTime(static_cast<std::tm*>(nullptr)), KQ_EIllegalTime);
  std::tm huge{};
  huge.tm_year = huge.tm_mon = huge.tm_mday = INT_MAX;
  EXPECT_THROW(KQ_TTime{&huge}, KQ_EIllegalTime);
}

TEST_F(TimeTest, FormattingUsesLocalOrUTCFieldsAndNeverRaises) {
  SetZone(kCETZone);
  EXPECT_EQ(KQ_TTime::TimeZone(), -3600);
  KQ_TTime const time = UTC({2007, 3, 4, 5, 6, 7}, 8);
  EXPECT_EQ(kqtest::Printed(time), "03/04/07 06:06:07");
  EXPECT_EQ(Str(time.Format("%Y-%m-%d %H:%M:%S %Z %z")), "2007-03-04 06:06:07 CET +0100");
  EXPECT_EQ(Str(time.FormatGMT("%Y-%m-%d %H:%M:%S")), "2007-03-04 05:06:07");
  // Text beyond ASCII passes as UTF-8.
  EXPECT_TRUE(time.Format(KQ_TString(L"\u00e4 %Y \u20ac")) == KQ_TString(L"\u00e4 2007 \u20ac"));
  // Empty or too long for 256 bytes: the empty string.
  EXPECT_EQ(time.Format(KQ_TString(std::string(256, 'x').c_str())).Length(), 0u);
  EXPECT_EQ(time.Format(KQ_TString(std::string(255, 'x').c_str())).Length(), 255u);
}

TEST_F(TimeTest, TimesAndIntervalsPackAsTwoNumbers) {
  // A time: its code, then the unsigned seconds and micros.
  KQ_TTime const time(0xFFFFFFFEu, 999999u);
  kqtest::Bytes const timeBytes = {0x48, 0x07, 0xFF, 0xFF, 0xFF, 0xFE,
                                   0x07, 0x00, 0x0F, 0x42, 0x3F};
  EXPECT_EQ(kqtest::Packed(time), timeBytes);
  EXPECT_TRUE(kqtest::As<KQ_TTime>(kqtest::Extracted(timeBytes)) == time);
  // Micros beyond a second carry when read.
  KQ_TTime target(1u, 1u);
  kqtest::ReadInto(target, {0x48, 0x07, 0x00, 0x00, 0x00, 0x05, 0x07, 0x00, 0x26, 0x25, 0xA0});
  ExpectParts(target, 7, 500000);
  EXPECT_TRUE(std::unique_ptr<KQ_IPackable>(time.KQ_Clone())->KQ_IsIdent(time));
  EXPECT_FALSE(time.KQ_IsIdent(KQ_TTime(0xFFFFFFFEu, 0u)));

  // An interval: a named object with the signed seconds and micros.
  KQ_TInterval const interval(-1, -500000);
  auto const intervalBytes = [](std::uint32_t seconds, std::uint32_t micros) {
    return kqtest::Join({kqtest::Header(0x0D, "KQ_TInterval"),
                         kqtest::Number(0x03, seconds),
                         kqtest::Number(0x03, micros),
                         {0xFF}});
  };
  EXPECT_EQ(kqtest::Packed(interval), intervalBytes(0xFFFFFFFFu, 0xFFF85EE0u));
  EXPECT_TRUE(kqtest::As<KQ_TInterval>(
                  kqtest::Extracted(intervalBytes(0xFFFFFFFFu, 0xFFF85EE0u))) == interval);
  EXPECT_FALSE(interval.KQ_IsIdent(KQ_TInterval(-1, -499999)));
  // Fields that are not in form are normalised when read.
  ExpectParts(kqtest::As<KQ_TInterval>(kqtest::Extracted(intervalBytes(0, 2500000))), 2, 500000);
}

TEST_F(TimeTest, TimesReadBackFromTheirTextForm) {
  SetZone(kCETZone);
  KQ_TTime const time = Local({2007, 3, 4, 5, 6, 7}, 8);
  EXPECT_EQ(Text(time), "KQ_TTime {\n  4/3/2007 05:06:07.000008\n}");
  // Micros of a whole second are written as the next second.
  EXPECT_EQ(Text(KQ_TTime(time.Seconds(), 1000000u)), "KQ_TTime {\n  4/3/2007 05:06:08.000000\n}");
  // Summer time, the repeated hour (its earlier pass) and the last second.
  for (KQ_TTime const& t :
       {time, Local({2024, 7, 31, 23, 59, 59}, 999999), Local({2024, 10, 27, 2, 30, 0}),
        KQ_TTime(0xFFFFFFFEu, 1u), KQ_TTime(0u, 0u)}) {
    EXPECT_TRUE(Read(Text(t), KQ_TTime(1u, 1u)) == t) << Text(t);
  }
  std::pair<char const*, KQ_TTime> const cases[] = {
      {"KQ_TTime { 4/3/2007 05:06 }", Local({2007, 3, 4, 5, 6, 0})},
      {"KQ_TTime { 4/3/2007 05:06:07.0000086 }", Local({2007, 3, 4, 5, 6, 7}, 9)},
      {"KQ_TTime { 4/3/2007 05:06:07.9999996 }", Local({2007, 3, 4, 5, 6, 8})},
      {"KQ_TTime { 31/3/2024 02:30:00.0 }", Local({2024, 3, 31, 3, 30, 0})},
      {"KQ_TTime { 0031/03/2024 12:00:60 }", Local({2024, 3, 31, 12, 1, 0})},
      // Seconds carry into the minutes either way, as the local fields do.
      {"KQ_TTime { 4/3/2007 05:06:75.25 }", Local({2007, 3, 4, 5, 7, 15}, 250000)},
  };
  for (auto const& [text, want] : cases) {
    SCOPED_TRACE(text);
    ExpectParts(Read(text, KQ_TTime(1u, 1u)), want.Seconds(), want.Micros());
  }
  // Malformed text raises; a time out of range leaves the target as it was.
  std::pair<char const*, char const*> const bad[] = {
      {"KQ_TTime { 32/3/2007 05:06 }", "KQ_EHRSyntaxError"},
      {"KQ_TTime { 4/13/2007 05:06 }", "KQ_EHRSyntaxError"},
      {"KQ_TTime { 4/3/2007 24:00 }", "KQ_EHRSyntaxError"},
      {"KQ_TTime { 99999999999999999999/3/2007 }", "KQ_EHRSyntaxError"},
      {"KQ_TInterval { 4/3/2007 }", "KQ_EHRSyntaxError"},
      {"KQ_TTime { 31/12/1969 23:59:59 }", "KQ_EIllegalTime"},
      {"KQ_TTime { 7/2/2106 07:28:15 }", "KQ_EIllegalTime"},
      {"KQ_TTime { 4/3/2007 05:06:1e400 }", "KQ_EIllegalTime"},
      {"KQ_TTime { 4/3/2007 05:06", "KQ_EStreamEndReached"}};
  for (auto const& [text, raised] : bad) {
    KQ_TTime target(1u, 1u);
    EXPECT_EQ(kqtest::Raised([&] { ReadText(target, text); }), raised) << text;
    if (std::string(raised) == "KQ_EIllegalTime") ExpectParts(target, 1, 1);
  }
}

TEST_F(TimeTest, IntervalsReadBackFromTheirTextForm) {
  EXPECT_EQ(Text(KQ_TInterval(-1, -500000)), "KQ_TInterval {\n  -1.500000\n}");
  EXPECT_EQ(Text(KQ_TInterval(0, -1)), "KQ_TInterval {\n  -0.000001\n}");
  // Spans whose decimal text is exact in binary come back as they were.
  for (KQ_TInterval const& interval :
       {KQ_TInterval(-7, -750000), KQ_TInterval(86400, 500000), KQ_TInterval(INT32_MAX, 0),
        KQ_TInterval(INT32_MIN, 0), KQ_TInterval()}) {
    EXPECT_TRUE(Read(Text(interval), KQ_TInterval(5, 5)) == interval) << Text(interval);
  }
  // The fraction's microseconds are cut down, not rounded: the nearest
  // double to 123.000001 lies just below it.
  std::pair<char const*, KQ_TInterval> const cases[] = {
      {"KQ_TInterval { -0.5 }", KQ_TInterval(0, -500000)},
      {"KQ_TInterval { 1.9999996 }", KQ_TInterval(1, 999999)},
      {"KQ_TInterval { 123.000001 }", KQ_TInterval(123, 0)},
      {"KQ_TInterval { -2147483648.5 }", KQ_TInterval(INT32_MIN, -500000)},
      {"KQ_TInterval { 2.5e1L }", KQ_TInterval(25, 0)}};
  for (auto const& [text, want] : cases) {
    SCOPED_TRACE(text);
    ExpectParts(Read(text, KQ_TInterval(5, 5)), want.Seconds(), want.Micros());
  }
  for (char const* text : {"KQ_TInterval { 2147483648 }", "KQ_TInterval { -2147483649 }",
                           "KQ_TInterval { 1 2 }", "KQ_TTime { 1 }"}) {
    KQ_TInterval got(5, 5);
    EXPECT_THROW(ReadText(got, text), KQ_EHRSyntaxError) << text;
  }
}

}  // namespace
