#include "kq_tpackage.h"

#include <cstring>
#include <memory>

#include "kq_memalloc.h"

KQ_CLASS_IMPL(KQ_TPackage)

namespace {

// Receives the pieces of a packet being unpacked into a package.
void AppendPiece(void* context, unsigned char const* bytes, std::uint32_t count) {
  static_cast<KQ_TMemoryStream*>(context)->Write(bytes, count);
}

}  // namespace

// Construction

KQ_TPackage::KQ_TPackage() : fBytes(), fPacker(fBytes) {}

KQ_TPackage::KQ_TPackage(std::int8_t value) : KQ_TPackage() { Assign(value); }
KQ_TPackage::KQ_TPackage(std::int16_t value) : KQ_TPackage() { Assign(value); }
KQ_TPackage::KQ_TPackage(std::int32_t value) : KQ_TPackage() { Assign(value); }
KQ_TPackage::KQ_TPackage(std::int64_t value) : KQ_TPackage() { Assign(value); }
KQ_TPackage::KQ_TPackage(std::uint8_t value) : KQ_TPackage() { Assign(value); }
KQ_TPackage::KQ_TPackage(std::uint16_t value) : KQ_TPackage() { Assign(value); }
KQ_TPackage::KQ_TPackage(std::uint32_t value) : KQ_TPackage() { Assign(value); }
KQ_TPackage::KQ_TPackage(std::uint64_t value) : KQ_TPackage() { Assign(value); }
KQ_TPackage::KQ_TPackage(bool value) : KQ_TPackage() { Assign(value); }
KQ_TPackage::KQ_TPackage(char value) : KQ_TPackage() { Assign(value); }
KQ_TPackage::KQ_TPackage(float value) : KQ_TPackage() { Assign(value); }
KQ_TPackage::KQ_TPackage(double value) : KQ_TPackage() { Assign(value); }
KQ_TPackage::KQ_TPackage(KQ_IPackable const& object) : KQ_TPackage() { PackObject(object); }

KQ_TPackage::KQ_TPackage(unsigned char* buffer, std::uint32_t size)
    : fBytes(buffer, size, size), fPacker(fBytes) {}

KQ_TPackage::KQ_TPackage(KQ_TPackage const& other)
    : KQ_IInterface(other),
      KQ_IPackable(other),
      KQ_IPacking(other),
      KQ_IUnpacking(other),
      KQ_TObject(other),
      fBytes(static_cast<KQ_TMemoryStream const&>(other.fBytes)),
      fPacker(fBytes) {
  fBytes.Seek(other.Position());
}

KQ_TPackage::~KQ_TPackage() = default;

// Assignment

template <class T>
KQ_TPackage& KQ_TPackage::Assign(T value) {
  Clear();
  fPacker << value;
  return *this;
}

KQ_TPackage& KQ_TPackage::operator=(KQ_IPackable const& object) {
  if (&object == static_cast<KQ_IPackable const*>(this)) {
    KQ_TPackage const copy(*this);
    Clear();
    fPacker << static_cast<KQ_IPackable const&>(copy);
    return *this;
  }
  Clear();
  fPacker << object;
  return *this;
}

KQ_TPackage& KQ_TPackage::operator=(double value) { return Assign(value); }
KQ_TPackage& KQ_TPackage::operator=(float value) { return Assign(value); }
KQ_TPackage& KQ_TPackage::operator=(char value) { return Assign(value); }
KQ_TPackage& KQ_TPackage::operator=(bool value) { return Assign(value); }
KQ_TPackage& KQ_TPackage::operator=(std::uint64_t value) { return Assign(value); }
KQ_TPackage& KQ_TPackage::operator=(std::uint32_t value) { return Assign(value); }
KQ_TPackage& KQ_TPackage::operator=(std::uint16_t value) { return Assign(value); }
KQ_TPackage& KQ_TPackage::operator=(std::uint8_t value) { return Assign(value); }
KQ_TPackage& KQ_TPackage::operator=(std::int64_t value) { return Assign(value); }
KQ_TPackage& KQ_TPackage::operator=(std::int32_t value) { return Assign(value); }
KQ_TPackage& KQ_TPackage::operator=(std::int16_t value) { return Assign(value); }
KQ_TPackage& KQ_TPackage::operator=(std::int8_t value) { return Assign(value); }

KQ_TPackage& KQ_TPackage::operator=(KQ_TPackage const& other) {
  if (this == &other) return *this;
  std::uint32_t const position = other.Position();
  fBytes = static_cast<KQ_TMemoryStream const&>(other.fBytes);
  Reset();
  fBytes.Seek(position);
  return *this;
}

// Contents and position

KQ_TPackage& KQ_TPackage::Clear() {
  fBytes.SetSize(0);
  Reset();
  return *this;
}

KQ_TPackage& KQ_TPackage::Rewind(std::uint32_t position) {
  fPacker.Seek(position);
  return *this;
}

std::uint32_t KQ_TPackage::Size() const { return fBytes.Size(); }

