"""The ``tessel`` command: fill, check and demo.

Exit status: 0 when every placeholder was filled, 1 when some failed (each is
listed on standard error with its place), 2 for usage and file errors (one
line on standard error; nothing is left at OUTPUT).
"""

import argparse
import datetime
import io
import json
import keyword
import os
import runpy
import string
import sys
from importlib import resources

from . import batch

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2

PICTURES = (".png", ".jpg", ".jpeg", ".gif")
FRAMES = (".csv", ".xlsx", ".parquet")
DATA_KINDS = (".json",) + FRAMES + PICTURES + (".py",)


class UsageError(Exception):
    """A mistake in the command line or a file it names: exit status 2."""

    prog = None


class _Parser(argparse.ArgumentParser):
    # One line instead of argparse's usage block: the message is what helps.
    def error(self, message):
        exc = UsageError(f"{message} (see '{self.prog} --help')")
        exc.prog = self.prog
        raise exc


# -- variables --------------------------------------------------------------


def _split_named(arg):
    """'NAME=path' gives (NAME, path); a plain path gives (None, path)."""
    name, sep, rest = arg.partition("=")
    if sep and name.isidentifier() and not os.path.exists(arg):
        return name, rest
    return None, arg


def _python_name(name, path):
    if not name.isidentifier() or keyword.iskeyword(name):
        raise UsageError(f"{path}: {name!r} is not a Python name; name it with NAME={path}")
    return name


def read_frame(path):
    import pandas as pd

    ext = os.path.splitext(path)[1].lower()
    if ext == ".csv":
        return pd.read_csv(path)
    if ext == ".xlsx":
        return pd.read_excel(path)
    try:
        return pd.read_parquet(path)
    except ImportError as exc:
        raise UsageError(f"{path}: reading .parquet files needs pyarrow (pip install pyarrow)") from exc


def _run_script(path):
    """The global names of a report script, run the way `python script.py` would find its imports."""
    folder = os.path.dirname(os.path.abspath(path))
    sys.path.insert(0, folder)
    try:
        names = runpy.run_path(path)
    finally:
        try:
            sys.path.remove(folder)
        except ValueError:
            pass
    return {k: v for k, v in names.items() if not (k.startswith("__") and k.endswith("__"))}


def read_data(arg):
    """The variables that one --data argument gives."""
    name, path = _split_named(arg)
    if not os.path.isfile(path):
        raise UsageError(f"data file not found: {path}")
    stem, ext = os.path.splitext(os.path.basename(path))
    ext = ext.lower()
    if ext not in DATA_KINDS:
        raise UsageError(f"{path}: unknown kind of data file; use one of {', '.join(DATA_KINDS)}")
    try:
        if ext == ".json":
            with open(path, encoding="utf-8") as f:
                value = json.load(f)
            if name is not None:
                return {name: value}
            if not isinstance(value, dict):
                raise UsageError(f"{path}: holds a JSON {type(value).__name__}, not an object; name it with NAME={path}")
            if "__builtins__" in value:
                # It would take the place of the built-in functions in every placeholder.
                raise UsageError(f"{path}: the key '__builtins__' is reserved")
            return value
        if ext == ".py":
            if name is not None:
                raise UsageError(f"{path}: a script gives its own names; drop '{name}='")
            return _run_script(path)
        name = _python_name(name if name is not None else stem, path)
        if ext in FRAMES:
            return {name: read_frame(path)}
        with open(path, "rb") as f:
            return {name: io.BytesIO(f.read())}
    except UsageError:
        raise
    except KeyboardInterrupt:
        raise
    except BaseException as exc:  # a script may even call sys.exit
        verb = "raised" if ext == ".py" else "cannot be read:"
        raise UsageError(f"{path} {verb} {batch.one_line(exc)}") from None


def parse_number(text):
    """--set text as an int or a float where it parses as one, else unchanged."""
    for kind in (int, float):
        try:
            value = kind(text)
        except ValueError:
            continue
        # Words such as "nan" or "Infinity" are more likely meant as words.
        if kind is float and not (value - value == 0):
            return text
        return value
    return text


