"""Measures of values: items, cells and characters, and what making them costs."""

import math
import numbers
import operator
import re
import sys

from .limits import MAX_SIZE
from .refusals import _refuse

# A conversion of a % format, with its width and precision.
_PERCENT = re.compile(rb"%(?:\([^)]*\))?[#0 +\-]*(\*|\d+)?(?:\.(\*|\d+))?[hlL]?(.)", re.S)
# A directive of strftime, with the width glibc allows: "%Y", "%-9999d".
_STRFTIME = re.compile(r"%[-_0^#]*(\d*)[EO]?(.)", re.S)
_DIGITS = re.compile(r"\d+")


def _count(value):
    """`value` as a whole number, or None."""
    if isinstance(value, int):
        return value
    try:
        return operator.index(value)
    except TypeError:
        return None


def _size(value):
    """How many items `value` holds: its cells for arrays and frames."""
    size = getattr(value, "size", None) if not isinstance(value, (str, bytes, bytearray)) else None
    return size if isinstance(size, int) else _length(value)


def _length(value):
    try:
        return len(value)
    except Exception:
        return 1


def _width(value):
    """The cells of one row of a frame or array."""
    return max(_size(value) // max(_length(value), 1), 1)


def _is_array(value):
    return hasattr(value, "dtype") or hasattr(value, "dtypes")


def _is_table(value):
    """True for arrays, columns, indexes and frames, not for their scalars."""
    return _is_array(value) and not isinstance(value, numbers.Number) and hasattr(value, "shape") and value.shape != ()


def _holds_objects(value):
    """True for an array, column or frame of Python objects (text included)."""
    dtype = getattr(value, "dtype", None)
    if dtype is None:
        dtypes = getattr(value, "dtypes", None)
        return dtypes is not None and any(getattr(d, "kind", "O") in "OSUT" for d in getattr(dtypes, "values", ()))
    return getattr(dtype, "kind", "O") in "OSUT" and not isinstance(value, numbers.Number)


def _items(value):
    values = getattr(value, "values", value)
    ravel = getattr(values, "ravel", None)
    return ravel() if ravel is not None else values


def _holds_text(value):
    """True for an array, column or frame with text or lists among its items."""
    return any(isinstance(item, (str, bytes, list, tuple)) for item in _items(value))


def _largest_bits(value):
    """The most bits of a whole number among the items of a column of objects."""
    bits = 0
    for item in _items(value):
        if isinstance(item, numbers.Rational) and not isinstance(item, bool):
            bits = max(bits, abs(item.numerator).bit_length(), item.denominator.bit_length())
    return bits


def _longest_text(values):
    """The longest text among `values` and the lists and dicts they hold."""
    longest = 0
    for value in values:
        if isinstance(value, str):
            longest = max(longest, len(value))
        elif isinstance(value, (list, tuple, dict)):
            longest = max(longest, _longest_text(value.values() if isinstance(value, dict) else value))
    return longest


def _text_lengths(data):
    """The lengths of the items of a column, index or frame as text."""
    pandas = sys.modules["pandas"]
    frame = data.to_frame() if hasattr(data, "to_frame") else data
    if not hasattr(frame, "items"):
        frame = pandas.DataFrame({0: list(data)})
    return [column.astype(str).str.len().to_numpy(dtype=float, na_value=0) for _, column in frame.items()]


def _text_size(data):
    """The characters of a column or frame as text, one more per item."""
    try:
        return int(sum(lengths.sum() + len(lengths) for lengths in _text_lengths(data)))
    except Exception:
        return _size(data)


_CONTAINERS = (list, tuple, set, frozenset, dict)


def _deep_size(value, seen=None):
    """What `value` shows as text, in items and characters, each repeat of an item
    counted: what repeating, comparing or printing it costs."""
    kind = type(value)
    if kind is str or kind is bytes or kind is bytearray:
        return len(value)
    if kind is int:
        return value.bit_length() // 3 + 1
    if kind in _CONTAINERS:
        if seen is None:
            seen = {}
        known = seen.get(id(value))
        if known is not None:
            return known
        seen[id(value)] = 1  # a list that holds itself shows as [...]
        items = value.values() if kind is dict else value
        total = max(len(value), sum(_deep_size(item, seen) for item in items))
        if kind is dict:
            total += sum(_deep_size(key, seen) for key in value)
        seen[id(value)] = total
        return total
    if _is_table(value):
        return _size(value)
    return 1


def _bins(frame, rule, on):
    """How many bins resampling `frame` by the fixed frequency `rule` makes; 0 when
    it cannot be told (a calendar frequency, an index that is no time)."""
    pandas = sys.modules.get("pandas")
    try:
        step = pandas.tseries.frequencies.to_offset(rule).nanos
        index = frame[on] if on is not None else frame.index
        return (index.max() - index.min()).value // max(step, 1)
    except Exception:
        return 0


def _selects(key):
    """How many labels or positions `key` lists, each of which may repeat; None
    for a key that picks one item, a slice or a mask."""
    if isinstance(key, (list, tuple)):
        return len(key) if key and not isinstance(key[0], bool) else None
    if isinstance(key, range):
        return len(key)
    kind = getattr(getattr(key, "dtype", None), "kind", None)
    if kind is not None and kind != "b" and getattr(key, "ndim", 0) >= 1:
        return _size(key)
    return None


def _largest_count(args, kwargs):
    """The largest size asked for by whole-number arguments; a tuple of them is a shape."""
    largest = 0
    for value in (*args, *kwargs.values()):
        n = _count(value)
        if n is None and isinstance(value, (tuple, list)) and value:
            counts = [_count(v) for v in value]
            if None not in counts:
                n = math.prod(max(c, 0) for c in counts)
        if n is None and _is_table(value) and getattr(getattr(value, "dtype", None), "kind", "") in "iu":
            n = int(value.sum())
        if n is not None and n > largest:
            largest = n
    return largest


def _percent_widths(fmt):
    """The sum of the widths and precisions of a % format."""
    data = fmt.encode("utf-8", "surrogatepass") if isinstance(fmt, str) else bytes(fmt)
    total = 0
    for width, precision, _ in _PERCENT.findall(data):
        if width == b"*" or precision == b"*":
            _refuse("a '*' width or precision in a % format")
        total += int(width or 0) + int(precision or 0)
    return total


def _format_widths(format_spec):
    """The sum of the numbers written in a format() format, the widths and precisions."""
    if not isinstance(format_spec, str):
        return 0
    total = 0
    for digits in _DIGITS.findall(format_spec):
        if len(digits) > 12:
            return MAX_SIZE + 1
        total += int(digits)
    return total


def _strftime_size(fmt):
    """The most characters a strftime format makes for one date."""
    if not isinstance(fmt, str):
        return 0
    size = len(fmt)
    for width, _ in _STRFTIME.findall(fmt):
        size += (int(width or 0) if len(width) < 12 else MAX_SIZE) + 32
    return size


def _made(result):
    """What a call that makes at most about the size of its receiver made, as
    printing it costs: text by its characters, containers with each repeat of an
    item, the text of a column or frame (items that were references become copies)."""
    kind = type(result)
    if kind is str or kind is bytes:
        return len(result)
    if kind in _CONTAINERS:
        return _deep_size(result)
    if _is_table(result) and _holds_objects(result) and not isinstance(result, _numpy_array()):
        return _object_text_size(result)
    return 0


def _object_text_size(data):
    """The characters of the items of the columns of text or objects of a column,
    index or frame."""
    frame = data.to_frame() if hasattr(data, "to_frame") else data
    try:
        return sum(_text_size(column) for _, column in frame.items() if _holds_objects(column))
    except Exception:
        return _size(data)


def _numpy_array():
    numpy = sys.modules.get("numpy")
    return numpy.ndarray if numpy is not None else ()


def _combined_cells(a, b):
    """The cells an operator on two tables makes."""
    numpy, pandas = sys.modules.get("numpy"), sys.modules.get("pandas")
    frames = (pandas.Series, pandas.DataFrame, pandas.Index) if pandas is not None else ()
    if not isinstance(a, frames) or not isinstance(b, frames):
        try:
            return math.prod(numpy.broadcast_shapes(numpy.shape(a), numpy.shape(b)))
        except Exception:
            return max(_size(a), _size(b))
    if isinstance(a, pandas.Index) or isinstance(b, pandas.Index):
        return max(_size(a), _size(b))
    a_frame, b_frame = isinstance(a, pandas.DataFrame), isinstance(b, pandas.DataFrame)
    if a_frame and b_frame:
        return _matched(a.index, b.index) * _matched(a.columns, b.columns)
    if a_frame or b_frame:
        frame, column = (a, b) if a_frame else (b, a)
        return len(frame) * _matched(frame.columns, column.index)
    return _matched(a.index, b.index)


def _matched(left, right):
    """How many labels matching two indexes gives: each label as many times as the
    product of its counts on both sides."""
    if left is right or (len(left) == len(right) and left.equals(right)):
        return len(left)
    if left.is_unique and right.is_unique:
        return len(left) + len(right)
    try:
        a, b = left.value_counts(dropna=False), right.value_counts(dropna=False)
        a, b = a.align(b, fill_value=1)
        return int((a * b).sum())
    except Exception:
        return len(left) * len(right)


def _key_counts(frame, keys):
    """How often each key of `frame` occurs: of its index, or of the columns `keys`."""
    pandas = sys.modules["pandas"]
    if keys is None:
        return pandas.Series(frame.index).value_counts(dropna=False)
    keys = keys if isinstance(keys, list) else [keys]
    return frame[keys].value_counts(dropna=False) if len(keys) > 1 else frame[keys[0]].value_counts(dropna=False)
