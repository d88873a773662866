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

Each module knows one thing and imports only those listed before it: `allowed`
(the table), `limits`, `refusals`, `origins` (library or caller's code), `kinds`
(what types offer), `sizes`, `arguments`, `methods` (checks of single methods),
`guard`, `names` (a fill's namespace) and `rewrite` (checking and compiling text).
"""

from .allowed import ALLOWED, ALLOWED_BUILTINS, REDUCTIONS, allowed_markdown
from .names import namespace
from .refusals import PREFIX, Refused
from .rewrite import compile_placeholder, evaluate

__all__ = [
    "Refused", "PREFIX", "compile_placeholder", "namespace", "evaluate", "ALLOWED_BUILTINS", "ALLOWED", "REDUCTIONS",
    "allowed_markdown",
]
