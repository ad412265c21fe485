#include "kq_ttime.h"

#include <climits>
#include <cmath>
#include <cstdio>

#include "kq_eexception.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"
#include "platform/kq_sys_time.h"

KQ_CLASS_IMPL(KQ_TTime)

bool KQ_TTime::KQ_Initialize() {
  KQ_TDataStream::RegisterSpecificType(72, KQ_ClassObject());
  return true;
}

namespace {

constexpr std::int64_t kMicros = KQ_TTime::kMicrosPerSecond;
// The largest text a format gives, with its terminating zero.
constexpr std::size_t kFormatBuffer = 256;

// Reads the zone setting once, before the first local conversion.
void EnsureTimeZone() {
  static bool const ready = (kq::sys::ReloadTimeZone(), true);
  static_cast<void>(ready);
}

// seconds as a valid time, or KQ_EIllegalTime.
std::uint32_t ValidSeconds(std::int64_t seconds) {
  if (seconds < 0 || seconds >= std::int64_t{KQ_TTime::kInvalidSeconds}) {
    KQ_THROW(KQ_EIllegalTime());
  }
  return static_cast<std::uint32_t>(seconds);
}

// A calendar field as the int a std::tm holds, or KQ_EIllegalTime.
int FieldValue(std::int64_t value) {
  if (value < INT_MIN || value > INT_MAX) KQ_THROW(KQ_EIllegalTime());
  return static_cast<int>(value);
}

std::tm LocalFieldsOf(std::uint32_t seconds) {
  EnsureTimeZone();
  std::tm fields{};
  if (!kq::sys::LocalFields(seconds, &fields)) KQ_THROW(KQ_EIllegalTime());
  return fields;
}

std::tm UTCFieldsOf(std::uint32_t seconds) {
  std::tm fields{};
  if (!kq::sys::UTCFields(seconds, &fields)) KQ_THROW(KQ_EIllegalTime());
  return fields;
}

std::uint32_t SecondsOfLocalFields(std::tm const& fields) {
  EnsureTimeZone();
  std::int64_t seconds = 0;
  if (!kq::sys::FromLocalFields(fields, &seconds)) KQ_THROW(KQ_EIllegalTime());
  return ValidSeconds(seconds);
}

std::tm FieldsOf(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour,
                 std::int64_t minute, std::int64_t second) {
  std::tm fields{};
  fields.tm_year = FieldValue(year - 1900);
  fields.tm_mon = FieldValue(month - 1);
  fields.tm_mday = FieldValue(day);
  fields.tm_hour = FieldValue(hour);
  fields.tm_min = FieldValue(minute);
  fields.tm_sec = FieldValue(second);
  fields.tm_isdst = -1;
  return fields;
}

// strftime into the fixed buffer, decoded as UTF-8; empty on any failure.
KQ_TString FormatText(bool haveFields, std::tm const& fields, char const* format) {
  if (!haveFields) return KQ_TString();
  char buffer[kFormatBuffer];
  if (kq::sys::FormatFields(buffer, sizeof buffer, format, fields) == 0) return KQ_TString();
  try {
    return KQ_TString(buffer);
  } catch (KQ_EIllegalUTF8Character const&) {
    return KQ_TString();
  }
}

// The digits of one date or time field; an empty run or a value above
// limit is a syntax error.
std::int64_t ReadField(KQ_THumanReadableStream& stream, std::int64_t limit) {
  static KQ_TString const digits("0123456789");
  KQ_TString const text = stream.ReadSpan(digits);
  if (text.Length() == 0) stream.SyntaxError("digits", KQ_TString("none"));
  std::int64_t value = 0;
  for (std::uint32_t i = 0; i < text.Length(); ++i) {
    value = value * 10 + (std::uint16_t(text[i]) - '0');
    if (value > limit) {
      stream.SyntaxError(
          KQ_TString::Format("a number up to %lld", static_cast<long long>(limit)).UTF8(),
          KQ_THumanReadableStream::Quoted(text.UTF8()));
    }
  }
  return value;
}

void ExpectSeparator(KQ_THumanReadableStream& stream, char separator) {
  KQ_TUniChar const found = stream.ReadChar();
  if (found != separator) {
    char const expected[] = {'\'', separator, '\'', '\0'};
    stream.SyntaxError(expected, KQ_THumanReadableStream::Quoted(KQ_TString(found).UTF8()));
  }
}

}  // namespace

// Construction

