"""Pictures as workbook values: template pictures whose alternative text is a
placeholder, filled at the size of their box, and Pictures and figures alone in a cell."""

import io
import os
import re
import subprocess
import zipfile
from types import SimpleNamespace

import matplotlib
import openpyxl
import pandas as pd
import pytest
import xlsxwriter
from lxml import etree
from openpyxl.drawing.image import Image as OpenpyxlImage
from openpyxl.drawing.spreadsheet_drawing import AbsoluteAnchor, AnchorMarker, OneCellAnchor
from openpyxl.drawing.xdr import XDRPoint2D, XDRPositiveSize2D
from PIL import Image

from ooxml_check import CT_NS, R_NS, RELS_NS, XDR_NS, check_package
from tessel import Picture
from tessel.gridfill import GridFill

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

A_NS = "http://schemas.openxmlformats.org/drawingml/2006/main"
EMU = 9525  # per pixel
NEEDS_NATIVE = "pictures by alternative text need engine='native'"
# The template's grid: column B is 30 characters wide (215 pixels), row 4 is 30
# points high (40 pixels); the rest keep Excel's 64 by 20 pixels.
COLUMNS, ROWS = {1: 215}, {3: 40}


def png(size, color="red", fmt="PNG"):
    out = io.BytesIO()
    Image.new("RGB", size, color).save(out, fmt)
    return out


def parts(path):
    with zipfile.ZipFile(path) as zf:
        return {name: zf.read(name) for name in zf.namelist()}


def drawing_parts(pkg):
    return sorted(n for n in pkg if re.fullmatch(r"xl/drawings/drawing\d+\.xml", n))


def rels_of(pkg, part):
    folder, name = part.rsplit("/", 1)
    root = etree.fromstring(pkg.get(f"{folder}/_rels/{name}.rels", b"<r/>"))
    return {r.get("Id"): os.path.normpath(os.path.join(folder, r.get("Target")))
            for r in root.iter(f"{{{RELS_NS}}}Relationship")}


def pictures(pkg, drawing):
    """Per picture of a drawing: its anchor kind, size in pixels, alt text and media part."""
    out = []
    for pic in etree.fromstring(pkg[drawing]).iter(f"{{{XDR_NS}}}pic"):
        anchor = pic.getparent()
        kind = etree.QName(anchor).localname
        if kind == "twoCellAnchor":
            def marker(name):
                m = anchor.find(f"{{{XDR_NS}}}{name}")
                return [int(m.find(f"{{{XDR_NS}}}{k}").text) for k in ("col", "colOff", "row", "rowOff")]
            (fc, fco, fr, fro), (tc, tco, tr, tro) = marker("from"), marker("to")
            # each offset lies within its cell
            assert tco <= COLUMNS.get(tc, 64) * EMU and tro <= ROWS.get(tr, 20) * EMU
            width = sum(COLUMNS.get(c, 64) * EMU for c in range(fc, tc)) - fco + tco
            height = sum(ROWS.get(r, 20) * EMU for r in range(fr, tr)) - fro + tro
        else:
            ext = anchor.find(f"{{{XDR_NS}}}ext")
            width, height = int(ext.get("cx")), int(ext.get("cy"))
        frame = pic.find(f"{{{XDR_NS}}}spPr/{{{A_NS}}}xfrm/{{{A_NS}}}ext")
        if frame is not None:
            assert (int(frame.get("cx")), int(frame.get("cy"))) == (width, height)
        blip = pic.find(f"{{{XDR_NS}}}blipFill/{{{A_NS}}}blip")
        out.append(SimpleNamespace(kind=kind, size=(width / EMU, height / EMU),
                                   descr=pic.find(f"{{{XDR_NS}}}nvPicPr/{{{XDR_NS}}}cNvPr").get("descr"),
                                   media=rels_of(pkg, drawing)[blip.get(f"{{{R_NS}}}embed")]))
    return out


def content_types(pkg):
    root = etree.fromstring(pkg["[Content_Types].xml"])
    return {d.get("Extension"): d.get("ContentType") for d in root.iter(f"{{{CT_NS}}}Default")}


def with_alt_text(path, descr):
    """openpyxl writes "Picture" as every picture's alternative text: this sets it."""
    pkg = parts(path)
    with zipfile.ZipFile(path, "w") as zf:
        for name, data in pkg.items():
            if name in drawing_parts(pkg):
                data = data.replace(b'descr="Picture"', f'descr="{descr}"'.encode())
            zf.writestr(name, data)
    return path


