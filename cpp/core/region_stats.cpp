#include "core/region_stats.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/row_bitmap.hpp"

namespace movra::core {

double average_score(const ScoreSums& sums, bool weighted, ZeroWeights rule) {
    if (sums.count == 0) return std::nan("");
    const bool unusable =
        rule == ZeroWeights::kZeroSum ? sums.weight == 0.0 : !(sums.weight > 0.0);
    if (weighted && !unusable) return sums.weighted / sums.weight;
    return sums.sum / static_cast<double>(sums.count);
}

namespace {

// Positions where `inside(i)` holds: a branch-free count, then a branch-free fill (the data make
// the test unpredictable, and a mispredicted branch per row costs more than the two passes).
template <typename Inside>
std::vector<std::int64_t> select_rows(std::size_t n, Inside inside) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) count += static_cast<std::size_t>(inside(i));
    std::vector<std::int64_t> rows(count + 1);  // one spare slot for the last rejected write
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        rows[k] = static_cast<std::int64_t>(i);
        k += static_cast<std::size_t>(inside(i));
    }
    rows.pop_back();
    return rows;
}

constexpr std::size_t kFewRegions = 8;

}  // namespace

std::vector<std::int64_t> rows_in_bound(Span<const double> column, Bound bound) {
    return select_rows(column.size, [&](std::size_t i) { return bound.contains(column[i]); });
}

std::vector<std::int64_t> rows_in_box(Span<const double> first, Bound first_bound,
                                      Span<const double> second, Bound second_bound) {
    return select_rows(first.size, [&](std::size_t i) {
        return first_bound.contains(first[i]) & second_bound.contains(second[i]);
    });
}

namespace {

// Region lists filled in one pass over the rows. A row is written at the end of a checked
// region's list and kept only when inside: no branch on the data, whose membership is
// unpredictable. Each list keeps one spare slot for that write.
class RegionLists {
public:
    RegionLists(std::size_t n_regions, bool with_values)
        : out_(n_regions), kept_(n_regions, 0), with_values_(with_values) {
        for (RegionRows& list : out_) {
            list.rows.resize(16);
            if (with_values_) list.values.resize(16);
        }
    }

    void offer(std::size_t r, std::size_t i, double value, bool inside) {
        RegionRows& list = out_[r];
        std::size_t& k = kept_[r];
        if (k + 1 == list.rows.size()) {
            list.rows.resize(2 * list.rows.size());
            if (with_values_) list.values.resize(list.rows.size());
        }
        list.rows[k] = static_cast<std::int64_t>(i);
        if (with_values_) list.values[k] = value;
        k += static_cast<std::size_t>(inside);
    }

    std::vector<RegionRows> finish() {
        for (std::size_t r = 0; r < out_.size(); ++r) {
            out_[r].rows.resize(kept_[r]);
            out_[r].rows.shrink_to_fit();
            out_[r].values.resize(with_values_ ? kept_[r] : 0);
            out_[r].values.shrink_to_fit();
        }
        return std::move(out_);
    }

private:
    std::vector<RegionRows> out_;
    std::vector<std::size_t> kept_;
    bool with_values_;
};

// A bitmap per region from vector comparisons over the columns, then lists of exactly the
// bitmaps' counts, read from the set bits only.
std::vector<RegionRows> collect_by_bitmap(Span<const double> first, Span<const double> second,
                                          Span<const double> values,
                                          const std::vector<RegionBox>& regions) {
    const bool two = !second.empty();
    const std::size_t k = regions.size(), n_words = bitmap_words(first.size);
    std::vector<std::uint64_t> words(k * n_words);
    std::vector<ClosedInterval> a(k), b(k);
    for (std::size_t r = 0; r < k; ++r) {
        a[r] = closed_interval(regions[r].first);
        b[r] = two ? closed_interval(regions[r].second) : ClosedInterval{};
    }
    std::vector<std::size_t> counts(k);
    box_bitmaps(first, second, a.data(), b.data(), k, words.data(), counts.data());
    std::vector<RegionRows> out(k);
    std::vector<std::int64_t*> rows(k);
    std::vector<double*> gathered(k);
    for (std::size_t r = 0; r < k; ++r) {
        out[r].rows.resize(counts[r]);
        out[r].values.resize(values.empty() ? 0 : counts[r]);
        rows[r] = out[r].rows.data();
        gathered[r] = out[r].values.data();
    }
    bitmap_rows(words.data(), k, n_words, counts.data(), values, rows.data(), gathered.data());
    return out;
}

}  // namespace

