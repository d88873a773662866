// Safe mode's confined process.  A safe fill forks a child once the parent has
// imported what the fill needs; the child takes hard limits from the operating
// system (its address space, no new privileges, a seccomp filter that refuses
// files opened for writing, sockets, processes and signals to others; where the
// kernel has Landlock, read access only to the interpreter's installation), fills
// in memory and hands back the filled bytes and its report as plain data through
// a pipe.  The parent times each placeholder; one that runs out of time or memory
// fails by its limit, and a new child fills the rest without it.
#pragma once

#include "core/placeholder.h"

#include <functional>
#include <initializer_list>

namespace tessel::confinement {

namespace nb = nanobind;

struct Limits {
    unsigned long long memory;  // bytes of address space above the parent's own
    double seconds;             // CPU time of one placeholder, with what it writes
};

inline constexpr unsigned long long kDefaultMemory = 1ULL << 30;
inline constexpr double kDefaultSeconds = 10;

// The limits `filler.safe_limits` asks for: None gives the defaults, else a pair
// (memory_bytes, seconds) of positive numbers; anything else raises ValueError.
Limits limits_of(nb::handle filler);

// True where a safe fill can run confined: on Linux with seccomp, in a process
// that is not itself a confined child.
bool available();

// Sets the module attributes that tell callers what safe mode does here:
// CONFINED (whether safe fills run in a confined process) and SAFE_LIMITS (the
// default limits).
void expose(nb::module_ &m);

// True inside a confined child.
bool confined();

// What a child makes: the report as a list of (placeholder, place, reason), the
// warnings as (category name, message) and the filled bytes.
struct Product {
    nb::object report;
    nb::object warnings;
    nb::object output;
};

// Runs `work` in confined children until one finishes, and returns what it made.
// An error of the fill itself is raised again in the parent.
Product run(const Limits &limits, const std::function<Product()> &work);

// True when a call of `filler` runs confined: it is safe, the platform confines,
// and, for a filler that confines only on request (`on_request`), it gives
// `safe_limits`.
bool wanted(nb::handle filler, bool on_request = false);

// A confined call of `filler`: `fill` runs in the child, reporting into a report
// of the same kind as `report` and returning what it made (bytes or None).  Its
// entries go into `report`; what it made and the warnings it gave come back.
struct Made {
    nb::bytes output;
    nb::object warnings;
};
Made run_reporting(nb::handle filler, Report &report, const std::function<nb::object(Report &)> &fill);

// Gives again the warnings of a child: `own` are the categories the filler warns
// with, others are builtin categories, else UserWarning.
void warn_again(nb::handle warnings, std::initializer_list<nb::handle> own);
inline void warn_again(nb::handle warnings, nb::handle own) { warn_again(warnings, {own}); }

// Called by the evaluator before each evaluation in a child: the reason to fail
// it without running it (it hit a limit in an earlier child), else an invalid
// object.  It opens the placeholder's time window.
nb::object begin_evaluation();

// Closes the time window of the last placeholder: what follows (saving) is the
// filler's own work.  Nothing outside a child.
void evaluations_done();

// The reason of a MemoryError inside a child, which names the limit.
nb::object memory_reason();

}  // namespace tessel::confinement
