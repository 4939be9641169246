"""The `trakora` command: `trakora demo` and `trakora run INPUT...`.

Every failure is one line on stderr, `trakora: error: ...`, exit status 1 (2 for usage
errors); Ctrl-C exits 130 and SIGTERM 143 with one line, leaving the outputs of the previous
run in place. Warnings about a degraded result are `trakora: warning: ...` lines.
"""
from __future__ import annotations

import argparse
import contextlib
import logging
import math
import os
import signal
import sys
import time
from dataclasses import replace
from pathlib import Path

from .params import METHODS, ParameterError, TrackingParams

MAX_DEMO_BYTES = 2 * 1024**3


class Terminated(BaseException):
    """SIGTERM arrived; unwinds like KeyboardInterrupt so that temporary outputs are removed."""


class _Parser(argparse.ArgumentParser):
    """Reports usage errors on one line (exit status 2)."""

    def error(self, message: str):
        self.exit(2, f"trakora: error: {message}\n")


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be >= 1, got {value}")
    return value


# option -> TrackingParams field, for messages that name the option a user typed
OPTION_OF = {
    "pixel_size": "--pixel-size", "z_step": "--z-step", "frame_interval": "--frame-interval",
    "diameter": "--diameter", "threshold": "--threshold", "threshold_snr": "--snr",
    "min_distance": "--min-distance", "localization_method": "--method", "window_size": "--window-size",
    "max_num_peaks": "--max-peaks", "correlation_sigmas": "--correlation-sigmas",
    "correlation_threshold": "--correlation-threshold", "max_distance": "--max-distance",
    "max_skip": "--max-skip", "max_intensity_ratio": "--max-intensity-ratio", "min_length": "--min-length",
    "max_lag": "--max-lag", "render_pixel_size": "--render-pixel-size", "max_image_pixels": "--max-image-pixels",
    "invert": "--invert", "preprocess": "--no-preprocess", "drift": "--drift",
}


def _add_common_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("scaling")
    exclusive = group.add_mutually_exclusive_group()
    exclusive.add_argument("--dask", metavar="ADDRESS", help="detect on the Dask scheduler at ADDRESS")
    exclusive.add_argument("--workers", type=_positive_int, metavar="N",
                           help="detect on a local Dask cluster of N worker processes")
    group.add_argument("--chunk-size", type=_positive_int, metavar="FRAMES",
                       help="frames per Dask task (default: about four tasks per worker)")
    parser.add_argument("--out", type=Path, default=Path("trakora-output"), metavar="DIR",
                        help="output directory (default: %(default)s)")
    parser.add_argument("--overlay-frame", type=int, default=0, metavar="F",
                        help="frame drawn under the tracks in overlay.png (default: 0)")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")


