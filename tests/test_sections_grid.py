"""Sections in workbooks: rows repeated per item between {for} and {end for},
rows kept or deleted by {if} branches, and how they are reported."""

import io
import os
import subprocess
import zipfile

import openpyxl
import pandas as pd
import pytest
from openpyxl.chart import BarChart, Reference
from openpyxl.formatting.rule import CellIsRule
from openpyxl.worksheet.table import Table

import ooxml_check
from tessel.gridfill import GridFill

pytestmark = pytest.mark.filterwarnings("ignore::UserWarning:openpyxl")


def template(tmp_path, cells, merges=(), name="template.xlsx", build=None):
    """A one-sheet workbook "S" holding {coordinate: value}."""
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "S"
    for coordinate, value in cells.items():
        ws[coordinate] = value
    for merge in merges:
        ws.merge_cells(merge)
    if build:
        build(wb)
    path = tmp_path / name
    wb.save(path)
    return str(path)


def fill(tmp_path, cells, env, merges=(), build=None, **options):
    path = template(tmp_path, cells, merges, build=build)
    out = str(tmp_path / "out.xlsx")
    failed = GridFill(**options)(path, out, env)
    return openpyxl.load_workbook(out)["S"], failed


def values(ws):
    return {c.coordinate: c.value for row in ws.iter_rows() for c in row if c.value is not None}


GROUP = {"A1": "Name", "A2": "{for r in rows}", "B3": "{r['name']}", "C3": "{r['n']}", "D3": "=C3*2",
         "A4": "{end for}", "C5": "=SUM(C2:C4)", "A6": "=C3+1"}


@pytest.mark.parametrize("count, expected", [
    (0, {"A1": "Name", "C2": "=SUM(#REF!)", "A3": "=#REF!+1"}),
    (1, {"A1": "Name", "B3": "a0", "C3": 0, "D3": "=C3*2", "C5": "=SUM(C2:C4)", "A6": "=C3+1"}),
    (3, {"A1": "Name", "B3": "a0", "C3": 0, "D3": "=C3*2", "B6": "a1", "C6": 1, "D6": "=C6*2",
         "B9": "a2", "C9": 2, "D9": "=C9*2", "C11": "=SUM(C2:C10)", "A12": "=C3+1"}),
], ids=["none", "one", "three"])
def test_rows_repeat_per_item(tmp_path, count, expected):
    rows = [{"name": f"a{k}", "n": k} for k in range(count)]
    ws, failed = fill(tmp_path, GROUP, {"rows": rows})
    assert failed == []
    assert values(ws) == expected


def test_nested_groups_and_two_row_groups(tmp_path):
    cells = {"A1": "{for g in groups}", "B1": "{g['name']}",
             "A2": "{for x in g['xs']}", "C2": "{x}", "D2": "{g['name']}-{x}", "A3": "{end for}",
             "B4": "total {len(g['xs'])}", "A4": "{end for}", "A5": "end"}
    groups = [{"name": "p", "xs": [1, 2]}, {"name": "q", "xs": []}, {"name": "r", "xs": [3]}]
    ws, failed = fill(tmp_path, cells, {"groups": groups})
    assert failed == []
    assert values(ws) == {
        "B1": "p", "C2": 1, "D2": "p-1", "C4": 2, "D4": "p-2", "B6": "total 2",
        "B7": "q", "B8": "total 0",
        "B9": "r", "C10": 3, "D10": "r-3", "B12": "total 1",
        "A13": "end"}


def test_data_frame_records_and_unpacking(tmp_path):
    df = pd.DataFrame({"item": ["pen", "ink"], "unit price": [1.5, 4.0]}, index=["p", "i"])
    cells = {"A1": "{for row in df}", "B1": "{row.Index}", "C1": "{row.item}", "D1": "{row['unit price']}",
             "E1": "{end for}", "A2": "{for k, (a, b) in enumerate(pairs)}", "B2": "{k}:{a}{b}", "C2": "{end for}"}
    ws, failed = fill(tmp_path, cells, {"df": df, "pairs": ["xy", "zw"]})
    assert failed == []
    assert values(ws) == {"B1": "p", "C1": "pen", "D1": 1.5, "B2": "i", "C2": "ink", "D2": 4.0,
                          "B3": "0:xy", "B4": "1:zw"}


