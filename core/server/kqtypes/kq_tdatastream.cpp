#include "kq_tdatastream.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <typeinfo>

#include "internal/kq_inline_buffer.h"
#include "internal/kq_nesting_guard.h"
#include "internal/kq_packed_format.h"
#include "internal/kq_read_budget.h"
#include "internal/kq_tclass_interfaces.h"
#include "kq_eexception.h"
#include "kq_ipackable.h"
#include "kq_memalloc.h"
#include "kq_tclass.h"
#include "kq_tdatablock.h"
#include "kq_tstring.h"
#include "kq_tunknown.h"

KQ_CLASS_IMPL(KQ_TDataStream)

using namespace kq::packed;

namespace {

// The table of specific types, and its codes from the highest down, so that
// a writer finds the highest code of a class without walking all 256.
KQ_TClass const* sSpecificTypes[256];
unsigned char sCodesDescending[256];
unsigned sCodeCount;

// Bytes a skipping reader passes per read while it records them.
constexpr std::uint32_t kSkipChunk = 4096;
// Bytes a name buffer grows by while the name arrives.
constexpr std::uint32_t kNameChunk = 4096;
// A header and a name up to this length go out in one Write.
constexpr std::uint32_t kShortName = 59;

template <class E>
[[noreturn]] KQ_NOINLINE void Raise(std::uint32_t line) {
  E raised;
  raised.__PREPARE_FOR_THROW__(line, __FILE__);
  static_cast<KQ_IThrowable const&>(raised).KQ_Throw();
  std::abort();
}

[[noreturn]] void TooDeep() { Raise<KQ_EWrongPackedType>(__LINE__); }

kq::ReadBudgetSetting sBudget{KQ_TDataStream::kDefaultReadBudgetPerByte,
                              KQ_TDataStream::kDefaultReadBudgetFixed};

[[noreturn]] KQ_NOINLINE void BudgetOverdrawn(void const*) {
  KQ_EWrongPacketSize raised(
      KQ_TString("the input claims more memory than its size allows (SetReadBudget)"));
  raised.__PREPARE_FOR_THROW__(__LINE__, __FILE__);
  static_cast<KQ_IThrowable const&>(raised).KQ_Throw();
  std::abort();
}

kq::ReadBudget OpenBudget(void const* stream, kq::ReadBudget::Consumed consumed) {
  return kq::ReadBudget(stream, consumed, BudgetOverdrawn, sBudget);
}

// A new default instance of record viewed as packable; KQ_EWrongPackedType
// when the class cannot make one or it is not packable. A class whose record
// does not declare the interface is never instantiated.
std::unique_ptr<KQ_IPackable> NewPackable(KQ_TClass const& record, std::uint32_t line) {
  std::unique_ptr<KQ_TObject> instance(
      kq::MakesInstancesOf(record, "KQ_IPackable") ? record.CreateInstance() : nullptr);
  auto* const packable =
      instance ? static_cast<KQ_IPackable*>(instance->KQ_Cast("KQ_IPackable")) : nullptr;
  if (packable == nullptr) Raise<KQ_EWrongPackedType>(line);
  instance.release();
  return std::unique_ptr<KQ_IPackable>(packable);
}

}  // namespace

// Names are read into a buffer that grows as their bytes arrive.
class KQ_TDataStream::NameBuffer : public kq::InlineBuffer<unsigned char, 256> {};

// Records into block for the life of the scope, then restores the recording
// that was active before (if any).
class KQ_TDataStream::RecordingScope {
 public:
  RecordingScope(KQ_TDataStream& stream, KQ_TDataBlock& block)
      : fStream(stream), fSavedBlock(stream.fRecordBlock), fSavedPosition(stream.fRecordPosition) {
    stream.fRecordBlock = &block;
    stream.fRecordPosition = block.Size();
  }
  RecordingScope(RecordingScope const&) = delete;
  RecordingScope& operator=(RecordingScope const&) = delete;
  ~RecordingScope() {
    fStream.fRecordBlock = fSavedBlock;
    fStream.fRecordPosition = fSavedPosition;
  }

