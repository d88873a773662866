"""PageFill's data-frame blocks on documents built in the tests: insert mode, what
overwrite mode reports, the text of frame values and Styler values."""

import datetime as dt
import decimal
import math
import os
import pathlib
import tempfile
import warnings

import docx
import numpy as np
import pandas as pd
import pytest
from docx.enum.text import WD_ALIGN_PARAGRAPH
from docx.oxml.ns import qn
from hypothesis import given, settings
from hypothesis import strategies as st

import tessel
from tessel.pagefill import PageFill

W = "{http://schemas.openxmlformats.org/wordprocessingml/2006/main}"


def order(path, nested=False):
    """An order: a header row, a template row holding {df}, a Total row with {n}."""
    doc = docx.Document()
    container = doc
    if nested:
        outer = doc.add_table(rows=1, cols=1)
        container = outer.cell(0, 0)
    table = container.add_table(rows=3, cols=2)
    for cell, text in zip(table.rows[0].cells + table.rows[1].cells + table.rows[2].cells,
                          ["Item", "Qty", "{df}", "", "Total", "{n}"]):
        cell.text = text
    table.rows[1].cells[1].paragraphs[0].alignment = WD_ALIGN_PARAGRAPH.RIGHT
    doc.save(path)
    return str(path)


def texts(path, nested=False):
    doc = docx.Document(path)
    table = doc.tables[0].cell(0, 0).tables[0] if nested else doc.tables[0]
    return [[c.text for c in row.cells] for row in table.rows]


def filled(template, out, env, **options):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        failed = PageFill(**options)(template, str(out), env)
    return failed, [w for w in caught if issubclass(w.category, tessel.OverwriteWarning)]


ITEMS = pd.DataFrame({"item": ["gears", "cards", "wheels"], "qty": [24, 500, 4]})


@pytest.mark.parametrize("nested", [False, True], ids=["table", "nested table"])
@pytest.mark.parametrize("rows", [1, 3])
def test_insert_makes_room_and_fills_the_rows_that_moved(tmp_path, rows, nested):
    template = order(tmp_path / "t.docx", nested)
    failed, warned = filled(template, tmp_path / "o.docx", {"df": ITEMS.head(rows), "n": 528}, insert=True)
    assert (failed, warned) == ([], [])
    body = [[str(v) for v in r] for r in ITEMS.head(rows).values.tolist()]
    assert texts(tmp_path / "o.docx", nested) == [["Item", "Qty"], *body, ["Total", "528"]]
    new_rows = docx.Document(tmp_path / "o.docx").tables[0]
    if not nested:  # every new row reads like the template row
        assert {r.cells[1].paragraphs[0].alignment for r in new_rows.rows[1:-1]} == {WD_ALIGN_PARAGRAPH.RIGHT}


def test_overwrite_reports_what_it_wrote_over(tmp_path):
    template = order(tmp_path / "t.docx")
    failed, warned = filled(template, tmp_path / "o.docx", {"df": ITEMS, "n": 528})
    assert texts(tmp_path / "o.docx") == [["Item", "Qty"], ["gears", "24"], ["cards", "500"], ["wheels", "4"]]
    assert failed == ["n"]
    assert failed.details[0].place == "table 1, row 3, column 2"
    assert "{df} at table 1, row 2, column 1" in failed.details[0].reason and "insert=True" in failed.details[0].reason
    assert [str(w.message) for w in warned] == [
        "{df} at table 1, row 2, column 1 wrote its block over text in table 1, row 3, column 1; "
        "insert=True inserts rows for the block instead"
    ]


HINT = "; insert=True inserts rows for the block instead"


@pytest.mark.parametrize(
    "grid, message",
    [
        pytest.param([["{df}", "", ""], ["a", "b", ""], ["c", "d", ""], ["", "", "f"]],
                     "over text in table 1, rows 2-3, columns 1-2; row 4, column 3" + HINT, id="ranges"),
        pytest.param([["{df}", "", ""], ["", " ", ""]], None, id="empty cells say nothing"),
        pytest.param([["{df}", "old", ""]], "over text in table 1, row 1, column 2", id="same row gives no hint"),
    ],
)
def test_one_warning_per_block_names_ranges(tmp_path, grid, message):
    doc = docx.Document()
    table = doc.add_table(rows=len(grid), cols=3)
    for i, row in enumerate(grid):
        for j, text in enumerate(row):
            table.cell(i, j).text = text
    doc.save(tmp_path / "t.docx")
    frame = pd.DataFrame(np.arange(12).reshape(4, 3))
    _, warned = filled(str(tmp_path / "t.docx"), tmp_path / "o.docx", {"df": frame})
    prefix = "{df} at table 1, row 1, column 1 wrote its block "
    assert [str(w.message) for w in warned] == ([] if message is None else [prefix + message])