@pytest.mark.parametrize("value, expected", [
    (1, {"B1": "one", "A2": "=B1"}),
    (2, {"B1": "two", "A2": "=#REF!"}),
    (3, {"B1": "other", "A2": "=#REF!"}),
], ids=["if", "elif", "else"])
def test_branches_keep_their_rows(tmp_path, value, expected):
    cells = {"A1": "{if v == 1}", "B1": "one", "A2": "{elif v == 2}", "B2": "two",
             "A3": "{else}", "B3": "other", "C3": "{end if}", "A4": "=B1"}
    ws, failed = fill(tmp_path, cells, {"v": value})
    assert failed == []
    assert values(ws) == expected


def test_false_if_deletes_rows_and_moves_what_is_below(tmp_path):
    def build(wb):
        ws = wb.active
        ws.conditional_formatting.add("B6:B7", CellIsRule(operator="greaterThan", formula=["1"]))
        ws.conditional_formatting.add("C2:C3", CellIsRule(operator="greaterThan", formula=["1"]))
        wb.create_sheet("T")["A1"] = "=S!B6+S!B2+SUM(S!B1:B6)"
        wb.defined_names["below"] = openpyxl.workbook.defined_name.DefinedName("below", attr_text="S!$B$6")

    cells = {"A2": "{if show}", "B2": 5, "A3": "{end if}", "B6": 7, "A8": "=B6*B2"}
    ws, failed = fill(tmp_path, cells, {"show": False}, merges=["C6:D7", "E2:E3"], build=build)
    assert failed == []
    assert values(ws) == {"B4": 7, "A6": "=B4*#REF!"}
    assert {str(r) for r in ws.merged_cells.ranges} == {"C4:D5"}
    assert sorted(str(cf.sqref) for cf in ws.conditional_formatting) == ["B4:B5"]
    wb = ws.parent
    assert ooxml_check.check_package(tmp_path / "out.xlsx") == []
    assert wb["T"]["A1"].value == "=S!B4+S!#REF!+SUM(S!B1:B4)"
    assert wb.defined_names["below"].attr_text == "S!$B$4"


def test_merges_and_heights_follow_the_copies(tmp_path):
    def build(wb):
        wb.active.row_dimensions[2].height = 30

    cells = {"A1": "{for x in xs}", "B2": "{x}", "A2": "{end for}", "B5": "=B2"}
    ws, failed = fill(tmp_path, cells, {"xs": "abc"}, merges=["B2:C2", "B5:C5"], build=build)
    assert failed == []
    assert values(ws) == {"B2": "a", "B4": "b", "B6": "c", "B9": "=B2"}
    assert {str(r) for r in ws.merged_cells.ranges} == {"B2:C2", "B4:C4", "B6:C6", "B9:C9"}
    assert [ws.row_dimensions[r].height for r in (2, 4, 6)] == [30, 30, 30]


