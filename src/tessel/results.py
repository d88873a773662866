"""What a fill or a check reports about the placeholders it met."""

from typing import NamedTuple


class Finding(NamedTuple):
    """One placeholder where a fill or a check met it.

    ``place`` names it as a reader of the template finds it (``sheet Sales, cell
    B4``, ``paragraph 3``, ``table 1, row 2, column 3``, ``header1, paragraph 1``,
    ``line 7``).  ``reason`` says why it was not filled; it is None for a
    placeholder that a check found would fill, or that it only listed.
    """

    placeholder: str
    place: str
    reason: str | None


class FailedPlaceholders(list):
    """The placeholders a fill could not fill, in the order it met them.

    It is a plain list of placeholder texts; ``details`` holds one `Finding`
    per entry, in the same order, with its place and reason.
    """

    def __init__(self, *args):
        super().__init__(*args)
        self.details = []


class OverwriteWarning(UserWarning):
    """A data-frame block wrote over cells that held something of the template's own."""


class FrameAsTextWarning(UserWarning):
    """A data frame went into a document's paragraph as text, where ``tessel.Table``
    would have made it a table."""