def test_warnings_come_after_the_save(tmp_path):
    template = order(tmp_path / "t.docx")
    with warnings.catch_warnings():
        warnings.simplefilter("error", tessel.OverwriteWarning)
        with pytest.raises(tessel.OverwriteWarning):
            PageFill()(template, str(tmp_path / "o.docx"), {"df": ITEMS, "n": 1})
    assert texts(tmp_path / "o.docx")[-1] == ["wheels", "4"]


@pytest.mark.parametrize("insert", [False, True], ids=["overwrite", "insert"])
def test_check_predicts_the_fill_with_template_places(tmp_path, insert):
    template = order(tmp_path / "t.docx")
    env = {"df": ITEMS}  # n is missing: it fails where the template shows it
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", tessel.OverwriteWarning)
        found = [f for f in PageFill(insert=insert).check(template, env) if f.reason is not None]
        failed = PageFill(insert=insert)(template, str(tmp_path / "o.docx"), env)
    assert found == failed.details
    assert [f.place for f in found] == ["table 1, row 3, column 2"]
    assert found[0].reason.startswith("NameError" if insert else "the block of {df}")


def one_column(tmp_path):
    path = tmp_path / "one.docx"
    if not path.exists():
        doc = docx.Document()
        doc.add_table(rows=1, cols=1).cell(0, 0).text = "{df}"
        doc.save(path)
    return str(path)


def column_texts(template, values):
    out = os.path.join(os.path.dirname(template), "o.docx")
    frame = pd.DataFrame({"v": values})
    assert PageFill()(template, out, {"df": frame}) == []
    return [row.cells[0].text for row in docx.Document(out).tables[0].rows]


@pytest.mark.parametrize(
    "values, expected",
    [
        pytest.param([None, math.nan, "x"], ["", "", "x"], id="None and NaN"),
        pytest.param(pd.array([3, None], dtype="Int64"), ["3", ""], id="Int64 with NA"),
        pytest.param(pd.array([0.5, None], dtype="Float64"), ["0.5", ""], id="Float64 with NA"),
        pytest.param(pd.array([True, None], dtype="boolean"), ["True", ""], id="boolean with NA"),
        pytest.param([0.1 + 0.2, 339.65000000000003, 2.0, -0.0], ["0.3", "339.65", "2", "0"], id="floats"),
        pytest.param([1e20, 1.5e-7, math.inf, 123456789012.25], ["1e+20", "1.5e-07", "inf", "123456789012.25"], id="large and small floats"),
        pytest.param(np.array([0.1, 2.5], dtype=np.float32), ["0.1", "2.5"], id="float32"),
        pytest.param([dt.datetime(2026, 1, 5), dt.datetime(2026, 1, 5, 10, 30), None],
                     ["2026-01-05", "2026-01-05 10:30:00", ""], id="datetime column with NaT"),
        pytest.param([pd.Timestamp("2026-01-05", tz="UTC"), pd.Timestamp("2026-01-05 08:00:00.5", tz="UTC")],
                     ["2026-01-05", "2026-01-05 08:00:00.500000+00:00"], id="aware timestamps"),
        pytest.param([dt.date(2026, 1, 5), np.datetime64("2026-01-05T06:00"), pd.NaT, pd.NA],
                     ["2026-01-05", "2026-01-05 06:00:00", "", ""], id="mixed objects"),
        pytest.param([np.int64(3), np.float64(0.30000000000000004), np.bool_(False), np.float32(0.1)],
                     ["3", "0.3", "False", "0.1"], id="numpy scalars in objects"),
        pytest.param([decimal.Decimal("1.50"), decimal.Decimal("NaN"), pd.Timedelta(hours=1)],
                     ["1.50", "", "1:00:00"], id="decimals and durations"),
    ],
)
def test_frame_values_read_as_a_person_would_write_them(tmp_path, values, expected):
    assert column_texts(one_column(tmp_path), values) == expected


def float_oracle(x):
    if math.isnan(x):
        return ""
    text = format(x, ".15g")
    return "0" if text == "-0" else text


TEMPLATE_DIR = tempfile.mkdtemp(prefix="tessel-values-")


@settings(max_examples=30, deadline=None)
@given(st.lists(st.floats(allow_nan=True, allow_infinity=False), min_size=1, max_size=8), st.booleans())
def test_floats_match_the_fifteen_digit_oracle(values, as_objects):
    template = one_column(pathlib.Path(TEMPLATE_DIR))
    column = pd.array(values, dtype=object) if as_objects else np.array(values, dtype=float)
    assert column_texts(template, column) == [float_oracle(x) for x in values]


