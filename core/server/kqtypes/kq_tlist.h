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
#include "kq_tlist_chain.h"
#include "kq_tobject.h"

class KQ_TList;

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
