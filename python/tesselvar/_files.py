"""Stores from and to JSON, TOML and YAML documents, as json and pickle spell it.

``load`` and ``loads`` read a document and make a store of it with the
constructor, ``TesselVar(document, reprint=..., inherit=...)``, which checks
every key before anything is stored.  ``dump`` and ``dumps`` export a store
with ``_mv_to_dict()`` and write it.  JSON comes from ``json``, TOML from
``tomllib`` (read only: the standard library does not write TOML), YAML from
PyYAML's ``safe_load``/``safe_dump`` when PyYAML is installed (the extra
``tesselvar[yaml]``).
"""

from __future__ import annotations

import importlib
import io
import json
import os
import tomllib
from typing import Any, Callable, Dict, Optional, Protocol, Union, cast

from tesselvar._core import TesselVar
from var_main import TesselVarMain

__all__ = ["dump", "dumps", "load", "loads"]

# The names `format` takes, in the order error messages list them.
FORMATS = ("json", "toml", "yaml")
_SUFFIXES = {".json": "json", ".toml": "toml", ".yaml": "yaml", ".yml": "yaml"}
_NAMES = {"json": "JSON", "toml": "TOML", "yaml": "YAML"}
_YAML_EXTRA = "pip install tesselvar[yaml]"


class _Reader(Protocol):
    def read(self) -> Union[str, bytes]: ...


class _Writer(Protocol):
    # str for text files, bytes for binary ones: dump() looks at which.
    def write(self, data: Any, /) -> object: ...


Source = Union[str, os.PathLike[str], _Reader]
Target = Union[str, os.PathLike[str], _Writer]


def _known() -> str:
    return ", ".join(repr(f) for f in FORMATS)


def _name_of(value: object) -> Optional[str]:
    """A file name as a str, or None when ``value`` is not one."""
    if isinstance(value, str):
        return value
    if isinstance(value, os.PathLike):
        return os.fsdecode(cast(Any, value))
    return None


def _format_of(format: Optional[str], name: Optional[str], what: str) -> str:
    """The format asked for, else the one the file name's suffix tells."""
    if format is not None:
        if format not in FORMATS:
            raise ValueError(f"unknown format {format!r}: the known formats are {_known()}")
        return format
    if name is not None:
        text = name
        suffix = os.path.splitext(text)[1]
        found = _SUFFIXES.get(suffix.lower())
        if found is None:
            raise ValueError(
                f"cannot tell the format of {text!r} from its suffix "
                f"({suffix or 'none'}): the known suffixes are "
                f"{', '.join(_SUFFIXES)}; or pass format= one of {_known()}")
        return found
    raise ValueError(f"{what} has no file name to tell its format from: "
                     f"pass format= one of {_known()}")


def _yaml(doing: str) -> Any:
    """PyYAML, imported on first use; an ImportError that says which extra
    brings it when it is not installed."""
    try:
        return importlib.import_module("yaml")
    except ImportError as exc:
        raise ImportError(f"{doing} YAML needs PyYAML, which is not installed: "
                          f"{_YAML_EXTRA}", name="yaml") from exc


def _parse(data: Union[str, bytes], format: str) -> object:
    if format == "json":
        return json.loads(data)
    if format == "toml":
        return tomllib.loads(data if isinstance(data, str) else data.decode("utf-8"))
    return _yaml("reading").safe_load(data)


def _store(document: object, where: str, file: bool, reprint: Any,
           inherit: Any) -> TesselVar:
    """The store of a parsed document; a refused key's error says which
    file it is in."""
    if not isinstance(document, dict):
        name = type(document).__name__
        kind = ("None" if document is None
                else f"{'an' if name[0] in 'aeiou' else 'a'} {name}")
        raise TypeError(f"the top level of {where} is {kind}, not a mapping: "
                        f"a store is made from a mapping of names to values")
    try:
        return TesselVar(cast(Dict[str, Any], document), reprint=reprint, inherit=inherit)
    except (TypeError, ValueError) as exc:
        if file:
            exc.add_note(f"in {where}")
        raise


