"""Safe fills in a confined process: hard limits that no rule of the allowlist has to foresee.

The placeholders here call functions of the caller's own code, which safe mode lets
run: what such a function may do is bounded by the process, not by the rules.
"""

import io
import os
import socket
import subprocess
import sys
import time
import warnings
import zipfile

import docx
import openpyxl
import pandas as pd
import pytest

from tessel import gridfill, linefill, pagefill
from tessel.gridfill import GridFill
from tessel.linefill import LineFill
from tessel.pagefill import PageFill
from tessel.results import OverwriteWarning

pytestmark = pytest.mark.skipif(not linefill.CONFINED, reason="this system cannot confine a process")

# Small limits keep the tests quick: 1 GiB above the caller, a second per placeholder.
LIMITS = (1 << 30, 1)
TIME_REASON = "TimeoutError: past the time limit of safe mode (1 s of CPU time for one placeholder)"
MEMORY_REASON = "MemoryError: past the memory limit of safe mode (1073741824 bytes above the caller's own use)"


def spin():
    while True:
        pass


def sleep_long():
    time.sleep(60)


def allocate_5gb():
    return len(bytearray(5 * 10**9))


def fill_cells(kind, folder, cells, env, **options):
    """Fills `cells` (one placeholder text per cell or paragraph) in safe mode; returns
    what each became and the failed placeholders' reasons."""
    options.setdefault("safe_limits", LIMITS)
    options.setdefault("safe", True)
    if kind == "line":
        text, failed = LineFill(**options)("\n".join(cells), env)
        return text.split("\n"), {f.placeholder: f.reason for f in failed.details}
    if kind == "grid":
        template, out = os.path.join(folder, "t.xlsx"), os.path.join(folder, "o.xlsx")
        book = openpyxl.Workbook()
        for row, text in enumerate(cells, 1):
            book.active.cell(row=row, column=1, value=text)
        book.save(template)
        failed = GridFill(**options)(template, out, env)
        values = [c.value for c in openpyxl.load_workbook(out).active["A"]]
        return [str(v) for v in values], {f.placeholder: f.reason for f in failed.details}
    template, out = os.path.join(folder, "t.docx"), os.path.join(folder, "o.docx")
    document = docx.Document()
    for text in cells:
        document.add_paragraph(text)
    document.save(template)
    failed = PageFill(**options)(template, out, env)
    return [p.text for p in docx.Document(out).paragraphs], {f.placeholder: f.reason for f in failed.details}


KINDS = ["line", "grid", "page"]


@pytest.mark.parametrize("kind", KINDS)
def test_a_placeholder_past_a_limit_fails_by_it_and_the_rest_fill(tmp_path, kind):
    env = {"spin": spin, "allocate_5gb": allocate_5gb, "sleep_long": sleep_long, "n": 7}
    cells = ["{n}", "{spin()}", "A {n * 2}", "{allocate_5gb()}", "{sleep_long()}", "{n + 1}"]
    start = time.monotonic()
    filled, reasons = fill_cells(kind, tmp_path, cells, env)
    assert filled == ["7", "{spin()}", "A 14", "{allocate_5gb()}", "{sleep_long()}", "8"]
    assert reasons == {"spin()": TIME_REASON, "allocate_5gb()": MEMORY_REASON, "sleep_long()": TIME_REASON}
    # a second of CPU, and a few of real time for the one that sleeps
    assert time.monotonic() - start < 20


def write_file(path):
    with open(path, "w") as f:
        f.write("x")


def append_file(path):
    with open(path, "a") as f:
        f.write("x")


def read_file(path):
    with open(path, "rb") as f:
        return len(f.read())


def connect():
    socket.create_connection(("127.0.0.1", 9), timeout=1)


def listen():
    socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)


def run_process():
    return subprocess.run(["true"]).returncode


def fork():
    return os.fork()


def signal_parent():
    os.kill(os.getppid(), 0)


def remove(path):
    os.remove(path)


def make_folder(path):
    os.mkdir(path)


