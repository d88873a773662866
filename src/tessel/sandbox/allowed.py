"""The table of what placeholders may use, and the table as the README shows it.

Only the standard library is imported here: tools/allowed_list loads this file
on its own, without the compiled fillers."""

ALLOWED_BUILTINS = (
    "abs all any bool dict enumerate float format int isinstance len list max min range round "
    "set sorted str sum tuple zip"
).split()

# Methods that frames, columns and indexes share.
_ARITHMETIC = (
    "add sub subtract mul multiply truediv div divide floordiv mod pow "
    "radd rsub rmul rtruediv rdiv rfloordiv rmod rpow eq ne lt le gt ge"
)
_NDFRAME_READ = "T at axes dtypes empty iat iloc index loc ndim shape size values"
# Reductions that add items up, text and lists included, which copies them over
# and over: checked for what they add.
_SUMMING = "cumprod cumsum kurt mean prod sem skew std sum var"
_NDFRAME_SAME = (
    "abs add_prefix add_suffix all any bfill clip copy count cummax cummin diff droplevel drop "
    "drop_duplicates dropna duplicated equals ffill fillna first_valid_index get head idxmax idxmin isin "
    "isna isnull items keys last_valid_index map mask max median memory_usage min mode nlargest notna "
    "notnull nsmallest nunique rank rename rename_axis reset_index round set_axis sort_index sort_values "
    "squeeze swaplevel tail to_dict to_numpy to_period to_timestamp transpose truncate tz_convert "
    "tz_localize where xs"
)
_NDFRAME_CHECKED = (
    "agg aggregate apply astype asfreq describe expanding ewm groupby pct_change product quantile reindex "
    "replace resample rolling sample shift take to_csv to_json to_latex to_markdown to_string transform "
    "unstack value_counts " + _SUMMING + " " + _ARITHMETIC
)
_GROUPBY_SAME = (
    "all any bfill count cumcount cummax cummin describe ffill first get_group head idxmax idxmin last max "
    "median min ngroup nunique ohlc rank size tail"
)
_GROUPBY_CHECKED = (
    "agg aggregate apply diff expanding filter pct_change quantile resample rolling shift transform " + _SUMMING
)
_WINDOW_SAME = "count kurt max mean median min rank sem skew std sum var"
_INDEX_SAME = (
    "all any argmax argmin argsort copy delete difference drop drop_duplicates droplevel dropna duplicated "
    "equals fillna get_indexer get_level_values get_loc identical intersection isin isna map max min notna "
    "nunique rename sort_values symmetric_difference to_flat_index to_frame to_list to_numpy to_series "
    "tolist union unique where"
)
_STR_SAME = (
    "capitalize casefold count endswith find index isalnum isalpha isascii isdecimal isdigit isidentifier "
    "islower isnumeric isprintable isspace istitle isupper lower lstrip partition removeprefix removesuffix "
    "rfind rindex rpartition rsplit rstrip split splitlines startswith strip swapcase title upper"
)
_BYTES_SAME = (
    "count endswith find hex index isalnum isalpha isascii isdigit islower isspace istitle isupper lower "
    "lstrip partition removeprefix removesuffix rfind rindex rpartition rsplit rstrip split splitlines "
    "startswith strip swapcase title upper"
)
_DATE_FIELDS = "day dayofweek day_of_week dayofyear day_of_year days_in_month daysinmonth hour is_leap_year " \
    "is_month_end is_month_start is_quarter_end is_quarter_start is_year_end is_year_start microsecond " \
    "minute month nanosecond quarter second unit year"
_PERIOD_FIELDS = "day dayofweek day_of_week dayofyear day_of_year days_in_month daysinmonth end_time freq hour " \
    "is_leap_year minute month quarter qyear second start_time week weekofyear year"

