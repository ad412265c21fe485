// KQ_TMemoryStream: a seekable, markable byte stream over one contiguous
// buffer, the usual target of packing and printing when the bytes are wanted
// in memory and the usual source when they are parsed back.
//
// The buffer is either owned by the stream (allocated with KQ_Alloc and grown
// on demand) or lent by the caller. A lent buffer cannot grow by itself: when
// a write needs more room, the stream either replaces it with an owned copy
// (SetCopyIfNeeded(true)), or asks the caller's expander for a larger one, or
// raises KQ_EStreamEndReached. The lent buffer itself is never freed.
//
// Growth doubles the need and rounds it up to whole KiB: a need of n bytes
// gives a capacity of (2 n + 1023) & ~1023. Positions are 32 bits wide; a need
// beyond 4 GiB - 1 raises instead of wrapping.
//
// A write sets the size to the end of the write: after a backward Seek the
// bytes behind the written ones are no longer part of the stream. Seek accepts
// any position; while the position lies beyond the size nothing can be read
// (Available() is 0) and a write extends the size to the end of the write,
// leaving the bytes in between undefined.
#pragma once

#include <cstdint>
#include <cstring>

#include "kq_istream.h"
#include "kq_tobject.h"

class KQ_EXPORT KQ_TMemoryStream : public KQ_TObject, public virtual KQ_IStream {
  KQ_CLASS(KQ_TMemoryStream, KQ_TObject, KQ_IStream)
  // Supplies a larger buffer for a lent one. It receives the stream (whose
  // Data() and Size() still describe the old buffer) and the stream's
  // capacity, already raised to the wanted size; it may raise the capacity
  // further. It returns the buffer to use from now on, holding the old
  // contents, or null when it cannot grow (KQ_EOutOfMemory).
  using Expander_t = void* (*)(KQ_TMemoryStream& stream, std::uint32_t& capacity);

  // Empty, owning (nothing allocated yet).
  KQ_TMemoryStream();
  // Over a lent buffer holding size valid bytes in capacity bytes. A null
  // buffer counts as capacity 0; a size beyond the capacity is cut to it.
  KQ_TMemoryStream(void* buffer, std::uint32_t capacity, std::uint32_t size,
                   Expander_t expander = nullptr);
  // An owned copy of the source's bytes, with its position, size, capacity
  // and marks; no expander.
  KQ_TMemoryStream(KQ_TMemoryStream const& other);
  // As the const form when the source owns its buffer; otherwise shares the
  // source's lent buffer, its expander and its copy-if-needed flag.
  KQ_TMemoryStream(KQ_TMemoryStream& other);
  ~KQ_TMemoryStream() override;

  // Assignment: as the matching copy constructor; self-assignment does
  // nothing. When allocating the copy fails the stream is left as it was.
  KQ_TMemoryStream& operator=(KQ_TMemoryStream const& other);
  KQ_TMemoryStream& operator=(KQ_TMemoryStream& other);

  // Frees the owned buffer and the marks, then lends buffer to the stream as
  // the lending constructor does (position 0, copy-if-needed false).
  virtual KQ_TMemoryStream& SetBuffer(void* buffer, std::uint32_t capacity, std::uint32_t size,
                                      Expander_t expander = nullptr);
  // The buffer; null while nothing was written to a fresh stream.
  virtual unsigned char const* Data() const;
  virtual unsigned char* Data();
  // Byte i. The const form raises KQ_EStreamEndReached for i at or beyond
  // the size; the other extends the stream to i + 1 bytes first (as a write
  // would; the bytes exposed are undefined).
  virtual unsigned char const& operator[](std::uint32_t i) const;
  virtual unsigned char& operator[](std::uint32_t i);
  virtual std::uint32_t Size() const;
  // Bytes the buffer can hold before it must grow.
  std::uint32_t Capacity() const { return fCapacity; }
  // Frees the owned buffer and the marks and forgets a lent buffer: the
  // stream is empty and owning again, without expander.
  virtual KQ_TMemoryStream& Clear();
  // Sets the size, growing first when size exceeds the capacity; a position
  // beyond the new size moves back to it.
  virtual KQ_TMemoryStream& SetSize(std::uint32_t size);
  // Whether a lent buffer is replaced by an owned copy when it must grow.
  virtual bool CopyIfNeeded() const;
  virtual KQ_TMemoryStream& SetCopyIfNeeded(bool copy);

