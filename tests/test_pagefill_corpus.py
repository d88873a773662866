"""PageFill over the real documents of tests/data/docx: nothing but placeholders
changes, every simple placeholder is filled, and LibreOffice opens every result."""

import collections
import os
import re
import subprocess
import zipfile

import docx
import pytest
from lxml import etree

from tessel.pagefill import PageFill

DOCX = os.path.join(os.path.dirname(__file__), "data", "docx")
FILES = sorted(f for f in os.listdir(DOCX) if f.endswith(".docx"))
PATTERNS = {"{{}}": "double", "{}": "single"}
SIMPLE = {"{}": r"\{([A-Za-z_]\w*)\}", "{{}}": r"\{\{([A-Za-z_]\w*)\}\}"}
W = "{http://schemas.openxmlformats.org/wordprocessingml/2006/main}"

# What a fill must carry through untouched when every value is plain text.
INVENTORY = (
    "w:hyperlink w:drawing w:pict w:object w:fldChar w:instrText w:fldSimple w:bookmarkStart "
    "w:bookmarkEnd w:sdt w:tbl w:tr w:tc w:ins w:del w:commentRangeStart w:commentRangeEnd "
    "w:commentReference w:footnoteReference w:endnoteReference w:txbxContent w:tab w:br"
).split()
STORY = re.compile(r"word/(document|header\d*|footer\d*)\.xml$")


def stories(path):
    parser = etree.XMLParser(recover=True, huge_tree=True)
    with zipfile.ZipFile(path) as z:
        return [etree.fromstring(z.read(n), parser) for n in z.namelist() if STORY.match(n)]


def inventory(path):
    roots = stories(path)
    return {tag: sum(len(r.findall(".//" + tag.replace("w:", W))) for r in roots) for tag in INVENTORY}


def paragraph_texts(path):
    return ["".join(t.text or "" for t in p.iter(f"{W}t")) for r in stories(path) for p in r.iter(f"{W}p")]


@pytest.fixture(scope="module")
def fill(tmp_path_factory, data_dir):
    """Fills a corpus file once per pattern; the result is (output path, names given values)."""
    out_dir = tmp_path_factory.mktemp("corpus")
    done = {}

    def run(name, pattern):
        if (name, pattern) not in done:
            template = os.path.join(data_dir, "docx", name)
            names = sorted({n for t in paragraph_texts(template) for n in re.findall(SIMPLE[pattern], t)})
            out = str(out_dir / f"{PATTERNS[pattern]}__{name}")
            try:
                PageFill(pattern)(template, out, {n: f"V{i}" for i, n in enumerate(names)})
            except Exception as error:  # noqa: BLE001 - compared with python-docx's own below
                done[name, pattern] = (error, names)
            else:
                done[name, pattern] = (out, names)
        return done[name, pattern]

    return run


@pytest.mark.parametrize("pattern", list(PATTERNS), ids=list(PATTERNS.values()))
@pytest.mark.parametrize("name", FILES)
def test_fill_changes_only_placeholders(fill, data_dir, name, pattern):
    template = os.path.join(data_dir, "docx", name)
    out, names = fill(name, pattern)
    if isinstance(out, Exception):
        # A template python-docx cannot read fails the call with python-docx's error.
        with pytest.raises(type(out)):
            docx.Document(template)
        return
    assert inventory(out) == inventory(template)
    delimited = "{%s}" if pattern == "{}" else "{{%s}}"
    left = [t for t in paragraph_texts(out) for n in names if delimited % n in t]
    assert left == []
    untouched = collections.Counter(t for t in paragraph_texts(template) if not re.search(SIMPLE[pattern], t))
    assert untouched - collections.Counter(paragraph_texts(out)) == collections.Counter()


@pytest.mark.libreoffice
def test_libreoffice_converts_every_result(fill, soffice, tmp_path):
    outputs = [fill(name, pattern)[0] for name in FILES for pattern in PATTERNS]
    outputs = [o for o in outputs if isinstance(o, str)]
    profile = f"-env:UserInstallation=file:///tmp/lo-pagefill-{os.getpid()}"
    for start in range(0, len(outputs), 15):
        batch = outputs[start : start + 15]
        subprocess.run([soffice, profile, "--headless", "--convert-to", "pdf", "--outdir", str(tmp_path), *batch],
                       check=True, capture_output=True, timeout=600)
    missing = [o for o in outputs if not (tmp_path / (os.path.basename(o)[:-5] + ".pdf")).is_file()]
    assert missing == []
