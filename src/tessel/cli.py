"""The ``tessel`` command: fill, check and demo.

Exit status: 0 when every placeholder was filled, 1 when some failed (each is
listed on standard error with its place and why), 2 for usage and file errors
(one line on standard error; nothing is left at OUTPUT).
"""

import argparse
import datetime
import difflib
import io
import json
import keyword
import math
import os
import re
import runpy
import shutil
import string
import subprocess
import sys
import tempfile
import warnings
from importlib import resources

from . import batch
from .results import Finding, OverwriteWarning

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2

PICTURES = (".png", ".jpg", ".jpeg", ".gif")
FRAMES = (".csv", ".xlsx", ".parquet")
DATA_KINDS = (".json",) + FRAMES + PICTURES + (".py",)

# Office formats that are no template of their own, and the one to save them as.
OTHER_FORMATS = {
    ".xls": ("an Excel 97-2003 workbook", ".xlsx"),
    ".xlsm": ("a macro-enabled workbook", ".xlsx"),
    ".xlsb": ("a binary Excel workbook", ".xlsx"),
    ".xltx": ("an Excel template", ".xlsx"),
    ".xltm": ("an Excel template", ".xlsx"),
    ".ods": ("an OpenDocument spreadsheet", ".xlsx"),
    ".doc": ("a Word 97-2003 document", ".docx"),
    ".docm": ("a macro-enabled document", ".docx"),
    ".dotx": ("a Word template", ".docx"),
    ".dotm": ("a Word template", ".docx"),
    ".odt": ("an OpenDocument text", ".docx"),
    ".rtf": ("an RTF document", ".docx"),
}
NOT_TEMPLATES = {".pdf": "a PDF file", ".ppt": "a presentation", ".pptx": "a presentation",
                 ".odp": "a presentation"}


class UsageError(Exception):
    """A mistake in the command line or a file it names: exit status 2."""

    prog = None


class _Parser(argparse.ArgumentParser):
    # One line instead of argparse's usage block: the message is what helps.
    def error(self, message):
        exc = UsageError(f"{message} (see '{self.prog} --help')")
        exc.prog = self.prog
        raise exc


# -- values -----------------------------------------------------------------

_NUMBER = re.compile(r"(-?)([0-9]*)(?:\.([0-9]*))?(?:[eE][-+]?[0-9]+)?")

# A float holds 15 significant decimal digits exactly, and so does Excel.
MAX_DIGITS = 15


def parse_number(text):
    """`text` as an int or a float where nothing of it is lost that way, else `text` itself.

    Text stays text where it has a leading zero (other than "0" and "0.x"), a
    leading "+", more than 15 significant digits, spaces or digit separators,
    or where it names no finite number ("nan", "inf").
    """
    match = _NUMBER.fullmatch(text)
    if match is None:
        return text
    sign, whole, fraction = match.groups()
    digits = whole + (fraction or "")
    if not digits:
        return text
    if len(whole) > 1 and whole.startswith("0"):
        return text  # a code such as 007 or 0041441234567
    if len(digits.lstrip("0")) > MAX_DIGITS:
        return text
    if fraction is None and "e" not in text.lower():
        value = int(text)
        return text if sign and value == 0 else value  # "-0" would lose its sign
    value = float(text)
    if math.isinf(value) or (value == 0 and digits.strip("0")):
        return text  # out of a float's range
    return value


_ISO_DATE = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}")
_ISO_DATE_TIME = re.compile(
    r"[0-9]{4}-[0-9]{2}-[0-9]{2}[T ][0-9]{2}:[0-9]{2}(?::[0-9]{2}(?:[.,][0-9]{1,9})?)?(?:Z|[+-][0-9]{2}(?::?[0-9]{2})?)?"
)
_TRUTH = {"true": True, "false": False}


