#include "kq_tobject.h"

KQ_TClass const* KQ_TObject::KQ_ClassObject() {
  static KQ_TClass const* const record = [] {
    KQ_TClass* r = KQ_TClass::GetClassObject(false, "KQ_TObject", sizeof(KQ_TObject), nullptr,
                                             nullptr, nullptr);
    r->MarkSetUp();
    return r;
  }();
  return record;
}

KQ_TObject* KQ_TObject::KQ_Create() { return new KQ_TObject(); }

bool KQ_TObject::Implements(char const* name) const { return ClassObject().Implements(name); }

void* KQ_TObject::KQ_MostDerivedObject() const { return const_cast<KQ_TObject*>(this); }

void* KQ_TObject::KQ_DynamicInfo(char const* name) const {
  if (name == nullptr) return const_cast<KQ_TClass*>(KQ_ClassObject());
  return kq::SameName(name, "KQ_TObject") ? const_cast<KQ_TObject*>(this) : nullptr;
}

KQ_TClass const& KQ_TObject::ClassObject() const {
  return *static_cast<KQ_TClass const*>(KQ_DynamicInfo(nullptr));
}

char const* KQ_TObject::ClassName() const { return ClassObject().ClassName(); }

bool KQ_TObject::HasSuperclass(char const* name) const { return ClassObject().HasSuperclass(name); }

void* KQ_TObject::KQ_Cast(char const* name) const {
  return name == nullptr ? nullptr : KQ_DynamicInfo(name);
}
