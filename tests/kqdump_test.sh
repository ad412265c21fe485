#!/usr/bin/env bash
# Drives the built kqdump on golden files: round trips of every packable
# kind, the exact text of a known sequence, standard input and output, every
# error path with its exit status and message, and the packing fuzz corpus.
# Usage: kqdump_test.sh KQDUMP SOURCE_DIR
set -uo pipefail
kqdump=$1
source_dir=$2
golden=$source_dir/tests/data/packed_golden.txt
work=$(mktemp -d)
# A sanitizer's report must not pass for the status of bad data.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}exitcode=86"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}exitcode=87"
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Writes the bytes of the golden entry $1 (hex with comments) to $2.
golden_bytes() {
  perl -e '
    my ($name, $file) = @ARGV; my ($on, $hex) = (0, "");
    open my $in, "<", $file or die;
    while (<$in>) {
      s/#.*//;
      if (/^= (\S+)/) { $on = ($1 eq $name); next; }
      $hex .= $_ if $on;
    }
    $hex =~ s/\s+//g; die "no entry $name\n" if $hex eq "";
    print pack("H*", $hex);' "$1" "$golden" >"$2"
}

# Runs kqdump with the given arguments; sets $status, $out and $err files.
run() {
  "$kqdump" "$@" >"$work/out" 2>"$work/err"
  status=$?
}

expect_status() {
  [ "$status" -eq "$1" ] || fail "$2: exit status $status, wanted $1 ($(head -c 300 "$work/err"))"
}

# Every object of the golden vectors: dump, pack again, same bytes.
objects="string_ab string_empty string_e_acute_euro any_illegal any_null any_int32_5
  any_uint64_7 any_char_z any_float_1_5 any_double_1_5 any_string_x list_empty
  list_int_string list_nested dict_a_1 stack_entry_f_g_7 exception_illegal_time_m
  datablock_1_2_3 datablock_empty unknown_moon_42 unknown_lunar_error_with_base
  array_minus1_2_lower_fixed array_empty tree_s_a_1 queue_two_elements"
: >"$work/all.bin"
count=0
for name in $objects; do
  golden_bytes "$name" "$work/$name.bin"
  cat "$work/$name.bin" >>"$work/all.bin"
  count=$((count + 1))
  run "$work/$name.bin"
  expect_status 0 "dump $name"
  cp "$work/out" "$work/$name.txt"
  run --pack "$work/$name.txt"
  expect_status 0 "pack $name"
  cmp -s "$work/out" "$work/$name.bin" || fail "$name does not pack back to its bytes"
done

# The whole sequence through standard input and output, both directions.
"$kqdump" <"$work/all.bin" >"$work/all.txt" 2>"$work/err" || fail "dump of standard input"
"$kqdump" --pack - <"$work/all.txt" | cmp -s - "$work/all.bin" || fail "sequence does not pack back"
run --check "$work/all.bin"
expect_status 0 "check"
grep -qx "$count objects" "$work/out" || fail "check counted $(cat "$work/out"), wanted $count objects"
run --check --pack "$work/all.txt"
grep -qx "$count objects" "$work/out" || fail "text check counted $(cat "$work/out")"

# The text of known objects, exactly.
cat "$work/list_int_string.bin" "$work/dict_a_1.bin" "$work/unknown_moon_42.bin" \
  "$work/any_double_1_5.bin" >"$work/known.bin"
run "$work/known.bin"
expect_status 0 "dump known"
cmp -s "$work/out" "$source_dir/tests/data/kqdump_known.txt" ||
  fail "text of known objects differs: $(diff "$work/out" "$source_dir/tests/data/kqdump_known.txt" | head -20)"

# Hand-written text, with numbers that the six-decimal form would round, a
# packed block at the outer level and a missing final line feed.
printf 'KQ_TList {\n  0.1\n  1e-7S\n  -0.0\n  1e999\n  7X\n}\n"two" 3' >"$work/hand.txt"
run --pack "$work/hand.txt"
expect_status 0 "pack hand-written text"
cp "$work/out" "$work/hand.bin"
run "$work/hand.bin"
grep -q '^  0.1$' "$work/out" || fail "0.1 is not shown exactly: $(cat "$work/out")"
grep -q '^  0.0000001S$' "$work/out" || fail "1e-7 float is not shown exactly"
grep -q '^  1e999$' "$work/out" || fail "infinity is not shown as 1e999"
cp "$work/out" "$work/hand2.txt"
run --pack "$work/hand2.txt"
cmp -s "$work/out" "$work/hand.bin" || fail "hand-written text does not round trip"

