"""Speed of var_main's TesselVar against its pure-Python twin and a floor.

Run with the build folder (which holds var_main and the package tesselvar) on the path:

    PYTHONPATH=<build>/python python3.13 benchmarks/bench.py [--quick]
        [--json out.json] [--only W1,W4] [--rounds N] [--batch-ms M]

Each workload is timed on three candidates: a store of the shipped class
TesselVar ("module"), a store of TesselVarPy from tests/model.py ("model", the same
algorithms in plain Python) and the cheapest builtin way to do the same job
("floor").  Every figure is measured in this one process: a batch of calls
is timed with time.perf_counter_ns, batches of the three candidates are
interleaved round by round (and the workloads round-robin, so that drift of
a shared machine is spread over all of them), and the reported figure is the
median over the rounds.  Ratios are medians of the per-round ratios, so each
ratio compares batches run moments apart.  Garbage collection is off while a
batch runs, as in timeit.
"""

from __future__ import annotations

import argparse
import copy
import functools
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Set, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
# The pure-Python twin lives with the tests, which check the module against it.
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import var_main  # noqa: E402
from tesselvar import TesselVar  # noqa: E402

from model import TesselVarPy  # noqa: E402

_clock = time.perf_counter_ns

CANDIDATES = ("module", "model", "floor")


# --- Data ------------------------------------------------------------------

def make_config() -> Dict[str, Any]:
    """A JSON-like configuration: about 200 keys over three dict levels,
    lists of scalars, a nested list and lists of dicts."""
    config: Dict[str, Any] = {
        "version": 3, "name": "billing", "debug": False, "owner": None,
        "ratio": 0.75, "region": "eu-west", "timeout": 30, "retries": 5,
    }
    for i in range(6):
        section: Dict[str, Any] = {
            "name": f"section{i}", "enabled": i % 2 == 0, "weight": i * 1.5,
        }
        for j in range(10):
            section[f"opt{j}"] = (j, f"value{j}", j / 4, None, True)[j % 5]
        section["limits"] = {f"l{k}": k * 10 for k in range(8)}
        section["tags"] = [f"t{k}" for k in range(5)]
        section["matrix"] = [[1, 2, 3], [4, 5, 6], [7, 8, 9]]
        section["servers"] = [{"host": f"h{i}{k}", "port": 8000 + k}
                              for k in range(3)]
        config[f"section{i}"] = section
    return config


def count_keys(value: Any) -> int:
    if isinstance(value, dict):
        return sum(1 + count_keys(v) for v in value.values())
    if isinstance(value, list):
        return sum(count_keys(v) for v in value)
    return 0


CONFIG = make_config()


def make_document(keys: int = 50_000) -> Dict[str, Any]:
    """A JSON document of at least `keys` keys, the same on every run, shaped
    like a large API description: operations under paths (parameters and
    tags in lists, responses nested five levels down) and object schemas
    with their properties, added in turns until the count is reached."""
    doc: Dict[str, Any] = {
        "openapi": "3.0.3",
        "info": {"title": "Inventory", "version": "2.4.0",
                 "license": {"name": "MIT"}},
        "servers": [{"url": "https://api.example.test/v2"}],
        "paths": {},
        "components": {"schemas": {}},
    }
    paths, schemas = doc["paths"], doc["components"]["schemas"]
    kinds = ("string", "integer", "number", "boolean", "array")
    total = count_keys(doc)
    i = 0
    while total < keys:
        name = f"Resource{i}"
        ref = {"$ref": f"#/components/schemas/{name}"}
        operations = {}
        for method in ("get", "put", "delete")[:1 + i % 3]:
            operations[method] = {
                "operationId": f"{method}{name}",
                "summary": f"{method} one {name.lower()}",
                "tags": [f"group{i % 7}"],
                "parameters": [
                    {"name": "id", "in": "path", "required": True,
                     "schema": {"type": "integer", "minimum": 1}},
                    {"name": "fields", "in": "query", "required": False,
                     "schema": {"type": "array",
                                "items": {"type": "string"}}}],
                "responses": {
                    "200": {"description": "OK", "content": {
                        "application/json": {"schema": dict(ref)}}},
                    "404": {"description": "Not found"}},
            }
        paths[f"/resources{i}/{{id}}"] = operations
        properties = {}
        for j in range(4 + i % 9):
            kind = kinds[(i + j) % 5]
            prop: Dict[str, Any] = {"type": kind,
                                    "description": f"field {j} of {name}"}
            if kind == "array":
                prop["items"] = {"type": "string"}
            elif kind == "integer":
                prop["example"] = i * j
            properties[f"field{j}"] = prop
        schemas[name] = {"type": "object", "required": ["field0"],
                         "properties": properties}
        total += (1 + count_keys(operations)) + (1 + count_keys(
            schemas[name]))
        i += 1
    return doc


