"""Time GridFill against openpyxl's own load and save, and against a plain loop.

Run by hand from the checkout, with the package installed:

    python bench/bench_gridfill.py [--sizes 1000,2000,4000,8000] [--repeat 2]
    python bench/bench_gridfill.py --case insert [--sizes 1000,2000,4000,8000]
    python bench/bench_gridfill.py --case safe [--sizes 1000,8000]

Each template has N rows by 10 columns of text, a placeholder in every tenth cell
(whole-cell values and in-text replacements in turn) and, under the data, one cell
that receives a 10,000 x 10 data frame; its row is styled (font, fill, border,
number formats, height), so every row of the block takes those styles.  The floor is openpyxl's load_workbook of
the template plus save of the filled workbook.  The baseline is the straightforward
loop: every position up to max_row and max_column (read again for each row), a
list of written positions, and each expression evaluated for every use of its
value.  Restoration is off everywhere, since it is timed elsewhere.

The insert case puts the 10,000 x 10 frame in row 2, under a header, above N rows
that hold values and formulas (each row refers to itself, to the block's totals
and to the block's template row), a total row, a bar chart over the block and a
picture under it.  It times GridFill with insert=True against the default
overwrite mode on the same template, both restoring the chart and the picture,
each against the floor of the file it writes: insert mode's holds the N rows
besides the block's, overwrite mode's only the block where they were.

The safe case fills the first template with safe=True, which on Linux fills in a
confined process, against the default fill; in wall time, since the process's CPU
is not this one's.  The safe fill must take at most 1.3x the default.

The engine case puts a 100,000 x 10 frame (3 text, 2 whole-number, 4 float and 1
datetime column) with insert=True into a styled template: a header row, the
block's template row styled (font, fill, border, number formats) and a total row
of =SUM formulas over it.  It times the native engine at zlib levels 6 and 1,
the openpyxl engine (restoring), xlsxwriter in constant_memory mode writing the
same values to a file of its own, and zlib level 6 alone over the filled sheet's
XML, the least any writer of that sheet pays.  The peak memory of each fill is
measured in a fresh process: the growth of the RSS high-water mark over the fill
alone, the frame built and everything imported.  The native engine runs again at
1,000,000 rows (--big-rows, 0 to skip), and fills a 4,000 x 10 text template
holding 10 placeholders against openpyxl's own load and save of it.  Every
output is opened again with openpyxl.

    python bench/bench_gridfill.py --case engine [--rows 100000] [--big-rows 1000000] [--repeat 3]
"""

import argparse
import io
import os
import resource
import subprocess
import sys
import tempfile
import time
import zipfile
import zlib

import warnings

import numpy as np
import openpyxl
import pandas as pd
from openpyxl import load_workbook
from openpyxl.styles import Border, Font, PatternFill, Side
from openpyxl.chart import BarChart, Reference
from openpyxl.drawing.image import Image

from tessel.gridfill import GridFill

COLUMNS = 10
FRAME_ROWS = 10_000


def build_template(path, rows):
    wb = openpyxl.Workbook()
    ws = wb.active
    for r in range(1, rows + 1):
        for c in range(1, COLUMNS + 1):
            if c == 5:
                text = "{value}" if r % 2 else "Row total: {total} of {value}"
            else:
                text = f"r{r}c{c}"
            ws.cell(row=r, column=c, value=text)
    ws.cell(row=rows + 1, column=1, value="{frame}")
    side = Side(style="thin", color="999999")
    for c in range(1, COLUMNS + 1):
        cell = ws.cell(row=rows + 1, column=c)
        cell.font = Font(name="Arial", size=9, color="1F3864")
        cell.fill = PatternFill("solid", fgColor="EEF3FA" if c % 2 else "FFFFFF")
        cell.border = Border(bottom=side)
        cell.number_format = "#,##0" if c == 2 else "0.000"
    ws.row_dimensions[rows + 1].height = 15
    wb.save(path)


