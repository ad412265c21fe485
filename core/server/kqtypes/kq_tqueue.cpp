#include "kq_tqueue.h"

#include <iterator>
#include <utility>

#include "internal/kq_read_budget.h"
#include "internal/kq_tlist_chain.h"
#include "kq_eexception.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_thumanreadablestream.h"

KQ_CLASS_IMPL(KQ_TQueue)
KQ_CLASS_IMPL(KQ_TQueueIterationInfo)

// The chain's functions, each given the chain they work on.
using Chain = kq::ChainOps;

KQ_TQueueKey& KQ_TQueueKey::SetPriority(std::int32_t priority) {
  Container()->SetPriority(this, priority);
  return *this;
}

KQ_TQueue::KQ_TQueue() = default;

// Delegating first: once the empty queue is made, the destructor cleans up
// after a copy that raises.
KQ_TQueue::KQ_TQueue(KQ_TQueue const& other) : KQ_TQueue() {
  for (KQ_TQueueKey const* key = other.fChain.fHead; key != nullptr; key = key->fNext) {
    // Every key so far has a priority at least this one's: it goes last.
    Insert(new KQ_TQueueKey(this, key->fValue, key->fPriority), true);
  }
}

KQ_TQueue::~KQ_TQueue() { Clear(); }

KQ_TQueue& KQ_TQueue::operator=(KQ_TQueue const& other) {
  if (this == &other) return *this;
  KQ_TQueue copy(other);
  Swap(copy);
  return *this;
}

KQ_IPackable& KQ_TQueue::operator=(KQ_IUnpacking& unpacker) {
  return KQ_IPackable::operator=(unpacker);
}

bool KQ_TQueue::IsEmpty() const { return fChain.fCount == 0; }

std::uint32_t KQ_TQueue::Entries() const { return fChain.fCount; }

bool KQ_TQueue::Contains(KQ_TAny const& value) const {
  return Chain::Find(fChain, value) != nullptr;
}

KQ_TQueueKey const* KQ_TQueue::KeyAt(std::uint32_t index) const { return Walk(index); }

KQ_TQueueKey* KQ_TQueue::KeyAt(std::uint32_t index) { return Walk(index); }

KQ_TQueueKey const* KQ_TQueue::KeyOf(KQ_TAny const& value) const {
  KQ_TQueueKey const* key = Chain::Find(fChain, value);
  if (key == nullptr) KQ_THROW(KQ_EElementNotInQueue());
  return key;
}

KQ_TQueueKey* KQ_TQueue::KeyOf(KQ_TAny const& value) {
  KQ_TQueueKey* key = Chain::Find(fChain, value);
  if (key == nullptr) KQ_THROW(KQ_EElementNotInQueue());
  return key;
}

std::int32_t KQ_TQueue::PriorityAt(std::uint32_t index) const { return Walk(index)->fPriority; }

std::int32_t KQ_TQueue::PriorityOf(KQ_TAny const& value) const { return KeyOf(value)->fPriority; }

KQ_TAny const& KQ_TQueue::ObjectAt(std::uint32_t index) const { return Walk(index)->fValue; }

KQ_TAny& KQ_TQueue::ObjectAt(std::uint32_t index) { return Walk(index)->fValue; }

KQ_TAny const& KQ_TQueue::operator[](std::uint32_t index) const { return ObjectAt(index); }

KQ_TAny& KQ_TQueue::operator[](std::uint32_t index) { return ObjectAt(index); }

KQ_TQueueKey const* KQ_TQueue::KeyAtHead() const { return First(); }

KQ_TQueueKey* KQ_TQueue::KeyAtHead() { return First(); }

KQ_TQueueKey const* KQ_TQueue::KeyAtTail() const { return Last(); }

KQ_TQueueKey* KQ_TQueue::KeyAtTail() { return Last(); }

KQ_TAny const& KQ_TQueue::Head() const { return First()->fValue; }

KQ_TAny& KQ_TQueue::Head() { return First()->fValue; }

KQ_TAny const& KQ_TQueue::Tail() const { return Last()->fValue; }

KQ_TAny& KQ_TQueue::Tail() { return Last()->fValue; }

KQ_TQueueKey* KQ_TQueue::Add(KQ_TAny const& value, std::int32_t priority) {
  return AddAtTail(value, priority);
}

