// Times and intervals: construction, arithmetic and normalisation, calendar
// fields in UTC and in a zone with daylight saving, the limits of the 32-bit
// seconds (2038, 2106), formatting, packing and the text format.
//
// Zones are given as POSIX TZ rules, which need no zone database.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"
#include "kq_tinterval.h"
#include "kq_tmemorystream.h"
#include "kq_ttime.h"
#include "platform/kq_sys_time.h"

namespace {

constexpr char kUTCZone[] = "UTC0";
// Central Europe: +1, summer time +2 from the last Sunday of March 02:00 to
// the last Sunday of October 03:00.
constexpr char kCETZone[] = "CET-1CEST,M3.5.0,M10.5.0/3";
// New York: -5, summer time -4 from the second Sunday of March to the first
// Sunday of November.
constexpr char kNewYorkZone[] = "EST5EDT,M3.2.0,M11.1.0";

// Sets TZ for the life of the object and restores the previous value.
class ZoneScope {
 public:
  explicit ZoneScope(char const* zone) {
    char const* old = std::getenv("TZ");
    fHadOld = old != nullptr;
    if (fHadOld) fOld = old;
    setenv("TZ", zone, 1);
    kq::sys::ReloadTimeZone();
  }
  ~ZoneScope() {
    if (fHadOld) {
      setenv("TZ", fOld.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    kq::sys::ReloadTimeZone();
  }
  ZoneScope(ZoneScope const&) = delete;
  ZoneScope& operator=(ZoneScope const&) = delete;

 private:
  bool fHadOld = false;
  std::string fOld;
};

KQ_TTime UTC(int year, int month, int day, int hour, int minute, int second,
             std::uint32_t micros = 0) {
  return KQ_TTime(KQ_TTime::kUTC, static_cast<std::int16_t>(year), static_cast<std::uint8_t>(month),
                  static_cast<std::uint8_t>(day), static_cast<std::uint8_t>(hour),
                  static_cast<std::uint8_t>(minute), static_cast<std::uint8_t>(second), micros);
}

KQ_TTime Local(int year, int month, int day, int hour, int minute, int second,
               std::uint32_t micros = 0) {
  return KQ_TTime(static_cast<std::int16_t>(year), static_cast<std::uint8_t>(month),
                  static_cast<std::uint8_t>(day), static_cast<std::uint8_t>(hour),
                  static_cast<std::uint8_t>(minute), static_cast<std::uint8_t>(second), micros);
}

// The UTC seconds of a calendar date, computed here from the day count.
std::uint32_t Seconds(int year, int month, int day, int hour, int minute, int second) {
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  return static_cast<std::uint32_t>(timegm(&fields));
}

void ExpectInterval(KQ_TInterval const& interval, std::int32_t seconds, std::int32_t micros) {
  EXPECT_EQ(interval.Seconds(), seconds);
  EXPECT_EQ(interval.Micros(), micros);
}

void ExpectTime(KQ_TTime const& time, std::uint32_t seconds, std::uint32_t micros) {
  EXPECT_EQ(time.Seconds(), seconds);
  EXPECT_EQ(time.Micros(), micros);
}

std::string Text(KQ_TString const& string) { return string.UTF8(); }

std::string WriteText(KQ_IHumanReadable const& object) {
  KQ_TMemoryStream memory;
  {
    KQ_THumanReadableStream stream(memory);
    stream << object;
    stream.Flush();
  }
  return std::string(reinterpret_cast<char const*>(memory.Data()), memory.Size());
}

void ReadText(std::string text, KQ_IHumanReadable& object) {
  KQ_TMemoryStream memory(text.data(), static_cast<std::uint32_t>(text.size()),
                          static_cast<std::uint32_t>(text.size()));
  KQ_THumanReadableStream stream(memory);
  stream >> object;
}

std::vector<unsigned char> Pack(KQ_IPackable const& object) {
  KQ_TMemoryStream memory;
  KQ_TDataStream data(memory);
  static_cast<KQ_IPacking&>(data) << object;
  return std::vector<unsigned char>(memory.Data(), memory.Data() + memory.Size());
}

std::unique_ptr<KQ_IPackable> Extract(std::vector<unsigned char> bytes) {
  KQ_TMemoryStream memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                          static_cast<std::uint32_t>(bytes.size()));
  KQ_TDataStream data(memory);
  return std::unique_ptr<KQ_IPackable>(data.Extract(true));
}

class TimeTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__()); }
};

TEST_F(TimeTest, ConstructorsCarryMicrosAndRejectTheInvalidSecond) {
  ExpectTime(KQ_TTime(5u, 1000000u), 5, 1000000);
  ExpectTime(KQ_TTime(5u, 2500000u), 7, 500000);
  ExpectTime(KQ_TTime(5u, 2000000u), 6, 1000000);
  ExpectTime(KQ_TTime(5u, 0xFFFFFFFFu), 5 + 4294, 967295);

  ExpectTime(KQ_TTime(std::int32_t{1234}), 1234, 0);
  // A negative 32-bit value stands for its unsigned bits; only -1 is refused.
  ExpectTime(KQ_TTime(std::int32_t{-2}), 0xFFFFFFFEu, 0);
  EXPECT_THROW(KQ_TTime(std::int32_t{-1}), KQ_EIllegalTime);
  EXPECT_THROW(KQ_TTime(0xFFFFFFFFu), KQ_EIllegalTime);
  ExpectTime(KQ_TTime(0xFFFFFFFEu), 0xFFFFFFFEu, 0);
  // 64-bit seconds are never cut to 32 bits.
  ExpectTime(KQ_TTime(std::int64_t{4294967294}), 4294967294u, 0);
  EXPECT_THROW(KQ_TTime(std::int64_t{4294967295}), KQ_EIllegalTime);
  EXPECT_THROW(KQ_TTime(std::int64_t{4294967296 + 5}), KQ_EIllegalTime);
  EXPECT_THROW(KQ_TTime(std::int64_t{-1}), KQ_EIllegalTime);
  EXPECT_THROW(KQ_TTime(std::uint64_t{1} << 40), KQ_EIllegalTime);
  ExpectTime(KQ_TTime(5LL), 5, 0);
  ExpectTime(KQ_TTime(static_cast<std::time_t>(3000000000)), 3000000000u, 0);
  // The raised exception belongs to the time family.
  EXPECT_THROW(KQ_TTime(std::int32_t{-1}), KQ_ETimeException);

  KQ_TTime copy(KQ_TTime(9u, 8u));
  ExpectTime(copy, 9, 8);
  KQ_TTime assigned(1u, 1u);
  assigned = copy;
  ExpectTime(assigned, 9, 8);
}

