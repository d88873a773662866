"""The native workbook engine against the openpyxl engine, its reference: the same
cells, styles, merges, names, pictures and failures, and nothing lost besides."""

import datetime as dt
import glob
import io
import os
import re
import subprocess
import sys
import warnings
import zipfile

import numpy as np
import openpyxl
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from openpyxl.chart import BarChart, Reference
from openpyxl.formatting.rule import CellIsRule
from openpyxl.styles import Alignment, Border, Font, PatternFill, Side

import ooxml_check
from tessel.gridfill import GridFill
from tessel.results import OverwriteWarning

pytestmark = pytest.mark.filterwarnings("ignore::UserWarning:openpyxl")


class Values(dict):
    """Every name a template uses evaluates to a text that names it."""

    def __missing__(self, name):
        return f"V_{name}"


def fill(template, out, env, engine, **options):
    return GridFill(engine=engine, **options)(str(template), str(out), env)


def cells_of(path):
    """Every cell that holds something, with what a reader sees of it."""
    wb = openpyxl.load_workbook(path)
    seen = {}
    for ws in wb.worksheets:
        blank = None
        for row in ws.iter_rows():
            for c in row:
                if c.value is None and not c.has_style:
                    continue
                value = c.value
                if isinstance(value, float):
                    # openpyxl writes 16 significant digits, the native engine every one
                    value = "nan" if value != value else float("%.16g" % value)
                if value == "":
                    value = None  # openpyxl's engine drops an empty text
                look = (c.number_format, *(plain(repr(style)) for style in (c.font, c.fill, c.border, c.alignment)))
                if blank is None:
                    # openpyxl's engine leaves out an empty cell that looks like the default
                    d = openpyxl.cell.cell.Cell(ws)
                    blank = (d.number_format, *(plain(repr(s)) for s in (d.font, d.fill, d.border, d.alignment)))
                if value is None and look == blank:
                    continue
                seen[(ws.title, c.coordinate)] = (
                    value if not hasattr(value, "text") else ("array", value.text), *look)
        seen[(ws.title, "merged")] = sorted(str(r) for r in ws.merged_cells.ranges)
        seen[(ws.title, "images")] = sorted(
            (img.anchor._from.row, img.anchor._from.col) for img in ws._images)
        seen[(ws.title, "formats")] = sorted(str(f.sqref) for f in ws.conditional_formatting)

    seen["names"] = sorted((n, d.attr_text) for n, d in wb.defined_names.items())
    return seen


def plain(style):
    """A style as a reader takes it: a switch written off reads as one left out,
    and a tint as the 16 digits openpyxl's engine writes back."""
    style = style.replace("=False", "=None")
    return re.sub(r"-?\d+\.\d+(?:e-?\d+)?", lambda m: "%.12g" % float(m.group()), style)


def differences(a, b):
    keys = sorted(set(a) | set(b), key=repr)
    return [(k, a.get(k), b.get(k)) for k in keys if a.get(k) != b.get(k)]


def both(template, tmp_path, env, **options):
    """Each engine's output, failures with their places and reasons, and warnings."""
    results = {}
    for engine in ("openpyxl", "native"):
        out = tmp_path / f"{engine}.xlsx"
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", OverwriteWarning)
            failed = fill(template, out, env, engine, **options)
        results[engine] = (out, list(failed.details),
                           [str(w.message) for w in caught if w.category is OverwriteWarning])
    return results


CORPUS = sorted(glob.glob(os.path.join(os.path.dirname(__file__), "data", "xlsx", "*.xlsx")))


