"""What a filled workbook looks like: block styles, Styler CSS, headers and
footers, local names, values written as text, pictures within the page."""

import datetime as dt
import io
import re
import subprocess
import sys
import uuid
import zipfile

import numpy as np
import openpyxl
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from lxml import etree
from openpyxl.chart import BarChart, Reference
from openpyxl.styles import Alignment, Border, Font, PatternFill, Protection, Side
from PIL import Image as PILImage

from tessel.gridfill import GridFill

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
XDR = "http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing"


def save(wb, tmp_path, name="template.xlsx"):
    path = str(tmp_path / name)
    wb.save(path)
    return path


def fill(template_path, tmp_path, env, **options):
    out = str(tmp_path / "out.xlsx")
    failed = GridFill(**options)(template_path, out, env)
    return out, failed


def sheet_xml(path, part="xl/worksheets/sheet1.xml"):
    with zipfile.ZipFile(path) as z:
        return etree.fromstring(z.read(part))


def rewrite_part(path, part, change):
    """Rewrites one part of a package in place with change(bytes) -> bytes."""
    with zipfile.ZipFile(path) as z:
        entries = [(i, z.read(i.filename)) for i in z.infolist()]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for info, data in entries:
            z.writestr(info, change(data) if info.filename == part else data)


# -- the template row's look -----------------------------------------------------


STYLES = {
    "font": Font(name="Arial", size=9, bold=True, color="1F3864"),
    "fill": PatternFill("solid", fgColor="DDEEFF"),
    "border": Border(bottom=Side(style="thin", color="999999")),
    "alignment": Alignment(horizontal="right", wrap_text=True),
    "number_format": "#,##0.00",
    "protection": Protection(locked=False),
}


@pytest.mark.parametrize("insert", [False, True], ids=["overwrite", "insert"])
@pytest.mark.parametrize("attribute", list(STYLES))
def test_block_rows_take_the_template_row_style(tmp_path, attribute, insert):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws["B2"] = "{df}"
    for column in "BCD":
        setattr(ws[f"{column}2"], attribute, STYLES[attribute])
    ws["D2"].number_format = "0%"  # each column keeps its own template cell
    out, failed = fill(save(wb, tmp_path), tmp_path, {"df": pd.DataFrame(np.arange(12.0).reshape(4, 3))},
                       restore=False, insert=insert)
    assert failed == []
    ws = openpyxl.load_workbook(out).active
    for row in range(2, 6):
        for column in "BCD":
            assert ws[f"{column}{row}"]._style == ws[f"{column}2"]._style, f"{column}{row}"
    assert ws["C5"].number_format == ("#,##0.00" if attribute == "number_format" else "General")
    assert ws["D5"].number_format == "0%"
    assert not ws["E3"].has_style and not ws["B6"].has_style


def test_cells_with_their_own_style_keep_it(tmp_path):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws["A1"] = "{df}"
    ws["A1"].font = ws["B1"].font = Font(name="Arial", bold=True)
    ws["B3"].font = Font(name="Georgia", italic=True)  # a pre-styled area under the template row
    ws["B3"].number_format = "0.0"
    out, failed = fill(save(wb, tmp_path), tmp_path, {"df": pd.DataFrame([[1, 2]] * 3)}, restore=False)
    ws = openpyxl.load_workbook(out).active
    assert failed == []
    assert (ws["B3"].font.name, ws["B3"].font.i, ws["B3"].number_format, ws["B3"].value) == ("Georgia", True, "0.0", 2)
    assert (ws["B2"].font.name, ws["B2"].font.b) == ("Arial", True)
    assert (ws["A3"].font.name, ws["A3"].font.b) == ("Arial", True)


@pytest.mark.parametrize("template_height, own, expected", [
    (24, {}, {3: 24, 4: 24, 5: 24, 6: None}),
    (24, {4: 40}, {3: 24, 4: 40, 5: 24, 6: None}),
    (None, {4: 40}, {3: None, 4: 40, 5: None, 6: None}),
], ids=["template-height", "row-with-its-own", "template-without"])
def test_block_rows_take_the_template_row_height(tmp_path, template_height, own, expected):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws["A2"] = "{df}"
    if template_height:
        ws.row_dimensions[2].height = template_height
    for row, height in own.items():
        ws.row_dimensions[row].height = height
    out, failed = fill(save(wb, tmp_path), tmp_path, {"df": pd.DataFrame({"a": range(4)})}, restore=False)
    ws = openpyxl.load_workbook(out).active
    assert failed == []
    assert {row: ws.row_dimensions[row].height for row in expected} == expected


