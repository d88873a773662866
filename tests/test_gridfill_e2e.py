"""Whole fills of real templates, restored and opened by LibreOffice."""

import csv
import datetime as dt
import glob
import io
import os
import re
import shutil
import subprocess
import uuid
import zipfile
from collections import Counter

import openpyxl
import pandas as pd
import pytest
from lxml import etree
from PIL import Image as PILImage

import ooxml_check
from tessel.gridfill import GridFill

pytestmark = pytest.mark.filterwarnings("ignore::UserWarning:openpyxl")

NS = {
    "main": "http://schemas.openxmlformats.org/spreadsheetml/2006/main",
    "r": "http://schemas.openxmlformats.org/officeDocument/2006/relationships",
    "rel": "http://schemas.openxmlformats.org/package/2006/relationships",
    "xdr": "http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing",
}

SINGLE = ["ee__annotation", "ee__byName", "ee__composite", "ee__horizontal", "ee__list", "ee__simple",
          "ee__template", "poi__50299", "poi__60384"]
DOUBLE = ["cxr__4", "cxr__SpreadReportTemplate", "cxr__Subranges_WithSubtotals_tMD2", "cxr__tPivot5_Static"]
CHARTS = ["poi__WithThreeCharts", "phpss__32readwriteChartWithImages1"]


def png(colour="blue", size=(40, 30)):
    stream = io.BytesIO()
    PILImage.new("RGB", size, colour).save(stream, "PNG")
    stream.seek(0)
    return stream


class Values(dict):
    """Every name the template uses evaluates to a text that names it."""

    def __missing__(self, name):
        return f"V_{name}"


FRAME = pd.DataFrame({"label": ["F_first", "F_second"], "amount": [1.5, float("nan")],
                      "when": [dt.datetime(2024, 1, 2), pd.NaT]})


def whole_cell_names(path, pattern):
    """Placeholders that fill a whole cell and are plain names, in visiting order."""
    expression = r"\{([A-Za-z_]\w*)\}" if pattern == "{}" else r"\{\{([A-Za-z_]\w*)\}\}"
    wb = openpyxl.load_workbook(path)
    names = []
    for ws in wb.worksheets:
        for key in sorted(ws._cells):
            value = ws._cells[key].value
            match = re.fullmatch(expression, value) if isinstance(value, str) else None
            if match and match.group(1) not in names:
                names.append(match.group(1))
    return names


def soffice_convert(soffice, path, target, folder):
    profile = f"file:///tmp/lo-gridfill-{uuid.uuid4().hex}"
    try:
        done = subprocess.run(
            [soffice, f"-env:UserInstallation={profile}", "--headless", "--convert-to", target,
             "--outdir", str(folder), str(path)],
            capture_output=True, text=True, timeout=240)
    finally:
        shutil.rmtree(profile[len("file://"):], ignore_errors=True)
    assert done.returncode == 0, done.stderr


def csv_text(soffice, path, folder):
    # Token 12 of the filter options asks for every sheet, one file each.
    soffice_convert(soffice, path, "csv:Text - txt - csv (StarCalc):44,34,76,1,,0,false,true,false,false,false,-1",
                    folder)
    texts = []
    for name in sorted(glob.glob(os.path.join(folder, "*.csv"))):
        with open(name, newline="", encoding="utf-8") as f:
            texts.extend(cell for row in csv.reader(f) for cell in row)
    return "\n".join(texts)


def placed_tokens(path):
    wb = openpyxl.load_workbook(path)
    tokens = set()
    for ws in wb.worksheets:
        for cell in ws._cells.values():
            if isinstance(cell.value, str):
                tokens.update(re.findall(r"[VF]_\w+", cell.value))
    return tokens


def at_least(result, original):
    """Every drawing of the template is still there, sheet by sheet."""
    return all(result.get(sheet, Counter())[kind] >= count
               for sheet, counts in original.items() for kind, count in counts.items())


def sheet_drawing_anchors(path, sheet_name):
    """(column, row) of each picture anchor in the drawings of a sheet, 0-based, and the chart count."""
    with zipfile.ZipFile(path) as z:
        names = set(z.namelist())
        workbook = etree.fromstring(z.read("xl/workbook.xml"))
        rels = etree.fromstring(z.read("xl/_rels/workbook.xml.rels"))
        targets = {r.get("Id"): r.get("Target") for r in rels.findall("rel:Relationship", NS)}
        sheet = next(s for s in workbook.iterfind("main:sheets/main:sheet", NS) if s.get("name") == sheet_name)
        part = "xl/" + targets[sheet.get(f"{{{NS['r']}}}id")].lstrip("/").removeprefix("xl/")
        folder, base = part.rsplit("/", 1)
        sheet_rels = etree.fromstring(z.read(f"{folder}/_rels/{base}.rels"))
        root = etree.fromstring(z.read(part))
        pictures, charts = [], 0
        for drawing in root.iterfind("main:drawing", NS):
            target = next(r.get("Target") for r in sheet_rels.findall("rel:Relationship", NS)
                          if r.get("Id") == drawing.get(f"{{{NS['r']}}}id"))
            if target.startswith("/"):
                drawing_part = target[1:]
            else:
                drawing_part = os.path.normpath(os.path.join(folder, target)).replace(os.sep, "/")
            assert drawing_part in names
            tree = etree.fromstring(z.read(drawing_part))
            for anchor in tree:
                if anchor.find(".//xdr:pic", NS) is not None:
                    start = anchor.find("xdr:from", NS)
                    pictures.append((int(start.findtext("xdr:col", namespaces=NS)),
                                     int(start.findtext("xdr:row", namespaces=NS))))
                charts += len(anchor.findall(".//{http://schemas.openxmlformats.org/drawingml/2006/chart}chart"))
        return pictures, charts


