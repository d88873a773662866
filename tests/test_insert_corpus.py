"""Blocks with a total row under them, in real templates, insert mode on and off.

A block lands in a fresh column right of a sheet's content, in row R, with a
total row under it.  The package stays clean, no drawn object is lost, every
object under the block moves down with its cells, and LibreOffice computes the
total over the whole block.  With insert on, LibreOffice's view of every sheet
equals that of the same fill with a one-row frame once the inserted rows are
taken out: every reference in the workbook followed its cells.
"""

import csv
import glob
import os
import re
import shutil
import subprocess
import uuid
import warnings
import zipfile
from collections import Counter

import openpyxl
import pandas as pd
import pytest
from lxml import etree
from openpyxl.utils import get_column_letter

import ooxml_check
from tessel import OverwriteWarning
from tessel.gridfill import GridFill

pytestmark = [pytest.mark.libreoffice, pytest.mark.filterwarnings("ignore::UserWarning:openpyxl")]

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
NS = {"main": MAIN, "r": "http://schemas.openxmlformats.org/officeDocument/2006/relationships",
      "xdr": "http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing"}

FRAME = pd.DataFrame({"label": [f"L{i}" for i in range(5)], "amount": [1.5, 2, 3, 4, 5]})
TOTAL = "15.5"

# (template, sheet, row of the block)
CASES = [
    ("poi__WithThreeCharts", "Sheet1", 2),                   # charts on other sheets over its data
    ("phpss__32readwriteChartWithImages1", "Charts", 1),     # pictures and a chart frame
    ("poi__WithDrawing", "Sheet1", 1),                       # pictures and a text box
    ("phpss__formscomments", "Forms", 2),                    # form controls in VML, shapes
    ("phpss__issue.2396", "Sheet7", 1),                      # a control with its properties part
    ("poi__WithEmbeded", "Sheet1", 1),                       # embedded objects
    ("poi__simple-monthly-budget", "Simple Monthly Budget", 5),  # tables, a chart, formats
    ("poi__45544", "Profile of Class", 3),                   # comments, formulas
    ("poi__dataValidationTableRange", "County Ranking", 4),  # validations over tables
]


def sheet_part(path, sheet):
    with zipfile.ZipFile(path) as z:
        workbook = etree.fromstring(z.read("xl/workbook.xml"))
        rels = etree.fromstring(z.read("xl/_rels/workbook.xml.rels"))
    targets = {r.get("Id"): r.get("Target").lstrip("/") for r in rels}
    node = next(s for s in workbook.iterfind("main:sheets/main:sheet", NS) if s.get("name") == sheet)
    target = targets[node.get(f"{{{NS['r']}}}id")]
    return target if target.startswith("xl/") else "xl/" + target


def with_cells(src, dst, part, cells):
    """Copies a package, adding {(row, column): (kind, text)} to one sheet's cell data."""

    def add(root):
        sheet_data = root.find("main:sheetData", NS)
        rows = {int(r.get("r")): r for r in sheet_data.iterfind("main:row", NS)}
        for (row, column), (kind, text) in sorted(cells.items()):
            if row not in rows:
                rows[row] = etree.Element(f"{{{MAIN}}}row", r=str(row))
                later = [r for k, r in sorted(rows.items()) if k > row]
                (later[0].addprevious if later else sheet_data.append)(rows[row])
            cell = etree.SubElement(rows[row], f"{{{MAIN}}}c", r=f"{get_column_letter(column)}{row}")
            if kind == "text":
                ooxml_check.set_inline_text(cell, text)
            else:
                etree.SubElement(cell, f"{{{MAIN}}}f").text = text

    ooxml_check.rewrite_part(src, dst, part, add)


def csv_sheets(soffice, paths, folder):
    """LibreOffice's CSV of every sheet of each file: {file stem: {sheet: rows}}."""
    profile = f"/tmp/lo-insert-{uuid.uuid4().hex}"
    try:
        done = subprocess.run(
            [soffice, f"-env:UserInstallation=file://{profile}", "--headless", "--convert-to",
             "csv:Text - txt - csv (StarCalc):44,34,76,1,,0,false,true,false,false,false,-1",
             "--outdir", str(folder), *map(str, paths)],
            capture_output=True, text=True, timeout=300)
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    assert done.returncode == 0, done.stderr
    out = {}
    for path in paths:
        stem = os.path.splitext(os.path.basename(path))[0]
        out[stem] = {}
        for name in glob.glob(os.path.join(folder, f"{stem}-*.csv")):
            with open(name, newline="", encoding="utf-8") as f:
                out[stem][os.path.basename(name)[len(stem) + 1:-4]] = list(csv.reader(f))
    return out


