"""What a section's `{for}` goes over: the items of any iterable, and the rows of
a DataFrame as records."""

import sys


class Record:
    """One row of a table: its columns as attributes and keys (`row.amount`,
    `row['unit price']`), each value of its own column's type, and its index label
    as `Index`."""

    __slots__ = ("_columns", "Index")

    def __init__(self, columns, index):
        self._columns = columns
        self.Index = index

    def __getattr__(self, name):
        try:
            return self._columns[name]
        except KeyError:
            raise AttributeError(f"the row has no column {name!r}") from None

    def __getitem__(self, key):
        try:
            return self._columns[key]
        except KeyError:
            raise KeyError(key) from None

    def __contains__(self, key):
        return key in self._columns

    def __iter__(self):
        return iter(self._columns.values())

    def __len__(self):
        return len(self._columns)

    def keys(self):
        return self._columns.keys()

    def __repr__(self):
        fields = ", ".join(f"{name!r}: {value!r}" for name, value in self._columns.items())
        return f"Record(Index={self.Index!r}, {{{fields}}})"


def records(frame):
    """The rows of `frame` as records.  Each column is read as its own type:
    unlike `iterrows`, an int column beside a float column stays int."""
    columns = list(frame.columns)
    out = []
    for row in frame.itertuples(index=True, name=None):
        out.append(Record(dict(zip(columns, row[1:])), row[0]))
    return out


def items(value):
    """The items a `{for}` goes over, as a list."""
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(value, pandas.DataFrame):
        return records(value)
    return list(value)
