#include "core/confinement.h"

#include "core/once.h"
#include "core/placeholder.h"
#include "core/process_limits.h"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef __linux__
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

namespace tessel::confinement {

using namespace nb::literals;

namespace {

// What parent and child share: the child counts its evaluations and opens each
// one's time window; the parent reads them to time it.
struct Shared {
    unsigned long long ordinal;  // evaluations begun
    long long started_ns;        // the child's CPU clock when the window opened
    long long active;            // a window is open
};

// The state of a confined child; null in the parent.
struct Child {
    Shared *shared;
    Limits limits;
    std::map<unsigned long long, std::string> skips;  // evaluations that hit a limit
    unsigned long long skip_from;                    // every evaluation from here fails
    std::string skip_from_reason;
};
Child *child = nullptr;

// A fill is restarted at most this often; then every placeholder from the last
// one that hit a limit fails, so that a template of endless loops costs a bounded time.
constexpr int kMaxRestarts = 8;

// A child that uses no CPU for this long outside a placeholder is stopped.
constexpr long long kStuckNanoseconds = 30'000'000'000LL;

// How often the parent looks at a running child.
constexpr int kPollMilliseconds = 20;

std::string limit_text(double seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

std::string time_reason(const Limits &limits) {
    return "TimeoutError: past the time limit of safe mode (" + limit_text(limits.seconds) +
           " s of CPU time for one placeholder)";
}

[[noreturn]] void raise_value(const char *message) { throw nb::value_error(message); }

}  // namespace

Limits limits_of(nb::handle filler) {
    nb::object given = nb::getattr(filler, "safe_limits", nb::none());
    Limits limits{kDefaultMemory, kDefaultSeconds};
    if (given.is_none())
        return limits;
    constexpr const char *message =
        "safe_limits must be None or a pair (memory_bytes, seconds) of positive numbers";
    if (!PyTuple_Check(given.ptr()) && !PyList_Check(given.ptr()))
        raise_value(message);
    if (nb::len(given) != 2)
        raise_value(message);
    nb::object memory = given[0], seconds = given[1];
    if (!PyLong_Check(memory.ptr()) || PyBool_Check(memory.ptr()))
        raise_value(message);
    int overflow = 0;
    const long long bytes = PyLong_AsLongLongAndOverflow(memory.ptr(), &overflow);
    if (overflow < 0 || (!overflow && bytes <= 0))
        raise_value(message);
    limits.memory = overflow > 0 ? ~0ULL : (unsigned long long) bytes;
    if (PyBool_Check(seconds.ptr()) || !(PyLong_Check(seconds.ptr()) || PyFloat_Check(seconds.ptr())))
        raise_value(message);
    limits.seconds = PyFloat_AsDouble(seconds.ptr());
    if (limits.seconds == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (!(limits.seconds > 0) || !std::isfinite(limits.seconds))
        raise_value(message);
    return limits;
}

bool confined() { return child != nullptr; }

void expose(nb::module_ &m) {
    m.attr("CONFINED") = nb::bool_(available());
    m.attr("SAFE_LIMITS") = nb::make_tuple(kDefaultMemory, kDefaultSeconds);
}

bool wanted(nb::handle filler, bool on_request) {
    if (!truthy(nb::getattr(filler, "safe", nb::bool_(false))) || !available())
        return false;
    return !on_request || !nb::getattr(filler, "safe_limits", nb::none()).is_none();
}

Made run_reporting(nb::handle filler, Report &report, const std::function<nb::object(Report &)> &fill) {
    Product product = run(limits_of(filler), [&] {
        Report inner(report.checking());
        nb::object output = fill(inner);
        return Product{inner.entries(), nb::none(), output};
    });
    report.take(product.report);
    return {nb::borrow<nb::bytes>(product.output), product.warnings};
}

void warn_again(nb::handle warnings, std::initializer_list<nb::handle> own) {
    nb::object builtins = nb::module_::import_("builtins");
    for (nb::handle warning : warnings) {
        if (!PyList_Check(warning.ptr()) || nb::len(warning) != 2 || !PyUnicode_Check(warning[0].ptr()) ||
            !PyUnicode_Check(warning[1].ptr()))
            continue;
        nb::object name = warning[0];
        nb::object category = nb::borrow(PyExc_UserWarning);
        const nb::handle *mine = std::find_if(own.begin(), own.end(),
                                              [&](nb::handle c) { return name.equal(c.attr("__name__")); });
        if (mine != own.end()) {
            category = nb::borrow(*mine);
        } else if (nb::hasattr(builtins, name)) {
            nb::object found = builtins.attr(name);
            if (PyType_Check(found.ptr()) &&
                PyType_IsSubtype((PyTypeObject *) found.ptr(), (PyTypeObject *) PyExc_Warning))
                category = found;
        }
        nb::object message = warning[1];
        if (PyErr_WarnEx(category.ptr(), nb::cast<std::string>(message).c_str(), 1) < 0)
            throw nb::python_error();
    }
}

nb::object memory_reason() {
    return nb::str(("MemoryError: past the memory limit of safe mode (" +
                    std::to_string(child ? child->limits.memory : kDefaultMemory) +
                    " bytes above the caller's own use)")
                       .c_str());
}

#ifdef __linux__

namespace {

long long cpu_ns(clockid_t clock) {
    timespec t{};
    if (clock_gettime(clock, &t) != 0)
        return -1;
    return (long long) t.tv_sec * 1000000000LL + t.tv_nsec;
}

long long wall_ns() { return cpu_ns(CLOCK_MONOTONIC); }

// -- what travels through the pipe -----------------------------------------------

// "TSL1", the length and text of a JSON object, the length and bytes of the output.
constexpr char kMagic[4] = {'T', 'S', 'L', '1'};

void put64(std::string &out, unsigned long long n) {
    for (int i = 0; i < 8; ++i)
        out.push_back((char) ((n >> (8 * i)) & 0xff));
}

unsigned long long get64(const std::string &in, size_t at) {
    unsigned long long n = 0;
    for (int i = 0; i < 8; ++i)
        n |= (unsigned long long) (unsigned char) in[at + i] << (8 * i);
    return n;
}

bool write_all(int fd, const char *data, size_t size) {
    while (size) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= (size_t) n;
    }
    return true;
}

void send(int fd, nb::handle message, nb::handle output) {
    nb::bytes json = nb::borrow<nb::bytes>(nb::module_::import_("json").attr("dumps")(message).attr("encode")());
    std::string head(kMagic, 4);
    put64(head, json.size());
    const char *out = nullptr;
    Py_ssize_t out_size = 0;
    if (output.is_valid() && !output.is_none() && PyBytes_AsStringAndSize(output.ptr(), (char **) &out, &out_size) < 0)
        throw nb::python_error();
    std::string middle;
    put64(middle, (unsigned long long) out_size);
    if (!write_all(fd, head.data(), head.size()) || !write_all(fd, json.c_str(), json.size()) ||
        !write_all(fd, middle.data(), middle.size()) || (out_size && !write_all(fd, out, (size_t) out_size)))
        _exit(3);
}

nb::object text_of(nb::handle value) {
    PyObject *text = PyObject_Str(value.ptr());
    if (!text)
        throw nb::python_error();
    return nb::steal(text);
}

// The Python exception that a C++ exception out of a fill becomes.
const char *error_name(const std::exception &e) {
    if (auto *b = dynamic_cast<const nb::builtin_exception *>(&e)) {
        static const char *const names[] = {"RuntimeError", "StopIteration", "IndexError",  "KeyError",
                                            "ValueError",   "TypeError",     "BufferError", "ImportError",
                                            "AttributeError"};
        const size_t k = (size_t) b->type();
        return k < sizeof names / sizeof *names ? names[k] : "RuntimeError";
    }
    if (dynamic_cast<const std::invalid_argument *>(&e) || dynamic_cast<const std::domain_error *>(&e))
        return "ValueError";
    if (dynamic_cast<const std::out_of_range *>(&e))
        return "IndexError";
    if (dynamic_cast<const std::bad_alloc *>(&e))
        return "MemoryError";
    if (dynamic_cast<const std::overflow_error *>(&e))
        return "OverflowError";
    return "RuntimeError";
}

// The child: confined, it runs the work and sends what it made.  It never returns
// to the caller's code, and leaves without running the parent's exit handlers or
// flushing its buffers.
[[noreturn]] void run_child(pid_t parent, const Limits &limits, unsigned long long base, int fd,
                            const std::vector<std::string> &folders, Shared *shared,
                            const std::function<Product()> &work, std::map<unsigned long long, std::string> skips,
                            unsigned long long skip_from, std::string skip_from_reason) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)  // the parent is gone already
        _exit(1);
    if (!process_limits::confine(base, limits.memory, fd, folders))
        _exit(4);
    Child state{shared, limits, std::move(skips), skip_from, std::move(skip_from_reason)};
    child = &state;
    try {
        // The collector would otherwise visit, and so copy, every page of the
        // parent's objects; the child's own are collected as usual.
        nb::module_::import_("gc").attr("freeze")();
        nb::module_ warnings = nb::module_::import_("warnings");
        nb::object scope = warnings.attr("catch_warnings")("record"_a = true);
        nb::object caught = scope.attr("__enter__")();
        warnings.attr("simplefilter")("always");
        Product product;
        try {
            product = work();
        } catch (...) {
            scope.attr("__exit__")(nb::none(), nb::none(), nb::none());
            throw;
        }
        scope.attr("__exit__")(nb::none(), nb::none(), nb::none());
        nb::list said;
        for (nb::handle w : caught)
            said.append(nb::make_tuple(w.attr("category").attr("__name__"), text_of(w.attr("message"))));
        nb::dict message;
        message["report"] = product.report;
        message["warnings"] = said;
        send(fd, message, product.output);
        _exit(0);
    } catch (nb::python_error &e) {
        try {
            nb::dict message;
            message["error"] = nb::make_tuple(e.type().attr("__module__"), e.type().attr("__qualname__"),
                                              text_of(e.value()));
            send(fd, message, nb::handle());
        } catch (...) {
        }
        _exit(0);
    } catch (const std::exception &e) {
        try {
            nb::dict message;
            message["error"] = nb::make_tuple("builtins", error_name(e), e.what());
            send(fd, message, nb::handle());
        } catch (...) {
        }
        _exit(0);
    } catch (...) {
        _exit(5);
    }
}

// -- the parent ------------------------------------------------------------------

// The folders a child may read where Landlock holds: the interpreter's standard
// library and installed packages, this package, and time-zone data.
const std::vector<std::string> &readable_folders(nb::handle package_file) {
    return made_once<std::vector<std::string>>([&] {
        std::vector<std::string> out;
        auto add = [&](nb::handle path) {
            if (!path.is_none())
                out.push_back(nb::cast<std::string>(nb::str(path)));
        };
        nb::module_ sysconfig = nb::module_::import_("sysconfig");
        for (const char *key : {"stdlib", "platstdlib", "purelib", "platlib"})
            add(sysconfig.attr("get_path")(key));
        nb::module_ site = nb::module_::import_("site");
        if (nb::hasattr(site, "getsitepackages"))
            for (nb::handle path : site.attr("getsitepackages")())
                add(path);
        nb::module_ os = nb::module_::import_("os");
        add(os.attr("path").attr("dirname")(os.attr("path").attr("dirname")(package_file)));
        for (nb::handle path : nb::module_::import_("zoneinfo").attr("TZPATH"))
            add(path);
        // Shared libraries that an extension module loads on first use.
        for (const char *path : {"/lib", "/lib64", "/usr/lib", "/usr/lib64"})
            out.emplace_back(path);
        return out;
    });
}

// True once `data` holds a whole reply.
bool reply_complete(const std::string &data) {
    if (data.size() < 12)
        return false;
    const unsigned long long json_size = get64(data, 4);
    if (json_size > data.size() - 12 || data.size() - 12 - json_size < 8)
        return false;
    return get64(data, 12 + json_size) <= data.size() - 20 - json_size;
}

// Children whose reply came whole: they are leaving, and are reaped without
// waiting for their memory to be given back.
std::vector<pid_t> leaving;

void reap_leaving() {
    std::vector<pid_t> still;
    for (pid_t pid : leaving) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == 0)
            still.push_back(pid);
    }
    leaving.swap(still);
}

