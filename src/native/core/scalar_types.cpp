#include "core/scalar_types.h"

#include "core/once.h"

namespace tessel::scalars {

const Types &types() {
    return made_once<Types>([] {
        nb::module_ np = nb::module_::import_("numpy");
        nb::module_ pd = nb::module_::import_("pandas");
        Types t;
        t.na = keep(pd.attr("NA"));
        t.nat = keep(pd.attr("NaT"));
        t.data_frame = keep(pd.attr("DataFrame"));
        t.np_dtype = keep(np.attr("dtype"));
        t.np_generic = keep(np.attr("generic"));
        t.np_bool = keep(np.attr("bool_"));
        t.np_integer = keep(np.attr("integer"));
        t.np_floating = keep(np.attr("floating"));
        t.np_datetime64 = keep(np.attr("datetime64"));
        t.np_timedelta64 = keep(np.attr("timedelta64"));
        t.np_str = keep(np.attr("str_"));
        t.np_bytes = keep(np.attr("bytes_"));
        t.pd_timestamp = keep(pd.attr("Timestamp"));
        t.pd_timedelta = keep(pd.attr("Timedelta"));
        t.pd_tz_dtype = keep(pd.attr("DatetimeTZDtype"));
        t.decimal = keep(nb::module_::import_("decimal").attr("Decimal"));
        return t;
    });
}

bool is_instance(PyObject *v, PyObject *type) {
    int r = PyObject_IsInstance(v, type);
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

}  // namespace tessel::scalars
