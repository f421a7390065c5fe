"""Type stubs for tesselvar._core, the compiled part of the package."""

from typing import Any, Dict, Iterator, KeysView, Mapping, Optional, Tuple, Type, TypeVar, Union, overload

from var_main import TesselVarMain

_T = TypeVar("_T")

class TesselVar(TesselVarMain):
    """A store of named variables.

    ``data``: a mapping loaded as nested stores (as ``_mv_add`` does), then
    ``variables`` (as ``add`` does); every key is checked first.
    ``reprint``: a name that is not set reads as the name itself (true) or as
    None (false).  ``inherit``: attribute assignment stores values as given
    (true) or turns dicts into nested stores and list/set/tuple into lists
    (false).  Nested stores get the same two settings.

    ``add``, ``keys`` and ``get`` always mean the methods: a variable of the
    same name is stored, exported and found by ``_mv_get`` and ``[]`` but
    does not hide them.
    """

    def __init__(
        self,
        data: Optional[Mapping[str, Any]] = None,
        /,
        *,
        reprint: Any = True,
        inherit: Any = False,
        **variables: Any,
    ) -> None:
        """Make a set-up store with the given settings, holding ``data`` and ``variables``."""
    # The mapping protocol, as dunders only: every other attribute name is
    # a variable.  Settings are never items; a store is always true.
    def __getitem__(self, name: str) -> Any:
        """The variable ``name``; KeyError when it is not set."""
    def __setitem__(self, name: str, value: Any) -> None:
        """Set a variable, as attribute assignment does."""
    def __delitem__(self, name: str) -> None:
        """Remove a variable; KeyError when it is not set."""
    def __contains__(self, name: object) -> bool:
        """Whether a variable of that name is set."""
    def __iter__(self) -> Iterator[str]:
        """The names of the variables, in insertion order."""
    def __len__(self) -> int:
        """The number of variables."""
    def __bool__(self) -> bool:
        """Always true, empty or not."""
    # Without a default, a lookup that fails gives None; with one, the
    # default's type joins the (unknown) type of the value found.
    @overload
    def _mv_get(self, key: Any, default: None = None) -> Optional[Any]: ...
    @overload
    def _mv_get(self, key: Any, default: _T) -> Union[Any, _T]: ...
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
    # Pickles and copies: the factory (once per tree) and the entries.
    def __reduce__(self) -> Tuple[Any, ...]:
        """A compact reduction: the store's factory and its entries."""
    def __setstate__(self, state: Tuple[Any, ...], /) -> None:
        """Store the entries of a reduction as they are."""
    def __deepcopy__(self, memo: Dict[int, Any], /) -> TesselVar:
        """A deep copy, nested stores and cycles included."""

class _Factory:
    """The store factory: makes empty, set-up nested stores."""

    @property
    def reprint(self) -> Any: ...
    @property
    def inherit(self) -> Any: ...
    def __init__(self, reprint: Any, inherit: Any) -> None: ...
    def __call__(self) -> TesselVar: ...
    def __reduce__(self) -> Tuple[Type[_Factory], Tuple[Any, Any]]: ...
