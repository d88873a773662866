"""The placeholder scanner and evaluation, seen through LineFill."""

import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessel.linefill import LineFill

SEARCH = {"{}": re.compile(r"\{([^{}]+?)\}"), "{{}}": re.compile(r"\{\{([^{}]+?)\}\}")}

# Characters that stress the scanner: braces in every arrangement, line breaks,
# astral code points and lone surrogates, mixed with anything else.
adversarial_char = st.one_of(
    st.sampled_from(list("{{{}}}ab \t\n\r\x00")),
    st.characters(),
    st.integers(0xD800, 0xDFFF).map(chr),
    st.integers(0x10000, 0x10FFFF).map(chr),
)
adversarial_text = st.one_of(
    st.text(adversarial_char, max_size=60),
    st.lists(st.sampled_from(["{", "}", "{{", "}}", "x", "é", "\U0001f600", "\ud83d", "\n", " "]), max_size=40).map(
        "".join
    ),
)


@pytest.mark.parametrize("pattern", ["{}", "{{}}"])
@settings(max_examples=400, deadline=None)
@given(text=adversarial_text)
def test_scanner_finds_what_re_findall_finds(pattern, text):
    assert LineFill(pattern).extract_placeholder(text) == SEARCH[pattern].findall(text)


@pytest.mark.parametrize(
    "pattern, text, expected",
    [
        ("{}", "{{x}}", ["x"]),
        ("{{}}", "{x} and {{y}}", ["y"]),
        ("{}", "{} {{}} {{{}}}", []),
        ("{{}}", "{} {{}} {{{}}}", []),
        ("{}", "{a{b}c}", ["b"]),
        ("{}", "{a\n+ b}", ["a\n+ b"]),
        ("{}", "{ x }", [" x "]),
        ("{{}}", "{{{{a}}}} {{{x}} {{a}}}", ["a", "x", "a"]),
        ("{}", "{\ud800}{\U0001f600}", ["\ud800", "\U0001f600"]),
        ("{}", "{a}{a}", ["a", "a"]),
    ],
    ids=["inner-of-double", "double-skips-single", "empty-braces", "empty-double",
         "nested", "line-break", "spaces", "deep-double", "surrogates", "repeated"],
)
def test_extract_examples(pattern, text, expected):
    assert LineFill(pattern).extract_placeholder(text) == expected


def test_extract_from_str_subclass_gives_plain_str():
    class Text(str):
        pass

    (found,) = LineFill().extract_placeholder(Text("{a}"))
    assert type(found) is str


@pytest.mark.parametrize(
    "text, message",
    [
        (1, "expected string or bytes-like object, got 'int'"),
        (None, "expected string or bytes-like object, got 'NoneType'"),
        (b"{a}", "cannot use a string pattern on a bytes-like object"),
        (bytearray(b"{a}"), "cannot use a string pattern on a bytes-like object"),
    ],
    ids=["int", "none", "bytes", "bytearray"],
)
def test_extract_rejects_non_text_like_re(text, message):
    with pytest.raises(TypeError) as info:
        LineFill().extract_placeholder(text)
    assert str(info.value) == message


@pytest.mark.parametrize("pattern", ["", "{", "{x}", "{{ }}", "{ }", 1, None, b"{}"],
                         ids=["empty", "open", "named", "spaced-double", "spaced", "int", "none", "bytes"])
def test_illegal_pattern_raises_at_first_use_not_construction(pattern):
    fill = LineFill(pattern)
    assert fill.pattern is pattern
    for use in (lambda: fill.extract_placeholder(""), lambda: fill("", {}), lambda: fill("plain", {})):
        with pytest.raises(ValueError) as info:
            use()
        assert str(info.value) == "pattern must be '{}' or '{{}}'"


def test_pattern_is_read_afresh_at_each_use():
    fill = LineFill()
    assert fill("{{a}} {a}", {"a": 5}) == ("{5} 5", [])
    fill.pattern = "{{}}"
    assert fill("{{a}} {a}", {"a": 5}) == ("5 {a}", [])


@pytest.mark.parametrize(
    "template, env, expected",
    [
        ("{ x}", {"x": 1}, ("1", [])),
        ("{\t x}", {"x": 1}, ("1", [])),
        ("{x }", {"x": 1}, ("1", [])),
        ("{\nx}", {"x": 1}, ("1", [])),
        ("{len(x)}", {"x": "abc"}, ("3", [])),
        ("{x.upper()}", {"x": "abc"}, ("ABC", [])),
        ("{x[1]}", {"x": [1, 2]}, ("2", [])),
        ("{1 +}", {}, ("{1 +}", ["1 +"])),
        ("{a\x00}", {"a": 1}, ("{a\x00}", ["a\x00"])),
        ("{\ud800}", {}, ("{\ud800}", ["\ud800"])),
        ("{x}", {"x": "already text"}, ("already text", [])),
    ],
    ids=["leading-space", "leading-tab", "trailing-space", "leading-newline", "builtin", "method",
         "subscript", "syntax-error", "null-byte", "lone-surrogate", "str-value"],
)
def test_evaluation_follows_builtin_eval(template, env, expected):
    assert LineFill()(template, env) == expected


def test_builtins_are_added_to_the_environment():
    env = {"x": [3, 1, 2]}
    assert LineFill()("{sorted(x)}", env) == ("[1, 2, 3]", [])
    assert "__builtins__" in env


@pytest.mark.parametrize("env", [[("x", 1)], "x", 0], ids=["list", "str", "int"])
def test_non_dict_environment_fails_every_placeholder(env):
    assert LineFill()("{x} and {1}", env) == ("{x} and {1}", ["x", "1"])


class Boom:
    def __init__(self, exc):
        self.exc = exc

    def __str__(self):
        raise self.exc


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit], ids=["ctrl-c", "exit"])
@pytest.mark.parametrize("where", ["evaluation", "conversion"])
def test_interrupts_stop_the_fill(exc, where):
    def stop():
        raise exc()

    env = {"stop": stop, "boom": Boom(exc())}
    template = "{stop()}" if where == "evaluation" else "{boom}"
    with pytest.raises(exc):
        LineFill()("{1} " + template + " {2}", env)


@pytest.mark.parametrize("exc", [ValueError, ZeroDivisionError, LookupError, GeneratorExit],
                         ids=["value", "zero", "lookup", "generator-exit"])
def test_other_exceptions_are_recorded(exc):
    assert LineFill()("{boom} {1}", {"boom": Boom(exc())}) == ("{boom} 1", ["boom"])
