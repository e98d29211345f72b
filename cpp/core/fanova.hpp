// Functional-ANOVA decomposition of a boosted ensemble whose leaves test at most two features:
// intercept + main effects + pairwise interactions, as step functions (see step_functions.hpp),
// summing exactly to the ensemble's margin at every row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/leaf_rules.hpp"
#include "core/step_functions.hpp"

namespace movra::core {

// A categorical feature of k categories has the split points 1 .. k-1 on its codes, so that each
// category has a level of its own (code c in bin c), whatever the trees group together.
struct MainEffect {
    std::int64_t feature = 0;
    std::int64_t n_categories = 0;     // 0: a numerical feature
    std::vector<double> split_points;  // every split point of the feature in the ensemble
    std::vector<double> levels;        // split_points.size() + 2
    std::vector<double> counts;        // the data rows in each bin of levels
    double importance = 0.0;           // variance over the data rows

    std::size_t categories_count() const { return static_cast<std::size_t>(n_categories); }
};

struct PairEffect {
    std::int64_t feature_a = 0;  // feature_a < feature_b
    std::int64_t feature_b = 0;
    std::vector<double> split_points_a;  // split points of the leaves testing this pair
    std::vector<double> split_points_b;
    std::vector<double> levels;  // (split_points_a.size() + 2) x (split_points_b.size() + 2)
    std::vector<double> counts;  // the data rows in each cell of levels
    double importance = 0.0;
    std::size_t purify_iterations = 0;
    bool purify_converged = true;
    double purify_residual = 0.0;
};

struct Effects {
    double intercept = 0.0;
    std::vector<MainEffect> mains;  // ascending feature, one per feature the trees test
    std::vector<PairEffect> pairs;  // ascending (feature_a, feature_b)
};

struct FanovaOptions {
    bool purify = true;
    bool true_to_data = false;  // joint cell frequencies instead of the product of marginals
    double tolerance = 1e-13;   // joint purification: relative to the pair's largest level
    std::size_t max_iterations = 10000;
};

// Row-major data matrix, n_rows x n_columns; NaN is a missing value.
struct Matrix {
    const double* data = nullptr;
    std::size_t n_rows = 0;
    std::size_t n_columns = 0;

    Column column(std::size_t j) const { return Column{data + j, n_rows, n_columns}; }
};

// Sums the leaf rules into step functions per feature and per pair, purifies them under the
// density of the data rows (when options.purify), moves every constant into the intercept, and
// measures each effect's variance over the rows and its rows' counts. `base_margin` starts the
// intercept. The data must have a column for every feature the rules test and at least one row.
Effects fanova_effects(const std::vector<LeafRule>& rules, double base_margin, Matrix data,
                       const FanovaOptions& options);

// The same in three steps, for data that are not in one place: the effects' grids and raw levels
// (no data needed), the rows' counts on those grids (a part of the rows at a time; the parts'
// counts add up to the whole's), and the purification and importances from the counts.

// Grids and levels before purification; throws when the rules test a feature at or beyond
// n_columns.
Effects effect_grids(const std::vector<LeafRule>& rules, double base_margin, std::size_t n_columns);

// Rows per bin of each main effect's grid (mains[m] has levels.size() entries) and per cell of
// each interaction's grid (pairs[p], row-major), as doubles so that parts add up exactly.
struct GridCounts {
    std::vector<std::vector<double>> mains;
    std::vector<std::vector<double>> pairs;
};
// Throws when a categorical feature's value is neither missing nor one of its codes 0 .. k-1.
GridCounts grid_counts(const Effects& grids, Matrix data);

// Purification and importances of `grids` (from effect_grids) under the counts of n_rows rows
// (from grid_counts, summed over every part of the data); each effect keeps its counts, which
// the figures draw. Throws when the counts do not fit the grids or n_rows is not positive.
void finish_effects(Effects& grids, const GridCounts& counts, double n_rows,
                    const FanovaOptions& options);

}  // namespace movra::core
