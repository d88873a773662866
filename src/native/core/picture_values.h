// Values that are pictures (tessel.pictures): what a placeholder's value shows
// as a picture, and the placeholder that a template picture's alternative text is.
#pragma once

#include "core/placeholder.h"

#include <utility>

namespace tessel {

// The tessel.pictures.Picture a value stands for (an io.BytesIO, a Picture, a
// matplotlib Figure drawn at its dpi); null for any other value.
nb::object picture_value(nb::handle value);

// The Picture that takes a template picture's place: any other value is refused,
// with safe mode's own reason for a value it holds back.
nb::object picture_for_template(nb::handle value);

// The placeholder that an alternative text is, spaces around it aside; null for
// any other text and for a section's tag.
nb::object alt_placeholder(nb::handle alt, Pattern pattern);

// `width` × `height` scaled to the largest size that fits a box, ratio kept.
std::pair<long long, long long> fitted(long long width, long long height, long long box_width, long long box_height);

}  // namespace tessel
