"""Real JSON documents: round trip, merging into themselves, every key name
reached by path; loaded from their files, read through the mapping
protocol, written back and pickled.

The committed document (data/link-example.json) is always used.  The large
ones come from the cache that data/fetch_documents.sh fills; their tests
skip, saying why, when it has not run or had no network, and under the
sanitizer build, where they would take minutes.  A real YAML document with
int keys (data/webhook-example.yaml) is refused as it is and loads once its
keys are str.
"""

import json
import os
import pickle
import unittest

import tesselvar
from support import TesselVar, pyyaml

HERE = os.path.dirname(os.path.abspath(__file__))
COMMITTED = os.path.join(HERE, "data", "link-example.json")
YAML_DOCUMENT = os.path.join(HERE, "data", "webhook-example.yaml")
CACHE = os.environ.get("VAR_MAIN_DOCUMENTS") or os.path.join(
    os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
    "var_main", "documents")
SANITIZED = os.environ.get("VAR_MAIN_SANITIZED") == "1"
SETTINGS = {"_i_c_u", "_g_n_r", "_g_n_i", "_g_n_s"}

# Cached as data/fetch_documents.sh names them (see data/README.md).
FETCHED = [
    "octokit-webhooks-schemas-7.6.1.json",   # JSON Schema collection, 0.6 MB
    "octokit-openapi-23.0.2.json",           # OpenAPI description, 13 MB
    "caniuse-db-1.0.30001813.json",          # data set, 4.7 MB
    "mdn-browser-compat-data-8.1.9.json",    # data set, 20 MB
]

_texts = {}
_routes = {}
_loaded = {}


def text_of(path):
    """The document's text, read once per run."""
    if path not in _texts:
        with open(path, encoding="utf-8") as f:
            _texts[path] = f.read()
    return _texts[path]


def loaded(path):
    """The document loaded from its file, with both settings changed, once
    per run: the tests below only read it."""
    if path not in _loaded:
        _loaded[path] = tesselvar.load(path, reprint=False, inherit=True)
    return _loaded[path]


def first_routes(path):
    """{name: route} for every key name in the document: the steps (keys and
    list indices) to its first occurrence, in document order."""
    if path not in _routes:
        routes = {}

        def walk(value, route):
            if isinstance(value, dict):
                for key, item in value.items():
                    here = route + (key,)
                    routes.setdefault(key, here)
                    walk(item, here)
            elif isinstance(value, list):
                for i, item in enumerate(value):
                    walk(item, route + (i,))
        walk(json.loads(text_of(path)), ())
        _routes[path] = routes
    return _routes[path]


def merged(into, new):
    """The merge rule on plain data: a dict goes into the dict already there,
    a list is appended to the list already there, anything else replaces."""
    for key, value in new.items():
        old = into.get(key)
        if isinstance(value, dict) and isinstance(old, dict):
            merged(old, value)
        elif isinstance(value, list) and isinstance(old, list):
            old.extend(value)
        else:
            into[key] = value
    return into


def exported(value):
    """A value read from a store as plain data."""
    if isinstance(value, TesselVar):
        return value._mv_to_dict()
    if isinstance(value, list):
        return TesselVar()._list_to_dict(value)
    return value


def difference(a, b, route=()):
    """The route to the first place where a and b differ (key order
    included), or None."""
    if isinstance(a, dict) and isinstance(b, dict):
        if list(a) != list(b):
            return route + ("<names>",)
        pairs = ((k, a[k], b[k]) for k in a)
    elif isinstance(a, list) and isinstance(b, list):
        if len(a) != len(b):
            return route + ("<length>",)
        pairs = zip(range(len(a)), a, b)
    else:
        return None if type(a) is type(b) and a == b else route
    for step, x, y in pairs:
        where = difference(x, y, route + (step,))
        if where is not None:
            return where
    return None


MISSING = object()


def same_tree(test, store, doc):
    """Walks the store against the plain document through the mapping
    protocol alone: [], in, iter, len and dict() at every level."""
    pending = [(store, doc)]
    while pending:
        node, value = pending.pop()
        if isinstance(value, dict):
            test.assertIs(type(node), TesselVar)
            names = list(node)
            if names != list(value) or len(node) != len(value):
                test.fail(f"names differ: {names[:5]}... against {list(value)[:5]}...")
            items = dict(node)
            for name, item in value.items():
                got = node[name]
                if name not in node or items[name] is not got:
                    test.fail(f"{name!r}: 'in' or dict() disagrees with []")
                pending.append((got, item))
        elif isinstance(value, list):
            test.assertIs(type(node), list)
            test.assertEqual(len(node), len(value))
            pending.extend(zip(node, value))
        elif type(node) is not type(value) or node != value:
            test.fail(f"{node!r} != {value!r}")