TEST_F(TimeTest, DefaultConstructorReadsTheClockToTheMillisecond) {
  auto const before = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  KQ_TTime const now;
  auto const after = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  EXPECT_GE(std::int64_t{now.Seconds()}, before);
  EXPECT_LE(std::int64_t{now.Seconds()}, after);
  EXPECT_EQ(now.Micros() % 1000, 0u);
  EXPECT_LT(now.Micros(), 1000000u);
}

TEST_F(TimeTest, MovingByIntervalsBorrowsAndCarriesOneSecond) {
  KQ_TTime const start(10u, 900000u);
  ExpectTime(start + KQ_TInterval(0, 200000), 11, 100000);
  ExpectTime(start - KQ_TInterval(0, 950000), 9, 950000);
  ExpectTime(start + KQ_TInterval(0, -500000), 10, 400000);
  ExpectTime(start + KQ_TInterval(-1, -950000), 8, 950000);
  ExpectTime(start - KQ_TInterval(-2, -100000), 12, 1000000);
  // A sum of exactly one second's micros stays in the micros.
  ExpectTime(KQ_TTime(10u, 500000u) + KQ_TInterval(0, 500000), 10, 1000000);
  ExpectTime(KQ_TInterval(3, 0) + start, 13, 900000);

  KQ_TTime moved(start);
  moved += KQ_TInterval(100, 100000);
  ExpectTime(moved, 110, 1000000);
  moved -= KQ_TInterval(11, 1);
  ExpectTime(moved, 99, 999999);

  // Seconds wrap modulo 2^32 rather than raise.
  ExpectTime(KQ_TTime(5u, 0u) - KQ_TInterval(10, 0), 0xFFFFFFFBu, 0);
  // Across 2038 and up to 2106 the unsigned seconds count on.
  ExpectTime(KQ_TTime(0x7FFFFFFFu, 500000u) + KQ_TInterval(1, 600000), 0x80000001u, 100000);
  ExpectTime(KQ_TTime(0xFFFFFF00u, 0u) - KQ_TInterval(0x7FFFFFFF, 0), 0x7FFFFF01u, 0);

  // The difference of two times, normalised.
  ExpectInterval(KQ_TTime(11u, 100000u) - KQ_TTime(10u, 900000u), 0, 200000);
  ExpectInterval(KQ_TTime(10u, 900000u) - KQ_TTime(11u, 100000u), 0, -200000);
  ExpectInterval(KQ_TTime(20u, 100000u) - KQ_TTime(10u, 900000u), 9, 200000);
  ExpectInterval(KQ_TTime(10u, 900000u) - KQ_TTime(20u, 100000u), -9, -200000);
  ExpectInterval(KQ_TInterval(KQ_TTime(0x80000000u, 0u), KQ_TTime(0x7FFFFFFFu, 1u)), 0, 999999);
  ExpectInterval(KQ_TTime(0xFFFFFFFEu, 0u) - KQ_TTime(0x80000000u, 0u), 0x7FFFFFFE, 0);
}

TEST_F(TimeTest, TimesOrderBySecondsThenMicros) {
  std::vector<KQ_TTime> const ordered = {KQ_TTime(0u, 0u),          KQ_TTime(0u, 1u),
                                         KQ_TTime(1u, 0u),          KQ_TTime(0x7FFFFFFFu, 999999u),
                                         KQ_TTime(0x80000000u, 0u), KQ_TTime(0xFFFFFFFEu, 0u)};
  for (std::size_t i = 0; i < ordered.size(); ++i) {
    for (std::size_t j = 0; j < ordered.size(); ++j) {
      SCOPED_TRACE(testing::Message() << i << " vs " << j);
      EXPECT_EQ(ordered[i] == ordered[j], i == j);
      EXPECT_EQ(ordered[i] != ordered[j], i != j);
      EXPECT_EQ(ordered[i] < ordered[j], i < j);
      EXPECT_EQ(ordered[i] <= ordered[j], i <= j);
      EXPECT_EQ(ordered[i] > ordered[j], i > j);
      EXPECT_EQ(ordered[i] >= ordered[j], i >= j);
    }
  }
}

TEST_F(TimeTest, CloseTimesLieLessThanASecondApart) {
  struct Case {
    KQ_TTime a;
    KQ_TTime b;
    bool close;
  };
  Case const cases[] = {
      {KQ_TTime(10u, 800000u), KQ_TTime(11u, 200000u), true},   // 0.4 s across a second
      {KQ_TTime(10u, 500000u), KQ_TTime(11u, 700000u), false},  // 1.2 s
      {KQ_TTime(10u, 0u), KQ_TTime(11u, 0u), false},            // exactly 1 s
      {KQ_TTime(10u, 999999u), KQ_TTime(11u, 999998u), true},
      {KQ_TTime(10u, 0u), KQ_TTime(12u, 0u), false},
      {KQ_TTime(10u, 0u), KQ_TTime(10u, 1000000u), true},  // equal seconds always count
      {KQ_TTime(0u, 900000u), KQ_TTime(0xFFFFFFFEu, 900000u), false},
      // Seconds two apart are never close, whatever the micros say.
      {KQ_TTime(10u, 0u).SetMicros(1999999), KQ_TTime(12u, 0u), false},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(testing::Message() << c.a.Seconds() << "." << c.a.Micros() << " vs "
                                    << c.b.Seconds() << "." << c.b.Micros());
    EXPECT_EQ(c.a ^ c.b, c.close);
    EXPECT_EQ(c.b ^ c.a, c.close);
  }
}

