"""The names a placeholder sees: the variables, the builtins and its Guard."""

import builtins
import collections.abc
import io
import sys
import types

from .allowed import ALLOWED_BUILTINS
from .guard import Guard, _read_only
from .kinds import _callee, _kind
from .refusals import PREFIX, Forbidden, Refused

# The name of the Guard in a fill's namespace.  Templates cannot write it: names
# that start with "_" are refused.
GUARD = "_tessel_"

# Builtins that are left out but named, so that a placeholder using them says why
# it failed instead of that the name is unknown.
_NAMED_REFUSALS = (
    "getattr setattr delattr hasattr vars globals locals dir eval exec compile open input breakpoint "
    "type print help exit quit memoryview super object map filter iter next"
).split()


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
