"""Views, lookup and removal, with subclasses and variables hiding methods."""

import collections
import collections.abc
import unittest

from support import raised_as as caught
from support import (LeakTest, TesselVar, TesselVarMain, bare, lines_of,
                     store, swallow)

SETTINGS = ["_i_c_u", "_g_n_r", "_g_n_i", "_g_n_s"]
VIEW_LINE = {"_mv_keys": 141, "_mv_values": 149, "_mv_items": 157}


def raiser(exc):
    def fn(*args):
        raise exc
    return fn


def sub(**attrs):
    """A set-up instance of a TesselVar subclass with the given attributes."""
    return type("Sub", (TesselVar,), attrs)()


class Counting(TesselVar):
    calls = 0
    grow = False            # add a variable on every call

    def _skip(self):
        Counting.calls += 1
        if self.grow:
            self.__dict__[f"v{Counting.calls}"] = 0
        return SETTINGS


class ViewTest(unittest.TestCase):
    def test_order_exclusion_and_fresh_lists(self):
        s = store(a=1, b=2, _x=None)
        s.inner = {"x": 1}
        inner = s.__dict__["inner"]
        self.assertEqual(s._mv_keys(), ["a", "b", "_x", "inner"])
        self.assertEqual(s._mv_values(), [1, 2, None, inner])
        self.assertIs(s._mv_values()[3], inner)
        self.assertEqual(s._mv_items()[:3], [("a", 1), ("b", 2), ("_x", None)])
        self.assertTrue(all(type(p) is tuple for p in s._mv_items()))
        s.a = 3
        self.assertEqual(s._mv_items()[0], ("a", 3))
        s._mv_pop("a"); s.a = 4
        before = s._mv_keys()
        self.assertEqual(before, ["b", "_x", "inner", "a"])
        s.c = 5
        self.assertEqual(before, ["b", "_x", "inner", "a"])
        self.assertEqual(s._mv_keys()[-1], "c")
        for name in VIEW_LINE:
            self.assertEqual(getattr(store(), name)(), [], name)
            self.assertEqual(getattr(bare(), name)(), [], name)

    def test_skip_is_asked_once_per_entry(self):
        s = Counting()
        s.__dict__.update(a=1, b=2)          # six entries with the settings
        for call in list(VIEW_LINE) + ["_mv_get", "_mv_clear"]:
            Counting.calls = 0
            getattr(s, call)(*(["a"] if call == "_mv_get" else []))
            self.assertEqual(Counting.calls, 6, call)
        s = sub(_skip=lambda self: ["a"])
        s.a = 1
        self.assertEqual(s._mv_keys(), SETTINGS)
        self.assertIs(s._mv_get("_g_n_r"), True)
        s._mv_clear()
        self.assertEqual(list(s.__dict__), ["a"])
        s = store(a=1, _skip=lambda: ["_skip"] + SETTINGS)   # hides the method
        self.assertEqual(s._mv_items(), [("a", 1)])
        s.__dict__["_skip"] = 0
        for name, line in VIEW_LINE.items():
            e = caught(TypeError, getattr(s, name))
            self.assertEqual(lines_of(e), {name: [line]})

    def test_keys_view(self):
        s = store(a=1, b=2)
        view = s.keys()
        self.assertIsInstance(view, collections.abc.KeysView)
        self.assertEqual((list(view), len(view), repr(view)), (["a", "b"], 2, "TesselVarKeys(['a', 'b'])"))
        s.c = 3                                   # a live view
        self.assertEqual(list(view), ["a", "b", "c"])
        self.assertEqual(("a" in view, "_g_n_r" in view, "zz" in view), (True, False, False))
        self.assertEqual([view, view & ["a", "z"], ["z"] | view, view - {"a"}, {"a", "z"} ^ view, {"a"} - view],
                         [{"a", "b", "c"}, {"a"}, {"a", "b", "c", "z"}, {"b", "c"}, {"b", "c", "z"}, set()])
        self.assertEqual((view == dict.fromkeys("cba").keys(), view == ["a", "b", "c"], view < set("abcd")),
                         (True, False, True))
        self.assertEqual((view.isdisjoint("xa"), view.isdisjoint("xy")), (False, True))
        self.assertRaises(TypeError, hash, view)
        self.assertRaises(TypeError, view.__contains__, [])   # a dict probe
        # One probe and one _skip call per `in` or get(), whatever the size.
        c = Counting()
        c.__dict__.update((f"v{i}", i) for i in range(50))
        Counting.calls = 0
        self.assertEqual(("v7" in c.keys(), c.get("v8"), c.get("_g_n_r", "d")), (True, 8, "d"))
        self.assertEqual(Counting.calls, 3)
        h = sub(_skip=lambda self: ["a"] + SETTINGS)
        h.a, h.b = 1, 2
        self.assertEqual((list(h.keys()), "a" in h.keys(), h.get("a", "d")), (["b"], False, "d"))
        it = iter(s.keys())
        next(it)
        s.d = 4
        for _ in range(2):                        # sticky, as for a dict
            self.assertEqual(str(caught(RuntimeError, next, it)), "dictionary changed size during iteration")

    def test_skip_that_grows_the_dict(self):
        for name, line in list(VIEW_LINE.items()) + [("_mv_clear", 102)]:
            s = type("Grow", (Counting,), {"grow": True})()
            s.__dict__["a"] = 1
            e = caught(RuntimeError, getattr(s, name))
            self.assertEqual(str(e), "dictionary changed size during iteration")
            self.assertEqual(lines_of(e), {name: [line]})
            self.assertEqual(s.__dict__["a"], 1)


