#include "core/scan_ranking.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

namespace movra::core {

const RegionMoments& held_out_moments(const FoundRegion& r, bool use_test) {
    return use_test ? r.train : r.test;
}

double held_out_score(const FoundRegion& r, bool use_test) {
    return use_test ? r.train_score : r.test_score;
}

double set_region_severity(std::int64_t count, double score, const HeldOutSplit& split,
                           double score_sign) {
    if (count == 0 || split.score == 0.0 || !std::isfinite(score)) return 0.0;
    const double share = static_cast<double>(count) / static_cast<double>(split.moments.count);
    return -score_sign * share * (score - split.score) / std::fabs(split.score);
}

RegionScores region_scores(const FoundRegion& r, const ScanScoring& scoring) {
    if (!scoring.additive) return {r.test_score, r.train_score, r.overall_score};
    const auto average = [&](const RegionMoments& m) {
        return average_score(m, scoring.weighted, ZeroWeights::kZeroSum);
    };
    RegionMoments both = r.train;
    both.add(r.test);
    return {average(r.test), average(r.train), average(both)};
}

double permutation_p_value(double observed, Span<const double> random_scores, double score_sign) {
    std::size_t as_weak = 0;
    for (const double random : random_scores)
        as_weak += -score_sign * (random - observed) >= 0.0 ? 1 : 0;
    return (1.0 + static_cast<double>(as_weak)) / (1.0 + static_cast<double>(random_scores.size));
}

ScanFindings::ScanFindings(const ScanScoring& scoring, const HeldOutSplit& held_out)
    : scoring_(scoring), held_out_(held_out) {}

void ScanFindings::add(FoundRegion region) {
    const RegionMoments& m = held_out_moments(region, scoring_.use_test);
    const double severity =
        scoring_.additive
            ? region_severity(m, held_out_.moments, scoring_.weighted, scoring_.score_sign)
            : set_region_severity(m.count, held_out_score(region, scoring_.use_test), held_out_,
                                  scoring_.score_sign);
    double& worst = worst_[{region.first, region.is_pair() ? region.second : -1}];
    worst = std::max(worst, severity);  // a NaN severity leaves the worst as it is
    severity_.push_back(severity);
    regions_.push_back(std::move(region));
}

double ScanFindings::worst_severity(std::int64_t first, std::int64_t second) const {
    const auto at = worst_.find({first, second < 0 ? -1 : second});
    return at == worst_.end() ? 0.0 : at->second;
}

std::vector<WeakRegionTest> ScanFindings::weak_region_tests(double threshold) const {
    if (!scoring_.additive)
        throw std::logic_error("the weak-region test reads the moments of an additive metric");
    std::vector<WeakRegionTest> tests;
    tests.reserve(regions_.size());
    for (const FoundRegion& r : regions_)
        tests.push_back(weak_region_test(held_out_moments(r, scoring_.use_test), held_out_.moments,
                                         scoring_.weighted, threshold, scoring_.score_sign));
    return tests;
}

std::vector<std::size_t> worst_first(Span<const double> severity, Span<const double> p) {
    if (p.size != severity.size) throw std::invalid_argument("worst_first: one p-value per region");
    std::vector<std::size_t> order(severity.size);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) {
        if (severity[i] != severity[j]) return severity[i] > severity[j];
        return p[i] < p[j];
    });
    return order;
}

namespace {

// Whether two conditions on one feature share rows: intervals that overlap, sets that share a
// code (an interval and a set never do: a set is either categories or the missing rows).
bool sharing(double lb_a, double ub_a, const std::vector<std::int32_t>& a, double lb_b, double ub_b,
             const std::vector<std::int32_t>& b) {
    if (a.empty() != b.empty()) return false;
    if (!a.empty())
        return std::any_of(a.begin(), a.end(), [&b](std::int32_t code) {
            return std::find(b.begin(), b.end(), code) != b.end();
        });
    return lb_a < ub_b && lb_b < ub_a;
}

}  // namespace

