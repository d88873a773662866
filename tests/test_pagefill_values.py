"""Tables and pictures as values of a document: a Table in place of its paragraph,
pictures that take the place and box of a template's picture, picture sizes."""

import copy
import io
import os
import shutil
import subprocess
import uuid
import warnings
import zipfile

import docx
import matplotlib
import numpy as np
import pandas as pd
import pytest
from docx.shared import Cm
from lxml import etree
from ooxml_check import check_package
from PIL import Image

from tessel import FrameAsTextWarning, Picture, Table
from tessel.pagefill import PageFill

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

W = "http://schemas.openxmlformats.org/wordprocessingml/2006/main"
NS = {"w": W, "wp": "http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing",
      "a": "http://schemas.openxmlformats.org/drawingml/2006/main",
      "pic": "http://schemas.openxmlformats.org/drawingml/2006/picture",
      "r": "http://schemas.openxmlformats.org/officeDocument/2006/relationships"}
# The text column of python-docx's default page: 8.5in less two margins of 1.25in.
COLUMN = 8640

ITEMS = pd.DataFrame({"Item": ["gears", "cards"], "Qty": [24, 500], "Amount": [339.65, np.nan],
                      "Paid": [True, False]})


def png(width, height, color="red"):
    out = io.BytesIO()
    Image.new("RGB", (width, height), color).save(out, "PNG", dpi=(96, 96))
    out.seek(0)
    return out


def template(tmp_path, *paragraphs, build=None):
    doc = docx.Document()
    for text in paragraphs:
        doc.add_paragraph(text)
    if build:
        build(doc)
    path = str(tmp_path / "t.docx")
    doc.save(path)
    return path


def fill(path, env, filler=None):
    out = path.replace("t.docx", "o.docx")
    failed = (filler or PageFill())(path, out, env)
    return failed, out


def plain(el):
    """The element as plain lxml, whose xpath takes namespaces."""
    return etree.fromstring(etree.tostring(el))


def body(path):
    return plain(docx.Document(path).element.body)


def texts(tbl):
    return [[("".join(tc.itertext())) for tc in tr.iterfind(f"{{{W}}}tc")] for tr in tbl.iterfind(f"{{{W}}}tr")]


def right_aligned(tbl):
    first = tbl.find(f"{{{W}}}tr")
    return [bool(tc.xpath("./w:p/w:pPr/w:jc[@w:val='right']", namespaces=NS)) for tc in first.iterfind(f"{{{W}}}tc")]


def styled(frame):
    return frame.style.format({"Amount": "{:.2f}"}, na_rep="-").highlight_max(subset=["Qty"], color="#FFFF00")


@pytest.mark.parametrize(
    "value, rows, right",
    [
        (Table(ITEMS), [["Item", "Qty", "Amount", "Paid"], ["gears", "24", "339.65", "True"],
                        ["cards", "500", "", "False"]], [False, True, True, False]),
        (Table(ITEMS, header=False), [["gears", "24", "339.65", "True"], ["cards", "500", "", "False"]],
         [False, True, True, False]),
        (Table(pd.Series([1.5, 2.0], index=pd.Index(["north", "south"], name="Region"), name="Sales")),
         [["Region", "Sales"], ["north", "1.5"], ["south", "2"]], [False, True]),
        (Table(styled(ITEMS).hide(["Paid"], axis=1)), [["Item", "Qty", "Amount"], ["gears", "24", "339.65"],
                                                      ["cards", "500", "-"]], [False, True, True]),
    ],
    ids=["frame", "no-header", "series", "styler"],
)
def test_a_table_takes_the_place_of_its_paragraph(tmp_path, value, rows, right):
    path = template(tmp_path, "Before", "{t}", "After")
    failed, out = fill(path, {"t": value})
    assert failed == [] and check_package(out) == []
    element = body(out)
    assert [etree.QName(el).localname for el in element][:4] == ["p", "tbl", "p", "sectPr"]
    tbl = element.find(f"{{{W}}}tbl")
    assert texts(tbl) == rows
    assert right_aligned(tbl) == right
    header = tbl.xpath("./w:tr[1]/w:trPr/w:tblHeader", namespaces=NS)
    assert bool(header) == value.header
    assert not tbl.xpath("./w:tr[position() > 1]/w:trPr/w:tblHeader", namespaces=NS)
    widths = [int(c) for c in tbl.xpath("./w:tblGrid/w:gridCol/@w:w", namespaces=NS)]
    assert sum(widths) == COLUMN == int(tbl.xpath("string(./w:tblPr/w:tblW/@w:w)", namespaces=NS))
    if value.header:
        assert tbl.xpath("string(./w:tblPr/w:tblStyle/@w:val)", namespaces=NS) == "TableGrid"


