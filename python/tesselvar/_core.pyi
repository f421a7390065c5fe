"""Type stubs for tesselvar._core, the compiled part of the package."""

from typing import Any, Dict, KeysView, Tuple, Type

from var_main import TesselVarMain

class TesselVar(TesselVarMain):
    """A store of named variables.

    ``reprint``: a name that is not set reads as the name itself (true) or as
    None (false).  ``inherit``: attribute assignment stores values as given
    (true) or turns dicts into nested stores and list/set/tuple into lists
    (false).  Nested stores get the same two settings.

    ``add``, ``keys`` and ``get`` always mean the methods: a variable of the
    same name is stored, exported and found by ``_mv_get`` but does not hide
    them.
    """

    def __init__(self, reprint: Any = True, inherit: Any = False) -> None:
        """Make a set-up, empty store with the given settings."""
    def add(self, /, **kwargs: Any) -> None:
        """Store each keyword as a variable, merging into what is there."""
    def keys(self) -> KeysView[str]:
        """A live set-like view of the names of the variables."""
    def get(self, name: Any, default: Any = None) -> Any:
        """The value of the variable ``name``, or ``default``."""
    # A name that is not set reads as itself or as None, but any name may
    # hold a variable of any type: tell type checkers so, instead of the
    # base class's Union[str, None].
    def __getattr__(self, name: str) -> Any: ...
    def __getstate__(self) -> Dict[Any, Any]:
        """The whole ``__dict__``, internal settings included."""
    def __setstate__(self, state: Dict[Any, Any]) -> None:
        """Restore the ``__dict__`` without going through ``__setattr__``."""
    def __copy__(self) -> TesselVar:
        """A new store sharing the values (and nested stores) of this one."""
    def __deepcopy__(self, memo: Dict[int, Any]) -> TesselVar:
        """A new store with every value deep-copied, nested stores included."""

class _Factory:
    """The store factory: makes empty, set-up nested stores."""

    @property
    def reprint(self) -> Any: ...
    @property
    def inherit(self) -> Any: ...
    def __init__(self, reprint: Any, inherit: Any) -> None: ...
    def __call__(self) -> TesselVar: ...
    def __reduce__(self) -> Tuple[Type[_Factory], Tuple[Any, Any]]: ...
