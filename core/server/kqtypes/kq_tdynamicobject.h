// KQ_TDynamicObject: a module (shared library) loaded by path, its own
// class library initialised, its symbols looked up by name, and unloaded
// again.
//
// Modules written on this library export an initialisation function named
// __KQ_INITIALIZATION_FUNCTION_ followed by their module name and two
// underscores, taking nothing and returning true when the module is ready
// (as extern "C" bool __KQ_INITIALIZATION_FUNCTION_shapes__()). Loading with
// a name calls it; a module without it, or whose function returns false, is
// released again and KQ_ECouldNotLoadDynamicObject is raised with the
// message "Initialization Failed". Loading with an empty name skips it. The
// classes of a module register themselves by name while it is loaded, so
// KQ_TClass::FindClass and the readers of packed objects know them from
// then on (a KQ_TUnknown holding one of their objects turns into the real
// object).
//
// Search path: loading a module from a directory puts that directory in
// front of PATH, unless PATH lists it already (whole entries, compared
// without regard to letter case), so that programs started afterwards find
// what lies beside the module. A directory holding PATH's separator is not
// added, nor the root. The libraries a module needs are found next to it.
// The change stays in the process environment; two threads loading modules
// from different directories at the same time race on it.
//
// Staying in memory: class records are never freed, and those of a module
// point into it (its class names, its factories). A module built on this
// library (one that needs the library, so that its classes may have
// registered) therefore stays in memory once loaded, even after the last
// object that loaded it has let go of it, and even when its initialisation
// failed. Other modules are unloaded with their last reference.
//
// Every loaded object holds a reference of its own: copies load the same
// module again (without initialising it again) and may go in any order.
//
// Failures carry the path or the symbol name as their value; a failure of
// the system carries the loader's own text after the class name in its
// message. One thread at a time per object.
#pragma once

#include "kq_tobject.h"
#include "kq_tstring.h"
#include "kq_turl.h"

class KQ_EXPORT KQ_TDynamicObject : public KQ_TObject {
  KQ_CLASS(KQ_TDynamicObject, KQ_TObject)
  // Nothing loaded.
  KQ_TDynamicObject();
  // Loads path and calls the initialisation function of the module name
  // (none for an empty name). KQ_ECouldNotLoadDynamicObject when either
  // fails.
  KQ_TDynamicObject(KQ_TString const& path, KQ_TString const& name);
  // The same with the local file that url names (KQ_ENotALocalURL for one
  // that names no local file).
  KQ_TDynamicObject(KQ_TURL const& url, KQ_TString const& name);
  // Loads the other's module again, without initialising it and without
  // touching PATH. KQ_ECouldNotLoadDynamicObject when the system refuses.
  KQ_TDynamicObject(KQ_TDynamicObject const& other);
  // Releases the module; a refusal of the system is dropped.
  ~KQ_TDynamicObject() override;

  // Releases this object's module (KQ_ECouldNotUnloadDynamicObject when the
  // system refuses, and the module stays), then loads the other's as the
  // copy constructor does. Self-assignment does nothing.
  KQ_TDynamicObject& operator=(KQ_TDynamicObject const& other);
  // Releases this object's module as above, then loads path with the
  // module name its file name gives: without directory, without a leading
  // "lib" and without anything from the first "." on ("/opt/libshapes.so.1"
  // gives "shapes").
  KQ_TDynamicObject& operator=(KQ_TString const& path);

  // The address of the exported symbol. KQ_EDynamicObjectIsNotLoaded while
  // nothing is loaded; KQ_EDynamicObjectSymbolNotFound for a symbol the
  // module does not export.
  void* operator[](KQ_TString const& symbol) const;

  // The path as it was given.
  KQ_TString const& Path() const { return fPath; }
  bool IsLoaded() const { return fHandle != nullptr; }

 private:
  struct Handle;

  // Loads fPath with the module name; the object must be unloaded.
  void Load(KQ_TString const& name);
  // Loads the other's module again into this unloaded object.
  void Retain(KQ_TDynamicObject const& other);
  // Releases the module, raising when the system refuses.
  void Unload();

  KQ_TString fPath;
  // The loader's handle; null while nothing is loaded.
  Handle* fHandle;
};
