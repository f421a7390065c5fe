"""Export into plain containers (_mv_to_dict, _to_dict, _list_to_dict) and the
text forms (_mv_to_params, _mv_to_string, __repr__)."""

import collections
import contextlib
import io
import json
import unittest

from support import raised_as as raised
from support import (LeakTest, TesselVar, TesselVarMain, lines_of, run_python,
                     store, swallow)

SETTINGS = ["_i_c_u", "_g_n_r", "_g_n_i", "_g_n_s"]


def mk(cls=TesselVar, **variables):
    s = cls()
    s.__dict__.update(variables)
    return s


def boom(*args):
    raise AssertionError("a nested store's own method was used")


# Named like the public class, so it counts as a nested store, but every
# conversion method of its own fails: the exporting store must do the work.
Nested = type("TesselVar", (TesselVar,), {
    "_to_dict": boom, "_list_to_dict": boom, "_skip": staticmethod(boom)})
Foreign = type("TesselVar", (), {})          # unrelated, same type name
Other = type("Other", (TesselVar,), {})


class Counting(TesselVar):
    calls = 0

    @staticmethod
    def _skip():
        Counting.calls += 1
        return TesselVarMain._skip()


class BadName(str):
    def __str__(self):
        raise NameError("name")


class BadValue:
    def __repr__(self):
        raise ValueError("value")


class Grow:
    """Adds a variable to its store whenever it is shown."""
    def __init__(self, s):
        self.s = s

    def __repr__(self):
        self.s.__dict__["g%d" % len(self.s.__dict__)] = 1
        return "G"


