// KQ_IInterface: the root of the object model. Every interface derives
// virtually from it and every class reaches it through KQ_TObject, so an
// object holds exactly one KQ_IInterface part however many interfaces it has.
#pragma once

#include "kq_protocol.h"

class KQ_EXPORT KQ_IInterface {
 public:
  using KQ_SuperInterface = void;
  KQ_PROTOCOL_STATICS_

  KQ_IInterface() = default;
  // Interfaces hold no state: copying copies nothing.
  KQ_IInterface(KQ_IInterface const&) {}
  KQ_IInterface& operator=(KQ_IInterface const&) { return *this; }

  // The address of the complete object.
  virtual void* KQ_MostDerivedObject() const;
  // Null name: the most derived class's record. Otherwise the address of the
  // part of this object with that class or interface name, or null.
  virtual void* KQ_DynamicInfo(char const* name) const;
  virtual KQ_TClass const& ClassObject() const;
  virtual char const* ClassName() const;
  virtual bool HasSuperclass(char const* name) const;
  virtual bool HasInterface(char const* name) const;
  virtual ~KQ_IInterface() = default;
  // Null for a null name, else KQ_DynamicInfo(name).
  virtual void* KQ_Cast(char const* name) const;

  // KQ_Cast that raises KQ_EIllegalCast when there is no such part. The forms
  // with file and line attach the exception to the caller's own source place.
  void* DynamicCast(char const* name);
  void const* DynamicCast(char const* name) const;
  void* DynamicCast(char const* name, char const* file, int line);
  void const* DynamicCast(char const* name, char const* file, int line) const;
};
