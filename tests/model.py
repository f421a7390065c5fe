"""A pure-Python twin of var_main.TesselVarMain and of the public TesselVar.

``TesselVarMainPy`` is what a user would write instead of the extension: plain
methods with the same names, parameters, defaults and algorithms.  Every call
between methods goes through ``self``, the exclusion rule calls
``self._skip()`` once per entry, dict walks are ordinary ``for`` loops (which
raise "dictionary changed size during iteration" by themselves), typed
parameters are checked for their exact type with the same messages, and the
results that must be a ``list`` or a ``dict`` are checked the same way.

``TesselVarPy`` mirrors the package ``tesselvar`` (python/tesselvar/).  Its class is renamed to
"TesselVar", because nested stores are recognised by the name of their type:
without the rename neither this model nor the extension would treat the
model's stores as nested stores.  Likewise ``TesselVarMainPy`` answers to
"TesselVarMain", and the methods of both carry the qualified names of the
originals, so that the interpreter's messages name the same classes.

The model serves two purposes: it is the pure-Python baseline of
``bench.py``, and the reference of randomized differential tests.  It matches
the extension in results, exception types and messages and in the shape of
``__dict__`` for ordinary use.  Known, deliberate differences:

* arguments that do not fit raise the interpreter's messages ("missing 1
  required positional argument" instead of "takes exactly 2 positional
  arguments (1 given)"); both are TypeError, and ``call()`` gives the
  extension's text for a call made through it;
* traceback entries are those of this file, not "var_main.py";
* container tests use ``isinstance``, which an object that lies about its
  ``__class__`` can fool; the extension looks at the real type;
* unbounded recursion (a store or a dict that contains itself) ends in
  RecursionError on both sides, but at another depth and with other wording,
  so what a failed intake left behind can differ in depth.

``self_check()`` runs a few dozen operations on both and compares them.
"""

from __future__ import annotations

import copy as _copy
import copyreg as _copyreg
import threading as _threading
import types as _types
from typing import Any, Dict, List, Optional, Set, Tuple, Union  # noqa: F401

__all__ = ["TesselVarMainPy", "TesselVarPy", "self_check"]

_SEQUENCES = (list, set, tuple)
_NESTED = "TesselVar"
_HEAP_TYPE = 1 << 9     # type flags of CPython 3.13
_MANAGED_DICT = 1 << 4


def _refused(param: str, expected: type, got: Any) -> TypeError:
    """The TypeError for an argument that is not exactly of type `expected`."""
    exc = TypeError(f"Argument '{param}' has incorrect type (expected "
                    f"{expected.__name__}, got {type(got).__name__})")
    if got is not None and issubclass(type(got), expected):
        exc.add_note(f"var_main accepts exactly {expected.__name__} for "
                     f"'{param}', not a subclass of it; convert the argument "
                     f"first (for example {expected.__name__}(value)).")
    return exc


def _wrong_result(expected: type, got: Any) -> TypeError:
    return TypeError(f"Expected {expected.__name__}, got {type(got).__name__}")


def _type_name(cls: type) -> str:
    """A type's name as the interpreter's messages give it: a class's own
    name, or "module.Name" for a compiled type outside builtins
    ("types.SimpleNamespace")."""
    if cls.__flags__ & _HEAP_TYPE or cls.__module__ == "builtins":
        return cls.__name__
    return f"{cls.__module__}.{cls.__name__}"


def _no_attribute(obj: Any, name: str) -> AttributeError:
    return AttributeError(
        f"'{_type_name(type(obj))[:100]}' object has no attribute '{name}'",
        name=name, obj=obj)


def _not_a_dict(d: Any) -> TypeError:
    """The walks work on a dict only: a class's __dict__ (a read-only
    mappingproxy, when a class is passed as self) is refused."""
    return TypeError(
        f"__dict__ must be a dict, not '{_type_name(type(d))[:200]}'")


def _ordinary(obj: Any) -> bool:
    """An instance whose dict the interpreter manages, not a class (whose
    dict is its type's own and read-only)."""
    cls = type(obj)
    return bool(cls.__flags__ & _MANAGED_DICT) and not issubclass(cls, type)


def _is_object_slot(cls: type, name: str) -> bool:
    """Is `name` one of the interpreter's own slots of the object, a getset
    descriptor of the type such as __dict__, __class__ or __weakref__?"""
    for klass in cls.__mro__:
        found = klass.__dict__
        if name in found:
            return type(found[name]) is _types.GetSetDescriptorType
    return False


