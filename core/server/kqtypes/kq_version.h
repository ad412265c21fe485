// The library's version. The build reads it from here, so the shared
// library's file names, the CMake package and the pkg-config file carry
// the same numbers.
#pragma once

#define KQTYPES_VERSION_MAJOR 0
#define KQTYPES_VERSION_MINOR 1
#define KQTYPES_VERSION_PATCH 0
#define KQTYPES_VERSION_STRING "0.1.0"
// One number that grows with every release: major * 10000 + minor * 100 + patch.
#define KQTYPES_VERSION (KQTYPES_VERSION_MAJOR * 10000 + KQTYPES_VERSION_MINOR * 100 + KQTYPES_VERSION_PATCH)
