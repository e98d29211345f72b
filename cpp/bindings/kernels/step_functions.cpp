// Step-function evaluation: the rows of a data matrix looked up among an effect's split points.
#include "core/step_functions.hpp"

#include <pybind11/numpy.h>

#include <string>

#include "bindings/common/arrays.hpp"
#include "bindings/common/method.hpp"
#include "bindings/kernels/kernels_module.hpp"

namespace movra::kernels {

namespace {

using Strided = py::array_t<double, py::array::forcecast>;

// One column of X as a strided float64 view, without copying the matrix when its layout allows.
struct ColumnView {
    Strided holder;
    core::Column column;
};

ColumnView column_view(py::handle x, std::int64_t j) {
    py::array arr = bind::as_array(x, "X");
    const char kind = arr.dtype().kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f')
        bind::raise(PyExc_ValueError, "X must hold numeric values, got dtype " +
                                          py::str(arr.dtype()).cast<std::string>());
    Strided a = bind::ensure_array<Strided>(arr, "X");
    if (a.ndim() == 1) {
        if (j > 0)
            bind::raise(PyExc_ValueError, "X is one-dimensional: no column " + std::to_string(j));
        j = 0;
    } else if (a.ndim() == 2) {
        if (j < 0 || j >= a.shape(1))
            bind::raise(PyExc_ValueError, "column " + std::to_string(j) +
                                              " is out of range for X with " +
                                              std::to_string(a.shape(1)) + " columns");
    } else {
        bind::raise(PyExc_ValueError, "X must be one- or two-dimensional");
    }
    const auto item = static_cast<py::ssize_t>(sizeof(double));
    auto usable = [&](const Strided& v) {
        for (py::ssize_t d = 0; d < v.ndim(); ++d)
            if (v.strides(d) < 0 || v.strides(d) % item != 0) return false;
        return true;
    };
    if (!usable(a)) a = bind::ensure_array<bind::Vector>(a, "X");  // a C-contiguous copy
    core::Column col;
    col.size = static_cast<std::size_t>(a.shape(0));
    col.stride = static_cast<std::size_t>(a.strides(0) / item);
    col.data = a.data() + (a.ndim() == 2 ? j * (a.strides(1) / item) : 0);
    return ColumnView{std::move(a), col};
}

bind::Vector split_points_of(py::handle obj, const char* argname) {
    bind::Vector s = bind::as_vector(obj, argname);
    if (!core::strictly_increasing(bind::span(s)))
        bind::raise(PyExc_ValueError, std::string(argname) + " must be strictly increasing");
    return s;
}

py::object evaluate_1d(py::handle x, py::handle split_points, py::handle levels,
                       std::int64_t column) {
    ColumnView xv = column_view(x, column);
    bind::Vector s = split_points_of(split_points, "split_points");
    bind::Vector l =
        bind::as_vector_of_length(levels, "levels", static_cast<std::size_t>(s.size()) + 2);
    bind::Vector out = bind::new_vector(xv.column.size);
    auto out_span = bind::mutable_span(out);
    {
        // Only memory owned by the arrays held above is touched; no Python object is used.
        py::gil_scoped_release release;
        core::evaluate_step_1d(xv.column, bind::span(s), bind::span(l), out_span);
    }
    return std::move(out);
}

py::object evaluate_2d(py::handle x, py::handle split_points_a, py::handle split_points_b,
                       py::handle levels, std::int64_t column_a, std::int64_t column_b) {
    ColumnView av = column_view(x, column_a);
    ColumnView bv = column_view(x, column_b);
    bind::Vector sa = split_points_of(split_points_a, "split_points_a");
    bind::Vector sb = split_points_of(split_points_b, "split_points_b");
    bind::Vector l = bind::as_matrix(levels, "levels");
    const auto rows = static_cast<py::ssize_t>(sa.size() + 2);
    const auto cols = static_cast<py::ssize_t>(sb.size() + 2);
    if (l.shape(0) != rows || l.shape(1) != cols)
        bind::raise(PyExc_ValueError, "levels must have shape (" + std::to_string(rows) + ", " +
                                          std::to_string(cols) + ")");
    bind::Vector out = bind::new_vector(av.column.size);
    auto out_span = bind::mutable_span(out);
    {
        // Only memory owned by the arrays held above is touched; no Python object is used.
        py::gil_scoped_release release;
        core::evaluate_step_2d(av.column, bv.column, bind::span(sa), bind::span(sb), bind::span(l),
                               out_span);
    }
    return std::move(out);
}

}  // namespace

void register_step_functions(py::module_& m) {
    m.def("evaluate_step_1d", &evaluate_1d, py::arg("X"), py::arg("split_points"),
          py::arg("levels"), py::arg("column") = -1,
          "Levels of a one-feature step function at the rows of X (a vector, or a matrix and "
          "the column to read). A value v falls in bin #{p <= float32(v)}; NaN in the last bin.");
    m.def("evaluate_step_2d", &evaluate_2d, py::arg("X"), py::arg("split_points_a"),
          py::arg("split_points_b"), py::arg("levels"), py::arg("column_a"), py::arg("column_b"),
          "Levels of a two-feature step function at the rows of X, reading columns column_a and "
          "column_b; levels has shape (len(split_points_a) + 2, len(split_points_b) + 2).");
}

}  // namespace movra::kernels
