// The small-block pool against the system heap (malloc/free) it sits on.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "kq_memalloc.h"

namespace {

// One allocation released at once: the pattern of short-lived buffers.
void BM_MallocFree(benchmark::State& state) {
  auto const size = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    void* p = std::malloc(size);
    benchmark::DoNotOptimize(p);
    std::free(p);
  }
}

void BM_PoolAllocFree(benchmark::State& state) {
  auto const size = static_cast<std::uint32_t>(state.range(0));
  for (auto _ : state) {
    void* p = KQ_PoolAlloc(size);
    benchmark::DoNotOptimize(p);
    KQ_PoolFree(p);
  }
}

// 64 blocks taken, then all released: more blocks than a thread keeps for
// itself, so the pool's shared lists are used too.
constexpr int kBatch = 64;

void BM_MallocFreeBatch(benchmark::State& state) {
  auto const size = static_cast<std::size_t>(state.range(0));
  std::vector<void*> blocks(kBatch);
  for (auto _ : state) {
    for (void*& p : blocks) p = std::malloc(size);
    benchmark::DoNotOptimize(blocks.data());
    for (void* p : blocks) std::free(p);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_PoolAllocFreeBatch(benchmark::State& state) {
  auto const size = static_cast<std::uint32_t>(state.range(0));
  std::vector<void*> blocks(kBatch);
  for (auto _ : state) {
    for (void*& p : blocks) p = KQ_PoolAlloc(size);
    benchmark::DoNotOptimize(blocks.data());
    for (void* p : blocks) KQ_PoolFree(p);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

}  // namespace

BENCHMARK(BM_MallocFree)->Arg(16)->Arg(100)->Arg(400)->Arg(3000);
BENCHMARK(BM_PoolAllocFree)->Arg(16)->Arg(100)->Arg(400)->Arg(3000);
BENCHMARK(BM_MallocFreeBatch)->Arg(16)->Arg(3000);
BENCHMARK(BM_PoolAllocFreeBatch)->Arg(16)->Arg(3000);