def _typed_column(column):
    """A column of CSV text with the type that all its filled fields share.

    Whole numbers become integers (a column with empty fields the nullable
    Int64), other numbers floats, ISO dates `datetime.date` values, ISO
    date-times pandas Timestamps, true/false booleans; each only where
    `parse_number` and the date rules lose nothing.  Anything else stays text,
    with its empty fields as empty text.
    """
    import pandas as pd

    filled = column[column != ""]
    if filled.empty:
        return column
    gaps = len(filled) < len(column)
    numbers = [parse_number(v) for v in filled]
    if all(type(n) is int for n in numbers):
        values = pd.Series(pd.NA, index=column.index, dtype="Int64")
        values[filled.index] = numbers
        return values if gaps else values.astype("int64")
    if all(type(n) in (int, float) for n in numbers):
        values = pd.Series(math.nan, index=column.index, dtype="float64")
        values[filled.index] = numbers
        return values
    if all(_ISO_DATE.fullmatch(v) for v in filled):
        try:
            dates = [datetime.date.fromisoformat(v) for v in filled]
        except ValueError:  # 2026-02-30
            return column
        values = pd.Series(pd.NaT, index=column.index, dtype="object")
        values[filled.index] = dates
        return values
    if all(_ISO_DATE.fullmatch(v) or _ISO_DATE_TIME.fullmatch(v) for v in filled):
        with warnings.catch_warnings():
            # Mixed time zones are announced with a warning; they stay text.
            warnings.simplefilter("error")
            try:
                times = pd.to_datetime(column.where(column != "", None), format="ISO8601")
            except (ValueError, TypeError, OverflowError, Warning):
                return column
        return times if pd.api.types.is_datetime64_any_dtype(times) else column
    flags = filled.str.lower()
    if flags.isin(list(_TRUTH)).all():
        values = pd.Series(pd.NA, index=column.index, dtype="boolean")
        values[filled.index] = flags.map(_TRUTH)
        return values if gaps else values.astype(bool)
    return column


def read_csv(path):
    """A CSV file as a data frame whose columns keep what their text says (see `_typed_column`)."""
    import pandas as pd

    frame = pd.read_csv(path, dtype=str, keep_default_na=False)
    return frame.apply(_typed_column)


def _whole_number_columns(frame):
    """Float columns that hold only whole numbers and gaps become nullable integers.

    A workbook column with an empty cell reads as floats, so that 980 would
    show as 980.0.
    """
    import pandas as pd

    for name in frame.columns:
        column = frame[name]
        if column.dtype.kind != "f":
            continue
        filled = column.dropna()
        if not filled.empty and ((filled % 1) == 0).all() and (filled.abs() < 2**53).all():
            frame[name] = column.astype(pd.Int64Dtype() if len(filled) < len(column) else "int64")
    return frame


def read_frame(path):
    import pandas as pd

    ext = os.path.splitext(path)[1].lower()
    if ext == ".csv":
        return read_csv(path)
    if ext == ".xlsx":
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # openpyxl's notes on parts it skips
            return _whole_number_columns(pd.read_excel(path))
    try:
        return pd.read_parquet(path)
    except ImportError as exc:
        raise UsageError(f"{path}: reading .parquet files needs pyarrow (pip install pyarrow)") from exc


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


# -- templates and fillers --------------------------------------------------


def _template_kind(template):
    """The filler's family for `template`: ".xlsx", ".docx" or ".txt"."""
    if not os.path.isfile(template):
        raise UsageError(f"template not found: {template}")
    ext = os.path.splitext(template)[1]
    lower = ext.lower()
    if lower in (".xlsx", ".docx"):
        if ext != lower:
            # The fillers check the extension as written.
            raise UsageError(f"{template}: write the extension in lower case ({lower})")
        return lower
    if lower in OTHER_FORMATS:
        what, target = OTHER_FORMATS[lower]
        raise UsageError(f"{template} is {what}; tessel fills {target} files: open it in "
                         f"{'Excel' if target == '.xlsx' else 'Word'} or LibreOffice and save it as {target}")
    if lower in NOT_TEMPLATES:
        raise UsageError(f"{template} is {NOT_TEMPLATES[lower]}, which tessel cannot fill; "
                         "it fills .xlsx, .docx and UTF-8 text templates")
    return ".txt"