def environment():
    rng = np.random.default_rng(0)
    frame = pd.DataFrame(rng.random((FRAME_ROWS, COLUMNS)), columns=[f"c{j}" for j in range(COLUMNS)])
    frame["c1"] = rng.integers(0, 1000, FRAME_ROWS)
    frame["c2"] = [f"name {i}" for i in range(FRAME_ROWS)]
    return {"value": 42, "total": 1234.5, "frame": frame}


def baseline_fill(template_path, save_path, env, pattern="{}", recurse=False):
    """The straightforward loop, for comparison."""
    import re

    expression = r"\{([^{}]+?)\}" if pattern == "{}" else r"\{\{([^{}]+?)\}\}"
    form = "{%s}" if pattern == "{}" else "{{%s}}"
    workbook = load_workbook(template_path)
    except_placeholders = []
    replaced = []
    for worksheet in workbook.worksheets:
        for row in range(1, worksheet.max_row + 1):
            for column in range(1, worksheet.max_column + 1):
                if (row, column) in replaced and not recurse:
                    continue
                value = worksheet.cell(row, column).value
                if not isinstance(value, str):
                    continue
                for placeholder in re.findall(expression, value):
                    _placeholder_ = form % placeholder
                    try:
                        if _placeholder_ == value:
                            if isinstance(eval(placeholder, env), io.BytesIO):
                                worksheet.cell(row=row, column=column, value="")
                                image = openpyxl.drawing.image.Image(eval(placeholder, env))
                                worksheet.add_image(image, worksheet.cell(row, column).coordinate)
                            elif isinstance(eval(placeholder, env), pd.DataFrame):
                                values = eval(placeholder, env).values
                                n, m = values.shape
                                for i in range(n):
                                    for j in range(m):
                                        worksheet.cell(row=row + i, column=column + j, value=values[i, j])
                                        replaced.append((row + i, column + j))
                            else:
                                worksheet.cell(row=row, column=column, value=eval(placeholder, env))
                        else:
                            current = worksheet.cell(row, column).value
                            text = eval(placeholder, env)
                            text = text if type(text) is str else str(text)
                            worksheet.cell(row=row, column=column, value=current.replace(_placeholder_, text))
                    except Exception:
                        except_placeholders.append(placeholder)
    workbook.save(save_path)
    workbook.close()
    return except_placeholders


CLOCK = time.perf_counter


def timed(action):
    start = CLOCK()
    action()
    return CLOCK() - start


def measure(template, filled, scratch, env, repeat):
    """Best GridFill and floor times; the runs alternate so that a busy machine
    slows both alike."""
    fill = GridFill(restore=False)
    best_fill = best_floor = float("inf")
    for _ in range(repeat):
        failed = []
        best_fill = min(best_fill, timed(lambda: failed.extend(fill(template, filled, env))))
        assert not failed, failed
        load = timed(lambda: load_workbook(template).close())
        workbook = load_workbook(filled)
        best_floor = min(best_floor, load + timed(lambda: workbook.save(scratch)))
    return best_fill, best_floor


def build_insert_template(path, rows):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.append([f"h{c}" for c in range(1, COLUMNS + 1)])
    ws.cell(row=2, column=1, value="{frame}")
    first = 3
    for r in range(first, first + rows):
        ws.cell(row=r, column=1, value=f"r{r}")
        for c in range(2, COLUMNS - 2):
            ws.cell(row=r, column=c, value=r * c)
        ws.cell(row=r, column=COLUMNS - 2, value=f"=B{r}*2+C{r}")
        ws.cell(row=r, column=COLUMNS - 1, value=f"=SUM($D$2:$D$2)/B{r}")
        ws.cell(row=r, column=COLUMNS, value=f"=$B${first + rows}-B{r}")
    total = first + rows
    ws.cell(row=total, column=1, value="Total")
    ws.cell(row=total, column=2, value="=SUM(B2:B2)")
    chart = BarChart()
    chart.add_data(Reference(ws, min_col=2, min_row=1, max_row=2), titles_from_data=True)
    chart.set_categories(Reference(ws, min_col=1, min_row=2, max_row=2))
    ws.add_chart(chart, f"L{total + 2}")
    logo = io.BytesIO()
    from PIL import Image as PILImage

    PILImage.new("RGB", (120, 60), "navy").save(logo, "PNG")
    ws.add_image(Image(logo), f"A{total + 2}")
    wb.save(path)


