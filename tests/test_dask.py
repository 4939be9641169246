"""Detection on a two-process local Dask cluster gives exactly the serial result."""
import numpy as np
import pytest

pytest.importorskip("distributed")

from trakora_workflow import TrackingParams, simulate_recording, track  # noqa: E402
from trakora_workflow.distributed import dask_client  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with dask_client(workers=2) as c:
        yield c


def test_workers_use_one_module_thread(client):
    import os
    values = client.run(lambda: os.environ.get("TRAKORA_NUM_THREADS"))
    assert len(values) == 2 and set(values.values()) == {"1"}


@pytest.mark.parametrize("shape", [(96, 96), (12, 40, 40)])
def test_cluster_tracking_equals_serial(client, shape):
    rec = simulate_recording(frames=11, shape=shape, n_channels=1, spots_per_channel=4, n_brownian=6, seed=7)
    params = TrackingParams(localization_method="gaussian_fitting")
    serial = track(rec.stack, params)
    # chunks of 3 frames: the last chunk is short, and chunks finish in any order
    parallel = track(rec.stack, params, client=client, chunk_size=3)
    assert len(parallel.tables) == len(serial.tables) == 11
    for a, b in zip(serial.tables, parallel.tables):
        assert a.tobytes() == b.tobytes()
    assert serial.matrix.tobytes() == parallel.matrix.tobytes()
    np.testing.assert_array_equal(serial.frames, parallel.frames)
    np.testing.assert_array_equal(serial.rendering.density, parallel.rendering.density)



def test_losing_a_worker_mid_run_still_gives_the_serial_result(tmp_path):
    """Tasks read their own frames from the file, so the scheduler reruns the lost worker's
    tasks elsewhere; nothing was scattered that could be lost with it."""
    import faulthandler
    import os
    import signal

    from trakora_workflow import open_recording
    rec = simulate_recording(frames=120, shape=(192, 192), n_channels=1, spots_per_channel=6, n_brownian=20, seed=9)
    path = tmp_path / "stack.npy"
    np.save(path, rec.stack)
    params = TrackingParams()
    serial = track(open_recording(path), params)
    faulthandler.dump_traceback_later(240, exit=True)     # a hang fails the run instead of blocking it
    try:
        with dask_client(workers=2) as client:
            victim = next(iter(client.run(os.getpid).values()))
            killed = []

            def kill_one_worker(done, total):
                if not killed and done >= 4:
                    os.kill(victim, signal.SIGKILL)
                    killed.append(done)
            parallel = track(open_recording(path), params, client=client, chunk_size=2, progress=kill_one_worker)
            assert victim not in client.run(os.getpid).values()
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert killed and killed[0] < 120
    assert serial.matrix.tobytes() == parallel.matrix.tobytes()
    for a, b in zip(serial.tables, parallel.tables):
        assert a.tobytes() == b.tobytes()
