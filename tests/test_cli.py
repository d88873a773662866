import io
import datetime
import os
import re
import shutil
import subprocess
import sys
import warnings
import zipfile
from decimal import Decimal

import docx
import openpyxl
import pandas as pd
import pytest
from docx.shared import Pt
from hypothesis import given, settings
from hypothesis import strategies as st
from PIL import Image

from foreign_files import FOREIGN
from tessel import OverwriteWarning, cli, outputs
from tessel.cli import main
from tessel.inputs import parse_number, read_csv
from tessel.pagefill import PageFill


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def _text(path, text):
    path.write_text(text, encoding="utf-8")
    return path


def _workbook(path, cells, title="Data"):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = title
    for ref, value in cells.items():
        ws[ref] = value
    wb.save(path)
    return path


def _document(path, paragraphs=(), table=None, header=None):
    doc = docx.Document()
    for text in paragraphs:
        doc.add_paragraph(text)
    if table is not None:
        t = doc.add_table(rows=len(table), cols=len(table[0]))
        for r, row in enumerate(table):
            for c, text in enumerate(row):
                t.rows[r].cells[c].text = text
    if header is not None:
        doc.sections[0].header.paragraphs[0].text = header
    doc.save(path)
    return path


# -- fill -------------------------------------------------------------------


def test_fill_text_exit_0(tmp_path, capsys):
    template = _text(tmp_path / "t.txt", "Hello {name}, {n + 1}!\n")
    code, out, err = run(capsys, "fill", template, tmp_path / "o.txt", "--set", "name=Ada", "--set", "n=41")
    assert (code, out, err) == (0, "", "")
    assert (tmp_path / "o.txt").read_text(encoding="utf-8") == "Hello Ada, 42!\n"


def test_double_brace_pattern(tmp_path, capsys):
    template = _text(tmp_path / "t.txt", "{{a}} {b} {{b}}")
    code, _, err = run(capsys, "fill", template, tmp_path / "o.txt", "--pattern", "{{}}", "--set", "a=1")
    assert code == 1
    assert err.splitlines()[1:] == ["  line 1: {{b}}  NameError: name 'b' is not defined"]
    assert (tmp_path / "o.txt").read_text(encoding="utf-8") == "1 {b} {{b}}"


@pytest.mark.parametrize("recurse", [True, False], ids=["recurse", "no-recurse"])
def test_recurse_reaches_the_filler(tmp_path, capsys, recurse):
    # Rows that the block adds below the used range are not visited.
    template = _workbook(tmp_path / "t.xlsx", {"A1": "{df}", "B3": "end"})
    frame = _data_file(tmp_path, "df.csv", "v\nfirst\n{x}\n")
    argv = ["fill", template, tmp_path / "o.xlsx", "--data", frame, "--set", "x=7", "--no-restore"]
    assert run(capsys, *argv, *(["--recurse"] if recurse else []))[0] == 0
    ws = openpyxl.load_workbook(tmp_path / "o.xlsx").active
    assert ws["A2"].value == (7 if recurse else "{x}")


@pytest.mark.parametrize(
    "kind, places",
    [
        pytest.param("text", ["line 2: {missing}", "line 3: {a.b}"], id="text"),
        pytest.param("xlsx", ["sheet Data, cell B3: {missing}", "sheet Data, cell C4: {a.b}"], id="xlsx"),
        pytest.param("docx", ["paragraph 2: {missing}", "table 1, row 2, column 3: {a.b}"], id="docx"),
    ],
)
def test_failed_placeholders_are_listed_with_their_places_and_reasons(tmp_path, capsys, kind, places):
    if kind == "text":
        template = _text(tmp_path / "t.txt", "{a}\nx {missing}\n{a.b}\n")
    elif kind == "xlsx":
        template = _workbook(tmp_path / "t.xlsx", {"A1": "{a}", "B3": "x {missing}", "C4": "{a.b}"})
    else:
        template = _document(tmp_path / "t.docx", ["{a}", "x {missing}"], table=[["", "", ""], ["{a}", "", "{a.b}"]])
    output = tmp_path / f"out.{'txt' if kind == 'text' else kind}"
    code, _, err = run(capsys, "fill", template, output, "--set", "a=1")
    assert code == 1
    assert output.exists()
    lines = err.splitlines()
    assert lines[0] == f"{output}: 2 placeholder(s) not filled:"
    reasons = ["NameError: name 'missing' is not defined", "AttributeError: 'int' object has no attribute 'b'"]
    assert [line.strip() for line in lines[1:]] == [f"{p}  {r}" for p, r in zip(places, reasons)]


@pytest.mark.parametrize(
    "template, known, hint",
    [
        pytest.param("Dear {customer_nmae}", "customer_name", "; did you mean `customer_name`?", id="typo"),
        pytest.param("{Customer_Name}", "customer_name", "; did you mean `customer_name`?", id="case"),
        pytest.param("{total}", "title", "", id="not-close"),
        pytest.param("{x}", "y", "", id="one-letter"),
        pytest.param("{customer_name.upper()}", "customer_nmae", "; did you mean `customer_nmae`?",
                     id="inside-an-expression"),
    ],
)
def test_unknown_name_close_to_a_variable_gets_a_suggestion(tmp_path, capsys, template, known, hint):
    path = _text(tmp_path / "t.txt", template)
    code, _, err = run(capsys, "fill", path, tmp_path / "o.txt", "--set", f"{known}=Ann")
    assert code == 1
    assert err.splitlines()[1].endswith(hint if hint else "is not defined")
    code, out, _ = run(capsys, "check", path, "--set", f"{known}=Ann")
    assert out.rstrip("\n").endswith(hint if hint else "is not defined")


