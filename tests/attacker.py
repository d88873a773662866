"""Fills hostile placeholders in safe mode, in a process of its own.

Run as ``python attacker.py KIND FOLDER`` with a JSON list of placeholders on
standard input; KIND is line, grid or page.  FOLDER is where the attacks aim
their files (the variable ``T``) and where the templates are made.  Prints one
JSON object: per placeholder the reason it failed (None when it filled) and,
for line, the seconds its fill took; the variables that changed; what the
attacks did that an audit hook sees (files opened for writing or under /etc,
sockets, processes); and the peak memory before and after them.

The process caps its own memory and processor time, so that a bomb that gets
through fails here instead of taking the machine.
"""

import collections
import datetime
import decimal
import fractions
import io
import json
import os
import resource
import sqlite3
import subprocess
import sys
import time

# Audit events that no fill causes.
FOREIGN = (
    "socket.", "subprocess.", "os.system", "os.exec", "os.posix_spawn", "os.spawn", "os.kill",
    "ctypes.", "urllib.", "http.", "ftplib.", "smtplib.", "webbrowser.", "pty.", "os.startfile",
)
# Audit events that the fillers cause when they write their output or start their
# confined process, and no placeholder may.
WRITES = ("os.remove", "os.rename", "os.unlink", "os.rmdir", "os.mkdir", "os.truncate", "os.chmod", "os.symlink", "shutil.",
          "os.fork")
# The name of the code of a compiled placeholder.
PLACEHOLDER_CODE = "<string>"
WRITING = os.O_WRONLY | os.O_RDWR | os.O_CREAT | os.O_APPEND | os.O_TRUNC


def call(f, *args):
    """A helper of the report script's own, which calls what it is given."""
    return f(*args)


def variables(folder):
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
        "text": "x" * 1_000_000,
        "arr": np.arange(3.0),
        "names": {"a", "b"},
        "counts": collections.defaultdict(int, {"a": 1}),
        "tally": collections.Counter("aab"),
        "ordered": collections.OrderedDict(a=1, b=2),
        "Decimal": decimal.Decimal,
        "Fraction": fractions.Fraction,
        "Timestamp": pd.Timestamp,
        "datetime": datetime.datetime,
        "call": call,
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
        "df": (env["df"].to_json(), env["df"].amount.to_numpy().tobytes()),
        "items": list(env["items"]),
        "logo": (env["logo"].getvalue(), env["logo"].tell(), env["logo"].closed),
        "arr": (env["arr"].tobytes(), env["arr"].flags.writeable),
        "names": sorted(env["names"]),
        "counts": (dict(env["counts"]), env["counts"].default_factory),
        "tally": dict(env["tally"]),
        "ordered": list(env["ordered"].items()),
        "ts": env["ts"].to_json(date_format="iso"),
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
    with recording():
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
    with recording():
        failed = PageFill(safe=True)(template, result, env)
    kept = [p.text for p in docx.Document(result).paragraphs]
    return report(attacks, failed, kept)


def report(attacks, failed, kept):
    reasons = {f.placeholder: f.reason for f in failed.details}
    return [
        {"placeholder": a, "reason": reasons.get(a), "text": str(k)[:200]}
        for a, k in zip(attacks, kept)
    ]


EVENTS = []
FOLDER = []
RECORDING = [False]


class recording:
    def __enter__(self):
        RECORDING[0] = True

    def __exit__(self, *exc):
        RECORDING[0] = False


def in_placeholder():
    frame = sys._getframe(2)
    while frame is not None:
        if frame.f_code.co_filename == PLACEHOLDER_CODE:
            return True
        frame = frame.f_back
    return False


def audit(event, args):
    if not RECORDING[0]:
        return
    if event == "open":
        path, mode, flags = args
        name = os.fsdecode(path) if isinstance(path, (str, bytes)) else str(path)
        writing = (isinstance(mode, str) and any(c in mode for c in "wax+")) or (flags or 0) & WRITING
        output = os.path.basename(name).lstrip(".~").startswith("filled.")
        if name.startswith("/etc/") or (writing and (in_placeholder() or (name.startswith(FOLDER[0]) and not output))):
            EVENTS.append(f"open {name} {mode or flags}")
    elif event.startswith(FOREIGN) or (event.startswith(WRITES) and in_placeholder()):
        EVENTS.append(event)


def peak_mb():
    """The largest resident size of this process and of the confined processes of
    its fills, which hold this one's pages besides their own."""
    while True:  # a fill leaves its last process to end on its own
        try:
            os.wait()
        except ChildProcessError:
            break
    own, children = (resource.getrusage(who).ru_maxrss for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN))
    return max(own, children) / 1024


def warm_up(env):
    """Load what fills use, so that the peak after it is the attacks' own."""
    from tessel.linefill import LineFill

    LineFill(safe=True)("{df.region.str.upper()} {df.groupby('region').amount.sum()} {ts.index.tz_localize('UTC')}", env)


def main():
    kind, folder = sys.argv[1], sys.argv[2]
    attacks = json.load(sys.stdin)
    env = variables(folder)
    warm_up(env)
    FOLDER.append(os.path.realpath(folder))
    with open("/proc/self/statm") as f:
        mapped = int(f.read().split()[0]) * resource.getpagesize()
    # A safety net, not the measure: a bomb that gets through fails with MemoryError.
    resource.setrlimit(resource.RLIMIT_AS, (mapped + 3 * 2**30, resource.RLIM_INFINITY))
    resource.setrlimit(resource.RLIMIT_CPU, (120 + 3 * len(attacks), resource.RLIM_INFINITY))
    sys.addaudithook(audit)
    before, baseline = snapshot(env), peak_mb()
    start = time.perf_counter()
    if kind == "line":
        with recording():
            results = run_lines(attacks, env)
    elif kind == "grid":
        results = run_grid(attacks, env, folder)
    else:
        results = run_page(attacks, env, folder)
    seconds = time.perf_counter() - start
    after = snapshot(env)
    changed = sorted(name for name in before if before[name] != after[name])
    json.dump(
        {"results": results, "seconds": seconds, "changed": changed, "events": EVENTS,
         "baseline_mb": baseline, "peak_mb": peak_mb()},
        sys.stdout, default=repr,
    )


if __name__ == "__main__":
    main()
