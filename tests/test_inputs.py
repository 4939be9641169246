"""Inputs read whole and right, or refused in one line naming the file: damaged TIFF stacks,
one axes rule for every container, channels, files given twice or not regular, frames too
large for memory, and the preparation of every number type."""
import os
import threading

import imageio.v3 as iio
import numpy as np
import pytest
import tifffile

from trakora_workflow import (InputError, ParameterError, StackError, TrackingParams, open_recording, score,
                              simulate_recording, track)
from trakora_workflow.detect import preparation
from trakora_workflow import io as trakora_io

from commandline import one_line_error, run_cli


def refused(exc_info, name):
    """The refusal is one line and names the file."""
    text = str(exc_info.value)
    assert "\n" not in text and name in text, text
    return text


# ---- damaged TIFF stacks -------------------------------------------------------------------

def stack20(dtype=np.uint16):
    return np.random.default_rng(0).integers(0, 200, (20, 24, 32)).astype(dtype)


def truncated(path):
    tifffile.imwrite(path, stack20())
    data = path.read_bytes()
    path.write_bytes(data[:len(data) // 2])


def broken_ifd(path):
    tifffile.imwrite(path, stack20())
    with tifffile.TiffFile(path) as tif:
        offset = tif.pages[6].offset
    data = bytearray(path.read_bytes())
    data[offset:offset + 2] = b"\xff\xff"            # the page's tag count: garbage
    path.write_bytes(bytes(data))


def next_ifd_past_end(path):
    tifffile.imwrite(path, stack20())
    with tifffile.TiffFile(path) as tif:
        page = tif.pages[8]
        at = page.offset + 2 + 12 * len(page.tags)   # the offset of the page after it
    data = bytearray(path.read_bytes())
    data[at:at + 4] = (len(data) + 1000).to_bytes(4, "little")
    path.write_bytes(bytes(data))


def odd_page(change):
    def write(path):
        frames = stack20()
        with tifffile.TiffWriter(path) as tif:
            for i, frame in enumerate(frames):
                tif.write(change(frame) if i == 7 else frame, contiguous=False)
    return write


def data_cut_short(path):
    tifffile.imwrite(path, stack20()[0])
    with tifffile.TiffFile(path) as tif:
        end = tif.pages[0].dataoffsets[0] + 10
        assert tif.pages[0].offset < end                   # the page's header before the cut
    path.write_bytes(path.read_bytes()[:end])


@pytest.mark.parametrize("damage, message", [
    (truncated, "'{}'"),
    (broken_ifd, "'{}'"),
    (next_ifd_past_end, "cannot read '{}' whole: invalid page offset"),
    (data_cut_short, "page 0 of '{}' is cut short"),
    (odd_page(lambda f: f[:12]), "page 7 of '{}' has shape (12, 32)"),
    (odd_page(lambda f: f.astype(np.uint8)), "page 7 of '{}' has shape (24, 32), uint8"),
    (odd_page(lambda f: f.astype(np.float32)), "page 7 of '{}' has shape (24, 32), float32"),
    (odd_page(lambda f: np.dstack([f, f, f]).astype(np.uint8)), "page 7 of '{}' has shape (24, 32, 3)"),
])
@pytest.mark.parametrize("headers", ["read directly", "read by tifffile"])
def test_a_damaged_or_mixed_tiff_stack_is_refused_on_opening(tmp_path, monkeypatch, damage, message, headers):
    if headers == "read by tifffile":
        monkeypatch.setattr(trakora_io, "_raw_pages", lambda *args: None)
    path = tmp_path / "stack.tif"
    damage(path)
    with pytest.raises(StackError) as info:
        open_recording(path)
    assert message.format(path) in refused(info, str(path))


@pytest.mark.parametrize("data, options", [
    (stack20(), {}), (stack20(), {"bigtiff": True}), (stack20().astype(">u2"), {}),
    (np.zeros((20, 8, 8, 3), np.uint8), {"photometric": "rgb", "compression": "zlib"}),
])
def test_page_headers_read_directly_agree_with_tifffile(tmp_path, data, options):
    path = tmp_path / "stack.tif"
    tifffile.imwrite(path, data, **options)
    with tifffile.TiffFile(path) as tif:
        pages = [tif.pages[i] for i in range(len(tif.pages))]
        raw = trakora_io._raw_pages(path, tif.tiff, pages[0].offset, path.stat().st_size)
    assert raw is not None and len(raw) == len(pages) == 20
    assert len({key for key, _ in raw}) == 1
    assert [end for _, end in raw] == [max(o + c for o, c in zip(p.dataoffsets, p.databytecounts)) for p in pages]


def test_tifffile_is_heard_whatever_its_logger_is_set_to(tmp_path):
    import logging
    path = tmp_path / "stack.tif"
    truncated(path)
    logger = logging.getLogger("tifffile")
    before = logger.disabled, logger.level, logger.propagate
    logger.disabled, logger.propagate = True, True
    logger.setLevel(logging.CRITICAL)
    try:
        with pytest.raises(StackError, match="invalid page offset"):
            open_recording(path)
        assert (logger.disabled, logger.level, logger.propagate) == (True, logging.CRITICAL, True)
    finally:
        logger.disabled, logger.propagate = before[0], before[2]
        logger.setLevel(before[1])


def test_a_corrupt_compressed_page_is_refused_when_read(tmp_path):
    path = tmp_path / "zlib.tif"
    tifffile.imwrite(path, stack20(), compression="zlib")
    with tifffile.TiffFile(path) as tif:
        start, size = tif.pages[5].dataoffsets[0], tif.pages[5].databytecounts[0]
    data = bytearray(path.read_bytes())
    data[start + 2:start + size] = bytes(size - 2)
    path.write_bytes(bytes(data))
    source = open_recording(path)
    np.testing.assert_array_equal(source[4], stack20()[4])
    with pytest.raises(StackError) as info:
        source[5]
    assert f"frame 5 of '{path}'" in refused(info, str(path))


def test_a_stack_with_a_damaged_header_byte_is_read_whole_or_refused(tmp_path):
    """Any byte of any page header changed: all 20 frames as written, or a refusal."""
    rng = np.random.default_rng(7)
    frames = stack20()
    path = tmp_path / "base.tif"
    tifffile.imwrite(path, frames)
    base = path.read_bytes()
    with tifffile.TiffFile(path) as tif:
        headers = [(p.offset, 2 + 12 * len(p.tags) + 4) for p in tif.pages]
    outcomes = set()
    for _ in range(60):
        start, size = headers[rng.integers(len(headers))]
        at = start + int(rng.integers(size))
        data = bytearray(base)
        data[at] = (data[at] + int(rng.integers(1, 256))) % 256
        damaged = tmp_path / "damaged.tif"
        damaged.write_bytes(bytes(data))
        try:
            source = open_recording(damaged)
            got = np.stack([source[i] for i in range(len(source))])
        except StackError as exc:
            assert str(damaged) in str(exc) and "\n" not in str(exc)
            outcomes.add("refused")
            continue
        np.testing.assert_array_equal(got, frames, err_msg=f"byte {at} changed")
        outcomes.add("read whole")
    assert outcomes == {"refused", "read whole"}


@pytest.mark.parametrize("axes, shape, channel", [
    ("ZTYX", (3, 4, 5, 6), None), ("TZCYX", (4, 3, 2, 5, 6), 1), ("CTYX", (2, 4, 5, 6), 0),
    ("TCZYX", (4, 2, 3, 5, 6), 1),
])
@pytest.mark.parametrize("compression", [None, "zlib"])
def test_declared_tiff_axes_are_put_in_frame_plane_row_column_order(tmp_path, axes, shape, channel, compression):
    data = np.arange(np.prod(shape), dtype=np.uint16).reshape(shape)
    path = tmp_path / "axes.ome.tif"
    tifffile.imwrite(path, data, ome=True, metadata={"axes": axes}, compression=compression)
    want = np.transpose(data, [axes.index(a) for a in "TZCYX" if a in axes])
    if channel is not None:
        want = want[:, :, channel] if "Z" in axes else want[:, channel]
    source = open_recording(path, channel=channel)
    assert source.shape == want.shape
    for f in (0, len(want) - 1):
        np.testing.assert_array_equal(source[f], want[f])


def test_the_command_refuses_a_truncated_stack_naming_it(tmp_path):
    path = tmp_path / "cut.tif"
    truncated(path)
    line = one_line_error(run_cli("run", path, "--out", tmp_path / "out"))
    assert str(path) in line and not (tmp_path / "out" / "summary.json").exists()


# ---- one axes rule for every container -------------------------------------------------------

def containers(data, tmp_path, kind):
    """The same frames (frames first) in each container that can hold them."""
    made = {"array": data, "list": list(data)}
    np.save(tmp_path / "a.npy", data)
    made["npy"] = tmp_path / "a.npy"
    photometric = "rgb" if kind in ("rgb", "rgba") else "minisblack"
    tifffile.imwrite(tmp_path / "contig.tif", data, photometric=photometric)
    made["tiff"] = tmp_path / "contig.tif"
    if kind in ("rgb", "rgba"):
        tifffile.imwrite(tmp_path / "planar.tif", np.moveaxis(data, -1, 1), photometric="rgb",
                         planarconfig="separate")
        made["planar tiff"] = tmp_path / "planar.tif"
        tifffile.imwrite(tmp_path / "hyper.tif", data, imagej=True, photometric="rgb", metadata={"axes": "TYXS"})
        made["imagej tiff"] = tmp_path / "hyper.tif"
    if data.dtype == np.uint8 and kind != "volumes":
        (tmp_path / "png").mkdir()
        for i, frame in enumerate(data):
            iio.imwrite(tmp_path / "png" / f"f{i}.png", frame)
        made["png"] = tmp_path / "png"
    if kind == "volumes":
        tifffile.imwrite(tmp_path / "ome.tif", data, ome=True, metadata={"axes": "TZYX"})
        made["ome tiff"] = tmp_path / "ome.tif"
    return made


RNG = np.random.default_rng(3)
SAME_DATA = {
    "grey": RNG.integers(0, 255, (5, 16, 16), dtype=np.uint8),
    "grey + alpha": RNG.integers(0, 255, (5, 16, 16, 2), dtype=np.uint8),
    "rgb": RNG.integers(0, 255, (5, 16, 16, 3), dtype=np.uint8),
    "rgba": RNG.integers(0, 255, (5, 16, 16, 4), dtype=np.uint8),
    "volumes": RNG.integers(0, 4000, (5, 3, 16, 16), dtype=np.uint16),
    "one sample": RNG.integers(0, 4000, (5, 16, 16, 1), dtype=np.uint16),
}


def expected_frames(data, kind, channel):
    if channel is not None:
        return data[..., channel]
    if kind in ("rgb", "rgba"):
        return data[..., :3].astype(np.float64) @ np.array([0.2125, 0.7154, 0.0721])
    if kind == "grey + alpha":
        return data[..., 0]
    return data[..., 0] if kind == "one sample" else data


@pytest.mark.parametrize("kind, channel", [("grey", None), ("grey + alpha", None), ("grey + alpha", 1),
                                           ("rgb", None), ("rgb", 2), ("rgba", None), ("volumes", None),
                                           ("one sample", None)])
def test_the_same_data_opens_the_same_way_in_every_container(tmp_path, kind, channel):
    data = SAME_DATA[kind]
    want = expected_frames(data, kind, channel)
    opened = {}
    for container, given in containers(data, tmp_path, kind).items():
        source = open_recording(given, channel=channel)
        assert source.shape == want.shape, container
        np.testing.assert_allclose(np.asarray(source[:], np.float64), want, atol=1e-3, err_msg=container)
        opened[container] = (source.dtype, source.note and source.note.split(" of ")[0])
    assert len(set(opened.values())) == 1, opened


def test_a_planar_rgb_stack_is_read_frame_by_frame(tmp_path):
    data = SAME_DATA["rgb"]
    path = tmp_path / "planar.tif"
    tifffile.imwrite(path, np.moveaxis(data, -1, 1), photometric="rgb", planarconfig="separate",
                     compression="zlib")
    source = open_recording(path, channel=1)
    assert source.shape == (5, 16, 16)
    np.testing.assert_array_equal(source[3], data[3, ..., 1])


@pytest.mark.parametrize("bad, message", [
    (np.zeros((16, 16), np.uint16), "'{}' holds uint16 values, unlike the first file"),
    (np.zeros((16, 16, 3), np.uint8), "'{}' has shape (16, 16, 3), unlike the first file"),
])
def test_a_png_unlike_the_others_is_refused_naming_it(tmp_path, bad, message):
    for i in range(4):
        iio.imwrite(tmp_path / f"f{i}.png", np.full((16, 16), 7 * i, np.uint8))
    iio.imwrite(tmp_path / "f2.png", bad)
    with pytest.raises(StackError) as info:
        open_recording(tmp_path)
    assert message.format(tmp_path / "f2.png") in refused(info, "f2.png")


def test_a_sequence_of_tiff_volumes_is_a_recording_of_volumes(tmp_path):
    volumes = np.random.default_rng(2).integers(0, 900, (3, 5, 16, 16)).astype(np.uint16)
    for i, volume in enumerate(volumes):
        tifffile.imwrite(tmp_path / f"t{i}.tif", volume, compression="zlib" if i == 1 else None)
    source = open_recording(tmp_path)
    assert source.shape == volumes.shape
    np.testing.assert_array_equal(source[:], volumes)
    with tifffile.TiffWriter(tmp_path / "t1.tif") as tif:        # now 5 pages of a series each
        for plane in volumes[1]:
            tif.write(plane, contiguous=False)
    with pytest.raises(StackError) as info:
        open_recording(tmp_path)
    assert "written one by one" in refused(info, str(tmp_path / "t1.tif"))


@pytest.mark.parametrize("given, message", [
    ("la", "7 is outside the 2 channels of '{}'"),
    ("grey", "7 is given, but '{}' has one channel"),
])
def test_a_channel_the_data_does_not_have_is_refused(tmp_path, given, message):
    path = tmp_path / "a.png"
    iio.imwrite(path, np.zeros((8, 8, 2) if given == "la" else (8, 8), np.uint8))
    with pytest.raises(ParameterError) as info:
        open_recording(path, channel=7)
    assert info.value.name == "channel" and message.format(path) in info.value.message
    assert "--" not in str(info.value)


def test_an_animation_or_a_cut_npy_is_refused_naming_it(tmp_path):
    iio.imwrite(tmp_path / "one.gif", np.full((16, 16, 3), 9, np.uint8))
    np.testing.assert_allclose(open_recording(tmp_path / "one.gif")[0], np.full((16, 16), 9.0), atol=1e-4)
    iio.imwrite(tmp_path / "anim.gif", np.arange(4, dtype=np.uint8)[:, None, None, None] * np.ones((16, 16, 3), np.uint8))
    np.save(tmp_path / "cut.npy", np.zeros((5, 16, 16), np.float32))
    (tmp_path / "cut.npy").write_bytes((tmp_path / "cut.npy").read_bytes()[:600])
    for name, message in [("anim.gif", "holds 4 images"), ("cut.npy", "cannot read")]:
        with pytest.raises(StackError) as info:
            open_recording(tmp_path / name)
        assert message in refused(info, str(tmp_path / name))


@pytest.mark.parametrize("shape", [(3, 0, 16), (3, 16, 16, 0), (0, 16, 16)])
def test_a_zero_length_axis_is_refused_naming_the_file(tmp_path, shape):
    path = tmp_path / "empty.npy"
    np.save(path, np.zeros(shape, np.float32))
    with pytest.raises(StackError) as info:
        open_recording(path)
    assert "axis of length 0" in refused(info, str(path))


def test_a_frame_too_large_for_memory_is_refused_naming_the_file(tmp_path, monkeypatch):
    path = tmp_path / "large.npy"
    np.save(path, np.zeros((2, 500, 400), np.uint16))
    assert open_recording(path).shape == (2, 500, 400)
    monkeypatch.setattr(trakora_io, "available_memory", lambda: 1_000_000)
    with pytest.raises(StackError) as info:
        open_recording(path)
    assert "500 x 400 pixels of uint16" in refused(info, str(path))
    assert isinstance(info.value, InputError) and info.value.path == str(path)


def test_the_command_refuses_a_frame_larger_than_memory_before_reading_it(tmp_path):
    side = int((trakora_io.available_memory() / 4) ** 0.5) + 1     # 1 byte a pixel, 17 to prepare it
    path = tmp_path / "huge.npy"
    np.lib.format.open_memmap(path, mode="w+", dtype=np.uint8, shape=(1, side, 4 * side))  # sparse
    line = one_line_error(run_cli("run", path, "--out", tmp_path / "out"))
    assert str(path) in line and f"{side} x {4 * side} pixels of uint8" in line and "available" in line


def test_available_memory_is_a_plausible_amount():
    assert 2**24 < trakora_io.available_memory() < 2**50


# ---- paths -----------------------------------------------------------------------------------

def test_a_file_given_twice_is_refused(tmp_path):
    for i in range(3):
        iio.imwrite(tmp_path / f"f{i}.png", np.zeros((8, 8), np.uint8))
    os.link(tmp_path / "f1.png", tmp_path / "copy.png")
    for given in ([tmp_path / "f0.png", tmp_path / "f1.png", tmp_path / "f0.png"],
                  [tmp_path / "f1.png", tmp_path / "copy.png"],
                  [tmp_path / "f1.png", tmp_path]):
        with pytest.raises(StackError) as info:
            open_recording(given)
        assert "given twice" in refused(info, ".png")


def open_within(given, seconds=10):
    outcome = []
    thread = threading.Thread(target=lambda: outcome.append(_try_open(given)), daemon=True)
    thread.start()
    thread.join(seconds)
    assert outcome, f"opening {given} did not return within {seconds} s"
    return outcome[0]


def _try_open(given):
    try:
        return open_recording(given)
    except Exception as exc:
        return exc


@pytest.mark.parametrize("given", ["fifo", "directory", "list"])
def test_a_fifo_named_like_an_image_is_refused_at_once(tmp_path, given):
    iio.imwrite(tmp_path / "a.png", np.zeros((8, 8), np.uint8))
    os.mkfifo(tmp_path / "b.png")
    target = {"fifo": tmp_path / "b.png", "directory": tmp_path,
              "list": [tmp_path / "a.png", tmp_path / "b.png"]}[given]
    exc = open_within(target)
    assert isinstance(exc, StackError) and "b.png' is not a regular file" in str(exc)


def test_the_napari_reader_keeps_the_order_of_a_list_of_files(tmp_path):
    from trakora_napari.reader import read_recording
    names = ["frame_10.png", "frame_2.png", "a.png", "frame_1.png"]
    for i, name in enumerate(names):
        iio.imwrite(tmp_path / name, np.full((8, 8), i, np.uint8))
    (data, _, _), = read_recording([str(tmp_path / n) for n in names])
    np.testing.assert_array_equal(np.asarray(data)[:, 0, 0], [0, 1, 2, 3])


# ---- preparation of every number type --------------------------------------------------------

@pytest.fixture(scope="module")
def dark_spots():
    """Dark spots on an unevenly lit light background, and the values relative to their minimum."""
    recording = simulate_recording(frames=3, shape=(96, 128), n_channels=0, n_brownian=14, dark=True,
                                   illumination=0.6, background=400.0, amplitude=(150.0, 220.0),
                                   spot_sigma=1.8, noise=8.0, seed=2)
    relative = recording.stack.astype(np.float64) - float(recording.stack.min())
    return recording, relative


# (type, scale, offset): stored = offset + scale * relative, rounded for integers (counts, as a
# camera gives); the offsets put the data near the top (or bottom) of the type's range, where
# float32 cannot tell its values apart
TYPES = [
    ("uint8", None, 0), ("int8", None, -128),
    ("uint16", 1, 65535 - 1000), ("int16", 1, 32767 - 1000),
    ("int32", 1, 2**31 - 1 - 1000), ("uint32", 1, 2**32 - 1 - 1000),
    ("int64", 1, 2**62), ("int64", 1, -2**62), ("uint64", 1, 2**63 + 2**62),
    ("float16", 1, 1000.0), ("float32", 1, 1e6), ("float64", 1, 1e12),
]


def stored(relative, dtype, scale, offset):
    dtype = np.dtype(dtype)
    scale = 250.0 / relative.max() if scale is None else scale
    if dtype.kind == "f":
        return (relative * scale + offset).astype(dtype)
    values = np.round(relative * scale).astype(np.int64)
    assert values.max() < 1000
    if dtype.kind == "u":
        return (values.astype(np.uint64) + np.uint64(offset)).astype(dtype)
    return (values + np.int64(offset)).astype(dtype)


@pytest.mark.parametrize("dtype, scale, offset", TYPES)
def test_inverted_positions_are_right_in_every_number_type(dark_spots, dtype, scale, offset):
    recording, relative = dark_spots
    data = stored(relative, dtype, scale, offset)
    assert data.dtype == np.dtype(dtype)
    result = track(data, TrackingParams(invert=True, diameter=9))
    s = score(result, recording.truth)
    found = s["true_positives"] / (s["true_positives"] + s["false_negatives"])
    assert found >= 0.95 and s["rmse_px"] <= 0.3, (dtype, s)
    assert result.unrefined <= 0.05 * s["detections"], (dtype, result.unrefined, s["detections"])


@pytest.mark.parametrize("dtype, scale, offset", TYPES)
def test_inverted_raw_frames_are_the_reference_minus_the_frame(dark_spots, dtype, scale, offset):
    data = stored(dark_spots[1], dtype, scale, offset)
    source = open_recording(data)
    prep = preparation(TrackingParams(invert=True, preprocess=False), source)
    frame = data[1]
    # the difference of the stored values, exactly (Python integers / float64)
    if np.dtype(dtype).kind in "iu":
        want = np.array([int(prep.reference) - int(v) for v in frame.ravel()], np.float64).reshape(frame.shape)
    else:
        want = float(prep.reference) - frame.astype(np.float64)
    got = prep(frame)
    assert got.dtype == np.float32 and want.min() >= 0.0
    np.testing.assert_allclose(got, want, rtol=1e-6, atol=1e-6 * float(np.abs(want).max()) + 1e-9)