struct Reply {
    std::string data;
    bool complete = false;
    int status = 0;
    bool killed = false;  // by the parent, for time
    bool stuck = false;   // by the parent, for making no progress
    bool active = false;  // a placeholder's window was open when it ended
    unsigned long long ordinal = 0;
};

// Waits for the child, timing each placeholder's window.  Interrupts reach the
// caller: the child is stopped first.
Reply wait_for(pid_t pid, int fd, Shared *shared, const Limits &limits) {
    Reply reply;
    clockid_t clock;
    const bool timed = clock_getcpuclockid(pid, &clock) == 0;
    unsigned long long seen_ordinal = 0;
    long long seen_wall = wall_ns();
    const long long cpu_limit = (long long) (limits.seconds * 1e9);
    // A placeholder that sleeps or waits uses no CPU; it gets some slack in real time.
    const long long wall_limit = cpu_limit * 3 + 2000000000LL;
    long long idle_cpu = -1, idle_since = seen_wall;
    char buffer[1 << 16];
    bool open = true;
    while (open) {
        int ready = 0;
        {
            nb::gil_scoped_release release;
            pollfd p{fd, POLLIN, 0};
            ready = poll(&p, 1, kPollMilliseconds);
            if (ready > 0) {
                for (;;) {
                    const ssize_t n = read(fd, buffer, sizeof buffer);
                    if (n > 0) {
                        reply.data.append(buffer, (size_t) n);
                        if ((size_t) n < sizeof buffer)
                            break;
                        continue;
                    }
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n == 0)
                        open = false;
                    break;
                }
            }
        }
        if (PyErr_CheckSignals() != 0) {
            kill(pid, SIGKILL);
            nb::gil_scoped_release release;
            waitpid(pid, nullptr, 0);
            throw nb::python_error();
        }
        if (!open)
            break;
        if (reply_complete(reply.data)) {
            reply.complete = true;
            leaving.push_back(pid);
            return reply;
        }
        const unsigned long long ordinal = __atomic_load_n(&shared->ordinal, __ATOMIC_ACQUIRE);
        const bool active = __atomic_load_n(&shared->active, __ATOMIC_ACQUIRE) != 0;
        const long long now = wall_ns();
        if (!active && timed) {
            // Between placeholders the child runs the filler's own code, which
            // never waits: a child that uses no CPU for long is stuck (a lock held
            // by another thread of the parent when it forked).
            const long long cpu = cpu_ns(clock);
            if (cpu != idle_cpu) {
                idle_cpu = cpu;
                idle_since = now;
            } else if (now - idle_since > kStuckNanoseconds) {
                kill(pid, SIGKILL);
                reply.stuck = true;
                break;
            }
        }
        if (ordinal != seen_ordinal || !active) {
            seen_ordinal = ordinal;
            seen_wall = now;
            continue;
        }
        const long long started = __atomic_load_n(&shared->started_ns, __ATOMIC_ACQUIRE);
        const long long used = timed ? cpu_ns(clock) - started : 0;
        if (used > cpu_limit || now - seen_wall > wall_limit) {
            kill(pid, SIGKILL);
            reply.killed = true;
            reply.active = true;
            reply.ordinal = ordinal;
            break;
        }
    }
    int status = 0;
    {
        nb::gil_scoped_release release;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    reply.status = status;
    if (!reply.killed) {
        reply.active = __atomic_load_n(&shared->active, __ATOMIC_ACQUIRE) != 0;
        reply.ordinal = __atomic_load_n(&shared->ordinal, __ATOMIC_ACQUIRE);
    }
    return reply;
}

