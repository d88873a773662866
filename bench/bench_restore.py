"""Cost of restoring a filled workbook, against openpyxl's own load and save of it.

Run by hand: python bench/bench_restore.py [rows] [columns]
Target: restoration adds at most 20% to openpyxl's load + save.
"""

import io
import os
import shutil
import statistics
import sys
import tempfile
import time

import openpyxl
from openpyxl.drawing.image import Image
from PIL import Image as PILImage

from tessel.gridfill import restore_save


def png():
    out = io.BytesIO()
    PILImage.new("RGB", (40, 20), (200, 30, 30)).save(out, "PNG")
    return out.getvalue()


def build(path, rows, columns, picture):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Data"
    for r in range(1, rows + 1):
        ws.append([f"text {r}-{c}" if c % 3 == 0 else r * c + 0.5 for c in range(columns)])
    if picture:
        # A drawing on the big sheet makes the restoration parse and rewrite it.
        ws.add_image(Image(io.BytesIO(png())), "L2")
    wb.create_sheet("Notes")["A1"] = "{n}"
    wb.save(path)


def timed(step, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        step()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def measure(rows, columns, picture):
    with tempfile.TemporaryDirectory() as folder:
        template = os.path.join(folder, "template.xlsx")
        saved = os.path.join(folder, "saved.xlsx")
        work = os.path.join(folder, "work.xlsx")
        build(template, rows, columns, picture)

        def load_save():
            wb = openpyxl.load_workbook(template)
            wb.save(saved)
            wb.close()

        def restore():
            shutil.copyfile(saved, work)
            restore_save(template, work)

        openpyxl_time = timed(load_save, 3)
        copy_time = timed(lambda: shutil.copyfile(saved, work), 5)
        restore_time = timed(restore, 5) - copy_time
        return os.path.getsize(saved), openpyxl_time, restore_time


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 4000
    columns = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    print(f"workbook: {rows} rows x {columns} columns; medians in seconds; target: added <= 20%")
    print(f"{'template':<26}{'KiB':>6}{'openpyxl':>10}{'restore':>10}{'added':>8}")
    for label, picture in (("plain", False), ("picture on the data sheet", True)):
        size, openpyxl_time, restore_time = measure(rows, columns, picture)
        print(f"{label:<26}{size / 1024:>6.0f}{openpyxl_time:>10.3f}{restore_time:>10.3f}"
              f"{restore_time / openpyxl_time:>8.1%}")


if __name__ == "__main__":
    main()