std::uint32_t KQ_TPackage::Position() const { return fBytes.Position() - HeldBack(); }

KQ_TPackage& KQ_TPackage::SetSize(std::uint32_t size) {
  Settle();
  fBytes.SetSize(size);
  return *this;
}

unsigned char const* KQ_TPackage::Data() const { return fBytes.Data(); }

unsigned char* KQ_TPackage::Data() { return fBytes.Data(); }

KQ_TPackage& KQ_TPackage::SetData(unsigned char const* bytes, std::uint32_t count) {
  // Bytes that lie in the package's own buffer are saved before it is
  // emptied and written over.
  std::unique_ptr<unsigned char, void (*)(void*)> saved(nullptr, &KQ_Free);
  unsigned char const* const own = fBytes.Data();
  if (count != 0 && own != nullptr && bytes >= own && bytes < own + fBytes.Capacity()) {
    saved.reset(static_cast<unsigned char*>(KQ_Alloc(count)));
    std::memcpy(saved.get(), bytes, count);
    bytes = saved.get();
  }
  Clear();
  fBytes.Write(bytes, count);
  fBytes.Seek(0);
  return *this;
}

KQ_TPackage& KQ_TPackage::SetBuffer(unsigned char* bytes, std::uint32_t count) {
  fBytes.SetBuffer(bytes, count, count);
  Reset();
  return *this;
}

std::uint32_t KQ_TPackage::HeldBack() const {
  std::uint32_t const outer = fPacker.Available();
  std::uint32_t const inner = fBytes.Available();
  return outer > inner ? outer - inner : 0;
}

void KQ_TPackage::Settle() {
  if (std::uint32_t const held = HeldBack()) fPacker.Seek(fBytes.Position() - held);
}

void KQ_TPackage::Reset() { fPacker = static_cast<KQ_IStream&>(fBytes); }

void KQ_TPackage::PackObject(KQ_IPackable const& object) {
  if (&object == static_cast<KQ_IPackable const*>(this)) {
    KQ_TPackage const copy(*this);
    fPacker << static_cast<KQ_IPackable const&>(copy);
  } else {
    fPacker << object;
  }
}

// Conversions

template <class T>
T KQ_TPackage::Next() {
  T value;
  fPacker >> value;
  return value;
}

KQ_TPackage::operator std::int8_t() { return Next<std::int8_t>(); }
KQ_TPackage::operator std::int16_t() { return Next<std::int16_t>(); }
KQ_TPackage::operator std::int32_t() { return Next<std::int32_t>(); }
KQ_TPackage::operator std::int64_t() { return Next<std::int64_t>(); }
KQ_TPackage::operator std::uint8_t() { return Next<std::uint8_t>(); }
KQ_TPackage::operator std::uint16_t() { return Next<std::uint16_t>(); }
KQ_TPackage::operator std::uint32_t() { return Next<std::uint32_t>(); }
KQ_TPackage::operator std::uint64_t() { return Next<std::uint64_t>(); }
KQ_TPackage::operator bool() { return Next<bool>(); }
KQ_TPackage::operator char() { return Next<char>(); }
KQ_TPackage::operator float() { return Next<float>(); }
KQ_TPackage::operator double() { return Next<double>(); }
KQ_TPackage::operator KQ_IPackable*() { return Extract(true); }

// KQ_IPacking

KQ_IPacking& KQ_TPackage::operator<<(KQ_IPackable const& object) {
  Settle();
  PackObject(object);
  return *this;
}

KQ_IPacking& KQ_TPackage::operator<<(double value) {
  Settle();
  fPacker << value;
  return *this;
}

KQ_IPacking& KQ_TPackage::operator<<(float value) {
  Settle();
  fPacker << value;
  return *this;
}

KQ_IPacking& KQ_TPackage::operator<<(char value) {
  Settle();
  fPacker << value;
  return *this;
}

KQ_IPacking& KQ_TPackage::operator<<(bool value) {
  Settle();
  fPacker << value;
  return *this;
}

KQ_IPacking& KQ_TPackage::operator<<(std::uint64_t value) {
  Settle();
  fPacker << value;
  return *this;
}

KQ_IPacking& KQ_TPackage::operator<<(std::uint32_t value) {
  Settle();
  fPacker << value;
  return *this;
}

KQ_IPacking& KQ_TPackage::operator<<(std::uint16_t value) {
  Settle();
  fPacker << value;
  return *this;
}

KQ_IPacking& KQ_TPackage::operator<<(std::uint8_t value) {
  Settle();
  fPacker << value;
  return *this;
}

KQ_IPacking& KQ_TPackage::operator<<(std::int64_t value) {
  Settle();
  fPacker << value;
  return *this;
}

KQ_IPacking& KQ_TPackage::operator<<(std::int32_t value) {
  Settle();
  fPacker << value;
  return *this;
}

KQ_IPacking& KQ_TPackage::operator<<(std::int16_t value) {
  Settle();
  fPacker << value;
  return *this;
}

KQ_IPacking& KQ_TPackage::operator<<(std::int8_t value) {
  Settle();
  fPacker << value;
  return *this;
}

