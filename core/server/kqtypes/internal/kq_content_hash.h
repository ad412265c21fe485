// The hash by which the dictionary and the tree find their entries: XXH3 of
// a key's content under a secret drawn once per process from the system's
// random source. Keys built to share the library's own hash values (which
// are fixed and public) spread over the index all the same, and without the
// secret no one outside the process can build keys that share this one.
// Internal to the library: the xxHash header must not reach public headers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#define XXH_INLINE_ALL
#include <xxhash.h>

#if XXH_VERSION_NUMBER < 801
#error "xxHash 0.8.1 or later is needed (XXH3_64bits_withSecretandSeed)"
#endif

namespace kq {

// The secret and the seed derived from it, made on first use.
struct ContentHashKey {
  static constexpr std::size_t kSecretSize = XXH3_SECRET_DEFAULT_SIZE;

  alignas(64) unsigned char fSecret[kSecretSize];
  std::uint64_t fSeed;
};

// The key, filled on first use and marked ready after that; the fast path is
// one load, which matters to every look-up of a short key.
extern ContentHashKey gContentHashKey;
extern std::atomic<bool> gContentHashKeyReady;
ContentHashKey const& MakeContentHashKey();

inline ContentHashKey const& TheContentHashKey() {
  if (gContentHashKeyReady.load(std::memory_order_acquire)) return gContentHashKey;
  return MakeContentHashKey();
}

// The content hash of size bytes at bytes.
inline std::uint64_t ContentHash(void const* bytes, std::size_t size) {
  ContentHashKey const& key = TheContentHashKey();
  return XXH3_64bits_withSecretandSeed(bytes, size, key.fSecret, ContentHashKey::kSecretSize,
                                       key.fSeed);
}

}  // namespace kq
