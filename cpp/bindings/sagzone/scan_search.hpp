// The searches of a scan: every scanned feature and pair searched as SagZone searches it, each
// weak region measured on both splits, with what does not depend on the feature shared.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bindings/common/arrays.hpp"
#include "bindings/common/method.hpp"
#include "bindings/sagzone/fit_columns.hpp"
#include "bindings/sagzone/sagzone_module.hpp"
#include "bindings/sagzone/scoring.hpp"
#include "bindings/sagzone/slicers.hpp"
#include "core/scan_ranking.hpp"
#include "core/segment_search.hpp"

namespace movra::sagzone {

// One split as the scan reads it.
struct ScanSplitData {
    py::object x;           // the split's rows of the data set (x[idx])
    py::object y, pred;     // the split's targets and predictions (or probabilities)
    py::object weights;     // None or the split's weights
    py::object scores;      // per-sample scores (additive metric), else None
    bind::Index positions;  // the split's row positions in the data set
};

// The data and settings every search of one scan shares.
struct ScanContext {
    py::object owner;  // the SagZoneScan
    std::vector<std::string> names;
    py::object feature_names;  // the list, as the slicers take it
    ScanSplitData train, test;
    bool use_test = false;
    bool additive = true;
    std::vector<core::FeatureKind> kinds;  // of every feature
    bool in_place = false;  // the histogram scan of an additive metric reads the data set in place
    bool has_sets = false;  // a scanned feature is categorical or misses values
    bool weighted = false;
    std::string score_name;
    double score_sign = -1.0;
    py::object threshold;  // the slicers' (inverted for a higher-is-better metric)
    py::object scoring_func;
    bind::Vector matrix;  // the data set, read in place by the histogram scan
    FitColumns columns;   // the slicing columns of both splits, each copied out once
};

// The weak regions of one feature or pair (columns of the data set), found by the slicer of
// `method` with the scan's settings and measured on both splits.
std::vector<core::FoundRegion> search_features(ScanContext& ctx,
                                               const std::vector<std::int64_t>& cols);

// The same for many features and pairs at once by the histogram method and an additive metric,
// over the data set in place: every feature coded once, nothing copied per feature.
std::vector<core::FoundRegion> scan_histograms(
    const ScanContext& ctx, const std::vector<std::int64_t>& features,
    const std::vector<std::pair<std::int64_t, std::int64_t>>& pairs);

}  // namespace movra::sagzone