@functools.lru_cache(maxsize=None)
def document() -> Dict[str, Any]:
    """The document of W11 and W12, made on first use."""
    return make_document()

# Merged into the stored config by W5: a scalar at depth 2 (cfg.version),
# scalars at depth 3, a list of scalars and a list of dicts appended to.
DELTA = {"cfg": {
    "version": 4,
    "section1": {"opt3": 99, "name": "renamed", "tags": ["extra"],
                 "servers": [{"host": "hx", "port": 9000}]},
    "section4": {"enabled": True},
}}

# The 100 variables of W6a, W7, W9 and W10.
VARIABLES = {f"v{i:02d}": (i, f"text{i}", i + 0.5, None)[i % 4]
             for i in range(100)}


def floor_merge(cfg: Dict[str, Any]) -> None:
    """W5's delta applied by hand to a plain dict."""
    cfg["version"] = 4
    s1 = cfg["section1"]
    s1["opt3"] = 99
    s1["name"] = "renamed"
    s1["tags"].extend(["extra"])
    s1["servers"].append({"host": "hx", "port": 9000})
    cfg["section4"]["enabled"] = True


class Plain:
    """An ordinary object: the floor of attribute reads and writes."""


# --- Timed loops ---------------------------------------------------------

def statement_loop(stmt: str, env: Dict[str, Any], unroll: int) -> Callable:
    """run(n) -> ns spent on n * unroll executions of stmt (env as locals)."""
    params = "".join(f", {k}=__env[{k!r}]" for k in env)
    body = "\n".join("        " + stmt for _ in range(unroll))
    src = (f"def run(n, __clock=__clock{params}):\n"
           f"    it = range(n)\n"
           f"    t0 = __clock()\n"
           f"    for _ in it:\n{body}\n"
           f"    return __clock() - t0\n")
    ns = {"__env": env, "__clock": _clock}
    exec(compile(src, f"<{stmt}>", "exec"), ns)
    return ns["run"]


def prepared_loop(stmt: str, env: Dict[str, Any]) -> Callable:
    """run(objs) -> ns spent on stmt once for each o in objs."""
    params = "".join(f", {k}=__env[{k!r}]" for k in env)
    src = (f"def run(objs, __clock=__clock{params}):\n"
           f"    t0 = __clock()\n"
           f"    for o in objs:\n"
           f"        {stmt}\n"
           f"    return __clock() - t0\n")
    ns = {"__env": env, "__clock": _clock}
    exec(compile(src, f"<{stmt}>", "exec"), ns)
    return ns["run"]


@dataclass
class Candidate:
    """One way of doing a workload's job."""
    label: str
    stmt: str
    env: Dict[str, Any] = field(default_factory=dict)
    unroll: int = 1
    # For workloads that change the object: prepare(n) builds the n objects
    # one batch uses, outside the timed region.
    prepare: Optional[Callable[[int], List[Any]]] = None
    max_batch: int = 4000
    n: int = 1
    samples: List[float] = field(default_factory=list)

    def __post_init__(self) -> None:
        if self.prepare is None:
            self._run = statement_loop(self.stmt, self.env, self.unroll)
        else:
            self._run = prepared_loop(self.stmt, self.env)

    def batch(self, n: int) -> float:
        """ns per operation over one batch of n operations."""
        if self.prepare is None:
            gc.disable()
            try:
                ns = self._run(n)
            finally:
                gc.enable()
            return ns / (n * self.unroll)
        objs = self.prepare(n)
        gc.disable()
        try:
            ns = self._run(objs)
        finally:
            gc.enable()
        del objs
        return ns / n

    def calibrate(self, batch_ns: float) -> None:
        """Chooses n so that one batch takes about batch_ns."""
        n = 1
        while True:
            per_op = self.batch(n)
            spent = per_op * n * self.unroll
            if spent >= batch_ns / 4 or n >= self.max_batch:
                break
            n = min(n * 4, self.max_batch)
        want = batch_ns / max(per_op * self.unroll, 1.0)
        self.n = max(1, min(int(want), self.max_batch if self.prepare
                            else 1 << 30))


