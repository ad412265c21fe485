#include "kq_tblockstream.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "internal/kq_stream_marks.h"
#include "kq_eexception.h"

KQ_CLASS_IMPL(KQ_TBlockStream)

namespace {

// The largest reservation a data block can make: 1024 bytes short of 4 GiB.
constexpr std::uint64_t kLargestReserve = 0xFFFFFC00u;

}  // namespace

KQ_TBlockStream::KQ_TBlockStream()
    : fOwnsBlock(true), fBlock(nullptr), fPlain(nullptr), fPosition(0), fMarks(nullptr) {}

KQ_TBlockStream::KQ_TBlockStream(KQ_TDataBlock& block) : KQ_TBlockStream() {
  TakeBlock(&block, false);
}

KQ_TBlockStream::KQ_TBlockStream(KQ_TDataBlock const& block) : KQ_TBlockStream() { *this = block; }

KQ_TBlockStream::KQ_TBlockStream(KQ_TBlockStream const& other) : KQ_TBlockStream() {
  TakeFrom(other, true);
}

KQ_TBlockStream::~KQ_TBlockStream() { Release(); }

KQ_TBlockStream& KQ_TBlockStream::operator=(KQ_TBlockStream& other) {
  if (this != &other) TakeFrom(other, other.fOwnsBlock);
  return *this;
}

KQ_TBlockStream& KQ_TBlockStream::operator=(KQ_TBlockStream const& other) {
  if (this != &other) TakeFrom(other, true);
  return *this;
}

KQ_TBlockStream& KQ_TBlockStream::operator=(KQ_TDataBlock& block) {
  // The stream's own block handed back to it stays its own.
  TakeBlock(&block, &block == fBlock && fOwnsBlock);
  return *this;
}

KQ_TBlockStream& KQ_TBlockStream::operator=(KQ_TDataBlock const& block) {
  auto copy = std::make_unique<KQ_TDataBlock>(block);
  TakeBlock(copy.release(), true);
  return *this;
}

void KQ_TBlockStream::SetBlock(KQ_TDataBlock* block) const {
  fBlock = block;
  fPlain = block != nullptr && &block->ClassObject() == KQ_TDataBlock::KQ_ClassObject() ? block
                                                                                        : nullptr;
}

void KQ_TBlockStream::TakeBlock(KQ_TDataBlock* block, bool owned) {
  if (block == fBlock) SetBlock(nullptr);
  Release();
  fOwnsBlock = owned;
  SetBlock(block);
  fPosition = 0;
}

void KQ_TBlockStream::TakeFrom(KQ_TBlockStream const& other, bool copy) {
  std::unique_ptr<KQ_TDataBlock> block;
  if (copy && other.fBlock != nullptr) block = std::make_unique<KQ_TDataBlock>(*other.fBlock);
  std::uint32_t* const marks = kq::CopyStreamMarks(other.fMarks);
  Release();
  fOwnsBlock = copy;
  SetBlock(copy ? block.release() : other.fBlock);
  fPosition = other.fPosition;
  fMarks = marks;
}

void KQ_TBlockStream::Release() {
  if (fOwnsBlock) delete fBlock;
  SetBlock(nullptr);
  kq::FreeStreamMarks(fMarks);
}

KQ_TDataBlock& KQ_TBlockStream::DataBlock() {
  return const_cast<KQ_TDataBlock&>(static_cast<KQ_TBlockStream const*>(this)->DataBlock());
}

KQ_TDataBlock const& KQ_TBlockStream::DataBlock() const {
  if (fBlock == nullptr) {
    SetBlock(new KQ_TDataBlock());
    fOwnsBlock = true;
  }
  return *fBlock;
}

std::uint32_t KQ_TBlockStream::Size() const { return fBlock != nullptr ? fBlock->Size() : 0; }

KQ_TBlockStream& KQ_TBlockStream::Clear() {
  if (fBlock != nullptr) fBlock->Trunc(0);
  kq::FreeStreamMarks(fMarks);
  fPosition = 0;
  return *this;
}

KQ_TBlockStream& KQ_TBlockStream::SetSize(std::uint32_t size) {
  std::uint32_t const current = Size();
  if (size < current) {
    fBlock->Trunc(size);
  } else if (size > current) {
    DataBlock().SetAt(current, nullptr, size - current);
  }
  kq::FreeStreamMarks(fMarks);
  if (fPosition > size) fPosition = size;
  return *this;
}

