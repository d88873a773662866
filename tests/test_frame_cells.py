"""The native frame writer: the <c> elements it writes for a data frame's cells,
read back by openpyxl, hold what openpyxl itself stores for the same values."""

import datetime as dt
import decimal
import io
import math
import re
import zipfile

import numpy as np
import openpyxl
import pandas as pd
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st
from openpyxl.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH, to_excel

from tessel import gridfill
from tessel.gridfill import GridFill

# Number formats of the tiny workbook, by TimeKind (None, DateTime, Date, Time, Duration).
FORMATS = [None, "yyyy-mm-dd h:mm:ss", "yyyy-mm-dd", "h:mm:ss", "[hh]:mm:ss"]
SHEET_DATA = re.compile(rb"<sheetData\s*/>|<sheetData>.*</sheetData>", re.S)


def written_values(frame, tmp_path, date1904=False):
    """The frame's cells as openpyxl reads them back from the writer's XML."""
    wb = openpyxl.Workbook()
    wb.epoch = MAC_EPOCH if date1904 else WINDOWS_EPOCH
    ws = wb.active
    styles = [-1]
    for k, fmt in enumerate(FORMATS[1:], start=1):
        ws.cell(1, k).number_format = fmt
        styles.append(ws.cell(1, k).style_id)
    buffer = io.BytesIO()
    wb.save(buffer)
    rows = gridfill._frame_cells(frame, date1904=date1904, styles=styles)
    data = "".join(f'<row r="{i + 1}">{"".join(r)}</row>' for i, r in enumerate(rows)).encode()
    out = tmp_path / "written.xlsx"
    with zipfile.ZipFile(buffer) as src, zipfile.ZipFile(out, "w") as dst:
        for item in src.infolist():
            body = src.read(item.filename)
            if item.filename == "xl/worksheets/sheet1.xml":
                body = SHEET_DATA.sub(lambda _: b"<sheetData>" + data + b"</sheetData>", body)
            dst.writestr(item, body)
    return grid(out, frame)


def reference_values(frame, tmp_path, date1904=False):
    """The frame's cells as openpyxl reads them back from a fill that openpyxl saved."""
    wb = openpyxl.Workbook()
    wb.epoch = MAC_EPOCH if date1904 else WINDOWS_EPOCH
    wb.active["A1"] = "{df}"
    template, result = tmp_path / "template.xlsx", tmp_path / "reference.xlsx"
    wb.save(template)
    GridFill(engine="openpyxl")(str(template), str(result), {"df": frame})
    values = grid(result, frame)
    if values[0][0] == "{df}":  # a refused first cell keeps the placeholder it had
        values[0][0] = None
    return values


def grid(path, frame):
    ws = openpyxl.load_workbook(path).active
    return [[ws.cell(i + 1, j + 1).value for j in range(frame.shape[1])] for i in range(frame.shape[0])]


def openpyxl_number(value):
    """What openpyxl reads back of a number it wrote ("%.16g")."""
    text = "%.16g" % value
    return float(text) if re.search("[.eE]", text) else int(text)


def same_numbers(written, reference, values):
    for got, ref, v in zip(written, reference, values):
        if v is None or (isinstance(v, float) and not math.isfinite(v)):
            assert got is None and ref is None
        else:
            assert got == v and type(got) is (float if "." in repr(got) or "e" in repr(got) else int)
            assert ref == openpyxl_number(v)


def column(grid_, j=0):
    return [row[j] for row in grid_]


finite = st.floats(allow_nan=False, allow_infinity=False)


@settings(max_examples=25, deadline=None)
@given(st.lists(st.one_of(finite, st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 5e-324, 1.7976931348623157e308])),
                min_size=1, max_size=12))
def test_floats_are_exact_and_agree_with_openpyxl(tmp_path_factory, values):
    tmp = tmp_path_factory.mktemp("f")
    frame = pd.DataFrame({"x": np.array(values, dtype="float64")})
    same_numbers(column(written_values(frame, tmp)), column(reference_values(frame, tmp)),
                 [None if math.isnan(v) else v for v in values])
    facts = gridfill._frame_facts(frame)
    assert facts["refused"] == [(i, 0) for i, v in enumerate(values) if math.isinf(v)]


@settings(max_examples=25, deadline=None)
@given(st.lists(st.integers(-(2**63), 2**63 - 1), min_size=1, max_size=10),
       st.lists(st.integers(0, 2**64 - 1), min_size=1, max_size=10),
       st.lists(st.integers(-(10**40), 10**40), min_size=1, max_size=10))
