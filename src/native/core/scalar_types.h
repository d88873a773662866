// The numpy, pandas and standard-library types that tell a frame's values apart,
// imported once per module and kept for the interpreter's lifetime.
#pragma once

#include <nanobind/nanobind.h>

namespace tessel::scalars {

namespace nb = nanobind;

struct Types {
    PyObject *na, *nat, *data_frame;
    PyObject *np_dtype, *np_generic, *np_bool, *np_integer, *np_floating, *np_datetime64,
        *np_timedelta64, *np_str, *np_bytes;
    PyObject *pd_timestamp, *pd_timedelta, *pd_tz_dtype;
    PyObject *decimal;
};

// Imports the types on first use.
const Types &types();

// isinstance(v, type), raising what Python raises.
bool is_instance(PyObject *v, PyObject *type);

// A new reference kept for good: released from its nb::object so that nothing is
// decremented after the interpreter has gone.
inline PyObject *keep(nb::object o) { return o.release().ptr(); }

}  // namespace tessel::scalars
