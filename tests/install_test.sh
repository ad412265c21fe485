#!/usr/bin/env bash
# Installs a built tree into a scratch prefix and builds the demo program
# against the installed copy twice: once through find_package(kqtypes), once
# through pkg-config. Also checks that only the libraries, the headers and the
# package files are installed, and that every installed header compiles on its
# own with nothing but the installed include path.
# Usage: install_test.sh <build dir> <source dir> <C++ compiler>
# The cmake to use comes from $CMAKE (default: cmake on the PATH).
# Exit status 77 means the pkg-config half was skipped (no pkg-config).
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 <build dir> <source dir> <C++ compiler>" >&2
  exit 2
fi
build=$1
source=$2
cxx=$3
cmake=${CMAKE:-cmake}

prefix=$(mktemp -d)
consumer=$(mktemp -d)
trap 'rm -rf "$prefix" "$consumer"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

echo "--- installing into $prefix"
"$cmake" --install "$build" --prefix "$prefix"

# Every installed file is a header under include/kqtypes, a library, a
# package file or the kqdump tool; no test, benchmark or example programs.
libdir=
for candidate in "$prefix"/lib "$prefix"/lib64 "$prefix"/lib/*-linux-gnu; do
  if [ -e "$candidate/libkqtypes.so" ]; then
    libdir=$candidate
    break
  fi
done
[ -n "$libdir" ] || fail "libkqtypes.so not installed"
rel_libdir=${libdir#"$prefix"/}
unexpected=$(find "$prefix" \( -type f -o -type l \) -printf '%P\n' | grep -Ev \
  -e "^include/kqtypes/[a-z0-9_]+\.h$" \
  -e "^$rel_libdir/lib(kqtypes|pathbridge)\.so(\.[0-9]+)*$" \
  -e "^$rel_libdir/cmake/kqtypes/kqtypes(Config|ConfigVersion|Targets|Targets-[a-z]+)\.cmake$" \
  -e "^$rel_libdir/pkgconfig/kqtypes\.pc$" \
  -e "^bin/kqdump$" || true)
[ -z "$unexpected" ] || fail "unexpected installed files: $unexpected"

for header in "$source"/core/server/kqtypes/*.h "$source"/core/server/pathbridge/*.h; do
  [ -f "$prefix/include/kqtypes/$(basename "$header")" ] || fail "header $(basename "$header") not installed"
done
for lib in kqtypes pathbridge; do
  [ -L "$libdir/lib$lib.so" ] || fail "lib$lib.so is not the development symlink"
  target=$(readlink "$libdir/lib$lib.so")
  case $target in
    lib$lib.so.[0-9]*) ;;
    *) fail "lib$lib.so points at $target, not at the versioned library" ;;
  esac
done

# One source that includes each installed header alone, in its own
# translation unit, so a header that needs an uninstalled one fails here.
mkdir "$consumer/headers"
header_sources=
for header in "$prefix"/include/kqtypes/*.h; do
  name=$(basename "$header" .h)
  printf '#include "%s.h"\n' "$name" >"$consumer/headers/$name.cpp"
  header_sources="$header_sources headers/$name.cpp"
done
cp "$source/examples/demo.cpp" "$consumer/demo.cpp"

check_demo() {
  local program=$1 output
  output=$(LD_LIBRARY_PATH="$libdir" "$program") || fail "$program exited with status $?"
  grep -qx "created a KQ_TString; implements KQ_IPackable: yes; superclass KQ_TObject: yes" <<<"$output" ||
    fail "$program did not print the object model line; it printed: $output"
  grep -qx "== Exception ==" <<<"$output" || fail "$program stopped before its last section: $output"
}

echo "--- building the demo with find_package(kqtypes)"
cat >"$consumer/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.16)
project(kqtypes_consumer LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
find_package(kqtypes 0 REQUIRED)
add_executable(demo demo.cpp)
target_link_libraries(demo PRIVATE kqtypes::kqtypes)
add_library(headers OBJECT $header_sources)
target_link_libraries(headers PRIVATE kqtypes::kqtypes)
EOF
"$cmake" -S "$consumer" -B "$consumer/build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix"
"$cmake" --build "$consumer/build" -j2
check_demo "$consumer/build/demo"

echo "--- building the demo with pkg-config"
if ! command -v pkg-config >/dev/null; then
  echo "pkg-config not found: skipping the pkg-config half"
  exit 77
fi
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
"$cxx" -std=c++17 -o "$consumer/demo_pc" "$consumer/demo.cpp" $(pkg-config --cflags --libs kqtypes)
check_demo "$consumer/demo_pc"
echo "install test passed"
