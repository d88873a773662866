// The picture writer on its own, for tests of its package and XML rules.
#include "ooxml/xml_text.h"
#include "workbook/sheet_pictures.h"

#include <nanobind/stl/optional.h>

namespace tessel::pictures {

using namespace nb::literals;
using namespace tessel::xml_text;

namespace {

// Where a worksheet's text is split around its cell data: just past </sheetData>
// (or <sheetData/>), and the worksheet element's own prefix.
struct Split {
    size_t at;
    std::string prefix;
};

Split split_sheet(std::string_view text) {
    std::string prefix;
    long depth = 0;
    for (auto piece = next_markup(text, 0); piece; piece = next_markup(text, piece->end)) {
        if (piece->kind == Markup::Start || piece->kind == Markup::Empty) {
            if (depth == 0) {
                size_t colon = piece->name.find(':');
                prefix = colon == std::string_view::npos ? "" : std::string(piece->name.substr(0, colon + 1));
            }
            if (depth == 1 && piece->kind == Markup::Empty && local_part(piece->name) == "sheetData")
                return Split{piece->end, prefix};
            if (piece->kind == Markup::Start)
                ++depth;
        } else if (piece->kind == Markup::End) {
            if (--depth == 1 && local_part(piece->name) == "sheetData")
                return Split{piece->end, prefix};
        }
    }
    throw nb::value_error("the sheet part holds no sheetData element");
}

}  // namespace

void def_picture_hooks(nb::module_ &m) {
    // pictures: (picture bytes, anchor) pairs, the anchor a cell name or an openpyxl anchor.
    m.def(
        "_add_pictures",
        [](nb::handle template_path, nb::handle target, const std::string &sheet_part, nb::handle pictures) {
            ooxml::Package pkg = ooxml::Package::from_zip(template_path, "template workbook");
            nb::object image_cls = nb::module_::import_("openpyxl.drawing.image").attr("Image");
            nb::object bytes_io = nb::module_::import_("io").attr("BytesIO");
            nb::list images;
            for (nb::handle pair : pictures) {
                nb::object image = image_cls(bytes_io(pair[0]));
                image.attr("anchor") = pair[1];
                images.append(image);
            }
            std::optional<std::string> rid = add_pictures(pkg, sheet_part, images);
            if (rid) {
                nb::bytes data = pkg.read(sheet_part);
                std::string_view text(data.c_str(), data.size());
                Split split = split_sheet(text);
                std::string out(text.substr(0, split.at));
                out += with_drawing_element(text.substr(split.at), *rid, split.prefix, text.substr(0, split.at));
                pkg.write(sheet_part, nb::bytes(out.data(), out.size()));
            }
            pkg.commit(target);
            return rid;
        },
        "template"_a, "target"_a, "sheet_part"_a, "pictures"_a,
        nb::sig("def _add_pictures(template: str, target: str, sheet_part: str, "
                "pictures: list[tuple[bytes, typing.Any]]) -> str | None"));
    m.def(
        "_with_drawing_element",
        [](const std::string &tail, const std::string &rid, const std::string &prefix, const std::string &head) {
            return with_drawing_element(tail, rid, prefix, head);
        },
        "tail"_a, "rid"_a, "prefix"_a, "head"_a = "",
        nb::sig("def _with_drawing_element(tail: str, rid: str, prefix: str, head: str = '') -> str"));
}

}  // namespace tessel::pictures
