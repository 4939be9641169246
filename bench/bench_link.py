"""Linking benchmarks: rs_link_points / rs_link_points_3d against trackpy.link.

Brownian particles (step sigma 0.3 x max_distance per axis), detections dropped at random,
max_skip 2 against trackpy's memory=2 with the same search range. Each detection carries a
unique id in its intensity column (copied bit for bit into the tracks; the intensity ratio
is set wide enough never to reject a link), so the links each linker makes are compared with
the simulation's ground truth: "recall" is the fraction of true links (consecutive
detections of one particle) made, "precision" the fraction of made links that are true.

    PYTHONPATH=build/<dir> python bench/bench_link.py            # everything
    PYTHONPATH=build/<dir> python bench/bench_link.py --quick    # smaller sizes

Timings are wall-clock medians of the repeats, taken in one run; the table prints Markdown.
"""
import os

# Idle OpenBLAS worker threads spin after NumPy calls and would compete with the linkers' own
# workers on a small machine; neither linker uses BLAS.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import multiprocessing as mp  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402

import numpy as np  # noqa: E402

import trakora  # noqa: E402

MAX_DISTANCE = 1.0
MAX_SKIP = 2


def simulate(frames, particles, box, dims, drop=0.05, sigma=0.3, seed=0):
    """Per frame: detection positions and the particle id of each detection."""
    rng = np.random.default_rng(seed)
    pos = rng.uniform(0, box, (particles, dims))
    out = []
    for f in range(frames):
        if f:
            pos += rng.normal(0, sigma * MAX_DISTANCE, pos.shape)
        keep = np.flatnonzero(rng.random(particles) >= drop)
        out.append((pos[keep].copy(), keep))
    return out


def tables_of(sim):
    """Frame tables x, y[, z], id; ids count from 1 across all frames."""
    tables, first = [], 1
    for pos, _ in sim:
        ids = np.arange(first, first + len(pos), dtype=np.float64)
        first += len(pos)
        tables.append(np.column_stack([pos, ids]).astype(np.float32))
    return tables


def true_links(sim):
    """Pairs (id, id) of consecutive detections of the same particle."""
    last, links, first = {}, set(), 1
    for pos, pids in sim:
        ids = range(first, first + len(pos))
        for det, pid in zip(ids, pids):
            if pid in last:
                links.add((last[pid], det))
            last[pid] = det
        first += len(pos)
    return links


def links_of_tracks(matrix, ends):
    ids = np.rint(matrix[:, -1]).astype(np.int64)
    starts = np.concatenate([[0], ends[:-1]]).astype(np.int64)
    made = set()
    for s, e in zip(starts, ends.astype(np.int64)):
        made.update(zip(ids[s:e - 1].tolist(), ids[s + 1:e].tolist()))
    return made


def links_of_trackpy(linked):
    made = set()
    for _, g in linked.sort_values(["particle", "frame"]).groupby("particle"):
        ids = g["det"].to_numpy()
        made.update(zip(ids[:-1].tolist(), ids[1:].tolist()))
    return made


def score(made, truth):
    hit = len(made & truth)
    return hit / max(1, len(truth)), hit / max(1, len(made))


def run_trakora(tables, dims):
    if dims == 2:
        return trakora.rs_link_points(tables, MAX_DISTANCE, MAX_SKIP, 1e8)
    return trakora.rs_link_points_3d(tables, MAX_DISTANCE, MAX_SKIP)


def trackpy_worker(tables, dims, kwargs, queue):
    import pandas as pd
    import trackpy as tp
    tp.quiet()
    cols = ["x", "y", "z"][:dims]
    df = pd.concat([pd.DataFrame({**{c: t[:, k].astype(np.float64) for k, c in enumerate(cols)},
                                  "frame": f, "det": np.rint(t[:, -1]).astype(np.int64)})
                    for f, t in enumerate(tables)], ignore_index=True)
    try:
        start = time.perf_counter()
        linked = tp.link(df, MAX_DISTANCE, memory=MAX_SKIP, pos_columns=cols, **kwargs)
        seconds = time.perf_counter() - start
        queue.put(("ok", seconds, links_of_trackpy(linked)))
    except Exception as e:  # trackpy gives up on oversize subnetworks
        queue.put(("failed", 0.0, f"{type(e).__name__}: {str(e).splitlines()[0][:80]}"))


def run_trackpy(tables, dims, timeout, **kwargs):
    """(status, seconds, links) from a child process, so that a run can be cut off."""
    queue = mp.get_context("fork").Queue()
    child = mp.get_context("fork").Process(target=trackpy_worker, args=(tables, dims, kwargs, queue))
    child.start()
    try:
        result = queue.get(timeout=timeout)
    except Exception:
        result = ("timeout", float(timeout), set())
    child.join(5)
    if child.is_alive():
        child.kill()
    return result


