"""cmake --install: where the files go, and that they import from there alone."""

import filecmp
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import tomllib
import unittest

from support import BUILD

BUILD_DIR = os.path.dirname(os.path.abspath(BUILD))
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SITE = f"lib/python{sys.version_info[0]}.{sys.version_info[1]}/site-packages"
EXT = "var_main" + sysconfig.get_config_var("EXT_SUFFIX")
FILES = (EXT, "tesselvar", "var_main.pyi", "var_main-stubs")
STUBS = ("var_main.pyi", os.path.join("var_main-stubs", "__init__.pyi"))


def cmake(*args):
    # Not under a sanitizer runtime that a sanitized build's tests preload.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    return subprocess.run(["cmake", *args], capture_output=True, text=True,
                          env=env, timeout=300)


@unittest.skipUnless(shutil.which("cmake"), "cmake is not on PATH")
@unittest.skipUnless(os.path.exists(os.path.join(BUILD_DIR, "CMakeCache.txt")),
                     "the module was not built by CMake")
class InstallTest(unittest.TestCase):

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="var_main-install-")
        self.addCleanup(shutil.rmtree, self.tmp)

    def test_prefix_install_imports_from_the_prefix_alone(self):
        prefix = os.path.join(self.tmp, "prefix")
        done = cmake("--install", BUILD_DIR, "--prefix", prefix)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        site = os.path.join(prefix, SITE)
        self.assertEqual(sorted(os.listdir(site)), sorted(FILES))
        for stub in STUBS:
            self.assertTrue(filecmp.cmp(os.path.join(site, stub),
                                        os.path.join(SOURCE_DIR, "python", "var_main.pyi"),
                                        shallow=False), stub)
        elsewhere = os.path.join(self.tmp, "elsewhere")
        os.mkdir(elsewhere)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("PYTHON", "VAR_MAIN"))}
        env["PYTHONPATH"] = site
        code = textwrap.dedent("""
            import var_main, tesselvar
            s = tesselvar.TesselVar()
            s.a = {"b": [1]}
            assert s._mv_get("$.a.b") == [1], s
            print(var_main.__file__)
            print(tesselvar.__file__)
        """)
        run = subprocess.run([sys.executable, "-s", "-c", code], cwd=elsewhere,
                             env=env, capture_output=True, text=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.split(),
                         [os.path.join(site, EXT),
                          os.path.join(site, "tesselvar", "__init__.py")])

    def test_destinations(self):
        # A fresh configure (no build): the default prefix is the interpreter's
        # own, and a wheel build installs at the root of the wheel.
        interp = os.path.realpath(sys.executable)
        base = [interp, sys.prefix, sysconfig.get_path("platlib")]
        fresh = os.path.join(self.tmp, "build")
        cases = [
            ([], SITE, True),
            (["-DSKBUILD=2"], ".", False),
        ]
        for extra, dest, default_prefix in cases:
            with self.subTest(extra=extra):
                done = cmake("-S", SOURCE_DIR, "-B", fresh, "-G", "Ninja",
                             f"-DPython_EXECUTABLE={base[0]}", *extra)
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                with open(os.path.join(fresh, "cmake_install.cmake")) as f:
                    rules = f.read()
                dests = set(re.findall(r'DESTINATION "\$\{CMAKE_INSTALL_PREFIX\}/([^"]*)"', rules))
                # The folder itself, and folders inside it.
                self.assertIn(dest, dests)
                for d in dests:
                    self.assertTrue(d == dest or d.startswith(dest + "/"), d)
                if default_prefix:
                    with open(os.path.join(fresh, "CMakeCache.txt")) as f:
                        prefix = re.search(r"^CMAKE_INSTALL_PREFIX:PATH=(.*)$",
                                           f.read(), re.M).group(1)
                    self.assertEqual(os.path.realpath(prefix), os.path.realpath(base[1]))
                    self.assertEqual(os.path.realpath(os.path.join(prefix, dest)),
                                     os.path.realpath(base[2]))


class DistributionTest(unittest.TestCase):
    """pyproject.toml: `pip show` and `pip install` take the name users
    import, and the extra that a missing PyYAML's error names exists."""

    def test_named_after_the_package_with_a_yaml_extra(self):
        import tesselvar._files
        with open(os.path.join(SOURCE_DIR, "pyproject.toml"), "rb") as f:
            project = tomllib.load(f)["project"]
        self.assertEqual(project["name"], tesselvar.__name__)
        self.assertEqual(project["optional-dependencies"], {"yaml": ["PyYAML>=5.1"]})
        self.assertEqual(tesselvar._files._YAML_EXTRA,
                         f"pip install {project['name']}[yaml]")


if __name__ == "__main__":
    unittest.main()