def parse_set(arg):
    name, sep, value = arg.partition("=")
    if not sep:
        raise UsageError(f"--set {arg}: write it as NAME=VALUE")
    return _python_name(name.strip(), f"--set {arg}"), parse_number(value)


def load_variables(data, sets):
    env = {}
    for arg in data:
        env.update(read_data(arg))
    env.update(parse_set(arg) for arg in sets)
    return env


_SHARED = {}


def shared_variables(data, sets):
    """The variables of the --data and --set arguments, read once per process."""
    key = (tuple(data), tuple(sets))
    if key not in _SHARED:
        _SHARED[key] = load_variables(data, sets)
    return _SHARED[key]


class RowVariables(dict):
    """The variables of one output of `fill --rows`: data files, the row, --set.

    It pickles as the arguments that build it rather than as its values: a
    worker process reads the data files once and then only receives rows.
    """

    def __init__(self, data, sets, row):
        super().__init__(shared_variables(data, ()))
        self["row"] = dict(row)  # for columns whose names are no Python names
        self.update(row)
        self.update(shared_variables((), sets))
        self._recipe = (data, sets, row)

    def __reduce__(self):
        return type(self), self._recipe


# -- fill -------------------------------------------------------------------


def _kind(template):
    ext = os.path.splitext(template)[1]
    if ext.lower() in (".xlsx", ".docx"):
        if ext != ext.lower():
            # The fillers check the extension as written.
            raise UsageError(f"{template}: write the extension in lower case ({ext.lower()})")
        return ext
    return ".txt"


def make_filler(kind, pattern, recurse, restore, safe=False):
    if kind == ".xlsx":
        from .gridfill import GridFill

        return GridFill(pattern, recurse, restore, safe=safe)
    if kind == ".docx":
        from .pagefill import PageFill

        return PageFill(pattern, recurse, safe=safe)
    from .linefill import LineFill

    return LineFill(pattern, safe=safe)


def _check_template(template):
    if not os.path.isfile(template):
        raise UsageError(f"template not found: {template}")
    return _kind(template)


def _check_output(template, output, kind):
    if kind != ".txt" and not output.endswith(kind):
        raise UsageError(f"OUTPUT {output} must end in {kind}, like the template")
    if os.path.isdir(output):
        raise UsageError(f"OUTPUT {output} is a folder")
    if os.path.exists(output) and os.path.samefile(template, output):
        raise UsageError("OUTPUT is the template itself; write the filled file elsewhere")


def _make_folders(paths):
    """Create the missing folders of `paths`; return those created, deepest first."""
    created = []
    for folder in sorted({os.path.dirname(os.path.abspath(p)) for p in paths}):
        missing = []
        while not os.path.isdir(folder):
            missing.append(folder)
            folder = os.path.dirname(folder)
        for path in reversed(missing):
            try:
                os.mkdir(path)
            except OSError as exc:
                _remove_folders(created)
                raise UsageError(f"cannot create folder {path}: {exc.strerror}") from None
            created.append(path)
    return created[::-1]


def _remove_folders(folders):
    for folder in folders:
        try:
            os.rmdir(folder)
        except OSError:
            pass


def _places(template, pattern):
    """The template's placeholders with their places; none where it cannot be scanned."""
    try:
        return scan(template, pattern)
    except Exception:
        # The fill itself went through: its failures are still worth listing.
        return []


def _report_failures(failed, entries, pattern, output, stream):
    located = locate(failed, entries)
    print(f"{output}: {len(failed)} placeholder(s) not filled:", file=stream)
    for placeholder, place in located:
        where = place if place is not None else "place unknown"
        print(f"  {where}: {delimited(placeholder, pattern)}", file=stream)


def cmd_fill(args):
    kind = _check_template(args.template)
    if args.rows:
        return _fill_rows(args, kind)
    _check_output(args.template, args.output, kind)
    env = load_variables(args.data, args.set)
    filler = make_filler(kind, args.pattern, args.recurse, not args.no_restore, safe=not args.trust)
    created = _make_folders([args.output])
    try:
        failed = batch.fill_one(filler, args.template, args.output, env)
    except KeyboardInterrupt:
        _remove_folders(created)
        raise
    except Exception as exc:
        _remove_folders(created)
        raise UsageError(f"cannot fill {args.template}: {batch.one_line(exc)}") from None
    if failed:
        _report_failures(failed, _places(args.template, args.pattern), args.pattern, args.output, sys.stderr)
        return EXIT_FAILED
    return EXIT_OK


