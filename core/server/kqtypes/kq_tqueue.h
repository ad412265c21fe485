// KQ_TQueue: a priority queue kept as a doubly linked list of KQ_TAny values,
// each with a signed 32-bit priority.
//
// The list is always sorted by priority, highest at the head, so Head() is
// the most urgent element. Ties are broken by the end the caller names:
// AddAtTail puts a new element last among its equals (first in, first out),
// AddAtHead first. Like a list, the queue hands out KQ_TQueueKey handles
// that stay valid until their element is removed; unlike a list, looking up
// a value that is not there raises KQ_EElementNotInQueue.
//
// Finding the place of a new priority does not walk the list: the queue
// keeps, for every priority it holds, the first and the last key of that
// priority in an ordered index, so inserting costs O(log p) for p distinct
// priorities and removing at either end constant time plus the index update.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <type_traits>

#include "kq_ihumanreadable.h"
#include "kq_iiteratable.h"
#include "kq_iiterationinfo.h"
#include "kq_ipackable.h"
#include "kq_iprintable.h"
#include "kq_tany.h"
#include "kq_tlist.h"
#include "kq_tobject.h"

class KQ_TQueue;

// One element of a queue, with the accessors of KQ_TChainKey: Next()
// (towards the tail, lower or equal priority), Prev() (towards the head),
// Value(), operator*() and Container(). Only the queue makes and destroys
// keys.
class KQ_EXPORT KQ_TQueueKey : public KQ_TChainKey<KQ_TQueueKey, KQ_TQueue> {
 public:
  std::int32_t Priority() const { return fPriority; }
  // The queue's SetPriority(this key, priority): the key moves to the last
  // place among the keys of its new priority.
  KQ_TQueueKey& SetPriority(std::int32_t priority);

 private:
  friend class KQ_TQueue;

  KQ_TQueueKey(KQ_TQueue* container, KQ_TAny const& value, std::int32_t priority)
      : KQ_TChainKey(container, value), fPriority(priority) {}
  // An unlinked key holding ILLEGAL.
  explicit KQ_TQueueKey(std::int32_t priority) : fPriority(priority) {}
  ~KQ_TQueueKey() = default;

  std::int32_t fPriority;
};

