#!/usr/bin/env bash
# Feeds hostile files and the fuzz corpora of the formats through kqdump, both ways, with
# little memory and a small stack: every run must end with status 0 (read)
# or 1 (refused), never with a crash, whatever the input claims or nests.
# Usage: hostile_kqdump.sh KQDUMP SOURCE_DIR
# (Not for sanitizer builds: the address sanitizer needs more address space
# than the limit leaves.)
set -uo pipefail
kqdump=$1
source_dir=$2
memory_kb=${KQ_HOSTILE_MEMORY_KB:-262144}
stack_kb=${KQ_HOSTILE_STACK_KB:-256}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
runs=0

# Writes argument 2 repeated argument 3 times, then argument 4, to file 1.
repeat() {
  perl -e 'my ($file, $part, $times, $tail) = @ARGV;
           open my $out, ">", $file or die; binmode $out;
           print $out $part x $times, $tail;' "$@"
}
# Writes the bytes given in hex to file 1.
hex() {
  perl -e 'my $file = shift; open my $out, ">", $file or die; binmode $out;
           print $out pack("H*", join("", @ARGV));' "$@"
}

# Text that costs memory out of all proportion to its size.
printf 'KQ_TArray { [0] = 1 [1048575] = 2 }\n' >"$work/sparse_array.txt"
repeat "$work/sparse_arrays.txt" 'KQ_TArray { [0] = 1 [1048575] = 2 } ' 100 ''
sed -i '1s/^/KQ_TList { /; $s/$/ }/' "$work/sparse_arrays.txt"
# Nesting far beyond any limit, as text and packed (a list of one list ...).
repeat "$work/deep.txt" 'KQ_TList { ' 100000 ''
repeat "$work/deep_any.txt" 'KQ_TAny { ' 100000 ''
perl -e 'binmode STDOUT; print "\x47\x07\x00\x00\x00\x01" x 100000' >"$work/deep.bin"
perl -e 'binmode STDOUT; print "\x40\x0d\x00\x00\x00\x07KQ_TAny" x 50000' >"$work/deep_any.bin"
# Lengths and counts that promise more than the file holds.
hex "$work/forged_string.bin" 41 7ffffff0 0041
hex "$work/forged_block.bin" 4b 07 ffffffff 00
hex "$work/forged_dict.bin" 45 07 ffffffff 4103000000410041
hex "$work/forged_array.bin" 46 07 ffffffff
hex "$work/forged_list.bin" 47 07 7fffffff 400504
# An Any of a pointer kind, and classes that must never be made from data.
hex "$work/pointer_any.bin" 40050e
for class in KQ_TThread KQ_TSemaphore KQ_TMutex KQ_TProcess KQ_TSocket KQ_TDynamicObject KQ_TFile; do
  perl -e 'my $n = shift; binmode STDOUT; print "\x0d", pack("N", length $n), $n, "\xff"' "$class" \
    >"$work/make_$class.bin"
  printf '%s { }\n' "$class" >"$work/make_$class.txt"
done

check() {
  local mode=$1 input=$2 status
  # shellcheck disable=SC2086
  (ulimit -v "$memory_kb" && ulimit -s "$stack_kb" && exec "$kqdump" $mode "$input") \
    >/dev/null 2>"$work/err"
  status=$?
  runs=$((runs + 1))
  if [ "$status" -ne 0 ] && [ "$status" -ne 1 ]; then
    echo "FAIL: kqdump $mode $(basename "$input"): exit status $status: $(head -c 300 "$work/err")" >&2
    failures=$((failures + 1))
  fi
}

for input in "$work"/*.bin "$work"/*.txt "$source_dir"/fuzz/corpus/{packed,text,kqdump,containers}/*; do
  [ -f "$input" ] || continue
  check "" "$input"
  check "--pack" "$input"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures of $runs runs failed" >&2
  exit 1
fi
echo "hostile input: $runs runs of kqdump, each ended with status 0 or 1"
