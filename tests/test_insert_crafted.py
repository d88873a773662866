"""Row insertion against crafted workbooks: numbers out of range, markup that only
looks like the elements it moves, cells past the grid, sheet names in any alphabet.
A refused edit fails its placeholder, or raises, and leaves every file as it was."""

import io
import re
import warnings
import zipfile

import openpyxl
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from openpyxl.drawing.image import Image
from PIL import Image as PILImage

from tessel.gridfill import GridFill, _move_inserted_rows, _moved_formula, restore_save

from test_sheet_references import BLOCK, package, vml_package

MAX_ROW = 1048576
HUGE = "99999999999999999999"
XDR = "http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing"
FOUR = pd.DataFrame({"a": range(4)})


def load(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # openpyxl on drawings it drops
        return openpyxl.load_workbook(path)


def values(path, sheet="S"):
    return {c.coordinate: c.value for c in load(path)[sheet]._cells.values() if c.value is not None}


def rewritten(path, out, part, old, new):
    """A copy of the package at `path` with `old` replaced by `new` in `part`."""
    with zipfile.ZipFile(path) as zin, zipfile.ZipFile(out, "w") as zout:
        for item in zin.infolist():
            data = zin.read(item)
            if item.filename == part:
                text = data.decode()
                assert old in text
                data = text.replace(old, new).encode()
            zout.writestr(item, data)
    return str(out)


# -- a block checks what it moves before it moves anything ----------------------------


def png():
    stream = io.BytesIO()
    PILImage.new("RGB", (20, 10), "red").save(stream, "PNG")
    stream.seek(0)
    return stream


def picture_template(tmp_path, anchor_cell):
    """{df} in A4; a value, a formula on it and a merge under it, and a picture."""
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "S"
    ws["A4"], ws["C8"], ws["D1"] = "{df}", "x", "=C8"
    ws.merge_cells("E8:F8")
    ws.add_image(Image(png()), anchor_cell)
    wb.save(tmp_path / "plain.xlsx")
    return tmp_path / "plain.xlsx"


def fill(template, out, frame=FOUR, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # openpyxl on drawings it drops
        return GridFill(insert=True, **options)(str(template), str(out), {"df": frame})


@pytest.mark.parametrize("restore", [False, True], ids=["openpyxl", "restored"])
@pytest.mark.parametrize("cell, old, new, why", [
    ("B10", "<xdr:rowOff>0</xdr:rowOff>", f"<xdr:rowOff>{HUGE}</xdr:rowOff>", f'xdr:rowOff "{HUGE}"'),
    ("B10", "<xdr:row>9</xdr:row>", f"<xdr:row>{HUGE}</xdr:row>", f'xdr:row "{HUGE}"'),
    ("B10", "<xdr:row>9</xdr:row>", "<xdr:row>-3</xdr:row>", 'xdr:row "-3"'),
    # Excel refuses to shift an object off the sheet.
    (f"B{MAX_ROW - 1}", "", "", "off the sheet"),
])
def test_a_crafted_anchor_fails_the_block_before_anything_moves(tmp_path, restore, cell, old, new, why):
    plain = picture_template(tmp_path, cell)
    part = "xl/drawings/drawing1.xml"
    with zipfile.ZipFile(plain) as z:
        drawing = z.read(part).decode()
    # openpyxl writes its drawing without prefixes; Excel spells them out.
    prefixed = re.sub(r"<(/?)(wsDr|oneCellAnchor|from|col|colOff|row|rowOff|ext|pic|clientData)\b", r"<\1xdr:\2",
                      drawing).replace(f'xmlns="{XDR}"', f'xmlns:xdr="{XDR}"')
    crafted = rewritten(plain, tmp_path / "t.xlsx", part, drawing, prefixed.replace(old, new))
    out = tmp_path / "out.xlsx"
    failed = fill(crafted, out, restore=restore)
    assert failed == ["df"] and why in failed.details[0].reason
    assert "no rows were inserted" in failed.details[0].reason
    got = values(out)
    assert (got["A4"], got["C8"], got["D1"]) == ("{df}", "x", "=C8")
    assert [str(r) for r in load(out)["S"].merged_cells.ranges] == ["E8:F8"]


def break_template(tmp_path, brk_id, local_id="0"):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "S"
    ws["A4"], ws["C8"], ws["D1"] = "{df}", "x", "=C8"
    wb.save(tmp_path / "plain.xlsx")
    crafted = rewritten(tmp_path / "plain.xlsx", tmp_path / "b.xlsx", "xl/worksheets/sheet1.xml", "</worksheet>",
                        f'<rowBreaks count="1" manualBreakCount="1"><brk id="{brk_id}" max="16383" man="1"/>'
                        "</rowBreaks></worksheet>")
    return rewritten(crafted, tmp_path / "t.xlsx", "xl/workbook.xml", "</sheets>",
                     f'</sheets><definedNames><definedName name="Top" localSheetId="{local_id}">S!$C$8'
                     "</definedName></definedNames>")


@pytest.mark.parametrize("brk_id, local_id, why", [
    ("9", "0", None),
    (str(MAX_ROW), "0", f'brk id "{MAX_ROW}"'),
    ("9", "4294967296", 'localSheetId "4294967296"'),
])
def test_page_breaks_and_local_names_are_checked_before_a_block_moves(tmp_path, brk_id, local_id, why):
    template = break_template(tmp_path, brk_id, local_id)
    out = tmp_path / "out.xlsx"
    failed = fill(template, out, restore=False)
    got = values(out)
    if why is None:
        assert failed == [] and (got["C11"], got["D1"]) == ("x", "=C11")
    else:
        assert failed == ["df"] and why in failed.details[0].reason
        assert (got["A4"], got["C8"], got["D1"]) == ("{df}", "x", "=C8")


# -- the package step refuses what it cannot move and writes nothing ------------------


@pytest.mark.parametrize("part, old, new, why", [
    ("xl/worksheets/sheet1.xml", "</worksheet>", f'<rowBreaks><brk id="{HUGE}"/></rowBreaks></worksheet>', "brk id"),
    ("xl/worksheets/sheet1.xml", "</worksheet>", '<rowBreaks><brk id="x7"/></rowBreaks></worksheet>', "brk id"),
    ("xl/workbook.xml", "</sheets>", f'</sheets><definedNames><definedName name="N" localSheetId="{HUGE}">'
     "$A$5</definedName></definedNames>", "definedName localSheetId"),
])
def test_the_package_step_refuses_a_crafted_number_and_leaves_the_file(tmp_path, part, old, new, why):
    path = rewritten(package(tmp_path, '<row r="5"><c r="B5"><f>A5</f></c></row>'), tmp_path / "c.xlsx", part, old, new)
    before = (tmp_path / "c.xlsx").read_bytes()
    with pytest.raises(ValueError, match=f"{part}: {why}"):
        _move_inserted_rows(path, BLOCK)
    assert (tmp_path / "c.xlsx").read_bytes() == before


def test_a_break_pushed_off_the_sheet_goes_with_its_row(tmp_path):
    breaks = ('<rowBreaks count="2" manualBreakCount="2"><brk id="10" man="1"/>'
              f'<brk id="{MAX_ROW - 3}" man="1"/></rowBreaks>')
    path = package(tmp_path, "", breaks)
    _move_inserted_rows(path, BLOCK)
    with zipfile.ZipFile(path) as z:
        sheet = z.read("xl/worksheets/sheet1.xml").decode()
    assert re.findall(r'id="(\d+)"', sheet) == ["19"]
    assert 'count="1"' in sheet and 'manualBreakCount="1"' in sheet


# -- parts restored from the template --------------------------------------------------


def restored(tmp_path, part, text, inserted=BLOCK):
    """`part` (a drawing or legacy drawing) as restore_save moves it into a saved copy
    of a template holding `text` there.  A refusal leaves the saved copy as it was."""
    template = vml_package(tmp_path, 0, 0, 0, 0)
    kind = "drawing" if part.endswith(".xml") else "vmlDrawing"
    tag = "drawing" if kind == "drawing" else "legacyDrawing"
    with zipfile.ZipFile(template) as z:
        files = {n: z.read(n) for n in z.namelist() if not n.endswith(".vml")}
    files["xl/worksheets/_rels/sheet1.xml.rels"] = files["xl/worksheets/_rels/sheet1.xml.rels"].replace(
        b"../drawings/vmlDrawing1.vml", f"../{part[3:]}".encode()).replace(b"/vmlDrawing", f"/{kind}".encode())
    sheet = files["xl/worksheets/sheet1.xml"]
    files["xl/worksheets/sheet1.xml"] = sheet.replace(b"legacyDrawing", tag.encode())
    with zipfile.ZipFile(template, "w") as z:
        for name, data in {**files, part: text.encode()}.items():
            z.writestr(name, data)
    saved = tmp_path / "saved.xlsx"
    with zipfile.ZipFile(saved, "w") as z:
        for name, data in files.items():
            if "_rels/sheet1" not in name:
                z.writestr(name, sheet.replace(b'<legacyDrawing r:id="rId1"/>', b"") if "sheet1" in name else data)
    before = saved.read_bytes()
    try:
        restore_save(template, str(saved), inserted=inserted)
    except ValueError:
        assert saved.read_bytes() == before
        raise
    with zipfile.ZipFile(saved) as z:
        return next(z.read(n).decode() for n in z.namelist() if n.startswith("xl/drawings/") and
                    n.endswith(part[-4:]) and "_rels" not in n)


VML = "xl/drawings/vmlDrawing1.vml"
# A form control: a legacy drawing of notes alone is rewritten by openpyxl, not restored.
SHELL = ('<xml xmlns:x="urn:schemas-microsoft-com:office:excel"><x:ClientData ObjectType="Checkbox">{}'
         "</x:ClientData></xml>")


@pytest.mark.parametrize("body, expected", [
    # An element whose content holds markup is left to its children.
    ("<x:FmlaLink>$A$9<x:Row>7</x:Row>$A$9</x:FmlaLink>", "<x:FmlaLink>$A$9<x:Row>16</x:Row>$A$9</x:FmlaLink>"),
    # Comments, CDATA and processing instructions are no elements.
    ("<!-- <x:Row>7</x:Row> --><x:Row>8</x:Row>", "<!-- <x:Row>7</x:Row> --><x:Row>17</x:Row>"),
    ("<![CDATA[<x:Row>7</x:Row>]]><x:FmlaLink>$B$9</x:FmlaLink>", "<![CDATA[<x:Row>7</x:Row>]]><x:FmlaLink>$B$18</x:FmlaLink>"),
    ("<?pi <x:Row>7</x:Row>?><x:Row>7</x:Row>", "<?pi <x:Row>7</x:Row>?><x:Row>16</x:Row>"),
    ("<x:Row><!-- c -->7</x:Row>", "<x:Row><!-- c -->7</x:Row>"),
    # Unclosed or mismatched elements are left as they are.
    ("<x:Row>7</x:Rows><x:Row>7", "<x:Row>7</x:Rows><x:Row>7"),
    ("<x:Row>7</x:Row >", "<x:Row>16</x:Row >"),
    ('<x:Anchor a=">">1, 0, 6, 0, 3, 0, 7, 0</x:Anchor>', '<x:Anchor a=">">1, 0, 15, 0, 3, 0, 16, 0</x:Anchor>'),
    ("<x:Row/><x:Row>3</x:Row>", "<x:Row/><x:Row>3</x:Row>"),
])
def test_legacy_markup_is_read_as_markup(tmp_path, body, expected):
    assert restored(tmp_path, VML, SHELL.format(body)) == SHELL.format(expected)


@pytest.mark.parametrize("body, why", [
    (f"<x:Row>{HUGE}</x:Row>", "x:Row"),
    ("<x:Row>-1</x:Row>", "x:Row"),
    ("<x:Row>seven</x:Row>", "x:Row"),
    (f"<x:Anchor>1, 0, {HUGE}, 0, 3, 0, 7, 0</x:Anchor>", "x:Anchor"),
    ("<x:Anchor>1, 0, 6, 0, 3, 0, 7</x:Anchor>", "x:Anchor"),
    ("<x:Anchor>1, 0, 6, 0, 3, 0, 7, 0, 9</x:Anchor>", "x:Anchor"),
    (f"<x:Anchor>1, 0, {MAX_ROW - 3}, 0, 3, 0, {MAX_ROW - 2}, 0</x:Anchor>", "off the sheet"),
])
def test_a_crafted_legacy_number_is_refused(tmp_path, body, why):
    with pytest.raises(ValueError, match=why):
        restored(tmp_path, VML, SHELL.format(body))


# -- cells past the grid ---------------------------------------------------------------


@pytest.mark.parametrize("insert", [False, True], ids=["overwrite", "insert"])
@pytest.mark.parametrize("ref", ["A4294967298", "A0", "A1048577"])
def test_a_placeholder_past_the_grid_fails_and_writes_nothing(tmp_path, insert, ref):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "S"
    ws["A2"], ws["A3"], ws["C3"] = "keep", "{df}", "Q"
    wb.save(tmp_path / "plain.xlsx")
    template = rewritten(tmp_path / "plain.xlsx", tmp_path / "t.xlsx", "xl/worksheets/sheet1.xml",
                         '<c r="A3" t="inlineStr">', f'<c r="{ref}" t="inlineStr">')
    out = tmp_path / "out.xlsx"
    failed = GridFill(insert=insert)(template, str(out), {"df": FOUR})
    assert failed == ["df"]
    assert failed.details[0].place == f"sheet S, cell {ref}"
    assert f"the cell {ref} lies outside the sheet" in failed.details[0].reason
    got = values(out)
    assert (got["A2"], got["C3"]) == ("keep", "Q") and "A4" not in got


# -- sheet names in any alphabet ---------------------------------------------------------


@pytest.mark.parametrize("sheet, formula, expected", [
    ("Übersicht", "'übersicht'!A5", "'übersicht'!A14"),
    ("übersicht", "ÜBERSICHT!A5", "ÜBERSICHT!A14"),
    ("ΣΟΦΙΑ", "σοφια!A5+σοφιας!A5", "σοφια!A14+σοφιας!A5"),
    ("Σοφίας", "ΣΟΦΊΑΣ!A5", "ΣΟΦΊΑΣ!A14"),
    ("Данные", "'ДАННЫЕ'!B5:B6", "'ДАННЫЕ'!B14:B15"),
    # One character folds as one: a sharp s is no "ss".
    ("Straße", "'STRASSE'!A5+'STRAẞE'!A5", "'STRASSE'!A5+'STRAẞE'!A14"),
])
def test_sheet_names_compare_without_case_in_every_alphabet(sheet, formula, expected):
    assert _moved_formula(formula, "Other", {sheet: [(4, 9)]}) == expected


def test_a_fill_moves_references_to_its_sheet_spelt_in_another_case(tmp_path):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Übersicht"
    ws["A4"], ws["A5"] = "{df}", "total"
    wb.create_sheet("Other")["A1"] = "='übersicht'!A5"
    wb.save(tmp_path / "t.xlsx")
    assert fill(tmp_path / "t.xlsx", tmp_path / "out.xlsx") == []
    assert values(tmp_path / "out.xlsx", "Other")["A1"] == "='übersicht'!A8"


# -- generated inputs -----------------------------------------------------------------

crafted_tokens = st.sampled_from([
    "A5", "$B$5", "B5:C9", "5:7", "S!A5", "'S'!A5", "'s''s'!B6", "'Übersicht'!A5", HUGE, f"A{HUGE}",
    f"A{MAX_ROW}", f"XFD{MAX_ROW}", "XFE5", "$", "$$5", "'", '"', "[", "]", "[1]", "!", ":", "#REF!", "#",
    "SUM(", ")", "'unclosed", '"unclosed', "Table1[[#This Row],[A5]]", "A5#", "ü", "Σ", "\u200b", "\x00",
])


@st.composite
def formulas(draw):
    parts = draw(st.lists(st.one_of(crafted_tokens, st.text(max_size=4)), max_size=30))
    ops = draw(st.lists(st.sampled_from(["", "+", " ", ",", ":", "!", "'"]), min_size=len(parts), max_size=len(parts)))
    return "".join(op + part for op, part in zip(ops, parts)) * draw(st.sampled_from([1, 1, 1, 200]))


@settings(max_examples=200, deadline=None)
@given(formulas(), st.binary(max_size=4))
def test_crafted_formulas_never_break_the_scanner(formula, junk):
    inserted = {"S": [(4, 9)], "Übersicht": [(2, 3)]}
    moved = _moved_formula(formula, "S", inserted)
    assert isinstance(moved, str)
    # Nothing moves under the last row, nor without insertions.
    assert _moved_formula(formula, "S", {"S": [(MAX_ROW, 5)]}) == formula
    assert _moved_formula(formula, "S", {}) == formula
    data = formula.encode("utf-8", "surrogatepass")
    raw = data[:len(data) // 2] + junk + data[len(data) // 2:]
    assert isinstance(_moved_formula(raw, "S", inserted), bytes)
    assert _moved_formula(raw, "S", {"S": [(MAX_ROW, 5)]}) == raw


DRAWING = (f'<xdr:wsDr xmlns:xdr="{XDR}" xmlns:a="http://schemas.openxmlformats.org/drawingml/2006/main">'
           '<xdr:twoCellAnchor editAs="{edit}"><xdr:from><xdr:col>1</xdr:col><xdr:colOff>0</xdr:colOff>'
           "{top}</xdr:from><xdr:to><xdr:col>3</xdr:col><xdr:colOff>0</xdr:colOff>{bottom}</xdr:to>"
           '<xdr:sp><xdr:nvSpPr><xdr:cNvPr id="2" name="Box"/><xdr:cNvSpPr/></xdr:nvSpPr><xdr:spPr/></xdr:sp>'
           "<xdr:clientData/></xdr:twoCellAnchor></xdr:wsDr>")


numbers = st.one_of(st.integers(0, 40).map(str), st.integers(MAX_ROW - 12, MAX_ROW - 1).map(str),
                    st.sampled_from([HUGE, "-1", "-99999999999999999999", "4294967298", "x", "", " 7 ", "1e3",
                                     "\u0667"]))
markers = st.tuples(st.one_of(numbers, st.none()), st.one_of(numbers, st.none()))


def marker_xml(row, offset):
    return ("" if row is None else f"<xdr:row>{row}</xdr:row>") + \
           ("" if offset is None else f"<xdr:rowOff>{offset}</xdr:rowOff>")


def readable(text, low, high):
    return text is not None and text.strip().lstrip("-").isascii() and text.strip().lstrip("-").isdigit() \
        and low <= int(text) <= high


@settings(max_examples=120, deadline=None)
@given(markers, markers, st.sampled_from(["twoCell", "oneCell", "absolute"]))
def test_crafted_drawing_anchors_move_or_are_refused_leaving_the_file(tmp_path_factory, top, bottom, edit):
    drawing = DRAWING.format(edit=edit, top=marker_xml(*top), bottom=marker_xml(*bottom))
    ok = all(readable(row, 0, MAX_ROW - 1) and (offset is None or readable(offset, -27273042316900, 27273042316900))
             for row, offset in (top, bottom))
    if ok:
        a, b = int(top[0]), int(bottom[0])
        # The block's rows go under zero-based row 3: a marker at row 4 or under moves.
        if edit != "absolute":
            if a >= 4:
                a, b = a + 9, b + 9
            elif edit == "twoCell" and (b > 4 or (b == 4 and int(bottom[1] or 0) > 0)):
                b += 9
        ok = max(a, b) < MAX_ROW
    if not ok:
        with pytest.raises(ValueError, match="drawing"):
            restored(tmp_path_factory.mktemp("anchors"), "xl/drawings/drawing1.xml", drawing)
        return
    moved = restored(tmp_path_factory.mktemp("anchors"), "xl/drawings/drawing1.xml", drawing)
    assert [int(r) for r in re.findall(r"<xdr:row>([^<]*)</xdr:row>", moved)] == [a, b]


@settings(max_examples=100, deadline=None)
@given(st.lists(st.one_of(numbers, st.none()), min_size=8, max_size=8), st.one_of(numbers, st.none()))
def test_crafted_legacy_anchors_move_or_are_refused_leaving_the_file(tmp_path_factory, anchor, row):
    tmp_path = tmp_path_factory.mktemp("vml")
    body = "<x:Anchor>" + ",".join("" if n is None else n for n in anchor) + "</x:Anchor>" + \
           ("" if row is None else f"<x:Row>{row}</x:Row>")
    bounds = [(0, 16383), (-27273042316900, 27273042316900), (0, MAX_ROW - 1), (-27273042316900, 27273042316900)] * 2
    ok = all(readable(n, *b) for n, b in zip(anchor, bounds)) and (row is None or readable(row, 0, MAX_ROW - 1))
    if ok:
        top, bottom = int(anchor[2]), int(anchor[6])
        if top >= 4:
            top, bottom = top + 9, bottom + 9
        r = None if row is None else int(row) + (9 if int(row) >= 4 else 0)
        ok = max(top, bottom, r or 0) < MAX_ROW
    if not ok:
        with pytest.raises(ValueError):
            restored(tmp_path, VML, SHELL.format(body))
        return
    vml = restored(tmp_path, VML, SHELL.format(body))
    moved = [int(n) for n in re.search(r"<x:Anchor>(.*?)</x:Anchor>", vml).group(1).split(",")]
    assert (moved[2], moved[6]) == (top, bottom)
    if row is not None:
        assert int(re.search(r"<x:Row>(.*?)</x:Row>", vml).group(1)) == r


def test_a_chart_the_package_step_cannot_read_fails_the_block_not_the_save(tmp_path):
    from openpyxl.chart import BarChart, Reference
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "S"
    ws["A4"], ws["B8"], ws["B9"] = "{df}", 1, 2
    chart = BarChart()
    chart.add_data(Reference(ws, min_col=2, min_row=8, max_row=9))
    ws.add_chart(chart, "D12")
    wb.save(tmp_path / "plain.xlsx")
    # openpyxl reads a chart that declares a DTD; the package step refuses it.
    template = rewritten(tmp_path / "plain.xlsx", tmp_path / "t.xlsx", "xl/charts/chart1.xml", "<chartSpace",
                         "<!DOCTYPE chartSpace><chartSpace")
    out = tmp_path / "out.xlsx"
    failed = fill(template, out)
    assert failed == ["df"] and "DTD" in failed.details[0].reason
    assert values(out)["B8"] == 1
