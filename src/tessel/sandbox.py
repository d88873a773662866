"""The rules of safe mode, for placeholders of templates that others wrote.

What a value offers a placeholder is listed in one table, `ALLOWED`: per type, the
attributes it may read and the methods it may call, each filed under the rule
that bounds what it makes.  Everything else is refused.

A placeholder is parsed and checked once (`compile_placeholder`).  What passes is
compiled with its attribute access, calls, subscripts, operators, displays and
comprehension loops routed through a `Guard`, which knows the values that the
text alone cannot tell.  Each fill evaluates against a namespace of its own
(`namespace`): a copy of the variables, the builtins a report needs and a fresh
Guard, so the caller's dict is never changed and budgets belong to one
placeholder.  A placeholder that breaks a rule raises `Refused`, whose message is
the reason that the fill lists.
"""

import ast
import builtins
import collections.abc
import decimal
import fractions
import io
import math
import numbers
import operator
import os
import re
import site
import sys
import sysconfig
import time
import types

__all__ = ["Refused", "compile_placeholder", "namespace", "evaluate", "ALLOWED_BUILTINS", "ALLOWED", "allowed_markdown"]

# What one placeholder may make.  Past these it fails instead of hanging or
# exhausting memory.
MAX_RANGE = 1_000_000  # items of one range()
MAX_LOOP_STEPS = 1_000_000  # steps of all the loops of one placeholder, pandas' calls of functions included
MAX_SIZE = 10_000_000  # items and characters made by repeating, padding, joining, widths, copies kept
MAX_GROWTH = 50_000  # cells by which tables and arrays grow past what they were made from
MAX_INT_BITS = 1024  # an integer made by an operator or returned by a call: what a float holds
MAX_EXPONENT = 4300  # of a Decimal: int() of a larger one takes seconds (Python's own limit on digits)
MAX_ROUND_DIGITS = 10_000  # round(x, n): n beyond this computes 10**n
MAX_OBJECT_POWER = 1_000  # ** on columns of Python objects runs Python's own pow per cell
MAX_REGEX_STEPS = 100_000_000  # what a regular expression may take on the texts it is given, at worst
MAX_PARSE_FORMAT = 1_000  # characters of a strptime format, which becomes a regular expression
MAX_SECONDS = 0.5  # loops stop after this

PREFIX = "not allowed in safe mode: "

# The name of the Guard in a fill's namespace.  Templates cannot write it: names
# that start with "_" are refused.
GUARD = "_tessel_"

ALLOWED_BUILTINS = (
    "abs all any bool dict enumerate float format int isinstance len list max min range round "
    "set sorted str sum tuple zip"
).split()

# Builtins that are left out but named, so that a placeholder using them says why
# it failed instead of that the name is unknown.
_NAMED_REFUSALS = (
    "getattr setattr delattr hasattr vars globals locals dir eval exec compile open input breakpoint "
    "type print help exit quit memoryview super object map filter iter next"
).split()

# -- the table -----------------------------------------------------------------

# Methods that frames, columns and indexes share.
_ARITHMETIC = (
    "add sub subtract mul multiply truediv div divide floordiv mod pow "
    "radd rsub rmul rtruediv rdiv rfloordiv rmod rpow eq ne lt le gt ge"
)
_NDFRAME_READ = "T at axes dtypes empty iat iloc index loc ndim shape size values"
# Reductions that add items up, text and lists included, which copies them over
# and over: checked for what they add.
_SUMMING = "cumprod cumsum kurt mean prod sem skew std sum var"
_NDFRAME_SAME = (
    "abs add_prefix add_suffix all any bfill clip copy count cummax cummin diff droplevel drop "
    "drop_duplicates dropna duplicated equals ffill fillna first_valid_index get head idxmax idxmin isin "
    "isna isnull items keys last_valid_index map mask max median memory_usage min mode nlargest notna "
    "notnull nsmallest nunique rank rename rename_axis reset_index round set_axis sort_index sort_values "
    "squeeze swaplevel tail to_dict to_numpy to_period to_timestamp transpose truncate tz_convert "
    "tz_localize where xs"
)
_NDFRAME_CHECKED = (
    "agg aggregate apply astype asfreq describe expanding ewm groupby pct_change product quantile reindex "
    "replace resample rolling sample shift take to_csv to_json to_latex to_markdown to_string transform "
    "unstack value_counts " + _SUMMING + " " + _ARITHMETIC
)
_GROUPBY_SAME = (
    "all any bfill count cumcount cummax cummin describe ffill first get_group head idxmax idxmin last max "
    "median min ngroup nunique ohlc rank size tail"
)
_GROUPBY_CHECKED = (
    "agg aggregate apply diff expanding filter pct_change quantile resample rolling shift transform " + _SUMMING
)
_WINDOW_SAME = "count kurt max mean median min rank sem skew std sum var"
_INDEX_SAME = (
    "all any argmax argmin argsort copy delete difference drop drop_duplicates droplevel dropna duplicated "
    "equals fillna get_indexer get_level_values get_loc identical intersection isin isna map max min notna "
    "nunique rename sort_values symmetric_difference to_flat_index to_frame to_list to_numpy to_series "
    "tolist union unique where"
)
_STR_SAME = (
    "capitalize casefold count endswith find index isalnum isalpha isascii isdecimal isdigit isidentifier "
    "islower isnumeric isprintable isspace istitle isupper lower lstrip partition removeprefix removesuffix "
    "rfind rindex rpartition rsplit rstrip split splitlines startswith strip swapcase title upper"
)
_BYTES_SAME = (
    "count endswith find hex index isalnum isalpha isascii isdigit islower isspace istitle isupper lower "
    "lstrip partition removeprefix removesuffix rfind rindex rpartition rsplit rstrip split splitlines "
    "startswith strip swapcase title upper"
)
_DATE_FIELDS = "day dayofweek day_of_week dayofyear day_of_year days_in_month daysinmonth hour is_leap_year " \
    "is_month_end is_month_start is_quarter_end is_quarter_start is_year_end is_year_start microsecond " \
    "minute month nanosecond quarter second unit year"
_PERIOD_FIELDS = "day dayofweek day_of_week dayofyear day_of_year days_in_month daysinmonth end_time freq hour " \
    "is_leap_year minute month quarter qyear second start_time week weekofyear year"