// The libraries whose exceptions a fill may raise and the parent raises again by
// their own class, found among the modules it has imported; others become a
// RuntimeError that names them.
constexpr const char *kKnownErrors[] = {"builtins", "zipfile", "zlib", "lxml.", "xml.", "openpyxl.", "docx.",
                                        "PIL.", "pandas.", "numpy."};

nb::object known_error(nb::handle module_name, nb::handle qualname) {
    if (!PyUnicode_Check(module_name.ptr()) || !PyUnicode_Check(qualname.ptr()))
        return nb::none();
    const std::string module = nb::cast<std::string>(module_name);
    bool known = false;
    for (const char *prefix : kKnownErrors) {
        const std::string p(prefix);
        known = known || (p.back() == '.' ? module.rfind(p, 0) == 0 || module + "." == p : module == p);
    }
    PyObject *loaded = known ? PyImport_GetModule(module_name.ptr()) : nullptr;
    if (!loaded) {
        PyErr_Clear();
        return nb::none();
    }
    nb::object found = nb::steal(loaded);
    for (nb::handle part : qualname.attr("split")(".")) {
        if (!nb::hasattr(found, part))
            return nb::none();
        found = found.attr(part);
    }
    if (!PyType_Check(found.ptr()) || !PyType_IsSubtype((PyTypeObject *) found.ptr(), (PyTypeObject *) PyExc_Exception))
        return nb::none();
    return found;
}

