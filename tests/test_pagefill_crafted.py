"""PageFill on crafted documents: counts past a table's grid, numbers no format allows,
drawing ids at the top of their range, stray elements and nesting deeper than a
thread's stack.  Every outcome is a filled, well-formed document or a ValueError
naming the part and the attribute; never a crash."""

import io
import pathlib
import subprocess
import sys
import tempfile

import docx
import pandas as pd
import pytest
from docx.oxml import parse_xml
from hypothesis import given, settings
from hypothesis import strategies as st
from PIL import Image

from tessel.pagefill import PageFill
from test_pagefill_tables import TEXT_WIDTH, W, fill, grid, tc, tr

WIDE = pd.DataFrame([[1, 2, 3, 4]])  # two cells more than FIRST holds
FIRST = tr(tc("{df}"), tc(""))
NARROW = [TEXT_WIDTH // 4] * 4  # four columns narrowed into the text column


def q(local):
    return f"{{{W}}}{local}"


def count(props, local, default):
    found = None if props is None else props.find(q(local))
    return default if found is None else int(float(found.get(q("val"))))


def row_layout(row):
    """(gridBefore, spans, gridAfter, wBefore, wAfter) of an output row."""
    trPr = row.find(q("trPr"))
    lengths = [None if trPr is None else trPr.find(q(name)) for name in ("wBefore", "wAfter")]
    return (count(trPr, "gridBefore", 0), [count(c.find(q("tcPr")), "gridSpan", 1) for c in row.iter(q("tc"))],
            count(trPr, "gridAfter", 0), *(None if el is None else int(el.get(q("w"))) for el in lengths))


@pytest.mark.parametrize(
    "second, columns, layout",
    [
        pytest.param(tr(tc("a"), trPr='<w:gridAfter w:val="3"/><w:wAfter w:w="100" w:type="dxa"/>'),
                     NARROW, (0, [1], 3, None, 3 * NARROW[0]), id="gridAfter past the grid leaves no room"),
        # The row reaches a third column, which the table shows as wide as the last.
        pytest.param(tr(tc("a"), trPr='<w:gridBefore w:val="5"/><w:wBefore w:w="9" w:type="dxa"/>'),
                     [3000] * 4, (2, [1, 1], 0, 6000, None), id="gridBefore past the grid"),
        pytest.param(tr(tc("a", '<w:gridSpan w:val="5"/>')), NARROW, (0, [2, 1, 1], 0, None, None),
                     id="gridSpan past the grid"),
        pytest.param(tr(tc("a", '<w:gridSpan w:val="0"/>'), tc("b"), trPr='<w:gridBefore w:val="-3"/>'),
                     NARROW, (0, [1, 1, 1, 1], 0, None, None), id="counts below their least"),
        pytest.param(tr(tc("a")), NARROW, (0, [1], 0, None, None), id="a row that stops short stays so"),
    ],
)
def test_counts_past_the_grid_are_cut_to_it(tmp_path, second, columns, layout):
    table, failed, warned = fill(tmp_path, grid(4000, 4000) + FIRST + second, {"df": WIDE})
    assert (failed, warned) == ([], [])
    assert [int(c.get(q("w"))) for c in table.iter(q("gridCol"))] == columns
    assert [row_layout(r) for r in table.iter(q("tr"))] == [(0, [1, 1, 1, 1], 0, None, None), layout]


@pytest.mark.parametrize(
    "inner, wrap, env, message",
    [
        *(pytest.param(grid(4000, 4000) + FIRST + tr(tc("a"), trPr=f'<w:gridAfter w:val="{v}"/>'), None,
                       {"df": WIDE}, f'w:gridAfter: w:val "{v}"', id=f"gridAfter {v}")
          for v in ("9e18", "1e300", "nan", "inf", "99999999999999999999")),
        pytest.param(grid(1000) + tr(tc("{df}", '<w:gridSpan w:val="-1e300"/>')), None, {"df": WIDE},
                     'w:gridSpan: w:val "-1e300"', id="gridSpan"),
        pytest.param(grid(1000) + tr(tc("{n}"), trPr='<w:gridBefore w:val="nan"/>'), None, {"n": 1},
                     'w:gridBefore: w:val "nan"', id="gridBefore of a table without a block"),
        pytest.param('<w:tblGrid><w:gridCol w:w="1e300"/></w:tblGrid>' + tr(tc("{df}")), None, {"df": WIDE},
                     'w:gridCol: w:w "1e300"', id="gridCol width"),
        pytest.param('<w:tblPr><w:tblInd w:w="inf" w:type="dxa"/></w:tblPr>' + grid(1000) + tr(tc("{df}")),
                     None, {"df": WIDE}, 'w:tblInd: w:w "inf"', id="table indent"),
        pytest.param(grid(27273042316900, 27273042316900) + tr(tc("{df}"), tc("")), None, {"df": WIDE},
                     "w:tblGrid: its columns are together wider than", id="grid wider than a length"),
        pytest.param(grid(1000) + tr(tc("{df}")), grid(3000) + tr(tc(None, '<w:tcW w:w="nan" w:type="dxa"/>')),
                     {"df": WIDE}, 'w:tcW: w:w "nan"', id="width of the cell a table is nested in"),
    ],
)
def test_numbers_no_format_allows_are_refused_naming_part_and_attribute(tmp_path, inner, wrap, env, message):
    with pytest.raises(ValueError) as raised:
        fill(tmp_path, inner, env, wrap=wrap)
    assert str(raised.value).startswith("word/document.xml: " + message)


def section_doc(path, element, attribute, value, story="body"):
    """A document with a {df} table in `story`, whose first `element` there has `attribute`."""
    doc = docx.Document()
    header = doc.sections[0].header
    table = doc.add_table(1, 2) if story == "body" else header.add_table(1, 2, docx.shared.Inches(4))
    table.cell(0, 0).text = "{df}"
    root = doc.element if story == "body" else header._element
    root.find(f".//{q(element)}").set(q(attribute), value)
    doc.save(path)
    return str(path)


@pytest.mark.parametrize(
    "element, attribute, value, story",
    [("pgSz", "w", "1e300", "body"), ("pgSz", "w", "nan", "body"), ("pgMar", "left", "-inf", "body"),
     ("cols", "num", "9e18", "body"), ("gridCol", "w", "nan", "header")],
)
def test_section_numbers_no_format_allows_are_refused(tmp_path, element, attribute, value, story):
    template = section_doc(tmp_path / "t.docx", element, attribute, value, story)
    part = "document" if story == "body" else "header1"
    with pytest.raises(ValueError, match=f'^word/{part}.xml: w:{element}: w:{attribute} "{value}"'):
        PageFill()(template, str(tmp_path / "o.docx"), {"df": WIDE})


@pytest.mark.parametrize("page", ["12240", "12240.0", "8.5in", "21.59cm", "215.9mm", "612pt", "51pc", "51pi"])
def test_page_widths_as_word_writes_them_all_fill(tmp_path, page):
    template = section_doc(tmp_path / "t.docx", "pgSz", "w", page)
    assert PageFill()(template, str(tmp_path / "o.docx"), {"df": WIDE}) == []
    table = docx.Document(tmp_path / "o.docx").element.body[0]
    assert TEXT_WIDTH - 4 <= sum(int(c.get(q("w"))) for c in table.iter(q("gridCol"))) <= TEXT_WIDTH


@pytest.mark.parametrize("props", [
    '<w:tblPr><w:tblInd w:w="10%" w:type="pct"/></w:tblPr>',
    '<w:tblPr><w:tblCellMar><w:left w:w="5%" w:type="pct"/></w:tblCellMar></w:tblPr>',
])
def test_widths_given_as_shares_fill(tmp_path, props):
    table, failed, warned = fill(tmp_path, props + grid(1000, 1000) + FIRST, {"df": WIDE})
    assert failed == []
    assert len(table.find(q("tblGrid"))) == 4


def test_stray_text_in_copied_properties_does_not_take_values(tmp_path):
    table, failed, warned = fill(tmp_path, grid(1000, 1000) + tr(tc("{df}"), tc("b", "<w:t>stray</w:t>")),
                                 {"df": pd.DataFrame({"a": [1, 2, 3]})}, insert=True)
    assert (failed, warned) == ([], [])
    assert [r.find(q("tc")).findtext(f".//{q('t')}") for r in table.iter(q("tr"))] == ["1", "2", "3"]
    assert [t.text for t in table.iter(q("t")) if t.getparent().tag == q("tcPr")] == ["stray"] * 3


def png():
    stream = io.BytesIO()
    Image.new("RGB", (20, 10), "navy").save(stream, "PNG")
    return stream


@pytest.mark.parametrize(
    "ids, new",
    [(["4294967295"], 1), (["1", "2", "4294967295"], 3), (["4294967294"], 4294967295),
     (["99999999999999999999"], 1)],
)
def test_new_pictures_take_a_free_drawing_id(tmp_path, ids, new):
    doc = docx.Document()
    for shape_id in ids:
        doc.add_paragraph().add_run().add_picture(png())._inline.docPr.set("id", shape_id)
    doc.add_paragraph("{logo}")
    doc.save(tmp_path / "t.docx")
    assert PageFill()(str(tmp_path / "t.docx"), str(tmp_path / "o.docx"), {"logo": png()}) == []
    taken = [s._inline.docPr.get("id") for s in docx.Document(tmp_path / "o.docx").inline_shapes]
    assert taken == ids + [str(new)]


DEEP = """
import sys, threading
import docx, docx.oxml.parser as parser
from lxml import etree
from tessel.pagefill import PageFill

# python-docx's parser stops at 256 levels; with a lenient one the fill's depth
# must still not be a matter of stack.
parser.oxml_parser = etree.XMLParser(remove_blank_text=True, resolve_entities=False, huge_tree=True)
parser.oxml_parser.set_element_class_lookup(parser.element_class_lookup)
inner = "<w:p><w:r><w:t>{x}</w:t></w:r></w:p>"
for _ in range(300):
    inner = f"<w:sdt><w:sdtContent>{inner}</w:sdtContent></w:sdt>"
for _ in range(400):
    inner = f'<w:tbl><w:tblGrid><w:gridCol w:w="100"/></w:tblGrid><w:tr><w:tc>{inner}<w:p/></w:tc></w:tr></w:tbl>'
doc = docx.Document()
doc.element.body.insert(0, parser.parse_xml(f'<w:body xmlns:w="{docx.oxml.ns.nsmap["w"]}">{inner}</w:body>')[0])
folder = sys.argv[1]
doc.save(folder + "/t.docx")
threading.stack_size(256 * 1024)
thread = threading.Thread(target=lambda: print(PageFill()(folder + "/t.docx", folder + "/o.docx", {"x": 7})))
thread.start()
thread.join()
print(docx.Document(folder + "/o.docx").element.body.xpath("string(.//*[local-name()='t'])"))
"""


def test_nesting_deeper_than_a_small_stack_holds_fills(tmp_path):
    done = subprocess.run([sys.executable, "-c", DEEP, str(tmp_path)], capture_output=True, text=True, timeout=300)
    assert (done.returncode, done.stdout.split()) == (0, ["[]", "7"]), done.stderr[-2000:]


# Values a file Word opens may hold, and values no format allows.
PLAIN_COUNTS = [str(n) for n in range(-2, 7)] + ["2.0", "1.5"]
BAD_COUNTS = ["9e18", "1e300", "nan", "inf", "-inf", "abc", "", "99999999999999999999"]
PLAIN_WIDTHS = ["0", "-100", "1", "1440", "5000", "20000", "1440.5", "2.5cm", "1in"]
BAD_WIDTHS = ["1e300", "nan", "inf", "9e18", "27273042316900", "3in4"]


def attrs(**values):
    return "".join(f'<w:{name} w:{"w" if name == "tcW" else "val"}="{v}"/>' for name, v in values.items()
                   if v is not None)


@st.composite
def tables(draw):
    """A table's inner XML, whether it holds a value no format allows, and its gridCol count;
    the cell at `where` holds {df}."""
    bad = draw(st.booleans())
    counts = st.one_of(st.none(), st.sampled_from(PLAIN_COUNTS + BAD_COUNTS * bad))
    widths = st.one_of(st.none(), st.sampled_from(PLAIN_WIDTHS + BAD_WIDTHS * bad))
    columns = draw(st.lists(widths, max_size=4))
    rows = draw(st.lists(st.tuples(counts, counts, st.lists(st.tuples(counts, widths, st.sampled_from(
        [None, "restart", "continue", ""])), min_size=1, max_size=4)), min_size=1, max_size=4))
    r = draw(st.integers(0, len(rows) - 1))
    at = (r, draw(st.integers(0, len(rows[r][2]) - 1)))
    xml = "<w:tblGrid>" + "".join("<w:gridCol/>" if w is None else f'<w:gridCol w:w="{w}"/>' for w in columns)
    xml += "</w:tblGrid>" + "".join(
        tr(*(tc("{df}" if (i, k) == at else f"r{i}c{k}", attrs(tcW=width, gridSpan=span)
                + ("" if merge is None else f'<w:vMerge w:val="{merge}"/>' if merge else "<w:vMerge/>"))
             for k, (span, width, merge) in enumerate(cells)), trPr=attrs(gridBefore=before, gridAfter=after))
        for i, (before, after, cells) in enumerate(rows))
    return xml, any(v in BAD_COUNTS + BAD_WIDTHS for v in xml.split('"')[1::2]), len(columns)


def used_columns(row):
    before, spans, after, *_ = row_layout(row)
    return before + sum(spans) + after


@settings(max_examples=150, deadline=None, derandomize=True, database=None)
@given(tables(), st.integers(0, 3), st.integers(0, 6), st.booleans())
def test_crafted_table_grids_fill_or_are_refused(table, height, width, insert):
    inner, bad, columns = table
    frame = pd.DataFrame([[f"v{i}{j}" for j in range(width)] for i in range(height)], columns=range(width))
    with tempfile.TemporaryDirectory() as folder:
        try:
            filled, failed, _ = fill(pathlib.Path(folder), inner, {"df": frame}, insert=insert)
        except ValueError as e:
            assert bad and str(e).startswith("word/document.xml: w:"), str(e)
            return
    assert failed == []
    assert "{df}" not in "".join(filled.itertext()) or frame.empty
    assert all(c.find(q("p")) is not None for c in filled.iter(q("tc")))
    widest = max(used_columns(row) for row in filled.iter(q("tr")))
    assert len(filled.findall(f"{q('tblGrid')}/{q('gridCol')}")) == max(columns, widest)
