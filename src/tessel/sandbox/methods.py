"""The checks of single library methods, by name.

Each takes the Guard, the receiver and the arguments; it raises, or returns None
to let the call run, or (result,) when it made the call itself."""

import collections.abc
import sys

from .allowed import _ARITHMETIC, _SUMS
from .arguments import _dtype_width
from .limits import MAX_PARSE_FORMAT
from .refusals import _refuse
from .sizes import (
    _bins, _count, _is_table, _key_counts, _largest_count, _length, _longest_text, _object_text_size,
    _percent_widths, _selects, _size, _strftime_size, _text_lengths, _text_size, _width,
)

def _check_join(guard, owner, args, kwargs):
    if isinstance(owner, (str, bytes, bytearray)):
        if not args:
            return None
        # the items are counted before they are joined, so a generator is read once
        items = list(args[0])
        total = sum(len(item) for item in items if isinstance(item, (str, bytes, bytearray)))
        guard._make(total + len(owner) * max(len(items) - 1, 0), "a join")
        return (owner.join(items),)
    column = getattr(owner, "_orig", None)
    if column is not None:  # .str.join(sep): between the items of each list
        guard._make(_longest_text((*args, *kwargs.values())) * _text_size(column), "join()")
        return None
    other = args[0] if args else kwargs.get("other")
    on = args[1] if len(args) > 1 else kwargs.get("on")
    how = args[2] if len(args) > 2 else kwargs.get("how", "left")
    return _check_joined(guard, owner, other, how, on, None)


def _check_merge(guard, owner, args, kwargs):
    other = args[0] if args else kwargs.get("right")
    how = args[1] if len(args) > 1 else kwargs.get("how", "inner")
    on = args[2] if len(args) > 2 else kwargs.get("on")
    left_keys, right_keys = kwargs.get("left_on", on), kwargs.get("right_on", on)
    if kwargs.get("left_index"):
        left_keys = None
    if kwargs.get("right_index"):
        right_keys = None
    if left_keys is None and right_keys is None and not (kwargs.get("left_index") or kwargs.get("right_index")):
        columns = set(getattr(other, "columns", ()))
        left_keys = right_keys = [c for c in owner.columns if c in columns] or None
    return _check_joined(guard, owner, other, how, left_keys, right_keys)


def _check_joined(guard, owner, other, how, left_keys, right_keys):
    pandas = sys.modules["pandas"]
    if isinstance(other, pandas.Series):
        other = other.to_frame()
    if not isinstance(other, pandas.DataFrame):
        _refuse("joining anything but one frame")
    if how == "cross":
        rows = len(owner) * len(other)
    else:
        try:
            left, right = _key_counts(owner, left_keys), _key_counts(other, right_keys)
            left, right = left.align(right, join="inner")
            rows = int((left * right).sum()) + len(owner) + len(other)
        except Exception:
            rows = len(owner) * len(other)
    width = len(owner.columns) + len(other.columns)
    guard._grow(rows * width, owner if _size(owner) >= _size(other) else other, "a join")


def _check_replace(guard, owner, args, kwargs):
    if isinstance(owner, (str, bytes, bytearray)):
        if len(args) >= 2:
            old, new = args[0], args[1]
            times = owner.count(old)
            if len(args) > 2 and _count(args[2]) is not None and _count(args[2]) >= 0:
                times = min(times, _count(args[2]))
            guard._make(times * max(len(new) - len(old), 0) + len(owner), "a replace")
        return None
    # Text replaced in every item of a column (.str, or regex=True) may grow at
    # each of its characters.
    column = getattr(owner, "_orig", None)
    if column is not None or kwargs.get("regex"):
        longest = _longest_text((*args, *kwargs.values()))
        if longest:
            guard._make(longest * _text_size(column if column is not None else owner), "replace()")
    return None


def _check_translate(guard, owner, args, kwargs):
    table = args[0] if args else kwargs.get("table")
    if isinstance(table, collections.abc.Mapping):
        longest = max((len(v) for v in table.values() if isinstance(v, (str, bytes))), default=1)
        size = len(owner) if isinstance(owner, (str, bytes, bytearray)) else _text_size(owner._orig)
        guard._make(longest * size, "a translate")


def _check_cat(guard, owner, args, kwargs):
    guard._make(_longest_text((*args, *kwargs.values())) * _length(owner._orig), "cat()")
    if any(_is_table(v) or isinstance(v, (list, tuple)) for v in (*args, *kwargs.values())):
        guard._make(_text_size(owner._orig), "cat()")


def _check_slice_replace(guard, owner, args, kwargs):
    guard._make(_longest_text((*args, *kwargs.values())) * _length(owner._orig), "slice_replace()")


def _check_split(guard, owner, args, kwargs):
    if kwargs.get("expand"):
        # as many columns as the most parts of one item
        column = owner._orig
        longest = max((max(lengths, default=0) for lengths in _text_lengths(column)), default=0)
        guard._grow(_length(column) * (int(longest) + 1), column, "split(expand=True)")


def _check_strftime(guard, owner, args, kwargs):
    fmt = args[0] if args else kwargs.get("format", kwargs.get("date_format"))
    data = getattr(owner, "_parent", owner)  # the column of .dt
    guard._make(_strftime_size(fmt) * (_length(data) if _is_table(data) else 1), "strftime()")


def _check_strptime(guard, owner, args, kwargs):
    fmt = args[1] if len(args) > 1 else kwargs.get("format")
    if isinstance(fmt, str) and len(fmt) > MAX_PARSE_FORMAT:
        _refuse(f"a strptime format of {len(fmt)} characters (at most {MAX_PARSE_FORMAT})")


