"""Sections in documents: {for}/{if} tags repeat or show what stands between them,
inline in a paragraph, as paragraphs and tables, or as table rows."""

import copy
import io
import os
import re
import shutil
import subprocess
import uuid

import docx
import openpyxl
import pandas as pd
import pytest
from docx.oxml import parse_xml
from docx.oxml.ns import nsdecls, qn
from lxml import etree
from PIL import Image

from tessel.pagefill import PageFill

from ooxml_check import check_package


def build(path, *blocks, pattern="{}"):
    """A document of paragraphs (str) and tables (lists of rows of cell texts)."""
    doc = docx.Document()
    for block in blocks:
        if isinstance(block, str):
            doc.add_paragraph(block)
        else:
            table = doc.add_table(rows=len(block), cols=len(block[0]))
            for r, row in enumerate(block):
                for c, text in enumerate(row):
                    table.cell(r, c).text = text
    doc.save(path)
    return str(path)


def fill(tmp_path, blocks, env, **options):
    template = build(tmp_path / "t.docx", *blocks)
    out = str(tmp_path / "o.docx")
    failed = PageFill(**options)(template, out, env)
    return failed, docx.Document(out)


def texts(doc):
    return [p.text for p in doc.paragraphs]


def rows(doc, t=0):
    return [[c.text for c in row.cells] for row in doc.tables[t].rows]


@pytest.mark.parametrize("items", [[], ["a"], ["a", "b", "c"]], ids=["none", "one", "three"])
def test_block_loop_repeats_paragraphs_and_leaves_no_tag_lines(tmp_path, items):
    failed, doc = fill(
        tmp_path, ["Top", "{for x in xs}", "Dear {x}", "Bye {x.upper()}", "{end for}", "End"], {"xs": items}
    )
    assert failed == []
    body = [line for x in items for line in (f"Dear {x}", f"Bye {x.upper()}")]
    assert texts(doc) == ["Top", *body, "End"]


@pytest.mark.parametrize(
    "blocks, env, expected",
    [
        (["{if n > 1}", "many", "{end if}"], {"n": 2}, ["many"]),
        (["{if n > 1}", "many", "{end if}"], {"n": 1}, []),
        (["{if n > 1}", "many", "{elif n == 1}", "one", "{else}", "none", "{end if}"], {"n": 1}, ["one"]),
        (["{if n > 1}", "many", "{elif n == 1}", "one", "{else}", "none", "{end if}"], {"n": 0}, ["none"]),
        (["a {if n}yes{else}no{end if} b"], {"n": 0}, ["a no b"]),
        (["a {if n}yes{elif n is None}none{end if} b"], {"n": 5}, ["a yes b"]),
        (["{for i, x in enumerate(xs, 1)}{i}.{x} {end for}"], {"xs": "ab"}, ["1.a 2.b "]),
        (["[{for x in xs}{for y in ys}{x}{y},{end for}{end for}]"], {"xs": "ab", "ys": "12"}, ["[a1,a2,b1,b2,]"]),
        (
            ["{for x in xs}", "{x}:", "{for y in ys}", "{x}{y}", "{end for}", "{end for}"],
            {"xs": "ab", "ys": "12"},
            ["a:", "a1", "a2", "b:", "b1", "b2"],
        ),
        (["{ for x in xs }", "{x}", "{ end for }"], {"xs": [1]}, ["1"]),
        (["{for x in xs}", "{if x % 2}odd {x}{end if}", "{end for}"], {"xs": [1, 2, 3]}, ["odd 1", "", "odd 3"]),
    ],
    ids=["if true", "if false", "elif", "else", "inline else", "inline elif", "unpack", "inline nested",
         "block nested", "spaces in tags", "inline in block"],
)
def test_sections_show_and_repeat(tmp_path, blocks, env, expected):
    failed, doc = fill(tmp_path, blocks, env)
    assert failed == []
    assert texts(doc) == expected


