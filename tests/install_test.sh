#!/usr/bin/env bash
# Installs a built tree into a scratch prefix and uses it as a newcomer
# would, in a clean environment (no LD_LIBRARY_PATH, no project settings):
# runs the installed kqdump; builds the demo and the example of one's own
# class against the installed copy through find_package(kqtypes) and through
# pkg-config and runs them, the class's objects packed by one process and
# read by another that never names the class; and builds the demo with the
# source tree added to another project (add_subdirectory), which must not
# bring the tests along. Also checks that only the libraries, the headers,
# the licence and the package files are installed, and that every installed
# header compiles on its own, warning-free with -Wpedantic, with nothing but
# the installed include path.
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
  -e "^bin/kqdump$" \
  -e "^share/doc/kqtypes/LICENSE$" || true)
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

# The installed tool starts without help from the environment.
env -i "$prefix/bin/kqdump" --help >/dev/null || fail "the installed kqdump does not start"

# One source that includes each installed header alone, in its own
# translation unit, so a header that needs an uninstalled one fails here.
mkdir "$consumer/headers"
header_sources=
for header in "$prefix"/include/kqtypes/*.h; do
  name=$(basename "$header" .h)
  printf '#include "%s.h"\n' "$name" >"$consumer/headers/$name.cpp"
  header_sources="$header_sources headers/$name.cpp"
  if [ "$name" != kqtypes ] && [ "$name" != pathbridge ]; then
    grep -q "#include \"$name.h\"" "$prefix/include/kqtypes/kqtypes.h" ||
      fail "kqtypes.h does not include $name.h"
  fi
done
cp "$source/examples/demo.cpp" "$source/examples/own_class.cpp" "$consumer/"

# Runs a program with an empty environment: the installed libraries must be
# found through their run paths.
clean_run() {
  env -i "$@"
}

check_programs() {
  local dir=$1 output
  output=$(clean_run "$dir/demo") || fail "$dir/demo exited with status $?"
  grep -qx "created a KQ_TString; implements KQ_IPackable: yes; superclass KQ_TObject: yes" <<<"$output" ||
    fail "$dir/demo did not print the object model line; it printed: $output"
  grep -qx "== Exception ==" <<<"$output" || fail "$dir/demo stopped before its last section: $output"
  clean_run "$dir/own_class" write "$dir/readings.kq" || fail "own_class write failed"
  output=$(clean_run "$dir/own_class" read "$dir/readings.kq") || fail "own_class read failed: $output"
  grep -qx "SensorReading printed: Oslo: -3.5 degrees" <<<"$output" ||
    fail "own_class read did not find its class by name: $output"
  grep -qx 'as text: SensorReading { "Lisbon" 17.250000 }' <<<"$output" ||
    fail "own_class read did not write the text form: $output"
  # What the README says the installed kqdump prints for this file.
  output=$(clean_run "$prefix/bin/kqdump" --check "$dir/readings.kq") || fail "kqdump --check failed"
  [ "$output" = "2 objects" ] || fail "kqdump --check printed \"$output\", not what the README says"
}

echo "--- building with find_package(kqtypes)"
cat >"$consumer/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.16)
project(kqtypes_consumer LANGUAGES CXX)
find_package(kqtypes 0 REQUIRED)
add_executable(demo demo.cpp)
target_link_libraries(demo PRIVATE kqtypes::kqtypes)
add_executable(own_class own_class.cpp)
target_link_libraries(own_class PRIVATE kqtypes::kqtypes)
add_library(headers OBJECT $header_sources)
target_compile_options(headers PRIVATE -Wall -Wextra -Wpedantic -Werror)
target_link_libraries(headers PRIVATE kqtypes::kqtypes)
EOF
"$cmake" -S "$consumer" -B "$consumer/build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix"
"$cmake" --build "$consumer/build" -j2
check_programs "$consumer/build"

echo "--- building with pkg-config"
if ! command -v pkg-config >/dev/null; then
  echo "pkg-config not found: skipping the pkg-config and add_subdirectory halves"
  exit 77
fi
export PKG_CONFIG_PATH="$libdir/pkgconfig"
mkdir "$consumer/pc"
for program in demo own_class; do
  # shellcheck disable=SC2046
  "$cxx" -std=c++17 -o "$consumer/pc/$program" "$consumer/$program.cpp" $(pkg-config --cflags --libs kqtypes)
done
check_programs "$consumer/pc"

echo "--- building with add_subdirectory"
mkdir "$consumer/sub"
cp "$consumer/demo.cpp" "$consumer/sub/"
cat >"$consumer/sub/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.16)
project(kqtypes_parent LANGUAGES CXX)
add_subdirectory("$source" kqtypes)
add_executable(demo demo.cpp)
target_link_libraries(demo PRIVATE kqtypes::kqtypes)
EOF
"$cmake" -S "$consumer/sub" -B "$consumer/sub/build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Release
if "$cmake" --build "$consumer/sub/build" --target help | grep -Eq '_test|_bench|records_write'; then
  fail "a parent project's build got the library's tests, benchmarks or examples"
fi
"$cmake" --build "$consumer/sub/build" -j2 --target demo
output=$("$consumer/sub/build/demo") || fail "the add_subdirectory demo failed"
grep -qx "== Exception ==" <<<"$output" || fail "the add_subdirectory demo stopped early: $output"
echo "install test passed"