  // The outer recording gets the bytes recorded here from start on: they
  // were read while this block was recording, so the outer block lacks them.
  void PassOn(KQ_TDataBlock const& block, std::uint32_t start) {
    if (fSavedBlock == nullptr || fStream.fRecordPosition <= start) return;
    std::uint32_t const count = fStream.fRecordPosition - start;
    fSavedBlock->SetAt(fSavedPosition, block.Data() + start, count);
    fSavedPosition += count;
  }

 private:
  KQ_TDataStream& fStream;
  KQ_TDataBlock* fSavedBlock;
  std::uint32_t fSavedPosition;
};

// Construction and binding

KQ_TDataStream::KQ_TDataStream()
    : fStream(nullptr),
      fPushCapacity(0),
      fPushCount(0),
      fPushStack(nullptr),
      fRecordPosition(0),
      fRecordBlock(nullptr),
      fMemory(nullptr),
      fBlockStream(nullptr),
      fDepth(0),
      fConsumed(0) {}

KQ_TDataStream::KQ_TDataStream(KQ_IStream& stream) : KQ_TDataStream() { Bind(&stream); }

KQ_TDataStream::KQ_TDataStream(KQ_TDataStream const& other)
    : KQ_IInterface(other),
      KQ_IStream(other),
      KQ_IPacking(other),
      KQ_IUnpacking(other),
      KQ_TObject(other),
      fStream(nullptr),
      fPushCapacity(0),
      fPushCount(0),
      fPushStack(nullptr),
      fRecordPosition(0),
      fRecordBlock(nullptr),
      fMemory(nullptr),
      fBlockStream(nullptr),
      fDepth(0),
      fConsumed(0) {
  Bind(other.fStream);
  CopyPushback(other);
}

KQ_TDataStream::~KQ_TDataStream() { KQ_Free(fPushStack); }

KQ_TDataStream& KQ_TDataStream::operator=(KQ_TDataStream const& other) {
  if (this != &other) {
    Bind(other.fStream);
    CopyPushback(other);
  }
  return *this;
}

KQ_TDataStream& KQ_TDataStream::operator=(KQ_IStream& stream) {
  if (&stream != static_cast<KQ_IStream*>(this)) Bind(&stream);
  return *this;
}

void KQ_TDataStream::Bind(KQ_IStream* stream) {
  fStream = stream;
  fMemory = nullptr;
  fBlockStream = nullptr;
  if (stream != nullptr) {
    KQ_TClass const* const record = &stream->ClassObject();
    if (record == KQ_TMemoryStream::KQ_ClassObject()) {
      fMemory = static_cast<KQ_TMemoryStream*>(stream->KQ_Cast("KQ_TMemoryStream"));
    } else if (record == KQ_TBlockStream::KQ_ClassObject()) {
      fBlockStream = static_cast<KQ_TBlockStream*>(stream->KQ_Cast("KQ_TBlockStream"));
    }
  }
  fPushCount = 0;
  fRecordPosition = 0;
}

void KQ_TDataStream::CopyPushback(KQ_TDataStream const& other) {
  ReservePushback(other.fPushCount);
  if (other.fPushCount != 0) std::memcpy(fPushStack, other.fPushStack, other.fPushCount);
  fPushCount = other.fPushCount;
}

// Grows the pushback stack to the next multiple of 256 that holds count.
void KQ_TDataStream::ReservePushback(std::uint64_t count) {
  if (count <= fPushCapacity) return;
  std::uint64_t const capacity = (count + 255) / 256 * 256;
  if (capacity > 0xFFFFFFFFu) Raise<KQ_EOutOfMemory>(__LINE__);
  fPushStack =
      static_cast<unsigned char*>(KQ_Realloc(fPushStack, static_cast<std::uint32_t>(capacity)));
  fPushCapacity = static_cast<std::uint32_t>(capacity);
}

KQ_TDataStream& KQ_TDataStream::Unread(void const* data, std::uint32_t count) {
  ReservePushback(std::uint64_t{fPushCount} + count);
  auto const* bytes = static_cast<unsigned char const*>(data);
  for (std::uint32_t i = count; i > 0; --i) fPushStack[fPushCount++] = bytes[i - 1];
  if (fRecordBlock != nullptr) fRecordPosition -= count < fRecordPosition ? count : fRecordPosition;
  return *this;
}

