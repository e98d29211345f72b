#include "bindings/common/arrays.hpp"

#include "bindings/common/method.hpp"
#include "core/positions.hpp"
#include "core/region_stats.hpp"

namespace movra::bind {

py::array as_array(py::handle obj, const std::string& argname) {
    if (obj.is_none()) raise(PyExc_ValueError, argname + " must be an array, got None");
    py::array arr = py::array::ensure(obj);
    if (!arr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        raise(PyExc_ValueError, argname + " cannot be converted to an array");
    }
    return arr;
}

namespace {

// np.asarray(obj) with a numeric (bool, int, unsigned, float) dtype, or ValueError.
py::array numeric_array(py::handle obj, const std::string& argname) {
    py::array arr = as_array(obj, argname);
    const char kind = arr.dtype().kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f')
        raise(PyExc_ValueError, argname + " must hold numeric values, got dtype " +
                                    py::str(arr.dtype()).cast<std::string>());
    return arr;
}

}  // namespace

Vector as_vector(py::handle obj, const std::string& argname) {
    py::array arr = numeric_array(obj, argname);
    if (arr.ndim() == 2 && arr.shape(1) == 1) arr = arr.attr("reshape")(-1);
    if (arr.ndim() != 1)
        raise(PyExc_ValueError, argname + " must be one-dimensional, got an array of shape " +
                                    py::str(py::tuple(arr.attr("shape"))).cast<std::string>());
    return ensure_array<Vector>(arr, argname);
}

Vector as_matrix(py::handle obj, const std::string& argname) {
    py::array arr = numeric_array(obj, argname);
    if (arr.ndim() != 2)
        raise(PyExc_ValueError, argname + " must be two-dimensional, got an array of shape " +
                                    py::str(py::tuple(arr.attr("shape"))).cast<std::string>());
    return ensure_array<Vector>(arr, argname);
}

Vector as_vector_of_length(py::handle obj, const std::string& argname, std::size_t n) {
    Vector v = as_vector(obj, argname);
    if (static_cast<std::size_t>(v.size()) != n)
        raise(PyExc_ValueError, argname + " has " + std::to_string(v.size()) +
                                    " values, expected " + std::to_string(n));
    return v;
}

Index as_positions(py::handle obj, const std::string& argname, std::size_t n) {
    py::array arr = as_array(obj, argname);
    if (arr.ndim() != 1) raise(PyExc_ValueError, argname + " must be one-dimensional");
    const char kind = arr.dtype().kind();
    if (kind == 'b') {
        if (static_cast<std::size_t>(arr.size()) != n)
            raise(PyExc_ValueError, argname + " is a boolean mask of " +
                                        std::to_string(arr.size()) + " values for " +
                                        std::to_string(n) + " rows");
        using Mask = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;
        const Mask mask = ensure_array<Mask>(arr, argname);
        const core::Span<const std::uint8_t> m{mask.data(), static_cast<std::size_t>(mask.size())};
        std::vector<std::int64_t> rows;
        {
            // Reads a buffer we hold a reference to; no Python objects are touched.
            py::gil_scoped_release release;
            rows = core::mask_positions(m);
        }
        return to_numpy(rows);
    } else if (arr.size() == 0) {
        return new_index(0);
    } else if (kind != 'i' && kind != 'u') {
        raise(PyExc_ValueError, argname +
                                    " must hold integer positions or a boolean mask, got dtype " +
                                    py::str(arr.dtype()).cast<std::string>());
    }
    Index positions = ensure_array<Index>(arr, argname);
    const core::Span<const std::int64_t> in = span(positions);
    std::size_t bad = 0;
    {
        // Reads a buffer we hold a reference to; no Python objects are touched.
        py::gil_scoped_release release;
        bad = core::first_position_outside(in, n);
    }
    if (bad == in.size) return positions;  // already positions of rows: kept as they are
    Index out = new_index(in.size);
    {
        py::gil_scoped_release release;  // as above
        bad = core::normalize_positions(in, n, mutable_span(out));
    }
    if (bad < in.size)
        raise(PyExc_IndexError, argname + " holds position " + std::to_string(in[bad]) +
                                    " out of range for " + std::to_string(n) + " rows");
    return out;
}

Vector gather_array(core::Span<const double> values, const std::vector<std::int64_t>& positions) {
    Vector out = new_vector(positions.size());
    core::gather(values, positions, mutable_span(out));
    return out;
}

Vector new_vector(std::size_t n) { return Vector(static_cast<py::ssize_t>(n)); }
Index new_index(std::size_t n) { return Index(static_cast<py::ssize_t>(n)); }

}  // namespace movra::bind
