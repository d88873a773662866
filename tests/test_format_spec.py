"""Placeholders with a conversion and a format spec, as an f-string's fields."""

import ast
import datetime
import decimal

import docx
import openpyxl
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from tessel.gridfill import GridFill
from tessel.linefill import LineFill
from tessel.pagefill import PageFill

pytestmark = pytest.mark.filterwarnings("ignore::UserWarning:openpyxl")

ENV = {
    "total": 1234567.891, "share": 0.1234, "n": 42, "name": "Ada", "day": datetime.date(2026, 1, 5),
    "at": datetime.datetime(2026, 1, 5, 14, 30), "price": decimal.Decimal("19.5"), "xs": [1, 2, 3, 4],
    "d": {"a:b": 5, "x!y": 6, "k": 7}, "a": 1, "b": 0, "s": "a:b!c", "f": lambda *v, **k: len(v) + len(k),
}


def fstring(text, env):
    """What Python's own f-string makes of the field `text`, or None when it fails."""
    quote = next((q for q in ('"""', "'''") if q not in text and not text.endswith(q[0])), None)
    assume(quote is not None and "\\" not in text and "#" not in text)
    source = f"f{quote}{{{text}}}{quote}"
    try:
        tree = ast.parse(source, mode="eval")
    except SyntaxError:
        return None
    # the "=" of a self-documenting field adds text of its own: not a field of ours
    assume(len(tree.body.values) == 1 and isinstance(tree.body.values[0], ast.FormattedValue))
    try:
        return eval(compile(tree, "<f>", "eval"), dict(env))  # noqa: S307 - the test's own texts
    except Exception:
        return None


EXPRESSIONS = st.sampled_from([
    "total", "n", "name", "day", "xs[1:3]", "xs[::2]", "d['a:b']", 'd["x!y"]', "a != b", "a if b else n",
    "f(a, k=b)", "(lambda v: v)(n)", "lambda v: v", "s", "'a:b'", "' :! '", "n ", " n", "a !=b", "dict(k=1)['k']",
    "(a, b)", "xs[d['k'] - 6:]", "[v for v in xs if v != 2]", "'''x:y'''", "n:", "", " ", "a)",
])
CONVERSIONS = st.sampled_from(["", "!r", "!s", "!a", "!x", "!", "! r", "!rr"])
SPECS = st.sampled_from([
    "", ":", ":>8", ":,.2f", ":.1%", ":%d %B %Y", ":%H:%M", ":^10", ":*<6", ":x", ":=+8", ":,", ":>8 ", ":!r",
    ":%Y!", "::",
])


@settings(max_examples=400, suppress_health_check=[HealthCheck.filter_too_much])
@given(EXPRESSIONS, CONVERSIONS, SPECS)
def test_fields_read_as_fstrings_read_them(expression, conversion, spec):
    text = expression + conversion + spec
    assume(text)  # "{}" is no placeholder
    expected = fstring(text, ENV)
    out, failed = LineFill()("{%s}" % text, dict(ENV))
    if expected is None:
        assert list(failed) == [text]
    else:
        assert (out, list(failed)) == (expected, [])


@settings(max_examples=300, suppress_health_check=[HealthCheck.filter_too_much])
@given(st.text(alphabet="ab1:!=[]()'\" ,.%>sr", min_size=1, max_size=14))
def test_any_text_splits_as_an_fstring_does(text):
    expected = fstring(text, ENV)
    out, failed = LineFill()("{%s}" % text, dict(ENV))
    assert out == (expected if expected is not None else "{%s}" % text)


@pytest.mark.parametrize("text, reason", [
    ("n!z", "SyntaxError: f-string: invalid conversion character: expected 's', 'r', or 'a'"),
    ("n!r junk", "SyntaxError: f-string: expecting '}'"),
    (" :>3", "SyntaxError: f-string: expression required before ':'"),
    ("!r", "SyntaxError: f-string: expression required before '!'"),
    ("name:,.2f", "ValueError: Unknown format code 'f' for object of type 'str'"),
])
def test_bad_fields_say_why(text, reason):
    _, failed = LineFill()("{%s}" % text, dict(ENV))
    assert [(d.placeholder, d.reason) for d in failed.details] == [(text, reason)]


@pytest.mark.parametrize("safe", [False, True])
def test_safe_mode_formats_as_format_does(safe):
    text, failed = LineFill(safe=safe)("{total:,.2f} {name!r:>6} {day:%d %B %Y}", dict(ENV))
    assert (text, list(failed)) == ("1,234,567.89  'Ada' 05 January 2026", [])


@pytest.mark.parametrize("text, words", [
    ("total:>10000000000", "format widths of 10000000001"),
    ("n:099999999", "format widths"),
    ("[xs] * 10**6!r", "!r of"),
    ("day:" + "%Y" * 6_000_000, "format"),
])
def test_safe_mode_refuses_huge_formats_before_making_them(text, words):
    _, failed = LineFill(safe=True)("{%s}" % text, dict(ENV))
    [detail] = failed.details
    assert detail.reason.startswith("not allowed in safe mode") and words in detail.reason


# Each value and spec, with the text every place must read.
CASES = [
    ("{total:,.2f}", "1,234,567.89"),
    ("{day:%d %B %Y}", "05 January 2026"),
    ("{at:%d.%m.%Y %H:%M}", "05.01.2026 14:30"),
    ("{share:.1%}", "12.3%"),
    ("{name!r}", "'Ada'"),
    ("{n:>8}", "      42"),
    ("{price:.2f}", "19.50"),
    ("{xs[1:3]!s}", "[2, 3]"),
]


@pytest.mark.parametrize("template, expected", CASES)
def test_every_place_of_a_document_reads_the_formatted_text(tmp_path, template, expected):
    document = docx.Document()
    document.add_paragraph(f"Total: {template}")
    document.add_table(rows=1, cols=1).cell(0, 0).paragraphs[0].text = template
    document.sections[0].header.paragraphs[0].text = f"Report {template}"
    path, out = tmp_path / "t.docx", tmp_path / "out.docx"
    document.save(path)
    assert list(PageFill()(str(path), str(out), dict(ENV))) == []
    filled = docx.Document(out)
    assert filled.paragraphs[0].text == f"Total: {expected}"
    assert filled.tables[0].cell(0, 0).text == expected
    assert filled.sections[0].header.paragraphs[0].text == f"Report {expected}"


@pytest.mark.parametrize("engine", ["native", "openpyxl"])
@pytest.mark.parametrize("template, expected", CASES)
def test_every_place_of_a_workbook_reads_the_formatted_text(tmp_path, engine, template, expected):
    book = openpyxl.Workbook()
    sheet = book.active
    sheet["A1"], sheet["A2"] = template, f"Total: {template}"
    sheet.oddHeader.center.text = f"Report {template}"
    path, out = tmp_path / "t.xlsx", tmp_path / "out.xlsx"
    book.save(path)
    assert list(GridFill(engine=engine)(str(path), str(out), dict(ENV))) == []
    sheet = openpyxl.load_workbook(out).active
    # a spec gives text, also alone in a cell
    assert (sheet["A1"].value, sheet["A2"].value) == (expected, f"Total: {expected}")
    assert sheet.oddHeader.center.text == f"Report {expected}"
