"""Hostile inputs, overrides and re-entrant code: every case runs in a child
interpreter, so a crash fails one test instead of ending the suite.  A child
prints "case|outcome" per case (outcome: the result, or the exception type)
and the test compares the whole table."""

import unittest

from support import run_python


def SETTINGS_PLUS(*names):
    return sorted(["_i_c_u", "_g_n_r", "_g_n_i", "_g_n_s", *names])

PRELUDE = """
import gc, sys, types
import var_main
from tesselvar import TesselVar
T = var_main.TesselVarMain
SETTINGS = ["_i_c_u", "_g_n_r", "_g_n_i", "_g_n_s"]

def mk(cls=TesselVar, **v):
    s = cls(); s.__dict__.update(v); return s

def mkd(*pairs):                       # a store with keys of any type
    s = mk(); s.__dict__.update(pairs); return s

ARMED = [False]                        # hostile keys act only once stored

def case(name, fn):
    try:
        out = fn()
    except BaseException as e:
        out = type(e).__name__
    print(f"{name}|{out}", flush=True)

def walks(s):
    # Every method that walks a store, by name, with a short outcome.
    return {"keys": s._mv_keys, "values": s._mv_values, "items": s._mv_items,
            "clear": s._mv_clear, "to_dict": s._mv_to_dict,
            "params": s._mv_to_params, "string": s._mv_to_string,
            "repr": lambda: repr(s).startswith("TesselVar("),
            "get": lambda: s._mv_get("v1", "D")}
"""

