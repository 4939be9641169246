"""Clutter filtering of one IQ block: the tissue subspace removed by SVD, an optional
temporal band-pass, then the envelope.

The SVD goes through the frames x frames Gram matrix G = X X^H of the block X (frames x
pixels): its eigenvalues are the squared singular values and its eigenvectors the temporal
singular vectors, so removing the K strongest is X - U_K (U_K^H X). For the usual blocks
(hundreds of frames, tens of thousands of pixels) this is several times cheaper than an SVD
of X itself.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from ..errors import ParameterError

__all__ = ["ClutterResult", "choose_cutoff", "filter_block", "singular_values"]


@dataclass
class ClutterResult:
    envelope: np.ndarray          # frames x depth x lateral, float32
    cutoff: int                   # singular vectors removed
    singular_values: np.ndarray   # all of them, descending


def _gram(x: np.ndarray) -> np.ndarray:
    """X X^H (frames x frames) of a complex64 or float32 frames x pixels matrix."""
    try:
        from scipy.linalg import blas
        if x.dtype == np.complex64:
            g = blas.cherk(1.0, x, trans=0, lower=1)
        else:
            g = blas.ssyrk(1.0, x, trans=0, lower=1)
        g = np.tril(g) + np.tril(g, -1).conj().T
        return g
    except (ImportError, AttributeError, ValueError):
        return x @ x.conj().T


def singular_values(x: np.ndarray) -> np.ndarray:
    """Singular values (descending) of a frames x pixels matrix, from its Gram matrix."""
    import scipy.linalg
    w = scipy.linalg.eigvalsh(_gram(x).astype(np.complex128 if np.iscomplexobj(x) else np.float64))
    return np.sqrt(np.clip(w[::-1], 0, None))


def choose_cutoff(s: np.ndarray, max_fraction: float = 0.25) -> int:
    """The tissue rank read off the singular-value curve: the largest drop between
    consecutive singular values (in dB) among the first `max_fraction` of them. The tissue
    echoes are tens of dB stronger than the blood and noise and occupy the first few
    singular vectors, so the curve falls off a cliff after them."""
    s = np.asarray(s, dtype=np.float64)
    n = len(s)
    if n < 3 or not s[0] > 0:
        return 0
    top = max(2, min(n - 1, int(np.ceil(max_fraction * n))))
    db = 20 * np.log10(np.maximum(s[:top + 1], s[0] * 1e-12))
    drops = db[:-1] - db[1:]
    return int(np.argmax(drops)) + 1


def _top_subspace(x: np.ndarray, rank: int, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    """The `rank` strongest singular values and temporal singular vectors (frames x rank) of
    X (frames x pixels): exactly from the Gram matrix for short blocks, else by a randomized
    range finder (one power iteration, 16 extra probes) whose leading values and vectors
    match the exact ones to working precision when the tissue stands well above the rest."""
    import scipy.linalg
    frames = x.shape[0]
    rank = max(0, min(rank, frames))
    if frames <= 256 or rank + 16 >= frames // 2:
        g = _gram(x).astype(np.complex128 if np.iscomplexobj(x) else np.float64)
        w, u = scipy.linalg.eigh(g, subset_by_index=[frames - rank, frames - 1]) if rank else (np.zeros(0), None)
        order = np.argsort(w)[::-1]
        s = np.sqrt(np.clip(w[order], 0, None))
        return s, (u[:, order].astype(x.dtype) if rank else np.zeros((frames, 0), x.dtype))
    rng = np.random.default_rng(seed)
    probes = rank + 16
    omega = rng.standard_normal((x.shape[1], probes)).astype(x.dtype)
    y = x @ omega
    q, _ = np.linalg.qr(y)
    y = x @ (q.conj().T @ x).conj().T          # X X^H q without a conjugated copy of X
    q, _ = np.linalg.qr(y)
    b = q.conj().T @ x                                   # probes x pixels
    gb = (b @ b.conj().T).astype(np.complex128 if np.iscomplexobj(b) else np.float64)
    w, v = np.linalg.eigh(gb)
    order = np.argsort(w)[::-1][:rank]
    s = np.sqrt(np.clip(w[order], 0, None))
    u = (q.astype(v.dtype) @ v[:, order]).astype(x.dtype)
    return s, u


def filter_block(block: np.ndarray, cutoff: int | None = None, frame_rate: float | None = None,
                 bandpass: tuple[float, float] | None = None, order: int = 4, curve: int = 32) -> ClutterResult:
    """The envelope of a block (frames x depth x lateral) with its K strongest singular
    vectors removed (K = `cutoff`, or `choose_cutoff` of the first `curve` singular values
    when None) and, when `bandpass` = (low, high) in Hz is given, a Butterworth band-pass
    along the frames (forwards and backwards, so without delay). Envelope blocks (real) get
    the same filter. `singular_values` of the result holds the curve the cut-off was read
    from (at least K + 1 values)."""
    frames = block.shape[0]
    x = block.reshape(frames, -1)
    x = x.astype(np.complex64 if np.iscomplexobj(x) else np.float32, copy=False)
    if cutoff is not None and not 0 <= cutoff < frames:
        raise ParameterError("svd_cutoff", f"must be between 0 and the frames per block - 1 ({frames - 1}), "
                             f"got {cutoff}")
    wanted = min(frames, max(curve, (cutoff or 0) + 1))
    s, u = _top_subspace(x, wanted)
    if cutoff is None:
        k = choose_cutoff(s, max_fraction=1.0) if frames > 2 else 0
        k = min(k, max(0, frames // 4))
    else:
        k = int(cutoff)
    if k > 0:
        uk = u[:, :k]
        x = np.subtract(x, uk @ (uk.conj().T @ x), out=np.empty_like(x))
    if bandpass is not None:
        x = _bandpass(x, bandpass, frame_rate, order)
    env = np.abs(x).reshape(block.shape)      # float32 for complex64 and float32 blocks
    return ClutterResult(env, k, s)


def _bandpass(x: np.ndarray, band: tuple[float, float], frame_rate: float | None, order: int) -> np.ndarray:
    import scipy.signal
    low, high = band
    if frame_rate is None or not frame_rate > 0:
        raise ParameterError("frame_rate", "is needed for the band-pass filter")
    nyquist = frame_rate / 2
    if not (0 < low < high < nyquist):
        raise ParameterError("bandpass", f"needs 0 < low < high < {nyquist:g} Hz (half the frame rate), "
                             f"got {low:g}, {high:g}")
    sos = scipy.signal.butter(order, [low, high], btype="bandpass", fs=frame_rate, output="sos")
    padlen = min(x.shape[0] - 1, 3 * (2 * len(sos) + 1))
    return scipy.signal.sosfiltfilt(sos, x, axis=0, padlen=padlen).astype(x.dtype)