def test_double_brace_pattern_and_tags_split_across_runs(tmp_path):
    doc = docx.Document()
    p = doc.add_paragraph()
    for piece in ("{{fo", "r x in x", "s}}"):
        p.add_run(piece)
    doc.add_paragraph("{{x}} {x}")
    doc.add_paragraph("{{end for}}")
    doc.save(tmp_path / "t.docx")
    failed = PageFill(pattern="{{}}")(str(tmp_path / "t.docx"), str(tmp_path / "o.docx"), {"xs": [1, 2]})
    assert failed == []
    assert texts(docx.Document(tmp_path / "o.docx")) == ["1 {x}", "2 {x}"]


def test_inline_loop_copies_runs_with_their_formatting(tmp_path):
    doc = docx.Document()
    p = doc.add_paragraph("Items: {for x in xs}")
    p.add_run("{x}").bold = True
    p.add_run(", {end for}.")
    doc.save(tmp_path / "t.docx")
    PageFill()(str(tmp_path / "t.docx"), str(tmp_path / "o.docx"), {"xs": ["a", "b"]})
    runs = docx.Document(tmp_path / "o.docx").paragraphs[0].runs
    assert "".join(r.text for r in runs) == "Items: a, b, ."
    assert [r.text for r in runs if r.bold] == ["a", "b"]


def test_values_are_not_read_for_placeholders_or_tags(tmp_path):
    failed, doc = fill(
        tmp_path, ["{for x in xs}", "{x}", "{end for}", "a {for x in xs}{x}{end for}"], {"xs": ["{end for}", "{y}"]}
    )
    assert failed == []
    assert texts(doc) == ["{end for}", "{y}", "a {end for}{y}"]


@pytest.mark.parametrize("items", [0, 1, 3])
def test_row_loop_repeats_one_row_and_the_tags_leave_their_cells(tmp_path, items):
    table = [["Name", "Qty"], ["{for r in rs}{r[0]}", "{r[1]}{end for}"], ["Total", "{total}"]]
    rs = [(f"n{k}", k) for k in range(items)]
    failed, doc = fill(tmp_path, ["Report", table], {"rs": rs, "total": 9})
    assert failed == []
    assert rows(doc) == [["Name", "Qty"], *[[n, str(k)] for n, k in rs], ["Total", "9"]]


def test_group_of_rows_repeats_per_item_with_a_nested_row_loop(tmp_path):
    table = [
        ["{for g in groups}Group {g.name}", ""],
        ["{for m in g.members}{m}", "{end for}"],
        ["end of {g.name}", "{end for}"],
    ]

    class G:
        def __init__(self, name, members):
            self.name, self.members = name, members

    failed, doc = fill(tmp_path, [table], {"groups": [G("a", ["x", "y"]), G("b", [])]})
    assert failed == []
    assert rows(doc) == [
        ["Group a", ""], ["x", ""], ["y", ""], ["end of a", ""], ["Group b", ""], ["end of b", ""]
    ]


def test_dataframe_rows_are_records(tmp_path):
    frame = pd.DataFrame({"amount": [1.5, 2.0], "unit price": [3, 4]}, index=["p", "q"])
    table = [["{for row in frame}{row.Index}", "{row.amount}", "{row['unit price']}{end for}"]]
    failed, doc = fill(tmp_path, [table], {"frame": frame})
    assert failed == []
    assert rows(doc) == [["p", "1.5", "3"], ["q", "2.0", "4"]]


@pytest.mark.parametrize("items, expected", [([], [""]), ([1, 2], ["- 1", "- 2"])], ids=["none", "two"])
def test_block_loop_in_a_cell_repeats_the_cells_paragraphs(tmp_path, items, expected):
    doc = docx.Document()
    cell = doc.add_table(rows=1, cols=1).cell(0, 0)
    cell.paragraphs[0].text = "{for x in xs}"
    cell.add_paragraph("- {x}")
    cell.add_paragraph("{end for}")
    doc.save(tmp_path / "t.docx")
    assert PageFill()(str(tmp_path / "t.docx"), str(tmp_path / "o.docx"), {"xs": items}) == []
    out = docx.Document(tmp_path / "o.docx")
    # A cell left without paragraphs gets the empty one Word wants.
    assert [p.text for p in out.tables[0].cell(0, 0).paragraphs] == expected