def _remove(store: Any, name: Any) -> None:
    """Presence test and deletion of one name, for _mv_pop and _mv_pops.

    A module-level function, so that no variable of the store can hide it.
    """
    if not issubclass(type(store), TesselVarMainPy):
        # Not a store at all (called through the class): the statement as
        # it stands.
        if hasattr(store, name):
            delattr(store, name)
        return
    # Presence: ordinary lookup without the missing-name hook.
    try:
        object.__getattribute__(store, name)
    except AttributeError:
        return
    if (_ordinary(store) and issubclass(type(store), TesselVarMainPy)
            and _is_object_slot(type(store), name)):
        # __dict__, __class__, __weakref__ of an ordinary instance: only a
        # variable stored beside the slot can be meant, never the slot
        # itself.  Anything else (properties with their deleters included,
        # and whatever a class or another object passed as self holds) is
        # deleted the ordinary way, so the interpreter refuses what it
        # refuses; so is anything that is not a store.
        d = object.__getattribute__(store, "__dict__")
        if name in d:
            del d[name]
        return
    delattr(store, name)


# The store whose reprint setting this thread is reading, so that a store
# that was never set up answers a missing name with AttributeError instead
# of recursing through __getattr__ forever.
_reading = _threading.local()


class TesselVarMainPy:
    """A store of named variables kept in the instance __dict__."""

    def _set_class(self, instance: Any, reprint: bool, inherit: bool) -> None:
        """Sets the store up: factory, reprint, inherit and the flag."""
        self.__dict__["_i_c_u"] = instance
        self.__dict__["_g_n_r"] = reprint
        self.__dict__["_g_n_i"] = inherit
        self.__dict__["_g_n_s"] = False

    def _mv_add(self, kwargs: Dict[str, Any]) -> None:
        """Adds variables, merging dicts and appending sequences."""
        if type(kwargs) is not dict:
            raise _refused("kwargs", dict, kwargs)
        if not kwargs:
            return
        for key, value in kwargs.items():
            if isinstance(value, dict):
                self._set_dict(key, value)
            elif isinstance(value, _SEQUENCES):
                result = self._set_list(value, key)
                self.__dict__[key] = result
            else:
                self._mv_set(key, value)

    def _mv_pop(self, name: str) -> None:
        """Removes the variable `name` if the store has it."""
        if type(name) is not str:
            raise _refused("name", str, name)
        _remove(self, name)

    def _mv_pops(self, args: Tuple[str, ...]) -> None:
        """Removes each variable named in the tuple."""
        if type(args) is not tuple:
            raise _refused("args", tuple, args)
        for name in args:
            _remove(self, name)

    def _mv_clear(self) -> None:
        """Removes every variable and keeps the internal settings."""
        names = []
        d = self.__dict__
        if type(d) is not dict and not isinstance(d, dict):
            raise _not_a_dict(d)
        for key, _ in d.items():
            if key not in self._skip():
                names.append(key)
        for name in names:
            self._mv_pop(name)

    def _mv_get(self, key: Any, default: Any = None) -> Optional[Any]:
        """A variable by name, or a value by "$.a.b" path or step sequence."""
        try:
            if isinstance(key, str) and key.startswith("$."):
                key = key.split(".")[1:]
            if isinstance(key, str):
                if key in self._mv_keys():
                    return self.__dict__.get(key)
                return default
            current = self
            for step in key:
                if step not in current.keys():
                    return default
                current = current.get(step)
            return current
        except Exception:
            return default

    def _mv_keys(self) -> List[str]:
        """The names of the variables."""
        result = []
        d = self.__dict__
        if type(d) is not dict and not isinstance(d, dict):
            raise _not_a_dict(d)
        for key in d.keys():
            if key not in self._skip():
                result.append(key)
        return result

    def _mv_values(self) -> List[Any]:
        """The values of the variables."""
        result = []
        d = self.__dict__
        if type(d) is not dict and not isinstance(d, dict):
            raise _not_a_dict(d)
        for key, value in d.items():
            if key not in self._skip():
                result.append(value)
        return result

    def _mv_items(self) -> List[Tuple[str, Any]]:
        """(name, value) of each variable."""
        result = []
        d = self.__dict__
        if type(d) is not dict and not isinstance(d, dict):
            raise _not_a_dict(d)
        for key, value in d.items():
            if key not in self._skip():
                result.append((key, value))
        return result

    def _mv_to_dict(self, sort: bool = False) -> Dict[str, Any]:
        """The variables as plain dicts and lists."""
        result = self._to_dict(self.__dict__, sort)
        if result is not None and type(result) is not dict:
            raise _wrong_result(dict, result)
        return result

    def _mv_to_params(self) -> str:
        """name=value pairs joined by "&"."""
        strings = []
        d = self.__dict__
        if type(d) is not dict and not isinstance(d, dict):
            raise _not_a_dict(d)
        for name, value in d.items():
            if name in self._skip():
                continue
            strings.append(f"{name!s}={value!r}")
        return "&".join(strings)

    def _mv_to_string(self) -> str:
        """"name": "value" pairs joined by ", "."""
        strings = []
        d = self.__dict__
        if type(d) is not dict and not isinstance(d, dict):
            raise _not_a_dict(d)
        for name, value in d.items():
            if name in self._skip():
                continue
            strings.append(f'"{name!s}": "{value!r}"')
        return ", ".join(strings)

    def _to_dict(self, kwargs: Dict[str, Any],
                 sort: bool = False) -> Dict[str, Any]:
        """One mapping converted: nested stores and sequences at every level."""
        if type(kwargs) is not dict:
            raise _refused("kwargs", dict, kwargs)
        new_kwargs = {}
        for name, value in kwargs.items():
            if type(value).__name__ == _NESTED:
                # One argument, no `sort`, called as in _set_list so that
                # the recursion limit holds for cyclic stores.
                test = self._to_dict(*(value.__dict__,))
                new_kwargs[name] = test
            elif isinstance(value, _SEQUENCES):
                test = self._list_to_dict(value)
                new_kwargs[name] = test
            elif name in self._skip():
                continue
            else:
                new_kwargs[name] = value
        if sort:
            new_kwargs = dict(sorted(new_kwargs.items()))
        return new_kwargs

    def _list_to_dict(self, array: Union[List[Any], Set[Any],
                                         Tuple[Any, ...]]) -> List[Any]:
        """One sequence converted into a list."""
        new_array = []
        for element in array:
            if type(element).__name__ == _NESTED:
                new_array.append(self._to_dict(*(element.__dict__,)))
            elif isinstance(element, _SEQUENCES):
                new_array.append(self._list_to_dict(element))
            else:
                new_array.append(element)
        return new_array

    def _set_dict(self, key: str, value: Dict[str, Any],
                  new: bool = False) -> None:
        """A dict under `key`: a fresh nested store, or merged into one."""
        if type(key) is not str:
            raise _refused("key", str, key)
        if type(value) is not dict:
            raise _refused("value", dict, value)
        current = self.__dict__.get(key)
        if current and not new:
            was_dict = isinstance(current, dict)
            if not was_dict and type(current).__name__ != _NESTED:
                self.__dict__[key] = self._i_c_u()
            target = self.__dict__[key]
            if was_dict and isinstance(target, dict):
                # A plain dict stored as given has no `add`: merge into it.
                # Anything else gets `add`, even a dict the factory made.
                target.update(value)
            else:
                target.add(**value)
            return
        nested = self._i_c_u()
        self._mv_set(key, nested)
        nested.add(**value)

    def _set_list(self, value: Union[List[Any], Set[Any], Tuple[Any, ...]],
                  key: Optional[str] = None) -> List[Any]:
        """A sequence converted into a list, appended to the one under `key`."""
        if key is not None and type(key) is not str:
            raise _refused("key", str, key)
        target = None
        if key:
            if isinstance(self.__dict__.get(key), list):
                target = self.__dict__[key]
        if target is None:
            target = []
        # Extending a list with itself walks a snapshot, so the call ends.
        source = list(value) if value is target else value
        for element in source:
            if isinstance(element, dict):
                nested = self._i_c_u()
                nested.add(**element)
                target.append(nested)
            elif isinstance(element, _SEQUENCES):
                # One argument, as the extension passes, but unpacked:
                # CPython 3.13.0 does not check the recursion limit on a
                # plain call that fills parameter defaults, so a list that
                # contains itself would recurse until the process dies.
                # Passing the default instead would differ when self's
                # _set_list is not this method (a class passed as self).
                target.append(self._set_list(*(element,)))
            else:
                target.append(element)
        if type(target) is not list:
            raise _wrong_result(list, target)
        return target

    @staticmethod
    def _skip() -> List[str]:
        """The names of the internal settings."""
        return ["_i_c_u", "_g_n_r", "_g_n_i", "_g_n_s"]

    def _mv_set(self, name: str, value: Any, inherit: bool = False) -> None:
        """One variable, through setattr or (inherit) the converting path."""
        if type(name) is not str:
            raise _refused("name", str, name)
        if inherit:
            self._set_attr(name, value)
        else:
            setattr(self, name, value)

    def _mv_set_kwargs(self, kwargs: Dict[str, Any]) -> None:
        """setattr for each entry."""
        if type(kwargs) is not dict:
            raise _refused("kwargs", dict, kwargs)
        if not kwargs:
            return
        for key, value in kwargs.items():
            setattr(self, key, value)

    def _set_attr(self, name: str, value: Any) -> None:
        """Stores a value, dicts as nested stores, sequences as lists."""
        if type(name) is not str:
            raise _refused("name", str, name)
        if isinstance(value, dict):
            self._set_dict(name, value, new=True)
        elif isinstance(value, _SEQUENCES):
            converted = self._set_list(value)
            self.__dict__[name] = converted
        else:
            self.__dict__[name] = value

    def __getattr__(self, name: str) -> Union[str, None]:
        """A missing name reads as itself or None, by the reprint setting."""
        if type(name) is not str:
            raise _refused("name", str, name)
        if not issubclass(type(self), TesselVarMainPy):
            # Not a store at all (called through the class): the statement
            # as it stands, its failure included.
            return name if self._g_n_r else None
        if name == "_g_n_r":
            # Only reached when the setting itself is missing (or by a direct
            # call): read it once more under the guard, which stops the
            # recursion on a store that was never set up.
            if getattr(_reading, "store", None) is self:
                raise _no_attribute(self, name)
            saved = getattr(_reading, "store", None)
            _reading.store = self
            try:
                reprint = self._g_n_r
            except AttributeError:
                raise _no_attribute(self, name) from None
            finally:
                _reading.store = saved
        else:
            try:
                reprint = self._g_n_r
            except AttributeError:
                raise _no_attribute(self, name) from None
        return name if reprint else None

    def __setattr__(self, name: str, value: Any) -> None:
        """Stored as given (inherit on) or converted by _set_attr."""
        if type(name) is not str:
            raise _refused("name", str, name)
        if self._g_n_i:
            self.__dict__[name] = value
        else:
            self._set_attr(name, value)

    def __repr__(self) -> str:
        """TesselVar(name=value, ...) in name order."""
        d = self.__dict__
        if type(d) is not dict and not isinstance(d, dict):
            raise _not_a_dict(d)
        print_dict = dict(sorted(d.items()))
        arg_strings = []
        for name, value in print_dict.items():
            if name in self._skip():
                continue
            arg_strings.append(f"{name!s}={value!r}")
        return "TesselVar(" + ", ".join(arg_strings) + ")"


