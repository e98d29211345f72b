// Arrays at the boundary: whatever users pass (numpy arrays of any numeric dtype, order or
// strides, lists, pandas objects) becomes a contiguous float64 or int64 array once, checked, and
// copied only when it must. Kernels then take pointer + length spans.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/span.hpp"

namespace movra::bind {

namespace py = pybind11;

using Vector = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Index = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// `obj` as the pybind11 array type `Array` (converting, copying only when it must). pybind11's
// ensure() gives a null handle when it cannot convert; that must never reach a kernel, so this
// raises instead: the conversion's own error, or ValueError naming `argname`.
template <typename Array>
Array ensure_array(py::handle obj, const std::string& argname) {
    Array out = Array::ensure(obj);
    if (!out) {
        if (PyErr_Occurred()) throw py::error_already_set();
        PyErr_SetString(PyExc_ValueError,
                        (argname + " cannot be converted to a numeric array").c_str());
        throw py::error_already_set();
    }
    return out;
}

// np.asarray(obj) through numpy's C API (no Python call): ValueError naming `argname` when obj
// cannot be an array.
py::array as_array(py::handle obj, const std::string& argname);

// A 1-D numeric array as contiguous float64. ValueError naming `argname` for non-numeric data,
// a 0-D or 2-D argument (a 2-D column of one is accepted and ravelled).
Vector as_vector(py::handle obj, const std::string& argname);

// A 2-D numeric array as C-contiguous float64 (a 1-D argument is rejected).
Vector as_matrix(py::handle obj, const std::string& argname);

// Same as as_vector, and the length must be `n`.
Vector as_vector_of_length(py::handle obj, const std::string& argname, std::size_t n);

// Row positions from integer positions (negative ones counted from the end) or a boolean mask,
// for a data set of `n` rows; out-of-range positions raise IndexError naming `argname`.
Index as_positions(py::handle obj, const std::string& argname, std::size_t n);

// Views for kernels.
inline core::Span<const double> span(const Vector& v) {
    return {v.data(), static_cast<std::size_t>(v.size())};
}
inline core::Span<const std::int64_t> span(const Index& v) {
    return {v.data(), static_cast<std::size_t>(v.size())};
}

// New arrays owned by Python, to be filled by a kernel.
Vector new_vector(std::size_t n);
Index new_index(std::size_t n);
inline core::Span<double> mutable_span(Vector& v) {
    return {v.mutable_data(), static_cast<std::size_t>(v.size())};
}
inline core::Span<std::int64_t> mutable_span(Index& v) {
    return {v.mutable_data(), static_cast<std::size_t>(v.size())};
}

// A new numpy array holding a copy of `values`.
template <typename T>
py::array_t<T> to_numpy(const std::vector<T>& values) {
    py::array_t<T> out(static_cast<py::ssize_t>(values.size()));
    if (!values.empty()) std::memcpy(out.mutable_data(), values.data(), values.size() * sizeof(T));
    return out;
}

// values[positions] as a new float64 array.
Vector gather_array(core::Span<const double> values, const std::vector<std::int64_t>& positions);

// True when obj is None.
inline bool is_none(py::handle obj) { return obj.is_none(); }

}  // namespace movra::bind