class LookupTest(unittest.TestCase):
    def test_path_steps_call_what_overrides_them(self):
        # A path step is a dict probe only while the class's own keys(),
        # get() and _skip are in force; otherwise every call still happens.
        log = []

        class Keys(TesselVar):
            def keys(self):
                log.append("keys")
                return super().keys()

        class Get(TesselVar):
            def get(self, name, default=None):
                log.append("get")
                return super().get(name, default)

        class Eq(str):
            def __eq__(self, other):
                log.append("eq")
                return str.__eq__(self, other)
            __hash__ = str.__hash__
        for cls, want in [(Keys, ["keys", "keys"]), (Get, ["get", "get"]),
                          (Counting, None)]:
            top = cls()
            top.a = {"b": {"c": 1}}
            object.__setattr__(top.a, "__class__", cls)
            log.clear()
            Counting.calls = 0
            self.assertEqual(top._mv_get("$.a.b"), top.a.b, cls)
            if want is not None:
                self.assertEqual(log, want, cls)
            else:
                self.assertEqual(Counting.calls, 4)   # `in` and get() per step
        hidden = TesselVar()
        hidden.a = {"b": 1}
        hidden.a.__dict__["_skip"] = lambda: ["b"]     # a variable hides _skip
        self.assertEqual(hidden._mv_get("$.a.b", "D"), "D")
        plain = TesselVar(inherit=True)
        plain.d = {Eq("k"): 1}                         # probed as often as called
        log.clear()
        self.assertEqual(plain._mv_get(["d", "k"]), 1)
        self.assertEqual(log, ["eq", "eq"])

    def test_names_and_paths(self):
        class Odd(str):
            def startswith(self, prefix):
                return False
        s = sub(cls_attr=5)
        s.__dict__.update({
            "a": 1, "n": None, "db": {"host": "h", "": {"b": 2}}, "a.b": "ab",
            "$a.b": "dollar", "": "empty", "$": {"a": 3}, "$.a": "literal",
            97: {98: "bytes"}, "nest": TesselVar()})
        s.nest.x = "nx"
        for key, default, expected in [
                ("a", None, 1), ("b", None, None), ("b", 0, 0), ("n", 5, None),
                ("_g_n_r", "x", "x"), ("cls_attr", "d", "d"), ("a.b", 0, "ab"),
                ("$a.b", 0, "dollar"), ("$.", 0, "empty"), ("$.db..b", 0, 2),
                ("$.$.a", 0, 3), ("$.db.host", 0, "h"), (["db", "host"], 0, "h"),
                (("db", "port"), 1, 1), ("$.a", 0, 1), ("$.a.b", "d", "d"),
                ("$.nest.x", 0, "nx"), (b"ab", 0, "bytes"),
                ({"db": 0, "host": 0}, 0, "h"), (iter(["db", "host"]), 0, "h"),
                (["db", []], "d", "d"), (42, "d", "d"), (None, "d", "d"),
                (3.5, "d", "d"), (Odd("$.a"), 0, "literal")]:
            with self.subTest(key=key):
                self.assertEqual(s._mv_get(key, default), expected)
        self.assertIs(s._mv_get("$.db"), s.__dict__["db"])
        self.assertIs(s._mv_get(["nest"]), s.nest)
        sentinel = object()
        self.assertIs(s._mv_get("zz", default=sentinel), sentinel)
        for empty in ([], ()):
            self.assertIs(s._mv_get(empty, 0), s)

    def test_base_class_has_no_walk(self):
        for reprint in (True, False):
            m = TesselVarMain()
            m._set_class(TesselVar, reprint, True)
            m.a = {"b": 1}
            for key in ("$.a", ["a"], "$.a.b", ("a", "b"), "$."):
                self.assertEqual(m._mv_get(key, "d"), "d")
            self.assertIs(m._mv_get([], "d"), m)
            self.assertEqual(m._mv_get("a"), {"b": 1})
        self.assertEqual(bare()._mv_get("$.a", "d"), "d")

    def test_overrides_and_hiding_variables_steer_the_lookup(self):
        s = store(a=1, b=2, _mv_keys=lambda: ["b", "zz"])
        self.assertEqual([s._mv_get(k, "d") for k in "abz"], ["d", 2, "d"])
        self.assertIsNone(s._mv_get("zz", "d"))      # listed but not stored
        s.__dict__["_mv_keys"] = 0
        self.assertEqual(s._mv_get("b", "d"), "d")
        s = TesselVarMain()
        s.__dict__.update(keys=lambda: ["x"], get=lambda k: "got " + k)
        self.assertEqual(s._mv_get("$.x"), "got x")
        self.assertEqual(s._mv_get("$.y", "d"), "d")
        # TesselVar's own keys and get win over variables of those names.
        s = TesselVar()
        s.__dict__.update(keys=lambda: ["x"], get=lambda k: "got " + k)
        self.assertEqual(s._mv_get("$.x", "d"), "d")
        self.assertIs(s._mv_get("$.keys"), s.__dict__["keys"])
        log = []
        s = sub(_mv_keys=lambda self: ["_g_n_i"],
                keys=lambda self: log.append("keys") or ["p"],
                get=lambda self, k: log.append(k) or {"q": 7})
        s.a = 1
        self.assertEqual(s._mv_get("a", "d"), "d")
        self.assertIs(s._mv_get("_g_n_i", "d"), False)
        self.assertEqual(s._mv_get("$.p.q"), 7)
        self.assertEqual(log, ["keys", "p"])
        self.assertEqual(sub(keys=raiser(ValueError))._mv_get("$.a", "d"), "d")

    def test_only_exceptions_are_swallowed(self):
        class Split(str):
            split = raiser(KeyboardInterrupt)

        class Starts(str):
            startswith = raiser(SystemExit)

        def steps():
            yield "a"
            raise KeyboardInterrupt
        for exc in (KeyboardInterrupt, SystemExit):
            for attr, key, line in [("keys", "$.a", 127), ("get", ["a"], 128),
                                    ("_mv_keys", "a", 120)]:
                s = sub(**{attr: raiser(exc)})
                s.a = 1
                e = caught(exc, s._mv_get, key, "d")
                self.assertEqual(lines_of(e), {"_mv_get": [line]}, (exc, line))
        for key, exc, line in [(Starts("$.a"), SystemExit, 115),
                               (Split("$.a"), KeyboardInterrupt, 116),
                               (steps(), KeyboardInterrupt, 126)]:
            e = caught(exc, store(a={})._mv_get, key, "d")
            self.assertEqual(lines_of(e), {"_mv_get": [line]}, line)


