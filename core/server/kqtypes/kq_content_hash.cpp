#include "internal/kq_content_hash.h"

#include <cstring>

#include "platform/kq_sys_random.h"
#include "platform/kq_sys_time.h"

namespace kq {

namespace {

ContentHashKey MakeKey() {
  unsigned char material[32] = {};
  if (!sys::RandomBytes(material, sizeof material)) {
    // Without a random source, the clock and where this process was loaded
    // still differ from run to run.
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
    sys::ClockNow(&seconds, &nanoseconds);
    void const* const address = &material;
    std::memcpy(material, &seconds, sizeof seconds);
    std::memcpy(material + 8, &nanoseconds, sizeof nanoseconds);
    std::memcpy(material + 16, &address, sizeof address);
  }
  ContentHashKey key{};
  XXH3_generateSecret(key.fSecret, ContentHashKey::kSecretSize, material, sizeof material);
  key.fSeed = XXH3_64bits(key.fSecret, ContentHashKey::kSecretSize);
  return key;
}

}  // namespace

ContentHashKey gContentHashKey{};
std::atomic<bool> gContentHashKeyReady{false};

ContentHashKey const& MakeContentHashKey() {
  // The first caller fills the key; any other waits for it here.
  static bool const made = [] {
    gContentHashKey = MakeKey();
    gContentHashKeyReady.store(true, std::memory_order_release);
    return true;
  }();
  static_cast<void>(made);
  return gContentHashKey;
}

}  // namespace kq
