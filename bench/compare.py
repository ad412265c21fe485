#!/usr/bin/env python3
"""Compares two builds of the benchmark program in one session.

    bench/compare.py OLD_BINARY NEW_BINARY [--filter REGEX] [--rounds N]

The machine this project runs on is a shared virtual machine whose speed
drifts by up to 2x from minute to minute, so the two binaries are run in
turns, round after round, and each benchmark's CPU time is summarised by its
median over the rounds. The spread column is the larger of the two binaries'
(max - min) / median over the rounds: a difference smaller than the spread
is noise.
"""

import argparse
import json
import statistics
import subprocess
import sys


def run(binary, pattern):
    out = subprocess.run(
        [binary, "--benchmark_filter=" + pattern, "--benchmark_format=json"],
        check=True, capture_output=True, text=True).stdout
    times = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") == "aggregate":
            continue
        name = b["run_name"] if "run_name" in b else b["name"]
        times.setdefault(name, []).append(b["cpu_time"] * {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]])
    return {name: statistics.median(values) for name, values in times.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--filter", default=".")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    samples = {"old": {}, "new": {}}
    for r in range(args.rounds):
        for side in ("old", "new") if r % 2 == 0 else ("new", "old"):
            for name, t in run(getattr(args, side), args.filter).items():
                samples[side].setdefault(name, []).append(t)
        print(f"round {r + 1} of {args.rounds} done", file=sys.stderr)
    print(f"{'benchmark':60} {'old ns':>12} {'new ns':>12} {'new/old':>8} {'spread':>7}")
    for name in samples["old"]:
        if name not in samples["new"]:
            continue
        old, new = samples["old"][name], samples["new"][name]
        mo, mn = statistics.median(old), statistics.median(new)
        spread = max((max(old) - min(old)) / mo, (max(new) - min(new)) / mn)
        print(f"{name:60} {mo:12.1f} {mn:12.1f} {mn / mo:8.3f} {spread:7.2f}")


if __name__ == "__main__":
    main()
