"""`check` walks a template as the fill does: both report the same placeholders, places and reasons."""

import glob
import io
import os
import warnings

import docx
import openpyxl
import pandas as pd
import pytest
from docx.oxml.ns import qn
from PIL import Image

from tessel import Finding
from tessel.cli import main
from tessel.gridfill import GridFill
from tessel.linefill import LineFill
from tessel.pagefill import PageFill

DATA = os.path.join(os.path.dirname(__file__), "data")
TEMPLATES = sorted(glob.glob(os.path.join(DATA, "xlsx", "*.xlsx")) + glob.glob(os.path.join(DATA, "docx", "*.docx")))


def _picture():
    out = io.BytesIO()
    Image.new("RGB", (30, 20), "red").save(out, "PNG")
    out.seek(0)
    return out


# Values that fill, and values that fail somewhere: a cell cannot hold inf, text
# past 32,767 characters, a complex number or control characters; a stream that
# is no picture cannot be placed.
VALUES = {
    "text": lambda: "Ann",
    "int": lambda: 42,
    "inf": lambda: float("inf"),
    "huge-text": lambda: "x" * 40000,
    "complex": lambda: 1 + 2j,
    "control-characters": lambda: "bell\x07ring\x00",
    "frame": lambda: pd.DataFrame({"a": [1, 2], "b": ["x", "{text}"]}),
    "picture": _picture,
    "not-a-picture": lambda: io.BytesIO(b"not a picture"),
    "none": lambda: None,
    "float": lambda: 3.5,
    "bad-frame": lambda: pd.DataFrame({"a": [float("inf"), 1 + 1j], "b": ["ok", "\x01"]}),
    "series": lambda: pd.Series([1, 2]),
}


def _variables(listing):
    """Each name the template uses gets the next kind of value, in turn."""
    env, kinds = {}, list(VALUES)
    for found in listing:
        name = found.placeholder.strip()
        if name.isidentifier() and name not in env:
            env[name] = VALUES[kinds[len(env) % len(kinds)]]()
    return env


def _filler(path, pattern, recurse):
    return (GridFill if path.endswith(".xlsx") else PageFill)(pattern, recurse)


def _agree(filler, path, env, save):
    """Runs check and fill with the same variables; returns both reports, or both errors."""
    outcomes = []
    for run in (lambda: filler.check(path, dict(env)), lambda: filler(path, save, dict(env))):
        try:
            outcomes.append(run())
        except Exception as exc:  # noqa: BLE001 - both must fail alike
            outcomes.append(type(exc))
    return outcomes


@pytest.mark.filterwarnings("ignore::UserWarning")
@pytest.mark.parametrize("pattern", ["{}", "{{}}"])
@pytest.mark.parametrize("path", TEMPLATES, ids=os.path.basename)
def test_check_and_fill_report_the_same_placeholders(tmp_path, path, pattern):
    filler = _filler(path, pattern, recurse=True)
    try:
        listing = filler.check(path, evaluate=False)
    except Exception as exc:  # noqa: BLE001 - a template its loader refuses
        save = str(tmp_path / ("out" + os.path.splitext(path)[1]))
        assert _agree(filler, path, {}, save) == [type(exc), type(exc)]
        return
    if not listing:
        return  # nothing for either to report: the fill of such files is tested elsewhere
    env = _variables(listing)
    checked, failed = _agree(filler, path, env, str(tmp_path / ("out" + os.path.splitext(path)[1])))
    assert isinstance(checked, list) and isinstance(failed, list), (checked, failed)
    assert [f for f in checked if f.reason is not None] == failed.details
    assert list(failed) == [f.placeholder for f in failed.details]


# What a check once called fine and the fill then failed.
MUST_FAIL = {("cell", "inf"), ("cell", "huge-text"), ("cell-text", "huge-text"), ("cell", "complex"),
             ("cell", "control-characters"), ("paragraph", "control-characters"), ("cell", "not-a-picture"),
             ("paragraph", "not-a-picture"), ("table-cell", "bad-frame")}