def template(folder, kind, descr="{logo}", size=(300, 90)):
    """A sheet with one picture of `size` pixels at B3, in an anchor of `kind`."""
    path = str(folder / f"{kind}.xlsx")
    if kind == "twoCellAnchor":
        wb = xlsxwriter.Workbook(path)
        ws = wb.add_worksheet("Sales")
        ws.set_column("B:B", 30)
        ws.set_row(3, 30)
        ws.write("A1", "{title}")
        ws.insert_image("B3", "logo.png", {"image_data": png(size, "blue"), "description": descr})
        wb.close()
        return path
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Sales"
    ws["A1"] = "{title}"
    image = OpenpyxlImage(png(size, "blue"))
    ext = XDRPositiveSize2D(size[0] * EMU, size[1] * EMU)
    if kind == "oneCellAnchor":
        image.anchor = OneCellAnchor(_from=AnchorMarker(col=1, row=2), ext=ext)
    else:
        image.anchor = AbsoluteAnchor(pos=XDRPoint2D(EMU * 64, EMU * 40), ext=ext)
    ws.add_image(image)
    wb.save(path)
    return with_alt_text(path, descr)


def fill(template_path, out, env, **options):
    failed = GridFill(**options)(template_path, str(out), env)
    assert check_package(str(out)) == []
    return failed


@pytest.mark.parametrize("kind", ["twoCellAnchor", "oneCellAnchor", "absoluteAnchor"])
@pytest.mark.parametrize("value, size", [
    (png((200, 100)), (180, 90)),                       # wider than the box: as wide as it
    (png((100, 200), fmt="JPEG"), (45, 90)),            # taller: as high
    (Picture(png((10, 10)).getvalue(), "4cm", "1cm"), (300, 75)),  # a Picture's own proportions
])
def test_a_picture_named_by_its_alt_text_fits_the_template_box(tmp_path, kind, value, size):
    src, out = template(tmp_path, kind), tmp_path / "out.xlsx"
    assert fill(src, out, {"title": "T", "logo": value}) == []
    before, after = parts(src), parts(out)
    (old,) = pictures(before, drawing_parts(before)[0])
    assert old.size == (300, 90) and old.descr == "{logo}"
    (new,) = pictures(after, drawing_parts(after)[0])
    assert (new.kind, new.size, new.descr) == (kind, pytest.approx(size, abs=0.01), None)
    assert old.media not in after  # nothing else showed it
    extension = new.media.rsplit(".", 1)[1]
    assert content_types(after)[extension] == f"image/{extension}"
    assert Image.open(io.BytesIO(after[new.media])).format == ("JPEG" if extension == "jpeg" else "PNG")


@pytest.mark.parametrize("make, words, safe", [
    (lambda: 3, "not int", False),
    (lambda: "logo.png", "not str", False),
    (lambda: io.BytesIO(b"no picture"), "no picture that Pillow can read", False),
    (lambda: plt.figure(), "not allowed in safe mode: name 'logo' (a 'matplotlib.figure.Figure' object)", True),
])
def test_a_value_that_is_no_picture_leaves_the_template_picture(tmp_path, make, words, safe):
    src, out = template(tmp_path, "twoCellAnchor"), tmp_path / "out.xlsx"
    value = make()
    failed = fill(src, out, {"title": "T", "logo": value}, safe=safe)
    if isinstance(value, plt.Figure):
        plt.close(value)
    assert failed == ["logo"]
    (finding,) = failed.details
    assert finding.place == "sheet Sales, picture 'Picture 1'" and words in finding.reason
    before, after = parts(src), parts(out)
    drawing = drawing_parts(before)[0]
    assert after[drawing] == before[drawing] and pictures(after, drawing)[0].descr == "{logo}"


@pytest.mark.parametrize("descr, listed", [
    ("{logo}", True),
    ("  {logo} ", True),
    ("Logo {logo}", False),  # only a placeholder alone names a picture
    ("{logo}{mark}", False),
    ("{for x in xs}", False),
    ("company logo", False),
])
@pytest.mark.parametrize("engine", ["native", "openpyxl"])
def test_check_lists_alt_text_placeholders_and_openpyxl_fails_them(tmp_path, descr, listed, engine):
    src = template(tmp_path, "twoCellAnchor", descr=descr)
    reason = None if engine == "native" else NEEDS_NATIVE
    expected = [("title", "sheet Sales, cell A1", None)]
    if listed:
        expected.append(("logo", "sheet Sales, picture 'Picture 1'", reason))
    found = GridFill(engine=engine).check(src, evaluate=False)
    assert [(f.placeholder, f.place, f.reason) for f in found] == expected
    if engine == "openpyxl":
        out = tmp_path / "out.xlsx"
        failed = GridFill(engine="openpyxl")(src, str(out), {"title": "T", "logo": png((20, 10))})
        assert [(f.placeholder, f.reason) for f in failed.details] == ([("logo", NEEDS_NATIVE)] if listed else [])


