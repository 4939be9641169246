"""The module's Python boundary: function table, argument conversion, errors, memory."""
import gc
import inspect
import os
import sys

import numpy as np
import pytest

import trakora

from declarations import FUNCTIONS as DECLARED, text_signature

FUNCTIONS = {name: text_signature(name) for name in DECLARED}

IMAGE = np.zeros((5, 5), np.float32)


def test_function_table_order():
    names = [n for n in vars(trakora) if n.startswith("rs_")]
    assert names == list(FUNCTIONS)


@pytest.mark.parametrize("name,signature", FUNCTIONS.items())
def test_text_signature_and_empty_docstring(name, signature):
    fn = getattr(trakora, name)
    assert fn.__text_signature__ == signature
    assert str(inspect.signature(fn)) == signature
    assert not fn.__doc__
    params = inspect.signature(fn).parameters.values()
    assert all(p.default is inspect.Parameter.empty for p in params)


def prefix(name, message):
    return f"argument '{name}': {message}"


ARRAY_TARGET = "PyArray<T, D>"


@pytest.mark.parametrize("bad, type_name", [
    (np.zeros((5, 5), np.float64), "ndarray"),
    (np.zeros((5, 5, 5), np.float32), "ndarray"),
    (np.zeros(5, np.float32), "ndarray"),
    (np.zeros((5, 5), np.float32).astype(">f4"), "ndarray"),
    ([[1.0, 2.0]], "list"),
    (None, "NoneType"),
])
def test_array_argument_of_wrong_kind(bad, type_name):
    with pytest.raises(TypeError) as info:
        trakora.rs_detect_peaks(bad, (0, 1, 0, 1), 0.5, 1.0, None, None, None)
    assert str(info.value) == prefix("array", f"'{type_name}' object cannot be converted to '{ARRAY_TARGET}'")


def test_extent_must_be_a_tuple():
    with pytest.raises(TypeError) as info:
        trakora.rs_detect_peaks(IMAGE, [0, 4, 0, 4], 0.5, 1.0, None, None, None)
    assert str(info.value) == prefix("extent", "'list' object cannot be converted to 'PyTuple'")


def test_first_failing_argument_is_reported():
    with pytest.raises(TypeError, match="^argument 'array'"):
        trakora.rs_detect_peaks(IMAGE.astype(np.float64), [0], "x", None, 3, 3, -1)
    with pytest.raises(TypeError, match="^argument 'extent'"):
        trakora.rs_detect_peaks(IMAGE, [0], "x", None, 3, 3, -1)
    with pytest.raises(TypeError, match="^argument 'threshold'"):
        trakora.rs_detect_peaks(IMAGE, (0, 4, 0, 4), "x", None, 3, 3, -1)
    with pytest.raises(TypeError, match="^argument 'localization_method'"):
        trakora.rs_detect_peaks(IMAGE, (0, 4, 0, 4), 1, 1, 3, 3, -1)


@pytest.mark.parametrize("value, error, prefixed", [
    (-1, OverflowError, False),
    (2**64, OverflowError, False),
    (2.0, TypeError, True),
    ("3", TypeError, True),
])
def test_size_conversion_errors(value, error, prefixed):
    with pytest.raises(error) as info:
        trakora.rs_detect_peaks(IMAGE, (0, 4, 0, 4), 0.5, 1.0, None, None, value)
    assert type(info.value) is error
    assert str(info.value).startswith("argument 'max_num_peaks': ") == prefixed


def test_prefixed_error_keeps_the_underlying_message():
    with pytest.raises(TypeError) as info:
        trakora.rs_link_points([], 1.0, 1.5, 2.0)
    assert str(info.value) == prefix("max_skip", "'float' object cannot be interpreted as an integer")
    with pytest.raises(TypeError) as info:
        trakora.rs_link_points([], "far", 1, 2.0)
    assert str(info.value).startswith("argument 'max_distance': ")


