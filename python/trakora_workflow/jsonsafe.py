"""Values as strict JSON and text as UTF-8 can hold it.

`to_json_safe` turns NumPy numbers and arrays, tuples, paths and non-finite floats into what
strict JSON holds; `json_text` is that as indented text. `utf8_text` repairs strings that
came from a command line read under a non-UTF-8 locale (Python keeps the undecodable bytes as
lone surrogates, which no UTF-8 file and no font can hold). Files are always written as
UTF-8, whatever the locale.
"""
from __future__ import annotations

import json
import math
import numbers
import os
from pathlib import Path
from typing import Any

import numpy as np

from .text import utf8_text

__all__ = ["json_text", "to_json_safe", "utf8_text", "write_json"]


def to_json_safe(obj: Any) -> Any:
    """A copy of `obj` that strict JSON can hold: NumPy scalars and arrays as Python numbers
    and lists, tuples as lists, non-finite floats (also inside arrays and nested containers)
    as None, paths as strings, strings as UTF-8 can hold them (`utf8_text`); other numbers as
    floats, anything else as its text."""
    if obj is None or isinstance(obj, bool):
        return obj
    if isinstance(obj, str):
        return utf8_text(obj)
    if isinstance(obj, np.ndarray):
        return to_json_safe(obj.tolist())
    if isinstance(obj, np.generic):
        return to_json_safe(obj.item())
    if isinstance(obj, int):
        return int(obj)
    if isinstance(obj, float):
        return obj if math.isfinite(obj) else None
    if isinstance(obj, dict):
        return {_json_key(k): to_json_safe(v) for k, v in obj.items()}
    if isinstance(obj, (list, tuple, set, frozenset)):
        return [to_json_safe(v) for v in obj]
    if isinstance(obj, os.PathLike):
        return utf8_text(os.fspath(obj)) if isinstance(os.fspath(obj), str) else str(obj)
    if isinstance(obj, numbers.Real):
        return to_json_safe(float(obj))
    return utf8_text(str(obj))


def _json_key(key: Any) -> str | int | float | bool | None:
    key = key.item() if isinstance(key, np.generic) else key
    if isinstance(key, float) and not math.isfinite(key):
        return str(key)
    if isinstance(key, str):
        return utf8_text(key)
    return key if isinstance(key, (int, float, bool)) or key is None else utf8_text(str(key))


def json_text(obj: Any) -> str:
    """Strict JSON (no NaN or Infinity) of `to_json_safe(obj)`, indented, ending in a newline;
    non-ASCII characters as themselves (the files are UTF-8)."""
    return json.dumps(to_json_safe(obj), indent=2, allow_nan=False, ensure_ascii=False) + "\n"


def write_json(obj: Any, path: str | Path) -> None:
    """Write `obj` as strict JSON (see `json_text`) in UTF-8."""
    with open(path, "w", encoding="utf-8", newline="\n") as sink:
        sink.write(json_text(obj))
