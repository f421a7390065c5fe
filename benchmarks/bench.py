"""Speed of var_main's TesselVar against its pure-Python twin, a floor and
the peers.

Run with the build folder (which holds var_main and the package tesselvar) on
the path:

    PYTHONPATH=<build>/python python3.13 benchmarks/bench.py [--quick]
        [--json out.json] [--only W1,W4,W11] [--rounds N] [--batch-ms M]
        [--doc-rounds N] [--no-peers] [--peers DIR]

Each workload is timed on three candidates: a store of the shipped class
TesselVar ("module"), a store of TesselVarPy from tests/model.py ("model", the
same algorithms in plain Python) and the cheapest builtin way to do the same
job ("floor"); where they have an idiom for the job, the attribute-dict
libraries users compare us with ("peers", loaded from ../shared/vendor/peers
next to the repository) and a few other builtins are timed beside them, each
against the same floor.  Every figure is measured in this one process: a
batch of calls is timed with time.perf_counter_ns, batches of the candidates
are interleaved round by round (and the workloads round-robin, so that drift
of a shared machine is spread over all of them), and the reported figure is
the median over the rounds.  Ratios are medians of the per-round ratios, so
each ratio compares batches run moments apart.  Garbage collection is off
while a batch runs, as in timeit.

The large real documents (those tests/data/fetch_documents.sh caches) are
timed one document at a time, a few rounds each: loading into a new store,
exporting, and the memory a loaded tree holds (traced with tracemalloc).
"""

from __future__ import annotations

import argparse
import copy
import functools
import gc
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import time
import tracemalloc
import types
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Set, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
# The pure-Python twin lives with the tests, which check the module against it.
sys.path.insert(0, os.path.join(ROOT, "tests"))

import var_main  # noqa: E402
from tesselvar import TesselVar  # noqa: E402

from model import TesselVarPy  # noqa: E402

_clock = time.perf_counter_ns

CANDIDATES = ("module", "model", "floor")


# --- Peers ---------------------------------------------------------------

# Unmodified sources of the libraries users compare us with; benchmarks only.
PEERS_DIR = os.path.normpath(os.path.join(ROOT, "..", "shared", "vendor",
                                          "peers"))
# The folders put on sys.path (munch needs six).
PEER_FOLDERS = ("addict", "six", "munch", "easydict", "box")


@dataclass
class Peer:
    """One peer library and its idioms, as statements on `x` (one of its
    objects) with `P` its class and `doc`, `delta` the data of the row."""
    name: str
    env: Dict[str, Any]
    # doc -> a new object of the peer holding doc (its conversion idiom)
    make: Callable[[Any], Any]
    load: str           # doc -> object, as a statement
    export: Optional[str]
    merge: str          # merge `delta` into x


def load_peers(folder: str) -> Tuple[List[Peer], List[str]]:
    """The peers found in `folder`, and one line for each that is not."""
    if not os.path.isdir(folder):
        return [], [f"peers: {folder} not found; peer columns skipped"]
    for name in PEER_FOLDERS:
        path = os.path.join(folder, name)
        if os.path.isdir(path) and path not in sys.path:
            sys.path.append(path)
    peers: List[Peer] = []
    notes: List[str] = []

    def attempt(name: str, build: Callable[[], Peer]) -> None:
        try:
            peers.append(build())
        except Exception as exc:  # an absent or broken copy: skip that one
            notes.append(f"peers: {name} not loaded from {folder} "
                         f"({type(exc).__name__}: {exc}); its column skipped")

    def addict() -> Peer:
        from addict import Dict as AddictDict
        return Peer("addict", {"P": AddictDict}, AddictDict, "P(doc)",
                    "x.to_dict()", "x.update(delta)")

    def munch() -> Peer:
        from munch import Munch, munchify, unmunchify
        return Peer("munch", {"P": Munch, "munchify": munchify,
                              "unmunchify": unmunchify},
                    munchify, "munchify(doc)", "unmunchify(x)",
                    "x.update(delta)")

    def easydict() -> Peer:
        from easydict import EasyDict
        return Peer("easydict", {"P": EasyDict}, EasyDict, "P(doc)", None,
                    "x.update(delta)")

    def box() -> Peer:
        from box import Box
        # merge_update appends lists as our merge does only when asked.
        return Peer("box", {"P": Box}, Box, "P(doc)", "x.to_dict()",
                    'x.merge_update(delta, box_merge_lists="extend")')

    for name, build in [("addict", addict), ("munch", munch),
                        ("easydict", easydict), ("box", box)]:
        attempt(name, build)
    return peers, notes


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



