// KQ_TList: a doubly linked list of KQ_TAny values.
//
// Every element lives in a KQ_TListKey that callers may keep as a stable
// handle: inserting before or after a key, moving a key and removing by key
// take constant time, as do all operations at the head and the tail.
// Positions (KeyAt, RemAt, ...) are unsigned and count from the head.
//
// The list owns its keys and each key owns a copy of the value it was given
// (an object held by an Any is cloned). A key belongs to exactly one list;
// handing a list a key of another list raises KQ_EElementNotInList.
#pragma once

#include <cstdint>
#include <ostream>
#include <type_traits>

#include "kq_ihumanreadable.h"
#include "kq_iiteratable.h"
#include "kq_iiterationinfo.h"
#include "kq_ipackable.h"
#include "kq_iprintable.h"
#include "kq_tany.h"
#include "kq_tobject.h"

class KQ_TList;

namespace kq {
struct ChainOps;
}

// The chain of keys that KQ_TList and KQ_TQueue are made of, and the cursor
// that walks it.
//
// A queue is a list kept in order of priority: its keys carry one field
// more, but they are linked, read and walked exactly as a list's. The class
// templates here hold that common part once; each container names its own
// key and cursor classes on top of them, so callers only ever see
// KQ_TListKey, KQ_TListIterationInfo, KQ_TQueueKey and
// KQ_TQueueIterationInfo.

// The links and the value of one element. KeyT is the element class that
// derives from this one; ContainerT is the class that makes, links and
// destroys keys of that class (and alone, with the chain's own functions,
// may touch the fields).
template <class KeyT, class ContainerT>
class KQ_TChainKey {
 public:
  KQ_TChainKey(KQ_TChainKey const&) = delete;
  KQ_TChainKey& operator=(KQ_TChainKey const&) = delete;

  // The neighbours: null past the tail and before the head.
  KeyT* Next() { return fNext; }
  KeyT const* Next() const { return fNext; }
  KeyT* Prev() { return fPrev; }
  KeyT const* Prev() const { return fPrev; }
  KQ_TAny& Value() { return fValue; }
  KQ_TAny const& Value() const { return fValue; }
  KQ_TAny& operator*() { return fValue; }
  KQ_TAny const& operator*() const { return fValue; }
  ContainerT* Container() { return fContainer; }
  ContainerT const* Container() const { return fContainer; }

 protected:
  // An unlinked key holding ILLEGAL.
  KQ_TChainKey() = default;
  KQ_TChainKey(ContainerT* container, KQ_TAny const& value)
      : fContainer(container), fValue(value) {}
  ~KQ_TChainKey() = default;

 private:
  friend ContainerT;
  friend struct kq::ChainOps;

  ContainerT* fContainer = nullptr;
  KQ_TAny fValue;
  KeyT* fNext = nullptr;
  KeyT* fPrev = nullptr;
};

// The ends and the length of a chain of keys. The chain's own functions
// link, unlink and find keys in it; the container that holds it decides the
// rest: which keys may be linked where, what a bad position raises, how
// keys are made and destroyed.
template <class KeyT>
struct KQ_TChain {
  KeyT* fHead = nullptr;
  KeyT* fTail = nullptr;
  std::uint32_t fCount = 0;
};

// The cursor over a chain: it stands on a key, or before the head, or after
// the tail. The container must grant it its KQ_TChain fChain and offer
// Rem(KeyT const*). A cursor made without a container raises
// KQ_EIteratorNotInitialized from every operation but Clone, which each
// concrete cursor class adds.
template <class ContainerT, class KeyT>
class KQ_EXPORT KQ_TChainIterationInfo : public KQ_TObject, public virtual KQ_IIterationInfo {
 public:
  ~KQ_TChainIterationInfo() override;

  // Both KQ_TObject and KQ_IIterationInfo answer casts; the concrete cursor
  // class settles it for both with its own class protocol.
  void* KQ_DynamicInfo(char const* name) const override = 0;

  // On the head (tail); on an empty container both flags are set.
  KQ_IIterationInfo& Start() override;
  KQ_IIterationInfo& End() override;
  // Next() before the head acts as Start(); Prev() after the tail acts as
  // End(). Stepping off an end sets its flag.
  KQ_IIterationInfo& Next() override;
  KQ_IIterationInfo& Prev() override;
  bool IsBeforeStart() const override;
  bool IsAfterEnd() const override;
  // An Any of kind raw pointer holding the current key's address. The
  // cursor owns that Any; it stays valid until the next Key() call on this
  // cursor.
  KQ_IPackable& Key() override;
  KQ_TAny& Value() override;
  // Steps back with Prev(), then removes the key it stood on, so a following
  // Next() reaches the element after the removed one.
  KQ_IIterationInfo& DeleteItem() override;

 protected:
  // Positioned as by Start() over a container; over none, both flags set.
  // The container is not owned; the cursor may delete elements of it
  // through DeleteItem.
  explicit KQ_TChainIterationInfo(ContainerT const* container);
  KQ_TChainIterationInfo(KQ_TChainIterationInfo const& other) = default;
  KQ_TChainIterationInfo& operator=(KQ_TChainIterationInfo const& other) = default;

