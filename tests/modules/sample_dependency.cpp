// A library that the sample module needs and that lies next to it, where
// only the module loader's look beside a module finds it.
extern "C" __attribute__((visibility("default"))) int SampleDependencyAnswer() { return 42; }