# Overrides and hooks that change the store (or the dict) being walked.
MUTATION = """
class Grow(TesselVar):                 # _skip adds a variable per call
    def _skip(self):
        self.__dict__[f"g{len(self.__dict__)}"] = 0
        return SETTINGS
class Shrink(TesselVar):               # _skip removes a variable per call
    def _skip(self):
        d = self.__dict__
        for k in [k for k in d if k.startswith("v")][:1]:
            del d[k]
        return SETTINGS
class Cycle(TesselVar):                # same size: a variable moved to the end
    def _skip(self):
        d = self.__dict__
        k = next(k for k in d if k.startswith("v"))
        d[k] = d.pop(k)
        return SETTINGS
for cls in (Grow, Shrink, Cycle):
    for what in walks(mk()):
        s = mk(cls, v1=1, v2=2, v3=3)
        case(f"{cls.__name__} {what}", walks(s)[what])

# _mv_pop overrides reached from _mv_clear, which lists the names first.
class PopGrow(TesselVar):
    def _mv_pop(self, name):
        self.__dict__.pop(name); self.__dict__["new_" + name] = 0
class PopWipe(TesselVar):
    def _mv_pop(self, name):
        self.__dict__.clear()
class PopAgain(TesselVar):
    def _mv_pop(self, name):
        self.__dict__.pop(name, None); self._mv_clear()
for cls in (PopGrow, PopWipe, PopAgain):
    s = mk(cls, v1=1, v2=2)
    case(f"{cls.__name__} clear", lambda: (s._mv_clear(), sorted(s.__dict__))[1])

# keys() and get() along a path that change the stores they walk.
class Path(TesselVar):
    def keys(self):
        self.__dict__.pop("other", None)
        return self._mv_keys()
    def get(self, name, default=None):
        return self.__dict__.pop(name, default)
s = mk(Path, a=mk(Path, b=2, other=1), other=1)
case("path hooks", lambda: (s._mv_get("$.a.b"), sorted(s._mv_keys())))
s = mk(Path, a=1)
s.__dict__["_mv_keys"] = lambda: s.__dict__.clear() or ["a"]
case("_mv_keys wipes", lambda: s._mv_get("a", "D"))

# add() of nested stores and the factory touch the outer store or the dict
# being walked.
Nested = type("TesselVar", (TesselVar,), {})
def hooked_add(hook):
    def add(self, **kw):
        hook(); self._mv_add(kw)
    return add
outer = mk()
kw = {"a": {"x": 1}, "b": 2}
for label, hook, call in [
        ("add wipes outer, assign", lambda: outer.__dict__.clear(),
         lambda: setattr(outer, "x", {"a": 1})),
        ("add wipes outer, _mv_add", lambda: outer.__dict__.clear(),
         lambda: outer._mv_add({"x": {"a": 1}, "y": [{"b": 2}], "z": 3})),
        ("add pops key, merge", lambda: outer.__dict__.pop("n", None),
         lambda: outer._set_dict("n", {"a": 1})),
        ("add grows kwargs", lambda: kw.setdefault(f"k{len(kw)}", 0),
         lambda: outer._mv_add(kw)),
        ("add grows kwargs, set_kwargs", lambda: kw.setdefault(f"k{len(kw)}", 0),
         lambda: outer._mv_set_kwargs(kw)),
        ("add re-enters", lambda: outer._mv_add({"r": [1]}),
         lambda: outer._set_list([{"a": 1}, {"b": 2}], "r"))]:
    Nested.add = hooked_add(hook)
    outer = mk(n=mk(Nested), r=[0])
    outer.__dict__["_i_c_u"] = Nested
    case(label, lambda: (call(), sorted(map(str, outer.__dict__)))[1])
s = mk(l=[0])
s.__dict__["_i_c_u"] = lambda: (s.__dict__.pop("l", None), mk())[1]
case("factory pops target", lambda: (s._mv_add({"l": [{"a": 1}]}), len(s.l))[1])

# __eq__/__hash__ of keys, __repr__/__str__ of values and names.
class EqKey:
    def __init__(self, act): self.act = act
    def __repr__(self): return "K"
    def __hash__(self): return hash("v1")
    def __eq__(self, other):
        if ARMED[0]: self.act()
        return NotImplemented
class HashKey(EqKey):
    def __hash__(self):
        if ARMED[0]: self.act()
        return 7
    __eq__ = object.__eq__
class ReprVal:
    def __init__(self, act): self.act = act
    def __repr__(self):
        self.act(); return "R"
class StrName(str):
    def __str__(self):
        STORE.__dict__.pop("v2", None); return "N"
for label, hostile, whats in [
        ("eq key adds", lambda: EqKey(lambda: STORE.__dict__.setdefault(f"e{len(STORE.__dict__)}", 0)),
         ["keys", "clear", "params", "repr", "get"]),
        ("eq key removes", lambda: EqKey(lambda: STORE.__dict__.pop("v2", None)),
         ["keys", "params", "get"]),
        ("hash key adds", lambda: HashKey(lambda: STORE.__dict__.setdefault(f"h{len(STORE.__dict__)}", 0)),
         ["keys", "to_dict", "clear"])]:
    for what in whats:
        STORE = mkd(("v1", 1), ("v2", 2), (hostile(), 0))
        ARMED[0] = True
        case(f"{label} {what}", walks(STORE)[what])
        ARMED[0] = False
for label, act in [("adds", lambda: STORE.__dict__.setdefault(f"r{len(STORE.__dict__)}", 0)),
                   ("clears", lambda: STORE._mv_clear())]:
    for what in ("params", "string", "repr", "to_dict"):
        STORE = mk(v1=ReprVal(act), v2=ReprVal(act))
        case(f"value repr {label} {what}", walks(STORE)[what])
for what in ("params", "repr"):
    STORE = mk(v2=2)
    STORE.__dict__[StrName("v1")] = 1
    case(f"name str removes {what}", walks(STORE)[what])

# _set_attr override that removes every variable while _mv_set_kwargs walks.
class Wipe(TesselVar):
    def _set_attr(self, name, value):
        for k in self._mv_keys():
            del self.__dict__[k]
        self.__dict__[name] = value
s = mk(Wipe, a=1)
case("set_attr wipes", lambda: (s._mv_set_kwargs({"b": 1, "c": 2}), sorted(s.__dict__))[1])

# The exporting store's _skip changes the nested store being exported.
class Inner(TesselVar):
    def _skip(self):
        self.n.__dict__[f"x{len(self.n.__dict__)}"] = 0
        return SETTINGS
s = mk(Inner, n=mk(v=1))
case("nested changed", s._mv_to_dict)

# A key whose __eq__ deletes a method from the class while the store is
# probed for a variable hiding it.  Last, since the class loses the methods.
class Deleter:
    def __init__(self, name): self.name = name
    def __hash__(self): return hash(self.name)
    def __eq__(self, other):
        if self.name in vars(T): delattr(T, self.name)
        return False
for name, call in [("_mv_keys", lambda s: s._mv_get("a", "D")),
                   ("_to_dict", lambda s: s._mv_to_dict()),
                   ("_set_list", lambda s: s._mv_add({"l": [1]}))]:
    s = mkd(("a", 1), (Deleter(name), 0))
    case(f"method deleted {name}", lambda: call(s))
"""

