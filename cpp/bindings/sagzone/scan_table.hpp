// The regions a scan found, ranked and tested: severity on the held-out rows, p-values, q-values,
// no repeats, and the results table.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "bindings/sagzone/scan_search.hpp"

namespace movra::sagzone {

// A slicer of the scan's settings, for its scoring configuration.
py::object make_probe(py::handle self);

class ScanTable {
  public:
    ScanTable(const ScanContext& ctx, std::vector<FoundRegion> regions);
    void add(FoundRegion region);
    // The worst severity among the regions of exactly these features; 0 when there is none.
    double worst_severity(const std::vector<std::int64_t>& features) const;
    // Every region found and tested, most severe first, as a DataFrame; its "reported" column
    // is false for pairs no weaker than their features' own regions and for regions overlapping a
    // more severe one of the same features.
    py::object results(py::handle self) const;

  private:
    double severity_of(const FoundRegion& r) const;
    std::vector<double> p_values(py::handle self) const;
    std::vector<std::size_t> worst_first(const std::vector<double>& p) const;
    std::vector<bool> reported(const std::vector<std::size_t>& order) const;

    const ScanContext& ctx_;
    std::vector<FoundRegion> regions_;
    std::vector<double> severity_;
    core::RegionMoments held_out_;  // the held-out split's moments (additive metric)
    double held_out_score_ = 0.0;   // the held-out split's score (set metric)
};

}  // namespace movra::sagzone
