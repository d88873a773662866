"""How safe mode says no: `Refused`, and `Forbidden` for the names it leaves out."""

PREFIX = "not allowed in safe mode: "


class Refused(Exception):
    """A placeholder broke a rule of safe mode; the message says which."""


def _refuse(what):
    raise Refused(PREFIX + what)


class Forbidden:
    """Stands for a builtin that safe mode leaves out, so that using it says why."""

    __slots__ = ("reason",)

    def __init__(self, name, what=None):
        self.reason = f"{PREFIX}name {name!r}" + (f" ({what})" if what else "")

    def _refuse(self, *args, **kwargs):
        raise Refused(self.reason)

    __call__ = __str__ = __repr__ = __format__ = __iter__ = __bool__ = __len__ = __getitem__ = _refuse
