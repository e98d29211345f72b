// The Python records of the weak-region search, shared by the modules that build or read them:
// rules ({"splits", "values", "counts"}), weak regions ({"lb1", "ub1"[, "lb2", "ub2"]}),
// first-feature bin statistics, and weak regions read back as the core's boxes.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

#include "core/region_stats.hpp"
#include "core/slice_search.hpp"
#include "core/span.hpp"

namespace movra::bind {

namespace py = pybind11;

// The records' keys, created once by the module that builds records (a search builds thousands
// of records; a key made anew for each costs more than the record itself).
struct RecordKeys {
    py::str lb, ub, codes, splits, values, counts, f0, f1, lb1, ub1, codes1, lb2, ub2, codes2,
        support;
    static RecordKeys create();
};

// A slice's condition on one feature as the records write it: an interval's bounds, or a set of
// category codes (-1 for missing), whose bounds are then NaN.
struct Condition {
    py::object lb, ub;
    std::vector<std::int32_t> codes;

    static Condition interval(py::handle lb, py::handle ub);
    static Condition of(const core::SliceRule& slice);
};

// {"lb": lb, "ub": ub} and, for a set, "codes": its codes as a tuple.
py::dict bound_dict(const RecordKeys& k, const Condition& c);
// A rule record: "splits" with "f0" (and "f1" when `second`), "values", "counts".
py::dict rule_record(const RecordKeys& k, const Condition& first, const Condition* second,
                     double value, std::int64_t count);
// A weak-region record: "lb1", "ub1" (and "lb2", "ub2" for `second`), and "codes1" ("codes2")
// for a set.
py::dict region_record(const RecordKeys& k, const Condition& first, const Condition* second);

// Rules and weak regions of one feature's search. With `first` the searched feature is the
// second and `first` the fixed condition on the first.
py::list rule_records(const RecordKeys& k, const std::vector<core::SliceRule>& rules,
                      const Condition* first);
py::list region_records(const RecordKeys& k, const std::vector<core::SliceRule>& regions,
                        const Condition* first);

// A bin_stats entry: "lb1", "ub1", "lb2", "ub2", "support".
py::dict bin_stats_record(const RecordKeys& k, double lb1, double ub1, double lb2, double ub2,
                          std::int64_t support);

// Weak-region records (an iterable of mappings with "lb1", "ub1" and, for `n_columns` 2, "lb2",
// "ub2"; "codes1", "codes2" for sets) as boxes, an interval's upper bound closed where it reaches
// `closed_at` (core::region_boxes).
std::vector<core::RegionBox> region_boxes(py::handle records, std::size_t n_columns,
                                          core::Span<const double> closed_at);

// Per-cell sums as a dict of equal-length arrays "count", "sum", "weight", "weighted" (as the
// partition kernels give them and their merges add them up).
std::vector<core::ScoreSums> score_sums_of(py::handle sums);

}  // namespace movra::bind