KQ_TDataStream& KQ_TDataStream::Unread(unsigned char byte) {
  ReservePushback(std::uint64_t{fPushCount} + 1);
  fPushStack[fPushCount++] = byte;
  if (fRecordBlock != nullptr && fRecordPosition > 0) --fRecordPosition;
  return *this;
}

void KQ_TDataStream::RegisterSpecificType(unsigned char code, KQ_TClass const* record) {
  sSpecificTypes[code] = record;
  sCodeCount = 0;
  for (int c = 255; c >= 0; --c) {
    if (sSpecificTypes[c] != nullptr)
      sCodesDescending[sCodeCount++] = static_cast<unsigned char>(c);
  }
}

KQ_TClass const* KQ_TDataStream::SpecificType(unsigned char code) { return sSpecificTypes[code]; }

void KQ_TDataStream::SetReadBudget(std::uint64_t perByte, std::uint64_t fixed) {
  sBudget.Set(perByte, fixed);
}

std::uint64_t KQ_TDataStream::ReadBudgetPerByte() { return sBudget.PerByte(); }

std::uint64_t KQ_TDataStream::ReadBudgetFixed() { return sBudget.Fixed(); }

std::uint64_t KQ_TDataStream::ConsumedBy(void const* stream) {
  return static_cast<KQ_TDataStream const*>(stream)->fConsumed;
}

// Byte paths

KQ_IStream& KQ_TDataStream::Bound() const {
  if (fStream == nullptr) Raise<KQ_EStreamIsNotBound>(__LINE__);
  return *fStream;
}

// Put and Fetch are inline so that a basic value's constant size reaches
// the copy into or out of the bound stream's buffer.
inline void KQ_TDataStream::Put(void const* bytes, std::uint32_t count) {
  if (fMemory != nullptr) {
    fMemory->Append(bytes, count);
  } else if (unsigned char* const room = WriteRoom(count)) {
    std::memcpy(room, bytes, count);
    Wrote(count);
  } else {
    Bound().Write(bytes, count);
  }
}

inline void KQ_TDataStream::Fetch(void* buffer, std::uint32_t count) {
  if (fPushCount == 0 && fRecordBlock == nullptr && fMemory != nullptr) {
    fMemory->KQ_TMemoryStream::Read(buffer, count);
    fConsumed += count;
  } else if (unsigned char const* const bytes = Lookahead(count)) {
    std::memcpy(buffer, bytes, count);
    Advance(count);
  } else {
    FetchSlow(buffer, count);
  }
}

void KQ_TDataStream::FetchSlow(void* buffer, std::uint32_t count) {
  KQ_IStream& stream = Bound();
  if (count == 0) return;
  auto* const bytes = static_cast<unsigned char*>(buffer);
  std::uint32_t taken = 0;
  while (taken < count && fPushCount > 0) bytes[taken++] = fPushStack[--fPushCount];
  if (taken < count) {
    stream.Read(bytes + taken, count - taken);
    fConsumed += count - taken;
  }
  if (fRecordBlock != nullptr) Record(bytes, count);
}

unsigned char KQ_TDataStream::FetchByte() {
  if (fPushCount == 0 && fRecordBlock == nullptr) {
    if (fMemory != nullptr) {
      ++fConsumed;
      return fMemory->KQ_TMemoryStream::Read();
    }
    if (unsigned char const* const byte = Lookahead(1)) {
      Advance(1);
      return *byte;
    }
    unsigned char const byte = Bound().Read();
    ++fConsumed;
    return byte;
  }
  KQ_IStream& stream = Bound();
  unsigned char byte = 0;
  if (fPushCount > 0) {
    byte = fPushStack[--fPushCount];
  } else {
    byte = stream.Read();
    ++fConsumed;
  }
  if (fRecordBlock != nullptr) Record(&byte, 1);
  return byte;
}

std::uint32_t KQ_TDataStream::FetchU32() {
  unsigned char bytes[4];
  Fetch(bytes, 4);
  return LoadBE32(bytes);
}