KQ_TTime::KQ_TTime() : fMicros(0) {
  EnsureTimeZone();
  std::int64_t seconds = 0;
  std::uint32_t nanoseconds = 0;
  kq::sys::ClockNow(&seconds, &nanoseconds);
  fSeconds = ValidSeconds(seconds);
  fMicros = nanoseconds / 1000000 * 1000;
}

KQ_TTime::KQ_TTime(std::uint32_t seconds, std::uint32_t micros)
    : fSeconds(seconds), fMicros(micros) {
  if (fMicros > kMicrosPerSecond) {
    std::uint32_t const carry = (fMicros - 1) / kMicrosPerSecond;
    fSeconds += carry;
    fMicros -= carry * kMicrosPerSecond;
  }
}

KQ_TTime::KQ_TTime(std::int32_t const& seconds) : KQ_TTime(static_cast<std::uint32_t>(seconds)) {}

KQ_TTime::KQ_TTime(std::uint32_t seconds) : fSeconds(seconds), fMicros(0) {
  if (seconds == kInvalidSeconds) KQ_THROW(KQ_EIllegalTime());
}

KQ_TTime::KQ_TTime(std::int64_t seconds) : fSeconds(ValidSeconds(seconds)), fMicros(0) {}

KQ_TTime::KQ_TTime(std::uint64_t seconds)
    : fSeconds(ValidSeconds(seconds >= kInvalidSeconds ? -1 : static_cast<std::int64_t>(seconds))),
      fMicros(0) {}

KQ_TTime::KQ_TTime(std::tm* fields) : fSeconds(0), fMicros(0) {
  if (fields == nullptr) KQ_THROW(KQ_EIllegalTime());
  fSeconds = SecondsOfLocalFields(*fields);
  *fields = LocalFieldsOf(fSeconds);
}

KQ_TTime::KQ_TTime(Time_TType type, std::int16_t year, std::uint8_t month, std::uint8_t day,
                   std::uint8_t hour, std::uint8_t minute, std::uint8_t second,
                   std::uint32_t micros)
    : fSeconds(0), fMicros(micros) {
  std::tm const fields = FieldsOf(year, month, day, hour, minute, second);
  fSeconds = type == kUTC ? ValidSeconds(kq::sys::SecondsOfUTCFields(fields))
                          : SecondsOfLocalFields(fields);
}

KQ_TTime::KQ_TTime(std::int16_t year, std::uint8_t month, std::uint8_t day, std::uint8_t hour,
                   std::uint8_t minute, std::uint8_t second, std::uint32_t micros)
    : KQ_TTime(kLocal, year, month, day, hour, minute, second, micros) {}

KQ_TTime& KQ_TTime::operator=(KQ_TTime const& other) {
  fSeconds = other.fSeconds;
  fMicros = other.fMicros;
  return *this;
}

KQ_IPackable& KQ_TTime::operator=(KQ_IUnpacking& unpacker) {
  return KQ_IPackable::operator=(unpacker);
}

// Arithmetic

KQ_TTime KQ_TTime::operator-(KQ_TInterval const& interval) const {
  return KQ_TTime(*this) -= interval;
}

KQ_TInterval KQ_TTime::operator-(KQ_TTime const& other) const {
  KQ_TInterval difference;
  difference.Normalise(std::int64_t{fSeconds} - other.fSeconds,
                       std::int64_t{fMicros} - other.fMicros);
  return difference;
}

KQ_TTime& KQ_TTime::operator+=(KQ_TInterval const& interval) {
  std::int64_t seconds = std::int64_t{fSeconds} + interval.fSeconds;
  std::int64_t micros = std::int64_t{fMicros} + interval.fMicros;
  if (micros < 0) {
    --seconds;
    micros += kMicros;
  } else if (micros > kMicros) {
    ++seconds;
    micros -= kMicros;
  }
  fSeconds = static_cast<std::uint32_t>(seconds);
  fMicros = static_cast<std::uint32_t>(micros);
  return *this;
}

KQ_TTime& KQ_TTime::operator-=(KQ_TInterval const& interval) {
  std::int64_t seconds = std::int64_t{fSeconds} - interval.fSeconds;
  std::int64_t micros = std::int64_t{fMicros} - interval.fMicros;
  if (micros < 0) {
    --seconds;
    micros += kMicros;
  } else if (micros > kMicros) {
    ++seconds;
    micros -= kMicros;
  }
  fSeconds = static_cast<std::uint32_t>(seconds);
  fMicros = static_cast<std::uint32_t>(micros);
  return *this;
}