# Objects whose special methods raise, a metaclass whose __name__ raises,
# and every kind of broken store factory.
RAISING = """
class Bad:
    def __eq__(self, o): raise ValueError
    def __hash__(self): raise ValueError
    def __repr__(self): raise ValueError
    def __str__(self): raise ValueError
    def __bool__(self): raise ValueError
    def __lt__(self, o): raise ValueError
    def __iter__(self): raise ValueError
class BadKey(Bad):
    def __hash__(self): return 1
class BadName(str):
    def __str__(self): raise ValueError
class Meta(type):
    @property
    def __name__(cls): raise ValueError
class Odd(metaclass=Meta): pass
class OddDict(dict, metaclass=Meta): pass
def gen():
    yield 1; raise ValueError
B = Bad()
for label, fn in [
        ("flag new", lambda: mk(a=mk(v=1))._set_dict("a", {}, B)),
        ("flag new unused", lambda: mk()._set_dict("a", {}, B)),
        ("flag inherit", lambda: mk()._mv_set("a", 1, B)),
        ("flag sort", lambda: mk()._mv_to_dict(B)),
        ("reprint setting", lambda: mk(_g_n_r=B).missing),
        ("inherit setting", lambda: setattr(mk(_g_n_i=B), "a", 1)),
        ("current value truth", lambda: mk(a=B)._set_dict("a", {})),
        ("current value, _mv_add", lambda: mk(a=B)._mv_add({"a": {}})),
        ("value repr", lambda: mk(a=B)._mv_to_params()),
        ("value repr, repr", lambda: repr(mk(a=B))),
        ("name str", lambda: mkd((BadName("a"), 1))._mv_to_string()),
        ("key eq, keys", lambda: mkd((BadKey(), 1))._mv_keys()),
        ("key eq, get", lambda: mkd((BadKey(), 1))._mv_get("a", "D")),
        ("key lt, repr", lambda: repr(mkd((BadKey(), 1), ("a", 2)))),
        ("key lt, sort", lambda: mkd((BadKey(), [1]), ("a", 2))._mv_to_dict(True)),
        ("get with bad key", lambda: mk()._mv_get(B, "D")),
        ("get with bad step", lambda: mk(a=1)._mv_get([B], "D")),
        ("pops bad name", lambda: mk()._mv_pops((B,))),
        ("set_list keeps bad", lambda: len(mk()._set_list([B, (B,)]))),
        ("set_list bad iterator", lambda: mk(l=[0])._set_list(gen(), "l")),
        ("list_to_dict bad iter", lambda: mk()._list_to_dict(B)),
        ("meta export", lambda: mk(a=Odd())._mv_to_dict()),
        ("meta list export", lambda: mk()._list_to_dict([Odd()])),
        ("meta merge", lambda: mk(a=Odd())._set_dict("a", {"x": 1})),
        ("meta views", lambda: len(mk(a=Odd())._mv_values())),
        ("meta render", lambda: mk(a=Odd())._mv_to_params().startswith("a=<")),
        ("meta refused", lambda: mk()._mv_add(OddDict())),
        ("meta refused to_dict", lambda: mk()._to_dict(OddDict()))]:
    case(label, fn)

class Other(TesselVar): pass
def fails(): raise ValueError
for label, make in [("raises", lambda s: fails), ("None", lambda s: lambda: None),
                    ("object", lambda s: object), ("bare", lambda s: T),
                    ("other class", lambda s: Other), ("itself", lambda s: lambda: s),
                    ("not callable", lambda s: 42)]:
    # Each call answers the type of the nested store it made.
    for what, call in [("assign", lambda s: (setattr(s, "x", {"a": 1}), s.x)),
                       ("add", lambda s: (s._mv_add({"x": {"a": 1}}), s.x)),
                       ("replace", lambda s: (s._set_dict("t", {"a": 1}), s.t)),
                       ("list", lambda s: (s._mv_add({"l": [{"a": 1}]}), s.l[-1]))]:
        s = mk(t=5, l=[0])
        s.__dict__["_i_c_u"] = make(s)
        case(f"factory {label} {what}", lambda: type(call(s)[1]).__name__)
s = mk(); s.__dict__["_i_c_u"] = lambda: s
s.x = {"a": 1}
case("factory itself, repr", lambda: repr(s))
case("factory itself, export", s._mv_to_dict)
"""

