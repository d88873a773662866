import datetime as dt
import io
import os
import random
import re
import subprocess
import sys
import textwrap

import numpy as np
import openpyxl
import pandas as pd
import pytest
from PIL import Image as PILImage

import tessel.gridfill as gridfill
from tessel import OverwriteWarning
from tessel.gridfill import GridFill


def png(colour="red", size=(8, 6)):
    stream = io.BytesIO()
    PILImage.new("RGB", size, colour).save(stream, "PNG")
    stream.seek(0)
    return stream


def template(tmp_path, sheets, name="template.xlsx"):
    """A workbook with {sheet title: {coordinate: value}}; returns its path."""
    wb = openpyxl.Workbook()
    wb.remove(wb.active)
    for title, cells in sheets.items():
        ws = wb.create_sheet(title)
        for coordinate, value in cells.items():
            if ":" in coordinate:
                ws.merge_cells(coordinate)
            else:
                ws[coordinate] = value
    path = tmp_path / name
    wb.save(path)
    return str(path)


def fill(tmp_path, cells, env, **options):
    """Fills a one-sheet template; returns (sheet of the saved file, failed)."""
    path = template(tmp_path, {"S": cells})
    out = str(tmp_path / "out.xlsx")
    failed = GridFill(restore=False, **options)(path, out, env)
    return openpyxl.load_workbook(out)["S"], failed


def values(ws):
    return {c.coordinate: c.value for row in ws.iter_rows() for c in row if c.value is not None}


# -- placement ----------------------------------------------------------------


@pytest.mark.parametrize("recurse", [False, True], ids=["plain", "recurse"])
def test_frame_block_and_recurse(tmp_path, recurse):
    df = pd.DataFrame([["{x}", 2, 3], [4, 5, "{x}"]], columns=["a", "b", "c"], index=["i", "j"])
    with pytest.warns(OverwriteWarning, match=r"the block of \{df\} at B2 on sheet 'S' wrote over 1 cell "
                                              r"holding values or formulas: D3; use insert=True"):
        ws, failed = fill(
            tmp_path, {"B2": "{df}", "C2": "{x}", "D3": "kept?", "E2": "Total: {x}", "A3": "{x}"},
            {"df": df, "x": 7}, recurse=recurse)
    got = values(ws)
    frame_text = 7 if recurse else "{x}"
    # The frame's first value lands in the cell being visited, which is not visited again.
    assert got == {"B2": "{x}", "C2": 2, "D2": 3, "B3": 4, "C3": 5, "D3": frame_text,
                   "E2": "Total: 7", "A3": 7}
    # The template's own {x} in C2 was written over before it was reached.
    assert failed == ["x"]
    assert failed.details[0].place == "sheet S, cell C2"
    assert failed.details[0].reason.startswith("written over by the block of {df} at B2")


def test_whole_cell_and_in_text_values(tmp_path):
    ws, failed = fill(tmp_path, {"A1": "Total: {n}", "A2": "{n}", "A3": "{a} and {b}", "A4": "{n}{n}"},
                      {"n": 5, "a": 1})
    assert values(ws) == {"A1": "Total: 5", "A2": 5, "A3": "1 and {b}", "A4": "55"}
    assert failed == ["b"]


def test_picture_is_anchored_at_its_cell(tmp_path):
    ws, failed = fill(tmp_path, {"C4": "{image}", "A1": "{bad}"},
                      {"image": png(), "bad": io.BytesIO(b"not a picture")})
    assert failed == ["bad"]
    # A stream that is no picture leaves its placeholder where it was.
    assert values(ws) == {"A1": "{bad}"}
    assert ws["C4"].value in ("", None)
    (image,) = ws._images
    marker = image.anchor._from
    assert (marker.row, marker.col) == (3, 2)


