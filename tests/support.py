"""Shared helpers for the test modules."""

import array
import atexit
import gc
import importlib
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import traceback
import unittest

import var_main
from tesselvar import TesselVar

TesselVarMain = var_main.TesselVarMain
BUILD = os.environ.get("VAR_MAIN_BUILD", os.path.dirname(var_main.__file__))


def bare(cls=TesselVarMain):
    """A store that has not been set up."""
    return cls()


def store(reprint=True, inherit=False, **variables):
    """A set-up TesselVar holding the given variables (stored as given)."""
    s = TesselVar(reprint=reprint, inherit=inherit)
    s.__dict__.update(variables)
    return s


SOURCE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                      "store", "methods.txt")


def source_lines():
    """{line: (method, text)} of the method source the module's traceback
    entries name: "init var_main" for the start-up's statements, a method's
    name for its def and its statements."""
    lines, method = {}, "init var_main"
    with open(SOURCE, encoding="utf-8") as f:
        for row in f:
            if not row.strip() or row.startswith("#"):
                continue
            number, _, text = row.strip().partition("  ")
            text = text.strip()
            if text.startswith("def "):
                method = "var_main.TesselVarMain." + text[4:text.index("(")]
            lines[int(number)] = (method, text)
    return lines


_SOURCE_LINES = None


def entries(exc):
    """(file, line, function) of each traceback entry the module added; each
    one must name a line of the method source where its function has it."""
    global _SOURCE_LINES
    if _SOURCE_LINES is None:
        _SOURCE_LINES = source_lines()
    found = [(f.filename, f.lineno, f.name)
             for f in traceback.extract_tb(exc.__traceback__)
             if f.filename == "var_main.py"]
    for _, line, name in found:
        if _SOURCE_LINES.get(line, (None,))[0] != name:
            raise AssertionError(f"{name} at line {line} is not in {SOURCE}")
    return found


def lines_of(exc):
    """{method: [lines]} of the entries the module added, outermost first."""
    out = {}
    for _, line, name in entries(exc):
        out.setdefault(name.rpartition(".")[2], []).append(line)
    return out


def raised(fn, *args, expect=Exception, **kwargs):
    """The exception fn(*args, **kwargs) raised, traceback kept (assertRaises
    drops it, and the traceback entries are what many tests look at)."""
    try:
        fn(*args, **kwargs)
    except expect as exc:
        return exc
    raise AssertionError(f"{expect.__name__} not raised")


def raised_as(expect, fn, *args):
    """raised() with the expected exception class first."""
    return raised(fn, *args, expect=expect)


def run_python(code, timeout=120):
    """Runs code in a fresh interpreter with the build on sys.path."""
    env = dict(os.environ, PYTHONPATH=BUILD)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, env=env,
                          timeout=timeout)


class LeakTest(unittest.TestCase):
    """assertNoLeak(fn): fn run many times leaves the allocated blocks flat.

    The count is taken after each round of per_round calls.  A leak grows it
    in every round by about the same amount; a cache, interned string or free
    list filling up steps it once, in one round or across two, and never
    again.  So the verdict is on the median growth per round: up to
    (rounds - 1) // 2 rounds may step by any amount, while a leak fails as
    soon as it passes slack blocks a round (with the defaults, one block in
    a hundred calls)."""

    def assertNoLeak(self, fn, rounds=7, per_round=1000, slack=10):
        # Warm caches and the interpreter's free lists up (a pickle round
        # trip fills them for a few thousand calls).
        for _ in range(3 * per_round):
            fn()
        gc.collect()
        # Preallocated, so that storing a count allocates nothing.
        counts = array.array("q", bytes(8 * (rounds + 1)))
        counts[0] = sys.getallocatedblocks()
        for i in range(1, rounds + 1):
            for _ in range(per_round):
                fn()
            gc.collect()
            counts[i] = sys.getallocatedblocks()
        growth = [b - a for a, b in zip(counts, counts[1:])]
        median = sorted(growth)[rounds // 2]
        self.assertLessEqual(median, slack, f"growth per round: {growth}, "
                             f"blocks: {counts.tolist()}")


def swallow(fn, *exc_types):
    """Wraps fn so that the given exceptions are expected and ignored."""
    exc_types = exc_types or (Exception,)

    def run():
        try:
            fn()
        except exc_types:
            pass
    return run


# Debian's PyYAML (python3-yaml) is built for the system's Python; its
# pure-Python modules run on ours, and its compiled part does not load here
# (PyYAML then does without it).
DEBIAN_PYYAML = "/usr/lib/python3/dist-packages/yaml"
_pyyaml = []


def pyyaml():
    """(PyYAML, None) for the YAML tests, or (None, why not).  An installed
    PyYAML is used as it is; else a copy of Debian's pure-Python modules,
    alone in a temporary folder put on sys.path (copied, so that nothing is
    written into the system's folder)."""
    if not _pyyaml:
        try:
            _pyyaml.append((importlib.import_module("yaml"), None))
        except ImportError:
            if not os.path.isfile(os.path.join(DEBIAN_PYYAML, "__init__.py")):
                _pyyaml.append((None, f"PyYAML is not installed and {DEBIAN_PYYAML} "
                                      f"is absent (apt-get install python3-yaml)"))
            else:
                folder = tempfile.mkdtemp(prefix="var_main-yaml-")
                atexit.register(shutil.rmtree, folder, True)
                shutil.copytree(DEBIAN_PYYAML, os.path.join(folder, "yaml"),
                                ignore=shutil.ignore_patterns("*.so", "__pycache__"))
                sys.path.append(folder)
                _pyyaml.append((importlib.import_module("yaml"), None))
    return _pyyaml[0]