# Containers nested 100,000 deep, and containers that contain themselves,
# through every method that recurses.
DEPTH = """
N = 100000
def deep(make):
    v = make(None)
    for _ in range(N):
        v = make(v)
    return v
def deep_store():
    top = cur = mk()
    for _ in range(N):
        cur.__dict__["n"] = cur = mk()
    return top
values = {"list": deep(lambda v: [v]), "tuple": deep(lambda v: (v,)),
          "dict": deep(lambda v: {"a": v}), "store": deep_store()}
loop = [1]; loop.append(loop)
cyc = {}; cyc["d"] = cyc
values["self list"], values["self dict"] = loop, cyc
for name, v in values.items():
    for what, call in [
            ("assign", lambda: setattr(mk(), "x", v)),
            ("_mv_add", lambda: mk()._mv_add({"x": v})),
            ("_mv_set", lambda: mk()._mv_set("x", v, True)),
            ("set_list", lambda: mk()._set_list([v])),
            ("list_to_dict", lambda: mk()._list_to_dict([v])),
            ("to_dict", lambda: mk()._to_dict({"x": v})),
            ("export", lambda: mk(x=v)._mv_to_dict()),
            ("repr", lambda: repr(mk(x=v))),
            ("params", lambda: mk(x=v)._mv_to_params())]:
        case(f"{name} {what}", lambda: (call(), "done")[1])
s = values["store"]
case("deep store path", lambda: s._mv_get(["n"] * N) is not None)

me = mk(); me.__dict__["me"] = me
via_list = mk(); via_list.__dict__["l"] = [via_list]
via_dict = mk(); via_dict.__dict__["d"] = {"s": via_dict}
for name, s in [("self store", me), ("store via list", via_list),
                ("store via dict", via_dict)]:
    for what, call in [("export", s._mv_to_dict), ("to_dict", lambda: s._to_dict(s.__dict__)),
                       ("list_to_dict", lambda: s._list_to_dict([s])),
                       ("repr", lambda: repr(s)), ("params", s._mv_to_params),
                       ("string", s._mv_to_string), ("keys", s._mv_keys),
                       ("path", lambda: s._mv_get(["me"] * 1000, "D")),
                       ("add", lambda: s._mv_add({"me": {"x": 1}})),
                       ("clear", s._mv_clear)]:
        case(f"{name} {what}", lambda: (call(), "done")[1])

s = mk(l=[1, 2])
case("list extends itself", lambda: (s._mv_add({"l": s.l}), s.l)[1])
Sub = type("Sub", (list,), {})
s = mk(l=Sub([1]))
case("list subclass extends itself", lambda: s._set_list(s.l, "l"))
case("list subclass after", lambda: list(s.l))
"""

BIG = """
N = 1000000
s = TesselVar()
s.__dict__.update((f"v{i}", i) for i in range(N))
for what, call in [
        ("keys", lambda: len(s._mv_keys())), ("values", lambda: len(s._mv_values())),
        ("items", lambda: s._mv_items()[-1]),
        ("export", lambda: len(s._mv_to_dict())),
        ("sorted", lambda: next(iter(s._mv_to_dict(True)))),
        ("to_dict", lambda: len(s._to_dict(s.__dict__))),
        ("params", lambda: s._mv_to_params().count("&")),
        ("string", lambda: s._mv_to_string().count(", ")),
        ("repr", lambda: repr(s).count(", ")),
        ("get", lambda: s._mv_get(f"v{N - 1}")),
        ("clear", lambda: (s._mv_clear(), s._mv_keys(), sorted(s.__dict__))[1:])]:
    case(what, call)
"""