FORBIDDEN = [
    ("write_file(T + '/new.txt')", "PermissionError"),
    ("append_file(T + '/kept.txt')", "PermissionError"),
    ("remove(T + '/kept.txt')", "PermissionError"),
    ("make_folder(T + '/d')", "PermissionError"),
    ("connect()", "PermissionError"),
    ("listen()", "PermissionError"),
    ("run_process()", "PermissionError"),
    ("fork()", "PermissionError"),
    ("signal_parent()", "PermissionError"),
]


@pytest.mark.parametrize("kind", KINDS)
def test_system_calls_that_reach_out_are_refused_inside_the_process(tmp_path, kind):
    folder = tmp_path / "target"
    folder.mkdir()
    (folder / "kept.txt").write_text("kept")
    env = {
        "T": str(folder), "write_file": write_file, "append_file": append_file, "remove": remove,
        "make_folder": make_folder, "connect": connect, "listen": listen, "run_process": run_process,
        "fork": fork, "signal_parent": signal_parent,
    }
    filled, reasons = fill_cells(kind, tmp_path, ["{%s}" % call for call, _ in FORBIDDEN] + ["{len(T) > 0}"], env)
    assert filled[-1] == "True"
    for call, error in FORBIDDEN:
        assert reasons[call].startswith(error), (call, reasons[call])
    assert sorted(os.listdir(folder)) == ["kept.txt"] and (folder / "kept.txt").read_text() == "kept"


def test_files_outside_the_installation_cannot_be_read(tmp_path):
    secret = tmp_path / "secret.txt"
    secret.write_text("secret")
    filled, reasons = fill_cells("line", tmp_path, ["{read_file(S)}", "{n}"], {"read_file": read_file,
                                                                            "S": str(secret), "n": 1})
    assert filled == ["{read_file(S)}", "1"]
    assert reasons["read_file(S)"].startswith("PermissionError")


@pytest.mark.parametrize("kind", KINDS)
def test_a_confined_fill_writes_what_a_fill_here_writes(tmp_path, kind):
    env = {"df": pd.DataFrame({"a": [1, 2]}), "name": "Ada", "x": 2.25}
    cells = ["{name}", "{x * 2}", "{df.a.sum()}", "{missing}", "Dear {name.upper()}"]
    confined = fill_cells(kind, tmp_path, cells, env)
    assert confined == (["Ada", "4.5", "3", "{missing}", "Dear ADA"],
                        {"missing": "NameError: name 'missing' is not defined"})
    assert fill_cells(kind, tmp_path, cells, env, safe=False, safe_limits=None) == confined


@pytest.mark.parametrize(
    "limits",
    ["1G", (1,), (0, 1), (1 << 30, 0), (1 << 30, float("nan")), (True, 1), (1 << 30, "10"), (-5, 1)],
)
def test_limits_that_are_no_positive_pair_are_refused(tmp_path, limits):
    with pytest.raises(ValueError, match="safe_limits must be None or a pair"):
        LineFill(safe=True, safe_limits=limits)("{1}", {})


def test_limits_are_read_at_each_call_and_only_in_safe_mode(tmp_path):
    fill = LineFill(safe_limits=(1 << 30, 1))
    # Not safe: nothing is confined and the function runs here.
    target = tmp_path / "made.txt"
    assert fill("{w(T)}", {"w": write_file, "T": str(target)})[1] == []
    assert target.exists()
    target.unlink()
    fill.safe = True
    assert fill("{w(T)}", {"w": write_file, "T": str(target)})[1] == ["w(T)"]
    assert not target.exists()


def test_a_template_of_endless_loops_stops_after_a_bounded_number_of_restarts(tmp_path):
    template = " ".join(["{spin()}"] * 12) + " {n}"
    start = time.monotonic()
    text, failed = LineFill(safe=True, safe_limits=(1 << 30, 0.2))(template, {"spin": spin, "n": 3})
    assert len(failed) == 13 and text == template
    times_out = [f.reason for f in failed.details[:8]]
    assert all(r.startswith("TimeoutError") for r in times_out)
    assert all(r.startswith("not run: safe mode stopped this fill 8 times") for r in
               (f.reason for f in failed.details[8:]))
    assert time.monotonic() - start < 15


