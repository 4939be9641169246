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
import warnings
from dataclasses import replace
from pathlib import Path

from .errors import ParameterError
from .params import (DECLARED, DEFAULTS, GROUPS, METHODS, TrackingParams, default_words, params_from_values,
                     rename_fields)

MAX_DEMO_BYTES = 2 * 1024**3
MAX_WORKERS = 256
# the demo simulates its recording in these units and runs both methods
DEMO_FIXED = {"pixel_size": 0.1, "frame_interval": 0.05, "space_unit": "µm", "time_unit": "s",
              "localization_method": METHODS[0]}
DEMO_DIFFUSION = 0.15      # pixels² per frame
DEMO_IMAGES_ONLY = ("z_step", "correlation_sigmas", "correlation_threshold")    # the demo's frames are 2D

# field (or keyword) -> the option a user typed, for messages: the TrackingParams options,
# then the command's own
OPTION_OF = {name: d.option for name, d in DECLARED.items()}
OPTION_OF.update({name: "--" + name.replace("_", "-") for name in (
    "channel", "out", "overlay_frame", "frames", "size", "seed", "workers", "chunk_size", "dask", "parquet")})


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


def add_parquet_option(parser, tables: str = "tracks and detections") -> None:
    """--parquet / --no-parquet (neither: automatic), as the optional switches of the
    tracking options are given (`parquet` None, True, False)."""
    from .tables import PARQUET_ROWS
    parser.add_argument("--parquet", dest="parquet", action=argparse.BooleanOptionalAction, default=None,
                        help=f"also write the {tables} as Parquet files (--no-parquet: CSV only) (default: "
                             f"when one of them has more than {PARQUET_ROWS} rows)")


def _add_common_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("scaling")
    exclusive = group.add_mutually_exclusive_group()
    exclusive.add_argument("--dask", metavar="ADDRESS", help="detect on the Dask scheduler at ADDRESS")
    exclusive.add_argument("--workers", type=_positive_int, metavar="N",
                           help=f"detect on a local Dask cluster of N worker processes (at most {MAX_WORKERS})")
    group.add_argument("--chunk-size", type=_positive_int, metavar="FRAMES",
                       help="frames per Dask task (default: about four tasks per worker)")
    parser.add_argument("--out", type=Path, default=Path("trakora-output"), metavar="DIR",
                        help="output directory (default: %(default)s)")
    parser.add_argument("--overlay-frame", type=int, default=0, metavar="F",
                        help="frame drawn under the tracks in overlay.png (default: 0)")
    add_parquet_option(parser)
    parser.add_argument("--quiet", action="store_true", help="no progress bar")


def _option_help(name: str) -> str:
    d = DECLARED[name]
    text = rename_fields(d.help, OPTION_OF)
    if d.kind == "bool":
        if d.optional:
            return f"{text} (default: {rename_fields(default_words(name), OPTION_OF)})"
        return text if not DEFAULTS[name] else f"do not {text}"
    default = DEFAULTS[name] if d.kind in ("str", "choice") and DEFAULTS[name] else default_words(name)
    return f"{text} (default: {rename_fields(default, OPTION_OF)})"


def _add_tracking_options(parser: argparse.ArgumentParser,
                          leave_out: tuple[str, ...] = ()) -> dict[str, argparse._ArgumentGroup]:
    """One option per TrackingParams field (but those left out), from its declaration;
    returns the groups."""
    used = {DECLARED[name].group for name in DECLARED if name not in leave_out}
    groups = {key: parser.add_argument_group(rename_fields(title, OPTION_OF))
              for key, title in GROUPS.items() if key in used}
    for name, d in DECLARED.items():
        if name in leave_out:
            continue
        group = groups[d.group]
        if d.kind == "bool":
            if d.optional:       # --flag / --no-flag, neither: decided from the data
                group.add_argument(d.option, dest=name, action=argparse.BooleanOptionalAction, default=None,
                                   help=_option_help(name))
            else:
                group.add_argument(d.option, dest=name, action="store_false" if DEFAULTS[name] else "store_true",
                                   help=_option_help(name))
            continue
        kw = dict(dest=name, default=DEFAULTS[name], help=_option_help(name),
                  metavar=d.metavar or d.option[2:].upper().replace("-", "_"))
        if d.kind == "choice":
            del kw["metavar"]
            kw["choices"] = d.choices + ((d.none_choice,) if d.none_choice else ())
        elif d.kind == "floats":
            kw.update(type=float, nargs=d.count)
        elif d.kind in ("int", "float"):
            kw["type"] = int if d.kind == "int" else float
        group.add_argument(d.option, **kw)
    return groups