CODE = """
for name in [k for k in vars(T) if not k.startswith("__") or k in
             ("__getattr__", "__setattr__", "__repr__")]:
    code = getattr(T, name).__code__
    args = [None] * code.co_argcount
    case(f"{name} exec", lambda: exec(code))
    case(f"{name} exec globals", lambda: exec(code, {}))
    case(f"{name} function", lambda: types.FunctionType(code, {})())
    case(f"{name} function args", lambda: types.FunctionType(code, {})(*args))
"""


def run(script, timeout=300):
    return run_python(PRELUDE + script, timeout=timeout)


class HostileTest(unittest.TestCase):
    maxDiff = None

    def check(self, script, expected, timeout=300):
        r = run(script, timeout)
        self.assertNotIn("Fatal Python error", r.stderr)
        self.assertNotIn("Sanitizer", r.stderr)
        self.assertEqual(r.returncode, 0, r.stderr[-3000:])
        got = dict(line.split("|", 1) for line in r.stdout.splitlines())
        self.assertEqual(got, expected)

    def test_mutation_during_walks(self):
        rt, settings = "RuntimeError", SETTINGS_PLUS()
        walked = {"keys": rt, "values": rt, "items": rt, "clear": rt,
                  "to_dict": rt, "params": rt, "string": rt, "repr": "True",
                  "get": "D"}
        expected = {f"{cls} {what}": outcome for cls in ("Grow", "Shrink")
                    for what, outcome in walked.items()}
        # Moving a variable keeps the size: the walk ends as a dict iterator's
        # would, having seen each position once.
        expected.update({
            "Cycle keys": "['v2', 'v1', 'v3']", "Cycle values": "[2, 1, 3]",
            "Cycle items": "[('v2', 2), ('v1', 1), ('v3', 3)]",
            "Cycle clear": "None", "Cycle to_dict": "{'v2': 2, 'v1': 1, 'v3': 3}",
            "Cycle params": "v2=2&v1=1&v3=3",
            "Cycle string": '"v2": "2", "v1": "1", "v3": "3"',
            "Cycle repr": "True", "Cycle get": "1",
            "PopGrow clear": str(SETTINGS_PLUS("new_v1", "new_v2")),
            "PopWipe clear": "[]", "PopAgain clear": str(settings),
            "path hooks": "(2, [])", "_mv_keys wipes": "None",
            "add wipes outer, assign": "[]",
            "add wipes outer, _mv_add": "AttributeError",  # factory gone too
            "add pops key, merge": str(SETTINGS_PLUS("r")),
            "add grows kwargs": rt, "add grows kwargs, set_kwargs": rt,
            "add re-enters": str(SETTINGS_PLUS("n", "r")),
            "factory pops target": "2",
            "eq key adds keys": rt, "eq key adds clear": rt,
            "eq key adds params": rt, "eq key adds repr": "TypeError",
            "eq key adds get": "D", "eq key removes keys": rt,
            "eq key removes params": rt, "eq key removes get": "D",
            "hash key adds keys": "['v1', 'v2', K]",
            "hash key adds to_dict": rt, "hash key adds clear": "TypeError",
            "set_attr wipes": str(SETTINGS_PLUS("c")), "nested changed": rt,
            # the name then reads as itself (reprint), which is no callable
            "method deleted _mv_keys": "D", "method deleted _to_dict": "TypeError",
            "method deleted _set_list": "TypeError",
            "name str removes params": rt, "name str removes repr": "True",
        })
        for act in ("adds", "clears"):
            expected.update({f"value repr {act} params": rt,
                             f"value repr {act} string": rt,
                             f"value repr {act} repr": "True",
                             f"value repr {act} to_dict": "{'v1': R, 'v2': R}"})
        self.check(MUTATION, expected)

    def test_raising_special_methods_and_factories(self):
        expected = {
            "flag new": "ValueError", "flag new unused": "None",
            "flag inherit": "ValueError", "flag sort": "ValueError",
            "reprint setting": "ValueError", "inherit setting": "ValueError",
            "current value truth": "ValueError",
            "current value, _mv_add": "ValueError",
            "value repr": "ValueError", "value repr, repr": "ValueError",
            "name str": "ValueError", "key eq, keys": "ValueError",
            "key eq, get": "D", "key lt, repr": "ValueError",
            "key lt, sort": "ValueError", "get with bad key": "D",
            "get with bad step": "D", "pops bad name": "TypeError",
            "set_list keeps bad": "2", "set_list bad iterator": "ValueError",
            "list_to_dict bad iter": "ValueError",
            "meta export": "ValueError", "meta list export": "ValueError",
            "meta merge": "ValueError", "meta views": "1",
            "meta render": "True", "meta refused": "TypeError",
            "meta refused to_dict": "TypeError",
        }
        outcomes = {"raises": ["ValueError"] * 4,
                    "None": ["AttributeError"] * 4,
                    "object": ["AttributeError"] * 4,
                    "bare": ["AttributeError"] * 4,
                    "other class": ["Other"] * 4,
                    "itself": ["TesselVar"] * 4,
                    "not callable": ["TypeError"] * 4}
        for label, results in outcomes.items():
            for what, outcome in zip(("assign", "add", "replace", "list"), results):
                expected[f"factory {label} {what}"] = outcome
        expected["factory itself, repr"] = "RecursionError"
        expected["factory itself, export"] = "RecursionError"
        self.check(RAISING, expected)

    def test_deep_and_self_containing_values(self):
        rec = "RecursionError"
        expected = {}
        for name in ("list", "tuple", "self list"):
            expected.update({f"{name} {w}": rec for w in (
                "assign", "_mv_add", "_mv_set", "set_list", "list_to_dict",
                "to_dict", "export")})
        for name in ("list", "tuple", "dict", "store"):
            expected.update({f"{name} repr": rec, f"{name} params": rec})
        expected.update({"self list repr": "done", "self list params": "done",
                         "self dict repr": "done", "self dict params": "done"})
        for name in ("dict", "self dict"):
            expected.update({f"{name} {w}": rec for w in (
                "assign", "_mv_add", "_mv_set", "set_list")})
            expected.update({f"{name} {w}": "done" for w in (
                "list_to_dict", "to_dict", "export")})
        expected.update({"store assign": "done", "store _mv_add": "done",
                         "store _mv_set": "done", "store set_list": "done",
                         "store list_to_dict": rec, "store to_dict": rec,
                         "store export": rec, "deep store path": "True"})
        for name in ("self store", "store via list", "store via dict"):
            expected.update({f"{name} {w}": rec for w in (
                "export", "to_dict", "list_to_dict", "repr", "params", "string")})
            expected.update({f"{name} {w}": "done" for w in (
                "keys", "path", "add", "clear")})
        # Exports never walk plain dicts; a list's or dict's own repr() cuts
        # a cycle through it.
        expected.update({f"store via dict {w}": "done" for w in (
            "export", "to_dict", "list_to_dict", "repr", "params", "string")})
        expected.update({f"store via list {w}": "done" for w in (
            "repr", "params", "string")})
        expected.update({"list extends itself": "[1, 2, 1, 2]",
                         "list subclass extends itself": "TypeError",
                         "list subclass after": "[1, 1]"})
        self.check(DEPTH, expected)

    def test_a_million_variables(self):
        n = 1000000
        self.check(BIG, {
            "keys": str(n), "values": str(n), "items": str((f"v{n - 1}", n - 1)),
            "export": str(n), "sorted": "v0", "to_dict": str(n),
            "params": str(n - 1), "string": str(n - 1), "repr": str(n - 1),
            "get": str(n - 1), "clear": str(([], SETTINGS_PLUS())),
        }, timeout=600)

    def test_running_code_objects(self):
        import var_main
        T = var_main.TesselVarMain
        expected = {}
        for name in [k for k in vars(T) if not k.startswith("__") or k in
                     ("__getattr__", "__setattr__", "__repr__")]:
            unbound = "TypeError" if getattr(T, name).__code__.co_argcount else "NotImplementedError"
            expected.update({f"{name} exec": unbound, f"{name} exec globals": unbound,
                             f"{name} function": unbound,
                             f"{name} function args": "NotImplementedError"})
        self.assertEqual(len(expected), 23 * 4)
        self.check(CODE, expected)


if __name__ == "__main__":
    unittest.main()
