"""Layered configuration: a JSON file, environment-style overrides, JSON out.

A service reads its configuration file with ``tesselvar.load``, then lets
deployment variables such as ``APP__DB__PORT=6432`` override single values
(two underscores separate the levels), reads the settings it needs by path,
and writes the effective configuration back out with ``tesselvar.dump``.  The overrides come from a dict, so the example
does not depend on the real environment; in a service you would pass
``os.environ`` filtered by a prefix.

Run with the build's python folder on PYTHONPATH:

    PYTHONPATH=build/release/python python3.13 examples/config_overrides.py
"""

import json
import os
import tempfile
from typing import Any, Container, Dict, Mapping

import tesselvar
from tesselvar import TesselVar

BASE_CONFIG = {
    "app": {
        "name": "billing",
        "debug": False,
        "db": {"host": "db.internal", "port": 5432, "pool": 5},
        "features": ["audit"],
    },
    "logging": {"level": "INFO"},
}

DEPLOYMENT = {                       # what the environment would hold
    "APP__DB__HOST": "db-replica.internal",
    "APP__DB__PORT": "6432",
    "APP__DEBUG": "true",
    "APP__FEATURES": '["metrics", "export"]',
    "LOGGING__LEVEL": "DEBUG",
    "HOME": "/root",                 # not ours: no known top-level section
}


def parse_value(text: str) -> Any:
    """JSON when it parses ("6432", "true", "[...]"), else the text itself."""
    try:
        return json.loads(text)
    except ValueError:
        return text


def overrides(pairs: Mapping[str, str], sections: Container[str]) -> Dict[str, Any]:
    """KEY__SUB=value pairs, for known top-level sections, as nested dicts."""
    tree: Dict[str, Any] = {}
    for key, text in sorted(pairs.items()):
        path = key.lower().split("__")
        if path[0] not in sections:
            continue
        node = tree
        for step in path[:-1]:
            node = node.setdefault(step, {})
        node[path[-1]] = parse_value(text)
    return tree


def load(path: str, pairs: Mapping[str, str]) -> TesselVar:
    # The format comes from the suffix (.json, .toml, .yaml); with
    # reprint=False, settings that are not set read as None.
    config = tesselvar.load(path, reprint=False)
    # _mv_add merges: a dict goes into the nested store that is there and
    # keeps its other values; a list is appended to the list that is there.
    # A store is a mapping too: `section in config` asks for a variable.
    config._mv_add(overrides(pairs, config))
    return config


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "config.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(BASE_CONFIG, f)
        config = load(path, DEPLOYMENT)

        db = config.app.db
        print(f"database:  {db.host}:{db.port} (pool {db.pool})")
        print(f"debug:     {config._mv_get('$.app.debug')}")
        print(f"log level: {config._mv_get(['logging', 'level'])}")
        print(f"features:  {config.app.features}")
        print(f"timeout:   {config._mv_get('$.app.db.timeout', 30)} (default)")
        print(f"not set:   {config.app.region}")
        print(f"db params: {db._mv_to_params()}")

        effective = os.path.join(folder, "effective.json")
        tesselvar.dump(config, effective, indent=2, sort_keys=True)
        with open(effective, encoding="utf-8") as f:
            text = f.read()
        print(text)

    written = json.loads(text)
    assert written["app"]["db"] == {"host": "db-replica.internal", "port": 6432, "pool": 5}
    assert written["app"]["features"] == ["audit", "metrics", "export"]
    assert written["app"]["debug"] is True and written["logging"]["level"] == "DEBUG"
    assert "home" not in written


if __name__ == "__main__":
    main()
