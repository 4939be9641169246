"""The parameter declarations: the checks of TrackingParams, the options and the table
generated from them, and the package's import graph."""
import argparse
import ast
import re
from dataclasses import fields
from pathlib import Path

import numpy as np
import pytest

import trakora_workflow
from trakora_workflow import InputError, ParameterError, TrackingParams, track
from trakora_workflow.cli import DEMO_FIXED, DEMO_IMAGES_ONLY, OPTION_OF, build_parser, params_from_args
from trakora_workflow.params import DECLARED, markdown_table, rename_fields, with_table

ROOT = Path(__file__).resolve().parents[1]
PACKAGE = Path(trakora_workflow.__file__).parent


@pytest.mark.parametrize("change, field, fragment", [
    ({"invert": "no"}, "invert", "True or False"),
    ({"drift": 1}, "drift", "True or False"),
    ({"preprocess": None}, "preprocess", "got None"),
    ({"min_distance": "2"}, "min_distance", "'2' (str)"),
    ({"diameter": 7.0}, "diameter", "integer"),
    ({"diameter": True}, "diameter", "integer"),
    ({"diameter": 8}, "diameter", "odd"),
    ({"diameter": np.int64(1003)}, "diameter", "from 3 to 1001"),
    ({"window_size": 4}, "window_size", "odd"),
    ({"pixel_size": 0.0}, "pixel_size", "1e-30"),
    ({"pixel_size": float("nan")}, "pixel_size", "nan"),
    ({"frame_interval": -1.0}, "frame_interval", "-1.0"),
    ({"threshold": float("inf")}, "threshold", "finite"),
    ({"threshold_snr": 1e308}, "threshold_snr", "<= 1e6"),
    ({"threshold_snr": 0}, "threshold_snr", "> 0"),
    ({"localization_method": "centroid"}, "localization_method", "'centroid'"),
    ({"localization_method": "none"}, "localization_method", "'none'"),
    ({"correlation_sigmas": (1.0, 2.0)}, "correlation_sigmas", "3 numbers"),
    ({"correlation_sigmas": (1.0, 2.0, -1.0)}, "correlation_sigmas", "> 0"),
    ({"correlation_sigmas": "abc"}, "correlation_sigmas", "3 numbers"),
    ({"max_distance": 1e12}, "max_distance", "1e11"),
    ({"max_skip": -1}, "max_skip", "from 0"),
    ({"max_intensity_ratio": 0.5}, "max_intensity_ratio", "from 1"),
    ({"min_length": 0}, "min_length", "from 1"),
    ({"max_lag": 2**31}, "max_lag", "2147483647"),
    ({"render_pixel_size": 1e-300}, "render_pixel_size", "1e-30"),
    ({"max_image_pixels": 0}, "max_image_pixels", "from 1"),
    ({"space_unit": ""}, "space_unit", "1 to 40"),
    ({"time_unit": "s\n"}, "time_unit", "printable"),
    ({"time_unit": 5}, "time_unit", "(int)"),
])
def test_bad_values_are_refused_naming_the_field(change, field, fragment):
    with pytest.raises(ParameterError) as error:
        TrackingParams(**change)
    assert error.value.name == field and fragment in error.value.message
    assert "--" not in str(error.value)


@pytest.mark.parametrize("change, expected", [
    ({"diameter": np.int64(9)}, {"diameter": 9}),
    ({"pixel_size": np.float32(0.5), "max_skip": np.uint8(3)}, {"pixel_size": 0.5, "max_skip": 3}),
    ({"invert": np.bool_(True)}, {"invert": True}),
    ({"correlation_sigmas": [np.float32(1), 2, 3.5]}, {"correlation_sigmas": (1.0, 2.0, 3.5)}),
    ({"threshold": -1e30, "max_num_peaks": 0}, {"threshold": -1e30, "max_num_peaks": 0}),
])
def test_numpy_scalars_become_python_numbers(change, expected):
    params = TrackingParams(**change)
    for name, value in expected.items():
        got = getattr(params, name)
        assert got == value and type(got) is type(value)
        if isinstance(got, tuple):
            assert all(type(v) is float for v in got)


@pytest.mark.parametrize("frame_shape, change, field, fragment", [
    ((8, 16, 16), {"z_step": 1e30}, "z_step", "beyond 1e30"),
    ((16, 16), {"pixel_size": 1e29}, "pixel_size", "beyond 1e30"),
    ((16, 16), {"render_pixel_size": 1e6}, "render_pixel_size", "field of view"),
    ((16, 16), {"render_pixel_size": 1e-6}, "render_pixel_size", "`max_image_pixels`"),
    ((16, 16), {"pixel_size": 1e-30}, "pixel_size", "`max_distance`"),
])
def test_values_the_frames_cannot_hold_are_refused(frame_shape, change, field, fragment):
    with pytest.raises(ParameterError) as error:
        TrackingParams(**change).resolve(frame_shape, 5)
    assert error.value.name == field and fragment in error.value.message


def test_bounds_by_the_recording_clip_max_lag_and_warn():
    params = TrackingParams(max_lag=2**31 - 1, min_length=21)
    assert params.resolve((8, 8), 20).max_lag == 19
    assert params.resolve((8, 8), 1).max_lag == 1
    notes = params.ignored(2, 20)
    assert any(n.startswith("`max_lag` 2147483647 is beyond") for n in notes)
    assert any(n.startswith("`min_length` 21 is longer") for n in notes)
    assert TrackingParams(max_lag=19, min_length=20).ignored(2, 20) == []


