#include "core/region_stats.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/row_bitmap.hpp"

namespace movra::core {

double average_score(const ScoreSums& sums, bool weighted, ZeroWeights rule) {
    if (sums.count == 0) return std::nan("");
    const bool unusable = rule == ZeroWeights::kZeroSum ? sums.weight == 0.0 : !(sums.weight > 0.0);
    if (weighted && !unusable) return sums.weighted / sums.weight;
    return sums.sum / static_cast<double>(sums.count);
}

double average_score(const RegionMoments& m, bool weighted, ZeroWeights rule) {
    return average_score(ScoreSums{m.count, m.sum, m.weight, m.weighted}, weighted, rule);
}

RegionMoments moments_at(Span<const double> scores, Span<const double> weights,
                         const std::int64_t* rows, std::size_t n_rows) {
    RegionMoments m;
    for (std::size_t k = 0; k < n_rows; ++k) {
        const auto i = static_cast<std::size_t>(rows[k]);
        m.add(scores[i], weights.empty() ? 1.0 : weights[i]);
    }
    return m;
}

RegionMoments moments_all(Span<const double> scores, Span<const double> weights) {
    RegionMoments m;
    for (std::size_t i = 0; i < scores.size; ++i)
        m.add(scores[i], weights.empty() ? 1.0 : weights[i]);
    return m;
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

}  // namespace

Bound code_set(const std::vector<std::int32_t>& codes) {
    Bound b;
    b.is_set = true;
    b.lb = b.ub = std::nan("");
    b.members.assign(1, 0);
    for (std::int32_t c : codes) {
        if (c == kMissingCode) {
            b.missing = true;
            continue;
        }
        if (c < 0) continue;  // no category has a negative code
        const auto at = static_cast<std::size_t>(c);
        if (at >= b.members.size()) b.members.resize(at + 1, 0);
        b.members[at] = 1;
    }
    return b;
}

std::vector<std::int64_t> rows_in_bound(Span<const double> column, const Bound& bound) {
    return select_rows(column.size, [&](std::size_t i) { return bound.contains(column[i]); });
}

std::vector<std::int64_t> rows_in_box(Span<const double> first, const Bound& first_bound,
                                      Span<const double> second, const Bound& second_bound) {
    return select_rows(first.size, [&](std::size_t i) {
        return first_bound.contains(first[i]) & second_bound.contains(second[i]);
    });
}

// A bound as the closed interval [lo, hi] holding the same values: an open upper bound becomes
// the largest double below it (v < ub exactly when v <= that double), so membership is two
// comparisons. An open bound at -inf holds nothing.
ClosedInterval closed_interval(const Bound& b) {
    if (b.closed) return {b.lb, b.ub};
    if (b.ub == -HUGE_VAL) return {HUGE_VAL, -HUGE_VAL};
    return {b.lb, std::nextafter(b.ub, -HUGE_VAL)};
}

ScoreSums sums_of(Span<const double> values, Span<const double> weights, const std::int64_t* rows) {
    ScoreSums s;
    if (weights.empty()) {
        for (std::size_t k = 0; k < values.size; ++k) s.add(values[k], 1.0);
    } else {
        for (std::size_t k = 0; k < values.size; ++k)
            s.add(values[k], weights[static_cast<std::size_t>(rows[k])]);
    }
    return s;
}

std::vector<RegionBox> region_boxes(const std::vector<RegionBounds>& regions,
                                    Span<const double> closed_at) {
    const auto bound = [&](std::size_t k, double lb, double ub,
                           const std::vector<std::int32_t>& codes) {
        if (!codes.empty()) return code_set(codes);
        return Bound{lb, ub, k < closed_at.size && ub == closed_at[k]};
    };
    std::vector<RegionBox> boxes;
    boxes.reserve(regions.size());
    for (const RegionBounds& r : regions)
        boxes.push_back({bound(0, r.lb1, r.ub1, r.codes1), bound(1, r.lb2, r.ub2, r.codes2)});
    return boxes;
}

void ProfileAccumulator::add(Span<const double> scores, Span<const double> weights) {
    // Eight independent lanes: one running minimum would chain every row on the last, and the
    // lanes compile to vector min/max (the selects are exactly their semantics).
    constexpr std::size_t kWidth = 8;
    double lo[kWidth], hi[kWidth], low_weight[kWidth];
    for (std::size_t k = 0; k < kWidth; ++k) {
        lo[k] = low_;
        hi[k] = high_;
        low_weight[k] = low_weight_;
    }
    std::size_t i = 0;
    for (; i + kWidth <= scores.size; i += kWidth)
        for (std::size_t k = 0; k < kWidth; ++k) {
            const double v = scores[i + k];
            lo[k] = v < lo[k] ? v : lo[k];
            hi[k] = v > hi[k] ? v : hi[k];
        }
    for (; i < scores.size; ++i) {
        lo[0] = scores[i] < lo[0] ? scores[i] : lo[0];
        hi[0] = scores[i] > hi[0] ? scores[i] : hi[0];
    }
    for (i = 0; i + kWidth <= weights.size; i += kWidth)
        for (std::size_t k = 0; k < kWidth; ++k)
            low_weight[k] = weights[i + k] < low_weight[k] ? weights[i + k] : low_weight[k];
    for (; i < weights.size; ++i)
        low_weight[0] = weights[i] < low_weight[0] ? weights[i] : low_weight[0];
    for (std::size_t k = 0; k < kWidth; ++k) {
        low_ = std::min(low_, lo[k]);
        high_ = std::max(high_, hi[k]);
        low_weight_ = std::min(low_weight_, low_weight[k]);
    }
}

ScoreProfile ProfileAccumulator::profile() const {
    ScoreProfile p;
    if (low_ < 0.0 && high_ > 0.0) p.mixed_sign_scale = std::max(-low_, high_);
    p.negative_weights = low_weight_ < 0.0;
    return p;
}

ScoreProfile score_profile(Span<const double> scores, Span<const double> weights) {
    ProfileAccumulator a;
    a.add(scores, weights);
    return a.profile();
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
