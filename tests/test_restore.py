import hashlib
import io
import os
import shutil
import warnings
import zipfile

import openpyxl
import pytest
from openpyxl.comments import Comment
from openpyxl.drawing.image import Image
from PIL import Image as PILImage

import ooxml_check
from ooxml_check import XDR_NS, check_package, drawing_inventory
from tessel import gridfill
from tessel.gridfill import restore_save

A_NS = "http://schemas.openxmlformats.org/drawingml/2006/main"


def png(color=(200, 30, 30)):
    out = io.BytesIO()
    PILImage.new("RGB", (24, 12), color).save(out, "PNG")
    return out.getvalue()


def load_quietly(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # openpyxl announces what it drops
        return openpyxl.load_workbook(path)


def fill(template, saved, pictures=()):
    """What GridFill does: load, place pictures at cells, save."""
    wb = load_quietly(template)
    for sheet, cell, data in pictures:
        wb[sheet].add_image(Image(io.BytesIO(data)), cell)
    wb.save(saved)
    wb.close()


def pictures_at(path, sheet, col, row):
    """Media bytes of the pictures anchored with their top left corner at (col, row), 0-based."""
    pkg = ooxml_check._Package(path)
    part = next(p for name, p, _ in pkg.sheets() if name == sheet)
    found = []
    for _, drawing in (r for r in pkg.rels(part).values() if r[0].endswith("/drawing")):
        rels = pkg.rels(drawing)
        for anchor in pkg.xml(drawing):
            start = anchor.find(f"{{{XDR_NS}}}from")
            pic = anchor.find(f"{{{XDR_NS}}}pic")
            if start is None or pic is None:
                continue
            if (start.findtext(f"{{{XDR_NS}}}col"), start.findtext(f"{{{XDR_NS}}}row")) == (str(col), str(row)):
                embed = pic.find(f".//{{{A_NS}}}blip").get(f"{{{ooxml_check.R_NS}}}embed")
                found.append(pkg.parts[pkg.lower[rels[embed][1].lower()]])
    return found


def rewrite_zip(src, dst, rename=(), replace=None):
    """Copies a package, renaming entries and replacing (or adding) some contents."""
    rename, replace = dict(rename), dict(replace or {})
    with zipfile.ZipFile(src) as zin, zipfile.ZipFile(dst, "w", zipfile.ZIP_DEFLATED) as zout:
        for info in zin.infolist():
            name = rename.get(info.filename, info.filename)
            data = replace.pop(name, None)
            zout.writestr(name, data if data is not None else zin.read(info))
        for name, data in replace.items():
            zout.writestr(name, data)


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def tree_digest(folder):
    h = hashlib.sha256()
    for root, _, files in sorted(os.walk(folder)):
        for f in sorted(files):
            h.update(os.path.relpath(os.path.join(root, f), folder).encode())
            h.update(digest(os.path.join(root, f)).encode())
    return h.hexdigest()


# A sheet with objects openpyxl drops or rewrites, per real file.
FILLED_SHEETS = [
    pytest.param("poi__WithDrawing.xlsx", "Sheet1", id="pictures-and-text-box"),
    pytest.param("phpss__32readwriteChartWithImages1.xlsx", "Charts", id="chart-and-pictures"),
    pytest.param("phpss__formscomments.xlsx", "M2M Work Request Form", id="form-controls"),
    pytest.param("phpss__formscomments.xlsx", "FormsComments", id="controls-and-comments"),
    pytest.param("poi__WithEmbeded.xlsx", "Sheet1", id="embedded-objects"),
]


@pytest.mark.parametrize("name, sheet", FILLED_SHEETS)
def test_fill_picture_joins_template_objects_at_its_cell(data_dir, tmp_path, name, sheet):
    template = os.path.join(data_dir, "xlsx", name)
    saved = str(tmp_path / "out.xlsx")
    logo = png()
    before = digest(template)
    fill(template, saved, [(sheet, "C3", logo)])
    restore_save(template, saved)

    assert check_package(saved) == []
    expected = drawing_inventory(template)
    expected[sheet]["pictures"] += 1
    assert drawing_inventory(saved) == expected
    assert pictures_at(saved, sheet, 2, 2) == [logo]
    assert digest(template) == before


def test_pictures_on_several_sheets_and_a_sheet_without_drawing(data_dir, tmp_path):
    template = os.path.join(data_dir, "xlsx", "poi__WithDrawing.xlsx")
    saved = str(tmp_path / "out.xlsx")
    red, blue = png((255, 0, 0)), png((0, 0, 255))
    fill(template, saved, [("Sheet1", "H20", red), ("Sheet2", "B2", blue), ("Sheet1", "A1", blue)])
    restore_save(template, saved)
    assert check_package(saved) == []
    assert pictures_at(saved, "Sheet1", 7, 19) == [red]
    # A1 already holds a template picture: the new one lies over it, both kept.
    assert blue in pictures_at(saved, "Sheet1", 0, 0)
    assert len(pictures_at(saved, "Sheet1", 0, 0)) == len(pictures_at(template, "Sheet1", 0, 0)) + 1
    assert pictures_at(saved, "Sheet2", 1, 1) == [blue]
    assert drawing_inventory(saved)["Sheet1"]["pictures"] == drawing_inventory(template)["Sheet1"]["pictures"] + 2


def test_sheets_are_paired_by_name_not_by_part_name(data_dir, tmp_path):
    # Template whose first sheet lives in sheet3.xml: openpyxl saves it as sheet1.xml.
    original = os.path.join(data_dir, "xlsx", "poi__WithDrawing.xlsx")
    template = str(tmp_path / "shuffled.xlsx")
    with zipfile.ZipFile(original) as z:

        def swapped(text):
            return text.replace("sheet1.xml", "@").replace("sheet3.xml", "sheet1.xml").replace("@", "sheet3.xml").encode()

        replace = {n: swapped(z.read(n).decode()) for n in ("xl/_rels/workbook.xml.rels", "[Content_Types].xml")}
    rewrite_zip(original, template, rename={
        "xl/worksheets/sheet1.xml": "xl/worksheets/sheet3.xml",
        "xl/worksheets/sheet3.xml": "xl/worksheets/sheet1.xml",
        "xl/worksheets/_rels/sheet1.xml.rels": "xl/worksheets/_rels/sheet3.xml.rels",
    }, replace=replace)
    assert check_package(template) == []
    saved = str(tmp_path / "out.xlsx")
    fill(template, saved)
    restore_save(template, saved)
    assert check_package(saved) == []
    assert drawing_inventory(saved) == drawing_inventory(original)


def test_comment_drawing_written_by_openpyxl_survives(tmp_path):
    template, saved = str(tmp_path / "t.xlsx"), str(tmp_path / "out.xlsx")
    wb = openpyxl.Workbook()
    ws = wb.active
    ws["A1"] = "note here"
    ws["A1"].comment = Comment("checked", "auditor")
    ws.add_image(Image(io.BytesIO(png((0, 128, 0)))), "D4")
    wb.save(template)
    fill(template, saved, [("Sheet", "B6", png())])
    restore_save(template, saved)
    names = zipfile.ZipFile(saved).namelist()
    assert any(n.startswith("xl/drawings/commentsDrawing") for n in names)
    assert check_package(saved) == []
    assert drawing_inventory(saved) == {"Sheet": {"comments": 1, "pictures": 2}}
    assert openpyxl.load_workbook(saved)["Sheet"]["A1"].comment.text == "checked"


def test_cells_of_a_restored_sheet_are_untouched(tmp_path):
    template, saved = str(tmp_path / "t.xlsx"), str(tmp_path / "out.xlsx")
    wb = openpyxl.Workbook()
    ws = wb.active
    for r in range(1, 200):
        ws.append([r, f"<&> {r} ü", r / 7])
    ws.merge_cells("E1:F2")
    ws.add_image(Image(io.BytesIO(png())), "H2")
    wb.save(template)
    fill(template, saved, [("Sheet", "J5", png((1, 2, 3)))])
    rows = [[c.value for c in row] for row in openpyxl.load_workbook(saved)["Sheet"].iter_rows()]
    restore_save(template, saved)
    assert check_package(saved) == []
    assert [[c.value for c in row] for row in openpyxl.load_workbook(saved)["Sheet"].iter_rows()] == rows


def test_untouched_entries_are_copied_without_recompressing(tmp_path):
    template, saved = str(tmp_path / "t.xlsx"), str(tmp_path / "out.xlsx")
    wb = openpyxl.Workbook()
    wb.active["A1"] = "x"
    wb.save(template)
    fill(template, saved)
    with zipfile.ZipFile(saved) as z:
        before = {i.filename: (i.CRC, i.compress_size) for i in z.infolist()}
    restore_save(template, saved)
    with zipfile.ZipFile(saved) as z:
        assert z.testzip() is None
        assert z.namelist()[0] == "[Content_Types].xml"
        assert {i.filename: (i.CRC, i.compress_size) for i in z.infolist()} == before


def _deep(depth):
    return b"<?xml version='1.0'?><workbook>" + b"<a>" * depth + b"</a>" * depth + b"</workbook>"


HOSTILE = [
    pytest.param("not-zip", "not an Office Open XML package", id="not-a-zip"),
    pytest.param({"../evil.txt": b"owned"}, "unsafe entry name", id="dot-dot-entry"),
    pytest.param({"/abs/evil.txt": b"owned"}, "unsafe entry name", id="absolute-entry"),
    pytest.param({"xl/workbook.xml": _deep(5000)}, "not well-formed XML within safe limits", id="deep-nesting"),
    pytest.param({"xl/workbook.xml": b"<workbook>" + b"x" * 20_000_000 + b"</workbook>"},
                 "not well-formed XML within safe limits", id="huge-text"),
    pytest.param({"xl/workbook.xml": b'<!DOCTYPE w [<!ENTITY a "aaaa">]><workbook>&a;</workbook>'},
                 "DTD", id="entity-declaration"),
]


@pytest.mark.parametrize("side", ["template", "saved"])
@pytest.mark.parametrize("damage, message", HOSTILE)
def test_hostile_package_raises_and_writes_nothing(data_dir, tmp_path, damage, message, side):
    work = tmp_path / "work"
    work.mkdir()
    good = os.path.join(data_dir, "xlsx", "poi__WithDrawing.xlsx")
    template, saved = str(work / "template.xlsx"), str(work / "saved.xlsx")
    fill(good, saved)
    shutil.copyfile(good, template)
    bad = template if side == "template" else saved
    if damage == "not-zip":
        with open(bad, "wb") as f:
            f.write(b"this is a text file, not a workbook\n" * 10)
    else:
        rewrite_zip(good if side == "template" else saved, bad + ".tmp", replace=damage)
        os.replace(bad + ".tmp", bad)
    before = {p: digest(str(work / p)) for p in os.listdir(work)}
    with pytest.raises((ValueError, zipfile.BadZipFile), match=message):
        restore_save(template, saved)
    assert {p: digest(str(work / p)) for p in os.listdir(work)} == before
    assert not (tmp_path / "evil.txt").exists()


def test_missing_template_leaves_saved_file(tmp_path):
    saved = str(tmp_path / "out.xlsx")
    openpyxl.Workbook().save(saved)
    before = digest(saved)
    with pytest.raises(FileNotFoundError):
        restore_save(str(tmp_path / "nope.xlsx"), saved)
    assert digest(saved) == before
    assert os.listdir(tmp_path) == ["out.xlsx"]


def _extract(path, folder):
    with zipfile.ZipFile(path) as z:
        z.extractall(folder)
    return str(folder)


def _pack(folder, path):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for root, _, files in os.walk(folder):
            for f in files:
                full = os.path.join(root, f)
                z.write(full, os.path.relpath(full, folder).replace(os.sep, "/"))


@pytest.mark.parametrize("name", ["phpss__formscomments.xlsx", "poi__WithChartSheet.xlsx", "poi__WithEmbeded.xlsx"])
def test_directory_repairs_in_driver_order_give_the_same_result(data_dir, tmp_path, name):
    template = os.path.join(data_dir, "xlsx", name)
    saved = str(tmp_path / "out.xlsx")
    fill(template, saved)
    src = _extract(template, tmp_path / "template")
    des = _extract(saved, tmp_path / "save")
    src_before = tree_digest(src)
    gridfill.fix_workbook_relationships(src, des)
    gridfill.fix_worksheet_relationships(src_dir=src, des_dir=des)
    gridfill.restore_drawing_tags(src, des)
    gridfill.fix_content_types(src, des)
    assert tree_digest(src) == src_before
    _pack(des, str(tmp_path / "repaired.xlsx"))
    assert check_package(str(tmp_path / "repaired.xlsx")) == []
    assert drawing_inventory(str(tmp_path / "repaired.xlsx")) == drawing_inventory(template)


@pytest.mark.parametrize("repair", [
    gridfill.fix_workbook_relationships, gridfill.fix_worksheet_relationships,
    gridfill.restore_drawing_tags, gridfill.fix_content_types,
], ids=lambda f: f.__name__)
@pytest.mark.parametrize("missing", ["[Content_Types].xml", "xl/worksheets/_rels", "xl/_rels/workbook.xml.rels"])
def test_directory_repair_with_missing_parts_changes_nothing_it_cannot(data_dir, tmp_path, repair, missing):
    template = os.path.join(data_dir, "xlsx", "poi__WithDrawing.xlsx")
    saved = str(tmp_path / "out.xlsx")
    fill(template, saved)
    # What the repair writes given the whole template.
    whole = _extract(saved, tmp_path / "whole")
    repair(_extract(template, tmp_path / "whole-template"), whole)
    src = _extract(template, tmp_path / "template")
    des = _extract(saved, tmp_path / "save")
    before = part_digests(des)
    target = os.path.join(src, *missing.split("/"))
    shutil.rmtree(target) if os.path.isdir(target) else os.remove(target)
    repair(src, des)
    after = part_digests(des)
    # Without its workbook relationships the template has no sheets to pair, nor
    # without its sheet relationships any object to bring: nothing may change.
    # Without its content types the repair does the rest of its work, and leaves
    # the saved declarations alone.
    expected = before
    if missing == "[Content_Types].xml":
        expected = dict(part_digests(whole), **{missing: before[missing]})
    assert after == expected
    _pack(des, str(tmp_path / "repaired.xlsx"))
    load_quietly(str(tmp_path / "repaired.xlsx")).close()


def part_digests(folder):
    return {os.path.relpath(os.path.join(root, f), folder).replace(os.sep, "/"): digest(os.path.join(root, f))
            for root, _, files in os.walk(folder) for f in files}


@pytest.mark.parametrize("repair", [gridfill.restore_save, gridfill.fix_content_types], ids=lambda f: f.__name__)
def test_repairs_require_both_arguments(repair):
    with pytest.raises(TypeError):
        repair("only-one")


def rewrite_without(src, dst, gone):
    with zipfile.ZipFile(src) as zin, zipfile.ZipFile(dst, "w", zipfile.ZIP_DEFLATED) as zout:
        for info in zin.infolist():
            if info.filename != gone:
                zout.writestr(info, zin.read(info))


@pytest.mark.parametrize("gone", [
    pytest.param("xl/media/image4.emf", id="template-picture-without-media"),
    pytest.param("xl/drawings/drawing1.xml", id="template-drawing-part-missing"),
])
def test_template_relationships_to_missing_parts_leave_nothing_dangling(data_dir, tmp_path, gone):
    # openpyxl cannot load such a template; restore_save is also called on its own.
    original = os.path.join(data_dir, "xlsx", "poi__WithDrawing.xlsx")
    template, saved = str(tmp_path / "t.xlsx"), str(tmp_path / "out.xlsx")
    rewrite_without(original, template, gone)
    logo = png()
    fill(original, saved, [("Sheet1", "J12", logo)])
    restore_save(template, saved)
    assert check_package(saved) == []
    assert pictures_at(saved, "Sheet1", 9, 11) == [logo]


def test_failed_replacement_leaves_saved_file_and_no_leftovers(data_dir, tmp_path, monkeypatch):
    template = os.path.join(data_dir, "xlsx", "poi__WithDrawing.xlsx")
    saved = tmp_path / "out.xlsx"
    fill(template, str(saved))
    before = digest(saved)

    def refuse(src, dst):
        raise PermissionError(13, "file in use", str(dst))

    monkeypatch.setattr(os, "replace", refuse)
    with pytest.raises(PermissionError):
        restore_save(template, saved)
    monkeypatch.undo()
    assert digest(saved) == before
    assert os.listdir(tmp_path) == ["out.xlsx"]
    restore_save(template, saved)  # path-like arguments are accepted
    assert check_package(saved) == []
