"""Module start-up, the class object, its method table, argument matching,
and the set-up methods _set_class and _skip."""

import builtins
import collections
import inspect
import os
import re
import types
import typing
import unittest

import var_main
from support import raised, source_lines
from support import (BUILD, LeakTest, TesselVarMain as T, entries, run_python,
                     store, swallow)

TYPING = ("Dict", "List", "Optional", "Any", "Union", "Set", "Tuple")
SKIP = ["_i_c_u", "_g_n_r", "_g_n_i", "_g_n_s"]
# (name, line of the def, docstring signature after "TesselVarMain.<name>",
# summary line); a "str "/"dict "/"tuple " prefix marks an exact-type check.
METHODS = [
    ("_set_class", 24, "(self, instance: Any, reprint: bool, inherit: bool) -> None", "初始化类实例，设置内部变量。"),
    ("_mv_add", 63, "(self, dict kwargs: Dict[str, Any]) -> None", "添加变量到实例中，支持字典、列表、集合、元组等类型。"),
    ("_mv_pop", 79, "(self, str name: str) -> None", "删除指定名称的变量。"),
    ("_mv_pops", 88, "(self, tuple args: Tuple[str, ...]) -> None", "批量删除指定名称的变量。"),
    ("_mv_clear", 98, "(self) -> None", "清除所有变量，保留内部变量。"),
    ("_mv_get", 106, "(self, key: Any, default: Any = None) -> Optional[Any]", "获取指定路径的变量值。"),
    ("_mv_keys", 135, "(self) -> List[str]", "获取所有变量的名称，排除内部变量。"),
    ("_mv_values", 143, "(self) -> List[Any]", "获取所有变量的值，排除内部变量。"),
    ("_mv_items", 151, "(self) -> List[Tuple[str, Any]]", "获取所有变量的名称和值，排除内部变量。"),
    ("_mv_to_dict", 159, "(self, sort: bool = False) -> Dict[str, Any]", "将变量转换为字典，支持排序。"),
    ("_mv_to_params", 168, "(self) -> str", "将变量转换为参数字符串。"),
    ("_mv_to_string", 177, "(self) -> str", "将变量转换为字符串。"),
    ("_to_dict", 186, "(self, dict kwargs: Dict[str, Any], sort: bool = False) -> Dict[str, Any]", "将变量集合转换为字典，支持递归转换。"),
    ("_list_to_dict", 210, "(self, array: Union[List[Any], Set[Any], Tuple[Any, ...]]) -> List[Any]", "将列表转换为字典，支持递归转换。"),
    ("_set_dict", 229, "(self, str key: str, dict value: Dict[str, Any], new: bool = False) -> None", "设置字典类型的变量，支持合并或新建。"),
    ("_set_list", 247, "(self, value: Union[List[Any], Set[Any], Tuple[Any, ...]], str key: Optional[str] = None) -> List[Any]", "设置列表类型的变量，支持递归设置。"),
    ("_skip", 271, "() -> List[str]", "获取需要跳过的内部变量名称。"),
    ("_mv_set", 280, "(self, str name: str, value: Any, inherit: bool = False) -> None", "设置变量，支持继承属性。"),
    ("_mv_set_kwargs", 293, "(self, dict kwargs: Dict[str, Any]) -> None", "批量设置变量。"),
    ("_set_attr", 303, "(self, str name: str, value: Any) -> None", "设置属性，支持字典、列表、集合、元组等类型。"),
    ("__getattr__", 318, "(self, str name: str) -> Union[str, None]", "获取属性，若属性不存在则返回名称或 None。"),
    ("__setattr__", 327, "(self, str name: str, value: Any) -> None", "设置属性，支持继承属性。"),
    ("__repr__", 339, "(self) -> str", "返回实例的字符串表示。"),
]
NAMES = [m[0] for m in METHODS]
FULL_DOCS = {
    "_mv_clear": ["(self) -> None", "清除所有变量，保留内部变量。"],
    "_set_class": ["(self, instance: Any, reprint: bool, inherit: bool) -> None", "初始化类实例，设置内部变量。", "",
                   ":param instance: 实例对象，用于创建新的变量。", ":param reprint: 布尔值，控制是否重新打印属性。",
                   ":param inherit: 布尔值，控制是否继承属性。"],
    "_mv_get": ["(self, key: Any, default: Any = None) -> Optional[Any]", "获取指定路径的变量值。", "",
                ":param key: 要获取的变量名称。", ":param default: 获取变量出错时，默认返回的值。",
                ":return: 返回指定路径的变量值，若不存在则返回 None 或默认值。"],
    "_skip": ["() -> List[str]", "获取需要跳过的内部变量名称。", "", ":return: 列表类型，包含需要跳过的内部变量名称。"],
}
SUBCLASS = {str: type("S", (str,), {})("s"), dict: collections.OrderedDict(),
            tuple: type("Tup", (tuple,), {})()}
