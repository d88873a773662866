"""PageFill over the real documents of tests/data/docx: nothing but placeholders
changes, every simple placeholder is filled, data-frame blocks in their tables keep
everything else, and LibreOffice opens every result."""

import collections
import os
import re
import subprocess
import warnings
import zipfile

import docx
import pandas as pd
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


# Data-frame blocks in the tables of real templates, with insert on and off.
FAMILIES = ("docxtpl__", "phpword__", "poitl__")
KEPT = (
    "w:drawing w:pict w:object w:fldChar w:instrText w:fldSimple w:bookmarkStart w:bookmarkEnd w:sdt "
    "w:commentRangeStart w:commentRangeEnd w:commentReference w:footnoteReference w:endnoteReference"
).split()


def has_tables(name):
    try:
        return bool(docx.Document(os.path.join(DOCX, name)).tables)
    except Exception:  # noqa: BLE001 - python-docx cannot read every corpus file
        return False


TABLE_FILES = [f for f in FILES if f.startswith(FAMILIES) and has_tables(f)]


def kept(path):
    counts = inventory(path)
    return {tag: counts[tag] for tag in KEPT}


def holds_kept(tc):
    return any(tc.find(".//" + tag.replace("w:", W)) is not None for tag in KEPT + ["w:tbl"])


def with_blocks(template, out, which):
    """Puts {dfK} into the first plain cell of the first or last row of every body table
    and empties the plain cells after it; returns a frame for each, three rows by as
    many columns as there are such cells."""
    doc = docx.Document(template)
    env = {}
    for k, table in enumerate(doc.tables):
        tr = table.rows[0 if which == "first" else -1]._tr
        cells = tr.findall(f"{W}tc")
        start = next((i for i, tc in enumerate(cells) if not holds_kept(tc)), None)
        if start is None:
            continue
        width = 0
        for tc in cells[start:]:
            if holds_kept(tc):
                break
            for t in tc.iter(f"{W}t"):
                t.text = ""
            width += 1
        first_t = next(cells[start].iter(f"{W}t"), None)
        if first_t is None:
            docx.table._Cell(cells[start], table).paragraphs[0].add_run(f"{{df{k}}}")
        else:
            first_t.text = f"{{df{k}}}"
        env[f"df{k}"] = pd.DataFrame([[f"v{k}.{i}.{j}" for j in range(width)] for i in range(3)])
    doc.save(out)
    return env


def block_cases():
    """(file, row, insert) for the tables that have a plain cell in that row."""
    cases = []
    for name in TABLE_FILES:
        for which, insert in (("last", False), ("last", True), ("first", True)):
            doc = docx.Document(os.path.join(DOCX, name))
            rows = [t.rows[0 if which == "first" else -1]._tr for t in doc.tables]
            if any(not holds_kept(tc) for tr in rows for tc in tr.findall(f"{W}tc")):
                cases.append((name, which, insert))
    return cases


BLOCK_CASES = block_cases()


@pytest.fixture(scope="module")
def blocks(tmp_path_factory):
    out_dir = tmp_path_factory.mktemp("blocks")
    done = {}

    def run(name, which, insert):
        key = (name, which, insert)
        if key not in done:
            stem = f"{which}_{'insert' if insert else 'overwrite'}__{name}"
            template = str(out_dir / f"template_{stem}")
            env = with_blocks(os.path.join(DOCX, name), template, which)
            out = str(out_dir / stem)
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                PageFill(insert=insert)(template, out, dict(env))
            done[key] = (template, out, env, [str(w.message) for w in caught])
        return done[key]

    return run


@pytest.mark.parametrize("name, which, insert", BLOCK_CASES)
def test_blocks_keep_everything_else(blocks, name, which, insert):
    template, out, env, warned = blocks(name, which, insert)
    assert env and warned == []
    assert kept(out) == kept(template)
    written = collections.Counter(paragraph_texts(out))
    assert all(written[v] >= 1 for frame in env.values() for v in frame.values.ravel())
    untouched = collections.Counter(t for t in paragraph_texts(template) if t and "{" not in t)
    assert untouched - written == collections.Counter()


@pytest.mark.libreoffice
def test_libreoffice_converts_every_block_result(blocks, soffice, tmp_path):
    outputs = [blocks(*case)[1] for case in BLOCK_CASES]
    profile = f"-env:UserInstallation=file:///tmp/lo-pageblocks-{os.getpid()}"
    for start in range(0, len(outputs), 15):
        subprocess.run([soffice, profile, "--headless", "--convert-to", "pdf", "--outdir", str(tmp_path),
                        *outputs[start : start + 15]], check=True, capture_output=True, timeout=600)
    missing = [o for o in outputs if not (tmp_path / (os.path.basename(o)[:-5] + ".pdf")).is_file()]
    assert missing == []