// A bound as the closed interval [lo, hi] holding the same values: an open upper bound becomes
// the largest double below it (v < ub exactly when v <= that double), so membership is two
// comparisons. An open bound at -inf holds nothing.
ClosedInterval closed_interval(const Bound& b) {
    if (b.closed) return {b.lb, b.ub};
    if (b.ub == -HUGE_VAL) return {HUGE_VAL, -HUGE_VAL};
    return {b.lb, std::nextafter(b.ub, -HUGE_VAL)};
}

std::vector<RegionRows> rows_in_regions(Span<const double> first, Span<const double> second,
                                        const std::vector<RegionBox>& regions,
                                        Span<const double> values) {
    if (regions.empty()) return {};
    const bool two = !second.empty();
    const bool with_values = !values.empty();
    // A few regions: a bitmap per region.
    if (regions.size() <= kFewRegions) return collect_by_bitmap(first, second, values, regions);
    // Cells of the first column between consecutive distinct bounds: cell c holds the values
    // with exactly c bounds at or below them.
    std::vector<double> breaks;
    for (const RegionBox& r : regions)
        for (double b : {r.first.lb, r.first.ub})
            if (!std::isnan(b)) breaks.push_back(b);
    std::sort(breaks.begin(), breaks.end());
    breaks.erase(std::unique(breaks.begin(), breaks.end()), breaks.end());
    const std::size_t n_cells = breaks.size() + 1;
    // The number of bounds at or below v, by a binary search without branches (the data would
    // make a branch on every step unpredictable).
    const auto cell_of = [&](double v) -> std::size_t {
        if (breaks.empty()) return 0;
        const double* base = breaks.data();
        std::size_t len = breaks.size();
        while (len > 1) {
            const std::size_t half = len / 2;
            base = base[half] <= v ? base + half : base;
            len -= half;
        }
        return static_cast<std::size_t>(base - breaks.data()) +
               static_cast<std::size_t>(*base <= v);
    };
    // The regions overlapping each cell (rows with lb <= x <= ub lie in the cells from lb's to
    // ub's), as offsets into one list.
    std::vector<std::size_t> cell_start(n_cells + 1, 0);
    std::vector<std::pair<std::size_t, std::size_t>> spans(regions.size(), {1, 0});
    for (std::size_t r = 0; r < regions.size(); ++r) {
        const RegionBox& box = regions[r];
        if (std::isnan(box.first.lb) || std::isnan(box.first.ub)) continue;
        spans[r] = {cell_of(box.first.lb), cell_of(box.first.ub)};
        for (std::size_t c = spans[r].first; c <= spans[r].second; ++c) ++cell_start[c + 1];
    }
    for (std::size_t c = 0; c < n_cells; ++c) cell_start[c + 1] += cell_start[c];
    std::vector<std::uint32_t> cell_regions(cell_start[n_cells]);
    {
        std::vector<std::size_t> next(cell_start.begin(), cell_start.end() - 1);
        for (std::size_t r = 0; r < regions.size(); ++r)
            for (std::size_t c = spans[r].first; c <= spans[r].second; ++c)
                cell_regions[next[c]++] = static_cast<std::uint32_t>(r);
    }
    // A row's cell from a table over equal slices of the bounds' span, corrected against the
    // bounds themselves (so the result is exactly cell_of's); cell_of where no table fits.
    constexpr std::size_t kSlots = 4096;
    const double front = breaks.empty() ? 0.0 : breaks.front();
    const double back = breaks.empty() ? 0.0 : breaks.back();
    const double scale = static_cast<double>(kSlots) / (back - front);
    const bool use_table = breaks.size() > 1 && std::isfinite(front) && std::isfinite(back) &&
                           std::isfinite(scale) && scale > 0.0;
    // Slot 0 holds the values below the first bound, slot kSlots + 1 those at or above the last.
    std::vector<std::uint32_t> table;
    if (use_table) {
        table.resize(kSlots + 2);
        table[0] = 0;
        for (std::size_t t = 1; t <= kSlots; ++t)
            table[t] = static_cast<std::uint32_t>(
                cell_of(front + static_cast<double>(t - 1) / scale));
        table[kSlots + 1] = static_cast<std::uint32_t>(breaks.size());
    }
    const std::size_t last_break = breaks.size();
    const auto fast_cell = [&](double v) -> std::size_t {
        // Clamped to the table by selects, not branches (NaN lands in slot 0; its cell does not
        // matter, as no bound contains NaN).
        double guess = (v - front) * scale + 1.0;
        guess = guess > 0.0 ? guess : 0.0;
        const double top = static_cast<double>(kSlots + 1);
        guess = guess < top ? guess : top;
        // Through a signed integer: the unsigned conversion costs a branch.
        const auto slot = static_cast<std::size_t>(static_cast<std::int64_t>(guess));
        auto c = static_cast<std::size_t>(table[slot]);
        while (c > 0 && breaks[c - 1] > v) --c;
        while (c < last_break && breaks[c] <= v) ++c;
        return c;
    };
    // One pass over the rows, in order, so each region's list comes out in row order; only the
    // regions overlapping the row's cell are checked.
    RegionLists lists(regions.size(), with_values);
    for (std::size_t i = 0; i < first.size; ++i) {
        const double v = first[i];
        const std::size_t c = use_table ? fast_cell(v) : cell_of(v);
        for (std::size_t j = cell_start[c]; j < cell_start[c + 1]; ++j) {
            const std::uint32_t r = cell_regions[j];
            lists.offer(r, i, with_values ? values[i] : 0.0,
                        regions[r].first.contains(v) &
                            (!two || regions[r].second.contains(second[i])));
        }
    }
    return lists.finish();
}