@pytest.mark.parametrize("points, message", [
    ("abc", "Can't extract `str` to `Vec`"),
    (5, "'int' object cannot be converted to 'Sequence'"),
    ([np.zeros((2, 3), np.float64)], f"'ndarray' object cannot be converted to '{ARRAY_TARGET}'"),
    ([np.zeros((2, 3), np.float32), [1, 2, 3]], f"'list' object cannot be converted to '{ARRAY_TARGET}'"),
])
def test_points_list_conversion(points, message):
    with pytest.raises(TypeError) as info:
        trakora.rs_link_points(points, 1.0, 1, 2.0)
    assert str(info.value) == prefix("points_list", message)


def test_extent_items_errors_propagate_unprefixed():
    matrix = np.zeros((0, 3), np.float32)
    ends = np.zeros(0, np.int32)
    with pytest.raises(IndexError):
        trakora.rs_draw_tracks(matrix, ends, (0.0, 1.0), 1.0)
    with pytest.raises(TypeError) as info:
        trakora.rs_draw_tracks(matrix, ends, (0.0, "a", 0.0, 1.0), 1.0)
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("call, message", [
    (lambda: trakora.rs_radial_symmetry_2d(), "rs_radial_symmetry_2d() missing required argument 'array' (pos 1)"),
    (lambda: trakora.rs_radial_symmetry_2d(IMAGE, IMAGE), "rs_radial_symmetry_2d() takes at most 1 argument (2 given)"),
    (lambda: trakora.rs_radial_symmetry_2d(image=IMAGE),
     "rs_radial_symmetry_2d() got an unexpected keyword argument 'image'"),
    (lambda: trakora.rs_radial_symmetry_2d(IMAGE, array=IMAGE),
     "rs_radial_symmetry_2d() got multiple values for argument 'array'"),
    (lambda: trakora.rs_detect_peaks(IMAGE, (0, 4, 0, 4), 0.5, 1.0, None, None),
     "rs_detect_peaks() missing required argument 'max_num_peaks' (pos 7)"),
    # all positional arguments and one more by keyword: the keyword is named
    (lambda: trakora.rs_link_points([], 1.0, 1, 2.0, max_skip=2),
     "rs_link_points() got multiple values for argument 'max_skip'"),
    (lambda: trakora.rs_link_points([], 1.0, 1, 2.0, max_gap=2),
     "rs_link_points() got an unexpected keyword argument 'max_gap'"),
    # an unknown keyword is reported before the parameter it may have meant to give
    (lambda: trakora.rs_link_points_3d([], 1.0, maxskip=2), "rs_link_points_3d() got an unexpected keyword argument 'maxskip'"),
    (lambda: trakora.rs_link_points_3d([], 1.0, 1, 2.0), "rs_link_points_3d() takes at most 3 arguments (4 given)"),
    (lambda: trakora.rs_link_points_3d(**{"points_list": [], "max_distance": 1.0, "max_skip": 1, "\u00e9t\u00e9": 0}),
     "rs_link_points_3d() got an unexpected keyword argument '\u00e9t\u00e9'"),
])
def test_parsing_errors_name_the_function_and_the_argument(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("detect", [
    lambda method: trakora.rs_detect_peaks(IMAGE, (0, 4, 0, 4), 0.5, 1.0, method, None, None),
    lambda method: trakora.rs_detect_peaks3d(np.zeros((5, 5, 5), np.float32), (0, 4, 0, 4, 0, 4), 0.5, 1.0, None,
                                             method, None, None, None),
])
def test_unknown_method_name_is_quoted_whole(detect):
    with pytest.raises(ValueError) as info:
        detect("radial\x00symmetry\x00")
    assert str(info.value) == ("Unknown localization method 'radial\x00symmetry\x00'. "
                               "Choose 'radial_symmetry' or 'gaussian_fitting'.")


def test_keyword_and_positional_calls_agree():
    y, x = np.mgrid[0:9, 0:9]
    spot = np.exp(-((y - 4.2) ** 2 + (x - 3.9) ** 2) / 4.5).astype(np.float32)
    assert trakora.rs_radial_symmetry_2d(array=spot) == trakora.rs_radial_symmetry_2d(spot)


class ExtentTuple(tuple):
    pass


def test_tuple_subclass_accepted_and_extra_items_ignored():
    matrix = np.array([[0.0, 0.0, 1.0], [3.0, 0.0, 4.0]], np.float32)
    ends = np.array([2], np.int32)
    plain = trakora.rs_draw_tracks(matrix, ends, (0.0, 10.0, 0.0, 10.0), 1.0)
    sub = trakora.rs_draw_tracks(matrix, ends, ExtentTuple((0.0, 10.0, 0.0, 10.0, 99.0)), 1.0)
    for a, b in zip(plain[:2], sub[:2]):
        np.testing.assert_array_equal(a, b)
    assert plain[2] == sub[2]


def test_internal_failure_exception_type():
    with pytest.raises(BaseException) as info:
        trakora.rs_link_points([np.zeros((1, 2), np.float32), np.zeros((1, 2), np.float32)], 1.0, 0, 2.0)
    exc_type = info.type
    assert exc_type.__name__ == "PanicException"
    assert exc_type.__module__ == "pyo3_runtime"
    assert issubclass(exc_type, BaseException) and not issubclass(exc_type, Exception)
    # The type is created once per process.
    with pytest.raises(BaseException) as again:
        trakora.rs_link_points_3d([np.zeros((1, 3), np.float32)] * 2, 1.0, 0)
    assert again.type is exc_type


def test_outputs_own_their_memory_without_copies():
    matrix = np.array([[0.0, 0.0, 1.0], [3.0, 0.0, 4.0]], np.float32)
    values, counts, _ = trakora.rs_draw_tracks(matrix, np.array([2], np.int32), (0.0, 10.0, 0.0, 10.0), 1.0)
    for out in (values, counts):
        assert out.flags.c_contiguous and out.flags.owndata is False
        assert out.base is not None and type(out.base).__name__ == "PyCapsule"
    assert values.dtype == np.float32 and counts.dtype == np.uint32


def spot(shape=(9, 9), centre=(4.3, 3.3), sigma=1.5):
    y, x = np.mgrid[0:shape[0], 0:shape[1]]
    return np.exp(-((y - centre[0]) ** 2 + (x - centre[1]) ** 2) / (2 * sigma**2)).astype(np.float32)


def rss_bytes():
    psutil = pytest.importorskip("psutil")
    return psutil.Process().memory_info().rss


def test_no_reference_or_memory_leaks():
    a = spot()
    bad = a.astype(np.float64)
    flat = np.ones((5, 5), np.float32)
    extent = (0.0, 4.0, 0.0, 4.0)

    def many_calls():
        for _ in range(2000):
            trakora.rs_radial_symmetry_2d(a)
            for call in (lambda: trakora.rs_radial_symmetry_2d(bad),
                         lambda: trakora.rs_radial_symmetry_2d(flat),
                         lambda: trakora.rs_detect_peaks(a, extent, 0.5, 1.0, None, None, -1),
                         lambda: trakora.rs_link_points([a, bad], 1.0, 1, 2.0)):
                try:
                    call()
                except (TypeError, ValueError, OverflowError):
                    pass

    many_calls()
    gc.collect()
    counts = [sys.getrefcount(x) for x in (a, bad, flat, extent)]
    memory = rss_bytes()
    for _ in range(3):
        many_calls()
    gc.collect()
    assert [sys.getrefcount(x) for x in (a, bad, flat, extent)] == counts
    if os.environ.get("TRAKORA_SANITIZE") != "1":  # ASan's quarantine holds freed memory
        assert rss_bytes() - memory < 8 * 2**20