TEST_F(TimeTest, IntervalsNormaliseToTheSignOfTheSpan) {
  struct Case {
    std::int32_t seconds;
    std::int32_t micros;
    std::int32_t wantSeconds;
    std::int32_t wantMicros;
  };
  Case const cases[] = {
      {-2, 300000, -1, -700000},
      {2, -300000, 1, 700000},
      {5, 1000000, 5, 1000000},
      {-5, -1000000, -5, -1000000},
      {0, -500000, 0, -500000},
      {0, 2500000, 2, 500000},
      {0, -1000000, -1, 0},
      {3, -2500000, 0, 500000},
      {-3, 2500000, 0, -500000},
      {1, -1500000, 0, -500000},
      {0, 0, 0, 0},
      {0, 1000001, 1, 1},
      {INT32_MAX, 1000001, INT32_MIN, 1},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(testing::Message() << c.seconds << ", " << c.micros);
    ExpectInterval(KQ_TInterval(c.seconds, c.micros), c.wantSeconds, c.wantMicros);
  }
  ExpectInterval(KQ_TInterval(), 0, 0);

  ExpectInterval(KQ_TInterval(1, 600000) + KQ_TInterval(1, 600000), 3, 200000);
  ExpectInterval(KQ_TInterval(1, 0) - KQ_TInterval(2, 500000), -1, -500000);
  ExpectInterval(KQ_TInterval(0, 300000) - KQ_TInterval(0, 800000), 0, -500000);
  ExpectInterval(KQ_TInterval(-1, -600000) - KQ_TInterval(-1, -600000), 0, 0);
  KQ_TInterval sum(0, 999999);
  sum += KQ_TInterval(0, 2);
  ExpectInterval(sum, 1, 1);
  sum -= KQ_TInterval(3, 0);
  ExpectInterval(sum, -1, -999999);
  KQ_TInterval assigned(7, 7);
  assigned = sum;
  ExpectInterval(assigned, -1, -999999);

  // Ordered by seconds, then micros, both signed.
  std::vector<KQ_TInterval> const ordered = {KQ_TInterval(-2, 0),      KQ_TInterval(-1, -500000),
                                             KQ_TInterval(0, -500000), KQ_TInterval(0, 0),
                                             KQ_TInterval(0, 1),       KQ_TInterval(1, 0)};
  for (std::size_t i = 0; i < ordered.size(); ++i) {
    for (std::size_t j = 0; j < ordered.size(); ++j) {
      EXPECT_EQ(ordered[i] == ordered[j], i == j);
      EXPECT_EQ(ordered[i] != ordered[j], i != j);
      EXPECT_EQ(ordered[i] < ordered[j], i < j);
      EXPECT_EQ(ordered[i] <= ordered[j], i <= j);
      EXPECT_EQ(ordered[i] > ordered[j], i > j);
      EXPECT_EQ(ordered[i] >= ordered[j], i >= j);
    }
  }
}

TEST_F(TimeTest, SettingIntervalFieldsKeepsTheSubSecondInPlace) {
  ExpectInterval(KQ_TInterval(2, 0).SetMicros(1500000), 3, 500000);
  ExpectInterval(KQ_TInterval(5, 0).SetMicros(-300), 4, 999700);
  ExpectInterval(KQ_TInterval(2, 0).SetMicros(-2500000), 0, -500000);
  ExpectInterval(KQ_TInterval(-3, 0).SetMicros(1000000), -2, 0);
  ExpectInterval(KQ_TInterval(-3, 0).SetMicros(300), -2, -999700);
  ExpectInterval(KQ_TInterval(0, 0).SetMicros(-300), 0, -300);
  ExpectInterval(KQ_TInterval(0, 0).SetMicros(INT32_MIN), -2147, -483648);

  ExpectInterval(KQ_TInterval(-2, -300000).SetSeconds(5), 5, 700000);
  ExpectInterval(KQ_TInterval(2, 300000).SetSeconds(-5), -5, -700000);
  ExpectInterval(KQ_TInterval(2, 300000).SetSeconds(0), 0, 300000);
  ExpectInterval(KQ_TInterval(2, 300000).SetSeconds(9), 9, 300000);
  // Zero seconds are neither sign: the micros stay.
  ExpectInterval(KQ_TInterval(-2, -300000).SetSeconds(0), 0, -300000);
}

TEST_F(TimeTest, IntervalTextGivesMinutesSecondsAndMicros) {
  EXPECT_EQ(Text(KQ_TInterval(125, 300)), "2\":05.000300'");
  EXPECT_EQ(Text(KQ_TInterval(-125, -300)), "-2\":05.000300'");
  EXPECT_EQ(Text(KQ_TInterval(0, -500000)), "-0\":00.500000'");
  EXPECT_EQ(Text(KQ_TInterval()), "0\":00.000000'");
  EXPECT_EQ(Text(KQ_TInterval(59, 1000000)), "0\":59.1000000'");
  EXPECT_EQ(Text(KQ_TInterval(INT32_MAX, 999999)), "35791394\":07.999999'");
  EXPECT_EQ(Text(KQ_TInterval(INT32_MIN, -1000000)), "-35791394\":08.1000000'");

  std::ostringstream printed;
  KQ_TInterval(-61, -1).PrintOn(printed);
  EXPECT_EQ(printed.str(), "-1\":01.000001'");
}