# What placeholders may use: per type (its module and name, as Python reports
# them), the names it offers, filed under the rule that bounds what they make:
#   read     attributes: values the object holds, parts or views of it
#   same     methods that make at most about the size of the receiver, or a scalar
#   sized    methods whose whole-number arguments size what they make, times the
#            receiver's items (`ljust`, `repeat`)
#   checked  methods with a check of their own (`Guard._checks`): of sizes that
#            their arguments give, of functions and names given to them, of files
#   make     methods of the class that make a new value from their arguments
#            (`date.today`), callable on the class as well
# Subclasses of a listed type offer what it offers.  Objects of the caller's own
# classes offer their public attributes; "read: *" does the same for one library type.
ALLOWED = {
    # text and bytes
    "str": dict(same=_STR_SAME, sized="center expandtabs ljust rjust zfill", checked="join replace translate",
                make="maketrans"),
    "bytes": dict(same=_BYTES_SAME, sized="center expandtabs ljust rjust zfill", checked="join replace translate"),
    # numbers
    "int": dict(read="denominator imag numerator real", same="as_integer_ratio bit_count bit_length conjugate"),
    "float": dict(read="imag real", same="as_integer_ratio conjugate hex is_integer"),
    "complex": dict(read="imag real", same="conjugate"),
    "decimal.Decimal": dict(
        read="imag real",
        same="adjusted as_tuple canonical compare compare_total conjugate copy_abs copy_negate copy_sign exp "
        "is_canonical is_finite is_infinite is_nan is_normal is_qnan is_signed is_snan is_subnormal is_zero "
        "ln log10 max min normalize number_class quantize same_quantum sqrt to_eng_string to_integral "
        "to_integral_exact to_integral_value",
        make="from_float",
    ),
    "fractions.Fraction": dict(read="denominator imag numerator real",
                               same="as_integer_ratio conjugate limit_denominator", make="from_float"),
    # dates and times
    "datetime.date": dict(read="day month year",
                          same="ctime isocalendar isoformat isoweekday replace timetuple toordinal weekday",
                          checked="strftime", make="fromisocalendar fromisoformat fromordinal fromtimestamp today"),
    "datetime.datetime": dict(read="fold hour microsecond minute second tzinfo",
                              same="astimezone date dst time timestamp timetz tzname utcoffset",
                              checked="strptime", make="combine now"),
    "datetime.time": dict(read="fold hour microsecond minute second tzinfo",
                          same="dst isoformat replace tzname utcoffset", checked="strftime", make="fromisoformat"),
    "datetime.timedelta": dict(read="days microseconds seconds", same="total_seconds"),
    "datetime.IsoCalendarDate": dict(read="week weekday year"),
    "zoneinfo.ZoneInfo": dict(read="key", same="dst tzname utcoffset"),
    "pandas.Timestamp": dict(
        read="asm8 dayofweek day_of_week dayofyear day_of_year days_in_month daysinmonth is_leap_year "
        "is_month_end is_month_start is_quarter_end is_quarter_start is_year_end is_year_start nanosecond "
        "quarter tz unit value week weekofyear day fold hour microsecond minute month second tzinfo year",
        same="as_unit astimezone ceil ctime date day_name dst floor isocalendar isoformat isoweekday month_name "
        "normalize replace round time timestamp timetuple timetz to_datetime64 to_julian_date to_numpy "
        "to_period to_pydatetime toordinal tz_convert tz_localize tzname utcoffset weekday",
        checked="strftime",
        make="combine fromisoformat fromordinal fromtimestamp now today",
    ),
    "pandas.Timedelta": dict(
        read="asm8 components days microseconds nanoseconds resolution_string seconds unit value",
        same="as_unit ceil floor isoformat round to_numpy to_pytimedelta to_timedelta64 total_seconds",
    ),
    "pandas.Period": dict(
        read="day dayofweek day_of_week dayofyear day_of_year days_in_month daysinmonth end_time freq freqstr "
        "hour is_leap_year minute month ordinal quarter qyear second start_time week weekofyear year",
        same="asfreq to_timestamp", checked="strftime",
    ),
    # containers, read only
    "list": dict(same="copy count index"),
    "tuple": dict(same="count index"),
    "dict": dict(same="copy get items keys values", make="fromkeys"),
    "set": dict(same="copy difference intersection isdisjoint issubset issuperset symmetric_difference union"),
    "frozenset": dict(same="copy difference intersection isdisjoint issubset issuperset symmetric_difference union"),
    "collections.Counter": dict(same="most_common total"),
    "range": dict(read="start step stop", same="count index"),
    "types.SimpleNamespace": dict(read="*"),
    "enum.Enum": dict(read="name value"),
    "uuid.UUID": dict(read="hex int urn variant version"),
    "pathlib.PurePath": dict(
        read="anchor drive name parent parents parts root stem suffix suffixes",
        same="as_posix is_absolute is_relative_to joinpath match relative_to with_name with_stem with_suffix",
    ),
    # a picture: its bytes, never its position
    "_io.BytesIO": dict(read="closed", same="getvalue isatty readable seekable tell writable"),
    # pandas
    "pandas.DataFrame": dict(
        read=_NDFRAME_READ + " columns",
        same=_NDFRAME_SAME + " assign iterrows itertuples select_dtypes set_index stack",
        checked=_NDFRAME_CHECKED + " join merge to_html",
    ),
    "pandas.Series": dict(
        read=_NDFRAME_READ + " cat dt dtype hasnans is_monotonic_decreasing is_monotonic_increasing is_unique name nbytes str",
        same=_NDFRAME_SAME + " argmax argmin argsort between factorize item searchsorted to_frame to_list tolist unique",
        sized="repeat",
        checked=_NDFRAME_CHECKED,
    ),
    "pandas.Index": dict(
        read="dtype empty has_duplicates hasnans inferred_type is_monotonic_decreasing is_monotonic_increasing "
        "is_unique name names nbytes ndim nlevels shape size str values",
        same=_INDEX_SAME,
        sized="repeat",
        checked="astype take value_counts",
    ),
    "pandas.DatetimeIndex": dict(
        read=_DATE_FIELDS + " date freq freqstr inferred_freq time tz",
        same="ceil day_name floor month_name normalize round to_period to_pydatetime tz_convert tz_localize",
        checked="strftime",
    ),
    "pandas.TimedeltaIndex": dict(read="components days microseconds nanoseconds seconds",
                                  same="ceil floor round to_pytimedelta total_seconds"),
    "pandas.PeriodIndex": dict(read=_PERIOD_FIELDS + " freqstr",
                               same="asfreq to_timestamp", checked="strftime"),
    "pandas.RangeIndex": dict(read="start step stop"),
    "pandas.MultiIndex": dict(read="codes levels levshape names nlevels", same="swaplevel"),
    "pandas.CategoricalIndex": dict(read="categories codes ordered"),
    "pandas.api.typing.DataFrameGroupBy": dict(read="groups indices ngroups", same=_GROUPBY_SAME,
                                               checked=_GROUPBY_CHECKED),
    "pandas.api.typing.SeriesGroupBy": dict(read="groups indices ngroups",
                                            same=_GROUPBY_SAME + " nlargest nsmallest unique",
                                            checked=_GROUPBY_CHECKED + " value_counts"),
    "pandas.api.typing.Resampler": dict(
        same="asfreq bfill count ffill first last max median min nearest nunique ohlc size",
        checked="agg aggregate apply mean prod sem std sum transform var",
    ),
    "pandas.api.typing.Rolling": dict(same=_WINDOW_SAME + " quantile", checked="agg aggregate apply"),
    "pandas.api.typing.Expanding": dict(same=_WINDOW_SAME + " quantile", checked="agg aggregate apply"),
    "pandas.api.typing.ExponentialMovingWindow": dict(same="mean std sum var"),
    "pandas.core.strings.accessor.StringMethods": dict(
        same="capitalize casefold endswith find get index isalnum isalpha isdecimal isdigit islower isnumeric "
        "isspace istitle isupper len lower lstrip removeprefix removesuffix rfind rindex rstrip slice "
        "startswith strip swapcase title upper wrap",
        sized="center ljust pad repeat rjust zfill",
        checked="cat contains count extract extractall findall fullmatch join match partition replace "
        "rpartition rsplit slice_replace split translate",
    ),
    "pandas.core.indexes.accessors.DatetimeProperties": dict(
        read=_DATE_FIELDS + " date dayofweek freq time timetz tz weekday",
        same="as_unit ceil day_name floor isocalendar month_name normalize round to_period to_pydatetime "
        "tz_convert tz_localize",
        checked="strftime",
    ),
    "pandas.core.indexes.accessors.TimedeltaProperties": dict(
        read="components days microseconds nanoseconds seconds unit",
        same="as_unit ceil floor round to_pytimedelta total_seconds",
    ),
    "pandas.core.indexes.accessors.PeriodProperties": dict(
        read=_PERIOD_FIELDS,
        same="asfreq to_timestamp", checked="strftime",
    ),
    "pandas.core.arrays.categorical.CategoricalAccessor": dict(read="categories codes ordered"),
    "pandas.api.extensions.ExtensionArray": dict(
        read="dtype nbytes ndim shape size",
        same="argmax argmin argsort copy dropna isna to_numpy tolist unique",
    ),
    "pandas.api.extensions.ExtensionDtype": dict(read="kind name"),
    "pandas.CategoricalDtype": dict(read="categories ordered"),
    # numpy
    "numpy.ndarray": dict(
        read="T dtype flags imag itemsize nbytes ndim real shape size",
        same="all any argmax argmin argpartition argsort clip conj conjugate copy diagonal flatten item max "
        "min nonzero ravel reshape round searchsorted squeeze swapaxes tolist trace transpose",
        sized="repeat",
        checked="astype cumprod cumsum mean prod std sum take var",
    ),
    "numpy.generic": dict(
        read="T dtype imag itemsize nbytes ndim real shape size",
        same="all any argmax argmin conj conjugate copy item max mean min prod ravel round squeeze std sum "
        "tolist var",
        checked="astype",
    ),
    "numpy.integer": dict(read="denominator numerator"),
    "numpy.dtype": dict(read="char itemsize kind name str"),
    "numpy._core.multiarray.flagsobj": dict(
        read="aligned c_contiguous f_contiguous owndata writeable writebackifcopy"
    ),
}

