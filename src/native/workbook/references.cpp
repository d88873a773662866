#include "workbook/references.h"

#include <algorithm>
#include <utility>

namespace tessel::sheets {

namespace {

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Characters that run together into one name, number or reference token; sheet
// names may hold any letter, so every byte of a multi-byte character counts.
bool is_name_char(char c) {
    return is_letter(c) || is_digit(c) || c == '_' || c == '.' || c == '\\' || c == '$' || c == '?' ||
           static_cast<unsigned char>(c) >= 0x80;
}

// One end of an area: "$B$4", "B4", "B", "$4".  `kind` says which parts it has.
enum class Kind { Cell, Column, Row };

std::optional<std::pair<Point, Kind>> parse_point(std::string_view s) {
    Point p;
    size_t i = 0;
    if (i < s.size() && s[i] == '$') {
        p.column_fixed = true;
        ++i;
    }
    size_t letters = i;
    while (i < s.size() && is_letter(s[i]))
        ++i;
    letters = i - letters;
    if (letters > 3)
        return std::nullopt;
    if (letters) {
        long column = 0;
        for (size_t j = i - letters; j < i; ++j)
            column = column * 26 + ((s[j] | 0x20) - 'a' + 1);
        if (column > kMaxColumn)
            return std::nullopt;
        p.column = column;
    }
    if (i < s.size() && s[i] == '$') {
        if (!letters)
            return std::nullopt;  // "$$4"
        p.row_fixed = true;
        ++i;
    }
    size_t digits = i;
    long row = 0;
    while (i < s.size() && is_digit(s[i])) {
        row = row * 10 + (s[i] - '0');
        if (row > kMaxRow)
            return std::nullopt;
        ++i;
    }
    digits = i - digits;
    if (i != s.size() || (!letters && !digits))
        return std::nullopt;
    if (digits) {
        if (row == 0)
            return std::nullopt;
        p.row = row;
    }
    if (!letters) {
        // "$4" read its "$" as the column's: it fixes the row.
        p.row_fixed = p.column_fixed;
        p.column_fixed = false;
        return std::make_pair(p, Kind::Row);
    }
    if (!digits) {
        if (p.row_fixed)
            return std::nullopt;  // "B$"
        return std::make_pair(p, Kind::Column);
    }
    return std::make_pair(p, Kind::Cell);
}

std::string format_point(const Point &p) {
    std::string out;
    if (p.column) {
        if (p.column_fixed)
            out += '$';
        out += column_letters(p.column);
    }
    if (p.row) {
        if (p.row_fixed)
            out += '$';
        out += std::to_string(p.row);
    }
    return out;
}

// One insertion over a span of rows [first, last]; a span that lay wholly in
// deleted rows comes out past the sheet.
std::pair<long, long> span_over(long first, long last, const Insertion &ins, Growth growth) {
    if (ins.count < 0) {
        const long top = ins.row + 1, bottom = ins.row - ins.count;
        if (first >= top && last <= bottom)
            return {kMaxRow + 1, kMaxRow + 1};
        const long a = first < top ? first : first <= bottom ? top : first + ins.count;
        const long b = last < top ? last : last <= bottom ? top - 1 : last + ins.count;
        return {a, b};
    }
    long a = first > ins.row ? first + ins.count : first;
    bool grows = growth == Growth::Block ? last >= ins.row : last > ins.row;
    long b = grows ? last + ins.count : last;
    return {a, b};
}

}  // namespace

std::string column_letters(long column) {
    std::string letters;
    for (long c = column; c > 0; c = (c - 1) / 26)
        letters.insert(letters.begin(), static_cast<char>('A' + (c - 1) % 26));
    return letters;
}

std::optional<Area> parse_area(std::string_view text) {
    size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        auto p = parse_point(text);
        if (!p || p->second != Kind::Cell)
            return std::nullopt;
        return Area{p->first, p->first, false};
    }
    auto a = parse_point(text.substr(0, colon));
    auto b = parse_point(text.substr(colon + 1));
    if (!a || !b || a->second != b->second)
        return std::nullopt;
    return Area{a->first, b->first, true};
}

std::string format_area(const Area &area) {
    if (!area.range)
        return format_point(area.first);
    return format_point(area.first) + ":" + format_point(area.last);
}

long moved_row(long row, const Insertions &insertions) {
    for (const Insertion &ins : insertions) {
        if (row <= ins.row)
            continue;
        if (ins.count < 0 && row <= ins.row - ins.count)
            return 0;
        row += ins.count;
    }
    return row > kMaxRow ? 0 : row;
}