@dataclass
class Workload:
    key: str
    title: str
    floor_title: str
    module: Candidate
    # None: a row that only compares the module with another floor
    model: Optional[Candidate]
    floor: Candidate
    # ("floor", bound): module/floor <= bound
    floor_target: Optional[float] = None
    # module at least this many times faster than the model
    model_target: Optional[float] = None
    # (row, bound): module <= bound x the module of that row, round by round
    row_target: Optional[Tuple[str, float]] = None
    ratios: Dict[str, List[float]] = field(default_factory=dict)

    def candidates(self) -> Dict[str, Candidate]:
        both = {"module": self.module, "model": self.model,
                "floor": self.floor}
        return {k: c for k, c in both.items() if c is not None}


# --- Workloads -----------------------------------------------------------

# Rows with a target relative to another row: {row: (other row, bound)}.
ROW_TARGETS: Dict[str, Tuple[str, float]] = {"W13c": ("W13a", 1.5)}

def filled(cls: type, variables: Dict[str, Any]) -> Any:
    store = cls()
    store._mv_set_kwargs(dict(variables))
    return store


def config_store(cls: type) -> Any:
    store = cls()
    store.cfg = CONFIG
    return store


def path_store(cls: type) -> Any:
    store = cls()
    store.a = {"b": {"c": 1}}
    return store


def sized_path_store(cls: type, count: int) -> Any:
    """A store of `count` variables, the last of them a = {"b": {"c": 1}}."""
    store = filled(cls, {f"v{i:06d}": i for i in range(count - 1)})
    store.a = {"b": {"c": 1}}
    return store


def document_store(cls: type) -> Any:
    store = cls()
    store._mv_add(document())
    return store


