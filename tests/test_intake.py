"""Value intake: _set_dict, _set_list, _mv_add, _mv_set, _mv_set_kwargs."""

import unittest

from support import raised as caught
from support import LeakTest, TesselVar, lines_of, run_python, store


def spy(*names, **variables):
    """A store of a TesselVar subclass whose methods `names` log their calls."""
    log = []

    def wrap(name, base):
        return lambda self, *a, **k: (log.append((name, *a, *k.values())),
                                      base(self, *a, **k))[1]
    s = type("Spy", (TesselVar,),
             {n: wrap(n, getattr(TesselVar, n)) for n in names})()
    s.__dict__.update(variables)
    log.clear()
    return s, log


def fail():
    raise ValueError("factory down")


class Truth:
    """Logs its truth tests; raises `value` if it is an exception."""
    def __init__(self, log, name, value):
        self.log, self.name, self.value = log, name, value

    def __bool__(self):
        self.log.append(self.name)
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


def nested(value):
    return type(value).__name__ == "TesselVar"


D = type("D", (dict,), {})


class SetDict(unittest.TestCase):
    def test_decision_table(self):
        sub = type("Sub", (TesselVar,), {})()  # named otherwise: replaced
        for current in (None, 0, "", [], False, 5, "text", [1], sub):
            with self.subTest(current=current):
                s, log = spy("_mv_set", "__setattr__", a=current)
                s._set_dict("a", {"x": 1})
                self.assertTrue(nested(s.a) and s.a is not current)
                self.assertEqual(s.a._mv_to_dict(), {"x": 1})
                # false: created through _mv_set; true: written into __dict__
                self.assertEqual([c[0] for c in log], [] if current
                                 else ["_mv_set", "__setattr__"])
        s = store()
        s._set_dict("a", {"x": 1})
        kept = s.a
        s._set_dict("a", {"y": 2})
        self.assertIs(s.a, kept)
        self.assertEqual(kept._mv_to_dict(), {"x": 1, "y": 2})
        s._set_dict("a", {"y": 3}, new=True)
        self.assertEqual((s.a is kept, s.a._mv_to_dict()), (False, {"y": 3}))
        s._set_dict("_i_c_u", {})
        self.assertTrue(nested(s._i_c_u))

    def test_merge_targets_keep_identity(self):
        class TesselVar:  # unrelated, but named like a store
            def add(self, **kw):
                self.got = kw
                kw["junk"] = 1
        fake, plain, sub = TesselVar(), {"x": 1}, D(x=1)
        s, given = store(f=fake, p=plain, q=sub), {"y": 2}
        for key, target in (("f", fake), ("p", plain), ("q", sub)):
            s._set_dict(key, given)
            self.assertIs(s.__dict__[key], target)
        self.assertEqual((fake.got, given), ({"y": 2, "junk": 1}, {"y": 2}))
        self.assertEqual((plain, sub), ({"x": 1, "y": 2}, {"x": 1, "y": 2}))

    def test_merge_into_the_public_class_goes_through_its_mv_add(self):
        # The class's own add() hands a fresh dict to self._mv_add: a hiding
        # variable or a subclass override is what gets it, and keys that
        # cannot be keywords fail as the keyword call does.
        got = []
        s = TesselVar()
        s.n = {"x": 1}
        s.n.__dict__["_mv_add"] = got.append
        given = {"y": 2}
        s._mv_add({"n": given})
        self.assertEqual((got, got[0] is given, s.n.__dict__.get("y")), ([{"y": 2}], False, None))
        own = type("TesselVar", (TesselVar,),
                   {"_mv_add": lambda self, kwargs: got.append(("own", kwargs))})
        t = TesselVar()
        t.__dict__["n"] = own()
        t._mv_add({"n": {"z": 3}})
        self.assertEqual(got[-1], ("own", {"z": 3}))
        e = caught(TesselVar()._mv_add, {"n": {1: 2}}, expect=TypeError)
        self.assertEqual(str(e), "keywords must be strings")

    def test_truth_of_current_before_new(self):
        log = []
        for cur, new, tested, create in ((False, True, ["cur"], True),
                                         (True, False, ["cur", "new"], False),
                                         (True, True, ["cur", "new"], True)):
            log.clear()
            s, calls = spy("_mv_set", a=Truth(log, "cur", cur))
            s._set_dict("a", {"x": 1}, Truth(log, "new", new))
            self.assertEqual((log, bool(calls)), (tested, create))
        s = store(a=Truth(log, "cur", ZeroDivisionError()))
        self.assertRaises(ZeroDivisionError, s._set_dict, "a", {}, True)
        self.assertIs(type(s.a), Truth)
        # a non-str keyword fails in add, after the new store is placed
        self.assertRaises(TypeError, s._set_dict, "b", {"x": 1, 2: 3})
        self.assertEqual(s.b._mv_to_dict(), {})


