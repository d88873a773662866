"""The ``tessel`` command: fill, check and demo.

Exit status: 0 when every placeholder was filled, 1 when some failed (each is
listed on standard error with its place and why), 2 for usage and file errors
(one line on standard error; nothing is left at OUTPUT).

What the command reads is read in `inputs`, what it writes is written in
`outputs`; this module holds the commands, their arguments and what they say.
"""

import argparse
import difflib
import keyword
import os
import re
import string
import sys
import tempfile
import warnings

from . import batch, demo, inputs, outputs
from .errors import UsageError
from .results import Finding, FrameAsTextWarning, OverwriteWarning

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2


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


class _Parser(argparse.ArgumentParser):
    # One line instead of argparse's usage block: the message is what helps.
    def error(self, message):
        exc = UsageError(f"{message} (see '{self.prog} --help')")
        exc.prog = self.prog
        raise exc


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


def make_filler(kind, pattern, recurse=False, restore=True, insert=False, safe=False, engine="native",
                compresslevel=6):
    if kind == ".xlsx":
        from .gridfill import GridFill

        return GridFill(pattern, recurse, restore, insert, safe, engine=engine, compresslevel=compresslevel)
    if kind == ".docx":
        from .pagefill import PageFill

        return PageFill(pattern, recurse, insert, safe)
    from . import linefill

    # The command confines text fills like the others; a script's LineFill does
    # so only when given limits.
    limits = linefill.SAFE_LIMITS if safe and linefill.CONFINED else None
    return linefill.LineFill(pattern, safe=safe, safe_limits=limits)


def _say_if_unconfined(filler, prog):
    if getattr(filler, "safe", False) and not _confined(filler):
        print(f"{prog}: note: this system cannot confine safe mode in a process of its own: placeholders are "
              "held to the allowlist but run in this process", file=sys.stderr)


def _confined(filler):
    return bool(getattr(sys.modules[type(filler).__module__], "CONFINED", False))


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


def _frame_hints(caught):
    return [" ".join(str(w.message).split()) for w in caught if issubclass(w.category, FrameAsTextWarning)]


def _is_tag(placeholder):
    text = placeholder.strip()
    return len(text) >= 2 and text[0] == text[-1] and text[0] in "%#"


DOUBLE_HINT = "every placeholder is written {{...}}: fill it with --pattern '{{}}'"
SINGLE_HINT = "no placeholder is written {{...}}, but some are written {...}: leave out --pattern '{{}}'"
TAG_HINT = ("{% ... %} and {# ... #} tags (loops, conditions, comments) are not supported; sections are written "
            "{for x in xs} ... {end for} and {if c} ... {end if}")
TAG_FATE = {"{}": "; each one is taken for a placeholder and fails",
            "{{}}": "; they are left in the output as they are"}
DOLLAR_HINT = ("every placeholder is written ${...}, as other tools write them; tessel's are written {...}, and "
               "the fill leaves each $ in the output")

# Ends of paragraphs, cells and shared strings in the parts of a package: the
# text on either side is not one text.
_TEXT_END = re.compile(r"</(?:w:p|a:p|si|is|c|v)>")
_MARKUP = re.compile(r"<[^>]*>")
_DOLLAR_FIELDS = {"{}": re.compile(r"(\$?)\{[^{}]+?\}"), "{{}}": re.compile(r"(\$?)\{\{[^{}]+?\}\}")}
# Parts larger than this are not read for a hint.
_HINT_PART_LIMIT = 64 << 20


def _texts_of(template):
    """The texts of a template as a reader sees them, for hints that look beside placeholders."""
    if isinstance(template, batch.TemplateText):
        return [template.text]
    import html
    import zipfile

    texts = []
    with zipfile.ZipFile(template) as package:
        for info in package.infolist():
            if info.filename.endswith(".xml") and info.file_size <= _HINT_PART_LIMIT:
                xml = _TEXT_END.sub("\n", package.read(info).decode("utf-8", "replace"))
                texts.append(html.unescape(_MARKUP.sub("", xml)))
    return texts


def _all_after_dollar(template, pattern):
    signs = [m.group(1) for text in _texts_of(template) for m in _DOLLAR_FIELDS[pattern].finditer(text)]
    return bool(signs) and all(signs)


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
    if plain and _all_after_dollar(template, pattern):
        found.append(DOLLAR_HINT)
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


# -- fill -------------------------------------------------------------------


