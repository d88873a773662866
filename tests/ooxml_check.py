"""Checks on .xlsx packages for the tests: package consistency and drawn objects.

`check_package(path)` lists what a strict reader (Excel, the Open XML SDK) would
refuse or repair; `drawing_inventory(path)` counts, per sheet name, the objects a
user sees drawn over each sheet.  `rewrite_part` and `set_inline_text` make test
templates out of real packages.
"""

import collections
import posixpath
import re
import zipfile

from lxml import etree

RELS_NS = "http://schemas.openxmlformats.org/package/2006/relationships"
CT_NS = "http://schemas.openxmlformats.org/package/2006/content-types"
R_NS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
MC_NS = "http://schemas.openxmlformats.org/markup-compatibility/2006"
XDR_NS = "http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing"
MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"

WORKSHEET_ORDER = (
    "sheetPr dimension sheetViews sheetFormatPr cols sheetData sheetCalcPr sheetProtection "
    "protectedRanges scenarios autoFilter sortState dataConsolidate customSheetViews mergeCells "
    "phoneticPr conditionalFormatting dataValidations hyperlinks printOptions pageMargins pageSetup "
    "headerFooter rowBreaks colBreaks customProperties cellWatches ignoredErrors smartTags drawing "
    "legacyDrawing legacyDrawingHF drawingHF picture oleObjects controls webPublishItems tableParts "
    "extLst"
).split()
CHARTSHEET_ORDER = (
    "sheetPr sheetViews sheetProtection customSheetViews pageMargins pageSetup headerFooter drawing "
    "legacyDrawing legacyDrawingHF drawingHF picture webPublishItems extLst"
).split()

INVENTORY_KINDS = (
    "pictures", "shapes", "text boxes", "group shapes", "connectors", "chart frames",
    "comments", "controls", "OLE objects",
)

_GENERATED_PREFIX = re.compile(rb"<(/?)ns\d+:|xmlns:ns\d+=")
_PARSER = etree.XMLParser(resolve_entities=False, no_network=True)


def _local(tag):
    return tag.rsplit("}", 1)[-1] if isinstance(tag, str) else ""


def _rels_path(part):
    folder, name = posixpath.split(part)
    return posixpath.join(folder, "_rels", name + ".rels")


def _resolve(source, target):
    if target.startswith("/"):
        return target.lstrip("/")
    return posixpath.normpath(posixpath.join(posixpath.dirname(source), target))


def _kind(child):
    """Local name of a sheet child; a compatibility wrapper counts as what it wraps."""
    if _local(child.tag) == "AlternateContent":
        for branch in child:
            for inner in branch:
                if isinstance(inner.tag, str):
                    return _local(inner.tag)
    return _local(child.tag)


class _Package:
    def __init__(self, path):
        with zipfile.ZipFile(path) as zf:
            self.parts = {i.filename: zf.read(i) for i in zf.infolist() if not i.filename.endswith("/")}
        self.lower = {name.lower(): name for name in self.parts}

    def has(self, part):
        return part.lower() in self.lower

    def xml(self, part):
        return etree.fromstring(self.parts[self.lower[part.lower()]], _PARSER)

    def rels(self, part):
        """Relationships of a part: {id: (type, resolved target or None if external)}."""
        path = _rels_path(part) if part else "_rels/.rels"
        if not self.has(path):
            return {}
        out = {}
        for rel in self.xml(path).iter(f"{{{RELS_NS}}}Relationship"):
            external = (rel.get("TargetMode") or "").lower() == "external"
            out[rel.get("Id")] = (rel.get("Type", ""), None if external else _resolve(part, rel.get("Target", "")))
        return out

    def sheets(self):
        """(name, part, is_chartsheet) in workbook order."""
        workbook = next((t for ty, t in self.rels("").values() if ty.endswith("/officeDocument")),
                        "xl/workbook.xml")
        rels = self.rels(workbook)
        out = []
        for sheet in self.xml(workbook).iterfind("{*}sheets/{*}sheet"):
            rel = rels.get(sheet.get(f"{{{R_NS}}}id"))
            if rel and rel[1] and self.has(rel[1]):
                out.append((sheet.get("name"), rel[1], rel[0].endswith("/chartsheet")))
        return out