class SetList(unittest.TestCase):
    def test_conversion_at_every_level(self):
        s, log = spy("_set_list")
        inner, fs, text, raw = [1], frozenset({2}), "s", b"b"
        out = s._set_list((1, (2, (3,)), {4}, inner, {"k": 5}, fs, text, raw))
        self.assertEqual(out[:4], [1, [2, [3]], [4], [1]])
        self.assertEqual([type(v) for v in (out[1], out[1][1], out[2])],
                         [list] * 3)
        self.assertIsNot(out[3], inner)
        self.assertEqual(out[4]._mv_to_dict(), {"k": 5})
        self.assertEqual([a is b for a, b in zip(out[5:], (fs, text, raw))],
                         [True] * 3)
        self.assertEqual(len(log), 5)  # recursion goes through self
        self.assertEqual((s._set_list(set()), s._set_list(())), ([], []))
        masked = type("Masked", (dict,), {  # copied with dict(element)
            "keys": lambda self: ["k"], "__iter__": lambda self: iter(["k"]),
            "__getitem__": lambda self, k: "seen"})(k=1, hidden=2)
        self.assertEqual(s._set_list([masked])[0]._mv_to_dict(), {"k": "seen"})

    def test_target_list(self):
        kept, tup = [1, 2], (1, 2)
        s = store(a=kept, t=tup, **{"": [0]})
        self.assertIs(s._set_list([3], "a"), kept)
        self.assertIs(s._set_list(kept, "a"), kept)  # extends with itself
        self.assertEqual(kept, [1, 2, 3] * 2)
        for key in ("", "t", "missing", None):
            self.assertEqual(s._set_list([3], key), [3])
        self.assertEqual((s.t, s.__dict__[""]), (tup, [0]))
        self.assertRaises(TypeError, s._set_list, 5)  # not iterable

    def test_list_subclass_target(self):
        seen = []
        Rec = type("Rec", (list,), {"append": lambda self, v: (
            seen.append(v._mv_to_dict() if nested(v) else v),
            list.append(self, v))})
        s = store(a=Rec([0]))
        with self.assertRaises(TypeError) as cm:
            s._set_list([1, {"k": 2}], "a")
        self.assertEqual(str(cm.exception), "Expected list, got Rec")
        self.assertEqual((seen, len(s.a)), ([1, {"k": 2}], 3))

    def test_recursion_ends(self):
        loop = [1]
        loop.append(loop)
        with self.assertRaises(RecursionError):
            store().x = loop
        r = run_python("from tesselvar import TesselVar\ndeep = []\n"
                       "for _ in range(100000): deep = [deep]\n"
                       "try: TesselVar().x = deep\n"
                       "except RecursionError: print('ended')")
        self.assertEqual((r.returncode, r.stdout.strip()), (0, "ended"), r.stderr)


