"""The trakora command: demo, run on files, and its error paths."""
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import tifffile

import trakora
import trakora_workflow
from trakora_workflow import load_stack, simulate_recording
from trakora_workflow.io import StackError


def run_cli(*args, cwd=None):
    paths = [str(Path(trakora_workflow.__file__).parents[1]), str(Path(trakora.__file__).parent)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths + [os.environ.get("PYTHONPATH", "")]))
    return subprocess.run([sys.executable, "-m", "trakora_workflow", *map(str, args)], capture_output=True,
                          text=True, env=env, cwd=cwd, timeout=300)


@pytest.fixture(scope="module")
def small_stack(tmp_path_factory):
    rec = simulate_recording(frames=12, shape=(64, 64), n_channels=1, spots_per_channel=4, n_brownian=5, seed=2)
    path = tmp_path_factory.mktemp("stack") / "stack.npy"
    np.save(path, rec.stack)
    return path


def test_demo_writes_images_and_prints_both_scores(tmp_path):
    out = tmp_path / "demo"
    proc = run_cli("demo", "--frames", 15, "--size", 64, "--quiet", "--out", out)
    assert proc.returncode == 0, proc.stderr
    for name in ("density.png", "speed.png", "tracks.csv", "summary.json", "ground_truth.csv"):
        assert (out / name).stat().st_size > 0
    table = [line for line in proc.stdout.splitlines() if line.startswith("| ")]
    assert [line.split("|")[1].strip() for line in table[1:]] == ["radial_symmetry", "gaussian_fitting"]
    scores = json.loads((out / "summary.json").read_text())["scores"]
    assert all(s["jaccard"] > 0.8 and s["links_recovered"] > 0.7 for s in scores)

    on_cluster = tmp_path / "demo-cluster"
    proc = run_cli("demo", "--frames", 15, "--size", 64, "--quiet", "--out", on_cluster, "--workers", 2)
    assert proc.returncode == 0, proc.stderr
    assert (on_cluster / "tracks.csv").read_text() == (out / "tracks.csv").read_text()


def test_run_on_npy_and_tiff_gives_the_same_tracks(small_stack, tmp_path):
    tiff = tmp_path / "stack.ome.tif"
    tifffile.imwrite(tiff, np.load(small_stack), metadata={"axes": "TYX"})
    outputs = []
    for k, source in enumerate((small_stack, tiff)):
        out = tmp_path / f"out{k}"
        proc = run_cli("run", source, "--quiet", "--out", out, "--max-skip", 0, "--threshold", 160)
        assert proc.returncode == 0, proc.stderr
        outputs.append((out / "tracks.csv").read_text())
    assert outputs[0] == outputs[1] and len(outputs[0].splitlines()) > 10


def test_run_on_a_volume_stack(tmp_path):
    rec = simulate_recording(frames=6, shape=(12, 40, 40), n_channels=1, spots_per_channel=3, n_brownian=4, seed=4)
    path = tmp_path / "volumes.npy"
    np.save(path, rec.stack)
    proc = run_cli("run", path, "--quiet", "--out", tmp_path / "out", "--z-step", 2, "--method", "gaussian_fitting")
    assert proc.returncode == 0, proc.stderr
    header = (tmp_path / "out" / "tracks.csv").read_text().splitlines()[0]
    assert header == "track,frame,time,x,y,z,intensity,speed"
    assert (tmp_path / "out" / "speed.png").stat().st_size > 0


def _one_line_error(proc):
    assert proc.returncode != 0
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("trakora: error:"), proc.stderr
    return lines[0]


def test_missing_file_is_a_one_line_error(tmp_path):
    assert "no such file" in _one_line_error(run_cli("run", tmp_path / "absent.tif", "--out", tmp_path))


def test_one_dimensional_array_is_a_one_line_error(tmp_path):
    path = tmp_path / "line.npy"
    np.save(path, np.arange(10, dtype=np.float32))
    assert "shape (10,)" in _one_line_error(run_cli("run", path, "--out", tmp_path))


@pytest.mark.parametrize("args", [("run", "x.npy", "--no-such-option"), ("demo", "--frames", "0"),
                                  ("frobnicate",), ("run", "x.npy", "--method", "centroid")])
def test_usage_errors_are_one_line(args):
    proc = run_cli(*args)
    assert proc.returncode == 2
    _one_line_error(proc)


def test_unreadable_tiff_is_a_one_line_error(tmp_path):
    path = tmp_path / "broken.tif"
    path.write_bytes(b"II*\x00garbage")
    assert "cannot read" in _one_line_error(run_cli("run", path, "--out", tmp_path))


def test_ome_axes_are_put_in_frame_plane_row_column_order(tmp_path):
    data = np.arange(3 * 4 * 5 * 6, dtype=np.uint16).reshape(3, 4, 5, 6)   # stored as Z, T, Y, X
    path = tmp_path / "zt.ome.tif"
    tifffile.imwrite(path, data, ome=True, metadata={"axes": "ZTYX"})
    stack = load_stack(path)
    assert stack.shape == (4, 3, 5, 6)
    np.testing.assert_array_equal(stack[1, 2], data[2, 1])


def test_multichannel_tiff_is_refused(tmp_path):
    path = tmp_path / "two_channels.ome.tif"
    tifffile.imwrite(path, np.zeros((3, 2, 8, 8), np.uint16), ome=True, metadata={"axes": "TCYX"})
    with pytest.raises(StackError, match="multi-channel"):
        load_stack(path)
