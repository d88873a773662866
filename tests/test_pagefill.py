"""PageFill on documents built in the tests: run merging, paragraph filling, pictures,
data-frame blocks in tables and the call itself."""

import io
import pickle
import subprocess
import sys

import docx
import pandas as pd
import pytest
from docx.enum.dml import MSO_THEME_COLOR
from docx.oxml import parse_xml
from docx.oxml.ns import nsdecls, qn
from docx.shared import Pt, RGBColor
from PIL import Image

from tessel import pagefill
from tessel.pagefill import PageFill

W = "{http://schemas.openxmlformats.org/wordprocessingml/2006/main}"


def png(width, height, dpi=72):
    stream = io.BytesIO()
    Image.new("RGB", (width, height), "navy").save(stream, "PNG", dpi=(dpi, dpi))
    stream.seek(0)
    return stream


def paragraph_of(*runs):
    """A paragraph of a new document; each run is (text, {font attribute: value})."""
    p = docx.Document().add_paragraph()
    for text, font in runs:
        run = p.add_run(text)
        for name, value in font.items():
            if name == "rgb":
                run.font.color.rgb = value
            elif name == "theme":
                run.font.color.theme_color = value
            else:
                setattr(run.font, name, value)
    return p


def texts(p):
    return [r.text for r in p._p.iter(f"{W}r")]


def tags(p):
    return [child.tag.replace(W, "") for child in p._p]


B, I = {"bold": True}, {"italic": True}


@pytest.mark.parametrize(
    "runs, expected",
    [
        pytest.param([("Total: ", B), ("{na", {}), ("me}", {})], ["Total: ", "{name}"], id="label then split placeholder"),
        pytest.param([("a", B), ("b", I), ("c", B)], ["a", "b", "c"], id="A B A stays three runs"),
        pytest.param([("a", B), ("", B), ("c", B)], ["ac"], id="empty run joins its group"),
        pytest.param([("a", B), ("", I), ("c", B)], ["a", "", "c"], id="empty run of its own"),
        pytest.param([("only", B)], ["only"], id="single run"),
        pytest.param([("x", {"size": Pt(12)}), ("{na", {}), ("me}", {})], ["x", "{name}"], id="unset sizes compare equal"),
        pytest.param([("a", {"rgb": RGBColor(0, 0, 0)}), ("b", {"theme": MSO_THEME_COLOR.TEXT_1})], ["a", "b"], id="colour type differs"),
    ],
)
def test_concat_run_groups(runs, expected):
    p = paragraph_of(*runs)
    assert PageFill().concat_run(p) is p
    assert texts(p) == expected


def test_concat_run_without_runs_leaves_paragraph():
    p = docx.Document().add_paragraph()
    p.paragraph_format.alignment = 1
    before = p._p.xml
    PageFill().concat_run(p)
    assert p._p.xml == before


def test_merged_run_keeps_all_properties_of_its_first_run():
    p = paragraph_of(("{na", {}), ("me}", {}))
    for r in p.runs:  # properties outside python-docx's font model
        r._r.get_or_add_rPr().append(parse_xml(f'<w:spacing {nsdecls("w")} w:val="20"/>'))
    p.runs[0]._r.set(qn("w:rsidR"), "00AA0001")
    p.runs[1]._r.set(qn("w:rsidR"), "00BB0002")
    PageFill().concat_run(p)
    assert texts(p) == ["{name}"]
    assert p.runs[0]._r.find(f"{W}rPr/{W}spacing").get(qn("w:val")) == "20"


def test_proofing_marks_do_not_keep_runs_apart():
    p = paragraph_of(("{na", {}), ("me}", {}))
    p.runs[1]._r.addprevious(parse_xml(f'<w:proofErr {nsdecls("w")} w:type="spellStart"/>'))
    PageFill().concat_run(p)
    assert tags(p) == ["r"] and texts(p) == ["{name}"]