class Export(unittest.TestCase):
    def test_values(self):
        foreign = Foreign()
        foreign.__dict__.update(x=(1,), _g_n_r=0)
        seq = [1, (2, 3), mk(Nested, e=4), [5], "_g_n_r", {6}]
        for value, expected in [
                ((1, 2), [1, 2]), ({3}, [3]), (seq, [1, [2, 3], {"e": 4}, [5], "_g_n_r", [6]]),
                (collections.namedtuple("P", "x y")(1, (2,)), [1, [2]]),
                (mk(Nested, e=3, t=(1,), z=0, a=1), {"e": 3, "t": [1], "z": 0, "a": 1}),
                (foreign, {"x": [1]})]:
            with self.subTest(expected=expected):
                got = store(v=value)._mv_to_dict(sort=True)["v"]
                self.assertEqual(got, expected)
                if isinstance(expected, dict):  # nested levels keep their order
                    self.assertEqual(list(got), list(expected))
        # Deeper than one walk goes, and a tuple subclass at the bottom: the
        # walk gives up and the levels run.
        for bottom, last in ((1, 1), (collections.namedtuple("Q", "x")(2), [2])):
            deep, want = mk(e=bottom), {"e": last}
            for _ in range(80):
                deep, want = mk(n=deep, t=(1,)), {"n": want, "t": [1]}
            self.assertEqual(deep._mv_to_dict(), want)
        for same in [{"k": mk(e=(1,))}, frozenset({1}), "ab", None, 1.5,
                     mk(TesselVarMain, x=(1,)), mk(Other, x=(1,))]:
            with self.subTest(same=same):
                self.assertIs(store(v=same)._mv_to_dict()["v"], same)

    def test_internal_settings(self):
        s = store(a=1)
        self.assertEqual(TesselVar()._mv_to_dict(), {})
        s.__dict__.update(_i_c_u=[1], _g_n_r=mk(e=2), _g_n_i=(3,), _g_n_s=5)
        self.assertEqual(s._mv_to_dict(), {"_i_c_u": [1], "_g_n_r": {"e": 2},
                                           "_g_n_i": [3], "a": 1})

    def test_sort(self):
        s = store(b=mk(z=1, y=2), a=1, B=2)
        for flag in (False, 0, "", None):
            self.assertEqual(list(s._mv_to_dict(flag)), ["b", "a", "B"])
        for flag in (True, 1, "x"):
            got = s._mv_to_dict(sort=flag)
            self.assertEqual(list(got), ["B", "a", "b"])
            self.assertEqual(list(got["b"]), ["z", "y"])  # only the top level
        self.assertEqual(s._to_dict({1: "one", "a": 2}), {1: "one", "a": 2})
        self.assertRaises(TypeError, s._to_dict, {1: "one", "a": 2}, True)

        class K:  # equal keys with distinct hashes: pairs then order by value
            __eq__ = lambda a, b: isinstance(b, K)
            __lt__ = lambda a, b: False
            __hash__ = object.__hash__
        self.assertEqual(list(s._to_dict({K(): 2, K(): 1}, 1).values()), [1, 2])
        self.assertRaises(TypeError, s._to_dict, {K(): object(), K(): object()}, 1)

    def test_calls_go_through_the_exporting_store(self):
        s = mk(Counting, a=1, l=[1], n=mk(e=3, t=(2,)))
        Counting.calls = 0
        self.assertEqual(s._mv_to_dict(), {"a": 1, "l": [1], "n": {"e": 3, "t": [2]}})
        self.assertEqual(Counting.calls, 10)  # 5 entries per level reach the test
        for render in (s._mv_to_params, s._mv_to_string, s.__repr__):
            Counting.calls = 0
            render()
            self.assertEqual(Counting.calls, 7, render)  # every entry

        log = []

        class Rec(TesselVar):
            def _to_dict(self, kwargs, sort=False):
                log.append(("to", sort))
                return super()._to_dict(kwargs, sort)

            def _list_to_dict(self, array):
                log.append(("list", type(array).__name__))
                return super()._list_to_dict(array)
        r = mk(Rec, n=mk(Nested, e=(1, [2])), l=[mk(Nested, f=1)])
        self.assertEqual(r._mv_to_dict("yes"), {"l": [{"f": 1}], "n": {"e": [1, [2]]}})
        self.assertEqual(log, [("to", "yes"), ("to", False), ("list", "tuple"),
                               ("list", "list"), ("list", "list"), ("to", False)])

    def test_variables_hiding_methods(self):
        hide = lambda array: ["hidden", array]
        s = store(a=1, t=(1, 2), _list_to_dict=hide)
        self.assertEqual(s._mv_to_dict(), {"a": 1, "t": ["hidden", (1, 2)],
                                           "_list_to_dict": hide})
        s = store(a=1, b=2, _skip=lambda: tuple(SETTINGS) + ("_skip", "a"))
        self.assertEqual(s._mv_to_dict(), {"b": 2})
        self.assertEqual((s._mv_to_params(), s._mv_to_string(), repr(s)),
                         ("b=2", '"b": "2"', "TesselVar(b=2)"))
        s = store(a=1, _to_dict=lambda kw, sort=False: {"n": len(kw), "sort": sort})
        self.assertEqual(s._mv_to_dict(1), {"n": 6, "sort": 1})

    def test_failures(self):
        s = store(a=1)
        with self.assertRaisesRegex(TypeError, r"^Argument 'kwargs' has incorrect "
                                    r"type \(expected dict, got NoneType\)$"):
            s._to_dict(None)
        with self.assertRaises(TypeError) as cm:
            s._to_dict(collections.OrderedDict())
        self.assertIn("got OrderedDict", str(cm.exception))
        self.assertTrue(cm.exception.__notes__)
        for result, ok in (([], False), (None, True), ({}, True)):
            s = store(a=1, _to_dict=lambda kw, sort, r=result: r)
            if ok:
                self.assertEqual(s._mv_to_dict(), result)
            else:
                self.assertRaisesRegex(TypeError, "^Expected dict, got list$", s._mv_to_dict)

        class Adding(TesselVar):
            def _skip(self):
                self.__dict__["extra"] = 1
                return SETTINGS
        self.assertRaisesRegex(RuntimeError, "^dictionary changed size during iteration$",
                               mk(Adding, a=1)._mv_to_dict)
        self.assertEqual(s._list_to_dict("ab"), ["a", "b"])
        self.assertEqual(s._list_to_dict(()), [])
        self.assertRaises(TypeError, s._list_to_dict, 5)

    def test_json_round_trip(self):
        text = '{"name": "x", "n": [1, {"a": [2, 3]}], "o": {"k": null, "d": {"z": true}}}'
        s = TesselVar()
        s.doc = json.loads(text)
        self.assertIsInstance(s.doc, TesselVar)
        self.assertEqual(json.loads(json.dumps(s._mv_to_dict())), {"doc": json.loads(text)})

    def test_traceback_entries(self):
        self.assertEqual(lines_of(raised(TypeError, store()._list_to_dict, 5)),
                         {"_list_to_dict": [218]})
        # calls 1-5: the top level's settings and "_skip"; 6: the nested level
        calls = []

        def skip():
            calls.append(1)
            if len(calls) == 6:
                raise KeyError("skip")
            return SETTINGS
        self.assertEqual(lines_of(raised(KeyError, store(_skip=skip, n=mk())._mv_to_dict)),
                         {"_mv_to_dict": [166], "_to_dict": [197, 202]})


