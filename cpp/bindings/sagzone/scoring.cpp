#include "bindings/sagzone/scoring.hpp"

#include "bindings/sagzone/sagzone_module.hpp"

namespace movra::sagzone {

bool truthy(py::handle obj) {
    const int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

Scoring scoring_of(py::handle self) {
    Scoring s;
    s.name = py::str(self.attr("score_name")).cast<std::string>();
    s.sign = py::float_(self.attr("score_sign")).cast<double>();
    s.func = self.attr("scoring_func");
    s.additive = truthy(self.attr("is_metric_additive"));
    return s;
}

std::optional<bind::Vector> optional_weights(py::handle obj, const std::string& argname,
                                             std::size_t n) {
    if (obj.is_none()) return std::nullopt;
    return bind::as_vector_of_length(obj, argname, n);
}

double call_set_score(const py::object& func, const bind::Vector& y, const bind::Vector& preds,
                      const std::optional<bind::Vector>& weights,
                      const std::vector<std::int64_t>& rows) {
    py::object w = weights ? py::object(bind::gather_array(bind::span(*weights), rows))
                           : py::object(py::none());
    py::object score =
        func(bind::gather_array(bind::span(y), rows), bind::gather_array(bind::span(preds), rows),
             py::arg("sample_weight") = w);
    return py::float_(score).cast<double>();
}

py::object threshold_value(py::handle threshold, const Scoring& scoring, py::handle scores,
                           py::handle weights) {
    py::object average = py::reinterpret_borrow<py::object>(scores);
    if (scoring.additive) {
        const py::module_& np = deps().np;
        py::object w = py::none();
        if (!weights.is_none() && np.attr("sum")(weights) > py::int_(0))
            w = py::reinterpret_borrow<py::object>(weights);
        average = np.attr("average")(scores, py::arg("weights") = w);
    }
    // Python's own product, so that any number type behaves as in Python.
    PyObject* product = PyNumber_Multiply(threshold.ptr(), average.ptr());
    if (product == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(product);
}

core::NearTies near_ties(const bind::Vector& scores, const std::optional<bind::Vector>& weights) {
    core::NearTies ties;
    const core::Span<const double> s = bind::span(scores), w = span_or_empty(weights);
    // Spans, not array handles: copying the callback must not touch reference counts.
    ties.exact_average = [s, w](const std::vector<std::int64_t>& rows) {
        py::gil_scoped_acquire acquire;
        const py::module_& np = deps().np;
        py::object values = bind::gather_array(s, rows);
        if (!w.empty()) {
            py::object at_rows = bind::gather_array(w, rows);
            if (!np.attr("sum")(at_rows).equal(py::int_(0)))
                return py::float_(np.attr("average")(values, py::arg("weights") = at_rows))
                    .cast<double>();
        }
        return py::float_(np.attr("average")(values)).cast<double>();
    };
    return ties;
}

}  // namespace movra::sagzone
