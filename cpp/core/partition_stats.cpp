#include "core/partition_stats.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace movra::core {

namespace {

inline bool counts(Span<const std::uint8_t> selected, std::size_t i) {
    return selected.empty() || selected[i] != 0;
}

// Rows per block of bin lookups (the block's cells stay in the first-level cache).
constexpr std::size_t kBlock = 512;

}  // namespace

void ExactSum::add(double v) {
    plain_ += v;
    if (!exact_) return;
    if (!std::isfinite(v)) {
        exact_ = false;
        partials_.clear();
        return;
    }
    // Shewchuk's grow-expansion: x + y = hi + lo exactly (two-sum, |x| >= |y|); the non-zero
    // low parts stay as partials, in increasing magnitude.
    std::size_t kept = 0;
    double x = v;
    for (double y : partials_) {
        if (std::fabs(x) < std::fabs(y)) std::swap(x, y);
        const double hi = x + y;
        const double lo = y - (hi - x);
        if (lo != 0.0) partials_[kept++] = lo;
        x = hi;
    }
    if (!std::isfinite(x)) {  // an overflow on the way: the partials no longer hold the sum
        exact_ = false;
        partials_.clear();
        return;
    }
    partials_.resize(kept);
    partials_.push_back(x);
}

void ExactSum::add(const ExactSum& other) {
    const double plain = plain_ + other.plain_;
    if (!other.exact_) {
        exact_ = false;
        partials_.clear();
    }
    for (double p : other.partials_) add(p);
    plain_ = plain;
}

double ExactSum::rounded() const {
    if (!exact_) return plain_;
    // As CPython's math.fsum: add from the largest partial down while the sum stays exact, then
    // correct the half-way case that the next partial decides.
    std::size_t n = partials_.size();
    if (n == 0) return 0.0;
    double hi = partials_[--n];
    double lo = 0.0;
    while (n > 0) {
        const double x = hi;
        const double y = partials_[--n];
        hi = x + y;
        const double yr = hi - x;
        lo = y - yr;
        if (lo != 0.0) break;
    }
    if (n > 0 && ((lo < 0.0 && partials_[n - 1] < 0.0) || (lo > 0.0 && partials_[n - 1] > 0.0))) {
        const double y = lo * 2.0;
        const double x = hi + y;
        const double yr = x - hi;
        if (y == yr) hi = x;
    }
    return hi;
}

ExactSum ExactSum::of_parts(Span<const double> partials, double plain, bool exact) {
    ExactSum s;
    for (std::size_t k = 0; k < partials.size; ++k) s.add(partials[k]);
    if (!exact) {
        s.exact_ = false;
        s.partials_.clear();
    }
    s.plain_ = plain;
    return s;
}

double ScoreTotals::average(bool is_weighted) const {
    const ScoreSums sums{count, sum.rounded(), weight.rounded(), weighted.rounded()};
    return average_score(sums, is_weighted, ZeroWeights::kNotPositiveSum);
}

void ScoreTotals::add(const ScoreTotals& other) {
    count += other.count;
    sum.add(other.sum);
    weighted.add(other.weighted);
    weight.add(other.weight);
    low = std::min(low, other.low);
    high = std::max(high, other.high);
    low_weight = std::min(low_weight, other.low_weight);
}

ScoreProfile ScoreTotals::profile() const {
    ScoreProfile p;
    if (low < 0.0 && high > 0.0) p.mixed_sign_scale = std::max(-low, high);
    p.negative_weights = low_weight < 0.0;
    return p;
}

ScoreTotals score_totals(Span<const double> scores, Span<const double> weights,
                         Span<const std::uint8_t> selected) {
    ScoreTotals t;
    for (std::size_t i = 0; i < scores.size; ++i) {
        if (!counts(selected, i)) continue;
        const double s = scores[i];
        ++t.count;
        t.low = s < t.low ? s : t.low;
        t.high = s > t.high ? s : t.high;
        t.sum.add(s);
        if (!weights.empty()) {
            const double w = weights[i];
            // The product rounded as numpy's average rounds it, then summed exactly.
            t.weighted.add(w * s);
            t.weight.add(w);
            t.low_weight = w < t.low_weight ? w : t.low_weight;
        }
    }
    return t;
}