# Classes of this file that stand for the package tesselvar's take its names,
# and so do their own methods, whose qualified names appear in the
# interpreter's messages ("TesselVar.add() got multiple values for argument
# 'self'").  Functions borrowed from another class keep theirs.
def _rename(cls: type, name: str) -> None:
    own = cls.__qualname__ + "."
    cls.__name__ = cls.__qualname__ = name
    for attr in vars(cls).values():
        if (hasattr(attr, "__code__")
                and attr.__qualname__.startswith(own)):
            attr.__qualname__ = name + "." + attr.__name__


class _FactoryPy:
    """The store factory of the package tesselvar: one per store tree."""

    __slots__ = ("reprint", "inherit")

    def __init__(self, reprint: Any, inherit: Any) -> None:
        self.reprint = reprint
        self.inherit = inherit

    def __call__(self) -> "TesselVarPy":
        store = TesselVarPy.__new__(TesselVarPy)
        store._set_class(self, self.reprint, self.inherit)
        return store

    def __reduce__(self) -> Any:
        return (_FactoryPy, (self.reprint, self.inherit))

    def __repr__(self) -> str:
        return (f"<TesselVar factory reprint={self.reprint!r} "
                f"inherit={self.inherit!r}>")


_rename(_FactoryPy, "_Factory")
_Factory = _FactoryPy  # so that pickle finds it by that name


