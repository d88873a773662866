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
"""

import argparse
import io
import os
import sys
import tempfile
import time

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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--case", choices=["fill", "insert", "safe"], default="fill")
    parser.add_argument("--sizes", default="1000,2000,4000,8000")
    parser.add_argument("--repeat", type=int, default=3, help="best of this many runs (not the baseline)")
    parser.add_argument("--no-baseline", action="store_true", help="skip the slow plain loop")
    parser.add_argument("--cpu", action="store_true",
                        help="time the CPU this process uses, steadier than wall time on a shared machine")
    args = parser.parse_args()
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