def test_one_picture_stream_in_several_cells(tmp_path):
    stream = png()
    stream.seek(0, io.SEEK_END)  # as left by the code that wrote it
    ws, failed = fill(tmp_path, {"A1": "{logo}", "B5": "{logo}"}, {"logo": stream})
    assert failed == [] and not stream.closed
    assert sorted((i.anchor._from.col, i.anchor._from.row) for i in ws._images) == [(0, 0), (1, 4)]


def test_series_is_listed_and_the_file_stays_sound(tmp_path):
    s = pd.Series([1, 2])
    ws, failed = fill(tmp_path, {"A1": "{s}", "A2": "see {s}", "A3": 10}, {"s": s})
    assert failed == ["s"]
    assert ws["A1"].value == "{s}" and ws["A1"].data_type == "s"
    assert ws["A2"].value == "see " + str(s)
    assert ws["A3"].value == 10


def test_non_text_cells_are_left_alone_and_formulas_searched(tmp_path):
    day = dt.datetime(2024, 5, 6, 7, 8)
    ws, failed = fill(tmp_path, {"A1": 3.5, "A2": day, "A3": True, "A4": "=SUM({rng})", "A6": "{{n}}"},
                      {"rng": "B1:B3", "n": 1})
    assert values(ws) == {"A1": 3.5, "A2": day, "A3": True, "A4": "=SUM(B1:B3)", "A6": "{1}"}
    assert ws["A4"].data_type == "f"
    assert failed == []


def test_double_brace_pattern(tmp_path):
    ws, failed = fill(tmp_path, {"A1": "{x}", "A2": "{{x}}", "A3": "a {{x}} {x}"}, {"x": 5}, pattern="{{}}")
    assert values(ws) == {"A1": "{x}", "A2": 5, "A3": "a 5 {x}"}
    assert failed == []


@pytest.mark.parametrize("value", [pd.DataFrame(), pd.DataFrame(index=[1, 2]), pd.DataFrame(columns=["a"]), None],
                         ids=["empty", "no-columns", "no-rows", "None"])
def test_nothing_to_write_keeps_the_placeholder(tmp_path, value):
    ws, failed = fill(tmp_path, {"A1": "{v}"}, {"v": value})
    assert values(ws) == {"A1": "{v}"} and failed == []


# -- traversal bounds -----------------------------------------------------------


def test_frame_columns_count_from_the_next_row_and_new_rows_are_not_visited(tmp_path):
    wide = pd.DataFrame([["{x}", "{x}", "{x}"]])
    tall = pd.DataFrame({"a": ["{x}", "{x}"]})
    ws, failed = fill(tmp_path, {"A1": "{wide}", "A2": "{wide}", "A3": "{tall}"},
                      {"wide": wide, "tall": tall, "x": 1}, recurse=True)
    # Row 1 was bounded at column 1 before the frame widened the sheet; row 2 was
    # not; the row the last frame adds lies under the rows being visited.
    assert values(ws) == {"A1": "{x}", "B1": "{x}", "C1": "{x}",
                          "A2": "{x}", "B2": 1, "C2": 1,
                          "A3": "{x}", "A4": "{x}"}
    assert failed == []


def test_recursive_frames_fill_frames_they_write(tmp_path):
    inner = pd.DataFrame([[1, 2]])
    outer = pd.DataFrame([["a", "b"], ["{inner}", "c"]])
    ws, failed = fill(tmp_path, {"A1": "{outer}", "D3": "end"}, {"outer": outer, "inner": inner}, recurse=True)
    assert values(ws) == {"A1": "a", "B1": "b", "A2": 1, "B2": 2, "D3": "end"}
    assert failed == []


def test_empty_positions_are_not_created(tmp_path):
    path = template(tmp_path, {"S": {"A1": "x", "J200": "{n}", "C5": 1}})
    out = str(tmp_path / "out.xlsx")
    assert GridFill(restore=False)(path, out, {"n": 2}) == []
    ws = openpyxl.load_workbook(out)["S"]
    assert sorted(ws._cells) == [(1, 1), (5, 3), (200, 10)]
    assert ws.calculate_dimension() == "A1:J200"