def test_merging_keeps_every_other_child_in_place():
    p = paragraph_of(("a", {}), ("b", {}))
    p._p.append(parse_xml(f'<w:bookmarkStart {nsdecls("w")} w:id="1" w:name="m"/>'))
    p.add_run("c")
    p._p.append(parse_xml(f'<w:hyperlink {nsdecls("w", "r")} r:id="rId9"><w:r><w:t>l</w:t></w:r><w:r><w:t>k</w:t></w:r></w:hyperlink>'))
    p.add_run("d")
    p._p.append(parse_xml(f'<w:r {nsdecls("w")}><w:fldChar w:fldCharType="begin"/></w:r>'))
    p._p.append(parse_xml(f'<w:r {nsdecls("w")}><w:instrText> PAGE </w:instrText></w:r>'))
    p._p.append(parse_xml(f'<w:r {nsdecls("w")}><w:fldChar w:fldCharType="end"/></w:r>'))
    p.add_run("e").add_picture(png(10, 10))
    p.add_run("f")
    p._p.append(parse_xml(f'<w:bookmarkEnd {nsdecls("w")} w:id="1"/>'))
    PageFill().concat_run(p)
    assert tags(p) == ["r", "bookmarkStart", "r", "hyperlink", "r", "r", "r", "r", "r", "r", "bookmarkEnd"]
    assert texts(p) == ["ab", "c", "lk", "d", "", "", "", "e", "f"]
    assert p._p.find(f".//{W}instrText").text == " PAGE "
    assert p._p.find(f".//{W}drawing") is not None


def filled(p, env, pattern="{}"):
    filler = PageFill(pattern)
    filler.concat_run(p)
    return filler.replace_paragraph(p, env)


@pytest.mark.parametrize(
    "runs, pattern, expected",
    [
        pytest.param([("Dear {na", B), ("me}, hi", I)], "{}", [("Dear Ada", True), (", hi", None)], id="two formattings"),
        pytest.param([("{", B), ("{name", I), ("}}!", {})], "{{}}", [("Ada", True), ("!", None)], id="double braces over three runs"),
        pytest.param([("{x} and {y}", {})], "{}", [("1 and 2", None)], id="two placeholders in one run"),
    ],
)
def test_replace_paragraph_fills_split_placeholders(runs, pattern, expected):
    p = paragraph_of(*runs)
    assert filled(p, {"name": "Ada", "x": 1, "y": 2}, pattern) == []
    assert [(r.text, r.bold) for r in p.runs] == expected


def test_placeholders_in_hyperlinks_and_content_controls_are_filled():
    p = docx.Document().add_paragraph("See ")
    p._p.append(parse_xml(f'<w:hyperlink {nsdecls("w", "r")} r:id="rId9"><w:r><w:t>{{ur</w:t></w:r><w:proofErr w:type="spellStart"/><w:r><w:rPr><w:b/></w:rPr><w:t>l}}</w:t></w:r></w:hyperlink>'))
    p._p.append(parse_xml(f'<w:sdt {nsdecls("w")}><w:sdtContent><w:r><w:t>{{name}}</w:t></w:r></w:sdtContent></w:sdt>'))
    assert filled(p, {"url": "example.org", "name": "Ada"}) == []
    assert p._p.find(f"{W}hyperlink").get(qn("r:id")) == "rId9"
    assert "".join(t.text for t in p._p.iter(f"{W}t")) == "See example.orgAda"


def test_values_with_tabs_and_line_breaks_become_tabs_and_breaks():
    p = paragraph_of(("{v}", {}))
    filled(p, {"v": "a\tb\nc"})
    assert [c.tag.replace(W, "") for c in p.runs[0]._r] == ["t", "tab", "t", "br", "t"]
    assert p.text == "a\tb\nc"


def test_failures_are_returned_and_text_kept():
    p = paragraph_of(("{a}{a} {b} {c d}", {}))
    assert filled(p, {"b": 2}) == ["a", "a", "c d"]
    assert p.text == "{a}{a} 2 {c d}"


def test_illegal_pattern_raises_only_where_there_are_runs():
    filler = PageFill("<>")
    assert filler.replace_paragraph(docx.Document().add_paragraph(), {}) == []
    p = paragraph_of(("{x}", {}))
    with pytest.raises(ValueError, match=r"pattern must be '\{\}' or '\{\{\}\}'"):
        filler.replace_paragraph(p, {"x": 1})
    assert p.text == "{x}"