def test_a_stylers_colours_reach_the_table(tmp_path):
    path = template(tmp_path, "{t}")
    _, out = fill(path, {"t": Table(styled(ITEMS))})
    tbl = body(out).find(f"{{{W}}}tbl")
    fills = tbl.xpath("./w:tr/w:tc/w:tcPr/w:shd/@w:fill", namespaces=NS)
    assert fills == ["FFFF00"]  # the largest Qty, in the row of cards
    assert tbl.xpath("./w:tr[3]/w:tc[2]/w:tcPr/w:shd", namespaces=NS)


def drop_table_grid(doc):
    for style in doc.styles.element.findall(f"{{{W}}}style"):
        if style.get(f"{{{W}}}styleId") == "TableGrid":
            doc.styles.element.remove(style)


def drop_styles_part(doc):
    rId, = (rId for rId, rel in doc.part.rels.items() if rel.reltype.endswith("/styles"))
    del doc.part.rels[rId]


@pytest.mark.parametrize(
    "style, build, style_id, reason",
    [
        ("light grid accent 1", None, "LightGrid-Accent1", None),
        (None, drop_table_grid, None, None),
        ("Light Grid Acent 1", None, None, "no table style named 'Light Grid Acent 1'; did you mean 'Light Grid Accent 1'"),
        ("Fancy", None, None, "no table style named 'Fancy'; its table styles are 'Normal Table', 'Table Grid'"),
        ("Fancy", drop_styles_part, None, "it has no table styles"),
    ],
    ids=["named", "no-table-grid", "misspelt", "missing", "no-styles-part"],
)
def test_table_styles_by_name(tmp_path, style, build, style_id, reason):
    path = template(tmp_path, "{t}", build=build)
    failed, out = fill(path, {"t": Table(ITEMS, style=style)})
    element = body(out)
    if reason:
        assert failed == ["t"] and reason in failed.details[0].reason
        assert element.find(f"{{{W}}}tbl") is None and docx.Document(out).paragraphs[0].text == "{t}"
        return
    assert failed == [] and check_package(out) == []
    tbl = element.find(f"{{{W}}}tbl")
    found = tbl.xpath("string(./w:tblPr/w:tblStyle/@w:val)", namespaces=NS)
    borders = tbl.xpath("./w:tblPr/w:tblBorders/*/@w:val", namespaces=NS)
    if style_id:
        assert found == style_id and borders == []
    else:
        assert found == "" and borders == ["single"] * 6
    # The style of the user's choice says how the row of names looks.
    assert bool(tbl.xpath("./w:tr[1]/w:tc/w:p/w:r/w:rPr/w:b", namespaces=NS)) == (style is None)


@pytest.mark.parametrize(
    "paragraphs, cell, reason",
    [
        (["Sales: {t}"], None, "this paragraph holds other text too"),
        ([], "{t}", "not in a table cell"),
        ([], "see {t}", "not in a table cell"),
    ],
    ids=["with-text", "cell", "cell-with-text"],
)
def test_a_table_elsewhere_fails_and_leaves_its_text(tmp_path, paragraphs, cell, reason):
    def add_cell(doc):
        if cell:
            doc.add_table(rows=1, cols=1).cell(0, 0).text = cell

    path = template(tmp_path, *paragraphs, build=add_cell)
    failed, out = fill(path, {"t": Table(ITEMS)})
    assert failed == ["t"]
    assert failed.details[0].reason.startswith("a Table stands alone in a paragraph outside tables")
    assert reason in failed.details[0].reason
    assert (paragraphs[0] if paragraphs else cell) in "".join(body(out).itertext())