def test_integers_are_written_exactly(tmp_path_factory, signed, unsigned, big):
    tmp = tmp_path_factory.mktemp("i")
    n = min(len(signed), len(unsigned), len(big))
    frame = pd.DataFrame({"i": np.array(signed[:n], dtype="int64"), "u": np.array(unsigned[:n], dtype="uint64"),
                          "o": pd.Series(big[:n], dtype=object)})
    written, reference = written_values(frame, tmp), reference_values(frame, tmp)
    for j, values in enumerate([signed[:n], unsigned[:n], big[:n]]):
        same_numbers(column(written, j), column(reference, j), values)


@pytest.mark.parametrize("dtype", ["int8", "int16", "int32", "uint8", "uint16", "uint32", ">i4", "float32", "float16"])
def test_every_numpy_width_reads_as_its_python_value(dtype):
    info = np.finfo(dtype) if np.dtype(dtype).kind == "f" else np.iinfo(dtype)
    array = np.array([info.min, info.max, 0, 1], dtype=dtype)
    cells = gridfill._frame_cells(pd.DataFrame({"x": array}))
    texts = [re.search(r"<v>(.*)</v>", row[0]).group(1) for row in cells]
    assert [float(t) for t in texts] == array.astype("float64").tolist()


def test_strided_columns_are_read_with_their_stride():
    # A frame over one 2-d array holds each column as a strided view of it.
    array = np.arange(24, dtype="float64").reshape(6, 4) + 0.5
    frame = pd.DataFrame(array[::2, ::-1])
    facts = gridfill._frame_facts(frame)
    assert facts["values"] == frame.to_numpy().tolist()
    ints = pd.DataFrame(np.arange(12, dtype="int16").reshape(3, 4).T)
    assert gridfill._frame_facts(ints)["values"] == ints.to_numpy().tolist()


TEXTS = ["plain", "a<b & c>d", " lead", "trail ", "two\nlines", "cr\r\nlf", "\ttab", "=SUM(A1:A2)",
         "=", "=a<b", "#N/A", "#DIV/0!", "#n/a", "", "\U0001F600 astral", "é ü ß", "\u3000ideographic space"]


@pytest.mark.parametrize("date1904", [False, True])
def test_texts_agree_with_openpyxl(date1904, tmp_path):
    frame = pd.DataFrame({"s": TEXTS, "b": [t.encode() for t in TEXTS]})
    written = written_values(frame, tmp_path, date1904)
    assert written == reference_values(frame, tmp_path, date1904)
    assert column(written) == [t or None for t in TEXTS]


@settings(max_examples=30, deadline=None)
@given(st.lists(st.text(st.characters(blacklist_categories=["Cs"], blacklist_characters="\ufffe\uffff")), min_size=1,
                max_size=8))
def test_any_text_reads_back_as_openpyxl_stores_it(tmp_path_factory, values):
    tmp = tmp_path_factory.mktemp("s")
    frame = pd.DataFrame({"s": pd.Series(values, dtype=object)})
    written = written_values(frame, tmp)
    assert written == reference_values(frame, tmp)
    for v, row in zip(values, written):
        storable = not any(ord(c) < 32 and c not in "\t\n\r" for c in v)
        assert row[0] == (v or None if storable else None)


def test_whitespace_is_preserved_only_where_strip_would_remove_it():
    cells = gridfill._frame_cells(pd.DataFrame({"s": ["a b", " a", "a\n", "\u3000a", "a\u00a0"]}))
    preserved = ['xml:space="preserve"' in row[0] for row in cells]
    assert preserved == [False, True, True, True, True]


DATES = [dt.datetime(2020, 1, 1), dt.datetime(1900, 2, 28), dt.datetime(1900, 3, 1), dt.datetime(1900, 1, 1, 6),
         dt.datetime(1899, 12, 30, 12), dt.datetime(1899, 12, 31), dt.datetime(1850, 7, 1, 1, 2, 3, 456789),
         dt.datetime(2024, 2, 29, 23, 59, 59, 999999), dt.datetime(1904, 1, 1), dt.datetime(9999, 12, 31, 23, 59)]


