// KQ_TString: the library's text type, a sequence of 16-bit Unicode code
// units that speaks UTF-8 at its narrow boundary.
//
// The buffer always holds one zero unit behind the text, so it can be handed
// out as a zero-terminated wide string. Positions are unit indexes and a
// negative position counts from the end (-1 is the last unit); searches give
// -1 for "not found". Narrow C strings (char const* and char const (*)[1])
// are UTF-8; wchar_t strings are UTF-32 and become UTF-16 with surrogate
// pairs; std::uint16_t and char16_t strings are UTF-16 units taken as they
// are. C strings handed out by the conversions are temporaries of the ring
// (see KQ_AllocTemp): the caller never frees them and must copy what it keeps
// beyond the next 1024 temporaries.
//
// A string is not synchronised: one thread uses it at a time.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <istream>
#include <ostream>
#include <string>
#include <type_traits>

#include "kq_ihashable.h"
#include "kq_ihumanreadable.h"
#include "kq_iprintable.h"
#include "kq_iscanable.h"
#include "kq_tobject.h"
#include "kq_tunichar.h"

namespace kq {

// Integer types that a string constructor takes as a capacity: every integer
// type except the character types and std::uint16_t, which are units.
template <class T>
inline constexpr bool kIsStringCapacity =
    std::is_integral_v<T> && !kIsCharacterType<T> && !std::is_same_v<T, std::uint16_t> &&
    !std::is_same_v<T, std::uint32_t>;

template <class T>
using EnableIfStringCapacity = std::enable_if_t<kIsStringCapacity<T>, int>;

// Integer types that index a string besides std::int32_t itself.
template <class T>
using EnableIfOtherIndex = std::enable_if_t<
    std::is_integral_v<T> && !kIsCharacterType<T> && !std::is_same_v<T, std::int32_t>, int>;

// Constructs KQ_TString::sEmpty and KQ_TString::sLineFeed the first time any
// translation unit that includes this header runs its static initialisers,
// so the two strings are usable from every other static initialiser.
class KQ_EXPORT TStringStatics {
 public:
  TStringStatics();
};
static TStringStatics const kTStringStaticsOfThisUnit;

}  // namespace kq

#if defined(__GNUC__)
#define KQ_PRINTF_FORMAT_(formatIndex, firstArgument) \
  __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define KQ_PRINTF_FORMAT_(formatIndex, firstArgument)
#endif

