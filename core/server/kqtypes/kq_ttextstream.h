// KQ_TTextStream: the character layer of the text format. A filter bound to
// a byte stream that decodes UTF-8 into 16-bit characters, keeps a pushback
// stack so that a scanner can look ahead and give characters back, and counts
// the line feeds that have passed (for error messages).
//
// Decoding never fails: a one-byte character (below 0x80) is itself; a
// two-byte lead followed by a continuation byte, or a three-byte lead followed
// by two, gives the encoded unit (a three-byte value is kept to 16 bits).
// Any other byte from 0x80 up comes through alone as U+0080..U+00FF and the
// bytes read after it are given back, so stray continuation bytes and the
// leads of four-byte sequences appear as single characters.
//
// The line count goes up by one for every line feed (byte 10) read or written
// through the stream and down by one (not below 0) for every line feed given
// back. Pushback bytes are read before the bound stream's. Mark, Rewind,
// Position and Seek are passed to the bound stream and leave the pushback and
// the line count alone.
//
// The pushback stack keeps its buffer: it grows (doubling) when a push needs
// more room and is never shrunk, so pushing costs no allocation in the usual
// scanner loop of one character given back at a time. Only the bytes on it
// are observable.
//
// The scanners decode with the same rules as ReadUTF8Char without a virtual
// call per character; a subclass that decodes differently overrides them too.
#pragma once

#include <cstdint>

#include "kq_istream.h"
#include "kq_tmemorystream.h"
#include "kq_tobject.h"
#include "kq_tstring.h"
#include "kq_tunichar.h"

class KQ_EXPORT KQ_TTextStream : public KQ_TObject, public virtual KQ_IStream {
  KQ_CLASS(KQ_TTextStream, KQ_TObject, KQ_IStream)

  // The length limit of the scanner forms without one. A limit of 0 reads
  // nothing and gives the empty string.
  static constexpr std::uint32_t kNoLimit = 0xFFFFFFFFu;
  // Space, tab, line feed and carriage return.
  static KQ_TString const sWhiteSpace;

  // Unbound: every byte operation raises KQ_EStreamIsNotBound.
  KQ_TTextStream();
  // Bound to stream, which is not owned and is never closed by this object.
  explicit KQ_TTextStream(KQ_IStream& stream);
  // A text stream holds a pushback stack of its own and is not copied; bind
  // a second one to the same stream instead.
  KQ_TTextStream(KQ_TTextStream const&) = delete;
  KQ_TTextStream& operator=(KQ_TTextStream const&) = delete;
  // Frees the pushback stack; the bound stream is left open.
  ~KQ_TTextStream() override;

  // Binds to stream (nothing happens when it is this object itself) and
  // resets the line count and the pushback stack.
  virtual KQ_TTextStream& operator=(KQ_IStream& stream);

  // The next character: ReadUTF8Char().
  virtual KQ_TUniChar ReadChar() { return ReadUTF8Char(); }
  // Decodes one character with single-byte reads (see above).
  virtual KQ_TUniChar ReadUTF8Char() { return Decode(); }
  // Gives a character back as its UTF-8 bytes.
  virtual KQ_TTextStream& Unread(KQ_TUniChar c);
  // Gives count bytes back; they are read again in the order they have.
  virtual KQ_TTextStream& Unread(void const* bytes, std::uint32_t count);
  // Gives one byte back; it is the next byte read. Integer arguments select
  // this form: a 16-bit unit is given back as KQ_TUniChar(unit).
  virtual KQ_TTextStream& Unread(unsigned char byte);
  // Writes the bytes of text (without terminator); a null text writes
  // nothing.
  virtual KQ_TTextStream& operator<<(char const* text);

  // Reads up to the first delimiter, which is given back, or until the token
  // holds max characters. White space among the delimiters is skipped while
  // the token is empty; a character 0 is dropped and ends a non-empty token.
  virtual KQ_TString ReadToken(std::uint32_t max, KQ_TString const& delimiters);
  virtual KQ_TString ReadToken(KQ_TString const& delimiters);
  // Reads characters of set until the first other one, which is given back,
  // or until the span holds max characters. White space outside the set is
  // skipped while the span is empty; a character 0 is dropped and ends a
  // non-empty span.
  virtual KQ_TString ReadSpan(std::uint32_t max, KQ_TString const& set);
  virtual KQ_TString ReadSpan(KQ_TString const& set);
  // As ReadSpan, comparing in lower case; the characters keep their case.
  virtual KQ_TString ReadNCSpan(std::uint32_t max, KQ_TString const& set);
  virtual KQ_TString ReadNCSpan(KQ_TString const& set);
  // Line feeds read or written so far, less those given back.
  virtual std::uint32_t LineNr() const;
  // Write(buffer, count) for a writer that has counted the line feeds in
  // the bytes itself (numbers and indentation have none).
  void WriteCounted(void const* buffer, std::uint32_t count, std::uint32_t lineFeeds) {
    if (fMemory != nullptr) {
      fMemory->Append(buffer, count);
    } else {
      Bound().Write(buffer, count);
    }
    fLineCount += lineFeeds;
  }