# Bytes given in printf form that dump and pack back to themselves; with a
# pattern, the dump must have a line matching it.
# A NaN has no number form: its object is shown as a packed block. An Any
# holding an object of a class kqdump does not know keeps the Any round it.
round_trips() {
  printf "$2" >"$work/$1.bin"
  run "$work/$1.bin"
  [ -z "${3:-}" ] || grep -q "$3" "$work/out" || fail "$1: no line matches $3"
  cp "$work/out" "$work/$1.txt"
  run --pack "$work/$1.txt"
  cmp -s "$work/out" "$work/$1.bin" || fail "$1 does not pack back"
}
round_trips nan '\x47\x07\x00\x00\x00\x01\x40\x05\x0d\x0c\x7f\xf8\x00\x00\x00\x00\x00\x00' '^KQ_IPackable {$'
round_trips held '\x40\x05\x12\x0d\x00\x00\x00\x09KQ_TOther\xff'

# Bad input, written to a file by printf: status 1 and one line of error
# that matches the pattern (packed data names the byte and the exception,
# text the line, counted from 1).
refused() {
  local mode=$1 name=$2 bytes=$3 pattern=$4
  printf "$bytes" >"$work/$name"
  run $mode "$work/$name"
  expect_status 1 "$name"
  grep -q -- "$pattern" "$work/err" || fail "$name message: $(cat "$work/err")"
  [ "$(wc -l <"$work/err")" -eq 1 ] || fail "$name message is not one line"
}
head -c 10 "$work/list_int_string.bin" >"$work/cut.bin"
run "$work/cut.bin"
expect_status 1 "cut data"
grep -q '^kqdump: .*cut.bin: byte 10 (object 1 from byte 0): KQ_EStreamEndReached' "$work/err" ||
  fail "cut data message: $(cat "$work/err")"
refused "" bad_tag.bin \
  '\x41\x07\x00\x00\x00\x02\x0f\x00\x00\x00\x04\x00\x61\x00\x62\x03\x00\x00\x00\x01' \
  'byte 16 (object 2 from byte 15): KQ_EWrongPackedType'
grep -qx '"ab"' "$work/out" || fail "the object before the bad one is not written"
refused "" huge_count.bin '\x47\x07\xff\xff\xff\xff\x40' 'KQ_E'
refused --pack bad.txt 'KQ_TList {\n  1\n  2 3.5.5\n}\n' \
  'bad.txt: line 3 (object 1): KQ_EHRSyntaxError: expected a number, found "3.5.5"$'
refused --pack unknown.txt 'KQ_TNoSuchClass { }\n' 'line 1'
refused --pack short_block.txt 'KQ_IPackable {\n  41 07 00\n}\n' 'KQ_E'
refused --pack two_in_block.txt 'KQ_IPackable { 4107 0000 0001 0f00 0000 0200 61 40 05 00 }\n' \
  'KQ_EWrongPacketSize'
refused --pack open.txt 'KQ_TList {\n  1\n' 'KQ_E'
# Packing reads strictly: a value out of its range is an error, not a wrap.
refused --pack wide.txt 'KQ_TList {\n  4294967296\n}\n' 'line 2'

# Usage.
run --help
expect_status 0 "--help"
grep -q '^Usage: kqdump' "$work/out" || fail "--help text"
run --version
expect_status 0 "--version"
grep -q '^kqdump (kqtypes) [0-9]' "$work/out" || fail "--version text"
run --frobnicate
expect_status 2 "unknown option"
run "$work/all.bin" "$work/all.bin"
expect_status 2 "two files"
run "$work/no-such-file"
expect_status 2 "missing file"
grep -q 'cannot open' "$work/err" || fail "missing file message"
run "$work"
expect_status 2 "a directory"
if [ -w /dev/full ]; then
  "$kqdump" "$work/all.bin" >/dev/full 2>"$work/err"
  status=$?
  expect_status 2 "output that cannot be written"
  grep -q 'cannot write the output' "$work/err" || fail "write failure message: $(cat "$work/err")"
fi

# A sample of the packing and text fuzz corpora (the first 150 of each in name
# order; the names are content hashes): bad data is reported on one line,
# never a crash, and what is read packs back to its bytes. The fuzz replay
# of continuous integration runs every file of them.
corpus_runs=0
for input in $(ls -d "$source_dir"/fuzz/corpus/packed/* | head -n 150) \
  $(ls -d "$source_dir"/fuzz/corpus/text/* | head -n 150); do
  [ -f "$input" ] || continue
  for mode in "" "--pack"; do
    # shellcheck disable=SC2086
    "$kqdump" $mode "$input" >"$work/out" 2>"$work/err"
    status=$?
    corpus_runs=$((corpus_runs + 1))
    if [ "$status" -ne 0 ] && [ "$status" -ne 1 ]; then
      fail "$mode $(basename "$input"): exit status $status"
    elif [ "$status" -eq 1 ] && [ "$(wc -l <"$work/err")" -ne 1 ]; then
      fail "$mode $(basename "$input"): message is not one line"
    elif [ "$status" -eq 0 ] && [ -z "$mode" ]; then
      "$kqdump" --pack "$work/out" | cmp -s - "$input" || fail "$(basename "$input") does not round trip"
    fi
  done
done
[ "$corpus_runs" -gt 0 ] || fail "no corpus files found"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "kqdump: all checks passed ($count golden objects, $corpus_runs corpus runs)"