# Names of reductions that pandas' agg, transform and apply may be given as text.
REDUCTIONS = frozenset(
    "all any count cummax cummin cumprod cumsum first idxmax idxmin last max mean median min nunique prod "
    "sem size std sum var".split()
)
_DISPATCH = frozenset("agg aggregate apply transform".split())
_SUMS = frozenset(_SUMMING.split())

# Types of libraries whose objects may be used as values; objects of other
# libraries (connections, clients, figures, writers...) are closed to templates.
_FAMILIES = frozenset(
    "builtins datetime decimal fractions numbers collections zoneinfo uuid types enum "
    "pandas numpy io _io pathlib".split()
)
_CLOSED_MODULES = ("pandas.io", "pandas.plotting", "numpy.lib", "numpy.ctypeslib")

# A replacement field that reaches an attribute or an item: "{0.__class__}", "{x[k]}".
_REACHING_FIELD = re.compile(r"\{[^{}!:]*[.\[]")
# A conversion of a % format, with its width and precision.
_PERCENT = re.compile(rb"%(?:\([^)]*\))?[#0 +\-]*(\*|\d+)?(?:\.(\*|\d+))?[hlL]?(.)", re.S)
# A directive of strftime, with the width glibc allows: "%Y", "%-9999d".
_STRFTIME = re.compile(r"%[-_0^#]*(\d*)[EO]?(.)", re.S)
_DIGITS = re.compile(r"\d+")
# dtypes given as text: a plain name or type code ("float64", "U20", "<f8"), or one
# with a unit and maybe a time zone ("datetime64[ns, Europe/Paris]").
_DTYPE_WORD = re.compile(r"[<>=|]?[A-Za-z_]+(\d*)")
_DTYPE_UNIT = re.compile(r"[A-Za-z_]+\d*\[\s*\w+\s*(?:,\s*([^\]]+?)\s*)?\]")
_EXPONENT = re.compile(r"[eE]\s*([-+]?\d+)")


class Refused(Exception):
    """A placeholder broke a rule of safe mode; the message says which."""


def _refuse(what):
    raise Refused(PREFIX + what)


# -- where code comes from ---------------------------------------------------


def _library_dirs():
    dirs = {sysconfig.get_path(key) for key in ("stdlib", "platstdlib", "purelib", "platlib")}
    try:
        dirs.update(site.getsitepackages())
        dirs.add(site.getusersitepackages())
    except AttributeError:  # a virtualenv's old site module
        pass
    dirs.update(p for p in sys.path if os.path.basename(p) in ("site-packages", "dist-packages"))
    return tuple(os.path.join(os.path.realpath(d), "") for d in dirs if d)


_LIBRARY_DIRS = None
_FILE_IS_LIBRARY = {}


def _library_file(path):
    """True for a file of the standard library or of an installed package."""
    global _LIBRARY_DIRS
    known = _FILE_IS_LIBRARY.get(path)
    if known is None:
        if _LIBRARY_DIRS is None:
            _LIBRARY_DIRS = _library_dirs()
        real = os.path.realpath(path) if os.path.isabs(path) else path
        known = _FILE_IS_LIBRARY[path] = real.startswith(_LIBRARY_DIRS)
    return known


def _library_module(name):
    """True when the module `name` is a library's rather than the caller's own code."""
    if name == "__main__":
        return False
    if not isinstance(name, str):
        return True
    module = sys.modules.get(name)
    if module is None:
        # Classes of a script run by runpy name a module that was never imported.
        return name.partition(".")[0] in sys.stdlib_module_names
    path = getattr(module, "__file__", None)
    return path is None or _library_file(path)


def _library_function(f):
    code = f.__code__.co_filename
    # Modules frozen into the interpreter (os among them) name no file.
    return code.startswith("<frozen") or _library_file(code) or _library_module(f.__module__)


# -- what types offer ----------------------------------------------------------


def _path(cls):
    module = getattr(cls, "__module__", None) or "builtins"
    name = getattr(cls, "__qualname__", cls.__name__)
    return name if module == "builtins" else f"{module}.{name}"


# The table by type and name: the rule of each name.
_NAMES = {
    path: {name: rule for rule, names in groups.items() for name in names.split()} for path, groups in ALLOWED.items()
}


class _Kind:
    """What objects of one type offer: `names` with their rules; `own` objects
    (of the caller's classes) offer their public attributes too."""

    __slots__ = ("names", "what", "path", "own", "library", "closed", "class_names")

    def __init__(self, cls):
        self.path = _path(cls)
        self.what = f"a {self.path!r} object"
        module = getattr(cls, "__module__", None) or "builtins"
        self.library = _library_module(module)
        names, own = {}, False
        for base in reversed(cls.__mro__):
            entry = _NAMES.get(_path(base))
            if entry is not None:
                names.update(entry)
                own = own or entry.get("*") == "read"
            elif base is not object and not _library_module(getattr(base, "__module__", None)):
                own = True
                names.update((name, "own") for name in vars(base) if not name.startswith("_"))
        if issubclass(cls, tuple) and isinstance(getattr(cls, "_fields", None), tuple):
            names.update((field, "read") for field in cls._fields)  # a named tuple's fields
        self.names, self.own = names, own
        self.class_names = frozenset(dir(cls))
        numpy = sys.modules.get("numpy")
        self.closed = self.library and not names and (
            module.partition(".")[0] not in _FAMILIES
            or module.startswith(_CLOSED_MODULES)
            or issubclass(cls, (types.FrameType, types.CodeType, types.TracebackType, io.IOBase))
            or (numpy is not None and issubclass(cls, numpy.memmap))
        )


_KINDS = {}


def _kind(cls):
    kind = _KINDS.get(cls)
    if kind is None:
        kind = _KINDS[cls] = _Kind(cls)
    return kind


_DESCRIPTORS = (types.MethodDescriptorType, types.WrapperDescriptorType, types.ClassMethodDescriptorType)


def _rule(obj, name):
    """The rule of `obj.name`; raises unless a placeholder may use it."""
    if isinstance(obj, type):
        return _class_rule(obj, name)
    if isinstance(obj, types.ModuleType):
        _refuse(f"attribute {name!r} of module {obj.__name__!r}")
    if type(obj) is Forbidden:
        raise Refused(obj.reason)
    kind = _kind(type(obj))
    rule = kind.names.get(name)
    if rule is not None:
        return rule
    if name.startswith("_"):
        _refuse(f"attribute {name!r}")
    if name not in kind.class_names:
        if kind.own:
            return "own"  # an attribute the object holds
        if name not in getattr(obj, "__dict__", ()):
            return "read"  # data found by its name (a frame's column), or Python's AttributeError
    _refuse(f"attribute {name!r} of {kind.what}")


def _target(value):
    """The frame or column that .loc, .iloc, .at and .iat read from, or `value`."""
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(value, pandas._libs.indexing.NDFrameIndexerBase):
        return value.obj
    return value


def _class_rule(cls, name):
    """The rule of `cls.name`: class methods that make values, and methods of
    builtin types, which check the type of what they are called on."""
    if name.startswith("_"):
        _refuse(f"attribute {name!r}")
    kind = _kind(cls)
    rule = kind.names.get(name)
    if rule == "own" or (rule is None and kind.own and not kind.library):
        return "own"
    if rule == "make" or (rule in ("same", "sized", "checked") and _descriptor(cls, name)):
        return rule
    _refuse(f"attribute {name!r} of the class {kind.path!r}")


def _descriptor(cls, name):
    for base in cls.__mro__:
        if name in vars(base):
            return isinstance(vars(base)[name], _DESCRIPTORS)
    return False


