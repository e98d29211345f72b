// What the slicing classes' binding files share: the scoring configuration read from an object,
// array conversion of the optional arguments, and the record shapes (rules, weak regions).
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
#include "core/span.hpp"

namespace movra::sagzone {

// The BaseSlicing class once created (the subclasses call its __init__).
py::object& base_slicing_class();

// The driver (BaseSlicing.fit), added to BaseSlicing by register_base_slicing.
void add_slicing_driver(bind::ClassBuilder& cls);

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

// New numpy arrays from C++ vectors.
py::array_t<double> to_array(const std::vector<double>& values);
py::array_t<std::int64_t> to_positions(const std::vector<std::int64_t>& positions);
// values[positions] as a new float64 array.
py::array_t<double> gather_array(const bind::Vector& values,
                                 const std::vector<std::int64_t>& positions);

// scoring_func(y[rows], preds[rows], sample_weight=w[rows]) as a number.
double call_set_score(const py::object& func, const bind::Vector& y, const bind::Vector& preds,
                      const std::optional<bind::Vector>& weights,
                      const std::vector<std::int64_t>& rows);

// Column positions of the slicing features in feature_names, duplicates dropped, in order of
// first appearance; stored as self.fidx.
std::vector<std::int64_t> resolve_fidx(py::handle self);

// Columns `cols` of a 2-D array as a new C-contiguous (n, len(cols)) float64 array.
py::array_t<double> select_columns(const bind::Vector& matrix, const std::vector<std::int64_t>& cols,
                                   const std::string& argname);

// While a ColumnScope is alive on this thread (one fit: the facade's, then the driver's nested in
// it), the slicing columns extracted from a matrix are kept and handed out again, so each split's
// rows are read with the matrix's stride only once per fit. Entries hold a reference to their
// matrix, so its address cannot be reused by another object during the scope.
class ColumnScope {
public:
    ColumnScope();
    ~ColumnScope();
    ColumnScope(const ColumnScope&) = delete;
    ColumnScope& operator=(const ColumnScope&) = delete;

private:
    bool outermost_;
};

// Pauses Python's cyclic garbage collector for its lifetime (if it was running): a fit creates
// thousands of small dicts and lists that hold no cycles, and every few hundred of them would
// otherwise trigger a collection. Whatever is garbage is collected after the fit.
class GcPause {
public:
    GcPause();
    ~GcPause();
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    bool was_enabled_;
};

// Columns `cols` of the 2-D array `matrix` (any numeric array-like), each a contiguous float64
// array; extracted in one pass, or taken from the active scope.
std::vector<bind::Vector> slicing_columns(py::handle matrix, const std::vector<std::int64_t>& cols,
                                          const std::string& argname);

// The smallest and largest value of a column handed out by slicing_columns in the active scope
// (found while it was extracted), as core::value_range gives them; nullopt for any other array.
std::optional<core::ValueRange> cached_range(const bind::Vector& column);
// The same, computed when the column is not a cached one (throws for an empty one).
core::ValueRange range_of(const bind::Vector& column);

// Column c of a 2-D float64 array as a new 1-D array.
bind::Vector column_of(const bind::Vector& matrix, std::int64_t c, const std::string& argname);

// Dictionary keys used for every rule and region, created once.
struct Keys {
    py::str lb, ub, splits, values, counts, f0, f1, lb1, ub1, lb2, ub2;
};
const Keys& keys();

// {"lb": lb, "ub": ub}
py::dict bound_dict(py::handle lb, py::handle ub);
// A rule record: "splits" with "f0" (and "f1" when `second` is set), "values", "counts".
py::dict rule_record(py::handle lb1, py::handle ub1, py::handle lb2, py::handle ub2, bool two,
                     double value, std::int64_t count);
// A weak-region record: "lb1", "ub1" (and "lb2", "ub2" when `two`).
py::dict region_record(py::handle lb1, py::handle ub1, py::handle lb2, py::handle ub2, bool two);

// The first weak-region average: the weighted mean of all scores when weights are given and sum
// to more than zero, else the plain mean.
double overall_average(const bind::Vector& scores, const std::optional<bind::Vector>& weights);

}  // namespace movra::sagzone
