#include "kq_thumanreadablestream.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "internal/kq_inline_buffer.h"
#include "internal/kq_nesting_guard.h"
#include "internal/kq_read_budget.h"
#include "internal/kq_tclass_interfaces.h"
#include "internal/kq_text_escape.h"
#include "kq_eexception.h"
#include "kq_memalloc.h"
#include "kq_tany.h"
#include "kq_tclass.h"
#include "kq_tpackage.h"

KQ_CLASS_IMPL(KQ_THumanReadableStream)

KQ_TString const& KQ_THumanReadableStream::sWhiteSpace = KQ_TTextStream::sWhiteSpace;

// The ASCII characters a token may hold, compared in lower case.
class kq::HRTokenSet {
 public:
  constexpr explicit HRTokenSet(char const* members) {
    for (; *members != '\0'; ++members) {
      auto const c = static_cast<unsigned char>(*members);
      fBits[c >> 5] |= std::uint32_t{1} << (c & 31);
    }
  }
  constexpr bool Has(std::uint32_t c) const {
    return c < 128 && ((fBits[c >> 5] >> (c & 31)) & 1) != 0;
  }

 private:
  std::uint32_t fBits[4] = {0, 0, 0, 0};
};

// A token of ASCII characters. Short tokens (every number) stay in the
// object; longer ones grow on the heap with the input.
class KQ_THumanReadableStream::Token : public kq::InlineBuffer<char, 64> {
 public:
  char const* Text() { return Terminated(); }
};

namespace {

kq::ReadBudgetSetting sBudget{KQ_THumanReadableStream::kDefaultReadBudgetPerByte,
                              KQ_THumanReadableStream::kDefaultReadBudgetFixed};

using Set = kq::HRTokenSet;

constexpr Set kWhiteSpaceSet(" \t\n\r");
constexpr Set kSignedIntegerSet("+-0123456789ubslx");
constexpr Set kUnsignedIntegerSet("+0123456789ubslx");
constexpr Set kFloatingSet("+-.0123456789els");
constexpr Set kBoolSet("truefals");
constexpr Set kNumberSet("+-.0123456789eubslx");
constexpr Set kWordSet("0123456789_abcdefghijklmnopqrstuvwxyz");

// Stands in a token for a character beyond ASCII whose lower case is a
// member of the set: no number or keyword holds it.
constexpr char kForeign = '\x7f';

// The run of spaces AddPrefix writes from.
constexpr char kSpaces[] = "                                        ";
constexpr std::uint32_t kSpacesPerPiece = sizeof kSpaces - 1;

constexpr char kHexDigits[] = "0123456789abcdef";

inline char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

inline int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  char const lower = LowerAscii(c);
  if (lower >= 'a' && lower <= 'z') return lower - 'a' + 10;
  return -1;
}

inline int HexValue(unsigned char c) {
  int const value = DigitValue(static_cast<char>(c));
  return value >= 0 && value < 16 ? value : -1;
}

inline bool IsOctal(unsigned char c) { return c >= '0' && c <= '7'; }

// The digits of an integer as the C library's strtol family reads them: an
// optional sign, then digits of the base; base 0 takes a leading 0x (with a
// hexadecimal digit behind it) as hexadecimal and another leading 0 as octal.
// The magnitude saturates; end is the text itself when there are no digits.
struct Digits {
  bool fNegative = false;
  bool fOverflow = false;
  std::uint64_t fMagnitude = 0;
  char const* fEnd = nullptr;
};

Digits ParseDigits(char const* text, int base) {
  Digits result;
  char const* p = text;
  if (*p == '+' || *p == '-') result.fNegative = *p++ == '-';
  if (base == 0) {
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && HexValue(p[2]) >= 0) {
      base = 16;
      p += 2;
    } else {
      base = p[0] == '0' ? 8 : 10;
    }
  }
  char const* const first = p;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (int digit = DigitValue(*p); digit >= 0 && digit < base; digit = DigitValue(*++p)) {
    auto const d = static_cast<std::uint64_t>(digit);
    if (result.fMagnitude > (kMax - d) / static_cast<std::uint64_t>(base)) {
      result.fOverflow = true;
    } else {
      result.fMagnitude = result.fMagnitude * static_cast<std::uint64_t>(base) + d;
    }
  }
  result.fEnd = p == first ? text : p;
  return result;
}

// strtol / strtoll: out of range saturates at the type's limits.
template <class T>
T SignedOf(Digits const& digits) {
  using U = std::make_unsigned_t<T>;
  auto const limit = static_cast<std::uint64_t>(std::numeric_limits<T>::max());
  if (digits.fNegative) {
    if (digits.fOverflow || digits.fMagnitude > limit + 1) return std::numeric_limits<T>::min();
    return static_cast<T>(static_cast<U>(U{0} - static_cast<U>(digits.fMagnitude)));
  }
  if (digits.fOverflow || digits.fMagnitude > limit) return std::numeric_limits<T>::max();
  return static_cast<T>(digits.fMagnitude);
}

