"""Rows repeated by a section against the same rows written as a data frame block.

Run by hand from the checkout, with the package installed:

    python bench/bench_sections_grid.py [--items 10000] [--repeat 3]

The section template holds a header, a group of 3 rows between {for r in rows}
and {end for} (a label, three placeholders of the item and a formula of its own
row, the middle row styled) and a total row of =SUM over the group.  The block
template holds the same header and total around one cell, {df}, filled with
insert=True from a frame of 3 x items rows and 4 columns, the same values the
copies hold.  Both run the native engine; the section fill must take at most
twice the block's time.
"""

import argparse
import os
import tempfile

import openpyxl
import pandas as pd
from openpyxl.styles import Font, PatternFill

from tessel.gridfill import GridFill
from timing import best_of


def section_template(path):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.append(["Name", "Amount", "Double", "Note"])
    ws["A2"] = "{for r in rows}"
    ws["B2"] = "{r.name}"
    ws["A3"] = "{r.name}"
    ws["B3"] = "{r.amount}"
    ws["C3"] = "=B3*2"
    ws["D3"] = "item {r.name}"
    for cell in ws[3]:
        cell.font = Font(bold=True)
        cell.fill = PatternFill("solid", fgColor="DDEEFF")
    ws["A4"] = "{end for}"
    ws["B5"] = "=SUM(B2:B4)"
    wb.save(path)


def block_template(path):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.append(["Name", "Amount", "Double", "Note"])
    ws["A2"] = "{df}"
    for cell in ws[2]:
        cell.font = Font(bold=True)
        cell.fill = PatternFill("solid", fgColor="DDEEFF")
    ws["B3"] = "=SUM(B2:B2)"
    wb.save(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--items", type=int, default=10000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    rows = pd.DataFrame({"name": [f"n{k}" for k in range(args.items)], "amount": range(args.items)})
    frame = pd.DataFrame({
        "name": [v for k in range(args.items) for v in (f"n{k}", f"n{k}", None)],
        "amount": [v for k in range(args.items) for v in (None, k, None)],
        "double": [v for k in range(args.items) for v in (None, 2 * k, None)],
        "note": [v for k in range(args.items) for v in (None, f"item n{k}", None)],
    })
    with tempfile.TemporaryDirectory() as folder:
        section, block = os.path.join(folder, "section.xlsx"), os.path.join(folder, "block.xlsx")
        section_template(section)
        block_template(block)
        out = os.path.join(folder, "out.xlsx")

        def fill_section():
            assert GridFill()(section, out, {"rows": rows}) == []

        def fill_block():
            assert GridFill(insert=True)(block, out, {"df": frame}) == []

        fill_section()
        assert openpyxl.load_workbook(out).active.max_row == 3 * args.items + 2
        t_section = best_of(args.repeat, fill_section)
        t_block = best_of(args.repeat, fill_block)
    ratio = t_section / t_block
    print(f"{'fill':<40}{'seconds':>10}")
    print(f"{f'section, 3 rows x {args.items} items':<40}{t_section:>10.3f}")
    print(f"{f'frame block, {3 * args.items} rows':<40}{t_block:>10.3f}")
    print(f"section / block: {ratio:.2f} (target <= 2)")


if __name__ == "__main__":
    main()