def str_keys(value):
    """value with every mapping key turned into a str."""
    if isinstance(value, dict):
        return {str(k): str_keys(v) for k, v in value.items()}
    if isinstance(value, list):
        return [str_keys(v) for v in value]
    return value


def from_class(holder, name):
    """What holder.<name> reads from its class (bound, for a method), or
    MISSING when the class has no such attribute."""
    for klass in type(holder).__mro__:
        if name in vars(klass):
            attr = vars(klass)[name]
            if hasattr(attr, "__get__"):
                return attr.__get__(holder, type(holder))
            return attr
    return MISSING


def runs(route):
    """The route cut into runs of names, each followed by the list index
    that ends it (None for the last run)."""
    out, names = [], []
    for step in route:
        if isinstance(step, int):
            out.append((names, step))
            names = []
        else:
            names.append(step)
    out.append((names, None))
    return out


def lookups(names):
    """Every way of asking _mv_get for a run of names."""
    ways = [list(names), tuple(names)]
    if not any("." in name for name in names):
        ways.append("$." + ".".join(names))
    if len(names) == 1 and not names[0].startswith("$."):
        ways.append(names[0])
    return ways


def documents(test):
    """(label, path) of the documents a test uses: the committed one and the
    fetched ones; those not fetched are subtests that skip."""
    yield "link-example.json", COMMITTED
    for name in FETCHED:
        path = os.path.join(CACHE, name)
        reason = None
        if SANITIZED:
            reason = "sanitizer build: only the committed document"
        elif not os.path.exists(path):
            reason = (f"{name} not in {CACHE}: run tests/data/"
                      f"fetch_documents.sh (it needs the npm registry)")
        if reason:
            with test.subTest(document=name):
                test.skipTest(reason)
        else:
            yield name, path


