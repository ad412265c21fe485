// KQ_TDataStream: the binary packing format. A filter stream bound to another
// stream (memory, file, socket) that turns values into a compact,
// self-describing, big-endian byte sequence and reads them back.
//
// Every element starts with a one-byte tag:
//
//   0x00 no object            0x08 u64          0x0E class section: u32 n, name,
//   0x01 signed char          0x09 bool (1)          elements, 0xFF
//   0x02 short                0x0A char         0x0F packet: u32 n, n bytes
//   0x03 32-bit integer       0x0B float        0x40..0x49 (and any other code
//   0x04 64-bit integer       0x0C double            registered with
//   0x05 unsigned char        0x0D object: u32 n,    RegisterSpecificType): an
//   0x06 unsigned short            type name,        object of that class,
//   0x07 unsigned 32-bit           elements, 0xFF    no trailer
//                                                0xFF trailer
//
// Numbers are big-endian. Floating-point values are IEEE 754 bit patterns
// computed from the value (sign, exponent, scaled mantissa), never copied
// from memory: any NaN is written as the quiet NaN 0x7FC00000 /
// 0x7FF8000000000000, both zeros as all bits clear, infinities with their
// sign. A magnitude below the smallest normal number is written as zero (all
// bits clear): the reader turns every pattern other than zero, infinity and
// NaN into (1.mantissa) x 2^(exponent - bias), so a subnormal pattern would
// not read back as the value it came from.
//
// Reading untrusted bytes. Unpacking arbitrary input either succeeds or
// raises a library exception; it never trusts a length before the bytes
// have arrived:
//  - type and class names longer than kMaxNameLength bytes raise
//    KQ_EWrongPackedType, and names are read into a buffer that grows as the
//    bytes arrive; a name holding a zero byte is not a class name and raises
//    KQ_EWrongPackedType too;
//  - skipped packets and names are passed with Skip, without a buffer;
//  - ReadPacketGrowing hands a packet to its reader in pieces of at most
//    kPacketChunk bytes, so a packet that claims 4 GiB costs at most one
//    piece of memory before the data runs out;
//  - at most kMaxDepth object reads, class sections and skipped elements may
//    be open at once (operator>> for objects, Extract, section searches and
//    SkipData each take one level; an Any holding a list of Anys therefore
//    takes two levels per level of nesting), and no level is opened when
//    less than 64 KB of the calling thread's stack remain. Deeper input
//    raises KQ_EWrongPackedType instead of exhausting the call stack, so a
//    thread with a small stack reads less deeply nested input than kMaxDepth;
//  - each top-level read (Extract, operator>> for objects, SkipData) may
//    claim memory for the containers it fills (their slots and entries) up
//    to a budget of ReadBudgetPerByte() bytes for every byte it consumes plus
//    ReadBudgetFixed() bytes, by default 64 and 1 MiB, which the containers
//    of any input of that size stay far below. A read that would claim more
//    raises KQ_EWrongPacketSize. SetReadBudget raises the budget for
//    trusted input; reads nested in another read spend the outer one's.
//
// The pushback stack holds bytes given back with Unread or Peek; they are
// read again before the bound stream's. Rewind and Seek are forwarded to the
// bound stream and discard the pushback bytes, which belong to the old
// position. A copy is bound to the same stream and takes its own copy of the
// pushback bytes.
#pragma once

#include <cstdint>

#include "kq_ipacking.h"
#include "kq_istream.h"
#include "kq_iunpacking.h"
#include "kq_tany.h"
#include "kq_tblockstream.h"
#include "kq_tmemorystream.h"
#include "kq_tobject.h"

class KQ_TClass;
class KQ_TDataBlock;