void KQ_TDataStream::Record(void const* bytes, std::uint32_t count) {
  fRecordBlock->SetAt(fRecordPosition, bytes, count);
  fRecordPosition += count;
}

void KQ_TDataStream::SkipOrRaise(std::uint32_t count) {
  if (!Skip(count)) Raise<KQ_EWrongPackedType>(__LINE__);
}

void KQ_TDataStream::ReadTrailer() {
  if (FetchByte() != kTrailer) Raise<KQ_EWrongPackedType>(__LINE__);
}

// Reads tag and value with one read and checks the tag.
void KQ_TDataStream::FetchTagged(unsigned char* bytes, std::uint32_t count, unsigned char tag) {
  Fetch(bytes, count);
  if (bytes[0] != tag) Raise<KQ_EWrongPackedType>(__LINE__);
}

// Reads a name of length bytes into the buffer as the bytes arrive and
// terminates it.
char const* KQ_TDataStream::FetchName(NameBuffer& buffer, std::uint32_t length) {
  if (length > kMaxNameLength) Raise<KQ_EWrongPackedType>(__LINE__);
  std::uint32_t have = 0;
  while (have < length) {
    std::uint32_t const chunk = length - have < kNameChunk ? length - have : kNameChunk;
    Fetch(buffer.Reserve(have + chunk) + have, chunk);
    have += chunk;
    buffer.SetLength(have);
  }
  return reinterpret_cast<char const*>(buffer.Terminated());
}

// KQ_IStream

bool KQ_TDataStream::Close() {
  KQ_IStream& stream = Bound();
  fPushCount = 0;
  fRecordPosition = 0;
  return stream.Close();
}

bool KQ_TDataStream::Flush() { return Bound().Flush(); }

bool KQ_TDataStream::Readable() const { return fStream != nullptr && fStream->Readable(); }
bool KQ_TDataStream::Writable() const { return fStream != nullptr && fStream->Writable(); }
bool KQ_TDataStream::Markable() const { return fStream != nullptr && fStream->Markable(); }
bool KQ_TDataStream::Seekable() const { return fStream != nullptr && fStream->Seekable(); }

std::uint32_t KQ_TDataStream::Available() const {
  std::uint64_t const total = std::uint64_t{Bound().Available()} + fPushCount;
  return total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(total);
}

std::uint32_t KQ_TDataStream::Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) {
  KQ_IStream& stream = Bound();
  auto* const bytes = static_cast<unsigned char*>(buffer);
  std::uint32_t taken = 0;
  while (taken < maximum && fPushCount > 0) bytes[taken++] = fPushStack[--fPushCount];
  std::uint32_t total = taken;
  if (taken < maximum) {
    total += stream.Read(bytes + taken, minimum > taken ? minimum - taken : 0, maximum - taken);
    fConsumed += total - taken;
  }
  if (fRecordBlock != nullptr && total != 0) Record(bytes, total);
  return total;
}

KQ_IStream& KQ_TDataStream::Read(void* buffer, std::uint32_t count) {
  FetchSlow(buffer, count);
  return *this;
}

unsigned char KQ_TDataStream::Read() { return FetchByte(); }

bool KQ_TDataStream::Skip(std::uint32_t count) {
  KQ_IStream& stream = Bound();
  if (fRecordBlock != nullptr) {
    // Every byte passed over belongs to the recording.
    unsigned char chunk[kSkipChunk];
    while (count > 0) {
      std::uint32_t const n = count < kSkipChunk ? count : kSkipChunk;
      FetchSlow(chunk, n);
      count -= n;
    }
    return true;
  }
  if (count <= fPushCount) {
    fPushCount -= count;
    return true;
  }
  count -= fPushCount;
  fPushCount = 0;
  if (!stream.Skip(count)) return false;
  fConsumed += count;
  return true;
}

KQ_IStream& KQ_TDataStream::Write(void const* buffer, std::uint32_t count) {
  Put(buffer, count);
  return *this;
}

KQ_IStream& KQ_TDataStream::Write(unsigned char byte) {
  Put(&byte, 1);
  return *this;
}

