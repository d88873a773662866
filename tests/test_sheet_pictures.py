"""Pictures a fill placed, written into the template package itself: new or merged
drawing parts, media, relationships and content types, and the sheet's <drawing>."""

import collections
import io
import os
import re
import subprocess
import zipfile

import openpyxl
import pytest
import xlsxwriter
from lxml import etree
from openpyxl.drawing.image import Image as OpenpyxlImage
from openpyxl.utils.units import pixels_to_EMU
from PIL import Image

from ooxml_check import CT_NS, R_NS, RELS_NS, XDR_NS, check_package, drawing_inventory
from tessel.gridfill import _add_pictures, _with_drawing_element

R_DECL = f'xmlns:r="{R_NS}"'
SHEET1, SHEET2 = "xl/worksheets/sheet1.xml", "xl/worksheets/sheet2.xml"


def picture(size=(40, 30), color="red", fmt="PNG"):
    out = io.BytesIO()
    Image.new("RGB", size, color).save(out, fmt)
    return out.getvalue()


def template(folder, with_picture=False, edits=(), add=()):
    """Two sheets written by xlsxwriter; `edits` change parts' bytes, `add` adds parts."""
    written = io.BytesIO()
    wb = xlsxwriter.Workbook(written, {"in_memory": True})
    one = wb.add_worksheet("One")
    wb.add_worksheet("Two").write("A1", 2)
    if with_picture:
        one.insert_image("E5", "own.png", {"image_data": io.BytesIO(picture((10, 10), "blue"))})
    wb.close()
    path = folder / "t.xlsx"
    with zipfile.ZipFile(written) as zin, zipfile.ZipFile(path, "w") as zout:
        for name in zin.namelist():
            zout.writestr(name, dict(edits).get(name, lambda d: d)(zin.read(name)))
        for name, data in add:
            zout.writestr(name, data)
    return str(path)


def parts(path):
    with zipfile.ZipFile(path) as zf:
        return {name: zf.read(name) for name in zf.namelist()}


def rels_of(pkg, part):
    folder, name = part.rsplit("/", 1)
    root = etree.fromstring(pkg.get(f"{folder}/_rels/{name}.rels", b"<r/>"))
    return {r.get("Id"): os.path.normpath(os.path.join(folder, r.get("Target"))).lstrip("/")
            for r in root.iter(f"{{{RELS_NS}}}Relationship")}


def drawing_of(pkg, sheet_part):
    return next(t for t in rels_of(pkg, sheet_part).values() if "/drawings/" in t)


def shape_ids(drawing):
    return [el.get("id") for el in etree.fromstring(drawing).iter(f"{{{XDR_NS}}}cNvPr")]


def assert_clean(path):
    """check_package, and drawings whose shape ids are unique and whose r: ids resolve."""
    assert check_package(path) == []
    pkg = parts(path)
    for name in (n for n in pkg if re.fullmatch(r"xl/drawings/[^/]+\.xml", n)):
        ids = shape_ids(pkg[name])
        assert len(ids) == len(set(ids)), name
        named = etree.fromstring(pkg[name]).xpath("//@r:*", namespaces={"r": R_NS})
        assert set(named) <= set(rels_of(pkg, name)), name


def shape(el):
    """An element as nested tuples, without the ids a package numbers for itself."""
    attrib = {k: v for k, v in el.attrib.items() if k not in ("id", f"{{{R_NS}}}embed")}
    return el.tag, sorted(attrib.items()), (el.text or "").strip(), [shape(c) for c in el]


@pytest.mark.parametrize("fmt, extension, content_type", [
    ("PNG", "png", "image/png"),
    ("JPEG", "jpeg", "image/jpeg"),
    ("GIF", "gif", "image/gif"),
    ("BMP", "png", "image/png"),  # openpyxl stores other formats as PNG
])
def test_sheet_without_drawing_gains_one_as_openpyxl_writes_it(tmp_path, fmt, extension, content_type):
    src, out, data = template(tmp_path), str(tmp_path / "o.xlsx"), picture(fmt=fmt)
    rid = _add_pictures(src, out, SHEET1, [(data, "B3")])
    assert_clean(out)
    pkg = parts(out)
    assert pkg[SHEET1].decode().endswith(f'<drawing r:id="{rid}"/></worksheet>')
    assert pkg[SHEET2] == parts(src)[SHEET2]
    media = [n for n in pkg if n.startswith("xl/media/")]
    assert media == [f"xl/media/image1.{extension}"]
    assert Image.open(io.BytesIO(pkg[media[0]])).format.lower() == extension
    types = etree.fromstring(pkg["[Content_Types].xml"]).iter(f"{{{CT_NS}}}Default")
    assert {d.get("Extension"): d.get("ContentType") for d in types}[extension] == content_type

    # the anchor openpyxl's own saving writes for the same picture
    wb = openpyxl.load_workbook(src)
    wb["One"].add_image(OpenpyxlImage(io.BytesIO(data)), "B3")
    saved = io.BytesIO()
    wb.save(saved)
    theirs = etree.fromstring(parts(saved)[drawing_of(parts(saved), SHEET1)])
    assert shape(etree.fromstring(pkg[drawing_of(pkg, SHEET1)])[0]) == shape(theirs[0])

    (image,) = openpyxl.load_workbook(out)["One"]._images
    assert (image.anchor._from.col, image.anchor._from.row) == (1, 2)
    assert (image.anchor.ext.width, image.anchor.ext.height) == (pixels_to_EMU(40), pixels_to_EMU(30))