def workloads(keys: Optional[Set[str]] = None) -> List[Workload]:
    """The workloads; with `keys` (upper case), the large ones (W11-W13,
    whose set-up takes seconds) only if named there."""
    stores = {"module": TesselVar, "model": TesselVarPy}
    out: List[Workload] = []

    def wanted(key: str) -> bool:
        return keys is None or key.upper() in keys

    def both(make: Callable[[type], Any]) -> Dict[str, Any]:
        return {k: make(cls) for k, cls in stores.items()}

    def simple(key: str, title: str, stmt: str, objs: Dict[str, Any],
               floor_title: str, floor_stmt: str, floor_env: Dict[str, Any],
               unroll: int = 1, floor_target: Optional[float] = None,
               model_target: Optional[float] = None,
               extra: Optional[Dict[str, Any]] = None) -> None:
        """stmt runs with `o` bound to objs["module"] / objs["model"]."""
        extra = extra or {}
        cands = {k: Candidate(k, stmt, {"o": o, **extra}, unroll)
                 for k, o in objs.items()}
        out.append(Workload(
            key, title, floor_title, cands["module"], cands["model"],
            Candidate("floor", floor_stmt, floor_env, unroll),
            floor_target, model_target))

    plain = Plain()
    plain.x = 1
    small = both(lambda cls: filled(cls, {"x": 1}))
    hundred = both(lambda cls: filled(cls, VARIABLES))
    plain_vars = dict(VARIABLES)

    out.append(Workload(
        "W0", "make an empty store", "object()",
        Candidate("module", "C()", {"C": TesselVar}, 10),
        Candidate("model", "C()", {"C": TesselVarPy}, 10),
        Candidate("floor", "object()", {}, 10), floor_target=3))

    simple("W1", "read an existing variable", "o.x", small,
           "plain object attribute read", "p.x", {"p": plain},
           unroll=10, floor_target=1.1)
    simple("W2", "read a missing name (reprint)", "o.missing", small,
           'getattr(p, "missing", "missing")',
           'getattr(p, "missing", "missing")', {"p": plain},
           unroll=10, floor_target=1.3, model_target=8)
    simple("W3", "assign a scalar", "o.x = 1", small,
           "plain object attribute write", "p.x = 1", {"p": plain},
           unroll=10, floor_target=5, model_target=8)
    simple("W4", f"assign a config ({count_keys(CONFIG)} keys)",
           "o.cfg = config", both(lambda cls: cls()),
           "copy.deepcopy(config)", "deepcopy(config)",
           {"deepcopy": copy.deepcopy, "config": CONFIG},
           floor_target=0.4, model_target=8, extra={"config": CONFIG})

    def merge_candidate(label: str, cls: type) -> Candidate:
        def prepare(n: int) -> List[Any]:
            store = config_store(cls)
            return [store] * n
        return Candidate(label, "o._mv_add(delta)", {"delta": DELTA},
                         prepare=prepare, max_batch=20000)

    def merge_floor(n: int) -> List[Any]:
        return [copy.deepcopy(CONFIG)] * n

    out.append(Workload(
        "W5", "_mv_add a small delta into the config",
        "the same changes made by hand on a plain dict",
        merge_candidate("module", TesselVar),
        merge_candidate("model", TesselVarPy),
        Candidate("floor", "merge(o)", {"merge": floor_merge},
                  prepare=merge_floor, max_batch=20000),
        None, 8))

    simple("W6a", "_mv_get(name), 100 variables", 'o._mv_get("v50")',
           hundred, "d.get(name)", 'd.get("v50")', {"d": plain_vars},
           unroll=10, floor_target=4, model_target=8)
    nested = {"a": {"b": {"c": 1}}}
    simple("W6b", '_mv_get("$.a.b.c")', 'o._mv_get("$.a.b.c")',
           both(path_store), 'd["a"]["b"]["c"] on plain dicts',
           'd["a"]["b"]["c"]', {"d": nested}, unroll=10, model_target=8)
    simple("W7a", "_mv_keys(), 100 variables", "o._mv_keys()", hundred,
           "list(d)", "list(d)", {"d": plain_vars},
           floor_target=2, model_target=8)
    simple("W7b", "_mv_items(), 100 variables", "o._mv_items()", hundred,
           "list(d.items())", "list(d.items())", {"d": plain_vars},
           floor_target=1.5, model_target=8)
    simple("W8", "_mv_to_dict() of the config", "o._mv_to_dict()",
           both(config_store), "copy.deepcopy(config)", "deepcopy(config)",
           {"deepcopy": copy.deepcopy, "config": CONFIG},
           floor_target=0.15, model_target=8)
    simple("W9a", "repr(), 100 variables", "repr(o)", hundred, "repr(d)",
           "repr(d)", {"d": plain_vars}, floor_target=1.1)
    simple("W9b", "_mv_to_params(), 100 variables", "o._mv_to_params()",
           hundred, "repr(d)", "repr(d)", {"d": plain_vars},
           floor_target=1.3)

    def clear_candidate(label: str, cls: type) -> Candidate:
        def prepare(n: int) -> List[Any]:
            objs = []
            for _ in range(n):
                store = cls()
                store.__dict__.update(VARIABLES)
                objs.append(store)
            return objs
        return Candidate(label, "o._mv_clear()", prepare=prepare)

    out.append(Workload(
        "W10", "_mv_clear(), 100 variables", "dict.clear(), 100 entries",
        clear_candidate("module", TesselVar),
        clear_candidate("model", TesselVarPy),
        Candidate("floor", "o.clear()",
                  prepare=lambda n: [dict(VARIABLES) for _ in range(n)]),
        10, 8))

    # A large document: merged into empty stores and exported back, against
    # two ways of copying it.
    copies = [("a", "copy.deepcopy(document)", "deepcopy(document)"),
              ("b", "json.loads(json.dumps(document))",
               "loads(dumps(document))")]
    copy_env = {"deepcopy": copy.deepcopy, "loads": json.loads,
                "dumps": json.dumps}
    add_target = {"a": 0.5}
    export_target = {"a": 0.25}

    def add_candidate(label: str, cls: type) -> Candidate:
        return Candidate(label, "o._mv_add(document)",
                         {"document": document()},
                         prepare=lambda n: [cls() for _ in range(n)],
                         max_batch=16)

    for suffix, floor_title, floor_stmt in copies:
        if not wanted("W11" + suffix):
            continue
        floor_env = {**copy_env, "document": document()}
        out.append(Workload(
            "W11" + suffix,
            f"_mv_add a {count_keys(document()):,}-key document",
            floor_title, add_candidate("module", TesselVar),
            # the model once, next to deepcopy
            add_candidate("model", TesselVarPy) if suffix == "a" else None,
            Candidate("floor", floor_stmt, floor_env),
            add_target.get(suffix)))
    exported: Dict[str, Any] = {}
    for suffix, floor_title, floor_stmt in copies:
        if not wanted("W12" + suffix):
            continue
        exported = exported or both(document_store)
        floor_env = {**copy_env, "document": document()}
        out.append(Workload(
            "W12" + suffix,
            f"_mv_to_dict() of the {count_keys(document()):,}-key document",
            floor_title,
            Candidate("module", "o._mv_to_dict()", {"o": exported["module"]}),
            Candidate("model", "o._mv_to_dict()", {"o": exported["model"]})
            if suffix == "a" else None,
            Candidate("floor", floor_stmt, floor_env),
            export_target.get(suffix)))

    # One path lookup as the store grows; "a" is the last variable.
    for key, count in [("W13a", 10), ("W13b", 1000), ("W13c", 100_000)]:
        if not wanted(key):
            continue
        plain_big: Dict[str, Any] = {f"v{i:06d}": i for i in range(count - 1)}
        plain_big["a"] = {"b": {"c": 1}}
        simple(key, f'_mv_get("$.a.b.c"), {count:,} variables',
               'o._mv_get("$.a.b.c")',
               both(lambda cls: sized_path_store(cls, count)),
               f'd["a"]["b"]["c"], {count:,} entries', 'd["a"]["b"]["c"]',
               {"d": plain_big}, unroll=10, floor_target=10)
        out[-1].row_target = ROW_TARGETS.get(key)
    return out


