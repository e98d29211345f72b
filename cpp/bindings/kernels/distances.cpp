// Distances between two samples of one feature from their counts in shared bins.
#include "core/distances.hpp"

#include <string>
#include <vector>

#include "bindings/common/arrays.hpp"
#include "bindings/common/method.hpp"
#include "bindings/kernels/kernels_module.hpp"
#include "core/sample_shift.hpp"

namespace movra::kernels {

namespace {

double population_stability(py::handle expected_obj, py::handle actual_obj) {
    const bind::Vector expected = bind::as_vector(expected_obj, "expected_counts");
    const bind::Vector actual = bind::as_vector_of_length(
        actual_obj, "actual_counts", static_cast<std::size_t>(expected.size()));
    return core::population_stability(bind::span(expected), bind::span(actual));
}

double binned_distance(py::handle edges_obj, py::handle reference_obj, py::handle weak_obj,
                       const std::string& method, bool quantile, double low, double high,
                       double reference_missing, double weak_missing) {
    const bind::Vector edges = bind::as_vector(edges_obj, "edges");
    const bind::Vector reference = bind::as_vector(reference_obj, "reference");
    const bind::Vector weak = bind::as_vector(weak_obj, "weak");
    // An unknown method is the core's std::invalid_argument: ValueError in Python.
    return core::binned_distance(bind::span(edges), bind::span(reference), bind::span(weak), method,
                                 quantile, low, high, reference_missing, weak_missing);
}

py::object weak_sample_psi(py::handle x_obj, py::handle split_obj, py::handle weak_obj,
                           py::handle categorical_obj, bool full) {
    const bind::Vector x = bind::as_matrix(x_obj, "x");
    const auto n_rows = static_cast<std::size_t>(x.shape(0));
    const auto n_cols = static_cast<std::size_t>(x.shape(1));
    const bind::Index split = bind::as_positions(split_obj, "split", n_rows);
    const bind::Index weak =
        bind::as_positions(weak_obj, "weak", static_cast<std::size_t>(split.size()));
    std::vector<bool> categorical;
    for (py::handle c : categorical_obj) categorical.push_back(PyObject_IsTrue(c.ptr()) == 1);
    if (categorical.size() != n_cols)
        throw py::value_error("categorical needs one flag per column of x");
    std::vector<double> psi;
    {
        // Reads the arrays held above; no Python objects are touched.
        py::gil_scoped_release release;
        psi = core::weak_sample_psi({x.data(), n_rows, n_cols}, bind::span(split), bind::span(weak),
                                    categorical, full);
    }
    return bind::to_numpy(psi);
}

}  // namespace

void register_distances(py::module_& m) {
    m.def("population_stability", &population_stability, py::arg("expected_counts"),
          py::arg("actual_counts"),
          "PSI of two samples counted in the same buckets (shares floored at 1e-4); NaN when "
          "either is empty.");
    m.def("binned_distance", &binned_distance, py::arg("edges"), py::arg("reference"),
          py::arg("weak"), py::arg("method"), py::arg("quantile"), py::arg("low"), py::arg("high"),
          py::arg("reference_missing") = 0.0, py::arg("weak_missing") = 0.0,
          "PSI, WD1 or KS between two samples from their counts in the bins of `edges` (PSI on "
          "the reference's deciles, between `low` and `high`, when `quantile`; the missing "
          "values one more PSI bucket when either sample has some).");
    m.def("weak_sample_psi", &weak_sample_psi, py::arg("x"), py::arg("split"), py::arg("weak"),
          py::arg("categorical"), py::arg("full") = false,
          "PSI of every column of x between the rows split[weak] and the split's other rows (all "
          "of them when `full`), as calculate_distance measures it on \"uniform\" buckets; "
          "`categorical` flags the columns of category codes.");
}

}  // namespace movra::kernels