def params_from_args(args: argparse.Namespace, **fixed) -> TrackingParams:
    """The TrackingParams of parsed options and the `fixed` fields (ParameterError naming the
    field)."""
    given = {name: getattr(args, name) for name in DECLARED if name not in fixed and hasattr(args, name)}
    return params_from_values({**given, **fixed})


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
    _add_tracking_options(demo, leave_out=tuple(DEMO_FIXED) + DEMO_IMAGES_ONLY)
    _add_common_options(demo)

    run = commands.add_parser("run", help="track the particles of a recording",
                              description="Track the particles of a recording: a stack file (.npy, TIFF, "
                                          "OME-TIFF) shaped (frames, rows, columns) or (frames, planes, rows, "
                                          "columns), a directory of image files, several image files or a "
                                          "quoted glob pattern ('frames/*.png'); one image per frame, in "
                                          "natural order.")
    run.add_argument("inputs", nargs="+", metavar="INPUT", help="stack file, directory, image files or glob")
    groups = _add_tracking_options(run)
    groups["detection"].add_argument("--channel", type=int, metavar="N",
                                     help="channel N of a multi-channel or colour recording")
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
        print(_option_names(line))
    for line in result.warnings:
        print(f"trakora: warning: {_option_names(line)}", file=sys.stderr)


def _option_names(text: str) -> str:
    """The library's messages name fields in backticks (`max_intensity_ratio`); on the command
    line they name the option (--max-intensity-ratio)."""
    return rename_fields(text, OPTION_OF)


def _print_summary(summary: dict, written: list[str]) -> None:
    def num(value, form):        # the summary holds null for non-finite numbers
        return "n/a" if value is None else format(value, form)

    if summary.get("parquet", {}).get("note"):
        print(_option_names(summary["parquet"]["note"]))

    units = summary["units"]
    space, time_unit = units["space"], units["time"]
    print(f"{summary['frames']} frames, {summary['detections']} detections "
          f"({num(summary['detections_per_frame'], '.1f')} per frame), {summary['tracks']} tracks "
          f"(mean length {num(summary['mean_track_length'], '.1f')} points), "
          f"median point speed {num(summary['median_point_speed'], '.3g')} {space}/{time_unit}")
    msd = summary.get("msd")
    if msd and msd.get("D") is not None and msd.get("n") is not None:
        meaning = "" if summary.get("diffusive", True) else "; not diffusive: D is not meaningful"
        print(f"MSD = A t^n: n = {msd['n']:.3f}, D = A / {2 * len(summary['frame_shape'])} = "
              f"{msd['D']:.4g} {space}²/{time_unit} (over {msd['lags_used']} lags{meaning})")
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


def _check_workers(args: argparse.Namespace) -> None:
    if args.workers is not None and args.workers > MAX_WORKERS:
        raise ParameterError("workers", f"must be at most {MAX_WORKERS}, got {args.workers}")


def _check_overlay_frame(args: argparse.Namespace, frames: int) -> None:
    if not 0 <= args.overlay_frame < frames:
        raise ParameterError("overlay_frame", f"{args.overlay_frame} is outside the recording's frames "
                             f"0 to {frames - 1}")


def _check_demo(args: argparse.Namespace) -> None:
    if args.seed < 0 or args.seed >= 2**63:
        raise ParameterError("seed", f"must be an integer from 0 to 2^63 - 1, got {args.seed}")
    if args.size < 32:
        raise ParameterError("size", f"must be at least 32 pixels, got {args.size}")
    needed = args.frames * args.size * args.size * 4
    if needed > MAX_DEMO_BYTES:
        raise ParameterError("size", f"{args.size} with `frames` {args.frames} needs "
                             f"{needed / 1024**3:.1f} GiB for the simulated recording (limit "
                             f"{MAX_DEMO_BYTES / 1024**3:.0f} GiB); use a smaller `size` or fewer `frames`")
    _check_workers(args)
    _check_overlay_frame(args, args.frames)