def test_block_loop_copies_tables(tmp_path):
    failed, doc = fill(tmp_path, ["{for x in xs}", [["{x}", "b"]], "{end for}"], {"xs": [1, 2]})
    assert failed == []
    assert [rows(doc, t) for t in range(len(doc.tables))] == [[["1", "b"]], [["2", "b"]]]


@pytest.mark.parametrize("flag, expected", [(True, [["a", "1"], ["b", "2"]]), (False, [["c", "3"]])])
def test_conditions_over_rows_keep_the_rows_of_their_branch(tmp_path, flag, expected):
    table = [["{if flag}a", "1"], ["b", "2"], ["{else}c", "3{end if}"]]
    failed, doc = fill(tmp_path, [table], {"flag": flag})
    assert failed == []
    assert rows(doc) == expected


def test_sections_in_headers_and_in_tables_of_copies(tmp_path):
    doc = docx.Document()
    header = doc.sections[0].header
    header.paragraphs[0].text = "Head {for x in xs}[{x}]{end for}"
    header.add_paragraph("{if xs}")
    header.add_paragraph("listed")
    header.add_paragraph("{end if}")
    doc.add_paragraph("{for g in groups}")
    table = doc.add_table(rows=1, cols=2)
    table.cell(0, 0).text = "{for y in g}{y}"
    table.cell(0, 1).text = "{end for}"
    doc.add_paragraph("{end for}")
    doc.save(tmp_path / "t.docx")
    env = {"xs": [1, 2], "groups": ["ab", "c"]}
    assert PageFill()(str(tmp_path / "t.docx"), str(tmp_path / "o.docx"), env) == []
    out = docx.Document(tmp_path / "o.docx")
    assert [p.text for p in out.sections[0].header.paragraphs] == ["Head [1][2]", "listed"]
    assert [rows(out, t) for t in range(2)] == [[["a", ""], ["b", ""]], [["c", ""]]]
    places = [f.place for f in PageFill().check(str(tmp_path / "t.docx"), env) if f.placeholder == "y"]
    assert places[-1] == "table 2, row 1, column 1, for g in groups: item 2, for y in g: item 1"
    assert "header1, paragraph 1, for x in xs: item 2" in [f.place for f in PageFill().check(str(tmp_path / "t.docx"), env)]


def test_a_tag_paragraph_that_ends_a_section_keeps_the_section(tmp_path):
    doc = docx.Document()
    doc.add_paragraph("{for x in xs}")
    doc.add_paragraph("{x}")
    doc.add_paragraph("{end for}")
    doc.add_section()
    doc.paragraphs[2]._p.get_or_add_pPr().append(copy.deepcopy(doc.element.body.sectPr))
    doc.paragraphs[-1]._p.getparent().remove(doc.paragraphs[-1]._p)
    doc.add_paragraph("after")
    doc.save(tmp_path / "t.docx")
    failed = PageFill()(str(tmp_path / "t.docx"), str(tmp_path / "o.docx"), {"xs": [1, 2]})
    assert failed == []
    out = docx.Document(tmp_path / "o.docx")
    assert len(out.sections) == len(docx.Document(tmp_path / "t.docx").sections)
    assert [p.text for p in out.paragraphs] == ["1", "2", "", "after"]


@pytest.mark.parametrize(
    "blocks, env, expected",
    [
        (["{for x in xs}", "{x}"], {"xs": [1]}, [("for x in xs", "no {end for} after it"),
                                                  ("x", "NameError: name 'x' is not defined")]),
        (["a", "{end for}"], {}, [("end for", "no {for} before it")]),
        (["{else}"], {}, [("else", "{else} outside an {if}")]),
        (["{for x in n}", "{end for}"], {"n": 3}, [("for x in n", "TypeError: 'int' object is not iterable"),
                                                   ("end for", "TypeError: 'int' object is not iterable")]),
        (["a {if m}b{end if}"], {}, [("if m", "NameError: name 'm' is not defined"),
                                     ("end if", "NameError: name 'm' is not defined")]),
    ],
    ids=["no end", "no start", "else outside", "not iterable", "inline condition fails"],
)
def test_failed_tags_are_reported_and_left_as_written(tmp_path, blocks, env, expected):
    failed, doc = fill(tmp_path, blocks, env)
    assert [(d.placeholder, d.reason) for d in failed.details] == expected
    assert texts(doc) == blocks


