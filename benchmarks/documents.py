"""Loading and pickling the large real documents, against the plain-data
floors, for the notes of a release.

Run with the build folder (which holds var_main and the package tesselvar) on
the path, after tests/data/fetch_documents.sh has cached the documents:

    PYTHONPATH=<build>/python python3.13 benchmarks/documents.py
        [--rounds N] [--only openapi,mdn] [--generated] [--json out.json]

For each document, in one process, it times one operation per candidate and
round:

  load     TesselVar(doc), the parsed document made into stores;
           floors: copy.deepcopy(doc) and json.loads(json.dumps(doc)),
           the two usual ways of copying plain data.
  file     tesselvar.load(path), reading, parsing and making the stores;
           floor: json.load of the same file opened as text, what a user
           writes to get the plain document; deepcopy and the JSON round
           trip of the parsed document are shown beside it as well, so the
           two loading rows compare on the same floors.
  pickle   pickle.loads(pickle.dumps(store, protocol=5)) of a loaded store,
           against the same round trip of the plain document; and the
           pickle's size against the plain document's.

Candidates are interleaved: each round runs every candidate once, in an
order that rotates from round to round, so that drift of a shared machine
falls on all of them.  Garbage collection is off while an operation runs
(as in timeit) and what it made is freed after its clock stops.  Figures are
medians over the rounds, and each ratio is the median of the per-round
ratios, so it compares operations run moments apart.
"""

from __future__ import annotations

import argparse
import copy
import gc
import json
import os
import pickle
import statistics
import sys
import time
from typing import Any, Callable, Dict, List, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import tesselvar  # noqa: E402
from tesselvar import TesselVar  # noqa: E402

from bench import (DocumentSource, count_keys, document_sources,  # noqa: E402
                   fmt_bytes, fmt_ns)

_clock = time.perf_counter_ns


def timed(op: Callable[[], Any]) -> float:
    """Nanoseconds one call of op takes, collector off; its result is freed
    once the clock has stopped."""
    gc.collect()
    gc.disable()
    try:
        start = _clock()
        result = op()
        elapsed = _clock() - start
    finally:
        gc.enable()
    del result
    return float(elapsed)


def json_file(path: str) -> Callable[[], Any]:
    def op() -> Any:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    return op


def measure(source: DocumentSource, rounds: int) -> Dict[str, Any]:
    """One document's row: medians of the candidates' times and of the
    ratios between them, and the pickle sizes."""
    doc = source.load()
    path = source.path
    store = TesselVar(doc)
    assert store._mv_to_dict() == doc, f"{source.name}: the store does not export the document"
    candidates: Dict[str, Callable[[], Any]] = {
        "ctor": lambda: TesselVar(doc),
        "deepcopy": lambda: copy.deepcopy(doc),
        "json_rt": lambda: json.loads(json.dumps(doc)),
        "pickle_store": lambda: pickle.loads(pickle.dumps(store, protocol=5)),
        "pickle_doc": lambda: pickle.loads(pickle.dumps(doc, protocol=5)),
    }
    if path is not None:
        candidates["load"] = lambda: tesselvar.load(path)
        candidates["json_load"] = json_file(path)
    names = list(candidates)
    samples: Dict[str, List[float]] = {n: [] for n in names}
    for op in candidates.values():       # warm caches and allocators up
        timed(op)
    for r in range(rounds):
        shift = r % len(names)
        for name in names[shift:] + names[:shift]:
            samples[name].append(timed(candidates[name]))

    def ratio(a: str, b: str) -> Optional[float]:
        if a not in samples or b not in samples:
            return None
        return statistics.median(x / y for x, y in zip(samples[a], samples[b]))

    store_bytes = len(pickle.dumps(store, protocol=5))
    doc_bytes = len(pickle.dumps(doc, protocol=5))
    return {
        "document": source.name, "file": source.what, "keys": count_keys(doc),
        "rounds": rounds,
        "median_ns": {n: statistics.median(v) for n, v in samples.items()},
        "ratios": {
            "ctor/deepcopy": ratio("ctor", "deepcopy"),
            "ctor/json_rt": ratio("ctor", "json_rt"),
            "load/json_load": ratio("load", "json_load"),
            "load/deepcopy": ratio("load", "deepcopy"),
            "load/json_rt": ratio("load", "json_rt"),
            "pickle_store/pickle_doc": ratio("pickle_store", "pickle_doc"),
        },
        "pickle_bytes": {"store": store_bytes, "doc": doc_bytes,
                         "ratio": store_bytes / doc_bytes},
    }


def fmt_ratio(x: Optional[float]) -> str:
    return "-" if x is None else f"{x:.2f}x"


def table(head: List[str], rows: List[List[str]]) -> str:
    lines = ["| " + " | ".join(head) + " |",
             "|" + "|".join("---" if i == 0 else "---:" for i in range(len(head))) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def print_tables(results: List[Dict[str, Any]]) -> None:
    load_rows, pickle_rows = [], []
    for res in results:
        t, r, b = res["median_ns"], res["ratios"], res["pickle_bytes"]
        name = f"{res['document']} ({res['keys']:,} keys)"
        load_rows.append([
            name, fmt_ns(t["ctor"]), fmt_ratio(r["ctor/deepcopy"]), fmt_ratio(r["ctor/json_rt"]),
            fmt_ns(t["load"]) if "load" in t else "-", fmt_ratio(r["load/json_load"]),
            fmt_ratio(r["load/deepcopy"]), fmt_ratio(r["load/json_rt"])])
        pickle_rows.append([
            name, fmt_ns(t["pickle_store"]), fmt_ns(t["pickle_doc"]),
            fmt_ratio(r["pickle_store/pickle_doc"]), fmt_bytes(b["store"]),
            fmt_bytes(b["doc"]), fmt_ratio(b["ratio"])])
    print("\nLoading (medians; ratios are medians of per-round ratios)\n")
    print(table(["document", "TesselVar(doc)", "/ deepcopy", "/ json round trip",
                 "load(path)", "/ json.load(file)", "/ deepcopy", "/ json round trip"],
                load_rows))
    print("\nPickle round trip, dumps + loads, protocol 5\n")
    print(table(["document", "store", "plain document", "time ratio", "store bytes",
                 "document bytes", "bytes ratio"], pickle_rows))


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--only", help="comma-separated short names (openapi, mdn, ...)")
    parser.add_argument("--generated", action="store_true",
                        help="also the generated document of bench.py (no file row)")
    parser.add_argument("--json", help="write the results to this file as well")
    args = parser.parse_args(argv)
    wanted = set(args.only.split(",")) if args.only else None
    results = []
    for source in document_sources():
        if source.path is None and not args.generated:
            continue
        if wanted is not None and source.name not in wanted:
            continue
        if source.skipped:
            print(f"{source.name}: skipped: {source.skipped}")
            continue
        print(f"{source.name}: {source.what}, {args.rounds} rounds ...", flush=True)
        results.append(measure(source, args.rounds))
    if not results:
        print("no document measured")
        return 1
    print_tables(results)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(results, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
