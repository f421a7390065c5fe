"""A user's script that meets every entry point of the package: the
constructor with data and settings, the mapping protocol, the file
functions, pickling, and _mv_get with a default.

CI runs it with the installed wheel, then type-checks it against the same
environment with pyright (strict) and mypy --strict; it must pass all
three.  The methods a user calls start with an underscore (every other name
is a variable), which strict pyright reports as private use: a user's
strict project turns that one rule off, as this file does.
"""
# pyright: strict, reportPrivateUsage=false

import io
import json
import os
import pathlib
import pickle
import tempfile
from typing import Any, Dict, List, Optional

import tesselvar
from tesselvar import TesselVar

DOCUMENT: Dict[str, Any] = {
    "app": {"name": "billing", "db": {"host": "db.internal", "port": 5432}},
    "tags": ["eu", "prod"],
}

# The constructor: a mapping first, then keyword-only settings and variables.
cfg = TesselVar(DOCUMENT, reprint=False, inherit=False, region="eu-west")
assert cfg.app.db.port == 5432 and cfg.region == "eu-west"
assert cfg.timeout is None                      # reprint=False: not set reads as None
empty = TesselVar()
assert empty.anything == "anything" and len(empty) == 0 and bool(empty)

# _mv_get: a default's type reaches the caller; without one, None may come.
port: int = cfg._mv_get("$.app.db.port", 0)
timeout: int = cfg._mv_get("$.app.db.timeout", 30)
user: Optional[Any] = cfg._mv_get("$.app.db.user")
assert (port, timeout, user) == (5432, 30, None)

# The mapping protocol.
db: TesselVar = cfg["app"]["db"]
assert db["host"] == "db.internal" and "host" in db and "user" not in db
names: List[str] = list(cfg)
assert names == ["app", "tags", "region"] and len(cfg) == 3
for name in cfg:
    assert cfg[name] is cfg._mv_get(name)
cfg["debug"] = {"level": 2}                     # as cfg.debug = {...}
assert isinstance(cfg["debug"], TesselVar)
del cfg["debug"]
try:
    cfg["debug"]
except KeyError:
    pass
else:
    raise AssertionError("a removed name was found")
plain: Dict[str, Any] = dict(cfg)
assert plain["app"] is cfg.app                  # values as stored
spread: Dict[str, Any] = {**db, "pool": 5}
assert spread == {"host": "db.internal", "port": 5432, "pool": 5}

# Keys must be str: the checker says so, and so does the constructor.
try:
    TesselVar({200: "OK"})  # type: ignore[dict-item]
except TypeError as exc:
    assert "200" in str(exc)
else:
    raise AssertionError("an int key was taken")

# Text and files.
text: str = tesselvar.dumps(cfg, sort_keys=True)
assert json.loads(text) == cfg._mv_to_dict()
again: TesselVar = tesselvar.loads(text)
assert again._mv_to_dict() == json.loads(text)
from_toml = tesselvar.loads('[db]\nport = 6432\n', format="toml")
assert from_toml.db.port == 6432
with tempfile.TemporaryDirectory() as folder:
    path = os.path.join(folder, "config.json")
    tesselvar.dump(cfg, path, indent=2)
    loaded = tesselvar.load(path, reprint=False)
    assert loaded._mv_to_dict() == cfg._mv_to_dict() and loaded.nothing is None
    assert tesselvar.load(pathlib.Path(path)).app.name == "billing"
    with open(path, "rb") as binary:
        assert tesselvar.load(binary).tags == ["eu", "prod"]
    with open(path, encoding="utf-8") as readable:
        assert tesselvar.load(readable, format="json").region == "eu-west"
buffer = io.StringIO()
tesselvar.dump(cfg, buffer, format="json")
assert json.loads(buffer.getvalue()) == cfg._mv_to_dict()

# Pickles keep the settings and nested stores.
restored: TesselVar = pickle.loads(pickle.dumps(cfg))
assert restored._mv_to_dict() == cfg._mv_to_dict()
assert restored.timeout is None and restored.app.db.timeout is None
print("entry points: ok")
