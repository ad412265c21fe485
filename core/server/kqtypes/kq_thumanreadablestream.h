// KQ_THumanReadableStream: the library's indented text format. A filter
// bound to another stream through an owned KQ_TTextStream (which decodes
// UTF-8, keeps the pushback and counts lines) that writes values as readable
// text and parses that text back.
//
// The forms of the basic values, written and read by operator<< and
// operator>>:
//
//   signed char  -5B      unsigned char  200UB     bool    TRUE / FALSE
//   short        300S     unsigned short 60000US   float   1.500000S
//   32-bit       7        unsigned 32    7U        double  1.500000
//   64-bit       5X       unsigned 64    7UX       char    'a'  '\n'  '\310'
//   string       "ab\t\303\244"
//
// So B is 8 bits, S 16 bits (and float), no letter 32 bits, X 64 bits, and a
// U before the size letter marks an unsigned type. Numbers are written and
// parsed in the "C" locale whatever the process locale is; floating-point
// numbers have six decimals and never an exponent (unless SetExactFloats
// asks for the exact form, see there). Readers of 8-, 16-
// and 32-bit integers take C integer literals (a leading 0 is octal, 0x hex)
// with any of the suffixes, which are not compared with the target type; the
// value is narrowed without a range check (unless SetStrict asks for one).
// 64-bit readers take decimal only and require a suffix.
//
// An object is written by its KQ_WriteTo, by default its class name and its
// contents in braces:
//
//   KQ_TList {
//     1.500000
//     "two"
//   }
//
// A packable object without a text form of its own is written by
// WritePackable as "KQ_IPackable {", its packed bytes in lower-case hex (64
// bytes a line) and "}". Extract() reads a value of any of these forms.
//
// Malformed input raises KQ_EHRSyntaxError with the message " at line N",
// where N counts the line feeds read so far (the first line is 0); nothing
// read is given back. The end of the input raises the bound stream's
// KQ_EStreamEndReached. Objects nest at most kMaxDepth deep while reading,
// and less deeply on a thread whose stack runs low: no level is opened when
// less than 64 KB of the calling thread's stack remain.
//
// A few bytes of text can describe far more than they hold (an array with
// the indexes 0 and 1048575 opens a million slots), so each top-level read
// (Extract, operator>> of an object) may claim memory for the containers it
// fills (their slots and entries) up to a budget of ReadBudgetPerByte()
// bytes for every byte of text it consumes plus ReadBudgetFixed() bytes, by
// default 64 and 1 MiB, which text written by this stream stays far below.
// A read that would claim more raises KQ_EHRSyntaxError. SetReadBudget
// raises the budget for trusted input; packed blocks and objects read within
// a read spend its budget.
//
// One thread at a time per stream. The bound stream is not owned and never
// closed by this one.
#pragma once

#include <cstdint>

#include "kq_ihumanreadable.h"
#include "kq_istream.h"
#include "kq_tobject.h"
#include "kq_tstring.h"
#include "kq_ttextstream.h"
#include "kq_tunichar.h"
#include "kq_types.h"

class KQ_IPackable;

namespace kq {
class HRTokenSet;
}  // namespace kq

class KQ_EXPORT KQ_THumanReadableStream final : public KQ_TObject, public virtual KQ_IStream {
  KQ_CLASS(KQ_THumanReadableStream, KQ_TObject, KQ_IStream)
  // A function applied to the stream by operator<< (see the manipulators
  // below the class).
  using Manipulator = KQ_THumanReadableStream& (*)(KQ_THumanReadableStream&);

