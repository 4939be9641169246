"""Tracks and detections written a chunk of rows at a time: the CSV bytes of the DataFrame
writer, Parquet files holding the same values, names and types, the automatic Parquet choice,
and summary.json listing every file of the run (run, demo, ulm)."""
import contextlib
import io
import json

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.csv as pcsv
import pyarrow.parquet as pq
import pytest

from trakora_workflow import output, simulate_recording, track
from trakora_workflow.cli import main
from trakora_workflow.errors import ParameterError
from trakora_workflow.outdir import OutputDir
from trakora_workflow.output import OUTPUT_NAMES, choose_parquet, write_outputs
from trakora_workflow.pipeline import detection_columns, track_columns
from trakora_workflow.tables import CHUNK_ROWS, PARQUET_ROWS, write_columns, write_csv

SPECIAL = np.array([np.nan, np.inf, -np.inf, -0.0, 0.0, 1e-45, 3.4e38, -1.5, 1 / 3, 1e-7, 123456.789])


def _floats(rng, n, dtype):
    """Values of every kind a table may hold: special values among random ones of all sizes."""
    values = rng.normal(size=n) * 10.0 ** rng.integers(-8, 9, n)
    special = rng.random(n) < 0.2
    values[special] = rng.choice(SPECIAL, int(special.sum()))
    return values.astype(dtype)


def _tracks(rng, n, ndim, with_speed=True):
    """A linker's output of n points and the table the workflow wrote of it before it wrote
    in chunks: track ids repeated over the track lengths, time = frame x interval."""
    lengths = rng.integers(1, 40, n + 1)
    ends = np.cumsum(lengths)
    ends = np.append(ends[ends < n], n).astype(np.int32) if n else np.zeros(0, np.int32)
    matrix = np.column_stack([_floats(rng, n, np.float32) for _ in range(ndim + 1)]).reshape(n, ndim + 1)
    frames = rng.integers(0, 5000, n).astype(np.int64)
    speed = _floats(rng, n, np.float32) if with_speed else None
    columns = track_columns(matrix, ends, frames, ndim, 0.05, speed)
    counts = np.diff(np.concatenate([[0], ends]))
    reference = {"track": np.repeat(np.arange(len(counts)), counts), "frame": frames, "time": frames * 0.05}
    reference.update({name: matrix[:, k] for k, name in enumerate(["x", "y", "z"][:ndim] + ["intensity"])})
    if with_speed:
        reference["speed"] = speed
    return columns, pd.DataFrame(reference)


