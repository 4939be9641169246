"""Everything that restates the module's function declarations (the type stubs and the fuzz
harness) agrees with src/python/functions.hpp, so that a parameter is added in one place and
every restatement that lags behind fails here; and the tests the fuzz harness runs by name
still exist."""
import ast
import random
import re
import warnings
from pathlib import Path

import numpy as np
import pytest

from declarations import FUNCTIONS

ROOT = Path(__file__).resolve().parents[1]
STUBS = ROOT / "python" / "trakora-stubs" / "__init__.pyi"

# The stub annotation of each kind of argument.
ANNOTATION = {
    ("array1_i32", 0): "NDArray[np.int32]",
    ("array2_f32", 0): "_F32",
    ("array3_f32", 0): "_F32",
    ("array_list", 0): "Sequence[_F32]",
    ("f32", 0): "float",
    ("opt_f32", 0): "float | None",
    ("size", 0): "int",
    ("opt_size", 0): "int | None",
    ("opt_text", 0): "_Method | None",
    ("tuple", 4): "_Extent2D",
    ("tuple", 6): "_Extent3D",
    ("opt_tuple", 3): "tuple[float, float, float] | None",
}


def stub_functions():
    tree = ast.parse(STUBS.read_text())
    return {node.name: [(a.arg, ast.unparse(a.annotation)) for a in node.args.args]
            for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_declarations_are_read():
    assert len(FUNCTIONS) == 10 and all(FUNCTIONS.values())


def test_stubs_declare_the_same_functions_in_order():
    assert list(stub_functions()) == list(FUNCTIONS)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_stub_parameters_match_the_declaration(name):
    expected = [(p.name, ANNOTATION[p.kind, p.items]) for p in FUNCTIONS[name]]
    assert stub_functions()[name] == expected


def test_fuzz_harness_lists_every_function_in_order():
    import inputs  # the fuzz decoder (tests/conftest.py puts fuzz/ on the path)

    assert list(inputs.FUNCTIONS) == list(FUNCTIONS)
    shell = (ROOT / "fuzz" / "common.sh").read_text()
    listed = re.search(r"FUZZ_FUNCTIONS=\(([^)]*)\)", shell).group(1).split()
    assert listed == list(FUNCTIONS)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_fuzz_calls_pass_every_parameter(name):
    import inputs

    decoded = 0
    for seed in range(20):
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")  # float32 overflow of special values, as in the fuzzer
            case = inputs.decode(name, random.Random(seed).randbytes(512))
        if not case.skip:
            decoded += 1
            assert len(case.args) == len(FUNCTIONS[name])
    assert decoded > 0


def test_tests_named_by_the_fuzz_harness_exist():
    shell = (ROOT / "fuzz" / "common.sh").read_text()
    named = re.findall(r"(tests/\w+\.py)::(\w+)", shell)
    assert named
    for path, test in named:
        tree = ast.parse((ROOT / path).read_text())
        assert test in {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}, f"{path}::{test}"