@pytest.mark.parametrize(
    "kind, text, pattern, hints",
    [
        pytest.param("txt", "Dear {{name}}, {{ total }}", "{}", ["every placeholder is written {{...}}"],
                     id="double-under-single"),
        pytest.param("docx", "Dear {{name}}, {{ total }}", "{}", ["every placeholder is written {{...}}"],
                     id="double-under-single-docx"),
        pytest.param("xlsx", "Dear {{name}}", "{}", ["every placeholder is written {{...}}"],
                     id="double-under-single-xlsx"),
        pytest.param("txt", "{{name}} {total}", "{}", [], id="mixed"),
        pytest.param("txt", "Dear ${name}, ${ total }", "{}", ["every placeholder is written ${...}"], id="dollar"),
        pytest.param("docx", "Dear ${name}", "{}", ["every placeholder is written ${...}"], id="dollar-docx"),
        pytest.param("xlsx", "${name} ${total}", "{}", ["every placeholder is written ${...}"], id="dollar-xlsx"),
        pytest.param("txt", "Dear ${{name}}", "{{}}", ["every placeholder is written ${...}"], id="dollar-double"),
        pytest.param("txt", "Price: ${total} for {name}", "{}", [], id="dollar-as-currency"),
        pytest.param("txt", "{name}", "{}", [], id="plain"),
        pytest.param("txt", "{name}", "{{}}", ["no placeholder is written {{...}}"], id="single-under-double"),
        pytest.param("docx", "{% for x in xs %}{{x}}{% endfor %}", "{{}}",
                     ["tags (loops, conditions, comments) are not supported; sections are written {for x in xs} "
                      "... {end for} and {if c} ... {end if}; they are left in the output"],
                     id="tags-under-double"),
        pytest.param("txt", "{# note #}{{name}}", "{}",
                     ["every placeholder is written {{...}}", "tags (loops, conditions, comments) are not "
                      "supported; sections are written {for x in xs} ... {end for} and {if c} ... {end if}; each "
                      "one is taken for a placeholder"], id="comment-and-double"),
    ],
)
def test_templates_for_another_pattern_or_tags_get_a_hint(tmp_path, capsys, kind, text, pattern, hints):
    if kind == "txt":
        template = _text(tmp_path / "t.txt", text)
    elif kind == "docx":
        template = _document(tmp_path / "t.docx", [text])
    else:
        template = _workbook(tmp_path / "t.xlsx", {"B2": text})
    for argv in (["check", template], ["fill", template, tmp_path / f"o.{kind}"]):
        _, _, err = run(capsys, *argv, "--pattern", pattern, "--set", "name=Ann", "--set", "total=3")
        found = [line for line in err.splitlines() if ": hint: " in line]
        assert len(found) == len(hints)
        for line, hint in zip(found, hints):
            assert line.startswith(f"tessel {argv[0]}: hint: ") and hint in line


def test_double_braces_under_the_default_pattern_still_fill_as_before(tmp_path, capsys):
    template = _text(tmp_path / "t.txt", "Dear {{name}}")
    code, _, err = run(capsys, "fill", template, tmp_path / "o.txt", "--set", "name=Ann")
    assert (tmp_path / "o.txt").read_text(encoding="utf-8") == "Dear {Ann}"
    assert code == 0 and err == "tessel fill: hint: every placeholder is written {{...}}: fill it with --pattern '{{}}'\n"


def _data_file(tmp_path, name, content):
    path = tmp_path / name
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content, encoding="utf-8")
    return path