WeightSummary weight_summary(Span<const double> weights) {
    WeightSummary out;
    out.count = static_cast<std::int64_t>(weights.size);
    for (double w : weights) {
        out.non_finite |= !std::isfinite(w);
        if (w > 0.0) {
            ++out.positive;
            out.positive_sum.add(w);
        }
    }
    return out;
}

ColumnRanges column_ranges(const double* data, std::size_t n_rows, std::size_t n_columns,
                           Span<const std::uint8_t> selected) {
    ColumnRanges out;
    out.ranges.assign(n_columns, ValueRange{HUGE_VAL, -HUGE_VAL});
    out.missing.assign(n_columns, 0);
    for (std::size_t i = 0; i < n_rows; ++i) {
        if (!counts(selected, i)) continue;
        ++out.count;
        const double* row = data + i * n_columns;
        for (std::size_t j = 0; j < n_columns; ++j) {
            const double v = row[j];
            ValueRange& r = out.ranges[j];
            r.min = v < r.min ? v : r.min;  // NaN compares false: skipped
            r.max = v > r.max ? v : r.max;
            out.missing[j] += v != v;
            out.any_inf |= std::isinf(v);
        }
    }
    out.present = out.ranges;
    for (std::size_t j = 0; j < n_columns; ++j)
        if (out.missing[j] != 0) {
            out.ranges[j] = {std::nan(""), std::nan("")};
            out.any_nan = true;
        }
    return out;
}

std::vector<double> distinct_values(Span<const double> x, Span<const std::uint8_t> selected,
                                    std::size_t limit) {
    std::vector<double> out;
    if (limit == 0) return out;
    DistinctCounter seen;
    for (std::size_t i = 0; i < x.size; ++i) {
        if (!counts(selected, i)) continue;
        const std::size_t before = seen.size();
        if (seen.add(x[i]) > before) {
            out.push_back(x[i] == 0.0 ? 0.0 : x[i]);
            if (out.size() == limit) break;
        }
    }
    return out;
}

namespace {

void require_edges(const std::vector<double>& edges, const char* what) {
    if (edges.size() < 2) throw std::invalid_argument(std::string(what) + " need two edges");
    for (std::size_t k = 1; k < edges.size(); ++k)
        if (!(edges[k - 1] < edges[k]))
            throw std::invalid_argument(std::string(what) + " must be strictly increasing");
}

}  // namespace

namespace {

std::size_t interval_count(const std::vector<double>& edges) {
    if (edges.empty()) return 0;
    require_edges(edges, "bin edges");
    return edges.size() - 1;
}

}  // namespace

CellGrid::CellGrid(std::vector<double> first_edges) : first_edges_(std::move(first_edges)) {
    n_first_intervals_ = interval_count(first_edges_);
    if (n_first_intervals_ > 0) first_.emplace_back(first_edges_);
    // Every bin a cell: the intervals', then the missing one.
    first_cell_.resize(n_first_intervals_ + 2);
    for (std::size_t b = 0; b < first_cell_.size(); ++b) first_cell_[b] = b;
}

CellGrid::CellGrid(std::vector<double> first_edges, std::vector<std::vector<double>> second_edges)
    : two_(true), first_edges_(std::move(first_edges)), second_edges_(std::move(second_edges)) {
    n_first_intervals_ = interval_count(first_edges_);
    if (n_first_intervals_ > 0) first_.emplace_back(first_edges_);
    const std::size_t n_bins = n_first_intervals_ + 1;
    if (second_edges_.size() != n_bins)
        throw std::invalid_argument(
            "one list of second-feature edges per first-feature bin, the missing one included");
    first_cell_.assign(n_bins + 1, 0);
    locator_of_.assign(n_bins, 0);
    second_.reserve(n_bins);
    for (std::size_t b = 0; b < n_bins; ++b) {
        const std::size_t n_second = interval_count(second_edges_[b]);
        first_cell_[b + 1] = first_cell_[b] + n_second + 1;
        if (n_second == 0) continue;
        locator_of_[b] = second_.size();
        second_.emplace_back(second_edges_[b]);
    }
}

std::uint32_t CellGrid::first_bin(double v, std::uint32_t located) const {
    if (v != v) return static_cast<std::uint32_t>(n_first_intervals_);
    return first_.empty() ? kNoCell : located;
}

