// KQ_TDataBlock: a growable buffer of raw bytes that is itself packable, used
// wherever packed data or binary payloads are held (the bytes of an unknown
// object, the device of a block stream).
//
// The block reserves memory in whole KiB: a need of n bytes reserves n
// rounded up to the next multiple of 1024 (nothing for 0). The reservation
// grows on demand and never shrinks, except through StealData. Bytes exposed
// by growing the size (the sized constructor, operator[] or SetAt beyond the
// end) are undefined until written. A need beyond 4 GiB - 1 raises
// KQ_EOutOfMemory; a failed allocation leaves the block as it was.
#pragma once

#include <cstdint>

#include "kq_ihumanreadable.h"
#include "kq_ipackable.h"
#include "kq_tobject.h"

class KQ_EXPORT KQ_TDataBlock : public KQ_TObject,
                                public virtual KQ_IPackable,
                                public virtual KQ_IHumanReadable {
  KQ_CLASS(KQ_TDataBlock, KQ_TObject, KQ_IPackable, KQ_IHumanReadable)
  // Empty: no bytes, nothing reserved.
  KQ_TDataBlock();
  // size undefined bytes.
  explicit KQ_TDataBlock(std::uint32_t size);
  // A copy of size bytes at data; a null data pointer leaves them undefined.
  KQ_TDataBlock(void const* data, std::uint32_t size);
  KQ_TDataBlock(KQ_TDataBlock const& other);
  ~KQ_TDataBlock() override;

  // Takes a copy of the other's bytes (the reservation only grows).
  virtual KQ_TDataBlock& operator=(KQ_TDataBlock const& other);
  // Unpacks the block from the stream.
  KQ_IPackable& operator=(KQ_IUnpacking& unpacker) override;
  // Same size and same bytes.
  virtual bool operator==(KQ_TDataBlock const& other) const;
  virtual bool operator!=(KQ_TDataBlock const& other) const;

  // The buffer; null while nothing was ever reserved.
  virtual unsigned char const* Data() const;
  virtual unsigned char* Data();
  // Hands the buffer to the caller, who frees it with KQ_Free, and leaves
  // the block empty with nothing reserved.
  virtual unsigned char* StealData();
  // Byte i; an index at or beyond the size makes the size i + 1 first.
  virtual unsigned char& operator[](std::uint32_t i);
  // Copies size bytes (none for a null data pointer) to position; the size
  // becomes position + size when that is larger.
  virtual KQ_TDataBlock& SetAt(std::uint32_t position, void const* data, std::uint32_t size);
  virtual KQ_TDataBlock& Append(void const* data, std::uint32_t size);
  virtual KQ_TDataBlock& Append(unsigned char byte);
  virtual std::uint32_t Size() const;
  // Bytes reserved: 0 or a multiple of 1024.
  std::uint32_t Capacity() const { return fAllocated; }
  // Cuts the size to at most size bytes; the reservation stays.
  virtual KQ_TDataBlock& Trunc(std::uint32_t size);
  // The size becomes size; copies size bytes from data unless it is null.
  virtual KQ_TDataBlock& SetData(void const* data, std::uint32_t size);

  // The size as an unsigned 32-bit number, then, unless it is 0, the bytes
  // as one packet.
  void KQ_Pack(KQ_IPacking& packer) const override;
  // Reads the size, then the packet. The size comes from the data: a data
  // stream appends the packet's bytes as they arrive, so a size that the
  // data do not back never reserves memory; another unpacker reads into a
  // reservation made for the size.
  void KQ_Unpack(KQ_IUnpacking& unpacker) override;
  KQ_IPackable* KQ_Clone(void* where = nullptr) const override;
  // Another data block with the same bytes.
  bool KQ_IsIdent(KQ_IPackable const& other) const override;
  // The bytes in lower-case hexadecimal, two bytes to a group of four
  // digits followed by a blank, eight groups a line; a last odd byte is two
  // digits without a blank. Returns true.
  bool WriteTo(KQ_THumanReadableStream& stream) const override;
  // Replaces the bytes with those of the hexadecimal digits (either case)
  // up to the closing brace, which it consumes; white space may stand
  // between two bytes, not within one. Returns true; any other character
  // raises KQ_EHRSyntaxError with the bytes read before kept.
  bool ReadFrom(KQ_THumanReadableStream& stream) override;
  // Always true, even for an empty block.
  bool KQ_HRMultiLine() const override;

 private:
  // A block stream over a block of exactly this class writes into and reads
  // from its buffer in place.
  friend class KQ_TBlockStream;

  // The reservation for a need of size bytes: size rounded up to whole KiB.
  static std::uint32_t Allocated(std::uint64_t size);
  // Grows the reservation so that it holds size bytes.
  void Reserve(std::uint64_t size);

  std::uint32_t fSize;
  std::uint32_t fAllocated;
  unsigned char* fData;
};
