// KQ_TEvent and KQ_TRWLock.

#include "kq_tevent.h"
#include "kq_trwlock.h"
#include "pathbridge.h"
#include "test_support.h"

namespace {

using namespace kqtest;

// Takes the event's lock once the condition, read under the lock, holds.
template <class F>
void LockOnce(KQ_TEvent& event, F condition) {
  for (event.Lock(); !condition(); event.Lock()) {
    event.Unlock();
    std::this_thread::yield();
  }
}

TEST(EventTest, WaitGivesUpEveryHoldAndTakesThemAllBack) {
  KQ_TEvent event;
  bool waiting = false;  // guarded by the event, as is ready
  bool ready = false;
  std::promise<std::uint32_t> heldAfterWait;
  std::promise<void> checked;
  auto waiter = std::async(std::launch::async, [&] {
    event.Lock().Lock().Lock();
    waiting = true;
    while (!ready) event.Wait();
    std::uint32_t const held = event.Delock();
    event.Relock(held);
    heldAfterWait.set_value(held);
    checked.get_future().wait();
    event.Unlock().Unlock().Unlock();
    return event.Delock();
  });
  // Once the waiter has taken its three holds, the lock comes free again
  // only when its Wait gives up all three.
  LockOnce(event, [&] { return waiting; });
  ready = true;
  event.Signal();
  event.Unlock();
  EXPECT_EQ(heldAfterWait.get_future().get(), 3u);

  // The waiter holds the lock three times again: others stay out.
  auto other = std::async(std::launch::async, [&] { return event.Lock().Delock(); });
  EXPECT_TRUE(StillBlocked(other));
  EXPECT_THROW(event.Unlock(), KQ_ECouldNotUnlockMutex);
  EXPECT_TRUE(event.Delock() == 0 && StillBlocked(other));
  checked.set_value();
  EXPECT_TRUE(waiter.get() == 0 && other.get() == 1);
}

TEST(EventTest, LockCountsFollowLockUnlockDelockAndRelockAndSurviveATimedOutWait) {
  KQ_TEvent event;
  EXPECT_EQ(event.Delock(), 0u);
  EXPECT_THROW(event.Unlock(), KQ_ECouldNotUnlockMutex);
  EXPECT_EQ(event.Lock().Lock().Unlock().Delock(), 1u);
  // A signal without a waiter is lost; the holds survive a wait that timed out.
  event.Signal().Lock().Lock();
  auto const start = Clock::now();
  EXPECT_FALSE(event.Wait(40));
  EXPECT_GE(MillisecondsSince(start), 35);
  EXPECT_TRUE(!event.Wait(0) && event.Delock() == 2);

  for (std::uint32_t const asked : {0u, 1u, 2u}) {
    SCOPED_TRACE(asked);
    EXPECT_EQ(event.Relock(asked).Delock(), asked == 0 ? 1u : asked);
    // Really free: another thread takes and gives it at once.
    EXPECT_EQ(OnOtherThread([&] { return event.Lock().Delock(); }), 1u);
  }

  // Another thread holds nothing: its Unlock raises and its Delock gives up
  // nothing, and neither disturbs the holder's count.
  event.Lock().Lock();
  EXPECT_THROW(OnOtherThread([&] { event.Unlock(); }), KQ_ECouldNotUnlockMutex);
  EXPECT_EQ(OnOtherThread([&] { return event.Delock(); }), 0u);
  event.Unlock();
  EXPECT_EQ(event.Delock(), 1u);
}

// The waiters wait on a copy, the signal comes through an assigned one, and
// the original is gone by then: all share one event.
TEST(EventTest, SignalWakesExactlyTheThreadsWaitingAtThatMomentThroughAnyCopy) {
  constexpr int kWaiters = 4;
  auto* original = new KQ_TEvent();
  KQ_TEvent copy(*original);
  KQ_TEvent event;
  event = copy;
  KQ_TEvent const& same = event;
  event = same;
  int registered = 0;  // guarded by the event
  std::vector<std::future<bool>> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.push_back(std::async(std::launch::async, [&] {
      copy.Lock();
      ++registered;
      // A missed signal shows as false (or a very long test), not a hang.
      bool const signalled = copy.Wait(20000);
      return copy.Delock() == 1 && signalled;
    }));
  }
  // A waiter that counted itself under the lock is waiting once the lock is
  // ours again, so one Signal must reach all of them.
  LockOnce(event, [&] { return registered == kWaiters; });
  delete original;
  event.Signal();
  // Signalling while holding the lock leaves the count alone.
  EXPECT_EQ(event.Delock(), 1u);
  for (auto& w : waiters) EXPECT_TRUE(w.get());
  // A wait that begins after the signal waits for the next one.
  EXPECT_FALSE(OnOtherThread([&] { return event.Wait(20); }));
}

// The debug switch is read once per message site, so each setting is tried
// in a fresh process.
void LockUnlockSignalWithDebug(char const* assignment) {
  putenv_utf8(assignment);
  KQ_TEvent event;
  event.Lock().Lock().Signal().Unlock().Unlock().Wait(0);
  std::fflush(stderr);
  std::exit(0);
}

