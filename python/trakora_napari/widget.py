"""The tracking dock widget: workflow parameters over the selected Image layer.

Tracking runs in a worker thread; frames read so far drive a napari progress bar; the
result's layers (see `layers.py`) replace those of the previous run over the same layer.
A failure is shown as one line in a napari notification and in the widget's status line.
"""
from __future__ import annotations

import time
from functools import partial

import numpy as np
from magicgui.widgets import CheckBox, ComboBox, Container, FloatSpinBox, Label, LineEdit, PushButton, SpinBox
from napari.layers import Image
from napari.qt.threading import create_worker
from napari.utils import progress
from napari.utils.notifications import show_error
from qtpy.QtCore import QObject, Signal
from qtpy.QtWidgets import QSizePolicy

from .layers import image_scale, layers_from_result
from .params import METHODS, make_params

LUMINANCE = np.array([0.2125, 0.7154, 0.0721], dtype=np.float32)


def one_line(exc: BaseException) -> str:
    """An exception as one line; the workflow's own errors already name the input or option."""
    text = str(exc).strip()
    first = text.splitlines()[0] if text else ""
    if isinstance(exc, ValueError) and first:
        return first
    return f"{type(exc).__name__}: {first}" if first else type(exc).__name__


def layer_frames(layer):
    """The (t, (z,) y, x) frames of an Image layer, lazily where the layer is lazy; colour
    layers as luminance. Raises ValueError naming the layer when it is not a recording."""
    data = layer.data[0] if layer.multiscale else layer.data
    if layer.rgb:
        import dask.array as da
        data = da.tensordot(da.asarray(data)[..., :3].astype(np.float32), LUMINANCE, axes=([-1], [0]))
    if data.ndim not in (3, 4):
        raise ValueError(f"layer '{layer.name}' has {data.ndim} axes {tuple(data.shape)}; tracking needs "
                         "(t, y, x) or (t, z, y, x): open a recording with several frames")
    return data


def run_tracking(data, params, report):
    """Track in the worker thread, calling report(frames done) as detection goes; returns
    ('ok', result, seconds) or ('error', message)."""
    from trakora_workflow import track
    start = time.perf_counter()
    try:
        result = track(data, params, progress=lambda done, total: report(int(done)))
    except Exception as exc:  # shown to the user as one line, never as a traceback dialog
        return ("error", one_line(exc))
    return ("ok", result, time.perf_counter() - start)


class _Relay(QObject):
    """Carries the count of frames done from the worker thread to the progress bar."""

    advanced = Signal(int)


