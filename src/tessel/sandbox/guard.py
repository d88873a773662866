"""The Guard: what compiled placeholders call to read, operate and call, with the
budgets of the placeholder being evaluated."""

import builtins
import collections
import collections.abc
import decimal
import fractions
import math
import numbers
import operator
import re
import sys
import time

from .allowed import _DISPATCH, _SUMS, ALLOWED_BUILTINS, REDUCTIONS
from .arguments import _check_zone, _dtype_width, _regex_cost
from .kinds import _DESCRIPTORS, _Callee, _callee, _kind, _rule, _target
from .limits import (
    MAX_EXPONENT, MAX_GROWTH, MAX_INT_BITS, MAX_LOOP_STEPS, MAX_OBJECT_POWER, MAX_RANGE, MAX_REGEX_STEPS,
    MAX_ROUND_DIGITS, MAX_SECONDS, MAX_SIZE,
)
from .methods import _CHECKS
from .refusals import _refuse
from .sizes import (
    _CONTAINERS, _combined_cells, _count, _deep_size, _format_widths, _holds_objects, _holds_text, _is_array,
    _is_table, _largest_bits, _largest_count, _length, _made, _percent_widths, _selects, _size, _text_lengths,
    _text_size, _width,
)

# A replacement field that reaches an attribute or an item: "{0.__class__}", "{x[k]}".
_REACHING_FIELD = re.compile(r"\{[^{}!:]*[.\[]")
# The exponent of a number written as text, as a Fraction may be given it.
_EXPONENT = re.compile(r"[eE]\s*([-+]?\d+)")


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

    def matmul(self, a, b):
        if _is_table(a) and _is_table(b):
            shape_a, shape_b = getattr(a, "shape", ()), getattr(b, "shape", ())
            if len(shape_a) == 2 and len(shape_b) == 2:
                self._grow(shape_a[0] * shape_b[1], a if _size(a) >= _size(b) else b, "a matrix product")
        return self._operate(operator.matmul, a, b)

    # Operators whose only check is the one every operator gets, and comparisons,
    # which numbers skip.
    def _plain(op):
        return lambda self, a, b: self._operate(op, a, b)

    def _comparison(op):
        return lambda self, a, b: self._compare(op, a, b)

    rshift, and_, or_, xor = map(_plain, (operator.rshift, operator.and_, operator.or_, operator.xor))
    eq, ne, lt, le, gt, ge = map(
        _comparison, (operator.eq, operator.ne, operator.lt, operator.le, operator.gt, operator.ge)
    )
    del _plain, _comparison

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

    def formatted(self, value, conversion, format_spec):
        """A placeholder's value converted and formatted, as an f-string's field does."""
        if conversion is not None:
            if type(value) in _CONTAINERS:
                self._make(_deep_size(value), f"!{conversion}")
            value = _CONVERSIONS[conversion](value)
        return self._format(value, format_spec)

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


def _check_decimal(value):
    # int() of a decimal with a large exponent takes seconds
    if value.is_finite() and abs(value.adjusted()) > MAX_EXPONENT:
        _refuse(f"a decimal of exponent {value.adjusted()} (at most {MAX_EXPONENT})")


def _texts(value):
    """The texts among `value` and the items of a list, tuple or dict."""
    if isinstance(value, str):
        return (value,)
    if type(value) is dict:
        value = (*value, *value.values())
    elif type(value) not in (list, tuple):
        return ()
    # the types are gathered in C first: a list of millions of numbers holds no text
    if not any(issubclass(kind, str) for kind in set(map(type, value))):
        return ()
    return [item for item in value if isinstance(item, str)]


def _checked(guard, f, callee, name):
    """`f` wrapped so that each call is checked by `guard` and counted as a loop step."""

    def checked(*args, **kwargs):
        guard._step()
        return guard.keep(guard._call(f, args, kwargs, callee))

    checked.__name__ = checked.__qualname__ = name  # pandas names results by it
    return checked


_CHECKED_CODE = _checked(None, None, None, "").__code__


_CONVERSIONS = {"r": repr, "s": str, "a": ascii}


def _read_only(value):
    """An array as a placeholder may hold it: never a buffer it can write to."""
    numpy = sys.modules.get("numpy")
    if numpy is not None and isinstance(value, numpy.ndarray) and value.flags.writeable:
        value = value.view()
        value.flags.writeable = False
    return value


# Builtins by id: the function itself and, for some, the Guard method that checks
# its arguments first.
_GUARDED = {
    "range": Guard._range, "format": Guard._format, "round": Guard._round, "sum": Guard._sum, "int": Guard._int,
    "str": Guard._str, "isinstance": Guard._isinstance, "list": Guard._list, "tuple": Guard._tuple,
    "set": Guard._set, "dict": Guard._dict, "sorted": Guard._sorted,
}
_TRUSTED = {id(getattr(builtins, name)): (getattr(builtins, name), _GUARDED.get(name)) for name in ALLOWED_BUILTINS}
