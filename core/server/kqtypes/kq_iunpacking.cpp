#include "kq_iunpacking.h"

KQ_INTERFACE_IMPL(KQ_IUnpacking)

KQ_IUnpacking& KQ_IUnpacking::ReadPacket(void* buffer, std::uint32_t size) {
  ReadPacket(buffer, size, size);
  return *this;
}

KQ_IPackable& KQ_IUnpacking::operator*() { return *Extract(true); }

KQ_IPackable* KQ_IUnpacking::operator->() { return Extract(true); }