void CellGrid::locate(Span<const double> first, Span<const double> second,
                      std::uint32_t* out) const {
    for (std::size_t start = 0; start < first.size; start += kBlock) {
        const std::size_t m = std::min(kBlock, first.size - start);
        if (!first_.empty()) locate_bins(first_[0], {first.data + start, m}, out + start);
        for (std::size_t j = start; j < start + m; ++j) {
            const std::uint32_t b = first_bin(first[j], first_.empty() ? 0 : out[j]);
            if (!two_ || b == kNoCell) {
                out[j] = b;
                continue;
            }
            const double v = second[j];
            if (v != v) {
                out[j] = static_cast<std::uint32_t>(first_cell_[b + 1] - 1);
            } else if (second_edges_[b].empty()) {
                out[j] = kNoCell;
            } else {
                out[j] = static_cast<std::uint32_t>(first_cell_[b] + second_[locator_of_[b]](v));
            }
        }
    }
}

std::vector<ScoreSums> cell_score_sums(const CellGrid& grid, Span<const double> first,
                                       Span<const double> second, Span<const double> scores,
                                       Span<const double> weights,
                                       Span<const std::uint8_t> selected, std::int64_t* unplaced) {
    std::vector<ScoreSums> sums(grid.n_cells());
    std::vector<std::uint32_t> cells(first.size);
    grid.locate(first, second, cells.data());
    std::int64_t lost = 0;
    for (std::size_t i = 0; i < first.size; ++i) {
        if (!counts(selected, i)) continue;
        if (cells[i] == CellGrid::kNoCell) {
            ++lost;
            continue;
        }
        sums[cells[i]].add(scores[i], weights.empty() ? 1.0 : weights[i]);
    }
    if (unplaced != nullptr) *unplaced = lost;
    return sums;
}

std::vector<ExactCellSums> exact_cell_sums(const CellGrid& grid, Span<const double> first,
                                           Span<const double> second, Span<const double> scores,
                                           Span<const double> weights,
                                           Span<const std::uint8_t> selected,
                                           const std::vector<std::size_t>& cells) {
    std::vector<std::uint32_t> slot(grid.n_cells(), CellGrid::kNoCell);
    for (std::size_t k = 0; k < cells.size(); ++k) {
        if (cells[k] >= grid.n_cells()) throw std::invalid_argument("cell out of range");
        slot[cells[k]] = static_cast<std::uint32_t>(k);
    }
    std::vector<ExactCellSums> out(cells.size());
    std::vector<std::uint32_t> cell_of_row(first.size);
    grid.locate(first, second, cell_of_row.data());
    for (std::size_t i = 0; i < first.size; ++i) {
        if (!counts(selected, i) || cell_of_row[i] == CellGrid::kNoCell) continue;
        const std::uint32_t k = slot[cell_of_row[i]];
        if (k == CellGrid::kNoCell) continue;
        ExactCellSums& c = out[k];
        ++c.count;
        if (weights.empty()) {
            c.weighted.add(scores[i]);
        } else {
            c.weighted.add(weights[i] * scores[i]);
            c.weight.add(weights[i]);
        }
    }
    return out;
}

FirstBinProfile first_bin_profile(const std::vector<double>& first_edges, Span<const double> first,
                                  Span<const double> second, Span<const std::uint8_t> selected,
                                  std::size_t limit) {
    const CellGrid grid(first_edges);
    const std::size_t n_bins = grid.n_first_bins();
    FirstBinProfile out{std::vector<std::int64_t>(n_bins, 0),
                        std::vector<ValueRange>(n_bins, ValueRange{HUGE_VAL, -HUGE_VAL}),
                        std::vector<std::vector<double>>(n_bins),
                        std::vector<std::int64_t>(n_bins, 0)};
    std::vector<DistinctCounter> seen(limit > 0 ? n_bins : 0);
    std::uint32_t bins[kBlock];
    for (std::size_t start = 0; start < first.size; start += kBlock) {
        const std::size_t m = std::min(kBlock, first.size - start);
        grid.locate({first.data + start, m}, {}, bins);
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t i = start + j;
            const std::uint32_t b = bins[j];
            if (!counts(selected, i) || b == CellGrid::kNoCell) continue;
            const double v = second[i];
            ++out.support[b];
            if (v != v) {
                ++out.missing2[b];
                continue;
            }
            ValueRange& r = out.range2[b];
            r.min = v < r.min ? v : r.min;
            r.max = v > r.max ? v : r.max;
            if (limit > 0 && out.distinct2[b].size() < limit) {
                const std::size_t before = seen[b].size();
                if (seen[b].add(v) > before) out.distinct2[b].push_back(v == 0.0 ? 0.0 : v);
            }
        }
    }
    return out;
}

