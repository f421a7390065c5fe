"""Instructions per operation of each workload, counted by callgrind.

Timings on a shared 2-core machine wander; instruction counts do not.  For
every workload of bench.py and each of its three candidates this runs the
candidate's loop in a child interpreter under `valgrind --tool=callgrind`
twice, with N operations and with none (same set-up), and reports the
difference divided by N.  Without --only it counts every row but the
documents' (W11-<document>, W12-<document> only when named; the peers'
columns are not counted).

    PYTHONPATH=build/release/python python3.13 benchmarks/instructions.py \
        [--only W1,W4,W11-gen] [--n 2000] [--markdown]
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def child(key: str, label: str, n: int, ops: bool) -> None:
    sys.path.insert(0, HERE)
    import bench

    cand = bench.workload(key).candidates()[label]
    if cand.prepare is not None:
        objs = cand.prepare(n)
        cand._run(objs if ops else objs[:0], [])
    else:
        cand._run(n if ops else 0, [])
    # No teardown: freeing the prepared objects would cost the run without
    # operations more than the other (W10's full stores and dicts against
    # cleared ones), and the difference would miss what the operation frees.
    sys.stdout.flush()
    os._exit(0)


def refs(args: list, what: str) -> int:
    """Instructions executed by `python3.13 *args`, counted by callgrind."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
               sys.executable, *args]
        done = subprocess.run(cmd, capture_output=True, text=True)
        match = re.search(r"refs:\s+([\d,]+)", done.stderr)
        if done.returncode != 0 or match is None:
            raise RuntimeError(f"{what}: {done.stderr[-2000:]}")
        return int(match.group(1).replace(",", ""))


def count(key: str, label: str, n: int, ops: bool) -> int:
    return refs([os.path.abspath(__file__), "--child", key, label, str(n),
                 "1" if ops else "0"], f"{key} {label}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", default="")
    parser.add_argument("--n", type=int, default=2000)
    parser.add_argument("--markdown", action="store_true")
    parser.add_argument("--child", nargs=4, metavar=("KEY", "LABEL", "N", "OPS"))
    args = parser.parse_args()
    if args.child:
        key, label, n, ops = args.child
        child(key, label, int(n), ops == "1")
        return

    sys.path.insert(0, HERE)
    import bench

    wanted = [k for k in args.only.split(",") if k]
    # Without --only: every row but the documents'.
    works = ([bench.workload(k) for k in wanted] if wanted
             else bench.workloads())
    rows = []
    for work in works:
        per_op = {}
        for label, cand in work.candidates().items():
            n = args.n if cand.prepare is None else min(args.n, 200,
                                                        cand.max_batch)
            # The large workloads: about 20 ms of native run per candidate.
            once = cand.batch(1) * cand.unroll
            n = max(2, min(n, int(2e7 / max(once, 1.0))))
            total = count(work.key, label, n, True)
            base = count(work.key, label, n, False)
            per_op[label] = (total - base) / (n * cand.unroll)
        rows.append((work.key, work.title, per_op))
        model = f"{per_op['model']:>12,.0f}" if "model" in per_op else f"{'-':>12}"
        print(f"{work.key:4} module {per_op['module']:>12,.0f}  "
              f"model {model}  floor {per_op['floor']:>10,.0f}",
              file=sys.stderr, flush=True)

    if args.markdown:
        print("| row | workload | module | model | floor | module/floor | model/module |")
        print("|---|---|---:|---:|---:|---:|---:|")
        for key, title, p in rows:
            model, speedup = "-", "-"
            if "model" in p:
                model = f"{p['model']:,.0f}"
                speedup = f"{p['model'] / p['module']:.1f}x"
            print(f"| {key} | {title} | {p['module']:,.0f} | {model} | "
                  f"{p['floor']:,.0f} | {p['module'] / p['floor']:.2f}x | "
                  f"{speedup} |")

if __name__ == "__main__":
    main()
