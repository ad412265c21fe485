// The priority queue: order and ties from both ends, insertion around keys,
// priority changes, lookups that raise, a random model run that checks the
// order and the links after every step, iteration with deletion, copies,
// printing, the packed form (exact bytes, round trips, damaged input) and
// the text form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_tclass.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"
#include "kq_titerator.h"
#include "kq_tlist.h"
#include "kq_tmemorystream.h"
#include "kq_tqueue.h"
#include "kq_tstring.h"

using namespace kqtest;

namespace {

class QueueEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__()); }
};

::testing::Environment* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new QueueEnvironment);

// (value, priority) pairs from head to tail; values are 32-bit integers.
using Entries = std::vector<std::pair<std::int32_t, std::int32_t>>;

// Walks the queue from both ends and checks every link, every key's owner,
// the count and the order of priorities against the expected entries.
::testing::AssertionResult Holds(KQ_TQueue const& queue, Entries const& expected) {
  if (queue.Entries() != expected.size()) {
    return ::testing::AssertionFailure()
           << "Entries() is " << queue.Entries() << ", expected " << expected.size();
  }
  if (queue.IsEmpty() != expected.empty()) return ::testing::AssertionFailure() << "IsEmpty()";
  if (expected.empty()) return ::testing::AssertionSuccess();
  Entries forwards;
  KQ_TQueueKey const* previous = nullptr;
  for (KQ_TQueueKey const* key = queue.KeyAtHead(); key != nullptr; key = key->Next()) {
    if (key->Prev() != previous) return ::testing::AssertionFailure() << "broken back link";
    if (key->Container() != &queue) return ::testing::AssertionFailure() << "foreign key";
    if (previous != nullptr && previous->Priority() < key->Priority()) {
      return ::testing::AssertionFailure() << "priorities rise at " << forwards.size();
    }
    if (forwards.size() > expected.size()) return ::testing::AssertionFailure() << "cycle";
    forwards.emplace_back(static_cast<std::int32_t>(key->Value()), key->Priority());
    previous = key;
  }
  if (previous != queue.KeyAtTail()) return ::testing::AssertionFailure() << "tail mismatch";
  Entries backwards;
  for (KQ_TQueueKey const* key = queue.KeyAtTail(); key != nullptr; key = key->Prev()) {
    if (backwards.size() > expected.size()) return ::testing::AssertionFailure() << "cycle";
    backwards.insert(backwards.begin(), {static_cast<std::int32_t>(**key), key->Priority()});
  }
  if (forwards != expected || backwards != expected) {
    std::ostringstream text;
    for (auto const& [value, priority] : forwards) text << value << '@' << priority << ' ';
    return ::testing::AssertionFailure() << "holds " << text.str();
  }
  return ::testing::AssertionSuccess();
}

// The queue's own framing: it has no packing code and travels by name.
Bytes QueueHeader(std::uint32_t count) {
  Bytes header = Number(0x0D, 9);
  for (char c : std::string("KQ_TQueue")) header.push_back(static_cast<unsigned char>(c));
  return Join({header, Number(0x07, count)});
}

}  // namespace

TEST(QueueTest, PrioritiesOrderTheQueueAndTiesFollowTheNamedEnd) {
  KQ_TQueue queue;
  queue.Add(1, 5);
  queue.Add(2, 7);
  queue.Add(3, 5);
  EXPECT_TRUE(Holds(queue, {{2, 7}, {1, 5}, {3, 5}})) << "Add is first in, first out";
  queue.AddAtHead(4, 5);
  EXPECT_TRUE(Holds(queue, {{2, 7}, {4, 5}, {1, 5}, {3, 5}}))
      << "AddAtHead goes first among equals";
  queue.AddAtTail(5, 5);
  queue.AddAtHead(6, 7);
  queue.AddAtTail(7, 100);
  queue.AddAtHead(8, -1);
  queue.AddAtTail(9, 6);
  queue.AddAtHead(10, 6);
  EXPECT_TRUE(Holds(
      queue, {{7, 100}, {6, 7}, {2, 7}, {10, 6}, {9, 6}, {4, 5}, {1, 5}, {3, 5}, {5, 5}, {8, -1}}));
  EXPECT_EQ(static_cast<std::int32_t>(queue.Head()), 7);
  EXPECT_EQ(static_cast<std::int32_t>(queue.Tail()), 8);

  // Without a priority: the head's priority at the head, the tail's at the
  // tail, 0 on an empty queue.
  queue.AddAtHead(11);
  queue.AddAtTail(12);
  queue += KQ_TAny(13);
  EXPECT_EQ(queue.PriorityAt(0), 100);
  EXPECT_EQ(static_cast<std::int32_t>(queue[0]), 11);
  EXPECT_EQ(queue.PriorityOf(12), -1);
  EXPECT_EQ(static_cast<std::int32_t>(queue.Tail()), 13);
  EXPECT_EQ(queue.KeyAtTail()->Priority(), -1);
  KQ_TQueue empty;
  EXPECT_EQ(empty.AddAtTail(KQ_TAny("x"))->Priority(), 0);
  KQ_TQueue other;
  EXPECT_EQ(other.AddAtHead(KQ_TAny("y"))->Priority(), 0);
  EXPECT_EQ(other.Add(KQ_TAny("z"))->Priority(), 0);
}

