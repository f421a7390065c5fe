"""Type stubs for the var_main extension module.

Signatures (names, kinds, defaults, annotations) mirror the runtime exactly;
tests/test_docs.py compares the two.  A parameter whose runtime docstring
shows a type before its name (``str name``, ``dict kwargs``, ``tuple args``)
accepts exactly that type: None and subclass instances raise TypeError.
"""

from typing import Any as Any
from typing import Dict as Dict
from typing import List as List
from typing import Optional as Optional
from typing import Set as Set
from typing import Tuple as Tuple
from typing import Union as Union

__test__: Dict[str, Any]

class TesselVarMain:
    """A store of named variables kept in the instance ``__dict__``.

    Use it through its subclass ``tesselvar.TesselVar``, which sets every
    store up; a bare ``TesselVarMain()`` has no settings yet.
    """

    def _set_class(self, instance: Any, reprint: bool, inherit: bool) -> None:
        """Set the store up: store factory, reprint setting, inherit setting."""
    def _mv_add(self, kwargs: Dict[str, Any]) -> None:
        """Add variables, merging dicts into nested stores and sequences into lists."""
    def _mv_pop(self, name: str) -> None:
        """Remove one variable; a missing name is passed over."""
    def _mv_pops(self, args: Tuple[str, ...]) -> None:
        """Remove the variables named in a tuple."""
    def _mv_clear(self) -> None:
        """Remove every variable and keep the internal settings."""
    def _mv_get(self, key: Any, default: Any = None) -> Optional[Any]:
        """Value of a name, of a "$.a.b" path or of a sequence of steps, else default."""
    def _mv_keys(self) -> List[str]:
        """Names of the variables, in insertion order."""
    def _mv_values(self) -> List[Any]:
        """Values of the variables, in insertion order."""
    def _mv_items(self) -> List[Tuple[str, Any]]:
        """(name, value) pairs of the variables, in insertion order."""
    def _mv_to_dict(self, sort: bool = False) -> Dict[str, Any]:
        """Export to plain dicts and lists; ``sort`` orders the top level by name."""
    def _mv_to_params(self) -> str:
        """``name=repr(value)`` pairs joined by "&"."""
    def _mv_to_string(self) -> str:
        """``"name": "repr(value)"`` pairs joined by ", "."""
    def _to_dict(self, kwargs: Dict[str, Any], sort: bool = False) -> Dict[str, Any]:
        """Export one mapping of names to values (a store's ``__dict__``)."""
    def _list_to_dict(self, array: Union[List[Any], Set[Any], Tuple[Any, ...]]) -> List[Any]:
        """Export the elements of a list, set or tuple into a new list."""
    def _set_dict(self, key: str, value: Dict[str, Any], new: bool = False) -> None:
        """Put a dict under ``key`` as a nested store: merged, or fresh when ``new``."""
    def _set_list(self, value: Union[List[Any], Set[Any], Tuple[Any, ...]], key: Optional[str] = None) -> List[Any]:
        """Convert a list, set or tuple to a list, appending to the list under ``key``."""
    @staticmethod
    def _skip() -> List[str]:
        """The keys of the four internal settings, as a new list."""
    def _mv_set(self, name: str, value: Any, inherit: bool = False) -> None:
        """Set one variable by assignment, or converting containers when ``inherit``."""
    def _mv_set_kwargs(self, kwargs: Dict[str, Any]) -> None:
        """Assign each entry of a dict as an attribute."""
    def _set_attr(self, name: str, value: Any) -> None:
        """Store a value, turning dicts into nested stores and sequences into lists."""
    def __getattr__(self, name: str) -> Union[str, None]:
        """A name that is not set: the name itself (reprint setting true) or None."""
    def __setattr__(self, name: str, value: Any) -> None:
        """Assignment: as given (inherit setting true) or through ``_set_attr``."""
    def __repr__(self) -> str:
        """``TesselVar(name=value, ...)``, names in sorted order."""
