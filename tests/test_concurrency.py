"""Calls from many Python threads at once, and from processes forked after the worker pool
started (also while other threads keep calling), give the results of sequential calls and
never deadlock. Every scenario runs in its own interpreter under a timeout, so a deadlock
fails the test instead of hanging the suite."""
import os
import subprocess
import sys
import textwrap

import pytest

TIMEOUT = 600 if os.environ.get("TRAKORA_SANITIZE") else 180

WORKLOAD = textwrap.dedent("""
    import hashlib, os, sys, threading
    import numpy as np
    import trakora

    def inputs():
        rng = np.random.default_rng(11)
        image = rng.normal(10, 1, (300, 300)).astype(np.float32)
        image[rng.integers(5, 295, 150), rng.integers(5, 295, 150)] += 40
        volume = rng.normal(10, 1, (36, 36, 40)).astype(np.float32)
        volume[rng.integers(3, 33, 60), rng.integers(3, 33, 60), rng.integers(3, 37, 60)] += 40
        walkers = rng.uniform(0, 30, (400, 3))
        frames2, frames3 = [], []
        for _ in range(25):
            walkers += rng.normal(0, 0.3, walkers.shape)
            frames2.append(np.column_stack([walkers[:, :2], rng.uniform(50, 100, 400)]).astype(np.float32))
            frames3.append(np.column_stack([walkers, rng.uniform(50, 100, 400)]).astype(np.float32))
        return image, volume, frames2, frames3

    IMAGE, VOLUME, FRAMES2, FRAMES3 = inputs()
    M2, E2 = trakora.rs_link_points(FRAMES2, 1.0, 1, 3.0)
    M3, E3 = trakora.rs_link_points_3d(FRAMES3, 1.0, 1)
    E2, E3 = E2.astype(np.int32), E3.astype(np.int32)
    V2 = np.column_stack([M2, np.arange(len(M2))]).astype(np.float32)
    V3 = np.column_stack([M3, np.arange(len(M3))]).astype(np.float32)

    CALLS = [
        lambda: trakora.rs_detect_peaks(IMAGE, (0.0, 299.0, 0.0, 299.0), 14.0, 2.0, "radial_symmetry", 7, None),
        lambda: trakora.rs_detect_peaks3d(VOLUME, (0.0, 35.0, 0.0, 35.0, 0.0, 39.0), 14.0, 2.0, 5,
                                          "gaussian_fitting", (1.0, 1.0, 1.0), 0.0, None),
        lambda: trakora.rs_draw_tracks(M2, E2, (0.0, 30.0, 0.0, 30.0), 0.25),
        lambda: trakora.rs_draw_tracks_3d(M3, E3, (0.0, 30.0) * 3, 0.5),
        lambda: trakora.rs_draw_tracks_value(V2, E2, (0.0, 30.0, 0.0, 30.0), 0.25),
        lambda: trakora.rs_draw_tracks_value_3d(V3, E3, (0.0, 30.0) * 3, 0.5),
        lambda: trakora.rs_radial_symmetry_2d(IMAGE[:15, :15]),
        lambda: trakora.rs_radial_symmetry_3d(VOLUME[:7, :7, :7]),
        lambda: trakora.rs_link_points(FRAMES2, 1.0, 2, 3.0),
        lambda: trakora.rs_link_points_3d(FRAMES3, 1.0, 2),
    ]

    def digest(k):
        out = CALLS[k]()
        h = hashlib.sha256()
        for r in (out if isinstance(out, tuple) else (out,)):
            h.update(repr(r).encode() if not isinstance(r, np.ndarray) else r.tobytes())
        return h.hexdigest()

    # Sizes are chosen so that peak finding, its sort and linking spread over the pool.
    EXPECTED = [digest(k) for k in range(len(CALLS))]  # sequential; the pool has started
""")


def run(body, threads=None):
    env = dict(os.environ)
    if threads is not None:
        env["TRAKORA_NUM_THREADS"] = str(threads)
    done = subprocess.run([sys.executable, "-c", WORKLOAD + textwrap.dedent(body)], capture_output=True,
                          text=True, timeout=TIMEOUT, env=env)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-4000:]
    return done.stdout


@pytest.mark.parametrize("threads", [1, 2, 4])
def test_many_python_threads_get_sequential_results(threads):
    out = run("""
        from concurrent.futures import ThreadPoolExecutor
        jobs = [k % len(CALLS) for k in range(12 * len(CALLS))]
        with ThreadPoolExecutor(16) as pool:
            got = list(pool.map(digest, jobs))
        assert got == [EXPECTED[k] for k in jobs], "a concurrent call differed"
        print("ok", len(jobs))
    """, threads)
    assert out.split() == ["ok", "120"]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_forked_children_match_the_parent():
    run("""
        children = []
        for _ in range(3):
            pid = os.fork()
            if pid == 0:
                ok = [digest(k) for k in range(len(CALLS))] == EXPECTED
                os._exit(0 if ok else 3)
            children.append(pid)
        codes = [os.waitstatus_to_exitcode(os.waitpid(p, 0)[1]) for p in children]
        assert codes == [0, 0, 0], codes
        assert [digest(k) for k in range(len(CALLS))] == EXPECTED  # the parent's pool still works
    """, threads=3)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_fork_while_other_threads_keep_calling():
    run("""
        import warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a multi-threaded process
        stop = threading.Event()
        errors = []

        def hammer(offset):
            k = offset
            while not stop.is_set():
                if digest(k % len(CALLS)) != EXPECTED[k % len(CALLS)]:
                    errors.append(k)
                k += 1

        workers = [threading.Thread(target=hammer, args=(i,)) for i in range(3)]
        for w in workers:
            w.start()
        codes = []
        for round in range(8):
            pid = os.fork()
            if pid == 0:
                ok = all(digest(k) == EXPECTED[k] for k in (round % len(CALLS), 0, 8, 9))
                os._exit(0 if ok else 3)
            codes.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
        stop.set()
        for w in workers:
            w.join()
        assert codes == [0] * 8, codes
        assert not errors, errors
    """, threads=2)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_multiprocessing_fork_pool_matches_the_parent():
    run("""
        import multiprocessing as mp
        import warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        with mp.get_context("fork").Pool(2) as workers:
            got = workers.map(digest, range(len(CALLS)))
        assert got == EXPECTED
    """, threads=2)