TEST(QueueTest, AddingAroundKeysTakesTheirPriority) {
  KQ_TQueue queue;
  KQ_TQueueKey* a = queue.Add(1, 9);
  KQ_TQueueKey* b = queue.Add(2, 5);
  KQ_TQueueKey* c = queue.Add(3, 5);
  KQ_TQueueKey* before = queue.AddBefore(c, 4);
  KQ_TQueueKey* after = queue.AddAfter(a, 5);
  EXPECT_EQ(before->Priority(), 5);
  EXPECT_EQ(after->Priority(), 9);
  EXPECT_TRUE(Holds(queue, {{1, 9}, {5, 9}, {2, 5}, {4, 5}, {3, 5}}));
  queue.AddBefore(b, 6);
  EXPECT_TRUE(Holds(queue, {{1, 9}, {5, 9}, {6, 5}, {2, 5}, {4, 5}, {3, 5}}));
  // A null key: AddBefore appends at the tail, AddAfter inserts at the head,
  // each with that end's priority.
  queue.AddBefore(nullptr, 7);
  queue.AddAfter(nullptr, 8);
  EXPECT_TRUE(Holds(queue, {{8, 9}, {1, 9}, {5, 9}, {6, 5}, {2, 5}, {4, 5}, {3, 5}, {7, 5}}));
  // Keys of another queue are refused.
  KQ_TQueue other;
  KQ_TQueueKey* foreign = other.Add(0, 1);
  EXPECT_EQ(Raised([&] { queue.AddBefore(foreign, 1); }), "KQ_EElementNotInQueue");
  EXPECT_EQ(Raised([&] { queue.AddAfter(foreign, 1); }), "KQ_EElementNotInQueue");
  EXPECT_EQ(Raised([&] { queue.Rem(foreign); }), "KQ_EElementNotInQueue");
  EXPECT_EQ(Raised([&] { queue.SetPriority(foreign, 3); }), "KQ_EElementNotInQueue");
  EXPECT_EQ(queue.Entries(), 8u);
  EXPECT_EQ(other.Entries(), 1u);
}

TEST(QueueTest, SetPriorityMovesTheKeyLastAmongItsNewEquals) {
  KQ_TQueue queue;
  KQ_TQueueKey* a = queue.Add(1, 3);
  queue.Add(2, 3);
  queue.Add(3, 2);
  KQ_TQueueKey* d = queue.Add(4, 1);
  // The tail above the head's priority moves to the head.
  queue.SetPriority(d, 10);
  EXPECT_TRUE(Holds(queue, {{4, 10}, {1, 3}, {2, 3}, {3, 2}}));
  // The same priority again: last among its equals.
  queue.SetPriority(a, 3);
  EXPECT_TRUE(Holds(queue, {{4, 10}, {2, 3}, {1, 3}, {3, 2}}));
  a->SetPriority(3);
  EXPECT_TRUE(Holds(queue, {{4, 10}, {2, 3}, {1, 3}, {3, 2}})) << "already last";
  // By value, and by the key's own member.
  queue.SetPriority(KQ_TAny(4), 2);
  EXPECT_TRUE(Holds(queue, {{2, 3}, {1, 3}, {3, 2}, {4, 2}}));
  KQ_TQueueKey* const moved = &queue.KeyOf(3)->SetPriority(-5);
  EXPECT_EQ(moved, queue.KeyAtTail());
  EXPECT_TRUE(Holds(queue, {{2, 3}, {1, 3}, {4, 2}, {3, -5}}));
  queue.SetPriority(2, 2);
  EXPECT_TRUE(Holds(queue, {{1, 3}, {4, 2}, {2, 2}, {3, -5}}));
  // A literal number is a value, never a null key.
  EXPECT_EQ(Raised([&] { queue.SetPriority(0, 1); }), "KQ_EElementNotInQueue");
  EXPECT_EQ(Raised([&] { queue.SetPriority(static_cast<KQ_TQueueKey*>(nullptr), 1); }),
            "KQ_EElementNotInQueue");
  EXPECT_TRUE(Holds(queue, {{1, 3}, {4, 2}, {2, 2}, {3, -5}}));
}