@pytest.mark.parametrize(
    "argv, message",
    [
        pytest.param(["fill", "{tmp}/nope.txt", "{tmp}/out.txt"], "template not found", id="no-template"),
        pytest.param(["fill", "{tmp}/t.txt"], "required: OUTPUT", id="no-output"),
        pytest.param(["fill", "{tmp}/t.txt", "{tmp}/out.txt", "--data", "{tmp}/nope.csv"], "data file not found",
                     id="no-data-file"),
        pytest.param(["fill", "{tmp}/t.txt", "{tmp}/out.txt", "--data", "{tmp}/t.txt"], "unknown kind of data file",
                     id="unknown-data-kind"),
        pytest.param(["fill", "{tmp}/t.txt", "{tmp}/out.txt", "--data", "{tmp}/list.json"], "not an object",
                     id="json-list"),
        pytest.param(["fill", "{tmp}/t.txt", "{tmp}/out.txt", "--data", "{tmp}/bad.json"], "JSONDecodeError",
                     id="json-broken"),
        pytest.param(["fill", "{tmp}/t.txt", "{tmp}/out.txt", "--data", "{tmp}/builtins.json"],
                     "'__builtins__' is reserved", id="json-builtins"),
        pytest.param(["fill", "{tmp}/t.txt", "{tmp}/out.txt", "--data", "{tmp}/my-table.csv"],
                     "'my-table' is not a Python name", id="stem-no-name"),
        pytest.param(["fill", "{tmp}/t.txt", "{tmp}/out.txt", "--data", "{tmp}/boom.py"],
                     "raised ZeroDivisionError: division by zero", id="script-raises"),
        pytest.param(["fill", "{tmp}/t.txt", "{tmp}/out.txt", "--set", "name"], "write it as NAME=VALUE",
                     id="set-no-value"),
        pytest.param(["fill", "{tmp}/t.txt", "{tmp}/out.txt", "--set", "1x=3"], "not a Python name", id="set-bad-name"),
        pytest.param(["fill", "{tmp}/t.txt", "{tmp}/out.txt", "--pattern", "<>"], "invalid choice", id="bad-pattern"),
        pytest.param(["fill", "{tmp}/t.txt", "{tmp}/t.txt"], "is the template itself", id="output-is-template"),
        pytest.param(["fill", "{tmp}/bad.txt", "{tmp}/new/out.txt"], "bad.txt is not UTF-8 text", id="template-not-utf8"),
        pytest.param(["check", "{tmp}/bad.txt"], "bad.txt is not UTF-8 text", id="check-not-utf8"),
        pytest.param(["fill", "{tmp}/old.xls", "{tmp}/new/out.xls"],
                     "old.xls is an Excel 97-2003 workbook; tessel fills .xlsx files: open it in Excel or "
                     "LibreOffice and save it as .xlsx", id="xls"),
        pytest.param(["check", "{tmp}/old.doc"], "old.doc is a Word 97-2003 document; tessel fills .docx files",
                     id="doc"),
        pytest.param(["fill", "{tmp}/locked.xlsx", "{tmp}/new/out.xlsx"],
                     "error: {tmp}/locked.xlsx is encrypted with a password: open it in Excel, remove the password",
                     id="encrypted"),
        pytest.param(["check", "{tmp}/locked.docx"], "error: {tmp}/locked.docx is encrypted with a password",
                     id="check-encrypted"),
        pytest.param(["fill", "{tmp}/locked.docx", "{tmp}/out/{{name}}.docx", "--rows", "{tmp}/rows.csv"],
                     "error: {tmp}/locked.docx is encrypted with a password", id="rows-encrypted"),
        pytest.param(["fill", "{tmp}/legacy.xlsx", "{tmp}/out.xlsx"],
                     "legacy.xlsx is an Excel 97-2003 workbook (.xls), not a .xlsx workbook", id="xls-named-xlsx"),
        pytest.param(["fill", "{tmp}/t.pdf", "{tmp}/out.pdf"], "t.pdf is a PDF file, which tessel cannot fill",
                     id="pdf-template"),
        pytest.param(["fill", "{tmp}/t.txt", "{tmp}/out.pdf"], "a PDF is made from a .xlsx or .docx template",
                     id="pdf-from-text"),
        pytest.param(["fill", "{tmp}/t.xlsx", "{tmp}/out.docx"], "must end in .xlsx", id="output-extension"),
        pytest.param(["fill", "{tmp}/T.XLSX", "{tmp}/out.xlsx"], "lower case", id="extension-case"),
        pytest.param(["fill", "{tmp}/broken.xlsx", "{tmp}/new/out.xlsx"], "broken.xlsx is a text file",
                     id="xlsx-not-a-zip"),
        pytest.param(["fill", "{tmp}/broken.docx", "{tmp}/out.docx"], "broken.docx is a text file",
                     id="docx-not-a-zip"),
        pytest.param(["fill", "{tmp}/truncated.docx", "{tmp}/out.docx"], "cannot fill", id="docx-truncated"),
        pytest.param(["fill", "{tmp}/t.txt", "{tmp}/out/{{id}}.txt", "--rows", "{tmp}/rows.csv"],
                     "OUTPUT names {id}, which is not a column", id="rows-unknown-column"),
        pytest.param(["fill", "{tmp}/t.txt", "{tmp}/out/{{k}}.txt", "--rows", "{tmp}/rows.csv"],
                     "rows 1 and 2 both write", id="rows-same-output"),
        pytest.param(["fill", "{tmp}/t.txt", "{tmp}/out/x.txt", "--rows", "{tmp}/rows.csv"], "must name a column",
                     id="rows-no-column"),
        pytest.param(["fill", "{tmp}/t.txt", "{tmp}/out/{{k}}.txt", "--rows", "{tmp}/nope.csv"], "rows file not found",
                     id="rows-missing"),
        pytest.param(["frobnicate"], "invalid choice", id="unknown-command"),
    ],
)
def test_usage_and_file_errors_exit_2_with_one_line(tmp_path, capsys, argv, message):
    _text(tmp_path / "t.txt", "{name}")
    _data_file(tmp_path, "list.json", "[1, 2]")
    _data_file(tmp_path, "bad.json", "{")
    _data_file(tmp_path, "builtins.json", '{"__builtins__": {}}')
    _data_file(tmp_path, "my-table.csv", "a\n1\n")
    _data_file(tmp_path, "boom.py", "x = 1 / 0\n")
    _data_file(tmp_path, "bad.txt", b"\xff\xfe{name}\x81")
    _data_file(tmp_path, "broken.xlsx", b"not a zip")
    _data_file(tmp_path, "broken.docx", b"not a zip")
    _data_file(tmp_path, "truncated.docx", _document(tmp_path / "whole.docx").read_bytes()[:300])
    (tmp_path / "whole.docx").unlink()
    _data_file(tmp_path, "old.xls", FOREIGN["xls"][0])
    _data_file(tmp_path, "legacy.xlsx", FOREIGN["xls"][0])
    _data_file(tmp_path, "old.doc", FOREIGN["doc"][0])
    _data_file(tmp_path, "locked.xlsx", FOREIGN["encrypted"][0])
    _data_file(tmp_path, "locked.docx", FOREIGN["encrypted"][0])
    _data_file(tmp_path, "t.pdf", FOREIGN["pdf"][0])
    _data_file(tmp_path, "rows.csv", "k,name\n1,a\n1,b\n")
    _workbook(tmp_path / "t.xlsx", {"A1": "{name}"})
    _workbook(tmp_path / "T.XLSX", {"A1": "{name}"})
    before = sorted(os.listdir(tmp_path))
    code, out, err = run(capsys, *[a.format(tmp=tmp_path) for a in argv])
    assert code == 2
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("tessel") and ": error: " in err
    assert message.replace("{tmp}", str(tmp_path)) in err
    assert "Traceback" not in err
    # Nothing at OUTPUT, no temporary file, no folder made for it.
    assert sorted(os.listdir(tmp_path)) == before


