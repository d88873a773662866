"""The table rules of PageFill's data-frame blocks, on small before/after XML
fragments: new rows copied from the template row, cells instead of grid columns,
split vertical merges, gridBefore/gridAfter rows, row-level content controls and
widths that stay inside the page."""

import warnings

import docx
import pandas as pd
import pytest
from docx.oxml import parse_xml
from lxml import etree

from tessel.pagefill import PageFill

W = "http://schemas.openxmlformats.org/wordprocessingml/2006/main"
TEXT_WIDTH = 12240 - 2 * 1800  # python-docx's default page less its margins, in twips


def tc(text=None, tcPr="", pPr="", rPr=""):
    """A cell: one paragraph, with a run when `text` is given (written cells keep spaces)."""
    props = f"<w:tcPr>{tcPr}</w:tcPr>" if tcPr else ""
    para = f"<w:pPr>{pPr}</w:pPr>" if pPr else ""
    if text is not None:
        run_props = f"<w:rPr>{rPr}</w:rPr>" if rPr else ""
        para += f'<w:r>{run_props}<w:t xml:space="preserve">{text}</w:t></w:r>'
    return f"<w:tc>{props}<w:p>{para}</w:p></w:tc>"


def tr(*cells, trPr=""):
    return f"<w:tr>{f'<w:trPr>{trPr}</w:trPr>' if trPr else ''}{''.join(cells)}</w:tr>"


def grid(*widths):
    return "<w:tblGrid>" + "".join(f'<w:gridCol w:w="{w}"/>' for w in widths) + "</w:tblGrid>"


def shape(el):
    """An element as nested tuples, blind to namespace declarations and indentation."""
    name = etree.QName(el).localname
    attrs = tuple(sorted((etree.QName(k).localname, v) for k, v in el.attrib.items()))
    text = (el.text or "") if name == "t" else ""
    return (name, attrs, text, tuple(shape(child) for child in el))


def fill(tmp_path, inner, env, *, wrap=None, **options):
    """Fills a document whose body holds the table `inner`; returns (table, failed, warnings)."""
    doc = docx.Document()
    table = parse_xml(f'<w:tbl xmlns:w="{W}">{inner}</w:tbl>')
    if wrap is not None:  # a table nested in the cell of another
        outer = parse_xml(f'<w:tbl xmlns:w="{W}">{wrap}</w:tbl>')
        cell = outer.find(f".//{{{W}}}tc")
        cell.insert(cell.index(cell.find(f"{{{W}}}p")), table)  # a cell ends with a paragraph
        table = outer
    doc.element.body.insert(0, table)
    doc.save(tmp_path / "t.docx")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        failed = PageFill(**options)(str(tmp_path / "t.docx"), str(tmp_path / "o.docx"), env)
    return docx.Document(tmp_path / "o.docx").element.body[0], failed, [str(w.message) for w in caught]


TWO = pd.DataFrame({"a": [1, 2], "b": ["x", "y"]})
HEAD = tr(tc("Item"), tc("Name"), trPr="<w:tblHeader/>")
SHADED = '<w:tcW w:w="3000" w:type="dxa"/><w:shd w:val="clear" w:color="auto" w:fill="EEEEEE"/><w:vAlign w:val="center"/>'
ROW_PR = '<w:trHeight w:val="500"/><w:cantSplit/>'

NOTE_CELL = ('<w:tc><w:p><w:r><w:t xml:space="preserve">%s</w:t></w:r>'
             '<w:r><w:rPr><w:rStyle w:val="FootnoteReference"/></w:rPr><w:footnoteReference w:id="1"/></w:r></w:p></w:tc>')
MARK_CELL = "<w:tc><w:p><w:pPr><w:rPr><w:b/></w:rPr></w:pPr>%s</w:p></w:tc>"
BOLD_RUN = '<w:r><w:rPr><w:b/></w:rPr><w:t xml:space="preserve">%s</w:t></w:r>'

