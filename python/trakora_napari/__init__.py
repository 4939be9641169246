"""napari plugin of trakora: open recordings, track them from a dock widget, see the results
as layers. `layers_from_result` makes the layers of a TrackingResult without Qt."""
from .layers import layers_from_result
from .reader import get_reader, lazy_frames

__all__ = ["get_reader", "layers_from_result", "lazy_frames"]
