"""The native sources include only downward: a filler never another filler, the
package layer no filler, the placeholder core nothing of the project."""

import pathlib
import re

import pytest

NATIVE = pathlib.Path(__file__).resolve().parents[1] / "src" / "native"

# What each layer folder may include besides itself.
ALLOWED = {
    "core": set(),
    "ooxml": {"core"},
    "text": {"core", "ooxml"},
    "workbook": {"core", "ooxml"},
    "document": {"core", "ooxml"},
}

_INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)


def layer_violations(root):
    """Each include under `root` that breaks the layering, as 'file: why'."""
    found = []
    for folder in sorted(p for p in root.iterdir() if p.is_dir()):
        if folder.name not in ALLOWED:
            found.append(f"{folder.name}/: a folder that is no known layer")
    for source in sorted(root.rglob("*")):
        if source.suffix not in (".cpp", ".h"):
            continue
        where = source.relative_to(root).as_posix()
        layer = source.relative_to(root).parts[0]
        for bracket, name in _INCLUDE.findall(source.read_text(encoding="utf-8")):
            head = name.split("/")[0]
            if bracket == "<" and head not in ALLOWED:
                continue  # a system or third-party header
            if head not in ALLOWED or ".." in name.split("/"):
                found.append(f"{where}: #include {name!r} names no layer")
            elif not (root / name).is_file():
                found.append(f"{where}: #include {name!r} is no file of the project")
            elif head != layer and head not in ALLOWED.get(layer, ()):
                found.append(f"{where}: #include {name!r} reaches from {layer} into {head}")
    return found


def test_the_native_sources_include_only_downward():
    assert NATIVE.is_dir()
    assert layer_violations(NATIVE) == []


def _tree(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")
    return root


@pytest.mark.parametrize(
    "files, expected",
    [
        ({"core/a.h": "", "ooxml/b.cpp": '#include "core/a.h"\n#include <vector>\n'}, []),
        ({"core/a.h": "", "workbook/w.h": "", "document/d.cpp": '#include "workbook/w.h"\n'},
         ["document/d.cpp: #include 'workbook/w.h' reaches from document into workbook"]),
        ({"ooxml/p.h": "", "core/c.cpp": '  #  include "ooxml/p.h"\n'},
         ["core/c.cpp: #include 'ooxml/p.h' reaches from core into ooxml"]),
        ({"text/t.h": "", "ooxml/p.cpp": "#include <text/t.h>\n"},
         ["ooxml/p.cpp: #include 'text/t.h' reaches from ooxml into text"]),
        ({"core/a.h": "", "core/b.cpp": '#include "a.h"\n'}, ["core/b.cpp: #include 'a.h' names no layer"]),
        ({"core/a.h": "", "ooxml/b.cpp": '#include "ooxml/../core/a.h"\n'},
         ["ooxml/b.cpp: #include 'ooxml/../core/a.h' names no layer"]),
        ({"core/b.cpp": '#include "core/gone.h"\n'}, ["core/b.cpp: #include 'core/gone.h' is no file of the project"]),
        ({"charts/c.cpp": ""}, ["charts/: a folder that is no known layer"]),
    ],
)
def test_layer_rule_catches_includes_that_reach_up_or_across(tmp_path, files, expected):
    assert layer_violations(_tree(tmp_path, files)) == expected