# --- Running -------------------------------------------------------------

def run(selected: List[Workload], rounds: int, batch_ns: float,
        progress: bool) -> None:
    for w in selected:
        for c in w.candidates().values():
            c.calibrate(batch_ns)
    for r in range(rounds):
        for w in selected:
            cands = list(w.candidates().items())
            shift = r % len(cands)
            got: Dict[str, float] = {}
            for label, c in cands[shift:] + cands[:shift]:
                got[label] = c.batch(c.n)
                c.samples.append(got[label])
            w.ratios.setdefault("module/floor", []).append(
                got["module"] / got["floor"])
            if "model" in got:
                w.ratios.setdefault("model/module", []).append(
                    got["model"] / got["module"])
        gc.collect()
        if progress:
            print(f"\rround {r + 1}/{rounds}", end="", file=sys.stderr,
                  flush=True)
    if progress:
        print(file=sys.stderr)


def summary(w: Workload, rows: Dict[str, Workload]) -> Dict[str, Any]:
    med = {k: statistics.median(c.samples) for k, c in w.candidates().items()}
    if w.row_target is not None:
        # Both rows ran in every round: compare batches of the same round.
        other = rows[w.row_target[0]].module.samples
        w.ratios[f"module/{w.row_target[0]}"] = [
            mine / theirs for mine, theirs in zip(w.module.samples, other)]
    ratios = {k: statistics.median(v) for k, v in w.ratios.items()}
    targets = []
    if w.floor_target is not None:
        targets.append({"what": f"module <= {w.floor_target:g}x floor",
                        "measured": ratios["module/floor"],
                        "met": ratios["module/floor"] <= w.floor_target})
    if w.model_target is not None:
        targets.append({"what": f"module >= {w.model_target:g}x faster "
                                f"than model",
                        "measured": ratios["model/module"],
                        "met": ratios["model/module"] >= w.model_target})
    if w.row_target is not None:
        row, bound = w.row_target
        measured = ratios[f"module/{row}"]
        targets.append({"what": f"module <= {bound:g}x module of {row}",
                        "measured": measured, "met": measured <= bound})
    return {
        "key": w.key, "title": w.title, "floor": w.floor_title,
        "ns": med, "ratios": ratios, "targets": targets,
        "batch": {k: c.n * c.unroll for k, c in w.candidates().items()},
        "rounds": len(w.module.samples),
        "spread": {k: (min(c.samples), max(c.samples))
                   for k, c in w.candidates().items()},
    }


