"""Time GridFill against openpyxl's own load and save, and against a plain loop.

Run by hand from the checkout, with the package installed:

    python bench/bench_gridfill.py [--sizes 1000,2000,4000,8000] [--repeat 2]

Each template has N rows by 10 columns of text, a placeholder in every tenth cell
(whole-cell values and in-text replacements in turn) and, under the data, one cell
that receives a 10,000 x 10 data frame; its row is styled (font, fill, border,
number formats, height), so every row of the block takes those styles.  The floor is openpyxl's load_workbook of
the template plus save of the filled workbook.  The baseline is the straightforward
loop: every position up to max_row and max_column (read again for each row), a
list of written positions, and each expression evaluated for every use of its
value.  Restoration is off everywhere, since it is timed elsewhere.
"""

import argparse
import io
import os
import sys
import tempfile
import time

import numpy as np
import openpyxl
import pandas as pd
from openpyxl import load_workbook
from openpyxl.styles import Border, Font, PatternFill, Side

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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
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
