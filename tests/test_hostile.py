"""Hostile inputs of a few kilobytes: every call returns or raises within seconds, and its
peak memory grows by no more than its output plus bounded working memory. Grids that
cannot exist raise before anything is allocated. Each case runs in a fresh interpreter so
that its peak resident memory is its own. Also: Python code run by argument conversion
cannot pull an input array from under a call."""
import gc
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import trakora

UNDER_ASAN = bool(os.environ.get("TRAKORA_SANITIZE"))
SECONDS = 5.0 * (6 if UNDER_ASAN else 1)
WORKING_MEMORY_MB = 64
BYTES_PER_VISIT = 16

RUNNER = textwrap.dedent("""
    import json, resource, sys, time
    import numpy as np
    import trakora
    f32 = np.float32

    def peak_kb():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

    def output_kb(out):
        items = out if isinstance(out, tuple) else (out,)
        return sum(a.nbytes for a in items if isinstance(a, np.ndarray)) // 1024

    def visits(out):  # drawn entries: the count image of a drawing
        items = out if isinstance(out, tuple) else (out,)
        return sum(int(a.sum()) for a in items if isinstance(a, np.ndarray) and a.dtype == np.uint32 and a.ndim > 1)

    {setup}
    before = peak_kb()
    start = time.perf_counter()
    try:
        out = {call}
        outcome, size, entries = "ok", output_kb(out), visits(out)
    except BaseException as e:
        outcome, size, entries = type(e).__name__ + ": " + str(e)[:300], 0, 0
    print(json.dumps({{"outcome": outcome, "seconds": time.perf_counter() - start,
                      "growth_kb": peak_kb() - before, "output_kb": size, "visits": entries}}))
""")

ZIGZAG_2D = "m = np.array([[(-1) ** k * 1e30, (-1) ** (k // 2) * 1e30, 1.0] for k in range(300)], f32)"
ZIGZAG_3D = "m = np.array([[(-1) ** k * 1e30, (-1) ** (k // 2) * 1e30, 3e29 * (k % 3), 1.0] for k in range(300)], f32)"
ALL = ("ok",)
TOO_LARGE = ("MemoryError", "ValueError")

CASES = {
    # segments reaching far outside the grid are clipped, not walked pixel by pixel
    "draw 2D: a track from 0 to 1e30":
        ("m = np.array([[0, 0, 1], [1e30, 1e30, 2]], f32)",
         "trakora.rs_draw_tracks(m, np.array([2], np.int32), (0.0, 100.0, 0.0, 100.0), 1.0)", ALL),
    "draw 2D: 300 segments between +-1e30 corners":
        (ZIGZAG_2D, "trakora.rs_draw_tracks(m, np.array([300], np.int32), (0.0, 200.0, 0.0, 200.0), 1.0)", ALL),
    "draw 2D value: 300 segments between +-1e30 corners":
        (ZIGZAG_2D + "; m = np.hstack([m, m[:, 2:]])",
         "trakora.rs_draw_tracks_value(m, np.array([300], np.int32), (0.0, 200.0, 0.0, 200.0), 1.0)", ALL),
    "draw 3D: 300 segments between +-1e30 corners":
        (ZIGZAG_3D, "trakora.rs_draw_tracks_3d(m, np.array([300], np.int32), (0.0, 50.0) * 3, 1.0)", ALL),
    "draw 3D value: 300 segments between +-1e30 corners":
        (ZIGZAG_3D + "; m = np.hstack([m, m[:, 3:]])",
         "trakora.rs_draw_tracks_value_3d(m, np.array([300], np.int32), (0.0, 50.0) * 3, 1.0)", ALL),
    "draw 3D: a track from -inf to +inf":
        ("m = np.array([[-np.inf] * 3 + [1.0], [np.inf] * 3 + [1.0]], f32)",
         "trakora.rs_draw_tracks_3d(m, np.array([2], np.int32), (0.0, 50.0) * 3, 1.0)", ALL),
    # end indices that reread the same rows many times
    "draw 2D: 1000 end indices alternating between 0 and 1000":
        ("m = np.random.default_rng(0).uniform(0, 100, (1000, 3)).astype(f32); "
         "e = np.array([0, 1000] * 500, np.int32)",
         "trakora.rs_draw_tracks(m, e, (0.0, 100.0, 0.0, 100.0), 1.0)", ALL),
    # grids that cannot be allocated fail before allocating
    "draw 2D: 1-pixel pixels over a 1e9 extent":
        ("m = np.zeros((2, 3), f32)",
         "trakora.rs_draw_tracks(m, np.array([2], np.int32), (0.0, 1e9, 0.0, 1e9), 1.0)", TOO_LARGE),
    "draw 2D value: 1e-30 pixels over a unit extent":
        ("m = np.zeros((2, 4), f32)",
         "trakora.rs_draw_tracks_value(m, np.array([2], np.int32), (0.0, 1.0, 0.0, 1.0), 1e-30)", TOO_LARGE),
    "draw 3D: 1-voxel voxels over a 1e9 x 1e3 x 1e3 extent":
        ("m = np.zeros((2, 4), f32)",
         "trakora.rs_draw_tracks_3d(m, np.array([2], np.int32), (0.0, 1e9, 0.0, 1e3, 0.0, 1e3), 1.0)",
         TOO_LARGE),
    "draw 3D value: an empty axis beside two of 2**62 voxels":
        ("m = np.zeros((2, 5), f32)",
         "trakora.rs_draw_tracks_value_3d(m, np.array([2], np.int32), (0.0, 2.0**62, 0.0, 2.0**62, 0.0, -1.0), 1.0)",
         TOO_LARGE + ("ok",)),
    "draw 3D: pixel_size of the smallest subnormal":
        ("m = np.zeros((2, 4), f32)",
         "trakora.rs_draw_tracks_3d(m, np.array([2], np.int32), (0.0, 1.0) * 3, 1e-45)", TOO_LARGE),
    # linking: huge max_skip, dense candidate sets
    "link 2D: max_skip 2**64-1 over 40 frames":
        ("rng = np.random.default_rng(1); "
         "frames = [np.column_stack([rng.uniform(0, 5, (20, 2)), rng.uniform(1, 2, 20)]).astype(f32) for _ in range(40)]",
         "trakora.rs_link_points(frames, 1.0, 2**64 - 1, 2.0)", ALL),
    "link 3D: max_skip 2**64-1 over 40 frames":
        ("rng = np.random.default_rng(1); "
         "frames = [rng.uniform(0, 3, (20, 4)).astype(f32) for _ in range(40)]",
         "trakora.rs_link_points_3d(frames, 1.0, 2**64 - 1)", ALL),
    "link 2D: 340 points on one spot in each of two frames":
        ("frames = [np.ones((340, 3), f32), np.ones((340, 3), f32)]",
         "trakora.rs_link_points(frames, 1.0, 0, 2.0)", ALL),
    "link 3D: 256 points on one spot in each of four frames, any gap":
        ("frames = [np.ones((256, 4), f32)] * 4",
         "trakora.rs_link_points_3d(frames, 1.0, 2**64 - 1)", ALL),
    "link 2D: max_distance 1e30":
        ("frames = [np.ones((4, 3), f32)] * 3", "trakora.rs_link_points(frames, 1e30, 0, 2.0)",
         ("ok", "ValueError")),
    # detection: extreme window sizes and caps, plateaus, dense peaks
    "detect 2D: window 2**64-1 and cap 2**64-1":
        ("a = np.random.default_rng(2).uniform(0, 1, (64, 64)).astype(f32)",
         "trakora.rs_detect_peaks(a, (0.0, 63.0, 0.0, 63.0), 0.5, 1.0, 'radial_symmetry', 2**64 - 1, 2**64 - 1)",
         ALL),
    "detect 3D: window 2**64-1":
        ("a = np.random.default_rng(2).uniform(0, 1, (12, 12, 12)).astype(f32)",
         "trakora.rs_detect_peaks3d(a, (0.0, 11.0) * 3, 0.5, 1.0, 2**64 - 1, 'gaussian_fitting', None, None, None)",
         ALL),
    "detect 2D: 4096 separated peaks, none thinned":
        ("a = np.zeros((128, 128), f32); a[1:-1:2, 1:-1:2] = np.arange(63 * 63).reshape(63, 63) + 1",
         "trakora.rs_detect_peaks(a, (0.0, 127.0, 0.0, 127.0), 0.5, 1.5, 'gaussian_fitting', 7, None)", ALL),
    "detect 3D: a plateau volume with correlation":
        ("a = np.ones((24, 24, 24), f32)",
         "trakora.rs_detect_peaks3d(a, (0.0, 23.0) * 3, 0.5, 0.0, 7, 'radial_symmetry', (1e-30, 1e30, 1.0), -1.0, None)",
         ALL),
    "radial symmetry 3D: 64**3 NaN":
        ("a = np.full((64, 64, 64), np.nan, f32)", "trakora.rs_radial_symmetry_3d(a)", ALL),
}