def check_package(path):
    """Problems of the package at `path`; an empty list means clean."""
    pkg = _Package(path)
    problems = []
    parsed = {}
    for name, data in pkg.parts.items():
        if name.lower().endswith((".xml", ".rels")):
            try:
                parsed[name] = etree.fromstring(data, _PARSER)
            except etree.XMLSyntaxError as exc:
                problems.append(f"{name}: not well-formed XML ({exc})")
            if (name.endswith(".rels") or name == "[Content_Types].xml") and _GENERATED_PREFIX.search(data):
                problems.append(f"{name}: generated namespace prefix (ns0:-style)")

    ct = parsed.get("[Content_Types].xml")
    if ct is None:
        problems.append("[Content_Types].xml missing or unreadable")
        defaults, overrides = {}, {}
    else:
        defaults = {d.get("Extension", "").lower(): d.get("ContentType") for d in ct.iter(f"{{{CT_NS}}}Default")}
        overrides = {o.get("PartName", "").lstrip("/").lower(): o.get("ContentType")
                     for o in ct.iter(f"{{{CT_NS}}}Override")}
    for name in pkg.parts:
        if name == "[Content_Types].xml":
            continue
        base = posixpath.basename(name)
        ext = base.rsplit(".", 1)[1].lower() if "." in base else ""
        if name.lower() not in overrides and ext not in defaults:
            problems.append(f"{name}: no content type")
    for part in overrides:
        if part not in pkg.lower:
            problems.append(f"[Content_Types].xml: Override for missing part /{part}")

    for name, root in parsed.items():
        if not name.endswith(".rels"):
            continue
        folder = posixpath.dirname(posixpath.dirname(name))
        source = posixpath.join(folder, posixpath.basename(name)[: -len(".rels")])
        ids = collections.Counter(r.get("Id") for r in root.iter(f"{{{RELS_NS}}}Relationship"))
        problems += [f"{name}: relationship id {i} used {n} times" for i, n in ids.items() if n > 1]
        for rel in root.iter(f"{{{RELS_NS}}}Relationship"):
            if (rel.get("TargetMode") or "").lower() == "external":
                continue
            target = _resolve(source if name != "_rels/.rels" else "", rel.get("Target", ""))
            if not pkg.has(target):
                problems.append(f"{name}: {rel.get('Id')} points at missing part {target}")

    for name, root in parsed.items():
        problems += _undeclared_compat_prefixes(name, root)

    for sheet_name, part, chartsheet in pkg.sheets():
        root = parsed.get(pkg.lower[part.lower()])
        if root is None:
            continue
        rels = pkg.rels(part)
        for el in root.iter():
            for key, value in el.attrib.items():
                if key.startswith(f"{{{R_NS}}}") and value not in rels:
                    problems.append(f"{part}: {_local(el.tag)} refers to unknown relationship {value}")
        order = CHARTSHEET_ORDER if chartsheet else WORKSHEET_ORDER
        ranks = [order.index(k) for k in map(_kind, root) if k in order]
        if ranks != sorted(ranks):
            problems.append(f"{part}: children out of schema order: {[_kind(c) for c in root]}")
    return problems


def _undeclared_compat_prefixes(name, root):
    """Prefixes that mc:Ignorable or mc:Choice/@Requires name must be declared in scope."""
    problems = []
    for el in root.iter():
        if not isinstance(el.tag, str):
            continue
        named = (el.get(f"{{{MC_NS}}}Ignorable") or "").split()
        if el.tag == f"{{{MC_NS}}}Choice":
            named += (el.get("Requires") or "").split()
        problems += [f"{name}: prefix {p} named by markup compatibility is not declared"
                     for p in named if p not in el.nsmap]
    return problems