def _add_tracking_options(parser: argparse.ArgumentParser) -> None:
    units = parser.add_argument_group("units (all distances below are in the units of --pixel-size)")
    units.add_argument("--pixel-size", type=float, default=1.0, help="size of a pixel (default: 1)")
    units.add_argument("--z-step", type=float, help="plane spacing of volumes (default: --pixel-size)")
    units.add_argument("--frame-interval", type=float, default=1.0, help="time between frames (default: 1)")
    units.add_argument("--space-unit", default="px", help="name of the space unit (default: px)")
    units.add_argument("--time-unit", default="frame", help="name of the time unit (default: frame)")

    detect = parser.add_argument_group("detection")
    detect.add_argument("--diameter", type=int, default=7, metavar="PIXELS",
                        help="apparent particle diameter, odd; sets the defaults of --window-size, "
                             "--min-distance and the band-pass (default: 7)")
    detect.add_argument("--invert", action="store_true", help="dark particles on a light background")
    detect.add_argument("--no-preprocess", dest="preprocess", action="store_false",
                        help="detect on the raw frames (no band-pass); for background-free data")
    detect.add_argument("--channel", type=int, metavar="N", help="channel N of a multi-channel or colour recording")
    detect.add_argument("--threshold", type=float,
                        help="intensity threshold on the prepared frames (default: median + SNR robust "
                             "standard deviations)")
    detect.add_argument("--snr", type=float, default=6.0, help="SNR of the automatic threshold (default: 6)")
    detect.add_argument("--min-distance", type=float,
                        help="minimum distance between peaks (default: (diameter - 1) / 2 pixels)")
    detect.add_argument("--method", choices=("auto", *METHODS, "none"), default="auto",
                        help="sub-pixel localization (default: auto = radial_symmetry for images, "
                             "gaussian_fitting for volumes)")
    detect.add_argument("--window-size", type=int, help="localization window, odd >= 3 (default: --diameter)")
    detect.add_argument("--max-peaks", type=int, help="at most this many peaks per frame")
    detect.add_argument("--correlation-sigmas", type=float, nargs=3, metavar=("SZ", "SY", "SX"),
                        help="volumes: Gaussian template sigmas per axis z, y, x")
    detect.add_argument("--correlation-threshold", type=float,
                        help="volumes: drop peaks whose template correlation is below this")

    link = parser.add_argument_group("linking, analysis and rendering")
    link.add_argument("--max-distance", type=float, help="maximum link distance (default: 5 pixels)")
    link.add_argument("--max-skip", type=int, default=1, help="frames a track may skip (default: 1)")
    link.add_argument("--max-intensity-ratio", type=float,
                      help="2D only: largest intensity ratio of linked points (default: no limit)")
    link.add_argument("--min-length", type=int, metavar="N",
                      help="drop tracks of fewer than N points (default: keep all)")
    link.add_argument("--drift", action="store_true",
                      help="subtract the ensemble drift before the MSD and speed statistics")
    link.add_argument("--max-lag", type=int, metavar="FRAMES",
                      help="largest MSD lag in frames (default: min(100, frames - 1))")
    link.add_argument("--render-pixel-size", type=float, help="pixel size of the images (default: --pixel-size)")
    link.add_argument("--max-image-pixels", type=int, default=2**28,
                      help="largest rendered image, in pixels (default: 2^28)")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="trakora", description="Particle localization and tracking on recordings.")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    demo = commands.add_parser("demo", help="simulate a recording, track it and score the result",
                               description="Simulate a recording with known ground truth, run the "
                                           "workflow with both localization methods, write the outputs "
                                           "and print the scores and the diffusion coefficient.")
    demo.add_argument("--frames", type=_positive_int, default=100, help="frames to simulate (default: 100)")
    demo.add_argument("--size", type=_positive_int, default=160, help="frame edge in pixels (default: 160)")
    demo.add_argument("--seed", type=int, default=1, help="random seed, >= 0 (default: 1)")
    _add_common_options(demo)

    run = commands.add_parser("run", help="track the particles of a recording",
                              description="Track the particles of a recording: a stack file (.npy, TIFF, "
                                          "OME-TIFF) shaped (frames, rows, columns) or (frames, planes, rows, "
                                          "columns), a directory of image files, several image files or a "
                                          "quoted glob pattern ('frames/*.png'); one image per frame, in "
                                          "natural order.")
    run.add_argument("inputs", nargs="+", metavar="INPUT", help="stack file, directory, image files or glob")
    _add_tracking_options(run)
    _add_common_options(run)
    from .ulm.command import add_parsers as _add_ulm_parsers
    _add_ulm_parsers(commands)
    return parser


def _value_options(parser: argparse.ArgumentParser) -> set[str]:
    names = set()
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            for sub in action.choices.values():
                names |= _value_options(sub)
        elif action.option_strings and action.nargs != 0:
            names.update(action.option_strings)
    return names


def _join_negative_numbers(argv: list[str], options: set[str]) -> list[str]:
    """`--threshold -1e30` as `--threshold=-1e30`: argparse takes '-1e30' for an option."""
    out, i = [], 0
    while i < len(argv):
        token = argv[i]
        if token in options and i + 1 < len(argv) and argv[i + 1].startswith("-"):
            try:
                float(argv[i + 1])
            except ValueError:
                pass
            else:
                out.append(f"{token}={argv[i + 1]}")
                i += 2
                continue
        out.append(token)
        i += 1
    return out


def params_from_args(args: argparse.Namespace) -> TrackingParams:
    return TrackingParams(
        pixel_size=args.pixel_size, z_step=args.z_step, frame_interval=args.frame_interval,
        diameter=args.diameter, invert=args.invert, preprocess=args.preprocess,
        threshold=args.threshold, threshold_snr=args.snr, min_distance=args.min_distance,
        localization_method=None if args.method == "none" else args.method,
        window_size=args.window_size, max_num_peaks=args.max_peaks,
        correlation_sigmas=tuple(args.correlation_sigmas) if args.correlation_sigmas else None,
        correlation_threshold=args.correlation_threshold, max_distance=args.max_distance,
        max_skip=args.max_skip, max_intensity_ratio=args.max_intensity_ratio, min_length=args.min_length,
        drift=args.drift, max_lag=args.max_lag, render_pixel_size=args.render_pixel_size,
        max_image_pixels=args.max_image_pixels, space_unit=args.space_unit, time_unit=args.time_unit)


@contextlib.contextmanager
def _client(args: argparse.Namespace):
    if args.dask or args.workers:
        # the command reports a failed cluster in one line of its own; Dask's log records
        # (tracebacks of lost connections, restarted workers) would add lines around it
        os.environ.setdefault("DASK_LOGGING__DISTRIBUTED", "critical")
        from .distributed import _require_distributed, dask_client
        _require_distributed()
        for name in list(logging.root.manager.loggerDict):
            if name == "distributed" or name.startswith("distributed."):
                logging.getLogger(name).setLevel(logging.CRITICAL)
        with dask_client(args.dask, args.workers) as client:
            yield client
    else:
        yield None


