import io
import json
import os
import re
import subprocess
import sys
import zipfile

import docx
import openpyxl
import pandas as pd
import pytest
from docx.shared import Pt
from PIL import Image

from tessel.cli import main


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
    assert err.splitlines()[1:] == ["  line 1: {{b}}"]
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
def test_failed_placeholders_are_listed_with_their_places(tmp_path, capsys, kind, places):
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
    assert [line.strip() for line in lines[1:]] == places


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
        pytest.param(["fill", "{tmp}/bad.txt", "{tmp}/new/out.txt"], "cannot fill", id="template-not-utf8"),
        pytest.param(["fill", "{tmp}/t.xlsx", "{tmp}/out.docx"], "must end in .xlsx", id="output-extension"),
        pytest.param(["fill", "{tmp}/T.XLSX", "{tmp}/out.xlsx"], "lower case", id="extension-case"),
        pytest.param(["fill", "{tmp}/broken.xlsx", "{tmp}/new/out.xlsx"], "cannot fill", id="xlsx-not-a-zip"),
        pytest.param(["fill", "{tmp}/broken.docx", "{tmp}/out.docx"], "cannot fill", id="docx-not-a-zip"),
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
    _data_file(tmp_path, "rows.csv", "k,name\n1,a\n1,b\n")
    _workbook(tmp_path / "t.xlsx", {"A1": "{name}"})
    _workbook(tmp_path / "T.XLSX", {"A1": "{name}"})
    before = sorted(os.listdir(tmp_path))
    code, out, err = run(capsys, *[a.format(tmp=tmp_path) for a in argv])
    assert code == 2
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("tessel") and ": error: " in err
    assert message in err
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
    pytest.importorskip("pyarrow")
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
        ("007", "int 7"),
        ("nan", "str nan"),
        ("Infinity", "str Infinity"),
        ("Ada", "str Ada"),
        ("", "str "),
        ("a=b", "str a=b"),
    ],
)
def test_set_values_become_numbers_where_they_parse(tmp_path, capsys, value, expected):
    template = _text(tmp_path / "t.txt", "{type(v).__name__} {v}")
    code, _, _ = run(capsys, "fill", template, tmp_path / "o.txt", "--set", f"v={value}", "--trust")
    assert code == 0
    assert (tmp_path / "o.txt").read_text(encoding="utf-8") == expected


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
    template = _text(tmp_path / "t.txt", "{name.upper()}")
    code, _, err = run(capsys, "fill", template, tmp_path / "{id}.txt", "--rows", rows)
    assert code == 1
    assert f"{tmp_path / '2.txt'}: 1 placeholder(s) not filled:\n  line 1: {{name.upper()}}\n" in err
    assert (tmp_path / "1.txt").read_text(encoding="utf-8") == "ADA"


def test_rows_into_documents(tmp_path, capsys):
    rows = _data_file(tmp_path, "people.csv", "id,name\n7,Ada\n8,Bob\n")
    template = _document(tmp_path / "t.docx", ["Dear {name}"])
    code, _, _ = run(capsys, "fill", template, tmp_path / "out" / "{id}.docx", "--rows", rows)
    assert code == 0
    assert docx.Document(tmp_path / "out" / "8.docx").paragraphs[0].text == "Dear Bob"


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
    assert re.fullmatch(r"sheet Data, cell A1: \{s\}  FAILS: ValueError: Cannot convert .* to Excel", lines[0])
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
    assert lines[1] == "paragraph 2: {number}"
    # What check says of the split placeholder is what the fill does with it.
    said_split = "FAILS: typed across differently formatted runs" in lines[2]
    assert (code, err) == ((1, "8 placeholder(s), 1 would fail\n") if said_split else
                           (0, "8 placeholder(s)\n"))
    names = "--set name=Ada --set number=7 --set total=5 --set a=1 --set b=2 --set inner=3 --set company=X".split()
    run(capsys, "fill", tmp_path / "t.docx", tmp_path / "o.docx", *names)
    filled = docx.Document(tmp_path / "o.docx").paragraphs[2].text
    assert filled == ("Total: {total}" if said_split else "Total: 5")


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
    assert done.stderr.splitlines()[1:] == ["  line 1: {b}"]
    assert (tmp_path / "o.txt").read_text(encoding="utf-8") == "1 {b}"


@pytest.mark.parametrize("argv", [["--help"], ["fill", "--help"], ["--version"]], ids=["help", "fill-help", "version"])
def test_help_and_version_exit_0(capsys, argv):
    code, out, _ = run(capsys, *argv)
    assert code == 0 and out.startswith(("usage: tessel", "tessel 0"))