@pytest.mark.parametrize(
    "blocks, open_place, close_place",
    [
        (["{for x in xs}", [["a", "{end for}"]]], "paragraph 1", "table 1, row 1, column 2"),
        ([[["{for x in xs}"]], [["{end for}"]]], "table 1, row 1, column 1", "table 2, row 1, column 1"),
        ([[["{for x in xs}{x}"]], "{end for}"], "table 1, row 1, column 1", "paragraph 1"),
    ],
    ids=["body and cell", "two tables", "row and paragraph"],
)
def test_tags_in_different_containers_fail_naming_each_others_place(tmp_path, blocks, open_place, close_place):
    failed, doc = fill(tmp_path, blocks, {"xs": [1]})
    reasons = {d.placeholder: d.reason for d in failed.details}
    assert close_place in reasons["for x in xs"] and open_place in reasons["end for"]
    template = docx.Document(tmp_path / "t.docx")
    assert texts(doc) == texts(template)
    assert [rows(doc, t) for t in range(len(doc.tables))] == [rows(template, t) for t in range(len(doc.tables))]


def test_sections_in_text_boxes(tmp_path):
    doc = docx.Document()
    box = "".join(f"<w:p><w:r><w:t>{text}</w:t></w:r></w:p>" for text in ("{for x in xs}", "box {x}", "{end for}"))
    doc.add_paragraph()._p.append(parse_xml(
        f'<w:r {nsdecls("w")}><w:pict><v:shape xmlns:v="urn:schemas-microsoft-com:vml" '
        f'style="width:200pt;height:100pt"><v:textbox><w:txbxContent>{box}</w:txbxContent></v:textbox>'
        "</v:shape></w:pict></w:r>"))
    doc.save(tmp_path / "t.docx")
    template, out = str(tmp_path / "t.docx"), str(tmp_path / "o.docx")
    assert PageFill()(template, out, {"xs": [1, 2]}) == []
    content = docx.Document(out).element.body.xpath(".//w:txbxContent")[0]
    assert [p.xpath("string(.)") for p in content.findall(qn("w:p"))] == ["box 1", "box 2"]
    places = [f.place for f in PageFill().check(template, {"xs": [1, 2]}) if f.placeholder == "x"]
    assert places == ["text box 1, paragraph 1, for x in xs: item 1", "text box 1, paragraph 2, for x in xs: item 2"]


def test_check_lists_each_tag_once_and_places_items(tmp_path):
    template = build(
        tmp_path / "t.docx", "Hi {name}", "{for x in xs}", "{for y in ys}", "{x}{y}", "{end for}", "{end for}"
    )
    listed = PageFill().check(template, {}, evaluate=False)
    assert [f.placeholder for f in listed] == ["name", "for x in xs", "for y in ys", "x", "y", "end for", "end for"]
    assert all(f.reason is None for f in listed)
    found = PageFill().check(template, {"name": "n", "xs": "ab", "ys": [1, 2]})
    assert [(f.placeholder, f.place) for f in found if f.placeholder == "y"] == [
        ("y", f"paragraph {k + 2}, for x in xs: item {k // 2 + 1}, for y in ys: item {k % 2 + 1}")
        for k in range(4)
    ]
    assert all(f.reason is None for f in found)


@pytest.mark.parametrize("body", [["line {i}"], ["x"], ["{i}", "y"]])
def test_safe_mode_refuses_copies_past_the_budget(tmp_path, body):
    paragraphs = ["{for i in range(10**6)}", *body, "{end for}"]
    failed, doc = fill(tmp_path, paragraphs, {}, safe=True)
    assert failed[0] == "for i in range(10**6)"
    assert "sections copying" in failed.details[0].reason
    assert texts(doc) == paragraphs


