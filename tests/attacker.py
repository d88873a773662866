"""Fills hostile placeholders in safe mode, in a process of its own.

Run as ``python attacker.py KIND FOLDER`` with a JSON list of placeholders on
standard input; KIND is line, grid or page.  FOLDER is where the attacks aim
their files (the variable ``T``) and where the templates are made.  Prints one
JSON object per placeholder: the reason it failed (None when it filled) and,
for line, the seconds its fill took; and the variables that changed.
"""

import io
import json
import os
import sqlite3
import subprocess
import sys
import time


def variables(folder):
    import datetime

    import numpy as np
    import pandas as pd

    return {
        "T": folder,
        "df": pd.DataFrame({"region": ["N", "S", "N"], "amount": [1.5, 2.0, 3.0]}),
        "items": [1, 2, 3],
        "x": 3.14159,
        "total": 1234567.891,
        "day": datetime.date(2024, 5, 3),
        "logo": io.BytesIO(b"\x89PNG picture bytes"),
        # what a report script also holds
        "os": os,
        "np": np,
        "pd": pd,
        "remove": os.remove,
        "Popen": subprocess.Popen,
        "environ": os.environ,
        "conn": sqlite3.connect(":memory:"),
        "ts": pd.Series([1, 2, 3], index=pd.date_range("2020-01-01", periods=3, freq="365D")),
    }


def snapshot(env):
    return {
        "df": env["df"].to_json(),
        "items": list(env["items"]),
        "logo": (env["logo"].getvalue(), env["logo"].tell(), env["logo"].closed),
    }


def run_lines(attacks, env):
    from tessel.linefill import LineFill

    fill = LineFill(safe=True)
    out = []
    for attack in attacks:
        start = time.perf_counter()
        text, failed = fill("{%s}" % attack, env)
        seconds = time.perf_counter() - start
        reason = failed.details[0].reason if failed else None
        out.append({"placeholder": attack, "reason": reason, "seconds": seconds, "text": text[:200]})
    return out


def run_grid(attacks, env, folder):
    import openpyxl

    from tessel.gridfill import GridFill

    template, result = os.path.join(folder, "attacks.xlsx"), os.path.join(folder, "filled.xlsx")
    book = openpyxl.Workbook()
    for row, attack in enumerate(attacks, 1):
        book.active.cell(row=row, column=1, value="{%s}" % attack)
    book.save(template)
    failed = GridFill(safe=True)(template, result, env)
    kept = [c.value for c in openpyxl.load_workbook(result).active["A"]]
    return report(attacks, failed, kept)


def run_page(attacks, env, folder):
    import docx

    from tessel.pagefill import PageFill

    template, result = os.path.join(folder, "attacks.docx"), os.path.join(folder, "filled.docx")
    document = docx.Document()
    for attack in attacks:
        document.add_paragraph("{%s}" % attack)
    document.save(template)
    failed = PageFill(safe=True)(template, result, env)
    kept = [p.text for p in docx.Document(result).paragraphs]
    return report(attacks, failed, kept)


def report(attacks, failed, kept):
    reasons = {f.placeholder: f.reason for f in failed.details}
    return [
        {"placeholder": a, "reason": reasons.get(a), "text": str(k)[:200]}
        for a, k in zip(attacks, kept)
    ]


def main():
    kind, folder = sys.argv[1], sys.argv[2]
    attacks = json.load(sys.stdin)
    env = variables(folder)
    before = snapshot(env)
    start = time.perf_counter()
    if kind == "line":
        results = run_lines(attacks, env)
    elif kind == "grid":
        results = run_grid(attacks, env, folder)
    else:
        results = run_page(attacks, env, folder)
    seconds = time.perf_counter() - start
    after = snapshot(env)
    changed = sorted(name for name in before if before[name] != after[name])
    json.dump({"results": results, "seconds": seconds, "changed": changed}, sys.stdout, default=repr)


if __name__ == "__main__":
    main()