[[noreturn]] void raise_child_error(nb::handle error) {
    nb::object module = error[0], name = error[1], message = error[2];
    nb::object type = known_error(module, name);
    if (!type.is_none()) {
        // A class that wants more than a message is made without its __init__,
        // holding the message alone; one that then does not say it is named instead.
        PyObject *made = PyObject_CallOneArg(type.ptr(), message.ptr());
        if (!made) {
            PyErr_Clear();
            made = PyObject_CallMethod(PyExc_BaseException, "__new__", "O", type.ptr());
            if (made && PyObject_SetAttrString(made, "args", nb::make_tuple(message).ptr()) == 0) {
                PyObject *text = PyObject_Str(made);
                if (!text || PyObject_RichCompareBool(text, message.ptr(), Py_EQ) != 1)
                    Py_CLEAR(made);
                Py_XDECREF(text);
            } else {
                Py_CLEAR(made);
            }
        }
        if (made) {
            PyErr_SetObject(type.ptr(), made);
            Py_DECREF(made);
            throw nb::python_error();
        }
        PyErr_Clear();
    }
    PyErr_SetObject(PyExc_RuntimeError, nb::str("{}: {}").format(name, message).ptr());
    throw nb::python_error();
}

[[noreturn]] void broken_reply() {
    throw std::runtime_error("the confined fill sent back no result it could read");
}