def _absolute_data(arg):
    """A --data argument that still names the same file from another folder."""
    name, path = _split_named(arg)
    path = os.path.abspath(path)
    return path if name is None else f"{name}={path}"


def _output_names(output):
    try:
        return [field for _, field, _, _ in string.Formatter().parse(output) if field is not None]
    except ValueError as exc:
        raise UsageError(f"OUTPUT {output}: {exc}") from None


def _fill_rows(args, kind):
    if not os.path.isfile(args.rows):
        raise UsageError(f"rows file not found: {args.rows}")
    if os.path.splitext(args.rows)[1].lower() not in FRAMES:
        raise UsageError(f"{args.rows}: rows come from a .csv, .xlsx or .parquet file")
    if not _output_names(args.output):
        raise UsageError(f"OUTPUT {args.output} must name a column, e.g. out/{{id}}{kind}, to give each row a file")
    try:
        rows = read_frame(args.rows).to_dict("records")
    except UsageError:
        raise
    except Exception as exc:
        raise UsageError(f"{args.rows} cannot be read: {batch.one_line(exc)}") from None
    for row in rows:
        for column in row:
            if not isinstance(column, str):
                raise UsageError(f"{args.rows}: column {column!r} has no text name")
    outputs = []
    for number, row in enumerate(rows, 1):
        try:
            output = args.output.format_map(row)
        except KeyError as exc:
            raise UsageError(f"OUTPUT names {{{exc.args[0]}}}, which is not a column of {args.rows}") from None
        except (ValueError, IndexError, AttributeError) as exc:
            raise UsageError(f"OUTPUT {args.output}: {exc}") from None
        _check_output(args.template, output, kind)
        outputs.append(output)
    seen = {}
    for number, output in enumerate(outputs, 1):
        key = os.path.abspath(output)
        if key in seen:
            raise UsageError(f"rows {seen[key]} and {number} both write {output}; name a column that tells them apart")
        seen[key] = number

    data = tuple(_absolute_data(arg) for arg in args.data)
    sets = tuple(args.set)
    # File errors show here, before anything is written.
    shared_variables(data, ())
    shared_variables((), sets)
    jobs = [(output, RowVariables(data, sets, row)) for output, row in zip(outputs, rows)]
    filler = make_filler(kind, args.pattern, args.recurse, not args.no_restore, safe=not args.trust)
    created = _make_folders(outputs)
    executor = None
    if args.jobs is not None:
        import concurrent.futures

        executor = concurrent.futures.ProcessPoolExecutor(max_workers=args.jobs)
    try:
        results = batch.fill_many(filler, args.template, jobs, executor=executor)
        errors = []
    except batch.BatchError as exc:
        results, errors = exc.results, exc.errors
    finally:
        if executor is not None:
            executor.shutdown()
    if len(errors) == len(jobs):
        _remove_folders(created)
    status = EXIT_OK
    entries = None
    for output, result in zip(outputs, results):
        if isinstance(result, BaseException) or not result:
            continue
        if entries is None:
            entries = _places(args.template, args.pattern)
        _report_failures(result, entries, args.pattern, output, sys.stderr)
        status = EXIT_FAILED
    for _, output, exc in errors:
        print(f"tessel fill: error: {output}: {batch.one_line(exc)}", file=sys.stderr)
        status = EXIT_USAGE
    done = len(jobs) - len(errors)
    print(f"{done} of {len(jobs)} files written", file=sys.stderr)
    return status


# -- check ------------------------------------------------------------------