  // The bound stream, or null.
  KQ_IStream* BoundStream() const { return fStream; }
  // Bytes read so far, less those given back: what the reader has consumed.
  std::uint64_t BytesRead() const { return fBytesRead; }

  // KQ_IStream. Each byte operation raises KQ_EStreamIsNotBound when no
  // stream is bound; the capability queries answer false then.
  bool Close() override;
  bool Flush() override;
  bool Readable() const override;
  bool Writable() const override;
  bool Markable() const override;
  bool Seekable() const override;
  // The bound stream's Available() plus the pushback bytes.
  std::uint32_t Available() const override;
  // Takes pushback bytes first, then asks the bound stream for the rest (its
  // minimum lowered by what the pushback gave).
  std::uint32_t Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) override;
  KQ_IStream& Read(void* buffer, std::uint32_t count) override;
  unsigned char Read() override {
    if (fPushCount == 0 && fMemory != nullptr) {
      unsigned char const byte = fMemory->KQ_TMemoryStream::Read();
      if (byte == '\n') ++fLineCount;
      ++fBytesRead;
      return byte;
    }
    return ReadByteSlow();
  }
  // count single-byte reads; true.
  bool Skip(std::uint32_t count) override;
  KQ_IStream& Write(void const* buffer, std::uint32_t count) override;
  KQ_IStream& Write(unsigned char byte) override;
  KQ_IStream& Mark(unsigned char id, std::uint32_t limit) override;
  KQ_IStream& ClearMark(unsigned char id) override;
  KQ_IStream& Rewind(unsigned char id) override;
  std::uint32_t Position() const override;
  std::uint32_t Seek(std::uint32_t position) override;

 private:
  class CharSet;
  // The ASCII map of the last set a scanner used, kept with a copy of the
  // set's units (one slot for the sets compared as given, one for those
  // compared in lower case): a parser scans with the same few sets over and
  // over, and comparing the units is cheaper than building the map.
  struct SetMap {
    static constexpr std::uint32_t kMaxUnits = 64;
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    std::uint32_t fCount = kNone;
    bool fHasHigh = false;
    std::uint64_t fAscii[2] = {0, 0};
    std::uint16_t fUnits[kMaxUnits] = {};
  };
  template <bool kToken, bool kLowerCase>
  KQ_TString ScanWith(std::uint32_t max, KQ_TString const& set);
  template <bool kToken, bool kLowerCase>
  KQ_TString Scan(std::uint32_t max, CharSet const& members);

  KQ_IStream& Bound() const;
  void Bind(KQ_IStream* stream);
  unsigned char ReadByteSlow();
  // The decoder behind ReadUTF8Char and the scanners.
  KQ_TUniChar Decode() {
    unsigned char const b1 = Read();
    if (b1 < 0x80) return KQ_TUniChar(std::uint16_t{b1});
    return DecodeTail(b1);
  }
  KQ_TUniChar DecodeTail(unsigned char b1);
  void Push(unsigned char byte) {
    if (fPushCount == fPushCapacity) GrowPushback(std::uint64_t{fPushCount} + 1);
    fPushStack[fPushCount++] = byte;
    if (byte == '\n' && fLineCount > 0) --fLineCount;
    if (fBytesRead > 0) --fBytesRead;
  }
  void GrowPushback(std::uint64_t needed);
  std::uint32_t PopInto(unsigned char* bytes, std::uint32_t count);
  void CountLineFeeds(void const* bytes, std::uint32_t count);

  KQ_IStream* fStream;
  std::uint32_t fLineCount;
  std::uint64_t fBytesRead;
  std::uint32_t fPushCount;
  std::uint32_t fPushCapacity;
  unsigned char* fPushStack;
  // The bound stream when it is exactly a memory stream: single-byte reads
  // then call it directly instead of through the interface.
  KQ_TMemoryStream* fMemory;
  SetMap fSetMaps[2];
};