KQ_IStream& KQ_TDataStream::Mark(unsigned char id, std::uint32_t limit) {
  Bound().Mark(id, limit);
  return *this;
}

KQ_IStream& KQ_TDataStream::ClearMark(unsigned char id) {
  Bound().ClearMark(id);
  return *this;
}

KQ_IStream& KQ_TDataStream::Rewind(unsigned char id) {
  Bound().Rewind(id);
  fPushCount = 0;
  return *this;
}

std::uint32_t KQ_TDataStream::Position() const { return Bound().Position(); }

std::uint32_t KQ_TDataStream::Seek(std::uint32_t position) {
  std::uint32_t const previous = Bound().Seek(position);
  fPushCount = 0;
  return previous;
}

// KQ_IPacking

// A tag, a 32-bit length and that many bytes; short ones in one write.
void KQ_TDataStream::PutCounted(unsigned char tag, void const* bytes, std::uint32_t count) {
  unsigned char head[kNamedHeadSize + kShortName];
  head[0] = tag;
  StoreBE32(head + 1, count);
  if (count <= kShortName) {
    if (count != 0) std::memcpy(head + kNamedHeadSize, bytes, count);
    Put(head, kNamedHeadSize + count);
  } else {
    Put(head, kNamedHeadSize);
    Put(bytes, count);
  }
}

void KQ_TDataStream::PutName(unsigned char tag, char const* name) {
  std::size_t const length = std::strlen(name);
  if (length > 0xFFFFFFFFu - kNamedHeadSize) Raise<KQ_EWrongPackedType>(__LINE__);
  PutCounted(tag, name, static_cast<std::uint32_t>(length));
}

KQ_IPacking& KQ_TDataStream::operator<<(KQ_IPackable const& object) {
  if (KQ_TClass const* const record = object.KQ_PackClassObject()) {
    for (unsigned i = 0; i < sCodeCount; ++i) {
      unsigned char const code = sCodesDescending[i];
      if (sSpecificTypes[code] == record) {
        Put(&code, 1);
        object.KQ_Pack(*this);
        return *this;
      }
    }
  }
  PutName(kObjectTag, object.KQ_PackTypeID());
  object.KQ_Pack(*this);
  unsigned char const trailer = kTrailer;
  Put(&trailer, 1);
  return *this;
}

// Each basic value goes out as its tag and its bytes in one write.
template <class T>
void KQ_TDataStream::PutBasic(T value) {
  unsigned char bytes[1 + sizeof(T)] = {TagOf<T>::kValue};
  StoreValue(bytes + 1, value);
  Put(bytes, sizeof bytes);
}

#define KQ_DATASTREAM_PUT_(kind, member, Type, ...)     \
  KQ_IPacking& KQ_TDataStream::operator<<(Type value) { \
    PutBasic(value);                                    \
    return *this;                                       \
  }
KQ_ANY_BASIC_KINDS(KQ_DATASTREAM_PUT_)
#undef KQ_DATASTREAM_PUT_

KQ_IPacking& KQ_TDataStream::WritePacket(void const* data, std::uint32_t size) {
  PutCounted(kPacketTag, data, size);
  return *this;
}

KQ_IPacking& KQ_TDataStream::WriteRawPacket(void const* data, std::uint32_t size) {
  if (size != 0) {
    Put(data, size);
  } else {
    Bound();
  }
  return *this;
}

KQ_IPacking& KQ_TDataStream::InsertClassHeader(char const* className) {
  PutName(kSectionTag, className != nullptr ? className : "");
  return *this;
}

KQ_IPacking& KQ_TDataStream::InsertClassTrailer(char const*) {
  unsigned char const trailer = kTrailer;
  Put(&trailer, 1);
  return *this;
}

// KQ_IUnpacking

// Each basic value comes in as its tag and its bytes in one read; another
// tag raises after the bytes have been read.
template <class T>
T KQ_TDataStream::FetchBasic() {
  unsigned char bytes[1 + sizeof(T)];
  FetchTagged(bytes, sizeof bytes, TagOf<T>::kValue);
  return LoadValue<T>(bytes + 1);
}