def test_sheets_are_filled_in_order_and_frames_do_not_shadow_other_sheets(tmp_path):
    path = template(tmp_path, {"One": {"A1": "{df}", "C3": "{missing1}"},
                               "Two": {"B2": "{n}", "A1": "x {missing2}"},
                               "Three": {"A1": "{n} {missing3}"}})
    out = str(tmp_path / "out.xlsx")
    failed = GridFill(restore=False)(path, out, {"df": pd.DataFrame(np.ones((3, 3))), "n": 4})
    wb = openpyxl.load_workbook(out)
    # The block wrote over {missing1}, which therefore never ran.
    assert failed == ["missing1", "missing2", "missing3"]
    assert values(wb["One"]) == {f"{c}{r}": 1.0 for c in "ABC" for r in (1, 2, 3)}
    assert values(wb["Two"]) == {"A1": "x {missing2}", "B2": 4}
    assert values(wb["Three"]) == {"A1": "4 {missing3}"}


def reference_fill(wb, env, recurse):
    """The plain loop over every position, for the cell values it produces; a
    template placeholder that a block writes over counts as failed."""
    failed = []
    for ws in wb.worksheets:
        replaced = set()
        for row in range(1, ws.max_row + 1):
            for column in range(1, ws.max_column + 1):
                if (row, column) in replaced and not recurse:
                    continue
                value = ws.cell(row, column).value
                if not isinstance(value, str):
                    continue
                for placeholder in re.findall(r"\{([^{}]+?)\}", value):
                    delimited = "{%s}" % placeholder
                    lost = []
                    try:
                        if delimited == value:
                            v = eval(placeholder, env)
                            if isinstance(v, pd.DataFrame):
                                block = v.values
                                for i in range(block.shape[0]):
                                    for j in range(block.shape[1]):
                                        old = ws.cell(row + i, column + j).value
                                        if (i or j) and (row + i, column + j) not in replaced and isinstance(old, str):
                                            lost += re.findall(r"\{([^{}]+?)\}", old)
                                        ws.cell(row=row + i, column=column + j, value=block[i, j])
                                        replaced.add((row + i, column + j))
                            else:
                                ws.cell(row=row, column=column, value=v)
                        else:
                            current = ws.cell(row, column).value
                            ws.cell(row=row, column=column, value=current.replace(delimited, str(eval(placeholder, env))))
                    except Exception:
                        failed.append(placeholder)
                    failed += lost
    return failed


@pytest.mark.filterwarnings("ignore::tessel.OverwriteWarning")
@pytest.mark.parametrize("recurse", [False, True], ids=["plain", "recurse"])
@pytest.mark.parametrize("seed", range(12))
def test_same_cells_as_the_plain_loop(tmp_path, seed, recurse):
    rng = random.Random(seed)
    texts = ["{w}", "{t}", "{x}", "{n} and {x}", "{nope}", "plain", 3, "{n}"]
    sheets = {name: {f"{openpyxl.utils.get_column_letter(rng.randint(1, 6))}{rng.randint(1, 7)}": rng.choice(texts)
                     for _ in range(rng.randint(1, 14))} for name in ("A", "B")}
    env = {"w": pd.DataFrame([["{x}", "{n}", 4]], dtype=object), "t": pd.DataFrame({"a": ["{w}", "{x}"]}),
           "x": 1, "n": 5}
    path = template(tmp_path, sheets)
    out = str(tmp_path / "out.xlsx")
    failed = GridFill(recurse=recurse, restore=False)(path, out, dict(env))
    expected_wb = openpyxl.load_workbook(path)
    expected_failed = reference_fill(expected_wb, dict(env), recurse)
    got_wb = openpyxl.load_workbook(out)
    assert failed == expected_failed
    for name in sheets:
        assert values(got_wb[name]) == values(expected_wb[name])


