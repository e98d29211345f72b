// What the slicing classes' binding files share: the scoring configuration of an object, the
// averages that decide verdicts as numpy rounds them, array helpers, the slicing columns of one
// fit, and the direct calls between our own methods that let one fit share those columns.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bindings/common/arrays.hpp"
#include "bindings/common/method.hpp"
#include "bindings/sagzone/sagzone_module.hpp"
#include "core/histogram.hpp"
#include "core/slice_search.hpp"
#include "core/span.hpp"

namespace movra::sagzone {

// The BaseSlicing class once created (the subclasses call its __init__).
py::object& base_slicing_class();

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

// New numpy arrays from C++ vectors; values[positions] as a new float64 array.
py::array_t<double> to_array(const std::vector<double>& values);
py::array_t<std::int64_t> to_positions(const std::vector<std::int64_t>& positions);
py::array_t<double> gather_array(core::Span<const double> values,
                                 const std::vector<std::int64_t>& positions);

// scoring_func(y[rows], preds[rows], sample_weight=w[rows]) as a number.
double call_set_score(const py::object& func, const bind::Vector& y, const bind::Vector& preds,
                      const std::optional<bind::Vector>& weights,
                      const std::vector<std::int64_t>& rows);

// Column positions of the slicing features in feature_names, duplicates dropped, in order of
// first appearance; stored as self.fidx.
std::vector<std::int64_t> resolve_fidx(py::handle self);

// np.average(scores, weights=W), W the weights when given and np.sum(weights) > 0: the overall
// average exactly as numpy rounds it, since threshold values are compared with equality.
py::object numpy_average(py::handle scores, py::handle weights);

// Settles the verdicts that summation order could flip with numpy's average of the bin's rows
// (the plain mean where their weights sum to zero). The arrays must outlive every search that
// uses the result; its callback takes the GIL itself (searches run without it).
core::NearTies near_ties(const bind::Vector& scores, const std::optional<bind::Vector>& weights);

// The slicing columns of the matrices one fit reads, each copied out of its matrix once with
// its range, then handed to every step of the fit that needs it. The outermost call of a fit
// owns it (the facade's fit, else the slicer's) and passes it down to our own methods.
class FitColumns {
  public:
    struct Column {
        bind::Vector values;
        core::ValueRange range;  // NaN bounds when the column holds a NaN; {0, 0} when empty
    };
    // Columns `cols` of the 2-D array-like `matrix`, extracted in one pass unless held already.
    // IndexError for a column out of range. Entries keep their matrix alive, so its identity
    // cannot pass to another object during the fit.
    std::vector<Column> get(py::handle matrix, const std::vector<std::int64_t>& cols,
                            const std::string& argname);

  private:
    struct Entry {
        py::object matrix;
        std::int64_t position;
        Column column;
    };
    std::vector<Entry> entries_;
};

// The arguments of a strategy's _fit.
struct StrategyCall {
    py::object x, y, preds, scores, sample_weight;
};
using DirectFit = void (*)(py::handle self, const StrategyCall& call, FitColumns& columns);
// At registration: the strategy class's own _fit method object runs as `direct` when the driver
// calls it, sharing the fit's columns.
void register_direct_fit(py::object method, DirectFit direct);
// self._fit(x, y, preds, scores, sample_weight=...): directly when it is a registered method of
// self's class (not overridden), else through Python.
void run_strategy_fit(py::handle self, const StrategyCall& call, FitColumns& columns);

// Whether self.<name> is `method` bound to self (the class's own, not overridden by a subclass
// or an instance attribute).
bool is_own_method(py::handle self, const char* name, py::handle method);

// The driver (BaseSlicing.fit), added to BaseSlicing by register_base_slicing.
void add_slicing_driver(bind::ClassBuilder& cls);

}  // namespace movra::sagzone