def _check_astype(guard, owner, args, kwargs):
    dtype = args[0] if args else kwargs.get("dtype")
    if isinstance(dtype, dict):
        for value in dtype.values():
            guard._make(_dtype_width(value) * _length(owner), "astype()")
    else:
        guard._make(_dtype_width(dtype) * _size(owner), "astype()")


def _check_summing(guard, owner, args, kwargs):
    guard._check_sum(owner)


def _check_take(guard, owner, args, kwargs):
    n = max((_selects(v) or 0 for v in (*args, *kwargs.values())), default=0)
    guard._grow(n * _width(owner), owner, "take()")


def _check_reindex(guard, owner, args, kwargs):
    n = max((_length(v) for v in (*args, *kwargs.values()) if _selects(v) is not None or _is_table(v)), default=0)
    if n:
        guard._grow(n * _width(owner), owner, "reindex()")


def _check_resample(guard, owner, args, kwargs):
    rule = args[0] if args else kwargs.get("rule", kwargs.get("freq"))
    target = owner if hasattr(owner, "index") else owner.obj  # of a groupby
    bins = _bins(target, rule, kwargs.get("on"))
    if bins:
        guard._grow(bins * _width(target), target, "resample()")


def _check_asfreq(guard, owner, args, kwargs):
    if hasattr(owner, "index") and (args or kwargs):
        rule = args[0] if args else kwargs.get("freq")
        guard._grow(_bins(owner, rule, None) * _width(owner), owner, "asfreq()")


def _check_sample(guard, owner, args, kwargs):
    n = (_count(args[0]) if args else _count(kwargs.get("n", 1))) or 0
    frac = kwargs.get("frac")
    if isinstance(frac, (int, float)) and frac > 0:
        n = max(n, int(min(frac, 1e18) * _length(owner)))
    guard._grow(n * _width(owner), owner, "sample()")


def _check_value_counts(guard, owner, args, kwargs):
    guard._make(_count(kwargs.get("bins")) or 0, "value_counts(bins=...)")


def _check_periods(guard, owner, args, kwargs):
    periods = args[0] if args else kwargs.get("periods")
    if periods is not None and not isinstance(periods, (int, float)):
        data = owner if _is_table(owner) else owner.obj  # of a groupby
        guard._grow(_length(periods) * _size(data), data, "shifting by several periods")


def _check_quantiles(guard, owner, args, kwargs):
    q = args[0] if args else kwargs.get("q", kwargs.get("percentiles"))
    if isinstance(q, (list, tuple)) or _is_table(q):
        data = owner if _is_table(owner) else owner.obj  # of a groupby
        guard._grow(_length(q) * _width(data), data, "quantiles")


def _check_unstack(guard, owner, args, kwargs):
    index = owner.index
    level = args[0] if args else kwargs.get("level", -1)
    try:
        rest = index.droplevel(level) if index.nlevels > 1 else index
        cells = rest.nunique() * index.get_level_values(level).nunique() * _width(owner)
    except Exception:
        cells = _length(owner) ** 2
    guard._grow(cells, owner, "unstack()")


def _check_groupby(guard, owner, args, kwargs):
    if kwargs.get("observed") is False:
        _refuse("observed=False, which makes every combination of categories")


def _renderer(name, target):
    def check_render(guard, owner, args, kwargs):
        if (args and args[0] is not None) or kwargs.get(target) is not None:
            _refuse(f"{name!r} with a file or buffer to write to")
        per_cell = 1 + _longest_text(kwargs.values())
        for key, value in kwargs.items():
            if key == "float_format" and isinstance(value, str):
                per_cell += _percent_widths(value)
            elif type(value) is dict:
                per_cell += _largest_count(tuple(value.values()), {})
            elif type(value) is not bool:
                per_cell += _largest_count((value,), {})
        cells = _size(owner) + _length(owner) + _width(owner)
        guard._make(cells * per_cell + _object_text_size(owner), "the rendered text")

    return check_render


def _arithmetic(name):
    check = {"mul": "mul", "multiply": "mul", "rmul": "mul", "pow": "pow", "rpow": "pow", "mod": "mod", "rmod": "mod"}.get(name)

    def check_arithmetic(guard, owner, args, kwargs):
        if not args and "other" not in kwargs:
            return
        other = args[0] if args else kwargs["other"]
        if _is_table(other):
            guard._check_combined(owner, other)
        elif name in ("add", "radd"):
            guard._check_text_added(owner, other)
        if check is not None:
            getattr(guard, "_check_" + check)(*((other, owner) if name.startswith("r") else (owner, other)))

    return check_arithmetic


_CHECKS = {
    "join": _check_join,
    "merge": _check_merge,
    "replace": _check_replace,
    "translate": _check_translate,
    "cat": _check_cat,
    "slice_replace": _check_slice_replace,
    "split": _check_split,
    "rsplit": _check_split,
    "strftime": _check_strftime,
    "strptime": _check_strptime,
    "astype": _check_astype,
    "take": _check_take,
    "reindex": _check_reindex,
    "resample": _check_resample,
    "asfreq": _check_asfreq,
    "sample": _check_sample,
    "value_counts": _check_value_counts,
    "shift": _check_periods,
    "diff": _check_periods,
    "pct_change": _check_periods,
    "quantile": _check_quantiles,
    "describe": _check_quantiles,
    "unstack": _check_unstack,
    "groupby": _check_groupby,
    **{name: _check_summing for name in _SUMS | {"product"}},
    **{name: _renderer(name, "buf") for name in ("to_string", "to_html", "to_latex", "to_markdown")},
    **{name: _renderer(name, "path_or_buf") for name in ("to_csv", "to_json")},
    **{name: _arithmetic(name) for name in _ARITHMETIC.split()},
}
