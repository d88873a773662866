"""Fill text, workbook and document templates from Python data.

The fillers live in their own modules and are imported on first use, so that
``import tessel`` stays light::

    from tessel.linefill import LineFill
    text, failed = LineFill()("Dear {name}", {"name": "Ada"})
"""

import os as _os
import sys as _sys
from importlib.machinery import EXTENSION_SUFFIXES as _SUFFIXES

__version__ = "0.1.0"


def _compiled_here(folder):
    return any(_os.path.exists(_os.path.join(folder, "linefill" + suffix)) for suffix in _SUFFIXES)


def _find_installed_copy():
    """The installed package's folder, when this one is a source checkout.

    Python puts the current folder first on sys.path for ``python -m`` and for
    scripts, so inside a checkout this source folder, which has no compiled
    modules, shadows the installed package.  Its submodules are then taken from
    the installed copy.
    """
    here = _os.path.dirname(_os.path.abspath(__file__))
    if _compiled_here(here):
        return None
    for entry in _sys.path:
        folder = _os.path.join(_os.path.abspath(entry or _os.curdir), "tessel")
        if folder != here and _compiled_here(folder):
            return folder
    return None


_installed = _find_installed_copy()
if _installed is not None:
    __path__ = [_installed]
del _installed

__all__ = ["LineFill", "GridFill", "PageFill"]

_MODULES = {"LineFill": "linefill", "GridFill": "gridfill", "PageFill": "pagefill"}


def __getattr__(name):
    module = _MODULES.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib

    return getattr(importlib.import_module(f".{module}", __name__), name)