def test_empty_values_keep_the_row_look(tmp_path):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws["A1"] = "{df}"
    ws["A1"].fill = ws["B1"].fill = PatternFill("solid", fgColor="FFEEAA")
    out, failed = fill(save(wb, tmp_path), tmp_path, {"df": pd.DataFrame({"a": [1.0, np.nan], "b": [None, "x"]})},
                       restore=False)
    ws = openpyxl.load_workbook(out).active
    assert [ws[c].value for c in ("A1", "B1", "A2", "B2")] == [1.0, None, None, "x"]
    assert all(ws[c].fill.fgColor.rgb == "00FFEEAA" for c in ("B1", "A2", "B2"))


DAY = dt.datetime(2024, 3, 1)


@pytest.mark.parametrize("values, template_format, expected", [
    ([DAY, DAY + dt.timedelta(days=1), None], None, "yyyy-mm-dd"),
    ([DAY, DAY + dt.timedelta(hours=13, minutes=5)], None, "yyyy-mm-dd hh:mm:ss"),
    ([DAY, DAY + dt.timedelta(microseconds=1)], None, "yyyy-mm-dd hh:mm:ss"),
    ([DAY, DAY + dt.timedelta(hours=1)], "dd/mm/yyyy", "dd/mm/yyyy"),
    ([DAY, DAY], "#,##0", "yyyy-mm-dd"),
    ([dt.date(2024, 3, 1), dt.date(2024, 3, 2)], None, "yyyy-mm-dd"),
], ids=["midnight", "time-of-day", "microsecond", "template-date-format", "template-number-format", "dates"])
def test_date_columns_show_as_dates_or_date_times(tmp_path, values, template_format, expected):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws["A1"] = "{df}"
    if template_format:
        ws["A1"].number_format = template_format
    column = pd.Series(values, dtype=object if isinstance(values[0], dt.date) and not isinstance(values[0], dt.datetime)
                       else "datetime64[ns]")
    out, failed = fill(save(wb, tmp_path), tmp_path, {"df": pd.DataFrame({"when": column, "n": 1})}, restore=False)
    ws = openpyxl.load_workbook(out).active
    assert failed == []
    formats = [ws.cell(row=r + 1, column=1).number_format for r, v in enumerate(values) if v is not None]
    assert formats == [expected] * len(formats)
    assert ws["B2"].number_format == "General"


def test_a_pre_styled_cell_shows_its_date_time_as_a_date(tmp_path):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws["A1"] = "{df}"
    ws["A2"].font = Font(bold=True)
    ws["A3"].number_format = "d mmm yyyy"
    out, _ = fill(save(wb, tmp_path), tmp_path, {"df": pd.DataFrame({"d": pd.date_range("2024-01-01", periods=3)})},
                  restore=False)
    ws = openpyxl.load_workbook(out).active
    assert [ws[f"A{r}"].number_format for r in (1, 2, 3)] == ["yyyy-mm-dd", "yyyy-mm-dd", "d mmm yyyy"]
    assert ws["A2"].font.b


@settings(max_examples=20, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.one_of(st.none(), st.datetimes(min_value=dt.datetime(1950, 1, 1), max_value=dt.datetime(2100, 1, 1))),
                min_size=1, max_size=6))
def test_date_format_follows_the_midnight_rule(tmp_path, stamps):
    wb = openpyxl.Workbook()
    wb.active["A1"] = "{df}"
    column = pd.Series(stamps, dtype="datetime64[us]")
    out, failed = fill(save(wb, tmp_path), tmp_path, {"df": pd.DataFrame({"d": column})}, restore=False)
    present = column.dropna()
    ws = openpyxl.load_workbook(out).active
    formats = {ws.cell(row=i + 1, column=1).number_format for i, v in enumerate(column) if not pd.isna(v)}
    if present.empty:
        assert formats == set()
    else:
        midnight = bool((present == present.dt.normalize()).all())
        assert formats == {"yyyy-mm-dd" if midnight else "yyyy-mm-dd hh:mm:ss"}
    assert failed == []