def pictures(p):
    return p._p.findall(f".//{W}drawing")


def test_picture_survives_later_replacements_in_the_same_run():
    p = paragraph_of(("Figure {pic} below {n}", {}))
    assert filled(p, {"pic": png(20, 10), "n": 3}) == []
    assert p.text == "Figure  below 3" and len(pictures(p)) == 1


def test_repeated_picture_placeholder_adds_the_picture_twice():
    p = paragraph_of(("{pic}{pic}", {}))
    assert filled(p, {"pic": png(20, 10)}) == []
    assert p.text == "" and len(pictures(p)) == 2


def test_stream_without_an_image_fails_and_keeps_the_placeholder():
    p = paragraph_of(("x{pic}y", {}))
    assert filled(p, {"pic": io.BytesIO(b"not an image")}) == ["pic"]
    assert p.text == "x{pic}y" and pictures(p) == []


def picture_size(doc):
    shape = doc.inline_shapes[0]
    return shape.width, shape.height


@pytest.mark.parametrize("columns", [1, 2], ids=["one column", "two columns"])
def test_wide_pictures_shrink_to_the_text_column(tmp_path, columns):
    doc = docx.Document()
    section = doc.sections[0]
    text_width = section.page_width - section.left_margin - section.right_margin
    if columns == 2:
        section._sectPr.find(f"{W}cols").set(qn("w:num"), "2")
        text_width = (text_width - 720 * 635) // 2
    doc.add_paragraph("{wide}")
    doc.add_paragraph("{small}")
    doc.save(tmp_path / "t.docx")
    env = {"wide": png(3000, 1000), "small": png(30, 10)}
    assert PageFill()(str(tmp_path / "t.docx"), str(tmp_path / "o.docx"), env) == []
    shapes = docx.Document(tmp_path / "o.docx").inline_shapes
    assert shapes[0].width == text_width
    assert shapes[0].height == pytest.approx(text_width / 3, abs=2)
    assert shapes[1].width == 30 * 914400 // 72


def test_pictures_in_table_cells_shrink_to_the_cell(tmp_path):
    doc = docx.Document()
    cell = doc.add_table(rows=1, cols=2).cell(0, 0)
    cell.width = 1440 * 635 * 2  # two inches
    cell.text = "{wide}"
    doc.save(tmp_path / "t.docx")
    PageFill()(str(tmp_path / "t.docx"), str(tmp_path / "o.docx"), {"wide": png(3000, 1000)})
    assert docx.Document(tmp_path / "o.docx").inline_shapes[0].width == (2880 - 216) * 635


def test_interrupts_are_not_recorded_as_failures(tmp_path):
    class Stop:
        def __str__(self):
            raise KeyboardInterrupt

    path = table_doc(tmp_path / "t.docx", [[["{stop}"]]], text_before="{stop}")
    with pytest.raises(KeyboardInterrupt):
        PageFill()(path, str(tmp_path / "o.docx"), {"stop": Stop()})


def table_doc(path, cells, text_before=None):
    """A document with one table per entry of `cells`, a grid of cell texts."""
    doc = docx.Document()
    if text_before is not None:
        doc.add_paragraph(text_before)
    for grid in cells:
        table = doc.add_table(rows=len(grid), cols=len(grid[0]))
        for i, row in enumerate(grid):
            for j, text in enumerate(row):
                table.cell(i, j).text = text
    doc.save(path)
    return str(path)


def grids(path):
    return [[[c.text for c in row.cells] for row in t.rows] for t in docx.Document(path).tables]


FRAME_3x2 = pd.DataFrame({"a": [1, 2, 3], "b": ["x", "y", "z"]})
FRAME_2x2 = pd.DataFrame([[1, 2], [3, 4]])