def test_a_recording_must_be_one_and_params_a_tracking_params():
    for data in (5, None, 2.5):
        with pytest.raises(InputError, match="must be a recording"):
            track(data)
    with pytest.raises(ParameterError) as error:
        track(np.zeros((2, 8, 8), np.float32), {"diameter": 7})
    assert error.value.name == "params"


def _subparser(parser, command):
    sub = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    return sub.choices[command]


def _other_value(name):
    """A valid value of the field other than its default, and its option's words."""
    d = DECLARED[name]
    default = getattr(TrackingParams(), name)
    if d.kind == "bool":
        return not default, []
    if d.kind == "choice":
        value = next(c for c in d.choices if c != default)
        return value, [value]
    if d.kind == "str":
        return "um", ["um"]
    if d.kind == "floats":
        return (1.5, 2.5, 3.5), ["1.5", "2.5", "3.5"]
    value = d.low if d.low is not None and d.low != default else (d.high if d.high is not None else 3.0)
    if d.odd and value % 2 == 0:
        value += 1
    value = int(value) if d.kind == "int" else float(value)
    return value, [str(value)]


@pytest.mark.parametrize("command", ["run", "demo"])
def test_every_field_has_an_option_that_sets_it(command):
    """The options are the declared ones with the declared defaults (the demo's: those its
    simulation leaves open), and each option, given a non-default value, sets its field and
    only it."""
    parser = build_parser()
    by_dest = {a.dest: a for a in _subparser(parser, command)._actions if a.option_strings}
    fixed = DEMO_FIXED if command == "demo" else {}
    names = [f.name for f in fields(TrackingParams)]
    offered = [n for n in names if n in by_dest]
    assert offered == [n for n in names if n not in fixed and (command == "run" or n not in DEMO_IMAGES_ONLY)]
    for name in offered:
        # an optional switch has its negation too (--invert / --no-invert; neither: from the data)
        d = DECLARED[name]
        negation = ["--no-" + d.option[2:]] if d.kind == "bool" and d.optional else []
        assert by_dest[name].option_strings == [DECLARED[name].option] + negation
        assert DECLARED[name].option == OPTION_OF[name]
    head = ["run", "x.npy"] if command == "run" else ["demo"]
    start = params_from_args(parser.parse_args(head), **fixed)
    assert start == TrackingParams(**fixed)
    for name in offered:
        value, words = _other_value(name)
        params = params_from_args(parser.parse_args([*head, DECLARED[name].option, *words]), **fixed)
        assert getattr(params, name) == value, name
        assert [n for n in names if getattr(params, n) != getattr(start, n)] == [name]
    if command == "run":
        assert params_from_args(parser.parse_args([*head, "--method", "none"])).localization_method is None


def _strings(path: Path):
    """The string constants of a module, docstrings left out."""
    tree = ast.parse(path.read_text())
    docs = {id(n.body[0].value) for n in ast.walk(tree)
            if isinstance(n, (ast.Module, ast.FunctionDef, ast.ClassDef)) and n.body
            and isinstance(n.body[0], ast.Expr) and isinstance(n.body[0].value, ast.Constant)}
    return [n.value for n in ast.walk(tree)
            if isinstance(n, ast.Constant) and isinstance(n.value, str) and id(n) not in docs]


def test_library_messages_name_fields_and_the_command_prints_options():
    assert rename_fields("lower `threshold` or `threshold_snr`; `unknown` stays", OPTION_OF) == \
        "lower --threshold or --snr; unknown stays"
    option = re.compile("(?<![\\w-])(" + "|".join(map(re.escape, OPTION_OF.values())) + ")(?![\\w-])")
    library = [p for p in PACKAGE.rglob("*.py") if p.name not in ("cli.py", "command.py")]
    # the declarations hold the options themselves ("--snr"); messages are sentences
    offenders = [(p.name, text) for p in library for text in _strings(p) if " " in text and option.search(text)]
    assert offenders == []


def test_the_parameter_table_of_the_documentation_is_current():
    doc = (ROOT / "docs" / "workflow.md").read_text(encoding="utf-8")
    assert with_table(doc) == doc, "regenerate it: python -m trakora_workflow.params --write docs/workflow.md"
    assert all(f"| `{name}` |" in markdown_table() for name in DECLARED)


def _imports(path: Path, package: str) -> set[str]:
    """The package modules a module imports, at any depth (inside functions too)."""
    here = path.stem
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom):
            if node.level == 1:
                if node.module:
                    found.add(node.module.split(".")[0])
                else:
                    found.update(a.name for a in node.names)
            elif node.module and node.module.startswith(package + "."):
                found.add(node.module.split(".")[1])
        elif isinstance(node, ast.Import):
            found.update(a.name.split(".")[1] for a in node.names if a.name.startswith(package + "."))
    return found - {here}


def test_the_modules_import_each_other_without_a_cycle():
    modules = {p.stem: p for p in PACKAGE.glob("*.py") if p.stem not in ("__init__", "__main__")}
    graph = {name: _imports(path, PACKAGE.name) & set(modules) for name, path in modules.items()}
    assert graph["params"] == {"errors", "text"}      # light: the command starts before NumPy loads
    state = {}

    def visit(name, path):
        state[name] = "open"
        for other in sorted(graph[name]):
            assert state.get(other) != "open", "import cycle: " + " -> ".join(path + [other])
            if other not in state:
                visit(other, path + [other])
        state[name] = "done"
    for name in sorted(graph):
        if name not in state:
            visit(name, [name])
