"""tesselvar.load/loads/dump/dumps: formats, sources and targets, and what
they refuse.

YAML cases use PyYAML as support.pyyaml() finds it (an installed copy, else
Debian's pure-Python modules) and skip, saying why, without it.
"""

import io
import json
import os
import pathlib
import pickle
import shutil
import sys
import tempfile
import unittest
from unittest import mock

import tesselvar
from support import TesselVar, pyyaml

YAML, NO_YAML = pyyaml()
DOC = {"app": {"name": "billing", "db": {"host": "h", "port": 5432}},
       "tags": ["eu", "prod"], "ratio": 0.5, "on": True}
TEXTS = {
    "json": json.dumps(DOC),
    "toml": ('tags = ["eu", "prod"]\nratio = 0.5\non = true\n'
             '[app]\nname = "billing"\n[app.db]\nhost = "h"\nport = 5432\n'),
    "yaml": ("app:\n  name: billing\n  db: {host: h, port: 5432}\n"
             "tags: [eu, prod]\nratio: 0.5\n'on': true\n"),
}
SUFFIXES = {".json": "json", ".toml": "toml", ".yaml": "yaml", ".yml": "yaml",
            ".JSON": "json", ".Yml": "yaml"}


def sorted_export(store):
    return json.loads(json.dumps(store._mv_to_dict(), sort_keys=True))