// strtoul / strtoull: out of range gives the maximum, a minus sign negates
// modulo the type's range.
template <class T>
T UnsignedOf(Digits const& digits) {
  if (digits.fOverflow || digits.fMagnitude > std::numeric_limits<T>::max()) {
    return std::numeric_limits<T>::max();
  }
  auto const value = static_cast<T>(digits.fMagnitude);
  return digits.fNegative ? static_cast<T>(T{0} - value) : value;
}

// Whether the number the digits give fits T, as strict reading asks.
template <class T>
bool Fits(Digits const& digits) {
  if (digits.fOverflow) return false;
  auto const max = static_cast<std::uint64_t>(std::numeric_limits<T>::max());
  if constexpr (std::is_signed_v<T>) {
    return digits.fMagnitude <= (digits.fNegative ? max + 1 : max);
  } else {
    return digits.fMagnitude <= max && (!digits.fNegative || digits.fMagnitude == 0);
  }
}

// What strict reading expected of an integer for T.
template <class T>
KQ_TString FittingInteger() {
  return KQ_TString::Format("an integer from %lld to %llu",
                            static_cast<long long>(std::numeric_limits<T>::min()),
                            static_cast<unsigned long long>(std::numeric_limits<T>::max()));
}

// Strict reading refuses an integer that does not fit T.
template <class T>
void CheckFits(KQ_THumanReadableStream const& stream, Digits const& digits, char const* text) {
  if (stream.Strict() && !Fits<T>(digits)) {
    stream.SyntaxError(FittingInteger<T>().UTF8(), KQ_THumanReadableStream::Quoted(text));
  }
}

// The integer suffix: an optional U, then an optional B, S, L or X (either
// case). Returns the end of the suffix.
struct Suffix {
  bool fUnsigned = false;
  char fSize = '\0';
};

char const* ParseSuffix(char const* p, Suffix& suffix) {
  if (*p == 'u' || *p == 'U') {
    suffix.fUnsigned = true;
    ++p;
  }
  char const size = LowerAscii(*p);
  if (size == 'b' || size == 's' || size == 'l' || size == 'x') {
    suffix.fSize = size;
    ++p;
  }
  return p;
}

// A magnitude beyond even long double: infinity, or zero for a negative
// exponent.
double OutOfRange(char const* first, char const* last) {
  bool const negative = *first == '-';
  bool tiny = false;
  for (char const* p = first; p < last; ++p) {
    if (*p == 'e' || *p == 'E') {
      tiny = p + 1 < last && p[1] == '-';
      break;
    }
  }
  double const magnitude = tiny ? 0.0 : std::numeric_limits<double>::infinity();
  return negative ? -magnitude : magnitude;
}

// The number at the start of text as strtod reads it in the "C" locale
// (decimal forms only: the token sets admit no other). Returns the end of
// the number, or text itself when there is none.
char const* ParseFloating(char const* text, double& value) {
  char const* first = text;
  if (*first == '+') {
    ++first;
    if (*first == '+' || *first == '-') return text;
  }
  char const* const last = first + std::strlen(first);
  auto const result = std::from_chars(first, last, value, std::chars_format::general);
  if (result.ec == std::errc::invalid_argument) return text;
  if (result.ec == std::errc::result_out_of_range) {
    long double wide = 0;
    auto const again = std::from_chars(first, result.ptr, wide, std::chars_format::general);
    value = again.ec == std::errc{} ? static_cast<double>(wide) : OutOfRange(first, result.ptr);
  }
  return result.ptr;
}

// A double narrowed to float as the hardware rounds it, without relying on
// the conversion of a value beyond the float range.
float NarrowToFloat(double value) {
  constexpr double kMax = std::numeric_limits<float>::max();
  // Halfway between the largest float and the next power of two: from here
  // on the value rounds to infinity.
  constexpr double kOverflow = kMax + 0x1p103;
  if (value > kMax || value < -kMax) {
    double const magnitude = value < 0 ? -value : value;
    float const narrowed =
        magnitude >= kOverflow ? std::numeric_limits<float>::infinity() : static_cast<float>(kMax);
    return value < 0 ? -narrowed : narrowed;
  }
  return static_cast<float>(value);
}

// A double read for a float; strict reading refuses a finite one that
// becomes infinite.
float ToFloat(KQ_THumanReadableStream const& stream, double value) {
  float const narrowed = NarrowToFloat(value);
  if (stream.Strict() && std::isinf(narrowed) && !std::isinf(value)) {
    stream.SyntaxError("a number that fits a float", KQ_TString::Format("%g", value));
  }
  return narrowed;
}

