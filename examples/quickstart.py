"""The main job, end to end: a JSON configuration in a store and back out."""

import json

from tesselvar import TesselVar

CONFIG = """
{
  "service": {"name": "billing", "replicas": 3},
  "database": {"host": "db.internal", "port": 5432, "options": {"ssl": true}},
  "features": ["audit", "export"],
  "admins": [{"name": "ada"}, {"name": "lin"}]
}
"""

store = TesselVar()                       # missing names read as themselves
store._mv_add(json.loads(CONFIG))         # dicts become nested stores

print("service name:   ", store.service.name)
print("database port:  ", store._mv_get("$.database.port"))
print("ssl on:         ", store._mv_get(["database", "options", "ssl"]))
print("not set:        ", store.timeout)  # the reprint setting at work

store._mv_add({"database": {"port": 6432}, "features": ["metrics"]})
print("merged port:    ", store.database.port)
print("features:       ", store.features)

print("params:         ", store.service._mv_to_params())
print("listing:        ", store.service._mv_to_string())
print("repr:           ", store.database)

exported = store._mv_to_dict(sort=True)
print("as JSON:        ", json.dumps(exported, sort_keys=False))
assert json.loads(json.dumps(exported))["database"]["port"] == 6432