KQ_TTime KQ_TTime::operator+(KQ_TInterval const& interval) const {
  return KQ_TTime(*this) += interval;
}

bool KQ_TTime::operator==(KQ_TTime const& other) const {
  return fSeconds == other.fSeconds && fMicros == other.fMicros;
}

bool KQ_TTime::operator!=(KQ_TTime const& other) const { return !(*this == other); }

bool KQ_TTime::operator<=(KQ_TTime const& other) const { return !(other < *this); }

bool KQ_TTime::operator>=(KQ_TTime const& other) const { return !(*this < other); }

bool KQ_TTime::operator<(KQ_TTime const& other) const {
  return fSeconds != other.fSeconds ? fSeconds < other.fSeconds : fMicros < other.fMicros;
}

bool KQ_TTime::operator>(KQ_TTime const& other) const { return other < *this; }

bool KQ_TTime::operator^(KQ_TTime const& other) const {
  if (fSeconds == other.fSeconds) return true;
  std::uint32_t const apart =
      fSeconds > other.fSeconds ? fSeconds - other.fSeconds : other.fSeconds - fSeconds;
  if (apart > 1) return false;
  return (*this - other).Seconds() == 0;
}

// Text

KQ_TTime::operator KQ_TString() const { return Format(KQ_TString("%x %X")); }

KQ_TString KQ_TTime::Format(KQ_TString const& format) const {
  EnsureTimeZone();
  std::tm fields{};
  bool const have = kq::sys::LocalFields(fSeconds, &fields);
  return FormatText(have, fields, format.UTF8());
}

KQ_TString KQ_TTime::FormatGMT(KQ_TString const& format) const {
  std::tm fields{};
  bool const have = kq::sys::UTCFields(fSeconds, &fields);
  return FormatText(have, fields, format.UTF8());
}

// The fields, in local time and in UTC: (local accessor, UTC accessor,
// type, field of std::tm, what is added to it).
#define KQ_TTIME_FIELDS_(X)                     \
  X(Day, GMTDay, std::uint8_t, tm_mday, 0)      \
  X(Month, GMTMonth, std::uint8_t, tm_mon, 1)   \
  X(Year, GMTYear, std::int16_t, tm_year, 1900) \
  X(Hour, GMTHour, std::uint8_t, tm_hour, 0)    \
  X(Minute, GMTMinute, std::uint8_t, tm_min, 0) \
  X(Second, GMTSecond, std::uint8_t, tm_sec, 0) \
  X(Weekday, GMTWeekday, std::uint8_t, tm_wday, 1)

#define KQ_TTIME_FIELD_(Local, UTC, Type, field, offset)                \
  Type KQ_TTime::Local() const {                                        \
    return static_cast<Type>(LocalFieldsOf(fSeconds).field + (offset)); \
  }                                                                     \
  Type KQ_TTime::UTC() const { return static_cast<Type>(UTCFieldsOf(fSeconds).field + (offset)); }
KQ_TTIME_FIELDS_(KQ_TTIME_FIELD_)
#undef KQ_TTIME_FIELD_
#undef KQ_TTIME_FIELDS_

std::uint32_t KQ_TTime::Micros() const { return fMicros; }

std::uint32_t KQ_TTime::GMTMicros() const { return fMicros; }

void KQ_TTime::SetLocalField(int std::tm::*field, std::int64_t value) {
  // The old daylight-saving flag stays in the fields: it picks the instant
  // when the new fields occur twice.
  std::tm fields = LocalFieldsOf(fSeconds);
  fields.*field = FieldValue(value);
  fSeconds = SecondsOfLocalFields(fields);
}

// The setters of the fields, in local time and in UTC: (local setter, UTC
// setter, field of std::tm, what is taken off the value).
#define KQ_TTIME_SETTERS_(X)            \
  X(SetDay, SetGMTDay, tm_mday, 0)      \
  X(SetMonth, SetGMTMonth, tm_mon, 1)   \
  X(SetYear, SetGMTYear, tm_year, 1900) \
  X(SetHour, SetGMTHour, tm_hour, 0)    \
  X(SetMinute, SetGMTMinute, tm_min, 0) \
  X(SetSecond, SetGMTSecond, tm_sec, 0)

