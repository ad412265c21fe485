// The thread caches of the small-block pool, for the inline fast paths of
// the pool and of the library's value cells.
//
// Beside its four size classes the pool keeps two classes of value cells:
// blocks of 16 and 48 bytes without a header for the library's own objects
// that each own one (every Any keeps its value in a cell, a short string in
// a big one), carved from slabs that are never given back.
//
// Each thread keeps two chains of free blocks per class in front of a
// process-wide stack of batches, so that a thread's frees and allocations
// take no lock at all: the blocks it gave back, which it takes first, and a
// reserve, which it takes from when the first chain runs dry. A chain of
// given blocks that grows to its class's batch size becomes the reserve,
// handing the reserve before it to the stack; a thread with both chains dry
// takes one batch from the stack (or makes new blocks) as its reserve. So a
// block costs a lock only once per batch, no chain is ever walked to cut a
// batch, a thread that takes and gives a few blocks in turn never moves a
// batch whatever its counts, and the order stays last in, first out: a
// freed block is the next one of its class that the thread gets, and
// batches leave the stack in the reverse of their arrival.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kq_types.h"

namespace kq {

constexpr std::size_t kCellSize = 16;
constexpr std::size_t kBigCellSize = 48;

namespace pool {

// Classes 0 to 3 are the pool's size classes, 4 stands for large blocks
// (never cached), 5 and 6 for the value cells and the big ones.
constexpr std::uint32_t kCachedClasses = 7;
constexpr std::uintptr_t kCellClass = 5;
constexpr std::uintptr_t kBigCellClass = 6;
constexpr std::uint32_t kBatch[kCachedClasses] = {16, 16, 16, 16, 0, 256, 256};

// A free block's two links, at its header (a cell's own first bytes): the
// next block of its chain, and in the first block of a batch on the
// process-wide stack, the next batch.
struct FreeLinks {
  std::uintptr_t next;
  std::uintptr_t nextBatch;
};
static_assert(sizeof(FreeLinks) <= kCellSize, "a free cell holds its links");

inline FreeLinks& Links(std::uintptr_t block) { return *reinterpret_cast<FreeLinks*>(block); }

enum : std::uint8_t { kUnused, kActive, kClosed };

struct ClassChain {
  // The blocks the thread gave back.
  std::uintptr_t head;
  // Blocks in the chain at head.
  std::uint32_t count;
  // The last chain of given blocks that filled a batch, or the rest of the
  // batch taken from the stack last; 0 when dry.
  std::uintptr_t reserve;
};

struct ThreadCache {
  ClassChain chain[kCachedClasses];
  std::uint8_t state;
};

// Trivial, so reaching it costs no initialisation guard, and placed in the
// initial TLS block, so that reaching it costs one instruction: in a shared
// library the default model calls __tls_get_addr on every access, which
// made a pool allocation slower than malloc.
#if defined(__GNUC__)
__attribute__((tls_model("initial-exec")))
#endif
extern thread_local ThreadCache tCache;

// The paths that take a lock or call the heap, out of line: a thread with
// both chains dry takes a batch from the stack or new blocks (raising
// KQ_EOutOfMemory when there are none) and returns the first; a chain of
// given blocks that block fills becomes the reserve.
KQ_NOINLINE std::uintptr_t Refill(ThreadCache& cache, std::uintptr_t sizeClass);
KQ_NOINLINE void Release(ThreadCache& cache, std::uintptr_t sizeClass, std::uintptr_t block);

// A free block of the class (its header address; a cell's own address).
inline std::uintptr_t Take(std::uintptr_t sizeClass) {
  ThreadCache& cache = tCache;
  ClassChain& chain = cache.chain[sizeClass];
  std::uintptr_t block = chain.head;
  if (block != 0) {
    chain.head = Links(block).next;
    --chain.count;
    return block;
  }
  block = chain.reserve;
  if (block == 0) block = Refill(cache, sizeClass);
  chain.reserve = Links(block).next;
  return block;
}

inline void Give(std::uintptr_t sizeClass, std::uintptr_t block) {
  ThreadCache& cache = tCache;
  ClassChain& chain = cache.chain[sizeClass];
  if (cache.state == kActive && chain.count + 1 < kBatch[sizeClass]) {
    Links(block).next = chain.head;
    chain.head = block;
    ++chain.count;
    return;
  }
  Release(cache, sizeClass, block);
}

}  // namespace pool

// A cell of kCellSize bytes aligned as the heap aligns its blocks; raises
// KQ_EOutOfMemory when no slab can be had.
inline void* PoolTakeCell() { return reinterpret_cast<void*>(pool::Take(pool::kCellClass)); }

// Gives a cell from PoolTakeCell back.
inline void PoolGiveCell(void* cell) {
  pool::Give(pool::kCellClass, reinterpret_cast<std::uintptr_t>(cell));
}

// The same for cells of kBigCellSize bytes.
inline void* PoolTakeBigCell() { return reinterpret_cast<void*>(pool::Take(pool::kBigCellClass)); }

inline void PoolGiveBigCell(void* cell) {
  pool::Give(pool::kBigCellClass, reinterpret_cast<std::uintptr_t>(cell));
}

}  // namespace kq