def measure_insert(template, folder, env, repeat):
    """Best times of each mode and of the floor for the file each mode writes
    (insert mode writes the template's rows besides the block's), alternating."""
    best = {}
    for _ in range(repeat):
        for mode in ("insert", "overwrite"):
            filled = os.path.join(folder, f"{mode}.xlsx")
            fill = GridFill(insert=mode == "insert")
            with warnings.catch_warnings():
                # Overwrite mode warns that the block covered the rows under it.
                warnings.simplefilter("ignore")
                failed = []
                took = timed(lambda: failed.extend(fill(template, filled, env)))
            assert not failed, failed
            best[mode] = min(best.get(mode, took), took)
            load = timed(lambda: load_workbook(template).close())
            workbook = load_workbook(filled)
            floor = load + timed(lambda: workbook.save(os.path.join(folder, "scratch.xlsx")))
            best[mode + " floor"] = min(best.get(mode + " floor", floor), floor)
    return best


def main_insert(args, sizes):
    env = {"frame": environment()["frame"]}
    rows_out = []
    with tempfile.TemporaryDirectory() as folder:
        for rows in sizes:
            template = os.path.join(folder, f"template{rows}.xlsx")
            build_insert_template(template, rows)
            rows_out.append((rows, measure_insert(template, folder, env, args.repeat)))
            print(f"  {rows} rows done", file=sys.stderr, flush=True)

    print(f"{'rows':>6} {'overwrite':>10} {'floor':>7} {'x floor':>8} {'insert':>8} {'floor':>7} {'x floor':>8} "
          f"{'insert/overwrite':>17}")
    for rows, b in rows_out:
        print(f"{rows:>6} {b['overwrite']:>10.2f} {b['overwrite floor']:>7.2f} "
              f"{b['overwrite'] / b['overwrite floor']:>8.2f} {b['insert']:>8.2f} {b['insert floor']:>7.2f} "
              f"{b['insert'] / b['insert floor']:>8.2f} {b['insert'] / b['overwrite']:>17.2f}")
    if len(rows_out) > 1:
        (r0, first), (r1, last) = rows_out[0], rows_out[-1]
        print(f"growth {r0} -> {r1} rows: insert x{last['insert'] / first['insert']:.2f} "
              f"(its floor x{last['insert floor'] / first['insert floor']:.2f}), "
              f"overwrite x{last['overwrite'] / first['overwrite']:.2f} "
              f"(its floor x{last['overwrite floor'] / first['overwrite floor']:.2f})")


def main_safe(args, sizes):
    env = environment()
    print(f"{'rows':>6} {'default s':>10} {'safe s':>8} {'safe/default':>13}")
    with tempfile.TemporaryDirectory() as folder:
        for rows in sizes:
            template = os.path.join(folder, f"template{rows}.xlsx")
            filled = os.path.join(folder, "filled.xlsx")
            build_template(template, rows)
            best = {}
            for _ in range(args.repeat):
                for safe in (False, True):
                    failed = []
                    fill = GridFill(restore=False, safe=safe)
                    start = time.perf_counter()
                    failed.extend(fill(template, filled, env))
                    took = time.perf_counter() - start
                    assert not failed, failed.details
                    best[safe] = min(best.get(safe, took), took)
            print(f"{rows:>6} {best[False]:>10.2f} {best[True]:>8.2f} {best[True] / best[False]:>13.2f}")


