#include "kq_memalloc.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "internal/kq_memalloc_failure.h"
#include "internal/kq_pool.h"
#include "kq_eexception.h"
#include "kq_tclass.h"
#include "kq_tmutex.h"

namespace {

// The allocator's two locks are built on first use and never destroyed.
// Built on first use, they exist whenever a static initialiser of another
// translation unit reaches the allocator first, whatever order the linker
// gave the initialisers; a plain static object would not guarantee that, and
// init_priority is a compiler extension that also destroys the lock at exit.
// Never destroyed, they keep working for threads that run on while the
// process exits and for static destructors. gLocksBuilt builds both while
// the library loads, before any exported function can be called.
KQ_TMutex& PoolLock() {
  static KQ_TMutex* const lock = new KQ_TMutex();
  return *lock;
}

KQ_TMutex& RingLock() {
  static KQ_TMutex* const lock = new KQ_TMutex();
  return *lock;
}

struct LocksBuilt {
  LocksBuilt() {
    PoolLock();
    RingLock();
  }
};
LocksBuilt const gLocksBuilt;

// Holds a mutex for one scope, so it is released on every path, also when
// KQ_EOutOfMemory leaves the scope. The lock is taken only when enabled.
class ScopedLock {
 public:
  ScopedLock(KQ_TMutex& mutex, bool enabled) : fMutex(enabled ? &mutex : nullptr) {
    if (fMutex != nullptr) (*fMutex)++;
  }
  ScopedLock(ScopedLock const&) = delete;
  ScopedLock& operator=(ScopedLock const&) = delete;
  ~ScopedLock() {
    if (fMutex != nullptr) (*fMutex)--;
  }

 private:
  KQ_TMutex* fMutex;
};

std::atomic<kq::heap::FailurePredicate> gFailure{nullptr};

bool RequestFails() {
  kq::heap::FailurePredicate const fails = gFailure.load(std::memory_order_relaxed);
  return fails != nullptr && fails();
}

void* HeapAlloc(std::size_t size) {
  void* p = RequestFails() ? nullptr : std::malloc(size);
  if (p == nullptr) KQ_THROW(KQ_EOutOfMemory());
  return p;
}

// On failure p stays valid, as with realloc.
void* HeapRealloc(void* p, std::size_t size) {
  void* q = RequestFails() ? nullptr : std::realloc(p, size);
  if (q == nullptr) KQ_THROW(KQ_EOutOfMemory());
  return q;
}

// ---------------------------------------------------------------------------
// The pool.
//
// Every pool block starts with a header of one pointer-sized word, padded so
// that the caller's address keeps the heap's full alignment. While the block
// is in use the word holds its class (0 to 3, or 4 for a large block); while
// it lies on a free chain, the header address of the next free block (0 at
// the end).
//
// Beside the four classes the pool keeps two for the library's own value
// cells: blocks of 16 and 48 bytes without a header, carved from slabs that
// are never given back. Every Any owns one, so they take neither header nor
// heap call.

constexpr std::size_t kHeaderSize = alignof(std::max_align_t);
static_assert(kHeaderSize >= sizeof(kq::pool::FreeLinks), "a free block's links fit its header");

constexpr std::uint32_t kClassCount = 4;
constexpr std::uintptr_t kLargeClass = 4;
constexpr std::uint32_t kCapacity[kClassCount] = {32, 128, 512, 4096};

std::uintptr_t ClassOf(std::uint32_t size) {
  if (size <= kCapacity[0]) return 0;
  if (size <= kCapacity[1]) return 1;
  if (size <= kCapacity[2]) return 2;
  if (size <= kCapacity[3]) return 3;
  return kLargeClass;
}

using kq::pool::kBatch;
using kq::pool::kBigCellClass;
using kq::pool::kCachedClasses;
using kq::pool::kCellClass;
using kq::pool::Links;

std::uintptr_t& Word(std::uintptr_t header) { return *reinterpret_cast<std::uintptr_t*>(header); }

void* Publish(std::uintptr_t header, std::uintptr_t sizeClass) {
  Word(header) = sizeClass;
  return reinterpret_cast<void*>(header + kHeaderSize);
}

constexpr std::uint32_t kSlabCells = 256;

}  // namespace

#if defined(__GNUC__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local kq::pool::ThreadCache kq::pool::tCache;

