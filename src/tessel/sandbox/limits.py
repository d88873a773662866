"""What one placeholder may make in safe mode.  Past these it fails instead of
hanging or exhausting memory."""

MAX_RANGE = 1_000_000  # items of one range()
MAX_LOOP_STEPS = 1_000_000  # steps of all the loops of one placeholder, pandas' calls of functions included
MAX_SIZE = 10_000_000  # items and characters made by repeating, padding, joining, widths, copies kept
MAX_GROWTH = 50_000  # cells by which tables and arrays grow past what they were made from
MAX_INT_BITS = 1024  # an integer made by an operator or returned by a call: what a float holds
MAX_EXPONENT = 4300  # of a Decimal: int() of a larger one takes seconds (Python's own limit on digits)
MAX_ROUND_DIGITS = 10_000  # round(x, n): n beyond this computes 10**n
MAX_OBJECT_POWER = 1_000  # ** on columns of Python objects runs Python's own pow per cell
MAX_REGEX_STEPS = 100_000_000  # what a regular expression may take on the texts it is given, at worst
MAX_PARSE_FORMAT = 1_000  # characters of a strptime format, which becomes a regular expression
MAX_SECONDS = 0.5  # loops stop after this