# -- pandas Styler blocks -------------------------------------------------------


STYLED = pd.DataFrame({"n": [1, -2, 3], "share": [0.1, 0.25, 0.5], "name": ["a", "b", "c"]})

STYLERS = {
    "map-colour-bold": lambda s: s.map(lambda v: "color: red; font-weight: bold" if v < 0 else "", subset=["n"]),
    "number-format": lambda s: s.map(lambda v: "number-format: 0.0%", subset=["share"]),
    "background": lambda s: s.set_properties(**{"background-color": "#ddeeff"}, subset=["name"]),
    "border-italic": lambda s: s.set_properties(**{"border": "1px solid black", "font-style": "italic"}),
    "highlight-max": lambda s: s.highlight_max(subset=["n", "share"], color="yellow"),
    "align": lambda s: s.set_properties(**{"text-align": "center", "vertical-align": "top"}),
}


def look(cell):
    """What the CSS sets; the rest of a font stays the template's (here the workbook's default)."""
    colour = cell.font.color.rgb if cell.font.color is not None and cell.font.color.type == "rgb" else None
    return (cell.font.b, cell.font.i, colour, cell.fill.patternType,
            cell.fill.fgColor.rgb, cell.border.left.style, cell.border.top.style, cell.number_format,
            cell.alignment.horizontal, cell.alignment.vertical)


@pytest.mark.parametrize("make", list(STYLERS.values()), ids=list(STYLERS))
def test_styler_block_looks_as_pandas_writes_it(tmp_path, make):
    styler = make(STYLED.style)
    wb = openpyxl.Workbook()
    wb.active["B2"] = "{styled}"
    out, failed = fill(save(wb, tmp_path), tmp_path, {"styled": styler}, restore=False)
    assert failed == []
    expected = str(tmp_path / "pandas.xlsx")
    styler.to_excel(expected, header=False, index=False, engine="openpyxl")
    ours, theirs = openpyxl.load_workbook(out).active, openpyxl.load_workbook(expected).active
    for i in range(len(STYLED)):
        for j in range(STYLED.shape[1]):
            mine, pandas_cell = ours.cell(row=2 + i, column=2 + j), theirs.cell(row=1 + i, column=1 + j)
            assert mine.value == pandas_cell.value == STYLED.iat[i, j]
            assert look(mine) == look(pandas_cell), (i, j)


def test_styler_css_goes_over_the_template_row(tmp_path):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws["A1"] = "{styled}"
    for column in "ABC":
        ws[f"{column}1"].font = Font(name="Arial", size=9)
        ws[f"{column}1"].border = Border(bottom=Side(style="thin"))
    styler = STYLED.style.map(lambda v: "font-weight: bold; border-top: 2px solid red", subset=["n"])
    out, failed = fill(save(wb, tmp_path), tmp_path, {"styled": styler}, restore=False)
    ws = openpyxl.load_workbook(out).active
    assert failed == []
    assert [ws[f"A{r}"].value for r in (1, 2, 3)] == [1, -2, 3]
    cell = ws["A3"]
    assert (cell.font.name, cell.font.sz, cell.font.b) == ("Arial", 9, True)
    assert (cell.border.bottom.style, cell.border.top.style, cell.border.top.color.rgb) == ("thin", "medium", "00FF0000")
    assert (ws["B3"].font.name, ws["B3"].font.b) == ("Arial", False)


# -- headers and footers ------------------------------------------------------------


def with_header_footer(tmp_path, items, attributes=""):
    """A one-sheet template whose headerFooter element holds `items` {kind: text} as written."""
    wb = openpyxl.Workbook()
    wb.active.title = "Data"
    wb.active["A1"] = "x"
    path = save(wb, tmp_path)
    body = "".join(f"<{kind}>{text}</{kind}>" for kind, text in items.items())
    element = f"<headerFooter{attributes}>{body}</headerFooter>".encode()
    rewrite_part(path, "xl/worksheets/sheet1.xml", lambda data: re.sub(rb"<headerFooter.*?</headerFooter>|(?=</worksheet>)",
                                                                     lambda m: element, data, count=1))
    return path


