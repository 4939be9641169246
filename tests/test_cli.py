"""The trakora command: demo and run on files (its failure modes are in test_failures.py)."""
import json
import signal
import subprocess
import sys
import time

import numpy as np
import tifffile
import pytest

from commandline import cli_env, run_cli
from trakora_workflow import load_stack, simulate_recording
from trakora_workflow.io import StackError


def test_demo_writes_images_and_prints_both_scores(tmp_path):
    out = tmp_path / "demo"
    proc = run_cli("demo", "--frames", 15, "--size", 64, "--quiet", "--out", out)
    assert proc.returncode == 0, proc.stderr
    for name in ("density.png", "speed.png", "tracks.csv", "summary.json", "ground_truth.csv"):
        assert (out / name).stat().st_size > 0
    table = [line for line in proc.stdout.splitlines() if line.startswith("| ")]
    assert [line.split("|")[1].strip() for line in table[1:]] == ["radial_symmetry", "gaussian_fitting"]
    summary = json.loads((out / "summary.json").read_text())
    assert all(s["jaccard"] > 0.8 and s["links_recovered"] > 0.7 for s in summary["scores"])
    # every file of the run, the demo's truth first, in the order of the "wrote" line
    assert summary["outputs"][0] == "ground_truth.csv" and summary["outputs"][-1] == "summary.json"
    assert sorted(summary["outputs"]) == sorted(p.name for p in out.iterdir() if p.name != ".trakora")
    assert f"wrote {', '.join(str(out / n) for n in summary['outputs'])}" in proc.stdout

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
        proc = run_cli("run", source, "--quiet", "--out", out, "--max-skip", 0, "--threshold", 160, "--no-preprocess")
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


@pytest.mark.parametrize("env", [{"PYTHONIOENCODING": "ascii", "LC_ALL": "C"}, {"PYTHONIOENCODING": "latin-1"}])
def test_a_run_succeeds_whatever_the_terminal_encodes(small_stack, tmp_path, env):
    """The summary's "²" and a unit's "µ" cannot be written in ASCII: they are escaped, and
    the run still exits 0 with nothing on stderr but warning lines (these channel spots flow:
    the MSD is not diffusive)."""
    proc = subprocess.run([sys.executable, "-m", "trakora_workflow", "run", str(small_stack), "--quiet",
                           "--out", str(tmp_path / "out"), "--space-unit", "µm"],
                          capture_output=True, env={**cli_env(), **env}, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert all(line.startswith(b"trakora: warning: ") for line in proc.stderr.splitlines()), proc.stderr
    text = proc.stdout.decode("latin-1")
    assert "D = A / 4" in text and "wrote " in text
    assert ("\\xb2" in text) == (env["PYTHONIOENCODING"] == "ascii")
    assert json.loads((tmp_path / "out" / "summary.json").read_text(encoding="utf-8"))["units"]["space"] == "µm"


@pytest.mark.parametrize("delay", [0.2, 0.5])
def test_ctrl_c_while_the_command_starts_is_one_line(small_stack, tmp_path, delay):
    proc = subprocess.Popen([sys.executable, "-m", "trakora_workflow", "run", str(small_stack), "--quiet",
                             "--out", str(tmp_path / "out")], stderr=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            env=cli_env())
    time.sleep(delay)
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=120)
    if proc.returncode == 0:
        pytest.skip("the run finished before the signal")
    assert (proc.returncode, err.decode().splitlines()) == (130, ["trakora: interrupted"])
