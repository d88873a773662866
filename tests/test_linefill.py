"""LineFill against the plain replace cycle, on templates built to break shortcuts."""

import pickle
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessel.linefill import LineFill


def replace_cycle(template, env, pattern="{}"):
    """The plain cycle: every placeholder, in order, replaces all of its delimited form."""
    search, form = {"{}": (r"\{([^{}]+?)\}", "{%s}"), "{{}}": (r"\{\{([^{}]+?)\}\}", "{{%s}}")}[pattern]
    failed = []
    for placeholder in re.findall(search, template):
        try:
            value = eval(placeholder, env)
            template = template.replace(form % placeholder, value if type(value) is str else str(value))
        except Exception:
            failed.append(placeholder)
    return template, failed


TOKENS = ["{a}", "{b}", "{c}", "{missing}", "{{a}}", "{{b}}", "{", "}", "{{", "}}", "x", " ", "{x{a}y}",
          "{xy}", "{1}", "{ a }", "{n()}"]
VALUES = ["", "1", "{b}", "{{a}}", "}", "{", "xy", "{c}", "plain", " a ", "{missing}"]


@pytest.mark.parametrize("pattern", ["{}", "{{}}"])
@settings(max_examples=300, deadline=None)
@given(
    template=st.lists(st.sampled_from(TOKENS), max_size=25).map("".join),
    values=st.fixed_dictionaries({"a": st.sampled_from(VALUES), "b": st.sampled_from(VALUES),
                                  "c": st.sampled_from(VALUES + [1, 2.5, None])}),
)
def test_equals_the_replace_cycle(pattern, template, values):
    counter = iter(range(1000))
    expected = replace_cycle(template, {**values, "n": lambda: next(counter)}, pattern)
    counter = iter(range(1000))
    assert LineFill(pattern)(template, {**values, "n": lambda: next(counter)}) == expected


@pytest.mark.parametrize(
    "pattern, template, env, expected",
    [
        ("{}", "", {}, ("", [])),
        ("{}", "no placeholders at all", {}, ("no placeholders at all", [])),
        ("{}", "{a}-{b}-{c}", {"a": 1, "b": "x"}, ("1-x-{c}", ["c"])),
        ("{{}}", "{{a}} {a}", {"a": 5}, ("5 {a}", [])),
        ("{}", "{a}{a}", {}, ("{a}{a}", ["a", "a"])),
        ("{}", "{a} then {b}", {"a": "{b}", "b": 2}, ("2 then 2", [])),
        ("{}", "{{a}} {1}", {"a": 1}, ("1 1", [])),
        ("{}", "{x{a}y} {xy}", {"a": "", "xy": "!"}, ("! !", [])),
        ("{{}}", "{{{{a}}}} {{1}}", {"a": 1}, ("1 1", [])),
        ("{}", "{a}", {"a": "{a}"}, ("{a}", [])),
    ],
    ids=["empty", "no-placeholder", "partial", "double", "failed-twice", "value-holds-later",
         "braces-around-value", "empty-value-joins", "double-around-value", "value-holds-itself"],
)
def test_examples(pattern, template, env, expected):
    assert LineFill(pattern)(template, env) == expected


def test_repeated_placeholder_is_evaluated_each_time():
    calls = []
    env = {"tick": lambda: calls.append(1) or len(calls)}
    assert LineFill()("{tick()} {tick()}", env) == ("1 1", [])
    assert len(calls) == 2


def test_series_and_frame_values_are_inserted_as_their_text():
    pd = pytest.importorskip("pandas")
    data = pd.Series({"a": 1})
    assert LineFill()("这是一个测试{data.a}", {"data": data}) == ("这是一个测试1", [])
    text, failed = LineFill()("{data}", {"data": data})
    assert (text, failed) == (str(data), [])


def test_keyword_arguments_and_the_caller_variables():
    who = "world"
    assert LineFill(pattern="{}")(template="hello {who}") == ("hello world", [])
    assert LineFill()("hello {who}", env=None) == ("hello world", [])
    assert LineFill()("hello {who}", env={}) == ("hello {who}", ["who"])


def test_template_must_be_text():
    with pytest.raises(TypeError):
        LineFill()(b"{a}", {"a": 1})


def test_subclass_extract_placeholder_is_honoured():
    class OnlyFirst(LineFill):
        def extract_placeholder(self, text):
            return super().extract_placeholder(text)[:1]

    assert OnlyFirst()("{a} {b}", {"a": 1, "b": 2}) == ("1 {b}", [])


def test_options_pickle():
    fill = pickle.loads(pickle.dumps(LineFill("{{}}")))
    assert fill.pattern == "{{}}"
    assert fill("{{a}}", {"a": 1}) == ("1", [])


def test_docstrings():
    call_lines = LineFill.__call__.__doc__.splitlines()
    for line in [":param template: text template.",
                 ":param env: Variables environment - a dict mapping varible names to pandas DataFrame, Series.",
                 "If not specified use local and global variables of the caller.",
                 ":return: text and except placeholders."]:
        assert line in call_lines
    init_lines = LineFill.__init__.__doc__.splitlines()
    assert "Initialize with a specific placeholder pattern." in init_lines
    assert ":param pattren: placeholder pattern, must be '{}' or '{{}}'." in init_lines


def test_plain_class_with_plain_attribute():
    fill = LineFill()
    assert LineFill.__mro__ == (LineFill, object)
    assert vars(fill) == {"pattern": "{}", "safe": False, "safe_limits": None}
