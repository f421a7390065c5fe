"""The documentation cannot lie: README blocks, stubs, examples and help()."""

import ast
import doctest
import inspect
import os
import pydoc
import re
import subprocess
import sys
import unittest

import tesselvar
import var_main
from support import BUILD

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
Main = var_main.TesselVarMain
METHODS = [n for n, v in vars(Main).items()
           if inspect.isroutine(v) or isinstance(v, staticmethod)]


def read(*parts):
    with open(os.path.join(ROOT, *parts), encoding="utf-8") as f:
        return f.read()


def normal(annotation):
    """An annotation as text, spelled the way ast.unparse spells it."""
    return ast.unparse(ast.parse(annotation, mode="eval"))


class ReadmeTest(unittest.TestCase):

    def test_every_block_is_run_or_is_shell(self):
        blocks = re.findall(r"^```(\w*)\n(.*?)^```", read("README.md"), re.M | re.S)
        self.assertEqual({lang for lang, _ in blocks}, {"python", "sh"})
        for lang, body in blocks:
            if lang == "python":
                self.assertTrue(body.lstrip().startswith(">>> "), body)

    def test_python_blocks_as_doctests(self):
        # One namespace, block after block, like a doctest file.
        text = read("README.md")
        parser = doctest.DocTestParser()
        runner = doctest.DocTestRunner(verbose=False, optionflags=doctest.ELLIPSIS)
        globs = {"__name__": "README"}
        for m in re.finditer(r"^```python\n(.*?)^```", text, re.M | re.S):
            line = text.count("\n", 0, m.start(1))
            test = parser.get_doctest(m.group(1), globs, f"README.md:{line + 1}",
                                      "README.md", line)
            runner.run(test, clear_globs=False)
            globs = test.globs
        failed, tried = runner.summarize(verbose=False)
        self.assertGreater(tried, 40)
        self.assertEqual(failed, 0, "README.md examples fail (see output above)")

    def test_commands_and_method_table(self):
        text = read("README.md")
        for command in ("cmake --workflow --preset demo",
                        "cmake --workflow --preset test"):
            self.assertIn(command, text)
        rows = re.findall(r"^\| `(\w+)\(", text, re.M)
        self.assertEqual(rows, METHODS)

    def test_module_docstring_of_tesselvar(self):
        result = doctest.testmod(tesselvar, verbose=False)
        self.assertEqual(result.failed, 0)


class StubTest(unittest.TestCase):
    """python/var_main.pyi against the running module."""

    @classmethod
    def setUpClass(cls):
        cls.tree = ast.parse(read("python", "var_main.pyi"))

    def stub_class(self):
        [cls] = [n for n in self.tree.body if isinstance(n, ast.ClassDef)]
        self.assertEqual(cls.name, "TesselVarMain")
        return cls

    def test_module_names(self):
        names = set()
        for node in self.tree.body:
            if isinstance(node, ast.ImportFrom):
                for alias in node.names:   # "X as X": re-exported for checkers
                    self.assertEqual(alias.asname, alias.name)
                    names.add(alias.name)
            elif isinstance(node, ast.AnnAssign):
                names.add(node.target.id)
            elif isinstance(node, ast.ClassDef):
                names.add(node.name)
        runtime = {n for n in vars(var_main) if not n.startswith("__")} | {"__test__"}
        self.assertEqual(names, runtime)

    def test_signatures(self):
        defs = [n for n in self.stub_class().body if isinstance(n, ast.FunctionDef)]
        self.assertEqual([d.name for d in defs], METHODS)
        for node in defs:
            with self.subTest(node.name):
                raw = vars(Main)[node.name]
                decorators = [ast.unparse(d) for d in node.decorator_list]
                self.assertEqual(decorators, ["staticmethod"]
                                 if isinstance(raw, staticmethod) else [])
                sig = inspect.signature(getattr(Main, node.name))
                a = node.args
                positional = a.posonlyargs + a.args
                pos_defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
                params = ([(p, "POSITIONAL_ONLY", d) for p, d in
                           zip(a.posonlyargs, pos_defaults)]
                          + [(p, "POSITIONAL_OR_KEYWORD", d) for p, d in
                             zip(a.args, pos_defaults[len(a.posonlyargs):])]
                          + [(p, "VAR_POSITIONAL", None) for p in filter(None, [a.vararg])]
                          + [(p, "KEYWORD_ONLY", d) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
                          + [(p, "VAR_KEYWORD", None) for p in filter(None, [a.kwarg])])
                stub = [(p.arg, kind,
                         "<none>" if d is None else ast.literal_eval(d),
                         ast.unparse(p.annotation) if p.annotation else "<none>")
                        for p, kind, d in params]
                real = [(p.name, p.kind.name,
                         "<none>" if p.default is p.empty else p.default,
                         "<none>" if p.annotation is p.empty else normal(p.annotation))
                        for p in sig.parameters.values()]
                self.assertEqual(stub, real)
                self.assertEqual(ast.unparse(node.returns),
                                 normal(sig.return_annotation))


class ExamplesTest(unittest.TestCase):

    def test_examples_run(self):
        env = dict(os.environ, PYTHONPATH=BUILD)
        for name in ("quickstart.py", "config_overrides.py"):
            with self.subTest(name):
                run = subprocess.run([sys.executable, os.path.join(ROOT, "examples", name)],
                                     capture_output=True, text=True, env=env,
                                     cwd=ROOT, timeout=120)
                self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
                self.assertTrue(run.stdout.strip())


class HelpTest(unittest.TestCase):
    """pydoc shows each method with its signature and its docstring."""

    def test_each_method(self):
        for name in METHODS:
            with self.subTest(name):
                fn = getattr(Main, name)
                text = pydoc.render_doc(fn, renderer=pydoc.plaintext)
                first, summary = fn.__doc__.splitlines()[:2]
                self.assertTrue(first.startswith(f"TesselVarMain.{name}("))
                self.assertRegex(summary, r"[\u4e00-\u9fff]")
                lines = text.splitlines()
                # pydoc wraps long signatures one parameter per line.
                squeeze = "".join
                self.assertIn(squeeze((name + str(inspect.signature(fn))).split()),
                              squeeze(text.split()))
                self.assertIn("    " + first, lines)
                self.assertIn("    " + summary, lines)

    def test_classes(self):
        # help() of a class hides names with one leading underscore, so the
        # special methods appear in TesselVarMain's page and TesselVar's
        # docstring names the others.
        text = pydoc.render_doc(Main, renderer=pydoc.plaintext)
        for name in ("__getattr__", "__setattr__", "__repr__"):
            fn = getattr(Main, name)
            self.assertIn(" |  " + name + str(inspect.signature(fn)), text)
            self.assertIn(" |      " + fn.__doc__.splitlines()[1], text)
        text = pydoc.render_doc(tesselvar.TesselVar, renderer=pydoc.plaintext)
        for name in METHODS:
            self.assertRegex(text, rf"(?<!\w){re.escape(name)}(?!\w)")


if __name__ == "__main__":
    unittest.main()
