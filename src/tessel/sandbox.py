"""The rules of safe mode, for placeholders of templates that others wrote.

A placeholder is parsed and checked once (`compile_placeholder`).  What passes is
compiled with its attribute access, calls, computed subscripts, comprehension
loops and size-changing operators routed through a `Guard`, which knows the
values that the text alone cannot tell.  Each fill evaluates against a namespace
of its own (`namespace`): a copy of the variables, the builtins a report needs and
a fresh Guard, so the caller's dict is never changed and budgets belong to one
fill.  A placeholder that breaks a rule raises `Refused`, whose message is the
reason that the fill lists.
"""

import ast
import builtins
import collections.abc
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
from pathlib import PurePath

__all__ = ["Refused", "compile_placeholder", "namespace", "evaluate", "ALLOWED_BUILTINS"]

# What one placeholder may make.  Past these it fails instead of hanging or
# exhausting memory.
MAX_RANGE = 1_000_000  # items of one range()
MAX_LOOP_STEPS = 1_000_000  # steps of all the comprehensions of one placeholder
MAX_SIZE = 10_000_000  # items and characters made by repeating, padding, joining, widths
MAX_INT_BITS = 1024  # an integer made by ** or << or returned by a call: what a float holds
MAX_ROUND_DIGITS = 10_000  # round(x, n): n beyond this computes 10**n
MAX_OBJECT_POWER = 1_000  # ** on columns of Python objects runs Python's own pow per cell
MAX_SECONDS = 0.5  # comprehension loops stop after this

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

_REFUSED_ATTRIBUTES = frozenset(
    # run code given as text or call the function given
    "eval query pipe "
    # reach types, frames and code
    "mro gi_frame gi_code gi_yieldfrom cr_frame cr_code cr_await ag_frame ag_code ag_await "
    "f_globals f_locals f_builtins f_back f_code tb_frame tb_next func_globals func_code "
    # files, memory, printing, drawing and templates of pandas and numpy
    "tofile fromfile ctypes info style plot hist boxplot from_custom_template".split()
)
# Privates and dunders; writers; readers; formatters whose fields reach attributes.
_REFUSED_PREFIXES = ("_", "to_", "read_", "save", "dump", "write", "format")

# to_* conversions that stay in memory.
_IN_MEMORY = frozenset(
    "to_list to_dict to_numpy to_frame to_series to_pydatetime to_pytimedelta to_period "
    "to_timestamp to_records to_flat_index to_julian_date to_datetime64 to_timedelta64".split()
)
# Text renderers: they return their text unless given somewhere to write it,
# always as their first argument.
_RENDERERS = {
    "to_string": "buf",
    "to_html": "buf",
    "to_latex": "buf",
    "to_markdown": "buf",
    "to_csv": "path_or_buf",
    "to_json": "path_or_buf",
}

_CONTAINER_MUTATORS = frozenset(
    "append appendleft clear extend extendleft insert pop popitem popleft remove reverse rotate "
    "setdefault sort update add discard difference_update intersection_update "
    "symmetric_difference_update".split()
)
_ARRAY_MUTATORS = frozenset("fill put resize sort partition itemset setfield setflags".split())
_FRAME_MUTATORS = frozenset("pop insert update".split())
_ALL_MUTATORS = _CONTAINER_MUTATORS | _ARRAY_MUTATORS | _FRAME_MUTATORS

# What a picture stream held in the variables offers: reading, never writing.
_STREAM_READS = frozenset("getvalue getbuffer read read1 readline readlines tell seekable readable closed".split())
# What a path offers without touching the file system.
_PURE_PATH = frozenset(name for name in dir(PurePath) if not name.startswith("_"))

