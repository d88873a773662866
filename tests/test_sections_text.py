"""Sections in text templates: {for}/{if} repeat or show whole lines when their
tags stand alone on lines, and inline text otherwise."""

import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessel.linefill import LineFill


def fill(template, env, **options):
    out, failed = LineFill(**options)(template, env)
    return out, [(f.placeholder, f.place, f.reason) for f in failed.details]


@pytest.mark.parametrize(
    "template, env, expected",
    [
        ("{for x in xs}\n- {x}\n{end for}\nend", {"xs": [1, 2]}, "- 1\n- 2\nend"),
        ("{for x in xs}\n- {x}\n{end for}\nend", {"xs": []}, "end"),
        ("  {for x in xs}  \n{x}\n\t{end for}\n", {"xs": "ab"}, "a\nb\n"),
        ("a {for x in xs}[{x}]{end for} b", {"xs": [1, 2, 3]}, "a [1][2][3] b"),
        ("a {for x in xs}[{x}]{end for} b", {"xs": []}, "a  b"),
        ("{for i, (k, v) in enumerate(d.items(), 1)}{i}{k}{v};{end for}", {"d": {"a": 1}}, "1a1;"),
        ("{for x in xs}{ for y in x }{y}{ end for },{end for}", {"xs": [[1, 2], [3]]}, "12,3,"),
        ("{if n > 1}\nmany\n{elif n}\none\n{else}\nnone\n{end if}\n", {"n": 2}, "many\n"),
        ("{if n > 1}\nmany\n{elif n}\none\n{else}\nnone\n{end if}\n", {"n": 1}, "one\n"),
        ("{if n > 1}\nmany\n{elif n}\none\n{else}\nnone\n{end if}\n", {"n": 0}, "none\n"),
        ("{if n}\nshown\n{end if}\nrest", {"n": 0}, "rest"),
        ("x{if ok}!{end if}", {"ok": True}, "x!"),
        # a tag line without a line break after it
        ("{for x in xs}\n{x}\n{end for}", {"xs": [1, 2]}, "1\n2\n"),
        # one tag alone on its line and its partner inline: the text repeats inline
        ("{for x in xs}\n{x}{end for}", {"xs": [1, 2]}, "\n1\n2"),
        # a value with braces is written, never read as a placeholder
        ("{for x in xs}{x}{end for}", {"xs": ["{xs}", "{y}"], "y": 1}, "{xs}{y}"),
    ],
)
def test_sections_repeat_and_show(template, env, expected):
    out, failed = fill(template, env)
    assert (out, failed) == (expected, [])


def test_double_pattern_tags():
    out, failed = fill("{{for x in xs}}<{{x}}>{{ end for }}", {"xs": [1, 2]}, pattern="{{}}")
    assert (out, failed) == ("<1><2>", [])


def test_data_frame_rows_are_records_of_their_own_types():
    frame = pd.DataFrame({"n": [1, 2], "unit price": [1.5, 2.25], "day": pd.to_datetime(["2026-01-05", "2026-02-01"])},
                         index=["a", "b"])
    # n stays int beside a float column, where iterrows would make it float
    out, failed = fill("{for r in df}{r.Index}:{r.n}:{r['unit price']}:{type(r.n).__name__}:{r.day.month};{end for}",
                       {"df": frame})
    assert (out, failed) == ("a:1:1.5:int:1;b:2:2.25:int:2;", [])


@pytest.mark.parametrize(
    "template, env, expected_out, expected_failed",
    [
        ("{for x in xs}\n{x}\n", {"xs": [1]}, "{for x in xs}\n{x}\n",
         [("for x in xs", "line 1", "no {end for} after it"), ("x", "line 2", "NameError: name 'x' is not defined")]),
        ("a{end for}", {}, "a{end for}", [("end for", "line 1", "no {for} before it")]),
        ("{else}", {}, "{else}", [("else", "line 1", "{else} outside an {if}")]),
        ("{if 0}a{else}b{else}c{end if}", {}, "b{else}c",
         [("else", "line 1", "{else} after {else}")]),
        ("{for x in 5}{x}{end for}!", {}, "{for x in 5}{x}{end for}!",
         [("for x in 5", "line 1", "TypeError: 'int' object is not iterable"),
          ("x", "line 1", "NameError: name 'x' is not defined"),
          ("end for", "line 1", "its {for} failed")]),
        ("{for a, b in [1]}x{end for}", {}, "{for a, b in [1]}x{end for}",
         [("for a, b in [1]", "line 1", "TypeError: cannot unpack non-iterable int object"),
          ("end for", "line 1", "its {for} failed")]),
        ("{for a, b in [(1, 2, 3)]}x{end for}", {}, "{for a, b in [(1, 2, 3)]}x{end for}",
         [("for a, b in [(1, 2, 3)]", "line 1", "ValueError: too many values to unpack (expected 2)"),
          ("end for", "line 1", "its {for} failed")]),
        ("{if boom}a{end if}", {}, "{if boom}a{end if}",
         [("if boom", "line 1", "NameError: name 'boom' is not defined"), ("end if", "line 1", "its {if} failed")]),
        # an end that closes an outer section leaves the inner one unpaired
        ("{for x in xs}{if x}{x}{end for}", {"xs": [1]}, "{if x}1",
         [("if x", "line 1, for x in xs: item 1", "no {end if} after it")]),
    ],
)
def test_tags_that_fail_leave_their_text(template, env, expected_out, expected_failed):
    assert fill(template, env) == (expected_out, expected_failed)


def test_almost_tags_are_expressions():
    out, failed = fill("{for x}{end}{iffy}", {"end": "E", "iffy": "I"})
    assert out == "{for x}EI"
    assert failed[0][0] == "for x" and failed[0][2].startswith("SyntaxError")


