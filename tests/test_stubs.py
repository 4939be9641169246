"""The type stubs of the module match the runtime module and are usable by a type checker."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import trakora

pytest.importorskip("mypy")

STUBS = Path(__file__).resolve().parents[1] / "python" / "trakora-stubs" / "__init__.pyi"


@pytest.fixture(scope="module")
def stub_path(tmp_path_factory):
    """A search path where the stubs are found as package `trakora`."""
    root = tmp_path_factory.mktemp("stubs")
    (root / "trakora").mkdir()
    shutil.copy(STUBS, root / "trakora" / "__init__.pyi")
    return root


def _env(stub_root):
    runtime = str(Path(trakora.__file__).parent)
    return dict(os.environ, MYPYPATH=str(stub_root), MYPY_CACHE_DIR=str(stub_root / "cache"),
                PYTHONPATH=os.pathsep.join([runtime, os.environ.get("PYTHONPATH", "")]))


def test_stubtest_finds_no_difference(stub_path, tmp_path):
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "trakora", "--mypy-config-file",
                           os.devnull], capture_output=True, text=True, env=_env(stub_path), cwd=tmp_path,
                          timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_type_checker_uses_the_stubs(stub_path, tmp_path):
    program = tmp_path / "use.py"
    program.write_text(
        "import numpy as np\n"
        "import trakora\n"
        "image = np.zeros((8, 8), np.float32)\n"
        "positions, intensities = trakora.rs_detect_peaks(image, (0.0, 7.0, 0.0, 7.0), 1.0, 1.0, None, None, None)\n"
        "matrix, ends = trakora.rs_link_points([positions], 1.0, 0, 2.0)\n"
        "trakora.rs_draw_tracks(matrix, ends.astype(np.int32), (0.0, 8.0, 0.0, 8.0), 1.0)\n"
        "trakora.rs_detect_peaks(image, (0.0, 7.0, 0.0, 7.0), 1.0, 1.0, 'radial', None, None)\n"
        "offset: str = trakora.rs_radial_symmetry_2d(image)[0]\n")
    proc = subprocess.run([sys.executable, "-m", "mypy", "--config-file", os.devnull,
                           str(program)], capture_output=True, text=True, env=_env(stub_path), cwd=tmp_path,
                          timeout=300)
    errors = [line for line in proc.stdout.splitlines() if ": error:" in line]
    assert [line.split(":")[1] for line in errors] == ["7", "8"], proc.stdout