# -- values Excel can hold ---------------------------------------------------------


def test_mixed_dtype_frame(tmp_path):
    paris = "Europe/Paris"
    df = pd.DataFrame({
        "int": [1, 2, 3],
        "float": [1.5, np.nan, -2.0],
        "str": ["a", None, "c"],
        "bool": np.array([True, False, True]),
        "naive": pd.to_datetime(["2024-01-02 03:04", None, "2024-12-31 00:00"]),
        "aware": pd.to_datetime(["2024-06-01 12:00", "2024-01-01 00:30", None]).tz_localize(paris),
        "cat": pd.Categorical(["x", None, "y"]),
        "nullable": pd.array([1, None, 3], dtype="Int64"),
        "object": [np.int64(4), pd.NA, np.float32(0.5)],
        "np_bool": pd.Series([np.bool_(True), np.bool_(False), None], dtype=object),
        "delta": pd.to_timedelta(["1 day", None, "2 hours"]),
    })
    with pytest.warns(OverwriteWarning, match="wrote over 1 cell holding values or formulas: B2;"):
        ws, failed = fill(tmp_path, {"A1": "{df}", "B2": "template text"}, {"df": df})
    assert failed == []
    rows = [[c.value for c in row] for row in ws.iter_rows(min_row=1, max_row=3, max_col=11)]
    assert rows[0] == [1, 1.5, "a", True, dt.datetime(2024, 1, 2, 3, 4), dt.datetime(2024, 6, 1, 12, 0),
                       "x", 1, 4, True, dt.timedelta(days=1)]
    assert rows[1] == [2, None, None, False, None, dt.datetime(2024, 1, 1, 0, 30), None, None, None, False, None]
    assert rows[2][:4] == [3, -2.0, "c", True] and rows[2][5:9] == [None, "y", 3, 0.5]
    assert ws["D1"].data_type == "b" and ws["J1"].data_type == "b"


@pytest.mark.parametrize("value", [
    pd.Series([1, 2]), complex(1, 2), float("inf"), np.float64("-inf"), "bad\x01text", "x" * 32768,
    [1, 2], object(), "\ud800",
], ids=["series", "complex", "inf", "numpy-inf", "control-char", "too-long", "list", "object", "surrogate"])
def test_a_value_excel_cannot_hold_leaves_the_cell_as_it_was(tmp_path, value):
    ws, failed = fill(tmp_path, {"A1": "{v}", "A2": "see: {v}" if isinstance(value, str) else "ok"}, {"v": value})
    assert failed == ["v"] * (2 if isinstance(value, str) else 1)
    assert ws["A1"].value == "{v}" and ws["A1"].data_type == "s"


@pytest.mark.parametrize("value, expected", [
    (float("nan"), None), (pd.NA, None), (pd.NaT, None), (np.bool_(False), False), (np.int8(-3), -3),
    (pd.Timestamp("2024-03-04 05:06", tz="Asia/Tokyo"), dt.datetime(2024, 3, 4, 5, 6)),
    (dt.datetime(2024, 3, 4, 5, 6, tzinfo=dt.timezone(dt.timedelta(hours=-5))), dt.datetime(2024, 3, 4, 5, 6)),
    (np.datetime64("2024-03-04T05:06:07.250000789"), dt.datetime(2024, 3, 4, 5, 6, 7, 250000)),
    (b"bytes", "bytes"),
], ids=["nan", "NA", "NaT", "np-bool", "np-int", "aware-timestamp", "aware-datetime", "datetime64", "bytes"])
def test_whole_cell_values_are_made_storable(tmp_path, value, expected):
    ws, failed = fill(tmp_path, {"A1": "{v}"}, {"v": value})
    assert failed == [] and ws["A1"].value == expected
    assert type(ws["A1"].value) is type(expected)


