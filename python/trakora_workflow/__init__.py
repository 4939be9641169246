"""Particle tracking workflow on top of the `trakora` module.

    >>> from trakora_workflow import simulate_recording, track, TrackingParams
    >>> rec = simulate_recording(frames=20, shape=(64, 64))
    >>> result = track(rec.stack, TrackingParams(max_distance=4.0))
    >>> result.table().head()      # track, frame, time, x, y, intensity, speed

Recordings on disk: `track(open_recording("frames/*.png"), TrackingParams(invert=True,
diameter=11))`. x is the column, y the row (and z the plane of a volume); see `pipeline` for
the conventions.
"""
import pkgutil as _pkgutil

# The compiled core (_core) is installed with the package; a source checkout put first on
# sys.path (the tests, the benchmarks) finds it in the installed copy.
__path__ = _pkgutil.extend_path(__path__, __name__)

from .analysis import (Analysis, analyze, compute_drift, ensemble_msd, filter_tracks, fit_power_law, msd,
                       subtract_drift, track_speeds)
from .errors import InputError, OutputError, TrakoraError
from .detect import FrameDetections, Preparation, detect_frame, robust_threshold
from .io import FrameSource, StackError, load_stack, open_recording
from .outdir import OutputDir
from .output import write_outputs
from .pictures import save_density_png, save_msd_png, save_overlay_png, save_speed_png
from .errors import ParameterError
from .params import TrackingParams
from .pipeline import (Links, Rendering, TrackingResult, auto_threshold, check_stack, detect_stack, link_tables,
                       point_speeds, render_tracks, track)
from .scoring import match_points, score
from .simulate import Recording, simulate_recording

__all__ = [
    "Analysis", "OutputDir", "analyze", "compute_drift", "ensemble_msd", "filter_tracks", "fit_power_law",
    "msd", "save_msd_png", "save_overlay_png", "subtract_drift", "track_speeds", "write_outputs",
    "FrameDetections", "FrameSource", "Links", "InputError", "OutputError", "ParameterError", "TrakoraError", "Preparation", "Recording", "Rendering", "StackError",
    "TrackingParams", "TrackingResult", "auto_threshold", "check_stack", "detect_frame",
    "detect_stack", "link_tables", "load_stack", "match_points", "open_recording", "point_speeds",
    "render_tracks", "robust_threshold", "save_density_png",
    "save_speed_png", "score", "simulate_recording", "track",
]