VALID = {str: "k", dict: {}, tuple: ()}
TYPES = {"str": str, "dict": dict, "tuple": tuple}


def parse(sig):
    """[(name, exact type name or None, annotation, default text)], return."""
    inner, ret = re.fullmatch(r"\((.*)\) -> (.+)", sig).groups()
    parts, depth, cur = [], 0, ""
    for ch in inner + ",":
        if ch == "," and depth == 0:
            parts, cur = parts + [cur.strip()], ""
            continue
        depth += (ch == "[") - (ch == "]")
        cur += ch
    pat = r"(?:(str|dict|tuple) )?(\w+)(?:: (.+?))?(?: = (\w+))?"
    return [re.fullmatch(pat, p).group(2, 1, 3, 4) for p in parts if p], ret


def function(name):
    raw = vars(T)[name]
    return raw.__func__ if name == "_skip" else raw


class ModuleTest(unittest.TestCase):
    def test_globals(self):
        for n in TYPING:
            self.assertIs(getattr(var_main, n), getattr(typing, n))
        self.assertEqual((type(var_main.__test__), var_main.__test__), (dict, {}))
        self.assertIs(var_main.__builtins__, builtins)
        self.assertTrue(isinstance(var_main.__doc__, str) and var_main.__doc__)
        spec = var_main.__spec__
        self.assertEqual((var_main.__file__, var_main.__loader__, hasattr(var_main, "__path__")),
                         (spec.origin, spec.loader, False))
        std = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__"}
        self.assertEqual(set(vars(var_main)) - std, {"TesselVarMain", "__test__", *TYPING})

    def test_reimport_gives_same_module(self):
        r = run_python("""
            import sys, importlib, var_main as a
            del sys.modules['var_main']
            import var_main as b
            print(a is b, a.TesselVarMain is b.TesselVarMain, importlib.reload(b) is a)
        """)
        self.assertEqual((r.stdout, r.returncode), ("True True True\n", 0), r.stderr)

    def test_failed_start_up_is_retried(self):
        r = run_python("""
            import sys, traceback
            sys.modules['typing'] = None
            try:
                import var_main
            except ImportError as e:
                print([f.lineno for f in traceback.extract_tb(e.__traceback__)
                       if f.name == 'init var_main'], 'var_main' in sys.modules)
            del sys.modules['typing']
            import var_main
            print(var_main.Any is sys.modules['typing'].Any)
        """)
        self.assertEqual(r.stdout, "[14] False\nTrue\n", r.stderr)

    def test_other_interpreter_refused(self):
        r = run_python(f"""
            try:
                import _interpreters
            except ImportError:
                raise SystemExit(3)
            import var_main
            for config in ('legacy', 'isolated'):
                iid = _interpreters.create(config)
                res = _interpreters.exec(iid, "import sys; sys.path.insert(0, {BUILD!r}); import var_main")
                _interpreters.destroy(iid)
                print(config, res.type.__name__, res.msg)
        """)
        if r.returncode == 3:
            self.skipTest("no _interpreters module")
        legacy, isolated = r.stdout.splitlines()
        self.assertEqual(legacy, "legacy ImportError Interpreter change detected - this module "
                                 "can only be loaded into one interpreter per process.", r.stderr)
        # An isolated interpreter is refused by CPython before the create step.
        self.assertTrue(isolated.startswith("isolated ImportError "), isolated)

    def test_package_serves_the_main_interpreter_only(self):
        # A sub-interpreter that imports the package first must neither take
        # var_main from the main interpreter nor hand it its own class.
        r = run_python(f"""
            try:
                import _interpreters
            except ImportError:
                raise SystemExit(3)
            import sys
            for config in ('legacy', 'legacy', 'isolated'):
                iid = _interpreters.create(config)
                res = _interpreters.exec(iid, "import sys; sys.path.insert(0, {BUILD!r}); import tesselvar")
                _interpreters.destroy(iid)
                print(config, res.type.__name__, res.msg)
                if config == 'legacy' and 'tesselvar' not in sys.modules:
                    import tesselvar, var_main
                    s = tesselvar.TesselVar(); s.a = {{"b": 1}}
                    print(type(s).__bases__[0] is var_main.TesselVarMain, s._mv_to_dict())
        """)
        if r.returncode == 3:
            self.skipTest("no _interpreters module")
        refused = ("ImportError tesselvar._core can only be loaded into the main "
                   "interpreter of a process")
        self.assertEqual(r.stdout.splitlines()[:3], [
            "legacy " + refused, "True {'a': {'b': 1}}", "legacy " + refused], r.stderr)
        self.assertTrue(r.stdout.splitlines()[3].startswith("isolated ImportError "), r.stdout)


