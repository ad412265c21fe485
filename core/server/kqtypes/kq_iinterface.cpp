#include "kq_iinterface.h"

#include "kq_eexception.h"

KQ_TClass const* KQ_IInterface::KQ_ClassObject() {
  return ::kq::InterfaceRecordOf<KQ_IInterface>("KQ_IInterface");
}

void* KQ_IInterface::KQ_MostDerivedObject() const { return const_cast<KQ_IInterface*>(this); }

void* KQ_IInterface::KQ_DynamicInfo(char const* name) const {
  if (name == nullptr) return const_cast<KQ_TClass*>(KQ_ClassObject());
  return kq::SameName(name, "KQ_IInterface") ? const_cast<KQ_IInterface*>(this) : nullptr;
}

KQ_TClass const& KQ_IInterface::ClassObject() const {
  return *static_cast<KQ_TClass const*>(KQ_DynamicInfo(nullptr));
}

char const* KQ_IInterface::ClassName() const { return ClassObject().ClassName(); }

bool KQ_IInterface::HasSuperclass(char const* name) const {
  return ClassObject().HasSuperclass(name);
}

bool KQ_IInterface::HasInterface(char const* name) const { return ClassObject().Implements(name); }

void* KQ_IInterface::KQ_Cast(char const* name) const {
  return name == nullptr ? nullptr : KQ_DynamicInfo(name);
}

void* KQ_IInterface::DynamicCast(char const* name) { return DynamicCast(name, __FILE__, __LINE__); }

void const* KQ_IInterface::DynamicCast(char const* name) const {
  return DynamicCast(name, __FILE__, __LINE__);
}

void* KQ_IInterface::DynamicCast(char const* name, char const* file, int line) {
  return const_cast<void*>(static_cast<KQ_IInterface const*>(this)->DynamicCast(name, file, line));
}

void const* KQ_IInterface::DynamicCast(char const* name, char const* file, int line) const {
  if (void* part = KQ_Cast(name)) return part;
  KQ_EIllegalCast failure(KQ_TString::Format("Illegal cast from \"%s\" to \"%s\"", ClassName(),
                                             name == nullptr ? "" : name));
  failure.__PREPARE_FOR_THROW__(static_cast<std::uint32_t>(line), file);
  failure.KQ_Throw();
  return nullptr;
}