class PlainObj:
    """An ordinary object: the floor of making an object and of attribute
    reads and writes."""


# --- Real documents ------------------------------------------------------

FETCH_SCRIPT = os.path.join(ROOT, "tests", "data", "fetch_documents.sh")
DOCUMENT_CACHE = os.environ.get("VAR_MAIN_DOCUMENTS") or os.path.join(
    os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
    "var_main", "documents")
# Short names for row keys (W11-<name>); another document gets the first
# word of its package's name.
SHORT_NAMES = {
    "octokit-webhooks-schemas-7.6.1.json": "webhooks",
    "octokit-openapi-23.0.2.json": "openapi",
    "caniuse-db-1.0.30001813.json": "caniuse",
    "mdn-browser-compat-data-8.1.9.json": "mdn",
}
GENERATED = "gen"


@dataclass
class DocumentSource:
    name: str                       # short name, in row keys
    what: str                       # file name or how it is made
    path: Optional[str] = None      # None: the generated document
    skipped: Optional[str] = None   # why it is not there

    def load(self) -> Dict[str, Any]:
        if self.path is None:
            return make_document()
        with open(self.path, encoding="utf-8") as f:
            return json.load(f)


def document_sources() -> List[DocumentSource]:
    """The generated document, then every document fetch_documents.sh
    fetches, in its order; those not cached carry the reason."""
    out = [DocumentSource(GENERATED, "make_document(), generated")]
    try:
        with open(FETCH_SCRIPT, encoding="utf-8") as f:
            script = f.read()
    except OSError as exc:
        out.append(DocumentSource("fetched", FETCH_SCRIPT,
                                  skipped=f"cannot read it: {exc}"))
        return out
    # The script's list: "package@version  inner file  cached name  size".
    for package, _, name, size in re.findall(
            r'^\s*"(\S+) (\S+) (\S+\.json) (\d+)"\s*$', script, re.M):
        short = SHORT_NAMES.get(name) or re.split(
            r"[-@]", package.rsplit("/", 1)[-1].lstrip("@"))[0]
        path = os.path.join(DOCUMENT_CACHE, name)
        skipped = None
        if not os.path.exists(path):
            skipped = (f"not in {DOCUMENT_CACHE}: run "
                       f"tests/data/fetch_documents.sh (it needs the npm "
                       f"registry)")
        elif os.path.getsize(path) != int(size):
            skipped = (f"{path} is {os.path.getsize(path)} bytes, "
                       f"expected {size}: fetch it again")
        out.append(DocumentSource(short, name, path, skipped))
    return out


# --- Timed loops ---------------------------------------------------------

def _compile(src: str, name: str, env: Dict[str, Any]) -> Callable:
    ns = {"__env": env, "__clock": _clock}
    exec(compile(src, f"<{name}>", "exec"), ns)
    return ns["run"]


def statement_loop(stmt: str, env: Dict[str, Any], unroll: int,
                   keep: bool = False) -> Callable:
    """run(n, sink) -> ns spent on n * unroll executions of stmt (env as
    locals).  With keep, every result goes to sink, so that it is freed
    after the timed region."""
    params = "".join(f", {k}=__env[{k!r}]" for k in env)
    line = f"__keep({stmt})" if keep else stmt
    body = "\n".join("        " + line for _ in range(unroll))
    src = (f"def run(n, __sink, __clock=__clock{params}):\n"
           f"    __keep = __sink.append\n"
           f"    it = range(n)\n"
           f"    t0 = __clock()\n"
           f"    for _ in it:\n{body}\n"
           f"    return __clock() - t0\n")
    return _compile(src, stmt, env)


