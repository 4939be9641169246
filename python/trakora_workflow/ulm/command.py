"""`trakora ulm BLOCK...` and `trakora ulm-demo`: the command-line side of the ULM workflow.

Messages from the library name UlmParams fields; here they are re-worded with the option a
user typed before the command prints them as its one `trakora: error:` line.
"""
from __future__ import annotations

import argparse
import math
import sys
import tempfile
from pathlib import Path

from ..errors import ParameterError
from .params import METHODS, UlmParams

__all__ = ["add_parsers", "run"]

OPTION_OF = {
    "wavelength": "--wavelength", "pixel_size": "--pixel-size", "axial_pixel_size": "--axial-pixel-size",
    "frame_rate": "--frame-rate", "svd_cutoff": "--svd-cutoff", "bandpass": "--bandpass",
    "threshold_db": "--threshold-db", "spot_sigma": "--spot-sigma", "method": "--method",
    "crowd_ratio": "--crowd-ratio", "prefilter": "--prefilter", "max_distance": "--max-distance",
    "max_skip": "--max-skip", "min_length": "--min-length", "smooth_span": "--smooth-span", "grid": "--grid",
    "space_unit": "--space-unit", "parquet": "--parquet",
}


def _pair(text: str) -> tuple[float, float]:
    parts = text.replace(" ", "").split(",")
    if len(parts) != 2:
        raise argparse.ArgumentTypeError(f"needs two numbers separated by a comma, got '{text}'")
    try:
        return float(parts[0]), float(parts[1])
    except ValueError:
        raise argparse.ArgumentTypeError(f"needs two numbers separated by a comma, got '{text}'") from None


def _add_processing(p: argparse.ArgumentParser) -> None:
    f = p.add_argument_group("clutter filter")
    f.add_argument("--svd-cutoff", type=int, metavar="K",
                   help="singular vectors removed per block (default: read off the singular values)")
    f.add_argument("--bandpass", type=_pair, metavar="LOW,HIGH", help="temporal band-pass in Hz after the SVD")
    loc = p.add_argument_group("localization")
    loc.add_argument("--threshold-db", type=float, default=12.0,
                     help="candidates reach the block's noise level (median envelope) + this many dB (default: 12)")
    loc.add_argument("--spot-sigma", type=_pair, default=(0.3, 0.6), metavar="AXIAL,LATERAL",
                     help="spot standard deviations in wavelengths; windows reach 2 of them each side "
                          "(default: 0.3,0.6)")
    loc.add_argument("--method", choices=METHODS, default="gaussian",
                     help="Gaussian fit with a width per axis, or radial symmetry (default: gaussian)")
    loc.add_argument("--crowd-ratio", type=float, default=0.5,
                     help="drop a window holding another maximum this bright relative to its own (default: 0.5)")
    loc.add_argument("--prefilter", type=float, default=0.5,
                     help="find candidates on the envelope smoothed by this fraction of the spot widths "
                          "(default: 0.5; 0: off)")
    tr = p.add_argument_group("tracking and maps")
    tr.add_argument("--max-distance", type=float,
                    help="largest step per frame (default: wavelength/2 x 1000 Hz / frame rate, at most a wavelength)")
    tr.add_argument("--max-skip", type=int, default=1, help="frames a track may miss (default: 1)")
    tr.add_argument("--min-length", type=int, help="shortest track in points (default: 10 ms of frames, >= 5)")
    tr.add_argument("--smooth-span", type=int,
                    help="points of the line fit smoothing tracks and giving velocities (default: 5 ms, >= 5)")
    tr.add_argument("--grid", type=float, help="map pixel size (default: wavelength/10)")


def add_parsers(commands) -> None:
    """Add `ulm` and `ulm-demo` to the command's subparsers."""
    from ..cli import add_parquet_option
    ulm = commands.add_parser(
        "ulm", help="ultrasound localization microscopy of IQ blocks",
        description="Clutter-filter IQ blocks (.mat v5/v7.3, .h5, .npy), localize the microbubbles, track "
                    "them and write density, velocity and direction maps.")
    ulm.add_argument("inputs", nargs="+", metavar="BLOCK", help="block files or glob patterns, in natural order")
    ulm.add_argument("--out", type=Path, required=True, help="output directory")
    ulm.add_argument("--wavelength", type=float, required=True, help="ultrasound wavelength, in space units")
    ulm.add_argument("--pixel-size", type=float, help="lateral pixel size (default: stored in the blocks)")
    ulm.add_argument("--axial-pixel-size", type=float, help="depth pixel size (default: stored, else --pixel-size)")
    ulm.add_argument("--frame-rate", type=float, help="frames per second (default: stored in the blocks)")
    ulm.add_argument("--space-unit", default="mm", help="name of the space unit (default: mm)")
    ulm.add_argument("--variable", help="the block's variable (default: its one 3-D array)")
    ulm.add_argument("--dask", metavar="ADDRESS", help="process the blocks on the Dask scheduler at ADDRESS")
    ulm.add_argument("--quiet", action="store_true", help="no per-block lines")
    add_parquet_option(ulm, "localizations and tracks")
    _add_processing(ulm)

    demo = commands.add_parser(
        "ulm-demo", help="simulate an ultrasound recording, run `ulm` on it and print the scores",
        description="Simulate IQ blocks with known truth (vessels, microbubbles, tissue clutter, noise), run "
                    "the ULM workflow on them and print precision, recall, Jaccard, RMSE and speed error.")
    demo.add_argument("--frames", type=int, default=1000, help="frames to simulate (default: 1000)")
    demo.add_argument("--snr", type=float, default=20.0, help="bubble-to-noise ratio in dB (default: 20)")
    demo.add_argument("--seed", type=int, default=1, help="random seed (default: 1)")
    demo.add_argument("--out", type=Path, help="also write the outputs there")
    demo.add_argument("--quiet", action="store_true", help="no per-block lines")
    add_parquet_option(demo, "localizations and tracks")
    _add_processing(demo)


