"""Every Python example of the README runs as written, in the order a reader meets them."""

import os
import re
import textwrap
import traceback

import matplotlib
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
BLOCK = re.compile(r"^( *)```python\n(.*?)^\1```", re.MULTILINE | re.DOTALL)

matplotlib.use("Agg")


def readme_blocks():
    """(chapter, line, code) of every Python block of the README."""
    with open(os.path.join(HERE, "..", "README.md"), encoding="utf-8") as f:
        text = f.read()
    blocks = []
    for match in BLOCK.finditer(text):
        before = text[: match.start()]
        chapter = re.findall(r"^#+ (.*)$", before, re.MULTILINE)[-1]
        blocks.append((chapter, before.count("\n") + 2, textwrap.dedent(match.group(2))))
    return blocks


@pytest.mark.filterwarnings("ignore::UserWarning", "ignore::DeprecationWarning")
def test_every_python_example_runs(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__main__"}
    blocks = readme_blocks()
    assert len(blocks) > 10
    for chapter, line, code in blocks:
        try:
            exec(compile("\n" * (line - 1) + code, "README.md", "exec"), namespace)
        except Exception:
            pytest.fail(f"the example at README.md line {line} ({chapter}) fails:\n{traceback.format_exc()}")
