// The class protocol, written once.
//
// Every class and interface of the library describes itself by a KQ_TClass
// record and answers casts by name. The members that do this are the same
// for every class but for the names, so a class states its protocol in two
// lines: one in its header, one in its source file.
//
//   // kq_tstring.h
//   class KQ_EXPORT KQ_TString : public KQ_TObject,
//                                public virtual KQ_IHashable,
//                                public virtual KQ_IPrintable {
//     KQ_CLASS(KQ_TString, KQ_TObject, KQ_IHashable, KQ_IPrintable)
//     ...
//   };
//   // kq_tstring.cpp
//   KQ_CLASS_IMPL(KQ_TString)
//
// KQ_CLASS names the class, its parent and the interfaces it declares
// directly, in declaration order (the order casts search them and the order
// their records are attached). It opens a public section. An interface uses
// KQ_INTERFACE(name, super-interface) and KQ_INTERFACE_IMPL(name).
//
// KQ_CLASS_IMPL also registers the class when the program or module that
// holds it is loaded, so that it is known by name (to FindClass, and to the
// readers that create objects by class name) before any code names it; once
// the library has been initialised, the class is initialised there too.
//
// A class's factory is its KQ_Create when the class is concrete and
// default-constructible; its init function is its own static KQ_Initialize
// when it declares one (the do-nothing KQ_TObject::KQ_Initialize registers
// none).
#pragma once

#include <cstring>
#include <type_traits>

#include "kq_tclass.h"

namespace kq {

template <class... T>
struct TypeList {};

// The parent and the directly declared interfaces named by KQ_CLASS.
template <class Parent, class... Interfaces>
struct ClassShape {
  using ParentType = Parent;
  using InterfaceTypes = TypeList<Interfaces...>;
};

// Creates a class's record while its module is loaded (see above).
struct KQ_EXPORT ClassRegistration {
  explicit ClassRegistration(KQ_TClass const* (*accessor)());
};

template <class... I>
void AttachInterfaces([[maybe_unused]] KQ_TClass* record, TypeList<I...>) {
  (record->AddInterface(I::KQ_ClassObject()), ...);
}

template <class X, class... I>
void* InterfacesDynamicInfo([[maybe_unused]] X const* self, [[maybe_unused]] char const* name,
                            TypeList<I...>) {
  void* found = nullptr;
  ((found = found != nullptr ? found : static_cast<I const*>(self)->I::KQ_DynamicInfo(name)), ...);
  return found;
}

template <class X>
KQ_TObject* CreateDefault() {
  if constexpr (!std::is_abstract_v<X> && std::is_default_constructible_v<X>) {
    return new X();
  } else {
    return nullptr;
  }
}

template <class X>
KQ_TClass::Factory_t FactoryOf() {
  if constexpr (!std::is_abstract_v<X> && std::is_default_constructible_v<X>) {
    return &X::KQ_Create;
  } else {
    return nullptr;
  }
}

// The record accessor of a class: parent first, then the record itself,
// then (once per record) its interfaces. The result is cached, so after the
// first call an accessor costs one load.
template <class X>
KQ_TClass const* ClassRecordOf(char const* name, KQ_TClass::InitFunction_t inherited) {
  static KQ_TClass const* const record = [name, inherited] {
    KQ_TClass const* parent = X::KQ_ParentType::KQ_ClassObject();
    KQ_TClass::InitFunction_t init = &X::KQ_Initialize;
    KQ_TClass* r = KQ_TClass::GetClassObject(false, name, sizeof(X), parent, FactoryOf<X>(),
                                             init == inherited ? nullptr : init);
    if (!r->IsSetUp()) {
      AttachInterfaces(r, typename X::KQ_InterfaceTypes{});
      r->MarkSetUp();
    }
    return r;
  }();
  return record;
}

template <class I>
KQ_TClass const* InterfaceRecordOf(char const* name) {
  static KQ_TClass const* const record = [name] {
    KQ_TClass* r = KQ_TClass::GetClassObject(true, name, 0, nullptr, nullptr, nullptr);
    if (!r->IsSetUp()) {
      if constexpr (!std::is_void_v<typename I::KQ_SuperInterface>) {
        r->AddInterface(I::KQ_SuperInterface::KQ_ClassObject());
      }
      r->MarkSetUp();
    }
    return r;
  }();
  return record;
}

// Cast by name: the class itself, its parent chain, then its interfaces.
template <class X>
void* ClassDynamicInfo(X const* self, char const* name, char const* ownName) {
  if (name == nullptr) return const_cast<KQ_TClass*>(X::KQ_ClassObject());
  if (SameName(name, ownName)) return const_cast<X*>(self);
  using Parent = typename X::KQ_ParentType;
  if (void* found = static_cast<Parent const*>(self)->Parent::KQ_DynamicInfo(name)) return found;
  return InterfacesDynamicInfo(self, name, typename X::KQ_InterfaceTypes{});
}

template <class I>
void* InterfaceDynamicInfo(I const* self, char const* name, char const* ownName) {
  if (name == nullptr) return const_cast<KQ_TClass*>(I::KQ_ClassObject());
  if (SameName(name, ownName)) return const_cast<I*>(self);
  using Super = typename I::KQ_SuperInterface;
  return static_cast<Super const*>(self)->Super::KQ_DynamicInfo(name);
}

}  // namespace kq

