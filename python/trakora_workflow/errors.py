"""The workflow's failures, one type per kind of cause.

Each carries what it is about as data (the parameter field, the input, the output path), and a
one-line message in the library's own words: a message names `TrackingParams` fields and
files, never a command-line option. The command maps a field to the option a user typed when
it prints the line; napari and Python callers see the field.
"""
from __future__ import annotations


class TrakoraError(Exception):
    """Base of the workflow's own failures; `str()` is one line."""


class ParameterError(TrakoraError, ValueError):
    """A parameter value that cannot work; `name` is the TrackingParams field (or the name of
    another keyword argument of the function that raised it)."""

    def __init__(self, name: str, message: str):
        super().__init__(f"{name}: {message}")
        self.name = name
        self.message = message


class InputError(TrakoraError, ValueError):
    """A recording or file that cannot be read whole and right; `path` names it when there is
    one (None for arrays passed from Python)."""

    def __init__(self, message: str, path: str | None = None):
        super().__init__(message)
        self.path = path


class OutputError(TrakoraError, RuntimeError):
    """The output directory or one of its files cannot be written; `path` names it."""

    def __init__(self, message: str, path: str | None = None):
        super().__init__(message)
        self.path = path