TEST_F(TimeTest, UTCFieldsReachFrom1970To2106) {
  struct Case {
    std::uint32_t seconds;
    int year, month, day, hour, minute, second, weekday;
  };
  Case const cases[] = {
      {0, 1970, 1, 1, 0, 0, 0, 5},
      {951782400, 2000, 2, 29, 0, 0, 0, 3},
      {0x7FFFFFFFu, 2038, 1, 19, 3, 14, 7, 3},
      {0x80000000u, 2038, 1, 19, 3, 14, 8, 3},
      {4107542400u, 2100, 3, 1, 0, 0, 0, 2},
      {0xFFFFFFFEu, 2106, 2, 7, 6, 28, 14, 1},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.seconds);
    KQ_TTime const time(c.seconds, 42u);
    EXPECT_EQ(time.GMTYear(), c.year);
    EXPECT_EQ(time.GMTMonth(), c.month);
    EXPECT_EQ(time.GMTDay(), c.day);
    EXPECT_EQ(time.GMTHour(), c.hour);
    EXPECT_EQ(time.GMTMinute(), c.minute);
    EXPECT_EQ(time.GMTSecond(), c.second);
    EXPECT_EQ(time.GMTWeekday(), c.weekday);
    EXPECT_EQ(time.GMTMicros(), 42u);
    ExpectTime(UTC(c.year, c.month, c.day, c.hour, c.minute, c.second, 42), c.seconds, 42);
  }
  // Fields out of range are carried over; 2100 is no leap year.
  EXPECT_EQ(UTC(2100, 2, 29, 0, 0, 0).Seconds(), 4107542400u);
  EXPECT_EQ(UTC(2007, 1, 32, 24, 60, 60).Seconds(), Seconds(2007, 2, 2, 1, 1, 0));
  EXPECT_EQ(UTC(2007, 13, 1, 0, 0, 0).Seconds(), Seconds(2008, 1, 1, 0, 0, 0));
  // Micros are stored as given.
  EXPECT_EQ(UTC(2007, 1, 1, 0, 0, 0, 3000000).Micros(), 3000000u);

  // The first and the last valid second, and one beyond each.
  EXPECT_THROW(UTC(1969, 12, 31, 23, 59, 59), KQ_EIllegalTime);
  EXPECT_THROW(UTC(2106, 2, 7, 6, 28, 15), KQ_EIllegalTime);
  EXPECT_THROW(UTC(2200, 1, 1, 0, 0, 0), KQ_EIllegalTime);
  EXPECT_THROW(UTC(-30000, 1, 1, 0, 0, 0), KQ_EIllegalTime);
}

TEST_F(TimeTest, SettingUTCFieldsCarriesOverAndRefusesInvalidTimes) {
  ZoneScope zone(kCETZone);
  KQ_TTime time = UTC(2007, 1, 31, 10, 20, 30, 77);
  time.SetGMTDay(32);
  ExpectTime(time, Seconds(2007, 2, 1, 10, 20, 30), 77);
  time.SetGMTMonth(7);
  EXPECT_EQ(time.Seconds(), Seconds(2007, 7, 1, 10, 20, 30));
  // A summer date keeps its UTC hour whatever the zone's daylight saving.
  EXPECT_EQ(time.GMTHour(), 10);
  time.SetGMTHour(-1);
  EXPECT_EQ(time.Seconds(), Seconds(2007, 6, 30, 23, 20, 30));
  time.SetGMTMinute(61).SetGMTSecond(5).SetGMTYear(2100);
  EXPECT_EQ(time.Seconds(), Seconds(2100, 7, 1, 0, 1, 5));
  time.SetGMTMicros(12);
  EXPECT_EQ(time.GMTMicros(), 12u);

  KQ_TTime const before(time);
  EXPECT_THROW(time.SetGMTYear(2106), KQ_EIllegalTime);
  EXPECT_THROW(time.SetGMTYear(1969), KQ_EIllegalTime);
  EXPECT_THROW(time.SetGMTYear(INT_MIN), KQ_EIllegalTime);
  EXPECT_THROW(time.SetGMTMonth(INT_MIN), KQ_EIllegalTime);
  EXPECT_THROW(time.SetGMTDay(INT_MAX), KQ_EIllegalTime);
  EXPECT_TRUE(time == before);
  // Early in 2106 the year is still valid.
  time.SetGMTMonth(1).SetGMTYear(2106);
  EXPECT_EQ(time.Seconds(), Seconds(2106, 1, 1, 0, 1, 5));
}

TEST_F(TimeTest, ZoneBiasIsTheStandardTimeOffset) {
  {
    ZoneScope zone(kCETZone);
    EXPECT_EQ(KQ_TTime::TimeZone(), -3600);
  }
  {
    ZoneScope zone(kNewYorkZone);
    EXPECT_EQ(KQ_TTime::TimeZone(), 5 * 3600);
  }
  {
    ZoneScope zone(kUTCZone);
    EXPECT_EQ(KQ_TTime::TimeZone(), 0);
  }
}

TEST_F(TimeTest, LocalFieldsFollowDaylightSaving) {
  ZoneScope zone(kCETZone);
  KQ_TTime const winter = Local(2007, 1, 15, 12, 0, 0, 5);
  ExpectTime(winter, Seconds(2007, 1, 15, 11, 0, 0), 5);
  KQ_TTime const summer = Local(2007, 7, 15, 12, 0, 0);
  EXPECT_EQ(summer.Seconds(), Seconds(2007, 7, 15, 10, 0, 0));
  EXPECT_EQ(summer.Hour(), 12);
  EXPECT_EQ(summer.GMTHour(), 10);

  // Local fields of one instant, near midnight on New Year's Eve in UTC.
  KQ_TTime const newYear = UTC(2006, 12, 31, 23, 30, 15);
  EXPECT_EQ(newYear.Year(), 2007);
  EXPECT_EQ(newYear.Month(), 1);
  EXPECT_EQ(newYear.Day(), 1);
  EXPECT_EQ(newYear.Hour(), 0);
  EXPECT_EQ(newYear.Minute(), 30);
  EXPECT_EQ(newYear.Second(), 15);
  EXPECT_EQ(newYear.Weekday(), 2);
  EXPECT_EQ(newYear.GMTWeekday(), 1);
  EXPECT_EQ(KQ_TTime(0u, 0u).Weekday(), 5);

  // Beyond 2038 the zone's rules still apply.
  KQ_TTime const farSummer = Local(2100, 7, 1, 12, 0, 0);
  EXPECT_EQ(farSummer.Seconds(), 4118119200u);
  EXPECT_EQ(farSummer.Hour(), 12);
  EXPECT_EQ(Local(2106, 2, 7, 7, 28, 14).Seconds(), 0xFFFFFFFEu);
  EXPECT_THROW(Local(2106, 2, 7, 7, 28, 15), KQ_EIllegalTime);
  // 00:30 on 1 January 1970 in this zone lies before 1970 in UTC.
  EXPECT_THROW(Local(1970, 1, 1, 0, 30, 0), KQ_EIllegalTime);
  EXPECT_EQ(Local(1970, 1, 1, 1, 0, 0).Seconds(), 0u);
}