  bool Close() override;
  bool Flush() override;
  bool Readable() const override;
  bool Writable() const override;
  bool Markable() const override;
  bool Seekable() const override;
  // Size minus position; 0 while the position lies beyond the size.
  std::uint32_t Available() const override;
  // Raises KQ_EStreamEndReached when fewer than minimum bytes are left;
  // otherwise reads as many as are left, up to maximum.
  std::uint32_t Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) override;
  // Raises KQ_EStreamEndReached when fewer than count bytes are left.
  KQ_IStream& Read(void* buffer, std::uint32_t count) override;
  unsigned char Read() override {
    if (fPosition < fSize) return fData[fPosition++];
    RaiseEndReached();
  }
  bool Skip(std::uint32_t count) override;
  // The next count bytes in place, without reading them; null when fewer
  // are left. Advance then steps over bytes seen this way.
  unsigned char const* Lookahead(std::uint32_t count) const {
    return fPosition <= fSize && fSize - fPosition >= count ? fData + fPosition : nullptr;
  }
  void Advance(std::uint32_t count) { fPosition += count; }
  // Write(buffer, count) for callers that know the stream's class: a write
  // that fits the buffer is done inline.
  void Append(void const* buffer, std::uint32_t count) {
    if (count != 0 && std::uint64_t{fPosition} + count <= fCapacity) {
      std::memmove(fData + fPosition, buffer, count);
      fPosition += count;
      fSize = fPosition;
    } else {
      Write(buffer, count);
    }
  }
  // For writers that know the stream's class and build their bytes in
  // place: the next count bytes of the buffer, which the caller fills and
  // then takes with Wrote(count), exactly as a Write of them; null when
  // they don't fit the buffer as it is (the caller then calls Write).
  unsigned char* WriteRoom(std::uint32_t count) {
    return std::uint64_t{fPosition} + count <= fCapacity ? fData + fPosition : nullptr;
  }
  void Wrote(std::uint32_t count) {
    fPosition += count;
    fSize = fPosition;
  }
  KQ_IStream& Write(void const* buffer, std::uint32_t count) override;
  KQ_IStream& Write(unsigned char byte) override {
    if (fPosition < fCapacity) {
      fData[fPosition++] = byte;
      fSize = fPosition;
      return *this;
    }
    return WriteGrowing(byte);
  }
  // Marks and positions: Mark allocates the table of 256 marks on first use
  // (all at 0) and ignores its limit; ClearMark and Rewind raise
  // KQ_EIllegalStreamMark while there is no table.
  KQ_IStream& Mark(unsigned char id, std::uint32_t limit) override;
  KQ_IStream& ClearMark(unsigned char id) override;
  KQ_IStream& Rewind(unsigned char id) override;
  std::uint32_t Position() const override;
  // Any position is accepted; returns the previous one.
  std::uint32_t Seek(std::uint32_t position) override;

 private:
  // Makes room for count bytes at the position, then sets the size to the
  // end of that write. On failure nothing changes.
  void ExpandIfNeeded(std::uint32_t count);
  // Makes the capacity at least needed (growth rule and buffer kinds as
  // described above); raises and changes nothing when it cannot.
  void Reserve(std::uint64_t needed);
  KQ_NOINLINE KQ_IStream& WriteGrowing(unsigned char byte);
  [[noreturn]] KQ_NOINLINE void RaiseEndReached() const;
  // Takes over other's state with an owned copy of its bytes and marks.
  void CopyFrom(KQ_TMemoryStream const& other);
  void Release();

  bool fOwnsBuffer;
  bool fCopyIfNeeded;
  std::uint32_t fPosition;
  std::uint32_t fSize;
  std::uint32_t fCapacity;
  unsigned char* fData;
  std::uint32_t* fMarks;
  Expander_t fExpander;
};