def _filler_for(args, kind):
    return make_filler(kind, args.pattern, args.recurse, not args.no_restore, args.insert, safe=not args.trust,
                       engine=args.engine, compresslevel=args.compress_level)


def cmd_fill(args):
    kind = _template_kind(args.template)
    if args.one_file is not None and not args.rows:
        raise UsageError("--one-file NAME needs --rows FILE, whose rows become the list NAME")
    if args.rows and args.one_file is None:
        return _fill_rows(args, kind)
    outputs.check_output(args.template, args.output, kind)
    soffice = outputs.find_soffice() if outputs.is_pdf(args.output) else None
    template = _template_input(args.template, kind)
    env = inputs.load_variables(args.data, args.set)
    if args.one_file is not None:
        env[args.one_file] = inputs.row_records(args.rows)
    filler = _filler_for(args, kind)
    _say_if_unconfined(filler, "tessel fill")
    created = outputs.make_folders([args.output])
    try:
        with warnings.catch_warnings(record=True) as caught:
            # Only what the fill says of the output reaches the user.
            warnings.simplefilter("always")
            if soffice is not None:
                failed = outputs.fill_pdf(filler, template, args.output, env, kind, soffice)
            else:
                failed = batch.fill_one(filler, template, args.output, env)
    except KeyboardInterrupt:
        outputs.remove_folders(created)
        raise
    except UsageError:
        outputs.remove_folders(created)
        raise
    except Exception as exc:
        outputs.remove_folders(created)
        raise UsageError(_cannot("fill", args.template, exc)) from None
    _print_warnings(_overwrites(caught), "tessel fill", args.output, sys.stderr)
    status = EXIT_OK
    if failed:
        _report_failures(failed, args.output, args.pattern, env, sys.stderr)
        status = EXIT_FAILED
    _print_hints(_frame_hints(caught) + _hints_after(kind, template, args.pattern), "tessel fill")
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
        failed.hints = _frame_hints(caught)
        return failed


def _quiet_worker():
    # Library warnings would reach the user's terminal from each worker.
    warnings.simplefilter("ignore")


def _output_names(output):
    try:
        return [field for _, field, _, _ in string.Formatter().parse(output) if field is not None]
    except ValueError as exc:
        raise UsageError(f"OUTPUT {output}: {exc}") from None


def _row_outputs(args, kind, rows):
    if not _output_names(args.output):
        raise UsageError(f"OUTPUT {args.output} must name a column, e.g. out/{{id}}{kind}, to give each row a file")
    paths = []
    for row in rows:
        try:
            output = args.output.format_map(row)
        except KeyError as exc:
            raise UsageError(f"OUTPUT names {{{exc.args[0]}}}, which is not a column of {args.rows}") from None
        except (ValueError, IndexError, AttributeError) as exc:
            raise UsageError(f"OUTPUT {args.output}: {exc}") from None
        outputs.check_output(args.template, output, kind)
        paths.append(output)
    seen = {}
    for number, output in enumerate(paths, 1):
        key = os.path.abspath(output)
        if key in seen:
            raise UsageError(f"rows {seen[key]} and {number} both write {output}; name a column that tells them apart")
        seen[key] = number
    return paths


def _fill_rows(args, kind):
    rows = inputs.read_rows(args.rows)
    paths = _row_outputs(args, kind, rows)
    pdf = [outputs.is_pdf(path) for path in paths]
    soffice = outputs.find_soffice() if any(pdf) else None
    template = _template_input(args.template, kind)
    data = tuple(inputs.absolute_data(arg) for arg in args.data)
    sets = tuple(args.set)
    # File errors show here, before anything is written.
    inputs.shared_variables(data, ())
    inputs.shared_variables((), sets)
    try:
        # Also shows a template that cannot be read once, before any file is written.
        found_hints = hints(kind, template, args.pattern)
    except Exception as exc:
        raise UsageError(_cannot("fill", args.template, exc)) from None
    filler = _filler_for(args, kind)
    _say_if_unconfined(filler, "tessel fill")
    if kind != ".txt":
        filler = WarnedFill(filler)
    created = outputs.make_folders(paths)
    with tempfile.TemporaryDirectory(prefix="tessel-pdf-") as work:
        # A PDF is converted from a file filled beside the others in a folder of its own.
        targets = [os.path.join(work, f"{k}{kind}") if is_pdf else output
                   for k, (output, is_pdf) in enumerate(zip(paths, pdf))]
        jobs = [(target, inputs.RowVariables(data, sets, row)) for target, row in zip(targets, rows)]
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
            pdfs = outputs.convert_to_pdf(soffice, [targets[k] for k in converted], work)
            for k, made in zip(converted, pdfs):
                try:
                    if made is None:
                        raise UsageError(f"LibreOffice could not convert the filled {kind} file to PDF")
                    outputs.place_file(made, paths[k])
                except (UsageError, OSError) as exc:
                    results[k] = exc
    errors = [(output, result) for output, result in zip(paths, results) if isinstance(result, BaseException)]
    if len(errors) == len(jobs):
        outputs.remove_folders(created)
    status = EXIT_OK
    for output, result, (_, env) in zip(paths, results, jobs):
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
    # A template's hint holds for every row: each is said once.
    said = [hint for result in results if not isinstance(result, BaseException) for hint in getattr(result, "hints", ())]
    _print_hints(list(dict.fromkeys(said)) + found_hints, "tessel fill")
    return status