class ClassTest(unittest.TestCase):
    def test_class_object(self):
        self.assertEqual((T.__name__, T.__qualname__, T.__module__), ("TesselVarMain",) * 2 + ("var_main",))
        self.assertEqual((T.__bases__, type(T)), ((object,), type))
        self.assertEqual(T.__doc__, "\n    TesselVarMain 类用于管理和操作变量集合，支持添加、删除、获取、转换等操作。\n    ")
        # copyreg caches __slotnames__ on a class once one of its stores is pickled
        extra = {"__module__", "__qualname__", "__doc__", "__dict__", "__weakref__", "__slotnames__"}
        self.assertEqual([k for k in vars(T) if k not in extra], NAMES)
        self.assertEqual(set(vars(T)) - set(vars(type("X", (), {"__doc__": None}))) - extra, set(NAMES))
        self.assertEqual(T().__dict__, {})
        self.assertEqual(str(raised(T, 1)), "TesselVarMain() takes no arguments")

    def test_method_table(self):
        for name, line, sig, summary in METHODS:
            with self.subTest(name):
                fn, (params, ret) = function(name), parse(sig)
                shown = [n if a is None else f"{n}: '{a}'" + (f" = {d}" if d else "")
                         for n, _, a, d in params]
                self.assertEqual(str(inspect.signature(fn)), f"({', '.join(shown)}) -> '{ret}'")
                code = fn.__code__
                self.assertEqual((code.co_filename, code.co_name, code.co_firstlineno, code.co_argcount),
                                 ("var_main.py", name, line, len(params)))
                self.assertEqual(code.co_varnames[:len(params)], tuple(p[0] for p in params))
                defaults = tuple({"None": None, "False": False}[p[3]] for p in params if p[3])
                self.assertEqual(fn.__defaults__, defaults or None)
                self.assertIsNone(fn.__kwdefaults__)
                annotations = {n: a for n, _, a, _ in params if a} | {"return": ret}
                self.assertEqual(list(fn.__annotations__.items()), list(annotations.items()))
                self.assertEqual((fn.__name__, fn.__qualname__, fn.__module__),
                                 (name, "TesselVarMain." + name, "var_main"))
                doc = fn.__doc__.split("\n")
                self.assertEqual(doc[:2], [f"TesselVarMain.{name}{sig}", summary])
                if len(doc) > 2:
                    self.assertEqual(doc[2], "")
                    self.assertTrue(all(re.match(r":param \w+: |:return: ", d) for d in doc[3:]), doc)
                if name in FULL_DOCS:
                    self.assertEqual(fn.__doc__, "TesselVarMain." + name + "\n".join(FULL_DOCS[name]))

    def test_kinds_and_binding(self):
        self.assertIs(type(vars(T)["_skip"]), staticmethod)
        s = store()
        self.assertIs(T._skip, s._skip)
        bound = s._mv_keys
        self.assertIs(bound.__func__, vars(T)["_mv_keys"])
        self.assertIs(bound.__self__, s)
        self.assertIs(vars(T)["_mv_keys"].__get__(None, T), vars(T)["_mv_keys"])
        self.assertEqual(str(inspect.signature(s._set_class)), "(instance: 'Any', reprint: 'bool', inherit: 'bool') -> 'None'")
        self.assertEqual(typing.get_type_hints(T._set_dict),
                         {"key": str, "value": typing.Dict[str, typing.Any], "new": bool, "return": type(None)})
        other = types.SimpleNamespace()  # self is not type-checked
        T._set_class(other, 1, 2, 3)
        self.assertEqual(list(vars(other).values()), [1, 2, 3, False])