def _template_input(template, kind):
    """What the filler takes: the path, or for a text template the path carrying its text."""
    if kind != ".txt":
        return template
    try:
        with open(template, encoding="utf-8", newline="") as f:
            text = f.read()
    except UnicodeDecodeError:
        raise UsageError(f"{template} is not UTF-8 text; tessel fills .xlsx, .docx and UTF-8 text "
                         "templates (save a text template as UTF-8)") from None
    except OSError as exc:
        raise UsageError(f"cannot read {template}: {exc.strerror}") from None
    return batch.TemplateText(template, text)


def _walked(template):
    """What a filler's walk takes: the text of a text template, else its path."""
    return template.text if isinstance(template, batch.TemplateText) else template


def make_filler(kind, pattern, recurse=False, restore=True, insert=False, safe=False):
    if kind == ".xlsx":
        from .gridfill import GridFill

        return GridFill(pattern, recurse, restore, insert, safe)
    if kind == ".docx":
        from .pagefill import PageFill

        return PageFill(pattern, recurse, insert, safe)
    from .linefill import LineFill

    return LineFill(pattern, safe=safe)


def _cannot(verb, template, exc):
    # The fillers name the file when they refuse one that is no package of its kind.
    if isinstance(exc, ValueError) and str(exc).startswith(os.fspath(template)):
        return str(exc)
    return f"cannot {verb} {template}: {batch.one_line(exc)}"


# -- what the command says --------------------------------------------------


def delimited(placeholder, pattern):
    return ("{{%s}}" if pattern == "{{}}" else "{%s}") % placeholder


_UNDEFINED = re.compile(r"NameError: name '([^']+)' is not defined")


def explain(reason, names):
    """The reason a placeholder failed, with the variable it likely meant for an unknown name."""
    match = _UNDEFINED.fullmatch(reason or "")
    if match:
        known = [n for n in names if isinstance(n, str) and n.isidentifier() and not n.startswith("__")]
        close = difflib.get_close_matches(match.group(1), known, n=1, cutoff=0.7)
        if close:
            return f"{reason}; did you mean `{close[0]}`?"
    return reason


def _details(failed):
    details = getattr(failed, "details", None)
    if details is not None and len(details) == len(failed):
        return details
    return [Finding(p, "place unknown", None) for p in failed]


def _report_failures(failed, output, pattern, names, stream):
    print(f"{output}: {len(failed)} placeholder(s) not filled:", file=stream)
    for found in _details(failed):
        reason = explain(found.reason, names)
        line = f"  {found.place}: {delimited(found.placeholder, pattern)}"
        print(f"{line}  {reason}" if reason else line, file=stream)


def _print_warnings(messages, prog, output, stream):
    for message in messages:
        print(f"{prog}: warning: {output}: {' '.join(message.split())}", file=stream)


def _overwrites(caught):
    return [str(w.message) for w in caught if issubclass(w.category, OverwriteWarning)]


def _is_tag(placeholder):
    text = placeholder.strip()
    return len(text) >= 2 and text[0] == text[-1] and text[0] in "%#"


DOUBLE_HINT = "every placeholder is written {{...}}: fill it with --pattern '{{}}'"
SINGLE_HINT = "no placeholder is written {{...}}, but some are written {...}: leave out --pattern '{{}}'"
TAG_HINT = "{% ... %} and {# ... #} tags (loops, conditions, comments) are not supported"
TAG_FATE = {"{}": "; each one is taken for a placeholder and fails",
            "{{}}": "; they are left in the output as they are"}


