// What only the priority queue does.
#include <random>

#include "kq_titerator.h"
#include "kq_tqueue.h"
#include "test_support.h"

using namespace kqtest;

namespace {

// The queue from the head as "value@priority" words, its links, owners,
// tail and count checked on the way.
::testing::AssertionResult Holds(KQ_TQueue const& queue, std::string const& expected) {
  return ChainHolds(queue, expected, [](KQ_TQueueKey const& key) {
    return std::to_string(IntOf(key.Value())) + "@" + std::to_string(key.Priority());
  });
}

}  // namespace

// The random run below checks the rules of explicit priorities, of keys as
// neighbours and of changed priorities; here the forms that take the
// priority of an end, and the keys that are refused.
TEST(QueueTest, WithoutAPriorityAnElementTakesItsEndsAndKeysOfOthersAreRefused) {
  EXPECT_EQ(KQ_TQueue().AddAtTail(KQ_TAny(1))->Priority(), 0);
  EXPECT_EQ(KQ_TQueue().AddAtHead(KQ_TAny(1))->Priority(), 0);
  KQ_TQueue queue;
  queue.Add(1, 5);
  queue.Add(2, 7);
  queue.AddAtTail(5, -1);
  queue.AddAtHead(11);
  queue += KQ_TAny(12);
  // A null key: AddBefore appends at the tail, AddAfter inserts at the head.
  queue.AddBefore(nullptr, 7);
  queue.AddAfter(nullptr, 8);
  EXPECT_TRUE(Holds(queue, "8@7 11@7 2@7 1@5 5@-1 12@-1 7@-1"));
  EXPECT_EQ(queue.PriorityAt(3), 5);
  EXPECT_EQ(queue.PriorityOf(12), -1);
  EXPECT_EQ(IntOf(queue.Head()), 8);
  EXPECT_EQ(IntOf(queue.Tail()), 7);
  // By the key's own member and by value; a literal number is a value,
  // never a null key.
  KQ_TQueueKey const* const moved = &queue.KeyOf(11)->SetPriority(-5);
  EXPECT_EQ(moved, queue.KeyAtTail());
  queue.SetPriority(KQ_TAny(5), 9);
  EXPECT_TRUE(Holds(queue, "5@9 8@7 2@7 1@5 12@-1 7@-1 11@-5"));
  KQ_TQueue other;
  KQ_TQueueKey* foreign = other.Add(0, 1);
  ExpectEachRaises("KQ_EElementNotInQueue",
                   {[&] { queue.AddBefore(foreign, 1); }, [&] { queue.AddAfter(foreign, 1); },
                    [&] { queue.Rem(foreign); }, [&] { queue.SetPriority(foreign, 3); },
                    [&] { queue.SetPriority(static_cast<KQ_TQueueKey*>(nullptr), 1); },
                    [&] { queue.Rem(static_cast<KQ_TQueueKey const*>(nullptr)); },
                    [&] { queue.SetPriority(0, 1); }});
  EXPECT_EQ(queue.Entries(), 7u);
  EXPECT_TRUE(Holds(other, "0@1"));
}

TEST(QueueTest, LookupsOfMissingElementsRaise) {
  KQ_TQueue queue;
  EXPECT_FALSE(queue.Contains(1));
  ExpectEachRaises("KQ_EOutOfBoundsOfQueue", {[&] { queue.Head(); }, [&] { queue.RemAtTail(); }});
  queue.Add(1, 1);
  queue.Add(2, 2);
  EXPECT_TRUE(queue.Contains(2));
  KQ_TQueue const& constant = queue;
  EXPECT_EQ(constant.KeyOf(1), constant.KeyAtTail());
  ExpectEachRaises("KQ_EElementNotInQueue", {[&] { constant.KeyOf(3); }, [&] { queue.Rem(3); }});
  EXPECT_EQ(Raised([&] { queue.KeyAt(2); }), "KQ_EOutOfBoundsOfQueue");
  EXPECT_EQ(IntOf(constant.ObjectAt(0)), 2);
  queue -= 2;
  queue.RemAt(0);
  EXPECT_TRUE(Holds(queue, ""));
}

