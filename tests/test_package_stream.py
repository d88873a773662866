"""Parts streamed into a rewritten package: deflated as produced, read back whole by
zipfile and openpyxl, beside untouched entries copied byte for byte."""

import io
import os
import random
import struct
import zipfile

import openpyxl
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tessel.gridfill import _rewrite_package

MIB = 1 << 20
# Incompressible, so that chunk sizes carry through to the compressed side too.
NOISE = random.Random(7).randbytes(4 * MIB + 64)
TEXT = b"<row><c><v>1234</v></c></row>" * (3 * MIB // 29)


def _template(path, level=9):
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("[Content_Types].xml", b"<Types/>" * 50, zipfile.ZIP_DEFLATED, level)
        z.writestr("xl/workbook.xml", b"<workbook>" + b"<s/>" * 3000 + b"</workbook>",
                   zipfile.ZIP_DEFLATED, level)
        z.writestr("xl/media/a.png", NOISE[:5000], zipfile.ZIP_STORED)
        z.writestr("xl/worksheets/Sheet1.xml", b"<old/>", zipfile.ZIP_DEFLATED, level)
    return path


def _raw(path, info):
    """The entry's local header fields and compressed bytes as they lie in the file."""
    with open(path, "rb") as f:
        f.seek(info.header_offset)
        head = f.read(30)
        assert head[:4] == b"PK\3\4"
        crc, csize, usize, nlen, xlen = struct.unpack("<3I2H", head[14:30])
        f.seek(nlen + xlen, 1)
        return (crc, csize, usize), f.read(csize)


def _pieces(data, sizes):
    out, at = [], 0
    for n in sizes:
        out.append(data[at:at + n])
        at += n
    return out


@pytest.mark.parametrize(
    "sizes",
    [
        [],
        [0, 0],
        [1] * 5000,
        [3 * MIB + 7],
        [MIB - 1, 1, 1],
        [MIB, MIB],
        [MIB + 1, MIB - 1],
        [5, 2 * MIB + 3, 7, 0, MIB],
        [MIB - 3] + [1] * 10 + [MIB],
    ],
)
def test_streamed_part_reads_back_equal(tmp_path, sizes):
    source = _template(tmp_path / "t.xlsx")
    chunks = _pieces(NOISE, sizes)
    target = tmp_path / "out.xlsx"
    _rewrite_package(str(source), str(target), {"xl/big.bin": chunks}, 1)
    with zipfile.ZipFile(target) as z:
        assert z.testzip() is None
        assert z.read("xl/big.bin") == b"".join(chunks)
        assert z.getinfo("xl/big.bin").compress_type == zipfile.ZIP_DEFLATED


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(sizes=st.lists(st.integers(0, 3 * MIB // 2), max_size=4), level=st.sampled_from([0, 1]))
def test_any_split_of_the_bytes_reads_back_equal(tmp_path, sizes, level):
    source = _template(tmp_path / "t.xlsx")
    chunks = _pieces(NOISE, sizes)
    out = io.BytesIO()
    _rewrite_package(str(source), out, {"p.bin": chunks}, level)
    with zipfile.ZipFile(out) as z:
        assert z.read("p.bin") == b"".join(chunks)


def test_every_local_header_agrees_with_the_central_directory(tmp_path):
    # Readers that walk local headers (LibreOffice) trust them, not the directory.
    source = _template(tmp_path / "t.xlsx")
    target = tmp_path / "out.xlsx"
    parts = {"a.xml": [TEXT[:10], TEXT[10:]], "b.xml": [], "c.bin": [NOISE[: 2 * MIB + 1]]}
    _rewrite_package(str(source), str(target), parts)
    with zipfile.ZipFile(target) as z:
        infos = z.infolist()
    assert [i.filename for i in infos][0] == "[Content_Types].xml"
    for info in infos:
        (crc, csize, usize), data = _raw(target, info)
        assert (crc, csize, usize) == (info.CRC, info.compress_size, info.file_size)
        assert len(data) == csize
        assert not info.flag_bits & 8


def test_untouched_entries_are_copied_compressed_as_they_were(tmp_path):
    source = _template(tmp_path / "t.xlsx", level=9)
    target = tmp_path / "out.xlsx"
    _rewrite_package(str(source), str(target), {"xl/worksheets/sheet1.xml": [TEXT[:1000]]}, 1)
    with zipfile.ZipFile(source) as a, zipfile.ZipFile(target) as b:
        before = {i.filename: i for i in a.infolist()}
        after = {i.filename: i for i in b.infolist()}
        # The streamed part takes the place and spelling of the one it replaces.
        assert list(after) == list(before)
        assert b.read("xl/worksheets/Sheet1.xml") == TEXT[:1000]
    for name in ["[Content_Types].xml", "xl/workbook.xml", "xl/media/a.png"]:
        x, y = before[name], after[name]
        assert (x.CRC, x.compress_type, x.compress_size, x.date_time) == \
               (y.CRC, y.compress_type, y.compress_size, y.date_time)
        assert _raw(source, x) == _raw(target, y)


@pytest.mark.parametrize("from_folder", [False, True], ids=["archive", "folder"])
@pytest.mark.parametrize("level", [0, 1, 6, 9])
def test_compress_levels_give_valid_archives(tmp_path, level, from_folder):
    source = _template(tmp_path / "t.xlsx")
    if from_folder:
        zipfile.ZipFile(source).extractall(tmp_path / "src")
        source = tmp_path / "src"
    target = tmp_path / "out.xlsx"
    _rewrite_package(str(source), str(target), {"s.xml": [TEXT]}, level)
    with zipfile.ZipFile(target) as z:
        assert z.testzip() is None
        assert z.read("s.xml") == TEXT
        info = z.getinfo("s.xml")
        if level == 0:
            assert info.compress_size >= info.file_size
        else:
            assert info.compress_size < info.file_size // 10
        if from_folder:
            # Entries read from a folder are compressed by the package too.
            own = z.getinfo("xl/workbook.xml")
            assert (own.compress_size >= own.file_size) == (level == 0)


def test_a_lower_level_compresses_less(tmp_path):
    source = _template(tmp_path / "t.xlsx")
    # Varied yet compressible text, where the levels differ.
    rng = random.Random(3)
    text = b"".join(b"<c r='A%d'><v>%d</v></c>" % (i, rng.randrange(1000)) for i in range(60000))
    sizes = []
    for level in (1, 9):
        out = io.BytesIO()
        _rewrite_package(str(source), out, {"s.xml": [text]}, level)
        sizes.append(zipfile.ZipFile(out).getinfo("s.xml").compress_size)
    assert sizes[0] > sizes[1]


@pytest.mark.parametrize("level", [-1, 10, 100])
def test_a_level_out_of_range_is_refused(tmp_path, level):
    source = _template(tmp_path / "t.xlsx")
    with pytest.raises(ValueError, match="from 0 to 9"):
        _rewrite_package(str(source), str(tmp_path / "out.xlsx"), {}, level)
    assert sorted(os.listdir(tmp_path)) == ["t.xlsx"]


def _failing():
    yield TEXT[:MIB]
    yield TEXT[MIB:2 * MIB + 5]
    raise RuntimeError("the rows ran out")


@pytest.mark.parametrize(
    "chunks, error",
    [(_failing, RuntimeError), (lambda: [b"<a/>", "not bytes"], ValueError)],
    ids=["python-error", "native-error"],
)
@pytest.mark.parametrize("target_exists", [False, True])
def test_a_failing_producer_leaves_no_file(tmp_path, chunks, error, target_exists):
    source = _template(tmp_path / "t.xlsx")
    target = tmp_path / "out.xlsx"
    if target_exists:
        target.write_bytes(b"earlier")
    with pytest.raises(error):
        _rewrite_package(str(source), str(target), {"s.xml": chunks()})
    expected = ["out.xlsx", "t.xlsx"] if target_exists else ["t.xlsx"]
    assert sorted(os.listdir(tmp_path)) == expected
    if target_exists:
        assert target.read_bytes() == b"earlier"


def test_a_failing_producer_leaves_a_folder_part_as_it_was(tmp_path):
    zipfile.ZipFile(_template(tmp_path / "t.xlsx")).extractall(tmp_path / "src")
    sheets = tmp_path / "src" / "xl" / "worksheets"
    with pytest.raises(RuntimeError):
        _rewrite_package(str(tmp_path / "src"), str(tmp_path / "out.xlsx"),
                         {"xl/worksheets/Sheet1.xml": _failing()})
    assert os.listdir(sheets) == ["Sheet1.xml"]
    assert (sheets / "Sheet1.xml").read_bytes() == b"<old/>"
    assert not (tmp_path / "out.xlsx").exists()


def test_a_stream_is_read_and_written(tmp_path):
    source = io.BytesIO(_template(tmp_path / "t.xlsx").read_bytes())
    out = io.BytesIO(b"x" * 100000)  # longer than the result: must be cut
    _rewrite_package(source, out, {"xl/new.xml": [TEXT[:100], TEXT[100:MIB * 2]]})
    with zipfile.ZipFile(io.BytesIO(out.getvalue())) as z:
        assert z.testzip() is None
        assert z.read("xl/new.xml") == TEXT[:MIB * 2]
        assert z.read("xl/media/a.png") == NOISE[:5000]


def test_changed_names_what_was_streamed_or_removed(tmp_path):
    source = _template(tmp_path / "t.xlsx")
    changed = _rewrite_package(str(source), io.BytesIO(),
                               {"XL/WORKSHEETS/sheet1.xml": [b"<a/>"], "new.xml": [b"<b/>"]},
                               remove=["xl/media/a.png"])
    # Names compare without regard to case, as the package's do.
    assert set(changed) == {"XL/WORKSHEETS/sheet1.xml", "xl/worksheets/Sheet1.xml", "new.xml",
                            "xl/media/a.png"}


def test_openpyxl_reads_a_streamed_worksheet(tmp_path):
    wb = openpyxl.Workbook()
    wb.active["A1"] = "before"
    source = tmp_path / "t.xlsx"
    wb.save(source)
    ns = b'xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"'
    rows = (b'<row r="%d"><c r="A%d"><v>%d</v></c></row>' % (i, i, i * 3) for i in range(1, 40001))

    def sheet():
        yield b"<worksheet " + ns + b"><sheetData>"
        yield from rows
        yield b"</sheetData></worksheet>"

    target = tmp_path / "out.xlsx"
    _rewrite_package(str(source), str(target), {"xl/worksheets/sheet1.xml": sheet()})
    wb = openpyxl.load_workbook(target, read_only=True)
    values = [r[0] for r in wb.active.iter_rows(values_only=True)]
    wb.close()
    assert values == [i * 3 for i in range(1, 40001)]
