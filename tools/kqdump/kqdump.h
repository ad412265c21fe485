// kqdump as a function, for its program and for the fuzzer that drives it.
#pragma once

namespace kqdump {

// Runs kqdump with the command line argv (argv[0] the program's name) and
// returns its exit status: 0 success, 1 bad data, 2 bad usage or a file that
// cannot be opened or written. Writes to standard output and standard error.
int Main(int argc, char** argv);

}  // namespace kqdump