def hints(kind, template, pattern):
    """One-line hints for a template written for another pattern or for a tag language.

    They come from the filler's own walk, listing the template's placeholders
    with each pattern; what the walk raises for a template it cannot read is
    raised.
    """

    def listing(p):
        return [(f.placeholder, f.place) for f in make_filler(kind, p).check(_walked(template), evaluate=False)]

    found = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        single = listing("{}")
        plain = [entry for entry in single if not _is_tag(entry[0])]
        if plain and pattern == "{}" and listing("{{}}") == plain:
            found.append(DOUBLE_HINT)
        if plain and pattern == "{{}}" and not listing("{{}}"):
            found.append(SINGLE_HINT)
        if len(plain) < len(single):
            found.append(TAG_HINT + TAG_FATE.get(pattern, ""))
    return found


def _print_hints(found, prog):
    for hint in found:
        print(f"{prog}: hint: {hint}", file=sys.stderr)


def _hints_after(kind, template, pattern):
    """The hints for a template that a fill or check has already read."""
    try:
        return hints(kind, template, pattern)
    except Exception:
        return []


# -- PDF --------------------------------------------------------------------

# Where installers put LibreOffice when it is not on PATH.
SOFFICE_PLACES = (
    "/Applications/LibreOffice.app/Contents/MacOS/soffice",
    r"C:\Program Files\LibreOffice\program\soffice.exe",
)

INSTALL_LIBREOFFICE = (
    "writing a PDF needs LibreOffice, which was not found: install it (Debian/Ubuntu: "
    "sudo apt-get install libreoffice-writer-nogui libreoffice-calc-nogui; macOS: brew install "
    "--cask libreoffice; Windows: https://www.libreoffice.org/download/) and put soffice on PATH"
)


def find_soffice():
    found = shutil.which("soffice") or shutil.which("libreoffice")
    if found:
        return found
    for place in SOFFICE_PLACES:
        if os.path.isfile(place):
            return place
    raise UsageError(INSTALL_LIBREOFFICE)


def convert_to_pdf(soffice, sources, folder):
    """Convert the files `sources` into PDFs in `folder` with LibreOffice; return each PDF's
    path, or None where LibreOffice made none."""
    import pathlib

    profile = tempfile.mkdtemp(prefix="tessel-soffice-")
    try:
        # A profile of its own: a LibreOffice already open would take the job over and not do it.
        command = [soffice, f"-env:UserInstallation={pathlib.Path(profile).as_uri()}", "--headless",
                   "--norestore", "--convert-to", "pdf", "--outdir", folder, *sources]
        try:
            subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           timeout=120 + 30 * len(sources), check=False)
        except subprocess.TimeoutExpired:
            raise UsageError("LibreOffice did not finish converting to PDF in time") from None
        except OSError as exc:
            raise UsageError(f"cannot run {soffice}: {exc.strerror}") from None
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    pdfs = []
    for source in sources:
        pdf = os.path.join(folder, os.path.splitext(os.path.basename(source))[0] + ".pdf")
        pdfs.append(pdf if os.path.isfile(pdf) and os.path.getsize(pdf) > 0 else None)
    return pdfs


def place_file(source, destination):
    """Copy `source` to `destination`, which is replaced only once the copy is complete."""
    folder, name = os.path.split(os.path.abspath(destination))
    fd, tmp = tempfile.mkstemp(prefix=f".{name}.", suffix=".pdf", dir=folder)
    os.close(fd)
    try:
        shutil.copyfile(source, tmp)
        os.chmod(tmp, batch._file_mode(destination))
        os.replace(tmp, destination)
    except BaseException:
        batch._remove(tmp)
        raise


def _is_pdf(output):
    return output.lower().endswith(".pdf")


# -- fill -------------------------------------------------------------------


def _check_output(template, output, kind):
    if _is_pdf(output):
        if kind == ".txt":
            raise UsageError(f"OUTPUT {output}: a PDF is made from a .xlsx or .docx template")
    elif kind != ".txt" and not output.endswith(kind):
        raise UsageError(f"OUTPUT {output} must end in {kind}, like the template, or in .pdf")
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