def load(source: Source, *, format: Optional[str] = None,
         reprint: Any = True, inherit: Any = False) -> TesselVar:
    """A store of the document in ``source``: a path (str or os.PathLike)
    or a file opened for reading, in text or binary mode.

    The format is ``format`` ("json", "toml" or "yaml") when given, else the
    suffix of the path or of the file's ``name``: .json, .toml, .yaml or
    .yml.  The document's top level must be a mapping; the store is
    ``TesselVar(document, reprint=reprint, inherit=inherit)``.
    """
    data: Union[str, bytes]
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        fmt = _format_of(format, _name_of(path), "the path")
        with open(path, "rb") as f:
            data = f.read()
        where = repr(path)
    elif callable(getattr(source, "read", None)):
        name = _name_of(getattr(source, "name", None))
        fmt = _format_of(format, name, "the file")
        where = f"the {type(source).__name__} given" if name is None else repr(name)
        raw = cast(object, source.read())
        if not isinstance(raw, (str, bytes)):
            raise TypeError(f"{where}: read() gave {type(raw).__name__}, "
                            f"not str or bytes")
        data = raw
    else:
        raise TypeError(f"load() takes a path or a file opened for reading, not "
                        f"{type(source).__name__}; for a document held in a str, "
                        f"use loads()")
    try:
        document = _parse(data, fmt)
    except ImportError:
        raise
    except Exception as exc:
        exc.add_note(f"reading {where} as {_NAMES[fmt]}")
        raise
    return _store(document, where, True, reprint, inherit)


def loads(text: Union[str, bytes, bytearray], *, format: str = "json",
          reprint: Any = True, inherit: Any = False) -> TesselVar:
    """A store of the document held in ``text`` (str, or bytes in UTF-8),
    in ``format``: "json" (the default), "toml" or "yaml"."""
    fmt = _format_of(format, None, "text")
    given = cast(object, text)
    if isinstance(given, bytearray):
        given = bytes(given)
    if not isinstance(given, (str, bytes)):
        raise TypeError(f"loads() takes a str or bytes, not {type(given).__name__}; "
                        f"for a path or an open file, use load()")
    return _store(_parse(given, fmt), f"the {_NAMES[fmt]} text", False, reprint, inherit)


def _export(store: TesselVar, format: str, options: Dict[str, Any]) -> str:
    # A store of the base class holds its settings too: both export.
    given = cast(object, store)
    if not isinstance(given, TesselVarMain):
        raise TypeError(f"expected a TesselVar to write, got {type(store).__name__}")
    if format == "toml":
        raise ValueError("TOML cannot be written: the standard library reads TOML "
                         "(tomllib) but has no writer; write JSON or YAML, or hand "
                         "store._mv_to_dict() to a TOML writer")
    data = TesselVarMain._mv_to_dict(store)
    if format == "json":
        return json.dumps(data, **options)
    dump_yaml: Callable[..., str] = _yaml("writing").safe_dump
    return dump_yaml(data, **options)


def dumps(store: TesselVar, *, format: str = "json", **options: Any) -> str:
    """The store as a JSON (the default) or YAML document; ``options`` go to
    ``json.dumps`` or to PyYAML's ``safe_dump``."""
    return _export(store, _format_of(format, None, "text"), options)


def dump(store: TesselVar, target: Target, *, format: Optional[str] = None,
         **options: Any) -> None:
    """Write the store to ``target``, a path (opened for writing, UTF-8) or a
    file opened for writing (text; binary gets the text in UTF-8), as JSON or
    YAML: ``format``, else the suffix of the path or of the file's ``name``.
    ``options`` go to ``json.dumps`` or to PyYAML's ``safe_dump``."""
    if isinstance(target, (str, os.PathLike)):
        path = os.fspath(target)
        text = _export(store, _format_of(format, _name_of(path), "the path"), options)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return
    if not callable(getattr(target, "write", None)):
        raise TypeError(f"dump() writes to a path or a file opened for writing, "
                        f"not {type(target).__name__}; for a str, use dumps()")
    name = _name_of(getattr(target, "name", None))
    text = _export(store, _format_of(format, name, "the file"), options)
    writer: _Writer = target
    mode = getattr(target, "mode", "")
    binary = isinstance(target, (io.RawIOBase, io.BufferedIOBase)) or (
        isinstance(mode, str) and "b" in mode)
    writer.write(text.encode("utf-8") if binary else text)