class RemovalTest(unittest.TestCase):
    def test_pop_and_pops(self):
        s = store(a=1, b=2, c=3)
        self.assertIsNone(s._mv_pop("a"))
        self.assertEqual(s._mv_keys(), ["b", "c"])
        for _ in range(2):
            self.assertIsNone(s._mv_pop("zzz"))       # reprint on: still absent
        self.assertIsNone(s._mv_pops(("b", "b", "zzz")))
        s._mv_pops(())
        self.assertEqual(s._mv_keys(), ["c"])
        s._mv_pop("_g_n_i")
        s._mv_pops(("_g_n_r", "_g_n_s"))
        self.assertEqual(list(s.__dict__), ["_i_c_u", "c"])
        s = store(a=1, b=2)
        e = caught(TypeError, s._mv_pops, ("a", 1, "b"))
        self.assertEqual(lines_of(e), {"_mv_pops": [95]})
        self.assertEqual(s._mv_keys(), ["b"])

    def test_argument_errors(self):
        s = store(a=1)
        pair = collections.namedtuple("Pair", "x y")("a", "a")
        tail = "positional argument"
        for call, text, note, lines in [
                (lambda: s._mv_pop(None), "Argument 'name' has incorrect type (expected str, got NoneType)", False, {}),
                (lambda: s._mv_pop(type("S", (str,), {})("a")), "Argument 'name' has incorrect type (expected str, got S)", True, {}),
                (lambda: s._mv_pops(["a"]), "Argument 'args' has incorrect type (expected tuple, got list)", False, {}),
                (lambda: s._mv_pops(pair), "Argument 'args' has incorrect type (expected tuple, got Pair)", True, {}),
                (lambda: s._mv_get(), f"_mv_get() takes at least 2 {tail}s (1 given)", False, {"_mv_get": [106]}),
                (lambda: s._mv_get(1, 2, 3), f"_mv_get() takes at most 3 {tail}s (4 given)", False, {"_mv_get": [106]}),
                (lambda: s._mv_get("a", key="a"), None, False, {"_mv_get": [106]}),
                (lambda: s._mv_pop(), f"_mv_pop() takes exactly 2 {tail}s (1 given)", False, {"_mv_pop": [79]}),
                (lambda: s._mv_pops(), f"_mv_pops() takes exactly 2 {tail}s (1 given)", False, {"_mv_pops": [88]}),
                (lambda: s._mv_clear(1), f"_mv_clear() takes exactly 1 {tail} (2 given)", False, {"_mv_clear": [98]})]:
            e = caught(TypeError, call)
            if text:
                self.assertEqual(str(e), text)
            self.assertEqual(bool(getattr(e, "__notes__", None)), note, text)
            self.assertEqual(lines_of(e), lines, text)
        self.assertEqual(s._mv_keys(), ["a"])
        self.assertEqual(s._mv_get(default=0, key="a"), 1)
        s._mv_pops(args=("a",)); s._mv_pop(name="zz")
        self.assertEqual(s._mv_keys(), [])

    def test_failure_lines(self):
        class Bad(TesselVar):
            bad = property(raiser(ValueError))
        no_del = sub(__delattr__=raiser(LookupError))
        for s, call, exc, lines in [
                (Bad(), lambda s: s._mv_pop("bad"), ValueError, {"_mv_pop": [85]}),
                (Bad(), lambda s: s._mv_pops(("a", "bad")), ValueError, {"_mv_pops": [95]}),
                (store(), lambda s: s._mv_pop("_mv_keys"), AttributeError, {"_mv_pop": [86]}),
                (store(), lambda s: s._mv_pops(("a", "_mv_keys")), AttributeError, {"_mv_pops": [96]}),
                (no_del, lambda s: s._mv_clear(), LookupError, {"_mv_clear": [104], "_mv_pop": [86]}),
                (sub(_mv_pop=raiser(LookupError)), lambda s: s._mv_clear(), LookupError, {"_mv_clear": [104]}),
                (sub(_skip=raiser(ZeroDivisionError)), lambda s: s._mv_clear(), ZeroDivisionError, {"_mv_clear": [102]})]:
            s.__dict__["a"] = 1
            self.assertEqual(lines_of(caught(exc, call, s)), lines)
        s = store(a=1)
        s.__dict__.update({1: 2, "b": 3})
        e = caught(TypeError, s._mv_clear)
        self.assertEqual(lines_of(e), {"_mv_clear": [104]})
        self.assertEqual(list(s.__dict__), SETTINGS + [1, "b"])

    def test_clear(self):
        s = store(x=1, _y=2, z=3)
        settings = {k: s.__dict__[k] for k in SETTINGS}
        s.inner = TesselVar()
        s.inner.k = 1
        inner = s.inner
        s._mv_clear()
        self.assertEqual(s.__dict__, settings)
        self.assertEqual([getattr(s, v)() for v in VIEW_LINE], [[], [], []])
        self.assertEqual(inner._mv_keys(), ["k"])
        calls = []
        s = store(a=1, b=2, _mv_pop=calls.append)   # hides the method
        s._mv_clear()
        self.assertEqual(calls, ["a", "b", "_mv_pop"])
        self.assertEqual(s._mv_keys(), ["a", "b", "_mv_pop"])

        def late(self, name):           # the list is complete before removal
            calls.append(name)
            self.__dict__["late" + name] = 0
            TesselVar._mv_pop(self, name)
        calls.clear()
        s = sub(_mv_pop=late)
        s.__dict__.update(a=1, b=2)
        s._mv_clear()
        self.assertEqual((calls, s._mv_keys()), (["a", "b"], ["latea", "lateb"]))
        calls.clear()
        sub(_mv_pop=late)._mv_clear()
        self.assertEqual(calls, [])

    def test_deletion_goes_through_delattr(self):
        log = []

        class Sub(TesselVar):
            def __delattr__(self, name):
                log.append(name)
                super().__delattr__(name)
            prop = property(lambda self: 1, None, lambda self: log.append("del"))
        s = Sub()
        s.a = 1
        s._mv_pop("a"); s._mv_pop("a"); s._mv_pop("prop")
        self.assertEqual(log, ["a", "prop", "del"])

    def test_interpreter_slots_as_variables(self):
        names = ["__dict__", "__class__", "__weakref__"]
        for remove in (lambda s, n: s._mv_pop(n), lambda s, n: s._mv_pops((n,)),
                       lambda s, n: s._mv_clear()):
            for name in names:
                s = store(a=1)
                d = s.__dict__
                d[name] = {"v": 1}
                remove(s, name)
                with self.subTest(name=name):
                    self.assertIs(s.__dict__, d)
                    self.assertNotIn(name, d)
                    self.assertIs(type(s), TesselVar)
                    self.assertIs(d["_g_n_r"], True)
        s = store(a=1)
        for name in names:
            s._mv_pop(name)
        s._mv_pops(tuple(names))
        self.assertEqual(s._mv_keys(), ["a"])


class LeakCheck(LeakTest):
    def test_no_leaks(self):
        s = store(inherit=True, a=1, db={"host": "h"})
        k = sub(keys=raiser(ZeroDivisionError))

        def run():
            s._mv_keys(); s._mv_values(); s._mv_items()
            s._mv_get("a"); s._mv_get("$.db.host"); s._mv_get(["db", []])
            s._mv_get(42); s._mv_get("$.a.b"); s._mv_get(b"x"); k._mv_get("$.a")
            s._mv_pop("a"); s._mv_pop("zz"); s.__dict__["a"] = 1
            s.__dict__["__dict__"] = 1; s._mv_pop("__dict__")
            t = store(x=1, y=2, z=[3])
            t._mv_pops(("x", "y")); t._mv_clear()
        self.assertNoLeak(run, per_round=500)
        self.assertNoLeak(swallow(lambda: s._mv_pops(("a", 1))), per_round=500)
        self.assertNoLeak(swallow(lambda: s._mv_pop("_mv_keys")), per_round=500)
        self.assertNoLeak(swallow(sub(_skip=raiser(ValueError))._mv_keys), per_round=500)


if __name__ == "__main__":
    unittest.main()
