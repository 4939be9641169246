"""Challenge-style movies and the challenge's track scores (alpha, beta, Jaccard indices)."""
import itertools

import numpy as np
import pandas as pd
import pytest
from scipy.optimize import linear_sum_assignment

from trakora_workflow.challenge import (_max_weight_pairs, _spots, challenge_scores, detection_jaccard,
                                        match_frame_points, simulate_challenge)

GATE = 5.0


def tracks(*pieces, column="track"):
    """A track table from (id, frames, x, y) pieces; x and y are scalars or arrays."""
    rows = []
    for ident, frames, x, y in pieces:
        frames = np.asarray(list(frames))
        rows.append(pd.DataFrame({column: ident, "frame": frames,
                                  "x": np.broadcast_to(x, frames.shape).astype(float),
                                  "y": np.broadcast_to(y, frames.shape).astype(float)}))
    if not rows:
        return pd.DataFrame({column: [], "frame": [], "x": [], "y": []})
    return pd.concat(rows, ignore_index=True)


def truth_of(*pieces):
    table = tracks(*pieces, column="particle")
    table["visible"] = True
    return table


def reference_scores(truth, est, gate):
    """alpha and beta written out directly: every pair's distance over the union of frames,
    one dense assignment with a dummy column per true track."""
    true_tracks = {k: g.set_index("frame")[["x", "y"]] for k, g in truth.groupby("particle")}
    est_tracks = {k: g.set_index("frame")[["x", "y"]] for k, g in est.groupby("track")}
    names_t, names_e = list(true_tracks), list(est_tracks)
    cost = np.full((len(names_t), len(names_e) + len(names_t)), 1e18)
    for i, a in enumerate(names_t):
        ta = true_tracks[a]
        cost[i, len(names_e) + i] = gate * len(ta)
        for j, b in enumerate(names_e):
            eb = est_tracks[b]
            total = 0.0
            for f in set(ta.index) | set(eb.index):
                if f in ta.index and f in eb.index:
                    total += min(float(np.hypot(*(ta.loc[f].to_numpy() - eb.loc[f].to_numpy()))), gate)
                else:
                    total += gate
            cost[i, j] = total
    rows, cols = linear_sum_assignment(cost)
    d_xy = cost[rows, cols].sum()
    d_empty = gate * len(truth)
    # a pair that costs what the dummy track costs (far in every shared frame) is a tie:
    # the estimated track counts as unpaired
    paired = {c for r, c in zip(rows, cols)
              if c < len(names_e) and cost[r, c] < cost[r, len(names_e) + r] - 1e-9}
    spurious = gate * sum(len(est_tracks[b]) for j, b in enumerate(names_e) if j not in paired)
    return 1 - d_xy / d_empty, (d_empty - d_xy) / (d_empty + spurious)


TEN = range(10)


@pytest.mark.parametrize("est, alpha, beta, jaccard_tracks", [
    # the same track: a perfect score
    (tracks((7, TEN, np.arange(10.0), 3.0)), 1.0, 1.0, 1.0),
    # nothing found
    (tracks(), 0.0, 0.0, 0.0),
    # 3 px off in every frame: 10 * 3 against 10 * 5
    (tracks((0, TEN, np.arange(10.0) + 3.0, 3.0)), 0.4, 0.4, 1.0),
    # as far as the gate or further: no better than nothing, left unpaired
    (tracks((0, TEN, np.arange(10.0) + 5.0, 3.0)), 0.0, 0.0, 0.0),
    # half of the track found: five missing points cost the gate each
    (tracks((0, range(5), np.arange(5.0), 3.0)), 0.5, 0.5, 1.0),
    # five extra points in the paired track cost the gate each too
    (tracks((0, range(15), np.arange(15.0), 3.0)), 0.5, 0.5, 1.0),
    # a spurious track far away: alpha keeps 1, beta pays its 10 points
    (tracks((0, TEN, np.arange(10.0), 3.0), (1, TEN, 200.0, 200.0)), 1.0, 0.5, 0.5),
    # a spurious track next to an offset one
    (tracks((0, TEN, np.arange(10.0) + 3.0, 3.0), (1, range(5), 100.0, 3.0)), 0.4, 20 / 75, 0.5),
])
def test_hand_computed_scores(est, alpha, beta, jaccard_tracks):
    truth = truth_of((4, TEN, np.arange(10.0), 3.0))
    s = challenge_scores(truth, est, GATE)
    assert s["alpha"] == pytest.approx(alpha)
    assert s["beta"] == pytest.approx(beta)
    assert s["jaccard_tracks"] == pytest.approx(jaccard_tracks)


