"""Files that are no .xlsx or .docx package are refused by name before any loader reads them."""

import os
import shutil
import subprocess

import struct

import pytest
from docx.opc.exceptions import PackageNotFoundError
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from foreign_files import FOREIGN, SECTOR, ole
from tessel import gridfill, pagefill
from tessel.gridfill import GridFill
from tessel.pagefill import PageFill

FAMILIES = {".xlsx": (GridFill, gridfill, "load_workbook"), ".docx": (PageFill, pagefill, "Document")}


def _never_loaded(monkeypatch, module, loader):
    def refuse(*args, **kwargs):
        raise AssertionError("the loader was given a file that is no package")

    monkeypatch.setattr(module, loader, refuse)


@pytest.mark.parametrize("ext", list(FAMILIES))
@pytest.mark.parametrize("call", ["fill", "check"])
@pytest.mark.parametrize("name", list(FOREIGN))
def test_foreign_files_raise_value_error_naming_them(tmp_path, monkeypatch, ext, call, name):
    content, says = FOREIGN[name]
    template = tmp_path / f"{name}{ext}"
    template.write_bytes(content)
    filler_cls, module, loader = FAMILIES[ext]
    _never_loaded(monkeypatch, module, loader)
    save = tmp_path / f"out{ext}"
    with pytest.raises(ValueError) as info:
        if call == "fill":
            filler_cls()(str(template), str(save), {})
        else:
            filler_cls().check(str(template), {})
    message = str(info.value)
    assert message.startswith(f"{template} {says}")
    assert "\n" not in message
    advice = {"encrypted": "remove the password", "pdf": "fill the", "empty": f"not a {ext}"}
    assert advice.get(name, f"save it as {ext}") in message
    assert not save.exists()
    assert os.listdir(tmp_path) == [template.name]


@pytest.mark.parametrize("ext, error", [(".xlsx", FileNotFoundError), (".docx", PackageNotFoundError)])
def test_a_missing_template_is_left_to_the_loader(tmp_path, ext, error):
    with pytest.raises(error):
        FAMILIES[ext][0]()(str(tmp_path / f"missing{ext}"), str(tmp_path / f"out{ext}"), {})


@pytest.mark.libreoffice
def test_legacy_files_saved_by_libreoffice_are_named(data_dir, tmp_path, soffice):
    sources = {"xls": os.path.join(data_dir, "xlsx", "ee__simple.xlsx"),
               "doc": os.path.join(data_dir, "docx", "poitl__resume.docx")}
    profile = (tmp_path / "profile").as_uri()
    for kind, source in sources.items():
        subprocess.run([soffice, f"-env:UserInstallation={profile}", "--headless", "--convert-to", kind,
                        "--outdir", str(tmp_path), source], check=True, capture_output=True, timeout=240)
    xls = tmp_path / "ee__simple.xls"
    doc = tmp_path / "poitl__resume.doc"
    shutil.copyfile(xls, tmp_path / "legacy.xlsx")
    shutil.copyfile(doc, tmp_path / "legacy.docx")
    with pytest.raises(ValueError, match=r"legacy\.xlsx is an Excel 97-2003 workbook \(\.xls\)"):
        GridFill().check(str(tmp_path / "legacy.xlsx"), {})
    with pytest.raises(ValueError, match=r"legacy\.docx is a Word 97-2003 document \(\.doc\)"):
        PageFill()(str(tmp_path / "legacy.docx"), str(tmp_path / "out.docx"), {})


# Header fields of a compound file that its directory walk trusts: the sector
# shift, the number of FAT sectors, the first directory sector and the first of
# the FAT sectors the header lists.
HEADER_FIELDS = {0x1E: "<H", 0x2C: "<I", 0x30: "<I", 0x4C: "<I", 0x50: "<I"}
CRAFTED_U32 = st.one_of(st.integers(0, 8), st.sampled_from([0xFFFFFFFA, 0xFFFFFFFB, 0xFFFFFFFE, 0xFFFFFFFF,
                                                             0x7FFFFFFF, 0x80000000]),
                        st.integers(0, 0xFFFFFFFF))


@st.composite
def crafted_compound_files(draw):
    data = bytearray(ole(draw(st.lists(st.sampled_from(["Workbook", "WordDocument", "EncryptedPackage", "x" * 40]),
                                       max_size=12))))
    for offset in draw(st.lists(st.sampled_from(sorted(HEADER_FIELDS)), max_size=4)):
        fmt = HEADER_FIELDS[offset]
        value = draw(st.sampled_from([9, 12, 0, 7, 16, 0xFFFF]) if fmt == "<H" else CRAFTED_U32)
        struct.pack_into(fmt, data, offset, value)
    # Links of the FAT and fields of directory entries (name lengths, kinds).
    for _ in range(draw(st.integers(0, 6))):
        at = draw(st.integers(SECTOR, max(SECTOR, len(data) - 4)))
        struct.pack_into("<I", data, at, draw(CRAFTED_U32))
    cut = draw(st.one_of(st.none(), st.integers(8, len(data))))
    return bytes(data[:cut] if cut else data)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(content=crafted_compound_files(), ext=st.sampled_from(list(FAMILIES)))
def test_crafted_compound_files_are_refused_by_name(tmp_path, monkeypatch, content, ext):
    template = tmp_path / f"crafted{ext}"
    template.write_bytes(content)
    filler_cls, module, loader = FAMILIES[ext]
    _never_loaded(monkeypatch, module, loader)
    with pytest.raises(ValueError, match="OLE compound file|97-2003|encrypted"):
        filler_cls().check(str(template), {})