@pytest.mark.parametrize("date1904", [False, True])
@pytest.mark.parametrize("unit", ["us", "ns", "s", "ms"])
def test_datetime_columns_agree_with_openpyxl(unit, date1904, tmp_path):
    values = [d for d in DATES if unit != "ns" or 1678 <= d.year <= 2261]
    times = pd.Series(np.array(values + [None], dtype=f"datetime64[{unit}]"))
    frame = pd.DataFrame({"t": times, "o": pd.Series(values + [pd.NaT], dtype=object)})
    written = written_values(frame, tmp_path, date1904)
    assert written == reference_values(frame, tmp_path, date1904)
    assert written[-1] == [None, None]


@settings(max_examples=200, deadline=None)
@given(st.lists(st.one_of(st.datetimes(), st.none()), min_size=1, max_size=8), st.booleans())
@example(DATES, False)
@example(DATES, True)
def test_datetime_serials_are_openpyxls(values, date1904):
    epoch = MAC_EPOCH if date1904 else WINDOWS_EPOCH
    frame = pd.DataFrame({"t": pd.Series(np.array(values, dtype="datetime64[us]")),
                          "d": pd.Series([v and v.date() for v in values], dtype=object),
                          "h": pd.Series([v and v.time() for v in values], dtype=object),
                          "o": pd.Series(values, dtype=object)})
    for row, v in zip(gridfill._frame_cells(frame, date1904=date1904), values):
        expect = [None] * 4 if v is None else [to_excel(v, epoch), to_excel(v.date(), epoch), to_excel(v.time()),
                                                 to_excel(v, epoch)]
        got = [m.group(1) if (m := re.search(r"<v>(.*)</v>", c)) else None for c in row]
        assert got == [None if e is None else "%.16g" % e for e in expect]


@settings(max_examples=100, deadline=None)
@given(st.lists(st.one_of(st.timedeltas(), st.none()), min_size=1, max_size=8))
def test_duration_serials_are_openpyxls(values):
    frame = pd.DataFrame({"o": pd.Series(values, dtype=object),
                          "m": pd.Series(np.array([v if v is None or abs(v.days) < 10**5 else None for v in values],
                                                  dtype="timedelta64[us]"))})
    for row, v in zip(gridfill._frame_cells(frame), values):
        got = [m.group(1) if (m := re.search(r"<v>(.*)</v>", c)) else None for c in row]
        assert got[0] == (None if v is None else "%.16g" % to_excel(v))
        assert got[1] == (None if v is None or abs(v.days) >= 10**5 else "%.16g" % to_excel(v))


@pytest.mark.parametrize("dtype, values", [
    ("datetime64[D]", ["2020-01-01", "1900-02-28", "NaT"]),
    ("datetime64[W]", [0, 1, -3000]),
    ("datetime64[h]", [0, 25, -1]),
    ("datetime64[M]", ["2020-02", "1900-01", "NaT"]),
    ("datetime64[Y]", ["2020", "1", "NaT"]),
    ("datetime64[ps]", [-1, 10**18, 123456789]),
    ("timedelta64[ns]", [-1, 1999, "NaT"]),
    ("timedelta64[D]", [1, -1, 365000]),
    ("timedelta64[Y]", [1, -2, "NaT"]),
    ("timedelta64[M]", [1, 13, "NaT"]),
])
def test_every_time_unit_converts_as_the_converter_does(dtype, values):
    frame = pd.DataFrame({"x": np.array(values, dtype=dtype)})
    facts = gridfill._frame_facts(frame)
    assert facts["values"] == facts["converted"]


@pytest.mark.parametrize("dtype, value", [
    ("datetime64[s]", 253402300800),   # 10000-01-01
    ("datetime64[D]", -719163),        # one day before 0001-01-01
    ("datetime64[s]", 10**17),         # past what microseconds hold
    ("timedelta64[s]", 2**62),
])
def test_times_out_of_range_are_refused(dtype, value):
    frame = pd.DataFrame({"x": np.array([0, value, -(2**63)], dtype=dtype)})
    facts = gridfill._frame_facts(frame)
    assert facts["refused"] == [(1, 0)]
    assert facts["empty"] == [[False], [False], [True]]
    assert gridfill._frame_cells(frame)[1] == [""]


def test_time_zone_aware_columns_give_wall_clock_time(tmp_path):
    wall = pd.to_datetime(["2021-03-14 01:30", "2021-07-01 12:00", None])
    frame = pd.DataFrame({"t": wall.tz_localize("US/Eastern"), "n": wall})
    written = written_values(frame, tmp_path)
    assert column(written, 0) == column(written, 1) == column(reference_values(frame, tmp_path), 0)


