import concurrent.futures
import importlib
import io
import os
import pickle

import docx
import openpyxl
import pandas as pd
import pytest

from tessel.batch import BatchError, fill_many, fill_one
from tessel.linefill import LineFill


@pytest.fixture
def letter(tmp_path):
    path = tmp_path / "letter.txt"
    path.write_text("Dear {name}, you owe {amount * 2}.\n", encoding="utf-8")
    return path


def _executor(kind):
    if kind == "threads":
        return concurrent.futures.ThreadPoolExecutor(max_workers=2)
    return concurrent.futures.ProcessPoolExecutor(max_workers=2)


@pytest.mark.parametrize("kind", ["threads", "processes"])
def test_text_jobs_fill_in_job_order(tmp_path, letter, kind):
    jobs = [(tmp_path / f"out{k}.txt", {"name": f"N{k}", "amount": k}) for k in range(6)]
    jobs[3][1].pop("amount")
    with _executor(kind) as pool:
        results = fill_many(LineFill(), letter, jobs, executor=pool, progress=False)
    assert results == [[], [], [], ["amount * 2"], [], []]
    assert (tmp_path / "out5.txt").read_text(encoding="utf-8") == "Dear N5, you owe 10.\n"
    assert (tmp_path / "out3.txt").read_text(encoding="utf-8") == "Dear N3, you owe {amount * 2}.\n"


def test_default_executor_is_a_process_pool(tmp_path, letter):
    jobs = [(tmp_path / f"{k}.txt", {"name": "x", "amount": k}) for k in range(3)]
    assert fill_many(LineFill(), letter, jobs, progress=False) == [[], [], []]
    assert (tmp_path / "2.txt").read_text(encoding="utf-8") == "Dear x, you owe 4.\n"


def test_no_jobs_start_no_pool(letter):
    assert fill_many(LineFill(), letter, [], progress=False) == []


@pytest.mark.parametrize("kind", ["threads", "processes"])
def test_a_job_that_raises_does_not_stop_the_others(tmp_path, letter, kind):
    good = [(tmp_path / f"{k}.txt", {"name": "x", "amount": k}) for k in range(4)]
    bad = (tmp_path / "no such folder" / "x.txt", {"name": "x", "amount": 1})
    jobs = good[:2] + [bad] + good[2:]
    with _executor(kind) as pool, pytest.raises(BatchError) as info:
        fill_many(LineFill(), letter, jobs, executor=pool, progress=False)
    error = info.value
    assert [e[0] for e in error.errors] == [2]
    assert error.errors[0][1] == str(bad[0])
    assert isinstance(error.errors[0][2], FileNotFoundError)
    assert error.results[:2] == [[], []] and error.results[3:] == [[], []]
    assert isinstance(error.results[2], FileNotFoundError)
    assert all(path.exists() for path, _ in good)
    assert "1 of 5 jobs raised" in str(error)
    assert pickle.loads(pickle.dumps(error)).errors[0][0] == 2


def test_a_job_that_raises_spares_the_jobs_sent_with_it(tmp_path, letter):
    # One worker and thirty jobs: the jobs travel three to a message.
    jobs = [(tmp_path / f"{k}.txt", {"name": "x", "amount": k}) for k in range(30)]
    jobs[4] = (tmp_path / "missing" / "4.txt", jobs[4][1])
    with concurrent.futures.ProcessPoolExecutor(1) as pool, pytest.raises(BatchError) as info:
        fill_many(LineFill(), letter, jobs, executor=pool, progress=False)
    assert [e[0] for e in info.value.errors] == [4]
    assert info.value.results[3] == [] and info.value.results[5] == []
    assert (tmp_path / "5.txt").read_text(encoding="utf-8") == "Dear x, you owe 10.\n"


def test_a_job_that_raises_leaves_an_earlier_file_and_no_temporary(tmp_path, letter):
    out = tmp_path / "out.txt"
    out.write_text("before", encoding="utf-8")
    # An illegal pattern raises out of the filler, after the temporary file exists.
    with pytest.raises(ValueError, match="pattern must be"):
        fill_one(LineFill("<>"), letter, out, {})
    assert out.read_text(encoding="utf-8") == "before"
    assert sorted(os.listdir(tmp_path)) == ["letter.txt", "out.txt"]