def cmd_check(args):
    kind = _check_template(args.template)
    env = load_variables(args.data, args.set) if (args.data or args.set) else None
    try:
        entries = scan(args.template, args.pattern)
    except Exception as exc:
        raise UsageError(f"cannot read {args.template}: {batch.one_line(exc)}") from None
    failing = 0
    for entry in entries:
        line = f"{entry.place}: {delimited(entry.placeholder, args.pattern)}"
        problem = entry.note
        if problem is None and env is not None:
            problem = probe(entry, env, kind, safe=not args.trust)
        if problem is not None:
            failing += 1
            line += f"  FAILS: {problem}"
        elif env is not None:
            line += "  ok"
        print(line)
    summary = f"{len(entries)} placeholder(s)"
    if env is not None or failing:
        summary += f", {failing} would fail"
    print(summary, file=sys.stderr)
    return EXIT_FAILED if failing else EXIT_OK


# -- demo -------------------------------------------------------------------


def example(name):
    """Path of a bundled example template."""
    return str(resources.files("tessel").joinpath("examples", name))


def _chart_png(values, labels):
    """A bar chart picture drawn with Pillow alone, so the demo needs no plotting library."""
    from PIL import Image, ImageDraw

    width, height, margin = 480, 220, 24
    image = Image.new("RGB", (width, height), "white")
    draw = ImageDraw.Draw(image)
    top = max(values)
    step = (width - 2 * margin) / len(values)
    for k, (value, label) in enumerate(zip(values, labels)):
        x0 = margin + k * step + step * 0.15
        x1 = margin + (k + 1) * step - step * 0.15
        y0 = height - margin - (height - 2 * margin) * value / top
        draw.rectangle([x0, y0, x1, height - margin], fill=(0x2E, 0x6F, 0x9E))
        draw.text((x0, height - margin + 4), label, fill="black")
    draw.line([margin, height - margin, width - margin, height - margin], fill="black")
    out = io.BytesIO()
    image.save(out, format="PNG")
    out.seek(0)
    return out


def demo_variables(template):
    """The variables that fill the bundled example `template`."""
    import pandas as pd

    months = ["Jan", "Feb", "Mar", "Apr", "May", "Jun"]
    sales = pd.DataFrame(
        {
            "Month": months,
            "Revenue": [12400, 13900, 12100, 15800, 17250, 16900],
            "Costs": [9100, 9800, 9900, 10400, 11800, 11200],
        }
    )
    items = pd.DataFrame(
        {
            "Item": ["analytical engine", "punched cards", "brass gears"],
            "Quantity": [1, 500, 24],
            "Price": ["9,800.00", "1,250.00", "1,295.50"],
        }
    )
    env = {
        "customer": "Ada Lovelace",
        "order_id": "A-1042",
        "date": datetime.date(2026, 12, 7),
        "total": 12345.5,
        "sender": "The tessel team",
    }
    if template == "report.xlsx":
        with open(example("logo.png"), "rb") as f:
            env.update(title="Half-year sales", sales=sales, logo=io.BytesIO(f.read()))
    elif template == "order.docx":
        env.update(items=items, chart=_chart_png(sales["Revenue"].tolist(), months))
    else:
        env.update(items=list(items["Item"]))
    return env


DEMO = ("report.xlsx", "order.docx", "letter.txt")


def cmd_demo(args):
    try:
        os.makedirs(args.dir, exist_ok=True)
    except OSError as exc:
        raise UsageError(f"cannot create folder {args.dir}: {exc.strerror}") from None
    status = EXIT_OK
    for name in DEMO:
        template = example(name)
        output = os.path.join(args.dir, name)
        filler = make_filler(_kind(template), "{}", False, True)
        if name == "report.xlsx":
            # The block makes room for its rows: the total row moves under it.
            filler.insert = True
        try:
            failed = batch.fill_one(filler, template, output, demo_variables(name))
        except Exception as exc:
            raise UsageError(f"cannot fill {template}: {batch.one_line(exc)}") from None
        print(output)
        if failed:
            _report_failures(failed, _places(template, "{}"), "{}", output, sys.stderr)
            status = EXIT_FAILED
    return status


# -- places -----------------------------------------------------------------