def _own_dict(store: Any) -> Dict[Any, Any]:
    """The instance's own dict, whatever ``__dict__`` means in its class."""
    return _INSTANCE_DICT.__get__(store)


def _has_variable(store: Any, name: Any) -> bool:
    """``name in store.keys()``: in ``__dict__`` and not excluded."""
    return name in store.__dict__ and name not in store._skip()


class _OwnMethodPy:
    """A method of TesselVar that no variable can hide: a data descriptor,
    preferred over the instance dict.  Assigning or deleting through it
    writes or removes the instance-dict entry, as without it."""

    def __init__(self, fn: Any) -> None:
        self.fn = fn
        self.name = fn.__name__

    def __get__(self, obj: Any, cls: Any = None) -> Any:
        return self.fn if obj is None else self.fn.__get__(obj, cls)

    def __set__(self, obj: Any, value: Any) -> None:
        _own_dict(obj)[self.name] = value

    def __delete__(self, obj: Any) -> None:
        d = _own_dict(obj)
        if self.name not in d:
            raise _no_attribute(obj, self.name)
        del d[self.name]


class _KeysIterPy:
    """Walks ``__dict__`` like a dict iterator, leaving excluded keys out."""

    def __init__(self, store: Any) -> None:
        self._store = store
        self._it = iter(store.__dict__)

    def __iter__(self) -> "_KeysIterPy":
        return self

    def __next__(self) -> Any:
        for key in self._it:
            if key not in self._store._skip():
                return key
        raise StopIteration


def _set_like(other: Any) -> bool:
    return isinstance(other, (set, frozenset, _KeysPy, type({}.keys()),
                              type({}.items())))