# -- check ------------------------------------------------------------------


def cmd_check(args):
    kind = _template_kind(args.template)
    template = _template_input(args.template, kind)
    evaluate = bool(args.data or args.set)
    env = inputs.load_variables(args.data, args.set) if evaluate else None
    filler = make_filler(kind, args.pattern, args.recurse, insert=args.insert, safe=not args.trust,
                         engine=args.engine)
    if evaluate:
        _say_if_unconfined(filler, "tessel check")
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
    _print_hints(_frame_hints(caught) + _hints_after(kind, template, args.pattern), "tessel check")
    return EXIT_FAILED if failing else EXIT_OK


# -- demo -------------------------------------------------------------------


def cmd_demo(args):
    try:
        os.makedirs(args.dir, exist_ok=True)
    except OSError as exc:
        raise UsageError(f"cannot create folder {args.dir}: {exc.strerror}") from None
    status = EXIT_OK
    for name in demo.TEMPLATES:
        template = demo.example(name)
        output = os.path.join(args.dir, name)
        # The report's block makes room for its rows: the total row moves under it.
        filler = make_filler(_template_kind(template), "{}", insert=name == "report.xlsx")
        try:
            failed = batch.fill_one(filler, template, output, demo.demo_variables(name))
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
    "keep it text: 007, +41, 0041441234567; a decimal that a float writes back unchanged, as pandas "
    "writes 339.64000000000004, is a number). ISO dates (2026-03-01) become datetime.date values and "
    "ISO date-times (2026-03-01T14:30) Timestamps. In a .csv, a column whose every filled field is a "
    "whole number holds integers (nullable Int64 where fields are empty), other numbers floats, "
    "dates and date-times as above, true/false booleans; any other column stays text, its empty "
    "fields empty text."
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
        help="one variable; the value becomes a number, a date or a date-time where it reads as one and "
        "nothing is lost; repeatable",
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
    parser.add_argument("--engine", choices=["native", "openpyxl"], default="native",
                        help=".xlsx: fill the template package itself (native, the default: every part the fill "
                        "does not change is kept as it is) or load and save it through openpyxl")


def _compress_level(text):
    try:
        level = int(text)
    except ValueError:
        level = -1
    if not 0 <= level <= 9:
        raise argparse.ArgumentTypeError(f"must be a whole number from 0 to 9, not {text!r}")
    return level


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
                      help=".xlsx with --engine openpyxl: skip restoring the template's drawings, charts and "
                      "pictures (the native engine loses none)")
    fill.add_argument("--compress-level", type=_compress_level, default=6, metavar="N",
                      help=".xlsx: zlib level 0-9 of the parts the native engine rewrites (default 6; 1 is "
                      "fastest)")
    fill.add_argument("--rows", metavar="FILE",
                      help="one output per row of a .csv/.xlsx/.parquet file; its columns are variables (an "
                      "empty field gives empty text)")
    fill.add_argument("--one-file", type=_python_name, metavar="NAME",
                      help="with --rows: one OUTPUT in which the rows are the list NAME of records, for a "
                      "template written with {for r in NAME} ... {end for} (r.column, r['a column'])")
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


def _python_name(text):
    if not text.isidentifier() or keyword.iskeyword(text):
        raise argparse.ArgumentTypeError(f"must be a Python name, not {text!r}")
    return text


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
