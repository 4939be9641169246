"""Peak memory of `trakora run` on recordings larger than 1 GB: frames are streamed.

Writes (into a temporary folder, removed afterwards) a 1.07 GB uncompressed multi-page TIFF,
the same frames as a zlib-compressed TIFF, and as a sequence of 256 single-frame TIFFs (1.07
GB) and of 256 PNGs; runs `trakora run` on each in a subprocess and samples the process's own
(anonymous) resident memory, RssAnon in /proc/PID/status, every 5 ms. File pages that the
kernel caches or maps are not the process's own memory and are not counted.

Usage: python bench/bench_memory.py [--frames 256]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import imageio.v3 as iio
import numpy as np
import tifffile

from common import table

ROOT = Path(__file__).resolve().parents[1]
SHAPE = (1024, 2048)          # 4 MiB of uint16 per frame


def frames(n, seed=0):
    rng = np.random.default_rng(seed)
    base = rng.normal(1000, 20, SHAPE).astype(np.float32)
    yy, xx = np.mgrid[0:SHAPE[0], 0:SHAPE[1]]
    centres = rng.uniform(20, [SHAPE[0] - 20, SHAPE[1] - 20], (300, 2))
    for f in range(n):
        image = base.copy()
        for cy, cx in centres[:40] + f * 0.3:        # a few spots drawn, cheaply, around the frame
            y0, x0 = int(cy) - 6, int(cx) - 6
            sub = (slice(y0, y0 + 13), slice(x0, x0 + 13))
            image[sub] += 800 * np.exp(-((yy[sub] - cy) ** 2 + (xx[sub] - cx) ** 2) / 8.0)
        yield np.roll(image, f, axis=1).astype(np.uint16)


def peak_anonymous(cmd, env):
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
    peak = 0
    status = Path(f"/proc/{proc.pid}/status")
    start = time.perf_counter()
    while proc.poll() is None:
        try:
            for line in status.read_text().splitlines():
                if line.startswith("RssAnon:"):
                    peak = max(peak, int(line.split()[1]))
        except (FileNotFoundError, ProcessLookupError):
            break
        time.sleep(0.005)
    seconds = time.perf_counter() - start
    out, err = proc.communicate()
    if proc.returncode:
        sys.exit(err)
    return peak / 1024, seconds


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--frames", type=int, default=256)
    args = ap.parse_args()
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"), TRAKORA_NUM_THREADS="2")
    rows = []
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR")) as tmp:
        tmp = Path(tmp)
        (tmp / "tifs").mkdir()
        (tmp / "pngs").mkdir()
        with tifffile.TiffWriter(tmp / "stack.tif", bigtiff=True) as plain, \
                tifffile.TiffWriter(tmp / "stack-zlib.tif", bigtiff=True) as packed:
            for i, frame in enumerate(frames(args.frames)):
                plain.write(frame, contiguous=True)
                packed.write(frame, compression="zlib", compressionargs={"level": 1})   # a series per page
                tifffile.imwrite(tmp / "tifs" / f"frame_{i}.tif", frame)
                iio.imwrite(tmp / "pngs" / f"frame_{i}.png", frame)
        cases = [("multi-page TIFF, uncompressed", tmp / "stack.tif"),
                 ("multi-page TIFF, zlib", tmp / "stack-zlib.tif"),
                 ("sequence of single-frame TIFFs", tmp / "tifs"),
                 ("sequence of 16-bit PNGs", tmp / "pngs")]
        baseline, _ = peak_anonymous([sys.executable, "-c", "import trakora_workflow.cli, scipy.ndimage, "
                                      "matplotlib.figure, pandas, tifffile, imageio.v3"], env)
        for name, path in cases:
            size = (sum(p.stat().st_size for p in path.iterdir()) if path.is_dir() else path.stat().st_size)
            peak, seconds = peak_anonymous([sys.executable, "-m", "trakora_workflow", "run", str(path), "--quiet",
                                            "--out", str(tmp / "out"), "--diameter", "7"], env)
            rows.append([name, f"{size / 1e9:.2f} GB", f"{peak:.0f} MiB", f"{seconds:.1f} s"])
    print(f"{args.frames} frames of {SHAPE[0]} x {SHAPE[1]} uint16 ({SHAPE[0] * SHAPE[1] * 2 / 2**20:.0f} MiB "
          f"each); the interpreter with the workflow's imports alone: {baseline:.0f} MiB\n")
    print(table(["input", "on disk", "peak own memory (RssAnon)", "wall time"], rows))


if __name__ == "__main__":
    main()
