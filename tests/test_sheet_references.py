"""How references in formulas and package parts move over inserted rows.

The formula rules are checked against a plain-Python model of the rule on
formulas built from known tokens; the package rules on small hand-written parts.
"""

import re
import zipfile

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from lxml import etree
from openpyxl.utils import get_column_letter

from tessel.gridfill import _move_inserted_rows, _moved_formula, restore_save

MAX_ROW = 1048576
MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"

# Rows inserted under row 4 of S: a block of ten rows written from S!A4.
BLOCK = {"S": [(4, 9)]}


@pytest.mark.parametrize("formula, expected", [
    # Cells under the row move; the row itself and those above stay.
    ("B5", "B14"), ("B4", "B4"), ("B3", "B3"), ("$B$5", "$B$14"), ("B$5+$B5", "B$14+$B14"),
    # A range over the template row grows over the block; one under it moves whole.
    ("SUM(B4:B4)", "SUM(B4:B13)"), ("SUM(B2:B4)", "SUM(B2:B13)"), ("SUM(B3:B6)", "SUM(B3:B15)"),
    ("SUM(B5:C6)", "SUM(B14:C15)"), ("SUM(B1:B3)", "SUM(B1:B3)"), ("SUM($B$4:$B$4)", "SUM($B$4:$B$13)"),
    ("SUM(B6:B4)", "SUM(B15:B4)"),
    # Whole rows grow and move; whole columns are left alone.
    ("SUM(4:4)", "SUM(4:13)"), ("SUM($5:$6)", "SUM($14:$15)"), ("SUM(B:B)", "SUM(B:B)"),
    # References named by sheet, quoted or not, in any letter case.
    ("S!B5", "S!B14"), ("'S'!B5", "'S'!B14"), ("s!B5", "s!B14"), ("Other!B5", "Other!B5"),
    ("SUM(S!B4:B4)", "SUM(S!B4:B13)"),
    # Text, function names, names, tables, errors and other workbooks are not references.
    ('"B5"&B5', '"B5"&B14'), ('"say ""B5"""&B5', '"say ""B5"""&B14'), ("LOG10(B5)", "LOG10(B14)"),
    ("ATAN2(B5,C5)", "ATAN2(B14,C14)"), ("Table1[Amount]+B5", "Table1[Amount]+B14"),
    ("Table1[[#This Row],[B5]]", "Table1[[#This Row],[B5]]"), ("[1]S!B5", "[1]S!B5"),
    ("'[Book.xlsx]S'!B5", "'[Book.xlsx]S'!B5"), ("S:T!B5", "S:T!B5"), ("#REF!+B5", "#REF!+B14"),
    ("TRUE+SALES2024", "TRUE+SALES2024"), ("#N/A/A5", "#N/A/A14"), ("#DIV/0!+A5", "#DIV/0!+A14"),
    ("#div/0!+A5", "#div/0!+A14"), ("A5#+1", "A14#+1"), ("1E5+B5", "1E5+B14"), ("1.5E+3*B5", "1.5E+3*B14"),
    ("_xlfn.XLOOKUP(B5,A:A,B:B)", "_xlfn.XLOOKUP(B14,A:A,B:B)"),
    ("B5:INDEX(B:B,9)", "B14:INDEX(B:B,9)"), ("B5 C5:D5", "B14 C14:D14"), ("{1,2;3,4}*B5", "{1,2;3,4}*B14"),
    # Pushed off the sheet.
    (f"B{MAX_ROW - 3}", "#REF!"), (f"S!B{MAX_ROW - 3}", "S!#REF!"), (f"SUM(B5:B{MAX_ROW})", f"SUM(B14:B{MAX_ROW})"),
])
def test_formula_references(formula, expected):
    assert _moved_formula(formula, "S", BLOCK) == expected


@pytest.mark.parametrize("sheet, formula, inserted, expected", [
    # Quoted names with spaces and apostrophes.
    ("Other", "'My Sheet'!B5+'Bob''s'!C9", {"My Sheet": [(4, 1)], "Bob's": [(8, 2)]}, "'My Sheet'!B6+'Bob''s'!C11"),
    # Insertions apply in order, each in the layout the earlier ones left: two
    # blocks in one sheet, the second in the template's row 11, row 20 once the
    # first made room.
    ("S", "SUM(B4:B4)+SUM(B11:B11)+B30", {"S": [(4, 9), (20, 4)]}, "SUM(B4:B13)+SUM(B20:B24)+B43"),
    # A sheet without insertions is left alone, and so is an unqualified reference
    # on another sheet.
    ("T", "B5+S!B5", {"S": [(4, 9)]}, "B5+S!B14"),
])
def test_formula_references_across_sheets(sheet, formula, inserted, expected):
    assert _moved_formula(formula, sheet, inserted) == expected