def _picture(fmt):
    out = io.BytesIO()
    Image.new("RGB", (4, 3), "red").save(out, format=fmt)
    return out.getvalue()


def _frame_xlsx():
    out = io.BytesIO()
    pd.DataFrame({"x": [1, 2, 3]}).to_excel(out, index=False)
    return out.getvalue()


def _frame_parquet():
    out = io.BytesIO()
    pd.DataFrame({"x": [1, 2, 3]}).to_parquet(out)
    return out.getvalue()


@pytest.mark.parametrize(
    "files, data_arg, template, expected",
    [
        pytest.param({"v.json": '{"name": "Ada", "n": 3}'}, "v.json", "{name} {n + 1}", "Ada 4", id="json"),
        pytest.param({"v.json": "[1, 2]"}, "cfg=v.json", "{cfg[1]}", "2", id="json-named"),
        pytest.param({"v.json": '{"first name": "Ada", "n": 1}'}, "v.json", "{n}", "1", id="json-key-no-name"),
        pytest.param({"sales.csv": "x\n1\n2\n3\n"}, "sales.csv", "{type(sales).__name__} {sales['x'].sum()}",
                     "DataFrame 6", id="csv"),
        pytest.param({"my-data.csv": "x\n1\n2\n3\n"}, "t=my-data.csv", "{t['x'].sum()}", "6", id="csv-named"),
        pytest.param({"sales.xlsx": _frame_xlsx}, "sales.xlsx", "{sales['x'].sum()}", "6", id="xlsx"),
        pytest.param({"sales.parquet": _frame_parquet}, "sales.parquet", "{sales['x'].sum()}", "6", id="parquet"),
        pytest.param({"logo.png": _picture("PNG")}, "logo.png", "{type(logo).__name__} {logo.read(4)}",
                     "BytesIO b'\\x89PNG'", id="png"),
        pytest.param({"logo.jpg": _picture("JPEG")}, "logo.jpg", "{logo.read(2)}", "b'\\xff\\xd8'", id="jpg"),
        pytest.param({"logo.gif": _picture("GIF")}, "pic=logo.gif", "{pic.read(3)}", "b'GIF'", id="gif-named"),
        pytest.param(
            {"report.py": "import helper\nimport math\nvalue = math.sqrt(16)\n\ndef twice(x):\n    return 2 * x\n",
             "helper.py": "X = 1\n"},
            "report.py", "{twice(value)} {helper.X} {'__file__' in dir()}", "8.0 1 False", id="py",
        ),
    ],
)
def test_data_file_kinds(tmp_path, capsys, monkeypatch, files, data_arg, template, expected):
    for name, content in files.items():
        _data_file(tmp_path, name, content() if callable(content) else content)
    monkeypatch.chdir(tmp_path)
    monkeypatch.delitem(sys.modules, "helper", raising=False)
    _text(tmp_path / "t.txt", template)
    # --trust: the templates look at types and modules, which safe mode refuses
    code, _, err = run(capsys, "fill", "t.txt", "o.txt", "--data", data_arg, "--trust")
    assert (code, err) == (0, "")
    assert (tmp_path / "o.txt").read_text(encoding="utf-8") == expected


@pytest.mark.parametrize(
    "value, expected",
    [
        ("3", "int 3"),
        ("-2.5", "float -2.5"),
        ("1e3", "float 1000.0"),
        (".5", "float 0.5"),
        ("0", "int 0"),
        ("0.25", "float 0.25"),
        ("123456789012345", "int 123456789012345"),
        ("0.123456789012345", "float 0.123456789012345"),
        # a float as pandas and Python write it: its 17 digits are its own
        ("339.64000000000004", "float 339.64000000000004"),
        ("0.1234567890123456", "float 0.1234567890123456"),
        ("-1.2345678901234567e-20", "float -1.2345678901234567e-20"),
        ("2026-03-01", "date 2026-03-01"),
        ("2026-03-01T14:30", "Timestamp 2026-03-01 14:30:00"),
        ("2026-03-01 14:30:15+01:00", "Timestamp 2026-03-01 14:30:15+01:00"),
        # Nothing of these may be lost, so they stay text.
        ("007", "str 007"),
        ("0041441234567", "str 0041441234567"),
        ("-01", "str -01"),
        ("00.5", "str 00.5"),
        ("+41", "str +41"),
        ("+1.5", "str +1.5"),
        ("1234567890123456", "str 1234567890123456"),
        ("4111111111111111111", "str 4111111111111111111"),
        ("0.12345678901234567", "str 0.12345678901234567"),
        ("339.640000000000040", "str 339.640000000000040"),
        ("2026-02-30", "str 2026-02-30"),
        ("2026-3-1", "str 2026-3-1"),
        ("-0", "str -0"),
        ("1e400", "str 1e400"),
        ("1e-400", "str 1e-400"),
        ("1_000", "str 1_000"),
        (" 5", "str  5"),
        ("٣", "str ٣"),
        ("nan", "str nan"),
        ("Infinity", "str Infinity"),
        ("Ada", "str Ada"),
        ("", "str "),
        ("a=b", "str a=b"),
    ],
)
def test_set_values_become_numbers_only_where_nothing_is_lost(tmp_path, capsys, value, expected):
    template = _text(tmp_path / "t.txt", "{type(v).__name__} {v}")
    code, _, _ = run(capsys, "fill", template, tmp_path / "o.txt", "--set", f"v={value}", "--trust")
    assert code == 0
    assert (tmp_path / "o.txt").read_text(encoding="utf-8") == expected