namespace {

// The process-wide stacks of batches, guarded by PoolLock().
std::uintptr_t gBatches[kq::pool::kCachedClasses];

// A slab's head; its kSlabCells cells follow it. Its alignment keeps the
// cells aligned as the heap aligns its blocks.
struct alignas(alignof(std::max_align_t)) Slab {
  Slab* next;
};
// Every slab, so that the memory stays reachable for leak checkers.
Slab* gSlabs;

void PushBatch(std::uintptr_t sizeClass, std::uintptr_t first) {
  ScopedLock hold(PoolLock(), true);
  Links(first).nextBatch = gBatches[sizeClass];
  gBatches[sizeClass] = first;
}

std::uintptr_t PopBatch(std::uintptr_t sizeClass) {
  ScopedLock hold(PoolLock(), true);
  std::uintptr_t const first = gBatches[sizeClass];
  if (first != 0) gBatches[sizeClass] = Links(first).nextBatch;
  return first;
}

// Gives the thread's blocks back when the thread ends; later frees of the
// thread go straight to the stacks.
struct CacheCloser {
  // Set when a thread first caches a block: touching the closer registers its
  // destructor for that thread.
  bool registered = false;
  ~CacheCloser() {
    kq::pool::ThreadCache& cache = kq::pool::tCache;
    cache.state = kq::pool::kClosed;
    for (std::uintptr_t c = 0; c < kCachedClasses; ++c) {
      kq::pool::ClassChain& chain = cache.chain[c];
      if (chain.head != 0) PushBatch(c, chain.head);
      if (chain.reserve != 0) PushBatch(c, chain.reserve);
      chain = kq::pool::ClassChain{};
    }
  }
};

thread_local CacheCloser tCacheCloser;

void Activate(kq::pool::ThreadCache& cache) {
  if (cache.state == kq::pool::kUnused) {
    tCacheCloser.registered = true;
    cache.state = kq::pool::kActive;
  }
}

// New blocks of a class when the thread and the stack have none: one heap
// block with its header, or a slab of cells linked into a chain.
std::uintptr_t MakeBlocks(std::uintptr_t sizeClass) {
  if (sizeClass != kCellClass && sizeClass != kBigCellClass) {
    std::uintptr_t const header =
        reinterpret_cast<std::uintptr_t>(HeapAlloc(kCapacity[sizeClass] + kHeaderSize));
    Links(header).next = 0;
    return header;
  }
  std::size_t const size = sizeClass == kCellClass ? kq::kCellSize : kq::kBigCellSize;
  auto* const slab = static_cast<Slab*>(HeapAlloc(sizeof(Slab) + kSlabCells * size));
  auto const first = reinterpret_cast<std::uintptr_t>(slab + 1);
  for (std::uint32_t i = 0; i + 1 < kSlabCells; ++i) {
    Links(first + i * size).next = first + (i + 1) * size;
  }
  Links(first + (kSlabCells - 1) * size).next = 0;
  ScopedLock hold(PoolLock(), true);
  slab->next = gSlabs;
  gSlabs = slab;
  return first;
}

// ---------------------------------------------------------------------------
// The ring of temporaries. Zero-initialised before any constructor runs, so
// it is ready for static initialisers of other translation units.

constexpr std::uint16_t kRingSize = 1024;

struct TempSlot {
  void* pointer;
  // The pointer came from operator new and goes back with operator delete;
  // otherwise it is a system-heap block.
  bool allocatedWithNew;
};

TempSlot gRing[kRingSize];
std::uint16_t gNextSlot;

// Out of line: inlined into a caller that has just stored a heap block, the
// compiler pairs that block with the operator delete branch and warns.
KQ_NOINLINE void ReleaseSlot(TempSlot& slot) {
  void* const p = slot.pointer;
  bool const withNew = slot.allocatedWithNew;
  slot.pointer = nullptr;
  slot.allocatedWithNew = false;
  if (withNew) {
    ::operator delete(p);
  } else {
    std::free(p);
  }
}

void Advance() { gNextSlot = static_cast<std::uint16_t>((gNextSlot + 1) % kRingSize); }

// Until class initialisation has begun the library is still being set up on
// one thread, and the ring takes no lock.
bool RingNeedsLock() { return KQ_TClass::Initialized(); }

// The new-handler of KQ_CatchOutOfMemory. Building and throwing the
// exception needs a little memory itself; when that fails too, the nested
// exception is a bare one that needs none (see KQ_EException).
void OutOfMemoryHandler() { KQ_THROW(KQ_EOutOfMemory()); }

}  // namespace

void* KQ_Alloc(std::uint32_t size) { return size == 0 ? nullptr : HeapAlloc(size); }

void* KQ_CAlloc(std::uint32_t count, std::uint32_t size) {
  if (count == 0 || size == 0) return nullptr;
  void* p = RequestFails() ? nullptr : std::calloc(count, size);
  if (p == nullptr) KQ_THROW(KQ_EOutOfMemory());
  return p;
}

void* KQ_Realloc(void* p, std::uint32_t size) {
  if (size == 0) {
    std::free(p);
    return nullptr;
  }
  return HeapRealloc(p, size);
}