#define KQ_DATASTREAM_FETCH_(kind, member, Type, ...)      \
  KQ_IUnpacking& KQ_TDataStream::operator>>(Type& value) { \
    value = FetchBasic<Type>();                            \
    return *this;                                          \
  }
KQ_ANY_BASIC_KINDS(KQ_DATASTREAM_FETCH_)
#undef KQ_DATASTREAM_FETCH_

// The length after a tag that must be expected.
std::uint32_t KQ_TDataStream::FetchCount(unsigned char expected) {
  unsigned char head[kNamedHeadSize];
  Fetch(head, kNamedHeadSize);
  if (head[0] != expected) Raise<KQ_EWrongPackedType>(__LINE__);
  return LoadBE32(head + 1);
}

std::uint32_t KQ_TDataStream::ReadPacket(void* buffer, std::uint32_t minimum,
                                         std::uint32_t maximum) {
  std::uint32_t const length = FetchCount(kPacketTag);
  if (length < minimum || length > maximum) Raise<KQ_EWrongPacketSize>(__LINE__);
  if (length != 0) Fetch(buffer, length);
  return length;
}

KQ_IUnpacking& KQ_TDataStream::ReadRawPacket(void* buffer, std::uint32_t size) {
  if (size != 0) {
    Fetch(buffer, size);
  } else {
    Bound();
  }
  return *this;
}

KQ_IUnpacking& KQ_TDataStream::ExtractClassHeader(char const* className) {
  if (className == nullptr) className = "";
  std::uint32_t const length = FetchCount(kSectionTag);
  if (length != std::strlen(className)) Raise<KQ_EWrongPackedType>(__LINE__);
  NameBuffer buffer;
  char const* const name = FetchName(buffer, length);
  if (std::memcmp(name, className, length) != 0) Raise<KQ_EWrongPackedType>(__LINE__);
  return *this;
}

KQ_IUnpacking& KQ_TDataStream::ExtractClassTrailer(char const*) {
  ReadTrailer();
  return *this;
}

unsigned char KQ_TDataStream::Peek() {
  if (fPushCount > 0) {
    Bound();
    return fPushStack[fPushCount - 1];
  }
  unsigned char const byte = FetchByte();
  Unread(byte);
  return byte;
}

void KQ_TDataStream::SkipData() {
  kq::NestingGuard const depth(fDepth, kMaxDepth, TooDeep);
  kq::ReadBudget const budget = OpenBudget(this, ConsumedBy);
  unsigned char const tag = FetchByte();
  if (kTagSizes.fSize[tag] != 0) {
    SkipOrRaise(kTagSizes.fSize[tag]);
    return;
  }
  switch (tag) {
    case kObjectTag:
    case kSectionTag:
      SkipOrRaise(FetchU32());
      while (Peek() != kTrailer) SkipData();
      FetchByte();
      return;
    case kPacketTag:
      SkipOrRaise(FetchU32());
      return;
    default:
      break;
  }
  if (KQ_TClass const* const record = sSpecificTypes[tag]) {
    NewPackable(*record, __LINE__)->KQ_Unpack(*this);
  }
}

// Containers' elements

unsigned char KQ_TDataStream::CodeOf(KQ_TClass const* record) {
  for (unsigned i = 0; i < sCodeCount; ++i) {
    if (sSpecificTypes[sCodesDescending[i]] == record) return sCodesDescending[i];
  }
  return 0;
}

namespace {

// The data stream itself, when object is exactly one: a class derived from
// it may change how values are written, so it takes the general path.
template <class Interface>
KQ_TDataStream* ExactDataStream(Interface& object) {
  auto* const stream = dynamic_cast<KQ_TDataStream*>(&object);
  return stream != nullptr && typeid(*stream) == typeid(KQ_TDataStream) ? stream : nullptr;
}

}  // namespace

KQ_TDataStream::ElementWriter::ElementWriter(KQ_IPacking& packer)
    : fPacker(packer),
      fData(ExactDataStream(packer)),
      fAnyCode(CodeOf(KQ_TAny::KQ_ClassObject())),
      fStringCode(0) {
  if (fAnyCode == 0) fData = nullptr;
  if (fData != nullptr) fStringCode = CodeOf(KQ_TString::KQ_ClassObject());
}

