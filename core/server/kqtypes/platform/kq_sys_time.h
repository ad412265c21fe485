// The system clock, the local time zone and calendar conversions under
// KQ_TTime.
//
// Seconds are counted from 1970-01-01 00:00:00 UTC in 64 bits everywhere, so
// every conversion is good far beyond 2038. Calendar fields are held in a
// std::tm: tm_year counts from 1900, tm_mon from 0, tm_wday from Sunday.
//
// The zone is read from the environment (TZ) by ReloadTimeZone. The
// conversions to local fields use the zone as it was last read, so a program
// that changes TZ calls ReloadTimeZone afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "kq_types.h"

namespace kq::sys {

// Reads the zone setting from the environment again.
void ReloadTimeZone() noexcept;

// Seconds west of UTC of the zone's standard time (daylight saving left
// out), as of the last ReloadTimeZone: -3600 for a zone one hour east.
std::int64_t StandardZoneBias() noexcept;

// The system clock: seconds since 1970 UTC and the nanoseconds within the
// second.
void ClockNow(std::int64_t* seconds, std::uint32_t* nanoseconds) noexcept;

// The calendar fields of an instant in local time (tm_isdst, tm_gmtoff and
// tm_zone describe the zone's offset then) and in UTC. False when the
// instant lies outside what the calendar functions can express.
bool LocalFields(std::int64_t seconds, std::tm* fields) noexcept;
bool UTCFields(std::int64_t seconds, std::tm* fields) noexcept;

// The instant of local calendar fields. Fields out of their ranges are
// carried over first (minute 75 is the next hour and 15, day 32 of January
// is 1 February); tm_wday and tm_yday are not read.
//
// The zone rules decide the offset: fields that the zone skips (the hour a
// clock jumps forward) are read with the offset in force before the jump, so
// that they land after it by the size of the jump; fields that occur twice
// (the hour repeated when a clock goes back) give the instant whose daylight
// saving flag equals tm_isdst, or the earlier one when tm_isdst is negative.
// False when the fields or the instant lie outside what the calendar
// functions can express.
bool FromLocalFields(std::tm const& fields, std::int64_t* seconds) noexcept;
// The instant of UTC calendar fields, carried over in the same way. Exact
// for every value the fields can hold.
std::int64_t SecondsOfUTCFields(std::tm const& fields) noexcept;

// strftime: the fields formatted into buffer, zero-terminated. The length
// written, or 0 when the result (with its zero) does not fit in size bytes
// or is empty.
std::size_t FormatFields(char* buffer, std::size_t size, char const* format,
                                   std::tm const& fields) noexcept;

}  // namespace kq::sys
