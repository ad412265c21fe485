#!/usr/bin/env bash
# Measures kqdump on a file of packed records: MB/s of packed data both ways
# (binary to text, and text back to binary) and the peak resident memory of
# each run, and checks that the round trip gives the same bytes.
#
#   bench/kqdump_bench.sh BUILD_DIR [MEGABYTES]      (a Release build; default 100)
set -euo pipefail
build=$1
megabytes=${2:-100}
if [ ! -x /usr/bin/time ]; then
  echo "needs GNU time for the peak memory: apt-get install -y time" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/bench/kqdump_records" "$work/records.kq" "$megabytes"
bytes=$(wc -c <"$work/records.kq")

# Runs a command with its output to $2; prints elapsed seconds, CPU seconds
# (user + system) and peak resident KiB.
measure() {
  local output=$1
  shift
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >"$output"
  awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$work/time"
}

read -r dump_s dump_cpu dump_kb < <(measure "$work/records.txt" "$build/tools/kqdump" "$work/records.kq")
text_bytes=$(wc -c <"$work/records.txt")
read -r pack_s pack_cpu pack_kb < <(measure "$work/again.kq" "$build/tools/kqdump" --pack "$work/records.txt")
read -r check_s check_cpu check_kb < <(measure /dev/null "$build/tools/kqdump" --check "$work/records.kq")
cmp -s "$work/records.kq" "$work/again.kq" || { echo "round trip differs" >&2; exit 1; }

rate() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", (s > 0 ? b / s / 1e6 : 0) }'; }
echo "packed input: $bytes bytes; text: $text_bytes bytes; round trip identical"
echo "MB/s counts the packed bytes (both ways), by elapsed and by CPU time"
printf "%-22s %6s s elapsed %7s MB/s | %6s s CPU %7s MB/s | %5s MiB peak\n" \
  "dump (binary -> text)" "$dump_s" "$(rate "$bytes" "$dump_s")" "$dump_cpu" "$(rate "$bytes" "$dump_cpu")" "$((dump_kb / 1024))" \
  "pack (text -> binary)" "$pack_s" "$(rate "$bytes" "$pack_s")" "$pack_cpu" "$(rate "$bytes" "$pack_cpu")" "$((pack_kb / 1024))" \
  "check (binary)" "$check_s" "$(rate "$bytes" "$check_s")" "$check_cpu" "$(rate "$bytes" "$check_cpu")" "$((check_kb / 1024))"
