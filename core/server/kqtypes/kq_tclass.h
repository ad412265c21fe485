// KQ_TClass: the run-time record of one class or interface, and the
// process-wide registry of all records by name.
//
// Records are created on first use of a class (by its record accessor, see
// kq_protocol.h) and live until the process ends. The registry lets objects
// be created by class name and lets casts by name walk a class's parents and
// interfaces without the compiler's type information.
#pragma once

#include <cstdint>

#include "kq_types.h"

class KQ_TObject;

class KQ_EXPORT KQ_TClass {
 public:
  using Factory_t = KQ_TObject* (*)();
  using InitFunction_t = bool (*)();

  // Fills the fields (flags false, no interfaces) and appends the record to
  // its name's bucket. The name is not copied: it must live for the whole
  // process.
  KQ_TClass(bool isInterface, char const* name, std::uint32_t size, KQ_TClass const* parent,
            Factory_t factory, InitFunction_t initFunction);
  KQ_TClass(KQ_TClass const&) = delete;
  // Copies all ten fields; the interface array is shared, not copied.
  KQ_TClass& operator=(KQ_TClass const& other);

  // The record registered under name, or a new one built from the arguments.
  // An existing record is returned unchanged: the first registration wins.
  static KQ_TClass* GetClassObject(bool isInterface, char const* name, std::uint32_t size,
                                   KQ_TClass const* parent, Factory_t factory,
                                   InitFunction_t initFunction);
  // The newest record registered under exactly this name, or null.
  static KQ_TClass* FindClass(char const* name);
  // True once the first Initialize() that did work has run.
  static bool Initialized();

  // True when name is this class or one of its ancestors.
  bool HasSuperclass(char const* name) const;
  // True when one of the interfaces this record declares (or their own
  // super-interfaces) has the name. Parents are not consulted.
  bool Implements(char const* name) const;
  KQ_TClass& AddInterface(KQ_TClass const* interfaceRecord);
  // A new default instance, owned by the caller; null without a factory.
  KQ_TObject* CreateInstance() const;
  // Initialises parent, interfaces and then the class itself; see the source.
  bool Initialize() const;

  bool IsInterface() const { return fIsInterface; }
  bool IsInitialized() const { return fIsInitialized; }
  char const* ClassName() const { return fName; }
  std::uint32_t Size() const { return fSize; }
  Factory_t Factory() const { return fFactory; }
  InitFunction_t InitFunction() const { return fInitFunction; }
  KQ_TClass const* ParentClass() const { return fParent; }
  std::uint32_t NrOfInterfaces() const { return fNrOfInterfaces; }
  KQ_TClass const* const* Interfaces() const { return fInterfaces; }

  // Used by the record accessors of the class protocol: a record is set up
  // once its interfaces have been attached.
  bool IsSetUp() const { return fIsSetUp; }
  void MarkSetUp() { fIsSetUp = true; }

  // The built-in records of the basic value types held by KQ_TAny.
  static KQ_TClass sIllegal, sNull, sInt8, sInt16, sInt32, sInt64, sUInt8, sUInt16, sUInt32,
      sUInt64, sBool, sChar, sFloat, sDouble, sPointer, sCPointer;
  static KQ_TClass const& IllegalClass() { return sIllegal; }
  static KQ_TClass const& NullClass() { return sNull; }
  static KQ_TClass const& KQ_TInt8Class() { return sInt8; }
  static KQ_TClass const& KQ_TInt16Class() { return sInt16; }
  static KQ_TClass const& KQ_TInt32Class() { return sInt32; }
  static KQ_TClass const& KQ_TInt64Class() { return sInt64; }
  static KQ_TClass const& KQ_TUInt8Class() { return sUInt8; }
  static KQ_TClass const& KQ_TUInt16Class() { return sUInt16; }
  static KQ_TClass const& KQ_TUInt32Class() { return sUInt32; }
  static KQ_TClass const& KQ_TUInt64Class() { return sUInt64; }
  static KQ_TClass const& KQ_TBoolClass() { return sBool; }
  static KQ_TClass const& KQ_TCharClass() { return sChar; }
  static KQ_TClass const& KQ_TFloatClass() { return sFloat; }
  static KQ_TClass const& KQ_TDoubleClass() { return sDouble; }
  static KQ_TClass const& KQ_TPointerClass() { return sPointer; }
  static KQ_TClass const& KQ_TCPointerClass() { return sCPointer; }

  // Bucket index of a name in the 4096-bucket registry.
  static std::uint32_t BucketOf(char const* name);

 private:
  bool RecImplements(char const* name) const;

  bool fIsSetUp;
  bool fIsInterface;
  mutable bool fIsInitialized;
  char const* fName;
  std::uint32_t fSize;
  Factory_t fFactory;
  InitFunction_t fInitFunction;
  KQ_TClass const* fParent;
  std::uint32_t fNrOfInterfaces;
  KQ_TClass const** fInterfaces;
};
