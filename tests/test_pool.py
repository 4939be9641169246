"""The worker pool seen from Python: thread-count independence and fork safety."""
import os
import subprocess
import sys
import textwrap

import pytest

SCRIPT_PRELUDE = textwrap.dedent("""
    import os, sys
    import numpy as np
    import trakora

    def frame(seed):
        rng = np.random.default_rng(seed)
        image = rng.normal(10, 1, (600, 700)).astype(np.float32)
        rows, cols = rng.integers(5, 595, 400), rng.integers(5, 695, 400)
        image[rows, cols] += rng.uniform(20, 60, 400).astype(np.float32)
        return image

    def detect(seed):
        positions, intensities = trakora.rs_detect_peaks(
            frame(seed), (0.0, 599.0, 0.0, 699.0), 15.0, 2.0, "radial_symmetry", 7, None)
        return positions.tobytes() + intensities.tobytes()
""")


def run_script(body, threads=None, timeout=60):
    env = dict(os.environ)
    if threads is not None:
        env["TRAKORA_NUM_THREADS"] = str(threads)
    return subprocess.run([sys.executable, "-c", SCRIPT_PRELUDE + textwrap.dedent(body)],
                          capture_output=True, timeout=timeout, env=env)


def test_results_do_not_depend_on_the_thread_count():
    body = "import hashlib; print(hashlib.sha256(b''.join(detect(s) for s in range(3))).hexdigest())"
    digests = set()
    for threads in (1, 2, 5):
        result = run_script(body, threads)
        assert result.returncode == 0, result.stderr.decode()
        digests.add(result.stdout.strip())
    assert len(digests) == 1


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_forked_child_uses_the_pool_without_deadlock():
    body = """
        parent = detect(1)                      # the pool exists and has run work
        pid = os.fork()
        if pid == 0:
            ok = detect(1) == parent and detect(2) != parent
            os._exit(0 if ok else 3)
        _, status = os.waitpid(pid, 0)
        sys.exit(os.waitstatus_to_exitcode(status))
    """
    result = run_script(body, threads=2, timeout=60)
    assert result.returncode == 0, result.stderr.decode()


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_multiprocessing_fork_workers_match_the_parent():
    body = """
        import multiprocessing as mp
        expected = [detect(s) for s in range(4)]
        with mp.get_context("fork").Pool(2) as workers:
            got = workers.map(detect, range(4))
        sys.exit(0 if got == expected else 4)
    """
    result = run_script(body, threads=2, timeout=120)
    assert result.returncode == 0, result.stderr.decode()