ScoreSums sums_of(Span<const double> values, Span<const double> weights,
                  const std::int64_t* rows) {
    ScoreSums s;
    if (weights.empty()) {
        for (std::size_t k = 0; k < values.size; ++k) s.add(values[k], 1.0);
    } else {
        for (std::size_t k = 0; k < values.size; ++k)
            s.add(values[k], weights[static_cast<std::size_t>(rows[k])]);
    }
    return s;
}

ScoreSums sums_at(Span<const double> scores, Span<const double> weights,
                  const std::vector<std::int64_t>& positions) {
    ScoreSums s;
    for (std::int64_t p : positions) {
        const auto i = static_cast<std::size_t>(p);
        s.add(scores[i], weights.empty() ? 1.0 : weights[i]);
    }
    return s;
}

ScoreSums sums_all(Span<const double> scores, Span<const double> weights) {
    // Summed in the same four interleaved lanes as the bins of the histogram search, so a bin
    // holding every row has exactly the overall average (a tie at threshold 1 stays a tie).
    ScoreSums lanes[4];
    if (!weights.empty()) {
        for (std::size_t i = 0; i < scores.size; ++i) lanes[i % 4].add(scores[i], weights[i]);
    } else {
        // Weight one per row: the weight sum is the count and the weighted sum the plain one.
        double sum[4] = {0.0, 0.0, 0.0, 0.0};
        std::size_t i = 0;
        for (; i + 4 <= scores.size; i += 4)
            for (std::size_t l = 0; l < 4; ++l) sum[l] += scores[i + l];
        for (std::size_t l = 0; i < scores.size; ++i, ++l) sum[l] += scores[i];
        for (std::size_t l = 0; l < 4; ++l) {
            lanes[l].count = static_cast<std::int64_t>(scores.size / 4 + (l < scores.size % 4));
            lanes[l].sum = sum[l];
            lanes[l].weight = static_cast<double>(lanes[l].count);
            lanes[l].weighted = sum[l];
        }
    }
    ScoreSums s;
    for (const ScoreSums& lane : lanes) s.add(lane);
    return s;
}

void gather(Span<const double> values, const std::vector<std::int64_t>& positions,
            Span<double> out) {
    for (std::size_t k = 0; k < positions.size(); ++k)
        out[k] = values[static_cast<std::size_t>(positions[k])];
}

double percentile_of_score(Span<const double> values, double score, bool weak) {
    if (values.empty()) return std::nan("");
    std::size_t count = 0;
    for (double v : values) count += weak ? (v <= score) : (v < score);
    return static_cast<double>(count) * (100.0 / static_cast<double>(values.size));
}

}  // namespace movra::core
