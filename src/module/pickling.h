// Pickling for bound types. pybind11's own fallback for pickle protocols 0 and 1 aborts the
// interpreter, so every bound type gets a __reduce__ of its own from here.
#pragma once

#include <pybind11/pybind11.h>

namespace pyqx {

// Enumeration instances pickle and copy as (type, (value,)) at every protocol.
void allow_value_pickling(pybind11::handle enumeration_type);

// Instances raise TypeError("cannot pickle 'Name' object") at every protocol.
void refuse_pickling(pybind11::handle type);

}  // namespace pyqx
