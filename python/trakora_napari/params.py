"""From the workflow's parameter declarations to the widget's fields and back to
TrackingParams (plain Python, no Qt)."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any

WIDGET_RANGE = 1e9       # spin boxes as wide as their largest value: keep them narrow


@dataclass(frozen=True)
class WidgetField:
    """One field of the widget: `kind` check, text, choice, int or float; `optional` numbers
    get an 'auto' box (None, the data's default, while it is ticked)."""

    name: str
    kind: str
    label: str
    tooltip: str
    value: Any
    optional: bool = False
    start: float | None = None          # what the number box shows while 'auto' is ticked
    minimum: float | None = None
    maximum: float | None = None
    step: float | None = None
    choices: tuple[str, ...] = ()


def widget_fields() -> list[WidgetField]:
    """The widget's fields: every TrackingParams field declared with a widget label, in the
    order of the declarations, with its default, bounds and choices."""
    from trakora_workflow.params import DECLARED, DEFAULTS, OPTIONAL_BOOL_WORDS, rename_fields
    out = []
    for name, d in DECLARED.items():
        if d.widget is None:
            continue
        default = DEFAULTS[name]
        tooltip = rename_fields(d.help, {})
        tooltip = tooltip[:1].upper() + tooltip[1:]
        if d.kind == "bool" and d.optional:
            out.append(WidgetField(name, "choice", d.widget, tooltip, "auto" if default is None else
                                   ("yes" if default else "no"), choices=OPTIONAL_BOOL_WORDS))
        elif d.kind == "bool":
            out.append(WidgetField(name, "check", d.widget, tooltip, default))
        elif d.kind == "str":
            out.append(WidgetField(name, "text", d.widget, tooltip, default))
        elif d.kind == "choice":
            choices = d.choices + ((d.none_choice,) if d.none_choice else ())
            out.append(WidgetField(name, "choice", d.widget, tooltip, default, choices=choices))
        elif d.kind in ("int", "float"):
            step = d.step or 1
            low = d.low if d.low is not None else d.above
            minimum = -WIDGET_RANGE if low is None else max(low, -WIDGET_RANGE)
            if d.kind == "float" and low is not None and (d.above is not None or 0 < low < step):
                minimum = max(minimum, step)       # the smallest value the box shows
            maximum = WIDGET_RANGE if d.high is None else min(d.high, WIDGET_RANGE)
            if d.kind == "int":
                minimum, maximum, step = int(minimum), int(maximum), int(step)
            start = default if default is not None else max(minimum, min(maximum, 1))
            out.append(WidgetField(name, d.kind, d.widget, tooltip, default, optional=d.optional, start=start,
                                   minimum=minimum, maximum=maximum, step=step))
        else:
            raise TypeError(f"no widget for the {d.kind} field {name}")
    return out


def make_params(values: dict):
    """TrackingParams from the widget's values by field (None: the data's default; a
    choice's 'none': None)."""
    from trakora_workflow.params import params_from_values
    return params_from_values(values)
