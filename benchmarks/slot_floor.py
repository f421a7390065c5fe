"""What the interpreter itself charges for W2, W3 and W6a, with any C hook.

A store answers a missing name through `__getattr__`, takes assignments
through `__setattr__` and is called as `store._mv_get(name)` on a class with
`__getattr__` and a dict too large to be inline.  Each of those reaches an
extension only through the interpreter's generic path: the attribute
slot's own lookups, the call, and (for the method) a bound method made on
every call.  This counts that path with the cheapest hooks CPython itself
has, builtin methods that do almost nothing, so that the rest of each row
is what the module spends:

  W2  `n.missing` where `__getattr__ = list.count` (a METH_O builtin: one
      comparison on an empty list)
  W3  `n.x = 1` where `__setattr__ = dict.__setitem__` (the store goes into
      the object's own table), and where `__setattr__ = dict.setdefault`
      (a METH_FASTCALL builtin; no store, `x` being there already)
  W6a `n.get("v50")` on a dict subclass with `__getattr__` and 100
      variables in its instance dict: the bound method and the call

Instructions per operation under callgrind, as instructions.py counts them
(a run with N operations minus a run with none):

    PYTHONHASHSEED=0 PYTHONPATH=build/release/python \
        python3.13 benchmarks/slot_floor.py
"""

from __future__ import annotations

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from instructions import refs  # noqa: E402

SETUP = {
    "W2 __getattr__ = list.count": (
        "class N(list):\n    __getattr__ = list.count\n"
        "n = N(); n.x = 1\n", "n.missing"),
    "W3 __setattr__ = dict.__setitem__": (
        "class N(dict):\n    __setattr__ = dict.__setitem__\n"
        "n = N(); n.x = 1\n", "n.x = 1"),
    "W3 __setattr__ = dict.setdefault": (
        "class N(dict):\n    __setattr__ = dict.setdefault\n"
        "n = N(); n.x = 1\n", "n.x = 1"),
    "W6a method of a class with __getattr__": (
        "class N(dict):\n    __getattr__ = list.count\n"
        "n = N(); n.__dict__.update({f'v{i:02d}': i for i in range(100)})\n",
        'n.get("v50")'),
}
UNROLL = 10


def child(key: str, n: int) -> None:
    setup, stmt = SETUP[key]
    env: dict = {}
    exec(setup, env)
    body = "\n".join("    " + stmt for _ in range(UNROLL))
    exec(f"def run(k):\n  for _ in range(k):\n{body}\n", env)
    env["run"](n)


def count(key: str, n: int) -> int:
    return refs([os.path.abspath(__file__), "--child", key, str(n)], key)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=2000)
    parser.add_argument("--child", nargs=2, metavar=("KEY", "N"))
    args = parser.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]))
        return
    for key in SETUP:
        per_op = (count(key, args.n) - count(key, 0)) / (args.n * UNROLL)
        print(f"{key:45} {per_op:9,.0f}")


if __name__ == "__main__":
    main()
