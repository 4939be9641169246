"""The `trakora` command: `trakora demo` and `trakora run STACK`."""
from __future__ import annotations

import argparse
import contextlib
import sys
import time
from dataclasses import replace
from pathlib import Path

from .pipeline import TrackingParams

METHODS = ("radial_symmetry", "gaussian_fitting")


class _Parser(argparse.ArgumentParser):
    """Reports usage errors on one line (exit status 2)."""

    def error(self, message: str):
        self.exit(2, f"trakora: error: {message}\n")


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be >= 1, got {value}")
    return value


def _add_cluster_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("scaling")
    exclusive = group.add_mutually_exclusive_group()
    exclusive.add_argument("--dask", metavar="ADDRESS", help="detect on the Dask scheduler at ADDRESS")
    exclusive.add_argument("--workers", type=_positive_int, metavar="N",
                           help="detect on a local Dask cluster of N worker processes")
    group.add_argument("--chunk-size", type=_positive_int, metavar="FRAMES",
                       help="frames per Dask task (default: about four tasks per worker)")
    parser.add_argument("--out", type=Path, default=Path("trakora-output"), metavar="DIR",
                        help="output directory (default: %(default)s)")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")


def _add_tracking_options(parser: argparse.ArgumentParser) -> None:
    units = parser.add_argument_group("units (all distances below are in the units of --pixel-size)")
    units.add_argument("--pixel-size", type=float, default=1.0, help="size of a pixel (default: 1)")
    units.add_argument("--z-step", type=float, help="plane spacing of volumes (default: --pixel-size)")
    units.add_argument("--frame-interval", type=float, default=1.0, help="time between frames (default: 1)")
    units.add_argument("--space-unit", default="px", help="name of the space unit (default: px)")
    units.add_argument("--time-unit", default="frame", help="name of the time unit (default: frame)")

    detect = parser.add_argument_group("detection")
    detect.add_argument("--threshold", type=float,
                        help="intensity threshold (default: median + SNR robust standard deviations)")
    detect.add_argument("--snr", type=float, default=6.0, help="SNR of the automatic threshold (default: 6)")
    detect.add_argument("--min-distance", type=float, help="minimum distance between peaks (default: 3 pixels)")
    detect.add_argument("--method", choices=(*METHODS, "none"), default="radial_symmetry",
                        help="sub-pixel localization method (default: radial_symmetry)")
    detect.add_argument("--window-size", type=int, help="localization window, odd >= 3 (default: 7)")
    detect.add_argument("--max-peaks", type=int, help="at most this many peaks per frame")
    detect.add_argument("--correlation-sigmas", type=float, nargs=3, metavar=("SZ", "SY", "SX"),
                        help="volumes: Gaussian template sigmas per axis z, y, x")
    detect.add_argument("--correlation-threshold", type=float,
                        help="volumes: drop peaks whose template correlation is below this")

    link = parser.add_argument_group("linking and rendering")
    link.add_argument("--max-distance", type=float, help="maximum link distance (default: 5 pixels)")
    link.add_argument("--max-skip", type=int, default=1, help="frames a track may skip (default: 1)")
    link.add_argument("--max-intensity-ratio", type=float,
                      help="2D only: largest intensity ratio of linked points (default: no limit)")
    link.add_argument("--render-pixel-size", type=float, help="pixel size of the images (default: --pixel-size)")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="trakora", description="Particle localization and tracking on image stacks.")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    demo = commands.add_parser("demo", help="simulate a recording, track it and score the result",
                               description="Simulate a recording with known ground truth, run the "
                                           "workflow with both localization methods, write the outputs "
                                           "and print the scores.")
    demo.add_argument("--frames", type=_positive_int, default=100, help="frames to simulate (default: 100)")
    demo.add_argument("--size", type=_positive_int, default=160, help="frame edge in pixels (default: 160)")
    demo.add_argument("--seed", type=int, default=1, help="random seed (default: 1)")
    _add_cluster_options(demo)

    run = commands.add_parser("run", help="track the spots of a stack file",
                              description="Track the spots of a stack: .npy or TIFF / OME-TIFF, shaped "
                                          "(frames, rows, columns) or (frames, planes, rows, columns).")
    run.add_argument("stack", type=Path, help="the stack file")
    _add_tracking_options(run)
    _add_cluster_options(run)
    return parser