# -- the rule on generated formulas --------------------------------------------------


def model_row(row, inserted):
    for at, count in inserted:
        if row > at:
            row += count
    return row if row <= MAX_ROW else None


def model_span(first, last, inserted):
    for at, count in inserted:
        first, last = (first + count if first > at else first), (last + count if last >= at else last)
    return (first, min(last, MAX_ROW)) if first <= MAX_ROW else None


@st.composite
def references(draw):
    """(text, moved text) of one reference to sheet S, T or none."""
    sheet = draw(st.sampled_from(["", "S!", "'S'!", "T!", "'My Sheet'!"]))
    inserted = {"": INSERTED["S"], "S!": INSERTED["S"], "'S'!": INSERTED["S"], "T!": [],
                "'My Sheet'!": INSERTED["My Sheet"]}[sheet]
    kind = draw(st.sampled_from(["cell", "range", "rows"]))
    fixed = draw(st.booleans())
    dollar = "$" if fixed else ""
    column = get_column_letter(draw(st.integers(1, 30)))
    if kind == "cell":
        row = draw(st.integers(1, 40))
        moved = model_row(row, inserted)
        return f"{sheet}{dollar}{column}{dollar}{row}", f"{sheet}{dollar}{column}{dollar}{moved}"
    first = draw(st.integers(1, 40))
    last = draw(st.integers(first, 45))
    a, b = model_span(first, last, inserted)
    if kind == "rows":
        return f"{sheet}{dollar}{first}:{dollar}{last}", f"{sheet}{dollar}{a}:{dollar}{b}"
    return f"{sheet}{column}{first}:{column}{last}", f"{sheet}{column}{a}:{column}{b}"


INSERTED = {"S": [(4, 9), (20, 3)], "My Sheet": [(2, 5)]}

others = st.sampled_from(['"B5 in text"', "LOG10(", "SUM(", ")", "Table1[Col]", "[1]S!B7", "MyName",
                          "TRUE", "1.5", "1E3", "S!MyName", "#N/A", "A:C", "'T'!B9"])
# Not ":", which would join two references into one range.
operators = st.sampled_from(["+", "-", "*", "/", "&", ",", " ", "=", "<>", "^"])


@settings(max_examples=300, deadline=None)
@given(st.lists(st.one_of(references(), others.map(lambda t: (t, t))), min_size=1, max_size=8),
       st.lists(operators, min_size=8, max_size=8))
def test_generated_formulas_move_as_the_rule_says(tokens, ops):
    before, after = "", ""
    for i, (given_text, moved_text) in enumerate(tokens):
        sep = "" if i == 0 else ops[i]
        before += sep + given_text
        after += sep + moved_text
    assert _moved_formula(before, "S", INSERTED) == after


# -- package parts ---------------------------------------------------------------------

CONTENT_TYPES = """<?xml version="1.0" encoding="UTF-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">
<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>
<Default Extension="xml" ContentType="application/xml"/>
<Override PartName="/xl/workbook.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>
<Override PartName="/xl/worksheets/sheet1.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/>
</Types>"""
ROOT_RELS = """<?xml version="1.0" encoding="UTF-8"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="xl/workbook.xml"/>
</Relationships>"""
WORKBOOK = """<?xml version="1.0" encoding="UTF-8"?>
<workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">
<sheets><sheet name="S" sheetId="1" r:id="rId1"/></sheets></workbook>"""
WORKBOOK_RELS = """<?xml version="1.0" encoding="UTF-8"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="worksheets/sheet1.xml"/>
</Relationships>"""


def package(tmp_path, sheet_data, after=""):
    """A one-sheet package whose sheet holds `sheet_data` and then `after`."""
    path = tmp_path / "p.xlsx"
    sheet = (f'<?xml version="1.0" encoding="UTF-8"?><worksheet xmlns="{MAIN}">'
             f"<sheetData>{sheet_data}</sheetData>{after}</worksheet>")
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("[Content_Types].xml", CONTENT_TYPES)
        z.writestr("_rels/.rels", ROOT_RELS)
        z.writestr("xl/workbook.xml", WORKBOOK)
        z.writestr("xl/_rels/workbook.xml.rels", WORKBOOK_RELS)
        z.writestr("xl/worksheets/sheet1.xml", sheet)
    return str(path)


def formulas(path):
    """{cell: (formula text, its attributes)} of the package's sheet."""
    with zipfile.ZipFile(path) as z:
        root = etree.fromstring(z.read("xl/worksheets/sheet1.xml"))
    return {c.get("r"): (f.text or "", dict(f.attrib))
            for c in root.iter(f"{{{MAIN}}}c") for f in c.iter(f"{{{MAIN}}}f")}


def cell(ref, f):
    return f'<c r="{ref}">{f}</c>'


