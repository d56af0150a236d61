#!/usr/bin/env python3
"""Compares builds of the package on the delivery path and the method calls, side by side.

    python bench/compare.py base=/tmp/base/build/bench/stage new=build/bench/stage [--rounds 4]

Each build is a staged tree with the harness (tools/dev-build NAME -DZORV_BENCH=ON). A round runs
bench/run.py once per build, each in a process of its own, in an order that turns from round to
round, so that the machine's load falls on every build alike; the table shows, for each row, every
build's median over the rounds with the range of the rounds beside it (min to max, as a share of
the median), and each build's median against the first build's. Every round also measures the
machine's own limit in the same process (the floor of a delivery and the hand-written C method),
and the ratios to it are shown beside the times, which the machine's load moves less. Nothing
passes or fails on time.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
KINDS = ["seq-toa-tot", "dd-toa-tot", "dd-toa-tot-vec", "binned-packets", "medipix"]


def run_once(stage: Path, args, out: Path) -> dict:
    command = [sys.executable, str(HERE / "run.py"), "--repeat", str(args.repeat), "--json", str(out)]
    for part in args.only or ["deliveries", "methods"]:
        command += ["--only", part]
    for kind in args.kind or KINDS:
        command += ["--kind", kind]
    env = dict(os.environ, PYTHONPATH=str(stage.resolve()))
    subprocess.run(command, env=env, check=True, stdout=subprocess.DEVNULL)
    return json.loads(out.read_text())["results"]


def rows(results: dict) -> dict[str, tuple[float, float]]:
    """Row name -> (time, ratio to the machine's own limit in the same run)."""
    out = {}
    for kind, r in results.get("deliveries", {}).items():
        out[f"{kind} delivery, net (us)"] = (r["package_net_us"], r["net_vs_floor"])
    for name, r in results.get("methods", {}).items():
        out[f"{name} (ns)"] = (r["package_ns"], r["vs_c"])
    return out


def spread(values: list[float]) -> str:
    m = statistics.median(values)
    return f"{(max(values) - min(values)) / m:.0%}" if m else "-"


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("builds", nargs="+", help="NAME=STAGE: a label and a staged build with the harness")
    p.add_argument("--rounds", type=int, default=4, help="runs of every build, interleaved")
    p.add_argument("--repeat", type=int, default=5, help="samples per run (bench/run.py --repeat)")
    p.add_argument("--only", choices=["deliveries", "methods"], action="append", help="only these parts")
    p.add_argument("--kind", action="append", help=f"delivery kinds (default: {', '.join(KINDS)})")
    args = p.parse_args(argv)
    builds = [tuple(b.split("=", 1)) for b in args.builds]
    figures: dict[str, list[dict]] = {name: [] for name, _ in builds}
    with tempfile.TemporaryDirectory() as tmp:
        for r in range(args.rounds):
            order = builds[r % len(builds):] + builds[:r % len(builds)]
            for name, stage in order:
                print(f"round {r + 1}/{args.rounds}: {name}", file=sys.stderr, flush=True)
                figures[name].append(rows(run_once(Path(stage), args, Path(tmp) / f"{name}.json")))
    first = builds[0][0]
    names = list(figures[first][0])
    header = ["row"]
    for name, _ in builds:
        header += [name, "range", "vs limit"] + ([] if name == first else [f"{name} / {first}"])
    table = [header]
    for row in names:
        line = [row]
        base = statistics.median(f[row][0] for f in figures[first])
        for name, _ in builds:
            times = [f[row][0] for f in figures[name]]
            ratios = [f[row][1] for f in figures[name]]
            m = statistics.median(times)
            line += [f"{m:.3f}" if m < 10 else f"{m:.0f}", spread(times), f"{statistics.median(ratios):.2f}x"]
            if name != first:
                line.append(f"{m / base:.2f}x" if base else "-")
        table.append(line)
    widths = [max(len(r[i]) for r in table) for i in range(len(header))]
    for i, line in enumerate(table):
        print("| " + " | ".join(c.ljust(w) for c, w in zip(line, widths)) + " |")
        if i == 0:
            print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    print(f"\n{args.rounds} rounds of {args.repeat} samples each; a figure is the median over the rounds of "
          "bench/run.py's figure (its samples' 10th percentile); range: the rounds' min to max; vs limit: "
          "against the floor (deliveries) or the hand-written C method (calls) of the same run.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