def _filler_for(args, kind):
    return make_filler(kind, args.pattern, args.recurse, not args.no_restore, args.insert, safe=not args.trust)


def _fill_pdf(filler, template, output, env, kind, soffice):
    with tempfile.TemporaryDirectory(prefix="tessel-pdf-") as work:
        filled = os.path.join(work, "filled" + kind)
        failed = batch.fill_one(filler, template, filled, env)
        pdf, = convert_to_pdf(soffice, [filled], work)
        if pdf is None:
            raise UsageError(f"LibreOffice could not convert the filled {kind} file to PDF")
        place_file(pdf, output)
    return failed


def cmd_fill(args):
    kind = _template_kind(args.template)
    if args.rows:
        return _fill_rows(args, kind)
    _check_output(args.template, args.output, kind)
    soffice = find_soffice() if _is_pdf(args.output) else None
    template = _template_input(args.template, kind)
    env = load_variables(args.data, args.set)
    filler = _filler_for(args, kind)
    created = _make_folders([args.output])
    try:
        with warnings.catch_warnings(record=True) as caught:
            # Only what the fill says of the output reaches the user.
            warnings.simplefilter("always")
            if soffice is not None:
                failed = _fill_pdf(filler, template, args.output, env, kind, soffice)
            else:
                failed = batch.fill_one(filler, template, args.output, env)
    except KeyboardInterrupt:
        _remove_folders(created)
        raise
    except UsageError:
        _remove_folders(created)
        raise
    except Exception as exc:
        _remove_folders(created)
        raise UsageError(_cannot("fill", args.template, exc)) from None
    _print_warnings(_overwrites(caught), "tessel fill", args.output, sys.stderr)
    status = EXIT_OK
    if failed:
        _report_failures(failed, args.output, args.pattern, env, sys.stderr)
        status = EXIT_FAILED
    _print_hints(_hints_after(kind, template, args.pattern), "tessel fill")
    return status


class WarnedFill:
    """A file filler whose calls carry the overwrite warnings they gave with their result,
    so that they reach the command from worker processes too."""

    def __init__(self, filler):
        self.filler = filler

    def __call__(self, template, save_path, env):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            failed = self.filler(template, save_path, env)
        failed.warnings = _overwrites(caught)
        return failed


def _quiet_worker():
    # Library warnings would reach the user's terminal from each worker.
    warnings.simplefilter("ignore")


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


def _row_outputs(args, kind, rows):
    if not _output_names(args.output):
        raise UsageError(f"OUTPUT {args.output} must name a column, e.g. out/{{id}}{kind}, to give each row a file")
    outputs = []
    for row in rows:
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
    return outputs


def _field(value):
    """One field of a row; an empty one gives empty text, as in a mail merge."""
    import pandas as pd

    if value is None or value is pd.NA or value is pd.NaT or (isinstance(value, float) and math.isnan(value)):
        return ""
    return value


def _read_rows(path):
    if not os.path.isfile(path):
        raise UsageError(f"rows file not found: {path}")
    if os.path.splitext(path)[1].lower() not in FRAMES:
        raise UsageError(f"{path}: rows come from a .csv, .xlsx or .parquet file")
    try:
        rows = [{column: _field(value) for column, value in record.items()}
                for record in read_frame(path).to_dict("records")]
    except UsageError:
        raise
    except Exception as exc:
        raise UsageError(f"{path} cannot be read: {batch.one_line(exc)}") from None
    for row in rows:
        for column in row:
            if not isinstance(column, str):
                raise UsageError(f"{path}: column {column!r} has no text name")
    return rows


