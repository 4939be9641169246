"""Ultrasound localization microscopy: IQ blocks to microbubble tracks and vessel maps.

    >>> from trakora_workflow.ulm import UlmParams, run_ulm
    >>> result = run_ulm("blk*.mat", UlmParams(wavelength=0.1, pixel_size=0.0166667,
    ...                  frame_rate=1000), out="ulm_out")
    >>> result.tracks.head()     # track, frame, time, x, z, vx, vz, speed

`simulate_ulm` makes a recording with known truth and `score_ulm` scores a result against
it. x is lateral (columns), z is depth (rows), both from the first pixel centre.
"""
from __future__ import annotations

import importlib
from typing import TYPE_CHECKING

# Names are imported from their modules on first use: the command's parsers (`ulm.command`,
# `ulm.params`) load without NumPy, pandas or SciPy.
_EXPORTS = {
    "blocks": ("BlockInfo", "BlockSet", "open_blocks", "read_block"),
    "clutter": ("choose_cutoff", "filter_block", "singular_values"),
    "params": ("UlmParams",),
    "pipeline": ("Maps", "UlmResult", "localize_block", "localize_envelope", "render_maps", "run_ulm",
                 "smooth_tracks"),
    "scores": ("score_localizations", "score_speeds", "score_ulm"),
    "simulate": ("UlmSimulation", "Vessel", "simulate_ulm", "write_blocks", "write_matlab_hdf5"),
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
    from .blocks import BlockInfo, BlockSet, open_blocks, read_block
    from .clutter import choose_cutoff, filter_block, singular_values
    from .params import UlmParams
    from .pipeline import Maps, UlmResult, localize_block, localize_envelope, render_maps, run_ulm, smooth_tracks
    from .scores import score_localizations, score_speeds, score_ulm
    from .simulate import UlmSimulation, Vessel, simulate_ulm, write_blocks, write_matlab_hdf5