 private:
  ContainerT& Owner() const;
  KeyT& Current() const;

  ContainerT* fContainer;
  KeyT* fCurrent;
  bool fBeforeStart;
  bool fAfterEnd;
  KQ_TAny fKey;
};

// One element of a list, with the accessors of KQ_TChainKey: Next(), Prev(),
// Value(), operator*() and Container(). Only the list makes and destroys
// keys.
class KQ_EXPORT KQ_TListKey : public KQ_TChainKey<KQ_TListKey, KQ_TList> {
 private:
  friend class KQ_TList;

  // An unlinked key holding ILLEGAL.
  KQ_TListKey() = default;
  KQ_TListKey(KQ_TList* container, KQ_TAny const& value) : KQ_TChainKey(container, value) {}
  ~KQ_TListKey() = default;
};

class KQ_EXPORT KQ_TList : public KQ_TObject,
                           public virtual KQ_IPackable,
                           public virtual KQ_IIteratable,
                           public virtual KQ_IPrintable,
                           public virtual KQ_IHumanReadable {
  KQ_CLASS(KQ_TList, KQ_TObject, KQ_IPackable, KQ_IIteratable, KQ_IPrintable, KQ_IHumanReadable)
  // Registers the class with the data stream under packing code 71.
  static bool KQ_Initialize();

  KQ_TList();
  // A new key per element, in the same order.
  KQ_TList(KQ_TList const& other);
  // Destroys every key, one after the other (no recursion, whatever the
  // length).
  ~KQ_TList() override;

  // Replaces all elements with copies of the other's. When copying fails
  // the list keeps its old elements.
  virtual KQ_TList& operator=(KQ_TList const& other);
  // Unpacks the list from the stream.
  KQ_IPackable& operator=(KQ_IUnpacking& unpacker) override;

  virtual bool IsEmpty() const;
  virtual std::uint32_t Entries() const;
  // Whether some element equals value (KQ_TAny::operator==).
  virtual bool Contains(KQ_TAny const& value) const;

  // The key at a position, walking from the nearer end; an index not below
  // Entries() raises KQ_EOutOfBoundsOfList.
  virtual KQ_TListKey const* KeyAt(std::uint32_t index) const;
  virtual KQ_TListKey* KeyAt(std::uint32_t index);
  // The first key from the head whose value equals value, or null.
  virtual KQ_TListKey const* KeyOf(KQ_TAny const& value) const;
  virtual KQ_TListKey* KeyOf(KQ_TAny const& value);
  // The value at a position (as KeyAt).
  virtual KQ_TAny const& ObjectAt(std::uint32_t index) const;
  virtual KQ_TAny& ObjectAt(std::uint32_t index);
  virtual KQ_TAny const& operator[](std::uint32_t index) const;
  virtual KQ_TAny& operator[](std::uint32_t index);
  // The first and last keys and their values; KQ_EOutOfBoundsOfList on an
  // empty list.
  virtual KQ_TListKey const* KeyAtHead() const;
  virtual KQ_TListKey* KeyAtHead();
  virtual KQ_TListKey const* KeyAtTail() const;
  virtual KQ_TListKey* KeyAtTail();
  virtual KQ_TAny const& Head() const;
  virtual KQ_TAny& Head();
  virtual KQ_TAny const& Tail() const;
  virtual KQ_TAny& Tail();

  // Each Add links a new key holding a copy of value and returns it.
  // Add is AddAtTail.
  virtual KQ_TListKey* Add(KQ_TAny const& value);
  virtual KQ_TListKey* AddAtHead(KQ_TAny const& value);
  virtual KQ_TListKey* AddAtTail(KQ_TAny const& value);
  // Just before key; a null key appends at the tail.
  virtual KQ_TListKey* AddBefore(KQ_TListKey const* key, KQ_TAny const& value);
  // Just after key; a null key inserts at the head.
  virtual KQ_TListKey* AddAfter(KQ_TListKey const* key, KQ_TAny const& value);
  // Unlink key and relink it just before / after where; return key. Both
  // keys must belong to this list: a null key or where, or one of another
  // list, raises KQ_EElementNotInList. Moving a key before or after itself
  // changes nothing.
  virtual KQ_TListKey* MoveBefore(KQ_TListKey const* where, KQ_TListKey const* key);
  virtual KQ_TListKey* MoveAfter(KQ_TListKey const* where, KQ_TListKey const* key);
  // Add, returning the list.
  virtual KQ_TList& operator+=(KQ_TAny const& value);

  // Removals destroy the key and its value and return the list.
  // Rem(value) removes the first equal element; KQ_EElementNotInList when
  // there is none.
  virtual KQ_TList& Rem(KQ_TAny const& value);
  // KQ_EElementNotInList for a null key or a key of another list.
  virtual KQ_TList& Rem(KQ_TListKey const* key);
  // KQ_EOutOfBoundsOfList as KeyAt.
  virtual KQ_TList& RemAt(std::uint32_t index);
  // KQ_EOutOfBoundsOfList on an empty list.
  virtual KQ_TList& RemAtHead();
  virtual KQ_TList& RemAtTail();
  virtual KQ_TList& operator-=(KQ_TListKey const* key);
  virtual KQ_TList& operator-=(KQ_TAny const& value);
  // A number (a literal 0 included) is a value, never a null key.
  template <class T, std::enable_if_t<std::is_arithmetic_v<T>, int> = 0>
  KQ_TList& Rem(T value) {
    return Rem(KQ_TAny(value));
  }
  template <class T, std::enable_if_t<std::is_arithmetic_v<T>, int> = 0>
  KQ_TList& operator-=(T value) {
    return Rem(KQ_TAny(value));
  }

  // Same number of elements and pairwise equal values in the same order.
  virtual bool operator==(KQ_TList const& other) const;
  virtual bool operator!=(KQ_TList const& other) const;

  // A new KQ_TListIterationInfo standing on the head.
  KQ_IIterationInfo* CreateIterationInfo() const override;

  // The entry count as an unsigned 32-bit number, then every value from
  // head to tail as a packable object.
  void KQ_Pack(KQ_IPacking& packer) const override;
  // Empties the list, reads the count, then appends one Any per element. The
  // count is not trusted: nothing is reserved by it, and a stream that ends
  // early raises its own exception with the elements read so far kept.
  void KQ_Unpack(KQ_IUnpacking& unpacker) override;
  KQ_IPackable* KQ_Clone(void* where = nullptr) const override;
  // Another list with equal elements in the same order.
  bool KQ_IsIdent(KQ_IPackable const& other) const override;
  // "LIST", a line break, then at the current indentation "{", every value
  // on its own line two spaces deeper, and "}" with no line break after it.
  void PrintOn(std::ostream& os) const override;
  // True unless the list is empty.
  bool KQ_HRMultiLine() const override;
  // The values from head to tail in their text form, one a line. Returns
  // false: the framing writes and reads the closing brace.
  bool WriteTo(KQ_THumanReadableStream& stream) const override;
  // Empties the list, then appends one value per element up to the closing
  // brace, which it consumes; returns true. Malformed text raises with the
  // elements read before it kept.
  bool ReadFrom(KQ_THumanReadableStream& stream) override;

 private:
  friend class KQ_TChainIterationInfo<KQ_TList, KQ_TListKey>;

  // Links a new or unlinked key between prev and next (either may be null
  // at the ends) and counts it.
  KQ_TListKey* Link(KQ_TListKey* key, KQ_TListKey* prev, KQ_TListKey* next);
  KQ_TListKey* LinkValue(KQ_TAny const& value, KQ_TListKey* prev, KQ_TListKey* next);
  // Appends a new key whose value read(value) fills in place: no copy (and
  // no clone of a held object) per element. When reading raises, nothing is
  // appended.
  template <class Read>
  void AppendRead(Read& read);
  // The key as a key of this list, or KQ_EElementNotInList.
  KQ_TListKey* Own(KQ_TListKey const* key);
  KQ_TListKey* Walk(std::uint32_t index) const;
  KQ_TListKey* First() const;
  KQ_TListKey* Last() const;
  // Destroys every key.
  void Clear();
  // Takes over all keys of other, which is left empty.
  void TakeKeys(KQ_TList& other);

  // Keys are carved from blocks that the list allocates as it grows, each
  // twice the one before from 8 up to 4096 keys, so a long list costs one
  // allocation per 4096 elements. A removed key's room goes on a spare
  // chain for the next insertion; the blocks go back when the list becomes
  // empty or is destroyed.
  struct KeyBlock;
  // Room for one key (not yet constructed).
  void* KeyRoom();
  // Gives back the room of a key that was never constructed or is destroyed.
  void ReturnRoom(void* room);
  void DestroyKey(KQ_TListKey* key);
  void ReleaseBlocks();

  // Head, tail and entry count.
  KQ_TChain<KQ_TListKey> fChain;
  // Unused keys at the end of the newest block.
  std::uint32_t fFreshKeys;
  // Newest block first.
  KeyBlock* fBlocks;
  // Rooms of removed keys, each holding the next one's address.
  void* fSpare;
};

extern template class KQ_TChainIterationInfo<KQ_TList, KQ_TListKey>;

// The cursor of a list (see KQ_TChainIterationInfo): it stands on a key, or
// before the head, or after the tail.
class KQ_EXPORT KQ_TListIterationInfo : public KQ_TChainIterationInfo<KQ_TList, KQ_TListKey> {
  KQ_CLASS(KQ_TListIterationInfo, KQ_TObject, KQ_IIterationInfo)
  // Over no list: every operation but Clone raises KQ_EIteratorNotInitialized.
  KQ_TListIterationInfo();
  // Positioned as by Start(). The list is not owned; the cursor may delete
  // elements of it through DeleteItem.
  explicit KQ_TListIterationInfo(KQ_TList const& list);
  KQ_TListIterationInfo(KQ_TListIterationInfo const& other) = default;
  KQ_TListIterationInfo& operator=(KQ_TListIterationInfo const& other) = default;
  ~KQ_TListIterationInfo() override;

  KQ_IIterationInfo* Clone() const override;
};
