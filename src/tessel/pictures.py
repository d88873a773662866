"""Pictures as values: their bytes, and the size a report script asks for.

A placeholder's value is a picture when it is a binary stream (``io.BytesIO``), a
`Picture`, or a matplotlib ``Figure``, which is drawn to PNG at its own dpi.  The
fillers ask `picture_of` and size what it gives with `Picture.size`.
"""

import io
import os
import re
import sys

__all__ = ["Picture", "picture_of", "length"]

# English Metric Units, in which documents and workbooks measure drawings.
EMU_PER_UNIT = {"cm": 360000, "mm": 36000, "in": 914400, "pt": 12700, "px": 9525}
# The largest extent a drawing may have (ST_PositiveCoordinate).
MAX_EMU = 27273042316900

_LENGTH = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*(cm|mm|in|pt|px)\s*", re.IGNORECASE)


def length(value, name="width"):
    """`value` in EMUs: a whole number of EMUs, or a text such as "4cm", "30mm",
    "2in", "120px" (at 96 per inch) or "72pt".  None stays None."""
    if value is None:
        return None
    if isinstance(value, str):
        match = _LENGTH.fullmatch(value)
        if match is None:
            raise ValueError(
                f"a picture's {name} is a number of EMUs or a length such as '4cm', '30mm', '2in', '120px' or "
                f"'72pt', not {value!r}"
            )
        emu = round(float(match.group(1)) * EMU_PER_UNIT[match.group(2).lower()])
    elif isinstance(value, int) and not isinstance(value, bool):
        emu = value
    else:
        raise TypeError(f"a picture's {name} is a whole number of EMUs or a text such as '4cm', not "
                        f"{type(value).__name__}")
    if not 0 < emu <= MAX_EMU:
        raise ValueError(f"a picture's {name} must be more than 0 and at most {MAX_EMU} EMUs, not {emu}")
    return emu


def _figure_class():
    # A Figure can only exist once matplotlib is imported, so it is never imported here.
    module = sys.modules.get("matplotlib.figure")
    return getattr(module, "Figure", None)


def _is_figure(value):
    figure = _figure_class()
    return figure is not None and isinstance(value, figure)


def _bytes_of(source):
    if isinstance(source, (bytes, bytearray, memoryview)):
        return bytes(source)
    if isinstance(source, io.BytesIO):
        return source.getvalue()
    if _is_figure(source):
        out = io.BytesIO()
        source.savefig(out, format="png", dpi=source.dpi)
        return out.getvalue()
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as f:
            return f.read()
    read = getattr(source, "read", None)
    if callable(read):
        data = read()
        if isinstance(data, bytes):
            return data
    raise TypeError(
        "a picture's source is its bytes, a binary stream, a file path or a matplotlib Figure, not "
        f"{type(source).__name__}"
    )


class Picture:
    """A picture for a placeholder, with the size it takes in the filled file.

    :param source: the picture: its bytes, a binary stream, a file path or a
        matplotlib Figure (drawn to PNG at its own dpi).
    :param width: the width, as a number of EMUs or a text such as "4cm", "30mm",
        "2in", "120px" or "72pt"; None for the picture's own.
    :param height: the height, given the same way.  When only one side is given,
        the other keeps the picture's aspect ratio.
    """

    __slots__ = ("data", "width", "height")

    def __init__(self, source, width=None, height=None):
        self.data = _bytes_of(source)
        self.width = length(width, "width")
        self.height = length(height, "height")

    def size(self, width, height):
        """The size in EMUs of this picture, whose own size is `width` × `height` EMUs."""
        if self.width is not None and self.height is not None:
            return self.width, self.height
        if self.width is not None:
            return self.width, max(1, round(height * self.width / width)) if width else height
        if self.height is not None:
            return (max(1, round(width * self.height / height)) if height else width), self.height
        return width, height

    def __repr__(self):
        sides = "".join(f", {k}={getattr(self, k)}" for k in ("width", "height") if getattr(self, k) is not None)
        return f"Picture(<{len(self.data)} bytes>{sides})"


def picture_of(value):
    """The `Picture` that `value` stands for, or None when it is no picture."""
    if isinstance(value, Picture):
        return value
    if isinstance(value, io.BytesIO) or _is_figure(value):
        return Picture(value)
    return None


def fitted(width, height, box_width, box_height):
    """The largest size of `width` × `height`'s aspect ratio inside the box."""
    if width <= 0 or height <= 0:
        return box_width, box_height
    scale = min(box_width / width, box_height / height)
    return max(1, round(width * scale)), max(1, round(height * scale))