Product read_reply(const std::string &data) {
    if (data.size() < 12 || std::memcmp(data.data(), kMagic, 4) != 0)
        broken_reply();
    const unsigned long long json_size = get64(data, 4);
    if (json_size > data.size() - 12 || data.size() - 12 - json_size < 8)
        broken_reply();
    const unsigned long long out_size = get64(data, 12 + json_size);
    if (out_size != data.size() - 20 - json_size)
        broken_reply();
    nb::object message =
        nb::module_::import_("json").attr("loads")(nb::bytes(data.data() + 12, (size_t) json_size));
    if (!PyDict_Check(message.ptr()))
        broken_reply();
    if (PyDict_GetItemString(message.ptr(), "error")) {
        nb::object error = message["error"];
        if (!PyList_Check(error.ptr()) || nb::len(error) != 3)
            broken_reply();
        raise_child_error(error);
    }
    Product product;
    product.report = message.attr("get")("report");
    product.warnings = message.attr("get")("warnings");
    if (!PyList_Check(product.report.ptr()) || !PyList_Check(product.warnings.ptr()))
        broken_reply();
    product.output = nb::bytes(data.data() + 20 + json_size, (size_t) out_size);
    return product;
}

std::string signal_reason(int status, const Limits &limits) {
    const int sig = WTERMSIG(status);
    return "the confined process stopped (signal " + std::to_string(sig) + ", " + strsignal(sig) +
           ") while this placeholder ran, within its limits of " + std::to_string(limits.memory) +
           " bytes and " + limit_text(limits.seconds) + " s";
}

}  // namespace

bool available() {
    if (child)
        return false;
    static const bool can = process_limits::supported();
    return can;
}

