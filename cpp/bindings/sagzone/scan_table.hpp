// The regions a scan found, ranked and tested by the core, as the scan's tables: p-values (the
// tail probabilities from scipy, a set metric's permutations through its Python scoring), the
// regions' table and the matrices of the worst severity of every feature and pair.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "bindings/sagzone/scan_search.hpp"
#include "core/scan_ranking.hpp"

namespace movra::sagzone {

// A slicer of the scan's settings, for its scoring configuration.
py::object make_probe(py::handle self);

// The regions' ranking reads the scan's scoring and the held-out split scored as a whole.
core::ScanFindings empty_findings(const ScanContext& ctx);

struct ScanTables {
    // Every region found and tested, most severe first; its "reported" column is false for
    // regions the core's ranking does not report, its "finding" column the row of `findings`
    // of each reported region (-1: none).
    py::object regions;
    // One row per finding (a feature or a pair), most severe first: its most severe region's row,
    // with "n_regions" and "finding_severity".
    py::object findings;
    // DataFrames over the scanned features: the worst reported severity of each feature
    // (diagonal) and pair (NaN: none), and whether that region is significant.
    py::object worst, significant;
};
ScanTables scan_tables(py::handle self, const ScanContext& ctx, const core::ScanFindings& findings,
                       const std::vector<std::int64_t>& cols);

}  // namespace movra::sagzone
