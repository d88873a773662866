"""Restoration on crafted but readable packages: long relationship chains, tag
text hidden in comments, packages without their own relationships, ids and
sizes at the edge of their types."""

import io
import os
import re
import zipfile

import openpyxl
import pytest
from lxml import etree
from PIL import Image as PILImage

from ooxml_check import check_package, drawing_inventory
from tessel.gridfill import GridFill, restore_save
from test_restore import fill, load_quietly, rewrite_zip

REL_NS = "http://schemas.openxmlformats.org/package/2006/relationships"
REL_IMAGE = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/image"
XDR_NS = "http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing"


def rels(*targets):
    body = "".join(f'<Relationship Id="rChain{n}" Type="{REL_IMAGE}" Target="{t}"/>' for n, t in enumerate(targets))
    return f'<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="{REL_NS}">{body}</Relationships>'.encode()


def with_drawing_rels(template, out, extra):
    """The template with relationships added to its first drawing."""
    with zipfile.ZipFile(template) as z:
        name = "xl/drawings/_rels/drawing1.xml.rels"
        root = etree.fromstring(z.read(name))
    for rel in etree.fromstring(rels(*extra)):
        root.append(rel)
    return name, etree.tostring(root, xml_declaration=True, encoding="UTF-8")


def with_text(sheet_xml, cell, text):
    """A sheet part whose empty cell data becomes one inline text cell."""
    row = re.sub(r"\D", "", cell)
    rows = f'<sheetData><row r="{row}"><c r="{cell}" t="inlineStr"><is><t>{text}</t></is></c></row></sheetData>'
    assert sheet_xml.count("<sheetData/>") == 1
    return sheet_xml.replace("<sheetData/>", rows, 1)


def test_a_relationship_chain_thousands_of_parts_deep_is_copied_whole(data_dir, tmp_path):
    template = os.path.join(data_dir, "xlsx", "poi__WithDrawing.xlsx")
    depth = 3000
    name, drawing_rels = with_drawing_rels(template, tmp_path, ["chain0.xml"])
    parts = {name: drawing_rels}
    for n in range(depth):
        parts[f"xl/drawings/chain{n}.xml"] = b"<chain/>"
        if n + 1 < depth:
            parts[f"xl/drawings/_rels/chain{n}.xml.rels"] = rels(f"chain{n + 1}.xml")
    crafted, saved = str(tmp_path / "chain.xlsx"), str(tmp_path / "out.xlsx")
    rewrite_zip(template, crafted, replace=parts)
    fill(crafted, saved)
    restore_save(crafted, saved)
    with zipfile.ZipFile(saved) as z:
        names = set(z.namelist())
        # Follow the chain from the restored drawing to its end.
        drawing = next(n for n in names if re.fullmatch(r"xl/drawings/drawing\d+\.xml", n))
        part, seen = drawing, 0
        while True:
            rels_name = f"{os.path.dirname(part)}/_rels/{os.path.basename(part)}.rels"
            if rels_name not in names:
                break
            targets = [r.get("Target") for r in etree.fromstring(z.read(rels_name)) if r.get("Id", "").startswith("rChain")]
            if not targets:
                break
            part = os.path.normpath(os.path.join(os.path.dirname(part), targets[0]))
            assert part in names
            seen += 1
    assert seen == depth
    assert drawing_inventory(saved) == drawing_inventory(template)


# Tag text that is not markup, in the template sheet after its cell data.
NOT_MARKUP = [
    pytest.param("<!-- </sheetData> -->", id="comment"),
    pytest.param("<?note </sheetData>?>", id="processing-instruction"),
    pytest.param("<!-- <sheetData> --><!-- </sheetData><sheetData/> -->", id="comments-with-both-tags"),
]


@pytest.mark.parametrize("where", ["</sheetData>", "</worksheet>"])
@pytest.mark.parametrize("hidden", NOT_MARKUP)
def test_tag_text_in_comments_is_not_taken_for_the_cell_data(data_dir, tmp_path, hidden, where):
    good = os.path.join(data_dir, "xlsx", "poi__WithDrawing.xlsx")
    with zipfile.ZipFile(good) as z:
        sheet = z.read("xl/worksheets/sheet1.xml").decode()
    sheet = with_text(sheet, "A1", "kept")
    sheet = sheet.replace(where, hidden + where if where == "</worksheet>" else where + hidden, 1)
    template, saved = str(tmp_path / "template.xlsx"), str(tmp_path / "out.xlsx")
    rewrite_zip(good, template, replace={"xl/worksheets/sheet1.xml": sheet.encode()})
    fill(template, saved)
    restore_save(template, saved)
    check_package(saved)
    assert drawing_inventory(saved) == drawing_inventory(good)
    assert load_quietly(saved)["Sheet1"]["A1"].value == "kept"