  // The maximum of the token readers' one-argument forms.
  static constexpr std::uint32_t kUnlimited = 0xFFFFFFFFu;
  // How many object reads (operator>> of an object, Extract) may be open at
  // once; deeper input, or input that leaves too little stack, raises
  // KQ_EHRSyntaxError.
  static constexpr std::uint32_t kMaxDepth = 1000;
  // Bytes of packed data per line of a WritePackable block.
  static constexpr std::uint32_t kPackedBytesPerLine = 64;
  // The memory budget of the readers (see above), for the whole process.
  static constexpr std::uint64_t kDefaultReadBudgetPerByte = 64;
  static constexpr std::uint64_t kDefaultReadBudgetFixed = 1024 * 1024;
  static void SetReadBudget(std::uint64_t perByte, std::uint64_t fixed);
  static std::uint64_t ReadBudgetPerByte();
  static std::uint64_t ReadBudgetFixed();

  // Space, tab, line feed and carriage return.
  static KQ_TString const& sWhiteSpace;

  // Unbound: every byte operation raises KQ_EStreamIsNotBound.
  KQ_THumanReadableStream();
  // Bound to stream; indentation 0.
  explicit KQ_THumanReadableStream(KQ_IStream& stream);
  KQ_THumanReadableStream(KQ_THumanReadableStream const&) = delete;
  // Binds to other as to any stream (see operator=(KQ_IStream&)).
  KQ_THumanReadableStream& operator=(KQ_THumanReadableStream& other);
  ~KQ_THumanReadableStream() override;

  // Rebinds the text stream (which resets its line count and pushback) and
  // sets the indentation to 0; nothing happens when stream is this object.
  virtual KQ_THumanReadableStream& operator=(KQ_IStream& stream);

  // The next character, UTF-8 decoded by the text stream.
  virtual KQ_TUniChar ReadChar();
  // Give back a character (as its UTF-8 bytes) or bytes; they are read again
  // in their order.
  virtual KQ_THumanReadableStream& Unread(KQ_TUniChar c);
  virtual KQ_THumanReadableStream& Unread(void const* data, std::uint32_t count);
  virtual KQ_THumanReadableStream& Unread(unsigned char byte);
  // Writes text unchanged (no quotes, no escapes).
  virtual KQ_THumanReadableStream& WriteTokens(char const* text);
  // The text stream's scanners: a token up to one of the delimiters, a run
  // of characters from a set, and the same ignoring case. At most max
  // characters; the character that ends the token is given back.
  virtual KQ_TString ReadToken(std::uint32_t max, KQ_TString const& delimiters);
  virtual KQ_TString ReadToken(KQ_TString const& delimiters);
  virtual KQ_TString ReadSpan(std::uint32_t max, KQ_TString const& set);
  virtual KQ_TString ReadSpan(KQ_TString const& set);
  virtual KQ_TString ReadNCSpan(std::uint32_t max, KQ_TString const& set);
  virtual KQ_TString ReadNCSpan(KQ_TString const& set);
  // Line feeds read (or written) so far, minus those given back.
  virtual std::uint32_t LineNr() const;

  // The indentation, in spaces, that AddPrefix writes.
  std::uint32_t Indentation() const { return fIndentation; }
  // Indentation + 2.
  virtual KQ_THumanReadableStream& Indent();
  // Indentation - 2, but not below 0.
  virtual KQ_THumanReadableStream& ReverseIndent();
  // Writes Indentation() spaces.
  virtual KQ_THumanReadableStream& AddPrefix();
  // A line feed, then the prefix (the cr manipulator).
  KQ_THumanReadableStream& NewLine();

  // The form in which operator<< writes floats and doubles. Off (the
  // default): six decimals, as "%f" prints them, which loses digits. On: the
  // shortest fixed-point digits that the readers (operator>>, Extract) turn
  // back into the very same value, always with a decimal point: 0.1 as 0.1,
  // 1e-7 as 0.0000001, 2 as 2.0, -0 as -0.0, infinities as 1e999 and -1e999
  // (which read back as infinities). NaN has no number form and is written
  // as nan either way. Rebinding the stream keeps the setting.
  KQ_THumanReadableStream& SetExactFloats(bool exact);
  bool ExactFloats() const { return fExactFloats; }