class Entry:
    """One placeholder of a template, where the filler will meet it."""

    __slots__ = ("place", "placeholder", "whole", "table_cell", "note")

    def __init__(self, place, placeholder, whole=False, table_cell=False, note=None):
        self.place = place
        self.placeholder = placeholder
        self.whole = whole  # .xlsx: the cell's whole text; .docx: the cell's only placeholder
        self.table_cell = table_cell
        self.note = note  # why the filler will not fill it, whatever the data

    def __repr__(self):
        return f"Entry({self.place!r}, {self.placeholder!r})"


def delimited(placeholder, pattern):
    return ("{{%s}}" if pattern == "{{}}" else "{%s}") % placeholder


def _positions(text, found, pattern):
    """Where each of `found` (placeholders of `text`, in order) begins and ends."""
    spans, start = [], 0
    for placeholder in found:
        mark = delimited(placeholder, pattern)
        begin = text.find(mark, start)
        spans.append((begin, begin + len(mark)))
        start = begin + len(mark)
    return spans


def scan(template, pattern):
    """Every placeholder of `template`, in the order in which its filler visits them.

    The same extraction as the fillers' finds them; the places name the sheet
    and cell, the paragraph, or the table, row and column (all counted from 1).
    """
    from .linefill import LineFill

    extract = LineFill(pattern).extract_placeholder
    kind = _kind(template)
    if kind == ".xlsx":
        return _scan_workbook(template, extract, pattern)
    if kind == ".docx":
        return _scan_document(template, extract, pattern)
    with open(template, encoding="utf-8", newline="") as f:
        text = f.read()
    found = extract(text)
    return [
        Entry(f"line {text.count(chr(10), 0, begin) + 1}", placeholder)
        for placeholder, (begin, _) in zip(found, _positions(text, found, pattern))
    ]


def _scan_workbook(template, extract, pattern):
    import warnings

    import openpyxl

    entries = []
    with warnings.catch_warnings():
        # Notes about parts openpyxl skips are for whoever edits the workbook.
        warnings.simplefilter("ignore")
        workbook = openpyxl.load_workbook(template)
    try:
        for sheet in workbook.worksheets:
            for row in sheet.iter_rows():
                for cell in row:
                    if isinstance(cell.value, str):
                        for placeholder in extract(cell.value):
                            place = f"sheet {sheet.title}, cell {cell.coordinate}"
                            whole = cell.value == delimited(placeholder, pattern)
                            entries.append(Entry(place, placeholder, whole=whole))
    finally:
        workbook.close()
    return entries


SPLIT = "typed across differently formatted runs, so the filler does not see it; retype it in one formatting"


def _finds_split_placeholders(filler):
    """Whether `filler` fills a placeholder typed across differently formatted runs."""
    import docx

    paragraph = docx.Document().add_paragraph()
    paragraph.add_run("{spl").bold = True
    paragraph.add_run("it}").italic = True
    paragraph = filler.concat_run(paragraph)
    filler.replace_paragraph(paragraph, {"split": "x"})
    return paragraph.text == "x"


def _scan_paragraph(paragraph, place, extract, pattern, merge, table_cell=False, single=False):
    if merge is None:
        text = paragraph.text
        return [Entry(place, placeholder, whole=single, table_cell=table_cell) for placeholder in extract(text)]
    text = "".join(run.text for run in paragraph.runs)
    found = extract(text)
    if not found:
        return []
    # The filler looks for placeholders run by run, after joining runs of one
    # formatting: a placeholder that still spans two runs then is not found.
    merge(paragraph)
    bounds, offset = [], 0
    for run in paragraph.runs:
        bounds.append((offset, offset + len(run.text)))
        offset += len(run.text)
    entries = []
    for placeholder, (begin, end) in zip(found, _positions(text, found, pattern)):
        inside = any(a <= begin and end <= b for a, b in bounds)
        entries.append(Entry(place, placeholder, whole=single, table_cell=table_cell,
                             note=None if inside else SPLIT))
    return entries


_W = "{http://schemas.openxmlformats.org/wordprocessingml/2006/main}"


def _blocks(container, paragraphs, tables):
    """The paragraphs and tables of a story or a cell, also those inside content controls."""
    for child in container.iterchildren():
        if child.tag == _W + "p":
            paragraphs.append(child)
        elif child.tag == _W + "tbl":
            tables.append(child)
        elif child.tag == _W + "sdt":
            content = child.find(_W + "sdtContent")
            if content is not None:
                _blocks(content, paragraphs, tables)
        elif child.tag == _W + "customXml":
            _blocks(child, paragraphs, tables)