@settings(max_examples=400, deadline=None)
@given(st.text(alphabet="0123456789+-.eE_ x", max_size=22))
def test_a_number_from_text_has_exactly_the_text_s_value(text):
    value = parse_number(text)
    if isinstance(value, str):
        assert value is text
        return
    # Oracle: the decimal value of the text, which the number holds to the last digit.
    assert Decimal(text) == Decimal(format(value, ".15g"))
    whole = re.match(r"-?([0-9]*)", text).group(1)
    assert whole in ("", "0") or not whole.startswith("0")
    if len(re.sub(r"[^0-9]", "", re.split("[eE]", text)[0]).lstrip("0")) > 15:
        assert isinstance(value, float) and repr(value) == text
    if isinstance(value, int):
        assert str(value) == text


def test_set_wins_over_data_files(tmp_path, capsys):
    data = _data_file(tmp_path, "v.json", '{"a": 1, "b": 2}')
    template = _text(tmp_path / "t.txt", "{a} {b}")
    assert run(capsys, "fill", template, tmp_path / "o.txt", "--data", data, "--set", "b=3")[0] == 0
    assert (tmp_path / "o.txt").read_text(encoding="utf-8") == "1 3"


def test_rows_give_one_output_per_row(tmp_path, capsys):
    rows = _data_file(tmp_path, "people.csv", "id,name,first name\n1,Ada,A\n2,Bob,B\n3,Cy,\n")
    prices = _data_file(tmp_path, "prices.csv", "p\n10\n20\n")
    template = _text(tmp_path / "t.txt", "{greeting} {name} {row['first name']} {prices['p'].sum()}")
    code, _, err = run(capsys, "fill", template, tmp_path / "out" / "{id}.txt", "--rows", rows,
                       "--data", prices, "--set", "greeting=Hi", "--jobs", "2")
    assert code == 0
    assert err == "3 of 3 files written\n"
    assert sorted(os.listdir(tmp_path / "out")) == ["1.txt", "2.txt", "3.txt"]
    assert (tmp_path / "out" / "2.txt").read_text(encoding="utf-8") == "Hi Bob B 30"


def test_rows_report_failures_per_output(tmp_path, capsys):
    rows = _data_file(tmp_path, "people.csv", "id,name\n1,Ada\n2,\n")
    template = _text(tmp_path / "t.txt", "{name[0].upper()}")
    code, _, err = run(capsys, "fill", template, tmp_path / "{id}.txt", "--rows", rows)
    assert code == 1
    assert (f"{tmp_path / '2.txt'}: 1 placeholder(s) not filled:\n"
            "  line 1: {name[0].upper()}  IndexError: string index out of range\n") in err
    assert (tmp_path / "1.txt").read_text(encoding="utf-8") == "A"


def test_rows_into_documents(tmp_path, capsys):
    rows = _data_file(tmp_path, "people.csv", "id,name\n7,Ada\n8,Bob\n")
    template = _document(tmp_path / "t.docx", ["Dear {name}"])
    code, _, _ = run(capsys, "fill", template, tmp_path / "out" / "{id}.docx", "--rows", rows)
    assert code == 0
    assert docx.Document(tmp_path / "out" / "8.docx").paragraphs[0].text == "Dear Bob"


def _values(series):
    return [None if pd.isna(v) else v for v in series]


@pytest.mark.parametrize(
    "fields, dtype, values",
    [
        pytest.param(["01234", "980", ""], "text", ["01234", "980", ""], id="leading-zero-stays-text"),
        pytest.param(["980", "", "12"], "Int64", [980, None, 12], id="integers-with-gaps"),
        pytest.param(["1", "-2"], "int64", [1, -2], id="integers"),
        pytest.param(["1.5", "", "2"], "float64", [1.5, None, 2.0], id="floats-with-gaps"),
        pytest.param(["2026-03-01", "", "9999-12-31"], "date",
                     [datetime.date(2026, 3, 1), None, datetime.date(9999, 12, 31)], id="dates"),
        pytest.param(["2026-03-01 14:30", "2026-03-02T08:00:05", "2026-03-03"], "date-time",
                     [pd.Timestamp("2026-03-01 14:30"), pd.Timestamp("2026-03-02 08:00:05"),
                      pd.Timestamp("2026-03-03")], id="date-times"),
        pytest.param(["2026-02-30", "2026-03-01"], "text", ["2026-02-30", "2026-03-01"], id="no-such-date"),
        pytest.param(["2026-03-01T10:00+01:00", "2026-03-01T10:00+02:00"], "text",
                     ["2026-03-01T10:00+01:00", "2026-03-01T10:00+02:00"], id="mixed-time-zones"),
        pytest.param(["true", "False", ""], "boolean", [True, False, None], id="booleans"),
        pytest.param(["NA", "null", "None", "nan"], "text", ["NA", "null", "None", "nan"], id="words-stay-words"),
        pytest.param(["1234567890123456", "1"], "text", ["1234567890123456", "1"], id="card-number"),
        pytest.param(["+41", "12"], "text", ["+41", "12"], id="leading-plus"),
        pytest.param(["", ""], "text", ["", ""], id="all-empty"),
    ],
)
def test_csv_columns_keep_what_their_text_says(tmp_path, fields, dtype, values):
    path = _data_file(tmp_path, "t.csv", "v\n" + "\n".join(f'"{f}"' for f in fields) + "\n")
    column = read_csv(path)["v"]
    kinds = {
        "text": lambda c: pd.api.types.is_string_dtype(c) and all(isinstance(v, str) for v in c),
        "date": lambda c: all(isinstance(v, datetime.date) or v is pd.NaT for v in c),
        "date-time": pd.api.types.is_datetime64_any_dtype,
    }
    assert kinds[dtype](column) if dtype in kinds else str(column.dtype) == dtype
    assert _values(column) == values


