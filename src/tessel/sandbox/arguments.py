"""What arguments of library methods may be: time zones, dtypes, regular expressions."""

import re
import sys

from .kinds import _kind
from .limits import MAX_REGEX_STEPS
from .refusals import _refuse
from .sizes import _format_widths

# dtypes given as text: a plain name or type code ("float64", "U20", "<f8"), or one
# with a unit and maybe a time zone ("datetime64[ns, Europe/Paris]").
_DTYPE_WORD = re.compile(r"[<>=|]?[A-Za-z_]+(\d*)")
_DTYPE_UNIT = re.compile(r"[A-Za-z_]+\d*\[\s*\w+\s*(?:,\s*([^\]]+?)\s*)?\]")

_ZONES = None


def _check_zone(value):
    """A time zone given as text must be a real zone's name, never a path."""
    global _ZONES
    if not isinstance(value, str):
        return
    if _ZONES is None:
        import zoneinfo

        _ZONES = frozenset(zoneinfo.available_timezones()) | {"UTC"}
    if value not in _ZONES:
        _refuse(f"time zone {value[:80]!r}, which is not the name of a time zone")


_DTYPE_CLASSES = frozenset({int, float, str, bool, complex})


def _dtype_width(dtype):
    """Characters or bytes per item that the dtype `dtype` holds; raises unless it is
    a plain dtype: a name, a type code, a unit with a time zone, a class of values."""
    numpy, pandas = sys.modules.get("numpy"), sys.modules.get("pandas")
    if dtype is None:
        return 0
    if isinstance(dtype, str):
        word = _DTYPE_WORD.fullmatch(dtype)
        if word:
            return _format_widths(word.group(1))
        unit = _DTYPE_UNIT.fullmatch(dtype)
        if unit:
            if unit.group(1) is not None:
                _check_zone(unit.group(1))
            return 0
        _refuse(f"the dtype {dtype[:80]!r}")
    if isinstance(dtype, type):
        if dtype in _DTYPE_CLASSES or (numpy is not None and issubclass(dtype, numpy.generic)):
            return 0
        _refuse(f"the dtype {dtype.__qualname__!r}")
    if numpy is not None and isinstance(dtype, numpy.dtype):
        if dtype.fields is not None or dtype.subdtype is not None:
            _refuse("a dtype with fields")
        return dtype.itemsize if dtype.kind in "SUV" else 0
    if pandas is not None and isinstance(dtype, pandas.api.extensions.ExtensionDtype):
        return 0
    _refuse(f"a dtype given as {_kind(type(dtype)).what}")


def _regex_cost(pattern):
    """(factor, power): matching `pattern` against a text of L characters takes at
    most about factor * L**power steps.  Raises for a pattern that can take time
    exponential in L: a repeat of what itself repeats, a reference back to a group."""
    from re import _constants as c
    from re import _parser

    try:
        parsed = _parser.parse(pattern) if isinstance(pattern, str) else None
    except Exception:
        return 1, 1  # pandas fails on it with its own reason
    if parsed is None:
        return 1, 1

    def cost(items):
        factor, power = 1, 0
        for op, arg in items:
            if op in (c.MAX_REPEAT, c.MIN_REPEAT, c.POSSESSIVE_REPEAT):
                low, high, inner = arg
                f, p = cost(inner)
                if high == c.MAXREPEAT:
                    if (f, p) != (1, 0):
                        _refuse("a regular expression that repeats a repeating group")
                    f, p = 1, 1
                else:
                    f = MAX_REGEX_STEPS + 1 if f > 1 and high > 64 else min(f**high * (high - low + 1), MAX_REGEX_STEPS + 1)
                    p *= high
            elif op is c.BRANCH:
                costs = [cost(branch) for branch in arg[1]]
                f, p = sum(f for f, _ in costs), max(p for _, p in costs)
            elif op is c.SUBPATTERN:
                f, p = cost(arg[-1])
            elif op in (c.ATOMIC_GROUP, c.ASSERT, c.ASSERT_NOT):
                f, p = cost(arg[-1] if op is not c.ATOMIC_GROUP else arg)
            elif op is c.GROUPREF_EXISTS:
                costs = [cost(branch) for branch in arg[1:] if branch]
                f, p = max(f for f, _ in costs), max(p for _, p in costs)
            elif op is c.GROUPREF:
                _refuse("a regular expression that refers back to a group")
            else:
                f, p = 1, 0
            factor, power = min(factor * f, MAX_REGEX_STEPS + 1), power + p
        return factor, power

    return cost(parsed)
