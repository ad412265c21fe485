// KQ_TRWLock against std::shared_mutex (one reader alone, two readers at
// once) and KQ_TEvent against std::mutex with std::condition_variable (a
// ball passed back and forth between two threads).
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "kq_tevent.h"
#include "kq_trwlock.h"

namespace {

void BM_StdSharedMutexReadLockUnlock(benchmark::State& state) {
  std::shared_mutex lock;
  for (auto _ : state) {
    lock.lock_shared();
    lock.unlock_shared();
  }
}

void BM_TRWLockReadLockUnlock(benchmark::State& state) {
  KQ_TRWLock lock;
  for (auto _ : state) {
    lock.RLock();
    lock.RUnlock();
  }
}

// Readers on two threads at once take and leave one shared lock; each
// registration writes the lock's state, so the two cores pass its cache
// line back and forth.
std::shared_mutex gSharedStdLock;
KQ_TRWLock gSharedLock;

void BM_StdSharedMutexTwoReaders(benchmark::State& state) {
  for (auto _ : state) {
    gSharedStdLock.lock_shared();
    gSharedStdLock.unlock_shared();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_TRWLockTwoReaders(benchmark::State& state) {
  for (auto _ : state) {
    gSharedLock.RLock();
    gSharedLock.RUnlock();
  }
  state.SetItemsProcessed(state.iterations());
}

// One iteration is a round trip: this thread passes the ball and waits
// until the partner has passed it back.
void BM_StdConditionVariablePingPong(benchmark::State& state) {
  std::mutex mutex;
  std::condition_variable turn;
  long ball = 0;  // even: this thread's turn
  bool stop = false;
  std::thread partner([&] {
    std::unique_lock<std::mutex> hold(mutex);
    for (;;) {
      while (ball % 2 == 0 && !stop) turn.wait(hold);
      if (stop) break;
      ++ball;
      turn.notify_one();
    }
  });
  {
    std::unique_lock<std::mutex> hold(mutex);
    for (auto _ : state) {
      ++ball;
      turn.notify_one();
      while (ball % 2 == 1) turn.wait(hold);
    }
    stop = true;
    turn.notify_one();
  }
  partner.join();
}

void BM_TEventPingPong(benchmark::State& state) {
  KQ_TEvent event;
  long ball = 0;  // even: this thread's turn
  bool stop = false;
  std::thread partner([&] {
    event.Lock();
    for (;;) {
      while (ball % 2 == 0 && !stop) event.Wait();
      if (stop) break;
      ++ball;
      event.Signal();
    }
    event.Unlock();
  });
  event.Lock();
  for (auto _ : state) {
    ++ball;
    event.Signal();
    while (ball % 2 == 1) event.Wait();
  }
  stop = true;
  event.Signal();
  event.Unlock();
  partner.join();
}

}  // namespace

BENCHMARK(BM_StdSharedMutexReadLockUnlock);
BENCHMARK(BM_TRWLockReadLockUnlock);
BENCHMARK(BM_StdSharedMutexTwoReaders)->Threads(2)->UseRealTime();
BENCHMARK(BM_TRWLockTwoReaders)->Threads(2)->UseRealTime();
BENCHMARK(BM_StdConditionVariablePingPong)->UseRealTime();
BENCHMARK(BM_TEventPingPong)->UseRealTime();
