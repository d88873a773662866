"""Every real workbook openpyxl can load, filled (round-tripped) and restored:
a clean package that shows every drawn object its template showed."""

import os
import subprocess
import warnings

import openpyxl
import pytest

from ooxml_check import check_package, drawing_inventory
from tessel.gridfill import restore_save

CORPUS = sorted(
    name for name in os.listdir(os.path.join(os.path.dirname(__file__), "data", "xlsx"))
    if name.endswith((".xlsx", ".xlsm"))
)


@pytest.fixture(scope="session")
def restored_corpus(data_dir, tmp_path_factory):
    """{file name: (template path, restored path)}, or the reason openpyxl refused it."""
    out = tmp_path_factory.mktemp("restored")
    results = {}
    for name in CORPUS:
        template = os.path.join(data_dir, "xlsx", name)
        saved = str(out / (os.path.splitext(name)[0] + ".xlsx"))
        try:
            with warnings.catch_warnings():
                # openpyxl warns about every part it drops; dropping is what is repaired here.
                warnings.simplefilter("ignore")
                wb = openpyxl.load_workbook(template)
                wb.save(saved)
                wb.close()
        except Exception as exc:  # openpyxl's own limits, not ours
            results[name] = f"openpyxl cannot load it: {type(exc).__name__}: {exc}"
            continue
        restore_save(template, saved)
        results[name] = (template, saved)
    return results


@pytest.mark.parametrize("name", CORPUS)
def test_corpus_file_restores_clean_and_complete(restored_corpus, name):
    result = restored_corpus[name]
    if isinstance(result, str):
        pytest.skip(result)
    template, restored = result
    assert check_package(restored) == []
    assert drawing_inventory(restored) == drawing_inventory(template)


def test_corpus_restores_something_openpyxl_loses(restored_corpus):
    # Guards the corpus itself: it must hold objects a plain round trip drops.
    kinds = set()
    for result in restored_corpus.values():
        if not isinstance(result, str):
            for counts in drawing_inventory(result[0]).values():
                kinds.update(counts)
    assert {"shapes", "text boxes", "controls", "OLE objects", "chart frames", "comments"} <= kinds


@pytest.mark.libreoffice
def test_libreoffice_converts_every_restored_file(restored_corpus, soffice, tmp_path):
    restored = [r[1] for r in restored_corpus.values() if not isinstance(r, str)]
    assert restored
    pdf_dir = tmp_path / "pdf"
    subprocess.run(
        [soffice, f"-env:UserInstallation=file://{tmp_path}/lo-profile", "--headless",
         "--convert-to", "pdf", "--outdir", str(pdf_dir), *restored],
        check=True, capture_output=True, timeout=900,
    )
    missing = [
        os.path.basename(path) for path in restored
        if not (pdf_dir / (os.path.splitext(os.path.basename(path))[0] + ".pdf")).is_file()
        or (pdf_dir / (os.path.splitext(os.path.basename(path))[0] + ".pdf")).stat().st_size == 0
    ]
    assert missing == []
