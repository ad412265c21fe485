// KQ_TMutex and KQ_TSemaphore.
#include "kq_tmutex.h"
#include "kq_tsemaphore.h"
#include "test_support.h"

namespace {

using namespace kqtest;

// True when the mutex is taken within limit milliseconds (it is then released).
bool TakesAndGives(KQ_TMutex& mutex, std::uint32_t limit) {
  bool const got = mutex.AttemptLock(limit);
  if (got) mutex.Release();
  return got;
}

// True when another thread can take the mutex at once.
bool OtherThreadGets(KQ_TMutex& mutex) {
  return OnOtherThread([&] { return TakesAndGives(mutex, 0); });
}

// The mutex is used through copies; the original goes while it is held.
TEST(MutexTest, HolderLocksRecursivelyThroughAnyCopyAndOnlyItsLastReleaseFreesIt) {
  auto* original = new KQ_TMutex();
  KQ_TMutex copy(*original);
  KQ_TMutex mutex;
  mutex.Lock();
  mutex = copy;  // the replaced mutex goes, although held
  KQ_TMutex const& same = mutex;
  mutex = same;
  EXPECT_THROW(mutex.Release(), KQ_ECouldNotUnlockMutex);
  original->Lock();
  EXPECT_TRUE(mutex.AttemptLock(0) && copy.AttemptLock(100));
  EXPECT_THROW(OnOtherThread([&] { mutex.Release(); }), KQ_ECouldNotUnlockMutex);
  delete original;
  mutex.Release().Release();
  EXPECT_FALSE(OtherThreadGets(copy));
  mutex.Release();
  EXPECT_TRUE(OtherThreadGets(mutex));
  EXPECT_THROW(mutex.Release(), KQ_ECouldNotUnlockMutex);
}

TEST(MutexTest, AttemptLockTimesOutOrGetsTheMutexWhenReleased) {
  KQ_TMutex mutex;
  mutex.Lock();
  auto const start = Clock::now();
  EXPECT_FALSE(OnOtherThread([&] { return mutex.AttemptLock(60); }));
  EXPECT_GE(MillisecondsSince(start), 55);
  for (std::uint32_t limit : {10000u, KQ_TMutex::kWaitForever}) {
    auto waiter = std::async(std::launch::async, [&] { return TakesAndGives(mutex, limit); });
    EXPECT_TRUE(StillBlocked(waiter));
    mutex.Release();
    EXPECT_TRUE(waiter.get()) << limit;
    mutex.Lock();
  }
  mutex.Release();
}

// Runs wait on a new thread while another thread holds the mutex, then ends
// the holder without releasing; returns what wait returned.
template <class F>
bool WaitThroughAbandonment(KQ_TMutex& mutex, F wait) {
  std::promise<void> end, locked;
  std::thread holder([&] {
    mutex.Lock();
    locked.set_value();
    end.get_future().wait();
  });
  locked.get_future().wait();
  auto waiter = std::async(std::launch::async, wait);
  EXPECT_TRUE(StillBlocked(waiter));
  end.set_value();
  holder.join();
  return waiter.get();
}

TEST(MutexTest, AbandonedOrDestroyedMutexesLeaveOtherLocksIntactAndAbandonedGoToAttemptLock) {
  KQ_TMutex mutex;
  for (std::uint32_t limit : {0u, KQ_TMutex::kWaitForever}) {
    OnOtherThread([&] { mutex.Lock().Lock(); });  // ends holding it twice
    EXPECT_TRUE(mutex.AttemptLock(limit));        // taken over at one level
    EXPECT_FALSE(OtherThreadGets(mutex));
    mutex.Release();
    EXPECT_TRUE(OtherThreadGets(mutex));
  }
  OnOtherThread([&] { mutex.Lock().Lock(); });
  EXPECT_THROW(mutex.Lock(), KQ_ECouldNotLockMutex);
  EXPECT_THROW(mutex.Release(), KQ_ECouldNotUnlockMutex);
  EXPECT_TRUE(OtherThreadGets(mutex));

  // Sleeping waiters learn of it too; a missed wake-up shows as false.
  EXPECT_TRUE(WaitThroughAbandonment(mutex, [&] { return TakesAndGives(mutex, 60000); }) &&
              OtherThreadGets(mutex));
  EXPECT_TRUE(WaitThroughAbandonment(mutex,
                                     [&] {
                                       return kqtest::Raised([&] { mutex.Lock(); }) ==
                                              "KQ_ECouldNotLockMutex";
                                     }) &&
              OtherThreadGets(mutex));

  // Mutexes destroyed while held leave the holder's other locks intact.
  OnOtherThread([] {
    KQ_TMutex kept;
    kept.Lock();
    KQ_TMutex().Lock().Lock();
    KQ_TMutex().Lock().Release();
    kept.Release();
    EXPECT_THROW(kept.Release(), KQ_ECouldNotUnlockMutex);
  });
}

TEST(SemaphoreTest, CountsAreTakenAndGivenByAnyThreadAndStayWithinZeroTo65535) {
  EXPECT_THROW(KQ_TSemaphore(-1), KQ_ECouldNotCreateSemaphore);
  EXPECT_THROW(KQ_TSemaphore(65536), KQ_ESemaphoreException);

  // Racing releases near the maximum: exactly the missing two succeed.
  KQ_TSemaphore almost(65533);
  std::atomic<int> succeeded{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) succeeded += kqtest::Raised([&] { almost.Release(); }).empty();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(succeeded.load(), 2);
  int taken = 0;
  while (almost.AttemptLock(0)) ++taken;
  EXPECT_EQ(taken, 65535);

  KQ_TSemaphore empty(0);
  auto const start = Clock::now();
  EXPECT_FALSE(empty.AttemptLock(40));
  EXPECT_GE(MillisecondsSince(start), 35);
  OnOtherThread([&] { empty.Release(); });
  EXPECT_TRUE(empty.AttemptLock(0) && !empty.AttemptLock(0));

  KQ_TSemaphore three(3);
  EXPECT_TRUE(three.AttemptLock(0));
  ++(three++);
  EXPECT_FALSE(three.AttemptLock(0));
  --(three--);
  EXPECT_TRUE(OnOtherThread([&] { return three.AttemptLock(0); }) && three.AttemptLock(0));
  EXPECT_FALSE(three.AttemptLock(0));

  // Copies share the count.
  KQ_TSemaphore copy(three);
  KQ_TSemaphore assigned;
  assigned = copy;
  copy.Release();
  EXPECT_TRUE(assigned.AttemptLock(0) && !three.AttemptLock(0));

  // The default semaphore is a lock that is not recursive.
  KQ_TSemaphore lock;
  EXPECT_TRUE(lock.AttemptLock(KQ_TSemaphore::kWaitForever) && !lock.AttemptLock(0));
  auto waiter = std::async(std::launch::async, [&] { lock.Lock(); });
  EXPECT_TRUE(StillBlocked(waiter));
  lock.Release();
  waiter.get();
}

}  // namespace
