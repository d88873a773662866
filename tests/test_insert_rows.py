"""GridFill(insert=True): blocks make room for their rows; overwrite mode says what
it wrote over.  Small workbooks built here; real templates in test_insert_corpus."""

import io
import warnings
import zipfile

import openpyxl
import pandas as pd
import pytest
from lxml import etree
from openpyxl.chart import BarChart, Reference
from openpyxl.comments import Comment
from openpyxl.drawing.image import Image
from openpyxl.formatting.rule import CellIsRule, FormulaRule
from openpyxl.workbook.defined_name import DefinedName
from openpyxl.worksheet.datavalidation import DataValidation
from openpyxl.worksheet.table import Table
from PIL import Image as PILImage

from tessel import OverwriteWarning
from tessel.gridfill import GridFill

NS = {"main": "http://schemas.openxmlformats.org/spreadsheetml/2006/main",
      "xdr": "http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing",
      "c": "http://schemas.openxmlformats.org/drawingml/2006/chart"}

TEN = pd.DataFrame({"name": list("abcdefghij"), "amount": range(1, 11)})


def png(colour="red"):
    stream = io.BytesIO()
    PILImage.new("RGB", (20, 10), colour).save(stream, "PNG")
    stream.seek(0)
    return stream


def report_template(path, extra=None):
    """Sheet "My Sheet": headers in row 3, {df} in A4, a total row and a note under it."""
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "My Sheet"
    ws["A3"], ws["B3"] = "Name", "Amount"
    ws["A4"] = "{df}"
    ws["A5"], ws["B5"], ws["C5"] = "Total", "=SUM(B4:B4)", "=B5*2"
    ws["A6"] = "{note}"
    if extra:
        extra(wb, ws)
    wb.save(path)
    return str(path)


def run(tmp_path, extra=None, env=None, **options):
    path = report_template(tmp_path / "t.xlsx", extra)
    out = str(tmp_path / "out.xlsx")
    options.setdefault("insert", True)
    with warnings.catch_warnings():
        warnings.simplefilter("error", OverwriteWarning)
        failed = GridFill(**options)(path, out, {"df": TEN, "note": "N", **(env or {})})
    return out, failed


def cells(ws):
    return {c.coordinate: c.value for row in ws.iter_rows() for c in row if c.value is not None}


def part(path, name):
    with zipfile.ZipFile(path) as z:
        return etree.fromstring(z.read(name))


@pytest.mark.parametrize("recurse", [False, True], ids=["plain", "recurse"])
@pytest.mark.parametrize("restore", [False, True], ids=["openpyxl", "restored"])
def test_block_makes_room_for_its_rows(tmp_path, recurse, restore):
    out, failed = run(tmp_path, recurse=recurse, restore=restore)
    assert failed == []
    ws = openpyxl.load_workbook(out)["My Sheet"]
    got = cells(ws)
    assert [got[f"A{r}"] for r in range(4, 14)] == list("abcdefghij")
    assert [got[f"B{r}"] for r in range(4, 14)] == list(range(1, 11))
    # The total row moved under the block, its range over the template row grew
    # over the block, and the note under it was filled at its new place.
    assert (got["A14"], got["B14"], got["C14"], got["A15"]) == ("Total", "=SUM(B4:B13)", "=B14*2", "N")
    assert max(r for r, _ in ws._cells) == 15


def test_check_predicts_the_fill_and_names_template_places(tmp_path):
    path = report_template(tmp_path / "t.xlsx")
    findings = GridFill(insert=True).check(path, {"df": TEN})
    # {note} stands in A15 once the block made room; a reader of the template sees it in A6.
    assert [(f.placeholder, f.place, f.reason) for f in findings] == [
        ("df", "sheet My Sheet, cell A4", None),
        ("note", "sheet My Sheet, cell A6", "NameError: name 'note' is not defined")]
    failed = GridFill(insert=True)(path, str(tmp_path / "o.xlsx"), {"df": TEN})
    assert failed.details == findings[1:]