def run_case(setup, call):
    code = RUNNER.format(setup=setup, call=call)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("case", list(CASES))
def test_hostile_input_is_bounded_in_time_and_memory(case):
    setup, call, allowed = CASES[case]
    result = run_case(setup, call)
    assert result["outcome"].split(":")[0] in allowed, result
    assert result["seconds"] < SECONDS, result
    if not UNDER_ASAN:  # the sanitizer's shadow memory and quarantine distort resident memory
        # A drawing keeps every entry of a cell until its trimmed reduction: working memory
        # may grow with the number of in-grid visits, and with nothing else.
        entries_kb = result["visits"] * BYTES_PER_VISIT // 1024
        assert result["growth_kb"] <= result["output_kb"] + entries_kb + WORKING_MEMORY_MB * 1024, result


# ---- Python code that runs during argument conversion --------------------------------------

class Float:
    """A number whose conversion runs `effect` first, as a user's __float__ or __index__ may."""

    def __init__(self, effect, value):
        self.effect, self.value = effect, value

    def __float__(self):
        self.effect()
        return float(self.value)

    def __index__(self):
        self.effect()
        return int(self.value)


def test_arrays_dropped_by_a_later_argument_stay_alive_for_the_call():
    rng = np.random.default_rng(0)
    frames = [rng.uniform(0, 3, (50, 3)).astype(np.float32) for _ in range(4)]
    expected = trakora.rs_link_points([f.copy() for f in frames], 1.0, 1, 2.0)

    def drop():
        frames.clear()
        gc.collect()

    got = trakora.rs_link_points(frames, Float(drop, 1.0), 1, 2.0)
    assert all(np.array_equal(a, b) for a, b in zip(got, expected))


def test_an_array_reshaped_by_a_later_argument_is_read_as_it_was_passed():
    image = np.random.default_rng(1).uniform(0, 10, (40, 40)).astype(np.float32)
    extent = (0.0, 39.0, 0.0, 39.0)
    expected = trakora.rs_detect_peaks(image.copy(), extent, 1.0, 1.0, "radial_symmetry", 7, None)

    def reshape():
        image.shape = (20, 80)

    got = trakora.rs_detect_peaks(image, extent, 1.0, 1.0, "radial_symmetry", Float(reshape, 7), None)
    assert all(np.array_equal(a, b) for a, b in zip(got, expected))
