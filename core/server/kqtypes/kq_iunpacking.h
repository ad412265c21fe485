// KQ_IUnpacking: the reading side of a packing stream.
#pragma once

#include <cstdint>

#include "kq_iinterface.h"

class KQ_IPackable;

class KQ_EXPORT KQ_IUnpacking : public virtual KQ_IInterface {
  KQ_INTERFACE(KQ_IUnpacking, KQ_IInterface)
  virtual KQ_IUnpacking& operator>>(KQ_IPackable& object) = 0;
  virtual KQ_IUnpacking& operator>>(double& value) = 0;
  virtual KQ_IUnpacking& operator>>(float& value) = 0;
  virtual KQ_IUnpacking& operator>>(char& value) = 0;
  virtual KQ_IUnpacking& operator>>(bool& value) = 0;
  virtual KQ_IUnpacking& operator>>(std::uint64_t& value) = 0;
  virtual KQ_IUnpacking& operator>>(std::uint32_t& value) = 0;
  virtual KQ_IUnpacking& operator>>(std::uint16_t& value) = 0;
  virtual KQ_IUnpacking& operator>>(std::uint8_t& value) = 0;
  virtual KQ_IUnpacking& operator>>(std::int64_t& value) = 0;
  virtual KQ_IUnpacking& operator>>(std::int32_t& value) = 0;
  virtual KQ_IUnpacking& operator>>(std::int16_t& value) = 0;
  virtual KQ_IUnpacking& operator>>(std::int8_t& value) = 0;
  // Any other integer type reads the fixed width of its size.
  template <class T, kq::EnableIfOtherInteger<T> = 0>
  KQ_IUnpacking& operator>>(T& value) {
    kq::FixedInt<T> fixed;
    *this >> fixed;
    value = static_cast<T>(fixed);
    return *this;
  }
  // Reads a length-prefixed packet into buffer; the meaning of the two sizes
  // belongs to the stream. Returns the packet's length.
  virtual std::uint32_t ReadPacket(void* buffer, std::uint32_t size, std::uint32_t limit) = 0;
  // ReadPacket(buffer, size, size).
  virtual KQ_IUnpacking& ReadPacket(void* buffer, std::uint32_t size);
  virtual KQ_IUnpacking& ReadRawPacket(void* buffer, std::uint32_t size) = 0;
  // Receives consecutive pieces of a packet as they arrive.
  using PacketSink = void (*)(void* context, unsigned char const* bytes, std::uint32_t count);
  // Reads a packet of exactly expectedSize bytes, as ReadPacket does, and
  // hands it to sink in pieces, so that a reader whose length came from
  // outside grows only with the bytes that really arrive. A stream that can
  // deliver a packet piece by piece overrides this; the default reads the
  // whole packet with ReadPacket and hands it over in one piece. Returns the
  // packet's length.
  virtual std::uint32_t ReadPacketGrowing(std::uint32_t expectedSize, PacketSink sink,
                                          void* context);
  virtual KQ_IUnpacking& ExtractClassHeader(char const* className) = 0;
  virtual KQ_IUnpacking& ExtractClassTrailer(char const* className) = 0;
  // Skips the next packed element.
  virtual void SkipData() = 0;
  // The next tag byte, without consuming it.
  virtual unsigned char Peek() = 0;
  // The next packed object as a new object owned by the caller.
  virtual KQ_IPackable* Extract(bool keepUnknown) = 0;
  // The object Extract(true) returns; the caller owns it.
  virtual KQ_IPackable& operator*();
  virtual KQ_IPackable* operator->();
};