class ArgumentTest(unittest.TestCase):
    def check(self, exc, name, message):
        self.assertIsInstance(exc, TypeError)
        self.assertEqual(str(exc), message)
        line = dict((m[0], m[1]) for m in METHODS)[name]
        self.assertEqual(entries(exc), [("var_main.py", line, "var_main.TesselVarMain." + name)])

    def test_counts_from_table(self):
        s = store()
        for name, _, sig, _ in METHODS[:16] + METHODS[17:]:
            params = parse(sig)[0]
            n, nmin = len(params), sum(1 for p in params if not p[3])
            with self.subTest(name):
                kind = "exactly" if n == nmin else "at most"
                self.check(raised(getattr(s, name), *[0] * n), name,
                           f"{name}() takes {kind} {n} positional argument{'s' * (n != 1)} ({n + 1} given)")
                if nmin > 1:
                    kind = "exactly" if n == nmin else "at least"
                    self.check(raised(getattr(s, name)), name,
                               f"{name}() takes {kind} {nmin} positional arguments (1 given)")

    def test_messages(self):
        s = store()
        cases = [
            (s._set_class, (1,), {}, "_set_class() takes exactly 4 positional arguments (2 given)"),
            (s._set_class, (1, 2, 3, 4), {}, "_set_class() takes exactly 4 positional arguments (5 given)"),
            (s._set_class, (1,), {"reprint": 2}, "_set_class() takes exactly 4 positional arguments (3 given)"),
            (s._set_class, (), {"inherit": 2, "reprint": 1}, "_set_class() takes exactly 4 positional arguments (1 given)"),
            (T._set_class, (), {"instance": 1}, "_set_class() takes exactly 4 positional arguments (0 given)"),
            (s._set_dict, (), {"value": {}, "new": 1}, "_set_dict() takes at least 3 positional arguments (1 given)"),
            (s._set_class, (1, 2, 3), {"x": 1}, "_set_class() got an unexpected keyword argument 'x'"),
            (s._mv_keys, (), {"sort": 1}, "_mv_keys() got an unexpected keyword argument 'sort'"),
            (s._set_class, (1, 2, 3), {"instance": 1}, "_set_class() got multiple values for keyword argument 'instance'"),
            (s._mv_to_dict, (1,), {"sort": 2}, "_mv_to_dict() got multiple values for keyword argument 'sort'"),
            (s._skip, (1,), {}, "_skip() takes no arguments (1 given)"),
            (T._skip, (1, 2), {}, "_skip() takes no arguments (2 given)"),
            (s._skip, (), {"a": 1}, "_skip() takes no keyword arguments"),
            (T.__getattr__, (s,), {}, "__getattr__() takes exactly 2 positional arguments (1 given)"),
            (T.__setattr__, (s, "a"), {}, "__setattr__() takes exactly 3 positional arguments (2 given)"),
            (s._set_attr, ("a", 1, 2), {}, "_set_attr() takes exactly 3 positional arguments (4 given)"),
        ]
        for fn, args, kwargs, message in cases:
            with self.subTest(message):
                self.check(raised(fn, *args, **kwargs), fn.__name__, message)
        # Keywords may name every parameter, self included.
        bare = T()
        self.assertIsNone(T._set_class(self=bare, inherit=3, reprint=2, instance=1))
        self.assertEqual(list(bare.__dict__.values()), [1, 2, 3, False])

    def test_exact_type_refusals(self):
        s = store()
        for name, _, sig, _ in METHODS:
            params = parse(sig)[0]
            for i, (param, typename, _, _) in enumerate(params):
                if typename is None:
                    continue
                expected = TYPES[typename]
                args = [VALID.get(TYPES.get(p[1]), 0) for p in params[1:]]
                bads = [(SUBCLASS[expected], True), (1, False)]
                if (name, param) != ("_set_list", "key"):
                    bads.append((None, False))
                for bad, noted in bads:
                    args[i - 1] = bad
                    with self.subTest(name=name, param=param, bad=type(bad).__name__):
                        exc = raised(getattr(s, name), *args)
                        self.assertIsInstance(exc, TypeError)
                        self.assertEqual(str(exc), f"Argument '{param}' has incorrect type "
                                                   f"(expected {typename}, got {type(bad).__name__})")
                        self.assertEqual(entries(exc), [])
                        notes = getattr(exc, "__notes__", [])
                        self.assertEqual(len(notes), int(noted))
                        self.assertTrue(all(isinstance(n, str) and n for n in notes))
        self.assertIn("expected dict, got OrderedDict", str(raised(s._mv_add, collections.OrderedDict())))
        self.assertEqual(s._set_list([], None), [])