def header_items(path):
    root = sheet_xml(path).find(f"{{{MAIN}}}headerFooter")
    return {etree.QName(child).localname: child.text or "" for child in root if (child.text or "")}


HEADERS = [
    ("oddHeader", '&amp;L&amp;"Arial,Bold"&amp;9Sales {region}&amp;C&amp;"Arial,Italic"x&amp;"Arial"y&amp;R&amp;P / &amp;N',
     '&L&"Arial,Bold"&9Sales North && South&C&"Arial,Italic"x&"Arial"y&R&P / &N'),
    ("oddFooter", "Page &amp;P of &amp;N, {who}", "Page &P of &N, Ada"),
    ("evenHeader", "&amp;R&amp;[Page] {who}", "&R&[Page] Ada"),
    ("firstFooter", "&amp;C&amp;K00FF00green &amp;12&amp;D", "&C&K00FF00green &12&D"),
    ("firstHeader", "&amp;L_x000D_&amp;1#&amp;\"Calibri\"&amp;10&amp;K000000 {who}", '&L_x000D_&1#&"Calibri"&10&K000000 Ada'),
]


@pytest.mark.parametrize("kind, text, expected", HEADERS, ids=[h[0] for h in HEADERS])
def test_header_and_footer_codes_come_out_as_written(tmp_path, kind, text, expected):
    path = with_header_footer(tmp_path, {kind: text}, ' differentOddEven="1" differentFirst="1"')
    out, failed = fill(path, tmp_path, {"region": "North & South", "who": "Ada"}, restore=False)
    assert failed == []
    assert header_items(out) == {kind: expected}
    root = sheet_xml(out).find(f"{{{MAIN}}}headerFooter")
    assert (root.get("differentOddEven"), root.get("differentFirst")) == ("1", "1")


def test_header_failures_are_reported_and_checked(tmp_path):
    path = with_header_footer(tmp_path, {"oddHeader": "&amp;C{title}", "oddFooter": "{missing}",
                                         "evenHeader": "{bad}", "firstFooter": "&amp;R{long}"})
    env = {"title": "Q1", "long": "x" * 300, "bad": "a\x01b"}
    out, failed = fill(path, tmp_path, env, restore=False)
    assert list(failed) == ["missing", "bad", "long"]
    places = [(d.placeholder, d.place) for d in failed.details]
    assert places == [("missing", "sheet Data, footer"), ("bad", "sheet Data, even page header"),
                      ("long", "sheet Data, first page footer")]
    assert "255" in failed.details[2].reason
    assert header_items(out) == {"oddHeader": "&CQ1", "oddFooter": "{missing}", "firstFooter": "&R{long}",
                                 "evenHeader": "{bad}"}
    checked = GridFill().check(path, env)
    assert [(f.placeholder, f.place, f.reason is None) for f in checked] == [
        ("title", "sheet Data, header", True), ("missing", "sheet Data, footer", False),
        ("bad", "sheet Data, even page header", False), ("long", "sheet Data, first page footer", False)]
    assert [f.place for f in GridFill().check(path, evaluate=False)][0] == "sheet Data, header"


def test_multi_line_header_keeps_its_lines(tmp_path):
    path = with_header_footer(tmp_path, {"oddHeader": "&amp;C{a}\nsecond line "})
    out, _ = fill(path, tmp_path, {"a": "first"}, restore=False)
    element = sheet_xml(out).find(f"{{{MAIN}}}headerFooter/{{{MAIN}}}oddHeader")
    assert element.text == "&Cfirst\nsecond line "
    assert element.get("{http://www.w3.org/XML/1998/namespace}space") == "preserve"


# -- local defined names ------------------------------------------------------------


def local_names(path):
    """{(name, text): sheet name} of the local defined names of a package; quotes
    around sheet names in the text, which openpyxl adds, are left out."""
    with zipfile.ZipFile(path) as z:
        root = etree.fromstring(z.read("xl/workbook.xml"))
    sheets = [s.get("name") for s in root.iterfind(f"{{{MAIN}}}sheets/{{{MAIN}}}sheet")]
    return {(n.get("name"), n.text.replace("'", "")): sheets[int(n.get("localSheetId"))]
            for n in root.iterfind(f"{{{MAIN}}}definedNames/{{{MAIN}}}definedName") if n.get("localSheetId")}