TEST(QueueTest, LookupsOfMissingElementsRaise) {
  KQ_TQueue queue;
  EXPECT_FALSE(queue.Contains(1));
  EXPECT_EQ(Raised([&] { queue.KeyOf(1); }), "KQ_EElementNotInQueue");
  EXPECT_EQ(Raised([&] { queue.Head(); }), "KQ_EOutOfBoundsOfQueue");
  EXPECT_EQ(Raised([&] { queue.Tail(); }), "KQ_EOutOfBoundsOfQueue");
  EXPECT_EQ(Raised([&] { queue.KeyAtHead(); }), "KQ_EOutOfBoundsOfQueue");
  EXPECT_EQ(Raised([&] { queue.RemAtHead(); }), "KQ_EOutOfBoundsOfQueue");
  EXPECT_EQ(Raised([&] { queue.RemAtTail(); }), "KQ_EOutOfBoundsOfQueue");
  queue.Add(1, 1);
  queue.Add(2, 2);
  EXPECT_TRUE(queue.Contains(2));
  KQ_TQueue const& constant = queue;
  EXPECT_EQ(constant.KeyOf(1), constant.KeyAtTail());
  EXPECT_EQ(Raised([&] { constant.KeyOf(3); }), "KQ_EElementNotInQueue");
  EXPECT_EQ(Raised([&] { queue.PriorityOf(3); }), "KQ_EElementNotInQueue");
  EXPECT_EQ(Raised([&] { queue.Rem(3); }), "KQ_EElementNotInQueue");
  EXPECT_EQ(Raised([&] { queue -= KQ_TAny(3); }), "KQ_EElementNotInQueue");
  EXPECT_EQ(Raised([&] { queue.Rem(static_cast<KQ_TQueueKey const*>(nullptr)); }),
            "KQ_EElementNotInQueue");
  EXPECT_EQ(Raised([&] { queue.PriorityAt(2); }), "KQ_EOutOfBoundsOfQueue");
  EXPECT_EQ(Raised([&] { queue.KeyAt(2); }), "KQ_EOutOfBoundsOfQueue");
  EXPECT_EQ(Raised([&] { static_cast<void>(constant[2]); }), "KQ_EOutOfBoundsOfQueue");
  EXPECT_EQ(Raised([&] { queue.RemAt(2); }), "KQ_EOutOfBoundsOfQueue");
  EXPECT_EQ(queue.PriorityAt(1), 1);
  EXPECT_EQ(static_cast<std::int32_t>(constant.ObjectAt(0)), 2);
  queue -= 2;
  queue.RemAt(0);
  EXPECT_TRUE(Holds(queue, {}));
}