def test_identity_swap_costs_alpha_but_not_point_jaccard():
    """Two tracks whose identities are swapped half way: every point is found, half of each
    track is paired wrongly."""
    truth = truth_of((0, TEN, np.arange(10.0), 0.0), (1, TEN, np.arange(10.0), 20.0))
    y1 = np.where(np.arange(10) < 5, 0.0, 20.0)
    est = tracks((0, TEN, np.arange(10.0), y1), (1, TEN, np.arange(10.0), 20.0 - y1))
    s = challenge_scores(truth, est, GATE)
    assert s["alpha"] == pytest.approx(0.5)
    assert s["beta"] == pytest.approx(0.5)
    assert s["jaccard_points"] == pytest.approx(1.0)
    assert s["rmse"] == pytest.approx(0.0)


def test_pairing_is_optimal_not_greedy():
    """True track A at y=0, B at y=3; estimated tracks at y=1 and y=-2. Pairing A with its
    nearest (y=1) first leaves B only y=-2, at the gate: 10 + 50 of 100. The best pairing
    is A with y=-2 and B with y=1: 20 + 20."""
    truth = truth_of((0, TEN, 0.0, 0.0), (1, TEN, 0.0, 3.0))
    est = tracks((0, TEN, 0.0, 1.0), (1, TEN, 0.0, -2.0))
    s = challenge_scores(truth, est, GATE)
    ref_alpha, ref_beta = reference_scores(truth, est, GATE)
    assert s["alpha"] == pytest.approx(0.6) == pytest.approx(ref_alpha)
    assert s["beta"] == pytest.approx(ref_beta)
    assert s["paired_tracks"] == 2


@pytest.mark.parametrize("seed", range(6))
def test_scores_match_a_direct_computation(seed):
    """Random small tracks with gaps, crossings and spurious pieces against the written-out
    definition."""
    rng = np.random.default_rng(seed)
    rows, est_rows = [], []
    for p in range(6):
        start = int(rng.integers(0, 10))
        frames = np.arange(start, start + int(rng.integers(3, 12)))
        frames = frames[rng.random(len(frames)) > 0.15]
        xy = rng.uniform(0, 20, 2) + np.cumsum(rng.normal(0, 1.5, (len(frames), 2)), axis=0)
        rows.append((p, frames, xy[:, 0], xy[:, 1]))
        # estimated: the track cut in two at a random point, noisy, some points lost
        cut = int(rng.integers(0, len(frames) + 1))
        for k, part in enumerate((slice(0, cut), slice(cut, None))):
            keep = rng.random(len(frames[part])) > 0.1
            if keep.any():
                noisy = xy[part][keep] + rng.normal(0, 1.5, (int(keep.sum()), 2))
                est_rows.append((2 * p + k, frames[part][keep], noisy[:, 0], noisy[:, 1]))
    est_rows.append((99, range(3, 9), rng.uniform(0, 20), rng.uniform(0, 20)))
    truth, est = truth_of(*rows), tracks(*est_rows)
    s = challenge_scores(truth, est, GATE)
    alpha, beta = reference_scores(truth, est, GATE)
    assert s["alpha"] == pytest.approx(alpha, abs=1e-9)
    assert s["beta"] == pytest.approx(beta, abs=1e-9)
    assert 0.0 <= s["beta"] <= s["alpha"] <= 1.0


@pytest.mark.parametrize("seed", range(8))
def test_max_weight_pairs_against_brute_force(seed):
    rng = np.random.default_rng(seed)
    n_rows, n_cols = int(rng.integers(1, 6)), int(rng.integers(1, 6))
    mask = rng.random((n_rows, n_cols)) < 0.5
    rows, cols = np.nonzero(mask)
    weight = rng.uniform(0.1, 3.0, len(rows))
    chosen = _max_weight_pairs(rows, cols, weight, n_rows, n_cols)
    assert len(set(rows[chosen])) == len(chosen) == len(set(cols[chosen]))
    best = 0.0
    for subset in itertools.chain.from_iterable(itertools.combinations(range(len(rows)), k)
                                                for k in range(min(n_rows, n_cols) + 1)):
        s = list(subset)
        if len(set(rows[s])) == len(s) == len(set(cols[s])):
            best = max(best, weight[s].sum())
    assert weight[chosen].sum() == pytest.approx(best)


def test_frame_matching_prefers_more_pairs():
    """Found point 0 is closest to true point 0, but two pairs (true 0 with found 1, true 1
    with found 0) beat one close pair; a point of another frame never matches."""
    truth = np.array([[0, 0.0, 0.0], [0, 4.5, 0.0]])
    found = np.array([[0, 0.2, 0.0], [0, -4.5, 0.0], [1, 0.0, 0.0]])
    ti, fi, d = match_frame_points(truth, found, GATE)
    assert sorted(zip(ti.tolist(), fi.tolist())) == [(0, 1), (1, 0)]
    assert sorted(d.tolist()) == pytest.approx([4.3, 4.5])