# Methods that look up a method named by a string argument.
_DISPATCH = frozenset("agg aggregate apply applymap map transform".split())
# Methods whose whole-number arguments size their result.
_SIZED = frozenset("ljust rjust center zfill expandtabs repeat pad sample tile resize".split())
# Methods of arrays, columns and frames that are operators in disguise, with the
# operator's check: (method, operands swapped).
_OPERATOR_METHODS = {
    "mul": ("mul", False), "multiply": ("mul", False), "rmul": ("mul", True),
    "pow": ("pow", False), "rpow": ("pow", True), "mod": ("mod", False), "rmod": ("mod", True),
}
# Reductions that add the items up: text and lists are copied over and over.
_SUMS = frozenset("sum cumsum".split())
# Methods that the checks of a call look at; passed on as a function, they would
# be called where no check sees their arguments.
_CHECKED_CALLS = (
    frozenset(_RENDERERS) | _DISPATCH | _SIZED | frozenset(_OPERATOR_METHODS) | _SUMS
    | frozenset("replace join translate astype view resample asfreq".split())
)
# Arguments longer than this are lists of data, not of options.
_SCANNED_ITEMS = 1000
# pandas methods that take a regular expression.
_REGEX_METHODS = frozenset("contains match fullmatch replace extract extractall findall count split rsplit filter".split())
# numpy methods with an output array at this position, written in place.
_NUMPY_OUT = {
    "all": 1, "any": 1, "argmax": 1, "argmin": 1, "choose": 1, "dot": 1, "max": 1, "min": 1, "round": 1,
    "clip": 2, "compress": 2, "cumprod": 2, "cumsum": 2, "mean": 2, "prod": 2, "sum": 2, "std": 2,
    "var": 2, "take": 2, "trace": 4,
}

# Type families whose objects may be used; objects of other libraries (database
# connections, clients, figures, writers...) offer nothing.
_FAMILIES = frozenset(
    "builtins datetime decimal fractions numbers collections zoneinfo uuid types enum "
    "pandas numpy io _io pathlib".split()
)
_CLOSED_MODULES = ("pandas.io", "pandas.plotting", "numpy.lib", "numpy.ctypeslib")

# A replacement field that reaches an attribute or an item: "{0.__class__}", "{x[k]}".
_REACHING_FIELD = re.compile(r"\{[^{}!:]*[.\[]")
# A conversion of a % format, with its width and precision.
_PERCENT = re.compile(rb"%(?:\([^)]*\))?[#0 +\-]*(\*|\d+)?(?:\.(\*|\d+))?[hlL]?(.)", re.S)
_DIGITS = re.compile(r"\d+")
# A repeated group that itself repeats or alternates, "(a+)+", "(a|aa)*": matching
# it can take time exponential in the length of the text.
_NESTED_REPEAT = re.compile(r"\((?:[^()\\]|\\.)*(?:[*+|]|\{\d*,)(?:[^()\\]|\\.)*\)(?:[*+]|\{\d*,|\{\d{2,}\})")
# A dtype of fixed-width text or bytes: "U1000", "<S20".
_WIDE_DTYPE = re.compile(r"[<>|=]?[USaV](\d+)")


class Refused(Exception):
    """A placeholder broke a rule of safe mode; the message says which."""


def _refuse(what):
    raise Refused(PREFIX + what)


def refused_attribute(name):
    """Why the attribute `name` may never be used, or None."""
    if name in _IN_MEMORY or name in _RENDERERS:
        return None
    if name in _REFUSED_ATTRIBUTES or name.startswith(_REFUSED_PREFIXES):
        return f"attribute {name!r}"
    return None


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


# -- what objects offer ------------------------------------------------------


class _Rule:
    """The attributes that objects of one type offer: all but `deny`, or only `allow`."""

    __slots__ = ("allow", "deny", "what", "library")

    def __init__(self, allow, deny, what, library):
        self.allow, self.deny, self.what, self.library = allow, deny, what, library


_RULES = {}


def _rule(cls):
    rule = _RULES.get(cls)
    if rule is None:
        rule = _RULES[cls] = _make_rule(cls)
    return rule


def _make_rule(cls):
    module = getattr(cls, "__module__", None) or "builtins"
    what = f"a {cls.__name__!r} object" if module == "builtins" else f"a '{module}.{cls.__qualname__}' object"
    library = _library_module(module)
    deny = set()
    if issubclass(cls, (collections.abc.MutableSequence, collections.abc.MutableMapping, collections.abc.MutableSet)):
        deny |= _CONTAINER_MUTATORS
    numpy, pandas = sys.modules.get("numpy"), sys.modules.get("pandas")
    if numpy is not None and issubclass(cls, numpy.ndarray):
        deny |= _ARRAY_MUTATORS
    if pandas is not None and issubclass(cls, (pandas.DataFrame, pandas.Series)):
        deny |= _FRAME_MUTATORS
    if issubclass(cls, (types.FrameType, types.CodeType, types.TracebackType)):
        return _Rule(frozenset(), frozenset(), what, library)
    if issubclass(cls, io.IOBase):
        allow = _STREAM_READS if issubclass(cls, (io.BytesIO, io.StringIO)) else frozenset()
        return _Rule(allow, frozenset(), what, library)
    if issubclass(cls, PurePath):
        return _Rule(_PURE_PATH, frozenset(), what, library)
    if library and (
        module.partition(".")[0] not in _FAMILIES
        or module.startswith(_CLOSED_MODULES)
        or (numpy is not None and issubclass(cls, numpy.memmap))
    ):
        return _Rule(frozenset(), frozenset(), what, library)
    return _Rule(None, frozenset(deny), what, library)


