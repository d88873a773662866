"""The styles part edited in place: the model openpyxl builds from the template's
part, the xf index each style array is written with, and the part after the fill,
which holds the template's bytes plus only the styles the fill made."""

import difflib
import io
import os
import re
import warnings
import zipfile

import openpyxl
import pytest
from openpyxl.styles import Alignment, Border, Font, PatternFill, Protection, Side
from openpyxl.styles.cell_style import StyleArray
from openpyxl.styles.numbers import BUILTIN_FORMATS

from tessel.gridfill import _StyleSheet, _styled_workbook

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
LISTS = (
    '<fonts count="3"><font><sz val="11"/><name val="Calibri"/></font><font><b/><sz val="11"/></font>'
    '<font><sz val="11"/><name val="Calibri"/></font></fonts>'
    '<fills count="2"><fill><patternFill patternType="none"/></fill><fill><patternFill patternType="gray125"/></fill></fills>'
    '<borders count="1"><border><left/><right/><top/><bottom/><diagonal/></border></borders>'
    '<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs>'
)
XFS = (
    '<cellXfs count="5"><xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/>'
    '<xf numFmtId="170" fontId="1" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/>'
    '<xf numFmtId="5" fontId="0" fillId="0" borderId="0" xfId="0"><alignment horizontal="center" wrapText="1"/>'
    '<protection locked="0"/></xf>'
    '<xf numFmtId="0" fontId="2" fillId="0" borderId="0" xfId="0"/>'
    '<xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0" x14ac:odd="1"/></cellXfs>'
)
TAIL = (
    '<cellStyles count="1"><cellStyle name="Normal" xfId="0" builtinId="0"/></cellStyles>'
    '<dxfs count="1"><dxf><numFmt numFmtId="300" formatCode="0.0%"/><font><i/></font></dxf></dxfs>'
    '<tableStyles count="0" defaultTableStyle="TableStyleMedium2"/>'
    '<extLst><ext uri="{EB79DEF2-80B8-43e5-95BD-54CBDDF9020C}" xmlns:x14="urn:x14">'
    '<x14:slicerStyles defaultSlicerStyle="SlicerStyleLight1"/></ext></extLst>'
)
FORMATS = '<numFmts  count="2"><numFmt numFmtId="170" formatCode="#,##0.000&quot;kg&quot;"/><numFmt numFmtId="5" formatCode="0.000"/></numFmts>'


def part(body, prefix=""):
    """A styles part whose elements carry `prefix`, with unknown markup kept in."""
    if prefix:
        body = re.sub(r"<(/?)(?!x14)(\w+)", rf"<\1{prefix}:\2", body)
    root = f"{prefix}:styleSheet" if prefix else "styleSheet"
    declaration = f"xmlns:{prefix}" if prefix else "xmlns"
    return (
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n'
        f'<{root} {declaration}="{MAIN}" xmlns:mc="http://schemas.openxmlformats.org/markup-compatibility/2006" '
        f'mc:Ignorable="x14ac" xmlns:x14ac="urn:x14ac" unknown=\'kept\'>{body}</{root}>'
    ).encode()


FULL = FORMATS + LISTS + XFS + TAIL
BARE = LISTS + XFS.replace('numFmtId="170"', 'numFmtId="0"').replace('numFmtId="5"', 'numFmtId="0"') + TAIL
PARTS = {
    "plain": part(FULL),
    "prefixed": part(FULL, "x"),
    "no number formats": part(BARE),
    "empty number formats": part('<numFmts count="0" />' + BARE),
}


def model(xml):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # openpyxl on parts without defaults
        return _styled_workbook(xml)


def look(wb, array):
    """What a cell with this array shows, in openpyxl's objects."""
    fmt = array.numFmtId
    code = BUILTIN_FORMATS.get(fmt, fmt) if fmt < 164 else wb._number_formats[fmt - 164]
    return (wb._fonts[array.fontId], wb._fills[array.fillId], wb._borders[array.borderId],
            wb._alignments[array.alignmentId], wb._protections[array.protectionId], code,
            array.xfId, array.quotePrefix, array.pivotButton)


