// KQ_TMutex against std::recursive_mutex, uncontended, and KQ_TSemaphore
// against std::mutex as a non-recursive lock.
#include <benchmark/benchmark.h>

#include <mutex>

#include "kq_tmutex.h"
#include "kq_tsemaphore.h"

namespace {

void BM_StdRecursiveMutexLockUnlock(benchmark::State& state) {
  std::recursive_mutex mutex;
  for (auto _ : state) {
    mutex.lock();
    mutex.unlock();
  }
}

void BM_TMutexLockRelease(benchmark::State& state) {
  KQ_TMutex mutex;
  for (auto _ : state) {
    mutex.Lock();
    mutex.Release();
  }
}

// A second level of a lock already held.
void BM_StdRecursiveMutexNested(benchmark::State& state) {
  std::recursive_mutex mutex;
  mutex.lock();
  for (auto _ : state) {
    mutex.lock();
    mutex.unlock();
  }
  mutex.unlock();
}

void BM_TMutexNested(benchmark::State& state) {
  KQ_TMutex mutex;
  mutex.Lock();
  for (auto _ : state) {
    mutex.Lock();
    mutex.Release();
  }
  mutex.Release();
}

void BM_StdMutexLockUnlock(benchmark::State& state) {
  std::mutex mutex;
  for (auto _ : state) {
    mutex.lock();
    mutex.unlock();
  }
}

void BM_TSemaphoreLockRelease(benchmark::State& state) {
  KQ_TSemaphore semaphore;
  for (auto _ : state) {
    semaphore.Lock();
    semaphore.Release();
  }
}

}  // namespace

BENCHMARK(BM_StdRecursiveMutexLockUnlock);
BENCHMARK(BM_TMutexLockRelease);
BENCHMARK(BM_StdRecursiveMutexNested);
BENCHMARK(BM_TMutexNested);
BENCHMARK(BM_StdMutexLockUnlock);
BENCHMARK(BM_TSemaphoreLockRelease);