def prepared_loop(stmt: str, env: Dict[str, Any],
                  keep: bool = False) -> Callable:
    """run(objs, sink) -> ns spent on stmt once for each o in objs."""
    params = "".join(f", {k}=__env[{k!r}]" for k in env)
    line = f"__keep({stmt})" if keep else stmt
    src = (f"def run(objs, __sink, __clock=__clock{params}):\n"
           f"    __keep = __sink.append\n"
           f"    t0 = __clock()\n"
           f"    for o in objs:\n"
           f"        {line}\n"
           f"    return __clock() - t0\n")
    return _compile(src, stmt, env)


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
    # Results kept until the batch is timed (the large documents: freeing a
    # tree is not part of making it).
    keep: bool = False
    # One operation per batch, not calibrated (the large documents).
    single: bool = False
    n: int = 1
    samples: List[float] = field(default_factory=list)

    def __post_init__(self) -> None:
        if self.prepare is None:
            self._run = statement_loop(self.stmt, self.env, self.unroll,
                                       self.keep)
        else:
            self._run = prepared_loop(self.stmt, self.env, self.keep)

    def batch(self, n: int) -> float:
        """ns per operation over one batch of n operations."""
        sink: List[Any] = []
        if self.prepare is None:
            gc.disable()
            try:
                ns = self._run(n, sink)
            finally:
                gc.enable()
            del sink
            return ns / (n * self.unroll)
        objs = self.prepare(n)
        gc.disable()
        try:
            ns = self._run(objs, sink)
        finally:
            gc.enable()
        del objs, sink
        return ns / n

    def calibrate(self, batch_ns: float) -> None:
        """Chooses n so that one batch takes about batch_ns."""
        if self.single:
            self.n = 1
            return
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
    # None: a row without the model
    model: Optional[Candidate]
    floor: Candidate
    # module/floor <= bound
    floor_target: Optional[float] = None
    # module at least this many times faster than the model
    model_target: Optional[float] = None
    # (row, bound): module <= bound x the module of that row, round by round
    row_target: Optional[Tuple[str, float]] = None
    # Further columns, each timed against the floor: the peers, and other
    # builtins (types.SimpleNamespace, a JSON round trip).
    others: Dict[str, Candidate] = field(default_factory=dict)
    ratios: Dict[str, List[float]] = field(default_factory=dict)

    def candidates(self) -> Dict[str, Candidate]:
        """module, model and floor (those the row has)."""
        both = {"module": self.module, "model": self.model,
                "floor": self.floor}
        return {k: c for k, c in both.items() if c is not None}

    def columns(self) -> Dict[str, Candidate]:
        """Every candidate timed, the other columns included."""
        return {**self.candidates(), **self.others}


# --- Workloads -----------------------------------------------------------

# Rows with a target relative to another row: {row: (other row, bound)}.
ROW_TARGETS: Dict[str, Tuple[str, float]] = {"W13c": ("W13a", 1.5)}


def selects(keys: Optional[Set[str]], row: str) -> bool:
    """Whether --only's keys (upper case) name the row: its key, or a
    prefix of it not followed by a digit ("W6" for W6a and W6b, "W11" for
    every document's W11 row, but "W1" only for W1)."""
    if keys is None:
        return True
    row = row.upper()
    return any(row == k or (row.startswith(k) and
                            not row[len(k):len(k) + 1].isdigit())
               for k in keys)


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


