"""From the widget's values to the workflow's TrackingParams (plain Python, no Qt)."""
from __future__ import annotations

METHODS = ("auto", "radial_symmetry", "gaussian_fitting", "none")


def make_params(values: dict):
    """TrackingParams from the widget's values.

    `auto_threshold` True means threshold None (chosen from the data); `max_distance` and
    `z_step` of 0 mean their defaults (5 pixels, the pixel size); method 'none' keeps integer
    positions, 'auto' is radial symmetry for images and Gaussian fitting for volumes."""
    from trakora_workflow import TrackingParams
    kw = dict(values)
    if "auto_threshold" in kw:
        auto = kw.pop("auto_threshold")
        kw["threshold"] = None if auto else float(kw.get("threshold", 0.0))
    if "method" in kw:
        method = kw.pop("method")
        kw["localization_method"] = None if method in (None, "none") else method
    for name in ("max_distance", "z_step"):
        if name in kw and not kw[name]:
            kw[name] = None
    return TrackingParams(**kw)
