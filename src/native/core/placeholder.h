// The placeholder core that every filler module compiles in: the pattern option,
// the scanner, the delimited form, evaluation against an environment and the
// capture of a failed placeholder.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

namespace tessel {

namespace nb = nanobind;

struct Field;

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

// Thrown inside a guarded step to fail the placeholder with a reason of the
// fill's own: a failed evaluation, or a value that breaks a rule of where it goes.
struct Refusal {
    nb::object reason;
};

[[noreturn]] inline void refuse(nb::object reason) { throw Refusal{std::move(reason)}; }
[[noreturn]] inline void refuse(const char *reason) { throw Refusal{nb::str(reason)}; }

// Why a placeholder failed, on one line: "NameError: name 'x' is not defined".
nb::str reason_of(nb::python_error &e);
nb::str reason_of(const nb::builtin_exception &e);
// The reason of the Python error being raised, which it clears.
nb::str fetch_reason();

// Evaluates placeholder texts with the semantics of eval(text, env): leading spaces
// and tabs are skipped, "__builtins__" is added to a dict that lacks it, and a
// non-dict env fails.  Compiled code is cached, since compiling a text again
// gives the same code.
//
// In safe mode each text is checked once by the package's sandbox module, and
// its checked code (or why it was refused) cached apart from the other; the
// evaluation runs against a namespace that the sandbox builds once per
// Evaluator from env, which it leaves unchanged.
class Evaluator {
public:
    // Run evaluates; List evaluates nothing and fails every placeholder with no
    // reason, so that a walk can list a template's placeholders without running
    // any of them.
    enum class Mode { Run, List };

    Evaluator(nb::object env, bool safe, Mode mode = Mode::Run)
        : env_(std::move(env)), safe_(safe), mode_(mode) {}

    // Evaluates `text`.  Returns false when the evaluation raised an exception that
    // a fill records as a failed placeholder, and `reason()` then says why;
    // KeyboardInterrupt and SystemExit are raised again so that Ctrl-C stops a
    // long fill.
    bool eval(nb::handle text, nb::object &out);

    // The value of `text`; a failed evaluation throws a Refusal with its reason.
    nb::object value(nb::handle text) {
        nb::object out;
        if (!eval(text, out))
            refuse(reason_);
        return out;
    }

    // Why the last evaluation failed; None when listing.
    const nb::object &reason() const { return reason_; }

    // Hands the outcome of the evaluation just made to the next evaluation of the
    // same text, which then runs nothing: a walk that looks at a value to decide
    // where it goes evaluates each placeholder once.  `value` is the result, or
    // invalid when the evaluation failed with `reason()`.
    void keep(nb::handle text, nb::object value) {
        kept_text_ = nb::borrow(text);
        kept_value_ = std::move(value);
        kept_reason_ = reason_;
    }

    // The variables placeholders see now: the caller's, or, inside a section,
    // a copy of them with the loop names on top.
    const nb::object &env() const {
        if (scope_.is_valid())
            return scope_;
        return safe_ && !shadowed_.empty() ? namespace_ : env_;
    }
    bool listing() const { return mode_ == Mode::List; }
    bool safe() const { return safe_; }

    // Binds `name` to `value` for what is evaluated until `unbind(mark)` with a
    // mark taken before; the caller's own variables are never changed.
    size_t mark() const { return shadowed_.size(); }
    void bind(nb::handle name, nb::handle value);
    void unbind(size_t mark);

    // Counts `size` items or characters that sections copy; in safe mode a fill
    // that copies more than the sandbox's size budget fails with a Refusal.
    void count_copies(long long size);

private:
    // The dict that evaluation runs against and bindings go into.
    nb::object &bound_dict();
    // Makes safe mode's namespace on first use; false with the Python error set
    // when the sandbox cannot make it.
    bool made_namespace();

    bool eval_safe(nb::handle text, const Field &field, nb::object &out);
    // Takes the result of an evaluation; on failure, sets reason_ from the
    // Python error.
    bool finish(PyObject *result, nb::object &out);

    nb::object env_;
    bool safe_;
    Mode mode_;
    nb::object reason_;
    nb::object namespace_;  // safe mode's, made on first use
    nb::object kept_text_, kept_value_, kept_reason_;
    nb::object scope_;  // the caller's variables copied, once a section binds a name
    // What each binding hid, to put back: (name, previous value or invalid).
    std::vector<std::pair<nb::object, nb::object>> shadowed_;
    long long copied_ = 0;
};

// What one call reports.  A fill returns the placeholders that failed, as a list
// whose `details` give each one's place and reason.  A check returns a Finding
// for every placeholder it met, whether it failed or not.
class Report {
public:
    explicit Report(bool checking);
    bool checking() const { return checking_; }