def test_scores_reject_two_points_of_one_track_in_a_frame():
    truth = truth_of((0, TEN, 0.0, 0.0))
    est = tracks((0, [1, 1, 2], 0.0, 0.0))
    with pytest.raises(ValueError, match="more than one point"):
        challenge_scores(truth, est, GATE)


def test_blinked_points_are_not_scored():
    truth = truth_of((0, TEN, 0.0, 0.0))
    truth.loc[truth["frame"].isin([4, 5]), "visible"] = False
    est = tracks((0, [0, 1, 2, 3, 6, 7, 8, 9], 0.0, 0.0))
    assert challenge_scores(truth, est, GATE)["alpha"] == pytest.approx(1.0)
    assert challenge_scores(truth, est, GATE, visible_only=False)["alpha"] == pytest.approx(0.8)


# --------------------------------------------------------------------------- the simulator

SMALL = dict(frames=30, shape=(128, 128))


def test_spots_match_full_gaussians():
    """Spots drawn on their own windows against every Gaussian evaluated on every pixel,
    centres near the edges and off the grid included."""
    rng = np.random.default_rng(0)
    x = np.r_[rng.uniform(0, 47, 30), 0.0, 47.0, 0.4]
    y = np.r_[rng.uniform(0, 39, 30), 39.0, 0.0, 38.6]
    sigmas = rng.uniform(1.0, 1.5, len(x))
    drawn = _spots((40, 48), x, y, sigmas, 6)
    rows, cols = np.mgrid[0:40, 0:48]
    full = sum(np.exp(-((cols - cx) ** 2 + (rows - cy) ** 2) / (2 * s ** 2)) for cx, cy, s in zip(x, y, sigmas))
    np.testing.assert_allclose(drawn, full, atol=2e-3)
    assert drawn[39, 0] == pytest.approx(full[39, 0]) and drawn[39, 0] >= 1.0


def test_simulation_is_deterministic_by_seed():
    a, ta = simulate_challenge("vesicle", "medium", 2, seed=3, **SMALL)
    b, tb = simulate_challenge("vesicle", "medium", 2, seed=3, **SMALL)
    c, _ = simulate_challenge("vesicle", "medium", 2, seed=4, **SMALL)
    assert a.dtype == np.uint16 and a.shape == (30, 128, 128)
    np.testing.assert_array_equal(a, b)
    pd.testing.assert_frame_equal(ta, tb)
    assert not np.array_equal(a, c)


@pytest.mark.parametrize("snr", [1, 4, 7])
def test_spot_contrast_follows_snr(snr):
    """Background pixels are Poisson with mean and variance `background`; the mean at the
    true centres is background + snr * sqrt(background), less what sub-pixel offsets lose."""
    background = 20.0
    movie, truth = simulate_challenge("receptor", 200, snr, frames=40, shape=(128, 128), background=background,
                                      blink_rate=0.0, sigma=(1.5, 1.5), seed=1)
    far = np.ones(movie.shape, dtype=bool)
    f = truth["frame"].to_numpy()
    r, c = np.rint(truth["y"]).astype(int).to_numpy(), np.rint(truth["x"]).astype(int).to_numpy()
    for dy in range(-8, 9):
        for dx in range(-8, 9):
            far[f, np.clip(r + dy, 0, 127), np.clip(c + dx, 0, 127)] = False
    assert movie[far].mean() == pytest.approx(background, rel=0.02)
    assert movie[far].var() == pytest.approx(background, rel=0.05)
    peak = movie[f, r, c].astype(float).mean() - background
    # the nearest pixel is up to 0.5 px off on each axis: exp(-0.5^2/(2 1.5^2)) ~ 0.95 at worst
    assert 0.88 * snr * np.sqrt(background) < peak < 1.05 * snr * np.sqrt(background)


@pytest.mark.parametrize("motion, low, high", [
    ("receptor", 0.5, 2.5),       # Brownian: median step sqrt(2 ln 2 * 2D), D 0.25-1.5
    ("vesicle", 1.0, 4.5),
    ("microtubule", 4.0, 8.0),
])
def test_motion_speeds(motion, low, high):
    _, truth = simulate_challenge(motion, "low", 4, seed=5, **SMALL)
    truth = truth.sort_values(["particle", "frame"])
    same = (truth["particle"].diff() == 0).to_numpy()
    step = np.hypot(truth["x"].diff(), truth["y"].diff()).to_numpy()[same]
    assert low < np.median(step) < high


