"""Particle tracking workflow on top of the `trakora` module.

    >>> from trakora_workflow import simulate_recording, track, TrackingParams
    >>> rec = simulate_recording(frames=20, shape=(64, 64))
    >>> result = track(rec.stack, TrackingParams(max_distance=4.0))
    >>> result.table().head()      # track, frame, time, x, y, intensity, speed

Recordings on disk: `track(open_recording("frames/*.png"), TrackingParams(invert=True,
diameter=11))`. x is the column, y the row (and z the plane of a volume); see `pipeline` for
the conventions.
"""
from __future__ import annotations

import importlib
import pkgutil as _pkgutil
from typing import TYPE_CHECKING

# The compiled core (_core) is installed with the package; a source checkout put first on
# sys.path (the tests, the benchmarks) finds it in the installed copy.
__path__ = _pkgutil.extend_path(__path__, __name__)

# Names are imported from their modules on first use, so that `python -m trakora_workflow`
# starts (and can report Ctrl-C in one line) before NumPy, pandas and the module load.
_EXPORTS = {
    "analysis": ("Analysis", "analyze", "compute_drift", "ensemble_msd", "filter_tracks", "fit_power_law", "msd",
                 "subtract_drift", "track_speeds"),
    "errors": ("InputError", "OutputError", "ParameterError", "TrakoraError"),
    "detect": ("FrameDetections", "Preparation", "detect_frame", "robust_threshold"),
    "io": ("FrameSource", "StackError", "load_stack", "open_recording"),
    "outdir": ("OutputDir",),
    "output": ("write_outputs",),
    "pictures": ("save_density_png", "save_msd_png", "save_overlay_png", "save_speed_png"),
    "params": ("TrackingParams",),
    "pipeline": ("Links", "Rendering", "TrackingResult", "auto_threshold", "check_stack", "detect_stack",
                 "link_tables", "point_speeds", "render_tracks", "track"),
    "scoring": ("match_points", "score"),
    "simulate": ("Recording", "simulate_recording"),
}
_MODULE_OF = {name: module for module, names in _EXPORTS.items() for name in names}

__all__ = sorted(_MODULE_OF)


def __getattr__(name: str):
    module = _MODULE_OF.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_MODULE_OF))


if TYPE_CHECKING:
    from .analysis import (Analysis, analyze, compute_drift, ensemble_msd, filter_tracks, fit_power_law, msd,
                           subtract_drift, track_speeds)
    from .detect import FrameDetections, Preparation, detect_frame, robust_threshold
    from .errors import InputError, OutputError, ParameterError, TrakoraError
    from .io import FrameSource, StackError, load_stack, open_recording
    from .outdir import OutputDir
    from .output import write_outputs
    from .pictures import save_density_png, save_msd_png, save_overlay_png, save_speed_png
    from .params import TrackingParams
    from .pipeline import (Links, Rendering, TrackingResult, auto_threshold, check_stack, detect_stack,
                           link_tables, point_speeds, render_tracks, track)
    from .scoring import match_points, score
    from .simulate import Recording, simulate_recording
