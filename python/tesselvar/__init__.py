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

The class, its store factory and the keys view are compiled (module
``tesselvar._core``); copies and pickles are defined here.
"""

from __future__ import annotations

import collections.abc as _abc
import copy as _copy
from typing import Any, Dict

from tesselvar._core import TesselVar
# The store factory, for code that makes nested stores itself.
from tesselvar._core import _Factory as _Factory  # pyright: ignore[reportPrivateUsage]

__all__ = ["TesselVar"]


# Copies and pickles: instances are rebuilt bare and then given the whole
# state, settings included, so they never pass through __setattr__.
def __getstate__(self: TesselVar) -> Dict[Any, Any]:
    """The whole ``__dict__``, internal settings included."""
    return dict(self.__dict__)


def __setstate__(self: TesselVar, state: Dict[Any, Any]) -> None:
    """Restore the ``__dict__`` without going through ``__setattr__``."""
    self.__dict__.update(state)


def __copy__(self: TesselVar) -> TesselVar:
    """A new store sharing the values (and nested stores) of this one."""
    clone = type(self).__new__(type(self))
    clone.__dict__.update(self.__dict__)
    return clone


def __deepcopy__(self: TesselVar, memo: Dict[int, Any]) -> TesselVar:
    """A new store with every value deep-copied, nested stores included."""
    clone = type(self).__new__(type(self))
    memo[id(self)] = clone
    for key, value in self.__dict__.items():
        clone.__dict__[_copy.deepcopy(key, memo)] = _copy.deepcopy(value, memo)
    return clone


for _fn in (__getstate__, __setstate__, __copy__, __deepcopy__):
    _fn.__qualname__ = "TesselVar." + _fn.__name__
    _fn.__module__ = TesselVar.__module__
    setattr(TesselVar, _fn.__name__, _fn)
del _fn

# The keys view is set-like: say so to isinstance().
_abc.KeysView.register(type(TesselVar().keys()))