def test_tables_in_a_header_and_a_last_paragraph_keep_a_paragraph_after_them(tmp_path):
    def header(doc):
        doc.sections[0].header.paragraphs[0].text = "{t}"

    path = template(tmp_path, "Text", "{t}", build=header)
    failed, out = fill(path, {"t": Table(ITEMS)})
    assert failed == [] and check_package(out) == []
    doc = docx.Document(out)
    for story in (doc.element.body, doc.sections[0].header._element):
        story = plain(story)
        kinds = [etree.QName(el).localname for el in story if etree.QName(el).localname in ("p", "tbl")]
        assert kinds[-2:] == ["tbl", "p"]
    tbl = plain(doc.sections[0].header._element).find(f"{{{W}}}tbl")
    assert sum(int(c) for c in tbl.xpath("./w:tblGrid/w:gridCol/@w:w", namespaces=NS)) == COLUMN


@pytest.mark.parametrize(
    "paragraphs, warned",
    [
        (["{frame}"], "{frame} at paragraph 1 wrote a DataFrame as text; the value tessel.Table(frame), alone in a paragraph"),
        (["{frame.Qty}", "x {frame}"], "{frame.Qty} at paragraph 1 wrote a Series as text; the value tessel.Table(frame.Qty), "
                                       "alone in a paragraph, makes it a table (as 1 more placeholders did)"),
        (["{frame.Qty.sum()}", "{t}"], None),
    ],
    ids=["frame", "series-and-more", "none"],
)
def test_one_hint_per_call_for_frames_as_text(tmp_path, paragraphs, warned):
    def cell(doc):
        doc.add_table(rows=1, cols=1).cell(0, 0).text = "{frame.Qty} units"

    path = template(tmp_path, *paragraphs, build=cell)
    env = {"frame": ITEMS, "t": Table(ITEMS)}
    for call in (lambda: fill(path, env), lambda: PageFill().check(path, env)):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            call()
        said = [str(w.message) for w in caught if issubclass(w.category, FrameAsTextWarning)]
        assert len(said) == (1 if warned else 0)
        if warned:
            assert said[0].startswith(warned) and "\n" not in said[0]


# -- pictures by their alternative text ----------------------------------------


def picture_in(paragraph, alt="{logo}", size=(Cm(4), Cm(4))):
    inline = paragraph.add_run().add_picture(png(40, 40, "blue"), width=size[0], height=size[1])
    inline._inline.docPr.set("descr", alt)
    return inline


def as_anchor(paragraph):
    """Makes the paragraph's inline picture an anchored one, 2cm right of the column."""
    inline = paragraph._p.xpath(".//wp:inline")[0]
    anchor = etree.SubElement(inline.getparent(), f"{{{NS['wp']}}}anchor", nsmap={"wp": NS["wp"]})
    for name, value in dict(distT="0", distB="0", distL="0", distR="0", simplePos="0", relativeHeight="1",
                            behindDoc="0", locked="0", layoutInCell="1", allowOverlap="1").items():
        anchor.set(name, value)
    wp = f"{{{NS['wp']}}}"
    etree.SubElement(anchor, wp + "simplePos", x="0", y="0")
    for axis, relative in (("H", "column"), ("V", "paragraph")):
        position = etree.SubElement(anchor, wp + f"position{axis}", relativeFrom=relative)
        etree.SubElement(position, wp + "posOffset").text = "720000"
    anchor.append(copy.deepcopy(inline.find(wp + "extent")))
    etree.SubElement(anchor, wp + "effectExtent", l="0", t="0", r="0", b="0")
    etree.SubElement(anchor, wp + "wrapSquare", wrapText="bothSides")
    for name in ("docPr", "cNvGraphicFramePr"):
        anchor.append(copy.deepcopy(inline.find(wp + name)))
    anchor.append(copy.deepcopy(inline.find(f"{{{NS['a']}}}graphic")))
    inline.getparent().remove(inline)


def build_pictures(where):
    def build(doc):
        if where == "body":
            picture_in(doc.add_paragraph("Logo: "))
        elif where == "anchor":
            p = doc.add_paragraph("Logo: ")
            picture_in(p)
            as_anchor(p)
        elif where == "cell":
            picture_in(doc.add_table(rows=1, cols=2).cell(0, 1).paragraphs[0])
        elif where == "header":
            picture_in(doc.sections[0].header.paragraphs[0])
    return build