// Static members shared by classes and interfaces.
#define KQ_PROTOCOL_STATICS_                                                                       \
  static KQ_TClass const* KQ_ClassObject();                                                        \
  static bool KQ_IsInterface() { return KQ_ClassObject()->IsInterface(); }                         \
  static char const* KQ_ClassName() { return KQ_ClassObject()->ClassName(); }                      \
  static KQ_TClass::Factory_t KQ_Factory() { return KQ_ClassObject()->Factory(); }                 \
  static bool KQ_HasSuperclass(char const* name) { return KQ_ClassObject()->HasSuperclass(name); } \
  static bool KQ_HasInterface(char const* name) { return KQ_ClassObject()->Implements(name); }     \
  static KQ_TClass const* KQ_ParentClass() { return KQ_ClassObject()->ParentClass(); }

#define KQ_CLASS(X, ...)                                                              \
 public:                                                                              \
  using KQ_ParentType = typename ::kq::ClassShape<__VA_ARGS__>::ParentType;         \
  using KQ_InterfaceTypes = typename ::kq::ClassShape<__VA_ARGS__>::InterfaceTypes; \
  KQ_PROTOCOL_STATICS_                                   \
  static KQ_TObject* KQ_Create();                        \
  void* KQ_MostDerivedObject() const override;           \
  void* KQ_DynamicInfo(char const* name) const override; \
                                                         \
 public:

// The protocol's members of a class whose record is made on its first use
// only: by name the class is unknown until then.
#define KQ_CLASS_IMPL_ON_FIRST_USE(X)                                    \
  KQ_TClass const* X::KQ_ClassObject() {                                 \
    return ::kq::ClassRecordOf<X>(#X, &KQ_TObject::KQ_Initialize);       \
  }                                                                      \
  KQ_TObject* X::KQ_Create() { return ::kq::CreateDefault<X>(); }        \
  void* X::KQ_MostDerivedObject() const { return const_cast<X*>(this); } \
  void* X::KQ_DynamicInfo(char const* name) const {                      \
    return ::kq::ClassDynamicInfo<X>(this, name, #X);                    \
  }

#define KQ_CLASS_IMPL(X)                                                 \
  KQ_CLASS_IMPL_ON_FIRST_USE(X)                                          \
  namespace {                                                            \
  ::kq::ClassRegistration const kq_registration_##X(&X::KQ_ClassObject); \
  }

#define KQ_INTERFACE(I, Super)                           \
 public:                                                 \
  using KQ_SuperInterface = Super;                       \
  KQ_PROTOCOL_STATICS_                                   \
  void* KQ_DynamicInfo(char const* name) const override; \
                                                         \
 public:

#define KQ_INTERFACE_IMPL(I)                                                      \
  KQ_TClass const* I::KQ_ClassObject() { return ::kq::InterfaceRecordOf<I>(#I); } \
  void* I::KQ_DynamicInfo(char const* name) const {                               \
    return ::kq::InterfaceDynamicInfo<I>(this, name, #I);                         \
  }
