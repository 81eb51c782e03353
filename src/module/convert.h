// Conversion pieces shared by every binding: the handle types, out-variables and the
// status-and-value tuple.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl_bind.h>

#include <QuorvexSDK/QuorvexSDK.h>

#include "module/release.h"

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

// Every std::vector<std::string> crossing the boundary is a QxStringList, never a list.
PYBIND11_MAKE_OPAQUE(std::vector<std::string>)

namespace pyqx {

namespace py = pybind11;

using CameraPtr = std::shared_ptr<QxCamera>;

// Calls a library function whose out-parameters follow its inputs and returns the
// status-and-value tuple (status, outs...). Every out-variable starts value-initialised
// (zero, the enumerator 0, an all-zero record, an empty string or vector), so a library
// that fails without writing an out-parameter never hands back uninitialised memory.
template <typename... Outs, typename Function, typename... Inputs>
std::tuple<int, Outs...> call_with_outs(Function&& function, Inputs&&... inputs) {
    std::tuple<Outs...> outs{};
    const void* device = device_of(inputs...);
    const int status = std::apply(
        [&](Outs&... out) {
            return call_library(device, [&] { return static_cast<int>(function(std::forward<Inputs>(inputs)..., out...)); });
        },
        outs);
    return std::tuple_cat(std::make_tuple(status), std::move(outs));
}

// The array item of a failed array wrapper: one-dimensional, length 0.
template <typename Element>
py::array_t<Element> empty_array() {
    return py::array_t<Element>(0);
}

// A new one-dimensional array that owns a copy of `values`.
template <typename Element>
py::array_t<Element> array_from(const std::vector<Element>& values) {
    py::array_t<Element> array(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), array.mutable_data());
    return array;
}

}  // namespace pyqx
