#include "core/placeholder.h"

#include "core/field.h"

#include "core/confinement.h"
#include "core/once.h"

#include <cstring>
#include <string>
#include <utility>

namespace tessel {

using namespace nb::literals;

namespace {

// An interned str that lives as long as the interpreter; the placeholder core
// compares with these once per placeholder.
nb::handle interned(const char *text) {
    return PyUnicode_InternFromString(text);
}

}  // namespace

Pattern read_pattern(nb::handle filler) {
    static const nb::handle single = interned("{}"), double_ = interned("{{}}");
    nb::object pattern = nb::getattr(filler, "pattern");
    // Equality as Python sees it, so a str subclass equal to "{}" is accepted too.
    if (pattern.equal(single))
        return Pattern::Single;
    if (pattern.equal(double_))
        return Pattern::Double;
    throw nb::value_error(kPatternError);
}

namespace {

[[noreturn]] void raise_not_text(nb::handle text) {
    if (PyObject_CheckBuffer(text.ptr()))
        throw nb::type_error("cannot use a string pattern on a bytes-like object");
    PyErr_Format(PyExc_TypeError, "expected string or bytes-like object, got '%.200s'",
                 Py_TYPE(text.ptr())->tp_name);
    throw nb::python_error();
}

template <typename Char>
void scan_chars(const Char *s, Py_ssize_t n, Pattern p, std::vector<Match> &out) {
    const Py_ssize_t w = delimiter_width(p);
    Py_ssize_t i = 0;
    while (i < n) {
        if (s[i] != '{' || (w == 2 && (i + 1 >= n || s[i + 1] != '{'))) {
            ++i;
            continue;
        }
        Py_ssize_t j = i + w;
        while (j < n && s[j] != '{' && s[j] != '}')
            ++j;
        bool closed = j > i + w && j + w <= n && s[j] == '}' && (w == 1 || s[j + 1] == '}');
        if (closed) {
            out.push_back({i, j + w});
            i = j + w;
        } else if (j == i + w) {
            // Nothing between the delimiters: a match may still start one further on.
            ++i;
        } else {
            // Every position before j is a non-brace or the first brace of this
            // failed attempt, so no match can start before j.
            i = j;
        }
    }
}

}  // namespace

std::vector<Match> scan(nb::handle text, Pattern p) {
    if (!PyUnicode_Check(text.ptr()))
        raise_not_text(text);
    PyObject *s = text.ptr();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    std::vector<Match> out;
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            scan_chars(PyUnicode_1BYTE_DATA(s), n, p, out);
            break;
        case PyUnicode_2BYTE_KIND:
            scan_chars(PyUnicode_2BYTE_DATA(s), n, p, out);
            break;
        default:
            scan_chars(PyUnicode_4BYTE_DATA(s), n, p, out);
            break;
    }
    return out;
}

nb::str placeholder_of(nb::handle text, const Match &m, Pattern p) {
    const Py_ssize_t w = delimiter_width(p);
    PyObject *sub = PyUnicode_Substring(text.ptr(), m.begin + w, m.end - w);
    if (!sub)
        throw nb::python_error();
    return nb::steal<nb::str>(sub);
}

nb::list extract(nb::handle text, Pattern p) {
    std::vector<Match> matches = scan(text, p);
    nb::list out;
    for (const Match &m : matches)
        out.append(placeholder_of(text, m, p));
    return out;
}

nb::str delimited(nb::handle placeholder, Pattern p) {
    const char *format = p == Pattern::Single ? "{%U}" : "{{%U}}";
    nb::object text = to_text(placeholder);
    PyObject *r = PyUnicode_FromFormat(format, text.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal<nb::str>(r);
}

nb::object to_text(nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr()))
        return nb::borrow(value);
    return nb::str(value);
}

bool has_brace(nb::handle text) {
    PyObject *s = text.ptr();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    return PyUnicode_FindChar(s, '{', 0, n, 1) >= 0 || PyUnicode_FindChar(s, '}', 0, n, 1) >= 0;
}