def _check_attribute(obj, name):
    """Raise unless `obj.name` may be used."""
    if isinstance(obj, types.ModuleType):
        _refuse(f"attribute {name!r} of module {obj.__name__!r}")
    if type(obj) is Forbidden:
        raise Refused(obj.reason)
    rule = _rule(obj if isinstance(obj, type) else type(obj))
    if name in rule.deny:
        _refuse(f"{name!r}, which changes {rule.what}")
    if rule.allow is not None and name not in rule.allow:
        _refuse(f"attribute {name!r} of {rule.what}")


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


def _library_function(f):
    code = f.__code__.co_filename
    # Modules frozen into the interpreter (os among them) name no file.
    return code.startswith("<frozen") or _library_file(code) or _library_module(f.__module__)


_BOUND = (types.MethodType, types.BuiltinMethodType, types.MethodWrapperType)
_UNBOUND = (types.MethodDescriptorType, types.WrapperDescriptorType, types.ClassMethodDescriptorType)


def _check_callee(f):
    """Raise unless `f` may be called.  Returns the object it is a method of (None
    for a function or a class) and its name."""
    if type(f) is Forbidden:
        raise Refused(f.reason)
    if isinstance(f, _BOUND):
        owner, name = getattr(f, "__self__", None), f.__name__
        if owner is None or isinstance(owner, types.ModuleType):
            _refuse(f"function {name!r} of a library")
        reason = refused_attribute(name)
        if reason:
            _refuse(reason)
        _check_attribute(owner, name)
        return owner, name
    if isinstance(f, _UNBOUND):
        reason = refused_attribute(f.__name__)
        if reason:
            _refuse(reason)
        _check_attribute(f.__objclass__, f.__name__)
        return f.__objclass__, f.__name__
    if isinstance(f, types.FunctionType):
        if _library_function(f):
            _refuse(f"function {f.__name__!r} of a library")
        return None, None
    if isinstance(f, type):
        if not _callable_class(f):
            _refuse(f"class {f.__qualname__!r} of a library")
        return None, None
    if _rule(type(f)).library:
        _refuse(f"calling {_rule(type(f)).what}")
    return None, None


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


def _holds_objects(value):
    """True for an array, column or frame of Python objects (text included)."""
    dtype = getattr(value, "dtype", None)
    if dtype is None:
        dtypes = getattr(value, "dtypes", None)
        return dtypes is not None and any(getattr(d, "kind", "O") in "OSU" for d in getattr(dtypes, "values", ()))
    return getattr(dtype, "kind", "O") in "OSU" and not isinstance(value, numbers.Number)


def _is_array(value):
    return hasattr(value, "dtype") or hasattr(value, "dtypes")


def _holds_text(value):
    """True for an array, column or frame with text or lists among its items."""
    values = getattr(value, "values", value)
    ravel = getattr(values, "ravel", None)
    items = ravel() if ravel is not None else values
    return any(isinstance(item, (str, bytes, list, tuple)) for item in items)


def _longest_text(values):
    """The longest text among `values` and the lists and dicts they hold."""
    longest = 0
    for value in values:
        if isinstance(value, str):
            longest = max(longest, len(value))
        elif isinstance(value, (list, tuple, dict)):
            longest = max(longest, _longest_text(value.values() if isinstance(value, dict) else value))
    return longest


def _text_size(data):
    """The characters of a column or frame as text, one more per item."""
    try:
        frame = data.to_frame() if hasattr(data, "to_frame") else data
        return sum(int(column.astype(str).str.len().sum()) + len(column) for _, column in frame.items())
    except Exception:
        return _size(data)


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
    """True for a key that lists labels or positions, which may repeat."""
    if isinstance(key, (list, tuple)):
        return bool(key) and not isinstance(key[0], bool)
    kind = getattr(getattr(key, "dtype", None), "kind", None)
    return kind is not None and kind != "b" and getattr(key, "ndim", 0) == 1


