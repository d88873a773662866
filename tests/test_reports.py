"""What every filler reports: failures with place and reason, and the check walk."""

import os
import pickle

import docx
import openpyxl
import pandas as pd
import pytest

from tessel import FailedPlaceholders, Finding
from tessel.gridfill import GridFill
from tessel.linefill import LineFill
from tessel.pagefill import PageFill


def workbook(path):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Sales"
    ws["A1"] = "{x}"
    ws["B2"] = "hi {y}"
    ws["C3"] = "{df}"
    wb.save(path)
    return str(path)


def document(path):
    d = docx.Document()
    d.add_paragraph("Dear {name}")
    table = d.add_table(rows=2, cols=2)
    table.cell(0, 0).text = "{df}"
    table.cell(1, 1).text = "{q}"
    d.sections[0].header.paragraphs[0].text = "{title}"
    d.save(path)
    return str(path)


def test_line_failures_carry_place_and_reason():
    text, failed = LineFill()("a {x}\nb {y}\n\n{z + 1}", {"x": 1, "z": "s"})
    assert text == "a 1\nb {y}\n\n{z + 1}"
    assert isinstance(failed, FailedPlaceholders) and failed == ["y", "z + 1"]
    assert failed.details == [
        Finding("y", "line 2", "NameError: name 'y' is not defined"),
        Finding("z + 1", "line 4", 'TypeError: can only concatenate str (not "int") to str'),
    ]
    again = pickle.loads(pickle.dumps(failed))
    assert again == failed and again.details == failed.details


def test_workbook_failures_carry_place_and_reason(tmp_path):
    path = workbook(tmp_path / "t.xlsx")
    frame = pd.DataFrame({"a": [1.0, float("inf")]})
    failed = GridFill()(path, str(tmp_path / "o.xlsx"), {"x": float("inf"), "df": frame})
    assert failed == ["x", "y", "df"]
    assert [d.place for d in failed.details] == ["sheet Sales, cell A1", "sheet Sales, cell B2", "sheet Sales, cell C3"]
    assert failed.details[0].reason == "inf cannot be stored in a cell"
    assert "C4" in failed.details[2].reason


def test_document_failures_carry_place_and_reason(tmp_path):
    path = document(tmp_path / "t.docx")
    failed = PageFill()(path, str(tmp_path / "o.docx"), {"df": pd.DataFrame({"a": [1, 2, 3]})})
    assert failed == ["name", "q", "title"]
    assert [d.place for d in failed.details] == ["paragraph 1", "table 1, row 2, column 2", "header1, paragraph 1"]
    assert all(d.reason.startswith("NameError") for d in failed.details)


@pytest.mark.parametrize("kind", ["xlsx", "docx", "txt"])
def test_check_lists_without_running_and_judges_with_data(tmp_path, kind):
    if kind == "xlsx":
        filler, template = GridFill(), workbook(tmp_path / "t.xlsx")
        names = ["x", "y", "df"]
    elif kind == "docx":
        filler, template = PageFill(), document(tmp_path / "t.docx")
        names = ["name", "df", "q", "title"]
    else:
        filler, template = LineFill(), "{x}\n{y}\n{df}"
        names = ["x", "y", "df"]
    before = set(os.listdir(tmp_path))
    listed = filler.check(template, {"__import__": None}, evaluate=False)
    assert [f.placeholder for f in listed] == names and all(f.reason is None for f in listed)
    judged = filler.check(template, {"x": 1, "y": 2, "df": pd.DataFrame({"a": [1]}), "name": "n", "q": 1})
    assert [f.placeholder for f in judged] == names
    failing = [f.placeholder for f in judged if f.reason is not None]
    assert failing == (["title"] if kind == "docx" else [])
    assert set(os.listdir(tmp_path)) == before  # a check writes nothing


@pytest.mark.parametrize("kind", ["xlsx", "docx"])
def test_failed_save_leaves_the_earlier_file(tmp_path, kind, monkeypatch):
    template = workbook(tmp_path / "t.xlsx") if kind == "xlsx" else document(tmp_path / "t.docx")
    out = tmp_path / f"o.{kind}"
    out.write_bytes(b"earlier")
    os.chmod(out, 0o640)
    filler = GridFill(restore=True, engine="openpyxl") if kind == "xlsx" else PageFill()
    if kind == "xlsx":
        import tessel.gridfill as module

        def broken(template_path, save_path):
            raise OSError("disk full")

        monkeypatch.setattr(module, "restore_save", broken)
    else:
        import tessel.pagefill as module

        real = module.Document

        class Broken:
            def __init__(self, path):
                self.doc = real(path)

            def __getattr__(self, name):
                return getattr(self.doc, name)

            def save(self, path):
                with open(path, "wb") as f:
                    f.write(b"half")
                raise KeyboardInterrupt

        monkeypatch.setattr(module, "Document", Broken)
    with pytest.raises((OSError, KeyboardInterrupt)):
        filler(template, str(out), {})
    assert out.read_bytes() == b"earlier"
    assert sorted(os.listdir(tmp_path)) == sorted([os.path.basename(template), out.name])
    monkeypatch.undo()
    filler(template, str(out), {})
    assert os.stat(out).st_mode & 0o777 == 0o640 and out.read_bytes() != b"earlier"