bool is_interrupt(const nb::python_error &e) {
    return e.matches(PyExc_KeyboardInterrupt) || e.matches(PyExc_SystemExit);
}

namespace {

// Compiled placeholder texts, shared by every call of this module's fillers.  The
// bound keeps a fill of many distinct expressions from growing it without end.
constexpr Py_ssize_t kCodeCacheLimit = 4096;

PyObject *code_cache() {
    // Deliberately never freed: it lives as long as the interpreter.
    static PyObject *cache = PyDict_New();
    return cache;
}

// compile(text, "<string>", "eval") as eval() does it for a str source.
PyObject *compile_placeholder(PyObject *text, PyCompilerFlags *flags) {
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8)
        return nullptr;
    if ((Py_ssize_t) std::strlen(utf8) != size) {
        PyErr_SetString(PyExc_SyntaxError, "source code string cannot contain null bytes");
        return nullptr;
    }
    while (*utf8 == ' ' || *utf8 == '\t')
        ++utf8;
    return Py_CompileStringExFlags(utf8, "<string>", Py_eval_input, flags, -1);
}

PyObject *evaluate(PyObject *text, PyObject *env) {
    if (!PyDict_Check(env)) {
        PyErr_Format(PyExc_TypeError, "globals must be a dict");
        return nullptr;
    }
    static const nb::handle builtins_key = interned("__builtins__");
    int has = PyDict_Contains(env, builtins_key.ptr());
    if (has < 0)
        return nullptr;
    if (has == 0 && PyDict_SetItemString(env, "__builtins__", PyEval_GetBuiltins()) < 0)
        return nullptr;

    PyCompilerFlags flags = _PyCompilerFlags_INIT;
    flags.cf_flags = PyCF_SOURCE_IS_UTF8;
    PyEval_MergeCompilerFlags(&flags);
    // Code compiled under a caller's __future__ flags is not shared with others.
    const bool cacheable = (flags.cf_flags & PyCF_MASK) == 0;

    PyObject *cache = code_cache();
    PyObject *code = cacheable ? PyDict_GetItemWithError(cache, text) : nullptr;
    if (code) {
        Py_INCREF(code);
    } else {
        if (PyErr_Occurred())
            return nullptr;
        code = compile_placeholder(text, &flags);
        if (!code)
            return nullptr;
        if (cacheable) {
            if (PyDict_GET_SIZE(cache) >= kCodeCacheLimit)
                PyDict_Clear(cache);
            if (PyDict_SetItem(cache, text, code) < 0) {
                Py_DECREF(code);
                return nullptr;
            }
        }
    }
    PyObject *result = PyEval_EvalCode(code, env, env);
    Py_DECREF(code);
    return result;
}

// What safe mode takes from the package's sandbox module.
struct Sandbox {
    PyObject *compile = nullptr;    // compile_placeholder(text) -> code
    PyObject *namespace_ = nullptr;  // namespace(env) -> dict
};

std::string package_name;  // of the filler modules, noted at init

// The exception of a broken rule of safe mode, once the sandbox is loaded.  Its
// message alone is the reason, wherever it is raised: in the evaluation, or by a
// value that refuses to become text.
PyObject *refused_type = nullptr;

const Sandbox &sandbox() {
    return made_once<Sandbox>([] {
        nb::module_ m = nb::module_::import_((package_name + ".sandbox").c_str());
        Sandbox r;
        r.compile = nb::object(m.attr("compile_placeholder")).release().ptr();
        r.namespace_ = nb::object(m.attr("namespace")).release().ptr();
        refused_type = nb::object(m.attr("Refused")).release().ptr();
        return r;
    });
}

}  // namespace

nb::module_ import_package_module(const char *name) {
    return nb::module_::import_((package_name + "." + name).c_str());
}

nb::module_ prepare_safe_mode() {
    sandbox();
    return nb::module_::import_(package_name.c_str());
}

namespace {

PyObject *safe_code_cache() {
    // Deliberately never freed, like code_cache.
    static PyObject *cache = PyDict_New();
    return cache;
}

bool is_interrupt_set() {
    return PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_SystemExit);
}

