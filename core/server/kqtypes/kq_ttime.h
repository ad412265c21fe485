// KQ_TTime: a point in time, held as unsigned 32-bit seconds since
// 1970-01-01 00:00:00 UTC and the microseconds within the second, so it
// reaches from 1970 to early 2106. The seconds value 0xFFFFFFFF is never a
// valid time.
//
// Calendar fields are read and set in local time (Day, SetHour, ...) or in
// UTC (GMTDay, SetGMTHour, ...). Local time follows the zone of the TZ
// environment variable, read on first use (and again whenever the program
// calls kq::sys::ReloadTimeZone). Across daylight-saving changes local fields
// that the clock skips land after the jump by its size (02:30 on the night
// the clock goes from 02:00 to 03:00 is 03:30), and fields that occur twice
// mean the earlier instant unless the conversion is told otherwise (see the
// std::tm constructor and the local setters).
//
// Conversions that cannot give a valid time (before 1970, from 2106-02-07
// 06:28:15 UTC on) raise KQ_EIllegalTime. Arithmetic with intervals wraps
// the seconds instead.
//
// The header also gives KQ_TInterval.
#pragma once

#include <cstdint>
#include <ctime>
#include <ostream>

#include "kq_ihumanreadable.h"
#include "kq_ipackable.h"
#include "kq_iprintable.h"
#include "kq_tinterval.h"
#include "kq_tobject.h"
#include "kq_tstring.h"

