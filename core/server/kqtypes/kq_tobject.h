// KQ_TObject: the root of all concrete classes. It has no data; it carries
// the class protocol for itself and the instance operations that every class
// inherits.
#pragma once

#include "kq_iinterface.h"

class KQ_EXPORT KQ_TObject : public virtual KQ_IInterface {
 public:
  using KQ_ParentType = void;
  KQ_PROTOCOL_STATICS_
  static KQ_TObject* KQ_Create();
  // Class-level set-up; a class that needs some declares its own.
  static bool KQ_Initialize() { return true; }

  KQ_TObject() = default;
  KQ_TObject(KQ_TObject const&) = default;
  KQ_TObject& operator=(KQ_TObject const&) = default;
  ~KQ_TObject() override = default;

  // True when the class declares the named interface (see KQ_TClass).
  virtual bool Implements(char const* name) const;

  void* KQ_MostDerivedObject() const override;
  // Recognises only "KQ_TObject" (and a null name).
  void* KQ_DynamicInfo(char const* name) const override;
  KQ_TClass const& ClassObject() const override;
  char const* ClassName() const override;
  bool HasSuperclass(char const* name) const override;
  void* KQ_Cast(char const* name) const override;
};