@pytest.mark.parametrize("path", CORPUS, ids=os.path.basename)
def test_the_corpus_fills_alike_and_keeps_every_untouched_part(path, tmp_path):
    try:
        openpyxl.load_workbook(path)
    except Exception:
        # openpyxl reads the styles for both engines: the native one names the part it cannot read.
        with pytest.raises(ValueError, match=r"the styles part xl/styles.xml of the template workbook cannot be read"):
            GridFill()(path, str(tmp_path / "o.xlsx"), Values())
        assert not (tmp_path / "o.xlsx").exists()
        return
    results = both(path, tmp_path, Values())
    native_out = results["native"][0]
    ref_out = results["openpyxl"][0]
    assert results["native"][1:] == results["openpyxl"][1:]
    assert differences(cells_of(ref_out), cells_of(native_out)) == []
    # Every drawn object of the template is still there.
    assert ooxml_check.drawing_inventory(native_out) == ooxml_check.drawing_inventory(path)
    # A fault the template itself has is kept, as everything else is; none is added.
    assert set(ooxml_check.check_package(native_out)) <= set(ooxml_check.check_package(path))
    # What the fill did not rewrite is the template's entry, compressed bytes and all.
    # Sheets whose cells or formulas' results change are rewritten, and the workbook
    # part (told to calculate on opening) with its relationships; the calculation
    # chain goes.
    with zipfile.ZipFile(path) as src, zipfile.ZipFile(native_out) as des:
        rewritten = set()
        for info in src.infolist():
            if info.is_dir():
                continue
            if info.filename not in des.namelist():
                rewritten.add(info.filename)
                continue
            out = des.getinfo(info.filename)
            if (out.CRC, out.compress_size) != (info.CRC, info.compress_size):
                rewritten.add(info.filename)
        allowed = ("xl/worksheets/", "xl/styles.xml", "xl/workbook.xml", "xl/_rels/workbook.xml.rels",
                   "xl/calcChain.xml", "[Content_Types].xml")
        assert all(name.startswith(allowed) for name in rewritten), rewritten


def test_a_data_bar_and_rich_text_survive_a_fill(tmp_path, data_dir):
    budget = os.path.join(data_dir, "xlsx", "poi__simple-monthly-budget.xlsx")
    out = tmp_path / "budget.xlsx"
    GridFill()(budget, str(out), {})
    with zipfile.ZipFile(budget) as src, zipfile.ZipFile(out) as des:
        for name in src.namelist():
            assert src.read(name) == des.read(name), name

    rich = os.path.join(data_dir, "xlsx", "poi__45544.xlsx")
    with zipfile.ZipFile(rich) as z:
        strings = z.read("xl/sharedStrings.xml")
    assert b"<r>" in strings or b":r>" in strings
    out = tmp_path / "rich.xlsx"
    GridFill()(rich, str(out), Values())
    with zipfile.ZipFile(out) as z:
        assert z.read("xl/sharedStrings.xml") == strings


def styled_template(path, block_at="A4", insert_rows=0):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Data"
    ws["A1"] = "Report {title}"
    ws["A1"].font = Font(bold=True, size=14)
    ws["A2"] = "{when}"
    ws["B2"] = "{count}"
    for j, name in enumerate("ABCD"):
        cell = ws[f"{name}4"]
        cell.fill = PatternFill("solid", fgColor="FFEEDD")
        cell.border = Border(bottom=Side(style="thin"))
        cell.number_format = "0.00" if name == "C" else "General"
    ws[block_at] = "{df}"
    ws["A6"] = "Total"
    ws["C6"] = "=SUM(C4:C5)"
    ws["E4"] = "=C4*2"
    ws.merge_cells("A8:B8")
    ws["A8"] = "merged {title}"
    ws.conditional_formatting.add("C4:C5", CellIsRule(operator="greaterThan", formula=["10"], font=Font(color="FF0000")))
    ws.oddHeader.center.text = "Page &P {title}"
    wb.defined_names["total"] = openpyxl.workbook.defined_name.DefinedName("total", attr_text="Data!$C$6")
    other = wb.create_sheet("Other")
    other["A1"] = "=Data!C6"
    other["B2"] = "{title} again"
    wb.save(path)


FRAME = pd.DataFrame({
    "name": ["a", "b & c", "  spaced ", None],
    "count": [1, 2, 3, 4],
    "amount": [1.5, np.nan, -0.25, 1e20],
    "when": pd.to_datetime(["2024-01-02", "2024-02-29", None, "1999-12-31 13:45"], format="ISO8601"),
})


@pytest.mark.parametrize("insert", [False, True])
@pytest.mark.parametrize("recurse", [False, True])
def test_a_styled_report_fills_alike(tmp_path, insert, recurse):
    template = tmp_path / "t.xlsx"
    styled_template(template)
    env = {"title": "Q1", "when": dt.date(2024, 3, 1), "count": 7, "df": FRAME}
    results = both(template, tmp_path, env, insert=insert, recurse=recurse)
    assert results["native"][1:] == results["openpyxl"][1:]
    found = differences(cells_of(results["openpyxl"][0]), cells_of(results["native"][0]))
    # Where the openpyxl engine leaves the block's new rows beside it empty, the
    # native one fills the template row's formula down them.
    filled = [(key, new[0]) for key, old, new in found if old is None and new is not None]
    expected = [(("Data", f"E{r}"), f"=C{r}*2") for r in range(5, 4 + len(FRAME))] if insert else []
    assert filled == expected
    assert len(found) == len(filled)