class KQ_EXPORT KQ_TDataStream : public KQ_TObject,
                                 public virtual KQ_IStream,
                                 public virtual KQ_IPacking,
                                 public virtual KQ_IUnpacking {
  KQ_CLASS(KQ_TDataStream, KQ_TObject, KQ_IStream, KQ_IPacking, KQ_IUnpacking)

  // Nesting limit of the readers (see above).
  static constexpr std::uint32_t kMaxDepth = 1000;
  // Longest type or class name accepted by the readers.
  static constexpr std::uint32_t kMaxNameLength = 65536;
  // Largest piece in which ReadPacketGrowing reads a packet.
  static constexpr std::uint32_t kPacketChunk = 65536;
  // The memory budget of the readers (see above), for the whole process.
  static constexpr std::uint64_t kDefaultReadBudgetPerByte = 64;
  static constexpr std::uint64_t kDefaultReadBudgetFixed = 1024 * 1024;
  static void SetReadBudget(std::uint64_t perByte, std::uint64_t fixed);
  static std::uint64_t ReadBudgetPerByte();
  static std::uint64_t ReadBudgetFixed();

  // Unbound: every byte operation raises KQ_EStreamIsNotBound.
  KQ_TDataStream();
  // Bound to stream, which is not owned and is never closed by this object.
  explicit KQ_TDataStream(KQ_IStream& stream);
  // Bound to other's stream, with a copy of its pushback bytes.
  KQ_TDataStream(KQ_TDataStream const& other);
  ~KQ_TDataStream() override;
  // As the copy constructor.
  KQ_TDataStream& operator=(KQ_TDataStream const& other);

  // Binds to stream (nothing happens when it is this object itself), empties
  // the pushback stack and resets the recording position.
  virtual KQ_TDataStream& operator=(KQ_IStream& stream);
  // Gives count bytes back; they are read again in the order they have.
  virtual KQ_TDataStream& Unread(void const* data, std::uint32_t count);
  // Gives one byte back; it is the next byte read.
  virtual KQ_TDataStream& Unread(unsigned char byte);

  // The bound stream, or null.
  KQ_IStream* BoundStream() const { return fStream; }

  // The process-wide table of specific types: objects of the class stored
  // under a code are packed as that one byte instead of a named header. The
  // table is filled while the library starts (from the classes'
  // KQ_Initialize) and only read afterwards; a null record clears the code.
  static void RegisterSpecificType(unsigned char code, KQ_TClass const* record);
  static KQ_TClass const* SpecificType(unsigned char code);

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
  std::uint32_t Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) override;
  KQ_IStream& Read(void* buffer, std::uint32_t count) override;
  unsigned char Read() override;
  bool Skip(std::uint32_t count) override;
  KQ_IStream& Write(void const* buffer, std::uint32_t count) override;
  KQ_IStream& Write(unsigned char byte) override;
  KQ_IStream& Mark(unsigned char id, std::uint32_t limit) override;
  KQ_IStream& ClearMark(unsigned char id) override;
  KQ_IStream& Rewind(unsigned char id) override;
  std::uint32_t Position() const override;
  std::uint32_t Seek(std::uint32_t position) override;

  // KQ_IPacking: each basic value is written with one Write of tag and value.
  using KQ_IPacking::operator<<;
  // A registered class as its code, any other as header, contents, trailer.
  KQ_IPacking& operator<<(KQ_IPackable const& object) override;
  KQ_IPacking& operator<<(double value) override;
  KQ_IPacking& operator<<(float value) override;
  KQ_IPacking& operator<<(char value) override;
  KQ_IPacking& operator<<(bool value) override;
  KQ_IPacking& operator<<(std::uint64_t value) override;
  KQ_IPacking& operator<<(std::uint32_t value) override;
  KQ_IPacking& operator<<(std::uint16_t value) override;
  KQ_IPacking& operator<<(std::uint8_t value) override;
  KQ_IPacking& operator<<(std::int64_t value) override;
  KQ_IPacking& operator<<(std::int32_t value) override;
  KQ_IPacking& operator<<(std::int16_t value) override;
  KQ_IPacking& operator<<(std::int8_t value) override;
  KQ_IPacking& WritePacket(void const* data, std::uint32_t size) override;
  KQ_IPacking& WriteRawPacket(void const* data, std::uint32_t size) override;
  KQ_IPacking& InsertClassHeader(char const* className) override;
  KQ_IPacking& InsertClassTrailer(char const* className) override;

  // KQ_IUnpacking: each basic value is read with one Read of tag and value;
  // another tag raises KQ_EWrongPackedType (after consuming the element's
  // bytes). A bool is true for any non-zero byte.
  using KQ_IUnpacking::operator>>;
  using KQ_IUnpacking::ReadPacket;
  // Tag 0 leaves the object unchanged; its class's code unpacks it directly;
  // a named object is searched for the object's type or a class section of
  // it (KQ_EWrongPackedType when neither is found).
  KQ_IUnpacking& operator>>(KQ_IPackable& object) override;
  KQ_IUnpacking& operator>>(double& value) override;
  KQ_IUnpacking& operator>>(float& value) override;
  KQ_IUnpacking& operator>>(char& value) override;
  KQ_IUnpacking& operator>>(bool& value) override;
  KQ_IUnpacking& operator>>(std::uint64_t& value) override;
  KQ_IUnpacking& operator>>(std::uint32_t& value) override;
  KQ_IUnpacking& operator>>(std::uint16_t& value) override;
  KQ_IUnpacking& operator>>(std::uint8_t& value) override;
  KQ_IUnpacking& operator>>(std::int64_t& value) override;
  KQ_IUnpacking& operator>>(std::int32_t& value) override;
  KQ_IUnpacking& operator>>(std::int16_t& value) override;
  KQ_IUnpacking& operator>>(std::int8_t& value) override;
  // A packet of minimum to maximum bytes into buffer (which must hold
  // maximum bytes); KQ_EWrongPacketSize for another length. Returns it.
  std::uint32_t ReadPacket(void* buffer, std::uint32_t minimum, std::uint32_t maximum) override;
  KQ_IUnpacking& ReadRawPacket(void* buffer, std::uint32_t size) override;
  KQ_IUnpacking& ExtractClassHeader(char const* className) override;
  KQ_IUnpacking& ExtractClassTrailer(char const* className) override;
  void SkipData() override;
  unsigned char Peek() override;
  // The next object, owned by the caller: a registered code or a known class
  // name gives an object of that class. An unknown class gives, with
  // keepUnknown, a KQ_TUnknown holding its bytes exactly as read; without,
  // the first class section inside it read the same way, or null.
  KQ_IPackable* Extract(bool keepUnknown) override;

  // Reads a packet that must hold exactly expectedSize bytes (tag 15 else
  // KQ_EWrongPackedType; another length KQ_EWrongPacketSize) and hands it to
  // sink in pieces as they arrive: every piece but the last holds exactly
  // kPacketChunk bytes, so memory grows only with bytes that really arrived.
  std::uint32_t ReadPacketGrowing(std::uint32_t expectedSize, PacketSink sink,
                                  void* context) override;

  // The direct path of the elements' writers and readers. While the bound
  // stream is exactly a memory stream or a block stream, WriteRoom gives
  // room for count bytes in its buffer, to be taken with Wrote(count)
  // exactly as a Write of them; while moreover no byte is pushed back or
  // recorded, Lookahead gives the next count bytes in place, to be passed
  // with Advance(count). Otherwise, and when the bytes or the room are not
  // there, both give null and the caller takes the general path.
  unsigned char* WriteRoom(std::uint32_t count) {
    if (fMemory != nullptr) return fMemory->WriteRoom(count);
    return fBlockStream != nullptr ? fBlockStream->WriteRoom(count) : nullptr;
  }
  void Wrote(std::uint32_t count) {
    if (fMemory != nullptr) {
      fMemory->Wrote(count);
    } else {
      fBlockStream->Wrote(count);
    }
  }
  unsigned char const* Lookahead(std::uint32_t count) const {
    if (fPushCount != 0 || fRecordBlock != nullptr) return nullptr;
    if (fMemory != nullptr) return fMemory->Lookahead(count);
    return fBlockStream != nullptr ? fBlockStream->Lookahead(count) : nullptr;
  }
  void Advance(std::uint32_t count) {
    if (fMemory != nullptr) {
      fMemory->Advance(count);
    } else {
      fBlockStream->Advance(count);
    }
    fConsumed += count;
  }

  // Packs and unpacks the elements of a container. An Any of a basic kind
  // goes between its cell and the stream's bytes in one step, and so does a
  // key of exactly the class KQ_TString on the writing side; every other
  // value, and any packer or unpacker that is not exactly a data stream,
  // takes the general path of operator<< and operator>>. The bytes are the
  // same either way.
  class KQ_EXPORT ElementWriter {
   public:
    using Noted = KQ_TAny::Noted;

    explicit ElementWriter(KQ_IPacking& packer);
    void operator()(KQ_TAny const& value) {
      if (fData != nullptr) {
        value.KQ_PackElement(*fData, fAnyCode);
      } else {
        fPacker << static_cast<KQ_IPackable const&>(value);
      }
    }
    void operator()(Noted const& value) {
      if (fData != nullptr) {
        value.KQ_PackElement(*fData, fAnyCode);
      } else {
        fPacker << static_cast<KQ_IPackable const&>(value.Value());
      }
    }
    void Key(KQ_IPackable const& key) {
      if (fStringCode != 0) {
        fData->PackStringElement(key, fStringCode);
      } else {
        fPacker << key;
      }
    }
    // Starts bringing the value's cell into the cache, for a caller that
    // knows which value it writes a little later.
    static void Prefetch(KQ_TAny const& value) { Noted(value).Prefetch(); }
    static void Prefetch(Noted const& value) { value.Prefetch(); }
    // The same for a key's text, once the key itself is in the cache.
    static void PrefetchKey(KQ_IPackable const& key);

   private:
    KQ_IPacking& fPacker;
    KQ_TDataStream* fData;
    unsigned char fAnyCode;
    // The string's code while fData is set, else 0.
    unsigned char fStringCode;
  };
  class KQ_EXPORT ElementReader {
   public:
    explicit ElementReader(KQ_IUnpacking& unpacker);
    void operator()(KQ_TAny& value) {
      if (fData != nullptr) {
        value.KQ_UnpackElement(*fData, fAnyCode);
      } else {
        fUnpacker >> static_cast<KQ_IPackable&>(value);
      }
    }

   private:
    KQ_IUnpacking& fUnpacker;
    KQ_TDataStream* fData;
    unsigned char fAnyCode;
  };

 private:
  class RecordingScope;
  class NameBuffer;

  KQ_IStream& Bound() const;
  void Bind(KQ_IStream* stream);
  void CopyPushback(KQ_TDataStream const& other);
  void ReservePushback(std::uint64_t count);

  // Unchecked byte paths shared by the public operations.
  void Put(void const* bytes, std::uint32_t count);
  void PutCounted(unsigned char tag, void const* bytes, std::uint32_t count);
  void PutName(unsigned char tag, char const* name);
  template <class T>
  void PutBasic(T value);
  template <class T>
  T FetchBasic();
  std::uint32_t FetchCount(unsigned char expected);
  void Fetch(void* buffer, std::uint32_t count);
  void FetchSlow(void* buffer, std::uint32_t count);
  unsigned char FetchByte();
  void FetchTagged(unsigned char* bytes, std::uint32_t count, unsigned char tag);
  char const* FetchName(NameBuffer& buffer, std::uint32_t length);
  std::uint32_t FetchU32();
  void Record(void const* bytes, std::uint32_t count);
  void SkipOrRaise(std::uint32_t count);
  void ReadTrailer();

  // A string key as ElementWriter writes it (see there); code is the
  // string's packing code.
  void PackStringElement(KQ_IPackable const& key, unsigned char code);
  // The highest code registered for record, or 0.
  static unsigned char CodeOf(KQ_TClass const* record);

  // fConsumed of the stream, for the budget of a top-level read.
  static std::uint64_t ConsumedBy(void const* stream);
  bool ExtractPackable(KQ_IPackable& object);
  KQ_IPackable* ExtractUnknown(unsigned char tag, char const* name, std::uint32_t length);
  KQ_IPackable* ExtractBaseSection();

  KQ_IStream* fStream;
  std::uint32_t fPushCapacity;
  std::uint32_t fPushCount;
  unsigned char* fPushStack;
  std::uint32_t fRecordPosition;
  KQ_TDataBlock* fRecordBlock;
  // The bound stream when it is exactly a memory stream, or exactly a block
  // stream: its byte operations are then called directly instead of through
  // the interface.
  KQ_TMemoryStream* fMemory;
  KQ_TBlockStream* fBlockStream;
  std::uint32_t fDepth;
  // Bytes taken from the bound stream by the readers (not those read again
  // from the pushback).
  std::uint64_t fConsumed;
};
