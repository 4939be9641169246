"""Shared by the module's tests: the fuzz harness (fuzz/inputs.py, whose decoder and judge
the corpus replay and the declaration checks use) is importable as `inputs`, and the
reference implementations live in tests/reference.py; the tests of the command share a small
recording and run it through tests/commandline.py; the tests of the pictures drawn without
matplotlib read the texts drawn (`drawn_texts`)."""
import sys
from pathlib import Path

import numpy as np
import pytest

FUZZ_DIR = Path(__file__).resolve().parents[1] / "fuzz"
if str(FUZZ_DIR) not in sys.path:
    sys.path.insert(0, str(FUZZ_DIR))


@pytest.fixture(scope="module")
def small_stack(tmp_path_factory):
    """A 12-frame 64 x 64 recording saved as .npy, for the tests of the command."""
    from trakora_workflow import simulate_recording
    rec = simulate_recording(frames=12, shape=(64, 64), n_channels=1, spots_per_channel=4, n_brownian=5, seed=2)
    path = tmp_path_factory.mktemp("stack") / "stack.npy"
    np.save(path, rec.stack)
    return path


@pytest.fixture
def drawn_texts(monkeypatch):
    """The texts the pictures composed by `mapimage` draw, a list filled while they draw."""
    from trakora_workflow import mapimage
    drawn = []
    text, upwards = mapimage._Canvas.text, mapimage._Canvas.text_upwards

    def spy_text(self, x, y, t, *args, **kwargs):
        drawn.append(t)
        return text(self, x, y, t, *args, **kwargs)

    def spy_upwards(self, x, y, lines, *args, **kwargs):
        drawn.append(" ".join(lines))
        return upwards(self, x, y, lines, *args, **kwargs)
    monkeypatch.setattr(mapimage._Canvas, "text", spy_text)
    monkeypatch.setattr(mapimage._Canvas, "text_upwards", spy_upwards)
    return drawn