@pytest.mark.parametrize("order", [["Chart", "A", "B"], ["A", "Chart", "B"], ["A", "B", "Chart"],
                                   ["Chart", "A", "Other chart", "B"]], ids=["first", "between", "last", "two"])
@pytest.mark.parametrize("engine", ["native", "openpyxl"])
def test_local_names_stay_with_their_sheet(tmp_path, order, engine):
    wb = openpyxl.Workbook()
    wb.remove(wb.active)
    for title in order:
        if "hart" in title:
            chart = BarChart()
            chart.add_data(Reference(wb.worksheets[0] if wb.worksheets else wb.create_sheet("tmp"), min_col=1,
                                     min_row=1, max_row=2))
            wb.create_chartsheet(title).add_chart(chart)
        else:
            ws = wb.create_sheet(title)
            ws["A1"], ws["A2"] = 1, 2
    if "tmp" in wb.sheetnames:
        wb.move_sheet("tmp", offset=len(wb.sheetnames))
    for title, rate in (("A", "1"), ("B", "2")):
        wb[title].defined_names.add(openpyxl.workbook.defined_name.DefinedName("Rate", attr_text=rate))
    wb["B"].print_area = "A1:A2"
    wb["B"].auto_filter.ref = "A1:A2"
    path = save(wb, tmp_path)
    # openpyxl's own file carries its numbering; the template gets Excel's.
    intended = {"1": "A", "2": "B", "'B'!$A$1:$A$2": "B"}  # texts as openpyxl writes them
    sheets = wb.sheetnames
    # A template from elsewhere may lack the filter's name, which openpyxl adds.
    rewrite_part(path, "xl/workbook.xml", lambda data: re.sub(
        rb'(<definedName [^>]*localSheetId=")\d+("[^>]*>)([^<]*)',
        lambda m: m.group(1) + str(sheets.index(intended[m.group(3).decode()])).encode() + m.group(2) + m.group(3),
        re.sub(rb'<definedName name="_xlnm._FilterDatabase"[^>]*>[^<]*</definedName>', b"", data)))
    before = local_names(path)
    assert set(before.values()) == {"A", "B"}

    out, failed = fill(path, tmp_path, {}, engine=engine)
    assert failed == []
    # openpyxl's engine adds the filter's name; the native one keeps the names as they are.
    added = {("_xlnm._FilterDatabase", "B!$A$1:$A$2"): "B"} if engine == "openpyxl" else {}
    assert local_names(out) == {**before, **added}
    reopened = openpyxl.load_workbook(out)
    assert sorted(reopened["A"].defined_names) == ["Rate"] and reopened["B"].print_area == "'B'!$A$1:$A$2"


def test_local_names_of_a_corpus_workbook_with_chart_sheets(data_dir, tmp_path):
    template = f"{data_dir}/xlsx/poi__stress024.xlsx"
    out, failed = fill(template, tmp_path, {})
    assert failed == []
    assert local_names(out) == local_names(template)
    # Its footer "&A" has no section code: openpyxl would drop it, the fill kept it.
    with pytest.warns(UserWarning, match="Cannot parse header or footer"):
        wb = openpyxl.load_workbook(out)
    assert sorted(wb["Buy"].defined_names) == ["Print_Area_MI", "_Regression_Int"]


# -- values Excel has no type for --------------------------------------------------