class KQ_EXPORT KQ_TQueue : public KQ_TObject,
                            public virtual KQ_IPackable,
                            public virtual KQ_IIteratable,
                            public virtual KQ_IPrintable,
                            public virtual KQ_IHumanReadable {
  KQ_CLASS(KQ_TQueue, KQ_TObject, KQ_IPackable, KQ_IIteratable, KQ_IPrintable, KQ_IHumanReadable)
  KQ_TQueue();
  // A new key per element, same priorities, same order.
  KQ_TQueue(KQ_TQueue const& other);
  // Destroys every key, one after the other (no recursion, whatever the
  // length).
  ~KQ_TQueue() override;

  // Replaces all elements with copies of the other's. When copying fails the
  // queue keeps its old elements.
  virtual KQ_TQueue& operator=(KQ_TQueue const& other);
  // Unpacks the queue from the stream.
  KQ_IPackable& operator=(KQ_IUnpacking& unpacker) override;

  virtual bool IsEmpty() const;
  virtual std::uint32_t Entries() const;
  // Whether some element equals value (KQ_TAny::operator==).
  virtual bool Contains(KQ_TAny const& value) const;

  // The key at a position from the head, walking from the nearer end;
  // KQ_EOutOfBoundsOfQueue for an index not below Entries().
  virtual KQ_TQueueKey const* KeyAt(std::uint32_t index) const;
  virtual KQ_TQueueKey* KeyAt(std::uint32_t index);
  // The first key from the head whose value equals value;
  // KQ_EElementNotInQueue when there is none (never null).
  virtual KQ_TQueueKey const* KeyOf(KQ_TAny const& value) const;
  virtual KQ_TQueueKey* KeyOf(KQ_TAny const& value);
  // The priority at a position (KQ_EOutOfBoundsOfQueue as KeyAt) and of the
  // first element equal to value (KQ_EElementNotInQueue as KeyOf).
  virtual std::int32_t PriorityAt(std::uint32_t index) const;
  virtual std::int32_t PriorityOf(KQ_TAny const& value) const;
  // The value at a position (as KeyAt).
  virtual KQ_TAny const& ObjectAt(std::uint32_t index) const;
  virtual KQ_TAny& ObjectAt(std::uint32_t index);
  virtual KQ_TAny const& operator[](std::uint32_t index) const;
  virtual KQ_TAny& operator[](std::uint32_t index);
  // The first (highest priority) and last keys and their values;
  // KQ_EOutOfBoundsOfQueue on an empty queue.
  virtual KQ_TQueueKey const* KeyAtHead() const;
  virtual KQ_TQueueKey* KeyAtHead();
  virtual KQ_TQueueKey const* KeyAtTail() const;
  virtual KQ_TQueueKey* KeyAtTail();
  virtual KQ_TAny const& Head() const;
  virtual KQ_TAny& Head();
  virtual KQ_TAny const& Tail() const;
  virtual KQ_TAny& Tail();

  // Each Add links a new key holding a copy of value and returns it.
  // Add is AddAtTail.
  virtual KQ_TQueueKey* Add(KQ_TAny const& value, std::int32_t priority);
  virtual KQ_TQueueKey* Add(KQ_TAny const& value);
  // Before every key of priority at most priority: first among its equals.
  virtual KQ_TQueueKey* AddAtHead(KQ_TAny const& value, std::int32_t priority);
  // At the head with the head's priority (0 on an empty queue).
  virtual KQ_TQueueKey* AddAtHead(KQ_TAny const& value);
  // After every key of priority at least priority: last among its equals.
  virtual KQ_TQueueKey* AddAtTail(KQ_TAny const& value, std::int32_t priority);
  // At the tail with the tail's priority (0 on an empty queue).
  virtual KQ_TQueueKey* AddAtTail(KQ_TAny const& value);
  // Just before / after key, with key's priority. A null key means
  // AddAtTail(value) for AddBefore and AddAtHead(value) for AddAfter; a key
  // of another queue raises KQ_EElementNotInQueue.
  virtual KQ_TQueueKey* AddBefore(KQ_TQueueKey const* key, KQ_TAny const& value);
  virtual KQ_TQueueKey* AddAfter(KQ_TQueueKey const* key, KQ_TAny const& value);
  // Add(value), returning the queue.
  virtual KQ_TQueue& operator+=(KQ_TAny const& value);

  // Removals destroy the key and its value and return the queue.
  // Rem(value) removes the first equal element; KQ_EElementNotInQueue when
  // there is none.
  virtual KQ_TQueue& Rem(KQ_TAny const& value);
  // KQ_EElementNotInQueue for a null key or a key of another queue.
  virtual KQ_TQueue& Rem(KQ_TQueueKey const* key);
  // KQ_EOutOfBoundsOfQueue as KeyAt.
  virtual KQ_TQueue& RemAt(std::uint32_t index);
  // KQ_EOutOfBoundsOfQueue on an empty queue.
  virtual KQ_TQueue& RemAtHead();
  virtual KQ_TQueue& RemAtTail();
  virtual KQ_TQueue& operator-=(KQ_TQueueKey const* key);
  virtual KQ_TQueue& operator-=(KQ_TAny const& value);
  // Gives the first element equal to value (SetPriority(KeyOf(value), ...))
  // or key, which must belong to this queue, the priority and moves it last
  // among the keys of that priority. KQ_EElementNotInQueue as KeyOf and Rem.
  virtual KQ_TQueue& SetPriority(KQ_TAny const& value, std::int32_t priority);
  virtual KQ_TQueue& SetPriority(KQ_TQueueKey const* key, std::int32_t priority);
  // A number (a literal 0 included) is a value, never a null key.
  template <class T, std::enable_if_t<std::is_arithmetic_v<T>, int> = 0>
  KQ_TQueue& Rem(T value) {
    return Rem(KQ_TAny(value));
  }
  template <class T, std::enable_if_t<std::is_arithmetic_v<T>, int> = 0>
  KQ_TQueue& operator-=(T value) {
    return Rem(KQ_TAny(value));
  }
  template <class T, std::enable_if_t<std::is_arithmetic_v<T>, int> = 0>
  KQ_TQueue& SetPriority(T value, std::int32_t priority) {
    return SetPriority(KQ_TAny(value), priority);
  }

  // Same number of elements and, position by position, equal priorities
  // and equal values.
  virtual bool operator==(KQ_TQueue const& other) const;
  virtual bool operator!=(KQ_TQueue const& other) const;

  // A new KQ_TQueueIterationInfo standing on the head.
  KQ_IIterationInfo* CreateIterationInfo() const override;

  // The entry count as an unsigned 32-bit number, then per element from
  // head to tail its priority (32-bit signed) and its value as a packable
  // object. The queue has no packing code of its own: it is packed under
  // its class name.
  void KQ_Pack(KQ_IPacking& packer) const override;
  // Empties the queue, reads the count, then inserts each element read with
  // AddAtTail(value, priority), which rebuilds the same order. The count is
  // not trusted: nothing is reserved by it, and a stream that ends early
  // raises its own exception with the elements read so far kept.
  void KQ_Unpack(KQ_IUnpacking& unpacker) override;
  KQ_IPackable* KQ_Clone(void* where = nullptr) const override;
  // Another queue equal by operator==.
  bool KQ_IsIdent(KQ_IPackable const& other) const override;
  // "QUEUE", a line break, then at the current indentation "{", one line
  // "Priority N:" two spaces deeper for each run of equal priorities, each
  // value on its own line two spaces deeper again, and "}" with no line
  // break after it.
  void PrintOn(std::ostream& os) const override;
  // One line per element from head to tail: the priority, ": " and the
  // value in its text form. Returns false: the framing writes and reads the
  // closing brace.
  bool WriteTo(KQ_THumanReadableStream& stream) const override;
  // Empties the queue, then inserts every "priority: value" read up to the
  // closing brace, which it consumes, with AddAtTail(value, priority);
  // returns true. A missing ":" raises KQ_EHRSyntaxError with the elements
  // read before kept.
  bool ReadFrom(KQ_THumanReadableStream& stream) override;
  // True unless the queue is empty.
  bool KQ_HRMultiLine() const override;

 private:
  friend class KQ_TChainIterationInfo<KQ_TQueue, KQ_TQueueKey>;

  // The first and the last key of one priority (equal priorities are
  // always neighbours).
  struct Run {
    KQ_TQueueKey* fFirst;
    KQ_TQueueKey* fLast;
  };
  // Ascending by priority, so the runs of higher priority come later.
  using RunIndex = std::map<std::int32_t, Run>;

  // Takes over a new unlinked key and links it by the AddAtTail rule (last)
  // or the AddAtHead rule; when the index cannot record its priority the key
  // is destroyed.
  KQ_TQueueKey* Insert(KQ_TQueueKey* key, bool last);
  // Links an unlinked key by the AddAtTail rule (last) or the AddAtHead rule;
  // run is the index entry of its priority, empty when the queue holds no
  // other key of that priority.
  KQ_TQueueKey* Place(KQ_TQueueKey* key, RunIndex::iterator run, bool last);
  // Links key between prev and next (either null at the ends), which must
  // keep the order, counts it and updates run, the entry of its priority.
  KQ_TQueueKey* LinkAt(KQ_TQueueKey* key, KQ_TQueueKey* prev, KQ_TQueueKey* next, Run& run);
  // Takes key out of the chain and the index without destroying it.
  void Unlink(KQ_TQueueKey* key);
  // The key as a key of this queue, or KQ_EElementNotInQueue.
  KQ_TQueueKey* Own(KQ_TQueueKey const* key);
  KQ_TQueueKey* Walk(std::uint32_t index) const;
  KQ_TQueueKey* First() const;
  KQ_TQueueKey* Last() const;
  // Destroys every key.
  void Clear();
  void Swap(KQ_TQueue& other);

  // Head, tail and entry count.
  KQ_TChain<KQ_TQueueKey> fChain;
  RunIndex fRuns;
};

extern template class KQ_TChainIterationInfo<KQ_TQueue, KQ_TQueueKey>;

// The cursor of a queue (see KQ_TChainIterationInfo): it stands on a key,
// or before the head, or after the tail.
class KQ_EXPORT KQ_TQueueIterationInfo : public KQ_TChainIterationInfo<KQ_TQueue, KQ_TQueueKey> {
  KQ_CLASS(KQ_TQueueIterationInfo, KQ_TObject, KQ_IIterationInfo)
  // Over no queue: every operation but Clone raises
  // KQ_EIteratorNotInitialized.
  KQ_TQueueIterationInfo();
  // Positioned as by Start(). The queue is not owned; the cursor may delete
  // elements of it through DeleteItem.
  explicit KQ_TQueueIterationInfo(KQ_TQueue const& queue);
  KQ_TQueueIterationInfo(KQ_TQueueIterationInfo const& other) = default;
  KQ_TQueueIterationInfo& operator=(KQ_TQueueIterationInfo const& other) = default;
  ~KQ_TQueueIterationInfo() override;

  KQ_IIterationInfo* Clone() const override;
};