def run_demo(args: argparse.Namespace) -> int:
    from .outdir import OutputDir
    from .output import write_outputs
    from .pipeline import track
    from .scoring import score
    from .simulate import simulate_recording

    _check_demo(args)
    base = params_from_args(args, **DEMO_FIXED)
    base.resolve((args.size, args.size), args.frames)        # every parameter checked before any work
    with OutputDir(args.out) as out:
        pixel_size, frame_interval, diffusion = base.pixel_size, base.frame_interval, DEMO_DIFFUSION
        recording = simulate_recording(frames=args.frames, shape=(args.size, args.size), seed=args.seed,
                                       n_channels=3, spots_per_channel=10, n_brownian=max(1, args.size // 8),
                                       diffusion=diffusion, pixel_size=pixel_size, frame_interval=frame_interval)
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
                                                       overlay_frame=args.overlay_frame, parquet=args.parquet)
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
    from .outdir import OutputDir
    from .output import write_outputs
    from .pipeline import track

    params = params_from_args(args)
    _check_workers(args)
    with OutputDir(args.out) as out:
        source = open_recording(args.inputs if len(args.inputs) > 1 else args.inputs[0], channel=args.channel)
        ndim = check_frames(source)
        params.resolve(source.frame_shape, len(source))      # every parameter checked before any work
        _check_overlay_frame(args, len(source))
        if source.note:
            print(source.note)
        print(f"{source.name}: {len(source)} frames of {' x '.join(map(str, source.frame_shape))} "
              f"({'volumes' if ndim == 3 else 'images'}, {source.dtype})")
        with _client(args) as client:
            result = track(source, params, progress=not args.quiet, client=client, chunk_size=args.chunk_size)
        _warn(replace(result, notes=tuple(n for n in result.notes if n != source.note)))
        written = write_outputs(result, out, source, {"input": [str(p) for p in args.inputs]},
                                overlay_frame=args.overlay_frame, parquet=args.parquet)
        summary = out.commit()
    _print_summary(summary, [str(args.out / w) for w in written])
    return 0


def _one_line(exc: BaseException) -> str:
    """The first line of a failure, with the fields it names turned into options."""
    if isinstance(exc, ParameterError):
        text = f"{OPTION_OF.get(exc.name, exc.name)} {exc.message}"
    else:
        text = str(exc)
    lines = text.strip().splitlines()
    return _option_names(lines[0]) if lines else type(exc).__name__


def _on_sigterm(signum, frame):
    raise Terminated()


def _tolerant_output() -> None:
    """Text the stream's encoding cannot hold (a unit's "²" on an ASCII terminal) is written
    escaped rather than failing the run after its outputs were committed."""
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            with contextlib.suppress(ValueError, OSError):
                stream.reconfigure(errors="backslashreplace")


def main(argv: list[str] | None = None) -> int:
    argv_given = argv is not None
    _tolerant_output()
    previous = signal.signal(signal.SIGTERM, _on_sigterm)
    try:
        parser = build_parser()
        argv = list(sys.argv[1:] if argv is None else argv)
        args = parser.parse_args(_join_negative_numbers(argv, _value_options(parser)))
        import numpy as np
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            # NumPy's and Matplotlib's warnings about extreme values would be lines of their
            # own on stderr; the command reports a degraded result in its own warnings
            warnings.simplefilter("ignore")
            if args.command in ("ulm", "ulm-demo"):
                from .ulm.command import run as run_ulm_command
                return run_ulm_command(args)
            return run_demo(args) if args.command == "demo" else run_recording(args)
    except KeyboardInterrupt:
        print("trakora: interrupted", file=sys.stderr)
        if argv_given:
            return 130
        # The process's own command: a Ctrl-C that arrived while a module was being imported
        # can leave the interpreter to end itself by SIGINT on the way out (exit status -2
        # instead of 130); end here, the outputs having been discarded on the way up.
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(130)
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