def fmt_ns(ns: float) -> str:
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e4:
        return f"{ns / 1e3:.1f} us"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.1f} ns"


def print_tables(results: List[Dict[str, Any]]) -> None:
    head = (f"{'':5} {'workload':40} {'module':>10} {'model':>10} "
            f"{'floor':>10} {'mod/floor':>9} {'model/mod':>9}")
    print(head)
    print("-" * len(head))
    for r in results:
        ns, ratios = r["ns"], r["ratios"]
        model = fmt_ns(ns["model"]) if "model" in ns else "-"
        speedup = (f"{ratios['model/module']:>8.1f}x"
                   if "model/module" in ratios else f"{'-':>9}")
        print(f"{r['key']:5} {r['title'][:40]:40} {fmt_ns(ns['module']):>10} "
              f"{model:>10} {fmt_ns(ns['floor']):>10} "
              f"{ratios['module/floor']:>8.2f}x {speedup}")
    print()
    print("floors:")
    for r in results:
        print(f"  {r['key']:5} {r['floor']}")
    print()
    head = f"{'':5} {'target':38} {'measured':>9}  met"
    print(head)
    print("-" * len(head))
    met = total = 0
    for r in results:
        for t in r["targets"]:
            total += 1
            met += bool(t["met"])
            print(f"{r['key']:5} {t['what']:38} {t['measured']:>8.2f}x  "
                  f"{'yes' if t['met'] else 'NO'}")
    print(f"\n{met} of {total} targets met")


def environment() -> Dict[str, Any]:
    try:
        commit = subprocess.run(
            ["git", "-C", HERE, "rev-parse", "--short", "HEAD"],
            capture_output=True, text=True, timeout=10).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        commit = ""
    return {
        "python": sys.version.split()[0],
        "implementation": platform.python_implementation(),
        "machine": platform.machine(),
        "cpus": os.cpu_count(),
        "loadavg": os.getloadavg() if hasattr(os, "getloadavg") else None,
        "var_main": var_main.__file__,
        "commit": commit,
        "date": time.strftime("%Y-%m-%d %H:%M:%S"),
    }


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="fewer, shorter rounds (about 10 s)")
    parser.add_argument("--json", metavar="FILE",
                        help="also write the results as JSON")
    parser.add_argument("--only", metavar="KEYS",
                        help="comma-separated workloads, e.g. W1,W6a")
    parser.add_argument("--rounds", type=int, help="rounds (default 31, "
                        "quick 9)")
    parser.add_argument("--batch-ms", type=float, help="time per batch "
                        "(default 20, quick 5)")
    args = parser.parse_args(argv)

    rounds = args.rounds or (9 if args.quick else 31)
    batch_ns = (args.batch_ms or (5.0 if args.quick else 20.0)) * 1e6
    keys = None
    if args.only:
        keys = {k.strip().upper() for k in args.only.split(",")}
        # a row whose target refers to another row brings that row along
        keys |= {other.upper() for row, (other, _) in ROW_TARGETS.items()
                 if row.upper() in keys}
    selected = workloads(keys)
    if keys:
        selected = [w for w in selected if w.key.upper() in keys]
        if not selected:
            parser.error(f"no workload among {args.only}")

    env = environment()
    print(f"var_main {env['var_main']}")
    print(f"Python {env['python']} on {env['machine']}, {env['cpus']} CPUs, "
          f"load {env['loadavg']}, commit {env['commit']}")
    print(f"{rounds} rounds, batches of about {batch_ns / 1e6:g} ms, "
          f"medians; ratios are medians of per-round ratios\n")
    started = time.monotonic()
    run(selected, rounds, batch_ns, progress=sys.stderr.isatty())
    rows = {w.key: w for w in selected}
    results = [summary(w, rows) for w in selected]
    print_tables(results)
    elapsed = time.monotonic() - started
    print(f"\n{elapsed:.1f} s")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump({"environment": env, "rounds": rounds,
                       "batch_ms": batch_ns / 1e6, "seconds": elapsed,
                       "config_keys": count_keys(CONFIG),
                       "document_keys": count_keys(document()),
                       "results": results}, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