class _DocumentScan:
    """The places of a document's placeholders, story by story, as the filler walks them:
    paragraphs, then the paragraphs of text boxes, then tables; body first, then the
    headers and footers."""

    def __init__(self, extract, pattern, merge):
        self.extract, self.pattern, self.merge = extract, pattern, merge
        self.entries = []

    def paragraph(self, p, parent, place, table_cell=False, single=False):
        from docx.text.paragraph import Paragraph

        self.entries += _scan_paragraph(Paragraph(p, parent), place, self.extract, self.pattern, self.merge,
                                        table_cell=table_cell, single=single)

    def story(self, root, parent, prefix):
        paragraphs, tables = [], []
        _blocks(root, paragraphs, tables)
        for n, p in enumerate(paragraphs, 1):
            self.paragraph(p, parent, f"{prefix}paragraph {n}")
        for k, box in enumerate(root.iter(_W + "txbxContent"), 1):
            box_paragraphs = []
            _blocks(box, box_paragraphs, tables)
            for n, p in enumerate(box_paragraphs, 1):
                self.paragraph(p, parent, f"{prefix}text box {k}, paragraph {n}")
        for t, tbl in enumerate(tables, 1):
            self.table(tbl, parent, f"{prefix}table {t}")

    def table(self, tbl, parent, prefix):
        from docx.table import Table, _Cell

        table = Table(tbl, parent)
        for r, tr in enumerate(tbl.iterchildren(_W + "tr"), 1):
            column = 1
            for tc in tr.iterchildren(_W + "tc"):
                place = f"{prefix}, row {r}, column {column}"
                column += tc.grid_span
                paragraphs, nested = [], []
                _blocks(tc, paragraphs, nested)
                cell = _Cell(tc, table)
                single = len(self.extract(cell.text)) == 1
                for p in paragraphs:
                    self.paragraph(p, cell, place, table_cell=True, single=single)
                for n, inner in enumerate(nested, 1):
                    self.table(inner, cell, f"{place}, table {n}")


def _scan_document(template, extract, pattern):
    import types

    import docx

    from .pagefill import PageFill

    filler = PageFill(pattern)
    merge = None if _finds_split_placeholders(filler) else filler.concat_run
    document = docx.Document(template)
    walk = _DocumentScan(extract, pattern, merge)
    walk.story(document.element.body, document._body, "")
    for rel in document.part.rels.values():
        if rel.is_external or not rel.reltype.endswith(("/header", "/footer")):
            continue
        part = rel.target_part
        name = os.path.splitext(os.path.basename(part.partname))[0]
        walk.story(part.element, types.SimpleNamespace(part=part), f"{name}, ")
    return walk.entries


def locate(failed, entries):
    """Pair each failed placeholder with its place; None where it cannot be told.

    Fillers report failures in the order of their visit, which is the order of
    `entries`, so each failure is matched with the next entry of its text.
    """
    located, start = [], 0
    for placeholder in failed:
        index = next((i for i in range(start, len(entries)) if entries[i].placeholder == placeholder), None)
        if index is None:
            index = next((i for i, e in enumerate(entries) if e.placeholder == placeholder), None)
        if index is None:
            located.append((placeholder, None))
            continue
        located.append((placeholder, entries[index].place))
        start = index + 1
    return located


_SCRATCH = []


def _check_picture(value):
    from PIL import Image

    with Image.open(io.BytesIO(value.getvalue())) as image:
        image.verify()


def _check_cell_value(value):
    if not _SCRATCH:
        import openpyxl

        _SCRATCH.append(openpyxl.Workbook().active)
    _SCRATCH[0].cell(row=1, column=1, value=value)