  // Strict reading, for text that people edit and that must not change
  // silently (off by default). On, the readers refuse with a syntax error
  // what the default reading would quietly change: an integer that does not
  // fit the type its reader or suffix names (300B, 70000S, 99999999999), a
  // finite number that does not fit a float (1e39S), a string escape that
  // gives a zero byte or a value above 255 ("\u0000", "\400"), UTF-8 in
  // an overlong form, and bytes after the object in a KQ_IPackable block.
  // Rebinding the stream keeps the setting.
  KQ_THumanReadableStream& SetStrict(bool strict);
  bool Strict() const { return fStrict; }

  // Writing.
  virtual KQ_THumanReadableStream& operator<<(Manipulator manipulator);
  // The object's KQ_WriteTo.
  virtual KQ_THumanReadableStream& operator<<(KQ_IHumanReadable const& object);
  // The UTF-8 text as a quoted string (raises KQ_EIllegalUTF8Character for
  // text that is not UTF-8).
  virtual KQ_THumanReadableStream& operator<<(char const* text);
  virtual KQ_THumanReadableStream& operator<<(double value);
  virtual KQ_THumanReadableStream& operator<<(float value);
  virtual KQ_THumanReadableStream& operator<<(char value);
  virtual KQ_THumanReadableStream& operator<<(bool value);
  virtual KQ_THumanReadableStream& operator<<(std::uint64_t value);
  virtual KQ_THumanReadableStream& operator<<(std::uint32_t value);
  virtual KQ_THumanReadableStream& operator<<(std::uint16_t value);
  virtual KQ_THumanReadableStream& operator<<(std::uint8_t value);
  virtual KQ_THumanReadableStream& operator<<(std::int64_t value);
  virtual KQ_THumanReadableStream& operator<<(std::int32_t value);
  virtual KQ_THumanReadableStream& operator<<(std::int16_t value);
  virtual KQ_THumanReadableStream& operator<<(std::int8_t value);
  // Any other integer type is written as the fixed width of its size.
  template <class T, kq::EnableIfOtherInteger<T> = 0>
  KQ_THumanReadableStream& operator<<(T value) {
    return *this << static_cast<kq::FixedInt<T>>(value);
  }
  // The object's packed form (as KQ_TPackage packs it) in hexadecimal.
  virtual KQ_THumanReadableStream& WritePackable(KQ_IPackable const& object);

  // Reading.
  //
  // The object's KQ_ReadFrom.
  virtual KQ_THumanReadableStream& operator>>(KQ_IHumanReadable& object);
  virtual KQ_THumanReadableStream& operator>>(double& value);
  virtual KQ_THumanReadableStream& operator>>(float& value);
  virtual KQ_THumanReadableStream& operator>>(char& value);
  virtual KQ_THumanReadableStream& operator>>(bool& value);
  virtual KQ_THumanReadableStream& operator>>(std::uint64_t& value);
  virtual KQ_THumanReadableStream& operator>>(std::uint32_t& value);
  virtual KQ_THumanReadableStream& operator>>(std::uint16_t& value);
  virtual KQ_THumanReadableStream& operator>>(std::uint8_t& value);
  virtual KQ_THumanReadableStream& operator>>(std::int64_t& value);
  virtual KQ_THumanReadableStream& operator>>(std::int32_t& value);
  virtual KQ_THumanReadableStream& operator>>(std::int16_t& value);
  virtual KQ_THumanReadableStream& operator>>(std::int8_t& value);
  template <class T, kq::EnableIfOtherInteger<T> = 0>
  KQ_THumanReadableStream& operator>>(T& value) {
    kq::FixedInt<T> fixed{};
    *this >> fixed;
    value = static_cast<T>(fixed);
    return *this;
  }
  // A value of any form, as a new object owned by the caller: a KQ_TString
  // for a string, an object of the named class for an object, and a KQ_TAny
  // for everything else (basic values, ILLEGAL, NULL, a packed block).
  virtual KQ_IHumanReadable* Extract();
  // Raises KQ_EHRSyntaxError for the current line. The second form gives
  // the exception, as its value, a KQ_TString saying what was expected and
  // what was found instead: "expected '}', found 'x'".
  [[noreturn]] virtual void SyntaxError() const;
  [[noreturn]] void SyntaxError(char const* expected, KQ_TString const& found) const;
  // How SyntaxError names what it found: a byte as 'x' when it is printable
  // ASCII, else as its code (byte 0x0a); a token or a name in double quotes.
  static KQ_TString Quoted(unsigned char byte);
  static KQ_TString Quoted(char const* token);

