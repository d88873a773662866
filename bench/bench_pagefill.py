"""Times PageFill against a plain-Python baseline and python-docx's own costs.

Run by hand after installing the package:  python bench/bench_pagefill.py
Prints one table; nothing here is a test.

Rows:
- paragraphs: N paragraphs of five runs in alternating formatting, each run pair
  splitting a placeholder, filled by the baseline (the documented algorithm in plain
  Python: a pandas frame of style keys per paragraph, paragraph.clear(), rebuilt
  runs) and by PageFill; the floor is python-docx loading the template and saving it.
- frames: a one-row table with {df} in its first cell filled from an n x m frame;
  the reference is python-docx setting the text of every cell of an existing n x m
  table, iterating rows and each row's cells once.
- insert: a 5000 x 5 frame into a table whose template row is formatted (shading,
  bold, alignment) and has three rows after it (subtotal, tax, total), with
  insert=False (which writes over those rows) and insert=True (which moves them down);
  same reference.  Insert must cost at most 1.5x overwrite.
- safe: the 800-paragraph template and the 5000 x 5 insert, filled with safe=True
  (on Linux in a confined process) against the default, in wall time since the
  process's CPU is not this one's: at most 1.3x.
"""

import io
import os
import re
import sys
import tempfile
import time
import warnings

import docx
import numpy as np
import pandas as pd

from tessel.pagefill import PageFill
from timing import best_of

FONT_KEYS = (
    "all_caps bold complex_script cs_bold cs_italic double_strike emboss hidden highlight_color "
    "imprint italic math name no_proof outline rtl shadow size small_caps snap_to_grid spec_vanish "
    "strike subscript superscript underline web_hidden"
).split()


class Baseline:
    """The documented algorithm, written plainly in Python."""

    def __init__(self, pattern="{}", recurse=False):
        self.pattern = pattern
        self.recurse = recurse

    def extract_placeholder(self, text):
        return re.findall(r"\{([^{}]+?)\}" if self.pattern == "{}" else r"\{\{([^{}]+?)\}\}", text)

    def concat_run(self, paragraph):
        runs = paragraph.runs
        if not runs:
            return paragraph
        keys = []
        for run in runs:
            font = run.font
            keys.append(
                (run.style,)
                + tuple(getattr(font, k) for k in FONT_KEYS)
                + (font.color.rgb, font.color.theme_color, font.color.type)
            )
        styles = pd.DataFrame(keys)
        for column in styles.columns:
            values = styles[column]
            styles[column] = [True] + [a == b for a, b in zip(values[:-1], values[1:])]
        flags = styles.all(axis=1)
        group_no = [0]
        for flag in list(flags)[1:]:
            group_no.append(group_no[-1] + (0 if flag else 1))
        paragraph.clear()
        for j in range(group_no[-1] + 1):
            runs_ = [r for r, g in zip(runs, group_no) if g == j]
            new = paragraph.add_run("".join(r.text for r in runs_))
            first = runs_[0]
            new.bold, new.italic, new.underline, new.style = (
                first.bold, first.italic, first.underline, first.style)
            for k in FONT_KEYS:
                setattr(new.font, k, getattr(first.font, k))
            new.font.color.rgb = first.font.color.rgb
            if first.font.color.theme_color is not None:
                new.font.color.theme_color = first.font.color.theme_color
        return paragraph

    def replace_paragraph(self, paragraph, env):
        failed = []
        fmt = "{%s}" if self.pattern == "{}" else "{{%s}}"
        for run in paragraph.runs:
            for placeholder in self.extract_placeholder(run.text):
                try:
                    value = eval(placeholder, env)
                    if isinstance(value, io.BytesIO):
                        run.text = run.text.replace(fmt % placeholder, "")
                        run.add_picture(eval(placeholder, env))
                    else:
                        text = run.text
                        value = eval(placeholder, env)
                        run.text = text.replace(fmt % placeholder, value if isinstance(value, str) else str(value))
                except Exception:
                    failed.append(placeholder)
        return failed

    def __call__(self, template_path, save_path, env=None):
        doc = docx.Document(template_path)
        failed = []
        for paragraph in doc.paragraphs:
            paragraph = self.concat_run(paragraph)
            failed += self.replace_paragraph(paragraph, env)
        replaced = []
        for table in doc.tables:
            for i, row in enumerate(table.rows):
                for j, cell in enumerate(row.cells):
                    if (i, j) in replaced and not self.recurse:
                        continue
                    placeholders = self.extract_placeholder(cell.text)
                    if (len(placeholders) == 1 and placeholders[0] in env
                            and isinstance(eval(placeholders[0], env), pd.DataFrame)):
                        values = eval(placeholders[0], env).values
                        n, m = values.shape
                        for _ in range(n - len(table.rows) + i):
                            table.add_row()
                        for _ in range(m - len(table.columns) + j):
                            table.add_column(width=table.columns[-1].width)
                        for k in range(n):
                            for l in range(m):
                                v = values[k, l]
                                table.rows[i + k].cells[j + l].text = v if isinstance(v, str) else str(v)
                                replaced.append((i + k, j + l))
                    else:
                        for paragraph in cell.paragraphs:
                            paragraph = self.concat_run(paragraph)
                            failed += self.replace_paragraph(paragraph, env)
        doc.save(save_path)
        return failed