def _set_operation(x: Any, y: Any, update: str, symmetric: bool) -> Any:
    if symmetric and not isinstance(x, _KeysPy):
        x, y = y, x
    result = set(x)
    getattr(result, update)(y)
    return result


def _compare(op: Any) -> Any:
    def compare(self: "_KeysPy", other: Any) -> Any:
        if not _set_like(other):
            return NotImplemented
        return op(set(self), other if isinstance(other, (set, frozenset))
                  else set(other))
    return compare


class _KeysPy:
    """TesselVar.keys(): a live, set-like view of the variable names."""

    __slots__ = ("_store",)
    __hash__ = None  # type: ignore[assignment]

    def __init__(self, store: Any) -> None:
        self._store = store

    def __contains__(self, key: Any) -> bool:
        return _has_variable(self._store, key)

    def __iter__(self) -> _KeysIterPy:
        return _KeysIterPy(self._store)

    def __len__(self) -> int:
        return sum(1 for _ in self)

    def __repr__(self) -> str:
        return f"TesselVarKeys({list(self)!r})"

    __eq__ = _compare(lambda a, b: a == b)
    __ne__ = _compare(lambda a, b: a != b)
    __lt__ = _compare(lambda a, b: a < b)
    __le__ = _compare(lambda a, b: a <= b)
    __gt__ = _compare(lambda a, b: a > b)
    __ge__ = _compare(lambda a, b: a >= b)

    def __and__(self, other: Any) -> Any:
        return _set_operation(self, other, "intersection_update", True)

    def __rand__(self, other: Any) -> Any:
        return _set_operation(other, self, "intersection_update", True)

    def __or__(self, other: Any) -> Any:
        return _set_operation(self, other, "update", True)

    def __ror__(self, other: Any) -> Any:
        return _set_operation(other, self, "update", True)

    def __xor__(self, other: Any) -> Any:
        return _set_operation(self, other, "symmetric_difference_update",
                              True)

    def __rxor__(self, other: Any) -> Any:
        return _set_operation(other, self, "symmetric_difference_update",
                              True)

    def __sub__(self, other: Any) -> Any:
        return _set_operation(self, other, "difference_update", False)

    def __rsub__(self, other: Any) -> Any:
        return _set_operation(other, self, "difference_update", False)

    def isdisjoint(self, other: Any) -> bool:
        return not any(item in self for item in other)


class TesselVarPy(TesselVarMainPy):
    """The public store class, as python/tesselvar/ defines it."""

    def __init__(self, data: Any = None, /, *, reprint: Any = True,
                 inherit: Any = False, **variables: Any) -> None:
        if data is not None and not isinstance(data, dict) and not hasattr(data, "keys"):
            raise TypeError(
                "TesselVar() takes a mapping of variables as its positional argument, "
                f"not {type(data).__name__}; the settings are keyword-only: "
                "TesselVar(reprint=..., inherit=...)")
        given = None if data is None else dict(data)
        for part in (given, variables):
            if part is not None:
                _check_document(part)
        self._set_class(_FactoryPy(reprint, inherit), reprint, inherit)
        for part in (given, variables):
            if part:
                self._mv_add(part)

    def add(self, /, **kwargs: Any) -> None:
        """Store each keyword as a variable, merging into what is there."""
        self._mv_add(kwargs)

    def keys(self) -> _KeysPy:
        """A set-like view of the names of the variables."""
        return _KeysPy(self)

    def get(self, name: Any, default: Optional[Any] = None) -> Any:
        """The value of the variable ``name``, or ``default``."""
        if _has_variable(self, name):
            return self.__dict__[name]
        return default

    # The mapping protocol: the variables, by name.
    def __getitem__(self, name: Any) -> Any:
        if _has_variable(self, name):
            return self.__dict__[name]
        raise KeyError(name)

    def __setitem__(self, name: Any, value: Any) -> None:
        setattr(self, name, value)

    def __delitem__(self, name: Any) -> None:
        if not _has_variable(self, name):
            raise KeyError(name)
        del self.__dict__[name]

    def __contains__(self, name: Any) -> bool:
        return _has_variable(self, name)

    def __iter__(self) -> Any:
        return iter(self.keys())

    def __len__(self) -> int:
        return len(self.keys())

    def __bool__(self) -> bool:
        return True

    # Pickles and copies: a store set up by its factory as the factory sets
    # stores up is made again by calling it, then given its other entries.
    def __reduce__(self) -> Any:
        d = self.__dict__
        items = list(d.items())
        head = items[:4]
        if (type(self) is TesselVarPy and len(head) == 4
                and [k for k, _ in head] == ["_i_c_u", "_g_n_r", "_g_n_i", "_g_n_s"]
                and type(head[0][1]) is _FactoryPy and head[3][1] is False
                and head[0][1].reprint is head[1][1]
                and head[0][1].inherit is head[2][1]):
            return (head[0][1], (), tuple(x for item in items[4:] for x in item))
        return (_copyreg.__newobj__, (type(self),), dict(d))

    def __setstate__(self, state: Any) -> None:
        d = self.__dict__
        if isinstance(state, tuple) and len(state) % 2 == 0:
            for i in range(0, len(state), 2):
                d[state[i]] = state[i + 1]
        elif isinstance(state, dict):
            d.update(state)
        else:
            raise TypeError(f"a TesselVar's state is a tuple or a dict, not {type(state).__name__}")

    def __deepcopy__(self, memo: Any) -> Any:
        make, args, state = self.__reduce__()
        clone = make(*args)
        memo[id(self)] = clone
        clone.__setstate__(_copy.deepcopy(state, memo))
        return clone


