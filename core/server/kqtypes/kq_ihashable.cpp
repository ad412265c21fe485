#include "kq_ihashable.h"

#include "internal/kq_content_hash.h"

KQ_INTERFACE_IMPL(KQ_IHashable)

std::uint64_t KQ_IHashable::KQ_ContentHash() const {
  std::uint32_t const hash = KQ_HashValue(0);
  return kq::ContentHash(&hash, sizeof hash);
}