def test_check_places_follow_the_filled_text():
    template = "head\n{for x in xs}\nitem {x}\n{end for}\n{y}\n"
    places = [(f.placeholder, f.place, f.reason) for f in LineFill().check(template, {"xs": [1, 2], "y": 3})]
    assert places == [
        ("for x in xs", "line 2", None),
        ("x", "line 2, for x in xs: item 1", None),
        ("x", "line 3, for x in xs: item 2", None),
        ("end for", "line 4", None),
        ("y", "line 4", None),
    ]
    listed = [(f.placeholder, f.place) for f in LineFill().check(template, evaluate=False)]
    assert listed == [("for x in xs", "line 2"), ("x", "line 3"), ("end for", "line 4"), ("y", "line 5")]


def test_nested_places_name_every_item():
    found = LineFill().check("{for a in xs}{for b in a}{b}{end for}{end for}", {"xs": [[1], [2, 3]]})
    assert [f.place for f in found if f.placeholder == "b"] == [
        "line 1, for a in xs: item 1, for b in a: item 1",
        "line 1, for a in xs: item 2, for b in a: item 1",
        "line 1, for a in xs: item 2, for b in a: item 2",
    ]


def test_loop_names_never_reach_the_callers_variables():
    env = {"x": "mine", "xs": [1, 2]}
    out, failed = fill("{for x in xs}{x}{end for}{x}", env)
    assert (out, failed) == ("12mine", [])
    assert (env["x"], env["xs"]) == ("mine", [1, 2])


@pytest.mark.parametrize(
    "template, reason",
    [
        ("{for i in range(10**6)}\nparagraph {i}\n{end for}", "sections copying"),
        ("{for i in range(1000)}{for j in range(1000)}{i}{j}....{end for}{end for}", "sections copying"),
        ("{for _x in [1]}{_x}{end for}", "name '_x'"),
        ("{for x in ().__class__.__subclasses__()}{x}{end for}", "attribute '__class__'"),
    ],
)
def test_safe_mode_bounds_sections(template, reason):
    out, failed = fill(template, {}, safe=True)
    assert failed[0][2].startswith("not allowed in safe mode: ") and reason in failed[0][2]
    # nested copies stop at the budget of the whole fill
    assert len(out) < 11_000_000


@settings(max_examples=60, deadline=None)
@given(
    items=st.lists(st.text(alphabet="ab \n{}", max_size=4), max_size=5),
    before=st.text(alphabet="xy \n", max_size=4),
    after=st.text(alphabet="xy \n", max_size=4),
)
def test_line_loops_match_a_python_join(items, before, after):
    template = before + "\n{for x in xs}\n<{x}>\n{end for}\n" + after
    out, failed = fill(template, {"xs": items})
    assert failed == []
    assert out == before + "\n" + "".join(f"<{x}>\n" for x in items) + after


@pytest.mark.parametrize(
    "argv, code, expected",
    [
        (["--rows", "c.csv", "--one-file", "customers", "--trust"], 0,
         "Letters\nDear Ann: 3 x 1.5 (0)\nDear Bob: 4 x 2.25 (1)\n"),
        # safe mode reads records as the trusted fill does
        (["--rows", "c.csv", "--one-file", "customers"], 0, "Letters\nDear Ann: 3 x 1.5 (0)\nDear Bob: 4 x 2.25 (1)\n"),
        (["--one-file", "customers"], 2, "needs --rows"),
        (["--rows", "c.csv", "--one-file", "1x"], 2, "must be a Python name"),
    ],
)
def test_the_command_fills_all_rows_into_one_file(tmp_path, capsys, monkeypatch, argv, code, expected):
    from tessel.cli import main

    monkeypatch.chdir(tmp_path)
    (tmp_path / "c.csv").write_text("name,amount,unit price\nAnn,3,1.5\nBob,4,2.25\n")
    (tmp_path / "t.txt").write_text("Letters\n{for r in customers}\nDear {r.name}: {r.amount} x {r['unit price']} "
                                    "({r.Index})\n{end for}\n")
    try:
        status = main(["fill", "t.txt", "out.txt", *argv])
    except SystemExit as exc:
        status = exc.code
    assert status == code
    if code == 0:
        assert (tmp_path / "out.txt").read_text() == expected
    else:
        assert expected in capsys.readouterr().err


names = st.sampled_from(["a", "b", "c", "item", "x1"])
targets = st.recursive(names, lambda inner: st.lists(inner, min_size=1, max_size=3).map(tuple), max_leaves=5)
values = st.recursive(st.integers(0, 9), lambda inner: st.lists(inner, max_size=3).map(tuple), max_leaves=6)


def _written(target, parenthesised=False):
    if isinstance(target, str):
        return target
    inner = ", ".join(_written(t, True) for t in target) + ("," if len(target) == 1 else "")
    return f"({inner})" if parenthesised else inner


def _leaves(target):
    return [target] if isinstance(target, str) else [n for t in target for n in _leaves(t)]


@settings(max_examples=80, deadline=None)
@given(target=targets, items=st.lists(values, max_size=3))
def test_loop_names_unpack_as_python_for_does(target, items):
    written = _written(target)
    shown = "|".join(f"{{{name}}}" for name in _leaves(target))
    template = f"{{for {written} in items}}{shown};{{end for}}"
    try:
        expected = ""
        for item in items:
            scope = {}
            exec(f"for {written} in [item]: pass", {"item": item}, scope)
            expected += "|".join(str(scope[name]) for name in _leaves(target)) + ";"
    except (TypeError, ValueError) as exc:
        out, failed = fill(template, {"items": items})
        assert out == template and failed[0][2] == f"{type(exc).__name__}: {exc}"
        return
    assert fill(template, {"items": items}) == (expected, [])
