"""The package checker must catch each fault a broken restoration produces."""

import io
import re
import xml.etree.ElementTree as ET
import zipfile

import openpyxl
import pytest
from openpyxl.comments import Comment
from openpyxl.drawing.image import Image
from PIL import Image as PILImage

from ooxml_check import check_package, drawing_inventory


@pytest.fixture
def clean(tmp_path):
    picture = io.BytesIO()
    PILImage.new("RGB", (8, 8), (9, 9, 9)).save(picture, "PNG")
    wb = openpyxl.Workbook()
    ws = wb.active
    ws["A1"] = "x"
    ws["A1"].comment = Comment("c", "me")
    ws.merge_cells("B2:C3")
    ws.add_image(Image(picture), "D4")
    path = tmp_path / "clean.xlsx"
    wb.save(path)
    return path


def edit(path, out, part, change):
    with zipfile.ZipFile(path) as zin, zipfile.ZipFile(out, "w") as zout:
        for info in zin.infolist():
            data = zin.read(info)
            zout.writestr(info.filename, change(data) if info.filename == part else data)
        if part not in zin.namelist():
            zout.writestr(part, change(b""))


def ns0_content_types(data):
    # What xml.etree.ElementTree writes when no prefix is registered.
    return ET.tostring(ET.fromstring(data), encoding="UTF-8", xml_declaration=True)


FAULTS = [
    pytest.param("xl/worksheets/_rels/sheet1.xml.rels",
                 lambda d: d.replace(b"</Relationships>", b'<Relationship Id="rIdX" Type="t" Target="../x/gone.xml"/></Relationships>'),
                 "missing part", id="dangling-target"),
    pytest.param("xl/media/extra.xyz", lambda d: b"?", "no content type", id="untyped-part"),
    pytest.param("xl/_rels/workbook.xml.rels",
                 lambda d: re.sub(rb"(<Relationship [^>]*/>)", rb"\1\1", d, count=1), "used 2 times", id="duplicate-id"),
    pytest.param("xl/worksheets/sheet1.xml",
                 lambda d: re.sub(rb'(<drawing [^>]*r:id=")[^"]*', rb"\1rId99", d), "unknown relationship", id="unresolved-r-id"),
    pytest.param("xl/styles.xml", lambda d: b"<styleSheet>", "not well-formed", id="broken-xml"),
    pytest.param("xl/worksheets/sheet1.xml",
                 lambda d: re.sub(rb"(<sheetData>.*</sheetData>)(.*)(<drawing [^>]*/>)", rb"\3\1\2", d, flags=re.S),
                 "out of schema order", id="drawing-before-sheetData"),
    pytest.param("[Content_Types].xml", ns0_content_types, "generated namespace prefix", id="ns0-prefix"),
    pytest.param("xl/worksheets/sheet1.xml",
                 lambda d: d.replace(b"<drawing ", b'<mc:AlternateContent xmlns:mc="http://schemas.openxmlformats.org/'
                                                  b'markup-compatibility/2006"><mc:Choice Requires="x14"/>'
                                                  b"</mc:AlternateContent><drawing "),
                 "not declared", id="undeclared-requires-prefix"),
]


def test_clean_package_has_no_findings(clean):
    assert check_package(clean) == []


@pytest.mark.parametrize("part, change, finding", FAULTS)
def test_checker_reports_fault(clean, tmp_path, part, change, finding):
    broken = tmp_path / "broken.xlsx"
    edit(clean, broken, part, change)
    problems = check_package(broken)
    assert any(finding in p for p in problems), problems


def test_inventory_counts_per_sheet_name(clean, data_dir):
    assert drawing_inventory(clean) == {"Sheet": {"comments": 1, "pictures": 1}}
    inventory = drawing_inventory(f"{data_dir}/xlsx/phpss__formscomments.xlsx")
    assert inventory["Forms"] == {"shapes": 3, "controls": 3}
    assert inventory["NoFormNoComment"] == {}