def drawings(path):
    doc = docx.Document(path)
    parts = [doc.part, *(r.target_part for r in doc.part.rels.values() if r.reltype.endswith(("/header", "/footer")))]
    return [(part, plain(el)) for part in parts for el in part.element.xpath(".//w:drawing")]


def media(path):
    with zipfile.ZipFile(path) as z:
        return sorted(n for n in z.namelist() if n.startswith("word/media/"))


@pytest.mark.parametrize("where", ["body", "anchor", "cell", "header"])
@pytest.mark.parametrize("value, size", [(png(100, 300), (480000, 1440000)), (png(300, 150), (1440000, 720000)),
                                         (Picture(png(30, 30).getvalue(), "1cm", "3cm"), (480000, 1440000))],
                         ids=["tall", "wide", "picture-ratio"])
def test_a_picture_takes_the_box_of_the_template_picture(tmp_path, where, value, size):
    path = template(tmp_path, build=build_pictures(where))
    before = media(path)
    failed, out = fill(path, {"logo": value})
    assert failed == [] and check_package(out) == []
    (part, drawing), = drawings(out)
    frame = drawing[0]
    assert etree.QName(frame).localname == ("anchor" if where == "anchor" else "inline")
    extent = frame.find("wp:extent", NS)
    ext = frame.find(".//pic:spPr/a:xfrm/a:ext", NS)
    assert (int(extent.get("cx")), int(extent.get("cy"))) == size == (int(ext.get("cx")), int(ext.get("cy")))
    assert frame.find("wp:docPr", NS).get("descr") is None
    rId = frame.find(".//a:blip", NS).get(f"{{{NS['r']}}}embed")
    assert part.related_parts[rId].blob == (value.data if isinstance(value, Picture) else value.getvalue())
    # The blue square of the template is gone from the package.
    assert len(media(out)) == len(before) and media(out) != before
    if where == "anchor":
        assert frame.xpath("string(wp:positionH/wp:posOffset)", namespaces=NS) == "720000"


def test_pictures_by_alt_text_are_listed_filled_and_failed_in_place(tmp_path):
    def build(doc):
        doc.add_paragraph("{title}")
        p = doc.add_paragraph()
        picture_in(p, " {logo} ")
        picture_in(p, "{chart}")
        picture_in(p, "a logo")
        picture_in(p, "{logo} and {chart}")
        picture_in(doc.sections[0].footer.paragraphs[0], "{chart}")

    path = template(tmp_path, build=build)
    listed = PageFill().check(path, evaluate=False)
    assert [(f.placeholder, f.place, f.reason) for f in listed] == [
        ("title", "paragraph 1", None), ("logo", "paragraph 2, picture 'Picture 1'", None),
        ("chart", "paragraph 2, picture 'Picture 2'", None), ("chart", "footer1, paragraph 1, picture 'Picture 1'", None),
    ]
    failed, out = fill(path, {"title": "T", "logo": png(10, 10), "chart": "no picture"})
    assert failed == ["chart", "chart"]
    assert all("takes a picture (an io.BytesIO, a tessel.Picture or a matplotlib Figure), not str" in f.reason
               for f in failed.details)
    assert check_package(out) == []
    descr = [el.xpath("string(.//wp:docPr/@descr)", namespaces=NS) for _, el in drawings(out)]
    assert descr == ["", "{chart}", "a logo", "{logo} and {chart}", "{chart}"]


def test_an_image_used_twice_keeps_its_part(tmp_path):
    def build(doc):
        p = doc.add_paragraph()
        picture_in(p, "{logo}")
        picture_in(p, "kept")

    path = template(tmp_path, build=build)
    failed, out = fill(path, {"logo": png(10, 10)}, PageFill(safe=True))
    assert failed == [] and check_package(out) == [] and len(media(out)) == 2


# -- pictures where their placeholder stood -----------------------------------


def cell_template(doc):
    table = doc.add_table(rows=1, cols=2)
    table.cell(0, 0).width = Cm(3)
    table.cell(0, 0).text = "{pic}"


