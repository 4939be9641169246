"""The napari plugin: layer data of a tracking result (no Qt), the reader, and one headless
viewer run of the dock widget."""
import os
import shutil
import subprocess
import time

import numpy as np
import pytest

from trakora_napari import get_reader, layers_from_result, lazy_frames
from trakora_napari.params import make_params, widget_fields
from trakora_workflow import TrackingParams, simulate_recording, track

WRITE_DOCS = os.environ.get("TRAKORA_WRITE_DOCS_IMAGES") == "1"
SCREENSHOT = os.path.join(os.path.dirname(__file__), os.pardir, "docs", "img", "napari.png")


# Frames are not square, so that swapped row/column axes cannot go unnoticed; the volume has
# planes twice as far apart as pixels, and the density grid is coarser than the frames.
CASES = {
    "2d": (dict(frames=10, shape=(48, 64), n_channels=2, spots_per_channel=4, n_brownian=6, seed=3),
           dict(pixel_size=0.25, frame_interval=0.5, render_pixel_size=0.5)),
    "3d": (dict(frames=6, shape=(12, 40, 48), n_channels=1, n_brownian=8, z_sigma=1.6, seed=2),
           dict(pixel_size=0.5, z_step=1.0, localization_method="gaussian_fitting", render_pixel_size=1.0)),
}


@pytest.fixture(scope="module", params=sorted(CASES))
def tracked(request):
    sim, params = CASES[request.param]
    rec = simulate_recording(**sim)
    return rec, track(rec.stack, TrackingParams(**params))


def test_layers_overlay_the_recording_in_data_pixels(tracked):
    rec, result = tracked
    layers = {kw["name"]: (data, kw) for data, kw, _ in layers_from_result(result, name="rec")}
    assert sorted(layers) == ["rec density", "rec detections", "rec speed", "rec tracks"]
    points, pkw = layers["rec detections"]
    ndim = result.ndim
    axes = ["z", "y", "x"][3 - ndim:]

    # Every true spot away from the edges has a detection within 1 data pixel in its frame.
    truth = rec.truth
    inside = np.ones(len(truth), dtype=bool)
    for axis, n in zip(axes, rec.stack.shape[1:]):
        inside &= truth[axis].between(3, n - 4)
    found = 0
    for frame, spots in truth[inside].groupby("frame"):
        here = points[points[:, 0] == frame, 1:]
        distance = np.linalg.norm(spots[axes].to_numpy()[:, None, :] - here[None], axis=2)
        found += int((distance.min(axis=1) <= 1.0).sum())
    assert found >= 0.8 * inside.sum()

    # The layer scale maps data pixels to the physical positions of the workflow's table.
    table = result.detections()
    world = points * np.asarray(pkw["scale"])
    np.testing.assert_allclose(world, table[["frame", *axes]].to_numpy(), rtol=1e-6, atol=1e-5)
    np.testing.assert_array_equal(pkw["features"]["intensity"], table["intensity"])

    # Tracks: contiguous ids, frames increasing within a track, every point a detection.
    tracks, tkw = layers["rec tracks"]
    assert tkw["scale"] == pkw["scale"] and tkw["color_by"] == "speed"
    ids = tracks[:, 0]
    assert len(tracks) == len(result.table()) and np.all(np.diff(ids) >= 0)
    same = np.diff(ids) == 0
    assert np.all(np.diff(tracks[:, 1])[same] >= 1)
    keys = {tuple(np.round(row, 4)) for row in points}
    assert all(tuple(np.round(row, 4)) in keys for row in tracks[:, 1:])
    speed = result.table()["speed"].to_numpy()
    np.testing.assert_allclose(tkw["features"]["speed"], np.nan_to_num(speed, nan=0.0), rtol=1e-6)

    # The density image covers the frames on its own grid, and peaks where tracks run.
    density, dkw = layers["rec density"]
    size = result.rendering.pixel_size
    assert dkw["scale"] == (size,) * ndim
    spacing = np.asarray(pkw["scale"][1:])
    frame_extent = (np.asarray(rec.stack.shape[1:]) - 1) * spacing
    grid_extent = (np.asarray(density.shape) - 1) * size
    assert np.all(grid_extent + size / 2 >= frame_extent) and np.all(grid_extent <= frame_extent + spacing + size)
    peak = np.asarray(np.unravel_index(np.argmax(density), density.shape)) * size
    track_world = tracks[:, 2:] * spacing
    assert np.linalg.norm(track_world - peak, axis=1).min() <= 1.5 * size * np.sqrt(ndim)