class SetOperations(unittest.TestCase):
    def test_mv_add_per_entry(self):
        cfg, ids = store(x=1), [1, 2]
        s, log = spy("_set_dict", "_set_list", "_mv_set", "__setattr__",
                     cfg=cfg, ids=ids, t=(1, 2))
        s._mv_add({"cfg": {"y": 2}, "ids": (3, {"k": 4}), "t": [3],
                   "n": 5, "s": "x"})
        self.assertEqual([c[:2] for c in log], [
            ("_set_dict", "cfg"), ("_set_list", (3, {"k": 4})),
            ("_set_list", [3]), ("_mv_set", "n"), ("__setattr__", "n"),
            ("_mv_set", "s"), ("__setattr__", "s")])
        self.assertEqual((s.cfg, s.ids), (cfg, ids))
        self.assertEqual(s._mv_to_dict(), {"cfg": {"x": 1, "y": 2}, "n": 5,
                         "ids": [1, 2, 3, {"k": 4}], "t": [3], "s": "x"})
        s = store(inherit=True)  # containers converted whatever the setting
        s._mv_add({"d": {"a": 1}, "l": (1,), None: [1]})
        self.assertTrue(nested(s.d))
        self.assertEqual((s.l, s.__dict__[None]), ([1], [1]))
        self.assertIsNone(s._mv_add({}))

    def test_keys_named_like_methods(self):
        # Any key of a document loads, merges, exports and is found; the
        # attribute keeps reading the method or the interpreter's slot.
        names = ["self", "add", "get", "keys", "items", "__class__", "__dict__"]
        for load in ("add", "assign", "method"):
            s = store()
            if load == "assign":
                s.x = {name: {"a": 1, "b": [2]} for name in names}
            for name in names:
                for part in ({"a": 1}, {"b": [2]}):    # the second merges
                    if load == "add":
                        s._mv_add({"x": {name: part}})
                    elif load == "method":
                        s.add(x={name: part})
            x = s.__dict__["x"]
            with self.subTest(load):
                self.assertEqual(list(x.keys()), names)
                for name in names:
                    value = x.__dict__[name]
                    self.assertEqual((s._mv_get(["x", name, "a"]), s._mv_get(f"$.x.{name}.b")), (1, [2]))
                    self.assertIs(x._mv_get(name), value)
                    self.assertIs(x.get(name), value)
                self.assertEqual(s._mv_to_dict(), {"x": {n: {"a": 1, "b": [2]} for n in names}})
                self.assertEqual((x.add.__name__, x.keys.__name__, x.get.__name__), ("add", "keys", "get"))
                self.assertIs(x.__class__, TesselVar)
                self.assertIs(type(x.__dict__), dict)
        s = store()
        s.add(self=1)                             # self is positional-only
        s.add(add={"k": 1})
        s.add(add={"j": 2})
        self.assertEqual(s._mv_to_dict(), {"self": 1, "add": {"k": 1, "j": 2}})

    def test_argument_checks_come_first(self):
        s, log = spy("_set_attr", "__setattr__", "_mv_set")
        boom = Truth(log, "inherit", ZeroDivisionError())
        for call, args in (
                (lambda: s._mv_add(None), ("kwargs", "dict", "NoneType")),
                (lambda: s._mv_add(D(a=1)), ("kwargs", "dict", "D")),
                (lambda: s._mv_set_kwargs(D(a=1)), ("kwargs", "dict", "D")),
                (lambda: s._mv_set(5, 1, boom), ("name", "str", "int")),
                (lambda: s._set_dict(None, {}), ("key", "str", "NoneType")),
                (lambda: s._set_dict(5, None), ("key", "str", "int")),
                (lambda: s._set_dict("a", None), ("value", "dict", "NoneType")),
                (lambda: s._set_list([1], 5), ("key", "str", "int")),
                (lambda: s._set_list([1], type("S", (str,), {})("a")),
                 ("key", "str", "S")),
                # non-str keys of _mv_add fail in the method they reach
                (lambda: s._mv_add({1: 2}), ("name", "str", "int")),
                (lambda: s._mv_add({1: {}}), ("key", "str", "int")),
                (lambda: s._mv_add({"a": D()}), ("value", "dict", "D"))):
            with self.subTest(args=args), self.assertRaises(TypeError) as cm:
                call()
            self.assertEqual(str(cm.exception), "Argument '{}' has incorrect "
                             "type (expected {}, got {})".format(*args))
        self.assertEqual([c[0] for c in log], ["_mv_set"] * 2)  # direct calls
        self.assertNotIn("a", s.__dict__)
        self.assertRaises(TypeError, s._mv_set_kwargs, {1: 2})

    def test_walk_detects_size_change(self):
        for method, hook, value in (("_mv_add", "_set_dict", {}),
                                    ("_mv_add", "_set_list", []),
                                    ("_mv_add", "_mv_set", 1),
                                    ("_mv_add", "_i_c_u", {}),
                                    ("_mv_set_kwargs", "__setattr__", 1)):
            with self.subTest(hook=hook):
                walked = {"a": value, "b": 2}
                s = type("Mut", (TesselVar,), {})()
                grow = lambda *a: walked.update(extra=1) or TesselVar()
                setattr(s if hook == "_i_c_u" else type(s), hook, grow)
                with self.assertRaises(RuntimeError) as cm:
                    getattr(s, method)(walked)
                self.assertEqual(str(cm.exception),
                                 "dictionary changed size during iteration")
                self.assertNotIn("b", s.__dict__)

    def test_nothing_rolled_back(self):
        s, looked = store(), []
        s._i_c_u = fail
        with self.assertRaises(ValueError):
            s._mv_add({"a": 1, "b": {"c": 1}, "z": Truth(looked, "z", True)})
        self.assertEqual((s.a, "b" in s.__dict__, looked), (1, False, []))

    def test_mv_set_inherit_table(self):
        for inherit in (False, True):
            for gni in (False, True):
                s, log = spy("_set_attr", "__setattr__", _g_n_i=gni)
                d, l = {"a": 1}, (1,)
                s._mv_set("d", d, inherit)
                s._mv_set("l", l, inherit)
                as_given = gni and not inherit
                self.assertEqual((s.d is d, nested(s.d), s.l),
                                 (True, False, l) if as_given
                                 else (False, True, [1]))
                # the route of the sequence (a dict comes back through
                # __setattr__ with its nested store)
                self.assertEqual([c[0] for c in log if c[1] == "l"],
                                 ["_set_attr"] if inherit else
                                 ["__setattr__"] + ["_set_attr"] * (not gni))

    def test_mv_set_kwargs_sees_earlier_entries(self):
        s = store(cfg=store(x=1))
        s._mv_set_kwargs({"cfg": {"y": 2}, "_g_n_i": True, "d": {"a": 1}})
        self.assertEqual(s.cfg._mv_to_dict(), {"y": 2})
        self.assertIs(type(s.d), dict)
        self.assertIsNone(s._mv_set_kwargs({}))

    def test_hidden_mv_set_is_used(self):
        s, seen = store(), []
        s.__dict__["_mv_set"] = lambda *a: seen.append(a)
        s._set_dict("a", {"x": 1})
        s._mv_add({"n": 5})
        self.assertEqual([a[0] for a in seen], ["a", "n"])
        self.assertEqual(seen[0][1]._mv_to_dict(), {"x": 1})
        self.assertNotIn("a", s.__dict__)

    def test_traceback_lines(self):
        for call, lines in (
                (lambda s: s._set_dict("a", {}), {"_set_dict": [243]}),
                (lambda s: s._set_dict("t", {}), {"_set_dict": [240]}),
                (lambda s: s._mv_add({"b": {}}), {"_mv_add": [72], "_set_dict": [243]}),
                (lambda s: s._set_list([[{}]]), {"_set_list": [265, 261]}),
                (lambda s: s._mv_add({"l": [{}]}), {"_mv_add": [74], "_set_list": [261]})):
            s = store(t=5)
            s._i_c_u = fail
            self.assertEqual(lines_of(caught(lambda: call(s))), lines)


class Leaks(LeakTest):
    def test_no_leak(self):
        def work():
            s = store(l=[1], t=5, n=store(x=1))
            s._set_dict("a", {"x": 1})
            s._set_dict("a", {"y": [1, {"z": 2}]})
            s._set_dict("t", {"q": (1,)})
            s._mv_add({"l": (2, {"k": 3}), "n": {"y": 1}, "v": 1})
            s._mv_set("w", [{}], True)
            s._set_list(s.l, "l")
            for bad in ({"l": [{1: 2}]}, {"a": {1: 2}}, {"b": 1, "c": {}, "e": 2},
                        {"l": [1, {}]}, {"u": {"v": 1}}):
                try:
                    s._mv_add(bad)
                except TypeError:
                    s._i_c_u = fail
                except ValueError:
                    pass
        self.assertNoLeak(work, per_round=300)


if __name__ == "__main__":
    unittest.main()
