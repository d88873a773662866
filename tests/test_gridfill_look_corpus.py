"""Blocks and headers on real templates: the block looks like its template row,
headers and footers come out as written, and the package stays sound."""

import copy
import csv
import glob
import os
import posixpath
import re
import shutil
import subprocess
import uuid
import zipfile

import openpyxl
import pandas as pd
import pytest
from lxml import etree

import ooxml_check
from tessel.gridfill import GridFill

pytestmark = pytest.mark.filterwarnings("ignore::UserWarning:openpyxl")

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PKG = "http://schemas.openxmlformats.org/package/2006/relationships"


def sheet_parts(path):
    """{sheet name: worksheet part} of a package."""
    with zipfile.ZipFile(path) as z:
        book = etree.fromstring(z.read("xl/workbook.xml"))
        rels = etree.fromstring(z.read("xl/_rels/workbook.xml.rels"))
    targets = {r.get("Id"): r.get("Target") for r in rels.iterfind(f"{{{PKG}}}Relationship")}
    out = {}
    for sheet in book.iterfind(f"{{{MAIN}}}sheets/{{{MAIN}}}sheet"):
        target = targets[sheet.get(f"{{{REL}}}id")]
        part = target.lstrip("/") if target.startswith("/") else posixpath.normpath(posixpath.join("xl", target))
        if "worksheets/" in part:
            out[sheet.get("name")] = part
    return out


def headers_by_sheet(path):
    """{sheet name: {item: text}} of every worksheet's headers and footers."""
    out = {}
    with zipfile.ZipFile(path) as z:
        for name, part in sheet_parts(path).items():
            root = etree.fromstring(z.read(part))
            element = root.find(f"{{{MAIN}}}headerFooter")
            items = {} if element is None else {etree.QName(c).localname: c.text for c in element if c.text}
            out[name] = items
    return out


HEADERS = ["exceljs__test-issue-880", "phpss__issue.1767", "phpss__issue.2396", "phpss__issue.3126",
           "poi__45544", "poi__56644", "poi__StructuredRefs-lots-with-lookups", "poi__stress024"]


@pytest.mark.parametrize("name", HEADERS)
def test_headers_and_footers_come_out_as_written(data_dir, tmp_path, name):
    template = os.path.join(data_dir, "xlsx", f"{name}.xlsx")
    out = str(tmp_path / "out.xlsx")
    GridFill()(template, out, {})
    expected = headers_by_sheet(template)
    assert any(expected.values())
    assert headers_by_sheet(out) == expected
    assert ooxml_check.check_package(out) == []


def blank_rows(source, target, sheet_part, cells):
    """Copies a package, leaving the given cells of one sheet without value or style."""

    def blank(root):
        for cell in root.iter(f"{{{MAIN}}}c"):
            if cell.get("r") in cells:
                for attribute in ("s", "t"):
                    cell.attrib.pop(attribute, None)
                for child in list(cell):
                    cell.remove(child)

    # The calculation chain would name formulas that no longer exist.
    ooxml_check.rewrite_part(source, target, sheet_part, blank, drop={"xl/calcChain.xml"})


def set_text(path, sheet_part, coordinate, text):
    """Puts an inline text into an existing cell of a package, in place."""

    def put(root):
        cell = next(c for c in root.iter(f"{{{MAIN}}}c") if c.get("r") == coordinate)
        for child in list(cell):
            cell.remove(child)
        ooxml_check.set_inline_text(cell, text)

    ooxml_check.rewrite_part(path, path, sheet_part, put)


def look(cell):
    return tuple(copy.copy(part) for part in (cell.font, cell.fill, cell.border, cell.alignment, cell.protection)) + (
        cell.number_format,)


EXPENSES = pd.DataFrame({"item": [f"Cost {k}" for k in range(1, 14)], "amount": [100.0 * k for k in range(1, 14)]})

# (template, sheet, template row, block columns, cells blanked under it, frame)
BLOCKS = {
    "budget": ("poi__simple-monthly-budget", "Simple Monthly Budget", 11, "BC", range(12, 24), EXPENSES),
    "tariff": ("poi__60384", "Tarif", 3, "ABC", range(4, 5),
               pd.DataFrame({"name": ["Rate", "Fee"], "value": [0.25, 1.5], "default": [0.2, 1.0]})),
}


def make_block_template(data_dir, tmp_path, name, sheet, row, columns, blanked):
    source = os.path.join(data_dir, "xlsx", f"{name}.xlsx")
    part = sheet_parts(source)[sheet]
    template = str(tmp_path / "template.xlsx")
    # The block writes over its own row and the blanked ones; what they held would be warned of.
    cleared = {f"{c}{r}" for c in columns for r in blanked} | {f"{c}{row}" for c in columns[1:]}
    blank_rows(source, template, part, cleared)
    set_text(template, part, f"{columns[0]}{row}", "{block}")
    return template


@pytest.mark.parametrize("case", list(BLOCKS))
def test_a_block_on_a_real_template_looks_like_its_row(data_dir, tmp_path, case):
    name, sheet, row, columns, blanked, frame = BLOCKS[case]
    template = make_block_template(data_dir, tmp_path, name, sheet, row, columns, blanked)
    out = str(tmp_path / "out.xlsx")
    assert GridFill()(template, out, {"block": frame}) == []

    assert ooxml_check.check_package(out) == []
    before, after = ooxml_check.drawing_inventory(template), ooxml_check.drawing_inventory(out)
    assert all(after.get(s, {}).get(k, 0) >= n for s, counts in before.items() for k, n in counts.items())
    source_ws = openpyxl.load_workbook(template)[sheet]
    ws = openpyxl.load_workbook(out)[sheet]
    for i in range(len(frame)):
        for j, column in enumerate(columns[:frame.shape[1]]):
            cell = ws[f"{column}{row + i}"]
            assert cell.value == frame.iat[i, j]
            assert look(cell) == look(source_ws[f"{column}{row}"]), cell.coordinate
        assert ws.row_dimensions[row + i].height == source_ws.row_dimensions[row].height


@pytest.mark.libreoffice
def test_a_block_on_a_real_template_adds_up_in_libreoffice(data_dir, tmp_path, soffice):
    template = make_block_template(data_dir, tmp_path, *BLOCKS["budget"][:5])
    out = str(tmp_path / "out.xlsx")
    assert GridFill()(template, out, {"block": EXPENSES}) == []
    profile = f"file:///tmp/lo-look-{uuid.uuid4().hex}"
    try:
        done = subprocess.run([soffice, f"-env:UserInstallation={profile}", "--headless", "--convert-to",
                               "csv:Text - txt - csv (StarCalc):44,34,76,1", "--outdir", str(tmp_path), out],
                              capture_output=True, text=True, timeout=240)
    finally:
        shutil.rmtree(profile[len("file://"):], ignore_errors=True)
    assert done.returncode == 0, done.stderr
    (path,) = glob.glob(str(tmp_path / "*.csv"))
    with open(path, newline="", encoding="utf-8") as f:
        text = [cell for line in csv.reader(f) for cell in line]
    assert re.sub(r"[^\d.]", "", next(t for t in text if "9,100" in t or "9100" in t)) in ("9100", "9100.00")
    assert "Cost 13" in text
