// Building slicers and resolving their slicing features, and the direct calls between our own
// methods that let one fit share its columns: a method runs directly when the object's class has
// not overridden it; a subclass's own method is called through Python, with the arrays.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

#include "bindings/common/method.hpp"
#include "bindings/sagzone/fit_columns.hpp"
#include "core/segment_search.hpp"

namespace movra::sagzone {

namespace py = pybind11;

// Column positions of the slicing features in feature_names, duplicates dropped, in order of
// first appearance; stored as self.fidx. A name that is not a feature: list.index's ValueError;
// no slicing feature: a MovraError.
std::vector<std::int64_t> resolve_fidx(py::handle self);

// Positions of `features` among `feature_names`, in order; a MovraError "<noun> 'name' is not one
// of the feature names." for the first that is not a feature.
std::vector<std::int64_t> feature_columns(py::handle features, py::handle feature_names,
                                          const char* noun);

// The slicer of `owner`'s settings (method, threshold, bins, max_depth, min_samples, metric...)
// for `features`: TreeSlicing for "tree", HistogramSlicing for "histogram", else a MovraError.
py::object make_slicer(py::handle owner, py::handle features);

// The kind of the slicer's slicing feature at `position` (0 the first, 1 the second): categorical
// where the fit's feature_types (set by the driver) say so.
core::FeatureKind slicing_kind(py::handle self, std::size_t position);

// Whether obj.<name> is the method `cls` itself defines: not overridden by a subclass of it, nor
// by an instance attribute.
bool own_method(py::handle obj, const char* name, py::handle cls);

// The parameters of a slicer's __init__: BaseSlicing's, with `own` (a strategy's own setting)
// inserted at position `at` when given; and those of a strategy's _fit.
std::vector<bind::Param> slicer_init_params(const bind::Param* own = nullptr, std::size_t at = 0);
std::vector<bind::Param> strategy_fit_params();

// The arguments of a strategy's _fit.
struct StrategyCall {
    py::object x, y, preds, scores, sample_weight;
};
// HistogramSlicing._fit and TreeSlicing._fit, run directly with the fit's columns.
void histogram_fit(py::handle self, const StrategyCall& call, FitColumns& columns);
void tree_fit(py::handle self, const StrategyCall& call, FitColumns& columns);
// self._fit(x, y, preds, scores, sample_weight=...).
void run_strategy_fit(py::handle self, const StrategyCall& call, FitColumns& columns);

}  // namespace movra::sagzone