@pytest.mark.parametrize("frame, last_row", [
    (TEN.head(1), 4),          # one row inserts nothing
    (TEN.head(2), 5),
    (pd.DataFrame(), None),    # nothing to write keeps the placeholder
])
def test_rows_inserted_are_the_frame_rows_but_one(tmp_path, frame, last_row):
    out, failed = run(tmp_path, env={"df": frame})
    got = cells(openpyxl.load_workbook(out)["My Sheet"])
    assert failed == []
    if last_row is None:
        assert got["A4"] == "{df}" and got["B5"] == "=SUM(B4:B4)"
    else:
        assert got[f"A{last_row + 1}"] == "Total" and got[f"B{last_row + 1}"] == f"=SUM(B4:B{last_row})"


def test_formulas_on_every_sheet_follow(tmp_path):
    def extra(wb, ws):
        ws["A20"], ws["B20"], ws["C20"] = "=B4", '="B5 is "&B5', "=SUM($4:$4)+SUM($5:$5)"
        ws["D20"] = "=SUM(Sales[Amount])+LOG10(B5)"
        other = wb.create_sheet("Other")
        other["A1"] = "='My Sheet'!B5"
        other["A2"] = "=SUM('My Sheet'!B4:B4)"
        other["A3"] = "='My Sheet'!A6&B5"
        other["A4"] = "=SUM('My Sheet'!$B$1:$B$3)"
        other["A5"] = "=SUM(My_Sheet_is_not_a_sheet!B5)"
    out, failed = run(tmp_path, extra)
    wb = openpyxl.load_workbook(out)
    got = cells(wb["My Sheet"])
    assert (got["A29"], got["B29"], got["C29"]) == ("=B4", '="B5 is "&B14', "=SUM($4:$13)+SUM($14:$14)")
    assert got["D29"] == "=SUM(Sales[Amount])+LOG10(B14)"
    assert cells(wb["Other"]) == {"A1": "='My Sheet'!B14", "A2": "=SUM('My Sheet'!B4:B13)",
                                  "A3": "='My Sheet'!A15&B5", "A4": "=SUM('My Sheet'!$B$1:$B$3)",
                                  "A5": "=SUM(My_Sheet_is_not_a_sheet!B5)"}


def test_names_print_areas_and_titles_follow(tmp_path):
    def extra(wb, ws):
        wb.defined_names["TotalCell"] = DefinedName("TotalCell", attr_text="'My Sheet'!$B$5")
        ws.defined_names["Amounts"] = DefinedName("Amounts", attr_text="'My Sheet'!$B$4:$B$4")
        ws.print_area = "A1:C20"
        ws.print_title_rows = "3:3"
    out, _ = run(tmp_path, extra)
    names = {n.get("name"): n.text for n in part(out, "xl/workbook.xml").iterfind(".//main:definedName", NS)}
    assert names == {"TotalCell": "'My Sheet'!$B$14", "Amounts": "'My Sheet'!$B$4:$B$13",
                     "_xlnm.Print_Area": "'My Sheet'!$A$1:$C$29", "_xlnm.Print_Titles": "'My Sheet'!$3:$3"}