@pytest.mark.parametrize("value", [
    pd.Period("2024-03", freq="M"), pd.Period("2024Q2", freq="Q"), pd.Interval(0.5, 1.5),
    pd.Interval(pd.Timestamp("2024-01-01"), pd.Timestamp("2024-02-01"), closed="left"),
    uuid.UUID("12345678-1234-5678-1234-567812345678"),
], ids=["month", "quarter", "interval", "time-interval", "uuid"])
def test_values_that_read_as_text_are_written_as_text(tmp_path, value):
    wb = openpyxl.Workbook()
    wb.active["A1"], wb.active["B1"] = "{v}", "{df}"
    # Periods and intervals make columns of their own dtype; UUIDs stay objects.
    column = pd.Series([value, None] if isinstance(value, uuid.UUID) else pd.array([value, None]))
    assert isinstance(column.dtype, (pd.PeriodDtype, pd.IntervalDtype)) != isinstance(value, uuid.UUID)
    out, failed = fill(save(wb, tmp_path), tmp_path, {"v": value, "df": pd.DataFrame({"c": column})}, restore=False)
    ws = openpyxl.load_workbook(out).active
    assert failed == []
    assert [ws["A1"].value, ws["B1"].value, ws["B2"].value] == [str(value), str(column[0]), None]


@pytest.mark.parametrize("numbers", [[1.9999999, 0.1, -3.25], [1e300, np.nan, 2.0 ** -60]], ids=["plain", "wide"])
def test_long_double_values_are_written_by_value(tmp_path, numbers):
    wb = openpyxl.Workbook()
    wb.active["A1"], wb.active["C1"] = "{df}", "{x}"
    column = np.array(numbers, dtype=np.longdouble)
    out, failed = fill(save(wb, tmp_path), tmp_path, {"df": pd.DataFrame({"a": column}), "x": column[0]}, restore=False)
    ws = openpyxl.load_workbook(out).active
    assert failed == []
    assert [ws.cell(row=r + 1, column=1).value for r in range(len(numbers))] == \
        [None if np.isnan(n) else pytest.approx(float(n), rel=1e-15) for n in numbers]
    assert ws["C1"].value == pytest.approx(float(numbers[0]), rel=1e-15)


def test_long_double_past_the_double_range_is_refused(tmp_path):
    wb = openpyxl.Workbook()
    wb.active["A1"] = "{df}"
    if np.finfo(np.longdouble).max <= np.finfo(np.float64).max:
        pytest.skip("this platform's long double is a double")
    huge = np.array([1.0, np.longdouble("1e400")], dtype=np.longdouble)
    out, failed = fill(save(wb, tmp_path), tmp_path, {"df": pd.DataFrame({"a": huge})}, restore=False)
    assert failed == ["df"] and "A2" in failed.details[0].reason
    assert openpyxl.load_workbook(out).active["A1"].value == 1.0


# -- pictures within the printed page ---------------------------------------------


def png(width, height):
    stream = io.BytesIO()
    PILImage.new("RGB", (width, height), "teal").save(stream, "PNG")
    return stream


def picture_extent(path):
    """(cx, cy) in pixels of the one picture of the first sheet's drawing."""
    with zipfile.ZipFile(path) as z:
        drawing = next(n for n in z.namelist() if re.fullmatch(r"xl/drawings/drawing\d+\.xml", n))
        ext = etree.fromstring(z.read(drawing)).find(f".//{{{XDR}}}ext")
    return int(ext.get("cx")) / 9525, int(ext.get("cy")) / 9525


A4, LETTER, LEGAL, A3 = (8.27, 11.69), (8.5, 11.0), (8.5, 14.0), (11.69, 16.54)


@pytest.mark.parametrize("setup, paper, margins, scale", [
    ({}, A4, 1.5, 100),
    ({"paperSize": 1}, LETTER, 1.5, 100),
    ({"paperSize": 5, "margins": (0.25, 0.25)}, LEGAL, 0.5, 100),
    ({"paperSize": 9, "orientation": "landscape"}, A4[::-1], 1.5, 100),
    ({"paperSize": 8}, A3, 1.5, 100),
    ({"paperSize": 1, "scale": 50}, LETTER, 1.5, 50),
    ({"paperSize": 1, "scale": 50, "fit": True}, LETTER, 1.5, 100),
], ids=["default", "letter", "legal-narrow-margins", "a4-landscape", "a3", "half-scale", "fitted"])
@pytest.mark.parametrize("picture", [(3000, 1000), (500, 200)], ids=["wide", "narrow"])
def test_a_picture_wider_than_the_printed_page_is_scaled_to_it(tmp_path, setup, paper, margins, scale, picture):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws["B2"] = "{picture}"
    if "paperSize" in setup:
        ws.page_setup.paperSize = setup["paperSize"]
    ws.page_setup.orientation = setup.get("orientation")
    ws.page_setup.scale = setup.get("scale")
    ws.sheet_properties.pageSetUpPr.fitToPage = setup.get("fit")
    ws.page_margins.left, ws.page_margins.right = setup.get("margins", (0.75, 0.75))
    out, failed = fill(save(wb, tmp_path), tmp_path, {"picture": png(*picture)})
    assert failed == []
    limit = (paper[0] - margins) * 96 * 100 / scale
    width, height = picture_extent(out)
    if picture[0] <= limit:
        assert (width, height) == picture
    else:
        assert width == pytest.approx(limit, abs=1)
        assert height / width == pytest.approx(picture[1] / picture[0], rel=0.01)