def object_rows(path, sheet):
    """Zero-based top rows of what is drawn over a sheet: drawing anchors, form
    controls of its legacy drawing, anchors of its embedded objects and controls."""
    part = sheet_part(path, sheet)
    folder, base = part.rsplit("/", 1)
    rows = Counter()
    with zipfile.ZipFile(path) as z:
        names = set(z.namelist())
        rels_part = f"{folder}/_rels/{base}.rels"
        rels = etree.fromstring(z.read(rels_part)) if rels_part in names else []
        targets = {r.get("Id"): os.path.normpath(os.path.join(folder, r.get("Target"))).replace(os.sep, "/")
                   for r in rels if r.get("TargetMode") != "External"}
        root = etree.fromstring(z.read(part))
        for child in root:
            rid = child.get(f"{{{NS['r']}}}id")
            local = etree.QName(child).localname
            if local == "drawing" and targets.get(rid) in names:
                for anchor in etree.fromstring(z.read(targets[rid])):
                    row = anchor.find("xdr:from/xdr:row", NS)
                    if row is not None:
                        rows["drawing", int(row.text)] += 1
            elif local == "legacyDrawing" and targets.get(rid) in names:
                vml = z.read(targets[rid]).decode("utf-8", "replace")
                for kind, anchor in re.findall(r'ObjectType="(\w+)".*?<x:Anchor>(.*?)</x:Anchor>', vml, re.S):
                    if kind != "Note":
                        rows["vml", int(anchor.split(",")[2])] += 1
        for anchor in root.iter(f"{{{MAIN}}}anchor"):
            rows["object", int(anchor.find("main:from/xdr:row", NS).text)] += 1
    return rows


def volatile_sheets(path):
    """Sheets whose formulas give new values at every calculation (RAND, NOW...)."""
    wb = openpyxl.load_workbook(path)
    volatile = re.compile(r"\b(RAND|RANDBETWEEN|NOW|TODAY|OFFSET|INDIRECT)\(", re.I)
    return {re.sub(r"[/\\?*:\[\]]", "_", ws.title) for ws in wb.worksheets
            if any(isinstance(c.value, str) and volatile.search(c.value) for row in ws.iter_rows() for c in row)}


def moved(rows, block_row, count):
    return Counter({(kind, row + count if row >= block_row else row): n for (kind, row), n in rows.items()})


def prepare(data_dir, tmp_path, name, sheet, row, total_row, total_span):
    source = os.path.join(data_dir, "xlsx", f"{name}.xlsx")
    column = openpyxl.load_workbook(source)[sheet].max_column + 2
    amount = get_column_letter(column + 1)
    template = str(tmp_path / "template.xlsx")
    with_cells(source, template, sheet_part(source, sheet),
               {(row, column): ("text", "{df}"),
                (total_row, column + 1): ("formula", f"SUM({amount}{row}:{amount}{row + total_span})")})
    return template, column


def fill(template, out, frame, insert):
    with warnings.catch_warnings():
        warnings.simplefilter("error", OverwriteWarning)
        failed = GridFill(insert=insert)(template, str(out), {"df": frame})
    assert "df" not in failed, failed.details
    assert ooxml_check.check_package(str(out)) == []
    before, after = ooxml_check.drawing_inventory(template), ooxml_check.drawing_inventory(str(out))
    assert all(after.get(s, Counter())[k] >= n for s, counts in before.items() for k, n in counts.items())


@pytest.mark.parametrize("name, sheet, row", CASES, ids=[c[0] for c in CASES])
def test_insert_mode(data_dir, tmp_path, soffice, name, sheet, row):
    # The total sits right under the template row and sums over it alone.
    template, column = prepare(data_dir, tmp_path, name, sheet, row, row + 1, 0)
    one, five = tmp_path / "one.xlsx", tmp_path / "five.xlsx"
    fill(template, one, FRAME.head(1), True)
    fill(template, five, FRAME, True)

    assert object_rows(str(five), sheet) == moved(object_rows(template, sheet), row, 4)
    assert object_rows(str(one), sheet) == object_rows(template, sheet)

    views = csv_sheets(soffice, [one, five], tmp_path)
    skipped = volatile_sheets(template)
    for name_, rows in views["one"].items():
        if name_ in skipped:
            continue
        got = views["five"][name_]
        if name_ == re.sub(r"[/\\?*:\[\]]", "_", sheet):
            assert got[row + 4][column] == TOTAL
            assert [r[column - 1] for r in got[row - 1:row + 4]] == list(FRAME.label)
            # Without the inserted rows and the block's columns, the sheet reads as before.
            got = [r[:column - 1] for r in got[:row] + got[row + 4:]]
            rows = [r[:column - 1] for r in rows]
        assert got == rows, name_


@pytest.mark.parametrize("name, sheet, row", CASES[:5], ids=[c[0] for c in CASES[:5]])
def test_overwrite_mode(data_dir, tmp_path, soffice, name, sheet, row):
    # A template made for overwrite mode leaves room: the total sits five rows down.
    template, column = prepare(data_dir, tmp_path, name, sheet, row, row + 5, 4)
    out = tmp_path / "out.xlsx"
    fill(template, out, FRAME, False)
    assert object_rows(str(out), sheet) == object_rows(template, sheet)
    views = csv_sheets(soffice, [out], tmp_path)["out"]
    assert views[re.sub(r"[/\\?*:\[\]]", "_", sheet)][row + 4][column] == TOTAL