def test_a_list_in_a_loop_restarts_its_numbering_in_each_copy(tmp_path):
    doc = docx.Document()
    numbering = doc.part.numbering_part.element
    abstract = numbering.makeelement(qn("w:abstractNum"), {qn("w:abstractNumId"): "97"})
    lvl = abstract.makeelement(qn("w:lvl"), {qn("w:ilvl"): "0"})
    start = lvl.makeelement(qn("w:start"), {qn("w:val"): "1"})
    lvl.append(start)
    abstract.append(lvl)
    numbering.insert(0, abstract)
    num = numbering.makeelement(qn("w:num"), {qn("w:numId"): "95"})
    num.append(num.makeelement(qn("w:abstractNumId"), {qn("w:val"): "97"}))
    numbering.append(num)
    doc.add_paragraph("{for x in xs}")
    for text in ("first {x}", "second"):
        p = doc.add_paragraph(text)
        num_pr = p._p.get_or_add_pPr().get_or_add_numPr()
        num_pr.get_or_add_ilvl().val = 0
        num_pr.get_or_add_numId().val = 95
    doc.add_paragraph("{end for}")
    doc.save(tmp_path / "t.docx")
    PageFill()(str(tmp_path / "t.docx"), str(tmp_path / "o.docx"), {"xs": "abc"})
    out = docx.Document(tmp_path / "o.docx")
    ids = [p._p.pPr.numPr.numId.val for p in out.paragraphs]
    assert ids[0:2] == [95, 95] and ids[2] == ids[3] and ids[4] == ids[5] and len({ids[0], ids[2], ids[4]}) == 3
    numbering = out.part.numbering_part.element
    for new in (ids[2], ids[4]):
        (num,) = numbering.xpath(f"w:num[@w:numId='{new}']")
        assert num.xpath("w:abstractNumId/@w:val") == ["97"]
        assert num.xpath("w:lvlOverride[@w:ilvl='0']/w:startOverride/@w:val") == ["1"]


def test_a_list_numbered_by_its_style_restarts_too(tmp_path):
    doc = docx.Document()
    doc.add_paragraph("{for x in xs}")
    doc.add_paragraph("step {x}", style="List Number")
    doc.add_paragraph("{end for}")
    doc.save(tmp_path / "t.docx")
    PageFill()(str(tmp_path / "t.docx"), str(tmp_path / "o.docx"), {"xs": "ab"})
    out = docx.Document(tmp_path / "o.docx")
    first, second = out.paragraphs
    assert first._p.pPr.numPr is None and first.style.name == second.style.name == "List Number"
    fresh = second._p.pPr.numPr.numId.val
    (num,) = out.part.numbering_part.element.xpath(f"w:num[@w:numId='{fresh}']")
    assert num.xpath("w:lvlOverride/w:startOverride")


def test_copies_get_unique_drawing_and_bookmark_ids(tmp_path):
    doc = docx.Document()
    doc.add_paragraph("{for x in xs}")
    p = doc.add_paragraph("{x}")
    image = io.BytesIO()
    Image.new("RGB", (4, 4)).save(image, "PNG")
    p.add_run().add_picture(image)
    start = p._p.makeelement(qn("w:bookmarkStart"), {qn("w:id"): "3", qn("w:name"): "mark"})
    end = p._p.makeelement(qn("w:bookmarkEnd"), {qn("w:id"): "3"})
    p._p.insert(0, start)
    p._p.append(end)
    # A bookmark from before the loop into it ends in the first copy only.
    outer = doc.paragraphs[0]._p
    outer.addprevious(outer.makeelement(qn("w:bookmarkStart"), {qn("w:id"): "8", qn("w:name"): "span"}))
    p._p.append(p._p.makeelement(qn("w:bookmarkEnd"), {qn("w:id"): "8"}))
    doc.add_paragraph("{end for}")
    doc.save(tmp_path / "t.docx")
    PageFill()(str(tmp_path / "t.docx"), str(tmp_path / "o.docx"), {"xs": "abc"})
    out = docx.Document(tmp_path / "o.docx")
    body = out.element.body
    assert body.xpath(".//w:bookmarkEnd[@w:id='8']/@w:id") == ["8"]
    drawing_ids = body.xpath(".//wp:docPr/@id")
    assert len(drawing_ids) == 3 and len(set(drawing_ids)) == 3
    starts = body.xpath(".//w:bookmarkStart[@w:name!='span']")
    assert len({b.get(qn("w:id")) for b in starts}) == 3 and len({b.get(qn("w:name")) for b in starts}) == 3
    assert sorted(b.get(qn("w:id")) for b in starts) == sorted(body.xpath(".//w:bookmarkEnd[@w:id!='8']/@w:id"))
    assert check_package(str(tmp_path / "o.docx")) == []


