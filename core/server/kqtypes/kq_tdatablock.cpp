#include "kq_tdatablock.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kq_eexception.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_memalloc.h"
#include "kq_thumanreadablestream.h"

KQ_CLASS_IMPL(KQ_TDataBlock)

KQ_TDataBlock::KQ_TDataBlock() : fSize(0), fAllocated(0), fData(nullptr) {}

KQ_TDataBlock::KQ_TDataBlock(std::uint32_t size) : KQ_TDataBlock() { SetData(nullptr, size); }

KQ_TDataBlock::KQ_TDataBlock(void const* data, std::uint32_t size) : KQ_TDataBlock() {
  SetData(data, size);
}

KQ_TDataBlock::KQ_TDataBlock(KQ_TDataBlock const& other) : KQ_TDataBlock() {
  SetData(other.fData, other.fSize);
}

KQ_TDataBlock::~KQ_TDataBlock() { KQ_Free(fData); }

KQ_TDataBlock& KQ_TDataBlock::operator=(KQ_TDataBlock const& other) {
  if (this != &other) SetData(other.fData, other.fSize);
  return *this;
}

KQ_IPackable& KQ_TDataBlock::operator=(KQ_IUnpacking& unpacker) {
  return KQ_IPackable::operator=(unpacker);
}

bool KQ_TDataBlock::operator==(KQ_TDataBlock const& other) const {
  return fSize == other.fSize && (fSize == 0 || std::memcmp(fData, other.fData, fSize) == 0);
}

bool KQ_TDataBlock::operator!=(KQ_TDataBlock const& other) const { return !(*this == other); }

unsigned char const* KQ_TDataBlock::Data() const { return fData; }

unsigned char* KQ_TDataBlock::Data() { return fData; }

unsigned char* KQ_TDataBlock::StealData() {
  unsigned char* const data = fData;
  fData = nullptr;
  fSize = 0;
  fAllocated = 0;
  return data;
}

unsigned char& KQ_TDataBlock::operator[](std::uint32_t i) {
  if (i >= fSize) {
    Reserve(std::uint64_t{i} + 1);
    fSize = i + 1;
  }
  return fData[i];
}

KQ_TDataBlock& KQ_TDataBlock::SetAt(std::uint32_t position, void const* data, std::uint32_t size) {
  auto const* source = static_cast<unsigned char const*>(data);
  std::uint64_t const end = std::uint64_t{position} + size;
  if (end > fAllocated) {
    // Growth may move the buffer; a source inside it moves along.
    auto const from = reinterpret_cast<std::uintptr_t>(source);
    auto const begin = reinterpret_cast<std::uintptr_t>(fData);
    bool const inside = fData != nullptr && from >= begin && from < begin + fAllocated;
    Reserve(end);
    if (inside) source = fData + (from - begin);
  }
  if (source != nullptr && size != 0) std::memmove(fData + position, source, size);
  if (end > fSize) fSize = static_cast<std::uint32_t>(end);
  return *this;
}

KQ_TDataBlock& KQ_TDataBlock::Append(void const* data, std::uint32_t size) {
  return SetAt(fSize, data, size);
}

KQ_TDataBlock& KQ_TDataBlock::Append(unsigned char byte) {
  if (fSize >= fAllocated) Reserve(std::uint64_t{fSize} + 1);
  fData[fSize++] = byte;
  return *this;
}

std::uint32_t KQ_TDataBlock::Size() const { return fSize; }

KQ_TDataBlock& KQ_TDataBlock::Trunc(std::uint32_t size) {
  if (size < fSize) fSize = size;
  return *this;
}

KQ_TDataBlock& KQ_TDataBlock::SetData(void const* data, std::uint32_t size) {
  // A source inside this block lies within the size, hence within the
  // reservation: it does not move, but it may overlap.
  Reserve(size);
  if (data != nullptr && size != 0) std::memmove(fData, data, size);
  fSize = size;
  return *this;
}

void KQ_TDataBlock::KQ_Pack(KQ_IPacking& packer) const {
  packer << fSize;
  if (fSize != 0) packer.WritePacket(fData, fSize);
}