TEST_F(TimeTest, TheSkippedHourLandsAfterTheJump) {
  ZoneScope zone(kCETZone);
  // 2024-03-31: the clocks go from 02:00 CET to 03:00 CEST.
  KQ_TTime const lastWinter = Local(2024, 3, 31, 1, 59, 59);
  EXPECT_EQ(lastWinter.Seconds(), Seconds(2024, 3, 31, 0, 59, 59));
  KQ_TTime const firstSummer = lastWinter + KQ_TInterval(1, 0);
  EXPECT_EQ(firstSummer.Hour(), 3);
  EXPECT_EQ(firstSummer.Minute(), 0);
  EXPECT_EQ(firstSummer.Second(), 0);

  KQ_TTime const skipped = Local(2024, 3, 31, 2, 30, 0);
  EXPECT_EQ(skipped.Seconds(), Seconds(2024, 3, 31, 1, 30, 0));
  EXPECT_EQ(skipped.Hour(), 3);
  EXPECT_EQ(skipped.Minute(), 30);

  KQ_TTime set = Local(2024, 3, 31, 1, 30, 0);
  set.SetHour(2);
  EXPECT_EQ(set.Hour(), 3);
  EXPECT_EQ(set.Seconds(), Seconds(2024, 3, 31, 1, 30, 0));

  // A day later the local hour is one less in UTC.
  EXPECT_EQ(Local(2024, 3, 30, 12, 0, 0).GMTHour(), 11);
  EXPECT_EQ(Local(2024, 3, 31, 12, 0, 0).GMTHour(), 10);

  // The same in a zone west of UTC.
  ZoneScope newYork(kNewYorkZone);
  KQ_TTime const skippedWest = Local(2024, 3, 10, 2, 30, 0);
  EXPECT_EQ(skippedWest.Seconds(), Seconds(2024, 3, 10, 7, 30, 0));
  EXPECT_EQ(skippedWest.Hour(), 3);
}

TEST_F(TimeTest, TheRepeatedHourMeansTheEarlierInstantUnlessToldOtherwise) {
  ZoneScope zone(kCETZone);
  // 2024-10-27: the clocks go back from 03:00 CEST to 02:00 CET.
  std::uint32_t const firstPass = Seconds(2024, 10, 27, 0, 30, 0);
  std::uint32_t const secondPass = Seconds(2024, 10, 27, 1, 30, 0);
  EXPECT_EQ(Local(2024, 10, 27, 2, 30, 0).Seconds(), firstPass);
  KQ_TTime const later = KQ_TTime(firstPass, 0u) + KQ_TInterval(3600, 0);
  EXPECT_EQ(later.Seconds(), secondPass);
  EXPECT_EQ(later.Hour(), 2);
  EXPECT_EQ(later.Minute(), 30);
  EXPECT_EQ(Text(later.Format("%H:%M %Z")), "02:30 CET");
  EXPECT_EQ(Text(KQ_TTime(firstPass, 0u).Format("%H:%M %Z")), "02:30 CEST");

  // The std::tm form takes tm_isdst as the choice, and writes the fields
  // back as they are.
  std::tm fields{};
  fields.tm_year = 124;
  fields.tm_mon = 9;
  fields.tm_mday = 27;
  fields.tm_hour = 2;
  fields.tm_min = 30;
  fields.tm_isdst = 0;
  EXPECT_EQ(KQ_TTime(&fields).Seconds(), secondPass);
  EXPECT_EQ(fields.tm_isdst, 0);
  EXPECT_EQ(fields.tm_wday, 0);
  fields.tm_isdst = 1;
  EXPECT_EQ(KQ_TTime(&fields).Seconds(), firstPass);
  EXPECT_EQ(fields.tm_isdst, 1);
  fields.tm_isdst = -1;
  EXPECT_EQ(KQ_TTime(&fields).Seconds(), firstPass);
  EXPECT_EQ(fields.tm_isdst, 1);
  // Elsewhere in the year tm_isdst cannot move the local hour.
  std::tm summer{};
  summer.tm_year = 107;
  summer.tm_mon = 6;
  summer.tm_mday = 45;
  summer.tm_hour = 12;
  KQ_TTime const fromFields(&summer);
  EXPECT_EQ(fromFields.Seconds(), Seconds(2007, 8, 14, 10, 0, 0));
  EXPECT_EQ(summer.tm_mon, 7);
  EXPECT_EQ(summer.tm_mday, 14);
  EXPECT_EQ(summer.tm_isdst, 1);
  EXPECT_EQ(summer.tm_yday, 225);

  // Setters keep the daylight-saving state when the new fields occur twice.
  KQ_TTime second(secondPass, 0u);
  second.SetMinute(45);
  EXPECT_EQ(second.Seconds(), Seconds(2024, 10, 27, 1, 45, 0));
  KQ_TTime first(firstPass, 0u);
  first.SetMinute(45);
  EXPECT_EQ(first.Seconds(), Seconds(2024, 10, 27, 0, 45, 0));

  EXPECT_THROW(KQ_TTime(static_cast<std::tm*>(nullptr)), KQ_EIllegalTime);
  std::tm early{};
  early.tm_year = 69;
  early.tm_mday = 1;
  EXPECT_THROW(KQ_TTime{&early}, KQ_EIllegalTime);
  std::tm huge{};
  huge.tm_year = INT_MAX;
  huge.tm_mon = INT_MAX;
  huge.tm_mday = INT_MAX;
  EXPECT_THROW(KQ_TTime{&huge}, KQ_EIllegalTime);
}