def workloads(keys: Optional[Set[str]] = None,
              peers: Optional[List[Peer]] = None) -> List[Workload]:
    """The workloads of one process (the documents' rows are made by
    document_workloads); with `keys` (upper case), the large set-ups (W13)
    only if named there.  `peers`: the peers' columns, none by default."""
    stores = {"module": TesselVar, "model": TesselVarPy}
    peers = peers or []
    out: List[Workload] = []

    def both(make: Callable[[type], Any]) -> Dict[str, Any]:
        return {k: make(cls) for k, cls in stores.items()}

    def peer_columns(stmt: Optional[Callable[[Peer], Optional[str]]],
                     data: Any = None, unroll: int = 1,
                     env: Optional[Dict[str, Any]] = None
                     ) -> Dict[str, Candidate]:
        """Each peer's statement (None: the peer has no idiom), run with `x`
        one of its objects made from `data` (when given)."""
        cols = {}
        for peer in peers:
            s = stmt(peer) if stmt else None
            if s is None:
                continue
            penv = {**peer.env, **(env or {})}
            if data is not None:
                penv["x"] = peer.make(data)
            cols[peer.name] = Candidate(peer.name, s, penv, unroll)
        return cols

    def simple(key: str, title: str, stmt: str, objs: Dict[str, Any],
               floor_title: str, floor_stmt: str, floor_env: Dict[str, Any],
               unroll: int = 1, floor_target: Optional[float] = None,
               model_target: Optional[float] = None,
               extra: Optional[Dict[str, Any]] = None,
               others: Optional[Dict[str, Candidate]] = None) -> None:
        """stmt runs with `o` bound to objs["module"] / objs["model"]."""
        extra = extra or {}
        cands = {k: Candidate(k, stmt, {"o": o, **extra}, unroll)
                 for k, o in objs.items()}
        out.append(Workload(
            key, title, floor_title, cands["module"], cands["model"],
            Candidate("floor", floor_stmt, floor_env, unroll),
            floor_target, model_target, others=others or {}))

    plain = PlainObj()
    plain.x = 1
    small = both(lambda cls: filled(cls, {"x": 1}))
    hundred = both(lambda cls: filled(cls, VARIABLES))
    plain_vars = dict(VARIABLES)
    namespace = types.SimpleNamespace(x=1)

    out.append(Workload(
        "W0", "make an empty store", "PlainObj(): an empty Python class",
        Candidate("module", "C()", {"C": TesselVar}, 10),
        Candidate("model", "C()", {"C": TesselVarPy}, 10),
        Candidate("floor", "C()", {"C": PlainObj}, 10), floor_target=1.5,
        others=peer_columns(lambda p: "P()", unroll=10)))

    simple("W1", "read an existing variable", "o.x", small,
           "plain object attribute read", "p.x", {"p": plain},
           unroll=10, floor_target=1.1,
           others=peer_columns(lambda p: "x.x", {"x": 1}, 10))
    simple("W2", "read a missing name (reprint)", "o.missing", small,
           'getattr(p, "missing", "missing")',
           'getattr(p, "missing", "missing")', {"p": plain},
           unroll=10, floor_target=1.6,
           others=peer_columns(lambda p: 'getattr(x, "missing", "missing")',
                               {"x": 1}, 10))
    simple("W3", "assign a scalar", "o.x = 1", small,
           "plain object attribute write", "p.x = 1", {"p": plain},
           unroll=10, floor_target=2.5,
           others={"namespace": Candidate("namespace", "x.x = 1",
                                          {"x": namespace}, 10),
                   **peer_columns(lambda p: "x.x = 1", {"x": 1}, 10)})
    simple("W4", f"assign a config ({count_keys(CONFIG)} keys)",
           "o.cfg = config", both(lambda cls: cls()),
           "copy.deepcopy(config)", "deepcopy(config)",
           {"deepcopy": copy.deepcopy, "config": CONFIG},
           floor_target=0.2, extra={"config": CONFIG},
           others=peer_columns(lambda p: p.load.replace("doc", "config"),
                               env={"config": CONFIG}))

    def merge_candidate(label: str, cls: type) -> Candidate:
        def prepare(n: int) -> List[Any]:
            store = config_store(cls)
            return [store] * n
        return Candidate(label, "o._mv_add(delta)", {"delta": DELTA},
                         prepare=prepare, max_batch=20000)

    def merge_floor(n: int) -> List[Any]:
        return [copy.deepcopy(CONFIG)] * n

    def merge_peer(peer: Peer) -> Candidate:
        def prepare(n: int) -> List[Any]:
            return [peer.make({"cfg": copy.deepcopy(CONFIG)})] * n
        return Candidate(peer.name, peer.merge.replace("x.", "o."),
                         {"delta": DELTA}, prepare=prepare, max_batch=20000)

    out.append(Workload(
        "W5", "_mv_add a small delta into the config",
        "the same changes made by hand on a plain dict",
        merge_candidate("module", TesselVar),
        merge_candidate("model", TesselVarPy),
        Candidate("floor", "merge(o)", {"merge": floor_merge},
                  prepare=merge_floor, max_batch=20000),
        None, 8, others={p.name: merge_peer(p) for p in peers}))

    simple("W6a", "_mv_get(name), 100 variables", 'o._mv_get("v50")',
           hundred, "d.get(name)", 'd.get("v50")', {"d": plain_vars},
           unroll=10, floor_target=3.5,
           others=peer_columns(lambda p: 'x.get("v50")', VARIABLES, 10))
    nested = {"a": {"b": {"c": 1}}}
    simple("W6b", '_mv_get("$.a.b.c")', 'o._mv_get("$.a.b.c")',
           both(path_store), 'd["a"]["b"]["c"] on plain dicts',
           'd["a"]["b"]["c"]', {"d": nested}, unroll=10, floor_target=3,
           others=peer_columns(lambda p: 'x["a"]["b"]["c"]', nested, 10))
    simple("W7a", "_mv_keys(), 100 variables", "o._mv_keys()", hundred,
           "list(d)", "list(d)", {"d": plain_vars}, floor_target=1.15,
           others=peer_columns(lambda p: "list(x.keys())", VARIABLES))
    simple("W7b", "_mv_items(), 100 variables", "o._mv_items()", hundred,
           "list(d.items())", "list(d.items())", {"d": plain_vars},
           floor_target=1.05,
           others=peer_columns(lambda p: "list(x.items())", VARIABLES))
    simple("W8", "_mv_to_dict() of the config", "o._mv_to_dict()",
           both(config_store), "copy.deepcopy(config)", "deepcopy(config)",
           {"deepcopy": copy.deepcopy, "config": CONFIG},
           floor_target=0.1,
           others=peer_columns(lambda p: p.export, {"cfg": CONFIG}))
    simple("W9a", "repr(), 100 variables", "repr(o)", hundred, "repr(d)",
           "repr(d)", {"d": plain_vars}, floor_target=1.0,
           others=peer_columns(lambda p: "repr(x)", VARIABLES))
    simple("W9b", "_mv_to_params(), 100 variables", "o._mv_to_params()",
           hundred, "repr(d)", "repr(d)", {"d": plain_vars},
           floor_target=0.9)

    def clear_candidate(label: str, cls: type) -> Candidate:
        def prepare(n: int) -> List[Any]:
            objs = []
            for _ in range(n):
                store = cls()
                store.__dict__.update(VARIABLES)
                objs.append(store)
            return objs
        return Candidate(label, "o._mv_clear()", prepare=prepare)

    def clear_peer(peer: Peer) -> Candidate:
        # Their objects take long to fill: smaller batches.
        return Candidate(peer.name, "o.clear()", prepare=lambda n: [
            peer.make(VARIABLES) for _ in range(n)], max_batch=1000)

    out.append(Workload(
        "W10", "_mv_clear(), 100 variables", "dict.clear(), 100 entries",
        clear_candidate("module", TesselVar),
        clear_candidate("model", TesselVarPy),
        Candidate("floor", "o.clear()",
                  prepare=lambda n: [dict(VARIABLES) for _ in range(n)]),
        3, others={p.name: clear_peer(p) for p in peers}))

    # One path lookup as the store grows; "a" is the last variable.
    for key, count in [("W13a", 10), ("W13b", 1000), ("W13c", 100_000)]:
        if not selects(keys, key):
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