def test_formats_validations_filters_and_tables_follow(tmp_path):
    def extra(wb, ws):
        ws.conditional_formatting.add("B4", CellIsRule(operator="greaterThan", formula=["5"]))
        ws.conditional_formatting.add("C5", FormulaRule(formula=["C5>$B$5"]))
        dv = DataValidation(type="list", formula1="=$E$7:$E$8")
        ws.add_data_validation(dv)
        dv.add("B4")
        dv.add("A6")
        ws["E7"], ws["E8"] = "x", "y"
        ws.auto_filter.ref = "A3:B4"
        ws["G3"], ws["H3"], ws["G4"], ws["H4"], ws["G5"], ws["H5"] = "k", "v", 1, 2, 3, 4
        ws.add_table(Table(displayName="Sales", ref="G3:H5"))
        ws["G10"], ws["H10"], ws["G11"], ws["H11"] = "k2", "v2", 1, 2
        ws.add_table(Table(displayName="Later", ref="G10:H11"))
    out, _ = run(tmp_path, extra)
    sheet = part(out, "xl/worksheets/sheet1.xml")
    assert [cf.get("sqref") for cf in sheet.iterfind("main:conditionalFormatting", NS)] == ["B4:B13", "C14"]
    assert sheet.findtext("main:conditionalFormatting[2]/main:cfRule/main:formula", namespaces=NS) == "C14>$B$14"
    dv = sheet.find("main:dataValidations/main:dataValidation", NS)
    assert (dv.get("sqref"), dv.findtext("main:formula1", namespaces=NS)) == ("A15 B4:B13", "=$E$16:$E$17")
    assert sheet.find("main:autoFilter", NS).get("ref") == "A3:B13"
    tables = {}
    with zipfile.ZipFile(out) as z:
        for name in z.namelist():
            if name.startswith("xl/tables/"):
                t = etree.fromstring(z.read(name))
                tables[t.get("displayName")] = (t.get("ref"), t.find("main:autoFilter", NS).get("ref"))
    assert tables == {"Sales": ("G3:H14", "G3:H14"), "Later": ("G19:H20", "G19:H20")}


def test_what_hangs_on_cells_and_rows_follows(tmp_path):
    def extra(wb, ws):
        ws["A7"] = "link"
        ws["A7"].hyperlink = "https://example.com/"
        ws["A8"] = "noted"
        ws["A8"].comment = Comment("a note", "me")
        ws.merge_cells("A9:B9")
        ws.merge_cells("D4:E5")  # across the template row: grows as Excel grows it
        ws.row_dimensions[10].height = 40
        ws.row_dimensions[11].hidden = True
        ws.row_dimensions[12].outlineLevel = 1
        ws["A12"] = "grouped"
        ws.row_dimensions[3].height = 25
    out, _ = run(tmp_path, extra, env={"df": TEN[["name"]]})
    ws = openpyxl.load_workbook(out)["My Sheet"]
    assert ws["A16"].hyperlink.target == "https://example.com/" and ws["A16"].value == "link"
    assert ws["A17"].comment.text == "a note"
    assert sorted(str(r) for r in ws.merged_cells.ranges) == ["A18:B18", "D4:E14"]
    dims = {r: (d.height, d.hidden, d.outlineLevel) for r, d in ws.row_dimensions.items()
            if d.height or d.hidden or d.outlineLevel}
    assert dims == {3: (25, False, 0), 19: (40, False, 0), 20: (None, True, 0), 21: (None, False, 1)}
    assert ws["A21"].value == "grouped"


def anchors(path, sheet_part="xl/worksheets/sheet1.xml"):
    """(kind, zero-based top row, bottom row or None) of every object drawn over a sheet."""
    with zipfile.ZipFile(path) as z:
        rels = etree.fromstring(z.read(sheet_part.replace("worksheets/", "worksheets/_rels/") + ".rels"))
        target = next(r.get("Target") for r in rels if r.get("Type").endswith("/drawing"))
        drawing = etree.fromstring(z.read("xl/drawings/" + target.rsplit("/", 1)[1]))
    out = []
    for anchor in drawing:
        kind = "chart" if anchor.find(".//c:chart", NS) is not None else "picture"
        to = anchor.find("xdr:to", NS)
        out.append((kind, int(anchor.find("xdr:from/xdr:row", NS).text),
                    None if to is None else int(to.find("xdr:row", NS).text)))
    return sorted(out)