TEST(EventDebugTest, LevelFiveAndAboveWriteEveryLockUnlockAndSignal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(LockUnlockSignalWithDebug("KQ_TEVENT_DEBUG=5"), testing::ExitedWithCode(0),
              "^Thread 0x[0-9a-f]{8,} locked event 0x[0-9a-f]{8,}: now 1 locks\n"
              "Thread 0x[0-9a-f]{8,} locked event 0x[0-9a-f]{8,}: now 2 locks\n"
              "Thread 0x[0-9a-f]{8,} is signaling event 0x[0-9a-f]{8,}\n"
              "Thread 0x[0-9a-f]{8,} is signaled event 0x[0-9a-f]{8,}\n"
              "Thread 0x[0-9a-f]{8,} unlocked event 0x[0-9a-f]{8,}: now 1 locks\n"
              "Thread 0x[0-9a-f]{8,} unlocked event 0x[0-9a-f]{8,}: now 0 locks\n$");
  EXPECT_EXIT(LockUnlockSignalWithDebug("KQ_TEVENT_DEBUG=12"), testing::ExitedWithCode(0),
              "now 2 locks\n");
  for (char const* quiet : {"KQ_TEVENT_DEBUG=4", "KQ_TEVENT_DEBUG=yes"})
    EXPECT_EXIT(LockUnlockSignalWithDebug(quiet), testing::ExitedWithCode(0), "^$");
}

TEST(RWLockTest, ReadersShareAndAWriterWaitsForTheLastToLeave) {
  KQ_TRWLock lock;
  std::promise<void> leave;
  std::shared_future<void> leaveSignal = leave.get_future().share();
  std::atomic<int> reading{0};
  auto reader = [&] {
    lock.RLock(true);
    ++reading;
    leaveSignal.wait();
  };
  // Both get in while the other holds its registration.
  std::thread first(reader);
  std::thread second(reader);
  EXPECT_TRUE(kqtest::Eventually([&] { return reading.load() == 2; }));
  leave.set_value();
  first.join();
  second.join();

  auto writer = std::async(std::launch::async, [&] { lock.WLock().WUnlock(); });
  EXPECT_TRUE(StillBlocked(writer));
  // Registrations belong to no thread: this one ends the two readers'.
  lock.RUnlock();
  EXPECT_TRUE(StillBlocked(writer));
  lock.RUnlock();
  writer.get();

  // The operators are RLock and RUnlock.
  (++(lock++))--;
  writer = std::async(std::launch::async, [&] { lock.WLock().WUnlock(); });
  EXPECT_TRUE(StillBlocked(writer));
  --lock;
  writer.get();
  EXPECT_THROW(lock.RUnlock(), KQ_ENoActiveReadLocks);
  EXPECT_THROW(lock--, KQ_ERWLockException);
}

// The lock is used through copies; the original goes while it is held.
TEST(RWLockTest, AWriterKeepsReadersAndOtherWritersOutThroughAnyCopy) {
  auto* original = new KQ_TRWLock();
  KQ_TRWLock copy(*original);
  KQ_TRWLock lock;
  lock.RLock();
  lock = copy;
  KQ_TRWLock const& same = lock;
  lock = same;
  original->WLock();
  auto reader = std::async(std::launch::async, [&] { lock.RLock().RUnlock(); });
  auto writer = std::async(std::launch::async, [&] { lock.WLock().WUnlock(); });
  EXPECT_TRUE(StillBlocked(reader) && StillBlocked(writer));
  delete original;
  // Recursive: the first release leaves the write lock held.
  copy.WLock().WUnlock();
  EXPECT_TRUE(StillBlocked(reader));
  // Only the writer may release it.
  EXPECT_THROW(OnOtherThread([&] { lock.WUnlock(); }), KQ_ENoActiveWriteLocks);
  EXPECT_TRUE(StillBlocked(writer));
  lock.WUnlock();
  reader.get();
  writer.get();
  EXPECT_THROW(lock.WUnlock(), KQ_ENoActiveWriteLocks);
  // A writer that also reads cannot take the lock again.
  lock.WLock().RLock();
  EXPECT_THROW(copy.WLock(), KQ_EDeadLock);
  copy.WUnlock();
  writer = std::async(std::launch::async, [&] { lock.WLock().WUnlock(); });
  EXPECT_TRUE(StillBlocked(writer));
  copy.RUnlock();
  writer.get();
}

TEST(RWLockTest, AWriterThatEndsLeavesTheLockFree) {
  KQ_TRWLock lock;
  OnOtherThread([&] { lock.WLock().WLock(); });
  lock.RLock().RUnlock().WLock().WUnlock();
  EXPECT_THROW(lock.WUnlock(), KQ_ENoActiveWriteLocks);

  // Sleepers learn of it too.
  std::promise<void> end, writing;
  std::thread holder([&] {
    lock.WLock();
    writing.set_value();
    end.get_future().wait();
  });
  writing.get_future().wait();
  auto reader = std::async(std::launch::async, [&] { lock.RLock().RUnlock(); });
  auto writer = std::async(std::launch::async, [&] { lock.WLock().WUnlock(); });
  EXPECT_TRUE(StillBlocked(reader));
  end.set_value();
  holder.join();
  reader.get();
  writer.get();
}

}  // namespace