def test_kinds_midnight_and_refusals():
    frame = pd.DataFrame({
        "midnight": pd.to_datetime(["2020-01-01", None, "2021-05-05"]),
        "noon": pd.Series([dt.datetime(2020, 1, 1), dt.datetime(2020, 1, 1, 12), None], dtype=object),
        "mixed": pd.Series([dt.date(2020, 1, 1), dt.time(1), dt.timedelta(1)], dtype=object),
        "bad": pd.Series([math.inf, "x\x00", 1.5], dtype=object),
        "floats": [1.0, -math.inf, math.nan],
    })
    facts = gridfill._frame_facts(frame)
    assert facts["datetimes"] == [True, True, False, False, False]
    assert facts["midnight"] == [True, False, False, False, False]
    assert facts["kinds"] == [[1, 1, 2, 0, 0], [0, 1, 3, 0, 0], [1, 0, 4, 0, 0]]
    assert facts["refused"] == [(0, 3), (1, 3), (1, 4)]
    assert facts["values"] == facts["converted"]


def test_styles_go_on_every_written_cell_and_on_empty_ones():
    frame = pd.DataFrame({"a": [math.nan, 1.0, math.inf], "b": ["x", None, ""]})
    cells = gridfill._frame_cells(frame, styles=[7, 8, 9, 10, 11])
    assert cells == [['<c r="A1" s="7"/>', '<c r="B1" s="7" t="inlineStr"><is><t>x</t></is></c>'],
                     ['<c r="A2" s="7"><v>1</v></c>', '<c r="B2" s="7"/>'],
                     ['<c r="A3" s="7"/>', '<c r="B3" s="7" t="inlineStr"/>']]
    assert gridfill._frame_cells(frame)[0][0] == ""


@pytest.mark.parametrize("values", [
    [True, False, None],
    pd.array([1, None, -(2**63)], dtype="Int64"),
    pd.array([True, None, False], dtype="boolean"),
    pd.array([1.5, None, 0.1], dtype="Float64"),
    pd.Categorical(["a", "b", None]),
    [decimal.Decimal("1.25"), decimal.Decimal("NaN"), decimal.Decimal("-0.5")],
    [pd.Period("2020-01"), pd.Interval(0, 1), None],
    np.array([1, 2, 3], dtype="longdouble"),
    [np.float32(0.5), np.int8(-3), np.bool_(True)],
])
def test_object_columns_agree_with_openpyxl(values, tmp_path):
    frame = pd.DataFrame({"x": values})
    assert written_values(frame, tmp_path) == reference_values(frame, tmp_path)
    facts = gridfill._frame_facts(frame)
    assert facts["values"] == facts["converted"]


def test_openpyxl_formula_and_rich_text_values(tmp_path):
    from openpyxl.cell.rich_text import CellRichText, TextBlock
    from openpyxl.cell.text import InlineFont
    from openpyxl.worksheet.formula import ArrayFormula

    rich = CellRichText(["plain ", TextBlock(InlineFont(b=True), "bold & <b>")])
    frame = pd.DataFrame({"x": pd.Series([rich, ArrayFormula("A1:A1", "=SUM(B1:B2)")], dtype=object)})
    written = written_values(frame, tmp_path)
    assert written[0][0] == "plain bold & <b>"
    assert isinstance(written[1][0], ArrayFormula) and written[1][0].text == "=SUM(B1:B2)"
    assert written[1][0].ref == "A1:A1"


texts_or_missing = st.lists(st.one_of(st.none(), st.text(max_size=12), st.sampled_from(["=A1", "#N/A", " x", "x\n", ""])),
                            min_size=1, max_size=12)


@settings(max_examples=60, deadline=None)
@given(texts=texts_or_missing)
def test_texts_held_by_arrow_are_written_as_the_same_texts_as_objects(texts):
    """pandas' string type is read from its Arrow buffers, with no str per cell; the
    cells must be those of the same texts held as Python objects."""
    arrow = pd.DataFrame({"t": pd.Series(texts, dtype="string[pyarrow]")})
    objects = pd.DataFrame({"t": pd.Series(texts, dtype=object)})
    assert gridfill._frame_cells(arrow) == gridfill._frame_cells(objects)
    assert gridfill._frame_facts(arrow) == gridfill._frame_facts(objects)


def test_a_long_arrow_text_is_refused_like_a_long_str():
    texts = ["é" * 32767, "é" * 32768, "ok"]
    arrow = pd.DataFrame({"t": pd.Series(texts, dtype="string[pyarrow]")})
    assert gridfill._frame_facts(arrow)["refused"] == [(1, 0)]