class DocumentTest(unittest.TestCase):
    def assertSameData(self, got, want, what):
        # json.dumps compares order and types too; the walk only names the
        # place (assertEqual would print megabytes).
        if json.dumps(got) != json.dumps(want):
            self.fail(f"{what}: differs at {difference(got, want)}")

    def test_round_trip_and_merging_into_itself(self):
        for label, path in documents(self):
            with self.subTest(document=label):
                text = text_of(path)
                self.assertFalse(SETTINGS & set(first_routes(path)),
                                 "a key named like a setting changes settings")
                doc = json.loads(text)
                store = TesselVar()
                store._mv_add(doc)
                self.assertSameData(store._mv_to_dict(), doc, "round trip")
                store._mv_add(doc)
                self.assertSameData(store._mv_to_dict(),
                                    merged(json.loads(text), json.loads(text)),
                                    "merged into itself")
                self.assertTrue(doc == json.loads(text), "input changed")

    def test_every_key_name_by_every_kind_of_path(self):
        for label, path in documents(self):
            with self.subTest(document=label):
                doc = json.loads(text_of(path))
                # Loaded by the constructor, as _mv_add loads (checked above).
                store = loaded(path)
                for name, route in first_routes(path).items():
                    holder, current, value = store, store, doc
                    for names, index in runs(route):
                        found = [current._mv_get(way, MISSING)
                                 for way in lookups(names)]
                        for way, got in zip(lookups(names), found):
                            self.assertIs(got, found[0], (route, way))
                        self.assertIsNot(found[0], MISSING, (route, names))
                        if len(names) > 1:
                            holder = current._mv_get(names[:-1])
                        elif names:
                            holder = current
                        current = found[0]
                        for step in names:
                            value = value[step]
                        if index is not None:
                            current, value = current[index], value[index]
                    self.assertSameData(exported(current), value, route)
                    # A name that is also an attribute of the class keeps
                    # reading as the class's attribute on the store holding it.
                    want = from_class(holder, name)
                    if want is not MISSING:
                        self.assertEqual(getattr(holder, name), want, route)

    def test_loaded_from_the_file_and_read_as_a_mapping(self):
        for label, path in documents(self):
            with self.subTest(document=label):
                store = loaded(path)
                doc = json.loads(text_of(path))
                self.assertEqual(tesselvar.dumps(store), json.dumps(doc))
                same_tree(self, store, doc)
                # Settings are no items, and reprint=False reached the root.
                for setting in SETTINGS:
                    self.assertNotIn(setting, store)
                    self.assertRaises(KeyError, store.__getitem__, setting)
                self.assertRaises(KeyError, store.__getitem__, "no such name")
                self.assertIsNone(store.no_such_name)

    def test_pickle_round_trip(self):
        for label, path in documents(self):
            with self.subTest(document=label):
                store = loaded(path)
                # A nested store pickled beside the whole comes back as the
                # same object as the one inside the restored whole.
                name = next(n for n in store if isinstance(store[n], TesselVar))
                inner = store[name]
                again, inner_again = pickle.loads(pickle.dumps((store, inner), protocol=5))
                self.assertIs(type(again), TesselVar)
                self.assertIs(again[name], inner_again)
                self.assertEqual(tesselvar.dumps(again), tesselvar.dumps(store))
                # Both settings, at the root and below.
                self.assertIsNone(again.no_such_name)
                self.assertIsNone(inner_again.no_such_name)
                inner_again.plain = {"k": 1}
                self.assertIs(type(inner_again.plain), dict)
                self.assertNotIn("plain", inner)

    def test_yaml_document_with_int_keys(self):
        yaml, why = pyyaml()
        if yaml is None:
            self.skipTest(why)
        with self.assertRaises(TypeError) as caught:
            tesselvar.load(YAML_DOCUMENT)
        message = str(caught.exception)
        self.assertIn("the key 200 at $.paths./pets/items.get.responses", message)
        self.assertIn("(int)", message)
        self.assertEqual(caught.exception.__notes__, [f"in {YAML_DOCUMENT!r}"])
        with open(YAML_DOCUMENT, encoding="utf-8") as f:
            doc = str_keys(yaml.safe_load(f))
        store = TesselVar(doc)
        self.assertSameData(store._mv_to_dict(), doc, "keys as str")
        self.assertEqual(store["paths"]["/pets/items"]["get"]["responses"]["200"]
                         ["description"], "200")
        self.assertEqual(store._mv_get(["paths", "/pets", "get", "responses", "400",
                                        "description"]), "An error response")
        written = tesselvar.dumps(store, format="yaml", sort_keys=False)
        self.assertSameData(tesselvar.loads(written, format="yaml")._mv_to_dict(), doc,
                            "through YAML text")

    def test_committed_document_by_hand(self):
        store = TesselVar()
        store._mv_add(json.loads(text_of(COMMITTED)))
        user = ["paths", "/2.0/users/{username}", "get"]
        for key, want in [
                ("$.openapi", "3.0.0"),
                (user + ["operationId"], "getUserByName"),
                ("$.components.links.UserRepositories.operationId",
                 "getRepositoriesByOwner"),
                # cut at every dot: "/2" and "0/users/{username}"
                ("$.paths./2.0/users/{username}.get", MISSING)]:
            with self.subTest(key=key):
                self.assertEqual(store._mv_get(key, MISSING), want)
        self.assertEqual(store._mv_get(user)._mv_get("parameters")[0].name,
                         "username")

    def test_names_of_methods_and_slots(self):
        # As a JWKS holds "keys", a HAL document "self", an API description
        # "get": the names must load, export and be found like any other.
        for name in ["self", "add", "get", "keys", "items", "__class__",
                     "__dict__"]:
            with self.subTest(name=name):
                doc = {name: {name: [1]}, "a": {name: 2, "b": {name: {}}}}
                store = TesselVar()
                store._mv_add(doc)
                self.assertSameData(store._mv_to_dict(), doc, "round trip")
                for key, want in [
                        (name, {name: [1]}), ([name, name], [1]),
                        (f"$.{name}.{name}", [1]), (["a", name], 2),
                        (f"$.a.{name}", 2), (f"$.a.b.{name}", {})]:
                    self.assertEqual(exported(store._mv_get(key, MISSING)),
                                     want, key)
                store._mv_add(doc)
                self.assertSameData(store._mv_to_dict(),
                                    merged(json.loads(json.dumps(doc)), doc),
                                    "merged into itself")
                for holder in (store, store._mv_get("a")):
                    want = from_class(holder, name)
                    if want is not MISSING:
                        self.assertEqual(getattr(holder, name), want)


if __name__ == "__main__":
    unittest.main()