@pytest.mark.parametrize("restore", [False, True], ids=["openpyxl", "restored"])
def test_pictures_and_charts_below_move_and_series_grow(tmp_path, restore):
    def extra(wb, ws):
        ws.add_image(Image(png()), "E2")    # above the block: stays
        ws.add_image(Image(png("blue")), "E8")  # below: moves
        chart = BarChart()
        chart.add_data(Reference(ws, min_col=2, min_row=3, max_row=4), titles_from_data=True)
        chart.set_categories(Reference(ws, min_col=1, min_row=4, max_row=4))
        ws.add_chart(chart, "H12")
        other = wb.create_sheet("Other")
        on_other = BarChart()
        on_other.add_data(Reference(ws, min_col=2, min_row=4, max_row=6))
        other.add_chart(on_other, "A1")
    out, failed = run(tmp_path, extra, env={"logo": png("green")}, restore=restore)
    assert failed == []
    assert anchors(out) == [("chart", 20, None), ("picture", 1, None), ("picture", 16, None)]
    refs = []
    with zipfile.ZipFile(out) as z:
        for name in sorted(z.namelist()):
            if name.startswith("xl/charts/chart"):
                refs.append([f.text for f in etree.fromstring(z.read(name)).iter(f"{{{NS['c']}}}f")])
    assert sorted(refs) == sorted([["'My Sheet'!B3", "'My Sheet'!$A$4:$A$13", "'My Sheet'!$B$4:$B$13"],
                                   ["'My Sheet'!$B$4:$B$15"]])


def test_picture_placed_under_a_block_lands_at_its_new_place(tmp_path):
    def extra(wb, ws):
        ws["A7"] = "{logo}"
        ws.add_image(Image(png("blue")), "E8")
    out, failed = run(tmp_path, extra, env={"logo": png("green")})
    assert failed == []
    # The fill's picture is placed where its cell moved, once; the template's moves too.
    assert anchors(out) == [("picture", 15, None), ("picture", 16, None)]


def blocks_template(tmp_path, cells_):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "S"
    for ref, value in cells_.items():
        ws[ref] = value
    path = str(tmp_path / "b.xlsx")
    wb.save(path)
    return path


@pytest.mark.parametrize("recurse", [False, True], ids=["plain", "recurse"])
def test_each_block_makes_its_own_room_in_order(tmp_path, recurse):
    path = blocks_template(tmp_path, {"A1": "{one}", "B2": "=SUM(A1:A1)", "A3": "{two}", "B4": "=SUM(A3:A3)",
                                      "C4": "=B2+A1"})
    out = str(tmp_path / "o.xlsx")
    one = pd.DataFrame({"v": [1, 2, 3]})
    two = pd.DataFrame({"v": ["x", "{n}", "y", "z"]})
    assert GridFill(insert=True, recurse=recurse, restore=False)(path, out, {"one": one, "two": two, "n": 7}) == []
    got = cells(openpyxl.load_workbook(out)["S"])
    assert got == {"A1": 1, "A2": 2, "A3": 3, "B4": "=SUM(A1:A3)",
                   "A5": "x", "A6": 7 if recurse else "{n}", "A7": "y", "A8": "z",
                   "B9": "=SUM(A5:A8)", "C9": "=B4+A1"}


def test_blocks_in_one_row_insert_the_rows_of_the_tallest(tmp_path):
    path = blocks_template(tmp_path, {"A2": "{short}", "D2": "{tall}", "F2": "{short}", "A3": "=SUM(A2:A2)",
                                      "D3": "=SUM(D2:D2)", "A4": "{n}"})
    out = str(tmp_path / "o.xlsx")
    short, tall = pd.DataFrame({"v": [1, 2]}), pd.DataFrame({"v": [10, 20, 30, 40]})
    assert GridFill(insert=True, restore=False)(path, out, {"short": short, "tall": tall, "n": 5}) == []
    got = cells(openpyxl.load_workbook(out)["S"])
    assert got == {"A2": 1, "A3": 2, "D2": 10, "D3": 20, "D4": 30, "D5": 40, "F2": 1, "F3": 2,
                   "A6": "=SUM(A2:A5)", "D6": "=SUM(D2:D5)", "A7": 5}


def test_wider_frame_writes_to_the_right_without_inserting_columns(tmp_path):
    path = blocks_template(tmp_path, {"A1": "{df}", "B2": "=A1", "Z1": "kept"})
    out = str(tmp_path / "o.xlsx")
    wide = pd.DataFrame([[1, 2, 3], [4, 5, 6]])
    assert GridFill(insert=True, restore=False)(path, out, {"df": wide}) == []
    assert cells(openpyxl.load_workbook(out)["S"]) == {"A1": 1, "B1": 2, "C1": 3, "A2": 4, "B2": 5, "C2": 6,
                                                      "B3": "=A1", "Z1": "kept"}


