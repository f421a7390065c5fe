"""The attribute protocol (__getattr__, __setattr__, _set_attr) and the
contract of the public store class TesselVar, copies and pickles included."""

import collections
import copy
import inspect
import pickle
import unittest

from support import raised
from support import (LeakTest, TesselVar, TesselVarMain as T, bare, entries,
                     lines_of, store, swallow)

SKIP = ["_i_c_u", "_g_n_r", "_g_n_i", "_g_n_s"]


class Boom:
    def __bool__(self):
        raise ZeroDivisionError("truth")


def boom(*args, **kwargs):
    raise ZeroDivisionError("boom")


class Refusing(dict):
    def __setitem__(self, key, value):
        raise KeyError(key)


def frozen(inherit):
    """A store whose __dict__ refuses writes; its settings live in its class."""
    return type("Frozen", (T,), {"_g_n_r": True, "_g_n_i": inherit,
                                 "__dict__": property(lambda self: Refusing())})()


def set_up(reprint=True, inherit=False):
    s = T()
    s._set_class(None, reprint, inherit)
    return s


class ReadTest(unittest.TestCase):
    def test_reprint_setting(self):
        for reprint, on in [(True, True), (1, True), ("x", True), (False, False),
                            (0, False), (None, False), ("", False), ([], False)]:
            with self.subTest(reprint=reprint):
                s, name = store(reprint), "".join(["miss", "ing"])
                self.assertIs(getattr(s, name), name if on else None)
                self.assertIs(getattr(s, "missing", 5), "missing" if on else None)
                self.assertIs(s.missing, "missing" if on else None)
                self.assertIs(getattr(set_up(reprint), "__deepcopy__"), "__deepcopy__" if on else None)
                for n in ("_x", "__foo__", "__len__", "_g_n_q"):
                    self.assertTrue(hasattr(s, n))

    def test_ordinary_lookup_first(self):
        s = store(True, False, a=None)
        self.assertIsNone(s.a)
        self.assertEqual(s._mv_keys.__func__, T._mv_keys)
        self.assertIs(s._g_n_r, True)
        self.assertRaises(TypeError, abs, s)  # type-level lookups skip __getattr__
        s.__dict__["v"] = 1
        self.assertEqual((s.__getattr__("v"), store(None).__getattr__("_skip")), ("v", None))