// Random operations against a model (a vector kept in the same order by
// the same rules); the order, the links and the count are checked after
// every step, so a fault in the index of priorities shows at once.
TEST(QueueTest, RandomOperationsMatchAModel) {
  std::mt19937 random(20240611);
  KQ_TQueue queue;
  Entries model;
  std::int32_t next = 0;
  auto insertLast = [&model](std::pair<std::int32_t, std::int32_t> entry) {
    auto at = std::find_if(model.rbegin(), model.rend(),
                           [&](auto const& e) { return e.second >= entry.second; });
    model.insert(at.base(), entry);
  };
  for (int step = 0; step < 4000; ++step) {
    std::int32_t const priority = static_cast<std::int32_t>(random() % 9) - 4;
    std::size_t const at = model.empty() ? 0 : random() % model.size();
    switch (random() % 9) {
      case 0:
      case 1:
        queue.AddAtTail(next, priority);
        insertLast({next++, priority});
        break;
      case 2: {
        queue.AddAtHead(next, priority);
        auto first = std::find_if(model.begin(), model.end(),
                                  [&](auto const& e) { return e.second <= priority; });
        model.insert(first, {next++, priority});
        break;
      }
      case 3:
        if (model.empty()) break;
        queue.RemAtHead();
        model.erase(model.begin());
        break;
      case 4:
        if (model.empty()) break;
        queue.RemAt(static_cast<std::uint32_t>(at));
        model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
        break;
      case 5: {
        if (model.empty()) break;
        queue.SetPriority(queue.KeyAt(static_cast<std::uint32_t>(at)), priority);
        auto moved = model[at];
        model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
        moved.second = priority;
        insertLast(moved);
        break;
      }
      case 6:
        if (model.empty()) break;
        queue.AddBefore(queue.KeyAt(static_cast<std::uint32_t>(at)), next);
        model.insert(model.begin() + static_cast<std::ptrdiff_t>(at), {next++, model[at].second});
        break;
      case 7:
        if (model.empty()) break;
        queue.AddAfter(queue.KeyAt(static_cast<std::uint32_t>(at)), next);
        model.insert(model.begin() + static_cast<std::ptrdiff_t>(at) + 1,
                     {next++, model[at].second});
        break;
      case 8:
        if (model.empty()) break;
        queue.RemAtTail();
        model.pop_back();
        break;
    }
    ASSERT_TRUE(Holds(queue, model)) << "step " << step;
  }
}

TEST(QueueTest, IterationRunsHeadToTailAndDeletesSafely) {
  KQ_TQueue queue;
  for (std::int32_t i = 0; i < 6; ++i) queue.Add(i, i % 3);
  // 2@2 5@2 1@1 4@1 0@0 3@0
  KQ_TIterator it(queue);
  auto* key = static_cast<KQ_TAny*>(it.Key().KQ_Cast("KQ_TAny"));
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->Kind(), KQ_TAny::kPointer);
  EXPECT_EQ(static_cast<void*>(*key), queue.KeyAtHead());

  std::vector<std::int32_t> seen;
  for (it.Start(); !it.IsDone(); it.Next()) {
    seen.push_back(static_cast<std::int32_t>(it.Value()));
    if (static_cast<std::int32_t>(it.Value()) % 2 == 1) it.DeleteItem();
  }
  EXPECT_EQ(seen, (std::vector<std::int32_t>{2, 5, 1, 4, 0, 3}));
  EXPECT_TRUE(Holds(queue, {{2, 2}, {4, 1}, {0, 0}}));
  seen.clear();
  KQ_TConstIterator back(queue);
  for (back.End(); !back.IsDone(); back.Prev())
    seen.push_back(static_cast<std::int32_t>(back.Value()));
  EXPECT_EQ(seen, (std::vector<std::int32_t>{0, 4, 2}));
  // Deleting everything from the head on ends the loop with an empty queue.
  for (it.Start(); !it.IsDone(); it.Next()) it.DeleteItem();
  EXPECT_TRUE(Holds(queue, {}));
  EXPECT_EQ(Raised([&] { it.Value(); }), "KQ_EIteratorOutOfBounds");
  queue.Add(9, 9);
  it.Start();
  EXPECT_EQ(static_cast<std::int32_t>(it.Value()), 9);
  KQ_TQueueIterationInfo unbound;
  EXPECT_EQ(Raised([&] { unbound.Next(); }), "KQ_EIteratorNotInitialized");
  EXPECT_EQ(Raised([&] { unbound.Key(); }), "KQ_EIteratorNotInitialized");
}