_copyreg.pickle(TesselVarPy, TesselVarPy.__reduce__)


def _check_document(data: Any, where: str = "$") -> None:
    """The keys of a document's mappings, at any depth: str, and no
    setting's name."""
    if type(data) is dict:
        for key, value in data.items():
            if type(key) is not str:
                raise TypeError(f"the key {key!r} at {where} is not a str "
                                f"({type(key).__name__}): a store's variables "
                                f"are named by str keys")
            if key in ("_i_c_u", "_g_n_r", "_g_n_i", "_g_n_s"):
                raise ValueError(f"the key {key!r} at {where} is the name of a "
                                 f"store's setting: loaded, it would replace the "
                                 f"setting")
            _check_document(value, f"{where}.{key}")
    elif type(data) in (list, tuple):
        for i, value in enumerate(data):
            _check_document(value, f"{where}[{i}]")


# Nested stores are recognised by this name (see the module docstring).
_rename(TesselVarPy, _NESTED)
# add, keys and get win over variables of the same name.
for _name in ("add", "keys", "get"):
    setattr(TesselVarPy, _name, _OwnMethodPy(vars(TesselVarPy)[_name]))
del _name
# The base class answers to the extension's class name in the interpreter's
# messages ("attribute '__weakref__' of 'TesselVarMain' objects is not
# writable") and in its methods' qualified names.
_rename(TesselVarMainPy, "TesselVarMain")
_INSTANCE_DICT = vars(TesselVarMainPy)["__dict__"]


# --- Comparison with the extension --------------------------------------

_PLAIN = (int, float, str, bytes, bool, type(None))


def shape(value: Any, _depth: int = 0,
          _seen: Optional[Dict[int, int]] = None) -> Any:
    """A comparable picture of a value: stores become ("store", name,
    entries), lists ("list", items), dicts ("dict", entries), tuples
    ("tuple", items), instances of their subclasses and of set subclasses
    (type name, items or entries), classes ("type", name) and other
    callables ("callable", name); the store factory shows as the name of its
    type.  A container or store met again, through a cycle or a second
    reference, shows as ("same", n), n counting the containers and stores
    in the order first met, so sharing is compared too and cycles end."""
    kind = type(value)
    if kind in _PLAIN:
        return value
    if _seen is None:
        _seen = {}
    if _depth > 50:
        return "..."
    if isinstance(value, _store_classes()):
        if id(value) in _seen:
            return ("same", _seen[id(value)])
        _seen[id(value)] = len(_seen)
        entries = []
        for k, v in value.__dict__.items():
            if type(k) is str and k == "_i_c_u":
                entries.append((k, type(v).__name__))
            else:
                entries.append((k, shape(v, _depth + 1, _seen)))
        return ("store", kind.__name__, entries)
    if isinstance(value, (list, tuple, dict, set, frozenset)):
        if id(value) in _seen:
            return ("same", _seen[id(value)])
        _seen[id(value)] = len(_seen)
        if kind in (set, frozenset):
            return value
        name = {list: "list", dict: "dict", tuple: "tuple"}.get(
            kind, kind.__name__)
        if isinstance(value, dict):
            return (name, [(k, shape(v, _depth + 1, _seen))
                           for k, v in value.items()])
        return (name, [shape(v, _depth + 1, _seen) for v in value])
    if isinstance(value, type):
        return ("type", value.__name__)
    if callable(value):
        # Methods, the store factory: the same on both sides by name only.
        return ("callable", getattr(value, "__name__", kind.__name__))
    return value


_stores: Tuple[type, ...] = ()


def _store_classes() -> Tuple[type, ...]:
    global _stores
    if not _stores:
        try:
            import var_main
            _stores = (TesselVarMainPy, var_main.TesselVarMain)
        except ImportError:
            _stores = (TesselVarMainPy,)
    return _stores


def _own_functions() -> Dict[Any, str]:
    own = {}
    for name, attr in vars(TesselVarMainPy).items():
        attr = getattr(attr, "__func__", attr)  # _skip's staticmethod
        if isinstance(attr, _types.FunctionType):
            own[attr] = name
    return own


