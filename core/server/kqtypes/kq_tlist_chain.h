// The chain of keys that KQ_TList and KQ_TQueue are made of, and the cursor
// that walks it.
//
// A queue is a list kept in order of priority: its keys carry one field
// more, but they are linked, read and walked exactly as a list's. The two
// class templates here hold that common part once; each container names
// its own key and cursor classes on top of them, so callers only ever see
// KQ_TListKey, KQ_TListIterationInfo, KQ_TQueueKey and
// KQ_TQueueIterationInfo.
#pragma once

#include <cstdint>

#include "kq_iiterationinfo.h"
#include "kq_tany.h"
#include "kq_tobject.h"

template <class KeyT>
struct KQ_TChain;

// The links and the value of one element. KeyT is the element class that
// derives from this one; ContainerT is the class that makes, links and
// destroys keys of that class (and alone may touch the fields).
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
  friend struct KQ_TChain<KeyT>;

  ContainerT* fContainer = nullptr;
  KQ_TAny fValue;
  KeyT* fNext = nullptr;
  KeyT* fPrev = nullptr;
};

// The ends and the length of a chain of keys, and the steps that link,
// unlink and find keys in it. The container that holds it decides the rest:
// which keys may be linked where, what a bad position raises, how keys are
// made and destroyed.
template <class KeyT>
struct KQ_TChain {
  KeyT* fHead = nullptr;
  KeyT* fTail = nullptr;
  std::uint32_t fCount = 0;

  // Links an unlinked key between prev and next, which must be neighbours
  // (either null at an end), and counts it.
  void Link(KeyT* key, KeyT* prev, KeyT* next) {
    key->fPrev = prev;
    key->fNext = next;
    (prev != nullptr ? prev->fNext : fHead) = key;
    (next != nullptr ? next->fPrev : fTail) = key;
    ++fCount;
  }

  // Takes key out of the chain, leaving it unlinked.
  void Unlink(KeyT* key) {
    (key->fPrev != nullptr ? key->fPrev->fNext : fHead) = key->fNext;
    (key->fNext != nullptr ? key->fNext->fPrev : fTail) = key->fPrev;
    key->fPrev = nullptr;
    key->fNext = nullptr;
    --fCount;
  }

  // The key at a position below fCount, walking from the nearer end.
  KeyT* At(std::uint32_t index) const {
    KeyT* key;
    if (index < fCount / 2) {
      key = fHead;
      for (std::uint32_t i = 0; i < index; ++i) key = key->fNext;
    } else {
      key = fTail;
      for (std::uint32_t i = fCount - 1; i > index; --i) key = key->fPrev;
    }
    return key;
  }

  // The first key from the head whose value equals value, or null.
  KeyT* Find(KQ_TAny const& value) const {
    for (KeyT* key = fHead; key != nullptr; key = key->fNext) {
      if (key->fValue == value) return key;
    }
    return nullptr;
  }
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
