// Keeps a picture placed on a worksheet within the width of one printed page.
#pragma once

#include <nanobind/nanobind.h>

namespace tessel::page {

namespace nb = nanobind;

// Width in pixels (96 to the inch) that one printed page of the sheet shows
// across: its paper's width (the height in landscape) minus the left and right
// margins, at the print scale.  A sheet that names no paper is printed on
// Letter or A4, so the narrower of the two (A4) is taken.
double printable_width(nb::handle sheet);

// Scales a picture of `width` x `height` EMUs wider than that down to it, keeping
// its aspect.
void fit_extent(nb::handle sheet, long long &width, long long &height);

}  // namespace tessel::page