// Deletes an object created by class name if it cannot be handed out.
struct ObjectDeleter {
  void operator()(KQ_TObject* object) const { delete object; }
};

}  // namespace

// Construction and binding

KQ_THumanReadableStream::KQ_THumanReadableStream()
    : fIndentation(0), fText(), fDepth(0), fExactFloats(false), fStrict(false) {}

KQ_THumanReadableStream::KQ_THumanReadableStream(KQ_IStream& stream)
    : fIndentation(0), fText(stream), fDepth(0), fExactFloats(false), fStrict(false) {}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator=(KQ_THumanReadableStream& other) {
  return *this = static_cast<KQ_IStream&>(other);
}

KQ_THumanReadableStream::~KQ_THumanReadableStream() = default;

KQ_THumanReadableStream& KQ_THumanReadableStream::operator=(KQ_IStream& stream) {
  if (&stream == static_cast<KQ_IStream*>(this)) return *this;
  fText = stream;
  fIndentation = 0;
  return *this;
}

// Characters and tokens

KQ_TUniChar KQ_THumanReadableStream::ReadChar() { return fText.ReadChar(); }

KQ_THumanReadableStream& KQ_THumanReadableStream::Unread(KQ_TUniChar c) {
  fText.Unread(c);
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::Unread(void const* data, std::uint32_t count) {
  fText.Unread(data, count);
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::Unread(unsigned char byte) {
  fText.Unread(byte);
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::WriteTokens(char const* text) {
  fText << text;
  return *this;
}

KQ_TString KQ_THumanReadableStream::ReadToken(std::uint32_t max, KQ_TString const& delimiters) {
  return fText.ReadToken(max, delimiters);
}

KQ_TString KQ_THumanReadableStream::ReadToken(KQ_TString const& delimiters) {
  return fText.ReadToken(kUnlimited, delimiters);
}

KQ_TString KQ_THumanReadableStream::ReadSpan(std::uint32_t max, KQ_TString const& set) {
  return fText.ReadSpan(max, set);
}

KQ_TString KQ_THumanReadableStream::ReadSpan(KQ_TString const& set) {
  return fText.ReadSpan(kUnlimited, set);
}

KQ_TString KQ_THumanReadableStream::ReadNCSpan(std::uint32_t max, KQ_TString const& set) {
  return fText.ReadNCSpan(max, set);
}

KQ_TString KQ_THumanReadableStream::ReadNCSpan(KQ_TString const& set) {
  return fText.ReadNCSpan(kUnlimited, set);
}

std::uint32_t KQ_THumanReadableStream::LineNr() const { return fText.LineNr(); }

// ASCII bytes are taken one by one; anything else is decoded as the text
// stream decodes it.
void KQ_THumanReadableStream::ScanToken(Token* token, kq::HRTokenSet const& set) {
  bool empty = true;
  for (;;) {
    unsigned char const byte = fText.Read();
    KQ_TUniChar c(std::uint16_t{byte});
    if (byte >= 0x80) {
      fText.Unread(byte);
      c = fText.ReadChar();
    }
    auto const unit = static_cast<std::uint16_t>(c);
    if (unit == 0) {
      if (empty) continue;
      return;
    }
    std::uint16_t const lower =
        unit < 0x80 ? static_cast<std::uint16_t>(LowerAscii(static_cast<char>(unit)))
                    : Unicode_ToLower(unit);
    if (set.Has(lower)) {
      empty = false;
      if (token != nullptr) token->Append(unit < 0x80 ? static_cast<char>(unit) : kForeign);
      continue;
    }
    if (empty && Unicode_IsSpace(unit)) continue;
    if (byte < 0x80) {
      fText.Unread(byte);
    } else {
      fText.Unread(c);
    }
    return;
  }
}

KQ_THumanReadableStream& KQ_THumanReadableStream::SkipWhiteSpace() {
  ScanToken(nullptr, kWhiteSpaceSet);
  return *this;
}

unsigned char KQ_THumanReadableStream::PeekNonWhite() {
  SkipWhiteSpace();
  unsigned char const byte = fText.Read();
  fText.Unread(byte);
  return byte;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::Expect(char c) {
  SkipWhiteSpace();
  unsigned char const byte = fText.Read();
  if (byte != static_cast<unsigned char>(c)) {
    char const expected[] = {'\'', c, '\'', '\0'};
    SyntaxError(expected, Quoted(byte));
  }
  return *this;
}

// Indentation

KQ_THumanReadableStream& KQ_THumanReadableStream::Indent() {
  fIndentation += 2;
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::ReverseIndent() {
  fIndentation = fIndentation > 2 ? fIndentation - 2 : 0;
  return *this;
}

// The line feed and the first piece of the prefix go out in one write.
KQ_THumanReadableStream& KQ_THumanReadableStream::NewLine() {
  char line[1 + kSpacesPerPiece];
  line[0] = '\n';
  std::uint32_t const first = fIndentation < kSpacesPerPiece ? fIndentation : kSpacesPerPiece;
  std::memcpy(line + 1, kSpaces, first);
  fText.WriteCounted(line, 1 + first, 1);
  for (std::uint32_t left = fIndentation - first; left > 0;) {
    std::uint32_t const piece = left < kSpacesPerPiece ? left : kSpacesPerPiece;
    fText.WriteCounted(kSpaces, piece, 0);
    left -= piece;
  }
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::AddPrefix() {
  for (std::uint32_t left = fIndentation; left > 0;) {
    std::uint32_t const piece = left < kSpacesPerPiece ? left : kSpacesPerPiece;
    fText.WriteCounted(kSpaces, piece, 0);
    left -= piece;
  }
  return *this;
}

// Writing

void KQ_THumanReadableStream::WriteText(char const* text, std::uint32_t length) {
  fText.WriteCounted(text, length, 0);
}

template <class T>
void KQ_THumanReadableStream::WriteInteger(T value, char const* suffix) {
  char buffer[32];
  auto const result = std::to_chars(buffer, buffer + sizeof buffer - 4, value);
  char* end = result.ptr;
  while (*suffix != '\0') *end++ = *suffix++;
  WriteText(buffer, static_cast<std::uint32_t>(end - buffer));
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator<<(Manipulator manipulator) {
  return manipulator(*this);
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator<<(KQ_IHumanReadable const& object) {
  object.KQ_WriteTo(*this);
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator<<(char const* text) {
  KQ_TString const string(text);
  string.WriteTo(*this);
  return *this;
}

namespace {

// "%f" of value: six decimals, never an exponent, correctly rounded; the
// largest double has 309 digits before the point, so the buffer holds 400.
// Magnitudes below 2^32 are done in integers. The product value * 10^6 is
// rounded once, and rounding is monotonic and keeps every half-integer
// below 2^52 exactly, so the product's nearest integer is the true one
// unless the rounded product lies exactly half-way; those (true ties and
// near ties alike), larger values, infinities and NaNs go to std::to_chars.
char* FormatFixed6(double value, char (&buffer)[400]) {
  double const magnitude = std::fabs(value);
  if (magnitude < 4294967296.0) {
    double const scaled = magnitude * 1e6;
    double const rounded = std::nearbyint(scaled);
    if (std::fabs(scaled - rounded) != 0.5) {
      auto const units = static_cast<std::uint64_t>(rounded);
      char* out = buffer;
      if (std::signbit(value)) *out++ = '-';
      out = std::to_chars(out, buffer + sizeof buffer, units / 1000000).ptr;
      *out++ = '.';
      auto fraction = static_cast<std::uint32_t>(units % 1000000);
      for (int digit = 5; digit >= 0; --digit) {
        out[digit] = static_cast<char>('0' + fraction % 10);
        fraction /= 10;
      }
      return out + 6;
    }
  }
  return std::to_chars(buffer, buffer + sizeof buffer - 1, value, std::chars_format::fixed, 6).ptr;
}

// Infinities as 1e999 and -1e999, which the readers take as out of range
// and so as infinities; null for any other value.
char* FormatInfinity(double value, char (&buffer)[400]) {
  if (!std::isinf(value)) return nullptr;
  char* out = buffer;
  if (value < 0) *out++ = '-';
  std::memcpy(out, "1e999", 5);
  return out + 5;
}

// Shortest fixed-point digits of a finite value that read back to it, with a
// point added when they have none (so that Extract sees a floating-point
// number). The longest, the smallest subnormal double, takes 327 bytes.
template <class T>
char* FormatShortestFixed(T value, char (&buffer)[400]) {
  char* const end =
      std::to_chars(buffer, buffer + sizeof buffer - 3, value, std::chars_format::fixed).ptr;
  if (std::memchr(buffer, '.', static_cast<std::size_t>(end - buffer)) != nullptr) return end;
  end[0] = '.';
  end[1] = '0';
  return end + 2;
}

bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The exact form of a double: see SetExactFloats.
char* FormatExact(double value, char (&buffer)[400]) {
  if (std::isnan(value)) return FormatFixed6(value, buffer);
  if (char* const end = FormatInfinity(value, buffer)) return end;
  return FormatShortestFixed(value, buffer);
}

// The exact form of a float. Its shortest digits are read as a double and
// then narrowed, which rounds twice; for the rare value whose digits land on
// the wrong side of that, the digits of the float's exact double are
// written instead.
char* FormatExact(float value, char (&buffer)[400]) {
  if (std::isnan(value)) return FormatFixed6(static_cast<double>(value), buffer);
  if (char* const end = FormatInfinity(static_cast<double>(value), buffer)) return end;
  char* const end = FormatShortestFixed(value, buffer);
  *end = '\0';
  double parsed = 0;
  ParseFloating(buffer, parsed);
  if (SameBits(NarrowToFloat(parsed), value)) return end;
  return FormatShortestFixed(static_cast<double>(value), buffer);
}

}  // namespace

KQ_THumanReadableStream& KQ_THumanReadableStream::SetStrict(bool strict) {
  fStrict = strict;
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::SetExactFloats(bool exact) {
  fExactFloats = exact;
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator<<(double value) {
  char buffer[400];
  char const* const end = fExactFloats ? FormatExact(value, buffer) : FormatFixed6(value, buffer);
  WriteText(buffer, static_cast<std::uint32_t>(end - buffer));
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator<<(float value) {
  char buffer[400];
  char* const end =
      fExactFloats ? FormatExact(value, buffer) : FormatFixed6(static_cast<double>(value), buffer);
  *end = 'S';
  WriteText(buffer, static_cast<std::uint32_t>(end + 1 - buffer));
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator<<(char value) {
  char buffer[6];
  buffer[0] = '\'';
  char* const end = kq::text::EscapeByte(static_cast<unsigned char>(value), '\'', buffer + 1);
  *end = '\'';
  WriteText(buffer, static_cast<std::uint32_t>(end + 1 - buffer));
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator<<(bool value) {
  if (value) {
    WriteText("TRUE", 4);
  } else {
    WriteText("FALSE", 5);
  }
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator<<(std::uint64_t value) {
  WriteInteger(value, "UX");
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator<<(std::uint32_t value) {
  WriteInteger(value, "U");
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator<<(std::uint16_t value) {
  WriteInteger(value, "US");
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator<<(std::uint8_t value) {
  WriteInteger(value, "UB");
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator<<(std::int64_t value) {
  WriteInteger(value, "X");
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator<<(std::int32_t value) {
  WriteInteger(value, "");
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator<<(std::int16_t value) {
  WriteInteger(value, "S");
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator<<(std::int8_t value) {
  WriteInteger(value, "B");
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::WritePackable(KQ_IPackable const& object) {
  KQ_TPackage package;
  package = object;
  unsigned char const* bytes = package.Data();
  std::uint32_t const size = package.Size();
  WriteText("KQ_IPackable {", 14);
  Indent();
  char line[2 * kPackedBytesPerLine];
  for (std::uint32_t start = 0; start < size; start += kPackedBytesPerLine) {
    std::uint32_t const count =
        size - start < kPackedBytesPerLine ? size - start : kPackedBytesPerLine;
    for (std::uint32_t i = 0; i < count; ++i) {
      line[2 * i] = kHexDigits[bytes[start + i] >> 4];
      line[2 * i + 1] = kHexDigits[bytes[start + i] & 15];
    }
    NewLine();
    WriteText(line, 2 * count);
  }
  fText.WriteCounted("\n", 1, 1);
  ReverseIndent();
  AddPrefix();
  WriteText("}", 1);
  return *this;
}

// Reading

KQ_THumanReadableStream& KQ_THumanReadableStream::operator>>(KQ_IHumanReadable& object) {
  kq::NestingGuard const guard(fDepth, kMaxDepth, [this] { TooDeep(); });
  kq::ReadBudget const budget(this, ConsumedBy, BudgetOverdrawn, sBudget);
  object.KQ_ReadFrom(*this);
  return *this;
}

template <class T>
T KQ_THumanReadableStream::ReadShortInteger(kq::HRTokenSet const& set) {
  Token token;
  ScanToken(&token, set);
  char const* const text = token.Text();
  Digits const digits = ParseDigits(text, 0);
  Suffix suffix;
  if (digits.fEnd == text || *ParseSuffix(digits.fEnd, suffix) != '\0') {
    SyntaxError("an integer", Quoted(text));
  }
  CheckFits<T>(*this, digits, text);
  // The C library's long is 32 bits wide here; narrower targets take its
  // low bits.
  if constexpr (std::is_signed_v<T>) {
    return static_cast<T>(SignedOf<std::int32_t>(digits));
  } else {
    return static_cast<T>(UnsignedOf<std::uint32_t>(digits));
  }
}

template <class T>
T KQ_THumanReadableStream::ReadLongInteger() {
  Token token;
  ScanToken(&token, kSignedIntegerSet);
  char const* const text = token.Text();
  Digits const digits = ParseDigits(text, 10);
  Suffix suffix;
  char const* const end = digits.fEnd == text ? text : ParseSuffix(digits.fEnd, suffix);
  if (end == digits.fEnd || *end != '\0') {
    SyntaxError("a decimal 64-bit integer with its suffix", Quoted(text));
  }
  CheckFits<T>(*this, digits, text);
  if constexpr (std::is_signed_v<T>) {
    return SignedOf<T>(digits);
  } else {
    return UnsignedOf<T>(digits);
  }
}

double KQ_THumanReadableStream::ReadFloating() {
  Token token;
  ScanToken(&token, kFloatingSet);
  char const* const text = token.Text();
  double value = 0;
  char const* end = ParseFloating(text, value);
  if (end != text && (*end == 'l' || *end == 'L' || *end == 's' || *end == 'S')) ++end;
  if (end == text || *end != '\0') SyntaxError("a number", Quoted(text));
  return value;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator>>(double& value) {
  value = ReadFloating();
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator>>(float& value) {
  value = ToFloat(*this, ReadFloating());
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator>>(char& value) {
  Expect('\'');
  unsigned char c = fText.Read();
  if (c == '\\') {
    unsigned char const escape = fText.Read();
    if (int const letter = kq::text::LetterEscape(escape); letter >= 0) {
      c = static_cast<unsigned char>(letter);
    } else if (escape == '\'' || escape == '\\') {
      c = escape;
    } else {
      unsigned char digits[3] = {escape, 0, 0};
      for (int i = 0; i < 3; ++i) {
        if (i != 0) digits[i] = fText.Read();
        if (!IsOctal(digits[i])) SyntaxError("three octal digits", Quoted(digits[i]));
      }
      c = static_cast<unsigned char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 +
                                     (digits[2] - '0'));
    }
  }
  unsigned char const closing = fText.Read();
  if (closing != '\'') SyntaxError("a closing quote", Quoted(closing));
  value = static_cast<char>(c);
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator>>(bool& value) {
  Token token;
  ScanToken(&token, kBoolSet);
  char const* const text = token.Text();
  char upper[6] = {};
  if (token.Length() < sizeof upper) {
    for (std::uint32_t i = 0; i < token.Length(); ++i) {
      upper[i] = static_cast<char>(text[i] >= 'a' && text[i] <= 'z' ? text[i] - 32 : text[i]);
    }
  }
  if (std::strcmp(upper, "TRUE") == 0) {
    value = true;
  } else if (std::strcmp(upper, "FALSE") == 0) {
    value = false;
  } else {
    SyntaxError("TRUE or FALSE", Quoted(text));
  }
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator>>(std::uint64_t& value) {
  value = ReadLongInteger<std::uint64_t>();
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator>>(std::uint32_t& value) {
  value = ReadShortInteger<std::uint32_t>(kUnsignedIntegerSet);
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator>>(std::uint16_t& value) {
  value = ReadShortInteger<std::uint16_t>(kUnsignedIntegerSet);
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator>>(std::uint8_t& value) {
  value = ReadShortInteger<std::uint8_t>(kUnsignedIntegerSet);
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator>>(std::int64_t& value) {
  value = ReadLongInteger<std::int64_t>();
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator>>(std::int32_t& value) {
  value = ReadShortInteger<std::int32_t>(kSignedIntegerSet);
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator>>(std::int16_t& value) {
  value = ReadShortInteger<std::int16_t>(kSignedIntegerSet);
  return *this;
}

KQ_THumanReadableStream& KQ_THumanReadableStream::operator>>(std::int8_t& value) {
  value = ReadShortInteger<std::int8_t>(kSignedIntegerSet);
  return *this;
}

// Extract

KQ_IHumanReadable* KQ_THumanReadableStream::Extract() {
  kq::NestingGuard const guard(fDepth, kMaxDepth, [this] { TooDeep(); });
  kq::ReadBudget const budget(this, ConsumedBy, BudgetOverdrawn, sBudget);
  unsigned char const next = PeekNonWhite();
  if (next == '"') {
    auto string = std::make_unique<KQ_TString>();
    string->ReadFrom(*this);
    return string.release();
  }
  if (next == '\'') {
    char c = '\0';
    *this >> c;
    return new KQ_TAny(c);
  }
  if (next == '+' || next == '-' || next == '.' || (next >= '0' && next <= '9')) {
    return ExtractNumber();
  }
  return ExtractWord();
}

KQ_IHumanReadable* KQ_THumanReadableStream::ExtractNumber() {
  Token token;
  ScanToken(&token, kNumberSet);
  char const* const text = token.Text();
  if (std::strpbrk(text, ".eE") != nullptr) {
    double value = 0;
    char const* end = ParseFloating(text, value);
    char const size = end == text ? '\0' : LowerAscii(*end);
    if (size == 'l' || size == 's') ++end;
    if (end == text || *end != '\0') SyntaxError("a number", Quoted(text));
    if (size == 's') return new KQ_TAny(ToFloat(*this, value));
    return new KQ_TAny(value);
  }
  Digits const digits = ParseDigits(text, 10);
  Suffix suffix;
  if (digits.fEnd == text || *ParseSuffix(digits.fEnd, suffix) != '\0') {
    SyntaxError("a number", Quoted(text));
  }
  // 8- and 16-bit values take the low bits of the 32-bit reading.
  auto const make = [this, &digits, text](auto type) {
    using T = decltype(type);
    CheckFits<T>(*this, digits, text);
    if constexpr (std::is_signed_v<T>) {
      return new KQ_TAny(
          static_cast<T>(SignedOf<std::conditional_t<sizeof(T) == 8, T, std::int32_t>>(digits)));
    } else {
      return new KQ_TAny(
          static_cast<T>(UnsignedOf<std::conditional_t<sizeof(T) == 8, T, std::uint32_t>>(digits)));
    }
  };
  if (suffix.fUnsigned) {
    switch (suffix.fSize) {
      case 'b':
        return make(std::uint8_t{});
      case 's':
        return make(std::uint16_t{});
      case 'x':
        return make(std::uint64_t{});
      default:
        return make(std::uint32_t{});
    }
  }
  switch (suffix.fSize) {
    case 'b':
      return make(std::int8_t{});
    case 's':
      return make(std::int16_t{});
    case 'x':
      return make(std::int64_t{});
    default:
      return make(std::int32_t{});
  }
}

KQ_IHumanReadable* KQ_THumanReadableStream::ExtractWord() {
  Token token;
  ScanToken(&token, kWordSet);
  char const* const word = token.Text();
  auto const is = [&token, word](char const* lowerCase) {
    std::uint32_t const length = static_cast<std::uint32_t>(std::strlen(lowerCase));
    if (token.Length() != length) return false;
    for (std::uint32_t i = 0; i < length; ++i) {
      if (LowerAscii(word[i]) != lowerCase[i]) return false;
    }
    return true;
  };
  if (is("true")) return new KQ_TAny(true);
  if (is("false")) return new KQ_TAny(false);
  if (is("illegal")) return new KQ_TAny(KQ_TAny::Illegal());
  if (is("null")) return new KQ_TAny(KQ_TAny::Null());
  if (is("kq_ipackable")) return ExtractPackable();
  return ExtractObject(word);
}

KQ_IHumanReadable* KQ_THumanReadableStream::ExtractPackable() {
  Expect('{');
  kq::InlineBuffer<unsigned char, 256> bytes;
  for (;;) {
    SkipWhiteSpace();
    unsigned char const high = fText.Read();
    if (high == '}') break;
    int const highValue = HexValue(high);
    if (highValue < 0) SyntaxError("hexadecimal digits or '}'", Quoted(high));
    unsigned char const low = fText.Read();
    int const lowValue = HexValue(low);
    if (lowValue < 0) SyntaxError("a second hexadecimal digit", Quoted(low));
    bytes.Append(static_cast<unsigned char>(highValue << 4 | lowValue));
  }
  KQ_TPackage package;
  package.SetData(bytes.Data(), bytes.Length());
  auto any = std::make_unique<KQ_TAny>();
  any->Assign(package.Extract(true));
  if (fStrict && package.Position() != package.Size()) {
    SyntaxError("one packed object",
                KQ_TString::Format("%u bytes after it", package.Size() - package.Position()));
  }
  return any.release();
}

KQ_IHumanReadable* KQ_THumanReadableStream::ExtractObject(char const* className) {
  Expect('{');
  // Only classes that can be handed out are instantiated at all: a class
  // name from the input never creates, say, a thread or a socket.
  KQ_TClass const* const record = KQ_TClass::FindClass(className);
  char const* const expected = "a class with a text form";
  if (record == nullptr) SyntaxError(expected, Quoted(className) + ", a class unknown here");
  if (!kq::MakesInstancesOf(*record, "KQ_IPackable") ||
      !kq::ClassImplements(*record, "KQ_IHumanReadable")) {
    SyntaxError(expected, Quoted(className));
  }
  std::unique_ptr<KQ_TObject, ObjectDeleter> object(record->CreateInstance());
  auto* const readable =
      object == nullptr || object->KQ_Cast("KQ_IPackable") == nullptr
          ? nullptr
          : static_cast<KQ_IHumanReadable*>(object->KQ_Cast("KQ_IHumanReadable"));
  if (readable == nullptr) SyntaxError(expected, Quoted(className));
  if (!readable->ReadFrom(*this)) Expect('}');
  object.release();
  return readable;
}

void KQ_THumanReadableStream::SyntaxError() const {
  KQ_THROW(KQ_EHRSyntaxError(KQ_TString::Format(" at line %u", static_cast<unsigned>(LineNr()))));
}

void KQ_THumanReadableStream::TooDeep() const {
  SyntaxError("objects nested at most 1000 deep and within the stack", KQ_TString("more"));
}

std::uint64_t KQ_THumanReadableStream::ConsumedBy(void const* stream) {
  return static_cast<KQ_THumanReadableStream const*>(stream)->fText.BytesRead();
}

void KQ_THumanReadableStream::BudgetOverdrawn(void const* stream) {
  static_cast<KQ_THumanReadableStream const*>(stream)->SyntaxError(
      "input that claims memory in proportion to its size", KQ_TString("more"));
}

void KQ_THumanReadableStream::SetReadBudget(std::uint64_t perByte, std::uint64_t fixed) {
  sBudget.Set(perByte, fixed);
}

std::uint64_t KQ_THumanReadableStream::ReadBudgetPerByte() { return sBudget.PerByte(); }

std::uint64_t KQ_THumanReadableStream::ReadBudgetFixed() { return sBudget.Fixed(); }

void KQ_THumanReadableStream::SyntaxError(char const* expected, KQ_TString const& found) const {
  KQ_TString const what = KQ_TString("expected ") + expected + ", found " + found;
  KQ_THROW(KQ_EHRSyntaxError(KQ_TString::Format(" at line %u", static_cast<unsigned>(LineNr())),
                             KQ_TAny(static_cast<KQ_IPackable const&>(what))));
}

KQ_TString KQ_THumanReadableStream::Quoted(unsigned char byte) {
  if (byte >= 32 && byte <= 126) return KQ_TString::Format("'%c'", byte);
  return KQ_TString::Format("byte 0x%02x", byte);
}

KQ_TString KQ_THumanReadableStream::Quoted(char const* token) {
  return KQ_TString("\"") + token + "\"";
}

// KQ_IStream

bool KQ_THumanReadableStream::Close() { return fText.Close(); }
bool KQ_THumanReadableStream::Flush() { return fText.Flush(); }
bool KQ_THumanReadableStream::Readable() const { return fText.Readable(); }
bool KQ_THumanReadableStream::Writable() const { return fText.Writable(); }
bool KQ_THumanReadableStream::Markable() const { return fText.Markable(); }
bool KQ_THumanReadableStream::Seekable() const { return fText.Seekable(); }
std::uint32_t KQ_THumanReadableStream::Available() const { return fText.Available(); }

std::uint32_t KQ_THumanReadableStream::Read(void* buffer, std::uint32_t minimum,
                                            std::uint32_t maximum) {
  return fText.Read(buffer, minimum, maximum);
}

KQ_IStream& KQ_THumanReadableStream::Read(void* buffer, std::uint32_t count) {
  fText.Read(buffer, count);
  return *this;
}

bool KQ_THumanReadableStream::Skip(std::uint32_t count) { return fText.Skip(count); }

KQ_IStream& KQ_THumanReadableStream::Write(void const* buffer, std::uint32_t count) {
  fText.Write(buffer, count);
  return *this;
}

KQ_IStream& KQ_THumanReadableStream::Write(unsigned char byte) {
  fText.Write(byte);
  return *this;
}

KQ_IStream& KQ_THumanReadableStream::Mark(unsigned char id, std::uint32_t limit) {
  fText.Mark(id, limit);
  return *this;
}

KQ_IStream& KQ_THumanReadableStream::ClearMark(unsigned char id) {
  fText.ClearMark(id);
  return *this;
}

KQ_IStream& KQ_THumanReadableStream::Rewind(unsigned char id) {
  fText.Rewind(id);
  return *this;
}

std::uint32_t KQ_THumanReadableStream::Position() const { return fText.Position(); }

std::uint32_t KQ_THumanReadableStream::Seek(std::uint32_t position) { return fText.Seek(position); }

// Manipulators

KQ_THumanReadableStream& flush(KQ_THumanReadableStream& stream) {
  stream.Flush();
  return stream;
}

KQ_THumanReadableStream& endl(KQ_THumanReadableStream& stream) {
  stream.WriteTokens("\n");
  stream.Flush();
  return stream;
}

KQ_THumanReadableStream& indent(KQ_THumanReadableStream& stream) { return stream.Indent(); }

KQ_THumanReadableStream& back(KQ_THumanReadableStream& stream) { return stream.ReverseIndent(); }

KQ_THumanReadableStream& prefix(KQ_THumanReadableStream& stream) { return stream.AddPrefix(); }

KQ_THumanReadableStream& cr(KQ_THumanReadableStream& stream) { return stream.NewLine(); }
