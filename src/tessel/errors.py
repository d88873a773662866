"""The mistakes that the ``tessel`` command reports in one line, with exit status 2."""


class UsageError(Exception):
    """A mistake in the command line or a file it names: exit status 2."""

    prog = None
