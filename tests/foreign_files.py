"""Small files of the kinds that users hand over in place of an .xlsx or .docx package.

OLE compound files are built here sector by sector (512-byte sectors, one FAT
sector): what matters to the tests is their directory, which names the streams
that tell a legacy workbook from a document or a password-protected package.
"""

import io
import struct
import zipfile

SECTOR = 512
FREE, END, FAT = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD


def _entry(name, kind, child=FREE, right=FREE):
    raw = name.encode("utf-16-le") + b"\0\0"
    return (raw.ljust(64, b"\0") + struct.pack("<HBBIII", len(raw), kind, 1, FREE, right, child)
            + bytes(16 + 4 + 16) + struct.pack("<II", END, 0) + bytes(4))


def _header(directory_start, fat_sectors=(0,)):
    difat = list(fat_sectors) + [FREE] * (109 - len(fat_sectors))
    head = (b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1" + bytes(16)
            + struct.pack("<HHHHH", 0x3E, 3, 0xFFFE, 9, 6) + bytes(6)
            + struct.pack("<IIIIIIIII", 0, len(fat_sectors), directory_start, 0, 4096, END, 0, END, 0)
            + struct.pack("<109I", *difat))
    assert len(head) == SECTOR
    return head


def _directory(names):
    """Directory entries: the root, then one stream per name, chained as right siblings."""
    entries = [_entry("Root Entry", 5, child=1 if names else FREE)]
    for k, name in enumerate(names, 1):
        entries.append(_entry(name, 2, right=k + 1 if k < len(names) else FREE))
    return entries


def _sectors(entries):
    blob = b"".join(entries)
    blob += bytes(-len(blob) % SECTOR)
    return [blob[k:k + SECTOR] for k in range(0, len(blob), SECTOR)]


def ole(names):
    """An OLE compound file whose directory names the streams `names`."""
    directory = _sectors(_directory(names))
    fat = [FAT] + [k + 2 if k + 2 <= len(directory) else END for k in range(1, len(directory) + 1)]
    fat_sector = struct.pack(f"<{len(fat)}I", *fat).ljust(SECTOR, b"\xff")
    return _header(1) + fat_sector + b"".join(directory)


def ole_scattered(names, decoy):
    """An OLE file whose directory runs over two sectors that are not neighbours; the
    sector between them belongs to a stream and looks like a directory naming `decoy`."""
    first, second = _sectors(_directory(names))[:2]
    fat = [FAT, 3, END, END]
    fat_sector = struct.pack("<4I", *fat).ljust(SECTOR, b"\xff")
    between = _entry(decoy, 2) * 4
    return _header(1) + fat_sector + first + between + second


def ole_looping(names):
    """An OLE file whose directory chain leads back to itself."""
    directory = _sectors(_directory(names))[0]
    fat_sector = struct.pack("<2I", FAT, 1).ljust(SECTOR, b"\xff")
    return _header(1) + fat_sector + directory


def opendocument(mimetype):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        z.writestr(zipfile.ZipInfo("mimetype"), mimetype)  # stored, first, as OpenDocument does
        z.writestr("content.xml", "<office:document-content/>")
    return out.getvalue()


# name: (content, what the refusal says the file is)
FOREIGN = {
    "empty": (b"", "is empty (0 bytes)"),
    "encrypted": (ole(["EncryptionInfo", "EncryptedPackage", "\x06DataSpaces"]), "is encrypted with a password"),
    "xls": (ole(["Workbook", "\x05SummaryInformation"]), "is an Excel 97-2003 workbook (.xls)"),
    "xls-old": (ole(["Book"]), "is an Excel 97-2003 workbook (.xls)"),
    "doc": (ole(["WordDocument", "1Table", "\x05SummaryInformation"]), "is a Word 97-2003 document (.doc)"),
    "xls-long-directory": (ole_scattered(["a", "b", "c", "d", "Workbook"], "WordDocument"),
                           "is an Excel 97-2003 workbook (.xls)"),
    "ole-looping": (ole_looping(["Contents"]), "is an OLE compound file"),
    "ole-truncated": (ole(["Workbook"])[:SECTOR], "is an OLE compound file"),
    "ods": (opendocument("application/vnd.oasis.opendocument.spreadsheet"), "is an OpenDocument spreadsheet"),
    "odt": (opendocument("application/vnd.oasis.opendocument.text"), "is an OpenDocument text"),
    "rtf": (b"{\\rtf1\\ansi Dear {name}}", "is an RTF document"),
    "pdf": (b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n", "is a PDF file"),
    "html": (b"\xef\xbb\xbf\n<!DOCTYPE html><html><table><tr><td>{name}</td></tr></table>", "is an HTML page"),
    "csv": (b"name,total\nAnn,{total}\n", "is a text file"),
    "xml-2003": (b'<?xml version="1.0"?>\n<?mso-application progid="Excel.Sheet"?>\n<Workbook/>',
                 "is an Excel 2003 XML spreadsheet"),
    "binary": (bytes(range(256)) * 2, "is not a"),
}
