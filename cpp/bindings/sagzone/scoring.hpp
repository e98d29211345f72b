// The scoring configuration a slicer holds, and the averages that decide verdicts as numpy
// rounds them: the threshold value, and the near ties settled by numpy's own average.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bindings/common/arrays.hpp"
#include "core/slice_search.hpp"

namespace movra::sagzone {

namespace py = pybind11;

// Python truth value of an object.
bool truthy(py::handle obj);

// The scoring configuration an object holds (set by BaseSlicing.__init__).
struct Scoring {
    std::string name;
    double sign = -1.0;
    py::object func;
    bool additive = true;
};
Scoring scoring_of(py::handle self);

// Optional per-sample weights: nullopt for None, else a float64 vector of length n.
std::optional<bind::Vector> optional_weights(py::handle obj, const std::string& argname,
                                             std::size_t n);
inline core::Span<const double> span_or_empty(const std::optional<bind::Vector>& v) {
    return v ? bind::span(*v) : core::Span<const double>{};
}

// scoring_func(y[rows], preds[rows], sample_weight=w[rows]) as a number.
double call_set_score(const py::object& func, const bind::Vector& y, const bind::Vector& preds,
                      const std::optional<bind::Vector>& weights,
                      const std::vector<std::int64_t>& rows);

// threshold * the average score: np.average(scores, weights=W), W the weights when given and
// np.sum(weights) > 0 (numpy's own rounding, since bins are compared with it for equality); the
// overall score itself for a set metric (the caller passes it as `scores`).
py::object threshold_value(py::handle threshold, const Scoring& scoring, py::handle scores,
                           py::handle weights);

// Settles the verdicts that summation order could flip with numpy's average of the bin's rows
// (the plain mean where their weights sum to zero). The arrays must outlive every search that
// uses the result; its callback takes the GIL itself (searches run without it).
core::NearTies near_ties(const bind::Vector& scores, const std::optional<bind::Vector>& weights);

}  // namespace movra::sagzone