def test_frame_values_that_cannot_be_stored_leave_their_cells(tmp_path):
    df = pd.DataFrame({"a": pd.Series([1, complex(1, 1)], dtype=object), "b": ["ok", "bad\x02"], "c": [np.inf, 2.0]})
    ws, failed = fill(tmp_path, {"A1": "{df}", "A2": "was A2", "B2": "was B2", "C1": "was C1"}, {"df": df})
    assert failed == ["df"]
    assert values(ws) == {"A1": 1, "B1": "ok", "C1": "was C1", "A2": "was A2", "B2": "was B2", "C2": 2.0}


def test_frame_over_merged_cells_and_past_the_last_column(tmp_path):
    df = pd.DataFrame([[1, 2], [3, 4]])
    ws, failed = fill(tmp_path, {"A1": "{df}", "A2:B2": None, "XFD5": "{df}"}, {"df": df})
    assert failed == ["df", "df"]
    # B2 is covered by the merge that A2 starts: it keeps nothing.
    assert values(ws) == {"A1": 1, "B1": 2, "A2": 3, "XFD5": 1, "XFD6": 3}
    assert ws.max_column == 16384


# -- the call's contract -------------------------------------------------------------


@pytest.mark.parametrize("template_path, save_path, message", [
    ("t.xls", "o.xlsx", "template_path must be endwith .xlsx file."),
    ("t.XLSX", "o.xlsx", "template_path must be endwith .xlsx file."),
    ("t.xlsx", "o.XLSX", "save_path must be endwith .xlsx file."),
    ("t.xlsx", "o.csv", "save_path must be endwith .xlsx file."),
], ids=["xls", "upper-template", "upper-save", "csv"])
def test_wrong_extensions(tmp_path, template_path, save_path, message):
    with pytest.raises(AssertionError) as raised:
        GridFill()(str(tmp_path / template_path), str(tmp_path / save_path), {})
    assert str(raised.value) == message
    assert not (tmp_path / save_path).exists()