class TrackingWidget(Container):
    """Detect, link and render the selected recording with the trakora workflow."""

    def __init__(self, napari_viewer):
        super().__init__(labels=True)
        self.viewer = napari_viewer
        self.worker = None
        self.image = ComboBox(label="recording", choices=self._image_layers, nullable=True,
                              tooltip="Image layer to track: (t, y, x) or (t, z, y, x)")
        self.diameter = SpinBox(label="diameter (px)", value=7, min=3, max=1001, step=2,
                                tooltip="Apparent particle size in pixels (odd)")
        self.invert = CheckBox(text="dark particles (invert)", value=False)
        self.preprocess = CheckBox(text="band-pass frames", value=True,
                                   tooltip="Remove pixel noise and the background before detection")
        self.auto_threshold = CheckBox(text="automatic threshold", value=True)
        self.threshold = FloatSpinBox(label="threshold", value=0.0, min=-1e12, max=1e12, step=1.0,
                                      enabled=False, tooltip="Detection threshold in image units")
        self.method = ComboBox(label="localization", choices=METHODS,
                               tooltip="Sub-pixel method; none keeps integer peak positions")
        self.max_distance = FloatSpinBox(label="max distance", value=0.0, min=0.0, max=1e9, step=0.1,
                                         tooltip="Longest link, in space units; 0: 5 pixels")
        self.max_skip = SpinBox(label="max skip", value=1, min=0, max=100000,
                                tooltip="Frames a track may skip")
        self.min_length = SpinBox(label="min length", value=1, min=1, max=10**9,
                                  tooltip="Shortest track kept, in points")
        self.drift = CheckBox(text="subtract drift", value=False)
        self.pixel_size = FloatSpinBox(label="pixel size", value=1.0, min=1e-9, max=1e9, step=0.001)
        self.z_step = FloatSpinBox(label="z step", value=0.0, min=0.0, max=1e9, step=0.001,
                                   tooltip="Plane spacing of volumes; 0: the pixel size")
        self.frame_interval = FloatSpinBox(label="frame interval", value=1.0, min=1e-9, max=1e9, step=0.001)
        self.space_unit = LineEdit(label="space unit", value="px")
        self.time_unit = LineEdit(label="time unit", value="frame")
        self.run_button = PushButton(text="Track")
        self.status = Label(label="status", value="")
        self.status.native.setWordWrap(True)       # long messages wrap; never widen the dock
        self.status.native.setSizePolicy(QSizePolicy.Policy.Ignored, QSizePolicy.Policy.Preferred)
        self.status.native.setMinimumHeight(3 * self.status.native.fontMetrics().lineSpacing())

        self._params = [self.diameter, self.invert, self.preprocess, self.auto_threshold, self.threshold,
                        self.method, self.max_distance, self.max_skip, self.min_length, self.drift,
                        self.pixel_size, self.z_step, self.frame_interval, self.space_unit, self.time_unit]
        self.extend([self.image, *self._params, self.run_button, self.status])

        self.auto_threshold.changed.connect(lambda auto: setattr(self.threshold, "enabled", not auto))
        self.run_button.changed.connect(self.run)
        self.viewer.layers.events.inserted.connect(self.reset_choices)
        self.viewer.layers.events.removed.connect(self.reset_choices)
        self.viewer.layers.selection.events.active.connect(self._follow_selection)
        self.reset_choices()
        self._follow_selection()

    def _image_layers(self, _widget=None):
        return [layer for layer in self.viewer.layers if isinstance(layer, Image) and layer.ndim >= 3
                and layer.metadata.get("source") != "trakora"]     # not our density or speed

    def _follow_selection(self, event=None):
        active = self.viewer.layers.selection.active
        if isinstance(active, Image) and active in self._image_layers():
            self.image.value = active

    def values(self) -> dict:
        """The parameter values, by TrackingParams field (and auto_threshold, method)."""
        return {name: getattr(self, name).value for name in (
            "auto_threshold", "threshold", "method", "max_distance", "max_skip", "pixel_size",
            "z_step", "frame_interval", "space_unit", "time_unit", "diameter", "invert", "preprocess",
            "min_length", "drift")}

    def _fail(self, message: str) -> None:
        self.status.value = message
        show_error(f"trakora: {message}")

    def run(self, _=None):
        """Start tracking the chosen layer; returns the worker, or None when nothing started."""
        if self.worker is not None:
            self._fail("tracking is already running; wait for it to finish")
            return None
        layer = self.image.value
        if layer is None:
            self._fail("no recording chosen: open one (File > Open) and pick it under 'recording'")
            return None
        try:
            params = make_params(self.values())
            data = layer_frames(layer)
        except Exception as exc:
            self._fail(one_line(exc))
            return None
        bar = progress(total=int(data.shape[0]), desc=f"trakora: tracking '{layer.name}'")
        relay = _Relay()

        def advance(done):          # in the main thread
            step = min(done, bar.total) - bar.n
            if step > 0:
                bar.update(step)
        relay.advanced.connect(advance)
        worker = create_worker(run_tracking, data, params, relay.advanced.emit, _start_thread=False)
        worker.returned.connect(partial(self._finish, layer))
        worker.finished.connect(partial(self._done, bar, relay))
        self.worker = worker
        self.run_button.enabled = False
        self.status.value = f"tracking '{layer.name}' ..."
        worker.start()
        return worker

    def _done(self, bar, relay):
        bar.close()
        relay.deleteLater()
        self.worker = None
        self.run_button.enabled = True

    def _finish(self, layer, outcome):
        if outcome[0] == "error":
            self._fail(outcome[1])
            return
        _, result, seconds = outcome
        if layer not in self.viewer.layers:
            self._fail(f"layer '{layer.name}' was removed while it was being tracked")
            return
        scale = image_scale(result.params, result.ndim)
        if tuple(layer.scale) != scale:
            layer.scale = scale
            self.viewer.reset_view()
        for data, kwargs, kind in layers_from_result(result, name=layer.name):
            self._put_layer(data, kwargs, kind)
        self.viewer.layers.selection.active = layer
        summary = result.summary()
        self.status.value = (f"{summary['detections']} detections, {summary['tracks']} tracks "
                             f"in {seconds:.1f} s")

    def _put_layer(self, data, kwargs, kind):
        """Add a layer, replacing the one of the same name in place (keeping its visibility)."""
        name = kwargs["name"]
        index = None
        if name in self.viewer.layers:
            old = self.viewer.layers[name]
            index = self.viewer.layers.index(old)
            kwargs = {**kwargs, "visible": old.visible}
            self.viewer.layers.remove(old)
        new = getattr(self.viewer, f"add_{kind}")(data, **kwargs)
        if index is not None:
            self.viewer.layers.move(self.viewer.layers.index(new), index)
        return new