KQ_TDataStream::ElementReader::ElementReader(KQ_IUnpacking& unpacker)
    : fUnpacker(unpacker),
      fData(ExactDataStream(unpacker)),
      fAnyCode(CodeOf(KQ_TAny::KQ_ClassObject())) {
  if (fAnyCode == 0) fData = nullptr;
}

void KQ_TDataStream::ElementWriter::PrefetchKey(KQ_IPackable const& key) {
  if (typeid(key) != typeid(KQ_TString)) return;
  auto const& string = *static_cast<KQ_TString const*>(dynamic_cast<void const*>(&key));
  KQ_PREFETCH(string.Units());
  if (string.Length() != 0) KQ_PREFETCH(string.Units() + string.Length() - 1);
}

// The string's code, its length as a tagged unsigned 32-bit number, then
// one packet of its units, each high byte first: what operator<< writes for
// it through KQ_TString::KQ_Pack, put together here in few writes. A key of
// any other class, a class derived from KQ_TString included, takes
// operator<<.
void KQ_TDataStream::PackStringElement(KQ_IPackable const& key, unsigned char code) {
  if (typeid(key) != typeid(KQ_TString)) {
    *this << key;
    return;
  }
  auto const& string = *static_cast<KQ_TString const*>(dynamic_cast<void const*>(&key));
  std::uint32_t const length = string.Length();
  std::uint16_t const* const units = string.Units();
  std::uint64_t const total = kStringHeadSize + std::uint64_t{length} * 2;
  if (total <= 0xFFFFFFFFu) {
    if (unsigned char* const room = WriteRoom(static_cast<std::uint32_t>(total))) {
      StoreStringHead(room, code, length);
      StoreUnitsBE(room + kStringHeadSize, units, length);
      Wrote(static_cast<std::uint32_t>(total));
      return;
    }
  }
  unsigned char bytes[256];
  StoreStringHead(bytes, code, length);
  std::uint32_t used = kStringHeadSize;
  std::uint32_t done = 0;
  for (;;) {
    std::uint32_t count = (sizeof bytes - used) / 2;
    if (count > length - done) count = length - done;
    StoreUnitsBE(bytes + used, units + done, count);
    used += 2 * count;
    done += count;
    if (done == length) break;
    Put(bytes, used);
    used = 0;
  }
  Put(bytes, used);
}

KQ_IUnpacking& KQ_TDataStream::operator>>(KQ_IPackable& object) {
  kq::NestingGuard const depth(fDepth, kMaxDepth, TooDeep);
  kq::ReadBudget const budget = OpenBudget(this, ConsumedBy);
  unsigned char const tag = FetchByte();
  if (tag == kNoObject) return *this;
  KQ_TClass const* const record = object.KQ_PackClassObject();
  if (record != nullptr && record == sSpecificTypes[tag]) {
    object.KQ_Unpack(*this);
    return *this;
  }
  if (tag != kObjectTag || !ExtractPackable(object)) Raise<KQ_EWrongPackedType>(__LINE__);
  return *this;
}

// The stream stands after the tag of an object header or a class section.
// True when object was found (its own type, or a section of it nested at any
// depth) and unpacked; the whole element is consumed either way.
bool KQ_TDataStream::ExtractPackable(KQ_IPackable& object) {
  kq::NestingGuard const depth(fDepth, kMaxDepth, TooDeep);
  char const* const id = object.KQ_PackTypeID();
  std::uint32_t const length = FetchU32();
  if (length == std::strlen(id)) {
    NameBuffer buffer;
    char const* const name = FetchName(buffer, length);
    if (std::memcmp(name, id, length) == 0) {
      object.KQ_Unpack(*this);
      ReadTrailer();
      return true;
    }
  } else {
    SkipOrRaise(length);
  }
  while (Peek() != kTrailer) {
    if (Peek() != kSectionTag) {
      SkipData();
      continue;
    }
    FetchByte();
    if (ExtractPackable(object)) {
      while (Peek() != kTrailer) SkipData();
      FetchByte();
      return true;
    }
  }
  FetchByte();
  return false;
}

