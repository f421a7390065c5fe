"""The public store class built on var_main.TesselVarMain.

    >>> from tesselvar import TesselVar
    >>> store = TesselVar()
    >>> store.db = {"host": "localhost", "port": 5432}
    >>> store.db.host
    'localhost'
    >>> store._mv_to_dict()
    {'db': {'host': 'localhost', 'port': 5432}}
"""

from __future__ import annotations

import copy as _copy
import functools as _functools
from typing import Any, List, Optional

from var_main import TesselVarMain

__all__ = ["TesselVar"]


class TesselVar(TesselVarMain):
    """A store of named variables.

    ``reprint``: a name that is not set reads as the name itself (true) or as
    None (false).  ``inherit``: attribute assignment stores values as given
    (true) or turns dicts into nested stores and list/set/tuple into lists
    (false).  Nested stores get the same two settings.
    """

    def __init__(self, reprint: Any = True, inherit: Any = False) -> None:
        self._set_class(_functools.partial(TesselVar, reprint, inherit),
                        reprint, inherit)

    def add(self, **kwargs: Any) -> None:
        """Store each keyword as a variable, merging into what is there."""
        self._mv_add(kwargs)

    def keys(self) -> List[str]:
        """The names of the variables (used by path lookups)."""
        return self._mv_keys()

    def get(self, name: Any, default: Optional[Any] = None) -> Any:
        """The value of the variable ``name``, or ``default``."""
        if name in self._mv_keys():
            return self.__dict__[name]
        return default

    # Copies and pickles: instances are rebuilt bare and then given the whole
    # state, settings included, so they never pass through __setattr__.
    def __getstate__(self) -> dict:
        return dict(self.__dict__)

    def __setstate__(self, state: dict) -> None:
        self.__dict__.update(state)

    def __copy__(self) -> "TesselVar":
        clone = type(self).__new__(type(self))
        clone.__dict__.update(self.__dict__)
        return clone

    def __deepcopy__(self, memo: dict) -> "TesselVar":
        clone = type(self).__new__(type(self))
        memo[id(self)] = clone
        for key, value in self.__dict__.items():
            clone.__dict__[_copy.deepcopy(key, memo)] = _copy.deepcopy(value, memo)
        return clone