class FilesTest(unittest.TestCase):

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="var_main-files-")
        self.addCleanup(shutil.rmtree, self.dir)

    def need_yaml(self, fmt):
        if fmt == "yaml" and YAML is None:
            self.skipTest(NO_YAML)

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return path

    def test_every_kind_of_source_and_format(self):
        want = sorted_export(TesselVar(DOC))
        for suffix, fmt in SUFFIXES.items():
            text = TEXTS[fmt]
            path = self.write("config" + suffix, text)
            sources = [
                ("str path", lambda: path, {}),
                ("Path", lambda: pathlib.Path(path), {}),
                ("text file", lambda: open(path, encoding="utf-8"), {}),
                ("binary file", lambda: open(path, "rb"), {}),
                # No name to go by: the format is given.
                ("StringIO", lambda: io.StringIO(text), {"format": fmt}),
                ("BytesIO", lambda: io.BytesIO(text.encode()), {"format": fmt}),
                # format= wins over a suffix that says otherwise.
                ("path, format given", lambda: self.write("c.txt", text), {"format": fmt}),
            ]
            for label, make, kw in sources:
                with self.subTest(suffix=suffix, source=label):
                    self.need_yaml(fmt)
                    source = make()
                    try:
                        store = tesselvar.load(source, **kw)
                    finally:
                        if hasattr(source, "close"):
                            source.close()
                    self.assertIs(type(store), TesselVar)
                    self.assertEqual(sorted_export(store), want)
            with self.subTest(loads=fmt):
                self.need_yaml(fmt)
                for given in (text, text.encode(), bytearray(text.encode())):
                    self.assertEqual(sorted_export(tesselvar.loads(given, format=fmt)), want)

    def test_settings_reach_every_store(self):
        path = self.write("c.json", TEXTS["json"])
        for store in (tesselvar.load(path, reprint=False, inherit=True),
                      tesselvar.loads(TEXTS["json"], reprint=False, inherit=True)):
            self.assertIsNone(store.app.db.missing)
            store.app.db.extra = {"k": 1}           # inherit: stored as given
            self.assertIs(type(store.app.db.extra), dict)
            self.assertIsInstance(store.app, TesselVar)
        store = tesselvar.load(path)
        self.assertEqual(store.app.db.missing, "missing")

    def test_refused_sources_and_formats(self):
        unknown = self.write("c.ini", "[a]")
        cases = [
            (lambda: tesselvar.load(unknown), ValueError,
             "suffix (.ini): the known suffixes are .json, .toml, .yaml, .yml"),
            (lambda: tesselvar.load(self.write("c", "{}")), ValueError, "suffix (none)"),
            (lambda: tesselvar.load(unknown, format="ini"), ValueError,
             "unknown format 'ini': the known formats are 'json', 'toml', 'yaml'"),
            (lambda: tesselvar.loads("{}", format="JSON"), ValueError, "unknown format 'JSON'"),
            (lambda: tesselvar.load(io.StringIO("{}")), ValueError,
             "no file name to tell its format from: pass format="),
            (lambda: tesselvar.load(b"{}"), TypeError, "use loads()"),
            (lambda: tesselvar.load(3), TypeError, "not int"),
            (lambda: tesselvar.loads(pathlib.Path(unknown)), TypeError, "use load()"),
            (lambda: tesselvar.load(mock.Mock(read=lambda: 3), format="json"), TypeError,
             "read() gave int"),
        ]
        for call, exc, message in cases:
            with self.subTest(message):
                with self.assertRaises(exc) as caught:
                    call()
                self.assertIn(message, str(caught.exception))

    def test_top_level_not_a_mapping(self):
        for text, fmt, kind in [("[1, 2]", "json", "a list"), ('"a"', "json", "a str"),
                                ("null", "json", "None"), ("3", "json", "an int"),
                                ("", "yaml", "None"), ("- a\n", "yaml", "a list")]:
            with self.subTest(text=text, format=fmt):
                self.need_yaml(fmt)
                with self.assertRaises(TypeError) as caught:
                    tesselvar.loads(text, format=fmt)
                self.assertIn(f"is {kind}, not a mapping",
                              str(caught.exception))
        path = self.write("list.json", "[]")
        with self.assertRaisesRegex(TypeError, r"top level of '.*list\.json' is a list"):
            tesselvar.load(path)

    def test_errors_name_the_file(self):
        # The constructor refuses the key; load says in which file.
        cases = [("bad.json", '{"a": [{"_g_n_r": false}]}', ValueError, "_g_n_r"),
                 ("bad.yaml", "a:\n  b:\n    200: ok\n", TypeError, "200"),
                 ("broken.json", '{"a": ', json.JSONDecodeError, "Expecting value")]
        for name, text, exc, word in cases:
            with self.subTest(name):
                self.need_yaml(os.path.splitext(name)[1][1:])
                path = self.write(name, text)
                with self.assertRaises(exc) as caught:
                    tesselvar.load(path)
                self.assertIn(word, str(caught.exception))
                self.assertIn(repr(path), " ".join(caught.exception.__notes__))

    def test_without_pyyaml(self):
        store = TesselVar(DOC)
        path = self.write("c.yaml", TEXTS["yaml"])
        with mock.patch.dict(sys.modules, {"yaml": None}):
            for call in (lambda: tesselvar.load(path),
                         lambda: tesselvar.loads(TEXTS["yaml"], format="yaml"),
                         lambda: tesselvar.dumps(store, format="yaml"),
                         lambda: tesselvar.dump(store, os.path.join(self.dir, "o.yml"))):
                with self.assertRaises(ImportError) as caught:
                    call()
                self.assertIn("PyYAML, which is not installed: pip install tesselvar[yaml]",
                              str(caught.exception))
                self.assertEqual(caught.exception.name, "yaml")
            self.assertEqual(json.loads(tesselvar.dumps(store)), DOC)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "o.yml")))

    def test_dumps(self):
        store = TesselVar(DOC)
        self.assertEqual(tesselvar.dumps(store), json.dumps(DOC))
        self.assertEqual(tesselvar.dumps(store, indent=1, sort_keys=True),
                         json.dumps(DOC, indent=1, sort_keys=True))
        with self.assertRaisesRegex(ValueError, "TOML cannot be written"):
            tesselvar.dumps(store, format="toml")
        with self.assertRaisesRegex(TypeError, "expected a TesselVar to write, got dict"):
            tesselvar.dumps(DOC)
        # A variable that hides the export method does not hide it from dumps.
        hidden = TesselVar({"a": 1})
        hidden._mv_to_dict = 2
        self.assertEqual(tesselvar.dumps(hidden), '{"a": 1, "_mv_to_dict": 2}')
        if YAML is not None:
            text = tesselvar.dumps(store, format="yaml", sort_keys=False)
            self.assertEqual(YAML.safe_load(text), DOC)
            self.assertEqual(list(YAML.safe_load(text)), list(DOC))

    def test_dump_to_every_kind_of_target(self):
        store = TesselVar({"name": "Zoë", "n": [1, {"k": None}]})
        want = store._mv_to_dict()
        for suffix, fmt in SUFFIXES.items():
            if fmt == "toml":
                continue
            with self.subTest(suffix=suffix):
                self.need_yaml(fmt)
                path = os.path.join(self.dir, "out" + suffix)
                read = json.loads if fmt == "json" else YAML.safe_load
                tesselvar.dump(store, path)
                with open(path, encoding="utf-8") as f:
                    self.assertEqual(read(f.read()), want)
                tesselvar.dump(store, pathlib.Path(path))
                with open(path, "w", encoding="utf-8") as f:
                    tesselvar.dump(store, f)
                with open(path, "wb") as f:
                    tesselvar.dump(store, f)
                with open(path, "rb") as f:
                    self.assertEqual(read(f.read().decode("utf-8")), want)
                for buffer in (io.StringIO(), io.BytesIO()):
                    tesselvar.dump(store, buffer, format=fmt)
                    value = buffer.getvalue()
                    self.assertEqual(read(value if isinstance(value, str)
                                          else value.decode("utf-8")), want)
        # Options reach json.dumps; the file is UTF-8 whatever the locale.
        path = os.path.join(self.dir, "out.json")
        tesselvar.dump(store, path, ensure_ascii=False)
        with open(path, "rb") as f:
            self.assertEqual(f.read().decode("utf-8"), json.dumps(want, ensure_ascii=False))
        # A format that cannot be written leaves the file as it was.
        kept = self.write("kept.toml", "a = 1\n")
        with self.assertRaisesRegex(ValueError, "TOML cannot be written"):
            tesselvar.dump(store, kept)
        with open(kept, encoding="utf-8") as f:
            self.assertEqual(f.read(), "a = 1\n")
        with self.assertRaisesRegex(TypeError, "use dumps()"):
            tesselvar.dump(store, 3)

    def test_round_trip_through_a_file_and_a_pickle(self):
        path = os.path.join(self.dir, "c.json")
        tesselvar.dump(TesselVar(DOC, reprint=False), path)
        store = tesselvar.load(path, reprint=False)
        again = pickle.loads(pickle.dumps(store))
        self.assertEqual(again._mv_to_dict(), DOC)
        self.assertIsNone(again.app.missing)


if __name__ == "__main__":
    unittest.main()