def _params(args, **given) -> UlmParams:
    return UlmParams(svd_cutoff=args.svd_cutoff, bandpass=args.bandpass, threshold_db=args.threshold_db,
                     spot_sigma=tuple(args.spot_sigma), method=args.method, crowd_ratio=args.crowd_ratio,
                     prefilter=args.prefilter, max_distance=args.max_distance, max_skip=args.max_skip,
                     min_length=args.min_length, smooth_span=args.smooth_span, grid=args.grid, **given)


def _progress(paths, quiet):
    if quiet:
        return None

    def report(i, res):
        print(f"{Path(paths[i]).name}: SVD cut-off {res.cutoff}, {len(res.table)} localizations", flush=True)
    return report


def _report(result, out) -> None:
    from ..params import rename_fields
    for note in result.notes:
        print(rename_fields(note, OPTION_OF))
    s = result.summary()
    print(f"{s['frames']} frames in {s['blocks']} blocks: {s['localizations']} localizations "
          f"({s['localizations_per_frame']:.1f} per frame), {s['tracks']} tracks; SVD cut-off "
          f"{sorted(set(s['svd_cutoff']))}")
    if out is not None:
        print(f"outputs in {out}")


def run(args: argparse.Namespace) -> int:
    try:
        return _run_demo(args) if args.command == "ulm-demo" else _run_ulm(args)
    except ParameterError as exc:
        option = OPTION_OF.get(exc.name)
        if option is None or exc.message.startswith("--"):
            raise
        raise ParameterError(exc.name, f"{option} {exc.message}") from None


def _run_ulm(args) -> int:
    from .blocks import expand_inputs
    from .pipeline import run_ulm
    params = _params(args, wavelength=args.wavelength, pixel_size=args.pixel_size,
                     axial_pixel_size=args.axial_pixel_size, frame_rate=args.frame_rate, space_unit=args.space_unit)
    params.check()
    paths = expand_inputs(args.inputs)
    import contextlib
    with contextlib.ExitStack() as stack:
        client = None
        if args.dask:
            from ..distributed import dask_client
            client = stack.enter_context(dask_client(address=args.dask))
        result = run_ulm(paths, params, out=args.out, variable=args.variable, client=client,
                         progress=_progress(paths, args.quiet), parquet=args.parquet)
    _report(result, args.out)
    return 0


def _run_demo(args) -> int:
    from .pipeline import run_ulm
    from .scores import score_ulm
    from .simulate import simulate_ulm, write_blocks
    if args.frames < 10:
        raise ParameterError("frames", f"--frames must be >= 10, got {args.frames}")
    if args.seed < 0:
        raise ParameterError("seed", f"--seed must be >= 0, got {args.seed}")
    wavelength = 0.1
    params = _params(args, wavelength=wavelength)
    params.check()
    print(f"simulating {args.frames} frames of 100 x 120 pixels (wavelength {wavelength} mm, pixel "
          f"wavelength/6, 1000 Hz, SNR {args.snr:g} dB, tissue 30 dB over the bubbles)", flush=True)
    sim = simulate_ulm(frames=args.frames, wavelength=wavelength, snr=args.snr, seed=args.seed)
    with tempfile.TemporaryDirectory(prefix="trakora-ulm-demo-") as tmp:
        paths = write_blocks(sim, tmp, frames_per_block=200, fmt="mat")
        result = run_ulm(paths, params, out=args.out, progress=_progress(paths, args.quiet),
                         extra_summary={"simulation": {"snr_db": args.snr, "seed": args.seed}},
                         parquet=args.parquet)
    _report(result, args.out)
    s = score_ulm(result, sim.truth, wavelength)
    rmse = s["rmse_wavelengths"]
    speed = s["median_abs_speed_error"]
    print(f"precision {s['precision']:.3f}  recall {s['recall']:.3f}  Jaccard {s['jaccard']:.3f}  "
          f"RMSE {'n/a' if rmse is None else f'{rmse:.4f} wavelengths (wavelength/{1 / rmse:.1f})'}")
    print(f"median |speed error| {'n/a' if speed is None else f'{100 * speed:.1f} %'} over "
          f"{s['matched_points']} track points; density map covers "
          f"{100 * s['saturation']['vessel_fraction'][-1]:.0f} % of the vessels")
    return 0