def _warn(result) -> None:
    for line in result.notes:
        print(line)
    for line in result.warnings:
        print(f"trakora: warning: {_option_names(line)}", file=sys.stderr)


def _option_names(text: str) -> str:
    """Warnings name fields (max_intensity_ratio); on the command line, name the option."""
    for name, option in OPTION_OF.items():
        if text.startswith(name + " applies"):
            return option + text[len(name):]
    return text


def _print_summary(summary: dict, written: list[str]) -> None:
    def num(value, form):        # the summary holds null for non-finite numbers
        return "n/a" if value is None else format(value, form)

    units = summary["units"]
    space, time_unit = units["space"], units["time"]
    print(f"{summary['frames']} frames, {summary['detections']} detections "
          f"({num(summary['detections_per_frame'], '.1f')} per frame), {summary['tracks']} tracks "
          f"(mean length {num(summary['mean_track_length'], '.1f')} points), "
          f"median point speed {num(summary['median_point_speed'], '.3g')} {space}/{time_unit}")
    msd = summary.get("msd")
    if msd and msd.get("D") is not None and msd.get("n") is not None:
        print(f"MSD = A t^n: n = {msd['n']:.3f}, D = A / {2 * len(summary['frame_shape'])} = "
              f"{msd['D']:.4g} {space}²/{time_unit} (over {msd['lags_used']} lags)")
    if summary.get("drift"):
        total = ", ".join(f"{a} {num(v, '.3g')}" for a, v in zip(summary["drift"]["axes"], summary["drift"]["total"]))
        print(f"drift over the recording: {total} {space}")
    print("wrote " + ", ".join(written))