# What placeholders may use: per type (its module and name, as Python reports
# them), the names it offers, filed under the rule that bounds what they make:
#   read     attributes: values the object holds, parts or views of it
#   same     methods that make at most about the size of the receiver, or a scalar
#   sized    methods whose whole-number arguments size what they make, times the
#            receiver's items (`ljust`, `repeat`)
#   checked  methods with a check of their own (`Guard._checks`): of sizes that
#            their arguments give, of functions and names given to them, of files
#   make     methods of the class that make a new value from their arguments
#            (`date.today`), callable on the class as well
# Subclasses of a listed type offer what it offers.  Objects of the caller's own
# classes offer their public attributes; "read: *" does the same for one library type.
ALLOWED = {
    # text and bytes
    "str": dict(same=_STR_SAME, sized="center expandtabs ljust rjust zfill", checked="join replace translate",
                make="maketrans"),
    "bytes": dict(same=_BYTES_SAME, sized="center expandtabs ljust rjust zfill", checked="join replace translate"),
    # numbers
    "int": dict(read="denominator imag numerator real", same="as_integer_ratio bit_count bit_length conjugate"),
    "float": dict(read="imag real", same="as_integer_ratio conjugate hex is_integer"),
    "complex": dict(read="imag real", same="conjugate"),
    "decimal.Decimal": dict(
        read="imag real",
        same="adjusted as_tuple canonical compare compare_total conjugate copy_abs copy_negate copy_sign exp "
        "is_canonical is_finite is_infinite is_nan is_normal is_qnan is_signed is_snan is_subnormal is_zero "
        "ln log10 max min normalize number_class quantize same_quantum sqrt to_eng_string to_integral "
        "to_integral_exact to_integral_value",
        make="from_float",
    ),
    "fractions.Fraction": dict(read="denominator imag numerator real",
                               same="as_integer_ratio conjugate limit_denominator", make="from_float"),
    # dates and times
    "datetime.date": dict(read="day month year",
                          same="ctime isocalendar isoformat isoweekday replace timetuple toordinal weekday",
                          checked="strftime", make="fromisocalendar fromisoformat fromordinal fromtimestamp today"),
    "datetime.datetime": dict(read="fold hour microsecond minute second tzinfo",
                              same="astimezone date dst time timestamp timetz tzname utcoffset",
                              checked="strptime", make="combine now"),
    "datetime.time": dict(read="fold hour microsecond minute second tzinfo",
                          same="dst isoformat replace tzname utcoffset", checked="strftime", make="fromisoformat"),
    "datetime.timedelta": dict(read="days microseconds seconds", same="total_seconds"),
    "datetime.IsoCalendarDate": dict(read="week weekday year"),
    "zoneinfo.ZoneInfo": dict(read="key", same="dst tzname utcoffset"),
    "pandas.Timestamp": dict(
        read="asm8 dayofweek day_of_week dayofyear day_of_year days_in_month daysinmonth is_leap_year "
        "is_month_end is_month_start is_quarter_end is_quarter_start is_year_end is_year_start nanosecond "
        "quarter tz unit value week weekofyear day fold hour microsecond minute month second tzinfo year",
        same="as_unit astimezone ceil ctime date day_name dst floor isocalendar isoformat isoweekday month_name "
        "normalize replace round time timestamp timetuple timetz to_datetime64 to_julian_date to_numpy "
        "to_period to_pydatetime toordinal tz_convert tz_localize tzname utcoffset weekday",
        checked="strftime",
        make="combine fromisoformat fromordinal fromtimestamp now today",
    ),
    "pandas.Timedelta": dict(
        read="asm8 components days microseconds nanoseconds resolution_string seconds unit value",
        same="as_unit ceil floor isoformat round to_numpy to_pytimedelta to_timedelta64 total_seconds",
    ),
    "pandas.Period": dict(
        read="day dayofweek day_of_week dayofyear day_of_year days_in_month daysinmonth end_time freq freqstr "
        "hour is_leap_year minute month ordinal quarter qyear second start_time week weekofyear year",
        same="asfreq to_timestamp", checked="strftime",
    ),
    # containers, read only
    "list": dict(same="copy count index"),
    "tuple": dict(same="count index"),
    "dict": dict(same="copy get items keys values", make="fromkeys"),
    "set": dict(same="copy difference intersection isdisjoint issubset issuperset symmetric_difference union"),
    "frozenset": dict(same="copy difference intersection isdisjoint issubset issuperset symmetric_difference union"),
    "collections.Counter": dict(same="most_common total"),
    "range": dict(read="start step stop", same="count index"),
    "types.SimpleNamespace": dict(read="*"),
    "tessel.records.Record": dict(read="* Index", same="keys"),  # a row of a table in a section
    "enum.Enum": dict(read="name value"),
    "uuid.UUID": dict(read="hex int urn variant version"),
    "pathlib.PurePath": dict(
        read="anchor drive name parent parents parts root stem suffix suffixes",
        same="as_posix is_absolute is_relative_to joinpath match relative_to with_name with_stem with_suffix",
    ),
    # a picture: its bytes, never its position
    "_io.BytesIO": dict(read="closed", same="getvalue isatty readable seekable tell writable"),
    # values of tessel's own: a picture and its size, a frame that a document shows as a table
    "tessel.pictures.Picture": dict(read="height width"),
    "tessel.tables.Table": dict(read="frame header style"),
    # pandas
    "pandas.DataFrame": dict(
        read=_NDFRAME_READ + " columns",
        same=_NDFRAME_SAME + " assign iterrows itertuples select_dtypes set_index stack",
        checked=_NDFRAME_CHECKED + " join merge to_html",
    ),
    "pandas.Series": dict(
        read=_NDFRAME_READ + " cat dt dtype hasnans is_monotonic_decreasing is_monotonic_increasing is_unique name nbytes str",
        same=_NDFRAME_SAME + " argmax argmin argsort between factorize item searchsorted to_frame to_list tolist unique",
        sized="repeat",
        checked=_NDFRAME_CHECKED,
    ),
    "pandas.Index": dict(
        read="dtype empty has_duplicates hasnans inferred_type is_monotonic_decreasing is_monotonic_increasing "
        "is_unique name names nbytes ndim nlevels shape size str values",
        same=_INDEX_SAME,
        sized="repeat",
        checked="astype take value_counts",
    ),
    "pandas.DatetimeIndex": dict(
        read=_DATE_FIELDS + " date freq freqstr inferred_freq time tz",
        same="ceil day_name floor month_name normalize round to_period to_pydatetime tz_convert tz_localize",
        checked="strftime",
    ),
    "pandas.TimedeltaIndex": dict(read="components days microseconds nanoseconds seconds",
                                  same="ceil floor round to_pytimedelta total_seconds"),
    "pandas.PeriodIndex": dict(read=_PERIOD_FIELDS + " freqstr",
                               same="asfreq to_timestamp", checked="strftime"),
    "pandas.RangeIndex": dict(read="start step stop"),
    "pandas.MultiIndex": dict(read="codes levels levshape names nlevels", same="swaplevel"),
    "pandas.CategoricalIndex": dict(read="categories codes ordered"),
    "pandas.api.typing.DataFrameGroupBy": dict(read="groups indices ngroups", same=_GROUPBY_SAME,
                                               checked=_GROUPBY_CHECKED),
    "pandas.api.typing.SeriesGroupBy": dict(read="groups indices ngroups",
                                            same=_GROUPBY_SAME + " nlargest nsmallest unique",
                                            checked=_GROUPBY_CHECKED + " value_counts"),
    "pandas.api.typing.Resampler": dict(
        same="asfreq bfill count ffill first last max median min nearest nunique ohlc size",
        checked="agg aggregate apply mean prod sem std sum transform var",
    ),
    "pandas.api.typing.Rolling": dict(same=_WINDOW_SAME + " quantile", checked="agg aggregate apply"),
    "pandas.api.typing.Expanding": dict(same=_WINDOW_SAME + " quantile", checked="agg aggregate apply"),
    "pandas.api.typing.ExponentialMovingWindow": dict(same="mean std sum var"),
    "pandas.core.strings.accessor.StringMethods": dict(
        same="capitalize casefold endswith find get index isalnum isalpha isdecimal isdigit islower isnumeric "
        "isspace istitle isupper len lower lstrip removeprefix removesuffix rfind rindex rstrip slice "
        "startswith strip swapcase title upper wrap",
        sized="center ljust pad repeat rjust zfill",
        checked="cat contains count extract extractall findall fullmatch join match partition replace "
        "rpartition rsplit slice_replace split translate",
    ),
    "pandas.core.indexes.accessors.DatetimeProperties": dict(
        read=_DATE_FIELDS + " date dayofweek freq time timetz tz weekday",
        same="as_unit ceil day_name floor isocalendar month_name normalize round to_period to_pydatetime "
        "tz_convert tz_localize",
        checked="strftime",
    ),
    "pandas.core.indexes.accessors.TimedeltaProperties": dict(
        read="components days microseconds nanoseconds seconds unit",
        same="as_unit ceil floor round to_pytimedelta total_seconds",
    ),
    "pandas.core.indexes.accessors.PeriodProperties": dict(
        read=_PERIOD_FIELDS,
        same="asfreq to_timestamp", checked="strftime",
    ),
    "pandas.core.arrays.categorical.CategoricalAccessor": dict(read="categories codes ordered"),
    "pandas.api.extensions.ExtensionArray": dict(
        read="dtype nbytes ndim shape size",
        same="argmax argmin argsort copy dropna isna to_numpy tolist unique",
    ),
    "pandas.api.extensions.ExtensionDtype": dict(read="kind name"),
    "pandas.CategoricalDtype": dict(read="categories ordered"),
    # numpy
    "numpy.ndarray": dict(
        read="T dtype flags imag itemsize nbytes ndim real shape size",
        same="all any argmax argmin argpartition argsort clip conj conjugate copy diagonal flatten item max "
        "min nonzero ravel reshape round searchsorted squeeze swapaxes tolist trace transpose",
        sized="repeat",
        checked="astype cumprod cumsum mean prod std sum take var",
    ),
    "numpy.generic": dict(
        read="T dtype imag itemsize nbytes ndim real shape size",
        same="all any argmax argmin conj conjugate copy item max mean min prod ravel round squeeze std sum "
        "tolist var",
        checked="astype",
    ),
    "numpy.integer": dict(read="denominator numerator"),
    "numpy.dtype": dict(read="char itemsize kind name str"),
    "numpy._core.multiarray.flagsobj": dict(
        read="aligned c_contiguous f_contiguous owndata writeable writebackifcopy"
    ),
}