  // Helpers for content readers, equal to the token readers without
  // building a string:
  //
  // ReadSpan(sWhiteSpace): passes over white space.
  KQ_THumanReadableStream& SkipWhiteSpace();
  // Passes over white space and returns the next byte without consuming it.
  unsigned char PeekNonWhite();
  // Passes over white space; the next byte must be c (SyntaxError if not).
  KQ_THumanReadableStream& Expect(char c);

  // KQ_IStream: every operation goes to the text stream.
  bool Close() override;
  bool Flush() override;
  bool Readable() const override;
  bool Writable() const override;
  bool Markable() const override;
  bool Seekable() const override;
  std::uint32_t Available() const override;
  std::uint32_t Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) override;
  KQ_IStream& Read(void* buffer, std::uint32_t count) override;
  unsigned char Read() override { return fText.Read(); }
  bool Skip(std::uint32_t count) override;
  KQ_IStream& Write(void const* buffer, std::uint32_t count) override;
  KQ_IStream& Write(unsigned char byte) override;
  KQ_IStream& Mark(unsigned char id, std::uint32_t limit) override;
  KQ_IStream& ClearMark(unsigned char id) override;
  KQ_IStream& Rewind(unsigned char id) override;
  std::uint32_t Position() const override;
  std::uint32_t Seek(std::uint32_t position) override;

 private:
  class Token;
  // Input nested deeper than kMaxDepth.
  [[noreturn]] void TooDeep() const;
  // For the budget of a top-level read: the bytes the stream has consumed,
  // and the error of a read that claims more memory than its budget.
  static std::uint64_t ConsumedBy(void const* stream);
  [[noreturn]] static void BudgetOverdrawn(void const* stream);

  // The text stream's ReadNCSpan of an ASCII set, into token (or only
  // passing over the span when token is null).
  void ScanToken(Token* token, kq::HRTokenSet const& set);
  // Writes text that holds no line feed (numbers, quoted and escaped text).
  void WriteText(char const* text, std::uint32_t length);
  template <class T>
  void WriteInteger(T value, char const* suffix);
  template <class T>
  T ReadShortInteger(kq::HRTokenSet const& set);
  template <class T>
  T ReadLongInteger();
  double ReadFloating();
  KQ_IHumanReadable* ExtractNumber();
  KQ_IHumanReadable* ExtractWord();
  KQ_IHumanReadable* ExtractPackable();
  KQ_IHumanReadable* ExtractObject(char const* className);

  std::uint32_t fIndentation;
  KQ_TTextStream fText;
  std::uint32_t fDepth;
  bool fExactFloats;
  bool fStrict;
};

// Manipulators, applied with operator<<.
//
// Flush().
KQ_EXPORT KQ_THumanReadableStream& flush(KQ_THumanReadableStream& stream);
// A line feed, then Flush().
KQ_EXPORT KQ_THumanReadableStream& endl(KQ_THumanReadableStream& stream);
// Indent().
KQ_EXPORT KQ_THumanReadableStream& indent(KQ_THumanReadableStream& stream);
// ReverseIndent().
KQ_EXPORT KQ_THumanReadableStream& back(KQ_THumanReadableStream& stream);
// AddPrefix().
KQ_EXPORT KQ_THumanReadableStream& prefix(KQ_THumanReadableStream& stream);
// A line feed, then AddPrefix(): the start of the next line of a content.
KQ_EXPORT KQ_THumanReadableStream& cr(KQ_THumanReadableStream& stream);