CASES = [
    pytest.param(
        grid(3000, 2000) + HEAD
        + tr(tc("{df}", SHADED, '<w:jc w:val="right"/>', "<w:b/>"), tc("", pPr='<w:spacing w:after="0"/>', rPr="<w:i/>"), trPr=ROW_PR + "<w:tblHeader/>")
        + tr(tc("Total"), tc("{n}")),
        {"df": TWO, "n": 3}, True,
        grid(3000, 2000) + HEAD
        + tr(tc("1", SHADED, '<w:jc w:val="right"/>', "<w:b/>"), tc("x", pPr='<w:spacing w:after="0"/>', rPr="<w:i/>"), trPr=ROW_PR + "<w:tblHeader/>")
        + tr(tc("2", SHADED, '<w:jc w:val="right"/>', "<w:b/>"), tc("y", pPr='<w:spacing w:after="0"/>', rPr="<w:i/>"), trPr=ROW_PR)
        + tr(tc("Total"), tc("3")),
        id="inserted rows copy the template row but not its header repeat",
    ),
    pytest.param(
        grid(1000, 1000) + tr(NOTE_CELL % "{df}", MARK_CELL % ""),
        {"df": TWO}, True,
        grid(1000, 1000) + tr(NOTE_CELL % "1", MARK_CELL % BOLD_RUN % "x") + tr(tc("2"), MARK_CELL % BOLD_RUN % "y"),
        id="values take the look of the cell's text, not of its notes; an empty cell types as its mark",
    ),
    pytest.param(
        grid(1000, 1000, 1000) + tr(tc("{df}", '<w:gridSpan w:val="2"/>'), tc("")),
        {"df": TWO}, False,
        grid(1000, 1000, 1000) + tr(tc("1", '<w:gridSpan w:val="2"/>'), tc("x")) + tr(tc("2", '<w:gridSpan w:val="2"/>'), tc("y")),
        id="a cell spanning grid columns takes one value",
    ),
    pytest.param(
        grid(1000, 1000)
        + tr(tc("{df}", '<w:vMerge w:val="restart"/>'), tc("a"))
        + tr(tc(None, "<w:vMerge/>"), tc("b"))
        + tr(tc(None, "<w:vMerge/>"), tc("c")),
        {"df": TWO[["a"]]}, False,
        grid(1000, 1000)
        + tr(tc("1"), tc("a"))
        + tr(tc("2"), tc("b"))
        + tr(tc(None, '<w:vMerge w:val="restart"/>'), tc("c")),
        id="vertical merges in the block are split",
    ),
    pytest.param(
        grid(1000, 1000) + tr(tc("Fruit", '<w:vMerge w:val="restart"/>'), tc("{df}")) + tr(tc("Veg"), tc("")),
        {"df": TWO[["b"]]}, True,
        grid(1000, 1000)
        + tr(tc("Fruit", '<w:vMerge w:val="restart"/>'), tc("x"))
        + tr(tc(None, "<w:vMerge/>"), tc("y"))
        + tr(tc("Veg"), tc("")),
        id="a merge beside the block goes on through new rows",
    ),
    pytest.param(
        grid(1000, 1000)
        + tr(tc("Fruit", '<w:vMerge w:val="restart"/>'), tc("{df}")) + tr(tc(None, "<w:vMerge/>"), tc("")) + tr(tc("Total"), tc("")),
        {"df": pd.DataFrame({"b": ["w", "x", "y", "z"]})}, False,
        grid(1000, 1000)
        + tr(tc("Fruit", '<w:vMerge w:val="restart"/>'), tc("w")) + tr(tc(None, "<w:vMerge/>"), tc("x")) + tr(tc("Total"), tc("y"))
        + tr(tc(None), tc("z")),
        id="rows added past the end go on with no merge they do not follow",
    ),
    pytest.param(
        grid(1000, 1000, 1000) + tr(tc("{df}"), tc(""), trPr='<w:gridBefore w:val="1"/>'),
        {"df": TWO}, True,
        grid(1000, 1000, 1000) + tr(tc("1"), tc("x"), trPr='<w:gridBefore w:val="1"/>') + tr(tc("2"), tc("y"), trPr='<w:gridBefore w:val="1"/>'),
        id="rows with gridBefore keep it",
    ),
    pytest.param(
        grid(1000, 1000) + tr(tc("{df}"), trPr='<w:gridAfter w:val="1"/>'),
        {"df": TWO.iloc[:1]}, False,
        grid(1000, 1000) + tr(tc("1"), tc("x", '<w:tcW w:w="1000" w:type="dxa"/>'), trPr=""),
        id="a wider frame takes the columns gridAfter leaves first",
    ),
    pytest.param(
        grid(1000) + '<w:sdt><w:sdtPr/><w:sdtContent>' + tr(tc("{df}")) + "</w:sdtContent></w:sdt>" + tr(tc("{n}")),
        {"df": TWO[["b"]], "n": 3}, True,
        grid(1000) + '<w:sdt><w:sdtPr/><w:sdtContent>' + tr(tc("x")) + tr(tc("y")) + "</w:sdtContent></w:sdt>" + tr(tc("3")),
        id="rows inside a content control",
    ),
    pytest.param(
        grid(1000, 1000) + tr(tc("{n}"), trPr='<w:gridBefore w:val="1"/>')
        + '<w:sdt><w:sdtPr/><w:sdtContent>' + tr(tc("{n}"), tc("")) + "</w:sdtContent></w:sdt>",
        {"n": 3}, False,
        grid(1000, 1000) + tr(tc("3"), trPr='<w:gridBefore w:val="1"/>')
        + '<w:sdt><w:sdtPr/><w:sdtContent>' + tr(tc("3"), tc("")) + "</w:sdtContent></w:sdt>",
        id="placeholders in such rows are filled",
    ),
]


