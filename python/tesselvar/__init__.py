"""The public store class built on var_main.TesselVarMain.

    >>> from tesselvar import TesselVar
    >>> store = TesselVar()
    >>> store.db = {"host": "localhost", "port": 5432}
    >>> store.db.host
    'localhost'
    >>> store._mv_to_dict()
    {'db': {'host': 'localhost', 'port': 5432}}

Any key can be a variable: a variable named like one of the three methods
that var_main calls on nested stores (``add``, ``keys``, ``get``) is stored,
exported and found by ``_mv_get``, but reading the attribute gives the method.

    >>> store.add(keys=[1], self=2)
    >>> store.keys()
    TesselVarKeys(['db', 'keys', 'self'])
    >>> store._mv_get("keys"), store.get("self")
    ([1], 2)

The class, its store factory, the keys view, the mapping protocol and
pickling are compiled (module ``tesselvar._core``).
"""

from __future__ import annotations

import collections.abc as _abc

from tesselvar._core import TesselVar
# The store factory, for code that makes nested stores itself.
from tesselvar._core import _Factory as _Factory  # pyright: ignore[reportPrivateUsage]
# Files and text: the class takes no attribute names beyond add, get and
# keys (any other is a variable), so these are functions of the package.
from tesselvar._files import dump, dumps, load, loads

__all__ = ["TesselVar", "dump", "dumps", "load", "loads"]


# The keys view is set-like: say so to isinstance().
_abc.KeysView.register(type(TesselVar().keys()))