def test_overwrite_warnings_reach_the_caller_and_an_error_saves_nothing(tmp_path):
    template, out = tmp_path / "t.xlsx", tmp_path / "o.xlsx"
    book = openpyxl.Workbook()
    book.active["A1"], book.active["A2"] = "{df}", "kept"
    book.save(template)
    env = {"df": pd.DataFrame({"a": [1, 2, 3]})}
    with pytest.warns(OverwriteWarning, match="A2"):
        assert GridFill(safe=True)(str(template), str(out), env) == []
    out.unlink()
    with warnings.catch_warnings():
        warnings.simplefilter("error", OverwriteWarning)
        with pytest.raises(OverwriteWarning):
            GridFill(safe=True)(str(template), str(out), env)
    assert not out.exists()


def test_an_error_of_the_fill_is_raised_as_a_fill_here_raises_it(tmp_path):
    template = tmp_path / "broken.xlsx"
    with zipfile.ZipFile(template, "w") as z:
        z.writestr("[Content_Types].xml", "<Types/>")
    errors = []
    for safe in (False, True):
        with pytest.raises(Exception) as caught:
            GridFill(safe=safe)(str(template), str(tmp_path / "o.xlsx"), {})
        errors.append(type(caught.value))
    assert errors[0] is errors[1]
    assert not (tmp_path / "o.xlsx").exists()


def test_check_in_a_confined_process_finds_what_a_fill_fails(tmp_path):
    template = tmp_path / "t.docx"
    document = docx.Document()
    for text in ["{n}", "{spin()}", "{missing}"]:
        document.add_paragraph(text)
    document.save(template)
    env = {"n": 1, "spin": spin}
    filler = PageFill(safe=True, safe_limits=LIMITS)
    findings = filler.check(str(template), env)
    failed = filler(str(template), str(tmp_path / "o.docx"), env)
    assert [(f.placeholder, f.reason) for f in findings if f.reason] == [(f.placeholder, f.reason) for f in failed.details]
    assert [f.reason is None for f in findings] == [True, False, False]


@pytest.mark.parametrize("safe", [False, True])
def test_a_document_evaluates_each_placeholder_once_and_leaves_the_picture_stream(tmp_path, safe):
    from PIL import Image

    picture = io.BytesIO()
    Image.new("RGB", (8, 8), "red").save(picture, "PNG")
    picture.seek(3)
    calls = []

    def count(value):
        calls.append(value)
        return value

    template, out = tmp_path / "t.docx", tmp_path / "o.docx"
    document = docx.Document()
    document.add_paragraph("{count('p')} {count(logo)}")
    document.add_table(rows=1, cols=1).cell(0, 0).text = "{value}"
    document.save(template)
    env = {"count": count, "logo": picture, "value": "cell"}
    assert PageFill(safe=safe)(str(template), str(out), env) == []
    if not safe:
        # in a confined fill the calls happen in the other process
        assert calls == ["p", picture]
    assert picture.tell() == 3
    filled = docx.Document(out)
    assert filled.tables[0].cell(0, 0).text == "cell"
    assert len(filled.inline_shapes) == 1


def test_the_command_confines_text_fills(tmp_path):
    script = tmp_path / "variables.py"
    target = tmp_path / "made.txt"
    script.write_text(f"def make():\n    open({str(target)!r}, 'w').write('x')\n    return 'made'\n")
    template = tmp_path / "t.txt"
    template.write_text("{make()}")
    for extra, made in [([], False), (["--trust"], True)]:
        out = tmp_path / "out.txt"
        done = subprocess.run([sys.executable, "-m", "tessel", "fill", str(template), str(out), "--data", str(script),
                               *extra], capture_output=True, text=True, timeout=60)
        assert target.exists() == made, done.stderr
        assert "PermissionError" in done.stderr or made
        assert "cannot confine" not in done.stderr


@pytest.mark.parametrize("module", [linefill, gridfill, pagefill])
def test_modules_say_that_they_confine_and_with_what_limits(module):
    assert module.CONFINED is True
    assert module.SAFE_LIMITS == (1 << 30, 10.0)