@pytest.mark.parametrize("kind", list(VALUES))
@pytest.mark.parametrize("where", ["cell", "cell-text", "paragraph", "table-cell", "header", "line"])
def test_every_kind_of_value_is_judged_alike(tmp_path, kind, where):
    if where == "line":
        filler, template = LineFill(), "a {v}\nb {v}"
    elif where.startswith("cell"):
        wb = openpyxl.Workbook()
        wb.active["B2"] = "{v}" if where == "cell" else "Total: {v}"
        wb.active["B5"] = "{text}"
        template = str(tmp_path / "t.xlsx")
        wb.save(template)
        filler = GridFill(recurse=True)
    else:
        doc = docx.Document()
        if where == "paragraph":
            doc.add_paragraph("Total: {v}")
        elif where == "table-cell":
            doc.add_table(rows=2, cols=2).rows[1].cells[0].text = "{v}"
        else:
            doc.sections[0].header.paragraphs[0].text = "{v} and {text}"
        template = str(tmp_path / "t.docx")
        doc.save(template)
        filler = PageFill(recurse=True)
    env = {"v": VALUES[kind](), "text": "Ann"}
    if where == "line":
        checked, (_, failed) = filler.check(template, dict(env)), filler(template, dict(env))
    else:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            checked, failed = _agree(filler, template, env, str(tmp_path / ("out" + os.path.splitext(template)[1])))
    assert [f for f in checked if f.reason is not None] == failed.details
    assert all(f.reason for f in failed.details)
    if (where, kind) in MUST_FAIL:
        assert failed == ["v"] * (2 if where == "line" else 1)


def _script(tmp_path, names):
    lines = ["import io, pandas as pd", "from PIL import Image", "pic = io.BytesIO()",
             "Image.new('RGB', (30, 20), 'red').save(pic, 'PNG')"]
    pool = ["'Ann'", "float('inf')", "'x' * 40000", "1 + 2j", "'a\\x07b'", "pd.DataFrame({'a': [1, 2]})", "pic",
            "io.BytesIO(b'no picture')", "42"]
    for k, name in enumerate(names):
        lines.append(f"{name} = {pool[k % len(pool)]}")
    path = tmp_path / "variables.py"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


@pytest.mark.parametrize("name", ["docx/poitl__template.docx", "docx/docxtpl__header_footer_inline_image_tpl.docx",
                                  "xlsx/cxr__SpreadReportTemplate.xlsx", "xlsx/ee__composite.xlsx"])
def test_the_command_s_check_names_the_failures_its_fill_lists(tmp_path, capsys, name):
    template = os.path.join(DATA, *name.split("/"))
    main(["check", template])
    listed, _ = capsys.readouterr()
    names = []
    for line in listed.splitlines():
        placeholder = line.split(": {", 1)[1][:-1].strip()
        if placeholder.isidentifier() and placeholder not in names:
            names.append(placeholder)
    data = _script(tmp_path, names)
    check_code = main(["check", template, "--data", str(data)])
    checked, _ = capsys.readouterr()
    output = tmp_path / ("out" + os.path.splitext(template)[1])
    fill_code = main(["fill", template, str(output), "--data", str(data)])
    _, filled = capsys.readouterr()
    would_fail = ["  " + line.replace("  FAILS: ", "  ") for line in checked.splitlines() if "  FAILS: " in line]
    failed = [line for line in filled.splitlines() if line.startswith("  ")]
    assert would_fail == failed
    assert check_code == fill_code == (1 if failed else 0)
    assert output.exists()


@pytest.mark.parametrize("bad", ["b\x02", "\x00", "ok\x1b[0m"])
def test_a_block_value_a_document_cannot_hold_fails_its_placeholder_and_the_rest_is_written(tmp_path, bad):
    doc = docx.Document()
    doc.add_table(rows=2, cols=2).rows[1].cells[0].text = "{v}"
    doc.add_paragraph("{after}")
    template = str(tmp_path / "t.docx")
    doc.save(template)
    env = {"v": pd.DataFrame({"a": ["ok", bad], "b": [1, 2]}), "after": "done"}
    failed = PageFill()(template, str(tmp_path / "o.docx"), env)
    assert failed == ["v"]
    assert failed.details[0].reason.startswith("the frame's value in row 2, column 1 holds the character U+00")
    filled = docx.Document(str(tmp_path / "o.docx"))
    assert [[c.text for c in row.cells] for row in filled.tables[0].rows] == [["", ""], ["ok", "1"], ["", "2"]]
    assert filled.paragraphs[0].text == "done"


def test_runs_that_differ_only_in_a_font_hint_hold_one_placeholder(tmp_path):
    # Word marks East Asian text with w:hint; the runs look alike and are joined.
    doc = docx.Document()
    paragraph = doc.add_paragraph("客户：")
    for piece, hint in (("{na", None), ("me}", "eastAsia")):
        run = paragraph.add_run(piece)
        if hint:
            fonts = run._r.get_or_add_rPr().get_or_add_rFonts()
            fonts.set(qn("w:hint"), hint)
    template = str(tmp_path / "t.docx")
    doc.save(template)
    env = {"name": "王芳"}
    assert PageFill().check(template, dict(env)) == [Finding("name", "paragraph 1", None)]
    assert PageFill()(template, str(tmp_path / "o.docx"), dict(env)) == []
    assert docx.Document(str(tmp_path / "o.docx")).paragraphs[0].text == "客户：王芳"
