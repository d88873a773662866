// tessel.linefill: fills a template held in a string.
#include "core/confinement.h"
#include "core/placeholder.h"
#include "core/sections.h"

#include <nanobind/stl/string.h>

#include <string>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using tessel::Match;
using tessel::Pattern;

namespace {

constexpr const char *kClassDoc = "Fill placeholders of a text template.";

// A text fill is cheap and a process per fill is not: it is confined only when asked.
constexpr const char *kLineLimitsDoc =
    "\n:param safe_limits: (memory_bytes, seconds): run a safe fill in a confined process with these "
    "limits, the memory above this process's own and the CPU time of each placeholder; None fills here.";

constexpr const char *kCallDoc =
    "Fill the placeholders of a text template.\n"
    ":param template: text template.\n"
    ":param env: Variables environment - a dict mapping varible names to pandas DataFrame, Series.\n"
    "If not specified use local and global variables of the caller.\n"
    ":return: text and except placeholders.";

constexpr const char *kCheckDoc =
    "Fill a text template as the call does, without giving the text, and report\n"
    "every placeholder met.\n"
    ":param template: text template.\n"
    ":param env: Variables environment; if not specified use local and global variables of\n"
    "the caller.\n"
    ":param evaluate: False lists the placeholders without running any of them.\n"
    ":return: one Finding per placeholder, in order; its reason is None when it would fill.";

nb::handle module_handle;
nb::handle native_extract;  // the class's own extract_placeholder

// One placeholder of the call: its delimited form and, when it evaluated, its text.
struct Step {
    nb::object placeholder;
    nb::object delimited;
    nb::object text;  // empty when the placeholder failed
    Pattern pattern;
};

// For every match, the nearest brace outside replaced matches on one side of it
// (0 when there is none).  A replaced match between "{" and "}" can give rise to a
// delimited form that the template did not hold.
template <typename Char>
void nearest_braces(const Char *s, Py_ssize_t n, const std::vector<Match> &matches,
                    const std::vector<char> &replaced, std::vector<char> &left,
                    std::vector<char> &right) {
    const size_t count = matches.size();
    left.assign(count, 0);
    right.assign(count, 0);
    char brace = 0;
    size_t k = 0;
    for (Py_ssize_t i = 0; i < n;) {
        if (k < count && i == matches[k].begin) {
            left[k] = brace;
            if (replaced[k]) {
                i = matches[k].end;
                ++k;
                continue;
            }
            ++k;
        }
        if (s[i] == '{' || s[i] == '}')
            brace = (char) s[i];
        ++i;
    }
    brace = 0;
    size_t r = count;
    for (Py_ssize_t i = n; i > 0;) {
        if (r > 0 && i == matches[r - 1].end) {
            right[r - 1] = brace;
            if (replaced[r - 1]) {
                i = matches[r - 1].begin;
                --r;
                continue;
            }
            --r;
        }
        --i;
        if (s[i] == '{' || s[i] == '}')
            brace = (char) s[i];
    }
}

bool may_form_new_placeholders(nb::handle text, const std::vector<Match> &matches,
                               const std::vector<char> &replaced) {
    PyObject *s = text.ptr();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    std::vector<char> left, right;
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            nearest_braces(PyUnicode_1BYTE_DATA(s), n, matches, replaced, left, right);
            break;
        case PyUnicode_2BYTE_KIND:
            nearest_braces(PyUnicode_2BYTE_DATA(s), n, matches, replaced, left, right);
            break;
        default:
            nearest_braces(PyUnicode_4BYTE_DATA(s), n, matches, replaced, left, right);
            break;
    }
    for (size_t k = 0; k < matches.size(); ++k)
        if (replaced[k] && left[k] == '{' && right[k] == '}')
            return true;
    return false;
}