TEST_F(TimeTest, SettingLocalFieldsKeepsTheLocalClockTime) {
  ZoneScope zone(kCETZone);
  KQ_TTime time = Local(2007, 1, 31, 12, 20, 30, 9);
  time.SetDay(32);
  EXPECT_EQ(time.Month(), 2);
  EXPECT_EQ(time.Day(), 1);
  // From winter into summer the local hour stays 12.
  time.SetMonth(7);
  EXPECT_EQ(time.Hour(), 12);
  ExpectTime(time, Seconds(2007, 7, 1, 10, 20, 30), 9);
  time.SetHour(-1);
  EXPECT_EQ(time.Day(), 30);
  EXPECT_EQ(time.Hour(), 23);
  time.SetMinute(0).SetSecond(75).SetYear(2040);
  EXPECT_EQ(time.Seconds(), Seconds(2040, 6, 30, 21, 1, 15));
  time.SetMicros(1000000);
  EXPECT_EQ(time.Micros(), 1000000u);

  KQ_TTime const before(time);
  EXPECT_THROW(time.SetYear(2107), KQ_EIllegalTime);
  EXPECT_THROW(time.SetYear(1969), KQ_EIllegalTime);
  EXPECT_THROW(time.SetYear(INT_MIN), KQ_EIllegalTime);
  EXPECT_THROW(time.SetMonth(INT_MIN), KQ_EIllegalTime);
  EXPECT_THROW(time.SetHour(INT_MAX), KQ_EIllegalTime);
  EXPECT_TRUE(time == before);
}

TEST_F(TimeTest, FormattingUsesLocalOrUTCFieldsAndNeverRaises) {
  ZoneScope zone(kCETZone);
  KQ_TTime const time = UTC(2007, 3, 4, 5, 6, 7, 8);
  EXPECT_EQ(Text(time), "03/04/07 06:06:07");
  EXPECT_EQ(Text(time.Format("%Y-%m-%d %H:%M:%S %Z %z")), "2007-03-04 06:06:07 CET +0100");
  EXPECT_EQ(Text(time.FormatGMT("%Y-%m-%d %H:%M:%S")), "2007-03-04 05:06:07");
  EXPECT_EQ(Text(UTC(2100, 7, 1, 10, 0, 0).Format("%H %Z")), "12 CEST");
  EXPECT_EQ(Text(KQ_TTime(0xFFFFFFFEu, 0u).FormatGMT("%A %d %B %Y")), "Sunday 07 February 2106");
  // Text beyond ASCII passes as UTF-8.
  KQ_TString const format(L"\u00e4 %Y \u20ac");
  EXPECT_TRUE(time.Format(format) == KQ_TString(L"\u00e4 2007 \u20ac"));
  // Empty or too long for 256 bytes: the empty string.
  EXPECT_EQ(time.Format("").Length(), 0u);
  EXPECT_EQ(time.Format(KQ_TString(std::string(300, 'x').c_str())).Length(), 0u);
  EXPECT_EQ(time.Format(KQ_TString(std::string(255, 'x').c_str())).Length(), 255u);

  std::ostringstream printed;
  time.PrintOn(printed);
  EXPECT_EQ(printed.str(), "03/04/07 06:06:07");
}

TEST_F(TimeTest, TimesPackAsCodeAndTwoUnsignedNumbers) {
  KQ_TTime const time(0xFFFFFFFEu, 999999u);
  std::vector<unsigned char> const bytes = Pack(time);
  std::vector<unsigned char> const expected = {0x48, 0x07, 0xFF, 0xFF, 0xFF, 0xFE,
                                               0x07, 0x00, 0x0F, 0x42, 0x3F};
  EXPECT_EQ(bytes, expected);
  std::unique_ptr<KQ_IPackable> const extracted = Extract(bytes);
  ASSERT_NE(extracted, nullptr);
  auto const* const restored = static_cast<KQ_TTime const*>(extracted->KQ_Cast("KQ_TTime"));
  ASSERT_NE(restored, nullptr);
  EXPECT_TRUE(*restored == time);
  EXPECT_TRUE(restored->KQ_IsIdent(time));

  // Unpacking through the stream assignment; micros beyond a second carry.
  std::vector<unsigned char> carried = {0x48, 0x07, 0x00, 0x00, 0x00, 0x05,
                                        0x07, 0x00, 0x26, 0x25, 0xA0};
  KQ_TMemoryStream memory(carried.data(), static_cast<std::uint32_t>(carried.size()),
                          static_cast<std::uint32_t>(carried.size()));
  KQ_TDataStream data(memory);
  KQ_TTime target(1u, 1u);
  target = static_cast<KQ_IUnpacking&>(data);
  ExpectTime(target, 7, 500000);

  std::unique_ptr<KQ_IPackable> const clone(time.KQ_Clone());
  EXPECT_TRUE(clone->KQ_IsIdent(time));
  EXPECT_FALSE(time.KQ_IsIdent(KQ_TTime(0xFFFFFFFEu, 0u)));
  EXPECT_FALSE(time.KQ_IsIdent(KQ_TInterval(1, 0)));
}