@pytest.mark.parametrize("cells, reasons", [
    ({"A1": "{for x in xs}", "B1": "{x}"}, [("for x in xs", "no {end for} after it"), ("x", "NameError")]),
    ({"A1": "{end for}", "A2": "{end if}"}, [("end for", "no {for} before it"), ("end if", "no {if} before it")]),
    ({"A1": "{else}", "A2": "{for x in xs}", "A3": "{elif y}", "A4": "{end for}"},
     [("else", "{else} outside an {if}"), ("for x in xs", None), ("elif y", "{elif} outside an {if}"),
      ("end for", None)]),
    ({"A1": "{for x in 5}", "B1": "{x}", "A2": "{end for}"},
     [("for x in 5", "TypeError: 'int' object is not iterable"), ("x", "NameError"),
      ("end for", "TypeError: 'int' object is not iterable")]),
    ({"A1": "{for a, b in xs}", "A2": "{end for}"},
     [("for a, b in xs", "ValueError: too many values to unpack (expected 2)"),
      ("end for", "ValueError: too many values to unpack")]),
    ({"A1": "{if missing}", "A2": "{end if}"},
     [("if missing", "NameError: name 'missing' is not defined"), ("end if", "NameError")]),
    ({"A1": "{if y}", "A2": "{for x in xs}", "B3": "{end for}", "C3": "{else}", "A4": "{end if}"},
     [("if y", None), ("for x in xs", "its rows cross those of the section around it"),
      ("end for", "its rows cross those of the section around it"), ("else", None), ("end if", None)]),
    ({"A1": "{for x in xs}", "B1": "{end for}", "C1": "{for z in xs}", "D1": "{end for}"},
     [("for x in xs", None), ("end for", None), ("for z in xs", "its rows overlap those of the section before it"),
      ("end for", "its rows overlap those of the section before it")]),
], ids=["open", "closes", "outside", "not-iterable", "unpacking", "if-fails", "crossing", "overlapping"])
def test_tags_that_fail_say_why_and_leave_their_rows(tmp_path, cells, reasons):
    path = template(tmp_path, cells)
    findings = GridFill().check(path, {"xs": ["abc"], "y": True})
    got = [(f.placeholder, f.reason) for f in findings]
    assert len(got) == len(reasons)
    for (placeholder, reason), (want, why) in zip(got, reasons):
        assert placeholder == want
        assert (reason is None) if why is None else why in reason
    failed = GridFill()(path, str(tmp_path / "out.xlsx"), {"xs": ["abc"], "y": True})
    assert list(failed) == [p for (p, why) in reasons if why is not None]
    # A tag that failed stays in its cell.
    texts = list(values(openpyxl.load_workbook(tmp_path / "out.xlsx")["S"]).values())
    assert "{%s}" % failed[0] in texts


def test_check_places_name_the_section_and_item(tmp_path):
    cells = {"A1": "{for r in regions}", "B1": "{r}", "A2": "{for c in r}", "B2": "{c}", "C2": "{end for}",
             "C3": "{end for}", "A5": "{if 1}", "B5": "{len(regions)}", "C5": "{end if}"}
    path = template(tmp_path, cells)
    got = [(f.placeholder, f.place, f.reason) for f in GridFill().check(path, {"regions": ["ab", "c"]})]
    assert got == [
        ("for r in regions", "sheet S, cell A1", None),
        ("r", "sheet S, cell B1, for r in regions: item 1", None),
        ("for c in r", "sheet S, cell A2, for r in regions: item 1", None),
        ("c", "sheet S, cell B2, for r in regions: item 1, for c in r: item 1", None),
        ("end for", "sheet S, cell C2, for r in regions: item 1", None),
        ("c", "sheet S, cell B2, for r in regions: item 1, for c in r: item 2", None),
        ("end for", "sheet S, cell C3", None),
        ("r", "sheet S, cell B1, for r in regions: item 2", None),
        ("for c in r", "sheet S, cell A2, for r in regions: item 2", None),
        ("c", "sheet S, cell B2, for r in regions: item 2, for c in r: item 1", None),
        ("end for", "sheet S, cell C2, for r in regions: item 2", None),
        ("if 1", "sheet S, cell A5", None),
        ("len(regions)", "sheet S, cell B5", None),
        ("end if", "sheet S, cell C5", None),
    ]
    listed = [(f.placeholder, f.place) for f in GridFill().check(path, evaluate=False)]
    assert listed == [("for r in regions", "sheet S, cell A1"), ("r", "sheet S, cell B1"),
                      ("for c in r", "sheet S, cell A2"), ("c", "sheet S, cell B2"), ("end for", "sheet S, cell C2"),
                      ("end for", "sheet S, cell C3"), ("if 1", "sheet S, cell A5"),
                      ("len(regions)", "sheet S, cell B5"), ("end if", "sheet S, cell C5")]


def test_tags_in_deleted_rows_are_reported_where_they_stood(tmp_path):
    cells = {"A1": "{x}", "A2": "{for i in []}", "B3": "{i}", "A3": "{end for}", "A4": "{x}"}
    path = template(tmp_path, cells)
    got = [(f.placeholder, f.place, f.reason) for f in GridFill().check(path, {"x": 1})]
    assert got == [("x", "sheet S, cell A1", None), ("for i in []", "sheet S, cell A2", None),
                   ("end for", "sheet S, cell A3", None), ("x", "sheet S, cell A4", None)]