def _outside_fallback(root, tag):
    return [el for el in root.iter(tag)
            if not any(_local(a.tag) == "Fallback" and a.tag.startswith(f"{{{MC_NS}}}") for a in el.iterancestors())]


def drawing_inventory(path):
    """Per sheet name, a Counter of the drawn objects of INVENTORY_KINDS."""
    pkg = _Package(path)
    inventory = {}
    for sheet_name, part, _ in pkg.sheets():
        counts = collections.Counter()
        root = pkg.xml(part)
        rels = pkg.rels(part)
        for child in root:
            kind = _kind(child)
            ids = [v for el in child.iter() for k, v in el.attrib.items() if k.startswith(f"{{{R_NS}}}")]
            targets = [rels[i][1] for i in ids if i in rels and rels[i][1] and pkg.has(rels[i][1])]
            if kind == "drawing" and targets:
                drawing = pkg.xml(targets[0])
                counts["pictures"] += len(_outside_fallback(drawing, f"{{{XDR_NS}}}pic"))
                counts["group shapes"] += len(_outside_fallback(drawing, f"{{{XDR_NS}}}grpSp"))
                counts["connectors"] += len(_outside_fallback(drawing, f"{{{XDR_NS}}}cxnSp"))
                counts["chart frames"] += len(_outside_fallback(drawing, f"{{{XDR_NS}}}graphicFrame"))
                for sp in _outside_fallback(drawing, f"{{{XDR_NS}}}sp"):
                    box = sp.find(f"{{{XDR_NS}}}nvSpPr/{{{XDR_NS}}}cNvSpPr")
                    counts["text boxes" if box is not None and box.get("txBox") in ("1", "true") else "shapes"] += 1
            elif kind == "legacyDrawing" and targets:
                vml = pkg.parts[pkg.lower[targets[0].lower()]]
                # Notes are comment boxes, Picts the previews of embedded objects.
                counts["vml controls"] += sum(
                    1 for t in re.findall(rb'ObjectType="([^"]*)"', vml) if t not in (b"Note", b"Pict")
                )
            elif kind == "controls":
                counts["controls"] += len(_outside_fallback(child, "{*}control"))
            elif kind == "oleObjects":
                counts["OLE objects"] += len(_outside_fallback(child, "{*}oleObject"))
        # Form controls show up both in <controls> and in the VML; count them once.
        vml_controls = counts.pop("vml controls", 0)
        if not counts["controls"]:
            counts["controls"] += vml_controls
        for ty, target in rels.values():
            if ty.endswith("/comments") and target and pkg.has(target):
                counts["comments"] += len(pkg.xml(target).findall("{*}commentList/{*}comment"))
        inventory[sheet_name] = +counts
    return inventory


def rewrite_part(src, dst, part, edit, drop=()):
    """Copies a package, letting `edit` change the parsed root of one XML part in place.

    Parts named in `drop` are left out.  `dst` may be `src`.
    """
    with zipfile.ZipFile(src) as zin:
        entries = [(item, zin.read(item.filename)) for item in zin.infolist()]
    with zipfile.ZipFile(dst, "w", zipfile.ZIP_DEFLATED) as zout:
        for item, data in entries:
            if item.filename in drop:
                continue
            if item.filename == part:
                root = etree.fromstring(data)
                edit(root)
                data = etree.tostring(root, xml_declaration=True, encoding="UTF-8", standalone=True)
            zout.writestr(item, data)


def set_inline_text(cell, text):
    """Makes a sheet's <c> element hold `text` as an inline string."""
    cell.set("t", "inlineStr")
    etree.SubElement(etree.SubElement(cell, f"{{{MAIN_NS}}}is"), f"{{{MAIN_NS}}}t").text = text