@pytest.mark.parametrize("values, expected", [
    (dict(threshold=None, localization_method="none", max_distance=None, z_step=None),
     dict(threshold=None, localization_method=None, max_distance=None, z_step=None)),
    (dict(threshold=5.0, localization_method="gaussian_fitting", max_distance=2.5, z_step=0.3),
     dict(threshold=5.0, localization_method="gaussian_fitting", max_distance=2.5, z_step=0.3)),
])
def test_widget_values_become_tracking_params(values, expected):
    params = make_params({**values, "pixel_size": 0.1})
    assert params.pixel_size == 0.1
    assert {k: getattr(params, k) for k in expected} == expected


def test_widget_fields_follow_the_declarations():
    """Each widget field is a TrackingParams field with its default, within its bounds; every
    choice (the word for None included) and the defaults make valid parameters."""
    from dataclasses import fields
    declared = {f.name: f for f in fields(TrackingParams)}
    shown = widget_fields()
    assert len(shown) >= 10 and len({f.name for f in shown}) == len(shown)
    words = {None: "auto", True: "yes", False: "no"}       # an optional switch is a choice
    for f in shown:
        default = declared[f.name].default
        optional_switch = declared[f.name].metadata["trakora"].kind == "bool" and f.kind == "choice"
        assert f.name in declared and f.value == (words[default] if optional_switch else default)
        if f.kind in ("int", "float"):
            d = declared[f.name].metadata["trakora"]
            assert f.minimum <= f.start <= f.maximum
            for bound in (f.minimum, f.maximum):
                make_params({f.name: bound})       # the box's ends are valid values
            assert d.high is None or f.maximum <= d.high
        for choice in f.choices:
            make_params({f.name: choice})
    assert make_params({f.name: f.value for f in shown}) == TrackingParams()


def write_recording(tmp_path, kind, stack):
    import imageio.v3 as imageio
    import tifffile
    path = tmp_path / {"npy": "rec.npy", "tif": "rec.tif", "ome": "rec.ome.tif"}.get(kind, "frames")
    if kind == "npy":
        np.save(path, stack)
    elif kind == "tif":
        tifffile.imwrite(path, stack)
    elif kind == "ome":          # stored (z, t, y, x): the reader puts time first
        tifffile.imwrite(path, np.swapaxes(stack, 0, 1), metadata={"axes": "ZTYX"}, ome=True)
    else:                        # a directory of images, or a glob pattern over it
        path.mkdir()
        for f, frame in enumerate(stack):
            imageio.imwrite(path / f"frame_{f}.png", frame)
    return path / "frame_*.png" if kind == "glob" else path


@pytest.mark.parametrize("kind, shape", [("npy", (5, 12, 16)), ("tif", (5, 12, 16)),
                                         ("ome", (5, 3, 12, 16)), ("dir", (11, 12, 16)),
                                         ("glob", (11, 12, 16))])
def test_reader_opens_recordings_lazily_with_time_first(tmp_path, kind, shape):
    stack = np.random.default_rng(0).integers(0, 60000, shape).astype(np.uint16)
    path = write_recording(tmp_path, kind, stack)
    reader = get_reader(str(path))
    assert reader is not None
    (data, kwargs, layer_type), = reader(str(path))
    assert layer_type == "image" and kwargs["name"] in ("rec", "frames")
    assert data.shape == shape and data.chunks[0] == (1,) * shape[0]   # one frame per chunk
    np.testing.assert_array_equal(np.asarray(data[shape[0] - 1]), stack[-1])  # frame_10 after frame_9
    np.testing.assert_array_equal(np.asarray(data), stack)


def test_reader_declines_other_files_and_reads_only_frames_shown(tmp_path):
    assert get_reader(str(tmp_path / "table.csv")) is None
    stack = np.arange(4 * 3 * 5, dtype=np.float32).reshape(4, 3, 5)
    reads = []

    class Source:
        shape, dtype, name = stack.shape, stack.dtype, "counted"

        def __len__(self):
            return len(stack)

        def __getitem__(self, key):
            reads.append(key)
            return stack[key]

    data = lazy_frames(Source())
    np.testing.assert_array_equal(data[2, 1:].compute(), stack[2, 1:])
    frames_read = [list(range(len(stack)))[k] if isinstance(k, slice) else [k] for k in reads]
    assert frames_read == [[2]]


# ---- one headless viewer run -------------------------------------------------------------