TEST(QueueTest, EqualityCopiesAndAssignment) {
  KQ_TQueue a;
  a.Add(1, 1);
  a.Add(2, 1);
  KQ_TQueue b;
  b.Add(1, 1);
  b.Add(2, 1);
  EXPECT_TRUE(a == b);
  EXPECT_TRUE(a.KQ_IsIdent(b));
  KQ_TQueue ties;
  ties.Add(2, 1);
  ties.AddAtHead(1, 1);
  EXPECT_TRUE(a == ties) << "the same order, however it was reached";
  KQ_TQueue reordered;
  reordered.Add(2, 1);
  reordered.Add(1, 1);
  EXPECT_TRUE(a != reordered);
  KQ_TQueue reprioritised;
  reprioritised.Add(1, 2);
  reprioritised.Add(2, 1);
  EXPECT_TRUE(a != reprioritised) << "same values in the same order, other priorities";

  KQ_TList list;
  list.Add(3);
  a.Add(KQ_TAny(list), 0);
  KQ_TQueue copy(a);
  EXPECT_TRUE(copy == a);
  EXPECT_NE(copy.KeyAtTail(), a.KeyAtTail());
  EXPECT_NE(&*copy.Tail(), &*a.Tail()) << "held objects are cloned";
  // The copy's index works: ties still go after the copied keys.
  copy.Add(7, 1);
  EXPECT_EQ(static_cast<std::int32_t>(copy[2]), 7);

  KQ_TQueue target;
  target.Add(99, 99);
  target = copy;
  EXPECT_TRUE(target == copy);
  for (KQ_TQueueKey const* key = target.KeyAtHead(); key != nullptr; key = key->Next()) {
    EXPECT_EQ(key->Container(), &target);
  }
  target.SetPriority(target.KeyAtTail(), 5);
  EXPECT_EQ(target.PriorityAt(0), 5);
  EXPECT_EQ(copy.PriorityAt(0), 1);
  std::unique_ptr<KQ_IPackable> clone(target.KQ_Clone());
  EXPECT_TRUE(target.KQ_IsIdent(*clone));
  EXPECT_FALSE(target.KQ_IsIdent(list));

  // Long queues are copied and destroyed without recursion.
  KQ_TQueue longQueue;
  for (std::int32_t i = 0; i < 200000; ++i) longQueue.Add(i, i % 5);
  KQ_TQueue longCopy(longQueue);
  EXPECT_EQ(longCopy.Entries(), 200000u);
  EXPECT_EQ(longCopy.PriorityAt(0), 4);
  EXPECT_EQ(static_cast<std::int32_t>(longCopy.Head()), 4);
}

TEST(QueueTest, PrintsOneGroupPerPriority) {
  KQ_TQueue queue;
  queue.Add(1, 5);
  queue.Add(KQ_TAny("two"), 5);
  queue.Add(3, -2);
  EXPECT_EQ(Printed(queue), "QUEUE\n{\n  Priority 5:\n    1\n    two\n  Priority -2:\n    3\n}");
  EXPECT_EQ(Printed(KQ_TQueue()), "QUEUE\n{\n}");

  KQ_TList list;
  list.Add(4);
  KQ_TQueue nested;
  nested.Add(KQ_TAny(list), 0);
  std::ostringstream os;
  KQ_IPrintable::SetIndentation(2);
  os << nested;
  KQ_IPrintable::SetIndentation(0);
  EXPECT_EQ(os.str(),
            "QUEUE\n  {\n    Priority 0:\n      LIST\n        {\n          4\n        }\n  }");
}

TEST(QueueTest, PacksByNameWithPrioritiesAndKeepsTheTieOrder) {
  KQ_TQueue queue;
  queue.Add(1, 2);
  queue.AddAtHead(2, 2);
  queue.Add(3, -1);
  Bytes const bytes = Packed(queue);
  EXPECT_EQ(bytes, Join({QueueHeader(3),
                         Number(0x03, 2),
                         AnyInt(2),
                         Number(0x03, 2),
                         AnyInt(1),
                         Number(0x03, 0xFFFFFFFFu),
                         AnyInt(3),
                         {0xFF}}));
  EXPECT_EQ(Packed(KQ_TQueue()), Join({QueueHeader(0), {0xFF}}));

  std::unique_ptr<KQ_IPackable> const back = Extracted(bytes);
  EXPECT_TRUE(As<KQ_TQueue>(back) == queue);
  KQ_TQueue read;
  read.Add(50, 50);
  ReadInto(read, bytes);
  EXPECT_TRUE(Holds(read, {{2, 2}, {1, 2}, {3, -1}}));

  // Unpacking inserts by priority, so even unsorted data gives a sorted
  // queue, equal elements in the order read.
  Bytes const unsorted = Join({QueueHeader(3),
                               Number(0x03, 1),
                               AnyInt(10),
                               Number(0x03, 4),
                               AnyInt(40),
                               Number(0x03, 1),
                               AnyInt(11),
                               {0xFF}});
  ReadInto(read, unsorted);
  EXPECT_TRUE(Holds(read, {{40, 4}, {10, 1}, {11, 1}}));

  KQ_TQueue nested;
  nested.Add(KQ_TAny(queue), 7);
  nested.Add(KQ_TAny("s"), 7);
  std::unique_ptr<KQ_IPackable> const nestedBack = Extracted(Packed(nested));
  EXPECT_TRUE(As<KQ_TQueue>(nestedBack) == nested);
}

