// Private entry points that let tests drive the package layer's writer directly.
#pragma once

#include <nanobind/nanobind.h>

namespace tessel::hooks {

namespace nb = nanobind;

// Defines the module's _rewrite_package.
void def_package_hooks(nb::module_ &m);

}  // namespace tessel::hooks