TEST_F(TimeTest, IntervalsPackAsNamedObjectWithTwoSignedNumbers) {
  KQ_TInterval const interval(-1, -500000);
  std::vector<unsigned char> const bytes = Pack(interval);
  std::vector<unsigned char> expected = {0x0D, 0x00, 0x00, 0x00, 0x0C};
  for (char c : std::string("KQ_TInterval")) expected.push_back(static_cast<unsigned char>(c));
  std::vector<unsigned char> const fields = {0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0x03,
                                             0xFF, 0xF8, 0x5E, 0xE0, 0xFF};
  expected.insert(expected.end(), fields.begin(), fields.end());
  EXPECT_EQ(bytes, expected);
  std::unique_ptr<KQ_IPackable> const extracted = Extract(bytes);
  ASSERT_NE(extracted, nullptr);
  auto const* const restored = static_cast<KQ_TInterval const*>(extracted->KQ_Cast("KQ_TInterval"));
  ASSERT_NE(restored, nullptr);
  EXPECT_TRUE(*restored == interval);
  EXPECT_TRUE(interval.KQ_IsIdent(*restored));
  EXPECT_FALSE(interval.KQ_IsIdent(KQ_TInterval(-1, -499999)));
  EXPECT_FALSE(interval.KQ_IsIdent(KQ_TTime(1u, 0u)));

  // Fields that are not in form are normalised when read.
  std::vector<unsigned char> loose = bytes;
  std::vector<unsigned char> const looseFields = {0x03, 0x00, 0x00, 0x00, 0x00,
                                                  0x03, 0x00, 0x26, 0x25, 0xA0};
  std::copy(looseFields.begin(), looseFields.end(), loose.begin() + 17);
  std::unique_ptr<KQ_IPackable> const normalised = Extract(loose);
  ASSERT_NE(normalised, nullptr);
  ExpectInterval(*static_cast<KQ_TInterval const*>(normalised->KQ_Cast("KQ_TInterval")), 2, 500000);

  std::unique_ptr<KQ_IPackable> const clone(interval.KQ_Clone());
  EXPECT_TRUE(clone->KQ_IsIdent(interval));
}

TEST_F(TimeTest, ClassRecordsCreateTheCurrentTimeAndAZeroInterval) {
  EXPECT_STREQ(KQ_TTime::KQ_ClassName(), "KQ_TTime");
  EXPECT_STREQ(KQ_TInterval::KQ_ClassName(), "KQ_TInterval");
  for (char const* name : {"KQ_IPackable", "KQ_IPrintable", "KQ_IHumanReadable"}) {
    EXPECT_TRUE(KQ_TTime::KQ_HasInterface(name)) << name;
    EXPECT_TRUE(KQ_TInterval::KQ_HasInterface(name)) << name;
  }
  EXPECT_TRUE(KQ_TTime::KQ_HasSuperclass("KQ_TObject"));
  EXPECT_EQ(KQ_TDataStream::SpecificType(72), KQ_TTime::KQ_ClassObject());

  std::unique_ptr<KQ_TObject> const time(KQ_TClass::FindClass("KQ_TTime")->CreateInstance());
  ASSERT_NE(time, nullptr);
  auto const* const created = static_cast<KQ_TTime const*>(time->KQ_Cast("KQ_TTime"));
  ASSERT_NE(created, nullptr);
  EXPECT_LE(KQ_TTime(std::time(nullptr)).Seconds() - created->Seconds(), 1u);

  std::unique_ptr<KQ_TObject> const interval(
      KQ_TClass::FindClass("KQ_TInterval")->CreateInstance());
  ASSERT_NE(interval, nullptr);
  auto const* const zero = static_cast<KQ_TInterval const*>(interval->KQ_Cast("KQ_TInterval"));
  ASSERT_NE(zero, nullptr);
  ExpectInterval(*zero, 0, 0);
}

TEST_F(TimeTest, TimesReadBackFromTheirTextForm) {
  ZoneScope zone(kCETZone);
  KQ_TTime const time = Local(2007, 3, 4, 5, 6, 7, 8);
  std::string const text = WriteText(time);
  EXPECT_EQ(text, "KQ_TTime {\n  4/3/2007 05:06:07.000008\n}");
  KQ_TTime read(1u, 1u);
  ReadText(text, read);
  EXPECT_TRUE(read == time);

  // Summer time, the repeated hour (its earlier pass) and the last second.
  for (KQ_TTime const& t : {Local(2024, 7, 31, 23, 59, 59, 999999), Local(2024, 10, 27, 2, 30, 0),
                            KQ_TTime(0xFFFFFFFEu, 1u), KQ_TTime(0u, 0u)}) {
    KQ_TTime back(1u, 1u);
    ReadText(WriteText(t), back);
    EXPECT_TRUE(back == t) << WriteText(t);
  }
  // Micros of a whole second are written as the next second.
  EXPECT_EQ(WriteText(KQ_TTime(Local(2007, 3, 4, 5, 6, 7).Seconds(), 1000000u)),
            "KQ_TTime {\n  4/3/2007 05:06:08.000000\n}");

  struct Case {
    char const* text;
    KQ_TTime want;
  };
  Case const cases[] = {
      {"KQ_TTime { 4/3/2007 05:06 }", Local(2007, 3, 4, 5, 6, 0)},
      {"KQ_TTime {4/3/2007 5:6:7}", Local(2007, 3, 4, 5, 6, 7)},
      {"KQ_TTime { 4/3/2007 05:06:07.0000086 }", Local(2007, 3, 4, 5, 6, 7, 9)},
      {"KQ_TTime { 4/3/2007 05:06:07.25 }", Local(2007, 3, 4, 5, 6, 7, 250000)},
      {"KQ_TTime { 4/3/2007 }", Local(2007, 3, 4, 0, 0, 0)},
      {"KQ_TTime {\n  31/12/2105\n}", Local(2105, 12, 31, 0, 0, 0)},
      {"KQ_TTime { 31/3/2024 02:30:00.0 }", Local(2024, 3, 31, 3, 30, 0)},
      {"KQ_TTime { 0031/03/2024 12:00:60 }", Local(2024, 3, 31, 12, 1, 0)},
      // Seconds carry into the minutes either way, as the local fields do.
      {"KQ_TTime { 4/3/2007 05:06:75.25 }", Local(2007, 3, 4, 5, 7, 15, 250000)},
      {"KQ_TTime { 4/3/2007 05:06:-1 }", Local(2007, 3, 4, 5, 5, 59)},
      {"KQ_TTime { 4/3/2007 05:06:07.9999996 }", Local(2007, 3, 4, 5, 6, 8)},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.text);
    KQ_TTime got(1u, 1u);
    ReadText(c.text, got);
    EXPECT_EQ(got.Seconds(), c.want.Seconds());
    EXPECT_EQ(got.Micros(), c.want.Micros());
  }

  // Extract() finds the class by its name.
  std::string const extractText = "KQ_TTime { 4/3/2007 05:06:07.000008 }";
  KQ_TMemoryStream memory(const_cast<char*>(extractText.data()),
                          static_cast<std::uint32_t>(extractText.size()),
                          static_cast<std::uint32_t>(extractText.size()));
  KQ_THumanReadableStream stream(memory);
  std::unique_ptr<KQ_IHumanReadable> const extracted(stream.Extract());
  ASSERT_NE(extracted, nullptr);
  auto const* const extractedTime = static_cast<KQ_TTime const*>(extracted->KQ_Cast("KQ_TTime"));
  ASSERT_NE(extractedTime, nullptr);
  EXPECT_TRUE(*extractedTime == time);
}

