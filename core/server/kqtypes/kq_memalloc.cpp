#include "kq_memalloc.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

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

void* HeapAlloc(std::size_t size) {
  void* p = std::malloc(size);
  if (p == nullptr) KQ_THROW(KQ_EOutOfMemory());
  return p;
}

void* HeapRealloc(void* p, std::size_t size) {
  void* q = std::realloc(p, size);
  if (q == nullptr) KQ_THROW(KQ_EOutOfMemory());
  return q;
}

// ---------------------------------------------------------------------------
// The pool.
//
// Every pool block starts with a header of one pointer-sized word, padded so
// that the caller's address keeps the heap's full alignment. While the block
// is in use the word holds its class (0 to 3, or 4 for a large block); while
// it lies on a free list, the header address of the next free block (0 at
// the end).

constexpr std::size_t kHeaderSize = alignof(std::max_align_t);
static_assert(kHeaderSize >= sizeof(std::uintptr_t), "the header word must fit the header");

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

std::uintptr_t& Word(std::uintptr_t header) { return *reinterpret_cast<std::uintptr_t*>(header); }

void* Publish(std::uintptr_t header, std::uintptr_t sizeClass) {
  Word(header) = sizeClass;
  return reinterpret_cast<void*>(header + kHeaderSize);
}

// The process-wide free lists, guarded by PoolLock().
std::uintptr_t gFreeLists[kClassCount];

// Each thread keeps up to kCacheLimit free blocks per class in front of the
// process-wide lists, so that the usual free-then-allocate of one thread
// takes no lock at all. The cache is last-in first-out like the lists: a
// block freed by a thread is the next block of its class that the thread
// gets. A full cache hands its whole list to the process-wide list in one
// step, and a thread's cache goes there too when the thread ends.
constexpr std::uint32_t kCacheLimit = 16;
constexpr std::uint32_t kRefill = kCacheLimit / 2;

enum : std::uint8_t { kCacheUnused, kCacheActive, kCacheClosed };

struct ThreadCache {
  std::uintptr_t head[kClassCount];
  // The oldest block of each list, so that the list moves in one step.
  std::uintptr_t tail[kClassCount];
  std::uint32_t count[kClassCount];
  std::uint8_t state;
};

// Trivial, so reaching it costs no initialisation guard, and placed in the
// initial TLS block, so that reaching it costs one instruction: in a shared
// library the default model calls __tls_get_addr on every access, which
// made a pool allocation slower than malloc.
#if defined(__GNUC__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local ThreadCache tCache;

void HandOver(std::uintptr_t sizeClass, std::uintptr_t first, std::uintptr_t last) {
  ScopedLock hold(PoolLock(), true);
  Word(last) = gFreeLists[sizeClass];
  gFreeLists[sizeClass] = first;
}

// The first block of the process-wide list, or 0. A thread whose cache is
// active takes up to kRefill blocks in one step and keeps the others.
std::uintptr_t TakeShared(ThreadCache& cache, std::uintptr_t sizeClass) {
  std::uint32_t const wanted = cache.state == kCacheActive ? kRefill : 1;
  std::uintptr_t first;
  std::uintptr_t last;
  std::uint32_t taken = 1;
  {
    ScopedLock hold(PoolLock(), true);
    first = gFreeLists[sizeClass];
    if (first == 0) return 0;
    last = first;
    while (taken < wanted && Word(last) != 0) {
      last = Word(last);
      ++taken;
    }
    gFreeLists[sizeClass] = Word(last);
  }
  if (taken > 1) {
    cache.head[sizeClass] = Word(first);
    cache.tail[sizeClass] = last;
    cache.count[sizeClass] = taken - 1;
  }
  Word(last) = 0;
  return first;
}

// Empties the thread's cache into the process-wide lists when the thread ends.
struct CacheCloser {
  // Set when a thread first caches a block: touching the closer registers its
  // destructor for that thread.
  bool registered = false;
  ~CacheCloser() {
    ThreadCache& cache = tCache;
    cache.state = kCacheClosed;
    for (std::uintptr_t c = 0; c < kClassCount; ++c) {
      if (cache.head[c] != 0) HandOver(c, cache.head[c], cache.tail[c]);
      cache.head[c] = 0;
      cache.count[c] = 0;
    }
  }
};

