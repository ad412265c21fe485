#include "kq_iunpacking.h"

#include <memory>

#include "kq_memalloc.h"

KQ_INTERFACE_IMPL(KQ_IUnpacking)

KQ_IUnpacking& KQ_IUnpacking::ReadPacket(void* buffer, std::uint32_t size) {
  ReadPacket(buffer, size, size);
  return *this;
}

KQ_IPackable& KQ_IUnpacking::operator*() { return *Extract(true); }

KQ_IPackable* KQ_IUnpacking::operator->() { return Extract(true); }

std::uint32_t KQ_IUnpacking::ReadPacketGrowing(std::uint32_t expectedSize, PacketSink sink,
                                               void* context) {
  std::unique_ptr<unsigned char, void (*)(void*)> const bytes(
      static_cast<unsigned char*>(KQ_Alloc(expectedSize)), &KQ_Free);
  unsigned char none = 0;
  ReadPacket(expectedSize != 0 ? bytes.get() : &none, expectedSize);
  if (expectedSize != 0) sink(context, bytes.get(), expectedSize);
  return expectedSize;
}