# Targets of the documents' rows, module/floor.
LOAD_TARGET, EXPORT_TARGET, MEMORY_TARGET = 0.4, 0.2, 1.4


def document_workloads(name: str, doc: Dict[str, Any],
                       keys: Optional[Set[str]],
                       peers: List[Peer]) -> List[Workload]:
    """W11-<name>, loading doc into a new store, and W12-<name>, exporting
    a loaded store: one operation per batch, results kept until the batch is
    timed (so that no candidate's batch frees a tree)."""
    stores = {"module": TesselVar, "model": TesselVarPy}
    size = f"{count_keys(doc):,} keys"
    copy_env = {"deepcopy": copy.deepcopy, "loads": json.loads,
                "dumps": json.dumps, "doc": doc}
    out: List[Workload] = []

    def floor() -> Candidate:
        return Candidate("floor", "deepcopy(doc)", copy_env, keep=True,
                         single=True)

    def json_column() -> Dict[str, Candidate]:
        return {"json": Candidate("json", "loads(dumps(doc))", copy_env,
                                  keep=True, single=True)}

    if selects(keys, f"W11-{name}"):
        def load(label: str) -> Candidate:
            cls = stores[label]
            return Candidate(label, "o._mv_add(doc)", {"doc": doc},
                             prepare=lambda n: [cls() for _ in range(n)],
                             single=True)
        out.append(Workload(
            f"W11-{name}", f"load {name} ({size})",
            "copy.deepcopy(document)", load("module"), load("model"),
            floor(), LOAD_TARGET, others={**json_column(), **{
                p.name: Candidate(p.name, p.load, {**p.env, "doc": doc},
                                  keep=True, single=True) for p in peers}}))
    if selects(keys, f"W12-{name}"):
        def export(label: str) -> Candidate:
            store = stores[label]()
            store._mv_add(doc)
            return Candidate(label, "o._mv_to_dict()", {"o": store},
                             keep=True, single=True)
        others = json_column()
        for p in peers:
            if p.export is not None:
                others[p.name] = Candidate(p.name, p.export,
                                           {**p.env, "x": p.make(doc)},
                                           keep=True, single=True)
        out.append(Workload(
            f"W12-{name}", f"export {name} ({size})",
            "copy.deepcopy(document)", export("module"), export("model"),
            floor(), EXPORT_TARGET, others=others))
    return out