@pytest.mark.parametrize("before, env, insert, after", CASES)
def test_block_rules(tmp_path, before, env, insert, after):
    table, failed, warned = fill(tmp_path, before, env, insert=insert)
    assert (failed, warned) == ([], [])
    assert shape(table) == shape(parse_xml(f'<w:tbl xmlns:w="{W}">{after}</w:tbl>'))


def widths(table):
    columns = [int(c.get(f"{{{W}}}w")) for c in table.iter(f"{{{W}}}gridCol")]
    cells = []
    for row in table.iter(f"{{{W}}}tr"):
        cells.append([int(w.get(f"{{{W}}}w")) for w in row.iter(f"{{{W}}}tcW")])
    return columns, cells


@pytest.mark.parametrize(
    "columns, nested, room",
    [
        pytest.param((4000, 4000), False, TEXT_WIDTH, id="table in the body"),
        pytest.param((1000, 1000), True, 3000 - 216, id="table nested in a 3000 twip cell"),
        pytest.param((5000, 5000), False, 10000, id="a table already wider keeps its width"),
    ],
)
def test_added_columns_stay_inside_the_room(tmp_path, columns, nested, room):
    def cell(width, text=""):
        return tc(text, f'<w:tcW w:w="{width}" w:type="dxa"/>')

    inner = grid(*columns) + tr(cell(columns[0], "{df}"), cell(columns[1])) + tr(*map(cell, columns))
    wrap = grid(3000) + tr(tc(None, '<w:tcW w:w="3000" w:type="dxa"/>')) if nested else None
    frame = pd.DataFrame([[1, 2, 3, 4]])
    table, failed, warned = fill(tmp_path, inner, {"df": frame}, wrap=wrap)
    if nested:
        table = table.find(f".//{{{W}}}tc/{{{W}}}tbl")
    grid_widths, cell_widths = widths(table)
    assert len(grid_widths) == 4 and sum(grid_widths) <= room
    assert sum(grid_widths) >= room - 4  # the room is used, not left empty
    assert cell_widths == [grid_widths, grid_widths]
    assert (failed, warned) == ([], [])


def test_places_count_grid_columns_and_rows_in_content_controls(tmp_path):
    inner = (grid(1000, 1000) + tr(tc("{a}"), trPr='<w:gridBefore w:val="1"/>')
             + '<w:sdt><w:sdtPr/><w:sdtContent>' + tr(tc("x"), tc("{b}")) + "</w:sdtContent></w:sdt>")
    fill(tmp_path, inner, {})
    found = PageFill().check(str(tmp_path / "t.docx"), {}, evaluate=False)
    assert [(f.placeholder, f.place) for f in found] == [("a", "table 1, row 1, column 2"), ("b", "table 1, row 2, column 2")]
