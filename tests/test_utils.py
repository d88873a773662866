"""The caller's variables, as a filler without an env sees them."""

import importlib.util
import sys
import textwrap

from tessel.linefill import LineFill
from tessel.utils import get_outer_frame_variables

shadowed = "global"
only_global = "from the module"


def test_function_locals_win_over_globals():
    shadowed = "local"
    local_only = 7
    assert LineFill()("{shadowed} {local_only} {only_global}") == ("local 7 from the module", [])


def test_direct_call_returns_a_copy():
    x = 1
    variables = get_outer_frame_variables()
    assert variables["x"] == 1 and variables["only_global"] == "from the module"
    variables["x"] = 2
    assert x == 1


def test_class_body():
    class Report:
        title = "Q3"
        text, failed = LineFill()("{title} {only_global}")

    assert (Report.text, Report.failed) == ("Q3 from the module", [])


def test_comprehension_sees_its_loop_variable_and_the_enclosing_function():
    prefix = "row"
    results = [LineFill()("{prefix}-{i}")[0] for i in range(3)]
    assert results == ["row-0", "row-1", "row-2"]
    assert {LineFill()("{prefix}{i}")[0] for i in range(2)} == {"row0", "row1"}


def test_module_top_level(tmp_path, monkeypatch):
    source = textwrap.dedent(
        """
        from tessel.linefill import LineFill
        year = 2026
        RESULT = LineFill()("report {year}")
        """
    )
    path = tmp_path / "report_script.py"
    path.write_text(source)
    found = importlib.util.spec_from_file_location("report_script", path)
    module = importlib.util.module_from_spec(found)
    monkeypatch.setitem(sys.modules, "report_script", module)
    found.loader.exec_module(module)
    assert module.RESULT == ("report 2026", [])


def test_notebook_cell():
    # A notebook runs each cell with exec() against one user namespace.
    user_ns = {"__name__": "__main__"}
    exec(compile("from tessel.linefill import LineFill\nregion = 'North'", "<cell 1>", "exec"), user_ns)
    exec(compile("result = LineFill()('{region}')", "<cell 2>", "exec"), user_ns)
    assert user_ns["result"] == ("North", [])


def test_caller_namespace_is_not_changed():
    # An assignment expression stores into the evaluation namespace, which is a copy.
    assert LineFill()("{(leaked := only_global)}") == ("from the module", [])
    assert "leaked" not in globals()
