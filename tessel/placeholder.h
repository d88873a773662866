// The placeholder core that every filler module compiles in: the pattern option,
// the scanner, the delimited form, evaluation against an environment and the
// capture of a failed placeholder.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

namespace tessel {

namespace nb = nanobind;

enum class Pattern { Single, Double };

inline constexpr const char *kPatternError = "pattern must be '{}' or '{{}}'";

// Reads `filler.pattern` afresh and raises ValueError unless it is "{}" or "{{}}".
Pattern read_pattern(nb::handle filler);

// Width of one delimiter: 1 for "{x}", 2 for "{{x}}".
inline Py_ssize_t delimiter_width(Pattern p) { return p == Pattern::Single ? 1 : 2; }

// One placeholder found by the scanner: the code-point range [begin, end) of its
// delimited form in the scanned text.
struct Match {
    Py_ssize_t begin;
    Py_ssize_t end;
};

// Finds placeholders exactly as re.findall would with r"\{([^{}]+?)\}" or
// r"\{\{([^{}]+?)\}\}", in one pass over the string's own storage.  A text that is
// not a str raises the TypeError that re.findall raises.
std::vector<Match> scan(nb::handle text, Pattern p);

// The placeholder text of a match (without delimiters), as an exact str.
nb::str placeholder_of(nb::handle text, const Match &m, Pattern p);

// The list that extract_placeholder returns.
nb::list extract(nb::handle text, Pattern p);

// "{%s}" or "{{%s}}" with the placeholder put in.
nb::str delimited(nb::handle placeholder, Pattern p);

// A str stays as it is; anything else goes through str().
nb::object to_text(nb::handle value);

// True when the str holds "{" or "}".
bool has_brace(nb::handle text);

// Evaluates placeholder texts with the semantics of eval(text, env): leading spaces
// and tabs are skipped, "__builtins__" is added to a dict that lacks it, and a
// non-dict env fails.  Compiled code is cached, since compiling a text again
// gives the same code.
class Evaluator {
public:
    explicit Evaluator(nb::object env) : env_(std::move(env)) {}

    // Evaluates `text`.  Returns false when the evaluation raised an exception that
    // a fill records as a failed placeholder; KeyboardInterrupt and SystemExit are
    // raised again so that Ctrl-C stops a long fill.
    bool eval(nb::handle text, nb::object &out);

    const nb::object &env() const { return env_; }

private:
    nb::object env_;
};

// True for the exceptions that must stop a fill instead of being recorded.
bool is_interrupt(const nb::python_error &e);

// Runs one guarded step of a fill.  Returns false when the step raised; the
// exception is dropped, except an interrupt, which is raised again.
template <typename Step> bool guarded(Step &&step) {
    try {
        step();
        return true;
    } catch (nb::python_error &e) {
        if (is_interrupt(e))
            throw;
        return false;
    } catch (const nb::builtin_exception &) {
        return false;
    } catch (const nb::cast_error &) {
        return false;
    }
}

// The truth value of an object, as `if value:` sees it.
bool truthy(nb::handle value);

// Lets Ctrl-C reach a long native loop that runs no Python code.
void check_signals();

// The extension checks of a file filler, made like `assert` statements: skipped
// when Python runs with -O.
void assert_extensions(nb::handle template_path, nb::handle save_path, const char *suffix);

// Defines the extract_placeholder method that every filler class shares and
// returns it.
nb::handle def_extract_placeholder(nb::handle cls);

// True when `bound` is `method` bound to an object, that is when no subclass or
// instance replaced it.
bool is_bound_method(nb::handle bound, nb::handle method);

// Calls get_outer_frame_variables as the module currently binds it, so that the
// name can be replaced on the module.
nb::object caller_variables(nb::handle module);

// Shared docstring lines of the fillers' constructors.
inline constexpr const char *kInitDoc =
    "Initialize with a specific placeholder pattern.\n"
    ":param pattren: placeholder pattern, must be '{}' or '{{}}'.";

// Builds a plain Python class (base `object`) in module `m`.  The fillers are such
// classes with native methods, so that instances carry ordinary attributes, pickle
// with them and can be subclassed like any Python class.
nb::object make_plain_class(nb::module_ &m, const char *name, const char *doc);

// Defines a native method of a class made by make_plain_class.
template <typename Func, typename... Extra>
void def_method(nb::handle cls, const char *name, Func &&f, const Extra &...extra) {
    nb::cpp_function_def(std::forward<Func>(f), nb::scope(cls), nb::name(name), nb::is_method(),
                         extra...);
}

}  // namespace tessel