def params_from_args(args: argparse.Namespace) -> TrackingParams:
    return TrackingParams(
        pixel_size=args.pixel_size, z_step=args.z_step, frame_interval=args.frame_interval,
        threshold=args.threshold, threshold_snr=args.snr, min_distance=args.min_distance,
        localization_method=None if args.method == "none" else args.method,
        window_size=args.window_size, max_num_peaks=args.max_peaks,
        correlation_sigmas=tuple(args.correlation_sigmas) if args.correlation_sigmas else None,
        correlation_threshold=args.correlation_threshold, max_distance=args.max_distance,
        max_skip=args.max_skip, max_intensity_ratio=args.max_intensity_ratio,
        render_pixel_size=args.render_pixel_size, space_unit=args.space_unit, time_unit=args.time_unit)


@contextlib.contextmanager
def _client(args: argparse.Namespace):
    if args.dask or args.workers:
        from .distributed import dask_client
        with dask_client(args.dask, args.workers) as client:
            yield client
    else:
        yield None


def _print_summary(summary: dict, directory: Path) -> None:
    units = summary["units"]
    print(f"{summary['frames']} frames, {summary['detections']} detections, {summary['tracks']} tracks "
          f"(mean length {summary['mean_track_length']:.1f} points), "
          f"median speed {summary['median_speed']:.3g} {units['space']}/{units['time']}")
    print(f"wrote {directory / 'density.png'}, {directory / 'speed.png'}, "
          f"{directory / 'tracks.csv'}, {directory / 'summary.json'}")


def score_table(rows: list[dict]) -> str:
    """The demo's score table in Markdown."""
    lines = ["| method | detections | detection Jaccard | localization RMSE (px) | true links recovered | tracks | time (s) |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        lines.append(f"| {r['method']} | {r['detections']} | {r['jaccard']:.3f} | {r['rmse_px']:.3f} | "
                     f"{r['links_recovered']:.3f} | {r['tracks']} | {r['seconds']:.2f} |")
    return "\n".join(lines)


def run_demo(args: argparse.Namespace) -> int:
    from .output import save_outputs
    from .pipeline import track
    from .scoring import score
    from .simulate import simulate_recording

    recording = simulate_recording(frames=args.frames, shape=(args.size, args.size), seed=args.seed,
                                   n_channels=3, spots_per_channel=10, n_brownian=max(1, args.size // 8),
                                   pixel_size=0.1, frame_interval=0.05)
    base = TrackingParams(pixel_size=recording.pixel_size, frame_interval=recording.frame_interval,
                          max_skip=1, space_unit="µm", time_unit="s")
    print(f"simulated {args.frames} frames of {args.size}x{args.size} pixels, "
          f"{recording.truth['particle'].nunique()} particles, {len(recording.truth)} true spots")
    rows = []
    with _client(args) as client:
        for method in METHODS:
            start = time.perf_counter()
            result = track(recording.stack, replace(base, localization_method=method),
                           progress=not args.quiet, client=client, chunk_size=args.chunk_size)
            seconds = time.perf_counter() - start
            rows.append({"method": method, "seconds": seconds, **score(result, recording.truth)})
            if method == METHODS[0]:
                shown = result
    args.out.mkdir(parents=True, exist_ok=True)
    recording.truth.to_csv(args.out / "ground_truth.csv", index=False)
    summary = save_outputs(shown, args.out, {"scores": rows, "outputs_from_method": METHODS[0]})
    _print_summary(summary, args.out)
    print()
    print(score_table(rows))
    return 0


def run_stack(args: argparse.Namespace) -> int:
    from .io import load_stack
    from .output import save_outputs
    from .pipeline import check_stack, track

    stack = load_stack(args.stack)
    check_stack(stack)
    params = params_from_args(args)
    with _client(args) as client:
        result = track(stack, params, progress=not args.quiet, client=client, chunk_size=args.chunk_size)
    summary = save_outputs(result, args.out, {"input": str(args.stack)})
    _print_summary(summary, args.out)
    return 0


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return run_demo(args) if args.command == "demo" else run_stack(args)
    except (ValueError, RuntimeError, OSError) as exc:
        text = str(exc).strip().splitlines()
        print(f"trakora: error: {text[0] if text else type(exc).__name__}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