// The sandbox's code of a placeholder: its expression, with the conversion and
// the spec of a field passed on, so that formatting is checked like format().
PyObject *compile_checked(PyObject *text, const Field &field) {
    const Sandbox &sb = sandbox();
    if (!field.formatted())
        return PyObject_CallOneArg(sb.compile, text);
    nb::object conversion = nb::none();
    if (field.conversion)
        conversion = nb::steal(PyUnicode_FromOrdinal((int) field.conversion));
    nb::object spec = field.spec_begin >= 0 ? nb::object(field_spec(text, field)) : nb::none();
    nb::object args = nb::make_tuple(field_expression(text, field), conversion, spec);
    return PyObject_Call(sb.compile, args.ptr(), nullptr);
}

// The checked code of `text`, or the str that says why it was refused; null with
// a Python error set when checking it failed otherwise.
PyObject *checked_code(PyObject *text, const Field &field) {
    PyObject *cache = safe_code_cache();
    PyObject *entry = PyDict_GetItemWithError(cache, text);
    if (entry) {
        Py_INCREF(entry);
        return entry;
    }
    if (PyErr_Occurred())
        return nullptr;
    entry = compile_checked(text, field);
    if (!entry) {
        // A broken rule or a syntax error is the text's own; anything else (a
        // recursion limit) may not happen again and is not remembered.
        if (!PyErr_ExceptionMatches(refused_type) && !PyErr_ExceptionMatches(PyExc_SyntaxError))
            return nullptr;
        entry = fetch_reason().release().ptr();
    }
    if (PyDict_GET_SIZE(cache) >= kCodeCacheLimit)
        PyDict_Clear(cache);
    if (PyDict_SetItem(cache, text, entry) < 0) {
        Py_DECREF(entry);
        return nullptr;
    }
    return entry;
}

}  // namespace

bool Evaluator::finish(PyObject *result, nb::object &out) {
    if (result) {
        out = nb::steal(result);
        return true;
    }
    if (is_interrupt_set())
        throw nb::python_error();
    reason_ = fetch_reason();
    return false;
}

bool Evaluator::eval(nb::handle text, nb::object &out) {
    if (mode_ == Mode::List) {
        reason_ = nb::none();
        return false;
    }
    if (confinement::confined() && !kept_text_.is_valid()) {
        // One that hit a limit in an earlier confined process fails without running.
        if (nb::object skip = confinement::begin_evaluation(); skip.is_valid()) {
            reason_ = std::move(skip);
            return false;
        }
    }
    if (kept_text_.is_valid()) {
        nb::object text_kept = std::move(kept_text_), value = std::move(kept_value_);
        nb::object reason = std::move(kept_reason_);
        kept_text_.reset();
        if (text_kept.is(text) || text_kept.equal(text)) {
            if (value.is_valid()) {
                out = std::move(value);
                return true;
            }
            reason_ = std::move(reason);
            return false;
        }
    }
    const Field field = split_field(text);
    if (field.error) {
        PyErr_SetString(PyExc_SyntaxError, field.error);
        return finish(nullptr, out);
    }
    if (safe_)
        return eval_safe(text, field, out);
    if (!field.formatted())
        return finish(evaluate(text.ptr(), env().ptr()), out);
    nb::object value;
    if (!finish(evaluate(field_expression(text, field).ptr(), env().ptr()), value))
        return false;
    return finish(format_field(value.ptr(), field, field_spec(text, field).ptr()), out);
}

bool Evaluator::made_namespace() {
    if (!namespace_.is_valid())
        namespace_ = nb::steal(PyObject_CallOneArg(sandbox().namespace_, env_.ptr()));
    return namespace_.is_valid();
}

bool Evaluator::eval_safe(nb::handle text, const Field &field, nb::object &out) {
    if (!made_namespace())
        return finish(nullptr, out);
    PyObject *code = checked_code(text.ptr(), field);
    if (!code)
        return finish(nullptr, out);
    if (PyUnicode_Check(code)) {
        reason_ = nb::steal(code);
        return false;
    }
    PyObject *r = PyEval_EvalCode(code, namespace_.ptr(), namespace_.ptr());
    Py_DECREF(code);
    return finish(r, out);
}