class KQ_EXPORT KQ_TString : public KQ_TObject,
                             public virtual KQ_IHashable,
                             public virtual KQ_IPrintable,
                             public virtual KQ_IScanable,
                             public virtual KQ_IHumanReadable {
  KQ_CLASS(KQ_TString, KQ_TObject, KQ_IHashable, KQ_IPrintable, KQ_IScanable, KQ_IHumanReadable)
  // Registers the class with the data stream under packing code 65.
  static bool KQ_Initialize();

  // The count argument that means "up to the terminating zero".
  static constexpr std::uint32_t kUpToZero = 0xFFFFFFFFu;
  // The longest string: its buffer must stay addressable by a 32-bit byte
  // count. Longer results raise KQ_EOutOfMemory.
  static constexpr std::uint32_t kMaxLength = 0x7FFFFF00u;

  // The capacity of a buffer sized for n units: (n + 16) rounded down to a
  // multiple of 16 up to 2048 units, above that (n + 64) rounded down to a
  // multiple of 64. Always greater than n.
  static constexpr std::uint32_t CapacityFor(std::uint32_t n) {
    return n <= 2048 ? (n + 16) & ~std::uint32_t{15} : (n + 64) & ~std::uint32_t{63};
  }

  // The empty string and the one-unit string of a line feed.
  static KQ_TString const& sEmpty;
  static KQ_TString const& sLineFeed;

  // A null pointer argument always gives the empty string. For the array
  // forms n bounds the number of elements read (units, wide characters or
  // UTF-8 bytes); reading also stops at the first zero element.
  KQ_TString();
  // Empty, with capacity for n units.
  explicit KQ_TString(std::uint32_t n);
  template <class T, kq::EnableIfStringCapacity<T> = 0>
  explicit KQ_TString(T n) : KQ_TString(static_cast<std::uint32_t>(n)) {}
  KQ_TString(KQ_TUniChar const& unit);
  // A char is a signed byte: 0x80-0xFF become units 0xFF80-0xFFFF.
  explicit KQ_TString(char unit);
  explicit KQ_TString(std::uint16_t unit);
  explicit KQ_TString(char16_t unit);
  // One code point: two units for one beyond U+FFFF, U+FFFD for a value that
  // is no code point.
  explicit KQ_TString(wchar_t c);
  KQ_TString(KQ_TUniChar const* units, std::uint32_t n = kUpToZero);
  KQ_TString(std::uint16_t const* units, std::uint32_t n = kUpToZero);
  KQ_TString(char16_t const* units, std::uint32_t n = kUpToZero);
  // UTF-32; a surrogate pair passes as it is, a lone surrogate or a value
  // beyond U+10FFFF becomes U+FFFD.
  KQ_TString(wchar_t const* text, std::uint32_t n = kUpToZero);
  // UTF-8 of one-, two- and three-byte characters (overlong forms accepted).
  // Raises KQ_EIllegalUTF8Character for a lone continuation byte, a lead byte
  // from 0xF0 up, or a sequence cut short by n or the zero byte.
  KQ_TString(char const* utf8, std::uint32_t n = kUpToZero);
  KQ_TString(kq::ConstUtf8Text utf8, std::uint32_t n = kUpToZero);
  KQ_TString(KQ_TString const& other);
  // Takes other's units, leaving other empty.
  KQ_TString(KQ_TString&& other) noexcept;
  ~KQ_TString() override;

  // Assignment keeps the buffer when it is large enough; self-assignment does
  // nothing. Every form raises what the matching constructor raises, and then
  // leaves the string unchanged.
  KQ_TString& operator=(KQ_TString const& other);
  KQ_TString& operator=(KQ_TUniChar const& unit);
  KQ_TString& operator=(char const* utf8);
  KQ_TString& operator=(kq::ConstUtf8Text utf8);
  KQ_TString& operator=(std::uint16_t const* units);
  KQ_TString& operator=(char16_t const* units);
  KQ_TString& operator=(wchar_t const* text);
  KQ_TString& operator=(char unit);
  KQ_TString& operator=(std::uint16_t unit);
  KQ_TString& operator=(char16_t unit);
  KQ_TString& operator=(wchar_t c);
  // Unpacks the string from the stream.
  KQ_IPackable& operator=(KQ_IUnpacking& unpacker) override;

  // Appending grows the buffer in capacity steps with KQ_Realloc.
  KQ_TString& operator+=(KQ_TString const& other);
  KQ_TString& operator+=(KQ_TUniChar const& unit);
  KQ_TString& operator+=(char const* utf8);
  KQ_TString& operator+=(kq::ConstUtf8Text utf8);
  KQ_TString& operator+=(std::uint16_t const* units);
  KQ_TString& operator+=(char16_t const* units);
  KQ_TString& operator+=(wchar_t const* text);
  KQ_TString& operator+=(char unit);
  KQ_TString& operator+=(std::uint16_t unit);
  KQ_TString& operator+=(char16_t unit);
  KQ_TString& operator+=(wchar_t c);

  KQ_TString operator+(KQ_TString const& other) const;
  KQ_TString operator+(KQ_TUniChar const& unit) const;
  KQ_TString operator+(char const* utf8) const;
  KQ_TString operator+(kq::ConstUtf8Text utf8) const;
  KQ_TString operator+(std::uint16_t const* units) const;
  KQ_TString operator+(char16_t const* units) const;
  KQ_TString operator+(wchar_t const* text) const;
  KQ_TString operator+(char unit) const;
  KQ_TString operator+(std::uint16_t unit) const;
  KQ_TString operator+(char16_t unit) const;
  KQ_TString operator+(wchar_t c) const;

  std::uint32_t Length() const { return fLength; }
  std::uint32_t Capacity() const { return fCapacity; }
  // Shortens the string to n units when it is longer; the buffer stays.
  KQ_TString& Truncate(std::uint32_t n);

  // Unit i; a negative i counts from the end. Out of range, the mutable form
  // gives a zero unit of the calling thread that is reset on every such
  // access, the constant form gives 0.
  KQ_TUniChar& operator[](std::int32_t i);
  KQ_TUniChar operator[](std::int32_t i) const;
  template <class T, kq::EnableIfOtherIndex<T> = 0>
  KQ_TUniChar& operator[](T i) {
    return (*this)[ClampIndex(i)];
  }
  template <class T, kq::EnableIfOtherIndex<T> = 0>
  KQ_TUniChar operator[](T i) const {
    return (*this)[ClampIndex(i)];
  }

  // The buffer itself, zero-terminated.
  std::uint16_t const* Units() const { return fBuffer; }
  operator KQ_TUniChar const*() const;
  // The UTF-8 form up to the first zero unit, each unit encoded on its own
  // (a surrogate as three bytes), in a temporary.
  char const* UTF8() const;
  operator char*() const;
  operator kq::Utf8Text() const;
  // A zero-terminated copy of all units in a temporary.
  operator std::uint16_t*() const;
  // UTF-32 in a temporary: surrogate pairs are joined, lone surrogates become
  // U+FFFD.
  operator wchar_t*() const;

  // The rules by which UTF-8 crosses the boundary. Every char form above
  // follows the library's rule. Text from outside that may hold any
  // character (network protocols, documents, JSON) takes kStandard; names
  // that the system hands over as bytes (file names) take kBytes.
  enum class UTF8Rule : std::uint8_t {
    // One- to three-byte characters, overlong forms accepted, four-byte
    // sequences refused; each unit goes out on its own, a surrogate as
    // three bytes.
    kLibrary,
    // Standard UTF-8: characters beyond U+FFFF are surrogate pairs here and
    // four bytes outside; overlong forms, encoded surrogates, code points
    // beyond U+10FFFF and stray bytes raise KQ_EIllegalUTF8Character, and a
    // lone surrogate goes out as U+FFFD, so what goes out is always valid.
    kStandard,
    // Any bytes: standard UTF-8 as above, and every other byte as the lone
    // unit U+DC80 + (byte - 0x80), which goes out as that byte again, so
    // bytes that came in go out unchanged. Other lone surrogates go out as
    // three bytes.
    kBytes
  };
  // size bytes, zero bytes included, decoded by rule.
  static KQ_TString FromUTF8(char const* bytes, std::uint32_t size, UTF8Rule rule);
  // Every unit, zero units included, encoded by rule.
  std::string ToUTF8(UTF8Rule rule) const;

  // -1, 0 or 1: units compared as unsigned numbers (after Unicode_ToUpper
  // with ignoreCase); a proper prefix is smaller.
  int CompareWith(KQ_TString const& other, bool ignoreCase = false) const;
  // True when the whole string matches the whole pattern (see
  // kq_tstring_match.h for the pattern language).
  bool Matches(KQ_TString const& pattern, bool ignoreCase = false) const;

  // Comparisons as CompareWith(other, false); text operands are converted as
  // by the constructors, and a null pointer counts as the empty string.
#define KQ_TSTRING_COMPARISON_(op)                    \
  bool operator op(KQ_TString const& other) const;    \
  bool operator op(char const* utf8) const;           \
  bool operator op(kq::ConstUtf8Text utf8) const;     \
  bool operator op(std::uint16_t const* units) const; \
  bool operator op(char16_t const* units) const;      \
  bool operator op(wchar_t const* text) const;
  KQ_TSTRING_COMPARISON_(==)
  KQ_TSTRING_COMPARISON_(!=)
  KQ_TSTRING_COMPARISON_(<)
  KQ_TSTRING_COMPARISON_(<=)
  KQ_TSTRING_COMPARISON_(>)
  KQ_TSTRING_COMPARISON_(>=)
#undef KQ_TSTRING_COMPARISON_

  // Searches. A negative start counts from the end and is raised to 0 when
  // still negative.
  //
  // The first occurrence of needle at or after start; an empty needle is
  // found at start; -1 when start is past Length() - needle.Length().
  std::int32_t Find(KQ_TString const& needle, std::int32_t start = 0) const;
  std::int32_t Find(char const* utf8Needle, std::int32_t start = 0) const;
  std::int32_t Find(kq::ConstUtf8Text utf8Needle, std::int32_t start = 0) const;
  // Forward: the first unit c at or after start; the zero unit is found at
  // Length() (the terminator) unless the text holds one earlier. Reverse: the
  // last c at or before start, which is lowered to Length() - 1 when beyond
  // it; only a zero unit inside the text is found.
  std::int32_t Find(KQ_TUniChar const& c, std::int32_t start = 0, bool reverse = false) const;
  std::int32_t Find(char c, std::int32_t start = 0, bool reverse = false) const;
  std::int32_t Find(std::uint16_t c, std::int32_t start = 0, bool reverse = false) const;
  std::int32_t Find(char16_t c, std::int32_t start = 0, bool reverse = false) const;
  std::int32_t Find(wchar_t c, std::int32_t start = 0, bool reverse = false) const;
  // The first (reverse: last) position whose unit occurs in set, with the
  // start rules of Find(c). An empty set gives Length() forward and -1
  // backwards.
  std::int32_t FindChars(KQ_TString const& set, std::int32_t start = 0, bool reverse = false) const;

  // Derived strings; this one stays unchanged.
  //
  // count units from start (negative start: from the end, raised to 0). A
  // start at or beyond the end gives the empty string; a negative count or
  // one beyond the end takes the rest.
  KQ_TString Substring(std::int32_t start, std::int32_t count = -1) const;
  // The units Substring(start, count) would give, replaced by with. A start
  // beyond the end appends with.
  KQ_TString Replace(std::int32_t start, std::int32_t count, KQ_TString const& with) const;
  // Occurrences of what at or after start, left to right and without overlap,
  // replaced by with; maxCount 0 replaces all of them.
  KQ_TString Replace(KQ_TString const& what, KQ_TString const& with, std::uint32_t maxCount = 0,
                     std::int32_t start = 0) const;
  KQ_TString Replace(char const* what, char const* with, std::uint32_t maxCount = 0,
                     std::int32_t start = 0) const;
  KQ_TString Replace(KQ_TString const& what, char const* with, std::uint32_t maxCount = 0,
                     std::int32_t start = 0) const;
  KQ_TString Replace(char const* what, KQ_TString const& with, std::uint32_t maxCount = 0,
                     std::int32_t start = 0) const;
  KQ_TString Replace(kq::ConstUtf8Text what, kq::ConstUtf8Text with, std::uint32_t maxCount = 0,
                     std::int32_t start = 0) const;
  // Units equal to from at or after start replaced by to, or removed when to
  // is the zero unit; maxCount 0 replaces all. A zero from changes nothing.
  KQ_TString Replace(KQ_TUniChar const& from, KQ_TUniChar const& to, std::uint32_t maxCount = 0,
                     std::int32_t start = 0) const;
  // Each unit at or after start that occurs in from (first at index k) is
  // replaced by to[k], or removed when to has no unit k; maxCount 0 means all.
  KQ_TString ReplaceChars(KQ_TString const& from, KQ_TString const& to, std::uint32_t maxCount = 0,
                          std::int32_t start = 0) const;
  KQ_TString ToLower() const;
  KQ_TString ToUpper() const;
  KQ_TString& MakeLower();
  KQ_TString& MakeUpper();

  // printf-style formatting into at most 8192 bytes, decoded as UTF-8. A
  // longer output or a formatting error raises KQ_EStringFormatException; a
  // null format gives the empty string. Pass strings as UTF8().
  static KQ_TString Format(char const* format, ...) KQ_PRINTF_FORMAT_(1, 2);
  template <class S, class... Arguments, std::enable_if_t<std::is_same_v<S, KQ_TString>, int> = 0>
  static KQ_TString Format(S const& format, Arguments... arguments) {
    return Format(format.UTF8(), arguments...);
  }
  static KQ_TString FormatVA(char const* format, va_list arguments);
  static KQ_TString FormatVA(KQ_TString const& format, va_list arguments);

  // Writes the UTF-8 form.
  void PrintOn(std::ostream& os) const override;
  // Reads one line: ScanFrom(is, sLineFeed).
  void ScanFrom(std::istream& is) override;
  // Replaces the contents with UTF-8 bytes read up to the end of the stream,
  // a zero byte or a byte equal to one of the delimiter units (consumed, not
  // stored). Bytes are decoded in blocks of 255; a character split across
  // two blocks is kept whole.
  void ScanFrom(std::istream& is, KQ_TString const& delimiters);
  // Replaces the contents with the characters read from file up to its end,
  // a zero byte or a character among the delimiters (read, not stored).
  // Characters are UTF-8 whatever the locale; a byte sequence that cannot
  // become a character gives the unit 0, and an unfinished character at the
  // end raises KQ_EIllegalUTF8Character. Returns 1 when reading stopped
  // before the end of the file, else 0.
  std::uint32_t Read(std::FILE* file, KQ_TString const& delimiters);

  // The length as a 32-bit number, then one packet of the units, each high
  // byte first.
  void KQ_Pack(KQ_IPacking& packer) const override;
  // Reads what KQ_Pack writes; the capacity follows the length. From a data
  // stream a long string grows with the bytes that arrive, so a length the
  // data does not back up costs no memory; the string is empty when reading
  // fails.
  void KQ_Unpack(KQ_IUnpacking& unpacker) override;
  KQ_IPackable* KQ_Clone(void* where = nullptr) const override;
  // True when other is a string with the same units.
  bool KQ_IsIdent(KQ_IPackable const& other) const override;
  // h = ((h * 65521) << (shift mod 32)) + unit over all units, in 32-bit
  // arithmetic from h = 0.
  std::uint32_t KQ_HashValue(std::uint32_t shift) const override;
  // The units' content hash.
  std::uint64_t KQ_ContentHash() const override;

  // The text format: the UTF-8 bytes up to the first zero unit between
  // double quotes; \b \t \n \r, \" and \\ for those bytes, three octal
  // digits (\303) for every other byte outside 32..126. Returns true.
  bool WriteTo(KQ_THumanReadableStream& stream) const override;
  // Reads what WriteTo writes, after white space; also takes one to three
  // octal digits, \u and four hexadecimal digits (the UTF-8 bytes of that
  // unit; cut short by another character, which is read next, it gives
  // nothing) and a backslash before any other byte for that byte. No opening
  // quote raises KQ_EHRSyntaxError, bytes that are no UTF-8
  // KQ_EIllegalUTF8Character. Returns false: it reads no closing brace, so
  // the framed form KQ_TString { "text" } needs its own.
  bool ReadFrom(KQ_THumanReadableStream& stream) override;
  // A string is its quoted text alone, without class name or braces.
  void KQ_WriteTo(KQ_THumanReadableStream& stream) const override;
  void KQ_ReadFrom(KQ_THumanReadableStream& stream) override;

 private:
  // An index of another integer type, clamped to a value that is just as
  // far out of range when it does not fit.
  template <class T>
  static std::int32_t ClampIndex(T i) {
    constexpr std::int64_t kLimit = std::int64_t{kMaxLength} + 1;
    if constexpr (std::is_signed_v<T>) {
      auto const value = static_cast<std::int64_t>(i);
      if (value < -kLimit) return static_cast<std::int32_t>(-kLimit);
      return static_cast<std::int32_t>(value > kLimit ? kLimit : value);
    } else {
      auto const value = static_cast<std::uint64_t>(i);
      return static_cast<std::int32_t>(value > std::uint64_t{kLimit} ? kLimit : value);
    }
  }

  // An Any makes the string it keeps in its value cell into an object with
  // the exact units.
  friend class KQ_TAny;

  struct RawUnits {};
  // Exactly n units, zero units included.
  KQ_TString(RawUnits, std::uint16_t const* units, std::uint32_t n);

  // The buffer made this string's own before a change in place: a shared
  // one (or the static empty one) is first replaced by a copy of its first
  // keep units in a buffer of fCapacity units. Returns the buffer.
  std::uint16_t* Own(std::uint32_t keep);
  // The buffer made this string's own with room for capacity units, keeping
  // the units and the terminator.
  void Grow(std::uint32_t capacity);
  template <class Fill>
  void AssignWith(std::uint64_t length, Fill fill);
  template <class Fill>
  void AppendWith(std::uint64_t length, Fill fill);
  void AssignUnits(std::uint16_t const* units, std::uint32_t n);
  void AppendUnits(std::uint16_t const* units, std::uint32_t n);
  void AssignUtf8(char const* utf8, std::uint32_t n);
  void AppendUtf8(char const* utf8, std::uint32_t n);
  // count wide characters, zero ones included.
  void AssignWide(wchar_t const* text, std::size_t count);
  void AppendWide(wchar_t const* text, std::size_t count);
  // start normalised for a forward search (may exceed the length).
  std::int64_t ForwardStart(std::int32_t start) const;
  std::int32_t FindUnitFrom(std::uint16_t c, std::int32_t start, bool reverse) const;

  std::uint32_t fLength;
  // The capacity the string promises (see CapacityFor); the buffer it
  // shares may be larger, and is made this large when the string changes.
  std::uint32_t fCapacity;
  // fLength units and a zero unit, in a buffer shared between copies.
  std::uint16_t* fBuffer;
};