KQ_IPacking& KQ_TPackage::WritePacket(void const* data, std::uint32_t size) {
  Settle();
  fPacker.WritePacket(data, size);
  return *this;
}

KQ_IPacking& KQ_TPackage::WriteRawPacket(void const* data, std::uint32_t size) {
  Settle();
  fPacker.WriteRawPacket(data, size);
  return *this;
}

KQ_IPacking& KQ_TPackage::InsertClassHeader(char const* className) {
  Settle();
  fPacker.InsertClassHeader(className);
  return *this;
}

KQ_IPacking& KQ_TPackage::InsertClassTrailer(char const* className) {
  Settle();
  fPacker.InsertClassTrailer(className);
  return *this;
}

// KQ_IUnpacking

KQ_IUnpacking& KQ_TPackage::operator>>(KQ_IPackable& object) {
  fPacker >> object;
  return *this;
}

KQ_IUnpacking& KQ_TPackage::operator>>(double& value) {
  fPacker >> value;
  return *this;
}

KQ_IUnpacking& KQ_TPackage::operator>>(float& value) {
  fPacker >> value;
  return *this;
}

KQ_IUnpacking& KQ_TPackage::operator>>(char& value) {
  fPacker >> value;
  return *this;
}

KQ_IUnpacking& KQ_TPackage::operator>>(bool& value) {
  fPacker >> value;
  return *this;
}

KQ_IUnpacking& KQ_TPackage::operator>>(std::uint64_t& value) {
  fPacker >> value;
  return *this;
}

KQ_IUnpacking& KQ_TPackage::operator>>(std::uint32_t& value) {
  fPacker >> value;
  return *this;
}

KQ_IUnpacking& KQ_TPackage::operator>>(std::uint16_t& value) {
  fPacker >> value;
  return *this;
}

KQ_IUnpacking& KQ_TPackage::operator>>(std::uint8_t& value) {
  fPacker >> value;
  return *this;
}

KQ_IUnpacking& KQ_TPackage::operator>>(std::int64_t& value) {
  fPacker >> value;
  return *this;
}

KQ_IUnpacking& KQ_TPackage::operator>>(std::int32_t& value) {
  fPacker >> value;
  return *this;
}

KQ_IUnpacking& KQ_TPackage::operator>>(std::int16_t& value) {
  fPacker >> value;
  return *this;
}

KQ_IUnpacking& KQ_TPackage::operator>>(std::int8_t& value) {
  fPacker >> value;
  return *this;
}

std::uint32_t KQ_TPackage::ReadPacket(void* buffer, std::uint32_t minimum, std::uint32_t maximum) {
  return fPacker.ReadPacket(buffer, minimum, maximum);
}

std::uint32_t KQ_TPackage::ReadPacketGrowing(std::uint32_t expectedSize, PacketSink sink,
                                             void* context) {
  return fPacker.ReadPacketGrowing(expectedSize, sink, context);
}

KQ_IUnpacking& KQ_TPackage::ReadRawPacket(void* buffer, std::uint32_t size) {
  fPacker.ReadRawPacket(buffer, size);
  return *this;
}

KQ_IUnpacking& KQ_TPackage::ExtractClassHeader(char const* className) {
  fPacker.ExtractClassHeader(className);
  return *this;
}

KQ_IUnpacking& KQ_TPackage::ExtractClassTrailer(char const* className) {
  fPacker.ExtractClassTrailer(className);
  return *this;
}

void KQ_TPackage::SkipData() { fPacker.SkipData(); }

unsigned char KQ_TPackage::Peek() { return fPacker.Peek(); }

KQ_IPackable* KQ_TPackage::Extract(bool keepUnknown) { return fPacker.Extract(keepUnknown); }

// KQ_IPackable

void KQ_TPackage::KQ_Pack(KQ_IPacking& packer) const {
  static unsigned char const kNoBytes = 0;
  std::uint32_t const size = Size();
  packer << size;
  packer.WritePacket(size != 0 ? Data() : &kNoBytes, size);
}

void KQ_TPackage::KQ_Unpack(KQ_IUnpacking& unpacker) {
  std::uint32_t size;
  unpacker >> size;
  // The packet arrives in pieces, so that a forged length costs no more
  // memory than the bytes that really arrive.
  fBytes.Clear();
  Reset();
  try {
    unpacker.ReadPacketGrowing(size, &AppendPiece, &fBytes);
  } catch (...) {
    fBytes.Clear();
    Reset();
    throw;
  }
  fBytes.Seek(0);
}

KQ_IPackable* KQ_TPackage::KQ_Clone(void*) const { return new KQ_TPackage(*this); }

bool KQ_TPackage::KQ_IsIdent(KQ_IPackable const& other) const {
  auto const* package = static_cast<KQ_TPackage const*>(other.KQ_Cast("KQ_TPackage"));
  if (package == nullptr || package->Size() != Size()) return false;
  return Size() == 0 || std::memcmp(package->Data(), Data(), Size()) == 0;
}