nb::object &Evaluator::bound_dict() {
    if (safe_) {
        if (!made_namespace())
            throw nb::python_error();
        return namespace_;
    }
    if (!scope_.is_valid()) {
        if (!PyDict_Check(env_.ptr()))
            throw nb::type_error("globals must be a dict");
        scope_ = nb::steal(PyDict_Copy(env_.ptr()));
        if (!scope_.is_valid())
            throw nb::python_error();
    }
    return scope_;
}

void Evaluator::bind(nb::handle name, nb::handle value) {
    nb::object &dict = bound_dict();
    PyObject *old = PyDict_GetItemWithError(dict.ptr(), name.ptr());
    if (!old && PyErr_Occurred())
        throw nb::python_error();
    shadowed_.emplace_back(nb::borrow(name), old ? nb::borrow(old) : nb::object());
    if (PyDict_SetItem(dict.ptr(), name.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

void Evaluator::unbind(size_t mark) {
    while (shadowed_.size() > mark) {
        auto [name, old] = std::move(shadowed_.back());
        shadowed_.pop_back();
        nb::object &dict = safe_ ? namespace_ : scope_;
        const int r = old.is_valid() ? PyDict_SetItem(dict.ptr(), name.ptr(), old.ptr())
                                     : PyDict_DelItem(dict.ptr(), name.ptr());
        if (r < 0)
            throw nb::python_error();
    }
}

void Evaluator::count_copies(long long size) {
    if (!safe_ || size <= 0)
        return;
    static const long long limit = made_once<long long>([] {
        nb::module_ limits = import_package_module("sandbox.limits");
        return nb::cast<long long>(limits.attr("MAX_SIZE"));
    });
    if (size > limit - copied_) {
        nb::module_ refusals = import_package_module("sandbox.refusals");
        refuse(nb::str("{}sections copying {} more items or characters (at most {} in one fill)")
                   .format(refusals.attr("PREFIX"), size, limit));
    }
    copied_ += size;
}

namespace {

// Longer reasons are cut: a message may quote a whole value.
constexpr Py_ssize_t kReasonLimit = 300;

nb::str one_line(nb::handle type_name, nb::handle message) {
    // Runs of white space, line breaks included, become one space.
    nb::object words = message.attr("split")();
    nb::object text = nb::str(" ").attr("join")(words);
    if (PyUnicode_GET_LENGTH(text.ptr()) > kReasonLimit) {
        PyObject *cut = PyUnicode_Substring(text.ptr(), 0, kReasonLimit - 1);
        if (!cut)
            throw nb::python_error();
        text = nb::steal(cut) + nb::str("\u2026");
    }
    if (nb::len(text) == 0)
        return nb::str(type_name);
    return nb::str("{}: {}").format(type_name, text);
}

nb::str reason_of_value(nb::handle value) {
    nb::handle type = (PyObject *) Py_TYPE(value.ptr());
    // In a confined process, running out of memory is hitting its limit.
    if (confinement::confined() && PyObject_TypeCheck(value.ptr(), (PyTypeObject *) PyExc_MemoryError))
        return nb::borrow<nb::str>(confinement::memory_reason());
    nb::object message = nb::steal(PyObject_Str(value.ptr()));
    if (!message.is_valid()) {
        PyErr_Clear();
        message = nb::str("");
    }
    if (refused_type && PyObject_TypeCheck(value.ptr(), (PyTypeObject *) refused_type))
        return nb::borrow<nb::str>(message);
    return one_line(type.attr("__name__"), message);
}

}  // namespace

nb::str reason_of(nb::python_error &e) { return reason_of_value(e.value()); }

nb::str reason_of(const nb::builtin_exception &e) {
    static const char *const names[] = {"RuntimeError", "StopIteration", "IndexError",
                                        "KeyError",     "ValueError",    "TypeError",
                                        "BufferError",  "ImportError",   "AttributeError",
                                        "TypeError"};
    const size_t k = (size_t) e.type();
    return one_line(nb::str(k < sizeof names / sizeof *names ? names[k] : "RuntimeError"),
                    nb::str(e.what()));
}

nb::str fetch_reason() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type)
        return nb::str("RuntimeError");
    PyErr_NormalizeException(&type, &value, &traceback);
    nb::object t = nb::steal(type), v = nb::steal(value), tb = nb::steal(traceback);
    return reason_of_value(v.is_valid() ? v : t);
}

namespace {

struct ResultTypes {
    PyObject *finding = nullptr;  // results.Finding
    PyObject *failed = nullptr;   // results.FailedPlaceholders
};
ResultTypes result_types;

}  // namespace

void init_results(nb::handle module) {
    if (result_types.finding)
        return;
    package_name = nb::str(nb::getattr(module, "__name__").attr("rpartition")(".")[0]).c_str();
    nb::module_ results = import_sibling(module, "results");
    result_types.finding = nb::object(results.attr("Finding")).release().ptr();
    result_types.failed = nb::object(results.attr("FailedPlaceholders")).release().ptr();
}

Report::Report(bool checking) : checking_(checking) {
    if (checking) {
        list_ = nb::list();
    } else {
        list_ = nb::handle(result_types.failed)();
        details_ = list_.attr("details");
    }
}

nb::object Report::entries() const {
    nb::list out;
    for (nb::handle finding : checking_ ? list_ : details_)
        out.append(nb::make_tuple(finding[0], finding[1], finding[2]));
    return out;
}

void Report::take(nb::handle entries) {
    for (nb::handle entry : entries) {
        if (!PyList_Check(entry.ptr()) || nb::len(entry) != 3)
            throw nb::value_error("a report entry is no (placeholder, place, reason)");
        nb::object placeholder = entry[0], place = entry[1], reason = entry[2];
        if (!PyUnicode_Check(placeholder.ptr()) || !PyUnicode_Check(place.ptr()) ||
            !(reason.is_none() || PyUnicode_Check(reason.ptr())))
            throw nb::value_error("a report entry is no (placeholder, place, reason)");
        failed(placeholder, place, reason);
    }
}

void Report::failed(nb::handle placeholder, nb::handle place, nb::handle reason) {
    nb::object finding = nb::handle(result_types.finding)(placeholder, place, reason);
    if (checking_) {
        if (PyList_Append(list_.ptr(), finding.ptr()) < 0)
            throw nb::python_error();
        return;
    }
    if (reason.is_none())
        return;
    if (PyList_Append(list_.ptr(), placeholder.ptr()) < 0 ||
        PyList_Append(details_.ptr(), finding.ptr()) < 0)
        throw nb::python_error();
}

bool truthy(nb::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

void check_signals() {
    if (PyErr_CheckSignals() < 0)
        throw nb::python_error();
}

void assert_extension(nb::handle path, const char *name, const char *suffix) {
    if (nb::cast<long>(nb::module_::import_("sys").attr("flags").attr("optimize")) != 0)
        return;
    if (!truthy(path.attr("endswith")(suffix))) {
        PyErr_Format(PyExc_AssertionError, "%s must be endwith %s file.", name, suffix);
        throw nb::python_error();
    }
}

void assert_extensions(nb::handle template_path, nb::handle save_path, const char *suffix) {
    assert_extension(template_path, "template_path", suffix);
    assert_extension(save_path, "save_path", suffix);
}

nb::handle def_extract_placeholder(nb::handle cls) {
    def_method(
        cls, "extract_placeholder",
        [](nb::handle self, nb::handle text) { return extract(text, read_pattern(self)); },
        nb::arg("text").none(), nb::sig("def extract_placeholder(self, text: str) -> list[str]"),
        "Return the placeholders of a text, in order, one entry per occurrence.\n"
        ":param text: text to search.\n"
        ":return: list of placeholders without their delimiters.");
    return cls.attr("extract_placeholder");
}

bool is_bound_method(nb::handle bound, nb::handle method) {
    return nb::hasattr(bound, "__func__") && bound.attr("__func__").is(method);
}

nb::object caller_variables(nb::handle module) {
    return nb::getattr(module, "get_outer_frame_variables")();
}

nb::module_ import_sibling(nb::handle module, const char *name) {
    nb::object package = nb::getattr(module, "__name__").attr("rpartition")(".")[0];
    return nb::module_::import_(nb::str("{}.{}").format(package, name).c_str());
}

namespace {

struct FileRefs {
    PyObject *os = nullptr, *mkstemp = nullptr;
    long umask = 022;
};

const FileRefs &file_refs() {
    return made_once<FileRefs>([] {
        FileRefs r;
        nb::module_ os = nb::module_::import_("os");
        r.os = os.release().ptr();
        r.mkstemp = nb::object(nb::module_::import_("tempfile").attr("mkstemp")).release().ptr();
        // Reading the mask means setting it; done once, before any fill runs.
        nb::handle umask = nb::handle(r.os).attr("umask");
        nb::object mask = umask(022);
        umask(mask);
        r.umask = nb::cast<long>(mask);
        return r;
    });
}

}  // namespace

FileBeside::FileBeside(nb::handle destination) : destination_(nb::borrow(destination)) {
    if (!PyUnicode_Check(destination.ptr()) && !nb::hasattr(destination, "__fspath__")) {
        target_ = destination_;
        return;
    }
    const FileRefs &refs = file_refs();
    nb::handle os(refs.os);
    nb::object path = os.attr("path");
    nb::object full = path.attr("abspath")(os.attr("fspath")(destination));
    nb::object parts = path.attr("split")(full);
    nb::object name = parts[1];
    nb::object extension = path.attr("splitext")(name)[1];
    // The temporary name keeps the extension: the savers and checks look at it.
    nb::object made = nb::handle(refs.mkstemp)("prefix"_a = nb::str(".{}.").format(name),
                                               "suffix"_a = extension, "dir"_a = parts[0]);
    os.attr("close")(made[0]);
    target_ = made[1];
    temporary_ = true;
}

void FileBeside::commit() {
    if (!temporary_)
        return;
    nb::handle os(file_refs().os);
    long mode;
    try {
        mode = nb::cast<long>(os.attr("stat")(destination_).attr("st_mode")) & 07777;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError))
            throw;
        mode = 0666 & ~file_refs().umask;
    }
    os.attr("chmod")(target_, mode);
    os.attr("replace")(target_, destination_);
    temporary_ = false;
}