def _fill_rows(args, kind):
    rows = _read_rows(args.rows)
    outputs = _row_outputs(args, kind, rows)
    pdf = [_is_pdf(output) for output in outputs]
    soffice = find_soffice() if any(pdf) else None
    template = _template_input(args.template, kind)
    data = tuple(_absolute_data(arg) for arg in args.data)
    sets = tuple(args.set)
    # File errors show here, before anything is written.
    shared_variables(data, ())
    shared_variables((), sets)
    try:
        # Also shows a template that cannot be read once, before any file is written.
        found_hints = hints(kind, template, args.pattern)
    except Exception as exc:
        raise UsageError(_cannot("fill", args.template, exc)) from None
    filler = _filler_for(args, kind)
    if kind != ".txt":
        filler = WarnedFill(filler)
    created = _make_folders(outputs)
    with tempfile.TemporaryDirectory(prefix="tessel-pdf-") as work:
        # A PDF is converted from a file filled beside the others in a folder of its own.
        targets = [os.path.join(work, f"{k}{kind}") if is_pdf else output
                   for k, (output, is_pdf) in enumerate(zip(outputs, pdf))]
        jobs = [(target, RowVariables(data, sets, row)) for target, row in zip(targets, rows)]
        workers = max(1, min(args.jobs or batch._workers(), len(jobs)))
        import concurrent.futures

        with concurrent.futures.ProcessPoolExecutor(max_workers=workers, initializer=_quiet_worker) as executor:
            try:
                results = batch.fill_many(filler, template, jobs, executor=executor)
            except batch.BatchError as exc:
                results = exc.results
        results = list(results)
        converted = [k for k, result in enumerate(results) if pdf[k] and not isinstance(result, BaseException)]
        if converted:
            pdfs = convert_to_pdf(soffice, [targets[k] for k in converted], work)
            for k, made in zip(converted, pdfs):
                try:
                    if made is None:
                        raise UsageError(f"LibreOffice could not convert the filled {kind} file to PDF")
                    place_file(made, outputs[k])
                except (UsageError, OSError) as exc:
                    results[k] = exc
    errors = [(output, result) for output, result in zip(outputs, results) if isinstance(result, BaseException)]
    if len(errors) == len(jobs):
        _remove_folders(created)
    status = EXIT_OK
    for output, result, (_, env) in zip(outputs, results, jobs):
        if isinstance(result, BaseException):
            continue
        _print_warnings(getattr(result, "warnings", ()), "tessel fill", output, sys.stderr)
        if result:
            _report_failures(result, output, args.pattern, env, sys.stderr)
            status = EXIT_FAILED
    for output, exc in errors:
        message = str(exc) if isinstance(exc, UsageError) else batch.one_line(exc)
        print(f"tessel fill: error: {output}: {message}", file=sys.stderr)
        status = EXIT_USAGE
    print(f"{len(jobs) - len(errors)} of {len(jobs)} files written", file=sys.stderr)
    _print_hints(found_hints, "tessel fill")
    return status


# -- check ------------------------------------------------------------------


def cmd_check(args):
    kind = _template_kind(args.template)
    template = _template_input(args.template, kind)
    evaluate = bool(args.data or args.set)
    env = load_variables(args.data, args.set) if evaluate else None
    filler = make_filler(kind, args.pattern, args.recurse, insert=args.insert, safe=not args.trust)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            findings = filler.check(_walked(template), env, evaluate=evaluate)
    except Exception as exc:
        raise UsageError(_cannot("read", args.template, exc)) from None
    failing = 0
    for found in findings:
        line = f"{found.place}: {delimited(found.placeholder, args.pattern)}"
        if found.reason is not None:
            failing += 1
            line += f"  FAILS: {explain(found.reason, env or ())}"
        elif evaluate:
            line += "  ok"
        print(line)
    summary = f"{len(findings)} placeholder(s)"
    if evaluate:
        summary += f", {failing} would fail"
    print(summary, file=sys.stderr)
    _print_warnings(_overwrites(caught), "tessel check", args.template, sys.stderr)
    _print_hints(_hints_after(kind, template, args.pattern), "tessel check")
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
        # The report's block makes room for its rows: the total row moves under it.
        filler = make_filler(_template_kind(template), "{}", insert=name == "report.xlsx")
        try:
            failed = batch.fill_one(filler, template, output, demo_variables(name))
        except Exception as exc:
            raise UsageError(f"cannot fill {template}: {batch.one_line(exc)}") from None
        print(output)
        if failed:
            _report_failures(failed, output, "{}", (), sys.stderr)
            status = EXIT_FAILED
    return status