@pytest.mark.parametrize(
    "build, value, width",
    [
        (lambda doc: doc.add_paragraph("{pic}"), Picture(png(20, 10).getvalue(), "4cm"), 1440000),
        (lambda doc: doc.add_paragraph("{pic}"), Picture(png(20, 10).getvalue(), height="1in"), 1828800),
        (lambda doc: doc.add_paragraph("{pic}"), Picture(png(20, 10).getvalue(), "40cm"), COLUMN * 635),
        (lambda doc: doc.add_paragraph("{pic}"), png(2000, 100), COLUMN * 635),
        (lambda doc: doc.add_paragraph("{pic}"), png(96, 48), 914400),
        (cell_template, Picture(png(20, 10).getvalue(), "10cm"), (round(Cm(3) / 635) - 216) * 635),
        (lambda doc: doc.sections[0].header.paragraphs[0].add_run("{pic}"), png(4000, 100), COLUMN * 635),
    ],
    ids=["width", "height", "too-wide", "stream-too-wide", "stream", "cell", "header"],
)
def test_picture_values_take_their_size_within_where_they_stand(tmp_path, build, value, width):
    path = template(tmp_path, build=build)
    failed, out = fill(path, {"pic": value})
    assert failed == [] and check_package(out) == []
    (_, drawing), = drawings(out)
    extent = drawing.find(".//wp:extent", NS)
    cx, cy = int(extent.get("cx")), int(extent.get("cy"))
    assert cx == width
    native = Image.open(io.BytesIO(value.data if isinstance(value, Picture) else value.getvalue())).size
    assert cy == pytest.approx(cx * native[1] / native[0], abs=2)


def test_a_figure_fills_both_kinds_of_place(tmp_path):
    def build(doc):
        doc.add_paragraph("{chart}")
        picture_in(doc.add_paragraph(), "{chart}", (Cm(8), Cm(2)))

    figure = plt.figure(figsize=(4, 2), dpi=50)
    try:
        figure.gca().plot([1, 3, 2])
        path = template(tmp_path, build=build)
        failed, out = fill(path, {"chart": figure})
    finally:
        plt.close(figure)
    assert failed == [] and check_package(out) == []
    sizes = [tuple(int(d.find(".//wp:extent", NS).get(k)) for k in ("cx", "cy")) for _, d in drawings(out)]
    assert sizes == [(4 * 914400, 2 * 914400), (1440000, 720000)]


# -- LibreOffice ----------------------------------------------------------------


@pytest.mark.libreoffice
def test_libreoffice_shows_tables_with_their_header_on_every_page(tmp_path, soffice):
    if shutil.which("pdftotext") is None:
        pytest.skip("pdftotext is not installed: apt-get install -y poppler-utils")
    long = pd.DataFrame({"Code": [f"row-{k:03d}" for k in range(120)], "Amount": np.arange(120) * 1.5})
    path = template(tmp_path, "Sales", "{t}", "{s}", "Done", build=build_pictures("body"))
    failed, out = fill(path, {"t": Table(long), "s": Table(long.set_index("Code").Amount.head(3), style="Light Grid"),
                              "logo": png(30, 60)})
    assert failed == []
    profile = f"file:///tmp/lo-values-{uuid.uuid4().hex}"
    try:
        done = subprocess.run([soffice, f"-env:UserInstallation={profile}", "--headless", "--convert-to", "pdf",
                               "--outdir", str(tmp_path), out], capture_output=True, text=True, timeout=240)
    finally:
        shutil.rmtree(profile[len("file://"):], ignore_errors=True)
    assert done.returncode == 0, done.stderr
    pdf = os.path.join(tmp_path, "o.pdf")
    text = subprocess.run(["pdftotext", "-layout", pdf, "-"], capture_output=True, text=True, check=True).stdout
    pages = text.split("\f")
    assert len([p for p in pages if p.strip()]) >= 2
    # The row of names heads each page the long table runs over.
    assert all("Code" in page and "Amount" in page for page in pages if "row-" in page)
    assert "row-119" in text and "178.5" in text and "Done" in text