bool overlapping(const ScanRegion& a, const ScanRegion& b) {
    const bool first = sharing(a.lb1, a.ub1, a.codes1, b.lb1, b.ub1, b.codes1);
    if (a.second < 0) return first || (a.codes1.empty() && a.lb1 == b.lb1 && a.ub1 == b.ub1);
    return first && sharing(a.lb2, a.ub2, a.codes2, b.lb2, b.ub2, b.codes2);
}

std::vector<std::uint8_t> distinct_regions(const ScanFindings& findings,
                                           const std::vector<std::size_t>& order) {
    const std::vector<FoundRegion>& regions = findings.regions();
    const std::vector<double>& severity = findings.severity();
    std::vector<std::uint8_t> keep(regions.size(), 0);
    // The kept regions of each feature or pair: a region is compared with its own features' only.
    std::map<std::pair<std::int64_t, std::int64_t>, std::vector<std::size_t>> kept;
    for (const std::size_t i : order) {
        const FoundRegion& r = regions[i];
        if (!(severity[i] > 0.0)) continue;
        std::vector<std::size_t>& same = kept[{r.first, r.is_pair() ? r.second : -1}];
        const bool repeat = std::any_of(same.begin(), same.end(),
                                        [&](std::size_t k) { return overlapping(regions[k], r); });
        if (repeat) continue;
        same.push_back(i);
        keep[i] = 1;
    }
    return keep;
}

bool pairs_follow_features(PairChoice choice, std::size_t n_features) {
    return choice == PairChoice::kAuto && n_features > kAllPairsUpTo;
}

std::vector<std::pair<std::int64_t, std::int64_t>> pairs_to_scan(
    const std::vector<std::int64_t>& columns, PairChoice choice, const ScanFindings& findings) {
    if (choice == PairChoice::kNone) return {};
    std::vector<std::int64_t> chosen = columns;
    if (pairs_follow_features(choice, columns.size())) {
        std::vector<double> worst;
        for (const std::int64_t c : columns) worst.push_back(findings.worst_severity(c));
        std::vector<std::size_t> order(columns.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t i, std::size_t j) { return worst[i] > worst[j]; });
        order.resize(kAutoFeatures);
        std::sort(order.begin(), order.end());
        chosen.clear();
        for (const std::size_t i : order) chosen.push_back(columns[i]);
    }
    std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
    for (std::size_t i = 0; i < chosen.size(); ++i)
        for (std::size_t j = i + 1; j < chosen.size(); ++j)
            pairs.emplace_back(chosen[i], chosen[j]);
    return pairs;
}

CellMatrix worst_by_cell(const ScanFindings& findings, const ScanRanking& ranking,
                         const std::vector<std::int64_t>& columns) {
    const std::size_t n = columns.size();
    CellMatrix cells{n, std::vector<double>(n * n, std::nan("")), std::vector<std::uint8_t>(n * n)};
    std::map<std::int64_t, std::size_t> position;
    for (std::size_t k = 0; k < n; ++k) position[columns[k]] = k;
    const auto place = [&](std::int64_t column) {
        const auto at = position.find(column);
        if (at == position.end())
            throw std::invalid_argument("worst_by_cell: a region of a column not scanned");
        return at->second;
    };
    const std::vector<FoundRegion>& regions = findings.regions();
    for (const std::size_t i : ranking.order) {
        if (ranking.reported[i] == 0) continue;
        const FoundRegion& r = regions[i];
        const std::size_t a = place(r.first), b = r.is_pair() ? place(r.second) : a;
        for (const std::size_t cell : {a * n + b, b * n + a}) {
            const double severity = findings.severity()[i];
            if (std::isnan(cells.worst[cell]) || severity > cells.worst[cell]) {
                cells.worst[cell] = severity;
                cells.significant[cell] = ranking.significant[i];
            }
        }
    }
    return cells;
}

}  // namespace movra::core