@pytest.mark.parametrize("pattern, cells", [
    ("{{}}", {"A1": "Items: {{for x in xs}}", "B1": "{{x}}", "C1": "{{end for}}"}),
    ("{}", {"A1": "Items: {\tfor x in xs }", "B1": "{x}", "C1": "{ end for}"}),
], ids=["double", "spaces"])
def test_tag_forms_and_text_beside_a_tag(tmp_path, pattern, cells):
    ws, failed = fill(tmp_path, cells, {"xs": [1, 2]}, pattern=pattern)
    assert failed == []
    assert values(ws) == {"A1": "Items: ", "B1": 1, "A2": "Items: ", "B2": 2}


def test_tags_and_a_placeholder_in_one_cell(tmp_path):
    cells = {"A1": "{for x in xs}{x}{end for}", "B1": "b{x}", "A3": "=SUM(A1:A1)"}
    ws, failed = fill(tmp_path, cells, {"xs": [1, 2, 3]})
    assert failed == []
    assert values(ws) == {"A1": 1, "B1": "b1", "A2": 2, "B2": "b2", "A3": 3, "B3": "b3", "A5": "=SUM(A1:A3)"}


def test_a_block_inside_a_copy(tmp_path):
    cells = {"A1": "{for t in tables}", "B1": "{t}", "A2": "{end for}", "A3": "end"}
    tables = [pd.DataFrame({"v": [1, 2]}), pd.DataFrame({"v": [3]})]
    ws, failed = fill(tmp_path, cells, {"tables": tables}, insert=True)
    assert failed == []
    assert values(ws) == {"B1": 1, "B2": 2, "B4": 3, "A6": "end"}


def test_openpyxl_engine_refuses_sections(tmp_path):
    ws, failed = fill(tmp_path, GROUP | {"E1": "{n}"}, {"rows": [], "n": 4}, engine="openpyxl")
    assert failed.details[0].reason == "sections need engine='native'"
    assert [f.placeholder for f in failed.details if f.reason == "sections need engine='native'"] == [
        "for r in rows", "end for"]
    assert ws["E1"].value == 4
    assert ws["A2"].value == "{for r in rows}"


@pytest.mark.parametrize("wide", [{"J1": "wide"}, {}])
def test_safe_fill_counts_copies(tmp_path, wide):
    cells = {"A1": "{for i in range(10**6)}", "B1": "{i}", "A2": "{end for}", "A3": "{n}"} | wide
    ws, failed = fill(tmp_path, cells, {"n": 1}, safe=True)
    assert "sections copying" in failed.details[0].reason
    assert failed[0] == "for i in range(10**6)"
    assert ws["A3"].value == 1
    assert ws.max_row == 3
    ws, failed = fill(tmp_path, cells | {"A1": "{for i in range(3)}"}, {"n": 1}, safe=True)
    assert failed == []
    assert [ws.cell(r, 2).value for r in (1, 3, 5)] == [0, 1, 2]
    # one row of three cells, repeated a million times, is past the budget too
    ws, failed = fill(tmp_path, {"A1": "{for i in range(10**6)}", "B1": "{i}", "C1": "{end for}"}, {}, safe=True)
    assert failed[0] == "for i in range(10**6)" and ws.max_row == 1


def test_libreoffice_reads_the_copies(tmp_path, soffice):
    ws, failed = fill(tmp_path, GROUP, {"rows": [{"name": "a", "n": 2}, {"name": "b", "n": 3}]})
    assert failed == []
    out = tmp_path / "pdf"
    subprocess.run([soffice, "--headless", f"-env:UserInstallation=file://{tmp_path}/lo", "--convert-to", "csv",
                    "--outdir", str(out), str(tmp_path / "out.xlsx")], check=True, capture_output=True, timeout=180)
    text = (out / "out.csv").read_text()
    rows = [line.split(",") for line in text.splitlines()]
    assert rows[2][1:4] == ["a", "2", "4"] and rows[5][1:4] == ["b", "3", "6"]
    assert rows[7][2] == "5"
    assert os.path.getsize(out / "out.csv") > 0


# -- a sheet per item -------------------------------------------------------------


class Customer:
    def __init__(self, name, total):
        self.name, self.total = name, total