@pytest.mark.parametrize(
    "grid, env, expected",
    [
        pytest.param([["{df}", ""], ["", ""]], {"df": FRAME_3x2}, [["1", "x"], ["2", "y"], ["3", "z"]], id="grows rows"),
        pytest.param([["a", "b"], ["c", "{df}"]], {"df": FRAME_2x2}, [["a", "b", ""], ["c", "1", "2"], ["", "3", "4"]], id="grows rows and columns"),
        pytest.param([["{df}"]], {"df": FRAME_3x2.iloc[:0]}, [["{df}", ""]], id="empty frame adds columns only"),
        pytest.param([["Total: {df}"]], {"df": FRAME_2x2.iloc[:1, :1]}, [["1"]], id="frame with text around"),
        pytest.param([["{df.head(1)}"]], {"df": FRAME_2x2}, [[str(FRAME_2x2.head(1))]], id="expression gives text form"),
        pytest.param([["{s}"]], {"s": pd.Series([1, 2])}, [[str(pd.Series([1, 2]))]], id="series gives text form"),
    ],
)
def test_frames_in_tables(tmp_path, grid, env, expected):
    path = table_doc(tmp_path / "t.docx", [grid])
    assert PageFill()(path, str(tmp_path / "o.docx"), env) == []
    assert grids(tmp_path / "o.docx") == [expected]


@pytest.mark.parametrize("recurse, bottom", [(False, "{x}"), (True, "9")], ids=["recurse off", "recurse on"])
def test_recurse_refills_written_cells(tmp_path, recurse, bottom):
    path = table_doc(tmp_path / "t.docx", [[["{df}"], [""]]])
    env = {"df": pd.DataFrame({"v": ["top", "{x}"]}), "x": 9}
    PageFill(recurse=recurse)(path, str(tmp_path / "o.docx"), env)
    assert grids(tmp_path / "o.docx") == [[["top"], [bottom]]]


def test_written_positions_are_kept_per_table(tmp_path):
    path = table_doc(tmp_path / "t.docx", [[["{df}"], [""]], [["a"], ["{x}"]]])
    PageFill()(path, str(tmp_path / "o.docx"), {"df": pd.DataFrame({"v": [1, 2]}), "x": "filled"})
    assert grids(tmp_path / "o.docx")[1] == [["a"], ["filled"]]


def test_written_cells_keep_the_template_formatting(tmp_path):
    doc = docx.Document()
    cell = doc.add_table(rows=1, cols=1).cell(0, 0)
    cell.paragraphs[0].alignment = 1
    cell.paragraphs[0].add_run("{df}").bold = True
    doc.save(tmp_path / "t.docx")
    PageFill()(str(tmp_path / "t.docx"), str(tmp_path / "o.docx"), {"df": pd.DataFrame({"v": [1, 2, 3]})})
    cells = [row.cells[0] for row in docx.Document(tmp_path / "o.docx").tables[0].rows]
    assert [(c.text, c.paragraphs[0].alignment, c.paragraphs[0].runs[0].bold) for c in cells] == [
        (str(v), 1, True) for v in (1, 2, 3)
    ]


def test_large_frame_fills_every_cell(tmp_path):
    path = table_doc(tmp_path / "t.docx", [[["{df}", "", ""]]])
    frame = pd.DataFrame([[f"{i}.{j}" for j in range(3)] for i in range(500)])
    PageFill()(path, str(tmp_path / "o.docx"), {"df": frame})
    assert grids(tmp_path / "o.docx") == [frame.values.tolist()]


def test_merged_cell_is_filled_once(tmp_path):
    doc = docx.Document()
    table = doc.add_table(rows=1, cols=3)
    merged = table.cell(0, 0).merge(table.cell(0, 1))
    merged.text = "{missing}"
    table.cell(0, 2).text = "{n}"
    doc.save(tmp_path / "t.docx")
    assert PageFill()(str(tmp_path / "t.docx"), str(tmp_path / "o.docx"), {"n": 1}) == ["missing"]


def test_body_paragraphs_come_before_tables(tmp_path):
    doc = docx.Document()
    doc.add_table(rows=1, cols=1).cell(0, 0).text = "{in_table}"
    doc.add_paragraph("{in_body}")
    doc.sections[0].header.paragraphs[0].text = "{in_header}"
    doc.save(tmp_path / "t.docx")
    assert PageFill()(str(tmp_path / "t.docx"), str(tmp_path / "o.docx"), {}) == ["in_body", "in_table", "in_header"]