# The engine case's frame: 3 text, 2 whole-number, 4 float and 1 datetime column.
ENGINE_COLUMNS = ["customer", "city", "code", "units", "order", "price", "cost", "discount", "margin", "shipped"]
ENGINE_FORMATS = [None, None, None, "#,##0", "0", "#,##0.00", "#,##0.00", "0.0%", "0.000", "yyyy-mm-dd hh:mm"]
SUMMED = range(3, 9)  # the number columns the total row sums
CITIES = ["Oslo", "Lyon", "Porto", "Kraków", "Gent", "Turku", "Bari", "Graz", "Cork", "Brno"]


def engine_frame(rows):
    rng = np.random.default_rng(1)
    return pd.DataFrame({
        "customer": [f"customer {i}" for i in range(rows)],
        "city": np.array(CITIES, dtype=object)[rng.integers(0, len(CITIES), rows)],
        "code": [f"K-{i % 9973:04d}/{i % 7}" for i in range(rows)],
        "units": rng.integers(0, 1000, rows),
        "order": np.arange(rows, dtype=np.int64) + 100_000,
        "price": rng.random(rows) * 1000,
        "cost": rng.random(rows) * 700,
        "discount": rng.random(rows) * 0.3,
        "margin": rng.standard_normal(rows),
        "shipped": pd.Timestamp("2024-01-01") + pd.to_timedelta(rng.integers(0, 365 * 86400, rows), unit="s"),
    })


def column_letter(c):
    return openpyxl.utils.get_column_letter(c)


def build_engine_template(path):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Orders"
    bold = Font(name="Arial", size=10, bold=True, color="FFFFFF")
    for c, name in enumerate(ENGINE_COLUMNS, start=1):
        cell = ws.cell(row=1, column=c, value=name)
        cell.font = bold
        cell.fill = PatternFill("solid", fgColor="1F3864")
    ws.cell(row=2, column=1, value="{df}")
    side = Side(style="thin", color="999999")
    for c in range(1, len(ENGINE_COLUMNS) + 1):
        cell = ws.cell(row=2, column=c)
        cell.font = Font(name="Arial", size=9, color="1F3864")
        cell.fill = PatternFill("solid", fgColor="EEF3FA" if c % 2 else "FFFFFF")
        cell.border = Border(bottom=side, left=side, right=side)
        if ENGINE_FORMATS[c - 1]:
            cell.number_format = ENGINE_FORMATS[c - 1]
    ws.cell(row=3, column=1, value="Total").font = Font(name="Arial", size=10, bold=True)
    for j in SUMMED:
        letter = column_letter(j + 1)
        cell = ws.cell(row=3, column=j + 1, value=f"=SUM({letter}2:{letter}2)")
        cell.font = Font(name="Arial", size=10, bold=True)
        cell.number_format = ENGINE_FORMATS[j]
    wb.save(path)


def build_placeholder_template(path, rows):
    """rows x 10 cells of text, 10 of them placeholders: whole cells and in-text in turn."""
    wb = openpyxl.Workbook()
    ws = wb.active
    for r in range(1, rows + 1):
        ws.append([f"r{r}c{c}" for c in range(1, COLUMNS + 1)])
    step = rows // 10
    for k in range(10):
        ws.cell(row=1 + k * step, column=1 + k % COLUMNS, value=f"{{v{k}}}" if k % 2 else f"Item {k}: {{v{k}}} units")
    wb.save(path)


def placeholder_env():
    return {f"v{k}": k * 111 if k % 2 else f"text {k}" for k in range(10)}


def xlsxwriter_write(frame, path):
    """The same values, as a writer with no template writes them."""
    import xlsxwriter

    wb = xlsxwriter.Workbook(path, {"constant_memory": True})
    ws = wb.add_worksheet()
    when = wb.add_format({"num_format": "yyyy-mm-dd hh:mm"})
    columns = [frame[name].tolist() for name in ENGINE_COLUMNS[:-1]]
    shipped = frame["shipped"].dt.to_pydatetime().tolist()
    for i, values in enumerate(zip(*columns)):
        ws.write_row(i, 0, values)
        ws.write_datetime(i, 9, shipped[i], when)
    wb.close()


