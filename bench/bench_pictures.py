"""density.png + speed.png and the three ULM map PNGs, drawn by this checkout and by the
matplotlib functions of an earlier commit (loaded from git), in one run: the demo's result
(100 frames of 160 x 160), a 1000 x 1000 rendering of 400 random-walk tracks and the maps
of a 1000-frame `ulm-demo` recording. Warm times (median of 3, after one call), then the
first call in a fresh process with the imports it needs.

    python bench/bench_pictures.py [--against 00e9096]
"""
import argparse
import importlib
import importlib.util
import pickle
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from types import SimpleNamespace

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))

OLD = {"pictures": "python/trakora_workflow/pictures.py", "outputs": "python/trakora_workflow/ulm/outputs.py"}
PACKAGE = {"pictures": "trakora_workflow", "outputs": "trakora_workflow.ulm"}


def load(which: str, commit: str | None):
    """This checkout's module, or the one of `commit` (its source from git)."""
    if commit is None:
        return importlib.import_module(f"{PACKAGE[which]}.{which}")
    source = subprocess.run(["git", "-C", str(ROOT), "show", f"{commit}:{OLD[which]}"], capture_output=True,
                            text=True, check=True).stdout
    return compile_module(which, source)


def compile_module(which: str, source: str):
    importlib.import_module(PACKAGE[which])
    name = f"{PACKAGE[which]}._earlier_{which}"
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(name, loader=None))
    module.__package__ = PACKAGE[which]
    sys.modules[name] = module
    exec(compile(source, OLD[which], "exec"), module.__dict__)
    return module


def cases(folder: Path) -> Path:
    """The demo's result, a 1000 x 1000 rendering and ULM maps, pickled into `folder`."""
    from trakora_workflow.cli import DEMO_DIFFUSION, DEMO_FIXED
    from trakora_workflow.params import TrackingParams
    from trakora_workflow.pipeline import Rendering, track
    from trakora_workflow.simulate import simulate_recording
    from trakora_workflow.ulm import UlmParams, run_ulm, simulate_ulm, write_blocks

    rec = simulate_recording(frames=100, shape=(160, 160), seed=1, n_channels=3, spots_per_channel=10,
                             n_brownian=20, diffusion=DEMO_DIFFUSION, pixel_size=0.1, frame_interval=0.05)
    demo = track(rec.stack, TrackingParams(**DEMO_FIXED), progress=False)
    rng = np.random.default_rng(0)
    image = np.zeros((1000, 1000), np.float32)
    for _ in range(400):
        walk = np.clip((rng.uniform(0, 1000, 2) + np.cumsum(rng.normal(0, 1.5, (300, 2)), axis=0)).astype(int), 0, 999)
        image[walk[:, 0], walk[:, 1]] += rng.uniform(10, 50)
    big = SimpleNamespace(ndim=2, track_end_indices=np.arange(400), params=SimpleNamespace(space_unit="µm", time_unit="s"),
                          rendering=Rendering(image, image, image * 0.1, image.copy(), (0.0, 50.0, 0.0, 50.0), 0.05))
    with tempfile.TemporaryDirectory() as tmp:
        ulm = run_ulm(write_blocks(simulate_ulm(frames=1000, seed=1), tmp, frames_per_block=200, fmt="mat"),
                      UlmParams(wavelength=0.1))
    path = folder / "cases.pkl"
    path.write_bytes(pickle.dumps({"demo": demo, "1000 x 1000": big, "maps": ulm.maps, "unit": ulm.params.space_unit}))
    return path


def draw(module, which: str, data: dict, case: str, folder: Path) -> None:
    if which == "pictures":
        module.save_density_png(data[case], folder / "density.png")
        module.save_speed_png(data[case], folder / "speed.png")
    else:
        module.save_map_pngs(data["maps"], data["unit"], {n: folder / f"{n}.png" for n in ("density", "velocity", "direction")})


def first_call(commit: str | None, which: str, case: str, data_path: Path, folder: Path) -> float:
    """Seconds of the first drawing in a fresh process, the module's import included."""
    source = ("" if commit is None else
              subprocess.run(["git", "-C", str(ROOT), "show", f"{commit}:{OLD[which]}"], capture_output=True,
                             text=True, check=True).stdout)
    program = f"""
import pickle, sys, time
sys.path.insert(0, {str(ROOT / "bench")!r}); sys.path.insert(0, {str(ROOT / "python")!r})
import numpy, pandas, trakora_workflow.pipeline, trakora_workflow.ulm.pipeline
import bench_pictures as b
from pathlib import Path
data = pickle.loads(Path({str(data_path)!r}).read_bytes())
start = time.perf_counter()
module = b.compile_module({which!r}, {source!r}) if {commit is not None} else b.load({which!r}, None)
b.draw(module, {which!r}, data, {case!r}, Path({str(folder)!r}))
print(time.perf_counter() - start)
"""
    return float(subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, check=True).stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--against", default="00e9096", help="the commit of the matplotlib functions")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        data_path = cases(folder)
        data = pickle.loads(data_path.read_bytes())
        rows = []
        for which, case in (("pictures", "demo"), ("pictures", "1000 x 1000"), ("outputs", "maps")):
            times = {}
            for label, commit in (("matplotlib", args.against), ("this checkout", None)):
                module = load(which, commit)
                draw(module, which, data, case, folder)
                runs = []
                for _ in range(3):
                    start = time.perf_counter()
                    draw(module, which, data, case, folder)
                    runs.append(time.perf_counter() - start)
                times[label] = statistics.median(runs)
            rows.append((f"{'density + speed' if which == 'pictures' else 'ULM maps'}, {case}", times))
        for which, case in (("pictures", "demo"), ("outputs", "maps")):
            times = {label: first_call(commit, which, case, data_path, folder)
                     for label, commit in (("matplotlib", args.against), ("this checkout", None))}
            rows.append((f"first call in a new process, {'density + speed' if which == 'pictures' else 'ULM maps'}", times))
    print(f"{'':<52} {'matplotlib':>11} {'this':>9} {'ratio':>7}")
    for name, times in rows:
        old, new = times["matplotlib"], times["this checkout"]
        print(f"{name:<52} {old:>10.3f}s {new:>8.3f}s {old / new:>6.1f}x")


if __name__ == "__main__":
    main()
