// KQ_TPackage: a self-contained packed message. A growable byte buffer and a
// data stream over it, so that values are packed into memory and unpacked
// again without the caller managing streams. A package is a packer, an
// unpacker and itself a packable object: it can travel inside other packed
// data, a KQ_TAny or a container.
//
// Reading and writing share one position: appending with << writes at it,
// reading with >> or a conversion reads from it, so a package that was just
// filled is rewound (Rewind(0)) before it is read. Reading past the packed
// bytes raises KQ_EStreamEndReached; an element of another type than the one
// asked for raises KQ_EWrongPackedType.
//
// Packed, a package of n bytes is the unsigned 32-bit element n followed by a
// packet of the n bytes (written even when n is 0). The class has no packing
// code of its own: inside other packed data it appears as a named object.
#pragma once

#include <cstdint>

#include "kq_ipackable.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_tdatastream.h"
#include "kq_tmemorystream.h"
#include "kq_tobject.h"
#include "kq_types.h"

class KQ_EXPORT KQ_TPackage : public KQ_TObject,
                              public virtual KQ_IPackable,
                              public virtual KQ_IPacking,
                              public virtual KQ_IUnpacking {
  KQ_CLASS(KQ_TPackage, KQ_TObject, KQ_IPackable, KQ_IPacking, KQ_IUnpacking)

  // Empty, position 0.
  KQ_TPackage();
  // A package holding the one value; the position stands after it.
  explicit KQ_TPackage(std::int8_t value);
  explicit KQ_TPackage(std::int16_t value);
  explicit KQ_TPackage(std::int32_t value);
  explicit KQ_TPackage(std::int64_t value);
  explicit KQ_TPackage(std::uint8_t value);
  explicit KQ_TPackage(std::uint16_t value);
  explicit KQ_TPackage(std::uint32_t value);
  explicit KQ_TPackage(std::uint64_t value);
  explicit KQ_TPackage(bool value);
  explicit KQ_TPackage(char value);
  explicit KQ_TPackage(float value);
  explicit KQ_TPackage(double value);
  explicit KQ_TPackage(KQ_IPackable const& object);
  template <class T, kq::EnableIfOtherInteger<T> = 0>
  explicit KQ_TPackage(T value) : KQ_TPackage(static_cast<kq::FixedInt<T>>(value)) {}
  // Reads and writes the caller's size bytes in place: they are neither
  // copied nor freed, and the package cannot grow beyond them (a write past
  // them raises KQ_EStreamEndReached). Position 0.
  KQ_TPackage(unsigned char* buffer, std::uint32_t size);
  // An owned copy of the other's bytes, with its position.
  KQ_TPackage(KQ_TPackage const& other);
  ~KQ_TPackage() override;

  // Clear(), then packs the value: the package holds exactly that element
  // and the position stands after it.
  virtual KQ_TPackage& operator=(KQ_IPackable const& object);
  virtual KQ_TPackage& operator=(double value);
  virtual KQ_TPackage& operator=(float value);
  virtual KQ_TPackage& operator=(char value);
  virtual KQ_TPackage& operator=(bool value);
  virtual KQ_TPackage& operator=(std::uint64_t value);
  virtual KQ_TPackage& operator=(std::uint32_t value);
  virtual KQ_TPackage& operator=(std::uint16_t value);
  virtual KQ_TPackage& operator=(std::uint8_t value);
  virtual KQ_TPackage& operator=(std::int64_t value);
  virtual KQ_TPackage& operator=(std::int32_t value);
  virtual KQ_TPackage& operator=(std::int16_t value);
  virtual KQ_TPackage& operator=(std::int8_t value);
  template <class T, kq::EnableIfOtherInteger<T> = 0>
  KQ_TPackage& operator=(T value) {
    return *this = static_cast<kq::FixedInt<T>>(value);
  }
  // An owned copy of the other's bytes and its position.
  virtual KQ_TPackage& operator=(KQ_TPackage const& other);

  // Size and position 0; the buffer stays allocated.
  virtual KQ_TPackage& Clear();
  // Moves the shared position to a byte offset (not a mark operation).
  virtual KQ_TPackage& Rewind(std::uint32_t position = 0);
  // Number of packed bytes.
  virtual std::uint32_t Size() const;
  // The shared position.
  virtual std::uint32_t Position() const;
  // The memory stream's SetSize: grows (bytes exposed are undefined) or cuts
  // the packed bytes; a position beyond the new size moves back to it.
  virtual KQ_TPackage& SetSize(std::uint32_t size);
  // The packed bytes (null while a fresh package holds none).
  virtual unsigned char const* Data() const;
  virtual unsigned char* Data();
  // Replaces the contents with an owned copy of count bytes; position 0.
  virtual KQ_TPackage& SetData(unsigned char const* bytes, std::uint32_t count);
  // Lends the caller's buffer as the buffer constructor does; position 0.
  virtual KQ_TPackage& SetBuffer(unsigned char* bytes, std::uint32_t count);

  // The next element unpacked as that type.
  virtual operator std::int8_t();
  virtual operator std::int16_t();
  virtual operator std::int32_t();
  virtual operator std::int64_t();
  virtual operator std::uint8_t();
  virtual operator std::uint16_t();
  virtual operator std::uint32_t();
  virtual operator std::uint64_t();
  virtual operator bool();
  virtual operator char();
  virtual operator float();
  virtual operator double();
  // The next object, created (Extract(true)); owned by the caller.
  virtual operator KQ_IPackable*();

  // KQ_IPacking and KQ_IUnpacking: passed to the data stream over the bytes.
  using KQ_IPacking::operator<<;
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

  using KQ_IUnpacking::operator>>;
  using KQ_IUnpacking::ReadPacket;
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
  std::uint32_t ReadPacket(void* buffer, std::uint32_t minimum, std::uint32_t maximum) override;
  // Its data stream's: in pieces as the bytes are there.
  std::uint32_t ReadPacketGrowing(std::uint32_t expectedSize, PacketSink sink,
                                  void* context) override;
  KQ_IUnpacking& ReadRawPacket(void* buffer, std::uint32_t size) override;
  KQ_IUnpacking& ExtractClassHeader(char const* className) override;
  KQ_IUnpacking& ExtractClassTrailer(char const* className) override;
  void SkipData() override;
  unsigned char Peek() override;
  KQ_IPackable* Extract(bool keepUnknown) override;

  // KQ_IPackable.
  void KQ_Pack(KQ_IPacking& packer) const override;
  // Replaces the contents with the packed bytes; position 0.
  void KQ_Unpack(KQ_IUnpacking& unpacker) override;
  KQ_IPackable* KQ_Clone(void* where = nullptr) const override;
  // True for another package of the same size holding the same bytes.
  bool KQ_IsIdent(KQ_IPackable const& other) const override;

 private:
  template <class T>
  KQ_TPackage& Assign(T value);
  template <class T>
  T Next();
  // Bytes the data stream holds back after a Peek.
  std::uint32_t HeldBack() const;
  // Returns bytes held back by a Peek to the memory stream, so that a write
  // lands at the shared position.
  void Settle();
  // Rebinds the data stream, dropping what it held back.
  void Reset();
  // Packs a copy of object when object is this package itself (whose bytes
  // would move while they are written).
  void PackObject(KQ_IPackable const& object);

  KQ_TMemoryStream fBytes;
  KQ_TDataStream fPacker;
};
