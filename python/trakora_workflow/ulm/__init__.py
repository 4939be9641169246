"""Ultrasound localization microscopy: IQ blocks to microbubble tracks and vessel maps.

    >>> from trakora_workflow.ulm import UlmParams, run_ulm
    >>> result = run_ulm("blk*.mat", UlmParams(wavelength=0.1, pixel_size=0.0166667,
    ...                  frame_rate=1000), out="ulm_out")
    >>> result.tracks.head()     # track, frame, time, x, z, vx, vz, speed

`simulate_ulm` makes a recording with known truth and `score_ulm` scores a result against
it. x is lateral (columns), z is depth (rows), both from the first pixel centre.
"""
from .blocks import BlockInfo, BlockSet, open_blocks, read_block
from .clutter import choose_cutoff, filter_block, singular_values
from .params import UlmParams
from .pipeline import Maps, UlmResult, localize_block, localize_envelope, render_maps, run_ulm, smooth_tracks
from .scores import score_localizations, score_speeds, score_ulm
from .simulate import UlmSimulation, Vessel, simulate_ulm, write_blocks, write_matlab_hdf5

__all__ = ["BlockInfo", "BlockSet", "Maps", "UlmParams", "UlmResult", "UlmSimulation", "Vessel", "choose_cutoff",
           "filter_block", "localize_block", "localize_envelope", "open_blocks", "read_block", "render_maps",
           "run_ulm", "score_localizations", "score_speeds", "score_ulm", "simulate_ulm", "singular_values",
           "smooth_tracks", "write_blocks", "write_matlab_hdf5"]