# -- entry point ------------------------------------------------------------


TYPES_HELP = (
    "--set and .csv values keep their types: a value becomes a number only where nothing of it is "
    "lost (a leading zero other than in 0 and 0.x, a leading +, or more than 15 significant digits "
    "keep it text: 007, +41, 0041441234567). In a .csv, a column whose every filled field is a whole "
    "number holds integers (nullable Int64 where fields are empty), other numbers floats, ISO dates "
    "(2026-03-01) datetime.date values, ISO date-times (2026-03-01 14:30) Timestamps, true/false "
    "booleans; any other column stays text, its empty fields empty text."
)


def _add_common_options(parser):
    parser.add_argument(
        "--data", action="append", default=[], metavar="FILE",
        help="variables from a file: .json (an object's keys), .csv/.xlsx/.parquet (a data frame named "
        "after the file, or NAME=path), .png/.jpg/.gif (a picture named after the file), .py (the "
        "script's global names); repeatable",
    )
    parser.add_argument(
        "--set", action="append", default=[], metavar="NAME=VALUE",
        help="one variable; the value becomes a number where it reads as one and nothing is lost; repeatable",
    )
    parser.add_argument("--pattern", choices=["{}", "{{}}"], default="{}",
                        help="placeholders written {x} (default) or {{x}}")
    parser.add_argument("--trust", action="store_true",
                        help="run the placeholders with all the rights of Python, not in safe mode: "
                        "only for templates you trust")
    parser.add_argument("--recurse", action="store_true", help="also fill placeholders inside data frame blocks")
    parser.add_argument("--insert", action="store_true",
                        help=".xlsx/.docx: insert rows for a data frame's block instead of writing over what "
                        "stands below its cell")


def build_parser():
    parser = _Parser(
        prog="tessel",
        description="Fill text, .xlsx and .docx templates whose placeholders are Python expressions. "
        "Placeholders are code: fill and check run them in safe mode unless given --trust.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    fill = commands.add_parser("fill", help="fill a template", description="Fill TEMPLATE into OUTPUT. "
                               "Exit status 0: all filled; 1: some placeholders failed (each listed with its "
                               "place and why); 2: usage or file error. " + TYPES_HELP,
                               epilog="An OUTPUT ending in .pdf is filled as the template's kind and converted "
                               "with LibreOffice (soffice).")
    fill.add_argument("template", metavar="TEMPLATE", help=".xlsx, .docx, or any UTF-8 text file")
    fill.add_argument("output", metavar="OUTPUT",
                      help="file to write (the template's extension, or .pdf); with --rows a pattern naming "
                      "columns, e.g. 'out/{id}.docx'")
    _add_common_options(fill)
    fill.add_argument("--no-restore", action="store_true",
                      help=".xlsx: skip restoring the template's drawings, charts and pictures")
    fill.add_argument("--rows", metavar="FILE",
                      help="one output per row of a .csv/.xlsx/.parquet file; its columns are variables (an "
                      "empty field gives empty text)")
    fill.add_argument("--jobs", type=_positive, metavar="N",
                      help="with --rows: worker processes (default: one per core)")
    fill.set_defaults(run=cmd_fill)

    check = commands.add_parser("check", help="list the placeholders of a template",
                                description="List every placeholder of TEMPLATE with its place, walking it as "
                                "the fill does; with data (--data, --set), tell which would fail and why. "
                                "Writes nothing. Exit status 1 when some would fail. " + TYPES_HELP)
    check.add_argument("template", metavar="TEMPLATE")
    _add_common_options(check)
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