@pytest.mark.libreoffice
def test_libreoffice_shows_the_added_picture(tmp_path, soffice):
    out = tmp_path / "o.xlsx"
    _add_pictures(template(tmp_path), str(out), SHEET1, [(picture((200, 100)), "B3")])
    subprocess.run([soffice, f"-env:UserInstallation={(tmp_path / 'profile').as_uri()}", "--headless",
                    "--convert-to", "pdf", "--outdir", str(tmp_path), str(out)],
                   check=True, capture_output=True, timeout=180)
    assert re.search(rb"/Subtype\s*/Image", (tmp_path / "o.pdf").read_bytes())


@pytest.mark.parametrize("name, sheet", [
    ("poi__WithThreeCharts.xlsx", "Sheet2"),
    ("phpss__32readwriteChartWithImages1.xlsx", "Charts"),  # holds image1.png and image2.jpg already
])
def test_existing_drawing_keeps_its_objects_and_gains_the_pictures(tmp_path, data_dir, name, sheet):
    src, out = os.path.join(data_dir, "xlsx", name), str(tmp_path / "o.xlsx")
    assert _add_pictures(src, out, SHEET2, [(picture(), "B3"), (picture(color="green"), "H9")]) is None
    assert_clean(out)
    before, after = parts(src), parts(out)
    assert after[SHEET2] == before[SHEET2]
    assert all(after[n] == d for n, d in before.items() if n.startswith(("xl/media/", "xl/charts/")))
    drawing = drawing_of(after, SHEET2)
    embeds = etree.fromstring(after[drawing]).xpath("//@r:embed", namespaces={"r": R_NS})[-2:]
    new_media = [n for n in after if n.startswith("xl/media/") and n not in before]
    assert sorted(rels_of(after, drawing)[e] for e in embeds) == sorted(new_media) and len(new_media) == 2
    old_ids = shape_ids(before[drawing])
    assert shape_ids(after[drawing])[: len(old_ids)] == old_ids
    expected = drawing_inventory(src)
    expected[sheet] += collections.Counter(pictures=2)
    assert drawing_inventory(out) == expected


def test_pictures_on_two_sheets_get_their_own_drawings_and_media(tmp_path):
    src, step, out = template(tmp_path, with_picture=True), str(tmp_path / "s.xlsx"), str(tmp_path / "o.xlsx")
    assert _add_pictures(src, step, SHEET2, [(picture(), "C4")])
    assert _add_pictures(step, out, SHEET1, [(picture(color="green"), "A1")]) is None
    assert_clean(out)
    pkg = parts(out)
    assert [drawing_of(pkg, SHEET1), drawing_of(pkg, SHEET2)] == ["xl/drawings/drawing1.xml",
                                                                  "xl/drawings/drawing2.xml"]
    assert sorted(n for n in pkg if n.startswith("xl/media/")) == [
        "xl/media/image1.png", "xl/media/image2.png", "xl/media/image3.png"]
    assert pkg["xl/media/image1.png"] == parts(src)["xl/media/image1.png"]
    wb = openpyxl.load_workbook(out)
    assert [len(wb["One"]._images), len(wb["Two"]._images)] == [2, 1]


@pytest.mark.parametrize("colors, media", [
    (["red", "green"], 2),
    (["red", "red", "red"], 1),  # one picture placed thrice is stored once
])
def test_several_pictures_on_one_sheet(tmp_path, colors, media):
    cells = ["B3", "D8", "F2"][: len(colors)]
    out = str(tmp_path / "o.xlsx")
    _add_pictures(template(tmp_path), out, SHEET2, [(picture(color=c), at) for c, at in zip(colors, cells)])
    assert_clean(out)
    pkg = parts(out)
    assert shape_ids(pkg[drawing_of(pkg, SHEET2)]) == [str(n) for n in range(1, len(colors) + 1)]
    assert len([n for n in pkg if n.startswith("xl/media/")]) == media
    images = openpyxl.load_workbook(out)["Two"]._images
    assert sorted(i.anchor._from.row for i in images) == sorted(int(at[1:]) - 1 for at in cells)


