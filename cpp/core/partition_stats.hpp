// Statistics of one part of a data set's rows (a partition that lives on some machine of a
// cluster), each a sum, a count, an extreme or a set of distinct values, so that the parts'
// statistics merged by addition (or min, max, union) are the whole data set's. Every kernel takes
// an optional row mask: `selected` empty means every row, else row i counts when selected[i] != 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/histogram.hpp"
#include "core/region_stats.hpp"
#include "core/span.hpp"

namespace movra::core {

// A sum kept exactly, as Shewchuk's non-overlapping partials: their exact total is the exact sum
// of every value added. Parts merge by adding each other's partials, and the total is rounded
// once at the end, so it does not depend on how the rows were split into parts or in which order
// the parts were merged. A non-finite value, or an overflow on the way, leaves the exact sum
// unusable: `plain` (the running sum in row order) then stands for it, as inf or NaN.
class ExactSum {
  public:
    void add(double v);
    void add(const ExactSum& other);

    const std::vector<double>& partials() const { return partials_; }
    double plain() const { return plain_; }
    bool exact() const { return exact_; }
    // The exact total rounded to nearest, ties to even (math.fsum's result); `plain` when the sum
    // is not exact.
    double rounded() const;
    // A sum merged elsewhere from its parts' partials (in any order), plain sums and exactness.
    static ExactSum of_parts(Span<const double> partials, double plain, bool exact);

  private:
    std::vector<double> partials_;
    double plain_ = 0.0;
    bool exact_ = true;
};

// What the threshold value and the rounding bounds of a search need: the selected rows' count,
// exact sums of the scores, and with weights of w * score and of w, and the
// extremes that size a summation error (ScoreProfile).
struct ScoreTotals {
    std::int64_t count = 0;
    ExactSum sum;       // sum of the scores
    ExactSum weighted;  // sum of w * score (weighted only)
    ExactSum weight;    // sum of w (weighted only)
    double low = 0.0;   // min(0, smallest score)
    double high = 0.0;  // max(0, largest score)
    double low_weight = 0.0;

    void add(const ScoreTotals& other);
    ScoreProfile profile() const;
    // The rows' average score from the exact sums rounded once: weighted where the weights sum
    // to more than zero (average_score's kNotPositiveSum rule).
    double average(bool is_weighted) const;
};
ScoreTotals score_totals(Span<const double> scores, Span<const double> weights,
                         Span<const std::uint8_t> selected);

// Training weights of a part of the rows, as the estimators clean them: whether any is NaN or
// infinite, how many are positive, and the exact sum of those.
struct WeightSummary {
    std::int64_t count = 0;
    std::int64_t positive = 0;
    bool non_finite = false;
    ExactSum positive_sum;
};
WeightSummary weight_summary(Span<const double> weights);

// Smallest and largest value of each column of a row-major block over the selected rows (NaN
// bounds where a selected value is NaN, as value_range has it; +inf/-inf when nothing is
// selected), and whether any selected value is NaN or infinite. `present` holds the range of the
// values that are not NaN (+inf/-inf when there is none), `missing` how many are NaN.
struct ColumnRanges {
    std::vector<ValueRange> ranges;
    std::vector<ValueRange> present;
    std::vector<std::int64_t> missing;
    std::int64_t count = 0;
    bool any_nan = false;
    bool any_inf = false;
};
ColumnRanges column_ranges(const double* data, std::size_t n_rows, std::size_t n_columns,
                           Span<const std::uint8_t> selected);

// Up to `limit` distinct values of the selected rows (equal doubles are one, -0.0 is 0.0, each
// NaN is one of its own), in the order first seen. Parts merge by union: the union of every part's
// values holds min(limit, distinct values of the whole) of them at least, and exactly the whole's
// distinct values when there are fewer than `limit`.
std::vector<double> distinct_values(Span<const double> x, Span<const std::uint8_t> selected,
                                    std::size_t limit);

// The cells of a one- or two-feature histogram search. A feature's bins are its equal-width bins
// (of its values; of a categorical feature's codes on the edges 0, 1, ..., K) then one bin for
// its missing (NaN) rows; with two features, the second feature's bins inside every
// first-feature bin, the missing one included. Cells are numbered bin by bin. Edges are strictly
// increasing, as equal_width_edges makes them, or empty (no value there: the missing bin alone);
// values outside them fall in the nearest bin.
class CellGrid {
  public:
    static constexpr std::uint32_t kNoCell = std::numeric_limits<std::uint32_t>::max();

    // One feature.
    explicit CellGrid(std::vector<double> first_edges);
    // Two features: `second_edges` holds one edge vector per first-feature bin, the missing one
    // last (empty: the second feature's missing cell alone).
    CellGrid(std::vector<double> first_edges, std::vector<std::vector<double>> second_edges);
    CellGrid(const CellGrid&) = delete;
    CellGrid& operator=(const CellGrid&) = delete;