def score_table(rows: list[dict]) -> str:
    """The demo's score table in Markdown."""
    lines = ["| method | detections | detection Jaccard | localization RMSE (px) | true links recovered | "
             "tracks | D (µm²/s) | time (s) |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        d = "n/a" if r.get("D") is None else f"{r['D']:.4f}"
        lines.append(f"| {r['method']} | {r['detections']} | {r['jaccard']:.3f} | {r['rmse_px']:.3f} | "
                     f"{r['links_recovered']:.3f} | {r['tracks']} | {d} | {r['seconds']:.2f} |")
    return "\n".join(lines)


def _check_demo(args: argparse.Namespace) -> None:
    if args.seed < 0 or args.seed >= 2**63:
        raise ParameterError("seed", f"--seed must be an integer from 0 to 2^63 - 1, got {args.seed}")
    if args.size < 32:
        raise ParameterError("size", f"--size must be at least 32 pixels, got {args.size}")
    needed = args.frames * args.size * args.size * 4
    if needed > MAX_DEMO_BYTES:
        raise ParameterError("size", f"--size {args.size} with --frames {args.frames} needs "
                             f"{needed / 1024**3:.1f} GiB for the simulated recording (limit "
                             f"{MAX_DEMO_BYTES / 1024**3:.0f} GiB); use a smaller --size or fewer --frames")


def run_demo(args: argparse.Namespace) -> int:
    from .output import OutputDir, write_outputs
    from .pipeline import track
    from .scoring import score
    from .simulate import simulate_recording

    _check_demo(args)
    with OutputDir(args.out) as out:
        pixel_size, frame_interval, diffusion = 0.1, 0.05, 0.15
        recording = simulate_recording(frames=args.frames, shape=(args.size, args.size), seed=args.seed,
                                       n_channels=3, spots_per_channel=10, n_brownian=max(1, args.size // 8),
                                       diffusion=diffusion, pixel_size=pixel_size, frame_interval=frame_interval)
        base = TrackingParams(pixel_size=pixel_size, frame_interval=frame_interval, max_skip=1,
                              space_unit="µm", time_unit="s")
        true_d = diffusion * pixel_size**2 / frame_interval
        print(f"simulated {args.frames} frames of {args.size}x{args.size} pixels, "
              f"{recording.truth['particle'].nunique()} particles, {len(recording.truth)} true spots")
        rows = []
        with _client(args) as client:
            for method in METHODS:
                start = time.perf_counter()
                result = track(recording.stack, replace(base, localization_method=method),
                               progress=not args.quiet, client=client, chunk_size=args.chunk_size)
                seconds = time.perf_counter() - start
                d = _brownian_d(result, recording)
                rows.append({"method": method, "seconds": seconds, "D": d, **score(result, recording.truth)})
                if method == METHODS[0]:
                    shown = result
        _warn(shown)
        extra = {"scores": rows, "outputs_from_method": METHODS[0],
                 "brownian_D": {"true": true_d, "measured": rows[0]["D"], "units": "µm²/s"}}
        out.write_csv("ground_truth.csv", recording.truth)
        written = ["ground_truth.csv"] + write_outputs(shown, out, recording.stack, extra,
                                                       overlay_frame=args.overlay_frame)
        summary = out.commit()
    _print_summary(summary, [str(args.out / w) for w in written])
    print()
    print(score_table(rows))
    measured = rows[0]["D"]
    print(f"\nBrownian particles: D = {measured:.4f} µm²/s measured from their tracks "
          f"(radial_symmetry), {true_d:.4f} µm²/s true" if measured is not None else
          "\nBrownian particles: too few tracks to measure D")
    return 0


def _brownian_d(result, recording) -> float | None:
    """D of the tracks that follow the simulation's Brownian particles (each track is given
    to the particle nearest its first point)."""
    import numpy as np

    from .analysis import ensemble_msd, fit_power_law
    table = result.table()
    truth = recording.truth
    brownian = truth[truth["kind"] == "brownian"]
    if table.empty or brownian.empty:
        return None
    px = result.params.pixel_size
    firsts = table.groupby("track").first()
    keep = []
    by_frame = dict(tuple(brownian.groupby("frame")))
    for track_id, row in firsts.iterrows():     # one lookup per track, not per point
        spots = by_frame.get(int(row["frame"]))
        if spots is None:
            continue
        d = np.hypot(spots["x"] * px - row["x"], spots["y"] * px - row["y"])
        if d.min() < 0.5 * px:
            keep.append(track_id)
    tracks = table[table["track"].isin(keep)]
    if tracks.empty:
        return None
    emsd = ensemble_msd(tracks, 10, result.params.frame_interval)
    d = fit_power_law(emsd, 2, 10)["D"]
    return float(d) if d is not None and math.isfinite(d) else None


def run_recording(args: argparse.Namespace) -> int:
    from .io import check_frames, open_recording
    from .output import OutputDir, write_outputs
    from .pipeline import track

    params = params_from_args(args)
    params.check()
    with OutputDir(args.out) as out:
        source = open_recording(args.inputs if len(args.inputs) > 1 else args.inputs[0], channel=args.channel)
        ndim = check_frames(source)
        params.resolve(source.frame_shape)        # every parameter checked before any work
        if not 0 <= args.overlay_frame < len(source):
            raise ParameterError("overlay_frame", f"--overlay-frame {args.overlay_frame} is outside the "
                                 f"recording's frames 0 to {len(source) - 1}")
        if source.note:
            print(source.note)
        print(f"{source.name}: {len(source)} frames of {' x '.join(map(str, source.frame_shape))} "
              f"({'volumes' if ndim == 3 else 'images'}, {source.dtype})")
        with _client(args) as client:
            result = track(source, params, progress=not args.quiet, client=client, chunk_size=args.chunk_size)
        _warn(replace(result, notes=()))
        written = write_outputs(result, out, source, {"input": [str(p) for p in args.inputs]},
                                overlay_frame=args.overlay_frame)
        summary = out.commit()
    _print_summary(summary, [str(args.out / w) for w in written])
    return 0


def _one_line(exc: BaseException) -> str:
    if isinstance(exc, ParameterError):
        option = OPTION_OF.get(exc.name)
        if exc.message.startswith("--"):
            return exc.message
        return f"{option} {exc.message}" if option else str(exc)
    text = str(exc).strip().splitlines()
    return text[0] if text else type(exc).__name__


def _on_sigterm(signum, frame):
    raise Terminated()


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    argv = list(sys.argv[1:] if argv is None else argv)
    args = parser.parse_args(_join_negative_numbers(argv, _value_options(parser)))
    previous = signal.signal(signal.SIGTERM, _on_sigterm)
    try:
        if args.command in ("ulm", "ulm-demo"):
            from .ulm.command import run as run_ulm_command
            return run_ulm_command(args)
        return run_demo(args) if args.command == "demo" else run_recording(args)
    except KeyboardInterrupt:
        print("trakora: interrupted", file=sys.stderr)
        return 130
    except Terminated:
        print("trakora: terminated", file=sys.stderr)
        return 143
    except (ValueError, RuntimeError, OSError, MemoryError, OverflowError) as exc:
        print(f"trakora: error: {_one_line(exc)}", file=sys.stderr)
        return 1
    except Exception as exc:   # a failure we did not foresee: still one line, with its type
        print(f"trakora: error: unexpected {type(exc).__name__}: {_one_line(exc)}", file=sys.stderr)
        return 1
    finally:
        signal.signal(signal.SIGTERM, previous)


if __name__ == "__main__":
    sys.exit(main())