def test_shared_formulas_stay_shared_where_the_master_still_gives_the_right_formula(tmp_path):
    # The cells stand where the fill put them (B3, B4, then B14 for the template's
    # B5); their formulas still speak of the template.  The group under the block
    # (B20:B22, the template's B11:B13) moves whole.
    data = ('<row r="3"><c r="B3"><f t="shared" ref="B3:B5" si="0">SUM(A$1:A3)</f></c></row>'
            '<row r="4"><c r="B4"><f t="shared" si="0"/></c></row>'
            '<row r="14"><c r="B14"><f t="shared" si="0"/></c></row>'
            '<row r="20"><c r="B20"><f t="shared" ref="B11:B13" si="1">A11*2</f></c></row>'
            '<row r="21"><c r="B21"><f t="shared" si="1"/></c></row>'
            '<row r="22"><c r="B22"><f t="shared" si="1"/></c></row>')
    path = package(tmp_path, data)
    _move_inserted_rows(path, BLOCK)
    got = formulas(path)
    assert got["B3"] == ("SUM(A$1:A3)", {"t": "shared", "ref": "B3:B14", "si": "0"})
    # B4 summed down to the template row: its range grows over the block, which
    # the master cannot give it.
    assert got["B4"] == ("SUM(A$1:A13)", {})
    assert got["B14"] == ("", {"t": "shared", "si": "0"})
    assert got["B20"] == ("A20*2", {"t": "shared", "ref": "B20:B22", "si": "1"})
    assert got["B21"] == ("", {"t": "shared", "si": "1"}) and got["B22"] == got["B21"]


@pytest.mark.parametrize("f, expected", [
    ('<f t="array" ref="C5:C6">A5:A6*2</f>', ("A14:A15*2", {"t": "array", "ref": "C14:C15"})),
    ('<f t="array" ref="C4:C5">A4:A5*2</f>', ("A4:A14*2", {"t": "array", "ref": "C4:C14"})),
    ('<f>IF(A5&gt;1,"&lt;B5&gt;",A5)</f>', ('IF(A14>1,"<B5>",A14)', {})),
    ("<f>A1+A2</f>", ("A1+A2", {})),
    ("<f t='array' ref='C5:C6' aca='1'>A5*2</f>", ("A14*2", {"t": "array", "ref": "C14:C15", "aca": "1"})),
])
def test_array_formulas_and_escaped_text(tmp_path, f, expected):
    path = package(tmp_path, f'<row r="14">{cell("C14", f)}</row>')
    _move_inserted_rows(path, BLOCK)
    assert formulas(path)["C14"] == expected


def test_page_breaks_move_with_the_row_under_them(tmp_path):
    breaks = ('<rowBreaks count="3" manualBreakCount="3"><brk id="3" max="16383" man="1"/>'
              '<brk id="4" max="16383" man="1"/><brk id="10" max="16383" man="1"/></rowBreaks>')
    path = package(tmp_path, "", breaks)
    _move_inserted_rows(path, BLOCK)
    with zipfile.ZipFile(path) as z:
        root = etree.fromstring(z.read("xl/worksheets/sheet1.xml"))
    # id is the zero-based row under the break: a break under the template row
    # moves under the block.
    assert [b.get("id") for b in root.iter(f"{{{MAIN}}}brk")] == ["3", "13", "19"]


def test_nothing_inserted_leaves_the_file_alone(tmp_path):
    path = package(tmp_path, f'<row r="5">{cell("B5", "<f>A5</f>")}</row>')
    before = (tmp_path / "p.xlsx").read_bytes()
    _move_inserted_rows(path, {})
    _move_inserted_rows(path, None)
    assert (tmp_path / "p.xlsx").read_bytes() == before


@pytest.mark.parametrize("inserted, error", [
    ([("S", 4, 9)], TypeError), ({"S": [(0, 1)]}, ValueError), ({"S": [(4, -1)]}, ValueError),
    ({"S": [("4", 1)]}, TypeError), ({"S": [(4, 10**30)]}, ValueError), ({1: [(4, 1)]}, TypeError),
])
def test_bad_insertions_are_refused(tmp_path, inserted, error):
    path = package(tmp_path, "")
    with pytest.raises(error):
        _move_inserted_rows(path, inserted)
    with pytest.raises(error):
        restore_save(path, path, inserted=inserted)


# -- legacy drawings: VML edited as text ------------------------------------------------

VML_CONTROL = """<xml xmlns:v="urn:schemas-microsoft-com:vml" xmlns:x="urn:schemas-microsoft-com:office:excel">
<v:shape id="_x0000_s1025" type="#_x0000_t201"><br>
<x:ClientData ObjectType="Checkbox"><x:Anchor>
 1, 15, {top}, 4, 3, 20, {bottom}, 8</x:Anchor><x:FmlaLink>$C${link}</x:FmlaLink><x:Row>{row}</x:Row>
</x:ClientData></v:shape></xml>"""