def _value_class(cls):
    """True for the library classes that make plain values: dates, numbers."""
    import datetime
    import decimal
    import fractions

    if cls in (datetime.date, datetime.datetime, datetime.time, datetime.timedelta, decimal.Decimal, fractions.Fraction):
        return True
    pandas, numpy = sys.modules.get("pandas"), sys.modules.get("numpy")
    if pandas is not None and cls in (pandas.Timestamp, pandas.Timedelta, pandas.Period):
        return True
    return numpy is not None and issubclass(cls, (numpy.number, numpy.bool_, numpy.datetime64, numpy.timedelta64))


_CALLABLE_CLASSES = {}


def _callable_class(cls):
    known = _CALLABLE_CLASSES.get(cls)
    if known is None:
        known = _CALLABLE_CLASSES[cls] = not _library_module(getattr(cls, "__module__", None)) or _value_class(cls)
    return known


_BOUND = (types.MethodType, types.BuiltinMethodType, types.MethodWrapperType)


class _Callee:
    """What a callable is, as its checks need it: the object it is a method of
    (None for a function or class, the class for an unbound method, whose
    receiver is its first argument), its name and its rule."""

    __slots__ = ("owner", "name", "rule", "unbound")

    def __init__(self, owner, name, rule, unbound=False):
        self.owner, self.name, self.rule, self.unbound = owner, name, rule, unbound


_OWN = _Callee(None, None, "own")


def _callee(f):
    """Raise unless `f` may be called."""
    if type(f) is Forbidden:
        raise Refused(f.reason)
    if isinstance(f, _BOUND):
        owner, name = getattr(f, "__self__", None), f.__name__
        if owner is None or isinstance(owner, types.ModuleType):
            _refuse(f"function {name!r} of a library")
        return _Callee(owner, name, _rule(owner, name))
    if isinstance(f, _DESCRIPTORS):
        cls = f.__objclass__
        return _Callee(cls, f.__name__, _class_rule(cls, f.__name__), unbound=True)
    if isinstance(f, types.FunctionType):
        if _library_function(f):
            _refuse(f"function {f.__name__!r} of a library")
        return _OWN
    if isinstance(f, type):
        if not _callable_class(f):
            _refuse(f"class {f.__qualname__!r} of a library")
        return _Callee(f, f.__name__, "own" if not _library_module(f.__module__) else "class")
    kind = _kind(type(f))
    if kind.library:
        _refuse(f"calling {kind.what}")
    return _OWN


# -- sizes -------------------------------------------------------------------


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


# -- what arguments may be ---------------------------------------------------

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


# -- the guard ---------------------------------------------------------------