def test_directed_motion_keeps_its_heading_and_vesicles_switch():
    def turns(motion):
        _, truth = simulate_challenge(motion, "medium", 4, seed=2, **SMALL)
        truth = truth.sort_values(["particle", "frame"])
        same = (truth["particle"].diff() == 0).to_numpy()
        step = np.column_stack([truth["x"].diff(), truth["y"].diff()])
        ok = same[1:] & same[:-1]
        a, b = step[:-1][ok], step[1:][ok]
        cos = (a * b).sum(1) / (np.linalg.norm(a, axis=1) * np.linalg.norm(b, axis=1))
        return np.median(cos), np.linalg.norm(b, axis=1)
    cos_mt, _ = turns("microtubule")
    cos_rc, _ = turns("receptor")
    _, speeds = turns("vesicle")
    assert cos_mt > 0.95 and abs(cos_rc) < 0.2
    # vesicles have both slow (Brownian) and fast (directed) steps
    assert (speeds < 1.0).mean() > 0.1 and (speeds > 3.0).mean() > 0.1


def test_births_deaths_blinks_and_density():
    frames = 60
    _, truth = simulate_challenge("receptor", "high", 4, frames=frames, shape=(128, 128), seed=7)
    per_frame = truth.groupby("frame").size()
    assert per_frame.mean() == pytest.approx(1000 / 16, rel=0.15)        # high density on 1/16 area
    spans = truth.groupby("particle")["frame"].agg(["min", "max", "count"])
    assert ((spans["max"] - spans["min"] + 1) == spans["count"]).all()   # present without gaps
    assert (spans["min"] > 0).mean() > 0.4 and (spans["max"] < frames - 1).mean() > 0.4
    assert spans["count"].std() > 5                                      # lifetimes vary
    assert truth["x"].between(0, 127).all() and truth["y"].between(0, 127).all()
    # blinks: 1 or 2 hidden frames in a row, about 3 % of starts
    hidden = ~truth["visible"].to_numpy()
    assert 0.02 < hidden.mean() < 0.09
    run = 0
    longest = 0
    same = np.r_[False, truth["particle"].to_numpy()[1:] == truth["particle"].to_numpy()[:-1]]
    for h, s in zip(hidden, same):
        run = run + 1 if h and s else int(h)
        longest = max(longest, run)
    assert longest == 2


def test_simulator_rejects_bad_options():
    for kwargs in ({"motion": "flying"}, {"density": "extreme"}, {"snr": 0}, {"shape": (4, 4)}):
        with pytest.raises(ValueError):
            simulate_challenge(**{"frames": 5, "shape": (32, 32), **kwargs})


def test_trakora_tracks_score_well_and_axes_agree():
    """A clear movie tracked by the workflow scores high; the same tracks with x and y
    exchanged score low (the movie, the truth and the scores agree on the axes)."""
    from trakora_workflow import TrackingParams, track
    movie, truth = simulate_challenge("receptor", "low", 7, frames=30, shape=(128, 128), seed=11)
    table = track(movie, TrackingParams(max_distance=6.0, max_skip=2)).table()
    s = challenge_scores(truth, table)
    assert s["alpha"] > 0.7 and s["jaccard_points"] > 0.8 and s["rmse"] < 0.6
    swapped = table.rename(columns={"x": "y", "y": "x"})
    assert challenge_scores(truth, swapped)["alpha"] < 0.2
    detections = track(movie, TrackingParams(max_distance=6.0, max_skip=2)).detections()
    jaccard, rmse = detection_jaccard(truth, detections)
    assert jaccard > 0.8 and rmse < 0.6


@pytest.mark.parametrize("motion, snr", [("receptor", 4), ("microtubule", 7)])
def test_scores_of_real_tracks_match_a_direct_computation(motion, snr):
    """The workflow's tracks of a small movie (fragments, spurious points, swaps) scored both
    ways."""
    from trakora_workflow import TrackingParams, track
    movie, truth = simulate_challenge(motion, 2500, snr, frames=15, shape=(64, 64), seed=3)
    table = track(movie, TrackingParams(max_distance=6.0, max_skip=2)).table()[["track", "frame", "x", "y"]]
    visible = truth[truth["visible"]]
    s = challenge_scores(truth, table)
    alpha, beta = reference_scores(visible, table, GATE)
    assert 0.05 < s["alpha"] < 0.98
    assert s["alpha"] == pytest.approx(alpha, abs=1e-9)
    assert s["beta"] == pytest.approx(beta, abs=1e-9)