class Render(unittest.TestCase):
    def forms(self, s):
        return s._mv_to_params(), s._mv_to_string(), repr(s)

    def test_forms(self):
        for s, expected in [
                (store(a=1, b="x"), ("a=1&b='x'", '"a": "1", "b": "\'x\'"', "TesselVar(a=1, b='x')")),
                (store(b="x", a=1), ("b='x'&a=1", '"b": "\'x\'", "a": "1"', "TesselVar(a=1, b='x')")),
                (TesselVar(), ("", "", "TesselVar()")),
                (store(_i_c_u=[1], _g_n_s=mk(e=1)), ("", "", "TesselVar()")),
                (store(s='a&"b"', v=[None, True, 1.5]),
                 ("s='a&\"b\"'&v=[None, True, 1.5]", '"s": "\'a&"b"\'", "v": "[None, True, 1.5]"',
                  "TesselVar(s='a&\"b\"', v=[None, True, 1.5])")),
                (store(b=1, a={"k": 2}, B=(3,)),
                 ("b=1&a={'k': 2}&B=(3,)", '"b": "1", "a": "{\'k\': 2}", "B": "(3,)"',
                  "TesselVar(B=(3,), a={'k': 2}, b=1)")),
                (store(n=store(e=3)), ("n=TesselVar(e=3)", '"n": "TesselVar(e=3)"',
                                       "TesselVar(n=TesselVar(e=3))")),
                (mk(TesselVarMain, a=1), ("a=1", '"a": "1"', "TesselVar(a=1)")),
                (mk(Other, a=1), ("a=1", '"a": "1"', "TesselVar(a=1)"))]:
            with self.subTest(expected=expected):
                self.assertEqual(self.forms(s), expected)
        cycle = [1]
        cycle.append(cycle)
        self.assertEqual(repr(store(c=cycle)), "TesselVar(c=[1, [...]])")
        s = store()
        s.__dict__["l"] = [1, s]
        self.assertEqual(repr(s), "TesselVar(l=[1, TesselVar(l=[...])])")

    def test_str_and_print(self):
        s = store(a=1, n=store(e="x"))
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            print(s)
        self.assertEqual((str(s), out.getvalue()), (repr(s), repr(s) + "\n"))

    def test_failures(self):
        walk_line = {"_mv_to_params": 174, "_mv_to_string": 183, "__repr__": 346}
        for how, line in walk_line.items():
            with self.subTest(how):
                s = store(a=1)
                s.__dict__[BadName("z")] = BadValue()
                self.assertRaises(NameError, getattr(s, how))  # the name's text comes first
                e = raised(ValueError, getattr(store(a=1, v=BadValue()), how))
                self.assertEqual(lines_of(e), {how: [line]})
                s = store(a=1)
                s.__dict__["v"] = Grow(s)
                if how == "__repr__":  # walks a sorted copy
                    self.assertEqual(repr(s), "TesselVar(a=1, v=G)")
                    self.assertIn("g6", s.__dict__)
                else:
                    self.assertRaisesRegex(RuntimeError, "^dictionary changed size during "
                                           "iteration$", getattr(s, how))
        s = store(a="x")
        s.__dict__[1] = 2
        self.assertEqual(s._mv_to_params(), "a='x'&1=2")
        self.assertRaises(TypeError, repr, s)


class Recursion(unittest.TestCase):
    def test_cycles_and_depth_end_in_recursion_error(self):
        r = run_python("""
            from tesselvar import TesselVar
            def mk(**v):
                s = TesselVar(); s.__dict__.update(v); return s
            def deep_list(n):
                top = cur = []
                for _ in range(n):
                    cur.append([]); cur = cur[0]
                return top
            def deep_store(n):
                top = cur = mk()
                for _ in range(n):
                    cur.__dict__["n"] = cur = mk()
                return top
            me = mk(); me.__dict__["me"] = me
            via_list = mk(); via_list.__dict__["l"] = [1, via_list]
            via_store = mk(); via_store.__dict__["n"] = mk(back=via_store)
            cycle = [1]; cycle.append(cycle)
            for name, s in [("self", me), ("list", via_list), ("store", via_store),
                            ("deep list", mk(d=deep_list(100000))),
                            ("deep store", deep_store(100000)), ("plain", mk(c=cycle))]:
                for how in ("_mv_to_dict", "_mv_to_params", "__repr__"):
                    try:
                        getattr(s, how)()
                        print(name, how, "ok", flush=True)
                    except RecursionError:
                        print(name, how, "RecursionError", flush=True)
        """)
        expected = [f"{name} {how} RecursionError"
                    for name in ("self", "list", "store", "deep list", "deep store", "plain")
                    for how in ("_mv_to_dict", "_mv_to_params", "__repr__")]
        for ok in (4, 5, 16, 17):  # renderings of a cycle through a plain list
            expected[ok] = expected[ok].replace("RecursionError", "ok")
        self.assertEqual((r.returncode, r.stdout.splitlines()), (0, expected), r.stderr[-2000:])


class Leaks(LeakTest):
    def test_no_leaks(self):
        s = store(a=1, b="x", t=(1, [2, {3}]), n=store(e=3, l=[store(f=4)]), d={"k": 1})
        bad = store(a=1, v=BadValue())
        failing = [swallow(f) for f in (bad._mv_to_params, bad._mv_to_string,
                                        lambda: repr(bad), lambda: s._to_dict(None),
                                        lambda: s._list_to_dict(5),
                                        lambda: s._to_dict({1: 1, "a": 2}, True))]

        def run():
            s._mv_to_dict()
            s._mv_to_dict(True)
            s._list_to_dict("abc")
            s._mv_to_params(), s._mv_to_string(), repr(s)
            for f in failing:
                f()
        self.assertNoLeak(run)


if __name__ == "__main__":
    unittest.main()