class Guard:
    """What the checks of one fill need while it runs: the budgets of the
    placeholder being evaluated.  Compiled placeholders call its methods."""

    __slots__ = ("steps", "made", "grown", "deadline")

    slice = slice  # for the compiled subscripts

    def __init__(self):
        self.start()

    def start(self):
        """Give the placeholder about to run its budgets."""
        self.steps = self.made = self.grown = 0
        self.deadline = None  # set by the first loop step

    def _make(self, n, what):
        if n > MAX_SIZE - self.made:
            _refuse(f"{what} of {n} items or characters (at most {MAX_SIZE} in one placeholder)")
        self.made += n

    def _grow(self, cells, source, what):
        """Count the cells by which a table made from `source` outgrows it."""
        self._make(cells, what)
        extra = cells - _size(source)
        if extra > 0:
            if extra > MAX_GROWTH - self.grown:
                _refuse(f"{what} of {cells} cells from {_size(source)} (at most {MAX_GROWTH} more in one placeholder)")
            self.grown += extra

    def _step(self):
        if self.deadline is None:
            self.deadline = time.monotonic() + MAX_SECONDS
        self.steps += 1
        if self.steps > MAX_LOOP_STEPS:
            _refuse(f"more than {MAX_LOOP_STEPS} loop steps in one placeholder")
        if time.monotonic() > self.deadline:
            _refuse(f"loops running longer than {MAX_SECONDS:g} s")

    # attribute access, subscripts, loops, what is kept

    def attr(self, obj, name):
        _rule(obj, name)
        return _read_only(getattr(obj, name))

    def item(self, value, key):
        kind = type(value)
        if kind is dict or kind is list or kind is tuple:
            if type(key) is not slice:
                return value[key]
        elif kind is not str:
            return self._item(value, key)
        result = value[key]
        self._make(len(result), "a slice")
        return result

    def _item(self, value, key):
        if isinstance(value, collections.defaultdict) and key not in value:
            # reading a missing key would add it to the caller's dict
            return self._call(value.default_factory, (), {}) if value.default_factory is not None else value[key]
        parts = key if type(key) is tuple else (key,)
        if any(callable(part) for part in parts):  # pandas calls it with the frame
            parts = tuple(self._passed(part) if callable(part) else part for part in parts)
            key = parts if type(key) is tuple else parts[0]
        counts = [_selects(part) for part in parts]
        if any(counts) and not isinstance(value, (str, bytes, bytearray, list, tuple, dict)):
            self._check_selection(value, counts)
        return _read_only(value[key])

    def _check_selection(self, value, counts):
        """A list of labels or positions may name each row many times."""
        target = _target(value)
        rows, columns = counts[0], counts[1] if len(counts) > 1 else None
        if target is value and hasattr(value, "columns") and rows:
            cells = rows * max(_length(value), 1)  # df[list] picks columns
        else:
            cells = (rows or _length(target)) * (columns or _width(target))
        self._grow(cells, target, "a selection")

    def loop(self, iterable):
        return self._loop(iter(iterable))

    def _loop(self, iterator):
        for item in iterator:
            self._step()
            yield item

    def keep(self, value):
        """Count what a display or a comprehension holds: repeats of one item count
        each time, as printing or comparing them costs."""
        kind = type(value)
        if kind is int or kind is float or kind is bool or value is None:
            return value
        self._make(_deep_size(value), "items kept")
        return value

    # operators

    def add(self, a, b):
        if type(a) in _NUMBERS and type(b) in _NUMBERS:
            return a + b
        if isinstance(a, (str, bytes, list, tuple)) and isinstance(b, (str, bytes, list, tuple)):
            self._make(len(a) + len(b), "a concatenation")
        return self._operate(operator.add, a, b)

    def sub(self, a, b):
        if type(a) in _NUMBERS and type(b) in _NUMBERS:
            return a - b
        return self._operate(operator.sub, a, b)

    def truediv(self, a, b):
        if type(a) in _NUMBERS and type(b) in _NUMBERS:
            return a / b
        return self._operate(operator.truediv, a, b)

    def floordiv(self, a, b):
        if type(a) in _NUMBERS and type(b) in _NUMBERS:
            return a // b
        return self._operate(operator.floordiv, a, b)

    def mul(self, a, b):
        self._check_mul(a, b)
        return self._operate(operator.mul, a, b)

    def pow(self, a, b):
        self._check_pow(a, b)
        return self._operate(operator.pow, a, b)

    def mod(self, a, b):
        self._check_mod(a, b)
        result = self._operate(operator.mod, a, b)
        if isinstance(result, str):
            self._make(len(result), "a % format")
        return result

    def lshift(self, a, b):
        n = _count(b)
        if _holds_objects(a) or _holds_objects(b):
            if n is None or n > MAX_INT_BITS:
                _refuse("shifting a column of objects")
        elif n is not None and isinstance(a, int) and a and a.bit_length() + n > MAX_INT_BITS:
            _refuse(f"an integer of {a.bit_length() + n} bits (at most {MAX_INT_BITS})")
        return self._operate(operator.lshift, a, b)

    def rshift(self, a, b):
        return self._operate(operator.rshift, a, b)

    def and_(self, a, b):
        return self._operate(operator.and_, a, b)

    def or_(self, a, b):
        return self._operate(operator.or_, a, b)

    def xor(self, a, b):
        return self._operate(operator.xor, a, b)

    def matmul(self, a, b):
        if _is_table(a) and _is_table(b):
            shape_a, shape_b = getattr(a, "shape", ()), getattr(b, "shape", ())
            if len(shape_a) == 2 and len(shape_b) == 2:
                self._grow(shape_a[0] * shape_b[1], a if _size(a) >= _size(b) else b, "a matrix product")
        return self._operate(operator.matmul, a, b)

    def eq(self, a, b):
        return self._compare(operator.eq, a, b)

    def ne(self, a, b):
        return self._compare(operator.ne, a, b)

    def lt(self, a, b):
        return self._compare(operator.lt, a, b)

    def le(self, a, b):
        return self._compare(operator.le, a, b)

    def gt(self, a, b):
        return self._compare(operator.gt, a, b)

    def ge(self, a, b):
        return self._compare(operator.ge, a, b)

    def chain(self, left, *rest):
        """A chain of comparisons, `a < b < c`: its operands after the first come as
        functions, so that one that is not needed is not evaluated."""
        result = True
        for compare, operand in zip(rest[::2], rest[1::2]):
            right = operand()
            result = getattr(self, compare)(left, right)
            if not result:
                return result
            left = right
        return result

    def _compare(self, op, a, b):
        if type(a) in _NUMBERS and type(b) in _NUMBERS:
            return op(a, b)
        return self._operate(op, a, b)

    def _operate(self, op, a, b):
        if _is_table(a) and _is_table(b):
            self._check_combined(a, b)
        elif op is operator.add:
            self._check_text_added(a, b)
        result = op(a, b)
        if type(result) is decimal.Decimal:
            _check_decimal(result)
        return _read_only(result)

    def _check_combined(self, a, b):
        """What an operator on two arrays, columns or frames makes: numpy broadcasts
        their shapes, pandas matches their labels."""
        cells = _combined_cells(a, b)
        if cells > max(_size(a), _size(b)):
            self._grow(cells, a if _size(a) >= _size(b) else b, "combining two tables")

    def _check_text_added(self, a, b):
        """Text added to each item of a column is copied as many times."""
        for table, other in ((a, b), (b, a)):
            if isinstance(other, (str, bytes)) and _is_table(table) and _holds_objects(table):
                self._make(len(other) * _size(table) + _text_size(table), "text added to a column")

    def _check_mul(self, a, b):
        if type(a) is int and type(b) is int:
            if a and b and a.bit_length() + b.bit_length() > MAX_INT_BITS + 1:
                _refuse(f"an integer of about {a.bit_length() + b.bit_length()} bits (at most {MAX_INT_BITS})")
            return
        for seq, times in ((a, b), (b, a)):
            if isinstance(seq, (str, bytes, bytearray, list, tuple)):
                n = _count(times)
                if n is not None and n > 1:
                    self._make(_deep_size(seq) * n, "a repetition")
                break
            if _is_table(seq) and _holds_objects(seq):
                n = _count(times)
                if n is None:
                    if _is_table(times):
                        _refuse("multiplying a column of text or objects by a column")
                elif _holds_text(seq):
                    if n > 1:
                        self._make(_size(seq) * n, "a repetition")
                elif n and _largest_bits(seq) + n.bit_length() > MAX_INT_BITS + 1:
                    _refuse(f"whole numbers of about {_largest_bits(seq) + n.bit_length()} bits (at most {MAX_INT_BITS})")
                break

    def _check_pow(self, a, b):
        n = _count(b)
        if n is None and isinstance(b, numbers.Rational) and b.denominator == 1:
            n = int(b)
        if _holds_objects(a) or _holds_objects(b):
            if n is None or abs(n) > MAX_OBJECT_POWER:
                _refuse(f"a power of a column of objects with an exponent beyond {MAX_OBJECT_POWER}")
            if abs(n) > 1 and _largest_bits(a) * abs(n) > MAX_INT_BITS:
                _refuse(f"a power of a column of objects of about {_largest_bits(a) * abs(n)} bits (at most {MAX_INT_BITS})")
        elif n is not None and abs(n) > 1 and isinstance(a, numbers.Rational) and not _is_table(a):
            base = max(abs(a.numerator), a.denominator)
            if base > 1 and math.log2(base) * abs(n) > MAX_INT_BITS:
                _refuse(f"an integer power of about {math.log2(base) * abs(n):.3g} bits (at most {MAX_INT_BITS})")

    def _check_mod(self, a, b):
        if isinstance(a, (str, bytes, bytearray)):
            values = b if type(b) is tuple else (b,)
            self._make(_percent_widths(a) + sum(_deep_size(v) for v in values), "% format widths")
        elif _holds_objects(a):
            _refuse("% on a column of text or objects")

    # calls

    def call(self, f, /, *args, **kwargs):
        trusted = _TRUSTED.get(id(f))
        if trusted is not None and trusted[0] is f:  # len, str...: the common case first
            return self._trusted_call(trusted, args, kwargs)
        return self._call(f, args, kwargs)

    def _trusted_call(self, trusted, args, kwargs):
        if kwargs:
            key = kwargs.get("key")
            if key is not None:  # sorted, min and max call it
                kwargs["key"] = self._passed(key)
        return trusted[1](self, *args, **kwargs) if trusted[1] else trusted[0](*args, **kwargs)

    def method(self, obj, name, /, *args, **kwargs):
        rule = _rule(obj, name)
        f = getattr(obj, name)
        if rule == "own":
            return self._call(f, args, kwargs)  # what it holds is checked as it is
        return self._call(f, args, kwargs, _Callee(obj, name, rule, isinstance(f, _DESCRIPTORS)))

    def _call(self, f, args, kwargs, callee=None):
        if callee is None:
            trusted = _TRUSTED.get(id(f))
            if trusted is not None and trusted[0] is f:
                return self._trusted_call(trusted, args, kwargs)
            callee = _callee(f)
        args = tuple(self._argument(value, 2) for value in args)
        kwargs = {key: self._argument(value, 2) for key, value in kwargs.items()}
        rule = callee.rule
        if rule == "own":
            return _read_only(f(*args, **kwargs))
        owner, name, rest = callee.owner, callee.name, args
        if callee.unbound:
            if not args:
                return f()  # fails with Python's own reason
            owner, rest = args[0], args[1:]
        if rule == "class":
            self._check_class_call(owner, rest, kwargs)
        else:
            rest, kwargs = self._check_arguments(owner, name, rest, kwargs)
            if rule == "sized":
                self._check_sized(owner, name, rest, kwargs)
            elif rule == "checked":
                check = _CHECKS.get(name)
                done = check(self, owner, rest, kwargs) if check is not None else None
                if done is not None:
                    return self._result(done[0])
        result = f(owner, *rest, **kwargs) if callee.unbound else f(*rest, **kwargs)
        if rule == "same" or rule == "make":
            self._make(_made(result), f"{name}()")
        return self._result(result)

    @staticmethod
    def _result(result):
        kind = type(result)
        if kind is int:
            if result.bit_length() > MAX_INT_BITS:
                # many distinct huge integers (enumerate's start) would exhaust memory
                _refuse(f"an integer of {result.bit_length()} bits (at most {MAX_INT_BITS})")
            return result
        if kind is decimal.Decimal:
            _check_decimal(result)
            return result
        return _read_only(result)

    # what is passed to a call

    def _argument(self, value, depth):
        """`value` as a call may be given it: functions checked, and wrapped when
        calling them needs checks; lists and dicts of them rebuilt."""
        kind = type(value)
        if kind in _PLAIN_ARGUMENTS:
            return value
        if callable(value):
            return self._passed(value)
        if depth and (kind is list or kind is tuple or kind is dict or kind is set or kind is frozenset):
            items = value.values() if kind is dict else value
            if len(items) > 1000 or kind is set or kind is frozenset:
                # a long list of data: only its functions are looked at, at C speed
                if any(map(callable, items)):
                    _refuse(f"functions in a {kind.__name__!r} of {len(items)} items")
                return value
            checked = [self._argument(item, depth - 1) for item in items]
            if all(map(operator.is_, checked, items)):
                return value
            return dict(zip(value, checked)) if kind is dict else kind(checked)
        return value

    def _passed(self, f):
        """`f` as it may be passed on to be called later, where no guard sees its
        arguments: the allowed builtins and classes and the caller's own code as
        they are, other functions wrapped so that each call is checked and counted
        as a loop step."""
        trusted = _TRUSTED.get(id(f))
        if trusted is not None and trusted[0] is f:
            if trusted[1] is None or isinstance(f, type) and f is not range:
                return f
            callee, name = None, f.__name__
        elif getattr(f, "__code__", None) is _CHECKED_CODE:
            return f
        else:
            callee = _callee(f)
            if callee.rule == "own":
                return f
            name = callee.name
        return _checked(self, f, callee, name)

    def _check_arguments(self, owner, name, args, kwargs):
        """Checks of a library method's arguments: what it changes, which functions
        it runs by name, the time zones, dtypes, formats and regular expressions
        it is given."""
        if kwargs:
            if kwargs.get("inplace"):
                _refuse("inplace=True")
            if kwargs.get("out") is not None:
                _refuse("out=")
            for key in ("engine_kwargs", "win_type"):
                if kwargs.get(key) is not None:
                    _refuse(f"{key}=")
            engine = kwargs.get("engine")
            if engine is not None and engine not in ("cython", "python"):
                _refuse(f"engine={engine!r}")
            if name in _WINDOW_MAKERS and kwargs.get("method") not in (None, "single"):
                _refuse(f"method={kwargs['method']!r}")
            for key in ("tz", "tzinfo"):
                _check_zone(kwargs.get(key))
            dtype = kwargs.get("dtype")
            if dtype is not None:
                self._make(_dtype_width(dtype) * _size(owner), "a dtype")
            for key in ("include", "exclude"):
                value = kwargs.get(key)
                if value is not None and value != "all":
                    for item in value if isinstance(value, (list, tuple)) else (value,):
                        _dtype_width(item)
        if args and name in _ZONE_FIRST:
            _check_zone(args[0])
        position = _NUMPY_OUT.get(name)
        if position is not None and len(args) > position and args[position] is not None and _is_array(owner):
            _refuse("an output array")
        for value in (*args, *kwargs.values()):
            for text in _texts(value):
                if "{" in text and _REACHING_FIELD.search(text):
                    # a library may fill it with str.format
                    _refuse("a format string whose fields reach attributes or items")
        if name in _ELEMENTWISE and _is_table(owner):
            for value in (*args, *kwargs.values()):
                if _is_table(value):
                    self._check_combined(owner, value)
        if name in _DISPATCH:
            return self._check_functions(owner, name, args, kwargs)
        if name in _REGEX_METHODS and _is_table(getattr(owner, "_orig", owner)):
            self._check_regex(owner, name, args, kwargs)
        return args, kwargs

    def _check_functions(self, owner, name, args, kwargs):
        """The functions given to agg, transform and apply: names of reductions and
        allowed functions, in the shapes pandas documents."""
        if args:
            args = (self._functions(args[0], owner, name), *args[1:])
        else:
            for key in ("func", "arg"):
                if key in kwargs:
                    kwargs = {**kwargs, key: self._functions(kwargs[key], owner, name)}
        named = {}
        for key, value in kwargs.items():
            if isinstance(value, tuple) and len(value) == 2 and name in ("agg", "aggregate"):
                # named aggregation: total=('amount', 'sum')
                func = self._functions(value[1], owner, name, depth=0)
                named[key] = (value[0], func) if type(value) is tuple else type(value)(value[0], func)
        return args, {**kwargs, **named}

    def _functions(self, value, owner, method, depth=1):
        kind = type(value)
        if kind is str:
            if value not in REDUCTIONS:
                _refuse(f"{value[:80]!r} named in an argument of {method!r} (allowed: the reductions {', '.join(sorted(REDUCTIONS))})")
            if value in _SUMS:
                self._check_sum(owner)
            return value
        if callable(value):
            if value is sum:
                self._check_sum(owner)
            return self._passed(value)
        if depth and (kind is list or kind is tuple):
            return kind(self._functions(item, owner, method, 0) for item in value)
        if depth and kind is dict:
            return {
                key: (type(item)(self._functions(i, owner, method, 0) for i in item)
                      if type(item) in (list, tuple) else self._functions(item, owner, method, 0))
                for key, item in value.items()
            }
        _refuse(f"functions given to {method!r} in {_kind(kind).what} (a name, a function, or a list, tuple or dict of them)")

    def _check_sum(self, owner):
        numpy, pandas = sys.modules.get("numpy"), sys.modules.get("pandas")
        data = (numpy.ndarray,) if numpy is not None else ()
        if pandas is not None:
            data += (pandas.Series, pandas.DataFrame, pandas.Index)
        if not isinstance(owner, data):
            # the columns a groupby adds up, or the frame of a window
            columns = getattr(owner, "_obj_with_exclusions", None)
            owner = columns if isinstance(columns, data) else getattr(owner, "obj", None)
            if not isinstance(owner, data):
                return
        if _holds_objects(owner):
            if _holds_text(owner):
                _refuse("summing text or lists, which copies them over and over")
            if _largest_bits(owner) > 64:
                _refuse("adding up or multiplying a column of large whole numbers")

    def _check_regex(self, owner, name, args, kwargs):
        """What the regular expressions given may take on the texts of the receiver."""
        if name == "filter":
            patterns, data = [kwargs.get("regex")], owner.columns if hasattr(owner, "columns") else owner.index
        elif name == "replace":
            if not kwargs.get("regex"):
                return
            patterns = [args[0] if args else kwargs.get("to_replace", kwargs.get("pat")), kwargs.get("regex")]
            data = getattr(owner, "_orig", owner)
        else:
            patterns, data = [args[0] if args else kwargs.get("pat")], owner._orig
        lengths = None
        for pattern in (text for value in patterns for text in _texts(value)):
            factor, power = _regex_cost(pattern)
            if factor == 1 and power == 0:
                continue
            if lengths is None:
                lengths = _text_lengths(data)
            steps = factor * sum(float((column ** (power + 1)).sum()) for column in lengths)
            if steps > MAX_REGEX_STEPS:
                _refuse(f"a regular expression that may take {steps:.3g} steps on this text (at most {MAX_REGEX_STEPS:.0e})")

    def _check_class_call(self, cls, args, kwargs):
        _check_zone(kwargs.get("tz"))
        if issubclass(cls, fractions.Fraction):
            for value in args:
                match = _EXPONENT.search(value) if isinstance(value, str) else None
                if match and abs(int(match.group(1)[:12])) > MAX_EXPONENT:
                    _refuse(f"a fraction of exponent {match.group(1)} (at most {MAX_EXPONENT})")

    def _check_sized(self, owner, name, args, kwargs):
        n = _largest_count(args, kwargs)
        if isinstance(owner, (str, bytes, bytearray)):
            tabs = owner.count("\t" if isinstance(owner, str) else b"\t") if name == "expandtabs" else 1
            self._make(n * tabs, f"{name}()")
            return
        column = getattr(owner, "_orig", None)  # of .str
        if column is not None:
            items = _text_size(column) if name == "repeat" else _length(column)
            self._make(n * max(items, 1), f"{name}()")
        else:
            self._grow(n * _size(owner), owner, f"{name}()")

    # builtins with checks of their own

    def _range(self, *args):
        r = range(*args)
        try:
            n = len(r)
        except OverflowError:
            n = MAX_RANGE + 1
        if n > MAX_RANGE:
            _refuse(f"a range of {(r.stop - r.start) // r.step} items (at most {MAX_RANGE})")
        self._make(n, "ranges")  # what list() or a loop makes of it
        return r

    def _format(self, value, format_spec="", /):
        self._make(_format_widths(format_spec) + _deep_size(value), "format widths")
        result = format(value, format_spec)
        self._make(len(result), "format()")
        return result

    def _str(self, *args, **kwargs):
        if args and type(args[0]) in _CONTAINERS:
            self._make(_deep_size(args[0]), "str()")
        return str(*args, **kwargs)

    def _int(self, *args, **kwargs):
        if args and type(args[0]) is decimal.Decimal:
            _check_decimal(args[0])
        return self._result(int(*args, **kwargs))

    def _collect(self, kind, *args, **kwargs):
        result = kind(*args, **kwargs)
        self._make(len(result), f"{kind.__name__}()")
        return result

    def _list(self, *args):
        return self._collect(list, *args)

    def _tuple(self, *args):
        return self._collect(tuple, *args)

    def _set(self, *args):
        return self._collect(set, *args)

    def _dict(self, *args, **kwargs):
        return self._collect(dict, *args, **kwargs)

    def _sorted(self, *args, **kwargs):
        return self._collect(sorted, *args, **kwargs)

    def _isinstance(self, obj, classinfo, /):
        return isinstance(obj, classinfo)

    def _round(self, number, ndigits=None):
        n = _count(ndigits) if ndigits is not None else None
        if n is not None and abs(n) > MAX_ROUND_DIGITS:
            _refuse(f"rounding to {n} digits (at most {MAX_ROUND_DIGITS})")
        if type(number) is decimal.Decimal:
            _check_decimal(number)
        return round(number, ndigits)

    def _sum(self, iterable, /, start=0):
        if isinstance(start, collections.abc.Sized) or _is_array(start):
            _refuse("sum() of sequences")
        return sum(iterable, start)