def paragraph_template(path, count):
    doc = docx.Document()
    for i in range(count):
        p = doc.add_paragraph()
        p.add_run(f"Line {i}: ").bold = True
        p.add_run("{na")
        p.add_run("me} and ")
        p.add_run("{ci").italic = True
        p.add_run("ty}.").italic = True
    doc.save(path)


def table_template(path, columns):
    doc = docx.Document()
    doc.add_paragraph("Data")
    table = doc.add_table(rows=1, cols=columns)
    table.cell(0, 0).text = "{df}"
    doc.save(path)


def order_template(path, columns):
    """A formatted template row holding {df} and three rows after it."""
    doc = docx.Document()
    table = doc.add_table(rows=5, cols=columns)
    table.style = "Table Grid"
    for j, cell in enumerate(table.rows[0].cells):
        cell.text = f"Column {j}"
    row = table.rows[1]
    for j, cell in enumerate(row.cells):
        run = cell.paragraphs[0].add_run("{df}" if j == 0 else "")
        run.bold = True
        cell.paragraphs[0].alignment = 2
        shading = docx.oxml.parse_xml(
            f'<w:shd {docx.oxml.ns.nsdecls("w")} w:val="clear" w:color="auto" w:fill="DDEEFF"/>')
        cell._tc.get_or_add_tcPr().append(shading)
    for i, label in zip((2, 3, 4), ("Subtotal", "Tax", "Total")):
        table.cell(i, 0).text = label
        table.cell(i, columns - 1).text = "{%s}" % label.lower()
    doc.save(path)


def best(fn, repeat):
    """Least CPU time of `repeat` runs: steadier than wall time on a shared machine."""
    return best_of(repeat, fn, time.process_time)


def wall_best(fn, repeat):
    return best_of(repeat, fn)


def safe_case():
    """(case, default s, safe s) for a text-heavy and a table-heavy template."""
    out = []
    with tempfile.TemporaryDirectory() as tmp:
        tpl, result = os.path.join(tmp, "t.docx"), os.path.join(tmp, "o.docx")
        paragraph_template(tpl, 800)
        env = {"name": "Ada", "city": "London"}
        times = [wall_best(lambda: PageFill(safe=safe)(tpl, result, dict(env)), 5) for safe in (False, True)]
        out.append(("800 paragraphs", *times))
        n, m = 5000, 5
        order_template(tpl, m)
        env = {"df": pd.DataFrame(np.arange(n * m).reshape(n, m) / 4), "subtotal": 1, "tax": 2, "total": 3}
        times = [wall_best(lambda: PageFill(insert=True, safe=safe)(tpl, result, dict(env)), 3) for safe in (False, True)]
        out.append((f"{n} x {m} insert", *times))
    return out


def main():
    env = {"name": "Ada", "city": "London"}
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        tpl, out = os.path.join(tmp, "t.docx"), os.path.join(tmp, "o.docx")
        for count in (200, 800, 3200):
            paragraph_template(tpl, count)
            repeat = 7 if count < 3200 else 3
            floor = best(lambda: docx.Document(tpl).save(out), repeat)
            base = best(lambda: Baseline()(tpl, out, dict(env)), 1)
            ours = best(lambda: PageFill()(tpl, out, dict(env)), repeat)
            rows.append((f"{count} paragraphs x 5 runs", floor, base, ours))

        for n, m in ((500, 3), (5000, 5)):
            table_template(tpl, m)
            frame = pd.DataFrame(np.arange(n * m).reshape(n, m))
            doc = docx.Document()
            doc.add_table(rows=n, cols=m)
            doc.save(out)
            existing = docx.Document(out)

            def set_every_cell(table=existing.tables[0]):
                for row in table.rows:
                    for cell in row.cells:
                        cell.text = "7"

            reference = best(set_every_cell, 1)
            base = best(lambda: Baseline()(tpl, out, {"df": frame}), 1) if n <= 500 else float("nan")
            ours = best(lambda: PageFill()(tpl, out, {"df": frame}), 1)
            rows.append((f"{n} x {m} frame", reference, base, ours))

        n, m = 5000, 5
        order_template(tpl, m)
        frame = pd.DataFrame(np.arange(n * m).reshape(n, m) / 4)
        env = {"df": frame, "subtotal": 1, "tax": 2, "total": 3}
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # overwrite mode says what it wrote over
            overwrite = best(lambda: PageFill()(tpl, out, dict(env)), 3)
            insert = best(lambda: PageFill(insert=True)(tpl, out, dict(env)), 3)
        rows.append((f"{n} x {m} overwrite", reference, float("nan"), overwrite))
        rows.append((f"{n} x {m} insert", reference, float("nan"), insert))

    print(f"{'case':<26}{'floor/ref s':>12}{'baseline s':>12}{'PageFill s':>12}{'PageFill/floor':>16}")
    for name, floor, base, ours in rows:
        print(f"{name:<26}{floor:>12.3f}{base:>12.3f}{ours:>12.3f}{ours / floor:>16.2f}")
    print(f"insert / overwrite: {insert / overwrite:.2f} (must be at most 1.5)")
    for name, default, safe in safe_case():
        print(f"safe / default, {name}: {safe / default:.2f} ({default:.3f} s, {safe:.3f} s; must be at most 1.3)")
    print("floor: python-docx load + save (paragraph rows); ref: python-docx setting every cell's "
          "text of an existing table (frame rows); the 5000 x 5 baseline is not run (hours).")
    return 0


if __name__ == "__main__":
    sys.exit(main())