#define KQ_TTIME_SETTER_(Local, UTC, field, offset)                 \
  KQ_TTime& KQ_TTime::Local(std::int32_t value) {                   \
    SetLocalField(&std::tm::field, std::int64_t{value} - (offset)); \
    return *this;                                                   \
  }                                                                 \
  KQ_TTime& KQ_TTime::UTC(std::int32_t value) {                     \
    SetUTCField(&std::tm::field, std::int64_t{value} - (offset));   \
    return *this;                                                   \
  }

KQ_TTime& KQ_TTime::SetMicros(std::uint32_t micros) {
  fMicros = micros;
  return *this;
}

// UTC fields

void KQ_TTime::SetUTCField(int std::tm::*field, std::int64_t value) {
  std::tm fields = UTCFieldsOf(fSeconds);
  fields.*field = FieldValue(value);
  fSeconds = ValidSeconds(kq::sys::SecondsOfUTCFields(fields));
}

KQ_TTime& KQ_TTime::SetGMTMicros(std::uint32_t micros) {
  fMicros = micros;
  return *this;
}

KQ_TTIME_SETTERS_(KQ_TTIME_SETTER_)
#undef KQ_TTIME_SETTER_
#undef KQ_TTIME_SETTERS_

std::int32_t KQ_TTime::TimeZone() {
  EnsureTimeZone();
  return static_cast<std::int32_t>(kq::sys::StandardZoneBias());
}

// Streams and packing

void KQ_TTime::PrintOn(std::ostream& os) const { static_cast<KQ_TString>(*this).PrintOn(os); }

void KQ_TTime::KQ_Pack(KQ_IPacking& packer) const { packer << fSeconds << fMicros; }

void KQ_TTime::KQ_Unpack(KQ_IUnpacking& unpacker) {
  std::uint32_t seconds = 0;
  std::uint32_t micros = 0;
  unpacker >> seconds >> micros;
  *this = KQ_TTime(seconds, micros);
}

KQ_IPackable* KQ_TTime::KQ_Clone(void*) const { return new KQ_TTime(*this); }

bool KQ_TTime::KQ_IsIdent(KQ_IPackable const& other) const {
  auto const* const time = static_cast<KQ_TTime const*>(other.KQ_Cast("KQ_TTime"));
  return time != nullptr && *this == *time;
}

bool KQ_TTime::WriteTo(KQ_THumanReadableStream& stream) const {
  // A micros field of a whole second is written as the next second.
  std::uint32_t const seconds = fSeconds + fMicros / kMicrosPerSecond;
  std::uint32_t const micros = fMicros % kMicrosPerSecond;
  std::tm const fields = LocalFieldsOf(seconds);
  char text[64];
  std::snprintf(text, sizeof text, "%d/%d/%d %02d:%02d:%02d.%06u", fields.tm_mday,
                fields.tm_mon + 1, fields.tm_year + 1900, fields.tm_hour, fields.tm_min,
                fields.tm_sec, static_cast<unsigned>(micros));
  stream.WriteTokens(text);
  return true;
}

bool KQ_TTime::ReadFrom(KQ_THumanReadableStream& stream) {
  std::int64_t const day = ReadField(stream, 31);
  ExpectSeparator(stream, '/');
  std::int64_t const month = ReadField(stream, 12);
  ExpectSeparator(stream, '/');
  std::int64_t const year = ReadField(stream, INT_MAX);
  if (stream.PeekNonWhite() == '}') {
    stream.Read();
    fSeconds = SecondsOfLocalFields(FieldsOf(year, month, day, 0, 0, 0));
    fMicros = 0;
    return true;
  }
  std::int64_t const hour = ReadField(stream, 23);
  ExpectSeparator(stream, ':');
  std::int64_t const minute = ReadField(stream, 59);
  double seconds = 0;
  KQ_TUniChar const next = stream.ReadChar();
  if (next == ':') {
    stream >> seconds;
  } else {
    stream.Unread(next);
  }
  // Seconds beyond the minute carry into the fields above as the local
  // fields do; a number no time can reach is no time at all.
  if (!(std::fabs(seconds) < 0x1p53)) KQ_THROW(KQ_EIllegalTime());
  double whole = std::floor(seconds);
  auto micros = static_cast<std::uint32_t>(std::floor((seconds - whole) * 1e6 + 0.5));
  if (micros == 1000000) {
    whole += 1;
    micros = 0;
  }
  stream.Expect('}');
  std::tm const fields = FieldsOf(year, month, day, hour, minute, static_cast<std::int64_t>(whole));
  fSeconds = SecondsOfLocalFields(fields);
  fMicros = micros;
  return true;
}
