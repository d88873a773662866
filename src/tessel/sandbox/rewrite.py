"""A placeholder's text checked and compiled, its operations routed through the Guard."""

import ast

from .guard import Guard
from .limits import MAX_INT_BITS
from .names import GUARD, namespace
from .refusals import Refused, _refuse

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


def compile_placeholder(text, conversion=None, spec=None):
    """The code of a placeholder for safe mode.

    `text` is the expression; a placeholder written with a conversion ("r", "s",
    "a") or a format spec, as in an f-string, gives them apart, and its value is
    converted and formatted under the same checks as format().  Raises Refused
    when the text breaks a rule that shows in the text itself, and SyntaxError
    when it is no expression.
    """
    if not isinstance(text, str):
        raise TypeError(f"a placeholder is text, not {type(text).__name__}")
    tree = ast.parse(text.lstrip(" \t"), "<string>", "eval")
    rewrite = _Rewrite()
    tree = rewrite.visit(tree)
    if conversion is not None or spec is not None:
        tree.body = rewrite.guard("formatted", [tree.body, ast.Constant(conversion), ast.Constant(spec or "")])
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
