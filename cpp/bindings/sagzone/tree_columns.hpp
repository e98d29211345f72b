// The slicing columns as TreeSlicing's regression tree sees them, and its leaves read back: a
// categorical feature enters the tree as its categories ranked by their average score (a leaf's
// bounds on the ranks are a set of categories); the rows where a numerical feature is missing
// stay out of the tree and are judged together, as a region of their own.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "bindings/common/arrays.hpp"
#include "bindings/sagzone/fit_columns.hpp"
#include "bindings/sagzone/scoring.hpp"
#include "core/category_order.hpp"
#include "core/segment_search.hpp"

namespace movra::sagzone {

namespace py = pybind11;

class TreeColumns {
  public:
    TreeColumns(py::handle slicer, std::vector<FitColumns::Column> columns,
                const bind::Vector& scores, const std::optional<bind::Vector>& weights);

    // The tree's input, scores and weights: the rows with no missing numerical value.
    py::object input() const;
    py::object scores() const { return scores_; }
    py::object weights() const { return weights_; }

    // Leaf rules (from _dfs, on the tree's axes) with categorical bounds read back as sets.
    void read_back(py::list& rules) const;
    // The weak leaves as weak-region records, bounds clipped to the columns' observed values.
    py::list weak_leaves(const py::list& rules, const Scoring& scoring, double threshold) const;
    // The missing rows of each numerical column, judged together: rules appended, weak ones (with
    // at least `min_samples` rows) as regions.
    void judge_missing(py::list& rules, py::list& weak, const Scoring& scoring, double threshold,
                       std::int64_t min_samples) const;

  private:
    std::vector<FitColumns::Column> columns_;
    std::vector<core::FeatureKind> kinds_;
    std::vector<core::CategoryOrder> orders_;  // one per column (empty for numerical ones)
    std::vector<core::ValueRange> ranges_;     // observed values (not missing)
    std::vector<std::int64_t> rows_;           // the tree's rows, when not all of them
    bool subset_ = false;
    bind::Vector all_scores_;
    std::optional<bind::Vector> all_weights_;
    py::object scores_, weights_;
};

}  // namespace movra::sagzone
