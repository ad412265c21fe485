// KQ_IPacking: the writing side of a packing stream. The widths are those of
// the packed format: a "long" is 32 bits.
#pragma once

#include <cstdint>

#include "kq_iinterface.h"

class KQ_IPackable;

class KQ_EXPORT KQ_IPacking : public virtual KQ_IInterface {
  KQ_INTERFACE(KQ_IPacking, KQ_IInterface)
  virtual KQ_IPacking& operator<<(KQ_IPackable const& object) = 0;
  virtual KQ_IPacking& operator<<(double value) = 0;
  virtual KQ_IPacking& operator<<(float value) = 0;
  virtual KQ_IPacking& operator<<(char value) = 0;
  virtual KQ_IPacking& operator<<(bool value) = 0;
  virtual KQ_IPacking& operator<<(std::uint64_t value) = 0;
  virtual KQ_IPacking& operator<<(std::uint32_t value) = 0;
  virtual KQ_IPacking& operator<<(std::uint16_t value) = 0;
  virtual KQ_IPacking& operator<<(std::uint8_t value) = 0;
  virtual KQ_IPacking& operator<<(std::int64_t value) = 0;
  virtual KQ_IPacking& operator<<(std::int32_t value) = 0;
  virtual KQ_IPacking& operator<<(std::int16_t value) = 0;
  virtual KQ_IPacking& operator<<(std::int8_t value) = 0;
  // Any other integer type packs as the fixed width of its size.
  template <class T, kq::EnableIfOtherInteger<T> = 0>
  KQ_IPacking& operator<<(T value) {
    return *this << static_cast<kq::FixedInt<T>>(value);
  }
  // A length-prefixed packet of bytes.
  virtual KQ_IPacking& WritePacket(void const* data, std::uint32_t size) = 0;
  // Bytes without tag or length.
  virtual KQ_IPacking& WriteRawPacket(void const* data, std::uint32_t size) = 0;
  // Opens and closes the section of one class inside an object.
  virtual KQ_IPacking& InsertClassHeader(char const* className) = 0;
  virtual KQ_IPacking& InsertClassTrailer(char const* className) = 0;
};
