// Distances between two samples of one feature from their counts in shared bins.
#include "core/distances.hpp"

#include <string>

#include "bindings/common/arrays.hpp"
#include "bindings/common/method.hpp"
#include "bindings/kernels/kernels_module.hpp"

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
}

}  // namespace movra::kernels
