#include "kq_tinterval.h"

#include <cmath>
#include <cstdio>

#include "kq_eexception.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_thumanreadablestream.h"

KQ_CLASS_IMPL(KQ_TInterval)

namespace {

constexpr std::int64_t kMicros = KQ_TInterval::kMicrosPerSecond;

}  // namespace

KQ_TInterval::KQ_TInterval() : fSeconds(0), fMicros(0) {}

KQ_TInterval::KQ_TInterval(std::int32_t seconds, std::int32_t micros) : fSeconds(0), fMicros(0) {
  Normalise(seconds, micros);
}

KQ_TInterval::KQ_TInterval(KQ_TTime const& a, KQ_TTime const& b) : KQ_TInterval(a - b) {}

void KQ_TInterval::Normalise(std::int64_t seconds, std::int64_t micros) {
  // A micros field of exactly one second whose sign agrees with the
  // seconds is kept as it is.
  bool const wholeSecond =
      (seconds >= 0 && micros == kMicros) || (seconds < 0 && micros == -kMicros);
  if (!wholeSecond) {
    // Both parts get the sign of the whole span (division truncates toward
    // zero, so the remainder has the sign of the total).
    std::int64_t const total = seconds * kMicros + micros;
    seconds = total / kMicros;
    micros = total % kMicros;
  }
  fSeconds = static_cast<std::int32_t>(seconds);
  fMicros = static_cast<std::int32_t>(micros);
}

KQ_TInterval& KQ_TInterval::operator=(KQ_TInterval const& other) {
  fSeconds = other.fSeconds;
  fMicros = other.fMicros;
  return *this;
}

KQ_IPackable& KQ_TInterval::operator=(KQ_IUnpacking& unpacker) {
  return KQ_IPackable::operator=(unpacker);
}

// Arithmetic

KQ_TInterval& KQ_TInterval::operator+=(KQ_TInterval const& other) {
  Normalise(std::int64_t{fSeconds} + other.fSeconds, std::int64_t{fMicros} + other.fMicros);
  return *this;
}

KQ_TInterval& KQ_TInterval::operator-=(KQ_TInterval const& other) {
  Normalise(std::int64_t{fSeconds} - other.fSeconds, std::int64_t{fMicros} - other.fMicros);
  return *this;
}

KQ_TTime KQ_TInterval::operator+(KQ_TTime const& time) const { return time + *this; }

KQ_TInterval KQ_TInterval::operator+(KQ_TInterval const& other) const {
  return KQ_TInterval(*this) += other;
}

KQ_TInterval KQ_TInterval::operator-(KQ_TInterval const& other) const {
  return KQ_TInterval(*this) -= other;
}

bool KQ_TInterval::operator==(KQ_TInterval const& other) const {
  return fSeconds == other.fSeconds && fMicros == other.fMicros;
}

bool KQ_TInterval::operator!=(KQ_TInterval const& other) const { return !(*this == other); }

bool KQ_TInterval::operator<=(KQ_TInterval const& other) const { return !(other < *this); }

bool KQ_TInterval::operator>=(KQ_TInterval const& other) const { return !(*this < other); }

bool KQ_TInterval::operator<(KQ_TInterval const& other) const {
  return fSeconds != other.fSeconds ? fSeconds < other.fSeconds : fMicros < other.fMicros;
}

bool KQ_TInterval::operator>(KQ_TInterval const& other) const { return other < *this; }

// Fields

std::int32_t KQ_TInterval::Seconds() const { return fSeconds; }

std::int32_t KQ_TInterval::Micros() const { return fMicros; }

KQ_TInterval& KQ_TInterval::SetSeconds(std::int32_t seconds) {
  fSeconds = seconds;
  if (seconds > 0 && fMicros < 0) {
    fMicros += kMicrosPerSecond;
  } else if (seconds < 0 && fMicros > 0) {
    fMicros -= kMicrosPerSecond;
  }
  return *this;
}

KQ_TInterval& KQ_TInterval::SetMicros(std::int32_t micros) {
  std::int64_t seconds = fSeconds;
  std::int64_t value = micros;
  // Whole seconds beyond one carry over; exactly +-1000000 stays.
  if (value > kMicros) {
    std::int64_t const carry = (value - 1) / kMicros;
    seconds += carry;
    value -= carry * kMicros;
  } else if (value < -kMicros) {
    std::int64_t const carry = (-value - 1) / kMicros;
    seconds -= carry;
    value += carry * kMicros;
  }
  if (seconds > 0 && value < 0) {
    --seconds;
    value += kMicros;
  } else if (seconds < 0 && value > 0) {
    ++seconds;
    value -= kMicros;
  }
  fSeconds = static_cast<std::int32_t>(seconds);
  fMicros = static_cast<std::int32_t>(value);
  return *this;
}

// Text

KQ_TInterval::operator KQ_TString() const {
  bool const negative = fSeconds < 0 || (fSeconds == 0 && fMicros < 0);
  std::int64_t seconds = fSeconds;
  std::int64_t micros = fMicros;
  if (negative) {
    seconds = -seconds;
    micros = -micros;
  }
  char text[30];
  int const length =
      std::snprintf(text, sizeof text, "%s%lld\":%02lld.%06lld'", negative ? "-" : "",
                    static_cast<long long>(seconds / 60), static_cast<long long>(seconds % 60),
                    static_cast<long long>(micros));
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof text) {
    KQ_THROW(KQ_EStringFormatException());
  }
  return KQ_TString(text);
}

void KQ_TInterval::PrintOn(std::ostream& os) const { static_cast<KQ_TString>(*this).PrintOn(os); }

// Packing

void KQ_TInterval::KQ_Pack(KQ_IPacking& packer) const { packer << fSeconds << fMicros; }

void KQ_TInterval::KQ_Unpack(KQ_IUnpacking& unpacker) {
  std::int32_t seconds = 0;
  std::int32_t micros = 0;
  unpacker >> seconds >> micros;
  Normalise(seconds, micros);
}

KQ_IPackable* KQ_TInterval::KQ_Clone(void*) const { return new KQ_TInterval(*this); }

bool KQ_TInterval::KQ_IsIdent(KQ_IPackable const& other) const {
  auto const* const interval = static_cast<KQ_TInterval const*>(other.KQ_Cast("KQ_TInterval"));
  return interval != nullptr && *this == *interval;
}

bool KQ_TInterval::WriteTo(KQ_THumanReadableStream& stream) const {
  stream << static_cast<double>(fSeconds) + static_cast<double>(fMicros) / 1e6;
  return false;
}

// Whole seconds are floor(x) and micros the fraction's whole microseconds,
// also cut down, so a text with more than six decimals never rounds up.
bool KQ_TInterval::ReadFrom(KQ_THumanReadableStream& stream) {
  double value = 0;
  stream >> value;
  constexpr double kLimit = 2147483648.0;
  if (!(value > -kLimit - 1 && value < kLimit)) {
    stream.SyntaxError("seconds that fit 32 bits", KQ_TString::Format("%f", value));
  }
  double const whole = std::floor(value);
  auto const micros = static_cast<std::int64_t>(std::floor((value - whole) * 1e6));
  Normalise(static_cast<std::int64_t>(whole), micros);
  return false;
}