def drawing_rels_parts(z, sheet_rels_part):
    """Relationships parts of the drawings that one worksheet relationships part points at."""
    rels = etree.fromstring(z.read(sheet_rels_part))
    for rel in rels.findall("rel:Relationship", NS):
        if rel.get("Type", "").endswith("/drawing"):
            base = rel.get("Target").rsplit("/", 1)[-1]
            part = f"xl/drawings/_rels/{base}.rels"
            if part in z.namelist():
                yield part


def with_text_cell(src, dst, sheet_part, row, text):
    """Copies a package, adding an inline text cell in column A of a new last row of one sheet."""

    def add(root):
        sheet_data = root.find("main:sheetData", NS)
        last = max((int(r.get("r")) for r in sheet_data.iterfind("main:row", NS)), default=0)
        assert row > last
        new_row = etree.SubElement(sheet_data, f"{{{NS['main']}}}row", r=str(row))
        ooxml_check.set_inline_text(etree.SubElement(new_row, f"{{{NS['main']}}}c", r=f"A{row}"), text)

    ooxml_check.rewrite_part(src, dst, sheet_part, add)


@pytest.mark.libreoffice
@pytest.mark.filterwarnings("ignore::tessel.OverwriteWarning")
@pytest.mark.parametrize("name, pattern", [(n, "{}") for n in SINGLE] + [(n, "{{}}") for n in DOUBLE],
                         ids=SINGLE + DOUBLE)
def test_corpus_template(data_dir, tmp_path, soffice, name, pattern):
    template_path = os.path.join(data_dir, "xlsx", f"{name}.xlsx")
    out = str(tmp_path / "out.xlsx")
    names = whole_cell_names(template_path, pattern)
    env = Values()
    # The picture takes the first name, so that no frame can cover its cell.
    if names:
        env[names[0]] = png()
    if len(names) > 1:
        env[names[1]] = FRAME
    GridFill(pattern)(template_path, out, env)

    assert ooxml_check.check_package(out) == []
    before = ooxml_check.drawing_inventory(template_path)
    after = ooxml_check.drawing_inventory(out)
    assert at_least(after, before), (before, after)
    if names:
        assert sum(sum(c.values()) for c in after.values()) > sum(sum(c.values()) for c in before.values())

    soffice_convert(soffice, out, "pdf", tmp_path)
    assert (tmp_path / "out.pdf").stat().st_size > 0
    tokens = placed_tokens(out)
    if len(names) > 1:
        assert "F_first" in tokens
    text = csv_text(soffice, out, tmp_path)
    assert sorted(t for t in tokens if t not in text) == []


@pytest.mark.libreoffice
@pytest.mark.parametrize("name", CHARTS)
def test_picture_on_a_sheet_with_a_chart(data_dir, tmp_path, soffice, name):
    source = os.path.join(data_dir, "xlsx", f"{name}.xlsx")
    with zipfile.ZipFile(source) as z:
        sheet_part = next(n for n in sorted(z.namelist())
                          if re.fullmatch(r"xl/worksheets/_rels/sheet\d+\.xml\.rels", n)
                          and any(b"/charts/" in z.read(d) for d in drawing_rels_parts(z, n))
                          ).replace("_rels/", "").removesuffix(".rels")
    template_path = str(tmp_path / "template.xlsx")
    with_text_cell(source, template_path, sheet_part, 60, "{logo}")
    wb = openpyxl.load_workbook(template_path)
    sheet = next(ws.title for ws in wb.worksheets if ws["A60"].value == "{logo}")
    pictures_before, charts_before = sheet_drawing_anchors(template_path, sheet)
    assert charts_before > 0

    out = str(tmp_path / "out.xlsx")
    assert GridFill()(template_path, out, {"logo": png()}) == []

    assert ooxml_check.check_package(out) == []
    assert at_least(ooxml_check.drawing_inventory(out), ooxml_check.drawing_inventory(template_path))
    pictures, charts = sheet_drawing_anchors(out, sheet)
    assert charts == charts_before
    assert Counter(pictures) - Counter(pictures_before) == Counter({(0, 59): 1})
    soffice_convert(soffice, out, "pdf", tmp_path)
    assert (tmp_path / "out.pdf").stat().st_size > 0


def test_pictures_on_several_sheets_survive_restoration(tmp_path):
    wb = openpyxl.Workbook()
    wb.active.title = "One"
    wb["One"]["B3"] = "{logo}"
    wb.create_sheet("Two")["D2"] = "{logo}"
    wb["Two"]["A1"] = "{df}"
    template_path = str(tmp_path / "template.xlsx")
    wb.save(template_path)
    out = str(tmp_path / "out.xlsx")
    assert GridFill()(template_path, out, {"logo": png(), "df": pd.DataFrame([[1]])}) == []
    assert ooxml_check.check_package(out) == []
    assert sheet_drawing_anchors(out, "One")[0] == [(1, 2)]
    assert sheet_drawing_anchors(out, "Two")[0] == [(3, 1)]