def _detections(rng, n, ndim):
    """Frame tables of n rows in all, many frames empty, and the table of them as it was built
    from the concatenated tables."""
    cuts = np.sort(rng.integers(0, n + 1, max(1, n // 3)))
    tables = [_floats(rng, (b - a) * (ndim + 1), np.float32).reshape(b - a, ndim + 1)
              for a, b in zip(np.concatenate([[0], cuts]), np.concatenate([cuts, [n]]))]
    stacked = np.concatenate(tables) if n else np.zeros((0, ndim + 1), np.float32)
    reference = {"frame": np.repeat(np.arange(len(tables)), [len(t) for t in tables])}
    reference.update({name: stacked[:, k] for k, name in enumerate(["x", "y", "z"][:ndim] + ["intensity"])})
    return detection_columns(tables, ndim), pd.DataFrame(reference)


TABLES = {
    "2D tracks": lambda rng, n: _tracks(rng, n, 2),
    "3D tracks without speed": lambda rng, n: _tracks(rng, n, 3, with_speed=False),
    "2D detections": lambda rng, n: _detections(rng, n, 2),
    "3D detections": lambda rng, n: _detections(rng, n, 3),
}


def _bits(column: pa.ChunkedArray):
    """A column's null mask and the bit patterns of its values (nulls as zeros)."""
    array = column.combine_chunks()
    values = array.fill_null(0).to_numpy(zero_copy_only=False)
    return array.is_null().to_numpy(zero_copy_only=False), values.view(f"u{values.dtype.itemsize}")


@pytest.mark.parametrize("kind", TABLES)
@pytest.mark.parametrize("rows, chunk_rows", [(0, CHUNK_ROWS), (1, 1), (5000, 7), (5000, 4999), (5000, 5000),
                                              (2 * CHUNK_ROWS + 12345, CHUNK_ROWS)])
def test_the_chunked_writer_writes_the_bytes_of_the_dataframe_writer_and_parquet_the_same_values(
        tmp_path, kind, rows, chunk_rows):
    if rows > CHUNK_ROWS and kind != "2D tracks":
        pytest.skip("one table type at full size is enough")
    columns, reference = TABLES[kind](np.random.default_rng(rows), rows)
    # the DataFrame of the columns is the table as it was built before
    frame = columns.frame()
    assert list(frame.dtypes) == list(reference.dtypes) and columns.rows == len(reference)
    np.testing.assert_array_equal(frame.to_numpy(), reference.to_numpy())
    write_csv(reference, tmp_path / "reference.csv")
    write_columns(columns, tmp_path / "chunked.csv", tmp_path / "chunked.parquet", chunk_rows=chunk_rows)
    assert (tmp_path / "chunked.csv").read_bytes() == (tmp_path / "reference.csv").read_bytes()

    stored = pq.read_table(tmp_path / "chunked.parquet")
    assert stored.schema.names == list(reference.columns) and stored.num_rows == rows
    assert pq.ParquetFile(tmp_path / "chunked.parquet").metadata.num_row_groups == -(-rows // chunk_rows)
    read_back = pcsv.read_csv(tmp_path / "chunked.csv",
                              convert_options=pcsv.ConvertOptions(column_types=stored.schema))
    assert read_back.schema.equals(stored.schema)
    for name in stored.schema.names:
        for got, expected in zip(_bits(stored[name]), _bits(read_back[name])):
            np.testing.assert_array_equal(got, expected, err_msg=name)
    # and as pandas reads it: the DataFrame's names, types and values, NaN where it was NaN
    back = pd.read_parquet(tmp_path / "chunked.parquet")
    assert list(back.dtypes) == list(reference.dtypes)
    for name in reference.columns:
        got, expected = back[name].to_numpy(), reference[name].to_numpy()
        np.testing.assert_array_equal(got.view(f"u{got.itemsize}")[~pd.isna(expected)],
                                      expected.view(f"u{expected.itemsize}")[~pd.isna(expected)], err_msg=name)
        np.testing.assert_array_equal(pd.isna(got), pd.isna(expected), err_msg=name)


@pytest.mark.parametrize("frame_number, chunk_rows", [(0, 2), (8, 2), (8, 1000), (7, 2), (10**6, 3)])
def test_rows_picked_chunk_by_chunk_are_those_of_the_whole_table(frame_number, chunk_rows):
    tables = [np.arange(3 * k, dtype=np.float32).reshape(k, 3) for k in ([3, 0, 5] * 4)]
    columns = detection_columns(tables, 2)
    picked = columns.frame(["frame", "x"], where=lambda chunk: chunk["frame"] == frame_number, chunk_rows=chunk_rows)
    whole = columns.frame()
    expected = whole.loc[whole["frame"] == frame_number, ["frame", "x"]].reset_index(drop=True)
    pd.testing.assert_frame_equal(picked, expected)       # the types too, when no row is picked
    assert len(picked) == (len(tables[frame_number]) if frame_number < len(tables) else 0)


@pytest.mark.parametrize("parquet, rows, written, automatic", [
    (None, PARQUET_ROWS, False, True), (None, PARQUET_ROWS + 1, True, True), (True, 10, True, False),
    (False, 10 * PARQUET_ROWS, False, False), ("yes", 10, True, False), ("no", 10 * PARQUET_ROWS, False, False),
    ("auto", PARQUET_ROWS + 1, True, True)])
def test_parquet_is_written_when_asked_or_above_the_limit_in_any_table(parquet, rows, written, automatic):
    choice = choose_parquet(parquet, {"tracks": 5, "detections": rows}, ("tracks.parquet", "detections.parquet"))
    assert (choice.written, choice.automatic, choice.largest, choice.rows) == (written, automatic, "detections", rows)
    summary = choice.summary()
    assert summary["written"] == written and summary["automatic_above_rows"] == PARQUET_ROWS
    assert (summary["note"] is not None) == (written and automatic)
    if summary["note"]:
        assert "`parquet`" in summary["note"] and "detections.parquet" in summary["note"] and str(rows) in summary["note"]


@pytest.mark.parametrize("value", ["maybe", 1, np.float64(1.0)])
def test_a_parquet_choice_that_is_no_switch_is_refused_naming_it(value):
    with pytest.raises(ParameterError) as caught:
        choose_parquet(value, {"tracks": 1}, ("tracks.parquet",))
    assert caught.value.name == "parquet"


@pytest.fixture(scope="module")
def result():
    rec = simulate_recording(frames=12, shape=(64, 64), n_channels=1, spots_per_channel=4, n_brownian=5, seed=2)
    return rec, track(rec.stack)


@pytest.mark.parametrize("parquet, limit, files", [
    (None, PARQUET_ROWS, False), (True, PARQUET_ROWS, True), (False, 1, False), (None, 1, True)])
def test_write_outputs_lists_every_file_and_writes_parquet_as_chosen(tmp_path, monkeypatch, result, parquet,
                                                                     limit, files):
    rec, res = result
    monkeypatch.setattr(output, "PARQUET_ROWS", limit)
    with OutputDir(tmp_path / "out") as out:
        out.write_csv("ground_truth.csv", rec.truth)
        written = write_outputs(res, out, rec.stack, parquet=parquet)
    directory = tmp_path / "out"
    summary = json.loads((directory / "summary.json").read_text())
    assert summary["outputs"] == ["ground_truth.csv", *written] and written[-1] == "summary.json"
    assert sorted(summary["outputs"]) == sorted(p.name for p in directory.iterdir() if p.name != ".trakora")
    assert set(summary["outputs"]) <= set(OUTPUT_NAMES)
    assert ({"tracks.parquet", "detections.parquet"} <= set(written)) == files
    assert summary["parquet"]["written"] == files and summary["parquet"]["automatic"] == (parquet is None)
    assert (summary["parquet"]["note"] is not None) == (files and parquet is None)
    for name, table in (("tracks", res.table()), ("detections", res.detections())):
        write_csv(table, tmp_path / f"{name}.csv")
        assert (directory / f"{name}.csv").read_bytes() == (tmp_path / f"{name}.csv").read_bytes()
        if files:
            pd.testing.assert_frame_equal(pd.read_parquet(directory / f"{name}.parquet"), table)


def test_the_command_prints_the_automatic_choice_and_lists_the_files(tmp_path, monkeypatch, small_stack):
    monkeypatch.setattr(output, "PARQUET_ROWS", 10)
    for argv, parquet in ((["--no-parquet"], False), ([], True)):
        shown = io.StringIO()
        with contextlib.redirect_stdout(shown), contextlib.redirect_stderr(io.StringIO()):
            assert main(["run", str(small_stack), "--quiet", "--out", str(tmp_path / "out"), *argv]) == 0
        summary = json.loads((tmp_path / "out" / "summary.json").read_text())
        assert ("tracks.parquet" in summary["outputs"]) == parquet
        notes = [line for line in shown.getvalue().splitlines() if line.startswith("automatic --parquet:")]
        assert len(notes) == parquet and (not parquet or "tracks.parquet and detections.parquet" in notes[0])
        wrote = shown.getvalue().splitlines()[-1]
        assert wrote == "wrote " + ", ".join(str(tmp_path / "out" / n) for n in summary["outputs"])


def test_ulm_writes_parquet_when_asked_and_lists_its_files(tmp_path):
    from trakora_workflow.ulm import simulate_ulm, write_blocks
    from trakora_workflow.ulm.outputs import ULM_OUTPUTS
    sim = simulate_ulm(frames=100, wavelength=0.1, seed=3)
    paths = write_blocks(sim, tmp_path / "blocks", frames_per_block=100, fmt="npy")
    args = ["ulm", *map(str, paths), "--wavelength", "0.1", "--pixel-size", str(sim.pixel_size),
            "--frame-rate", str(sim.frame_rate), "--quiet"]
    for extra, parquet in (([], False), (["--parquet"], True)):
        out = tmp_path / f"out{int(parquet)}"
        with contextlib.redirect_stdout(io.StringIO()):
            assert main([*args, "--out", str(out), *extra]) == 0
        summary = json.loads((out / "summary.json").read_text())
        assert summary["outputs"][-1] == "summary.json" and set(summary["outputs"]) <= set(ULM_OUTPUTS)
        assert sorted(summary["outputs"]) == sorted(p.name for p in out.iterdir() if p.name != ".trakora")
        assert summary["parquet"]["written"] == parquet and summary["parquet"]["automatic"] == (not parquet)
        for name in ("localizations", "tracks"):
            assert (out / f"{name}.parquet").exists() == parquet
            if parquet:
                csv = pd.read_csv(out / f"{name}.csv")
                stored = pd.read_parquet(out / f"{name}.parquet")
                assert list(stored.columns) == list(csv.columns) and len(stored) == len(csv) > 0
                # the CSV holds each number's shortest exact form: read back, the same values
                pd.testing.assert_frame_equal(csv.astype(stored.dtypes.to_dict()), stored, check_exact=True)