KQ_TQueueKey* KQ_TQueue::Add(KQ_TAny const& value) { return AddAtTail(value); }

KQ_TQueueKey* KQ_TQueue::AddAtHead(KQ_TAny const& value, std::int32_t priority) {
  return Insert(new KQ_TQueueKey(this, value, priority), false);
}

KQ_TQueueKey* KQ_TQueue::AddAtHead(KQ_TAny const& value) {
  // First among the keys of the head's priority is the head itself.
  return AddAtHead(value, fChain.fHead != nullptr ? fChain.fHead->fPriority : 0);
}

KQ_TQueueKey* KQ_TQueue::AddAtTail(KQ_TAny const& value, std::int32_t priority) {
  return Insert(new KQ_TQueueKey(this, value, priority), true);
}

KQ_TQueueKey* KQ_TQueue::AddAtTail(KQ_TAny const& value) {
  return AddAtTail(value, fChain.fTail != nullptr ? fChain.fTail->fPriority : 0);
}

KQ_TQueueKey* KQ_TQueue::AddBefore(KQ_TQueueKey const* key, KQ_TAny const& value) {
  if (key == nullptr) return AddAtTail(value);
  KQ_TQueueKey* where = Own(key);
  // The run of where's priority exists, so nothing is allocated but the key.
  auto* added = new KQ_TQueueKey(this, value, where->fPriority);
  return LinkAt(added, where->fPrev, where, fRuns.find(where->fPriority)->second);
}

KQ_TQueueKey* KQ_TQueue::AddAfter(KQ_TQueueKey const* key, KQ_TAny const& value) {
  if (key == nullptr) return AddAtHead(value);
  KQ_TQueueKey* where = Own(key);
  auto* added = new KQ_TQueueKey(this, value, where->fPriority);
  return LinkAt(added, where, where->fNext, fRuns.find(where->fPriority)->second);
}

KQ_TQueue& KQ_TQueue::operator+=(KQ_TAny const& value) {
  Add(value);
  return *this;
}

KQ_TQueue& KQ_TQueue::Rem(KQ_TAny const& value) { return Rem(KeyOf(value)); }

KQ_TQueue& KQ_TQueue::Rem(KQ_TQueueKey const* key) {
  KQ_TQueueKey* removed = Own(key);
  Unlink(removed);
  delete removed;
  return *this;
}

KQ_TQueue& KQ_TQueue::RemAt(std::uint32_t index) { return Rem(Walk(index)); }

KQ_TQueue& KQ_TQueue::RemAtHead() { return Rem(First()); }

KQ_TQueue& KQ_TQueue::RemAtTail() { return Rem(Last()); }

KQ_TQueue& KQ_TQueue::operator-=(KQ_TQueueKey const* key) { return Rem(key); }

KQ_TQueue& KQ_TQueue::operator-=(KQ_TAny const& value) { return Rem(value); }

KQ_TQueue& KQ_TQueue::SetPriority(KQ_TAny const& value, std::int32_t priority) {
  return SetPriority(KeyOf(value), priority);
}

KQ_TQueue& KQ_TQueue::SetPriority(KQ_TQueueKey const* key, std::int32_t priority) {
  KQ_TQueueKey* moved = Own(key);
  if (priority == moved->fPriority) {
    Run& run = fRuns.find(priority)->second;
    if (run.fLast == moved) return *this;
    // The run keeps at least one other key, so it outlives the unlinking.
    KQ_TQueueKey* const last = run.fLast;
    Unlink(moved);
    LinkAt(moved, last, last->fNext, run);
    return *this;
  }
  // The run of the new priority is made before anything changes; removing
  // the key from its old run leaves this entry of the index in place.
  RunIndex::iterator const run = fRuns.try_emplace(priority, Run{nullptr, nullptr}).first;
  Unlink(moved);
  moved->fPriority = priority;
  Place(moved, run, true);
  return *this;
}

bool KQ_TQueue::operator==(KQ_TQueue const& other) const {
  if (fChain.fCount != other.fChain.fCount) return false;
  KQ_TQueueKey const* mine = fChain.fHead;
  KQ_TQueueKey const* theirs = other.fChain.fHead;
  for (; mine != nullptr; mine = mine->fNext, theirs = theirs->fNext) {
    if (mine->fPriority != theirs->fPriority || !(mine->fValue == theirs->fValue)) return false;
  }
  return true;
}