_NUMBERS = frozenset({int, float, bool})
_PLAIN_ARGUMENTS = frozenset({int, float, bool, str, bytes, type(None), slice})
# Methods that take a time zone first.
_ZONE_FIRST = frozenset("tz_localize tz_convert astimezone now today".split())
# Methods that match or broadcast a table given to them against their receiver.
_ELEMENTWISE = frozenset("clip where mask fillna".split())
# Methods of pandas whose `method=` chooses an engine.
_WINDOW_MAKERS = frozenset("rolling expanding ewm".split())
# pandas methods that take a regular expression.
_REGEX_METHODS = frozenset(
    "contains match fullmatch replace extract extractall findall count split rsplit filter".split()
)
# numpy methods with an output array at this position, written in place.
_NUMPY_OUT = {
    "all": 1, "any": 1, "argmax": 1, "argmin": 1, "max": 1, "min": 1, "round": 1,
    "clip": 2, "cumprod": 2, "cumsum": 2, "mean": 2, "prod": 2, "sum": 2, "std": 2,
    "var": 2, "take": 2, "trace": 4,
}


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


def _check_decimal(value):
    # int() of a decimal with a large exponent takes seconds
    if value.is_finite() and abs(value.adjusted()) > MAX_EXPONENT:
        _refuse(f"a decimal of exponent {value.adjusted()} (at most {MAX_EXPONENT})")