class KQ_EXPORT KQ_TTime : public KQ_TObject,
                           public virtual KQ_IPackable,
                           public virtual KQ_IPrintable,
                           public virtual KQ_IHumanReadable {
  KQ_CLASS(KQ_TTime, KQ_TObject, KQ_IPackable, KQ_IPrintable, KQ_IHumanReadable)
  // Registers the class with the data stream under packing code 72.
  static bool KQ_Initialize();

  // How calendar fields given to a constructor are meant: kUTC, or local
  // time for any other value.
  enum Time_TType { kLocal = 0, kUTC = 1 };

  static constexpr std::uint32_t kMicrosPerSecond = 1000000;
  // The seconds value that is never a valid time.
  static constexpr std::uint32_t kInvalidSeconds = 0xFFFFFFFFu;

  // The current time, to the millisecond (micros is a multiple of 1000).
  KQ_TTime();
  // seconds and micros; whole seconds in micros beyond 1000000 carry into
  // the seconds (micros of exactly 1000000 stay).
  KQ_TTime(std::uint32_t seconds, std::uint32_t micros);
  // seconds, micros 0. The 32-bit forms take the seconds' bits as they are
  // and raise KQ_EIllegalTime for -1 (0xFFFFFFFF); the 64-bit forms raise it
  // for anything outside 0 to 0xFFFFFFFE.
  explicit KQ_TTime(std::int32_t const& seconds);
  explicit KQ_TTime(std::uint32_t seconds);
  explicit KQ_TTime(std::int64_t seconds);
  explicit KQ_TTime(std::uint64_t seconds);
  template <class T, kq::EnableIfOtherInteger<T> = 0>
  explicit KQ_TTime(T seconds) : KQ_TTime(static_cast<kq::FixedInt<T>>(seconds)) {}
  // Local calendar fields (tm_year from 1900, tm_mon from 0), micros 0. The
  // fields are carried over into their ranges and written back as they are
  // then, with tm_wday, tm_yday and tm_isdst filled in. tm_isdst picks the
  // instant when the fields occur twice (1 daylight saving, 0 standard,
  // negative the earlier one). A null pointer or fields that give no valid
  // time raise KQ_EIllegalTime.
  explicit KQ_TTime(std::tm* fields);
  // Calendar fields (month 1-12, the full year) as UTC for kUTC and as local
  // time otherwise; micros is stored as it is. Fields out of their ranges are
  // carried over (day 32 of January is 1 February). KQ_EIllegalTime when
  // they give no valid time.
  KQ_TTime(Time_TType type, std::int16_t year, std::uint8_t month, std::uint8_t day,
           std::uint8_t hour, std::uint8_t minute, std::uint8_t second, std::uint32_t micros);
  // The same in local time.
  KQ_TTime(std::int16_t year, std::uint8_t month, std::uint8_t day, std::uint8_t hour,
           std::uint8_t minute, std::uint8_t second, std::uint32_t micros);
  KQ_TTime(KQ_TTime const& other) = default;
  ~KQ_TTime() override = default;

  virtual KQ_TTime& operator=(KQ_TTime const& other);
  // Unpacks the time from the stream.
  KQ_IPackable& operator=(KQ_IUnpacking& unpacker) override;

  // Moving by an interval: the micros sum borrows or carries one second at
  // most (a sum below 0 borrows, one above 1000000 carries). The seconds
  // wrap modulo 2^32.
  virtual KQ_TTime operator-(KQ_TInterval const& interval) const;
  // The interval from other to this, normalised.
  virtual KQ_TInterval operator-(KQ_TTime const& other) const;
  virtual KQ_TTime& operator+=(KQ_TInterval const& interval);
  virtual KQ_TTime& operator-=(KQ_TInterval const& interval);
  virtual KQ_TTime operator+(KQ_TInterval const& interval) const;
  // Ordered by seconds, then micros.
  virtual bool operator==(KQ_TTime const& other) const;
  virtual bool operator!=(KQ_TTime const& other) const;
  virtual bool operator<=(KQ_TTime const& other) const;
  virtual bool operator>=(KQ_TTime const& other) const;
  virtual bool operator<(KQ_TTime const& other) const;
  virtual bool operator>(KQ_TTime const& other) const;
  // True when the two times lie less than one second apart. Equal seconds
  // always count as close.
  virtual bool operator^(KQ_TTime const& other) const;

  // The local date and time in the locale's form (strftime "%x %X"). Text
  // formatting never raises: it gives the empty string when the result is
  // empty, longer than 255 bytes or not UTF-8.
  virtual operator KQ_TString() const;
  // strftime of the local fields (Format) or the UTC fields (FormatGMT).
  virtual KQ_TString Format(KQ_TString const& format) const;
  virtual KQ_TString FormatGMT(KQ_TString const& format) const;

  // Local fields: day 1-31, month 1-12, the full year, hour 0-23, minute,
  // second; Weekday is 1 for Sunday to 7 for Saturday.
  virtual std::uint8_t Day() const;
  virtual std::uint8_t Month() const;
  virtual std::int16_t Year() const;
  virtual std::uint8_t Hour() const;
  virtual std::uint8_t Minute() const;
  virtual std::uint8_t Second() const;
  virtual std::uint32_t Micros() const;
  virtual std::uint8_t Weekday() const;
  // Replace one local field and convert back as local time; the other
  // fields and the micros stay. Values out of range are carried over (day 32
  // of January is 1 February, hour -1 is 23 of the day before). Where the
  // new fields occur twice, the instant with the old daylight-saving state
  // is kept. KQ_EIllegalTime, with the time unchanged, when the fields give
  // no valid time.
  virtual KQ_TTime& SetDay(std::int32_t day);
  virtual KQ_TTime& SetMonth(std::int32_t month);
  virtual KQ_TTime& SetYear(std::int32_t year);
  virtual KQ_TTime& SetHour(std::int32_t hour);
  virtual KQ_TTime& SetMinute(std::int32_t minute);
  virtual KQ_TTime& SetSecond(std::int32_t second);
  // Stores micros as it is.
  virtual KQ_TTime& SetMicros(std::uint32_t micros);
  // The same fields in UTC.
  virtual std::uint8_t GMTDay() const;
  virtual std::uint8_t GMTMonth() const;
  virtual std::int16_t GMTYear() const;
  virtual std::uint8_t GMTHour() const;
  virtual std::uint8_t GMTMinute() const;
  virtual std::uint8_t GMTSecond() const;
  virtual std::uint32_t GMTMicros() const;
  virtual std::uint8_t GMTWeekday() const;
  virtual KQ_TTime& SetGMTDay(std::int32_t day);
  virtual KQ_TTime& SetGMTMonth(std::int32_t month);
  virtual KQ_TTime& SetGMTYear(std::int32_t year);
  virtual KQ_TTime& SetGMTHour(std::int32_t hour);
  virtual KQ_TTime& SetGMTMinute(std::int32_t minute);
  virtual KQ_TTime& SetGMTSecond(std::int32_t second);
  virtual KQ_TTime& SetGMTMicros(std::uint32_t micros);

  // Seconds since 1970-01-01 00:00:00 UTC.
  std::uint32_t Seconds() const { return fSeconds; }

  // The zone's standard-time bias in seconds west of UTC (-3600 for a zone
  // one hour east of UTC).
  static std::int32_t TimeZone();

  // Writes the locale's form (operator KQ_TString).
  void PrintOn(std::ostream& os) const override;
  // Seconds, then micros, each as an unsigned 32-bit number.
  void KQ_Pack(KQ_IPacking& packer) const override;
  // Reads what KQ_Pack writes; micros beyond 1000000 carry as in the
  // constructor.
  void KQ_Unpack(KQ_IUnpacking& unpacker) override;
  KQ_IPackable* KQ_Clone(void* where = nullptr) const override;
  // True when other is a time equal to this one.
  bool KQ_IsIdent(KQ_IPackable const& other) const override;
  // The local time as day/month/year hh:mm:ss.micros, for example
  // 4/3/2007 05:06:07.000008. Returns true.
  bool WriteTo(KQ_THumanReadableStream& stream) const override;
  // Reads that form up to and with the object's closing brace and sets the
  // time from it as local time. The time of day may be left out (4/3/2007
  // is midnight) and so may the seconds (4/3/2007 05:06). Day above 31,
  // month above 12, hour above 23, minute above 59, seconds outside 0 to 61,
  // a missing separator or brace are syntax errors of the stream; a date
  // that gives no valid time raises KQ_EIllegalTime. Either leaves the time
  // unchanged. Returns true (the brace is read).
  bool ReadFrom(KQ_THumanReadableStream& stream) override;

 private:
  // Replaces one local or UTC field and converts the fields back.
  void SetLocalField(int std::tm::*field, std::int64_t value);
  void SetUTCField(int std::tm::*field, std::int64_t value);

  std::uint32_t fSeconds;
  std::uint32_t fMicros;
};