@pytest.mark.parametrize("edits, add", [
    # parts named as the new ones would be, but for their case
    ((), (("xl/media/IMAGE1.PNG", b"x"), ("xl/drawings/Drawing1.xml", b"<x/>"))),
    # names the content types still declare for parts the package lacks
    ((("[Content_Types].xml", lambda d: d.replace(b"</Types>", (
        b'<Override PartName="/xl/media/image1.png" ContentType="image/gif"/>'
        b'<Override PartName="/xl/drawings/drawing1.xml" ContentType="application/xml"/></Types>'))),), ()),
])
def test_new_parts_take_names_nothing_claims(tmp_path, edits, add):
    out = str(tmp_path / "o.xlsx")
    _add_pictures(template(tmp_path, edits=edits, add=add), out, SHEET1, [(picture(), "B3")])
    pkg = parts(out)
    assert drawing_of(pkg, SHEET1) == "xl/drawings/drawing2.xml"
    assert "xl/media/image2.png" in pkg and "xl/media/image1.png" not in pkg
    assert all(pkg[name] == data for name, data in add)


@pytest.mark.parametrize("declare_r", [True, False])
def test_prefixed_worksheet_gets_a_prefixed_drawing_element(tmp_path, declare_r):
    def prefixed(data):
        text = re.sub(r"<(/?)([A-Za-z]\w*)(?=[\s/>])", r"<\1x:\2", data.decode()).replace('xmlns="', 'xmlns:x="')
        return (text if declare_r else text.replace(f" {R_DECL}", "")).encode()

    out = str(tmp_path / "o.xlsx")
    rid = _add_pictures(template(tmp_path, edits=[(SHEET1, prefixed)]), out, SHEET1, [(picture(), "B3")])
    assert_clean(out)
    element = f'<x:drawing r:id="{rid}"/>' if declare_r else f'<x:drawing {R_DECL} r:id="{rid}"/>'
    assert parts(out)[SHEET1].decode().endswith(element + "</x:worksheet>")
    assert len(openpyxl.load_workbook(out)["One"]._images) == 1


MC = 'xmlns:mc="http://schemas.openxmlformats.org/markup-compatibility/2006"'
D, DD = '<drawing r:id="rId9"/>', f'<drawing {R_DECL} r:id="rId9"/>'


@pytest.mark.parametrize("tail, expected", [
    ("<pageMargins/></worksheet>", f"<pageMargins/>{DD}</worksheet>"),
    ("<headerFooter><oddHeader>a</oddHeader></headerFooter><rowBreaks/><ignoredErrors/></worksheet>",
     f"<headerFooter><oddHeader>a</oddHeader></headerFooter><rowBreaks/><ignoredErrors/>{DD}</worksheet>"),
    ('<pageSetup/><legacyDrawing r:id="rId1"/></worksheet>', f'<pageSetup/>{D}<legacyDrawing r:id="rId1"/></worksheet>'),
    ('<tableParts><tablePart r:id="rId2"/></tableParts><extLst/></worksheet>',
     f'{D}<tableParts><tablePart r:id="rId2"/></tableParts><extLst/></worksheet>'),
    ("<pageMargins/>\n  <extLst><ext uri='u'/></extLst>\n</worksheet>",
     f"<pageMargins/>\n  {DD}<extLst><ext uri='u'/></extLst>\n</worksheet>"),
    # a wrapper counts as what it wraps
    (f'<mc:AlternateContent {MC}><mc:Choice Requires="x"><controls/></mc:Choice></mc:AlternateContent></worksheet>',
     f'{DD}<mc:AlternateContent {MC}><mc:Choice Requires="x"><controls/></mc:Choice></mc:AlternateContent></worksheet>'),
    (f"<mc:AlternateContent {MC}><mc:Choice Requires='x'><ignoredErrors/></mc:Choice></mc:AlternateContent>"
     "<tableParts/></worksheet>",
     f"<mc:AlternateContent {MC}><mc:Choice Requires='x'><ignoredErrors/></mc:Choice></mc:AlternateContent>"
     f"{DD}<tableParts/></worksheet>"),
    # tag text in a comment is no element
    ("<!-- <tableParts/> --><pageMargins/></worksheet>", f"<!-- <tableParts/> --><pageMargins/>{DD}</worksheet>"),
    # a drawing element that names no drawing part gives way to the new one
    ('<drawing r:id="rId4"/><legacyDrawing r:id="rId1"/></worksheet>', f'{D}<legacyDrawing r:id="rId1"/></worksheet>'),
    # r bound on one element of the tail says nothing of the worksheet's own
    (f'<legacyDrawing {R_DECL} r:id="rId1"/></worksheet>', f'{DD}<legacyDrawing {R_DECL} r:id="rId1"/></worksheet>'),
])
def test_drawing_element_goes_where_the_schema_orders_it(tail, expected):
    assert _with_drawing_element(tail, "rId9", "") == expected


def test_unclosed_worksheet_is_refused():
    with pytest.raises(ValueError):
        _with_drawing_element("<pageMargins/>", "rId1", "")