def workload(key: str, peers: Optional[List[Peer]] = None) -> Workload:
    """The one workload of that key, a document's row included (its
    document loaded or made); for instructions.py."""
    wanted = {key.upper()}
    for w in workloads(wanted, peers):
        if w.key == key:
            return w
    for src in document_sources():
        if key in (f"W11-{src.name}", f"W12-{src.name}"):
            if src.skipped:
                raise LookupError(f"{key}: {src.what} {src.skipped}")
            return document_workloads(src.name, src.load(), wanted,
                                      peers or [])[0]
    raise LookupError(f"no timed workload {key}")


# --- Memory --------------------------------------------------------------

def traced_bytes(make: Callable[[], Any]) -> int:
    """Bytes that what make() returns still holds once made: everything
    allocated through the interpreter's allocators (objects, dict tables,
    list arrays; the extension allocates through them too) while it ran
    and not freed since, as tracemalloc counts them."""
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        tree = make()
        gc.collect()
        held = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    del tree
    gc.collect()
    return held


def memory_row(name: str, doc: Dict[str, Any], peers: List[Peer],
               warm: bool) -> Dict[str, Any]:
    """W14-<name>: bytes held by a store tree loaded with doc, by the
    model's, by copy.deepcopy(doc) and by each peer's object.  Each is made
    once untraced first unless `warm` (the load row ran): names interned by
    a first load stay interned, and are no part of a tree."""

    def loaded(cls: type) -> Callable[[], Any]:
        def make() -> Any:
            store = cls()
            store._mv_add(doc)
            return store
        return make

    makers: Dict[str, Callable[[], Any]] = {
        "module": loaded(TesselVar), "model": loaded(TesselVarPy),
        "floor": lambda: copy.deepcopy(doc)}
    for p in peers:
        makers[p.name] = functools.partial(p.make, doc)
    held: Dict[str, float] = {}
    for label, make in makers.items():
        if not warm:
            make()
        held[label] = float(traced_bytes(make))
    ratios = {"module/floor": held["module"] / held["floor"],
              "model/module": held["model"] / held["module"]}
    for p in peers:
        ratios[f"{p.name}/floor"] = held[p.name] / held["floor"]
    return {
        "kind": "memory", "key": f"W14-{name}",
        "title": f"memory of {name} loaded ({count_keys(doc):,} keys)",
        "floor": "bytes of copy.deepcopy(document)",
        "bytes": held, "ratios": ratios,
        "targets": [{"what": f"module <= {MEMORY_TARGET:g}x floor",
                     "measured": ratios["module/floor"],
                     "met": ratios["module/floor"] <= MEMORY_TARGET}],
    }


# --- Running -------------------------------------------------------------

def run(selected: List[Workload], rounds: int, batch_ns: float,
        progress: Optional[str]) -> None:
    """Rounds of one batch of every candidate of every workload."""
    for w in selected:
        for c in w.columns().values():
            c.calibrate(batch_ns)
    for r in range(rounds):
        for w in selected:
            cands = list(w.columns().items())
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
            for label in w.others:
                w.ratios.setdefault(f"{label}/floor", []).append(
                    got[label] / got["floor"])
        gc.collect()
        if progress is not None:
            print(f"\r{progress}round {r + 1}/{rounds}", end="",
                  file=sys.stderr, flush=True)
    if progress is not None:
        print(file=sys.stderr)


def summary(w: Workload, rows: Dict[str, Workload]) -> Dict[str, Any]:
    med = {k: statistics.median(c.samples) for k, c in w.columns().items()}
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
    cols = w.columns()
    return {
        "kind": "time", "key": w.key, "title": w.title,
        "floor": w.floor_title, "ns": med, "ratios": ratios,
        "targets": targets,
        "statements": {k: c.stmt for k, c in cols.items()},
        "batch": {k: c.n * c.unroll for k, c in cols.items()},
        "rounds": len(w.module.samples),
        "spread": {k: (min(c.samples), max(c.samples))
                   for k, c in cols.items()},
    }


def fmt_ns(ns: float) -> str:
    if ns >= 1e9:
        return f"{ns / 1e9:.2f} s"
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e4:
        return f"{ns / 1e3:.1f} us"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.1f} ns"


def fmt_bytes(n: float) -> str:
    if n >= 1e6:
        return f"{n / 1e6:.1f} MB"
    if n >= 1e3:
        return f"{n / 1e3:.1f} kB"
    return f"{n:.0f} B"


# Other columns, in print order: other builtins first, then the peers.
OTHER_ORDER = ("namespace", "json", "addict", "munch", "easydict", "box")
OTHER_TITLES = {"namespace": "types.SimpleNamespace",
                "json": "json.loads(json.dumps(document))"}