void KQ_TDataBlock::KQ_Unpack(KQ_IUnpacking& unpacker) {
  fSize = 0;
  std::uint32_t size = 0;
  unpacker >> size;
  if (size == 0) return;
  // The packet arrives in pieces and the reservation doubles with the bytes
  // that arrived, so a forged size costs no more than those bytes and a
  // long packet is not copied once per piece.
  struct Receiver {
    KQ_TDataBlock& block;
    static void Append(void* context, unsigned char const* bytes, std::uint32_t count) {
      KQ_TDataBlock& b = static_cast<Receiver*>(context)->block;
      std::uint64_t const end = std::uint64_t{b.fSize} + count;
      if (end > b.fAllocated) {
        // Doubling aims at most for the largest reservation, 1024 bytes short of 4 GiB.
        std::uint64_t const doubled = std::min<std::uint64_t>(b.fAllocated * 2ull, 0xFFFFFC00u);
        b.Reserve(std::max(end, doubled));
      }
      std::memcpy(b.fData + b.fSize, bytes, count);
      b.fSize = static_cast<std::uint32_t>(end);
    }
  } receiver{*this};
  try {
    unpacker.ReadPacketGrowing(size, &Receiver::Append, &receiver);
  } catch (...) {
    fSize = 0;
    throw;
  }
}

KQ_IPackable* KQ_TDataBlock::KQ_Clone(void*) const { return new KQ_TDataBlock(*this); }

bool KQ_TDataBlock::KQ_IsIdent(KQ_IPackable const& other) const {
  auto const* const block = static_cast<KQ_TDataBlock const*>(other.KQ_Cast("KQ_TDataBlock"));
  return block != nullptr && *this == *block;
}

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
// Bytes of one line of the text form: eight groups of two.
constexpr std::uint32_t kBytesPerLine = 16;

// The value of a hexadecimal digit, or -1.
int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool KQ_TDataBlock::WriteTo(KQ_THumanReadableStream& stream) const {
  // A full line: eight groups of four digits and a blank.
  char line[kBytesPerLine / 2 * 5 + 1];
  for (std::uint32_t start = 0; start < fSize; start += kBytesPerLine) {
    if (start != 0) stream << cr;
    std::uint32_t const end = std::min(fSize, start + kBytesPerLine);
    char* out = line;
    for (std::uint32_t i = start; i < end; ++i) {
      *out++ = kHexDigits[fData[i] >> 4];
      *out++ = kHexDigits[fData[i] & 0x0F];
      if ((i - start) % 2 == 1) *out++ = ' ';
    }
    *out = '\0';
    stream.WriteTokens(line);
  }
  return true;
}

bool KQ_TDataBlock::ReadFrom(KQ_THumanReadableStream& stream) {
  fSize = 0;
  for (;;) {
    stream.SkipWhiteSpace();
    unsigned char const first = stream.Read();
    if (first == '}') return true;
    int const high = HexValue(first);
    if (high < 0) stream.SyntaxError("hexadecimal digits or '}'", stream.Quoted(first));
    unsigned char const second = stream.Read();
    int const low = HexValue(second);
    if (low < 0) stream.SyntaxError("a second hexadecimal digit", stream.Quoted(second));
    Append(static_cast<unsigned char>(high << 4 | low));
  }
}

bool KQ_TDataBlock::KQ_HRMultiLine() const { return true; }

std::uint32_t KQ_TDataBlock::Allocated(std::uint64_t size) {
  std::uint64_t const rounded = (size + 1023) & ~std::uint64_t{1023};
  if (rounded > UINT32_MAX) KQ_THROW(KQ_EOutOfMemory());
  return static_cast<std::uint32_t>(rounded);
}

void KQ_TDataBlock::Reserve(std::uint64_t size) {
  if (size <= fAllocated) return;
  std::uint32_t const allocated = Allocated(size);
  fData = static_cast<unsigned char*>(KQ_Realloc(fData, allocated));
  fAllocated = allocated;
}