FileBeside::~FileBeside() {
    if (!temporary_)
        return;
    // Runs while an error unwinds the save: it must neither raise nor hide that error.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    try {
        nb::handle(file_refs().os).attr("remove")(target_);
    } catch (...) {
    }
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

void write_beside(nb::handle destination, nb::handle data) {
    FileBeside out(destination);
    if (out.target().is(destination)) {
        destination.attr("write")(data);
        return;
    }
    write_file(out.target(), data);
    out.commit();
}

void write_file(nb::handle path, nb::handle data) {
    nb::object file = nb::module_::import_("builtins").attr("open")(path, "wb");
    try {
        file.attr("write")(data);
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
}

nb::bytes read_file(nb::handle path) {
    nb::object file = nb::module_::import_("builtins").attr("open")(path, "rb");
    nb::object data;
    try {
        data = file.attr("read")();
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    return nb::borrow<nb::bytes>(data);
}

nb::object make_plain_class(nb::module_ &m, const char *name, const char *doc) {
    nb::dict ns;
    ns["__module__"] = nb::getattr(m, "__name__");
    ns["__doc__"] = nb::str(doc);
    ns["__qualname__"] = nb::str(name);
    nb::object cls = nb::handle((PyObject *) &PyType_Type)(nb::str(name), nb::make_tuple(), ns);
    m.attr(name) = cls;
    return cls;
}

}  // namespace tessel