def test_rows_keep_zip_codes_whole_numbers_and_dates_in_a_workbook(tmp_path, capsys):
    rows = _data_file(tmp_path, "r.csv", "id,zip,amount,due\n1,01234,980,2026-03-01\n2,98765,,2026-04-15\n")
    template = _workbook(tmp_path / "t.xlsx", {"A1": "{zip}", "A2": "{amount}", "A3": "{due}", "A4": "Due {due}",
                                               "A5": "{amount}{zip}"})
    code, _, err = run(capsys, "fill", template, tmp_path / "{id}.xlsx", "--rows", rows, "--jobs", "1")
    assert (code, err) == (0, "2 of 2 files written\n")
    ws = openpyxl.load_workbook(tmp_path / "1.xlsx").active
    assert (ws["A1"].value, ws["A2"].value, ws["A4"].value, ws["A5"].value) == ("01234", 980, "Due 2026-03-01",
                                                                             "98001234")
    assert ws["A3"].value == datetime.datetime(2026, 3, 1)
    assert ws["A3"].is_date and "h" not in ws["A3"].number_format
    ws = openpyxl.load_workbook(tmp_path / "2.xlsx").active
    # An empty field is empty text, as in a mail merge.
    assert (ws["A2"].value in (None, ""), ws["A5"].value) == (True, "98765")


def test_whole_numbers_of_a_workbook_column_with_gaps_stay_whole(tmp_path, capsys):
    data = _workbook(tmp_path / "d.xlsx", {"A1": "id", "B1": "n", "A2": 1, "B2": 980, "A3": 2, "B4": 7, "A4": 3})
    template = _text(tmp_path / "t.txt", "{d['n'].tolist()} {d['id'].dtype}")
    assert run(capsys, "fill", template, tmp_path / "o.txt", "--data", data)[0] == 0
    assert (tmp_path / "o.txt").read_text(encoding="utf-8") == "[980, <NA>, 7] int64"



class OverwritingPageFill(PageFill):
    """A PageFill that says it wrote over the template, among other warnings."""

    def __call__(self, template_path, save_path, env=None):
        warnings.warn(OverwriteWarning("the block of {items} wrote over\n  table 1, row 3"))
        warnings.warn("a library's note on the template", UserWarning)
        warnings.warn("an old way of doing it", DeprecationWarning)
        return super().__call__(template_path, save_path, env)


@pytest.mark.parametrize("rows", [False, True], ids=["one-file", "rows"])
def test_overwrite_warnings_show_on_one_line_and_other_warnings_do_not(tmp_path, capsys, monkeypatch, rows):
    monkeypatch.setattr(cli, "make_filler", lambda kind, pattern, recurse=False, restore=True, insert=False, safe=False,
                        **engine: OverwritingPageFill(pattern, recurse, insert))
    template = _document(tmp_path / "t.docx", ["Dear {name}"])
    if rows:
        data = _data_file(tmp_path, "r.csv", "name\nAnn\nBob\n")
        code, _, err = run(capsys, "fill", template, tmp_path / "{name}.docx", "--rows", data, "--jobs", "2")
        outputs = [tmp_path / "Ann.docx", tmp_path / "Bob.docx"]
    else:
        code, _, err = run(capsys, "fill", template, tmp_path / "Ann.docx", "--set", "name=Ann")
        outputs = [tmp_path / "Ann.docx"]
    assert code == 0
    warned = [f"tessel fill: warning: {o}: the block of {{items}} wrote over table 1, row 3" for o in outputs]
    assert err.splitlines()[:len(outputs)] == warned
    assert "note" not in err and "old way" not in err
    assert docx.Document(outputs[-1]).paragraphs[0].text == f"Dear {outputs[-1].stem}"


@pytest.mark.parametrize("command", ["fill", "check"])
@pytest.mark.parametrize("kind", ["xlsx", "docx"])
def test_insert_and_recurse_reach_the_filler(tmp_path, capsys, monkeypatch, command, kind):
    made = []
    real = cli.make_filler

    def recording(*args, **kwargs):
        made.append(real(*args, **kwargs))
        return made[-1]

    monkeypatch.setattr(cli, "make_filler", recording)
    template = (_workbook(tmp_path / "t.xlsx", {"A1": "{a}"}) if kind == "xlsx"
                else _document(tmp_path / "t.docx", ["{a}"]))
    argv = [command, template] + ([tmp_path / f"o.{kind}"] if command == "fill" else [])
    assert run(capsys, *argv, "--insert", "--recurse", "--set", "a=1")[0] == 0
    assert (made[0].insert, made[0].recurse) == (True, True)
    made.clear()
    run(capsys, *argv, "--set", "a=1")
    assert (made[0].insert, made[0].recurse) == (False, False)


# -- PDF --------------------------------------------------------------------


@pytest.mark.libreoffice
@pytest.mark.parametrize("kind", ["docx", "xlsx"])
def test_pdf_output_is_converted_by_libreoffice(tmp_path, capsys, soffice, kind):
    if kind == "docx":
        template = _document(tmp_path / "t.docx", ["Dear {name}"], table=[["{items}"]])
    else:
        template = _workbook(tmp_path / "t.xlsx", {"A1": "Dear {name}", "A3": "{items}"})
    rows = _data_file(tmp_path, "r.csv", "name\nAnn\nBob\n")
    items = _data_file(tmp_path, "items.csv", "item,n\ngears,24\ncards,500\n")
    out = tmp_path / "out"
    out.mkdir()
    (out / "Ann.pdf").write_bytes(b"an earlier file")
    code, _, err = run(capsys, "fill", template, out / "{name}.pdf", "--rows", rows, "--data", items)
    assert (code, err) == (0, "2 of 2 files written\n")
    code, _, err = run(capsys, "fill", template, out / "single.pdf", "--data", items, "--set", "name=Cy")
    assert (code, err) == (0, "")
    assert sorted(os.listdir(out)) == ["Ann.pdf", "Bob.pdf", "single.pdf"]
    for name in os.listdir(out):
        data = (out / name).read_bytes()
        assert data.startswith(b"%PDF-") and data.rstrip().endswith(b"%%EOF")