def test_headers_footers_and_text_boxes_are_filled(tmp_path):
    doc = docx.Document()
    doc.sections[0].header.paragraphs[0].text = "Head {name}"
    doc.sections[0].footer.paragraphs[0].text = "Foot {name}"
    box = parse_xml(
        f'<w:r {nsdecls("w", "wp", "a")} xmlns:wps="http://schemas.microsoft.com/office/word/2010/wordprocessingShape"><w:drawing><wp:anchor><a:graphic><a:graphicData><wps:wsp><wps:txbx><w:txbxContent><w:p><w:r><w:t>Box {{name}}</w:t></w:r></w:p></w:txbxContent></wps:txbx></wps:wsp></a:graphicData></a:graphic></wp:anchor></w:drawing></w:r>'
    )
    doc.add_paragraph()._p.append(box)
    doc.save(tmp_path / "t.docx")
    assert PageFill()(str(tmp_path / "t.docx"), str(tmp_path / "o.docx"), {"name": "Ada"}) == []
    out = docx.Document(tmp_path / "o.docx")
    assert out.sections[0].header.paragraphs[0].text == "Head Ada"
    assert out.sections[0].footer.paragraphs[0].text == "Foot Ada"
    assert [t.text for t in out.element.body.iter(f"{W}t")] == ["Box Ada"]


@pytest.mark.parametrize(
    "template, save, message",
    [
        ("t.DOCX", "o.docx", "template_path must be endwith .docx file."),
        ("t.docx", "o.doc", "save_path must be endwith .docx file."),
    ],
)
def test_extension_assertions(tmp_path, template, save, message):
    with pytest.raises(AssertionError) as raised:
        PageFill()(str(tmp_path / template), str(tmp_path / save), {})
    assert str(raised.value) == message


def test_extension_checks_are_skipped_without_assertions(tmp_path):
    docx.Document().save(tmp_path / "t.DOCX")
    code = "import sys; from tessel.pagefill import PageFill; print(PageFill()(sys.argv[1], sys.argv[2], {}))"
    out = subprocess.run([sys.executable, "-O", "-c", code, str(tmp_path / "t.DOCX"), str(tmp_path / "o.doc")],
                         capture_output=True, text=True, cwd=tmp_path, check=True)
    assert out.stdout.strip() == "[]" and (tmp_path / "o.doc").exists()


def test_caller_variables_and_empty_env(tmp_path):
    path = table_doc(tmp_path / "t.docx", [[["{greeting}"]]])
    greeting = "hello"  # noqa: F841 - read through the caller's frame
    assert PageFill()(path, str(tmp_path / "o.docx")) == []
    assert grids(tmp_path / "o.docx") == [[["hello"]]]
    assert PageFill()(path, str(tmp_path / "o.docx"), {}) == ["greeting"]


def test_methods_and_module_names_are_looked_up_at_each_call(tmp_path, monkeypatch):
    calls = []

    class Traced(PageFill):
        def concat_run(self, paragraph):
            calls.append("concat")
            return super().concat_run(paragraph)

        def replace_paragraph(self, paragraph, env):
            calls.append("replace")
            return super().replace_paragraph(paragraph, env)

        def extract_placeholder(self, text):
            return [p.strip() for p in super().extract_placeholder(text)]

    path = table_doc(tmp_path / "t.docx", [[["{ df }"]]], text_before="{x}")
    monkeypatch.setattr(pagefill, "get_outer_frame_variables", lambda: {"x": 1, "df": FRAME_2x2})
    loaded = []
    monkeypatch.setattr(pagefill, "Document", lambda p: loaded.append(p) or docx.Document(p))
    assert Traced()(path, str(tmp_path / "o.docx")) == []
    assert calls == ["concat", "replace"] and loaded == [path]
    assert grids(tmp_path / "o.docx") == [[["1", "2"], ["3", "4"]]]


def test_options_are_plain_attributes():
    filler = pickle.loads(pickle.dumps(PageFill("{{}}", recurse=True)))
    assert (filler.pattern, filler.recurse) == ("{{}}", True)
    assert ":param recurse: recurse replace placeholder in replaced cell.\n" in PageFill.__init__.__doc__
    assert vars(PageFill()) == {"pattern": "{}", "recurse": False, "insert": False, "safe": False, "safe_limits": None}
