"""Times sections in documents.

Run by hand after installing the package:  python bench/bench_sections_doc.py
Prints one table; nothing here is a test.

Rows:
- records: 10,000 records through a three-paragraph {for} section, against the
  same 30,000 paragraphs already written out in the template and filled as
  plain placeholders: at most 2x.
- growth: the section with 100 records and with 10,000: at most 120x.
- rows: a 10,000-item row loop in a table, against the same rows filled from a
  DataFrame placeholder in the first cell: at most 1.5x.
"""

import os
import sys
import tempfile

import docx
import pandas as pd

from tessel.pagefill import PageFill
from timing import best_of


def section_template(path):
    doc = docx.Document()
    doc.add_paragraph("Customers")
    doc.add_paragraph("{for c in customers}")
    doc.add_paragraph("Dear {c.name},")
    doc.add_paragraph("you owe {c.amount} since {c.since}.")
    doc.add_paragraph("Regards, {sender}")
    doc.add_paragraph("{end for}")
    doc.save(path)


def written_out_template(path, n):
    doc = docx.Document()
    doc.add_paragraph("Customers")
    for k in range(n):
        doc.add_paragraph(f"Dear {{customers.name[{k}]}},")
        doc.add_paragraph(f"you owe {{customers.amount[{k}]}} since {{customers.since[{k}]}}.")
        doc.add_paragraph("Regards, {sender}")
    doc.save(path)


def table_template(path, cells):
    """A table of a header row and a row whose first cells hold `cells`."""
    doc = docx.Document()
    table = doc.add_table(rows=2, cols=3)
    for c, text in enumerate(("Name", "Amount", "Since")):
        table.cell(0, c).text = text
    for c, text in enumerate(cells):
        table.cell(1, c).text = text
    doc.save(path)


def customers(n):
    return pd.DataFrame({
        "name": [f"Customer {k}" for k in range(n)],
        "amount": [round(k * 1.25, 2) for k in range(n)],
        "since": [f"2024-{1 + k % 12:02d}-01" for k in range(n)],
    })


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    fill = PageFill()
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "out.docx")
        section, written, by_rows, by_frame = (os.path.join(folder, f"{name}.docx")
                                               for name in ("section", "written", "rows", "frame"))
        section_template(section)
        written_out_template(written, n)
        table_template(by_rows, ["{for c in customers}{c.name}", "{c.amount}", "{c.since}{end for}"])
        table_template(by_frame, ["{customers}"])
        many, few = customers(n), customers(100)

        def run(template, env):
            failed = fill(template, out, env)
            assert failed == [], failed[:3]

        t_section = best_of(3, lambda: run(section, {"customers": many, "sender": "Tessel"}))
        t_written = best_of(3, lambda: run(written, {"customers": many, "sender": "Tessel"}))
        t_few = best_of(5, lambda: run(section, {"customers": few, "sender": "Tessel"}))
        t_rows = best_of(3, lambda: run(by_rows, {"customers": many}))
        t_frame = best_of(3, lambda: run(by_frame, {"customers": many}))
        rows.append(("records: section", t_section, t_section / t_written, 2.0))
        rows.append(("records: written out", t_written, 1.0, None))
        rows.append(("growth: 100 -> %d records" % n, t_few, t_section / t_few, 120.0))
        rows.append(("rows: row loop", t_rows, t_rows / t_frame, 1.5))
        rows.append(("rows: DataFrame block", t_frame, 1.0, None))
    print(f"{'case':32} {'seconds':>9} {'ratio':>8} {'target':>8}")
    for name, seconds, ratio, target in rows:
        mark = "" if target is None else ("ok" if ratio <= target else "SLOW")
        print(f"{name:32} {seconds:9.3f} {ratio:8.2f} {'' if target is None else f'<= {target}':>8} {mark}")


if __name__ == "__main__":
    main()
