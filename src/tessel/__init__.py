"""Fill text, workbook and document templates from Python data.

The fillers live in their own modules and are imported on first use, so that
``import tessel`` stays light::

    from tessel.linefill import LineFill
    text, failed = LineFill()("Dear {name}", {"name": "Ada"})
"""

__version__ = "0.1.0"

from .results import FailedPlaceholders, Finding, FrameAsTextWarning, OverwriteWarning

__all__ = [
    "LineFill", "GridFill", "PageFill", "Picture", "Table", "FailedPlaceholders", "Finding", "OverwriteWarning",
    "FrameAsTextWarning",
]

_MODULES = {
    "LineFill": "linefill", "GridFill": "gridfill", "PageFill": "pagefill", "Picture": "pictures", "Table": "tables",
}


def __getattr__(name):
    module = _MODULES.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib

    return getattr(importlib.import_module(f".{module}", __name__), name)