def test_extensions_are_not_checked_without_assertions(tmp_path):
    path = template(tmp_path, {"S": {"A1": "{n}"}})
    script = textwrap.dedent(f"""
        from tessel.gridfill import GridFill
        print(GridFill(restore=False)({path!r}, {str(tmp_path / 'out.XLSX')!r}, {{"n": 1}}))
    """)
    done = subprocess.run([sys.executable, "-O", "-c", script], capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"
    assert openpyxl.load_workbook(tmp_path / "out.XLSX").active["A1"].value == 1


@pytest.mark.parametrize("path", [None, 5, "pathlib"], ids=["None", "int", "pathlib"])
def test_path_that_is_not_a_string(tmp_path, path):
    if path == "pathlib":
        path = tmp_path / "t.xlsx"
    with pytest.raises(AttributeError):
        GridFill()(path, str(tmp_path / "o.xlsx"), {})


def test_missing_template(tmp_path):
    with pytest.raises(FileNotFoundError):
        GridFill()(str(tmp_path / "missing.xlsx"), str(tmp_path / "o.xlsx"), {})
    assert not (tmp_path / "o.xlsx").exists()


@pytest.mark.parametrize("pattern", ["{", "[]", None], ids=["brace", "brackets", "None"])
def test_illegal_pattern(tmp_path, pattern):
    path = template(tmp_path, {"S": {"A1": 1, "B2": "text"}})
    with pytest.raises(ValueError, match=r"^pattern must be '\{\}' or '\{\{\}\}'$"):
        GridFill(pattern, restore=False)(path, str(tmp_path / "o.xlsx"), {})
    assert not (tmp_path / "o.xlsx").exists()
    # A workbook without text is saved all the same.
    path = template(tmp_path, {"S": {"A1": 1}}, name="numbers.xlsx")
    assert GridFill(pattern, restore=False)(path, str(tmp_path / "o.xlsx"), {}) == []


def test_options_are_plain_attributes_read_at_each_use(tmp_path):
    fill_ = GridFill("{}", restore=False)
    assert (fill_.pattern, fill_.recurse, fill_.restore) == ("{}", False, False)
    fill_.pattern = "{{}}"
    path = template(tmp_path, {"S": {"A1": "{{n}}"}})
    out = str(tmp_path / "o.xlsx")
    assert fill_(template_path=path, save_path=out, env={"n": 3}) == []
    assert openpyxl.load_workbook(out)["S"]["A1"].value == 3


def test_subclass_extract_placeholder_is_used(tmp_path):
    class Upper(GridFill):
        def extract_placeholder(self, text):
            return [p.upper() for p in super().extract_placeholder(text)]

    path = template(tmp_path, {"S": {"A1": "{n} and {N}"}})
    out = str(tmp_path / "o.xlsx")
    assert Upper(restore=False)(path, out, {"N": 1}) == []
    assert openpyxl.load_workbook(out)["S"]["A1"].value == "{n} and 1"


def test_caller_variables_after_loading_and_restore_hook(tmp_path, monkeypatch):
    path = template(tmp_path, {"S": {"A1": "{n}"}})
    out = str(tmp_path / "o.xlsx")
    events = []
    load = gridfill.load_workbook
    monkeypatch.setattr(gridfill, "load_workbook", lambda p: events.append("load") or load(p))
    monkeypatch.setattr(gridfill, "get_outer_frame_variables", lambda: events.append("vars") or {"n": 9})
    monkeypatch.setattr(gridfill, "restore_save", lambda *args, **kw: events.append(("restore", args, kw)))
    assert GridFill(engine="openpyxl")(path, out) == []
    # The restoration works on the saved file before it is moved into place.
    assert events[:2] == ["load", "vars"] and len(events) == 3
    kind, (template_arg, saved), kw = events[2]
    assert (kind, template_arg, kw) == ("restore", path, {})
    assert os.path.dirname(saved) == str(tmp_path) and saved.endswith(".xlsx") and saved != out
    assert openpyxl.load_workbook(out)["S"]["A1"].value == 9
    assert set(os.listdir(tmp_path)) == {"template.xlsx", "o.xlsx"}
    events.clear()
    GridFill(restore=0, engine="openpyxl")(path, out, {})
    assert events == ["load"]


def test_caller_variables_by_default(tmp_path):
    path = template(tmp_path, {"S": {"A1": "{local_total}"}})
    out = str(tmp_path / "o.xlsx")
    local_total = 12  # noqa: F841 - read by the fill
    assert GridFill(restore=False)(path, out) == []
    assert openpyxl.load_workbook(out)["S"]["A1"].value == 12


def test_evaluated_once_per_placement(tmp_path):
    calls = []

    def frame():
        calls.append(1)
        return pd.DataFrame([[1]])

    fill(tmp_path, {"A1": "{frame()}", "A2": "{frame().shape}"}, {"frame": frame})
    assert len(calls) == 2


def test_docstrings():
    assert (":param recurse: recurse replace placeholder in replaced cell.\n"
            ":param restore: restore resourse directories, workbook relationships, drawing tags, content types.\n"
            ) in GridFill.__init__.__doc__
    assert ":param env: Variables environment - a dict mapping varible names to pandas DataFrame, Series or " \
           "BytesIO.\nIf not specified use local and global variables of the caller.\n" \
           ":return: except placeholders and save the xlsx to save_path." in GridFill.__call__.__doc__
    names = ["load_workbook", "Image", "re", "BytesIO", "get_outer_frame_variables", "os", "shutil", "zipfile",
             "TemporaryDirectory", "etree", "ET", "pandas", "restore_save", "restore_drawing_tags",
             "fix_workbook_relationships", "fix_worksheet_relationships", "fix_content_types"]
    assert all(hasattr(gridfill, name) for name in names)
    assert GridFill.__bases__ == (object,)
