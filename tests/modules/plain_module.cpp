// A module that knows nothing of the library: it has no initialisation
// function and is unloaded with its last reference.
extern "C" __attribute__((visibility("default"))) int PlainModuleValue() { return 7; }