def time_trakora(tables, dims, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        out = run_trakora(tables, dims)
        times.append(time.perf_counter() - start)
    return statistics.median(times), out


def compare(name, frames, particles, box, dims, repeats, tp_repeats, timeout, rows, **tp_kwargs):
    sim = simulate(frames, particles, box, dims)
    tables, truth = tables_of(sim), true_links(sim)
    ours_s, (matrix, ends) = time_trakora(tables, dims, repeats)
    ours_recall, ours_precision = score(links_of_tracks(matrix, ends), truth)
    runs = [run_trackpy(tables, dims, timeout, **tp_kwargs) for _ in range(tp_repeats)]
    status = runs[0][0]
    if status == "ok":
        tp_s = statistics.median(r[1] for r in runs)
        tp_recall, tp_precision = score(runs[0][2], truth)
        tp_text = f"{tp_s:.2f} s | {tp_s / ours_s:.0f}x | {tp_recall:.4f} / {tp_precision:.4f}"
    elif status == "timeout":
        tp_text = f"stopped after {timeout} s | > {timeout / ours_s:.0f}x | -"
    else:
        tp_text = f"fails: {runs[0][2]} | - | -"
    rows.append(f"| {name} | {ours_s:.3f} s | {ours_recall:.4f} / {ours_precision:.4f} | {tp_text} |")


def vm_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def peak_memory_child(frames, particles):
    """Runs in a fresh interpreter: prints input, output and peak bytes of one call."""
    box = 100.0 * np.sqrt(particles / 1000)
    rng = np.random.default_rng(1)
    pos = rng.uniform(0, box, (particles, 2))
    tables = []
    for f in range(frames):
        pos += rng.normal(0, 0.3, pos.shape)
        keep = rng.random(particles) >= 0.05
        tables.append(np.column_stack([pos[keep], np.ones(keep.sum())]).astype(np.float32))
    del pos, keep
    inputs = sum(t.nbytes for t in tables)
    # Reset the kernel's peak-RSS mark, so that VmHWM afterwards is the call's own peak.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = vm_kib("VmRSS")
    start = time.perf_counter()
    matrix, ends = trakora.rs_link_points(tables, MAX_DISTANCE, MAX_SKIP, 2.0)
    seconds = time.perf_counter() - start
    peak = vm_kib("VmHWM")
    outputs = matrix.nbytes + ends.nbytes
    print(inputs, outputs, before, peak, seconds)


def memory_row(frames, particles, rows):
    here = os.path.dirname(os.path.abspath(__file__))
    code = (f"import sys; sys.path.insert(0, {here!r}); import bench_link; "
            f"bench_link.peak_memory_child({frames}, {particles})")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.split()
    inputs, outputs, before, peak = map(int, out[:4])
    seconds = float(out[4])
    extra = peak - before
    mib = lambda b: b / 2**20
    rows.append(f"| {frames} x {particles} | {seconds:.2f} s | {mib(inputs):.0f} MiB | {mib(outputs):.0f} MiB | "
                f"{mib(extra):.0f} MiB | {extra / (inputs + outputs):.2f} | {peak / (inputs + outputs):.2f} |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller sizes, one trackpy run")
    parser.add_argument("--timeout", type=float, default=600, help="seconds before a trackpy run is stopped")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    scale = 5 if args.quick else 1
    tp_repeats = 1 if args.quick else 3
    rows = ["| scene | trakora | trakora recall / precision | trackpy | speed-up | trackpy recall / precision |",
            "|---|---|---|---|---|---|"]
    frames2, frames3 = 1000 // scale, 500 // scale
    # 1000 particles in a 100 x 100 field: about 0.3 other particles within max_distance.
    compare(f"2D Brownian, {frames2} frames x 1000 points", frames2, 1000, 100.0, 2, 5, tp_repeats,
            args.timeout, rows)
    # 2000 particles in a 30^3 field: again about 0.3 others within max_distance.
    compare(f"3D Brownian, {frames3} frames x 2000 points", frames3, 2000, 30.0, 3, 5, tp_repeats,
            args.timeout, rows)
    # Dense: 1000 particles in 20 x 20, about 8 others within max_distance.
    dense_frames = 100 // scale
    compare(f"2D dense, {dense_frames} frames x 1000 points (trackpy default)", dense_frames, 1000, 20.0, 2, 3, 1,
            args.timeout, rows)
    compare(f"2D dense, {dense_frames} frames x 1000 points (trackpy adaptive_stop 0.1)", dense_frames, 1000, 20.0,
            2, 3, 1, args.timeout, rows, adaptive_stop=0.1, adaptive_step=0.9)
    print("\n".join(rows))
    print()
    mem_rows = ["| frames x points | time | inputs | outputs | peak RSS added by the call | added / (in + out) "
                "| whole process peak / (in + out) |", "|---|---|---|---|---|---|---|"]
    memory_row(1000 // scale, 5000, mem_rows)
    print("\n".join(mem_rows))


if __name__ == "__main__":
    main()
