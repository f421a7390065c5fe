"""The README's tour as a user's script, for a type checker and for Python.

CI runs it with the installed wheel, and runs pyright on it (basic rules)
against the same environment, so the installed stubs and py.typed are what
the checker reads.  It must pass both without a cast.
"""

import copy
import json
import pickle
from collections import OrderedDict
from typing import Any

from tesselvar import TesselVar
from var_main import TesselVarMain

store = TesselVar()
store.app = json.loads('''
  {"name": "billing",
   "db": {"host": "db.internal", "port": 5432},
   "tags": ["eu", "prod"]}''')
port: int = store.app.db.port
name: str = store.app.name
assert (name, port, store.app.tags) == ("billing", 5432, ["eu", "prod"])

# Missing names read as themselves, or None with reprint=False.
assert store.timeout == "timeout"
assert TesselVar(reprint=False).timeout is None

# inherit=True stores containers as given.
raw = TesselVar(inherit=True)
raw.limits = {"cpu": 2}
assert type(raw.limits) is dict and raw.limits["cpu"] == 2

# Assigning a dict literal: pyright takes the attribute to be that dict from
# here on and refuses a nested read, though the store made it a TesselVar.
store.db = {"host": "localhost", "port": 5432}
assert store.db.port == 5432  # pyright: ignore[reportAttributeAccessIssue]
assert isinstance(store.db, TesselVar)

# The same assignment through _mv_set is not narrowed.
store._mv_set("cache", {"host": "localhost", "port": 6379})
cache_port: int = store.cache.port
assert cache_port == 6379

# Merging, lookups with defaults, removal.
store._mv_add({"app": {"db": {"port": 6432}, "tags": ("canary",)}})
store._mv_set("debug", False)
keys: list[str] = store._mv_keys()
assert keys == ["app", "db", "cache", "debug"], keys
assert store._mv_get("$.app.db.port") == 6432
assert store._mv_get(["app", "db", "host"]) == "db.internal"
assert store._mv_get("$.app.db.user", "admin") == "admin"
assert store.get("debug") is False and store.get("nothing", 1) == 1
store.add(extra={"k": 1})
assert store.extra.k == 1

# Export and the text forms.
exported: dict[str, Any] = store._mv_to_dict(sort=True)
assert json.loads(json.dumps(exported))["app"]["tags"] == ["eu", "prod", "canary"]
db: TesselVar = store.app.db
params: str = db._mv_to_params()
listing: str = db._mv_to_string()
assert params == "host='db.internal'&port=6432", params
assert listing == '"host": "\'db.internal\'", "port": "6432"', listing
assert repr(db) == str(db) == "TesselVar(host='db.internal', port=6432)"

# Copies and pickles keep nested stores and settings.
clone = copy.deepcopy(store)
assert clone._mv_to_dict() == store._mv_to_dict()
again = pickle.loads(pickle.dumps(store))
assert isinstance(again, TesselVar) and again.app.db.port == 6432
assert issubclass(TesselVar, TesselVarMain)

# Wrong argument types are refused at run time and by the checker.
try:
    store.opts = OrderedDict(a=1)
except TypeError as exc:
    assert "expected dict, got OrderedDict" in str(exc)
else:
    raise AssertionError("an OrderedDict was taken for a dict")
try:
    store._mv_pops(["a"])  # pyright: ignore[reportArgumentType]
except TypeError:
    pass
else:
    raise AssertionError("a list was taken for a tuple")

store._mv_pops(("debug", "extra"))
store._mv_pop("cache")
store._mv_clear()
assert store._mv_keys() == [] and repr(store) == "TesselVar()"
print("tour: ok")
