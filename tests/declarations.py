"""The declarations of the module's ten functions, read from src/python/functions.hpp (the
one place where they are written), for the tests that check the stubs, the boundary and the
fuzz harness against them."""
import re
from pathlib import Path
from typing import NamedTuple

SOURCE = Path(__file__).resolve().parents[1] / "src" / "python" / "functions.hpp"


class Parameter(NamedTuple):
    name: str
    kind: str
    items: int  # tuple kinds: how many numbers the function reads; 0 otherwise


def _read():
    text = SOURCE.read_text()
    table = text[text.index("functions[] = {"):]
    table = table[:table.index("\n};")]
    parts = re.split(r'\{"(rs_\w+)",', table)[1:]
    declared = {}
    for name, body in zip(parts[::2], parts[1::2]):
        params = re.findall(r'\{"(\w+)", Kind::(\w+)(?:, (\d+))?\}', body)
        declared[name] = [Parameter(p, kind, int(items or 0)) for p, kind, items in params]
    return declared


FUNCTIONS = _read()


def text_signature(name):
    return "(" + ", ".join(p.name for p in FUNCTIONS[name]) + ")"