long original_row(long row, const Insertions &insertions) {
    for (auto it = insertions.rbegin(); it != insertions.rend(); ++it) {
        if (it->count < 0) {
            if (row > it->row)
                row -= it->count;
        } else if (row > it->row + it->count)
            row -= it->count;
        else if (row > it->row)
            return 0;
    }
    return row;
}

std::optional<Area> moved_area(Area area, const Insertions &insertions, Growth growth) {
    if (area.first.row == 0)
        return area;  // whole columns
    if (!area.range) {
        long row = moved_row(area.first.row, insertions);
        if (!row)
            return std::nullopt;
        area.first.row = area.last.row = row;
        return area;
    }
    // Written either way round ("B9:B4"), a range covers the same rows.
    const bool reversed = area.first.row > area.last.row;
    long first = std::min(area.first.row, area.last.row), last = std::max(area.first.row, area.last.row);
    for (const Insertion &ins : insertions) {
        std::tie(first, last) = span_over(first, last, ins, growth);
        if (first > kMaxRow)
            break;
    }
    if (first > kMaxRow)
        return std::nullopt;
    last = std::min(last, kMaxRow);
    area.first.row = reversed ? last : first;
    area.last.row = reversed ? first : last;
    return area;
}

std::string moved_area_list(std::string_view list, const Insertions &insertions, Growth growth) {
    std::string out;
    size_t at = 0;
    while (at < list.size()) {
        size_t end = list.find(' ', at);
        if (end == std::string_view::npos)
            end = list.size();
        std::string_view item = list.substr(at, end - at);
        at = end + 1;
        if (item.empty())
            continue;
        std::string text(item);
        if (auto area = parse_area(item)) {
            // A single cell of a range list is a range of one cell.
            area->range = true;
            const bool single = area->first.row == area->last.row && area->first.column == area->last.column;
            auto moved = moved_area(*area, insertions, growth);
            if (!moved)
                continue;
            if (single && moved->first.row == moved->last.row)
                moved->range = false;
            text = format_area(*moved);
        }
        if (!out.empty())
            out += ' ';
        out += text;
    }
    return out;
}

namespace {

// Walks a formula's tokens and hands each reference to `visit`, which returns
// the text to put in its place, or nothing to keep it.
class FormulaScanner {
public:
    using Visit = std::function<std::optional<std::string>(std::string_view sheet, const Area &area)>;
    // Given the name of a sheet of this workbook that a reference starts with, the
    // text that takes the place of "Name!" or "'Name'!", if any.
    using SheetVisit = std::function<std::optional<std::string>(std::string_view sheet)>;

    FormulaScanner(std::string_view s, Visit visit, SheetVisit sheet_visit = nullptr)
        : s_(s), visit_(std::move(visit)), sheet_visit_(std::move(sheet_visit)) {}

    std::optional<std::string> run() {
        size_t i = 0;
        while (i < s_.size()) {
            const char c = s_[i];
            if (c == '"') {
                i = after_closing(i);
            } else if (c == '#') {
                i = after_error(i);
            } else if (c == '[') {
                // "[1]Sheet1!A1": a reference into another workbook.
                size_t j = after_brackets(i);
                size_t k = after_run(j);
                if (k < s_.size() && s_[k] == '!')
                    j = reference(k + 1, std::string_view(), true);
                i = j;
            } else if (c == '\'') {
                size_t j = after_closing(i);
                if (j < s_.size() && s_[j] == '!') {
                    std::string sheet = unquoted(s_.substr(i + 1, j - i - 2));
                    // Sheet names hold neither "[" nor ":": those name other
                    // workbooks and spans of sheets.
                    bool foreign = sheet.find_first_of("[:") != std::string::npos;
                    if (!foreign)
                        prefix(i, j + 1, sheet);
                    i = reference(j + 1, sheet, foreign);
                } else {
                    i = j;
                }
            } else if (is_name_char(c)) {
                size_t j = after_run(i);
                if (j < s_.size() && s_[j] == '!') {
                    prefix(i, j + 1, s_.substr(i, j - i));
                    i = reference(j + 1, s_.substr(i, j - i), false);
                } else if (j < s_.size() && s_[j] == ':' && sheet_span(j)) {
                    i = reference(after_run(j + 1) + 1, std::string_view(), true);
                } else if (j < s_.size() && (s_[j] == '(' || s_[j] == '[')) {
                    i = j;  // a function, or a table's name
                } else {
                    i = reference(i, std::string_view(), false);
                }
            } else {
                ++i;
            }
        }
        if (!changed_)
            return std::nullopt;
        out_.append(s_.substr(copied_));
        return std::move(out_);
    }

private:
    // Just past the quote that closes the one at `i` ('"' for a string, "'" for a
    // sheet name); a doubled quote stands for itself.
    size_t after_closing(size_t i) const {
        const char quote = s_[i];
        for (++i; i < s_.size(); ++i)
            if (s_[i] == quote) {
                if (i + 1 < s_.size() && s_[i + 1] == quote)
                    ++i;
                else
                    return i + 1;
            }
        return s_.size();
    }

