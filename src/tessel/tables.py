"""Tables as values: a data frame that a document shows as a table of its own."""

__all__ = ["Table"]


class Table:
    """A data frame, Series or Styler that a document shows as a table.

    A placeholder that stands alone in a paragraph (outside a table) and gives a
    Table is replaced by a table: a header row of the column names, repeated on
    each page, and a row per record.  A Series shows its index and its values.

    :param frame: a DataFrame, a Series, or a DataFrame's Styler, whose display
        text and CSS the table takes.
    :param style: the name of a table style of the document; None for its
        "Table Grid", or single borders where it has none.
    :param header: False for a table without the row of column names.
    """

    __slots__ = ("frame", "style", "header")

    def __init__(self, frame, style=None, header=True):
        import pandas as pd
        from pandas.io.formats.style import Styler

        if not isinstance(frame, (pd.DataFrame, pd.Series, Styler)):
            raise TypeError(f"a Table shows a DataFrame, a Series or a Styler, not {type(frame).__name__}")
        if style is not None and not isinstance(style, str):
            raise TypeError(f"a Table's style is the name of a table style, not {type(style).__name__}")
        self.frame = frame
        self.style = style
        self.header = bool(header)

    def __repr__(self):
        shape = "×".join(map(str, getattr(self.frame, "data", self.frame).shape))
        return f"Table(<{type(self.frame).__name__} {shape}>, style={self.style!r}, header={self.header})"