bool KQ_TQueue::operator!=(KQ_TQueue const& other) const { return !(*this == other); }

KQ_IIterationInfo* KQ_TQueue::CreateIterationInfo() const {
  return new KQ_TQueueIterationInfo(*this);
}

void KQ_TQueue::KQ_Pack(KQ_IPacking& packer) const {
  packer << fChain.fCount;
  for (KQ_TQueueKey const* key = fChain.fHead; key != nullptr; key = key->fNext) {
    packer << key->fPriority << static_cast<KQ_IPackable const&>(key->fValue);
  }
}

void KQ_TQueue::KQ_Unpack(KQ_IUnpacking& unpacker) {
  Clear();
  std::uint32_t count = 0;
  unpacker >> count;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::int32_t priority = 0;
    KQ_TAny value;
    unpacker >> priority >> static_cast<KQ_IPackable&>(value);
    kq::ReadBudget::Charge(sizeof(KQ_TQueueKey));
    // Into a new key without copying (and cloning) the value read.
    auto* key = new KQ_TQueueKey(priority);
    key->fValue.Swap(value);
    Insert(key, true);
  }
}

KQ_IPackable* KQ_TQueue::KQ_Clone(void*) const { return new KQ_TQueue(*this); }

bool KQ_TQueue::KQ_IsIdent(KQ_IPackable const& other) const {
  auto const* queue = static_cast<KQ_TQueue const*>(other.KQ_Cast(KQ_ClassName()));
  return queue != nullptr && *this == *queue;
}

void KQ_TQueue::PrintOn(std::ostream& os) const {
  os << "QUEUE\n" << KQ_IPrintable::Prefix() << "{\n";
  {
    KQ_IPrintable::IndentLevel const groups;
    for (KQ_TQueueKey const* key = fChain.fHead; key != nullptr; key = key->fNext) {
      if (key->fPrev == nullptr || key->fPrev->fPriority != key->fPriority) {
        os << KQ_IPrintable::Prefix() << "Priority " << key->fPriority << ":\n";
      }
      KQ_IPrintable::IndentLevel const element;
      os << KQ_IPrintable::Prefix();
      {
        // A value printed over several lines puts them one level deeper.
        KQ_IPrintable::IndentLevel const nested;
        key->fValue.PrintOn(os);
      }
      os << '\n';
    }
  }
  os << KQ_IPrintable::Prefix() << '}';
}

bool KQ_TQueue::WriteTo(KQ_THumanReadableStream& stream) const {
  for (KQ_TQueueKey const* key = fChain.fHead; key != nullptr; key = key->fNext) {
    if (key != fChain.fHead) stream << cr;
    stream << key->fPriority;
    stream.WriteTokens(": ");
    stream << static_cast<KQ_IHumanReadable const&>(key->fValue);
  }
  return false;
}

bool KQ_TQueue::ReadFrom(KQ_THumanReadableStream& stream) {
  Clear();
  while (stream.PeekNonWhite() != '}') {
    std::int32_t priority = 0;
    stream >> priority;
    stream.Expect(':');
    KQ_TAny value;
    stream >> static_cast<KQ_IHumanReadable&>(value);
    kq::ReadBudget::Charge(sizeof(KQ_TQueueKey));
    auto* key = new KQ_TQueueKey(priority);
    key->fValue.Swap(value);
    Insert(key, true);
  }
  stream.Read();
  return true;
}

bool KQ_TQueue::KQ_HRMultiLine() const { return fChain.fCount != 0; }

KQ_TQueueKey* KQ_TQueue::Insert(KQ_TQueueKey* key, bool last) {
  RunIndex::iterator run;
  try {
    run = fRuns.try_emplace(key->fPriority, Run{nullptr, nullptr}).first;
  } catch (...) {
    delete key;
    throw;
  }
  return Place(key, run, last);
}