nb::object substring(nb::handle text, Py_ssize_t begin, Py_ssize_t end) {
    PyObject *r = PyUnicode_Substring(text.ptr(), begin, end);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// The sequential replace: each evaluated placeholder replaces every occurrence of
// its delimited form in the text as the earlier steps left it.
nb::object replace_in_order(nb::object text, const std::vector<Step> &steps) {
    for (const Step &step : steps) {
        if (!step.text.is_valid())
            continue;
        PyObject *r = PyUnicode_Replace(text.ptr(), step.delimited.ptr(), step.text.ptr(), -1);
        if (!r)
            throw nb::python_error();
        text = nb::steal(r);
    }
    return text;
}

// The same result in one pass, for templates found by the native scanner.  It
// holds when no new delimited form can appear: inserted texts without braces, and
// no replaced placeholder enclosed by braces of the template.
bool replace_in_one_pass(nb::handle text, const std::vector<Match> &matches,
                         const std::vector<Step> &steps, nb::object &out) {
    // The first evaluation that succeeds for a placeholder text replaces every
    // occurrence of its delimited form.
    nb::dict first_value;
    for (const Step &step : steps) {
        if (!step.text.is_valid())
            continue;
        if (tessel::has_brace(step.text))
            return false;
        if (!first_value.contains(step.placeholder))
            first_value[step.placeholder] = step.text;
    }
    std::vector<char> replaced(matches.size(), 0);
    bool any = false;
    for (size_t k = 0; k < matches.size(); ++k) {
        replaced[k] = first_value.contains(steps[k].placeholder);
        any = any || replaced[k];
    }
    if (!any) {
        out = nb::borrow(text);
        return true;
    }
    if (may_form_new_placeholders(text, matches, replaced))
        return false;

    nb::list parts;
    Py_ssize_t done = 0;
    for (size_t k = 0; k < matches.size(); ++k) {
        if (!replaced[k])
            continue;
        if (matches[k].begin > done)
            parts.append(substring(text, done, matches[k].begin));
        parts.append(first_value[steps[k].placeholder]);
        done = matches[k].end;
    }
    if (done < PyUnicode_GET_LENGTH(text.ptr()))
        parts.append(substring(text, done, PyUnicode_GET_LENGTH(text.ptr())));
    out = nb::str("").attr("join")(parts);
    return true;
}

// Where each placeholder of the list stands: its "line N", found from the
// scanner's matches or, for placeholders of an overridden extract_placeholder, by
// looking for each delimited form after the previous one.
class Lines {
public:
    Lines(nb::handle text, const std::vector<Match> *matches) : text_(text), matches_(matches) {}

    nb::object place(size_t k, nb::handle delimited) {
        Py_ssize_t begin = -1;
        if (matches_ && k < matches_->size()) {
            begin = (*matches_)[k].begin;
        } else {
            const Py_ssize_t n = PyUnicode_GET_LENGTH(text_.ptr());
            begin = PyUnicode_Find(text_.ptr(), delimited.ptr(), next_, n, 1);
            if (begin == -2)
                throw nb::python_error();
            if (begin < 0)
                return nb::str("place unknown");
            next_ = begin + PyUnicode_GET_LENGTH(delimited.ptr());
        }
        // Positions only grow, so the line breaks are counted once.
        if (begin < counted_) {
            counted_ = 0;
            line_ = 1;
        }
        line_ += PyUnicode_Count(text_.ptr(), newline(), counted_, begin);
        counted_ = begin;
        return nb::str("line {}").format(line_);
    }

private:
    static PyObject *newline() {
        static PyObject *const s = PyUnicode_InternFromString("\n");
        return s;
    }

    nb::handle text_;
    const std::vector<Match> *matches_;
    Py_ssize_t next_ = 0, counted_ = 0, line_ = 1;
};

namespace sections = tessel::sections;

// A template with sections, filled in one pass from start to end: each copy's
// placeholders are evaluated with its item's names, and what a value writes is
// never scanned again.  Places are lines of the filled text, followed by the item
// of each section they stand in.
class SectionText {
public:
    SectionText(nb::handle text, std::vector<Match> matches, std::vector<sections::Tag> tags, Pattern pattern,
                tessel::Evaluator &evaluator, tessel::Report &report)
        : text_(text), matches_(std::move(matches)), tags_(std::move(tags)), pattern_(pattern),
          evaluator_(evaluator), report_(report) {
        std::vector<sections::Kind> kinds;
        std::vector<size_t> at;
        for (size_t k = 0; k < tags_.size(); ++k)
            if (tags_[k].kind != sections::Kind::None) {
                kinds.push_back(tags_[k].kind);
                at.push_back(k);
            }
        sections::Structure structure = sections::pair(kinds, pattern);
        opened_.assign(matches_.size(), -1);
        unpaired_.assign(matches_.size(), nb::object());
        for (sections::Unpaired &u : structure.unpaired)
            unpaired_[at[u.tag]] = std::move(u.reason);
        for (sections::Section &section : structure.sections) {
            Span span;
            for (size_t t : section.tags())
                span.tags.push_back(at[t]);
            bool lines = true;
            for (size_t m : span.tags)
                lines = lines && alone_on_line(matches_[m]);
            for (size_t m : span.tags)
                span.cuts.push_back(lines ? line_of(matches_[m]) : Cut{matches_[m].begin, matches_[m].end});
            opened_[span.tags.front()] = (long) spans_.size();
            spans_.push_back(std::move(span));
        }
    }

    nb::object run() {
        render(0, matches_.size(), 0, PyUnicode_GET_LENGTH(text_.ptr()));
        return nb::str("").attr("join")(out_);
    }

private:
    struct Cut {
        Py_ssize_t begin, end;
    };
    // A paired section: its tags (match indexes: open, branches, close) and the
    // text each tag takes away: the tag itself, or the whole line it stands alone on.
    struct Span {
        std::vector<size_t> tags;
        std::vector<Cut> cuts;
    };

    Py_ssize_t length() const { return PyUnicode_GET_LENGTH(text_.ptr()); }
    Py_UCS4 at(Py_ssize_t k) const { return PyUnicode_READ_CHAR(text_.ptr(), k); }

    Cut line_of(const Match &m) const {
        Py_ssize_t begin = m.begin, end = m.end;
        while (begin > 0 && at(begin - 1) != '\n')
            --begin;
        while (end < length() && at(end) != '\n')
            ++end;
        return {begin, end < length() ? end + 1 : end};
    }

    bool alone_on_line(const Match &m) const {
        const Cut line = line_of(m);
        for (Py_ssize_t k = line.begin; k < line.end; ++k)
            if ((k < m.begin || k >= m.end) && !Py_UNICODE_ISSPACE(at(k)))
                return false;
        return true;
    }

    void emit(nb::object piece) {
        lines_ += PyUnicode_Count(piece.ptr(), newline(), 0, PyUnicode_GET_LENGTH(piece.ptr()));
        out_.append(piece);
    }

    void emit_text(Py_ssize_t begin, Py_ssize_t end) {
        if (end > begin)
            emit(substring(text_, begin, end));
    }

    nb::object place() const {
        std::string where = "line " + std::to_string(lines_);
        for (const std::string &item : items_)
            where += ", " + item;
        return nb::str(where.c_str());
    }

    nb::object placeholder(size_t m) const { return tessel::placeholder_of(text_, matches_[m], pattern_); }

    void filled(size_t m) {
        report_.filled(placeholder(m), [&] { return place(); });
    }

    void failed(size_t m, nb::handle reason) { report_.failed(placeholder(m), place(), reason); }

    // Writes the text [begin, end), which holds the matches [first, last).
    void render(size_t first, size_t last, Py_ssize_t begin, Py_ssize_t end) {
        Py_ssize_t done = begin;
        for (size_t m = first; m < last;) {
            const Match &match = matches_[m];
            if (opened_[m] >= 0) {
                const Span &span = spans_[(size_t) opened_[m]];
                emit_text(done, std::min(span.cuts.front().begin, end));
                section(span);
                done = std::max(done, span.cuts.back().end);
                m = span.tags.back() + 1;
                continue;
            }
            emit_text(done, match.begin);
            done = match.end;
            if (unpaired_[m].is_valid()) {
                failed(m, unpaired_[m]);
                emit(substring(text_, match.begin, match.end));
            } else {
                value(m);
            }
            ++m;
        }
        emit_text(done, end);
    }

    void value(size_t m) {
        const Match &match = matches_[m];
        nb::object reason, text;
        nb::object ph = placeholder(m);
        if (tessel::guarded([&] { text = tessel::to_text(evaluator_.value(ph)); }, reason)) {
            filled(m);
            emit(std::move(text));
        } else {
            failed(m, reason);
            emit(substring(text_, match.begin, match.end));
        }
    }

    // The content between tag t and tag t+1 of a section.
    void content(const Span &span, size_t t) {
        render(span.tags[t] + 1, span.tags[t + 1], span.cuts[t].end, span.cuts[t + 1].begin);
    }

    // A section whose opening tag failed stays as it is: its tags as text, each
    // of its parts once.
    void as_it_is(const Span &span, nb::handle reason) {
        const bool is_for = tags_[span.tags.front()].kind == sections::Kind::For;
        nb::str partner = nb::str("its {} failed").format(tessel::delimited(nb::str(is_for ? "for" : "if"), pattern_));
        for (size_t t = 0; t < span.tags.size(); ++t) {
            const size_t m = span.tags[t];
            emit_text(span.cuts[t].begin, matches_[m].begin);
            failed(m, t == 0 ? reason : partner);
            emit(substring(text_, matches_[m].begin, span.cuts[t].end));
            if (t + 1 < span.tags.size())
                content(span, t);
        }
    }

    void section(const Span &span) {
        const sections::Tag &open = tags_[span.tags.front()];
        nb::object reason;
        if (open.kind == sections::Kind::For) {
            std::vector<nb::object> items;
            const Py_ssize_t size = span.cuts.back().begin - span.cuts.front().end;
            // Every item is bound once before any is written: a section that
            // cannot take one of them stays as it is.
            if (!tessel::guarded(
                    [&] {
                        items = sections::items_of(evaluator_, open);
                        evaluator_.count_copies((long long) size * (long long) items.size());
                        sections::check_binding(evaluator_, open, items);
                    },
                    reason))
                return as_it_is(span, reason);
            filled(span.tags.front());
            for (size_t k = 0; k < items.size(); ++k) {
                const size_t mark = evaluator_.mark();
                sections::bind(evaluator_, open, items[k]);
                items_.push_back(sections::item_place(open, k));
                content(span, 0);
                items_.pop_back();
                evaluator_.unbind(mark);
            }
            filled(span.tags.back());
            return;
        }
        // An if: the first branch whose condition holds, else the {else}.
        for (size_t t = 0; t + 1 < span.tags.size(); ++t) {
            const sections::Tag &tag = tags_[span.tags[t]];
            bool taken = tag.kind == sections::Kind::Else;
            if (!taken && !tessel::guarded([&] { taken = sections::holds(evaluator_, tag); }, reason))
                return as_it_is(span, reason);
            filled(span.tags[t]);
            if (taken) {
                content(span, t);
                break;
            }
        }
        filled(span.tags.back());
    }

    static PyObject *newline() {
        static PyObject *const s = PyUnicode_InternFromString("\n");
        return s;
    }

    nb::handle text_;
    std::vector<Match> matches_;
    std::vector<sections::Tag> tags_;
    Pattern pattern_;
    tessel::Evaluator &evaluator_;
    tessel::Report &report_;
    std::vector<long> opened_;           // per match: the section it opens, or -1
    std::vector<nb::object> unpaired_;   // per match: why its tag pairs with nothing
    std::vector<Span> spans_;
    nb::list out_;
    std::vector<std::string> items_;     // the items the text being written stands in
    Py_ssize_t lines_ = 1;
};

// The walk of one template: evaluates every placeholder in order and returns the
// filled text; failures, and when checking every placeholder, go to `report`.
nb::object line_walk(nb::handle self, nb::object text, tessel::Evaluator &evaluator,
                     tessel::Report &report) {
    nb::object extract = nb::getattr(self, "extract_placeholder");
    const bool native = tessel::is_bound_method(extract, native_extract);
    std::vector<Match> matches;
    Pattern scanned = Pattern::Single;
    nb::object placeholders;
    if (native) {
        scanned = tessel::read_pattern(self);
        matches = tessel::scan(text, scanned);
        nb::list found;
        for (const Match &m : matches)
            found.append(tessel::placeholder_of(text, m, scanned));
        placeholders = found;
    } else {
        placeholders = extract(text);
    }
    // Sections are found where the scanner's places are known; a listing shows
    // their tags once each, as placeholders.
    if (native && !evaluator.listing()) {
        std::vector<sections::Tag> tags;
        bool any = false;
        for (nb::handle placeholder : placeholders) {
            tags.push_back(sections::parse(placeholder));
            any = any || tags.back().kind != sections::Kind::None;
        }
        if (any)
            return SectionText(text, std::move(matches), std::move(tags), scanned, evaluator, report).run();
    }

    Lines lines(text, native ? &matches : nullptr);
    std::vector<Step> steps;
    bool same_pattern = true;
    for (nb::handle placeholder : placeholders) {
        Step step;
        step.placeholder = nb::borrow(placeholder);
        step.pattern = tessel::read_pattern(self);
        same_pattern = same_pattern && step.pattern == scanned;
        step.delimited = tessel::delimited(placeholder, step.pattern);
        nb::object reason;
        const bool ok = tessel::guarded(
            [&] { step.text = tessel::to_text(evaluator.value(placeholder)); }, reason);
        const size_t k = steps.size();
        if (ok) {
            report.filled(placeholder, [&] { return lines.place(k, step.delimited); });
        } else {
            step.text = nb::object();
            report.failed(placeholder, lines.place(k, step.delimited), reason);
        }
        steps.push_back(std::move(step));
    }

    nb::object result;
    if (!(native && same_pattern && replace_in_one_pass(text, matches, steps, result)))
        result = replace_in_order(text, steps);
    return result;
}

// A safe fill that asked for limits runs in a confined process; the filled text
// comes back as UTF-8, lone surrogates included.
nb::object walk_confined(nb::handle self, nb::object text, nb::handle env, tessel::Report &report) {
    tessel::confinement::Made made =
        tessel::confinement::run_reporting(self, report, [&](tessel::Report &inner) -> nb::object {
            tessel::Evaluator evaluator(nb::borrow(env), true);
            nb::object result = line_walk(self, text, evaluator, inner);
            tessel::confinement::evaluations_done();
            return result.attr("encode")("utf-8", "surrogatepass");
        });
    tessel::confinement::warn_again(made.warnings, nb::handle(PyExc_UserWarning));
    return made.output.attr("decode")("utf-8", "surrogatepass");
}

nb::tuple line_fill(nb::handle self, nb::object text, nb::object env) {
    if (env.is_none())
        env = tessel::caller_variables(module_handle);
    tessel::Report report(false);
    if (tessel::confinement::wanted(self, true))
        return nb::make_tuple(walk_confined(self, text, env, report), report.result());
    tessel::Evaluator evaluator(env, tessel::truthy(nb::getattr(self, "safe", nb::bool_(false))));
    nb::object result = line_walk(self, text, evaluator, report);
    return nb::make_tuple(result, report.result());
}

nb::object line_check(nb::handle self, nb::object text, nb::object env, bool evaluate) {
    if (env.is_none() && evaluate)
        env = tessel::caller_variables(module_handle);
    tessel::Report report(true);
    if (evaluate && tessel::confinement::wanted(self, true)) {
        walk_confined(self, text, env, report);
        return report.result();
    }
    tessel::Evaluator evaluator(env, tessel::truthy(nb::getattr(self, "safe", nb::bool_(false))),
                                evaluate ? tessel::Evaluator::Mode::Run
                                         : tessel::Evaluator::Mode::List);
    line_walk(self, text, evaluator, report);
    return report.result();
}

}  // namespace