def print_tables(results: List[Dict[str, Any]]) -> None:
    timed = [r for r in results if r["kind"] == "time"]
    memory = [r for r in results if r["kind"] == "memory"]
    if timed:
        head = (f"{'':12} {'workload':40} {'module':>10} {'model':>10} "
                f"{'floor':>10} {'mod/floor':>9} {'model/mod':>9}")
        print(head)
        print("-" * len(head))
        for r in timed:
            ns, ratios = r["ns"], r["ratios"]
            model = fmt_ns(ns["model"]) if "model" in ns else "-"
            speedup = (f"{ratios['model/module']:>8.1f}x"
                       if "model/module" in ratios else f"{'-':>9}")
            print(f"{r['key']:12} {r['title'][:40]:40} "
                  f"{fmt_ns(ns['module']):>10} {model:>10} "
                  f"{fmt_ns(ns['floor']):>10} "
                  f"{ratios['module/floor']:>8.2f}x {speedup}")
        print()
        print("floors:")
        for r in timed:
            print(f"  {r['key']:12} {r['floor']}")
    if memory:
        print()
        head = (f"{'':12} {'memory held':40} {'module':>10} {'model':>10} "
                f"{'floor':>10} {'mod/floor':>9} {'model/mod':>9}")
        print(head)
        print("-" * len(head))
        for r in memory:
            b, ratios = r["bytes"], r["ratios"]
            print(f"{r['key']:12} {r['title'][:40]:40} "
                  f"{fmt_bytes(b['module']):>10} {fmt_bytes(b['model']):>10} "
                  f"{fmt_bytes(b['floor']):>10} "
                  f"{ratios['module/floor']:>8.2f}x "
                  f"{ratios['model/module']:>8.1f}x")
        print("  floor: bytes held by copy.deepcopy(document); model/mod: "
              "the model's bytes over the module's")
    others = [k for k in OTHER_ORDER
              if any(f"{k}/floor" in r["ratios"] for r in results)]
    if others:
        print()
        print("against the same floor (time, or bytes for W14; "
              "lower is better):")
        head = (f"{'':12} {'module':>9}"
                + "".join(f" {k[:9]:>9}" for k in others))
        print(head)
        print("-" * len(head))
        for r in results:
            if not any(f"{k}/floor" in r["ratios"] for k in others):
                continue
            cells = [f"{r['ratios'][f'{k}/floor']:>8.2f}x"
                     if f"{k}/floor" in r["ratios"] else f"{'-':>9}"
                     for k in others]
            print(f"{r['key']:12} {r['ratios']['module/floor']:>8.2f}x "
                  + " ".join(cells))
        for k in others:
            if k in OTHER_TITLES:
                print(f"  {k}: {OTHER_TITLES[k]}")
    print()
    head = f"{'':12} {'target':38} {'measured':>9}  met"
    print(head)
    print("-" * len(head))
    met = total = 0
    for r in results:
        for t in r["targets"]:
            total += 1
            met += bool(t["met"])
            print(f"{r['key']:12} {t['what']:38} {t['measured']:>8.2f}x  "
                  f"{'yes' if t['met'] else 'NO'}")
    print(f"\n{met} of {total} targets met")


def git(*args: str) -> str:
    try:
        return subprocess.run(["git", "-C", ROOT, *args], capture_output=True,
                              text=True, timeout=10).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return ""


