#include "kq_sys_time.h"

#include <time.h>

namespace kq::sys {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar
// (month 1-12, day 1-31), counted in eras of 400 years so that the arithmetic
// stays exact for every year an int can hold.
std::int64_t DaysFromCivil(std::int64_t year, std::int64_t month, std::int64_t day) {
  year -= month <= 2 ? 1 : 0;
  std::int64_t const era = (year >= 0 ? year : year - 399) / 400;
  std::int64_t const yearOfEra = year - era * 400;
  std::int64_t const dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  std::int64_t const dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// The zone's offset east of UTC at an instant.
bool OffsetAt(std::int64_t seconds, std::int64_t* offset, bool* daylight) {
  std::tm fields{};
  if (!LocalFields(seconds, &fields)) return false;
  *offset = fields.tm_gmtoff;
  *daylight = fields.tm_isdst > 0;
  return true;
}

}  // namespace

void ReloadTimeZone() noexcept { tzset(); }

std::int64_t StandardZoneBias() noexcept { return timezone; }

void ClockNow(std::int64_t* seconds, std::uint32_t* nanoseconds) noexcept {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  *seconds = now.tv_sec;
  *nanoseconds = static_cast<std::uint32_t>(now.tv_nsec);
}

bool LocalFields(std::int64_t seconds, std::tm* fields) noexcept {
  time_t const t = static_cast<time_t>(seconds);
  return localtime_r(&t, fields) != nullptr;
}

bool UTCFields(std::int64_t seconds, std::tm* fields) noexcept {
  time_t const t = static_cast<time_t>(seconds);
  return gmtime_r(&t, fields) != nullptr;
}

std::int64_t SecondsOfUTCFields(std::tm const& fields) noexcept {
  // Months beyond 0-11 move the year; every other field is a plain count
  // that the sum carries over.
  std::int64_t const months = std::int64_t{fields.tm_mon};
  std::int64_t const yearCarry = months >= 0 ? months / 12 : (months - 11) / 12;
  std::int64_t const year = std::int64_t{fields.tm_year} + 1900 + yearCarry;
  std::int64_t const month = months - yearCarry * 12 + 1;
  std::int64_t const days = DaysFromCivil(year, month, 1) + fields.tm_mday - 1;
  return days * kSecondsPerDay + std::int64_t{fields.tm_hour} * 3600 +
         std::int64_t{fields.tm_min} * 60 + fields.tm_sec;
}

bool FromLocalFields(std::tm const& fields, std::int64_t* seconds) noexcept {
  std::int64_t const asUTC = SecondsOfUTCFields(fields);
  // The instant lies within a day of the fields read as UTC. The offsets in
  // force a day before and a day after, and those they lead to, are the
  // only ones the fields can have been written with.
  std::int64_t offsets[4];
  bool daylight = false;
  if (!OffsetAt(asUTC - kSecondsPerDay, &offsets[0], &daylight) ||
      !OffsetAt(asUTC + kSecondsPerDay, &offsets[1], &daylight) ||
      !OffsetAt(asUTC - offsets[0], &offsets[2], &daylight) ||
      !OffsetAt(asUTC - offsets[1], &offsets[3], &daylight)) {
    return false;
  }
  bool found = false;
  std::int64_t chosen = 0;
  bool chosenMatches = false;
  for (std::int64_t const offset : offsets) {
    std::int64_t const candidate = asUTC - offset;
    std::int64_t actual = 0;
    if (!OffsetAt(candidate, &actual, &daylight) || actual != offset) continue;
    // Among several instants with these fields, the one with the asked
    // daylight saving flag wins, then the earlier one.
    bool const matches = fields.tm_isdst >= 0 && daylight == (fields.tm_isdst > 0);
    if (!found || (matches && !chosenMatches) || (matches == chosenMatches && candidate < chosen)) {
      chosen = candidate;
      chosenMatches = matches;
      found = true;
    }
  }
  // Fields in a gap of the local clock: read them with the offset before it.
  *seconds = found ? chosen : asUTC - offsets[0];
  return true;
}

std::size_t FormatFields(char* buffer, std::size_t size, char const* format,
                         std::tm const& fields) noexcept {
  if (buffer == nullptr || size == 0 || format == nullptr) return 0;
  std::size_t const length = strftime(buffer, size, format, &fields);
  if (length == 0) buffer[0] = '\0';
  return length;
}

}  // namespace kq::sys
