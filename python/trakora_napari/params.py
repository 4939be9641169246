"""From the widget's values to the workflow's TrackingParams (plain Python, no Qt)."""
from __future__ import annotations

import dataclasses

METHODS = ("radial_symmetry", "gaussian_fitting", "none")


def param_fields() -> set[str]:
    """The fields of the installed workflow's TrackingParams."""
    from trakora_workflow import TrackingParams
    return {f.name for f in dataclasses.fields(TrackingParams)}


def method_choices() -> tuple[str, ...]:
    """Localization methods to offer: 'auto' first when the workflow has it as its default."""
    from trakora_workflow import TrackingParams
    default = TrackingParams().localization_method
    return (("auto",) if default == "auto" else ()) + METHODS


def make_params(values: dict):
    """TrackingParams from the widget's values.

    `auto_threshold` True means threshold None (chosen from the data); `max_distance` and
    `z_step` of 0 mean their defaults (5 pixels, the pixel size); method 'none' keeps integer
    positions. Values for fields the installed workflow lacks are left out."""
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
    fields = param_fields()
    return TrackingParams(**{k: v for k, v in kw.items() if k in fields})
