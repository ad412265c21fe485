#include "kq_tlist.h"

#include "kq_eexception.h"
#include "kq_tqueue.h"

template <class ContainerT, class KeyT>
KQ_TChainIterationInfo<ContainerT, KeyT>::KQ_TChainIterationInfo(ContainerT const* container)
    // The cursor of a container given as constant may still delete through
    // DeleteItem; KQ_TConstIterator is the read-only way to walk.
    : fContainer(const_cast<ContainerT*>(container)),
      fCurrent(nullptr),
      fBeforeStart(true),
      fAfterEnd(true) {
  if (fContainer != nullptr) Start();
}

template <class ContainerT, class KeyT>
KQ_TChainIterationInfo<ContainerT, KeyT>::~KQ_TChainIterationInfo() = default;

template <class ContainerT, class KeyT>
KQ_IIterationInfo& KQ_TChainIterationInfo<ContainerT, KeyT>::Start() {
  fCurrent = Owner().fChain.fHead;
  fBeforeStart = fAfterEnd = fCurrent == nullptr;
  return *this;
}

template <class ContainerT, class KeyT>
KQ_IIterationInfo& KQ_TChainIterationInfo<ContainerT, KeyT>::End() {
  fCurrent = Owner().fChain.fTail;
  fBeforeStart = fAfterEnd = fCurrent == nullptr;
  return *this;
}

template <class ContainerT, class KeyT>
KQ_IIterationInfo& KQ_TChainIterationInfo<ContainerT, KeyT>::Next() {
  Owner();
  if (fBeforeStart) return Start();
  if (fCurrent != nullptr) fCurrent = fCurrent->Next();
  fAfterEnd = fCurrent == nullptr;
  return *this;
}

template <class ContainerT, class KeyT>
KQ_IIterationInfo& KQ_TChainIterationInfo<ContainerT, KeyT>::Prev() {
  Owner();
  if (fAfterEnd) return End();
  if (fCurrent != nullptr) fCurrent = fCurrent->Prev();
  fBeforeStart = fCurrent == nullptr;
  return *this;
}

template <class ContainerT, class KeyT>
bool KQ_TChainIterationInfo<ContainerT, KeyT>::IsBeforeStart() const {
  Owner();
  return fBeforeStart;
}

template <class ContainerT, class KeyT>
bool KQ_TChainIterationInfo<ContainerT, KeyT>::IsAfterEnd() const {
  Owner();
  return fAfterEnd;
}

template <class ContainerT, class KeyT>
KQ_IPackable& KQ_TChainIterationInfo<ContainerT, KeyT>::Key() {
  fKey = static_cast<void*>(&Current());
  return fKey;
}

template <class ContainerT, class KeyT>
KQ_TAny& KQ_TChainIterationInfo<ContainerT, KeyT>::Value() {
  return Current().Value();
}

template <class ContainerT, class KeyT>
KQ_IIterationInfo& KQ_TChainIterationInfo<ContainerT, KeyT>::DeleteItem() {
  KeyT& removed = Current();
  Prev();
  fContainer->Rem(&removed);
  return *this;
}

template <class ContainerT, class KeyT>
ContainerT& KQ_TChainIterationInfo<ContainerT, KeyT>::Owner() const {
  if (fContainer == nullptr) KQ_THROW(KQ_EIteratorNotInitialized());
  return *fContainer;
}

template <class ContainerT, class KeyT>
KeyT& KQ_TChainIterationInfo<ContainerT, KeyT>::Current() const {
  Owner();
  if (fBeforeStart || fAfterEnd || fCurrent == nullptr) KQ_THROW(KQ_EIteratorOutOfBounds());
  return *fCurrent;
}

template class KQ_TChainIterationInfo<KQ_TList, KQ_TListKey>;
template class KQ_TChainIterationInfo<KQ_TQueue, KQ_TQueueKey>;
