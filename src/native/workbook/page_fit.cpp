#include "workbook/page_fit.h"

#include "core/placeholder.h"
#include "ooxml/numbers.h"

#include <algorithm>
#include <cmath>

namespace tessel::page {

namespace {

struct Paper {
    double width, height;  // inches
};

constexpr double kMm = 1.0 / 25.4;
constexpr double kPixelsPerInch = 96.0;
constexpr Paper kDefaultPaper{210 * kMm, 297 * kMm};

// The paper sizes a pageSetup element names by number.  The code is compared as
// read, never cast: a file may give any number.
bool paper_of(double code, Paper &paper) {
    static const struct {
        long code;
        Paper paper;
    } papers[] = {
        {1, {8.5, 11}},   {2, {8.5, 11}},    {3, {11, 17}},     {4, {17, 11}},    {5, {8.5, 14}},
        {6, {5.5, 8.5}},  {7, {7.25, 10.5}}, {8, {297 * kMm, 420 * kMm}},     {9, {210 * kMm, 297 * kMm}},
        {10, {210 * kMm, 297 * kMm}},        {11, {148 * kMm, 210 * kMm}},     {12, {250 * kMm, 353 * kMm}},
        {13, {176 * kMm, 250 * kMm}},        {14, {8.5, 13}},  {15, {215 * kMm, 275 * kMm}},
        {16, {10, 14}},   {17, {11, 17}},    {18, {8.5, 11}},   {19, {3.875, 8.875}},
        {20, {4.125, 9.5}},                  {21, {4.5, 10.375}},                {22, {4.75, 11}},
        {23, {5, 11.5}},  {24, {17, 22}},    {25, {22, 34}},    {26, {34, 44}},
        {27, {110 * kMm, 220 * kMm}},        {28, {162 * kMm, 229 * kMm}},     {29, {324 * kMm, 458 * kMm}},
        {30, {229 * kMm, 324 * kMm}},        {31, {114 * kMm, 162 * kMm}},     {32, {114 * kMm, 229 * kMm}},
        {33, {250 * kMm, 353 * kMm}},        {34, {176 * kMm, 250 * kMm}},     {35, {176 * kMm, 125 * kMm}},
        {36, {110 * kMm, 230 * kMm}},        {37, {3.875, 7.5}},                {38, {3.625, 6.5}},
        {39, {14.875, 11}},                  {40, {8.5, 12}},  {41, {8.5, 13}},
        {42, {250 * kMm, 353 * kMm}},        {43, {200 * kMm, 148 * kMm}},     {44, {9, 11}},
        {45, {10, 11}},   {46, {15, 11}},    {47, {220 * kMm, 220 * kMm}},     {50, {9.275, 12}},
        {51, {9.275, 15}},                   {52, {11.69, 18}},                 {53, {236 * kMm, 322 * kMm}},
        {54, {8.275, 11}},                   {55, {210 * kMm, 297 * kMm}},     {56, {9.275, 12}},
        {57, {227 * kMm, 356 * kMm}},        {58, {305 * kMm, 487 * kMm}},     {59, {8.5, 12.69}},
        {60, {210 * kMm, 330 * kMm}},        {61, {148 * kMm, 210 * kMm}},     {62, {182 * kMm, 257 * kMm}},
        {63, {322 * kMm, 445 * kMm}},        {64, {174 * kMm, 235 * kMm}},     {65, {201 * kMm, 276 * kMm}},
        {66, {420 * kMm, 594 * kMm}},        {67, {297 * kMm, 420 * kMm}},     {68, {322 * kMm, 445 * kMm}},
    };
    for (const auto &p : papers)
        if (static_cast<double>(p.code) == code) {
            paper = p.paper;
            return true;
        }
    return false;
}

// A number attribute of an openpyxl object; `fallback` when it is unset or no number.
double number(nb::handle owner, const char *name, double fallback) {
    if (owner.is_none())
        return fallback;
    nb::object value = nb::getattr(owner, name, nb::none());
    if (value.is_none())
        return fallback;
    const double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return fallback;
    }
    return std::isfinite(d) ? d : fallback;
}

}  // namespace

double printable_width(nb::handle sheet) {
    nb::object setup = nb::getattr(sheet, "page_setup", nb::none());
    Paper paper = kDefaultPaper;
    const double code = number(setup, "paperSize", 0);
    if (code > 0 && !paper_of(code, paper))
        paper = kDefaultPaper;
    nb::object orientation = setup.is_none() ? nb::none() : nb::getattr(setup, "orientation", nb::none());
    const double across = nb::str("landscape").equal(orientation) ? paper.height : paper.width;

    nb::object margins = nb::getattr(sheet, "page_margins", nb::none());
    double inches = across - std::max(0.0, number(margins, "left", 0.75)) - std::max(0.0, number(margins, "right", 0.75));
    if (inches <= 0)
        inches = across;

    // A sheet printed at a scale fits more of itself across a page; one that is
    // fitted to pages is scaled by the printer to whatever it holds.
    nb::object properties = nb::getattr(sheet, "sheet_properties", nb::none());
    nb::object fitting = properties.is_none() ? nb::none() : nb::getattr(properties, "pageSetUpPr", nb::none());
    const bool fitted = !fitting.is_none() && tessel::truthy(nb::getattr(fitting, "fitToPage", nb::none()));
    const double scale = number(setup, "scale", 100);
    if (!fitted && scale >= 10 && scale <= 400)
        inches *= 100.0 / scale;
    return inches * kPixelsPerInch;
}

void fit_extent(nb::handle sheet, long long &width, long long &height) {
    using ooxml::kEmuPerPixel;
    const double limit = printable_width(sheet);
    if (width <= 0 || (double) width / kEmuPerPixel <= limit)
        return;
    const double k = limit * kEmuPerPixel / (double) width;
    width = (long long) std::floor(limit) * kEmuPerPixel;
    // A picture is never taller than a drawing can be, whatever size it claims.
    height = std::clamp(std::llround(std::min((double) height * k, (double) ooxml::kMaxLength)), 1LL, ooxml::kMaxLength);
}

}  // namespace tessel::page
