"""The native sources include only downward: a filler never another filler, the
package layer no filler, the placeholder core nothing of the project.  Safe mode's
modules import likewise: each only those below it, and the standard library."""

import ast
import pathlib
import re
import sys

import pytest

NATIVE = pathlib.Path(__file__).resolve().parents[1] / "src" / "native"
SANDBOX = pathlib.Path(__file__).resolve().parents[1] / "src" / "tessel" / "sandbox"

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


# Safe mode's modules, each importing only those before it.  The table comes first
# and imports nothing of the package: tools/allowed_list loads it from its file.
SANDBOX_ORDER = [
    "allowed", "limits", "refusals", "origins", "kinds", "sizes", "arguments", "methods", "guard", "names", "rewrite",
]


def import_violations(root, order):
    """Each import of the modules under `root` that breaks `order`, as 'file: why'."""
    found = [f"{p.name}: a module with no place in the order"
             for p in sorted(root.glob("*.py")) if p.stem != "__init__" and p.stem not in order]
    for position, name in enumerate(order):
        below = set(order[:position])
        for node in ast.walk(ast.parse((root / f"{name}.py").read_text(encoding="utf-8"))):
            if isinstance(node, ast.ImportFrom) and node.level:
                targets = [node.module.partition(".")[0]] if node.module else [a.name for a in node.names]
                for target in targets:
                    if node.level > 1 or target not in below:
                        found.append(f"{name}.py: imports {'.' * node.level}{target} from above it")
            elif isinstance(node, (ast.Import, ast.ImportFrom)):
                for target in [node.module] if isinstance(node, ast.ImportFrom) else [a.name for a in node.names]:
                    if target.partition(".")[0] not in sys.stdlib_module_names:
                        found.append(f"{name}.py: imports {target}, which is no standard module")
    return found


def test_safe_mode_modules_import_only_downward():
    assert import_violations(SANDBOX, SANDBOX_ORDER) == []


@pytest.mark.parametrize(
    "files, expected",
    [
        ({"a.py": "import re\n", "b.py": "from .a import x\nfrom . import a\n"}, []),
        ({"a.py": "from .b import y\n", "b.py": ""}, ["a.py: imports .b from above it"]),
        ({"a.py": "", "b.py": "def f():\n    from . import b\n"}, ["b.py: imports .b from above it"]),
        ({"a.py": "from ..cli import main\n", "b.py": ""}, ["a.py: imports ..cli from above it"]),
        ({"a.py": "import pandas\n", "b.py": "from tessel.sandbox import a\n"},
         ["a.py: imports pandas, which is no standard module",
          "b.py: imports tessel.sandbox, which is no standard module"]),
        ({"a.py": "", "b.py": "", "c.py": ""}, ["c.py: a module with no place in the order"]),
    ],
)
def test_import_rule_catches_imports_that_reach_up_or_out(tmp_path, files, expected):
    assert import_violations(_tree(tmp_path, files), ["a", "b"]) == expected