KQ_TQueueKey* KQ_TQueue::Place(KQ_TQueueKey* key, RunIndex::iterator run, bool last) {
  Run& own = run->second;
  KQ_TQueueKey* prev;
  KQ_TQueueKey* next;
  if (last) {
    // After the last key of the lowest priority not below the key's: its own
    // run, or else the run just above it in the index; at the head when
    // there is none.
    if (own.fFirst != nullptr) {
      prev = own.fLast;
    } else {
      RunIndex::iterator const above = std::next(run);
      prev = above != fRuns.end() ? above->second.fLast : nullptr;
    }
    next = prev != nullptr ? prev->fNext : fChain.fHead;
  } else {
    // Before the first key of the highest priority not above the key's; at
    // the tail when there is none.
    if (own.fFirst != nullptr) {
      next = own.fFirst;
    } else {
      next = run != fRuns.begin() ? std::prev(run)->second.fFirst : nullptr;
    }
    prev = next != nullptr ? next->fPrev : fChain.fTail;
  }
  return LinkAt(key, prev, next, own);
}

KQ_TQueueKey* KQ_TQueue::LinkAt(KQ_TQueueKey* key, KQ_TQueueKey* prev, KQ_TQueueKey* next,
                                Run& run) {
  key->fContainer = this;
  Chain::Link(fChain, key, prev, next);
  std::int32_t const priority = key->fPriority;
  if (run.fFirst == nullptr) {
    run.fFirst = run.fLast = key;
  } else {
    // Keys of one priority are neighbours: the key ends the run on a side
    // where its neighbour has another priority.
    if (prev == nullptr || prev->fPriority != priority) run.fFirst = key;
    if (next == nullptr || next->fPriority != priority) run.fLast = key;
  }
  return key;
}

void KQ_TQueue::Unlink(KQ_TQueueKey* key) {
  RunIndex::iterator const run = fRuns.find(key->fPriority);
  if (run->second.fFirst == key && run->second.fLast == key) {
    fRuns.erase(run);
  } else if (run->second.fFirst == key) {
    run->second.fFirst = key->fNext;
  } else if (run->second.fLast == key) {
    run->second.fLast = key->fPrev;
  }
  Chain::Unlink(fChain, key);
}

KQ_TQueueKey* KQ_TQueue::Own(KQ_TQueueKey const* key) {
  if (key == nullptr || key->fContainer != this) KQ_THROW(KQ_EElementNotInQueue());
  // A key of this queue is reachable through this non-const queue anyway.
  return const_cast<KQ_TQueueKey*>(key);
}

KQ_TQueueKey* KQ_TQueue::Walk(std::uint32_t index) const {
  if (index >= fChain.fCount) KQ_THROW(KQ_EOutOfBoundsOfQueue());
  return Chain::At(fChain, index);
}

KQ_TQueueKey* KQ_TQueue::First() const {
  if (fChain.fHead == nullptr) KQ_THROW(KQ_EOutOfBoundsOfQueue());
  return fChain.fHead;
}

KQ_TQueueKey* KQ_TQueue::Last() const {
  if (fChain.fTail == nullptr) KQ_THROW(KQ_EOutOfBoundsOfQueue());
  return fChain.fTail;
}

void KQ_TQueue::Clear() {
  KQ_TQueueKey* key = fChain.fHead;
  while (key != nullptr) {
    KQ_TQueueKey* next = key->fNext;
    delete key;
    key = next;
  }
  fChain = {};
  fRuns.clear();
}

void KQ_TQueue::Swap(KQ_TQueue& other) {
  std::swap(fChain, other.fChain);
  fRuns.swap(other.fRuns);
  for (KQ_TQueueKey* key = fChain.fHead; key != nullptr; key = key->fNext) key->fContainer = this;
  for (KQ_TQueueKey* key = other.fChain.fHead; key != nullptr; key = key->fNext) {
    key->fContainer = &other;
  }
}

KQ_TQueueIterationInfo::KQ_TQueueIterationInfo() : KQ_TChainIterationInfo(nullptr) {}

KQ_TQueueIterationInfo::KQ_TQueueIterationInfo(KQ_TQueue const& queue)
    : KQ_TChainIterationInfo(&queue) {}

KQ_TQueueIterationInfo::~KQ_TQueueIterationInfo() = default;

KQ_IIterationInfo* KQ_TQueueIterationInfo::Clone() const {
  return new KQ_TQueueIterationInfo(*this);
}
