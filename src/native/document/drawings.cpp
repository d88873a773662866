#include "document/drawings.h"

#include "document/text.h"

namespace tessel::wordml {

namespace {

const std::string kWp = "{http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing}";
const std::string kA = "{http://schemas.openxmlformats.org/drawingml/2006/main}";
const std::string kPic = "{http://schemas.openxmlformats.org/drawingml/2006/picture}";
const std::string kR = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}";
const std::string kMc = "{http://schemas.openxmlformats.org/markup-compatibility/2006}";

bool has_tag(nb::handle el, const std::string &tag) {
    nb::object t = el.attr("tag");
    return PyUnicode_Check(t.ptr()) && nb::cast<std::string>(t) == tag;
}

void add_drawing(nb::handle drawing, std::vector<Drawing> &out) {
    for (nb::handle frame : children(drawing)) {
        if (!has_tag(frame, kWp + "inline") && !has_tag(frame, kWp + "anchor"))
            continue;
        nb::object doc_pr = frame.attr("find")(kWp + "docPr");
        if (doc_pr.is_none())
            return;
        nb::object pic = frame.attr("find")(kA + "graphic/" + kA + "graphicData/" + kPic + "pic");
        out.push_back(Drawing{nb::borrow(frame), doc_pr, pic});
        return;
    }
}

nb::object picture_properties(const Drawing &drawing) {
    if (drawing.pic.is_none())
        return nb::none();
    return drawing.pic.attr("find")(kPic + "nvPicPr/" + kPic + "cNvPr");
}

long long emu(nb::handle el, const char *name) {
    if (el.is_none())
        return 0;
    nb::object v = el.attr("get")(name);
    if (v.is_none())
        return 0;
    return ooxml::whole_number(nb::cast<std::string>(v), ooxml::kSize).value_or(0);
}

void set_size(nb::handle el, long long cx, long long cy) {
    el.attr("set")("cx", nb::str(nb::int_(cx)));
    el.attr("set")("cy", nb::str(nb::int_(cy)));
}

nb::object text_or_empty(nb::handle el, const char *name) {
    nb::object v = el.attr("get")(name);
    return v.is_none() ? nb::str("") : v;
}

}  // namespace

std::vector<Drawing> drawings_of(nb::handle p) {
    std::vector<Drawing> out;
    const std::string drawing = qn("drawing");
    // Most paragraphs hold none: one search in lxml tells.
    nb::object any = nb::steal(PyIter_Next(p.attr("iter")(drawing).ptr()));
    if (!any.is_valid()) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return out;
    }
    for (const nb::object &r : runs_of(p))
        for (nb::handle child : children(r)) {
            if (has_tag(child, drawing)) {
                add_drawing(child, out);
            } else if (has_tag(child, kMc + "AlternateContent")) {
                // What Word shows; the fallback repeats it for older readers.
                nb::object choice = child.attr("find")(kMc + "Choice");
                if (!choice.is_none())
                    for (nb::handle el : children(choice))
                        if (has_tag(el, drawing))
                            add_drawing(el, out);
            }
        }
    return out;
}

nb::object alt_text(const Drawing &drawing) { return text_or_empty(drawing.doc_pr, "descr"); }

nb::object drawing_name(const Drawing &drawing) { return text_or_empty(drawing.doc_pr, "name"); }

void set_alt_text(const Drawing &drawing, nb::handle text) {
    const bool empty = PyUnicode_GET_LENGTH(text.ptr()) == 0;
    const nb::object own = picture_properties(drawing);
    for (nb::handle el : {nb::handle(drawing.doc_pr), nb::handle(own)}) {
        if (el.is_none())
            continue;
        if (empty)
            el.attr("attrib").attr("pop")("descr", nb::none());
        else
            el.attr("set")("descr", text);
    }
}

std::pair<long long, long long> extent_of(const Drawing &drawing) {
    nb::object extent = drawing.frame.attr("find")(kWp + "extent");
    return {emu(extent, "cx"), emu(extent, "cy")};
}

std::vector<nb::object> swap_picture(const Drawing &drawing, nb::handle rId, long long cx, long long cy) {
    std::vector<nb::object> old;
    nb::object fill = drawing.pic.attr("find")(kPic + "blipFill");
    if (fill.is_none()) {
        fill = drawing.pic.attr("makeelement")(kPic + "blipFill");
        nb::object nv = drawing.pic.attr("find")(kPic + "nvPicPr");
        if (nv.is_none())
            drawing.pic.attr("insert")(0, fill);
        else
            nv.attr("addnext")(fill);
    }
    nb::object blip = fill.attr("find")(kA + "blip");
    if (blip.is_none()) {
        blip = fill.attr("makeelement")(kA + "blip");
        fill.attr("insert")(0, blip);
    }
    for (nb::handle el : blip.attr("iter")())
        for (nb::handle item : el.attr("attrib").attr("items")())
            if (nb::cast<std::string>(item[0]).rfind(kR, 0) == 0)
                old.push_back(nb::borrow(item[1]));
    // Other versions of the old picture (an SVG, a linked original) would show
    // in its place, and its crop would cut the new one.
    for (nb::handle el : children(blip))
        if (has_tag(el, kA + "extLst"))
            blip.attr("remove")(el);
    blip.attr("attrib").attr("pop")(kR + "link", nb::none());
    blip.attr("set")(kR + "embed", rId);
    nb::object crop = fill.attr("find")(kA + "srcRect");
    if (!crop.is_none())
        fill.attr("remove")(crop);

    nb::object extent = drawing.frame.attr("find")(kWp + "extent");
    if (!extent.is_none())
        set_size(extent, cx, cy);
    nb::object ext = drawing.pic.attr("find")(kPic + "spPr/" + kA + "xfrm/" + kA + "ext");
    if (!ext.is_none())
        set_size(ext, cx, cy);
    return old;
}

}  // namespace tessel::wordml