    static std::string unquoted(std::string_view quoted) {
        std::string out;
        for (size_t i = 0; i < quoted.size(); ++i) {
            out += quoted[i];
            if (quoted[i] == '\'' && i + 1 < quoted.size() && quoted[i + 1] == '\'')
                ++i;
        }
        return out;
    }

    // Brackets nest in structured references; "'" escapes the next character.
    size_t after_brackets(size_t i) const {
        size_t depth = 0;
        for (; i < s_.size(); ++i) {
            if (s_[i] == '\'') {
                ++i;
            } else if (s_[i] == '[') {
                ++depth;
            } else if (s_[i] == ']' && --depth == 0) {
                return i + 1;
            }
        }
        return s_.size();
    }

    // An error value (#REF!, #DIV/0!, #N/A...), or a lone "#" (a spill reference).
    size_t after_error(size_t i) const {
        static const char *const kErrors[] = {"#NULL!",  "#DIV/0!",    "#VALUE!",  "#REF!",    "#NAME?",
                                              "#NUM!",   "#N/A",       "#SPILL!",  "#CALC!",   "#FIELD!",
                                              "#BLOCKED!", "#CONNECT!", "#BUSY!",  "#UNKNOWN!", "#GETTING_DATA"};
        for (const char *error : kErrors) {
            std::string_view e(error);
            if (s_.size() - i >= e.size() && std::equal(e.begin(), e.end(), s_.begin() + (std::ptrdiff_t) i,
                                                          [](char a, char b) { return a == (b & ~0x20) || a == b; }))
                return i + e.size();
        }
        return i + 1;
    }

    size_t after_run(size_t i) const {
        while (i < s_.size() && is_name_char(s_[i]))
            ++i;
        return i;
    }

    // "Sheet1:Sheet3!" starting at the run before `colon`.
    bool sheet_span(size_t colon) const {
        size_t k = after_run(colon + 1);
        return k > colon + 1 && k < s_.size() && s_[k] == '!';
    }

    // The sheet prefix s_[begin, end) of a reference, "Name!" or "'Name'!".
    void prefix(size_t begin, size_t end, std::string_view sheet) {
        if (!sheet_visit_)
            return;
        if (auto text = sheet_visit_(sheet))
            replace(begin, end, *text);
    }

    void replace(size_t begin, size_t end, const std::string &text) {
        out_.append(s_.substr(copied_, begin - copied_));
        out_ += text;
        copied_ = end;
        changed_ = true;
    }

    // A reference starting at `i`, if there is one: a range "B4:C5", "4:4", "B:B",
    // or a single cell.  Returns where scanning goes on.
    size_t reference(size_t i, std::string_view sheet, bool foreign) {
        size_t j = after_run(i);
        if (j == i)
            return i;
        std::optional<Area> area;
        size_t end = j;
        if (j < s_.size() && s_[j] == ':') {
            size_t k = after_run(j + 1);
            if (k > j + 1 && (k >= s_.size() || (s_[k] != '(' && s_[k] != '!' && s_[k] != '['))) {
                area = parse_area(s_.substr(i, k - i));
                if (area)
                    end = k;
            }
        }
        if (!area && (j >= s_.size() || (s_[j] != '(' && s_[j] != '[')))
            area = parse_area(s_.substr(i, j - i));
        if (!area)
            return j;
        if (!foreign)
            if (auto text = visit_(sheet, *area))
                replace(i, end, *text);
        return end;
    }

    std::string_view s_;
    Visit visit_;
    SheetVisit sheet_visit_;
    std::string out_;
    size_t copied_ = 0;
    bool changed_ = false;
};

}  // namespace