@pytest.mark.parametrize("kind", ["page", "section"])
def test_records_on_pages_of_their_own_leave_no_break_after_the_last(tmp_path, kind):
    doc = docx.Document()
    doc.add_paragraph("{for c in customers}")
    doc.add_paragraph("Dear {c}")
    if kind == "page":
        doc.add_paragraph().add_run().add_break(docx.enum.text.WD_BREAK.PAGE)
    else:
        doc.add_section()
    doc.add_paragraph("{end for}")
    doc.save(tmp_path / "t.docx")
    PageFill()(str(tmp_path / "t.docx"), str(tmp_path / "o.docx"), {"customers": ["a", "b", "c"]})
    body = docx.Document(tmp_path / "o.docx").element.body
    if kind == "page":
        assert len(body.xpath(".//w:br[@w:type='page']")) == 2
    else:
        assert len(body.xpath("w:p/w:pPr/w:sectPr")) == 2 and len(body.xpath("w:sectPr")) == 1
    assert [p.text for p in docx.Document(tmp_path / "o.docx").paragraphs if p.text] == [
        "Dear a", "Dear b", "Dear c"
    ]


def wrapped(source, target):
    """A real document whose whole body becomes a loop over `records`."""
    doc = docx.Document(source)
    body = doc.element.body
    first = doc.add_paragraph("{for record in records}")._p
    body.insert(0, first)
    end = doc.add_paragraph("{end for}")._p
    last = body.xpath("w:sectPr")
    if last:
        last[0].addprevious(end)
    doc.save(target)
    return doc


def ids(path, expr):
    return docx.Document(path).element.body.xpath(expr)


@pytest.mark.parametrize(
    "name, counted",
    [
        ("phpword__Sample_11_ReadWord2007.docx", ".//w:footnoteReference/@w:id"),
        ("pydocx__comments-rich-para.docx", ".//w:commentReference/@w:id"),
        ("poitl__resume.docx", ".//wp:docPr/@id"),
        ("poi__bug65649.docx", ".//w:bookmarkStart/@w:name"),
    ],
)
def test_real_documents_repeat_whole_with_their_notes_pictures_and_marks(tmp_path, data_dir, name, counted):
    template, out = str(tmp_path / "t.docx"), str(tmp_path / "o.docx")
    wrapped(os.path.join(data_dir, "docx", name), template)
    PageFill()(template, out, {"records": [1, 2, 3]})
    assert check_package(out) == []
    before = ids(os.path.join(data_dir, "docx", name), counted)
    after = ids(out, counted)
    assert len(before) > 0 and len(after) == 3 * len(before) and len(set(after)) == len(after)
    doc = docx.Document(out)
    for kind, reference, note in [("footnotes", "footnoteReference", "footnote"), ("comments", "commentReference", "comment")]:
        parts = [r.target_part for r in doc.part.rels.values() if r.reltype.endswith("/" + kind)]
        if parts:
            held = set(etree_of(parts[0]).xpath(f"//w:{note}/@w:id", namespaces=NS))
            assert set(doc.element.body.xpath(f".//w:{reference}/@w:id")) <= held


NS = {"w": "http://schemas.openxmlformats.org/wordprocessingml/2006/main"}