TEXT_BOX = """<w:r xmlns:w="{w}" xmlns:wp="{wp}" xmlns:a="{a}"
  xmlns:wps="http://schemas.microsoft.com/office/word/2010/wordprocessingShape"><w:drawing>
 <wp:inline><wp:extent cx="2743200" cy="2743200"/><wp:docPr id="90" name="Text Box 1"/>
  <a:graphic><a:graphicData uri="http://schemas.microsoft.com/office/word/2010/wordprocessingShape">
   <wps:wsp><wps:cNvSpPr txBox="1"/><wps:spPr><a:xfrm><a:off x="0" y="0"/><a:ext cx="2743200" cy="2743200"/></a:xfrm>
    <a:prstGeom prst="rect"><a:avLst/></a:prstGeom></wps:spPr>
    <wps:txbx><w:txbxContent><w:p><w:r><w:t>{{t}}</w:t></w:r></w:p><w:p/></w:txbxContent></wps:txbx>
    <wps:bodyPr lIns="0" rIns="91440"/></wps:wsp>
  </a:graphicData></a:graphic></wp:inline></w:drawing></w:r>"""


def test_a_text_box_holds_tables_and_pictures_within_its_width(tmp_path):
    def build(doc):
        from docx.oxml import parse_xml

        doc.add_paragraph()._p.append(parse_xml(TEXT_BOX.format(**NS)))
        box = doc.element.body.xpath(".//w:txbxContent")[0]
        picture_in(doc.add_paragraph(), "{logo}")
        box[-1].append(doc.paragraphs[-1]._p.xpath("./w:r")[0])
        doc.paragraphs[-1]._p.getparent().remove(doc.paragraphs[-1]._p)

    path = template(tmp_path, build=build)
    listed = [(f.placeholder, f.place) for f in PageFill().check(path, evaluate=False)]
    assert listed == [("t", "text box 1, paragraph 1"), ("logo", "text box 1, paragraph 2, picture 'Picture 91'")]
    failed, out = fill(path, {"t": Table(ITEMS), "logo": png(20, 10)})
    assert failed == [] and check_package(out) == []
    tbl = body(out).find(".//w:txbxContent/w:tbl", NS)
    inner = (2743200 - 91440) // 635
    assert sum(int(c) for c in tbl.xpath("./w:tblGrid/w:gridCol/@w:w", namespaces=NS)) == inner
    logo = body(out).find(".//w:txbxContent//wp:inline/wp:extent", NS)
    assert (logo.get("cx"), logo.get("cy")) == ("1440000", "720000")


def test_a_text_box_in_a_table_cell_holds_a_table_and_an_empty_frame_fails(tmp_path):
    def build(doc):
        from docx.oxml import parse_xml

        cell = doc.add_table(rows=1, cols=1).cell(0, 0)
        cell.paragraphs[0]._p.append(parse_xml(TEXT_BOX.format(**NS)))
        doc.add_paragraph("{empty}")

    path = template(tmp_path, build=build)
    failed, out = fill(path, {"t": Table(ITEMS), "empty": Table(pd.DataFrame(index=[1, 2]))})
    assert failed == ["empty"] and failed.details[0].reason == "the Table's frame has no columns to show"
    assert check_package(out) == [] and body(out).find(".//w:txbxContent/w:tbl", NS) is not None


def test_safe_mode_takes_tables_and_pictures_and_holds_back_figures(tmp_path):
    def build(doc):
        doc.add_paragraph("{t}")
        picture_in(doc.add_paragraph(), "{drawn}", (Cm(8), Cm(2)))
        picture_in(doc.add_paragraph(), "{figure}")

    figure = plt.figure(figsize=(4, 2), dpi=50)
    try:
        path = template(tmp_path, build=build)
        failed, out = fill(path, {"t": Table(ITEMS), "drawn": Picture(figure), "figure": figure}, PageFill(safe=True))
    finally:
        plt.close(figure)
    assert failed == ["figure"]
    assert failed.details[0].place == "paragraph 3, picture 'Picture 2'"
    assert failed.details[0].reason == "not allowed in safe mode: name 'figure' (a 'matplotlib.figure.Figure' object)"
    assert check_package(out) == [] and len(body(out).findall("w:tbl", NS)) == 1
    assert [d.find(".//wp:extent", NS).get("cx") for _, d in drawings(out)] == ["1440000", "1440000"]
