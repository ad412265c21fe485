// The steps that link, unlink and find keys in a chain (KQ_TChain, declared
// with the list), written once for KQ_TList and KQ_TQueue. Internal to the
// library: only the sources of the two containers include this header, and
// it is not installed.
#pragma once

#include <cstdint>

#include "kq_tany.h"
#include "kq_tlist.h"

namespace kq {

struct ChainOps {
  // Links an unlinked key between prev and next, which must be neighbours
  // (either null at an end), and counts it.
  template <class KeyT>
  static void Link(KQ_TChain<KeyT>& chain, KeyT* key, KeyT* prev, KeyT* next) {
    key->fPrev = prev;
    key->fNext = next;
    (prev != nullptr ? prev->fNext : chain.fHead) = key;
    (next != nullptr ? next->fPrev : chain.fTail) = key;
    ++chain.fCount;
  }

  // Takes key out of the chain, leaving it unlinked.
  template <class KeyT>
  static void Unlink(KQ_TChain<KeyT>& chain, KeyT* key) {
    (key->fPrev != nullptr ? key->fPrev->fNext : chain.fHead) = key->fNext;
    (key->fNext != nullptr ? key->fNext->fPrev : chain.fTail) = key->fPrev;
    key->fPrev = nullptr;
    key->fNext = nullptr;
    --chain.fCount;
  }

  // The key at a position below the chain's count, walking from the nearer
  // end.
  template <class KeyT>
  static KeyT* At(KQ_TChain<KeyT> const& chain, std::uint32_t index) {
    KeyT* key;
    if (index < chain.fCount / 2) {
      key = chain.fHead;
      for (std::uint32_t i = 0; i < index; ++i) key = key->fNext;
    } else {
      key = chain.fTail;
      for (std::uint32_t i = chain.fCount - 1; i > index; --i) key = key->fPrev;
    }
    return key;
  }

  // The first key from the head whose value equals value, or null.
  template <class KeyT>
  static KeyT* Find(KQ_TChain<KeyT> const& chain, KQ_TAny const& value) {
    for (KeyT* key = chain.fHead; key != nullptr; key = key->fNext) {
      if (key->fValue == value) return key;
    }
    return nullptr;
  }
};

}  // namespace kq