class SetupTest(unittest.TestCase):
    def test_skip(self):
        first = T._skip()
        self.assertEqual(first, SKIP)
        first.append("x")
        self.assertEqual(store()._skip(), SKIP)
        self.assertIsNot(T._skip(), T._skip())

    def test_set_class_on_bare_store(self):
        factory, reprint = object(), []
        s = T()
        self.assertIsNone(s._set_class(factory, True, False))
        self.assertEqual(list(s.__dict__.items()), list(zip(SKIP, [factory, True, False, False])))
        s = T()
        s._set_class(inherit=1, reprint=reprint, instance=None)
        self.assertEqual(list(s.__dict__), SKIP)
        self.assertEqual(list(s.__dict__.values()), [None, [], 1, False])
        self.assertIs(s._g_n_r, reprint)

    def test_set_class_again_and_after_variables(self):
        s = store(a=1, b=2)
        s.__dict__["_g_n_s"] = True
        s._set_class(len, 0, 1)
        self.assertEqual(list(s.__dict__.items()),
                         list(zip(SKIP, [len, 0, 1, False])) + [("a", 1), ("b", 2)])
        bare = T()
        bare.__dict__.update(x=1, y=2)
        bare._set_class(None, 1, 0)
        self.assertEqual(list(bare.__dict__), ["x", "y"] + SKIP)

    def test_set_class_bypasses_setattr(self):
        calls = []
        spy = type("Spy", (T,), {"__setattr__": lambda self, n, v: calls.append(n)})()
        spy._set_class(None, True, True)
        self.assertEqual((calls, list(spy.__dict__)), ([], SKIP))

    def test_set_class_failure_lines(self):
        for failing in range(1, 6):
            written = {}

            class Mapping(dict):
                def __setitem__(self, key, value, n=[0]):
                    n[0] += 1
                    if n[0] == failing:
                        raise KeyError(key)
                    written[key] = value

            def get(self):
                if failing == 5:
                    raise LookupError("no dict")
                return Mapping()
            Sub = type("Sub", (T,), {"__dict__": property(get)})
            with self.subTest(failing=failing):
                exc = raised(Sub()._set_class, "f", "r", "i")
                line = 33 if failing == 5 else 32 + failing
                self.assertEqual(entries(exc), [("var_main.py", line, "var_main.TesselVarMain._set_class")])
                self.assertEqual(list(written), SKIP[:failing - 1] if failing < 5 else [])


