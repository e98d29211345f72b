#include "core/scan_findings.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>

#include "core/scan_stats.hpp"

namespace movra::core {

std::vector<double> searched_maxima(const RowMajor& x, Span<const std::int64_t> searched,
                                    const std::vector<std::int64_t>& columns) {
    std::vector<double> maxima(x.n_columns, std::nan(""));
    std::vector<double> top(columns.size(), -INFINITY);
    for (const std::int64_t row : searched) {
        const double* values = x.data + static_cast<std::size_t>(row) * x.n_columns;
        for (std::size_t k = 0; k < columns.size(); ++k)
            top[k] = std::max(top[k], values[columns[k]]);  // a NaN value leaves the top
    }
    for (std::size_t k = 0; k < columns.size(); ++k)
        if (top[k] > -INFINITY) maxima[static_cast<std::size_t>(columns[k])] = top[k];
    return maxima;
}

namespace {

Bound condition(double lb, double ub, const std::vector<std::int32_t>& codes, double maximum) {
    if (!codes.empty()) return code_set(codes);
    return Bound(lb, ub, ub == maximum);
}

// A pair's held-out rows by region: its rows, the rows of its first condition only, of its
// second only, and of neither.
struct PairRows {
    std::vector<RegionMoments> inside, first, second, neither;
};

InteractionTest test_pair(const PairRows& rows, bool weighted, double score_sign) {
    InteractionTest t;
    RegionMoments pair;
    for (const RegionMoments& m : rows.inside) pair.add(m);
    const Sample in = sample_of(pair, weighted);
    const double total = weighted ? pair.weight : static_cast<double>(pair.count);
    if (pair.count < 2 || !(total > 0.0)) return t;
    // Each region's rows expected at the rows of neither condition plus each condition's effect
    // over them (a condition without rows of its own: no effect). The averages share rows across
    // regions: their errors are bounded as if fully correlated.
    double expected = 0.0, outside_error = 0.0;
    for (std::size_t c = 0; c < rows.inside.size(); ++c) {
        const double share =
            (weighted ? rows.inside[c].weight : static_cast<double>(rows.inside[c].count)) / total;
        if (!(share > 0.0)) continue;
        const Sample base = sample_of(rows.neither[c], weighted);
        if (!(base.effective_n > 1.0)) return t;
        double base_coefficient = 1.0;  // the base less each effect's own base
        for (const RegionMoments* m : {&rows.first[c], &rows.second[c]}) {
            const Sample alone = sample_of(*m, weighted);
            if (!(alone.effective_n > 0.0)) continue;
            expected += share * alone.mean;
            outside_error += share * std::sqrt(alone.variance_of_mean);
            base_coefficient -= 1.0;
        }
        expected += share * base_coefficient * base.mean;
        outside_error += share * std::fabs(base_coefficient) * std::sqrt(base.variance_of_mean);
    }
    const double variance = in.variance_of_mean + outside_error * outside_error;
    t.excess = -score_sign * (in.mean - expected);
    if (!(variance > 0.0)) {
        t.p_value = t.excess > 0.0 ? 0.0 : 1.0;
        return t;
    }
    t.statistic = t.excess / std::sqrt(variance);
    t.p_value = 0.5 * std::erfc(t.statistic / std::sqrt(2.0));
    return t;
}

}  // namespace

RegionBox region_box(const ScanRegion& r, const std::vector<double>& maxima) {
    const auto maximum = [&](std::int64_t column) {
        return static_cast<std::size_t>(column) < maxima.size()
                   ? maxima[static_cast<std::size_t>(column)]
                   : std::nan("");
    };
    RegionBox box;
    box.first = condition(r.lb1, r.ub1, r.codes1, maximum(r.first));
    if (r.second >= 0) box.second = condition(r.lb2, r.ub2, r.codes2, maximum(r.second));
    return box;
}

std::vector<InteractionTest> interaction_tests(const RowMajor& x, const ScanSplit& held_out,
                                               const std::vector<PairCandidate>& pairs,
                                               double score_sign) {
    if (held_out.scores.size != held_out.rows.size ||
        (!held_out.weights.empty() && held_out.weights.size != held_out.rows.size))
        throw std::invalid_argument("interaction_tests: one score (and weight) per held-out row");
    std::vector<PairRows> sums(pairs.size());
    for (std::size_t p = 0; p < pairs.size(); ++p)
        for (auto* v : {&sums[p].inside, &sums[p].first, &sums[p].second, &sums[p].neither})
            v->resize(pairs[p].boxes.size());
    const bool weighted = !held_out.weights.empty();
    std::vector<std::uint8_t> first, second;
    for (std::size_t i = 0; i < held_out.rows.size; ++i) {
        const double* values = x.data + static_cast<std::size_t>(held_out.rows[i]) * x.n_columns;
        const double s = held_out.scores[i], w = weighted ? held_out.weights[i] : 1.0;
        for (std::size_t p = 0; p < pairs.size(); ++p) {
            const PairCandidate& c = pairs[p];
            const double a = values[c.first], b = values[c.second];
            const std::size_t n = c.boxes.size();
            first.resize(n);
            second.resize(n);
            std::size_t inside = n;  // the regions are disjoint: at most one holds the row
            for (std::size_t k = 0; k < n; ++k) {
                first[k] = c.boxes[k].first.contains(a) ? 1 : 0;
                second[k] = c.boxes[k].second.contains(b) ? 1 : 0;
                if ((first[k] & second[k]) != 0) inside = k;
            }
            PairRows& r = sums[p];
            if (inside < n) r.inside[inside].add(s, w);
            for (std::size_t k = 0; k < n; ++k) {
                const unsigned kind = first[k] + 2u * second[k];  // 3: inside region k
                if (kind < 3) (kind == 0 ? r.neither : kind == 1 ? r.first : r.second)[k].add(s, w);
            }
        }
    }
    std::vector<InteractionTest> tests;
    tests.reserve(pairs.size());
    for (const PairRows& r : sums) tests.push_back(test_pair(r, weighted, score_sign));
    return tests;
}

std::vector<std::uint8_t> vacuous_boxes(
    const RowMajor& x, Span<const std::int64_t> searched,
    const std::vector<std::pair<std::int64_t, std::int64_t>>& columns,
    const std::vector<RegionBox>& boxes) {
    if (columns.size() != boxes.size())
        throw std::invalid_argument("vacuous_boxes: one pair of columns per box");
    std::vector<std::int64_t> first(boxes.size()), second(boxes.size()), both(boxes.size());
    for (const std::int64_t row : searched) {
        const double* values = x.data + static_cast<std::size_t>(row) * x.n_columns;
        for (std::size_t k = 0; k < boxes.size(); ++k) {
            const bool a = boxes[k].first.contains(values[columns[k].first]);
            const bool b = boxes[k].second.contains(values[columns[k].second]);
            first[k] += a;
            second[k] += b;
            both[k] += a & b;
        }
    }
    std::vector<std::uint8_t> vacuous(boxes.size());
    for (std::size_t k = 0; k < boxes.size(); ++k) {
        const auto share = [&](std::int64_t of) {
            return of > 0 ? static_cast<double>(both[k]) / static_cast<double>(of) : 0.0;
        };
        vacuous[k] = share(first[k]) >= kVacuousShare || share(second[k]) >= kVacuousShare;
    }
    return vacuous;
}

namespace {

using Key = std::pair<std::int64_t, std::int64_t>;

Key key_of(const FoundRegion& r) { return {r.first, r.is_pair() ? r.second : -1}; }

// The marked regions of each feature (second -1) and pair, in the order visited.
std::map<Key, std::vector<std::size_t>> by_features(const ScanFindings& findings,
                                                    const std::vector<std::uint8_t>& marked,
                                                    const std::vector<std::size_t>& order) {
    std::map<Key, std::vector<std::size_t>> groups;
    for (const std::size_t i : order)
        if (marked[i] != 0) groups[key_of(findings.regions()[i])].push_back(i);
    return groups;
}

double severity_of(const ScanFindings& findings, const std::vector<std::size_t>& regions) {
    double sum = 0.0;
    for (const std::size_t i : regions) sum += findings.severity()[i];
    return sum;
}

void unmark(std::vector<std::uint8_t>& marked, const std::vector<std::size_t>& regions) {
    for (const std::size_t i : regions) marked[i] = 0;
}

using Groups = std::map<Key, std::vector<std::size_t>>;

bool any_weak(const std::vector<std::size_t>& regions, Span<const double> p, double alpha) {
    return std::any_of(regions.begin(), regions.end(),
                       [&](std::size_t i) { return p[i] <= alpha; });
}

// The boxes of the marked regions of these pairs, less the vacuous ones (unmarked, and left out
// of their groups).
std::map<Key, std::vector<RegionBox>> drop_vacuous(const ScanFindings& findings, Groups& groups,
                                                   const std::vector<Key>& pairs,
                                                   const FindingRows& rows,
                                                   std::vector<std::uint8_t>& marked) {
    std::vector<std::int64_t> columns;
    for (const Key& key : pairs) {
        columns.push_back(key.first);
        columns.push_back(key.second);
    }
    const std::vector<double> maxima = searched_maxima(rows.x, rows.searched, columns);
    std::vector<std::pair<std::int64_t, std::int64_t>> of_box;
    std::vector<RegionBox> boxes;
    for (const Key& key : pairs)
        for (const std::size_t i : groups.at(key)) {
            of_box.push_back(key);
            boxes.push_back(region_box(findings.regions()[i], maxima));
        }
    const std::vector<std::uint8_t> vacuous = vacuous_boxes(rows.x, rows.searched, of_box, boxes);
    std::map<Key, std::vector<RegionBox>> kept_boxes;
    std::size_t box = 0;
    for (const Key& key : pairs) {
        std::vector<std::size_t> kept;
        for (const std::size_t i : groups.at(key)) {
            if (vacuous[box] == 0) {
                kept.push_back(i);
                kept_boxes[key].push_back(boxes[box]);
            }
            marked[i] = vacuous[box++] == 0 ? 1 : 0;
        }
        groups[key] = kept;
    }
    return kept_boxes;
}

// The pairs tested for an interaction: those with a region weak on the held-out rows at level
// alpha (the others cannot be a finding), less their vacuous regions, and still so.
std::vector<PairCandidate> pair_candidates(const ScanFindings& findings, Groups& groups,
                                           Span<const double> p, double alpha,
                                           const FindingRows& rows, std::vector<Key>& keys,
                                           std::vector<std::uint8_t>& marked) {
    std::vector<Key> weak;
    for (const auto& [key, regions] : groups)
        if (key.second >= 0 && any_weak(regions, p, alpha)) weak.push_back(key);
    if (weak.empty()) return {};
    std::map<Key, std::vector<RegionBox>> boxes =
        drop_vacuous(findings, groups, weak, rows, marked);
    std::vector<PairCandidate> pairs;
    for (const Key& key : weak) {
        if (!any_weak(groups.at(key), p, alpha)) continue;
        keys.push_back(key);
        pairs.push_back({key.first, key.second, std::move(boxes[key])});
    }
    return pairs;
}

// The regions of pairs that hold an interaction, less their vacuous ones; the interaction's
// p-value of each pair so kept.
std::vector<std::uint8_t> tested_regions(const ScanFindings& findings,
                                         const std::vector<std::size_t>& order,
                                         Span<const double> p, double alpha,
                                         const FindingRows& rows, std::map<Key, double>& pair_p) {
    std::vector<std::uint8_t> marked = distinct_regions(findings, order);
    Groups groups = by_features(findings, marked, order);
    std::vector<Key> keys;
    const std::vector<PairCandidate> pairs =
        pair_candidates(findings, groups, p, alpha, rows, keys, marked);
    const std::vector<InteractionTest> tests =
        interaction_tests(rows.x, rows.held_out, pairs, findings.scoring().score_sign);
    // The false discovery rate among every pair with a region, the untested ones at p = 1.
    std::vector<double> tested_p;
    for (const InteractionTest& t : tests) tested_p.push_back(t.p_value);
    for (const auto& [key, members] : groups)
        if (key.second >= 0 && std::find(keys.begin(), keys.end(), key) == keys.end())
            tested_p.push_back(1.0);
    const std::vector<double> q = benjamini_hochberg({tested_p.data(), tested_p.size()});
    for (std::size_t k = 0; k < keys.size(); ++k)
        if (q[k] <= alpha && tests[k].excess > 0.0) pair_p[keys[k]] = tests[k].p_value;
    for (const auto& [key, members] : groups)
        if (key.second >= 0 && pair_p.count(key) == 0) unmark(marked, members);
    return marked;
}

}  // namespace

std::vector<std::uint8_t> reported_regions(const ScanFindings& findings,
                                           const std::vector<std::size_t>& order,
                                           const FindingRows* rows) {
    std::vector<std::uint8_t> marked = distinct_regions(findings, order);
    Groups groups = by_features(findings, marked, order);
    if (rows != nullptr) {
        std::vector<Key> pairs;
        for (const auto& [key, regions] : groups)
            if (key.second >= 0) pairs.push_back(key);
        drop_vacuous(findings, groups, pairs, *rows, marked);
    }
    const auto alone = [&](std::int64_t column) {
        const auto at = groups.find({column, -1});
        return at == groups.end() ? 0.0 : severity_of(findings, at->second);
    };
    for (const auto& [key, regions] : groups) {
        if (key.second < 0) continue;
        const double own = std::max(alone(key.first), alone(key.second));
        if (!(severity_of(findings, regions) > kPairMargin * own)) unmark(marked, regions);
    }
    return marked;
}

ScanRanking rank_regions(const ScanFindings& findings, Span<const double> p, double alpha,
                         const FindingRows* rows) {
    const std::vector<double>& severity = findings.severity();
    ScanRanking ranking;
    ranking.order = worst_first({severity.data(), severity.size()}, p);
    ranking.q_value = benjamini_hochberg(p);
    for (const double q : ranking.q_value) ranking.significant.push_back(q <= alpha ? 1 : 0);
    std::map<Key, double> pair_p;
    const bool tested = rows != nullptr && !rows->held_out.scores.empty();
    ranking.reported = tested ? tested_regions(findings, ranking.order, p, alpha, *rows, pair_p)
                              : reported_regions(findings, ranking.order, rows);
    // The findings in the order of their most severe region, then most severe first.
    std::map<Key, std::size_t> place;
    for (const std::size_t i : ranking.order) {
        if (ranking.reported[i] == 0) continue;
        const Key key = key_of(findings.regions()[i]);
        const auto [at, added] = place.emplace(key, ranking.findings.size());
        if (added) {
            Finding f;
            f.first = key.first;
            f.second = key.second;
            const auto tested_p = pair_p.find(key);
            if (tested_p != pair_p.end()) f.interaction_p = tested_p->second;
            ranking.findings.push_back(std::move(f));
        }
        Finding& f = ranking.findings[at->second];
        f.regions.push_back(i);
        f.severity += severity[i];
    }
    std::stable_sort(ranking.findings.begin(), ranking.findings.end(),
                     [](const Finding& a, const Finding& b) { return a.severity > b.severity; });
    ranking.finding.assign(severity.size(), -1);
    for (std::size_t k = 0; k < ranking.findings.size(); ++k)
        for (const std::size_t i : ranking.findings[k].regions)
            ranking.finding[i] = static_cast<std::int64_t>(k);
    return ranking;
}

}  // namespace movra::core