_OWN = _own_functions()


def argument_error(fn: Any, args: Tuple[Any, ...],
                   kwargs: Dict[str, Any]) -> Optional[str]:
    """The extension's message for a call fn(*args, **kwargs) of one of
    TesselVarMainPy's methods (bound or not) whose arguments do not fit, or
    None when they fit or fn is no such method.

    The model's methods raise the interpreter's own wording for these calls;
    the extension matches arguments like compiled methods do: too many
    positional arguments first, then each open parameter from the keywords
    (a required one missing: "takes exactly/at least N positional
    argument(s) (M given)", M counting the parameters before it), then the
    first keyword left over ("multiple values" or "unexpected").  Counts
    include self.
    """
    func = getattr(fn, "__func__", fn)
    name = _OWN.get(func) if isinstance(func, _types.FunctionType) else None
    if name is None:
        return None
    code = func.__code__
    params = code.co_varnames[:code.co_argcount]
    nmin = len(params) - len(func.__defaults__ or ())
    nargs = len(args) + (fn is not func)
    if not params:
        if kwargs:
            return f"{name}() takes no keyword arguments"
        if nargs:
            return f"{name}() takes no arguments ({nargs} given)"
        return None

    def count(given: int) -> str:
        n = nmin if given < nmin else len(params)
        words = ("exactly" if nmin == len(params) else
                 "at least" if given < nmin else "at most")
        return (f"{name}() takes {words} {n} positional "
                f"argument{'' if n == 1 else 's'} ({given} given)")

    if nargs > len(params):
        return count(nargs)
    for i in range(nargs, nmin):
        if params[i] not in kwargs:
            return count(i)
    for key in kwargs:
        if key in params[nargs:]:
            continue
        if key in params[:nargs]:
            return f"{name}() got multiple values for keyword argument '{key}'"
        return f"{name}() got an unexpected keyword argument '{key}'"
    return None


def call(fn: Any, *args: Any, **kwargs: Any) -> Any:
    """fn(*args, **kwargs), but a call of one of the model's methods whose
    arguments do not fit raises the extension's TypeError text (see
    argument_error) instead of the interpreter's."""
    message = argument_error(fn, args, kwargs)
    if message is not None:
        raise TypeError(message)
    return fn(*args, **kwargs)


def outcome(fn: Any) -> Any:
    """("ok", shape of result) or ("raise", type name, message)."""
    try:
        return ("ok", shape(fn()))
    except Exception as exc:  # noqa: BLE001 - any outcome is compared
        return ("raise", type(exc).__name__, str(exc))


