"""Small helpers shared by the benchmark scripts."""
import os
import statistics
import subprocess
import sys
import time

import numpy as np


def median_time(fn, repeats=7, number=1):
    """Median wall time of `number` calls of fn, over `repeats` repeats, in seconds per call."""
    fn()  # warm up
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - start) / number)
    return statistics.median(times)


def paired_times(fa, fb, repeats=41):
    """Median times of fa and fb measured alternately in one run, so that both see the same
    machine load: the fair way to state one as a multiple of the other."""
    fa(), fb()
    ta, tb = [], []
    for _ in range(repeats):
        for f, out in ((fa, ta), (fb, tb)):
            start = time.perf_counter()
            f()
            out.append(time.perf_counter() - start)
    return statistics.median(ta), statistics.median(tb)


def fmt_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds * 1e9:.3g} ns"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def realistic_spots(shape, count, sigma_range, background=100.0, amplitude_range=(200.0, 1000.0), seed=0):
    """A seeded camera-like array: `count` Gaussian spots (centres uniform over the array, so
    some touch a face or each other; amplitude and per-axis sigma drawn uniformly from the
    ranges, sigma_range holding one (low, high) pair per axis) on a flat background, each
    element a Poisson count of its mean, as float32. The noise standard deviation of the
    background is sqrt(background)."""
    rng = np.random.default_rng(seed)
    shape = np.array(shape)
    mean = np.full(tuple(shape), background, np.float64)
    centres = rng.uniform(0, shape - 1, (count, len(shape)))
    amplitudes = rng.uniform(*amplitude_range, count)
    sigmas = np.stack([rng.uniform(lo, hi, count) for lo, hi in sigma_range], axis=1)
    for centre, amplitude, sigma in zip(centres, amplitudes, sigmas):
        lo = np.maximum(np.floor(centre - 5 * sigma).astype(int), 0)
        hi = np.minimum(np.ceil(centre + 5 * sigma).astype(int) + 1, shape)
        axes = np.ogrid[tuple(slice(a, b) for a, b in zip(lo, hi))]
        r2 = sum(((x - c) / s) ** 2 for x, c, s in zip(axes, centre, sigma))
        mean[tuple(slice(a, b) for a, b in zip(lo, hi))] += amplitude * np.exp(-r2 / 2)
    return rng.poisson(mean).astype(np.float32)


def in_fresh_interpreters(script, flag, thread_counts=(1, 2)):
    """Runs `python script flag` once per thread count with TRAKORA_NUM_THREADS set (the
    module's pool reads it on first use, so each count needs its own process) and prints what
    each run printed, prefixed by its thread count."""
    for n in thread_counts:
        env = dict(os.environ, TRAKORA_NUM_THREADS=str(n))
        run = subprocess.run([sys.executable, str(script), flag], env=env, capture_output=True, text=True, check=True)
        print(f"{n} thread{'s' if n > 1 else ''}: {run.stdout.strip()}")