def _texts(value):
    """The texts among `value` and the items of a list, tuple or dict."""
    if isinstance(value, str):
        return (value,)
    if type(value) in (list, tuple):
        return [item for item in value if isinstance(item, str)]
    if type(value) is dict:
        return [item for item in (*value, *value.values()) if isinstance(item, str)]
    return ()


def _checked(guard, f, callee, name):
    """`f` wrapped so that each call is checked by `guard` and counted as a loop step."""

    def checked(*args, **kwargs):
        guard._step()
        return guard.keep(guard._call(f, args, kwargs, callee))

    checked.__name__ = checked.__qualname__ = name  # pandas names results by it
    return checked


_CHECKED_CODE = _checked(None, None, None, "").__code__


def _read_only(value):
    """An array as a placeholder may hold it: never a buffer it can write to."""
    numpy = sys.modules.get("numpy")
    if numpy is not None and isinstance(value, numpy.ndarray) and value.flags.writeable:
        value = value.view()
        value.flags.writeable = False
    return value


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


# -- checks of single methods ----------------------------------------------------
# Each takes the Guard, the receiver and the arguments; it raises, or returns None
# to let the call run, or (result,) when it made the call itself.


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


# Builtins by id: the function itself and, for some, the Guard method that checks
# its arguments first.
_GUARDED = {
    "range": Guard._range, "format": Guard._format, "round": Guard._round, "sum": Guard._sum, "int": Guard._int,
    "str": Guard._str, "isinstance": Guard._isinstance, "list": Guard._list, "tuple": Guard._tuple,
    "set": Guard._set, "dict": Guard._dict, "sorted": Guard._sorted,
}
_TRUSTED = {id(getattr(builtins, name)): (getattr(builtins, name), _GUARDED.get(name)) for name in ALLOWED_BUILTINS}


class Forbidden:
    """Stands for a builtin that safe mode leaves out, so that using it says why."""

    __slots__ = ("reason",)

    def __init__(self, name, what=None):
        self.reason = f"{PREFIX}name {name!r}" + (f" ({what})" if what else "")

    def _refuse(self, *args, **kwargs):
        raise Refused(self.reason)

    __call__ = __str__ = __repr__ = __format__ = __iter__ = __bool__ = __len__ = __getitem__ = _refuse


def _import_loaded(name, globals=None, locals=None, fromlist=(), level=0):
    """What C code running in a placeholder's frame imports: only modules that are
    loaded already (datetime's strftime asks for time)."""
    if level == 0 and name in sys.modules:
        return sys.modules[name] if fromlist else sys.modules[name.partition(".")[0]]
    raise ImportError(f"safe mode imports nothing new: {name}")


_BUILTINS = {name: getattr(builtins, name) for name in ALLOWED_BUILTINS}
_BUILTINS.update((name, Forbidden(name)) for name in _NAMED_REFUSALS)
_BUILTINS["__import__"] = _import_loaded


def _closed(value):
    """Why a variable may not be used at all, or None: modules, library functions,
    iterators that reading would use up, and objects of libraries that offer
    nothing (connections, clients, files)."""
    if isinstance(value, types.ModuleType):
        return f"module {value.__name__!r}"
    if type(value) is Forbidden:
        return None
    if callable(value):
        try:
            _callee(value)
        except Refused as refusal:
            return str(refusal)[len(PREFIX):]
        return None
    kind = _kind(type(value))
    if kind.closed:
        return kind.what
    if kind.library and isinstance(value, collections.abc.Iterator) and not isinstance(value, io.IOBase):
        return f"{kind.what}, which reading would use up"
    return None


def _own_copy(value):
    """The value a placeholder gets for a variable that it could change by reading:
    a picture stream's copy, an array that cannot be written."""
    if isinstance(value, io.BytesIO):
        return io.BytesIO(value.getvalue())
    return _read_only(value)


# Types whose values have been found usable as they are; a namespace of only such
# values is made without looking at each.
_OPEN_TYPES = set()


def namespace(env):
    """The namespace a fill evaluates its placeholders against: the variables, the
    allowed builtins and a Guard of its own."""
    if not isinstance(env, dict):
        raise TypeError("globals must be a dict")
    ns = dict(env)
    if not _OPEN_TYPES.issuperset(map(type, ns.values())):
        numpy = sys.modules.get("numpy")
        copied = (io.BytesIO, numpy.ndarray) if numpy is not None else (io.BytesIO,)
        for name, value in env.items():
            reason = _closed(value)
            if reason is None:
                if isinstance(value, copied):
                    ns[name] = _own_copy(value)
                elif not callable(value):
                    _OPEN_TYPES.add(type(value))
            elif isinstance(name, str) and not name.startswith("_"):  # others no placeholder can name
                ns[name] = Forbidden(name, reason)
    ns["__builtins__"] = _BUILTINS
    ns[GUARD] = Guard()
    return ns


# -- checking and rewriting an expression ------------------------------------

_NODES = (
    ast.Expression, ast.Constant, ast.Name, ast.Attribute, ast.Subscript, ast.Slice, ast.Call, ast.keyword,
    ast.Starred, ast.BinOp, ast.UnaryOp, ast.BoolOp, ast.Compare, ast.IfExp, ast.List, ast.Tuple, ast.Set,
    ast.Dict, ast.ListComp, ast.SetComp, ast.DictComp, ast.GeneratorExp, ast.comprehension,
    ast.operator, ast.unaryop, ast.boolop, ast.cmpop, ast.Load, ast.Store,
)
_NODE_NAMES = {
    ast.Lambda: "lambda",
    ast.NamedExpr: "assignment expression (:=)",
    ast.Await: "await",
    ast.Yield: "yield",
    ast.YieldFrom: "yield",
    ast.JoinedStr: "f-string",
    ast.FormattedValue: "f-string",
}
_OPERATORS = {
    ast.Add: "add", ast.Sub: "sub", ast.Mult: "mul", ast.Div: "truediv", ast.FloorDiv: "floordiv",
    ast.Mod: "mod", ast.Pow: "pow", ast.LShift: "lshift", ast.RShift: "rshift", ast.BitAnd: "and_",
    ast.BitOr: "or_", ast.BitXor: "xor", ast.MatMult: "matmul",
}
_COMPARISONS = {ast.Eq: "eq", ast.NotEq: "ne", ast.Lt: "lt", ast.LtE: "le", ast.Gt: "gt", ast.GtE: "ge"}
# Constants folded at compile time up to this size; larger ones are made at run
# time, where they count against the placeholder's budget.
_FOLD_LIMIT = 4096