def deflate(data, level=6):
    """Raw deflate of the data in 1 MiB chunks, as a zip writer feeds it."""
    packer = zlib.compressobj(level, zlib.DEFLATED, -15)
    size = 0
    chunk = 1 << 20
    for at in range(0, len(data), chunk):
        size += len(packer.compress(data[at:at + chunk]))
    return size + len(packer.flush())


def engine_fill(engine, level, template, out, env):
    """A fill as the engine case times it: insert mode, restoring with openpyxl's engine."""
    fill = GridFill(insert=True, engine=engine, compresslevel=level)
    failed = fill(template, out, env)
    assert not failed, failed.details


# What each engine-case fill is: a name for the table and the fill it does.
WRITERS = {
    "native6": ("native engine, zlib 6", lambda t, o, e: engine_fill("native", 6, t, o, e)),
    "native1": ("native engine, zlib 1", lambda t, o, e: engine_fill("native", 1, t, o, e)),
    "openpyxl": ("openpyxl engine, restore", lambda t, o, e: engine_fill("openpyxl", 6, t, o, e)),
    "xlsxwriter": ("xlsxwriter constant_memory", lambda t, o, e: xlsxwriter_write(e["df"], o)),
}


def peak_child(writer, rows, template, out):
    """Run in a fresh process: the MB the RSS high-water mark grows by over one fill."""
    env = {"df": engine_frame(rows)}
    import gc

    import xlsxwriter  # noqa: F401  (imported before the mark, as everything else)

    gc.collect()
    try:
        # Hand back to the system what building the frame freed, or the fill
        # would reuse it unseen.
        import ctypes

        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass
    try:
        # Linux lets a process start its high-water mark again from what it holds
        # now, so that building the frame does not hide a smaller fill.
        with open("/proc/self/clear_refs", "w") as marks:
            marks.write("5")
    except OSError:
        pass
    before = high_water_kib()
    WRITERS[writer][1](template, out, env)
    print((high_water_kib() - before) / 1024)