@settings(max_examples=20, deadline=None)
@given(st.lists(st.datetimes(min_value=dt.datetime(1700, 1, 1), max_value=dt.datetime(2200, 1, 1)), min_size=1, max_size=6))
def test_datetimes_match_the_oracle(values):
    template = one_column(pathlib.Path(TEMPLATE_DIR))
    expected = [d.date().isoformat() if d.time() == dt.time(0) else str(d) for d in values]
    assert column_texts(template, values) == expected


def run_look(cell):
    r = cell._tc.find(f".//{W}r")
    rPr = r.find(f"{W}rPr")
    color = rPr.find(f"{W}color") if rPr is not None else None
    shd = cell._tc.find(f"{W}tcPr/{W}shd")
    return (
        rPr is not None and rPr.find(f"{W}b") is not None,
        rPr is not None and rPr.find(f"{W}i") is not None,
        None if color is None else color.get(qn("w:val")),
        None if shd is None else shd.get(qn("w:fill")),
    )


def test_styler_fills_with_its_display_text_and_css(tmp_path):
    frame = pd.DataFrame({"item": ["gears", "cards"], "secret": [1, 2], "price": [339.65000000000003, math.nan]})
    styler = (
        frame.style.format({"price": "{:,.2f}"}, na_rep="n/a")
        .map(lambda v: "font-weight: bold; color: red" if v > 100 else "", subset=["price"])
        .map(lambda v: "background-color: #ffff00; font-style: italic", subset=["item"])
        .hide(["secret"], axis=1)
    )
    failed = PageFill()(one_column(tmp_path), str(tmp_path / "o.docx"), {"df": styler})
    assert failed == []
    rows = docx.Document(tmp_path / "o.docx").tables[0].rows
    assert [[c.text for c in r.cells] for r in rows] == [["gears", "339.65"], ["cards", "n/a"]]
    assert [[run_look(c) for c in r.cells] for r in rows] == [
        [(False, True, None, "FFFF00"), (True, False, "FF0000", None)],
        [(False, True, None, "FFFF00"), (False, False, None, None)],
    ]


def test_styler_missing_values_are_empty_without_na_rep(tmp_path):
    styler = pd.DataFrame({"v": [1.5, None]}).style.format("{:.1f}")
    assert PageFill()(one_column(tmp_path), str(tmp_path / "o.docx"), {"df": styler}) == []
    assert [r.cells[0].text for r in docx.Document(tmp_path / "o.docx").tables[0].rows] == ["1.5", ""]


@pytest.mark.parametrize("insert", [False, True], ids=["overwrite", "insert"])
def test_recurse_never_grows_rows_it_added(tmp_path, insert):
    template = order(tmp_path / "t.docx")
    frame = pd.DataFrame({"item": ["{df}", "{n}", "{n}"], "qty": [1, 2, 3]})
    failed, _ = filled(template, tmp_path / "o.docx", {"df": frame, "n": 7}, insert=insert, recurse=True)
    rows = texts(tmp_path / "o.docx")
    # The template's rows are filled again (the Total row written over, or moved
    # down); the rows the block added are not visited.
    if insert:
        assert rows[1:] == [["{df}", "1"], ["{n}", "2"], ["{n}", "3"], ["Total", "7"]]
    else:
        assert rows[1:] == [["{df}", "1"], ["7", "2"], ["{n}", "3"]]


def test_readme_invoice_example(tmp_path, monkeypatch):
    readme = pathlib.Path(__file__).parent.parent / "README.md"
    section = readme.read_text().split("## Documents: `tessel.pagefill`")[1]
    code = section.split("```python\n")[1].split("```")[0]
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "README.md", "exec"), {})
    rows = [[c.text for c in r.cells] for r in docx.Document(tmp_path / "invoice.docx").tables[0].rows]
    assert rows[-1] == ["Total", "", "440.15"] and len(rows) == 5


def test_values_without_a_cell_are_reported(tmp_path):
    doc = docx.Document()
    table = doc.add_table(rows=2, cols=3)
    table.cell(0, 0).text = "{df}"
    table.cell(1, 0).merge(table.cell(1, 1))  # a row of two cells under three columns
    doc.save(tmp_path / "t.docx")
    frame = pd.DataFrame([["a", "b", "c"], ["d", "e", "f"]])
    _, warned = filled(str(tmp_path / "t.docx"), tmp_path / "o.docx", {"df": frame})
    assert [str(w.message) for w in warned] == [
        "{df} at table 1, row 1, column 1 left 1 value out: table 1, row 2 has too few cells" + HINT
    ]
    assert texts(tmp_path / "o.docx")[1] == ["d", "d", "e"]  # python-docx repeats a merged cell
