"""What objects of each type offer a placeholder, and which callables it may call."""

import io
import sys
import types

from .allowed import ALLOWED
from .origins import _library_function, _library_module
from .refusals import Forbidden, Refused, _refuse

# Types of libraries whose objects may be used as values; objects of other
# libraries (connections, clients, figures, writers...) are closed to templates.
_FAMILIES = frozenset(
    "builtins datetime decimal fractions numbers collections zoneinfo uuid types enum "
    "pandas numpy io _io pathlib".split()
)
_CLOSED_MODULES = ("pandas.io", "pandas.plotting", "numpy.lib", "numpy.ctypeslib")


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