# Names of reductions that pandas' agg, transform and apply may be given as text.
REDUCTIONS = frozenset(
    "all any count cummax cummin cumprod cumsum first idxmax idxmin last max mean median min nunique prod "
    "sem size std sum var".split()
)
_DISPATCH = frozenset("agg aggregate apply transform".split())
_SUMS = frozenset(_SUMMING.split())


def allowed_markdown():
    """The table of what placeholders may use, as the README shows it."""
    import textwrap

    def names(items):
        return ", ".join(f"`{name}`" for name in items)

    intro = (
        "Allowed: names of the variables, literals, subscripts and slices, arithmetic, comparisons, "
        "`and`/`or`/`not`, conditional expressions, comprehensions, these builtins: "
        f"{names(ALLOWED_BUILTINS)}; the reductions that `agg`, `transform` and `apply` may be given by name: "
        f"{names(sorted(REDUCTIONS))}; and of values of the types below (and of their subclasses) only the "
        "attributes and methods listed. Objects of your own classes offer their public attributes, and your "
        "own functions and classes can be called."
    )
    lines = [textwrap.fill(intro, 105, break_long_words=False, break_on_hyphens=False), "",
             "<details><summary>Attributes and methods by type</summary>", ""]
    for path, groups in ALLOWED.items():
        listed = sorted(name for group in groups.values() for name in group.split())
        lines.append(f"- `{path}`: " + ("any public attribute it holds" if listed == ["*"] else names(listed)))
    lines += ["", "</details>"]
    return "\n".join(lines) + "\n"