def sheet_per_item(tmp_path):
    """A summary naming the repeated sheet, the sheet itself (a table, a chart, a
    header, print titles) and a sheet after it."""
    wb = openpyxl.Workbook()
    wb.active.title = "Summary"
    wb.active["A1"] = "='{c.name for c in customers}'!B1"
    ws = wb.create_sheet("{c.name for c in customers}")
    ws["A1"], ws["B1"], ws["A2"] = "Customer", "{c.name}", "{c.total}"
    ws["A3"], ws["B3"], ws["A4"], ws["B4"] = "x", "y", 1, 2
    ws.add_table(Table(displayName="Items", ref="A3:B4"))
    chart = BarChart()
    chart.add_data(Reference(ws, min_col=1, min_row=4, max_row=4))
    ws.add_chart(chart, "D2")
    ws.oddHeader.center.text = "Bill for {c.name}"
    ws.print_title_rows = "1:1"
    wb.create_sheet("After")["A1"] = "after"
    path = tmp_path / "sheets.xlsx"
    wb.save(path)
    return str(path)


def test_a_sheet_per_item(tmp_path):
    path = sheet_per_item(tmp_path)
    out = str(tmp_path / "out.xlsx")
    customers = [Customer("Acme/Corp: [EU]", 1), Customer("acme/corp: eu", 2),
                 Customer("A customer name much longer than a sheet's", 3)]
    assert GridFill()(path, out, {"customers": customers}) == []
    wb = openpyxl.load_workbook(out)
    names = ["AcmeCorp EU", "acmecorp eu (2)", "A customer name much longer tha"]
    assert wb.sheetnames == ["Summary", *names, "After"]
    assert wb["Summary"]["A1"].value == "='AcmeCorp EU'!B1"
    for name, customer, table in zip(names, customers, ["Items", "Items_2", "Items_3"]):
        ws = wb[name]
        assert (ws["B1"].value, ws["A2"].value) == (customer.name, customer.total)
        assert list(ws.tables) == [table]
        assert ws.oddHeader.center.text == f"Bill for {customer.name}"
        assert ws.print_title_rows == "$1:$1"
        assert ws._charts[0].series[0].val.numRef.f == f"'{name}'!$A$4"
    with zipfile.ZipFile(out) as archive:
        assert sum(name.startswith("xl/charts/chart") for name in archive.namelist()) == 3
    assert ooxml_check.check_package(out) == []


def test_sheet_copies_own_their_drawings_and_comments(tmp_path):
    from openpyxl.comments import Comment
    from openpyxl.drawing.image import Image as XImage
    from PIL import Image

    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "{n for n in names}"
    ws["A1"] = "{n}"
    ws["A5"].comment = Comment("note", "me")
    picture = io.BytesIO()
    Image.new("RGB", (10, 10), "red").save(picture, "PNG")
    ws.add_image(XImage(picture), "C3")
    wb.save(tmp_path / "t.xlsx")
    out = str(tmp_path / "out.xlsx")
    assert GridFill()(str(tmp_path / "t.xlsx"), out, {"names": ["x", "y"]}) == []
    assert ooxml_check.check_package(out) == []
    inventory = ooxml_check.drawing_inventory(out)
    assert list(inventory) == ["x", "y"]
    assert all(inventory[name] == {"pictures": 1, "comments": 1} for name in ("x", "y"))
    with zipfile.ZipFile(out) as archive:
        assert sum(name.startswith("xl/media/") for name in archive.namelist()) == 1


@pytest.mark.parametrize("customers, sheets, reason", [
    ([], ["Summary", "After"], None),
    (5, ["Summary", "{c.name for c in customers}", "After"], "TypeError: 'int' object is not iterable"),
], ids=["none", "not-iterable"])
def test_sheet_per_item_without_items(tmp_path, customers, sheets, reason):
    path = sheet_per_item(tmp_path)
    out = str(tmp_path / "out.xlsx")
    findings = GridFill().check(path, {"customers": customers})
    assert (findings[0].placeholder, findings[0].place, findings[0].reason) == (
        "c.name for c in customers", "sheet {c.name for c in customers}", reason)
    GridFill()(path, out, {"customers": customers})
    assert openpyxl.load_workbook(out).sheetnames == sheets