TEST_F(TimeTest, MalformedTimeTextRaises) {
  ZoneScope zone(kUTCZone);
  char const* const syntaxErrors[] = {
      "KQ_TTime { 32/3/2007 05:06 }",     "KQ_TTime { 4/13/2007 05:06 }",
      "KQ_TTime { 4-3-2007 05:06 }",      "KQ_TTime { 4/3 2007 05:06 }",
      "KQ_TTime { /3/2007 05:06 }",       "KQ_TTime { 4/3/ 05:06 }",
      "KQ_TTime { 4/3/2007 24:00 }",      "KQ_TTime { 4/3/2007 05:60 }",
      "KQ_TTime { 4/3/2007 05.06 }",      "KQ_TTime { 99999999999999999999/3/2007 }",
      "KQ_TTime { 4/3/2007 05:06:07 x }", "KQ_TTime { 1/1/99999999999999999999 }",
      "KQ_TTime { 4/3/2007 x }",          "KQ_TInterval { 4/3/2007 }",
  };
  for (char const* text : syntaxErrors) {
    SCOPED_TRACE(text);
    KQ_TTime time(1u, 1u);
    EXPECT_THROW(ReadText(text, time), KQ_EHRSyntaxError);
  }
  char const* const illegal[] = {
      "KQ_TTime { 31/12/1969 23:59:59 }",
      "KQ_TTime { 7/2/2106 06:28:15 }",
      "KQ_TTime { 1/1/99999 }",
      "KQ_TTime { 4/3/2007 05:06:1e400 }",
      "KQ_TTime { 4/3/2007 05:06:1e300 }",
  };
  for (char const* text : illegal) {
    SCOPED_TRACE(text);
    KQ_TTime time(1u, 1u);
    EXPECT_THROW(ReadText(text, time), KQ_EIllegalTime);
    ExpectTime(time, 1, 1);
  }
  KQ_TTime time(1u, 1u);
  EXPECT_THROW(ReadText("KQ_TTime { 4/3/2007 05:06", time), KQ_EStreamEndReached);
}

TEST_F(TimeTest, IntervalsReadBackFromTheirTextForm) {
  EXPECT_EQ(WriteText(KQ_TInterval(-1, -500000)), "KQ_TInterval {\n  -1.500000\n}");
  EXPECT_EQ(WriteText(KQ_TInterval(0, -1)), "KQ_TInterval {\n  -0.000001\n}");
  // Spans whose decimal text is exact in binary come back as they were.
  for (KQ_TInterval const& interval :
       {KQ_TInterval(0, 500000), KQ_TInterval(-7, -750000), KQ_TInterval(86400, 500000),
        KQ_TInterval(-1, -500000), KQ_TInterval(INT32_MAX, 0), KQ_TInterval(INT32_MIN, 0),
        KQ_TInterval()}) {
    KQ_TInterval back(5, 5);
    ReadText(WriteText(interval), back);
    EXPECT_TRUE(back == interval) << WriteText(interval);
  }
  struct Case {
    char const* text;
    std::int32_t seconds;
    std::int32_t micros;
  };
  Case const cases[] = {
      {"KQ_TInterval { 2 }", 2, 0},
      {"KQ_TInterval { -0.5 }", 0, -500000},
      {"KQ_TInterval { 1.0000004 }", 1, 0},
      {"KQ_TInterval { 1.9999996 }", 1, 999999},
      // The fraction's microseconds are cut down, not rounded: the nearest
      // double to 123.000001 lies just below it.
      {"KQ_TInterval { 123.000001 }", 123, 0},
      {"KQ_TInterval { -2147483648.5 }", INT32_MIN, -500000},
      {"KQ_TInterval { 2.5e1L }", 25, 0},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.text);
    KQ_TInterval got(5, 5);
    ReadText(c.text, got);
    ExpectInterval(got, c.seconds, c.micros);
  }
  for (char const* text :
       {"KQ_TInterval { 2147483648 }", "KQ_TInterval { -2147483649 }", "KQ_TInterval { 1e300 }",
        "KQ_TInterval { x }", "KQ_TInterval { 1 2 }", "KQ_TTime { 1 }"}) {
    SCOPED_TRACE(text);
    KQ_TInterval got(5, 5);
    EXPECT_THROW(ReadText(text, got), KQ_EHRSyntaxError);
  }
}

}  // namespace