def test_pdf_output_without_libreoffice_says_how_to_install_it(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(shutil, "which", lambda name: None)
    monkeypatch.setattr(outputs, "SOFFICE_PLACES", ())
    template = _document(tmp_path / "t.docx", ["Dear {name}"])
    rows = _data_file(tmp_path, "r.csv", "name\nAnn\n")
    before = sorted(os.listdir(tmp_path))
    for argv in (["fill", template, tmp_path / "new" / "o.pdf", "--set", "name=Ann"],
                 ["fill", template, tmp_path / "new" / "{name}.pdf", "--rows", rows]):
        code, out, err = run(capsys, *argv)
        assert (code, out) == (2, "")
        assert err.count("\n") == 1 and "needs LibreOffice" in err and "apt-get install libreoffice" in err
        assert sorted(os.listdir(tmp_path)) == before


def test_a_failed_conversion_leaves_an_earlier_pdf_as_it_was(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(outputs, "find_soffice", lambda: shutil.which("false"))
    template = _document(tmp_path / "t.docx", ["Dear {name}"])
    (tmp_path / "o.pdf").write_bytes(b"an earlier file")
    code, _, err = run(capsys, "fill", template, tmp_path / "o.pdf", "--set", "name=Ann")
    assert code == 2 and "LibreOffice could not convert the filled .docx file to PDF" in err
    assert (tmp_path / "o.pdf").read_bytes() == b"an earlier file"
    assert sorted(os.listdir(tmp_path)) == ["o.pdf", "t.docx"]


# -- check ------------------------------------------------------------------


def test_check_workbook_lists_cells_and_writes_nothing(tmp_path, capsys):
    template = _workbook(tmp_path / "t.xlsx", {"A1": "{title}", "B2": "Total: {n} of {m}", "C5": "=SUM(A1:A{k})",
                                               "D1": 5})
    before = sorted(os.listdir(tmp_path))
    code, out, err = run(capsys, "check", template)
    assert code == 0
    assert out.splitlines() == [
        "sheet Data, cell A1: {title}",
        "sheet Data, cell B2: {n}",
        "sheet Data, cell B2: {m}",
        "sheet Data, cell C5: {k}",
    ]
    assert err == "4 placeholder(s)\n"
    assert sorted(os.listdir(tmp_path)) == before


def test_check_with_data_tells_what_would_fail_and_why(tmp_path, capsys):
    template = _workbook(tmp_path / "t.xlsx", {"A1": "{s}", "A2": "see {s}", "A3": "{n / 0}", "A4": "{logo}",
                                               "A5": "{df}"})
    script = _data_file(tmp_path, "vars.py", "import io, pandas as pd\ns = pd.Series([1])\nn = 1\n"
                        "logo = io.BytesIO(b'no picture')\ndf = pd.DataFrame({'a': [1]})\n")
    code, out, err = run(capsys, "check", template, "--data", script)
    assert code == 1
    lines = out.splitlines()
    assert lines[0] == "sheet Data, cell A1: {s}  FAILS: a value of type Series cannot be stored in a cell"
    assert lines[1:3] == ["sheet Data, cell A2: {s}  ok", "sheet Data, cell A3: {n / 0}  FAILS: ZeroDivisionError: "
                          "division by zero"]
    assert lines[3].startswith("sheet Data, cell A4: {logo}  FAILS: UnidentifiedImageError")
    assert lines[4] == "sheet Data, cell A5: {df}  ok"
    assert err == "5 placeholder(s), 3 would fail\n"


def test_check_document_paragraphs_tables_and_runs(tmp_path, capsys):
    doc = docx.Document()
    doc.add_paragraph("Dear {name},")
    same = doc.add_paragraph("Your number: ")
    same.add_run("{num")
    same.add_run("ber}")  # same formatting: joined before filling
    split = doc.add_paragraph("Total: ")
    split.add_run("{tot").bold = True
    split.add_run("al}").font.size = Pt(20)  # differently formatted
    table = doc.add_table(rows=2, cols=2)
    table.rows[0].cells[0].text = "Item"
    table.rows[1].cells[0].text = "{items}"
    table.rows[1].cells[1].text = "{a} and {b}"
    table.rows[0].cells[1].add_table(rows=1, cols=1).rows[0].cells[0].text = "{inner}"
    doc.sections[0].header.paragraphs[0].text = "Page of {company}"
    doc.save(tmp_path / "t.docx")
    code, out, err = run(capsys, "check", tmp_path / "t.docx")
    lines = out.splitlines()
    assert [line.split("  FAILS")[0] for line in lines] == [
        "paragraph 1: {name}",
        "paragraph 2: {number}",
        "paragraph 3: {total}",
        "table 1, row 1, column 2, table 1, row 1, column 1: {inner}",
        "table 1, row 2, column 1: {items}",
        "table 1, row 2, column 2: {a}",
        "table 1, row 2, column 2: {b}",
        "header1, paragraph 1: {company}",
    ]
    assert (code, err) == (0, "8 placeholder(s)\n")
    names = ("--set name=Ada --set number=7 --set total=5 --set a=1 --set b=2 --set inner=3 --set company=X "
             "--set items=9").split()
    code, out, err = run(capsys, "check", tmp_path / "t.docx", *names)
    assert (code, err) == (0, "8 placeholder(s), 0 would fail\n")
    assert all(line.endswith("  ok") for line in out.splitlines())
    assert run(capsys, "fill", tmp_path / "t.docx", tmp_path / "o.docx", *names)[0] == 0
    filled = docx.Document(tmp_path / "o.docx")
    assert [p.text for p in filled.paragraphs] == ["Dear Ada,", "Your number: 7", "Total: 5"]


def test_check_text_with_data(tmp_path, capsys):
    template = _text(tmp_path / "t.txt", "a {x}\n{\ny.z}\n")
    data = _data_file(tmp_path, "v.json", '{"x": 1, "y": 2}')
    code, out, _ = run(capsys, "check", template, "--data", data)
    assert code == 1
    assert out.splitlines() == ["line 1: {x}  ok", "line 2: {", "y.z}  FAILS: AttributeError: 'int' object has no "
                                "attribute 'z'"]


# -- demo and the command as a process --------------------------------------


def test_demo_files_hold_their_pictures_and_chart_and_convert(tmp_path, capsys, soffice):
    code, out, err = run(capsys, "demo", tmp_path / "demo")
    assert (code, err) == (0, "")
    paths = out.splitlines()
    assert [os.path.basename(p) for p in paths] == ["report.xlsx", "order.docx", "letter.txt"]

    with zipfile.ZipFile(paths[0]) as z:
        names = z.namelist()
    assert any(re.fullmatch(r"xl/charts/chart\d+\.xml", n) for n in names)
    assert any(n.startswith("xl/media/") for n in names)
    ws = openpyxl.load_workbook(paths[0])["Sales"]
    assert ws["A1"].value == "Half-year sales"
    assert [ws.cell(row=r, column=2).value for r in range(5, 11)] == [12400, 13900, 12100, 15800, 17250, 16900]

    with zipfile.ZipFile(paths[1]) as z:
        media = [n for n in z.namelist() if n.startswith("word/media/")]
        body = z.read("word/document.xml").decode("utf-8")
        rels = z.read("word/_rels/document.xml.rels").decode("utf-8")
    assert len(media) >= 2  # the header logo and the chart picture
    assert "<w:hyperlink" in body and "https://example.com/tessel/orders" in rels
    document = docx.Document(paths[1])
    assert [c.text for c in document.tables[0].rows[3].cells] == ["brass gears", "24", "1,295.50"]
    assert "{" not in "".join(p.text for p in document.paragraphs)

    with open(paths[2], encoding="utf-8") as f:
        letter = f.read()
    assert "Ada Lovelace" in letter and "{" not in letter

    profile = (tmp_path / "lo-profile").as_uri()
    subprocess.run([soffice, f"-env:UserInstallation={profile}", "--headless", "--convert-to", "pdf",
                    "--outdir", str(tmp_path / "pdf"), paths[0], paths[1]], check=True, capture_output=True,
                   timeout=240)
    for name in ("report.pdf", "order.pdf"):
        with open(tmp_path / "pdf" / name, "rb") as f:
            assert f.read(5) == b"%PDF-"


def test_python_m_tessel_runs_the_command(tmp_path):
    template = _text(tmp_path / "t.txt", "{a} {b}")
    done = subprocess.run([sys.executable, "-m", "tessel", "fill", str(template), str(tmp_path / "o.txt"),
                           "--set", "a=1"], capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert done.returncode == 1
    assert done.stderr.splitlines()[1:] == ["  line 1: {b}  NameError: name 'b' is not defined"]
    assert (tmp_path / "o.txt").read_text(encoding="utf-8") == "1 {b}"


@pytest.mark.parametrize("argv", [["--help"], ["fill", "--help"], ["--version"]], ids=["help", "fill-help", "version"])
def test_help_and_version_exit_0(capsys, argv):
    code, out, _ = run(capsys, *argv)
    assert code == 0 and out.startswith(("usage: tessel", "tessel 0"))
    if argv == ["fill", "--help"]:
        words = " ".join(out.split())
        assert "a leading zero other than in 0 and 0.x, a leading +, or more than 15 significant digits" in words
        assert "ISO dates (2026-03-01) become datetime.date values" in words and ".pdf" in words


def test_a_csv_that_pandas_wrote_reads_back_as_its_numbers(tmp_path):
    import pandas as pd

    frame = pd.DataFrame({"amount": [339.64000000000004, 510.0, 0.1 + 0.2], "id": ["007", "0041441234567", "3"]})
    frame.to_csv(tmp_path / "t.csv", index=False)
    back = read_csv(tmp_path / "t.csv")
    assert back["amount"].dtype == "float64" and back["amount"].tolist() == frame["amount"].tolist()
    assert back["id"].tolist() == ["007", "0041441234567", "3"]


@pytest.mark.parametrize("command", ["fill", "check"])
def test_a_frame_written_as_text_into_a_paragraph_gives_a_hint(tmp_path, capsys, command):
    doc = docx.Document()
    doc.add_paragraph("{sales}")
    doc.add_paragraph("{sales.Amount}")
    doc.save(tmp_path / "t.docx")
    script = _data_file(tmp_path, "vars.py", "import pandas as pd\nsales = pd.DataFrame({'Amount': [1.5, 2]})\n")
    output = [tmp_path / "out.docx"] if command == "fill" else []
    code, _, err = run(capsys, command, tmp_path / "t.docx", *output, "--data", script)
    assert code == 0
    hints = [line for line in err.splitlines() if "hint:" in line]
    assert hints == [f"tessel {command}: hint: {{sales}} at paragraph 1 wrote a DataFrame as text; the value "
                     "tessel.Table(sales), alone in a paragraph, makes it a table (as 1 more placeholders did)"]