@pytest.mark.parametrize("kind", KINDS)
def test_each_placeholder_is_evaluated_once(tmp_path, kind):
    calls = []

    def count(value):
        calls.append(value)
        return value

    env = {"count": count, "frame": pd.DataFrame({"a": [1]})}
    filled, reasons = fill_cells(kind, tmp_path, ["{count('a')}", "x {count('b')} {count('c')}", "{count(frame).a.sum()}"],
                                 env, safe=False, safe_limits=None)
    assert reasons == {} and filled[:2] == ["a", "x b c"]
    assert [c if isinstance(c, str) else "frame" for c in calls] == ["a", "b", "c", "frame"]


def test_a_table_cell_naming_a_variable_reads_it_once(tmp_path):
    class Counting(dict):
        def __getitem__(self, name):
            looked.append(name)
            return super().__getitem__(name)

    looked = []
    template, out = tmp_path / "t.docx", tmp_path / "o.docx"
    document = docx.Document()
    document.add_table(rows=1, cols=1).cell(0, 0).text = "{value}"
    document.save(template)
    assert PageFill()(str(template), str(out), Counting(value="cell")) == []
    assert looked.count("value") == 1
    assert docx.Document(out).tables[0].cell(0, 0).text == "cell"


def test_an_error_whose_class_needs_more_than_a_message_is_named(tmp_path):
    template = os.path.join(os.path.dirname(__file__), "data", "docx", "phpword__header-footer-with-custom-macro.docx")
    with pytest.raises(Exception) as here:
        PageFill()(template, str(tmp_path / "a.docx"), {})
    with pytest.raises(RuntimeError) as confined:
        PageFill(safe=True)(template, str(tmp_path / "b.docx"), {})
    assert str(confined.value) == f"{type(here.value).__name__}: {here.value}"
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("command", ["fill", "check"])
def test_the_command_says_in_one_line_where_it_cannot_confine(tmp_path, monkeypatch, capsys, command):
    from tessel.cli import main

    template = tmp_path / "t.txt"
    template.write_text("{n}")
    monkeypatch.setattr(linefill, "CONFINED", False)
    argv = [command, str(template)] + ([str(tmp_path / "out.txt")] if command == "fill" else []) + ["--set", "n=1"]
    assert main(argv) == 0
    notes = [line for line in capsys.readouterr().err.splitlines() if "cannot confine" in line]
    assert notes == [f"tessel {command}: note: this system cannot confine safe mode in a process of its own: "
                     "placeholders are held to the allowlist but run in this process"]
    assert main([*argv, "--trust"]) == 0
    assert "cannot confine" not in capsys.readouterr().err


FIRST_FILLS_ON_THREADS = """
import sys
from concurrent.futures import ThreadPoolExecutor
from tessel.batch import fill_many
from tessel.demo import demo_variables, example
from tessel.{module} import {filler}

env = demo_variables({name!r})
jobs = [(sys.argv[1] + f"/{{k}}{suffix}", env) for k in range(4)]
with ThreadPoolExecutor(2) as executor:
    results = fill_many({filler}(safe=True, insert=True), example({name!r}), jobs, executor=executor, progress=False)
print([len(r) for r in results])
"""


@pytest.mark.parametrize("module, filler, name", [("gridfill", "GridFill", "report.xlsx"),
                                                  ("pagefill", "PageFill", "order.docx")])
def test_the_first_safe_fills_of_a_process_may_start_on_several_threads_at_once(tmp_path, module, filler, name):
    # What safe mode loads on first use is loaded once even when threads ask for it
    # together; the race is a matter of timing, so it is run a few times.
    script = FIRST_FILLS_ON_THREADS.format(module=module, filler=filler, name=name, suffix=name[-5:])
    for attempt in range(3):
        folder = tmp_path / str(attempt)
        folder.mkdir()
        done = subprocess.run([sys.executable, "-c", script, str(folder)], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr[-2000:]
        assert done.stdout.strip() == str([0] * 4)
        assert len(os.listdir(folder)) == 4
