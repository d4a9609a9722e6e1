#!/usr/bin/env python3
"""Prints ours against each baseline from a json_corpus_bench JSON report.

  json_corpus_bench --benchmark_repetitions=5 \
      --benchmark_enable_random_interleaving=true \
      --benchmark_out=corpus.json --benchmark_out_format=json
  bench/json_corpus_ratios.py corpus.json

A ratio is the baseline's median time over ours: above 1.0 we are faster.
"""
import json
import sys


def main(path):
    with open(path, encoding="utf-8") as f:
        report = json.load(f)
    medians = {}
    for row in report["benchmarks"]:
        name = row["name"]
        if row.get("run_type") == "aggregate":
            if row.get("aggregate_name") != "median":
                continue
            name = row["run_name"]
        medians.setdefault(name, row["real_time"])
    rows = {}
    for name, time in medians.items():
        parts = name.split("/")
        if len(parts) < 4:
            continue
        op, lib, rest = parts[0], parts[1], "/".join(parts[2:])
        rows.setdefault((op, rest), {})[lib] = time
    print(f"{'row':<42} {'vs RapidJSON':>12} {'vs nlohmann':>12}")
    for (op, rest), libs in sorted(rows.items()):
        ours = libs.get("Ours")
        if not ours:
            continue
        rj = libs.get("RapidJSON")
        nl = libs.get("Nlohmann")
        rj_s = f"{rj / ours:.2f}x" if rj else "-"
        nl_s = f"{nl / ours:.2f}x" if nl else "-"
        print(f"{op + '/' + rest:<42} {rj_s:>12} {nl_s:>12}")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