TEST(QueueTest, DamagedPackedQueuesRaiseLibraryExceptions) {
  KQ_TQueue inner;
  inner.Add(KQ_TAny("x"), 1);
  KQ_TQueue queue;
  queue.Add(KQ_TAny(inner), 3);
  queue.Add(5, -3);
  Bytes const bytes = Packed(queue);
  ExpectDamageRaisesOnlyLibraryExceptions(bytes, {0x00, 0x03, 0x07, 0x0D, 0x40, 0x80, 0xFF});
  // A count far beyond the data: the elements that arrived are kept.
  Bytes const hostile = Join({QueueHeader(0xFFFFFFFFu), Number(0x03, 1), AnyInt(1)});
  EXPECT_EQ(Raised([&] { Extracted(hostile); }), "KQ_EStreamEndReached");
  KQ_TQueue partial;
  EXPECT_EQ(Raised([&] { ReadInto(partial, hostile); }), "KQ_EStreamEndReached");
  EXPECT_TRUE(Holds(partial, {{1, 1}}));
  // A priority of the wrong type.
  EXPECT_EQ(Raised([] {
              Extracted(Join({QueueHeader(1), Number(0x07, 1), AnyInt(1), {0xFF}}));
            }),
            "KQ_EWrongPackedType");
}

TEST(QueueTest, TextFormWritesPriorityAndValue) {
  KQ_TQueue queue;
  queue.Add(KQ_TAny("low"), -1);
  queue.Add(7, 3);
  queue.Add(8, 3);
  std::string const text = Text(queue);
  EXPECT_EQ(text, "KQ_TQueue {\n  3: 7\n  3: 8\n  -1: \"low\"\n}");
  EXPECT_EQ(Text(KQ_TQueue()), "KQ_TQueue {  }");

  KQ_TQueue read;
  read.Add(1, 1);
  ReadText(read, text);
  EXPECT_TRUE(read == queue);
  // Entries in any order are sorted as they arrive.
  ReadText(read, "KQ_TQueue{1:1 5 : 5\n1:2}");
  EXPECT_TRUE(Holds(read, {{5, 5}, {1, 1}, {2, 1}}));
  KQ_TQueue target;
  EXPECT_EQ(Raised([&] { ReadText(target, "KQ_TQueue { 1 2 }"); }), "KQ_EHRSyntaxError");
  EXPECT_EQ(Raised([&] { ReadText(target, "KQ_TQueue { x: 2 }"); }), "KQ_EHRSyntaxError");
  EXPECT_EQ(Raised([&] { ReadText(target, "KQ_TQueue { 1: 2"); }), "KQ_EStreamEndReached");
}

TEST(QueueTest, ClassRecordAndCasts) {
  std::unique_ptr<KQ_TObject> made(KQ_TQueue::KQ_Create());
  ASSERT_NE(made, nullptr);
  EXPECT_STREQ(made->ClassName(), "KQ_TQueue");
  EXPECT_NE(made->KQ_Cast("KQ_IPackable"), nullptr);
  EXPECT_NE(made->KQ_Cast("KQ_IIteratable"), nullptr);
  EXPECT_NE(made->KQ_Cast("KQ_IPrintable"), nullptr);
  EXPECT_NE(made->KQ_Cast("KQ_IHumanReadable"), nullptr);
  EXPECT_EQ(KQ_TClass::FindClass("KQ_TQueueIterationInfo"),
            KQ_TQueueIterationInfo::KQ_ClassObject());
  for (unsigned code = 0; code < 256; ++code) {
    EXPECT_NE(KQ_TDataStream::SpecificType(static_cast<unsigned char>(code)),
              KQ_TQueue::KQ_ClassObject());
  }
}
