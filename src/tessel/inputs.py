"""What the ``tessel`` command reads: data files, --set values and the rows of
--rows, each into values of the types their text stands for.
"""

import datetime
import io
import json
import keyword
import math
import os
import re
import runpy
import sys
import warnings

from . import batch
from .errors import UsageError
from .records import Record

PICTURES = (".png", ".jpg", ".jpeg", ".gif")
FRAMES = (".csv", ".xlsx", ".parquet")
DATA_KINDS = (".json",) + FRAMES + PICTURES + (".py",)


# -- values -----------------------------------------------------------------

_NUMBER = re.compile(r"(-?)([0-9]*)(?:\.([0-9]*))?(?:[eE][-+]?[0-9]+)?")

# A float holds 15 significant decimal digits exactly, and so does Excel.
MAX_DIGITS = 15


def parse_number(text):
    """`text` as an int or a float where nothing of it is lost that way, else `text` itself.

    Text stays text where it has a leading zero (other than "0" and "0.x"), a
    leading "+", spaces or digit separators, where it names no finite number
    ("nan", "inf"), or where it has more than 15 significant digits, unless it
    is a decimal that a float writes back unchanged (339.64000000000004, as
    pandas and Python write floats).
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
    whole_number = fraction is None and "e" not in text.lower()
    if len(digits.lstrip("0")) > MAX_DIGITS:
        return float(text) if not whole_number and repr(float(text)) == text else text
    if whole_number:
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


def parse_value(text):
    """A --set value: a number, an ISO date (`datetime.date`) or date-time (a
    pandas Timestamp) where its text is one and nothing is lost, else the text."""
    value = parse_number(text)
    if value is not text:
        return value
    if _ISO_DATE.fullmatch(text):
        try:
            return datetime.date.fromisoformat(text)
        except ValueError:  # 2026-02-30
            return text
    if _ISO_DATE_TIME.fullmatch(text):
        import pandas as pd

        try:
            return pd.Timestamp(text)
        except ValueError:
            return text
    return text


def parse_set(arg):
    name, sep, value = arg.partition("=")
    if not sep:
        raise UsageError(f"--set {arg}: write it as NAME=VALUE")
    return _python_name(name.strip(), f"--set {arg}"), parse_value(value)


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


def absolute_data(arg):
    """A --data argument that still names the same file from another folder."""
    name, path = _split_named(arg)
    path = os.path.abspath(path)
    return path if name is None else f"{name}={path}"


# -- rows -------------------------------------------------------------------


def _field(value):
    """One field of a row; an empty one gives empty text, as in a mail merge."""
    import pandas as pd

    if value is None or value is pd.NA or value is pd.NaT or (isinstance(value, float) and math.isnan(value)):
        return ""
    return value


def read_rows(path):
    """The rows of a --rows file, each a dict from column name to field."""
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


def row_records(path):
    """The rows of a --rows file as records, for `fill --one-file`: columns as
    attributes and keys, the row's number from 0 as `Index`."""
    return [Record(row, k) for k, row in enumerate(read_rows(path))]


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