bool KQ_TBlockStream::Close() { return true; }

bool KQ_TBlockStream::Flush() { return true; }

bool KQ_TBlockStream::Readable() const { return true; }

bool KQ_TBlockStream::Writable() const { return true; }

bool KQ_TBlockStream::Markable() const { return true; }

bool KQ_TBlockStream::Seekable() const { return true; }

std::uint32_t KQ_TBlockStream::Available() const {
  std::uint32_t const size = Size();
  return fPosition < size ? size - fPosition : 0;
}

void KQ_TBlockStream::RequireAvailable(std::uint32_t count) const {
  if (fBlock == nullptr || count > Available()) KQ_THROW(KQ_EStreamEndReached());
}

std::uint32_t KQ_TBlockStream::Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) {
  RequireAvailable(minimum);
  std::uint32_t const available = Available();
  std::uint32_t const count = maximum < available ? maximum : available;
  if (count != 0) std::memcpy(buffer, fBlock->Data() + fPosition, count);
  fPosition += count;
  return count;
}

KQ_IStream& KQ_TBlockStream::Read(void* buffer, std::uint32_t count) {
  RequireAvailable(count);
  if (count != 0) std::memcpy(buffer, fBlock->Data() + fPosition, count);
  fPosition += count;
  return *this;
}

unsigned char KQ_TBlockStream::Read() {
  RequireAvailable(1);
  return fBlock->Data()[fPosition++];
}

bool KQ_TBlockStream::Skip(std::uint32_t count) {
  if (fBlock == nullptr || count > Available()) return false;
  fPosition += count;
  return true;
}

void KQ_TBlockStream::ReserveAhead(KQ_TDataBlock& block, std::uint64_t end) {
  if (end <= block.Capacity()) return;
  std::uint64_t const doubled = std::min<std::uint64_t>(2ull * block.Capacity(), kLargestReserve);
  std::uint64_t const wanted = std::max(end, doubled);
  // The block reserves for a size it is given and keeps the reservation when
  // cut back.
  std::uint32_t const size = block.Size();
  block.SetAt(size, nullptr, static_cast<std::uint32_t>(wanted - size));
  block.Trunc(size);
}

KQ_IStream& KQ_TBlockStream::Write(void const* buffer, std::uint32_t count) {
  if (count == 0) return *this;
  KQ_TDataBlock& block = DataBlock();
  std::uint64_t const end = std::uint64_t{fPosition} + count;
  if (end <= block.Size()) {
    std::memmove(block.Data() + fPosition, buffer, count);
  } else {
    // Growing moves the bytes: a source inside the block is left to SetAt,
    // which moves it along.
    auto const* const source = static_cast<unsigned char const*>(buffer);
    unsigned char const* const data = block.Data();
    if (data == nullptr || source < data || source >= data + block.Capacity()) {
      ReserveAhead(block, end);
    }
    block.SetAt(fPosition, buffer, count);
  }
  fPosition += count;
  return *this;
}

KQ_IStream& KQ_TBlockStream::Write(unsigned char byte) {
  KQ_TDataBlock& block = DataBlock();
  if (fPosition < block.Size()) {
    block.Data()[fPosition] = byte;
  } else {
    ReserveAhead(block, std::uint64_t{fPosition} + 1);
    block[fPosition] = byte;
  }
  ++fPosition;
  return *this;
}

KQ_IStream& KQ_TBlockStream::Mark(unsigned char id, std::uint32_t) {
  kq::SetStreamMark(fMarks, id, fPosition);
  return *this;
}

KQ_IStream& KQ_TBlockStream::ClearMark(unsigned char id) {
  kq::StreamMark(fMarks, id) = 0;
  return *this;
}

KQ_IStream& KQ_TBlockStream::Rewind(unsigned char id) {
  fPosition = kq::StreamMark(fMarks, id);
  return *this;
}

std::uint32_t KQ_TBlockStream::Position() const { return fPosition; }

std::uint32_t KQ_TBlockStream::Seek(std::uint32_t position) {
  std::uint32_t const previous = fPosition;
  fPosition = position;
  return previous;
}