namespace {

bool in_box(const RegionBox& box, bool two, double a, double b) {
    return box.first.contains(a) && (!two || box.second.contains(b));
}

}  // namespace

std::vector<ScoreSums> region_score_sums(Span<const double> first, Span<const double> second,
                                         Span<const double> scores, Span<const double> weights,
                                         Span<const std::uint8_t> selected,
                                         const std::vector<RegionBox>& regions) {
    const bool two = !second.empty();
    std::vector<ScoreSums> sums(regions.size());
    for (std::size_t r = 0; r < regions.size(); ++r) {
        ScoreSums& s = sums[r];
        for (std::size_t i = 0; i < first.size; ++i)
            if (counts(selected, i) && in_box(regions[r], two, first[i], two ? second[i] : 0.0))
                s.add(scores[i], weights.empty() ? 1.0 : weights[i]);
    }
    return sums;
}

void region_multiplicity(Span<const double> first, Span<const double> second,
                         Span<const std::uint8_t> selected, const std::vector<RegionBox>& regions,
                         std::uint32_t* out) {
    const bool two = !second.empty();
    for (std::size_t i = 0; i < first.size; ++i) {
        std::uint32_t k = 0;
        if (counts(selected, i))
            for (const RegionBox& box : regions)
                k += static_cast<std::uint32_t>(in_box(box, two, first[i], two ? second[i] : 0.0));
        out[i] = k;
    }
}

std::vector<std::int64_t> selected_positions_in(Span<const double> first, Span<const double> second,
                                                Span<const std::uint8_t> selected, RegionBox box,
                                                std::int64_t offset) {
    const bool two = !second.empty();
    std::vector<std::int64_t> out;
    std::int64_t position = offset;
    for (std::size_t i = 0; i < first.size; ++i) {
        if (!counts(selected, i)) continue;
        if (in_box(box, two, first[i], two ? second[i] : 0.0)) out.push_back(position);
        ++position;
    }
    return out;
}

std::vector<std::vector<double>> weighted_histograms(const double* data, std::size_t n_rows,
                                                     std::size_t n_columns,
                                                     const std::vector<std::vector<double>>& edges,
                                                     Span<const double> weight_a,
                                                     Span<const double> weight_b) {
    if (edges.size() != n_columns) throw std::invalid_argument("one edge list per column");
    std::vector<std::vector<double>> out(n_columns);
    for (std::size_t j = 0; j < n_columns; ++j) {
        if (edges[j].empty()) throw std::invalid_argument("every column needs an edge");
        for (std::size_t k = 1; k < edges[j].size(); ++k)
            if (!(edges[j][k - 1] < edges[j][k]))
                throw std::invalid_argument("edges must be strictly increasing");
        // The bins, then the missing one, for each of the two histograms.
        out[j].assign(2 * (std::max<std::size_t>(edges[j].size() - 1, 1) + 1), 0.0);
    }
    for (std::size_t j = 0; j < n_columns; ++j) {
        const std::vector<double>& e = edges[j];
        // The inner edges: a value's bin is the number of them at or below it.
        const double* inner = e.data() + 1;
        const double* inner_end = e.size() > 2 ? e.data() + e.size() - 1 : inner;
        const std::size_t n_bins = out[j].size() / 2;  // the missing one included
        double* a = out[j].data();
        double* b = a + n_bins;
        for (std::size_t i = 0; i < n_rows; ++i) {
            const double v = data[i * n_columns + j];
            const std::size_t bin =
                v != v ? n_bins - 1
                       : static_cast<std::size_t>(std::upper_bound(inner, inner_end, v) - inner);
            a[bin] += weight_a[i];
            b[bin] += weight_b[i];
        }
    }
    return out;
}

std::vector<double> exact_averages(const std::vector<ExactCellSums>& cells, bool weighted) {
    std::vector<double> out;
    out.reserve(cells.size());
    for (const ExactCellSums& c : cells) {
        const double total = c.weighted.rounded();
        const double divisor = weighted ? c.weight.rounded() : static_cast<double>(c.count);
        out.push_back(c.count > 0 && divisor != 0.0 ? total / divisor : std::nan(""));
    }
    return out;
}

}  // namespace movra::core