class FrameLeakTest(LeakTest):
    def test_no_leaks(self):
        s, sub = store(), SUBCLASS[dict]
        for fn in [lambda: s._set_class(s._i_c_u, True, False), lambda: T._skip(),
                   swallow(lambda: s._set_class(1), TypeError),
                   swallow(lambda: s._set_class(1, 2, 3, x=4), TypeError),
                   swallow(lambda: s._skip(a=1), TypeError),
                   swallow(lambda: s._mv_add(sub), TypeError),
                   swallow(lambda: s._mv_pop(None), TypeError)]:
            with self.subTest(fn=fn):
                self.assertNoLeak(fn)


if __name__ == "__main__":
    unittest.main()


class SourceTextTest(unittest.TestCase):
    """store/methods.txt is the one text of the lines the module's traceback
    entries name: the C++ and the tests must agree with it."""

    ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

    def read(self, *parts):
        with open(os.path.join(self.ROOT, *parts), encoding="utf-8") as f:
            return f.read()

    def test_the_cpp_names_the_lines_of_the_text(self):
        lines = source_lines()
        header = self.read("store", "lines.hpp")
        defs = {name: int(line) for name, line in re.findall(r"^\s+(\w+) = (\d+),", header, re.M)}
        names = dict(re.findall(r'\{Def::(\w+), "(\w+)"\}', header))
        starts = sorted(defs[d] for d in names) + [defs["end_of_class"]]
        self.assertEqual(set(defs) - {"end_of_class"}, set(names))
        for d, name in names.items():
            self.assertEqual(lines[defs[d]], ("var_main.TesselVarMain." + name, lines[defs[d]][1]), d)
            self.assertTrue(lines[defs[d]][1].startswith(f"def {name}("), d)
        sources = [os.path.join(folder, f) for folder in ("var_main", "store", "tesselvar_core")
                   for f in os.listdir(os.path.join(self.ROOT, folder)) if f.endswith(".cpp")]
        named = [(d, int(n)) for src in sources
                 for d, n in re.findall(r"at\(Def::(\w+), (\d+)\)", self.read(src))]
        self.assertGreater(len(named), 75)
        for d, n in named:
            following = next(s for s in starts if s > defs[d])
            self.assertTrue(defs[d] < n < following, (d, n))
            self.assertEqual(lines.get(n, (None,))[0], "var_main.TesselVarMain." + names[d], (d, n))
        # Every statement of the text is one the C++ names (or a def, or the
        # start-up's).
        start_up = [int(n) for n in re.findall(r"= (\d+);\s+//", self.read("var_main", "module.cpp"))]
        self.assertEqual(set(lines), {n for _, n in named} | set(defs.values()) - {defs["end_of_class"]}
                         | set(start_up))

    def test_the_tests_expect_lines_of_the_text(self):
        lines = source_lines()
        methods = {m.rpartition(".")[2] for m, text in lines.values() if text.startswith("def ")}
        expected = []
        for name in sorted(os.listdir(os.path.join(self.ROOT, "tests"))):
            if not (name.startswith("test_") and name.endswith(".py")):
                continue
            text = self.read("tests", name)
            for method, numbers in re.findall(r'"(_\w+|__\w+__)": \[([\d, ]+)\]', text):
                if method in methods:
                    expected += [(method, int(n)) for n in numbers.split(",")]
            expected += [(m, int(n)) for n, m in
                         re.findall(r'\("var_main.py", (\d+), "var_main.TesselVarMain.(\w+)"\)', text)]
        self.assertGreater(len(expected), 20)
        for method, n in expected:
            self.assertEqual(lines.get(n, (None,))[0], "var_main.TesselVarMain." + method, (method, n))