# -- the demo --------------------------------------------------------------------


def column_pixels(ws, letter):
    width = ws.column_dimensions[letter].width if letter in ws.column_dimensions else None
    return int((width or 8.43) * 7 + 5)


def test_demo_report_makes_room_names_its_fonts_and_fits_the_page(tmp_path, monkeypatch):
    from tessel import cli, demo

    seen = {}
    fill_one = cli.batch.fill_one

    def spy(filler, template, output, env):
        seen[template.rsplit("/", 1)[-1]] = getattr(filler, "insert", None)
        return fill_one(filler, template, output, env)

    monkeypatch.setattr(cli.batch, "fill_one", spy)
    assert cli.main(["demo", str(tmp_path)]) == 0
    assert seen == {"report.xlsx": True, "order.docx": False, "letter.txt": None}

    ws = openpyxl.load_workbook(demo.example("report.xlsx"))["Sales"]
    texts = [c for c in ws._cells.values() if isinstance(c.value, str)]
    assert [c.coordinate for c in texts if not c.font.name] == []
    block = next(c for c in texts if c.value == "{sales}")
    row = block.row
    # The total row sits right under the block's row and sums that row only:
    # inserting the block's rows grows its ranges over the whole block.
    assert [ws.cell(row=row + 1, column=c).value for c in (1, 2, 3)] == ["Total", f"=SUM(B{row}:B{row})",
                                                                         f"=SUM(C{row}:C{row})"]
    printable = (8.27 - ws.page_margins.left - ws.page_margins.right) * 96
    logo = next(c for c in texts if c.value == "{logo}")
    left = sum(column_pixels(ws, openpyxl.utils.get_column_letter(k)) for k in range(1, logo.column))
    with PILImage.open(demo.example("logo.png")) as picture:
        assert left + picture.width <= printable
    (chart,) = ws._charts
    assert chart.anchor._from.col == 0 and chart.width / 2.54 * 96 <= printable

    # Filled, the total row stands under the six months and adds them all up.
    filled = openpyxl.load_workbook(tmp_path / "report.xlsx")["Sales"]
    months = len(demo.demo_variables("report.xlsx")["sales"])
    total = row + months
    assert [filled.cell(row=total, column=c).value for c in (1, 2, 3)] == [
        "Total", f"=SUM(B{row}:B{total - 1})", f"=SUM(C{row}:C{total - 1})"]


def test_a_styler_made_by_the_placeholder_itself(tmp_path):
    # In a fresh interpreter pandas' styling module is first imported by the
    # placeholder's own df.style.
    wb = openpyxl.Workbook()
    wb.active["A1"] = "{df.style.highlight_max(color='yellow')}"
    path = save(wb, tmp_path)
    script = (f"import pandas as pd\nfrom tessel.gridfill import GridFill\n"
              f"print(GridFill(restore=False)({path!r}, {str(tmp_path / 'out.xlsx')!r}, "
              f"{{'df': pd.DataFrame({{'a': [1, 3, 2]}})}}))")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, cwd=tmp_path)
    assert (done.returncode, done.stdout.strip()) == (0, "[]"), done.stderr
    ws = openpyxl.load_workbook(tmp_path / "out.xlsx").active
    assert [ws[f"A{r}"].value for r in (1, 2, 3)] == [1, 3, 2]
    assert [ws[f"A{r}"].fill.fgColor.rgb for r in (1, 2, 3)] == ["00000000", "00FFFF00", "00000000"]