def high_water_kib():
    """This process's RSS high-water mark.  Linux's ru_maxrss is never below that
    of the process it was started from (the mark passes through exec), so a child
    of a big process would see none of its fill; /proc has the process's own."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB on Linux


def peak_mb(writer, rows, template, out):
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--peak-child", writer, str(rows), template, out],
                          capture_output=True, text=True)
    if done.returncode:
        raise RuntimeError(f"peak of {writer} at {rows} rows failed:\n{done.stderr}")
    return float(done.stdout.split()[-1])


def opens(path, rows=None):
    """Open an output with openpyxl again; for a frame's output, check its first and
    last rows and the total row.  Returns '' or what was wrong."""
    try:
        # A million rows read whole would hold every cell at once; read_only
        # still parses every one of them.
        wb = load_workbook(path, read_only=rows is not None and rows > 200_000)
        ws = wb.worksheets[0]
        if rows is not None:
            found = list(ws.iter_rows(values_only=True))
            wb.close()
            data = [r for r in found if r and isinstance(r[3], (int, float)) and not isinstance(r[3], bool)]
            frame_rows = [r for r in data if not (isinstance(r[0], str) and r[0] == "Total")]
            if len(frame_rows) != rows:
                return f"{len(frame_rows)} frame rows, not {rows}"
            total = [r for r in found if r and r[0] == "Total"]
            if total and total[0][3] != f"=SUM(D2:D{rows + 1})":
                return f"total row sums {total[0][3]}"
        else:
            wb.close()
    except Exception as error:  # the report says what failed to open
        return f"{type(error).__name__}: {error}"
    return ""


def best_of(best, key, took):
    best[key] = min(best.get(key, took), took)


def main_engine(args):
    rows, big = args.rows, args.big_rows
    best, peaks, problems = {}, {}, []
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.keep or scratch
        os.makedirs(folder, exist_ok=True)
        template = os.path.join(folder, "engine_template.xlsx")
        build_engine_template(template)
        out = {w: os.path.join(folder, f"{w}_{rows}.xlsx") for w in WRITERS}

        def sizes(n):
            env = {"df": engine_frame(n)}
            names = ["native6", "native1"] + (["openpyxl", "xlsxwriter"] if n == rows else [])
            paths = {w: os.path.join(folder, f"{w}_{n}.xlsx") for w in names}
            sheet = None
            for turn in range(args.repeat):
                for w in names:
                    best_of(best, (w, n), timed(lambda: WRITERS[w][1](template, paths[w], env)))
                if sheet is None:
                    with zipfile.ZipFile(paths["native6"]) as package:
                        sheet = package.read("xl/worksheets/sheet1.xml")
                best_of(best, ("deflate", n), timed(lambda: deflate(sheet)))
                print(f"  {n} rows, run {turn + 1} of {args.repeat} done", file=sys.stderr, flush=True)
            best[("sheet MB", n)] = len(sheet) / 2**20
            del env
            for w in names:
                problem = opens(paths[w], n)
                if problem:
                    problems.append(f"{os.path.basename(paths[w])}: {problem}")
            peak_names = names if n == rows else ["native6"]
            for w in peak_names:
                peaks[(w, n)] = peak_mb(w, n, template, os.path.join(folder, f"peak_{w}_{n}.xlsx"))
            print(f"  {n} rows: peaks measured", file=sys.stderr, flush=True)

        sizes(rows)
        if big:
            sizes(big)

        small = os.path.join(folder, "placeholders_template.xlsx")
        build_placeholder_template(small, 4000)
        env = placeholder_env()
        small_out = {e: os.path.join(folder, f"placeholders_{e}.xlsx") for e in ("native", "openpyxl")}
        for _ in range(args.repeat):
            for e in ("native", "openpyxl"):
                fill = GridFill(engine=e)
                failed = []
                best_of(best, ("placeholders", e), timed(lambda: failed.extend(fill(small, small_out[e], env))))
                assert not failed, failed.details
            scratch_copy = os.path.join(folder, "placeholders_openpyxl_save.xlsx")
            floor = timed(lambda: load_workbook(small).save(scratch_copy))
            best_of(best, ("placeholders", "floor"), floor)
        for path in small_out.values():
            problem = opens(path)
            if problem:
                problems.append(f"{os.path.basename(path)}: {problem}")

    print(f"engine case, best of {args.repeat}; peak = RSS high-water growth over the fill, fresh process")
    print(f"{'':<38} {'rows':>9} {'seconds':>8} {'peak MB':>8}")

    def line(name, n, seconds, peak=None):
        shown = f"{peak:>8.0f}" if peak is not None else f"{'':>8}"
        print(f"{name:<38} {n:>9,} {seconds:>8.2f} {shown}")

    for n in [rows] + ([big] if big else []):
        for w in ("native6", "native1", "openpyxl", "xlsxwriter"):
            if (w, n) in best:
                line(WRITERS[w][0], n, best[(w, n)], peaks.get((w, n)))
        line(f"zlib 6 over sheet1.xml ({best[('sheet MB', n)]:.0f} MB)", n, best[("deflate", n)])
    line("4000x10 text, 10 placeholders: native", 4000, best[("placeholders", "native")])
    line("  openpyxl load_workbook + save", 4000, best[("placeholders", "floor")])
    line("  openpyxl engine, restore", 4000, best[("placeholders", "openpyxl")])

    def ratio(name, value, target, met, form="{:.2f}"):
        verdict = "" if met is None else "yes" if met else "NO"
        print(f"{name:<44} {form.format(value):>8} {target:>8} {verdict:>4}")

    print()
    print(f"{'':<44} {'value':>8} {'target':>8} {'met':>4}")
    native = best[("native6", rows)]
    ratio("native zlib 6 / deflate", native / best[("deflate", rows)], "<= 1.5",
          native / best[("deflate", rows)] <= 1.5)
    ratio("native zlib 1 seconds", best[("native1", rows)], "< 0.5", best[("native1", rows)] < 0.5)
    ratio("xlsxwriter / native zlib 6", best[("xlsxwriter", rows)] / native, ">= 5",
          best[("xlsxwriter", rows)] / native >= 5)
    ratio("native zlib 6 peak MB", peaks[("native6", rows)], "<= 300", peaks[("native6", rows)] <= 300, "{:.0f}")
    if big:
        growth = best[("native6", big)] / native
        ratio(f"native zlib 6 growth {big:,} / {rows:,}", growth, "<= 11", growth <= 11)
        ratio("  deflate growth, for scale", best[("deflate", big)] / best[("deflate", rows)], "", None)
    share = best[("placeholders", "native")] / best[("placeholders", "floor")]
    ratio("placeholders: native / openpyxl load+save", share, "<= 0.2", share <= 0.2)
    if problems:
        print("\noutputs that did not open as expected:")
        for problem in problems:
            print("  " + problem)
    else:
        print("\nevery output opens with openpyxl")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--case", choices=["fill", "insert", "safe", "engine"], default="fill")
    parser.add_argument("--sizes", default="1000,2000,4000,8000")
    parser.add_argument("--repeat", type=int, default=3, help="best of this many runs (not the baseline)")
    parser.add_argument("--no-baseline", action="store_true", help="skip the slow plain loop")
    parser.add_argument("--cpu", action="store_true",
                        help="time the CPU this process uses, steadier than wall time on a shared machine")
    parser.add_argument("--rows", type=int, default=100_000, help="engine case: rows of the frame")
    parser.add_argument("--big-rows", type=int, default=1_000_000,
                        help="engine case: rows of the native engine's second frame; 0 skips it")
    parser.add_argument("--keep", metavar="FOLDER", help="engine case: write the outputs here and keep them")
    parser.add_argument("--peak-child", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.peak_child:
        writer, rows, template, out = args.peak_child
        peak_child(writer, int(rows), template, out)
        return
    if args.cpu:
        global CLOCK
        CLOCK = time.process_time
    sizes = [int(s) for s in args.sizes.split(",")]
    if args.case == "insert":
        main_insert(args, sizes)
        return
    if args.case == "safe":
        main_safe(args, sizes)
        return
    if args.case == "engine":
        main_engine(args)
        return
    env = environment()
    rows_out = []
    with tempfile.TemporaryDirectory() as folder:
        for rows in sizes:
            template = os.path.join(folder, f"template{rows}.xlsx")
            filled = os.path.join(folder, f"filled{rows}.xlsx")
            build_template(template, rows)
            gridfill, floor = measure(template, filled, os.path.join(folder, "scratch.xlsx"), env, args.repeat)
            if args.no_baseline:
                baseline = float("nan")
            else:
                baseline = timed(lambda: baseline_fill(template, os.path.join(folder, "b.xlsx"), env))
            rows_out.append((rows, floor, gridfill, baseline))
            print(f"  {rows} rows done", file=sys.stderr, flush=True)

    print(f"{'rows':>6} {'floor s':>9} {'GridFill s':>11} {'x floor':>8} {'baseline s':>11} {'x floor':>8}")
    for rows, floor, gridfill, baseline in rows_out:
        print(f"{rows:>6} {floor:>9.2f} {gridfill:>11.2f} {gridfill / floor:>8.2f} {baseline:>11.2f} {baseline / floor:>8.2f}")
    if len(rows_out) > 1:
        first, last = rows_out[0], rows_out[-1]
        print(f"growth {first[0]} -> {last[0]} rows: GridFill x{last[2] / first[2]:.2f}, "
              f"floor x{last[1] / first[1]:.2f}, baseline x{last[3] / first[3]:.2f}")


if __name__ == "__main__":
    main()