// Random operations against a model (a vector kept in the same order by
// the same rules); the order, the links and the count are checked after
// every step, so a fault in the index of priorities shows at once.
TEST(QueueTest, RandomOperationsMatchAModel) {
  std::mt19937 random(20240611);
  KQ_TQueue queue;
  std::vector<std::pair<std::int32_t, std::int32_t>> model;
  // Where an element of that priority goes: after its equals, or before.
  auto const place = [&model](std::int32_t priority, bool first) {
    return std::find_if(model.begin(), model.end(), [&](auto const& e) {
      return first ? e.second <= priority : e.second < priority;
    });
  };
  std::int32_t next = 0;
  for (int step = 0; step < 4000; ++step) {
    std::int32_t const priority = static_cast<std::int32_t>(random() % 9) - 4;
    auto const at = static_cast<std::uint32_t>(model.empty() ? 0 : random() % model.size());
    auto const where = model.begin() + at;
    unsigned const action = random() % 8;
    if (model.empty() && action >= 2) continue;
    if (action <= 1) {
      static_cast<void>(action == 0 ? queue.AddAtTail(next, priority)
                                    : queue.AddAtHead(next, priority));
      model.insert(place(priority, action == 1), {next++, priority});
    } else if (action == 2) {
      queue.RemAtHead();
      model.erase(model.begin());
    } else if (action == 3) {
      queue.RemAt(at);
      model.erase(where);
    } else if (action == 4) {
      queue.SetPriority(queue.KeyAt(at), priority);
      std::int32_t const value = where->first;
      model.erase(where);
      model.insert(place(priority, false), {value, priority});
    } else if (action <= 6) {
      static_cast<void>(action == 5 ? queue.AddBefore(queue.KeyAt(at), next)
                                    : queue.AddAfter(queue.KeyAt(at), next));
      model.insert(where + (action == 5 ? 0 : 1), {next++, where->second});
    } else {
      queue.RemAtTail();
      model.pop_back();
    }
    std::string expected;
    for (auto const& [value, p] : model) {
      expected += (expected.empty() ? "" : " ") + std::to_string(value) + "@" + std::to_string(p);
    }
    ASSERT_TRUE(Holds(queue, expected)) << "step " << step;
  }
}

TEST(QueueTest, CopiesKeepAWorkingIndexOfTheirOwn) {
  KQ_TQueue a;
  a.Add(1, 1);
  a.Add(2, 1);
  KQ_TQueue reprioritised(a);
  reprioritised.SetPriority(reprioritised.KeyAtHead(), 2);
  EXPECT_TRUE(a != reprioritised) << "same values in the same order, other priorities";
  // Ties go after the copied keys, and a change of priority in the copy
  // leaves the original alone.
  KQ_TQueue copy(a);
  copy.Add(7, 1);
  EXPECT_TRUE(Holds(copy, "1@1 2@1 7@1"));
  KQ_TQueue target;
  target.Add(99, 99);
  target = copy;
  target.SetPriority(target.KeyAtTail(), 5);
  EXPECT_TRUE(Holds(target, "7@5 1@1 2@1"));
  EXPECT_TRUE(Holds(copy, "1@1 2@1 7@1"));
  // Long queues are copied and destroyed without recursion.
  KQ_TQueue longQueue;
  for (std::int32_t i = 0; i < 200000; ++i) longQueue.Add(i, i % 5);
  EXPECT_EQ(IntOf(KQ_TQueue(longQueue).Head()), 4);
}

TEST(QueueTest, UnpackingAndReadingTextInsertByPriority) {
  // Even unsorted data gives a sorted queue, equal elements in the order
  // read.
  KQ_TQueue read;
  read.Add(50, 50);
  Bytes const entries = Join({Number(0x03, 1), AnyInt(10), Number(0x03, 4), AnyInt(40)});
  Bytes const header = Join({Header(0x0D, "KQ_TQueue"), Number(0x07, 3)});
  ReadInto(read, Join({header, entries, Number(0x03, 1), AnyInt(11), {0xFF}}));
  EXPECT_TRUE(Holds(read, "40@4 10@1 11@1"));

  KQ_TQueue queue;
  queue.Add(KQ_TAny("low"), -1);
  queue.Add(7, 3);
  queue.Add(8, 3);
  EXPECT_EQ(Text(queue), "KQ_TQueue {\n  3: 7\n  3: 8\n  -1: \"low\"\n}");
  EXPECT_EQ(Text(KQ_TQueue()), "KQ_TQueue {  }");
  ReadText(read, "KQ_TQueue{1:1 5 : 5\n1:2}");
  EXPECT_TRUE(Holds(read, "5@5 1@1 2@1"));
  EXPECT_EQ(Raised([&] { ReadText(read, "KQ_TQueue { 1 2 }"); }), "KQ_EHRSyntaxError");
  EXPECT_EQ(Raised([&] { ReadText(read, "KQ_TQueue { x: 2 }"); }), "KQ_EHRSyntaxError");
}
