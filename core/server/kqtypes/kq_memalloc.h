// Raw memory: the system heap with exceptions instead of null results, a
// small-block pool with four size classes, and a process-wide ring of 1024
// temporaries through which the library hands out C strings that the caller
// never frees.
#pragma once

#include <cstdint>

#include "kq_types.h"

// System heap. Size 0 gives null without allocating; exhaustion raises
// KQ_EOutOfMemory.
KQ_EXPORT void* KQ_Alloc(std::uint32_t size);
KQ_EXPORT void* KQ_CAlloc(std::uint32_t count, std::uint32_t size);
// Size 0 frees p and gives null; on failure p stays valid.
KQ_EXPORT void* KQ_Realloc(void* p, std::uint32_t size);
KQ_EXPORT void KQ_Free(void* p);
KQ_EXPORT void* KQ_MakeCopy(void const* source, std::uint32_t size);

// Small-block pool: size classes of 32, 128, 512 and 4096 bytes, kept on
// last-in first-out free lists; larger blocks come straight from the heap.
// Blocks are released only with KQ_PoolFree.
KQ_EXPORT void* KQ_PoolAlloc(std::uint32_t size);
// KQ_PoolAlloc, then the first size bytes set to zero.
KQ_EXPORT void* KQ_PoolCAlloc(std::uint32_t size);
KQ_EXPORT void* KQ_PoolRealloc(void* p, std::uint32_t size);
KQ_EXPORT void KQ_PoolFree(void* p);

// A block the caller must not free: it stays valid until 1024 further
// temporaries have been taken, from any thread.
KQ_EXPORT void* KQ_AllocTemp(std::uint32_t size);
// Hands p to the ring, which releases it 1024 registrations later (with
// operator delete when allocatedWithNew, without running a destructor;
// otherwise with free). Returns p.
KQ_EXPORT void* KQ_RegisterTemp(void* p, bool allocatedWithNew);

// A failing operator new raises KQ_EOutOfMemory from now on.
KQ_EXPORT void KQ_CatchOutOfMemory();
// Restores the standard behaviour of operator new.
KQ_EXPORT void KQ_IgnoreOutOfMemory();