def assert_only_added(before, after):
    """`after` is `before` with markup inserted, count values changed and empty lists
    opened, nothing else."""
    def pieces(xml):
        counted = re.compile(r'(<[^<>]*\bcount=")\d*("[^<>]*?)\s*/?>$')
        return [counted.sub(r"\1\2>", p) for p in re.split(r"(?<=>)", xml.decode())]
    a, b = pieces(before), pieces(after)
    for op, i1, i2, j1, j2 in difflib.SequenceMatcher(None, a, b, autojunk=False).get_opcodes():
        assert op in ("equal", "insert"), (a[i1:i2], b[j1:j2])


def filled(xml, restyle, s=0):
    """The model, the sheet, the cell's new xf index and the finished part, after
    `restyle` changed a cell that had template style `s`, as the walk does."""
    wb = model(xml)
    sheet = _StyleSheet(wb, xml)
    cell = wb.create_sheet("S").cell(1, 1)
    cell._style = sheet.array_of(s)
    restyle(cell)
    index = sheet.index_of(cell._style)
    return wb, cell, index, sheet.finished()


@pytest.mark.parametrize("xml", [*PARTS.values(), None], ids=[*PARTS, "no part"])
def test_template_styles_keep_their_index_and_the_part(xml):
    wb = model(xml)
    sheet = _StyleSheet(wb, xml)
    arrays = [tuple(a) for a in wb._cell_styles]
    for s, array in enumerate(arrays):
        assert sheet.index_of(sheet.array_of(s)) == arrays.index(array)
    assert sheet.finished() is None


def test_duplicate_xfs_map_to_the_lowest_and_arrays_read_as_openpyxl_reads_them():
    sheet = _StyleSheet(model(PARTS["plain"]), PARTS["plain"])
    assert sheet.index_of(sheet.array_of(4)) == 0  # its unknown attribute is not in the model
    assert sheet.array_of(-1) == sheet.array_of(4)
    assert sheet.array_of(1) is not sheet.array_of(1)
    with pytest.raises(IndexError):
        sheet.array_of(5)


def _number_format(code):
    def restyle(cell):
        cell.number_format = code
    return restyle


def _set(attribute, value):
    def restyle(cell):
        setattr(cell, attribute, value)
    return restyle


RESTYLES = {
    "new number format": _number_format('0.0000 "t"\t&<x>'),
    "template number format": _number_format('#,##0.000"kg"'),
    "builtin number format": _number_format("0.00"),
    "bold": _set("font", Font(bold=True)),
    "template font": _set("font", Font(sz=11, name="Calibri")),
    "fill": _set("fill", PatternFill("solid", fgColor="FFFF00")),
    "border": _set("border", Border(left=Side("thin", color="FF0000"), bottom=Side("double"))),
    "alignment": _set("alignment", Alignment(vertical="top", indent=2)),
    "protection": _set("protection", Protection(hidden=True)),
    "quote prefix": _set("quotePrefix", True),
}


CELLS = [pytest.param(xml, s, id=f"{name}-{s}") for name, xml in PARTS.items() for s in (0, 2)]


@pytest.mark.parametrize("restyle", RESTYLES.values(), ids=RESTYLES)
@pytest.mark.parametrize("xml, s", [*CELLS, pytest.param(None, 0, id="no part")])
def test_a_new_style_reads_back_as_the_model_has_it(xml, s, restyle):
    wb, cell, index, after = filled(xml, restyle, s)
    if after is None:  # the template has an xf that reads the same
        assert index < len(wb._cell_styles) and xml is not None
        after = xml
    reread = model(after)
    assert look(reread, reread._cell_styles[index]) == look(wb, cell._style)
    if xml is None:  # a complete part: cells without a style read as before
        assert look(reread, reread._cell_styles[0]) == look(wb, StyleArray())
        return
    assert_only_added(xml, after)
    template = model(xml)
    for i, array in enumerate(template._cell_styles):
        assert look(reread, reread._cell_styles[i]) == look(template, array)


@pytest.mark.parametrize("prefix", ["", "x"])
def test_additions_go_into_the_parts_namespace_and_schema_place(prefix):
    xml = part(BARE, prefix)
    p = f"{prefix}:" if prefix else ""
    _, _, index, after = filled(xml, lambda c: (_number_format("0.0 x")(c), _set("font", Font(i=True))(c)))
    text = after.decode()
    assert f'<{p}numFmts count="1"><{p}numFmt numFmtId="301" formatCode="0.0 x"/></{p}numFmts><{p}fonts count="4">' in text
    assert f"<{p}font><{p}i val=\"1\"/></{p}font></{p}fonts>" in text
    assert index == 5 and f'<{p}cellXfs count="6">' in text


