// The region table a slicer's fit ends with: every weak region measured on both splits, sorted by
// the gap between them, as the rows of weak_region_stats and as a DataFrame that names each
// slicing feature's condition (an interval's bounds, a set's category labels, missing).
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bindings/common/method.hpp"

namespace movra::sagzone {

namespace py = pybind11;

// The weak regions measured on one split, in the order of weak_region.
struct SplitMeasure {
    std::vector<std::size_t> counts;
    std::vector<py::object> all;  // the scores at its rows (additive metric), else the set score
    std::vector<double> averages;
};

// Sets self.weak_region_stats and returns the table, from the measures on the training split
// (sides[0]) and the test split (sides[1]).
py::object tabulate_regions(py::handle self, const SplitMeasure sides[2]);

// A set of category codes as its labels (`labels` indexed by code; the codes themselves when it
// is None), missing as movra.utils.MISSING.
py::tuple labelled(const std::vector<std::int32_t>& codes, const py::object& labels);

// BaseSlicing._tabulate_regions, which the slicers of the cluster path call on their merged
// statistics.
void add_region_table(bind::ClassBuilder& cls);

}  // namespace movra::sagzone
