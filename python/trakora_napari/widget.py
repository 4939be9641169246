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
from .params import WidgetField, make_params, widget_fields

LUMINANCE = np.array([0.2125, 0.7154, 0.0721], dtype=np.float32)


def one_line(exc: BaseException) -> str:
    """An exception as one line; the workflow's own errors already name the input or field
    (fields in backticks, shown plain here)."""
    from trakora_workflow.params import rename_fields
    text = str(exc).strip()
    first = rename_fields(text.splitlines()[0], {}) if text else ""
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


class OptionalNumber(Container):
    """A number box with an 'auto' box: `value` is None (the data's default) while 'auto' is
    ticked."""

    def __init__(self, number, **kwargs):
        self.auto = CheckBox(text="auto", value=True)
        self.number = number
        number.enabled = False
        super().__init__(layout="horizontal", widgets=[self.auto, number], labels=False, **kwargs)
        self.margins = (0, 0, 0, 0)
        self.auto.changed.connect(lambda auto: setattr(self.number, "enabled", not auto))

    @property
    def value(self):
        return None if self.auto.value else self.number.value

    @value.setter
    def value(self, value):
        self.auto.value = value is None
        if value is not None:
            self.number.value = value


def _field_widget(f: WidgetField):
    """The magicgui widget of one declared field."""
    common = dict(label=f.label, tooltip=f.tooltip)
    if f.kind == "check":
        return CheckBox(text=f.label, value=f.value, tooltip=f.tooltip)
    if f.kind == "text":
        return LineEdit(value=f.value, **common)
    if f.kind == "choice":
        return ComboBox(choices=f.choices, value=f.value if f.value is not None else f.choices[-1], **common)
    box = SpinBox if f.kind == "int" else FloatSpinBox
    number = box(value=f.start, min=f.minimum, max=f.maximum, step=f.step,
                 **({} if f.optional else common))
    return OptionalNumber(number, name=f.name, **common) if f.optional else number


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
        self.fields = {f.name: _field_widget(f) for f in widget_fields()}
        for name, widget in self.fields.items():
            setattr(self, name, widget)
        self.run_button = PushButton(text="Track")
        self.status = Label(label="status", value="")
        self.status.native.setWordWrap(True)       # long messages wrap; never widen the dock
        self.status.native.setSizePolicy(QSizePolicy.Policy.Ignored, QSizePolicy.Policy.Preferred)
        self.status.native.setMinimumHeight(3 * self.status.native.fontMetrics().lineSpacing())

        self.extend([self.image, *self.fields.values(), self.run_button, self.status])

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
        """The parameter values, by TrackingParams field (None: the data's default)."""
        return {name: widget.value for name, widget in self.fields.items()}

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