def test_rows_that_would_leave_the_sheet_fail_the_block(tmp_path):
    path = blocks_template(tmp_path, {"A1": "{df}", "A1048575": "last"})
    out = str(tmp_path / "o.xlsx")
    failed = GridFill(insert=True, restore=False)(path, out, {"df": TEN})
    assert failed == ["df"] and "push cells off the sheet" in failed.details[0].reason
    got = cells(openpyxl.load_workbook(out)["S"])
    assert got == {"A1": "{df}", "A1048575": "last"}


# -- overwrite mode says what it wrote over ------------------------------------------------


@pytest.mark.parametrize("extra_cells, frame, ranges", [
    ({"B5": 1, "C5": 2, "B6": 3, "C6": 4}, pd.DataFrame([[0] * 3] * 3), "B5:C6"),
    ({"C4": "=A1", "B6": "x", "A8": 9}, pd.DataFrame([[0] * 3] * 5), "C4, B6, A8"),
    ({f"B{r}": r for r in range(5, 40)}, pd.DataFrame([[0, 0]] * 40), "B5:B39"),
    ({f"{c}{r}": 1 for r in range(5, 30) for c in "BD"}, pd.DataFrame([[0] * 4] * 30), "B5:B29, D5:D29"),
])
def test_overwrite_warns_once_per_block_with_ranges(tmp_path, extra_cells, frame, ranges):
    path = blocks_template(tmp_path, {"A4": "{df}", **extra_cells})
    with pytest.warns(OverwriteWarning) as caught:
        failed = GridFill(restore=False)(path, str(tmp_path / "o.xlsx"), {"df": frame})
    assert failed == []
    (warning,) = caught
    count = len(extra_cells)
    assert str(warning.message) == (f"the block of {{df}} at A4 on sheet 'S' wrote over {count} cell"
                                    f"{'s' if count > 1 else ''} holding values or formulas: {ranges}; "
                                    "use insert=True to make room")


@pytest.mark.parametrize("extra_cells", [
    {},                             # nothing under the block
    {"A5": 1, "B5": "b"},           # the block's own values already there
    {"A7": "beyond the block"},     # under the block's rows
], ids=["empty", "same-values", "below"])
def test_no_warning_when_nothing_is_lost(tmp_path, extra_cells):
    path = blocks_template(tmp_path, {"A4": "{df}", **extra_cells})
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        failed = GridFill(restore=False)(path, str(tmp_path / "o.xlsx"),
                                         {"df": pd.DataFrame({"a": [0, 1], "b": ["a", "b"]})})
    assert failed == []


@pytest.mark.parametrize("insert, advice", [(False, "use insert=True to make room"),
                                            (True, "the rows under a block are inserted, not its own row")])
def test_placeholders_written_over_are_listed_as_failed(tmp_path, insert, advice):
    path = blocks_template(tmp_path, {"A4": "{df}", "B4": "{x} and {y}", "A5": "{x}", "A9": "{x}"})
    out = str(tmp_path / "o.xlsx")
    fill = GridFill(insert=insert, restore=False)
    env = {"df": pd.DataFrame([[1, 2], [3, 4]]), "x": 1, "y": 2}
    failed = fill(path, out, env)
    lost = [("x", "sheet S, cell B4"), ("y", "sheet S, cell B4")] + ([] if insert else [("x", "sheet S, cell A5")])
    assert [(f.placeholder, f.place) for f in failed.details] == lost
    assert all(f.reason == f"written over by the block of {{df}} at A4; {advice}" for f in failed.details)
    # check() predicts it, with the block's own finding first.
    found = fill.check(path, env)
    assert [(f.placeholder, f.place) for f in found if f.reason] == lost
    assert found[0] == ("df", "sheet S, cell A4", None)
