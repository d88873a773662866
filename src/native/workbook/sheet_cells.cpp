#include "workbook/sheet_cells.h"

#include "ooxml/numbers.h"
#include "ooxml/xml_text.h"
#include "workbook/references.h"

#include <stdexcept>

namespace tessel::sheets {

using namespace tessel::xml_text;

namespace {

[[noreturn]] void unreadable(const std::string &part, const std::string &why) {
    throw std::invalid_argument("the cell data of " + part + " cannot be read: " + why);
}

// "BC12" as (12, 55); nothing for text that is no single cell of the grid.
bool split_reference(std::string_view ref, long &row, long &column) {
    size_t i = 0;
    long c = 0;
    while (i < ref.size() && ref[i] >= 'A' && ref[i] <= 'Z' && i < 3)
        c = c * 26 + (ref[i++] - 'A' + 1);
    if (i == 0 || i == ref.size())
        return false;
    long r = 0;
    for (size_t k = i; k < ref.size(); ++k) {
        if (ref[k] < '0' || ref[k] > '9' || k - i >= 7)
            return false;
        r = r * 10 + (ref[k] - '0');
    }
    if (r < 1 || r > kMaxRow || c > kMaxColumn)
        return false;
    row = r;
    column = c;
    return true;
}

// Letters then digits, as a reference to a cell past the grid is still written.
bool past_the_grid(std::string_view ref) {
    size_t i = 0;
    while (i < ref.size() && ref[i] >= 'A' && ref[i] <= 'Z')
        ++i;
    if (i == 0 || i == ref.size() || i > 8 || ref.size() - i > 30)
        return false;
    for (size_t k = i; k < ref.size(); ++k)
        if (ref[k] < '0' || ref[k] > '9')
            return false;
    return true;
}

// The text between a start tag's end and the matching end tag of `name`, with
// character data unescaped; `t` elements only when `only_t`, leaving out those
// inside phonetic runs.  Returns where the element ends.
size_t element_text(std::string_view t, size_t from, std::string_view name, bool only_t, std::string &out,
                    const std::string &part) {
    long depth = 1;
    long in_t = 0, in_phonetic = 0;
    size_t at = from;
    while (true) {
        auto piece = next_markup(t, at);
        if (!piece)
            unreadable(part, "an element " + std::string(name) + " never closes");
        const bool take = only_t ? (in_t > 0 && in_phonetic == 0) : depth == 1;
        if (take && piece->begin > at)
            out += unescaped(t.substr(at, piece->begin - at));
        at = piece->end;
        const std::string_view local = local_part(piece->name);
        switch (piece->kind) {
            case Markup::Start:
                ++depth;
                if (local == "t")
                    ++in_t;
                else if (local == "rPh")
                    ++in_phonetic;
                break;
            case Markup::End:
                if (--depth == 0)
                    return piece->end;
                if (local == "t")
                    --in_t;
                else if (local == "rPh")
                    --in_phonetic;
                break;
            case Markup::CData:
                if (take)
                    out.append(t.substr(piece->begin + 9, piece->end - piece->begin - 12));
                break;
            default:
                break;
        }
    }
}

// Skips an element whose start tag ended at `from`; returns where it ends.
size_t skip_element(std::string_view t, size_t from, const std::string &part) {
    long depth = 1;
    for (size_t at = from;;) {
        auto piece = next_markup(t, at);
        if (!piece)
            unreadable(part, "an element never closes");
        at = piece->end;
        if (piece->kind == Markup::Start)
            ++depth;
        else if (piece->kind == Markup::End && --depth == 0)
            return at;
    }
}

// Reads the children of a <c> element whose start tag ended at `from`.
size_t read_cell_body(std::string_view t, size_t from, TemplateCell &cell, const std::string &part) {
    for (size_t at = from;;) {
        auto piece = next_markup(t, at);
        if (!piece)
            unreadable(part, "a cell never closes");
        at = piece->end;
        if (piece->kind == Markup::End)
            return at;
        if (piece->kind != Markup::Start && piece->kind != Markup::Empty)
            continue;
        const std::string_view local = local_part(piece->name);
        const bool empty = piece->kind == Markup::Empty;
        if (local == "f") {
            cell.has_formula = true;
            if (auto tag = read_tag(t, piece->begin, true)) {
                cell.formula_type = value_of(t, tag->find("t"));
                if (const Attribute *si = tag->find("si"))
                    cell.shared_index = (long) ooxml::whole_number(value_of(t, si), ooxml::Bounds{0, 1 << 30})
                                            .value_or(-1);
            }
            if (!empty)
                at = element_text(t, at, local, false, cell.formula, part);
        } else if (local == "v") {
            cell.has_value = true;
            cell.value_begin = piece->begin;
            if (!empty)
                at = element_text(t, at, local, false, cell.value, part);
            cell.value_end = at;
        } else if (local == "is") {
            cell.has_inline = true;
            if (!empty)
                at = element_text(t, at, local, true, cell.inline_text, part);
        } else if (!empty) {
            at = skip_element(t, at, part);
        }
    }
}

}  // namespace

SheetCells read_sheet_cells(std::string text, const std::string &part) {
    SheetCells sheet;
    sheet.text = std::move(text);
    std::string_view t = sheet.text;
    // The sheetData element, found by reading markup in order up to it.
    long depth = 0;
    bool found = false;
    size_t at = 0;
    while (!found) {
        auto piece = next_markup(t, at);
        if (!piece)
            unreadable(part, "the part has no sheetData element");
        at = piece->end;
        if (piece->kind == Markup::Start) {
            if (depth == 0) {
                const std::string_view qname = piece->name;
                sheet.prefix = std::string(qname.substr(0, qname.size() - local_part(qname).size()));
            }
            if (depth == 1 && local_part(piece->name) == "sheetData") {
                sheet.data_open = piece->begin;
                sheet.data_body = piece->end;
                sheet.data_qname = std::string(piece->name);
                found = true;
            }
            ++depth;
        } else if (piece->kind == Markup::Empty && depth == 1 && local_part(piece->name) == "sheetData") {
            sheet.data_open = piece->begin;
            sheet.data_body = piece->end;
            sheet.data_close = std::string_view::npos;
            sheet.data_qname = std::string(piece->name);
            return sheet;
        } else if (piece->kind == Markup::End) {
            --depth;
        }
    }
    long last_row = 0;
    while (true) {
        auto piece = next_markup(t, at);
        if (!piece)
            unreadable(part, "sheetData never closes");
        if (piece->kind == Markup::End) {
            sheet.data_close = piece->begin;
            return sheet;
        }
        at = piece->end;
        if (piece->kind != Markup::Start && piece->kind != Markup::Empty)
            continue;
        if (local_part(piece->name) != "row") {
            if (piece->kind == Markup::Start)
                at = skip_element(t, at, part);
            continue;
        }
        TemplateRow row;
        row.begin = row.tag_begin = piece->begin;
        row.end = row.tag_end = piece->end;
        row.empty_tag = piece->kind == Markup::Empty;
        auto tag = read_tag(t, piece->begin, true);
        std::string_view number = tag ? value_of(t, tag->find("r")) : std::string_view();
        // A row without a number takes its first cell's, or follows the one before.
        row.number = number.empty() ? 0 : (long) ooxml::whole_number(number, kRowNumber).value_or(-1);
        if (row.number == -1 || (row.number && row.number <= last_row))
            unreadable(part, "row " + std::string(number) + " is out of order or outside the sheet");
        row.first_cell = sheet.cells.size();
        long last_column = 0;
        if (!row.empty_tag) {
            while (true) {
                auto inner = next_markup(t, at);
                if (!inner)
                    unreadable(part, "a row never closes");
                at = inner->end;
                if (inner->kind == Markup::End)
                    break;
                if (inner->kind != Markup::Start && inner->kind != Markup::Empty)
                    continue;
                if (local_part(inner->name) != "c") {
                    if (inner->kind == Markup::Start)
                        at = skip_element(t, at, part);
                    continue;
                }
                TemplateCell cell;
                cell.begin = inner->begin;
                auto ctag = read_tag(t, inner->begin, true);
                if (!ctag)
                    unreadable(part, "a cell's tag cannot be read");
                cell.style = value_of(t, ctag->find("s"));
                cell.type = value_of(t, ctag->find("t"));
                long r = row.number ? row.number : last_row + 1, c = last_column + 1;
                if (const Attribute *ref = ctag->find("r")) {
                    cell.ref_begin = ref->begin;
                    cell.ref_end = ref->end;
                    const std::string_view named = value_of(t, ref);
                    if (!split_reference(named, r, c)) {
                        if (!past_the_grid(named))
                            unreadable(part, "a cell is named \"" + std::string(named) + "\"");
                        cell.outside = true;
                        cell.reference = std::string(named);
                        cell.end = inner->kind == Markup::Empty ? at : read_cell_body(t, at, cell, part);
                        at = cell.end;
                        sheet.outside.push_back(std::move(cell));
                        continue;
                    }
                    if (!row.number && r > last_row)
                        row.number = r;
                    if (r != row.number)
                        unreadable(part, "the cell " + std::string(named) + " does not belong in row " +
                                             std::to_string(row.number ? row.number : last_row + 1));
                }
                if (!row.number)
                    row.number = last_row + 1;
                if (c <= last_column || c > kMaxColumn)
                    unreadable(part, "cells of row " + std::to_string(row.number) + " are out of order");
                last_column = c;
                cell.row = r;
                cell.column = c;
                cell.end = inner->kind == Markup::Empty ? at : read_cell_body(t, at, cell, part);
                at = cell.end;
                sheet.cells.push_back(std::move(cell));
            }
            row.end = at;
        }
        if (!row.number)
            row.number = last_row + 1;
        last_row = row.number;
        row.cell_count = sheet.cells.size() - row.first_cell;
        sheet.rows.push_back(row);
    }
}

std::vector<std::string> read_shared_strings(std::string_view t) {
    std::vector<std::string> out;
    for (size_t at = 0;;) {
        auto piece = next_markup(t, at);
        if (!piece)
            return out;
        at = piece->end;
        if (local_part(piece->name) != "si")
            continue;
        if (piece->kind == Markup::Empty) {
            out.emplace_back();
        } else if (piece->kind == Markup::Start) {
            std::string text;
            at = element_text(t, at, "si", true, text, "the shared strings");
            out.push_back(std::move(text));
        }
    }
}

}  // namespace tessel::sheets