frames = st.builds(
    lambda rows, seed: pd.DataFrame({
        "i": np.arange(rows, dtype="int64") * (seed % 7 - 3),
        "f": np.linspace(-1, 1, rows) * 10 ** (seed % 5),
        "s": [f"t{k}" if k % 3 else None for k in range(rows)],
        "d": pd.date_range("2020-01-01", periods=rows, freq="D" if seed % 2 else "h"),
    }),
    st.integers(1, 6), st.integers(0, 100))


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(frame=frames, row=st.integers(1, 6), column=st.integers(1, 4), insert=st.booleans(),
       below=st.lists(st.tuples(st.integers(1, 9), st.integers(1, 6), st.integers(-5, 5)), max_size=6),
       merge=st.booleans())
def test_random_templates_fill_alike(tmp_path, frame, row, column, insert, below, merge):
    wb = openpyxl.Workbook()
    ws = wb.active
    for r, c, v in below:
        ws.cell(r, c, v)
    ws.cell(row, column, "{df}")
    at, under = ws.cell(row, column).coordinate, ws.cell(row + 1, column).coordinate
    ws.cell(10, 1, f"=SUM({at}:{under})")
    if merge:
        ws.merge_cells(start_row=11, start_column=1, end_row=11, end_column=3)
    # Names, conditional formats and a chart pointing at the block and around it.
    wb.defined_names["block"] = openpyxl.workbook.defined_name.DefinedName("block", attr_text=f"Sheet!${at[0]}${row}")
    ws.conditional_formatting.add(f"{at}:{under}", CellIsRule(operator="greaterThan", formula=["0"]))
    ws.conditional_formatting.add("A12:C13", CellIsRule(operator="lessThan", formula=["A$10"]))
    chart = BarChart()
    chart.add_data(Reference(ws, min_col=column, min_row=row, max_row=row + 1))
    ws.add_chart(chart, "E12")
    template = tmp_path / "random.xlsx"
    wb.save(template)
    results = both(template, tmp_path, {"df": frame}, insert=insert)
    assert results["native"][1:] == results["openpyxl"][1:]
    assert differences(cells_of(results["openpyxl"][0]), cells_of(results["native"][0])) == []
    assert ooxml_check.drawing_inventory(results["native"][0]) == ooxml_check.drawing_inventory(results["openpyxl"][0])
    # The chart's series grew with the block, in both.
    def series(path):
        with zipfile.ZipFile(path) as z:
            return sorted(f for name in z.namelist() if "charts/chart" in name and name.endswith(".xml")
                          for f in re.findall(rb"<c:f>([^<]*)</c:f>", z.read(name)))

    series = [series(results[e][0]) for e in ("native", "openpyxl")]
    assert series[0] == series[1]


def test_pictures_land_in_a_drawing_of_their_own(tmp_path, data_dir):
    from PIL import Image

    picture = io.BytesIO()
    Image.new("RGB", (30, 20), "red").save(picture, "PNG")
    template = tmp_path / "t.xlsx"
    wb = openpyxl.Workbook()
    wb.active["B3"] = "{logo}"
    wb.save(template)
    results = both(template, tmp_path, {"logo": picture})
    assert differences(cells_of(results["openpyxl"][0]), cells_of(results["native"][0])) == []


@pytest.mark.parametrize("options, message", [
    ({"engine": "fast"}, "engine must be 'native' or 'openpyxl'"),
    ({"compresslevel": 10}, "compresslevel must be a whole number from 0 to 9"),
    ({"compresslevel": "6"}, "compresslevel must be a whole number from 0 to 9"),
])
def test_bad_options_are_refused_at_the_call(tmp_path, options, message):
    template = tmp_path / "t.xlsx"
    openpyxl.Workbook().save(template)
    filler = GridFill(**options)
    with pytest.raises(ValueError, match=message):
        filler(str(template), str(tmp_path / "o.xlsx"), {})
    assert not (tmp_path / "o.xlsx").exists()