@pytest.mark.parametrize("safe", [False, True])
def test_each_copy_of_a_repeated_sheet_shows_its_own_picture(tmp_path, safe):
    path = str(tmp_path / "t.xlsx")
    wb = xlsxwriter.Workbook(path)
    ws = wb.add_worksheet("{c.name for c in customers}")
    ws.write("A1", "{c.name}")
    ws.set_column("B:B", 30)
    ws.set_row(3, 30)
    # the same picture twice: the template stores it once, and both show it
    for at, descr in (("B3", "{c.logo}"), ("F3", "")):
        ws.insert_image(at, "logo.png", {"image_data": png((100, 100), "blue"), "description": descr})
    wb.close()
    customers = [SimpleNamespace(name="A", logo=png((200, 100))), SimpleNamespace(name="B", logo=Picture(png((100, 200))))]
    out = tmp_path / "out.xlsx"
    assert fill(path, out, {"customers": customers}, safe=safe) == []
    pkg = parts(out)
    shown = [pictures(pkg, d) for d in drawing_parts(pkg)]
    assert [[p.size for p in d] for d in shown] == [[(100, 50), (100, 100)], [(50, 100), (100, 100)]]
    (kept,) = {d[1].media for d in shown}
    assert kept in pkg and len({d[0].media for d in shown} | {kept}) == 3


def test_replaced_picture_loses_its_crop_and_its_svg(tmp_path):
    src = template(tmp_path, "twoCellAnchor")
    pkg = parts(src)
    drawing = drawing_parts(pkg)[0]
    svg_rel = f'<Relationship Id="rId9" Type="{R_NS}/image" Target="../media/logo.svg"/></Relationships>'
    extension = (f'<a:extLst><a:ext uri="{{96DAC541-7B7A-43D3-8B79-37D633B846F1}}">'
                 f'<asvg:svgBlip xmlns:asvg="http://schemas.microsoft.com/office/drawing/2016/SVG/main" '
                 f'r:embed="rId9"/></a:ext></a:extLst></a:blip>')
    edits = {
        drawing: lambda d: re.sub(rb"<a:blip ([^>]*)/>", lambda m: b"<a:blip " + m.group(1) + b">"
                                  + extension.encode(), d).replace(b"<a:stretch>", b'<a:srcRect l="20000"/><a:stretch>'),
        drawing.replace("drawings/", "drawings/_rels/") + ".rels": lambda d: d.replace(b"</Relationships>",
                                                                                      svg_rel.encode()),
        "[Content_Types].xml": lambda d: d.replace(b"</Types>",
                                                   b'<Default Extension="svg" ContentType="image/svg+xml"/></Types>'),
    }
    with zipfile.ZipFile(src, "w") as zf:
        for name, data in pkg.items():
            zf.writestr(name, edits.get(name, lambda d: d)(data))
        zf.writestr("xl/media/logo.svg", b"<svg xmlns='http://www.w3.org/2000/svg'/>")
    out = tmp_path / "out.xlsx"
    assert fill(src, out, {"title": "T", "logo": png((20, 10))}) == []
    after = parts(out)
    assert "xl/media/logo.svg" not in after and b"srcRect" not in after[drawing] and b"svgBlip" not in after[drawing]
    assert list(rels_of(after, drawing).values()) == [pictures(after, drawing)[0].media]


def figure():
    fig = plt.figure(figsize=(2, 1), dpi=50)
    fig.add_subplot().plot([1, 3, 2])
    return fig


@pytest.mark.parametrize("engine", ["native", "openpyxl"])
@pytest.mark.parametrize("make, size", [
    (lambda: Picture(png((200, 100)), width="4cm"), (1440000, 720000)),
    (lambda: Picture(png((200, 100)), height="1in"), (1828800, 914400)),
    (lambda: Picture(png((200, 100)), "2cm", "3cm"), (720000, 1080000)),
    (lambda: Picture(png((3000, 100))), (649 * EMU, 22 * EMU)),  # as wide as the printed page
    (figure, (100 * EMU, 50 * EMU)),                              # drawn at its own dpi
    (lambda: png((200, 100)), (200 * EMU, 100 * EMU)),
])
def test_a_picture_alone_in_a_cell_takes_its_size(tmp_path, engine, make, size):
    wb = openpyxl.Workbook()
    wb.active["C4"] = "{chart}"
    src, out = str(tmp_path / "t.xlsx"), tmp_path / "out.xlsx"
    wb.save(src)
    value = make()
    assert fill(src, out, {"chart": value}, engine=engine) == []
    if isinstance(value, plt.Figure):
        plt.close(value)
    pkg = parts(out)
    anchor = etree.fromstring(pkg[drawing_parts(pkg)[0]])[0]
    assert etree.QName(anchor).localname == "oneCellAnchor"
    marker = anchor.find(f"{{{XDR_NS}}}from")
    assert (marker.find(f"{{{XDR_NS}}}col").text, marker.find(f"{{{XDR_NS}}}row").text) == ("2", "3")
    ext = anchor.find(f"{{{XDR_NS}}}ext")
    assert int(ext.get("cx")) == pytest.approx(size[0], abs=EMU)
    assert int(ext.get("cy")) == pytest.approx(size[1], abs=EMU)