def test_a_package_without_its_own_relationships_keeps_its_drawings(data_dir, tmp_path):
    template = os.path.join(data_dir, "xlsx", "poi__WithDrawing.xlsx")
    saved, crafted = str(tmp_path / "out.xlsx"), str(tmp_path / "norels.xlsx")
    fill(template, saved)
    rewrite_zip(saved, crafted, rename=[("_rels/.rels", "_rels/elsewhere.rels")])
    restore_save(template, crafted)
    with zipfile.ZipFile(crafted) as z:
        names = z.namelist()
    assert any(n.startswith("xl/media/") for n in names)
    assert drawing_inventory(crafted) == drawing_inventory(template)


def png(width, height):
    out = io.BytesIO()
    PILImage.new("RGB", (width, height), (20, 90, 160)).save(out, "PNG")
    out.seek(0)
    return out


@pytest.mark.filterwarnings("ignore::UserWarning")  # what openpyxl says it drops
@pytest.mark.parametrize("taken", ["4294967295", "9223372036854775807", "99999999999999999999", "-1", "x"])
def test_a_new_picture_gets_a_shape_id_within_unsigned_int(data_dir, tmp_path, taken):
    good = os.path.join(data_dir, "xlsx", "poi__WithDrawing.xlsx")
    with zipfile.ZipFile(good) as z:
        drawing = z.read("xl/drawings/drawing1.xml").decode()
        sheet = z.read("xl/worksheets/sheet1.xml").decode()
    drawing, found = re.subn(r'(<xdr:cNvPr id=")\d+', lambda m: m.group(1) + taken, drawing, count=1)
    assert found
    template, saved = str(tmp_path / "template.xlsx"), str(tmp_path / "out.xlsx")
    rewrite_zip(good, template, replace={"xl/drawings/drawing1.xml": drawing.encode(),
                                         "xl/worksheets/sheet1.xml": with_text(sheet, "H40", "{logo}").encode()})
    assert GridFill()(template, saved, {"logo": png(30, 20)}) == []
    with zipfile.ZipFile(saved) as z:
        drawings = [n for n in z.namelist() if re.fullmatch(r"xl/drawings/drawing\d+\.xml", n)]
        ids = [p.get("id") for n in drawings for p in etree.fromstring(z.read(n)).iter(f"{{{XDR_NS}}}cNvPr")]
    numeric = [int(i) for i in ids if re.fullmatch(r"\d+", i) and int(i) <= 4294967295]
    assert len(numeric) == len(set(numeric))
    assert all(re.fullmatch(r"\d+", i) and 1 <= int(i) <= 4294967295 for i in ids if i != taken)
    assert drawing_inventory(saved)["Sheet1"]["pictures"] == drawing_inventory(good)["Sheet1"]["pictures"] + 1


@pytest.mark.parametrize("paper", [10**29, 2**63, 2**31 + 9])
def test_a_paper_size_of_no_paper_fits_pictures_to_the_default_page(tmp_path, paper):
    template, saved = str(tmp_path / "t.xlsx"), str(tmp_path / "out.xlsx")
    wb = openpyxl.Workbook()
    wb.active["A1"] = "{logo}"
    wb.active.page_setup.paperSize = 9
    wb.save(template)
    with zipfile.ZipFile(template) as z:
        sheet = z.read("xl/worksheets/sheet1.xml").replace(b'paperSize="9"', f'paperSize="{paper}"'.encode())
    rewrite_zip(template, template + ".x", replace={"xl/worksheets/sheet1.xml": sheet})
    os.replace(template + ".x", template)
    assert GridFill()(template, saved, {"logo": png(3000, 300)}) == []
    with zipfile.ZipFile(saved) as z:
        drawing = etree.fromstring(z.read("xl/drawings/drawing1.xml"))
    ext = next(drawing.iter("{http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing}ext"))
    width_px = int(ext.get("cx")) / 9525
    assert 500 < width_px < 800  # A4 less its margins, not the picture's 3000 px