std::optional<std::string> moved_formula(std::string_view formula, const SheetLookup &lookup,
                                         bool cells_are_ranges) {
    FormulaScanner scanner(formula, [&](std::string_view sheet, const Area &area) -> std::optional<std::string> {
        const Insertions *insertions = lookup(sheet);
        if (!insertions || insertions->empty())
            return std::nullopt;
        Area given = area;
        given.range |= cells_are_ranges;
        auto moved = moved_area(given, *insertions, Growth::Block);
        if (!moved)
            return std::string("#REF!");
        if (moved->first.row == area.first.row && moved->last.row == area.last.row)
            return std::nullopt;
        if (!area.range && moved->first.row == moved->last.row)
            moved->range = false;
        return format_area(*moved);
    });
    return scanner.run();
}

namespace {

// The formula with each area of the sheets `mine` accepts moved point by point;
// an area moved off the sheet becomes #REF!.
template <typename Mine, typename Shift>
std::string areas_shifted(std::string_view formula, Mine &&mine, Shift &&shift) {
    FormulaScanner scanner(formula, [&](std::string_view sheet, const Area &area) -> std::optional<std::string> {
        if (!mine(sheet))
            return std::nullopt;
        Area moved = area;
        bool off = false;
        shift(moved.first, off);
        if (moved.range)
            shift(moved.last, off);
        if (off)
            return std::string("#REF!");
        return format_area(moved);
    });
    auto out = scanner.run();
    return out ? *out : std::string(formula);
}

}  // namespace

std::string rows_shifted(std::string_view formula, long top, long bottom, long by,
                         const std::function<bool(std::string_view sheet)> &own) {
    return areas_shifted(
        formula, [&](std::string_view sheet) { return sheet.empty() || own(sheet); },
        [&](Point &p, bool &off) {
            if (p.row && !p.row_fixed && p.row >= top && p.row <= bottom) {
                p.row += by;
                off |= p.row < 1 || p.row > kMaxRow;
            }
        });
}

std::optional<std::string> renamed_sheet(std::string_view formula,
                                         const std::function<bool(std::string_view sheet)> &is_from,
                                         std::string_view to) {
    std::string quoted = "'";
    for (char c : to) {
        quoted += c;
        if (c == '\'')
            quoted += c;
    }
    quoted += "'!";
    FormulaScanner scanner(
        formula, [](std::string_view, const Area &) { return std::optional<std::string>(); },
        [&](std::string_view sheet) { return is_from(sheet) ? std::optional<std::string>(quoted) : std::nullopt; });
    return scanner.run();
}

std::string translated_formula(std::string_view formula, long rows, long columns) {
    return areas_shifted(
        formula, [](std::string_view) { return true; },
        [&](Point &p, bool &off) {
            if (p.row && !p.row_fixed) {
                p.row += rows;
                off |= p.row < 1 || p.row > kMaxRow;
            }
            if (p.column && !p.column_fixed) {
                p.column += columns;
                off |= p.column < 1 || p.column > kMaxColumn;
            }
        });
}

bool move_anchor(Marker &from, Marker &to, Follow follow, const Insertions &insertions) {
    if (follow == Follow::Stay)
        return true;
    for (const Insertion &ins : insertions) {
        if (ins.count < 0) {
            // Zero-based rows ins.row to ins.row - count - 1 go: a marker in them
            // comes to the top of the row that follows them.
            const long gone = -ins.count, end = ins.row + gone;
            auto moved = [&](Marker m) {
                if (m.row >= end)
                    m.row -= gone;
                else if (m.row >= ins.row)
                    m = Marker{ins.row, 0};
                return m;
            };
            const Marker top = moved(from);
            if (follow == Follow::MoveAndSize)
                to = moved(to);
            else
                to.row += top.row - from.row;
            from = top;
            continue;
        }
        // Zero-based row `ins.row` is the first row under the insertion.
        const bool top_moves = from.row >= ins.row;
        // A bottom that ends on the insertion's edge stays above it.
        const bool bottom_moves = to.row > ins.row || (to.row == ins.row && to.offset > 0);
        if (top_moves)
            from.row += ins.count;
        if (top_moves || (follow == Follow::MoveAndSize && bottom_moves))
            to.row += ins.count;
        // Checked as it goes: rows read from a part are within the sheet, so the
        // sums stay far from overflowing.
        if (from.row > kRowIndex.max || to.row > kRowIndex.max)
            return false;
    }
    return true;
}

}  // namespace tessel::sheets
