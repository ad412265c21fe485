#include "kq_titerator.h"

#include "kq_eexception.h"

KQ_CLASS_IMPL(KQ_TIterator)
KQ_CLASS_IMPL(KQ_TConstIterator)

namespace {

KQ_IIterationInfo* CloneOf(KQ_IIterationInfo const* info) {
  return info == nullptr ? nullptr : info->Clone();
}

}  // namespace

KQ_TIterator::KQ_TIterator() : fContainer(nullptr), fInfo(nullptr) {}

KQ_TIterator::KQ_TIterator(KQ_IIteratable& container)
    : fContainer(&container), fInfo(container.CreateIterationInfo()) {}

KQ_TIterator::KQ_TIterator(KQ_TIterator const& other)
    : KQ_IInterface(other),
      KQ_TObject(other),
      fContainer(other.fContainer),
      fInfo(CloneOf(other.fInfo)) {}

KQ_TIterator::~KQ_TIterator() { delete fInfo; }

KQ_TIterator& KQ_TIterator::operator=(KQ_IIteratable& container) {
  KQ_IIterationInfo* fresh = container.CreateIterationInfo();
  delete fInfo;
  fInfo = fresh;
  fContainer = &container;
  return *this;
}

KQ_TIterator& KQ_TIterator::operator=(KQ_TIterator const& other) {
  if (this == &other) return *this;
  KQ_IIterationInfo* fresh = CloneOf(other.fInfo);
  delete fInfo;
  fInfo = fresh;
  fContainer = other.fContainer;
  return *this;
}

KQ_IIterationInfo& KQ_TIterator::Cursor() const {
  if (fInfo == nullptr) KQ_THROW(KQ_EIteratorNotInitialized());
  return *fInfo;
}

KQ_TIterator& KQ_TIterator::Start() {
  Cursor().Start();
  return *this;
}

KQ_TIterator& KQ_TIterator::Next() {
  Cursor().Next();
  return *this;
}

KQ_TIterator& KQ_TIterator::Prev() {
  Cursor().Prev();
  return *this;
}

KQ_TIterator& KQ_TIterator::End() {
  Cursor().End();
  return *this;
}

KQ_TIterator& KQ_TIterator::DeleteItem() {
  Cursor().DeleteItem();
  return *this;
}

bool KQ_TIterator::IsBeforeStart() const { return Cursor().IsBeforeStart(); }

bool KQ_TIterator::IsAfterEnd() const { return Cursor().IsAfterEnd(); }

bool KQ_TIterator::IsDone() const {
  KQ_IIterationInfo const& cursor = Cursor();
  return cursor.IsBeforeStart() || cursor.IsAfterEnd();
}

KQ_TIterator& KQ_TIterator::operator++() { return Next(); }

KQ_TIterator& KQ_TIterator::operator++(int) { return Next(); }

KQ_TIterator& KQ_TIterator::operator--() { return Prev(); }

KQ_TIterator& KQ_TIterator::operator--(int) { return Prev(); }

KQ_IPackable& KQ_TIterator::Key() const { return Cursor().Key(); }

KQ_TAny& KQ_TIterator::Value() const { return Cursor().Value(); }

KQ_TConstIterator::KQ_TConstIterator() : fContainer(nullptr), fInfo(nullptr) {}

KQ_TConstIterator::KQ_TConstIterator(KQ_IIteratable const& container)
    : fContainer(&container), fInfo(container.CreateIterationInfo()) {}

KQ_TConstIterator::KQ_TConstIterator(KQ_TConstIterator const& other)
    : KQ_IInterface(other),
      KQ_TObject(other),
      fContainer(other.fContainer),
      fInfo(CloneOf(other.fInfo)) {}

KQ_TConstIterator::KQ_TConstIterator(KQ_TIterator const& other)
    : KQ_IInterface(other),
      KQ_TObject(other),
      fContainer(other.fContainer),
      fInfo(CloneOf(other.fInfo)) {}

KQ_TConstIterator::~KQ_TConstIterator() { delete fInfo; }

KQ_TConstIterator& KQ_TConstIterator::operator=(KQ_IIteratable const& container) {
  KQ_IIterationInfo* fresh = container.CreateIterationInfo();
  delete fInfo;
  fInfo = fresh;
  fContainer = &container;
  return *this;
}

KQ_TConstIterator& KQ_TConstIterator::operator=(KQ_TConstIterator const& other) {
  if (this == &other) return *this;
  KQ_IIterationInfo* fresh = CloneOf(other.fInfo);
  delete fInfo;
  fInfo = fresh;
  fContainer = other.fContainer;
  return *this;
}

KQ_IIterationInfo& KQ_TConstIterator::Cursor() const {
  if (fInfo == nullptr) KQ_THROW(KQ_EIteratorNotInitialized());
  return *fInfo;
}

KQ_TConstIterator& KQ_TConstIterator::Start() {
  Cursor().Start();
  return *this;
}

KQ_TConstIterator& KQ_TConstIterator::Next() {
  Cursor().Next();
  return *this;
}

KQ_TConstIterator& KQ_TConstIterator::Prev() {
  Cursor().Prev();
  return *this;
}

KQ_TConstIterator& KQ_TConstIterator::End() {
  Cursor().End();
  return *this;
}

bool KQ_TConstIterator::IsBeforeStart() const { return Cursor().IsBeforeStart(); }

bool KQ_TConstIterator::IsAfterEnd() const { return Cursor().IsAfterEnd(); }

bool KQ_TConstIterator::IsDone() const {
  KQ_IIterationInfo const& cursor = Cursor();
  return cursor.IsBeforeStart() || cursor.IsAfterEnd();
}

KQ_TConstIterator& KQ_TConstIterator::operator++() { return Next(); }

KQ_TConstIterator& KQ_TConstIterator::operator++(int) { return Next(); }

KQ_TConstIterator& KQ_TConstIterator::operator--() { return Prev(); }

KQ_TConstIterator& KQ_TConstIterator::operator--(int) { return Prev(); }

KQ_IPackable const& KQ_TConstIterator::Key() const { return Cursor().Key(); }

KQ_TAny const& KQ_TConstIterator::Value() const { return Cursor().Value(); }