thread_local CacheCloser tCacheCloser;

void PushCached(ThreadCache& cache, std::uintptr_t sizeClass, std::uintptr_t header) {
  if (cache.count[sizeClass] == kCacheLimit) {
    HandOver(sizeClass, cache.head[sizeClass], cache.tail[sizeClass]);
    cache.head[sizeClass] = 0;
    cache.count[sizeClass] = 0;
  }
  if (cache.head[sizeClass] == 0) cache.tail[sizeClass] = header;
  Word(header) = cache.head[sizeClass];
  cache.head[sizeClass] = header;
  ++cache.count[sizeClass];
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
// exception needs a little memory itself; should that fail too, the nested
// call gives up with the standard exception instead of recursing.
thread_local bool tRaisingOutOfMemory;

void OutOfMemoryHandler() {
  if (tRaisingOutOfMemory) throw std::bad_alloc();
  struct Raising {
    Raising() { tRaisingOutOfMemory = true; }
    ~Raising() { tRaisingOutOfMemory = false; }
  } const raising;
  KQ_THROW(KQ_EOutOfMemory());
}

}  // namespace

void* KQ_Alloc(std::uint32_t size) { return size == 0 ? nullptr : HeapAlloc(size); }

void* KQ_CAlloc(std::uint32_t count, std::uint32_t size) {
  if (count == 0 || size == 0) return nullptr;
  void* p = std::calloc(count, size);
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

// The paths that take a lock or call the heap are kept out of line, so that
// taking a block from the thread's cache stays a handful of instructions.
KQ_NOINLINE void* AllocLarge(std::uint32_t size) {
  return Publish(reinterpret_cast<std::uintptr_t>(HeapAlloc(std::size_t{size} + kHeaderSize)),
                 kLargeClass);
}

KQ_NOINLINE std::uintptr_t RefillOrAllocate(ThreadCache& cache, std::uintptr_t sizeClass) {
  std::uintptr_t const header = TakeShared(cache, sizeClass);
  if (header != 0) return header;
  return reinterpret_cast<std::uintptr_t>(HeapAlloc(kCapacity[sizeClass] + kHeaderSize));
}

KQ_NOINLINE void FreeSlow(ThreadCache& cache, std::uintptr_t sizeClass, std::uintptr_t header) {
  if (sizeClass >= kLargeClass) {
    std::free(reinterpret_cast<void*>(header));
    return;
  }
  if (cache.state == kCacheClosed) {
    HandOver(sizeClass, header, header);
    return;
  }
  if (cache.state == kCacheUnused) {
    tCacheCloser.registered = true;
    cache.state = kCacheActive;
  }
  PushCached(cache, sizeClass, header);
}

}  // namespace

void* KQ_PoolAlloc(std::uint32_t size) {
  std::uintptr_t const sizeClass = ClassOf(size);
  if (sizeClass == kLargeClass) return AllocLarge(size);
  ThreadCache& cache = tCache;
  std::uintptr_t header = cache.head[sizeClass];
  if (header != 0) {
    cache.head[sizeClass] = Word(header);
    --cache.count[sizeClass];
  } else {
    header = RefillOrAllocate(cache, sizeClass);
  }
  return Publish(header, sizeClass);
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
  ThreadCache& cache = tCache;
  if (sizeClass < kLargeClass && cache.state == kCacheActive &&
      cache.count[sizeClass] < kCacheLimit) {
    if (cache.head[sizeClass] == 0) cache.tail[sizeClass] = header;
    Word(header) = cache.head[sizeClass];
    cache.head[sizeClass] = header;
    ++cache.count[sizeClass];
    return;
  }
  FreeSlow(cache, sizeClass, header);
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

void KQ_CatchOutOfMemory() { std::set_new_handler(&OutOfMemoryHandler); }

void KQ_IgnoreOutOfMemory() { std::set_new_handler(nullptr); }