class AssignTest(unittest.TestCase):
    def test_inherit_true_stores_as_given(self):
        s, d, l = store(inherit=True), {"x": 1}, [1, {"y": 2}]
        s.a, s.b = d, l
        self.assertIs(s.a, d)
        self.assertIs(s.b, l)

    def test_inherit_false_converts(self):
        s, inner, fs = store(a=0, z=0), [2], frozenset({1})
        s.a = {"x": 1}
        self.assertEqual((type(s.a).__name__, s.a._mv_to_dict()), ("TesselVar", {"x": 1}))
        s.b = (1, inner)
        self.assertEqual((type(s.b), s.b, type(s.b[1])), (list, [1, [2]], list))
        self.assertIsNot(s.b[1], inner)
        s.c = {1, 2}
        self.assertEqual(s.c, list({1, 2}))
        for value in (fs, "str", None, b"b", s.a):
            s.d = value
            self.assertIs(s.d, value)
        self.assertIsNone(T.__setattr__(s, "e", (1,)))
        self.assertEqual(s.e, [1])
        self.assertEqual(list(s.__dict__), SKIP + ["a", "z", "b", "c", "d", "e"])

    def test_dict_subclass_refused(self):
        s = store(a=5)
        exc = raised(lambda: setattr(s, "a", collections.OrderedDict(x=1)))
        self.assertIsInstance(exc, TypeError)
        self.assertIn("expected dict, got OrderedDict", str(exc))
        self.assertEqual(lines_of(exc), {"__setattr__": [337], "_set_attr": [311]})
        self.assertEqual(s.a, 5)

    def test_set_attr_converts_whatever_inherit(self):
        s, l = store(inherit=True), [1]
        self.assertIsNone(s._set_attr("b", l))
        self.assertEqual(s.b, [1])
        self.assertIsNot(s.b, l)

    def test_no_name_is_protected(self):
        s = store()
        real = s.__dict__
        s.__dict__ = {}
        s.__class__ = int
        self.assertIs(s.__dict__, real)
        self.assertEqual((real["__dict__"]._mv_keys(), real["__class__"], type(s)), ([], int, TesselVar))
        s._g_n_i, l = 1, [1]
        s.e = l
        self.assertIs(s.e, l)
        s._g_n_r = None
        self.assertIsNone(s.missing)
        s._g_n_i = 0
        s._set_attr = 0
        exc = raised(lambda: setattr(s, "f", 1))
        self.assertEqual((type(exc), lines_of(exc)), (TypeError, {"__setattr__": [337]}))
        del s.e
        self.assertNotIn("e", s.__dict__)
        with self.assertRaises(AttributeError):
            del s.e

    def test_calls_go_through_self(self):
        calls = []
        spy = type("Spy", (TesselVar,), {n: (lambda n: lambda self, *a, **k: calls.append((n, a, k))
                                             or getattr(T, n)(self, *a, **k))(n)
                                         for n in ("_set_attr", "_set_dict", "_set_list")})()
        d = {"x": 1}
        spy.a, spy.b = d, (1,)
        self.assertEqual(calls[:2], [("_set_attr", ("a", d), {}), ("_set_dict", ("a", d), {"new": True})])
        self.assertEqual(calls[-2:], [("_set_attr", ("b", (1,)), {}), ("_set_list", ((1,),), {})])
        self.assertEqual(spy._mv_to_dict(), {"a": {"x": 1}, "b": [1]})

    def test_str_subclass_names_refused(self):
        name = type("S", (str,), {})("a")
        for fn in (lambda: getattr(store(), name), lambda: setattr(store(), name, 1)):
            exc = raised(fn)
            self.assertEqual(str(exc), "Argument 'name' has incorrect type (expected str, got S)")
            self.assertEqual((len(exc.__notes__), entries(exc)), (1, []))

    def test_failure_lines(self):
        def truth_store(key):
            s = store()
            s.__dict__[key] = Boom()
            return s

        def hidden(key):
            s = store()
            s.__dict__[key] = boom
            return s
        cases = [
            (truth_store("_g_n_r"), lambda s: s.missing, ZeroDivisionError, {"__getattr__": [325]}),
            (truth_store("_g_n_i"), lambda s: setattr(s, "a", 1), ZeroDivisionError, {"__setattr__": [334]}),
            (frozen(True), lambda s: setattr(s, "a", 1), KeyError, {"__setattr__": [335]}),
            (frozen(False), lambda s: setattr(s, "a", 1), KeyError, {"__setattr__": [337], "_set_attr": [316]}),
            (frozen(False), lambda s: setattr(s, "a", [1]), KeyError, {"__setattr__": [337], "_set_attr": [314]}),
            (frozen(True), lambda s: s._set_attr("a", 1), KeyError, {"_set_attr": [316]}),
            (hidden("_set_dict"), lambda s: setattr(s, "a", {}), ZeroDivisionError, {"__setattr__": [337], "_set_attr": [311]}),
            (hidden("_set_list"), lambda s: setattr(s, "a", [1]), ZeroDivisionError, {"__setattr__": [337], "_set_attr": [313]}),
        ]
        for s, action, exc_type, lines in cases:
            with self.subTest(lines=lines):
                exc = raised(lambda: action(s))
                self.assertIsInstance(exc, exc_type)
                self.assertEqual(lines_of(exc), lines)
                if type(s) is TesselVar:
                    self.assertNotIn("a", s.__dict__)
        exc = raised(lambda: setattr(hidden("_set_list"), "a", [1]))
        self.assertEqual(entries(exc), [("var_main.py", 337, "var_main.TesselVarMain.__setattr__"),
                                        ("var_main.py", 313, "var_main.TesselVarMain._set_attr")])


