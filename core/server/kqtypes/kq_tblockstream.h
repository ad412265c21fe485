// KQ_TBlockStream: a seekable, markable byte stream over a KQ_TDataBlock, so
// that a block can be filled through any stream-based writer (a data stream,
// a text stream) and then used as a value, or read back the same way.
//
// The stream either works on the caller's block in place (the caller keeps
// owning it and it must outlive the stream), or on a block of its own: a copy
// of one handed in, or one it creates when it is first written or asked for.
// The block's size is the stream's size. Writes beyond its end make the
// block reserve ahead, doubling its reservation (always whole KiB), so that
// filling a block through many small writes costs linear time.
//
// Unlike a memory stream, a write inside the block overwrites in place and
// never shortens it: the bytes after the write stay. Seek accepts any
// position; while the position lies beyond the size nothing can be read
// (Available() is 0), and a write there extends the block to the end of the
// write, leaving the bytes in between undefined. A write of 0 bytes changes
// nothing. A failed read leaves position and block unchanged.
//
// One thread at a time; a block shared by two streams must not be used by
// both at once.
#pragma once

#include <cstdint>

#include "kq_istream.h"
#include "kq_tdatablock.h"
#include "kq_tobject.h"

class KQ_EXPORT KQ_TBlockStream : public KQ_TObject, public virtual KQ_IStream {
  KQ_CLASS(KQ_TBlockStream, KQ_TObject, KQ_IStream)
  // No block yet: one is created, owned, when first written or asked for.
  KQ_TBlockStream();
  // Works on the caller's block in place, from position 0; the block is not
  // owned and must outlive the stream.
  explicit KQ_TBlockStream(KQ_TDataBlock& block);
  // Works on its own copy of the block, from position 0.
  explicit KQ_TBlockStream(KQ_TDataBlock const& block);
  // An owned copy of the other's block, with its position and marks.
  KQ_TBlockStream(KQ_TBlockStream const& other);
  // Destroys the block when owned.
  ~KQ_TBlockStream() override;

  // Take the other's position and marks, and a copy of its block when it
  // owns one; otherwise the other's block itself, shared and not owned.
  // Self-assignment does nothing.
  KQ_TBlockStream& operator=(KQ_TBlockStream& other);
  // The same, but always with an owned copy of the block.
  KQ_TBlockStream& operator=(KQ_TBlockStream const& other);
  // Give up the block and the marks, then work on the caller's block in
  // place, or on an owned copy of it, from position 0.
  KQ_TBlockStream& operator=(KQ_TDataBlock& block);
  KQ_TBlockStream& operator=(KQ_TDataBlock const& block);

  // The block, after creating an empty owned one when there is none.
  KQ_TDataBlock& DataBlock();
  KQ_TDataBlock const& DataBlock() const;
  // The block's size; 0 without block.
  std::uint32_t Size() const;
  // Empties the block (its reservation stays), forgets the marks and goes
  // back to position 0.
  KQ_TBlockStream& Clear();
  // Cuts the block to size bytes or extends it to size (the new bytes are
  // undefined), forgets the marks, and moves a position beyond size back to
  // it.
  KQ_TBlockStream& SetSize(std::uint32_t size);

  bool Close() override;
  bool Flush() override;
  bool Readable() const override;
  bool Writable() const override;
  bool Markable() const override;
  bool Seekable() const override;
  // Size minus position; 0 without block or while the position lies beyond
  // the size.
  std::uint32_t Available() const override;
  // The reads raise KQ_EStreamEndReached without block or when fewer bytes
  // are left than asked for (the range form: than minimum; it then reads as
  // many as are left, up to maximum).
  std::uint32_t Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) override;
  KQ_IStream& Read(void* buffer, std::uint32_t count) override;
  unsigned char Read() override;
  // False without block or when fewer than count bytes are left.
  bool Skip(std::uint32_t count) override;
  KQ_IStream& Write(void const* buffer, std::uint32_t count) override;
  KQ_IStream& Write(unsigned char byte) override;

  // For readers and writers that know the stream's class (the data stream)
  // and work on the bytes in place. While the block is exactly a
  // KQ_TDataBlock, Lookahead gives the next count bytes within its size,
  // which Advance(count) then steps over, and WriteRoom gives room for count
  // bytes within its reservation, which the caller fills and takes with
  // Wrote(count), exactly as a Write of them (bytes skipped by a position
  // beyond the size stay undefined, as with Write). Both give null otherwise
  // (fewer bytes, no room, another block class, no block): the caller then
  // takes Read or Write.
  unsigned char const* Lookahead(std::uint32_t count) const {
    return fPlain != nullptr && fPosition <= fPlain->fSize && fPlain->fSize - fPosition >= count
               ? fPlain->fData + fPosition
               : nullptr;
  }
  void Advance(std::uint32_t count) { fPosition += count; }
  unsigned char* WriteRoom(std::uint32_t count) {
    return fPlain != nullptr && std::uint64_t{fPosition} + count <= fPlain->fAllocated
               ? fPlain->fData + fPosition
               : nullptr;
  }
  void Wrote(std::uint32_t count) {
    fPosition += count;
    if (fPosition > fPlain->fSize) fPlain->fSize = fPosition;
  }
  // Mark allocates the table of 256 marks on first use (all at 0) and
  // ignores its limit; ClearMark and Rewind raise KQ_EIllegalStreamMark while
  // there is no table.
  KQ_IStream& Mark(unsigned char id, std::uint32_t limit) override;
  KQ_IStream& ClearMark(unsigned char id) override;
  KQ_IStream& Rewind(unsigned char id) override;
  std::uint32_t Position() const override;
  // Any position is accepted; returns the previous one.
  std::uint32_t Seek(std::uint32_t position) override;

 private:
  // Makes block reserve room for end bytes, at least twice what it had, so
  // that many small writes at the end cost linear time.
  static void ReserveAhead(KQ_TDataBlock& block, std::uint64_t end);
  // Raises KQ_EStreamEndReached unless count bytes are left.
  void RequireAvailable(std::uint32_t count) const;
  // Takes block (owned or not) from position 0, after giving up the current
  // block and marks.
  void TakeBlock(KQ_TDataBlock* block, bool owned);
  // Takes other's state; its block is copied when copy is true, else shared.
  void TakeFrom(KQ_TBlockStream const& other, bool copy);
  void Release();
  // Sets fBlock and, from its class, fPlain.
  void SetBlock(KQ_TDataBlock* block) const;

  mutable bool fOwnsBlock;
  mutable KQ_TDataBlock* fBlock;
  // fBlock when it is exactly a KQ_TDataBlock, whose fields the direct
  // members use; null otherwise.
  mutable KQ_TDataBlock* fPlain;
  std::uint32_t fPosition;
  std::uint32_t* fMarks;
};