def etree_of(part):
    return etree.fromstring(etree.tostring(part.element) if hasattr(part, "element") else part.blob)


def pdf_pages(soffice, path, folder):
    profile = f"file:///tmp/lo-sections-{uuid.uuid4().hex}"
    try:
        done = subprocess.run(
            [soffice, f"-env:UserInstallation={profile}", "--headless", "--convert-to", "pdf",
             "--outdir", str(folder), str(path)],
            capture_output=True, text=True, timeout=240)
    finally:
        shutil.rmtree(profile[len("file://"):], ignore_errors=True)
    assert done.returncode == 0, done.stderr
    pdf = os.path.join(folder, os.path.splitext(os.path.basename(path))[0] + ".pdf")
    with open(pdf, "rb") as f:
        return len(re.findall(rb"/Type\s*/Page(?![s\w])", f.read()))


def test_letters_one_per_page_convert_without_a_blank_last_page(tmp_path, soffice):
    doc = docx.Document()
    doc.add_paragraph("{for c in customers}")
    doc.add_paragraph("Dear {c.name},")
    doc.add_paragraph("you owe {round(c.amount, 2)}.")
    doc.add_paragraph().add_run().add_break(docx.enum.text.WD_BREAK.PAGE)
    doc.add_paragraph("{end for}")
    doc.save(tmp_path / "t.docx")
    customers = pd.DataFrame({"name": ["Ann", "Bob", "Cy"], "amount": [1.0, 2.5, 3.25]})
    assert PageFill()(str(tmp_path / "t.docx"), str(tmp_path / "letters.docx"), {"customers": customers}) == []
    assert pdf_pages(soffice, tmp_path / "letters.docx", tmp_path) == 3


def test_check_lists_row_tags_with_their_cells_in_order(tmp_path):
    template = build(tmp_path / "t.docx", [["{for r in rs}{r.a}", "{r.b}{end for}"]])
    cell = "table 1, row 1, column {}".format
    assert [(f.placeholder, f.place) for f in PageFill().check(template, {}, evaluate=False)] == [
        ("for r in rs", cell(1)), ("r.a", cell(1)), ("r.b", cell(2)), ("end for", cell(2))
    ]
    found = PageFill().check(template, {"rs": pd.DataFrame({"a": [1, 3], "b": [2, 4]})})
    assert [f.placeholder for f in found] == ["for r in rs", "r.a", "r.b", "end for", "r.a", "r.b"]
    assert [f.place for f in found][1] == cell(1) + ", for r in rs: item 1"
    assert all(f.reason is None for f in found)


def test_the_readme_examples_of_sections_fill_as_it_says(tmp_path, monkeypatch):
    readme = os.path.join(os.path.dirname(__file__), "..", "README.md")
    with open(readme, encoding="utf-8") as f:
        chapter = f.read().split("## Sections: repeat or show parts of a template")[1].split("\n## ")[0]
    monkeypatch.chdir(tmp_path)
    for block in chapter.split("```python\n")[1:]:
        exec(compile(block.split("```")[0], "README.md", "exec"), {})
    book = openpyxl.load_workbook(tmp_path / "regions.xlsx")
    assert book.sheetnames == ["Regions", "Ada", "Grace"]
    assert [row for row in book["Regions"].iter_rows(values_only=True)][1:] == [
        ("North", None, None), (None, "gears", 120), (None, "wheels", 80), ("South", None, None),
        (None, "cards", 45), ("Total", None, "=SUM(C2:C6)"),
    ]
    assert book["Grace"]["B1"].value == "Grace"
    invoice = docx.Document(tmp_path / "invoice_overdue.docx")
    assert len(invoice.tables[0].rows) == 5 and "overdue" in invoice.paragraphs[1].text
    assert [p.text for p in docx.Document(tmp_path / "invoice_on_time.docx").paragraphs] == [
        "Invoice 1017 for Ada Lovelace", "Thank you."
    ]
    assert len(ids(tmp_path / "letters.docx", ".//w:br[@w:type='page']")) == 1