void KQ_Free(void* p) { std::free(p); }

void* KQ_MakeCopy(void const* source, std::uint32_t size) {
  void* p = KQ_Alloc(size);
  if (p != nullptr) std::memcpy(p, source, size);
  return p;
}

namespace {

KQ_NOINLINE void* AllocLarge(std::uint32_t size) {
  return Publish(reinterpret_cast<std::uintptr_t>(HeapAlloc(std::size_t{size} + kHeaderSize)),
                 kLargeClass);
}

}  // namespace

void* KQ_PoolAlloc(std::uint32_t size) {
  std::uintptr_t const sizeClass = ClassOf(size);
  if (sizeClass == kLargeClass) return AllocLarge(size);
  return Publish(kq::pool::Take(sizeClass), sizeClass);
}

void* KQ_PoolCAlloc(std::uint32_t size) {
  void* p = KQ_PoolAlloc(size);
  std::memset(p, 0, size);
  return p;
}

// A null p allocates, as KQ_PoolAlloc(size) would.
void* KQ_PoolRealloc(void* p, std::uint32_t size) {
  if (p == nullptr) return KQ_PoolAlloc(size);
  std::uintptr_t const header = reinterpret_cast<std::uintptr_t>(p) - kHeaderSize;
  std::uintptr_t const oldClass = Word(header);
  if (oldClass < kLargeClass && size <= kCapacity[oldClass]) return p;
  std::uintptr_t const newClass = oldClass < kLargeClass ? ClassOf(size) : kLargeClass;
  std::size_t const bytes =
      (newClass == kLargeClass ? std::size_t{size} : kCapacity[newClass]) + kHeaderSize;
  return Publish(
      reinterpret_cast<std::uintptr_t>(HeapRealloc(reinterpret_cast<void*>(header), bytes)),
      newClass);
}

// A null p is ignored.
void KQ_PoolFree(void* p) {
  if (p == nullptr) return;
  std::uintptr_t const header = reinterpret_cast<std::uintptr_t>(p) - kHeaderSize;
  std::uintptr_t const sizeClass = Word(header);
  if (sizeClass >= kLargeClass) {
    std::free(reinterpret_cast<void*>(header));
    return;
  }
  kq::pool::Give(sizeClass, header);
}

// The paths of the thread caches that take a lock or call the heap.
std::uintptr_t kq::pool::Refill(ThreadCache& cache, std::uintptr_t sizeClass) {
  Activate(cache);
  std::uintptr_t first = PopBatch(sizeClass);
  if (first == 0) first = MakeBlocks(sizeClass);
  if (cache.state == kClosed) {
    // A closed thread keeps nothing: one block for the caller, the rest back.
    if (Links(first).next != 0) PushBatch(sizeClass, Links(first).next);
    Links(first).next = 0;
  }
  return first;
}

void kq::pool::Release(ThreadCache& cache, std::uintptr_t sizeClass, std::uintptr_t block) {
  if (cache.state == kClosed) {
    Links(block).next = 0;
    PushBatch(sizeClass, block);
    return;
  }
  Activate(cache);
  ClassChain& chain = cache.chain[sizeClass];
  Links(block).next = chain.head;
  chain.head = block;
  if (++chain.count < kBatch[sizeClass]) return;
  if (chain.reserve != 0) PushBatch(sizeClass, chain.reserve);
  chain.reserve = chain.head;
  chain.head = 0;
  chain.count = 0;
}

void* KQ_AllocTemp(std::uint32_t size) {
  ScopedLock hold(RingLock(), RingNeedsLock());
  TempSlot& slot = gRing[gNextSlot];
  void* block;
  if (slot.pointer != nullptr && slot.allocatedWithNew) {
    ReleaseSlot(slot);
    block = KQ_Alloc(size);
  } else {
    // Resized in place where the heap can; on failure the slot keeps its block.
    block = KQ_Realloc(slot.pointer, size);
  }
  slot.pointer = block;
  slot.allocatedWithNew = false;
  Advance();
  return block;
}

void* KQ_RegisterTemp(void* p, bool allocatedWithNew) {
  ScopedLock hold(RingLock(), RingNeedsLock());
  TempSlot& slot = gRing[gNextSlot];
  if (slot.pointer != nullptr) ReleaseSlot(slot);
  slot.pointer = p;
  slot.allocatedWithNew = allocatedWithNew;
  Advance();
  return p;
}

void kq::heap::SetFailurePredicate(FailurePredicate predicate) {
  gFailure.store(predicate, std::memory_order_relaxed);
}

void KQ_CatchOutOfMemory() { std::set_new_handler(&OutOfMemoryHandler); }

void KQ_IgnoreOutOfMemory() { std::set_new_handler(nullptr); }
