"""Helpers shared by the filler modules."""

import sys

# Comprehensions run in frames of their own; their variables sit on top of the
# variables of the code that wrote them.
_COMPREHENSIONS = frozenset({"<listcomp>", "<setcomp>", "<dictcomp>", "<genexpr>"})


def _in_package(frame):
    name = frame.f_globals.get("__name__")
    return isinstance(name, str) and (name == "tessel" or name.startswith("tessel."))


def get_outer_frame_variables():
    """Return the variables of the code that called a filler, locals over globals.

    The fillers' ``__call__`` is native code and has no frame of its own, so the
    nearest frame outside this package is the caller's.  The result is a new dict:
    evaluating placeholders against it never changes the caller's namespaces.
    """
    frame = sys._getframe(1)
    while frame is not None and _in_package(frame):
        frame = frame.f_back
    if frame is None:
        return {}
    chain = [frame]
    while frame.f_code.co_name in _COMPREHENSIONS and frame.f_back is not None:
        frame = frame.f_back
        chain.append(frame)
    variables = dict(chain[0].f_globals)
    for scope in reversed(chain):
        variables.update(scope.f_locals)
    variables.pop(".0", None)
    return variables