#undef KQ_PRINTF_FORMAT_

KQ_EXPORT KQ_TString operator+(char const* utf8, KQ_TString const& s);
KQ_EXPORT KQ_TString operator+(wchar_t const* text, KQ_TString const& s);

#define KQ_TSTRING_REVERSED_COMPARISON_(op, reversed)                                              \
  inline bool operator op(char const* utf8, KQ_TString const& s) { return s reversed utf8; }       \
  inline bool operator op(std::uint16_t const* units, KQ_TString const& s) {                       \
    return s reversed units;                                                                       \
  }                                                                                                \
  inline bool operator op(char16_t const* units, KQ_TString const& s) { return s reversed units; } \
  inline bool operator op(wchar_t const* text, KQ_TString const& s) { return s reversed text; }
KQ_TSTRING_REVERSED_COMPARISON_(==, ==)
KQ_TSTRING_REVERSED_COMPARISON_(!=, !=)
KQ_TSTRING_REVERSED_COMPARISON_(<, >)
KQ_TSTRING_REVERSED_COMPARISON_(<=, >=)
KQ_TSTRING_REVERSED_COMPARISON_(>, <)
KQ_TSTRING_REVERSED_COMPARISON_(>=, <=)
#undef KQ_TSTRING_REVERSED_COMPARISON_