@pytest.mark.parametrize("error", [KeyboardInterrupt, OSError])
def test_a_save_stopped_midway_leaves_the_earlier_file(tmp_path, error):
    from openpyxl.cell.rich_text import CellRichText

    class Exploding(CellRichText):
        """Raises while the sheet is being written, after the walk."""

        def to_tree(self):
            raise error("stopped")

    template = tmp_path / "t.xlsx"
    wb = openpyxl.Workbook()
    wb.active["A1"] = "{df}"
    wb.save(template)
    out = tmp_path / "o.xlsx"
    out.write_bytes(b"earlier")
    frame = pd.DataFrame({"a": list(range(50_000)), "b": [Exploding("x")] * 50_000})
    with pytest.raises(error):
        GridFill()(str(template), str(out), {"df": frame})
    assert out.read_bytes() == b"earlier"
    assert sorted(os.listdir(tmp_path)) == ["o.xlsx", "t.xlsx"]


@pytest.mark.parametrize("engine, level", [("native", "1"), ("openpyxl", "6")])
def test_the_command_takes_an_engine_and_a_level(tmp_path, engine, level):
    template = tmp_path / "t.xlsx"
    wb = openpyxl.Workbook()
    wb.active["A1"] = "{x}"
    wb.save(template)
    out = tmp_path / "o.xlsx"
    done = subprocess.run([sys.executable, "-m", "tessel", "fill", str(template), str(out), "--set", "x=5",
                           "--engine", engine, "--compress-level", level], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert openpyxl.load_workbook(out).active["A1"].value == 5
    bad = subprocess.run([sys.executable, "-m", "tessel", "fill", str(template), str(out),
                          "--compress-level", "12"], capture_output=True, text=True)
    assert bad.returncode == 2 and "0 to 9" in bad.stderr


def test_a_block_follows_the_merged_cells_of_its_row_and_fills_formulas_down(tmp_path):
    template = tmp_path / "t.xlsx"
    wb = openpyxl.Workbook()
    ws = wb.active
    ws["A3"] = "{df}"
    ws.merge_cells("B3:C3")
    ws["E3"] = "=A3*D3"
    ws["A5"], ws["B5"] = "Total", "=SUM(A3:A3)"
    wb.save(template)
    frame = pd.DataFrame({"n": [1, 2, 3], "what": ["x", "y", "z"], "price": [1.5, 2.5, 3.5]})
    assert GridFill(insert=True)(str(template), str(tmp_path / "o.xlsx"), {"df": frame}) == []
    out = openpyxl.load_workbook(tmp_path / "o.xlsx").active
    assert [[c.value for c in row] for row in out.iter_rows(min_row=3, max_row=7, max_col=5)] == [
        [1, "x", None, 1.5, "=A3*D3"],
        [2, "y", None, 2.5, "=A4*D4"],
        [3, "z", None, 3.5, "=A5*D5"],
        [None] * 5,
        ["Total", "=SUM(A3:A5)", None, None, None],
    ]
    assert sorted(str(r) for r in out.merged_cells.ranges) == ["B3:C3", "B4:C4", "B5:C5"]
    # Without inserting, rows under the block are the template's: no merges or formulas are added.
    with pytest.warns(OverwriteWarning, match="A5:B5"):
        assert GridFill()(str(template), str(tmp_path / "p.xlsx"), {"df": frame}) == []
    over = openpyxl.load_workbook(tmp_path / "p.xlsx").active
    assert over["B4"].value == "y" and over["E4"].value is None
    assert sorted(str(r) for r in over.merged_cells.ranges) == ["B3:C3"]


@pytest.mark.parametrize("value, shown", [
    (dt.datetime(2026, 1, 5), "yyyy-mm-dd"),
    (pd.Timestamp("2026-01-05"), "yyyy-mm-dd"),
    (dt.date(2026, 1, 5), "yyyy-mm-dd"),
    (dt.datetime(2026, 1, 5, 9, 30), "yyyy-mm-dd h:mm:ss"),
])
def test_a_date_alone_in_a_cell_shows_as_a_date(tmp_path, value, shown):
    template = tmp_path / "t.xlsx"
    wb = openpyxl.Workbook()
    wb.active["A1"] = "{day}"
    wb.active["A2"] = "{day}"
    wb.active["A2"].number_format = "dd/mm/yyyy"
    wb.save(template)
    GridFill()(str(template), str(tmp_path / "o.xlsx"), {"day": value})
    out = openpyxl.load_workbook(tmp_path / "o.xlsx").active
    assert out["A1"].number_format == shown and out["A1"].value == pd.Timestamp(value).to_pydatetime()
    assert out["A2"].number_format == "dd/mm/yyyy"


X14 = ('<extLst><ext uri="{78C0D931-6437-407d-A8EE-F0AAD7539E65}" '
       'xmlns:x14="http://schemas.microsoft.com/office/spreadsheetml/2009/9/main">'
       '<x14:conditionalFormattings><x14:conditionalFormatting '
       'xmlns:xm="http://schemas.microsoft.com/office/excel/2006/main"><x14:cfRule type="dataBar" id="{1}">'
       '<x14:dataBar><x14:cfvo type="num"><xm:f>0</xm:f></x14:cfvo><x14:cfvo type="num"><xm:f>$B$5</xm:f>'
       '</x14:cfvo></x14:dataBar></x14:cfRule><xm:sqref>C5 C1</xm:sqref></x14:conditionalFormatting>'
       '</x14:conditionalFormattings></ext></extLst></worksheet>')


def with_sheet_text(src, dst, edit):
    """Copies a workbook with its first sheet's bytes edited as text."""
    with zipfile.ZipFile(src) as zin, zipfile.ZipFile(dst, "w") as zout:
        for info in zin.infolist():
            data = zin.read(info.filename)
            zout.writestr(info, edit(data) if info.filename == "xl/worksheets/sheet1.xml" else data)


def test_the_ranges_of_sheet_extensions_move_with_inserted_rows(tmp_path):
    plain = tmp_path / "plain.xlsx"
    wb = openpyxl.Workbook()
    wb.active["A2"], wb.active["B5"], wb.active["C5"] = "{df}", 10, 4
    wb.save(plain)
    template = tmp_path / "t.xlsx"
    with_sheet_text(plain, template, lambda data: data.replace(b"</worksheet>", X14.encode()))
    out = tmp_path / "o.xlsx"
    assert GridFill(insert=True)(str(template), str(out), {"df": pd.DataFrame({"a": [1, 2, 3]})}) == []
    with zipfile.ZipFile(out) as z:
        sheet = z.read("xl/worksheets/sheet1.xml").decode()
    assert "<xm:sqref>C7 C1</xm:sqref>" in sheet and "<xm:f>$B$7</xm:f>" in sheet
    assert openpyxl.load_workbook(out).active["C7"].value == 4


def test_a_sheet_written_with_a_prefix_and_unnumbered_rows_fills_alike(tmp_path):
    plain = tmp_path / "plain.xlsx"
    wb = openpyxl.Workbook()
    ws = wb.active
    ws["A1"], ws["A2"], ws["B5"] = "Hi {name}", "{df}", 3
    ws.oddHeader.center.text = "Head {name}"
    wb.save(plain)
    template = tmp_path / "t.xlsx"

    def prefixed(data):
        text = re.sub(r"<(/?)([a-zA-Z])", r"<\1x:\2", data.decode()).replace('xmlns="', 'xmlns:x="')
        return re.sub(r'<x:row r="\d+"', "<x:row", text).encode()  # numbered by their cells

    with_sheet_text(plain, template, prefixed)
    env = {"name": "Ada", "df": pd.DataFrame({"a": [1, 2], "b": ["x", "y"]})}
    results = both(template, tmp_path, env, insert=True)
    assert results["native"][1:] == results["openpyxl"][1:]
    assert differences(cells_of(results["openpyxl"][0]), cells_of(results["native"][0])) == []
    assert ooxml_check.check_package(results["native"][0]) == []


@pytest.mark.libreoffice
def test_libreoffice_converts_every_corpus_workbook_the_native_engine_fills(tmp_path, soffice):
    filled = tmp_path / "filled"
    filled.mkdir()
    for path in CORPUS:
        try:
            GridFill()(path, str(filled / os.path.basename(path)), Values())
        except ValueError:
            continue  # a template whose styles cannot be read, refused above
    names = sorted(os.listdir(filled))
    done = subprocess.run([soffice, f"-env:UserInstallation={(tmp_path / 'profile').as_uri()}", "--headless",
                           "--convert-to", "pdf", "--outdir", str(tmp_path / "pdf"), *[str(filled / n) for n in names]],
                          capture_output=True, text=True, timeout=900)
    assert done.returncode == 0, done.stderr
    converted = sorted(os.listdir(tmp_path / "pdf"))
    assert converted == [n[: -len(".xlsx")] + ".pdf" for n in names]
    assert all(os.path.getsize(tmp_path / "pdf" / n) > 0 for n in converted)