def start_xvfb():
    """A private X server that ends with this process."""
    import ctypes
    import signal

    def die_with_parent():
        ctypes.CDLL(None).prctl(1, signal.SIGTERM)    # PR_SET_PDEATHSIG

    read_fd, write_fd = os.pipe()
    subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1600x1000x24", "-nolisten", "tcp"],
                     pass_fds=(write_fd,), preexec_fn=die_with_parent,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    with os.fdopen(read_fd) as pipe:
        number = pipe.readline().strip()
    if not number:
        pytest.skip("Xvfb did not start")
    os.environ["DISPLAY"] = f":{number}"


@pytest.fixture(scope="module")
def viewer():
    if os.environ.get("TRAKORA_SANITIZE") == "1":
        pytest.skip("Qt and OpenGL are not run under AddressSanitizer (the module is tested without them)")
    pytest.importorskip("napari", reason="napari is not installed (pip install '.[napari]')")
    pytest.importorskip("magicgui", reason="magicgui is not installed (pip install '.[napari]')")
    pytest.importorskip("qtpy.QtWidgets", reason="no Qt binding is installed (pip install '.[napari]')")
    # Qt's offscreen platform gets OpenGL for napari's canvas only through an X server, and
    # the canvas it draws there stays black; the screenshot needs a real window (xcb) on Xvfb.
    if shutil.which("Xvfb"):
        start_xvfb()
    elif WRITE_DOCS or not os.environ.get("DISPLAY"):
        pytest.skip("napari's canvas needs OpenGL through an X server: install Xvfb (apt-get install xvfb)")
    os.environ["QT_QPA_PLATFORM"] = "xcb" if WRITE_DOCS else "offscreen"
    import napari
    v = napari.Viewer(show=WRITE_DOCS)
    yield v
    v.close()


def wait_for(widget, worker):
    from qtpy.QtWidgets import QApplication
    assert worker is not None, widget.status.value
    deadline = time.monotonic() + 300     # a guard against a hang, not a timing check
    while widget.worker is not None and time.monotonic() < deadline:
        QApplication.processEvents()
        time.sleep(0.01)
    assert widget.worker is None, "tracking did not finish"


def test_widget_tracks_the_selected_recording(viewer):
    from trakora_napari.widget import TrackingWidget
    frames, shape = (40, (128, 128)) if WRITE_DOCS else (10, (64, 64))
    rec = simulate_recording(frames=frames, shape=shape, seed=1)
    image = viewer.add_image(rec.stack, name="rec")
    widget = TrackingWidget(viewer)
    viewer.window.add_dock_widget(widget, name="trakora")
    assert widget.image.value is image
    assert make_params(widget.values()) == TrackingParams()        # the widget starts at the defaults
    widget.pixel_size.value = 0.5
    wait_for(widget, widget.run())
    names = {layer.name for layer in viewer.layers}
    assert names == {"rec", "rec detections", "rec tracks", "rec density", "rec speed"}, widget.status.value
    assert tuple(image.scale) == (1.0, 0.5, 0.5)
    points, tracks = viewer.layers["rec detections"], viewer.layers["rec tracks"]
    assert "speed" in tracks.features and tracks.color_by == "speed"
    # Detections sit on the true spots in world coordinates.
    world = points.data[points.data[:, 0] == 0, 1:] * 0.5
    truth = rec.truth[rec.truth.frame == 0][["y", "x"]].to_numpy() * 0.5
    assert np.median(np.linalg.norm(truth[:, None] - world[None], axis=2).min(axis=1)) < 0.25

    # A second run replaces the layers; a bad value is refused in one line, before any work.
    widget.max_skip.value = 0
    wait_for(widget, widget.run())
    assert sorted(layer.name for layer in viewer.layers) == sorted(names)
    assert viewer.layers["rec tracks"] is not tracks
    widget.diameter.value = 8
    assert widget.run() is None                 # refused before a worker starts
    from napari.utils.notifications import notification_manager
    message = notification_manager.records[-1].message
    assert message.startswith("trakora: diameter") and "\n" not in message
    assert widget.status.value in message
    assert len(viewer.layers) == len(names)

    if WRITE_DOCS:
        widget.diameter.value, widget.max_skip.value = 7, 1
        wait_for(widget, widget.run())
        from napari._qt.dialogs.qt_notification import NapariQtNotification
        for toast in viewer.window._qt_window.findChildren(NapariQtNotification):
            toast.close()                 # the error of the run above
        viewer.window._qt_window.resize(1500, 950)
        viewer.dims.current_step = (frames - 1, 0, 0)
        viewer.layers.selection.active = viewer.layers["rec tracks"]
        viewer.reset_view()
        viewer.screenshot(SCREENSHOT, canvas_only=False)