KQ_IPackable* KQ_TDataStream::Extract(bool keepUnknown) {
  kq::NestingGuard const depth(fDepth, kMaxDepth, TooDeep);
  kq::ReadBudget const budget = OpenBudget(this, ConsumedBy);
  unsigned char const tag = FetchByte();
  if (KQ_TClass const* const record = sSpecificTypes[tag]) {
    std::unique_ptr<KQ_IPackable> object = NewPackable(*record, __LINE__);
    object->KQ_Unpack(*this);
    return object.release();
  }
  if (tag != kObjectTag && tag != kSectionTag) Raise<KQ_EWrongPackedType>(__LINE__);
  std::uint32_t const length = FetchU32();
  NameBuffer buffer;
  char const* const name = FetchName(buffer, length);
  if (std::memchr(name, 0, length) != nullptr) Raise<KQ_EWrongPackedType>(__LINE__);
  KQ_TClass const* const record = KQ_TClass::FindClass(name);
  // A class that is not packable stands for an unknown one; it is never
  // instantiated, since an instance may start a thread or take a lock.
  if (record != nullptr && kq::MakesInstancesOf(*record, "KQ_IPackable")) {
    std::unique_ptr<KQ_TObject> instance(record->CreateInstance());
    if (instance) {
      if (auto* const packable = static_cast<KQ_IPackable*>(instance->KQ_Cast("KQ_IPackable"))) {
        instance.release();
        std::unique_ptr<KQ_IPackable> object(packable);
        object->KQ_Unpack(*this);
        ReadTrailer();
        return object.release();
      }
    }
  }
  if (!keepUnknown) return ExtractBaseSection();
  return ExtractUnknown(tag, name, length);
}

// The elements of an object of an unknown class, up to its trailer: the
// first class section stands in for the object, when it gives one.
KQ_IPackable* KQ_TDataStream::ExtractBaseSection() {
  std::unique_ptr<KQ_IPackable> result;
  bool sectionSeen = false;
  while (Peek() != kTrailer) {
    if (!sectionSeen && Peek() == kSectionTag) {
      sectionSeen = true;
      result.reset(Extract(false));
    } else {
      SkipData();
    }
  }
  FetchByte();
  return result.release();
}

// Keeps the object of an unknown class byte for byte: the header is
// rebuilt from what was read, content and trailer are recorded as they are
// skipped.
KQ_IPackable* KQ_TDataStream::ExtractUnknown(unsigned char tag, char const* name,
                                             std::uint32_t length) {
  auto unknown = std::make_unique<KQ_TUnknown>(name);
  KQ_TDataBlock& block = unknown->DataBlock();
  unsigned char header[kNamedHeadSize] = {tag};
  StoreBE32(header + 1, length);
  block.Append(header, kNamedHeadSize);
  block.Append(name, length);
  std::uint32_t const start = block.Size();
  unknown->SetOffset(start);
  RecordingScope recording(*this, block);
  while (Peek() != kTrailer) SkipData();
  unknown->SetLength(fRecordPosition - start);
  FetchByte();
  recording.PassOn(block, start);
  return unknown.release();
}

std::uint32_t KQ_TDataStream::ReadPacketGrowing(std::uint32_t expectedSize, PacketSink sink,
                                                void* context) {
  std::uint32_t const length = FetchCount(kPacketTag);
  if (length != expectedSize) Raise<KQ_EWrongPacketSize>(__LINE__);
  if (length == 0) return 0;
  std::uint32_t const pieceSize = length < kPacketChunk ? length : kPacketChunk;
  std::unique_ptr<unsigned char, void (*)(void*)> const piece(
      static_cast<unsigned char*>(KQ_Alloc(pieceSize)), &KQ_Free);
  std::uint32_t done = 0;
  while (done < length) {
    std::uint32_t const chunk = length - done < pieceSize ? length - done : pieceSize;
    Fetch(piece.get(), chunk);
    sink(context, piece.get(), chunk);
    done += chunk;
  }
  return length;
}