def test_sheet_per_item_check_and_openpyxl_engine(tmp_path):
    path = sheet_per_item(tmp_path)
    env = {"customers": [Customer("a", 1), Customer("b", 2)]}
    places = [f.place for f in GridFill().check(path, env)]
    assert places == ["sheet {c.name for c in customers}", "sheet a, cell B1", "sheet a, cell A2", "sheet a, header",
                      "sheet b, cell B1", "sheet b, cell A2", "sheet b, header"]
    listed = [f.place for f in GridFill().check(path, evaluate=False)]
    assert listed[0] == "sheet {c.name for c in customers}" and len(listed) == 4
    failed = GridFill(engine="openpyxl")(path, str(tmp_path / "out.xlsx"), env)
    assert failed.details[0].reason == "sections need engine='native'"


def test_deleted_rows_take_their_comments_and_links(tmp_path):
    from openpyxl.comments import Comment

    def build(wb):
        ws = wb.active
        ws["B2"].comment = Comment("gone", "me")
        ws["B5"].comment = Comment("kept", "me")
        ws["B2"].hyperlink = "https://example.com/gone"
        ws["B5"].hyperlink = "https://example.com/kept"

    cells = {"A1": "{if show}", "B2": "x", "A3": "{end if}", "B5": "y"}
    ws, failed = fill(tmp_path, cells, {"show": False}, build=build)
    assert failed == []
    assert values(ws) == {"B2": "y"}
    assert ws["B2"].comment.text == "kept"
    assert ws["B2"].hyperlink.target == "https://example.com/kept"
    assert [link.ref for link in ws._hyperlinks] in ([], ["B2"])


def test_row_sections_in_each_repeated_sheet(tmp_path):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "{g.get('name') for g in groups}"
    ws["A1"], ws["A2"], ws["B3"], ws["C3"], ws["A3"] = "{g['name']}", "{for x in g['xs']}", "{x}", "=B3*2", "{end for}"
    ws["B5"] = "=SUM(B2:B3)"
    ws["A6"], ws["B6"], ws["A7"], ws["B8"] = "{if g['flag']}", "flag", "{end if}", "=B6"
    ws.merge_cells("D2:D3")
    summary = wb.create_sheet("Summary")
    summary["A1"] = "=SUM('{g.get(''name'') for g in groups}'!B2:B3)"
    summary.conditional_formatting.add("A1", CellIsRule(operator="greaterThan",
                                                        formula=["'{g.get(''name'') for g in groups}'!B5"]))
    wb.save(tmp_path / "t.xlsx")
    groups = [{"name": "p", "xs": [1, 2, 3], "flag": True}, {"name": "q", "xs": [], "flag": False}]
    out = str(tmp_path / "out.xlsx")
    assert GridFill()(str(tmp_path / "t.xlsx"), out, {"groups": groups}) == []
    wb = openpyxl.load_workbook(out)
    assert values(wb["p"]) == {"A1": "p", "B3": 1, "C3": "=B3*2", "B5": 2, "C5": "=B5*2", "B7": 3, "C7": "=B7*2",
                               "B9": "=SUM(B2:B7)", "B10": "flag", "B12": "=B10"}
    assert {str(r) for r in wb["p"].merged_cells.ranges} == {"D2:D3", "D4:D5", "D6:D7"}
    assert values(wb["q"]) == {"A1": "q", "B3": "=SUM(#REF!)", "B4": "=#REF!"}
    # Formulas elsewhere name the first copy, and follow its rows.
    assert wb["Summary"]["A1"].value == "=SUM('p'!B2:B7)"
    assert [rule.formula for cf in wb["Summary"].conditional_formatting for rule in cf.rules] == [["'p'!B9"]]


def test_safe_mode_bounds_sheets_per_item(tmp_path):
    # even empty sheets count: a hundred thousand of them fail at once
    wb = openpyxl.Workbook()
    wb.active.title = "{x for x in range(100000)}"
    wb.save(tmp_path / "t.xlsx")
    failed = GridFill(safe=True)(str(tmp_path / "t.xlsx"), str(tmp_path / "out.xlsx"), {})
    assert failed == ["x for x in range(100000)"] and "sections copying" in failed.details[0].reason
    assert openpyxl.load_workbook(tmp_path / "out.xlsx").sheetnames == ["{x for x in range(100000)}"]