// Modules that a fill of any kind imports on first use: the child reports with
// json, reads ZIP names in cp437, and pandas reaches pyarrow for its text columns.
// Imported before the child starts, they cost nothing there and need no file.
void prepare() {
    static bool prepared = false;
    if (prepared)
        return;
    for (const char *name : {"json", "warnings", "encodings.cp437", "importlib.resources.readers"})
        nb::module_::import_(name);
    try {
        nb::module_::import_("pyarrow.pandas_compat");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
    }
    prepared = true;
}

Product run(const Limits &limits, const std::function<Product()> &work) {
    prepare();
    const std::vector<std::string> &folders =
        readable_folders(prepare_safe_mode().attr("__file__"));
    void *memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw std::runtime_error("safe mode could not share memory with its confined process");
    struct Unmap {
        void *at;
        ~Unmap() { munmap(at, sizeof(Shared)); }
    } unmap{memory};
    Shared *shared = static_cast<Shared *>(memory);

    std::map<unsigned long long, std::string> skips;
    unsigned long long skip_from = ~0ULL;
    std::string skip_from_reason;
    const unsigned long long base = process_limits::address_space();
    reap_leaving();
    for (int restarts = 0;; ++restarts) {
        std::memset(shared, 0, sizeof(Shared));
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("safe mode could not open a pipe to its confined process");
        const pid_t parent = getpid();
        nb::object forked;
        try {
            forked = nb::module_::import_("os").attr("fork")();
        } catch (...) {
            close(fds[0]);
            close(fds[1]);
            throw;
        }
        const long pid = nb::cast<long>(forked);
        if (pid == 0) {
            close(fds[0]);
            run_child(parent, limits, base, fds[1], folders, shared, work, skips, skip_from, skip_from_reason);
        }
        close(fds[1]);
        Reply reply;
        try {
            reply = wait_for((pid_t) pid, fds[0], shared, limits);
        } catch (...) {
            close(fds[0]);
            throw;
        }
        close(fds[0]);
        if (reply.complete || (!reply.killed && WIFEXITED(reply.status) && WEXITSTATUS(reply.status) == 0)) {
            Product product = read_reply(reply.data);
            reap_leaving();
            return product;
        }
        if (reply.stuck)
            throw std::runtime_error("the confined fill made no progress for 30 s and was stopped");
        if (WIFEXITED(reply.status) && WEXITSTATUS(reply.status) == 4)
            throw std::runtime_error("safe mode could not confine its process on this system");
        if (!reply.active || reply.ordinal == 0)
            throw std::runtime_error("the confined fill stopped outside any placeholder (status " +
                                     std::to_string(reply.status) + ")");
        const std::string reason = reply.killed ? time_reason(limits) : signal_reason(reply.status, limits);
        if (restarts + 1 >= kMaxRestarts) {
            skip_from = reply.ordinal;
            skip_from_reason = "not run: safe mode stopped this fill " + std::to_string(kMaxRestarts) +
                               " times; the last placeholder it stopped: " + reason;
        }
        skips[reply.ordinal] = reason;
    }
}

nb::object begin_evaluation() {
    if (!child)
        return nb::object();
    Shared *shared = child->shared;
    const unsigned long long ordinal = shared->ordinal + 1;
    __atomic_store_n(&shared->started_ns, cpu_ns(CLOCK_PROCESS_CPUTIME_ID), __ATOMIC_RELEASE);
    __atomic_store_n(&shared->ordinal, ordinal, __ATOMIC_RELEASE);
    __atomic_store_n(&shared->active, 1, __ATOMIC_RELEASE);
    auto skip = child->skips.find(ordinal);
    if (skip != child->skips.end())
        return nb::str(skip->second.c_str());
    if (ordinal > child->skip_from)
        return nb::str(child->skip_from_reason.c_str());
    return nb::object();
}

void evaluations_done() {
    if (child)
        __atomic_store_n(&child->shared->active, 0, __ATOMIC_RELEASE);
}

#else  // no confinement but on Linux

bool available() { return false; }

Product run(const Limits &, const std::function<Product()> &work) { return work(); }

nb::object begin_evaluation() { return nb::object(); }

void evaluations_done() {}

#endif

}  // namespace tessel::confinement