NB_MODULE(linefill, m) {
    m.doc() = "Fill placeholders of text templates.";
    module_handle = m;

    m.attr("get_outer_frame_variables") =
        tessel::import_sibling(m, "utils").attr("get_outer_frame_variables");
    tessel::init_results(m);
    tessel::confinement::expose(m);

    nb::object cls = tessel::make_plain_class(m, "LineFill", kClassDoc);
    static const std::string init_doc = std::string(tessel::kInitDoc) + tessel::kSafeDoc + kLineLimitsDoc;
    tessel::def_method(
        cls, "__init__",
        [](nb::handle self, nb::object pattern, nb::object safe, nb::object safe_limits) {
            nb::setattr(self, "pattern", pattern);
            nb::setattr(self, "safe", safe);
            nb::setattr(self, "safe_limits", safe_limits);
        },
        "pattern"_a.none() = "{}", "safe"_a.none() = false, "safe_limits"_a.none() = nb::none(),
        nb::sig("def __init__(self, pattern: str = '{}', safe: bool = False, "
                "safe_limits: tuple[int, float] | None = None) -> None"),
        init_doc.c_str());
    tessel::def_method(
        cls, "__call__", &line_fill, "template"_a.none(), "env"_a = nb::none(),
        nb::sig("def __call__(self, template: str, env: dict[str, typing.Any] | None = None) "
                "-> tuple[str, tessel.results.FailedPlaceholders]"),
        kCallDoc);
    tessel::def_method(
        cls, "check", &line_check, "template"_a.none(), "env"_a = nb::none(),
        nb::kw_only(), "evaluate"_a = true,
        nb::sig("def check(self, template: str, env: dict[str, typing.Any] | None = None, *, "
                "evaluate: bool = True) -> list[tessel.results.Finding]"),
        kCheckDoc);
    native_extract = tessel::def_extract_placeholder(cls);
}