@pytest.mark.libreoffice
def test_libreoffice_shows_the_filled_picture(tmp_path, soffice):
    out = tmp_path / "out.xlsx"
    assert fill(template(tmp_path, "twoCellAnchor"), out, {"title": "T", "logo": png((200, 100), "green")}) == []
    subprocess.run([soffice, f"-env:UserInstallation={(tmp_path / 'profile').as_uri()}", "--headless",
                    "--convert-to", "pdf", "--outdir", str(tmp_path), str(out)],
                   check=True, capture_output=True, timeout=180)
    assert re.search(rb"/Subtype\s*/Image", (tmp_path / "out.pdf").read_bytes())


def test_a_picture_in_a_group_fits_its_own_frame(tmp_path):
    src = template(tmp_path, "twoCellAnchor")
    pkg = parts(src)
    drawing = drawing_parts(pkg)[0]
    group = (b'<xdr:grpSp><xdr:nvGrpSpPr><xdr:cNvPr id="9" name="Group 1"/><xdr:cNvGrpSpPr/></xdr:nvGrpSpPr>'
             b'<xdr:grpSpPr><a:xfrm><a:off x="0" y="0"/><a:ext cx="2857500" cy="857250"/><a:chOff x="0" y="0"/>'
             b'<a:chExt cx="2857500" cy="857250"/></a:xfrm></xdr:grpSpPr>')
    with zipfile.ZipFile(src, "w") as zf:
        for name, data in pkg.items():
            if name == drawing:
                data = re.sub(rb"<xdr:pic>.*</xdr:pic>", lambda m: group + m.group(0) + b"</xdr:grpSp>", data,
                              flags=re.S)
            zf.writestr(name, data)
    out = tmp_path / "out.xlsx"
    assert fill(src, out, {"title": "T", "logo": png((200, 100))}) == []
    root = etree.fromstring(parts(out)[drawing])
    frame = root.find(f".//{{{XDR_NS}}}pic/{{{XDR_NS}}}spPr/{{{A_NS}}}xfrm/{{{A_NS}}}ext")
    assert (int(frame.get("cx")), int(frame.get("cy"))) == (180 * EMU, 90 * EMU)
    assert etree.tostring(root.find(f".//{{{XDR_NS}}}to")) == etree.tostring(
        etree.fromstring(pkg[drawing]).find(f".//{{{XDR_NS}}}to"))


@pytest.mark.parametrize("insert, moved", [(False, 0), (True, 9)])
def test_a_picture_under_a_block_is_measured_on_the_template_rows(tmp_path, insert, moved):
    path = str(tmp_path / "t.xlsx")
    wb = xlsxwriter.Workbook(path)
    ws = wb.add_worksheet("Sales")
    ws.write("A1", "{sales}")
    ws.set_column("B:B", 30)
    ws.set_row(3, 30)
    ws.insert_image("B3", "logo.png", {"image_data": png((300, 90), "blue"), "description": "{logo}"})
    wb.close()
    out = tmp_path / "out.xlsx"
    sales = pd.DataFrame({"amount": range(10)})
    assert fill(path, out, {"sales": sales, "logo": png((200, 100))}, insert=insert) == []
    pkg = parts(out)
    drawing = etree.fromstring(pkg[drawing_parts(pkg)[0]])
    rows = [int(drawing.find(f".//{{{XDR_NS}}}{m}/{{{XDR_NS}}}row").text) for m in ("from", "to")]
    assert rows == [2 + moved, 5 + moved]
    # 90 pixels down from B3: rows 3 (20), 4 (40), 5 (20) and 10 of row 6
    assert drawing.find(f".//{{{XDR_NS}}}to/{{{XDR_NS}}}rowOff").text == str(10 * EMU)
