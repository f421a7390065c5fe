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
from typing import TYPE_CHECKING, Any, Dict, Optional

from var_main import TesselVarMain

__all__ = ["TesselVar"]


class _Factory:
    """The store factory: makes empty, set-up nested stores.

    One factory serves a store and all its nested stores (they share the
    settings), so making a nested store allocates nothing but the store.
    """

    __slots__ = ("reprint", "inherit")

    def __init__(self, reprint: Any, inherit: Any) -> None:
        self.reprint = reprint
        self.inherit = inherit

    def __call__(self) -> TesselVar:
        store = _new_store(TesselVar)
        store._set_class(self, self.reprint, self.inherit)
        return store

    def __reduce__(self) -> Any:
        return (_Factory, (self.reprint, self.inherit))

    def __repr__(self) -> str:
        return f"<TesselVar factory reprint={self.reprint!r} inherit={self.inherit!r}>"


class TesselVar(TesselVarMain):
    """A store of named variables.

    ``reprint``: a name that is not set reads as the name itself (true) or as
    None (false).  ``inherit``: attribute assignment stores values as given
    (true) or turns dicts into nested stores and list/set/tuple into lists
    (false).  Nested stores get the same two settings.

    The store's own methods come from var_main.TesselVarMain.  help() lists
    only the names without a leading underscore, so ask for these one at a
    time, for example help(TesselVar._mv_get):

    - fill: _mv_add (merging), _mv_set, _mv_set_kwargs, _set_attr,
      _set_dict, _set_list
    - read: _mv_get (name, "$.a.b" path or sequence of steps, with default),
      _mv_keys, _mv_values, _mv_items
    - remove: _mv_pop, _mv_pops, _mv_clear
    - export: _mv_to_dict, _to_dict, _list_to_dict
    - text: _mv_to_params, _mv_to_string, __repr__
    - frame: _set_class, _skip, __getattr__, __setattr__
    """

    if TYPE_CHECKING:
        # A name that is not set reads as itself or as None, but any name may
        # hold a variable of any type: tell type checkers so, instead of the
        # base class's Union[str, None].
        def __getattr__(self, name: str) -> Any: ...

    def __init__(self, reprint: Any = True, inherit: Any = False) -> None:
        """Make a set-up, empty store with the given settings."""
        self._set_class(_Factory(reprint, inherit), reprint, inherit)

    def add(self, **kwargs: Any) -> None:
        """Store each keyword as a variable, merging into what is there."""
        self._mv_add(kwargs)

    # The names of the variables, for path lookups: the store's own
    # _mv_keys, called without a Python frame in between.
    keys = TesselVarMain._mv_keys

    def get(self, name: Any, default: Optional[Any] = None) -> Any:
        """The value of the variable ``name``, or ``default``."""
        if name in self._mv_keys():
            return self.__dict__[name]
        return default

    # Copies and pickles: instances are rebuilt bare and then given the whole
    # state, settings included, so they never pass through __setattr__.
    def __getstate__(self) -> Dict[Any, Any]:
        """The whole ``__dict__``, internal settings included."""
        return dict(self.__dict__)

    def __setstate__(self, state: Dict[Any, Any]) -> None:
        """Restore the ``__dict__`` without going through ``__setattr__``."""
        self.__dict__.update(state)

    def __copy__(self) -> TesselVar:
        """A new store sharing the values (and nested stores) of this one."""
        clone = type(self).__new__(type(self))
        clone.__dict__.update(self.__dict__)
        return clone

    def __deepcopy__(self, memo: Dict[int, Any]) -> TesselVar:
        """A new store with every value deep-copied, nested stores included."""
        clone = type(self).__new__(type(self))
        memo[id(self)] = clone
        for key, value in self.__dict__.items():
            clone.__dict__[_copy.deepcopy(key, memo)] = _copy.deepcopy(value, memo)
        return clone


_new_store = TesselVarMain.__new__