def test_template_formats_and_fonts_are_reused_and_new_format_ids_clear_every_id():
    wb = model(PARTS["plain"])
    sheet = _StyleSheet(wb, PARTS["plain"])
    cell = wb.create_sheet("S").cell(1, 1)
    cell.font = Font(sz=11, name="Calibri")  # the template has it twice: read as the second
    assert sheet.index_of(cell._style) == 3 and sheet.finished() is None
    ids = []
    for code in ("0.000", "0.0 a", "0.0 b", "0.0 a"):
        cell.number_format = code
        ids.append(sheet.index_of(cell._style))
    text = sheet.finished().decode()
    assert ids == [5, 6, 7, 6]
    assert re.findall(r'<xf numFmtId="(\d+)" fontId="2"', text) == ["0", "5", "301", "302"]
    assert '<numFmts  count="4">' in text and '<fonts count="3">' in text


@pytest.mark.parametrize(
    "broken",
    [b"<styleSheet", part('<fonts><font><sz val="big"/></font></fonts>' + XFS),
     part(LISTS + XFS.replace('wrapText="1"', 'horizontal="left"')), part(LISTS + XFS.replace('"center"', '"middle"'))],
    ids=["not xml", "not a number", "twice an attribute", "not a choice"])
def test_a_broken_part_raises_as_load_workbook_does(broken):
    book = io.BytesIO()
    openpyxl.Workbook().save(book)
    package = io.BytesIO()
    with zipfile.ZipFile(book) as zin, zipfile.ZipFile(package, "w") as zout:
        for name in zin.namelist():
            zout.writestr(name, broken if name == "xl/styles.xml" else zin.read(name))
    with pytest.raises(Exception) as expected:
        openpyxl.load_workbook(package)
    with pytest.raises(type(expected.value)) as raised:
        model(broken)
    assert type(raised.value.__cause__) is type(expected.value.__cause__)


CORPUS = ["poi__stress024.xlsx", "exceljs__test-issue-880.xlsx", "poi__simple-monthly-budget.xlsx",
          "phpss__issue.4248.xlsx", "cxr__tPivot5_Static.xlsx", "poi__45544.xlsx"]


def corpus_styles(data_dir, name):
    with zipfile.ZipFile(os.path.join(data_dir, "xlsx", name)) as z:
        return z.read("xl/styles.xml")


@pytest.mark.parametrize("name", CORPUS)
def test_arrays_are_those_load_workbook_gives_cells(data_dir, name):
    xml = corpus_styles(data_dir, name)
    wb = model(xml)
    count = len(wb._cell_styles)
    book = io.BytesIO()
    openpyxl.Workbook().save(book)
    cells = "".join(f'<row r="{i + 1}"><c r="A{i + 1}" s="{i}"/></row>' for i in range(count))
    package = io.BytesIO()
    with zipfile.ZipFile(book) as zin, zipfile.ZipFile(package, "w") as zout:
        for item in zin.namelist():
            data = zin.read(item)
            if item == "xl/worksheets/sheet1.xml":
                data = re.sub(rb"<sheetData\s*/>|<sheetData>.*</sheetData>",
                              f'<sheetData>{cells}<row r="{count + 1}"><c r="A{count + 1}"/></row></sheetData>'.encode(), data)
            zout.writestr(item, xml if item == "xl/styles.xml" else data)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        loaded = openpyxl.load_workbook(package).active
    sheet = _StyleSheet(wb, xml)
    ours = [sheet.array_of(s) for s in range(count)] + [sheet.array_of(0)]  # the last cell has no index
    assert ours == [loaded.cell(row, 1)._style for row in range(1, count + 2)]


@pytest.mark.parametrize("name", CORPUS)
def test_a_corpus_part_gains_one_style_and_keeps_the_rest(data_dir, name):
    xml = corpus_styles(data_dir, name)

    def restyle(cell):
        cell.font = Font(name="Arial", sz=9, bold=True, color="FF112233")
        cell.number_format = '0.00 "units"'
        cell.alignment = Alignment(horizontal="right")

    wb, cell, index, after = filled(xml, restyle, s=1)
    assert_only_added(xml, after)
    reread = model(after)
    assert look(reread, reread._cell_styles[index]) == look(wb, cell._style)
    assert index == len(model(xml)._cell_styles)
