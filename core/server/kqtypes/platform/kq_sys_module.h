// Modules (shared libraries) under KQ_TDynamicObject: load one by path, look
// its symbols up, take another reference to it, keep it in memory for good,
// and release it.
//
// The loader reports failures in text rather than through the last error:
// the functions that can fail hand that text out (UTF-8 as the system gives
// it) and leave the last error as it was.
#pragma once

#include <string>

#include "kq_types.h"

namespace kq::sys {

class Module;

// Loads the module at path and binds all its symbols at once. The libraries
// it needs are looked for next to it first, then where the system looks;
// a path without "/" is looked for where the system looks only. Null, with
// the loader's text in error, when it cannot be loaded.
Module* LoadModule(char const* path, std::string& error);
// Another reference to a loaded module, or null with the loader's text.
Module* RetainModule(Module* module, std::string& error);
// The address of an exported symbol, or null with the loader's text.
void* ModuleSymbol(Module* module, char const* name, std::string& error);
// Keeps the module (and what it needs) in memory after its last release.
void KeepModuleResident(Module* module);
// Gives up the reference. False, with the loader's text, when it refuses.
bool ReleaseModule(Module* module, std::string& error);

// What separates the entries of the search path PATH.
char SearchPathSeparator();

}  // namespace kq::sys
