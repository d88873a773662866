// Pictures of a paragraph as DrawingML holds them: the w:drawing elements of its
// runs, each one's frame (wp:inline or wp:anchor), its alternative text and its
// picture, and the swap of one picture for another within the same box.
#pragma once

#include "document/wordml.h"

#include <string>
#include <vector>

namespace tessel::wordml {

struct Drawing {
    nb::object frame;  // wp:inline or wp:anchor
    nb::object doc_pr;  // wp:docPr
    nb::object pic;    // pic:pic, or None for a shape, chart or group
};

// The drawings of the paragraph's runs, in reading order; not those of the
// paragraphs of text boxes it holds, which are theirs.
std::vector<Drawing> drawings_of(nb::handle p);

// The alternative text of a drawing ("" when it has none), and the drawing's
// name ("" when it has none).
nb::object alt_text(const Drawing &drawing);
nb::object drawing_name(const Drawing &drawing);

// Sets the alternative text (on wp:docPr and the picture's own properties);
// an empty text removes it.
void set_alt_text(const Drawing &drawing, nb::handle text);

// The box of a drawing in EMUs (wp:extent), 0 × 0 when it gives none.
std::pair<long long, long long> extent_of(const Drawing &drawing);

// Shows the picture of relationship `rId` in a picture drawing, `cx` × `cy` EMUs,
// where the old one stood: its crop and the extensions that point at other
// versions of it (an SVG beside the PNG) go.  Returns the relationship ids the
// old picture used.
std::vector<nb::object> swap_picture(const Drawing &drawing, nb::handle rId, long long cx, long long cy);

}  // namespace tessel::wordml