class NotSetUpTest(unittest.TestCase):
    def test_bare_store_reads_and_writes_fail_cleanly(self):
        for s in (bare(), TesselVar.__new__(TesselVar)):
            with self.subTest(type(s).__name__):
                exc = raised(lambda: s.x)
                self.assertIs(type(exc), AttributeError)
                self.assertEqual(exc.name, "x")
                self.assertFalse(hasattr(s, "x"))
                self.assertEqual(getattr(s, "x", 5), 5)
                self.assertIs(type(raised(lambda: setattr(s, "x", 1))), AttributeError)
                self.assertEqual(s.__dict__, {})

    def test_standard_copying_rebuilds_bare_instances(self):
        s = set_up(None)
        s.a, s.b = [1, [2]], (3,)
        for copier in [copy.copy, copy.deepcopy] + [lambda o, p=p: pickle.loads(pickle.dumps(o, p))
                                                    for p in range(pickle.HIGHEST_PROTOCOL + 1)]:
            c = copier(s)
            self.assertEqual((type(c), c.__dict__), (T, s.__dict__))
            self.assertIsNot(c, s)
        # With reprint on, "__deepcopy__" reads as its own name.
        self.assertRaises(TypeError, copy.deepcopy, set_up(True))


class TesselVarTest(unittest.TestCase):
    def test_contract(self):
        s = TesselVar()
        self.assertEqual((type(s).__name__, TesselVar.__bases__, type(s.__dict__)), ("TesselVar", (T,), dict))
        self.assertEqual(list(s.__dict__.items())[1:], [("_g_n_r", True), ("_g_n_i", False), ("_g_n_s", False)])
        reprint = []
        s = TesselVar(reprint=reprint, inherit=1)
        made = s._i_c_u()
        self.assertIs(type(made), TesselVar)
        self.assertEqual(list(made.__dict__), SKIP)
        self.assertIs(made._g_n_r, reprint)
        self.assertEqual((made._g_n_i, made._mv_keys()), (1, []))
        s = TesselVar()
        self.assertIsNone(s.add(cfg={"a": 1}))
        s.add(cfg={"b": 2}, x=1)
        self.assertEqual(s._mv_to_dict(), {"cfg": {"a": 1, "b": 2}, "x": 1})
        self.assertEqual((list(s.keys()), s.get("x"), s.get("nope", 7), s.get("_g_n_r", 7)), (["cfg", "x"], 1, 7, 7))
        self.assertEqual(repr(s), "TesselVar(cfg=TesselVar(a=1, b=2), x=1)")

    def test_class_and_factory(self):
        import tesselvar
        import tesselvar._core as core
        self.assertEqual((TesselVar.__module__, TesselVar.__name__, TesselVar.__qualname__, type(TesselVar)),
                         ("tesselvar", "TesselVar", "TesselVar", type))
        self.assertIs(pickle.loads(pickle.dumps(TesselVar)), TesselVar)
        self.assertEqual(str(raised(getattr, TesselVar.__new__(TesselVar), "nope")), "'TesselVar' object has no attribute 'nope'")
        f = TesselVar(reprint=None, inherit=2)._i_c_u
        self.assertEqual((repr(f), type(f).__name__), ("<TesselVar factory reprint=None inherit=2>", "_Factory"))
        self.assertIs(type(copy.deepcopy(f)), tesselvar._Factory)
        self.assertRaises(TypeError, setattr, tesselvar._Factory, "x", 1)
        # The module shows its two classes and nothing that other extensions
        # would read (var_main learns of the class when the module starts).
        self.assertEqual({k for k in vars(core) if not k.startswith("__")}, {"TesselVar", "_Factory"})

    def test_methods_win_and_overrides_are_called(self):
        s = TesselVar()
        s.add(add=1, keys=2, get=3)
        s.keys = 4                                # stored, not hiding
        self.assertEqual((callable(s.add), callable(s.keys), callable(s.get)), (True, True, True))
        self.assertEqual((s._mv_get("keys"), TesselVar.get(s, "get"), s.get("add")), (4, 3, 1))
        del s.keys
        self.assertEqual((list(s.keys()), str(raised(delattr, s, "keys"))),
                         (["add", "get"], "'TesselVar' object has no attribute 'keys'"))
        log = []

        class Sub(TesselVar):
            def _set_class(self, *args):
                log.append("_set_class")
                super()._set_class(*args)

            def _mv_add(self, kwargs):
                log.append(("_mv_add", kwargs))
                super()._mv_add(kwargs)

            def get(self, name, default=None):
                log.append("get")
                return super().get(name, default)
        t = Sub()
        t.add(self=1)
        self.assertEqual((t.get("self"), log), (1, ["_set_class", ("_mv_add", {"self": 1}), "get"]))
        t.__dict__["_mv_add"] = lambda kw: log.append(("hiding", kw))
        t.add(a=2)
        self.assertEqual(log[-1], ("hiding", {"a": 2}))
        # A replacement on the class itself, for stores made directly and by
        # the factory alike.
        factory = TesselVar()._i_c_u
        TesselVar._set_class = lambda self, *args: log.append(("class", args[1:]))
        try:
            made = [TesselVar(reprint=0), factory()]
        finally:
            del TesselVar._set_class
        self.assertEqual(log[-2:], [("class", (0, False)), ("class", (True, False))])
        self.assertEqual([m.__dict__ for m in made], [{}, {}])
        self.assertEqual(list(TesselVar().__dict__), SKIP)

    def test_copies_and_pickles(self):
        copiers = [("copy", copy.copy), ("deepcopy", copy.deepcopy)] + [
            (f"pickle{p}", lambda o, p=p: pickle.loads(pickle.dumps(o, p)))
            for p in range(pickle.HIGHEST_PROTOCOL + 1)]
        for reprint, inherit in [(None, False), ("yes", 1)]:
            s = TesselVar(reprint=reprint, inherit=inherit)
            s.cfg = {"h": "x", "l": [1, {"a": 2}]}
            s.t = (1, 2)
            for what, copier in copiers:
                with self.subTest(what, reprint=reprint):
                    c = copier(s)
                    self.assertIs(type(c), TesselVar)
                    self.assertIsNot(c, s)
                    self.assertEqual(list(c.__dict__), list(s.__dict__))
                    self.assertEqual([c._g_n_r, c._g_n_i, c._g_n_s], [reprint, inherit, False])
                    self.assertEqual(c._mv_to_dict(), s._mv_to_dict())
                    self.assertEqual(c.missing, "missing" if reprint else None)
                    c.extra = {"k": 1}
                    self.assertNotIn("extra", s.__dict__)
                    if not inherit:
                        self.assertEqual(type(c.extra).__name__, "TesselVar")
                        self.assertIs(c.extra.missing, "missing" if reprint else None)
                    if what != "copy" and not inherit:
                        self.assertIsNot(c.cfg, s.cfg)
                        self.assertEqual((type(c.cfg), c.cfg._g_n_r), (TesselVar, reprint))
                        c.cfg.new = 1
                        self.assertNotIn("new", s.cfg.__dict__)


    def test_data_in_the_constructor(self):
        class Sub(TesselVar):
            pass

        class Keys:  # a mapping by keys() and [], as dict() takes it
            def keys(self):
                return ["a"]

            def __getitem__(self, k):
                return {"b": [1, {"c": 2}]}

        want = {"a": {"b": [1, {"c": 2}]}, "x": 3}
        for label, make in [("dict", lambda: TesselVar({"a": {"b": [1, {"c": 2}]}}, x=3)),
                            ("mapping", lambda: TesselVar(Keys(), x=3)),
                            ("ordered", lambda: TesselVar(collections.OrderedDict(Keys()), x=3)),
                            ("subclass", lambda: Sub({"a": {"b": [1, {"c": 2}]}}, x=3)),
                            ("merged", lambda: TesselVar({"a": {"b": [1]}, "x": 0}, a={"b": [{"c": 2}]}, x=3))]:
            with self.subTest(label):
                s = make()
                self.assertEqual((s._mv_to_dict(), type(s.a.b[1]).__name__, s.a._g_n_r), (want, "TesselVar", True))
        s = TesselVar({"a": {}}, reprint=False, inherit=True)  # loaded as _mv_add loads
        self.assertEqual((repr(s.a), s._g_n_r, s._g_n_i, s.nope), ("TesselVar()", False, True, None))
        refused = [((False,), TypeError, "positional argument, not bool; the settings are keyword-only"),
                   ((None, True), TypeError, "one positional argument, a mapping of variables (2 given)"),
                   (({"a": [{"b": {5: 1}}]},), TypeError, "the key 5 at $.a[0].b is not a str (int)"),
                   (({"p": {"q": {"_i_c_u": 1}}},), ValueError, "the key '_i_c_u' at $.p.q is the name of a store's setting")]
        for args, exc, text in refused:
            with self.subTest(args=args):
                self.assertIn(text, str(raised(TesselVar, *args, expect=exc)))
        self.assertIn("'_g_n_s' at $", str(raised(TesselVar, expect=ValueError, _g_n_s=1)))
        self.assertEqual(str(inspect.signature(TesselVar)),
                         "(data=None, /, *, reprint=True, inherit=False, **variables)")

    def test_mapping_protocol(self):
        s = TesselVar({"a": 1, "b": {"c": 2}})
        s.__dict__[5] = "five"
        self.assertEqual((s["a"], s[5], "b" in s, "_g_n_r" in s, list(s), len(s), bool(TesselVar())),
                         (1, "five", True, False, ["a", "b", 5], 3, True))
        for name in ("_g_n_r", "zz", ("a",)):
            self.assertEqual(raised(s.__getitem__, name, expect=KeyError).args, (name,))
        s["d"] = {"e": [{"f": 1}]}
        del s["a"]
        self.assertRaises(KeyError, s.__delitem__, "_i_c_u")
        self.assertEqual((type(s.d.e[0]).__name__, dict(s)["d"] is s.d, {**s}.keys() == {"b", 5, "d"}),
                         ("TesselVar", True, True))
        self.assertIn("_i_c_u", s.__dict__)

        class Hides(TesselVar):
            def _skip(self):
                return ["_i_c_u", "_g_n_r", "_g_n_i", "_g_n_s", "b"]
        h = Hides({"a": 1, "b": 2})
        self.assertEqual((len(h), list(h), "b" in h), (1, ["a"], False))

    def test_pickles_are_compact(self):
        doc = {f"k{i}": {"name": f"n{i}", "tags": [i, {"x": i}], "on": i % 2 == 0} for i in range(300)}
        s = TesselVar(doc)
        s.loop = [s]
        plain = len(pickle.dumps(doc, 5))
        data = pickle.dumps(s, 5)
        self.assertLess(len(data), 1.35 * plain)  # 600 tiny stores: about 9 bytes each
        c = pickle.loads(data)
        self.assertEqual((c.k7._mv_to_dict(), c.loop[0] is c, c.k1._i_c_u is c._i_c_u, c.k1.tags[1]._i_c_u is c._i_c_u),
                         (doc["k7"], True, True, True))
        # A store whose settings are its own (not its factory's) keeps them.
        s.k2.__dict__["_g_n_r"] = None
        for copier in (lambda o: pickle.loads(pickle.dumps(o)), copy.deepcopy, copy.copy):
            c = copier(s)
            self.assertEqual((c.k2._g_n_r, c.k2.nope, c.k3.nope), (None, None, "nope"))


class AttributeLeakTest(LeakTest):
    def test_no_leaks(self):
        off, on, b = store(), store(inherit=True), bare()
        fns = [lambda: off.missing, lambda: store(None).missing,
               lambda: setattr(off, "a", {"x": [1, (2,)]}), lambda: setattr(off, "b", 1),
               lambda: setattr(on, "a", {"x": 1}), lambda: on._set_attr("c", {1, 2}),
               swallow(lambda: b.x, AttributeError), swallow(lambda: setattr(b, "x", 1), AttributeError),
               swallow(lambda: setattr(off, "d", collections.OrderedDict()), TypeError)]
        for fn in fns:
            with self.subTest(fn=fn):
                self.assertNoLeak(fn)


if __name__ == "__main__":
    unittest.main()