def vml_package(tmp_path, top, bottom, link, row):
    """A sheet with a legacy drawing holding one check box, as a template."""
    vml = VML_CONTROL.format(top=top, bottom=bottom, link=link, row=row)
    path = tmp_path / "vml.xlsx"
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("[Content_Types].xml", CONTENT_TYPES.replace(
            "</Types>", '<Default Extension="vml" ContentType="application/vnd.openxmlformats-officedocument.vmlDrawing"/></Types>'))
        z.writestr("_rels/.rels", ROOT_RELS)
        z.writestr("xl/workbook.xml", WORKBOOK)
        z.writestr("xl/_rels/workbook.xml.rels", WORKBOOK_RELS)
        z.writestr("xl/worksheets/sheet1.xml",
                   f'<worksheet xmlns="{MAIN}" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">'
                   '<sheetData/><legacyDrawing r:id="rId1"/></worksheet>')
        z.writestr("xl/worksheets/_rels/sheet1.xml.rels",
                   '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
                   '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/vmlDrawing" '
                   'Target="../drawings/vmlDrawing1.vml"/></Relationships>')
        z.writestr("xl/drawings/vmlDrawing1.vml", vml)
    return str(path)


@pytest.mark.parametrize("top, bottom, link, row, expected", [
    # Under the block: the box moves whole, its linked cell and its row too.
    (6, 7, 8, 6, (15, 16, 17, 15)),
    # In the template row (zero-based 3) or above: nothing moves.
    (3, 3, 4, 3, (3, 3, 4, 3)),
    # Across the insertion: a control keeps its size.
    (2, 6, 2, 2, (2, 6, 2, 2)),
])
def test_restored_form_controls_move_with_their_cells(tmp_path, top, bottom, link, row, expected):
    template = vml_package(tmp_path, top, bottom, link, row)
    saved = str(tmp_path / "saved.xlsx")
    with zipfile.ZipFile(template) as zin, zipfile.ZipFile(saved, "w") as zout:
        for item in zin.infolist():
            if "vml" not in item.filename.lower() and "_rels/sheet1" not in item.filename:
                data = zin.read(item)
                if item.filename == "xl/worksheets/sheet1.xml":
                    data = data.replace(b'<legacyDrawing r:id="rId1"/>', b"")
                zout.writestr(item, data)
    restore_save(template, saved, inserted=BLOCK)
    with zipfile.ZipFile(saved) as z:
        vml = next(z.read(n).decode() for n in z.namelist() if n.endswith(".vml"))
    numbers = [int(n) for n in re.search(r"<x:Anchor>(.*?)</x:Anchor>", vml, re.S).group(1).split(",")]
    got = (numbers[2], numbers[6], int(re.search(r"\$C\$(\d+)", vml).group(1)),
           int(re.search(r"<x:Row>(\d+)</x:Row>", vml).group(1)))
    assert got == expected
    assert "<br>" in vml  # edited as text: not well-formed VML comes through


# Tag text that is not markup: comments, processing instructions and CDATA
# sections that look like cells, formulas or the end of the cell data.
NOISE = st.sampled_from([
    "", "<!-- <f>A9</f> -->", "<!-- </sheetData> -->", "<!-- <c r=\"B9\"><f>A9</f></c> -->",
    "<?tessel <f>A9</f> </sheetData>?>", "<![CDATA[<f>A9</f></sheetData>]]>", "<!---->", " \n",
])


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(rows=st.lists(st.tuples(st.integers(1, 12), st.integers(1, 12), NOISE), max_size=8,
                     unique_by=lambda r: r[0]),
       tail=NOISE, after=NOISE)
def test_comments_and_sections_holding_tag_text_are_left_as_they_are(tmp_path, rows, tail, after):
    rows.sort()
    data = "".join(f'{noise}<row r="{r}">{cell(f"B{r}", f"<f>A{k}+1</f>")}</row>' for r, k, noise in rows) + tail
    path = package(tmp_path, data, after)
    with zipfile.ZipFile(path) as z:
        before = etree.fromstring(z.read("xl/worksheets/sheet1.xml"))
    _move_inserted_rows(path, BLOCK)
    with zipfile.ZipFile(path) as z:
        moved = etree.fromstring(z.read("xl/worksheets/sheet1.xml"))
    assert formulas(path) == {f"B{r}": (f"A{k + 9 if k > 4 else k}+1", {}) for r, k, _ in rows}

    def not_markup(root):
        return [(type(n).__name__, n.text) for n in root.iter(etree.Comment, etree.ProcessingInstruction)] + \
               [t for t in root.itertext() if "<" in t]
    assert not_markup(moved) == not_markup(before)