def environment() -> Dict[str, Any]:
    return {
        "python": sys.version.split()[0],
        "implementation": platform.python_implementation(),
        "machine": platform.machine(),
        "cpus": os.cpu_count(),
        "loadavg": os.getloadavg() if hasattr(os, "getloadavg") else None,
        "var_main": var_main.__file__,
        "commit": git("rev-parse", "--short", "HEAD"),
        # The last commit that changed anything but the benchmarks: what the
        # figures are of, when the build is of HEAD.
        "code_commit": git("log", "-1", "--format=%h", "--", ".",
                           ":(exclude)benchmarks"),
        # Uncommitted changes outside the benchmarks.
        "dirty": bool(git("status", "--porcelain", "--untracked-files=no",
                          "--", ".", ":(exclude)benchmarks")),
        "date": time.strftime("%Y-%m-%d %H:%M:%S"),
    }


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="fewer, shorter rounds")
    parser.add_argument("--json", metavar="FILE",
                        help="also write the results as JSON")
    parser.add_argument("--only", metavar="KEYS",
                        help="comma-separated rows or groups of rows, e.g. "
                        "W1,W6 (W6a and W6b),W11 (every document's load), "
                        "W14-mdn")
    parser.add_argument("--rounds", type=int, help="rounds of the small "
                        "rows (default 31, quick 9)")
    parser.add_argument("--batch-ms", type=float, help="time per batch "
                        "of the small rows (default 20, quick 5)")
    parser.add_argument("--doc-rounds", type=int, help="rounds of each "
                        "document's rows, one operation per batch "
                        "(default 3, quick 1)")
    parser.add_argument("--no-peers", action="store_true",
                        help="leave the peers' columns out")
    parser.add_argument("--peers", metavar="DIR", default=PEERS_DIR,
                        help=f"where the peers are (default {PEERS_DIR})")
    args = parser.parse_args(argv)

    rounds = args.rounds or (9 if args.quick else 31)
    doc_rounds = args.doc_rounds or (1 if args.quick else 3)
    batch_ns = (args.batch_ms or (5.0 if args.quick else 20.0)) * 1e6
    keys = None
    if args.only:
        keys = {k.strip().upper() for k in args.only.split(",") if k.strip()}
        # a row whose target refers to another row brings that row along
        keys |= {other.upper() for row, (other, _) in ROW_TARGETS.items()
                 if selects(keys, row)}

    env = environment()
    print(f"var_main {env['var_main']}")
    print(f"Python {env['python']} on {env['machine']}, {env['cpus']} CPUs, "
          f"load {env['loadavg']}, commit {env['commit']} (code "
          f"{env['code_commit']}{', uncommitted changes' if env['dirty'] else ''})")
    if args.no_peers:
        peers, notes = [], ["peers: --no-peers; peer columns skipped"]
    else:
        peers, notes = load_peers(args.peers)
    for note in notes:
        print(note)
    if peers:
        print("peers: " + ", ".join(p.name for p in peers)
              + f" from {args.peers}")

    pristine = copy.deepcopy((CONFIG, DELTA, VARIABLES))
    selected = [w for w in workloads(keys, peers) if selects(keys, w.key)]
    sources = [s for s in document_sources()
               if any(selects(keys, f"{g}-{s.name}")
                      for g in ("W11", "W12", "W14"))]
    if not selected and not sources:
        parser.error(f"no workload among {args.only}")
    print(f"{rounds} rounds, batches of about {batch_ns / 1e6:g} ms; "
          f"documents: {doc_rounds} round{'s' if doc_rounds > 1 else ''} of "
          f"one operation; medians; ratios are medians of per-round "
          f"ratios\n")
    tty = sys.stderr.isatty()
    started = time.monotonic()
    results: List[Dict[str, Any]] = []
    if selected:
        run(selected, rounds, batch_ns, "" if tty else None)
        rows = {w.key: w for w in selected}
        results += [summary(w, rows) for w in selected]
    del selected

    # The documents one at a time: their trees are large.
    documents: Dict[str, Dict[str, Any]] = {}
    for src in sources:
        documents[src.name] = {"what": src.what, "path": src.path,
                               "skipped": src.skipped}
        if src.skipped:
            print(f"{src.name}: skipped, {src.what} {src.skipped}")
            continue
        doc = src.load()
        documents[src.name].update(
            keys=count_keys(doc),
            bytes=os.path.getsize(src.path) if src.path else
            len(json.dumps(doc)))
        timed = document_workloads(src.name, doc, keys, peers)
        if timed:
            run(timed, doc_rounds, batch_ns, f"{src.name}: " if tty else None)
            results += [summary(w, {}) for w in timed]
        loaded = any(w.key.startswith("W11-") for w in timed)
        del timed
        gc.collect()
        if selects(keys, f"W14-{src.name}"):
            results.append(memory_row(src.name, doc, peers, warm=loaded))
        del doc
        gc.collect()

    # The shared data must come out of every row as it went in.
    if (CONFIG, DELTA, VARIABLES) != pristine:
        print("warning: a candidate changed the config, the delta or the "
              "variables it was given")

    print_tables(results)
    elapsed = time.monotonic() - started
    print(f"\n{elapsed:.1f} s")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump({"environment": env, "rounds": rounds,
                       "doc_rounds": doc_rounds,
                       "batch_ms": batch_ns / 1e6, "seconds": elapsed,
                       "config_keys": count_keys(CONFIG),
                       "documents": documents,
                       "peers": {"folder": args.peers,
                                 "loaded": [p.name for p in peers],
                                 "notes": notes},
                       "results": results}, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