    // A placeholder that was filled.  `place` is called only when a check needs it.
    template <typename Place> void filled(nb::handle placeholder, Place &&place) {
        if (checking_)
            failed(placeholder, place(), nb::none());
    }
    // A placeholder that was not filled, and why (None when the walk only lists;
    // a check also records filled ones this way).
    void failed(nb::handle placeholder, nb::handle place, nb::handle reason);

    nb::object result() const { return list_; }

    // Every entry as a (placeholder, place, reason) tuple: plain data that a
    // confined process hands back.  `take` records such entries again.
    nb::object entries() const;
    void take(nb::handle entries);

private:
    bool checking_;
    nb::object list_;
    nb::object details_;
};

// Loads what safe mode evaluates with and returns the package that holds it; a
// confined process is started only once it is loaded.
nb::module_ prepare_safe_mode();

// True for the exceptions that must stop a fill instead of being recorded.
bool is_interrupt(const nb::python_error &e);

// Runs one guarded step of a fill.  Returns false when the step raised and sets
// `reason` to why; the exception is dropped, except an interrupt, which is raised
// again.
template <typename Step> bool guarded(Step &&step, nb::object &reason) {
    try {
        step();
        return true;
    } catch (Refusal &r) {
        reason = std::move(r.reason);
        return false;
    } catch (nb::python_error &e) {
        if (is_interrupt(e))
            throw;
        reason = reason_of(e);
        return false;
    } catch (const nb::builtin_exception &e) {
        reason = reason_of(e);
        return false;
    } catch (const nb::cast_error &) {
        reason = nb::str("TypeError: a value of an unexpected type");
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
void assert_extension(nb::handle path, const char *name, const char *suffix);

// Defines the extract_placeholder method that every filler class shares and
// returns it.
nb::handle def_extract_placeholder(nb::handle cls);

// True when `bound` is `method` bound to an object, that is when no subclass or
// instance replaced it.
bool is_bound_method(nb::handle bound, nb::handle method);

// The sibling module `name` of the package that holds `module`.
nb::module_ import_sibling(nb::handle module, const char *name);

// The module `name` of the package, once init_results has noted it.
nb::module_ import_package_module(const char *name);

// Imports what Report builds its results from, and notes the package whose
// sandbox module safe mode imports on first use; at module init.
void init_results(nb::handle module);

// Writes a file under a temporary name beside its destination and moves it into
// place only once complete, so that an interrupted or failed save leaves an
// earlier file as it was.  The result gets the mode of the file it replaces, or
// the usual one.  A destination that is no path (a stream) is written directly.
class FileBeside {
public:
    explicit FileBeside(nb::handle destination);
    FileBeside(const FileBeside &) = delete;
    FileBeside &operator=(const FileBeside &) = delete;
    ~FileBeside();

    // What the writer writes to: the temporary path, or the stream itself.
    const nb::object &target() const { return target_; }
    void commit();

private:
    nb::object destination_;
    nb::object target_;
    bool temporary_ = false;
};

// Writes `data` (bytes) to `destination` as FileBeside does: whole or not at all.
void write_beside(nb::handle destination, nb::handle data);

// The bytes of the file at `path`, and the file written whole with `data` (bytes).
nb::bytes read_file(nb::handle path);
void write_file(nb::handle path, nb::handle data);

// Calls get_outer_frame_variables as the module currently binds it, so that the
// name can be replaced on the module.
nb::object caller_variables(nb::handle module);

// Shared docstring lines of the fillers' constructors.
inline constexpr const char *kInitDoc =
    "Initialize with a specific placeholder pattern.\n"
    ":param pattren: placeholder pattern, must be '{}' or '{{}}'.";

// Docstring line of the `safe` option that every filler has.
inline constexpr const char *kSafeDoc =
    "\n:param safe: check each placeholder against the rules for templates from others before it "
    "runs.";

// Docstring line of the `safe_limits` option.
inline constexpr const char *kSafeLimitsDoc =
    "\n:param safe_limits: (memory_bytes, seconds) for a safe fill in a confined process: the memory "
    "it may use above this process's own and the CPU time of each placeholder; None for 1 GiB and 10 s.";

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