def probe(entry, env, kind, safe=False):
    """Why `entry` would fail with the variables `env`, or None when it would fill.

    Runs the placeholder's expression, like the fill would.
    """
    import pandas as pd

    from . import sandbox

    env = dict(env)
    try:
        if safe:
            value = sandbox.evaluate(entry.placeholder, env)
        else:
            value = eval(entry.placeholder, env)  # the template's own code, as the filler runs it
        if kind == ".xlsx" and entry.whole:
            if isinstance(value, io.BytesIO):
                _check_picture(value)
            elif not isinstance(value, pd.DataFrame):
                _check_cell_value(value)
        elif kind == ".docx" and entry.table_cell and entry.whole and entry.placeholder in env \
                and isinstance(value, pd.DataFrame):
            pass
        elif kind == ".docx" and isinstance(value, io.BytesIO):
            _check_picture(value)
        else:
            str(value)
    except KeyboardInterrupt:
        raise
    except sandbox.Refused as exc:
        return str(exc)
    except BaseException as exc:
        return batch.one_line(exc)
    return None


# -- entry point ------------------------------------------------------------


def _add_data_options(parser):
    parser.add_argument(
        "--data", action="append", default=[], metavar="FILE",
        help="variables from a file: .json (an object's keys), .csv/.xlsx/.parquet (a data frame named "
        "after the file, or NAME=path), .png/.jpg/.gif (a picture named after the file), .py (the "
        "script's global names); repeatable",
    )
    parser.add_argument(
        "--set", action="append", default=[], metavar="NAME=VALUE",
        help="one variable; the value becomes a number where it reads as one; repeatable",
    )
    parser.add_argument("--pattern", choices=["{}", "{{}}"], default="{}",
                        help="placeholders written {x} (default) or {{x}}")
    parser.add_argument("--trust", action="store_true",
                        help="run the placeholders with all the rights of Python, not in safe mode: "
                        "only for templates you trust")


def build_parser():
    parser = _Parser(
        prog="tessel",
        description="Fill text, .xlsx and .docx templates whose placeholders are Python expressions. "
        "Placeholders are code: fill and check run them in safe mode unless given --trust.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    fill = commands.add_parser("fill", help="fill a template", description="Fill TEMPLATE into OUTPUT. "
                               "Exit status 0: all filled; 1: some placeholders failed; 2: usage or file error.")
    fill.add_argument("template", metavar="TEMPLATE", help=".xlsx, .docx, or any text file")
    fill.add_argument("output", metavar="OUTPUT",
                      help="file to write; with --rows a pattern naming columns, e.g. 'out/{id}.docx'")
    _add_data_options(fill)
    fill.add_argument("--recurse", action="store_true", help="also fill placeholders inside data frame blocks")
    fill.add_argument("--no-restore", action="store_true",
                      help=".xlsx: skip restoring the template's drawings, charts and pictures")
    fill.add_argument("--rows", metavar="FILE",
                      help="one output per row of a .csv/.xlsx/.parquet file; its columns are variables")
    fill.add_argument("--jobs", type=_positive, metavar="N",
                      help="with --rows: worker processes (default: one per core)")
    fill.set_defaults(run=cmd_fill)

    check = commands.add_parser("check", help="list the placeholders of a template",
                                description="List every placeholder of TEMPLATE with its place; with "
                                "data, tell which would fail and why. Writes nothing. Exit status 1 "
                                "when some would fail.")
    check.add_argument("template", metavar="TEMPLATE")
    _add_data_options(check)
    check.set_defaults(run=cmd_check)

    demo = commands.add_parser("demo", help="fill the bundled example templates",
                               description="Fill the bundled example workbook, document and letter into DIR.")
    demo.add_argument("dir", nargs="?", default="tessel-demo", metavar="DIR",
                      help="folder for the filled files (default: tessel-demo)")
    demo.set_defaults(run=cmd_demo)
    return parser


def _positive(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive whole number")
    return value


def _version():
    from . import __version__

    return __version__


def main(argv=None):
    """Run the command with `argv` (default: the process's arguments); return the exit status."""
    parser = build_parser()
    args = None
    try:
        args = parser.parse_args(argv)
        return args.run(args)
    except UsageError as exc:
        prog = exc.prog or (f"tessel {args.command}" if args is not None else "tessel")
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except SystemExit as exc:  # --help and --version
        return exc.code if isinstance(exc.code, int) else EXIT_OK
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