    bool two_features() const { return two_; }
    std::size_t n_cells() const { return first_cell_.back(); }
    // The first feature's bins, its missing bin (the last) included.
    std::size_t n_first_bins() const { return first_cell_.size() - 1; }
    // The cells of first-feature bin b are first_cell(b) .. first_cell(b + 1), the last of them
    // its missing cell with two features.
    std::size_t first_cell(std::size_t b) const { return first_cell_[b]; }

    // The cell of every row (second is ignored for one feature); kNoCell for a value of a
    // feature that has no edges where it is (a caller's edges that miss the rows).
    void locate(Span<const double> first, Span<const double> second, std::uint32_t* out) const;

  private:
    std::uint32_t first_bin(double v, std::uint32_t located) const;

    bool two_ = false;
    std::vector<double> first_edges_;
    std::vector<std::vector<double>> second_edges_;
    std::vector<std::size_t> first_cell_;
    std::size_t n_first_intervals_ = 0;
    std::vector<BinLocator> first_;   // none without edges
    std::vector<BinLocator> second_;  // one per first-feature bin with edges
    std::vector<std::size_t> locator_of_;
};

// Count and score sums of the selected rows of every cell; the rows that fall in no cell are
// counted in `unplaced`.
std::vector<ScoreSums> cell_score_sums(const CellGrid& grid, Span<const double> first,
                                       Span<const double> second, Span<const double> scores,
                                       Span<const double> weights,
                                       Span<const std::uint8_t> selected, std::int64_t* unplaced);

// Exact sums of the selected rows of each cell in `cells`: count, sum of w * score (of score
// when unweighted) and of w.
struct ExactCellSums {
    std::int64_t count = 0;
    ExactSum weighted;
    ExactSum weight;
};
// Each cell's exactly rounded average: the sum of w * score over the sum of w (over the count when
// unweighted); NaN for an empty cell or weights summing to zero (the merged average stands there).
std::vector<double> exact_averages(const std::vector<ExactCellSums>& cells, bool weighted);
std::vector<ExactCellSums> exact_cell_sums(const CellGrid& grid, Span<const double> first,
                                           Span<const double> second, Span<const double> scores,
                                           Span<const double> weights,
                                           Span<const std::uint8_t> selected,
                                           const std::vector<std::size_t>& cells);

// Per first-feature bin (edges `first_edges`, the missing bin last, as CellGrid has them): the
// selected rows' count, the range of the second feature's values that are there, up to `limit`
// distinct ones of them (see distinct_values) and the number of its missing values.
struct FirstBinProfile {
    std::vector<std::int64_t> support;
    std::vector<ValueRange> range2;  // {+inf, -inf} for a bin without values
    std::vector<std::vector<double>> distinct2;
    std::vector<std::int64_t> missing2;
};
FirstBinProfile first_bin_profile(const std::vector<double>& first_edges, Span<const double> first,
                                  Span<const double> second, Span<const std::uint8_t> selected,
                                  std::size_t limit);

// Count and score sums of the selected rows inside each region (`second` is empty for regions
// on one column).
std::vector<ScoreSums> region_score_sums(Span<const double> first, Span<const double> second,
                                         Span<const double> scores, Span<const double> weights,
                                         Span<const std::uint8_t> selected,
                                         const std::vector<RegionBox>& regions);

// For every row, the number of regions holding it when it is selected, else 0.
void region_multiplicity(Span<const double> first, Span<const double> second,
                         Span<const std::uint8_t> selected, const std::vector<RegionBox>& regions,
                         std::uint32_t* out);

// Positions among the selected rows (counted from `offset`) of the selected rows inside `box`,
// in increasing order.
std::vector<std::int64_t> selected_positions_in(Span<const double> first, Span<const double> second,
                                                Span<const std::uint8_t> selected, RegionBox box,
                                                std::int64_t offset);

// Histograms of every column of a row-major block, each row counted `weight_a[i]` times in
// histogram a and `weight_b[i]` times in histogram b. Column j's bins are given by its strictly
// increasing edges `edges[j]` (at least one): a value v falls in bin #{inner edges <= v}, as
// numpy.searchsorted(edges[1:-1], v, side="right") puts it (values beyond the ends in the end
// bins); a NaN is counted in one more bin after them, the missing one. Output: counts[j] holds
// the bins of a and its missing bin, then those of b.
std::vector<std::vector<double>> weighted_histograms(const double* data, std::size_t n_rows,
                                                     std::size_t n_columns,
                                                     const std::vector<std::vector<double>>& edges,
                                                     Span<const double> weight_a,
                                                     Span<const double> weight_b);

}  // namespace movra::core