def self_check(verbose: bool = False) -> List[str]:
    """Runs the same operations on the extension's TesselVar and on
    TesselVarPy and returns the differences (empty when they agree)."""
    from tesselvar import TesselVar

    class Sub(dict):
        pass

    class OtherModule(TesselVar):
        pass

    class OtherModel(TesselVarPy):
        pass

    other = {TesselVar: OtherModule, TesselVarPy: OtherModel}
    OtherModule.__name__ = OtherModel.__name__ = "Other"

    config = {"db": {"host": "h", "port": 1, "opts": {"a": 1}},
              "ids": (1, [2, (3,)], {"k": {4}}), "n": None, "s": "x"}
    ops = [
        ("set dict", lambda s: setattr(s, "cfg", config)),
        ("read nested", lambda s: s.cfg.db.port),
        ("missing", lambda s: s.nope),
        ("getattr default", lambda s: getattr(s, "nope", 5)),
        ("mv_add merge", lambda s: s._mv_add(
            {"cfg": {"db": {"port": 2, "opts": {"b": 2}}, "ids": [9]},
             "t": (1, 2), "u": 3})),
        ("mv_add again", lambda s: s._mv_add({"t": {5}, "cfg": {"n": 1}})),
        ("to_dict", lambda s: s._mv_to_dict()),
        ("to_dict sorted", lambda s: s._mv_to_dict(sort=True)),
        ("keys", lambda s: s._mv_keys()),
        ("values", lambda s: s._mv_values()),
        ("items", lambda s: s._mv_items()),
        ("get name", lambda s: s._mv_get("u")),
        ("get missing", lambda s: s._mv_get("zz", 7)),
        ("get setting", lambda s: s._mv_get("_g_n_r", "d")),
        ("get path", lambda s: s._mv_get("$.cfg.db.opts.b")),
        ("get path list", lambda s: s._mv_get(["cfg", "db", "host"])),
        ("get bad path", lambda s: s._mv_get("$.cfg.nope.x", 0)),
        ("get int key", lambda s: s._mv_get(42, "d")),
        ("get empty", lambda s: s._mv_get([], 0) is s),
        ("params", lambda s: s._mv_to_params()),
        ("string", lambda s: s._mv_to_string()),
        ("repr", lambda s: repr(s)),
        ("set_list", lambda s: s._set_list([1, (2, 3), {4}, {"k": 5}])),
        ("set_list key", lambda s: s._set_list([7], "t")),
        ("set_list self", lambda s: s._set_list(s.t, "t")),
        ("set_list bad key", lambda s: s._set_list([1], 5)),
        ("set_dict bad", lambda s: s._set_dict(None, {})),
        ("set_dict bad value", lambda s: s._set_dict("a", Sub())),
        ("set_dict replace", lambda s: (s._mv_set("r", 5),
                                        s._set_dict("r", {"x": 1}))),
        ("assign subclass", lambda s: setattr(s, "od", Sub(a=1))),
        ("mv_set bad", lambda s: s._mv_set(5, 1)),
        ("mv_add none", lambda s: s._mv_add(None)),
        ("mv_add int key", lambda s: s._mv_add({1: 2})),
        ("mv_add int key dict", lambda s: s._mv_add({1: {}})),
        ("mv_add None key list", lambda s: s._mv_add({None: [1]})),
        ("to_dict after None key", lambda s: s._mv_to_dict()),
        ("pop", lambda s: s._mv_pop(None)),
        ("pops list", lambda s: s._mv_pops(["a"])),
        ("pops", lambda s: s._mv_pops(("u", "zz", "u"))),
        ("pops bad", lambda s: s._mv_pops(("s", 1, "n"))),
        ("dunder dict var", lambda s: setattr(s, "__dict__", {"q": 1})),
        ("pop dunder dict", lambda s: s._mv_pop("__dict__")),
        ("pop dunder dict again", lambda s: s._mv_pop("__dict__")),
        ("pop method", lambda s: s._mv_pop("_mv_keys")),
        ("set_kwargs inherit", lambda s: s._mv_set_kwargs(
            {"_g_n_i": True, "d": {"a": 1}})),
        ("merge plain dict", lambda s: s._mv_add({"d": {"b": 2}})),
        ("set_kwargs bad key", lambda s: s._mv_set_kwargs({1: 1})),
        ("add bad keyword", lambda s: s._set_dict("e", {1: 2})),
        ("foreign nested", lambda s: s._mv_set("o", other[type(s)](), True)),
        ("to_dict foreign", lambda s: s._mv_to_dict()),
        ("to_dict None", lambda s: s._to_dict(None)),
        ("list_to_dict str", lambda s: s._list_to_dict("ab")),
        ("getattr bad name", lambda s: s.__getattr__(1)),
        ("skip", lambda s: s._skip()),
        ("clear with None key", lambda s: s._mv_clear()),
        ("drop None key", lambda s: s.__dict__.pop(None)),
        ("mv_set inherit", lambda s: s._mv_set("h", {"a": [1]}, inherit=True)),
        ("mv_set plain", lambda s: s._mv_set("i", (1, {"b": 2}))),
        ("replace setting", lambda s: s._mv_add({"_g_n_r": 0})),
        ("missing after", lambda s: s.nope),
        ("clear", lambda s: s._mv_clear()),
        ("after clear", lambda s: list(s.__dict__)),
        ("repr empty", lambda s: repr(s)),
    ]
    differences = []
    for reprint, inherit in ((True, False), (None, False)):
        a = TesselVar(reprint=reprint, inherit=inherit)
        b = TesselVarPy(reprint=reprint, inherit=inherit)
        for label, op in ops:
            got_a = outcome(lambda: op(a))
            got_b = outcome(lambda: op(b))
            shape_a, shape_b = shape(a), shape(b)
            if got_a != got_b or shape_a != shape_b:
                differences.append(
                    f"{label} ({reprint}, {inherit}):\n  module {got_a}\n"
                    f"  model  {got_b}\n  module dict {shape_a}\n"
                    f"  model  dict {shape_b}")
            elif verbose:
                print(f"ok  {label}: {got_a}")
    # Stores that were never set up.
    import var_main
    for label, op in (("bare missing", lambda s: s.nope),
                      ("bare assign", lambda s: setattr(s, "x", 1)),
                      ("bare setting", lambda s: s._g_n_r)):
        got_a = outcome(lambda: op(var_main.TesselVarMain()))
        got_b = outcome(lambda: op(TesselVarMainPy()))
        if got_b[0] == "raise":
            got_b = got_b[:2] + (got_b[2].replace("TesselVarMainPy",
                                                  "TesselVarMain"),)
        if got_a != got_b:
            differences.append(f"{label}:\n  module {got_a}\n  model  {got_b}")
    return differences


if __name__ == "__main__":
    import sys
    found = self_check(verbose="-v" in sys.argv)
    for d in found:
        print(d)
    print("model and module agree" if not found
          else f"{len(found)} difference(s)")
    sys.exit(1 if found else 0)