def test_written_files_get_the_usual_mode_or_keep_their_own(tmp_path, letter):
    mask = os.umask(0o022)
    os.umask(mask)
    fill_one(LineFill(), letter, tmp_path / "new.txt", {"name": "x", "amount": 1})
    assert os.stat(tmp_path / "new.txt").st_mode & 0o777 == 0o666 & ~mask
    (tmp_path / "old.txt").write_text("before", encoding="utf-8")
    os.chmod(tmp_path / "old.txt", 0o640)
    fill_one(LineFill(), letter, tmp_path / "old.txt", {"name": "x", "amount": 1})
    assert os.stat(tmp_path / "old.txt").st_mode & 0o777 == 0o640


@pytest.mark.parametrize(
    "jobs, error",
    [
        pytest.param([("a.txt", None)], TypeError, id="env-none"),
        pytest.param([("a.txt", [("name", 1)])], TypeError, id="env-list"),
        pytest.param([("a.txt", {}), ("./a.txt", {})], ValueError, id="same-save-path"),
    ],
)
def test_bad_jobs_are_refused_before_any_runs(tmp_path, letter, monkeypatch, jobs, error):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error):
        fill_many(LineFill(), letter, jobs, executor=concurrent.futures.ThreadPoolExecutor(1), progress=False)
    assert not (tmp_path / "a.txt").exists()


class _Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("terminal", [True, False], ids=["terminal", "pipe"])
def test_progress_bar_only_on_a_terminal(tmp_path, letter, monkeypatch, terminal):
    stream = _Terminal() if terminal else io.StringIO()
    monkeypatch.setattr("sys.stderr", stream)
    jobs = [(tmp_path / f"{k}.txt", {"name": "x", "amount": k}) for k in range(3)]
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        fill_many(LineFill(), letter, jobs, executor=pool)
    if terminal:
        assert "3/3" in stream.getvalue()
    else:
        assert stream.getvalue() == ""


def _workbook_template(path):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws["A1"] = "Report for {name}"
    ws["A3"] = "{df}"
    wb.save(path)


def _document_template(path):
    doc = docx.Document()
    doc.add_paragraph("Report for {name}")
    doc.add_table(rows=1, cols=2).rows[0].cells[0].text = "{df}"
    doc.save(path)


@pytest.mark.parametrize(
    "module, name, ext, make",
    [
        pytest.param("tessel.gridfill", "GridFill", ".xlsx", _workbook_template, id="gridfill"),
        pytest.param("tessel.pagefill", "PageFill", ".docx", _document_template, id="pagefill"),
    ],
)
def test_office_fillers_travel_to_worker_processes(tmp_path, module, name, ext, make):
    filler = getattr(importlib.import_module(module), name)(recurse=True)
    template = tmp_path / f"template{ext}"
    make(template)
    jobs = [
        (tmp_path / f"out{k}{ext}", {"name": f"N{k}", "df": pd.DataFrame({"a": [k, k + 1], "b": ["x", "y"]})})
        for k in range(3)
    ]
    jobs.append((tmp_path / f"out3{ext}", {"df": pd.DataFrame({"a": [1]})}))
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        results = fill_many(filler, template, jobs, executor=pool, progress=False)
    assert results == [[], [], [], ["name"]]
    if ext == ".xlsx":
        ws = openpyxl.load_workbook(tmp_path / "out2.xlsx").active
        assert (ws["A1"].value, ws["A3"].value, ws["A4"].value, ws["B4"].value) == ("Report for N2", 2, 3, "y")
    else:
        doc = docx.Document(tmp_path / "out2.docx")
        assert doc.paragraphs[0].text == "Report for N2"
        assert [[c.text for c in row.cells] for row in doc.tables[0].rows] == [["2", "x"], ["3", "y"]]


@pytest.mark.parametrize("processes", [False, True], ids=["threads", "two-processes"])
def test_dask_local_cluster_executor(tmp_path, letter, processes):
    import distributed

    cluster = distributed.LocalCluster(n_workers=2 if processes else 1, threads_per_worker=1 if processes else 2,
                                       processes=processes, dashboard_address=None)
    with cluster, distributed.Client(cluster) as client:
        jobs = [(tmp_path / f"{k}.txt", {"name": "x", "amount": k}) for k in range(4)]
        jobs[2][1].pop("amount")
        results = fill_many(LineFill(), letter, jobs, executor=client.get_executor(), progress=False)
    assert results == [[], [], ["amount * 2"], []]
    assert results[2].details[0].place == "line 1"
    assert (tmp_path / "3.txt").read_text(encoding="utf-8") == "Dear x, you owe 6.\n"