def _weight(sequence):
    """What one repetition of `sequence` adds, counting the items of what it holds."""
    if isinstance(sequence, (str, bytes, bytearray)):
        return len(sequence)
    return len(sequence) + sum(_size(item) for item in sequence if not isinstance(item, (int, float, bool)))


def _largest_count(args, kwargs):
    """The largest size asked for by whole-number arguments; a tuple of them is a shape."""
    largest = 0
    for value in (*args, *kwargs.values()):
        n = _count(value)
        if n is None and isinstance(value, (tuple, list)) and value:
            counts = [_count(v) for v in value]
            if None not in counts:
                n = math.prod(max(c, 0) for c in counts)
        if n is None and _is_array(value) and getattr(getattr(value, "dtype", None), "kind", "") in "iu":
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


def _dtype_width(dtype):
    """The characters or bytes per item of a text dtype written as a string."""
    match = _WIDE_DTYPE.fullmatch(dtype) if isinstance(dtype, str) else None
    return _format_widths(match.group(1)) if match else 0


# -- the guard ---------------------------------------------------------------


class Guard:
    """What the checks of one fill need while it runs: the budgets of the
    placeholder being evaluated.  Compiled placeholders call its methods."""

    __slots__ = ("steps", "made", "deadline")

    def __init__(self):
        self.start()

    def start(self):
        """Give the placeholder about to run its budgets."""
        self.steps = self.made = 0
        self.deadline = None  # set by the first loop step

    def _make(self, n, what):
        if n > MAX_SIZE - self.made:
            _refuse(f"{what} of {n} items or characters (at most {MAX_SIZE} in one placeholder)")
        self.made += n

    # attribute access, subscripts, loops

    def attr(self, obj, name):
        _check_attribute(obj, name)
        return getattr(obj, name)

    def sub(self, value):
        return _Selection(self, value)

    def _check_key(self, value, key):
        parts = key if type(key) is tuple else (key,)
        for part in parts:
            if callable(part):  # pandas calls it with the frame
                self._check_passed(part)
        if isinstance(value, (str, bytes, bytearray, list, tuple, dict)):
            return  # one item, or a slice of what is there
        # A list of labels or positions may name each row many times.
        n = max((_length(part) for part in parts if _selects(part)), default=0)
        if n:
            target = getattr(value, "obj", value)  # the frame of .loc and .iloc
            self._make(n * max(_size(target) // max(_length(target), 1), 1), "a selection")

    def loop(self, iterable):
        return self._steps(iter(iterable))

    def _steps(self, iterator):
        if self.deadline is None:
            self.deadline = time.monotonic() + MAX_SECONDS
        for item in iterator:
            self.steps += 1
            if self.steps > MAX_LOOP_STEPS:
                _refuse(f"more than {MAX_LOOP_STEPS} loop steps in one placeholder")
            if time.monotonic() > self.deadline:
                _refuse(f"loops running longer than {MAX_SECONDS:g} s")
            yield item

    # operators

    def mul(self, a, b):
        self._check_mul(a, b)
        return a * b

    def pow(self, a, b):
        self._check_pow(a, b)
        return a**b

    def lshift(self, a, b):
        n = _count(b)
        if _holds_objects(a) or _holds_objects(b):
            if n is None or n > MAX_INT_BITS:
                _refuse("shifting a column of objects")
        elif n is not None and isinstance(a, int) and a and a.bit_length() + n > MAX_INT_BITS:
            _refuse(f"an integer of {a.bit_length() + n} bits (at most {MAX_INT_BITS})")
        return a << b

    def mod(self, a, b):
        self._check_mod(a, b)
        return a % b

    def _check_mul(self, a, b):
        for seq, times in ((a, b), (b, a)):
            if isinstance(seq, (str, bytes, bytearray, list, tuple)):
                n = _count(times)
                if n is not None and n > 1:
                    self._make(_weight(seq) * n, "a repetition")
                break
            if _is_array(seq) and _holds_objects(seq):
                n = _count(times)
                if n is None:
                    if _is_array(times):
                        _refuse("multiplying a column of text or objects by a column")
                elif n > 1:
                    self._make(_size(seq) * n, "a repetition")
                break

    def _check_pow(self, a, b):
        n = _count(b)
        if _holds_objects(a) or _holds_objects(b):
            if n is None or abs(n) > MAX_OBJECT_POWER:
                _refuse(f"a power of a column of objects with an exponent beyond {MAX_OBJECT_POWER}")
        elif n is not None and n > 1 and isinstance(a, numbers.Rational) and not _is_array(a):
            base = max(abs(a.numerator), a.denominator)
            if base > 1 and math.log2(base) * n > MAX_INT_BITS:
                _refuse(f"an integer power of about {math.log2(base) * n:.3g} bits (at most {MAX_INT_BITS})")

    def _check_mod(self, a, b):
        if isinstance(a, (str, bytes, bytearray)):
            self._make(_percent_widths(a), "% format widths")
        elif _holds_objects(a):
            _refuse("% on a column of text or objects")

    # calls

    def call(self, f, /, *args, **kwargs):
        trusted = _TRUSTED.get(id(f))
        if trusted is not None and trusted[0] is f:  # len, str...: the common case first
            return self._trusted_call(trusted, args, kwargs)
        return self._call(f, args, kwargs)

    def _trusted_call(self, trusted, args, kwargs):
        for value in args:
            if callable(value):
                self._check_passed(value)
        for value in kwargs.values():
            if callable(value):
                self._check_passed(value)
        return trusted[1](self, *args, **kwargs) if trusted[1] else trusted[0](*args, **kwargs)

    def method(self, obj, name, /, *args, **kwargs):
        _check_attribute(obj, name)
        return self._call(getattr(obj, name), args, kwargs)

    def _call(self, f, args, kwargs):
        trusted = _TRUSTED.get(id(f))
        if trusted is not None and trusted[0] is f:
            return self._trusted_call(trusted, args, kwargs)
        owner, name = _check_callee(f)
        if isinstance(f, _UNBOUND) and args:
            owner, rest = args[0], args[1:]
        else:
            rest = args
        library = name is not None and _rule(type(owner)).library
        for value in (*args, *kwargs.values()):
            self._check_argument(value, library, 2)
        if name is not None:
            if name in _RENDERERS:
                target = rest[0] if rest else kwargs.get(_RENDERERS[name])
                if target is not None or kwargs.get("path") is not None:
                    _refuse(f"{name!r} with a file or buffer to write to")
            if library:
                self._check_library_call(owner, name, rest, kwargs)
            self._check_growth(owner, name, rest, kwargs)
            if name == "join" and isinstance(owner, (str, bytes, bytearray)) and rest:
                # the items are counted before they are joined, so a generator is read once
                items = list(rest[0])
                self._make(len(owner) * max(len(items) - 1, 0), "a join")
                return self._whole(f(*args[: len(args) - len(rest)], items))
        return self._whole(f(*args, **kwargs))

    @staticmethod
    def _whole(result):
        # Many distinct huge integers (enumerate's start) would exhaust memory.
        if type(result) is int and result.bit_length() > MAX_INT_BITS:
            _refuse(f"an integer of {result.bit_length()} bits (at most {MAX_INT_BITS})")
        return result

    def _check_library_call(self, owner, name, args, kwargs):
        """Calls that change what they are given, or that reach code by a name."""
        if kwargs.get("inplace"):
            _refuse("inplace=True")
        if kwargs.get("out") is not None:
            _refuse("out=")
        position = _NUMPY_OUT.get(name)
        numpy = sys.modules.get("numpy")
        if (
            position is not None
            and len(args) > position
            and args[position] is not None
            and numpy is not None
            and isinstance(owner, (numpy.ndarray, numpy.generic))
        ):
            _refuse("an output array")
        if name in _DISPATCH:
            for value in (*args, *kwargs.values()):
                self._check_names(value, owner, name, 2)
        if name in _SUMS:
            self._check_sum(owner)
        if name in _REGEX_METHODS:
            for value in (*args, *kwargs.values()):
                if isinstance(value, str) and _NESTED_REPEAT.search(value):
                    _refuse("a regular expression that repeats a repeating group")
        operator_check = _OPERATOR_METHODS.get(name)
        if operator_check is not None and _is_array(owner) and (args or "other" in kwargs):
            other = args[0] if args else kwargs["other"]
            check, swapped = operator_check
            getattr(self, "_check_" + check)(*((other, owner) if swapped else (owner, other)))

    def _check_growth(self, owner, name, args, kwargs):
        """Counts what a call makes that its arguments size."""
        text = isinstance(owner, (str, bytes, bytearray))
        if name in _SIZED:
            n = _largest_count(args, kwargs)
            if text:
                tabs = owner.count("\t" if isinstance(owner, str) else b"\t") if name == "expandtabs" else 1
                self._make(n * tabs, f"{name}()")
                return
            items = _size(getattr(owner, "_orig", owner))  # a column's .str
            if name == "sample":  # n rows of the frame's width
                items //= max(_length(owner), 1)
                frac = kwargs.get("frac")
                if isinstance(frac, (int, float)) and frac > 0:
                    n = max(n, int(min(frac, 1e18) * _length(owner)))
            self._make(n * max(items, 1), f"{name}()")
        elif text and name == "replace" and len(args) >= 2:
            old, new = args[0], args[1]
            times = owner.count(old)
            if len(args) > 2 and _count(args[2]) is not None and _count(args[2]) >= 0:
                times = min(times, _count(args[2]))
            self._make(times * max(len(new) - len(old), 0), "a replace")
        elif text and name == "translate" and args and isinstance(args[0], collections.abc.Mapping):
            longest = max((len(v) for v in args[0].values() if isinstance(v, (str, bytes))), default=1)
            self._make(len(owner) * longest, "a translate")
        elif name in ("resample", "asfreq") and (args or kwargs):
            rule = args[0] if args else kwargs.get("rule", kwargs.get("freq"))
            width = _size(owner) // max(_length(owner), 1)
            self._make(_bins(owner, rule, kwargs.get("on")) * max(width, 1), f"{name}()")
        elif name in ("take", "reindex") and not text:
            n = max((_length(v) for v in (*args, *kwargs.values()) if _selects(v) or isinstance(v, range)), default=0)
            self._make(n * max(_size(owner) // max(_length(owner), 1), _length(owner), 1), f"{name}()")
        elif name in ("merge", "join") and kwargs.get("how") == "cross" and args:
            other = args[0]
            self._make(_length(owner) * _length(other) * (_size(owner) // max(_length(owner), 1) + 1), "a cross join")
        elif name in ("astype", "view"):
            self._make(max(map(_dtype_width, (*args, *kwargs.values())), default=0) * _size(owner), f"{name}()")
        elif not text and name in ("replace", "translate", "slice_replace", "cat", "join"):
            # Text replaced in every item of a column (.str, or regex=True) may
            # grow at each of its characters.
            column = getattr(owner, "_orig", None)
            if column is None and (name != "replace" or not kwargs.get("regex")):
                return
            longest = _longest_text((*args, *kwargs.values()))
            if longest:
                data = column if column is not None else owner
                per_item = name in ("cat", "join")
                self._make(longest * (_length(data) if per_item else _text_size(data)), f"{name}()")

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
        if _holds_objects(owner) and _holds_text(owner):
            _refuse("summing text or lists, which copies them over and over")

    def _check_names(self, value, owner, method, depth):
        if isinstance(value, str):
            # a method found by its name is called with arguments no check sees
            if refused_attribute(value) or value in _RENDERERS or value in _ALL_MUTATORS:
                _refuse(f"{value!r} named in an argument of {method!r}")
            if value in _SUMS:
                self._check_sum(owner)
        elif depth and isinstance(value, (list, tuple, dict)):
            for item in value.values() if isinstance(value, dict) else value:
                self._check_names(item, owner, method, depth - 1)

    def _check_argument(self, value, library, depth):
        """A callable passed on is called later by code that no guard sees; a format
        string given to a library may be filled with str.format."""
        if isinstance(value, str):
            if library and "{" in value and _REACHING_FIELD.search(value):
                _refuse("a format string whose fields reach attributes or items")
        elif callable(value):
            self._check_passed(value)
        elif depth and type(value) in (list, tuple, dict, set, frozenset):
            items = value.values() if type(value) is dict else value
            if len(items) > _SCANNED_ITEMS:
                # a long list of data: only its functions are looked at, at C speed
                for item in filter(callable, items):
                    self._check_passed(item)
                return
            for item in items:
                self._check_argument(item, library, depth - 1)

    def _check_passed(self, f):
        trusted = _TRUSTED.get(id(f))
        if trusted is not None and trusted[0] is f:
            if trusted[1] is not None:
                _refuse(f"passing {f.__name__!r} on as a function")
            return
        _, name = _check_callee(f)
        if name in _CHECKED_CALLS:
            _refuse(f"passing {name!r} on as a function")

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
        self._make(_format_widths(format_spec), "format widths")
        return format(value, format_spec)

    def _int(self, *args, **kwargs):
        return self._whole(int(*args, **kwargs))

    def _round(self, number, ndigits=None):
        n = _count(ndigits) if ndigits is not None else None
        if n is not None and abs(n) > MAX_ROUND_DIGITS:
            _refuse(f"rounding to {n} digits (at most {MAX_ROUND_DIGITS})")
        return round(number, ndigits)

    def _sum(self, iterable, /, start=0):
        if isinstance(start, collections.abc.Sized) or _is_array(start):
            _refuse("sum() of sequences")
        return sum(iterable, start)


# Builtins by id: the function itself and, for some, the Guard method that checks
# its arguments first.
_GUARDED = {"range": Guard._range, "format": Guard._format, "round": Guard._round, "sum": Guard._sum, "int": Guard._int}
_TRUSTED = {id(getattr(builtins, name)): (getattr(builtins, name), _GUARDED.get(name)) for name in ALLOWED_BUILTINS}


class _Selection:
    """A value about to be subscripted by a key that the text does not fix."""

    __slots__ = ("guard", "value")

    def __init__(self, guard, value):
        self.guard, self.value = guard, value

    def __getitem__(self, key):
        self.guard._check_key(self.value, key)
        return self.value[key]


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
    """Why a variable may not be used at all, or None: modules, library functions
    and objects of libraries that offer nothing (connections, clients, files)."""
    if isinstance(value, types.ModuleType):
        return f"module {value.__name__!r}"
    if type(value) is Forbidden:
        return None
    if callable(value):
        try:
            _check_callee(value)
        except Refused as refusal:
            return str(refusal)[len(PREFIX):]
        return None
    rule = _rule(type(value))
    return rule.what if rule.allow is not None and not rule.allow else None


# Types whose values have been found usable; a namespace of only such values is
# made without looking at each.
_OPEN_TYPES = set()


def namespace(env):
    """The namespace a fill evaluates its placeholders against: the variables, the
    allowed builtins and a Guard of its own."""
    if not isinstance(env, dict):
        raise TypeError("globals must be a dict")
    ns = dict(env)
    if not _OPEN_TYPES.issuperset(map(type, ns.values())):
        for name, value in env.items():
            reason = _closed(value)
            if reason is None:
                if not callable(value):
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
_OPERATORS = {ast.Mult: "mul", ast.Pow: "pow", ast.LShift: "lshift", ast.Mod: "mod"}
# Constants folded at compile time up to this size; larger ones are made at run
# time, where they count against the placeholder's budget.
_FOLD_LIMIT = 4096


def _guard(method, args, keywords=()):
    attribute = ast.Attribute(ast.Name(GUARD, ast.Load()), method, ast.Load())
    return ast.Call(attribute, list(args), list(keywords))


def _small(value):
    if isinstance(value, int):
        return value.bit_length() <= _FOLD_LIMIT
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
        reason = refused_attribute(name)
        if reason:
            _refuse(reason)

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
        node = self.generic_visit(node)
        parts = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
        if any(isinstance(part, ast.Starred) for part in parts):
            _refuse("a starred subscript")
        if not all(isinstance(part, (ast.Constant, ast.Slice)) for part in parts):
            # the key is known only when it runs
            node.value = self.guard("sub", [node.value])
        return node

    def visit_comprehension(self, node):
        if node.is_async:
            _refuse("async for")
        node = self.generic_visit(node)
        node.iter = self.guard("loop", [node.iter])
        return node

    def visit_BinOp(self, node):
        node = self.generic_visit(node)
        method = _OPERATORS.get(type(node.op))
        if method is None:
            return node
        left, right = node.left, node.right
        if method == "mul" and any(isinstance(s, ast.Constant) and isinstance(s.value, float) for s in (left, right)):
            return node
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