def _guard(method, args, keywords=()):
    attribute = ast.Attribute(ast.Name(GUARD, ast.Load()), method, ast.Load())
    return ast.Call(attribute, list(args), list(keywords))


def _small(value):
    if isinstance(value, int):
        return value.bit_length() <= MAX_INT_BITS
    if isinstance(value, (str, bytes, tuple)):
        return len(value) <= _FOLD_LIMIT
    return isinstance(value, (float, complex))




class _Rewrite(ast.NodeTransformer):
    def __init__(self):
        self.guarded = False

    def guard(self, method, args, keywords=()):
        self.guarded = True
        return _guard(method, args, keywords)

    def generic_visit(self, node):
        if not isinstance(node, _NODES):
            _refuse(_NODE_NAMES.get(type(node), type(node).__name__))
        return super().generic_visit(node)

    def visit_Constant(self, node):
        if type(node.value) is int and node.value.bit_length() > MAX_INT_BITS:
            _refuse(f"an integer of {node.value.bit_length()} bits (at most {MAX_INT_BITS})")
        return node

    def visit_Name(self, node):
        # "_" alone is the usual name of a loop variable that is not used.
        if node.id.startswith("_") and node.id != "_":
            _refuse(f"name {node.id!r}")
        return node

    # Owners are checked before their attributes, so that the reason names the
    # first rule broken in reading order.
    def visit_Attribute(self, node):
        node = self.generic_visit(node)
        self.check_attribute(node.attr)
        return self.guard("attr", [node.value, ast.Constant(node.attr)])

    def check_attribute(self, name):
        if name.startswith("_"):
            _refuse(f"attribute {name!r}")

    def visit_Call(self, node):
        if isinstance(node.func, ast.Attribute):
            owner = self.visit(node.func.value)
            self.check_attribute(node.func.attr)
            args = [self.visit(a) for a in node.args]
            keywords = [self.visit(k) for k in node.keywords]
            return self.guard("method", [owner, ast.Constant(node.func.attr), *args], keywords)
        node = self.generic_visit(node)
        return self.guard("call", [node.func, *node.args], node.keywords)

    def visit_Subscript(self, node):
        if not isinstance(node.ctx, ast.Load):
            _refuse("assigning to an item")
        value = self.visit(node.value)
        parts = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
        if any(isinstance(part, ast.Starred) for part in parts):
            _refuse("a starred subscript")
        parts = [self.key_part(part) for part in parts]
        key = ast.Tuple(parts, ast.Load()) if isinstance(node.slice, ast.Tuple) else parts[0]
        return ast.copy_location(self.guard("item", [value, key]), node)

    def key_part(self, part):
        if isinstance(part, ast.Slice):
            bounds = [self.visit(b) if b is not None else ast.Constant(None) for b in (part.lower, part.upper, part.step)]
            return self.guard("slice", bounds)
        return self.visit(part)

    def visit_comprehension(self, node):
        if node.is_async:
            _refuse("async for")
        for target in ast.walk(node.target):
            if isinstance(target, (ast.Attribute, ast.Subscript)):
                _refuse("assigning to an item or attribute in a loop")
        node = self.generic_visit(node)
        node.iter = self.guard("loop", [node.iter])
        return node

    def keep(self, node):
        return node if isinstance(node, ast.Constant) else self.guard("keep", [node])

    def visit_ListComp(self, node):
        node = self.generic_visit(node)
        node.elt = self.keep(node.elt)
        return node

    visit_SetComp = visit_GeneratorExp = visit_ListComp

    def visit_DictComp(self, node):
        node = self.generic_visit(node)
        node.key, node.value = self.keep(node.key), self.keep(node.value)
        return node

    def visit_List(self, node):
        node = self.generic_visit(node)
        if isinstance(node.ctx, ast.Load):
            node.elts = [
                ast.Starred(self.keep(e.value), e.ctx) if isinstance(e, ast.Starred) else self.keep(e) for e in node.elts
            ]
        return node

    visit_Tuple = visit_Set = visit_List

    def visit_Dict(self, node):
        node = self.generic_visit(node)
        node.keys = [self.keep(k) if k is not None else None for k in node.keys]
        node.values = [self.keep(v) for v in node.values]
        return node

    def visit_BinOp(self, node):
        node = self.generic_visit(node)
        method = _OPERATORS[type(node.op)]
        left, right = node.left, node.right
        if method in ("add", "sub", "mul", "truediv", "floordiv") and any(
            isinstance(s, ast.Constant) and type(s.value) in (float, complex) for s in (left, right)
        ):
            return node  # numbers and arrays by a number: nothing grows
        if isinstance(left, ast.Constant) and isinstance(right, ast.Constant):
            try:
                value = getattr(Guard(), method)(left.value, right.value)
            except Refused:
                raise
            except Exception:
                pass  # it fails again when it runs, with its own reason
            else:
                if _small(value):
                    return ast.copy_location(ast.Constant(value), node)
        return self.guard(method, [left, right])

    def visit_Compare(self, node):
        node = self.generic_visit(node)
        methods = [_COMPARISONS.get(type(op)) for op in node.ops]
        if None in methods:
            return node  # in, is: nothing is made
        if len(methods) == 1:
            return self.guard(methods[0], [node.left, node.comparators[0]])
        rest = []
        for method, operand in zip(methods, node.comparators):
            thunk = ast.Lambda(ast.arguments([], [], None, [], [], None, []), operand)
            rest += [ast.Constant(method), thunk]
        return self.guard("chain", [node.left, *rest])


def compile_placeholder(text):
    """The code of a placeholder for safe mode.

    Raises Refused when the text breaks a rule that shows in the text itself, and
    SyntaxError when it is no expression.
    """
    if not isinstance(text, str):
        raise TypeError(f"a placeholder is text, not {type(text).__name__}")
    tree = ast.parse(text.lstrip(" \t"), "<string>", "eval")
    rewrite = _Rewrite()
    tree = rewrite.visit(tree)
    if rewrite.guarded:
        # Budgets are per placeholder: `None or value` is the value.
        tree.body = ast.BoolOp(ast.Or(), [_guard("start", []), tree.body])
    return compile(ast.fix_missing_locations(tree), "<string>", "eval", dont_inherit=True)


def evaluate(text, env):
    """Evaluate one placeholder in safe mode against the variables `env`.

    For callers outside the fillers (the command's check); the fillers cache the
    compiled code and keep one namespace per fill.
    """
    return eval(compile_placeholder(text), namespace(env))  # noqa: S307 - the checked code


# -- the table as text ---------------------------------------------------------


def allowed_markdown():
    """The table of what placeholders may use, as the README shows it."""
    import textwrap

    def names(items):
        return ", ".join(f"`{name}`" for name in items)

    intro = (
        "Allowed: names of the variables, literals, subscripts and slices, arithmetic, comparisons, "
        "`and`/`or`/`not`, conditional expressions, comprehensions, these builtins: "
        f"{names(ALLOWED_BUILTINS)}; the reductions that `agg`, `transform` and `apply` may be given by name: "
        f"{names(sorted(REDUCTIONS))}; and of values of the types below (and of their subclasses) only the "
        "attributes and methods listed. Objects of your own classes offer their public attributes, and your "
        "own functions and classes can be called."
    )
    lines = [textwrap.fill(intro, 105, break_long_words=False, break_on_hyphens=False), "",
             "<details><summary>Attributes and methods by type</summary>", ""]
    for path, groups in ALLOWED.items():
        listed = sorted(name for group in groups.values() for name in group.split())
        lines.append(f"- `{path}`: " + ("any public attribute it holds" if listed == ["*"] else names(listed)))
    lines += ["", "</details>"]
    return "\n".join(lines) + "\n"
