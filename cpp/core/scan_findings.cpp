#include "core/scan_findings.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>

#include "core/scan_stats.hpp"

namespace movra::core {

namespace {

Bound condition(double lb, double ub, const std::vector<std::int32_t>& codes, bool closed) {
    if (!codes.empty()) return code_set(codes);
    return Bound(lb, ub, closed);
}

// The distinct conditions of many boxes (each box of a pair of columns), so that each is tested
// once per row.
struct Conditions {
    std::vector<std::size_t> column;
    std::vector<const Bound*> bound;
    std::vector<std::pair<std::size_t, std::size_t>> of_box;  // a box's two conditions

    Conditions(const std::vector<std::pair<std::int64_t, std::int64_t>>& columns,
               const std::vector<RegionBox>& boxes) {
        using Key =
            std::tuple<std::int64_t, bool, double, double, bool, bool, std::vector<std::uint8_t>>;
        std::map<Key, std::size_t> place;
        const auto add = [&](std::int64_t c, const Bound& b) {
            // NaN bounds hold no row: any two such intervals of a column are the same condition.
            const auto value = [](double v) { return std::isnan(v) ? INFINITY : v; };
            const Key key{c,
                          b.is_set,
                          b.is_set ? 0.0 : value(b.lb),
                          b.is_set ? 0.0 : value(b.ub),
                          b.closed,
                          b.missing,
                          b.members};
            const auto [at, added] = place.emplace(key, bound.size());
            if (added) {
                column.push_back(static_cast<std::size_t>(c));
                bound.push_back(&b);
            }
            return at->second;
        };
        for (std::size_t k = 0; k < boxes.size(); ++k) {
            const std::size_t first = add(columns[k].first, boxes[k].first);
            of_box.emplace_back(first, add(columns[k].second, boxes[k].second));
        }
    }

    void test(const double* values, std::vector<std::uint8_t>& in) const {
        in.resize(bound.size());
        for (std::size_t d = 0; d < bound.size(); ++d)
            in[d] = bound[d]->contains(values[column[d]]) ? 1 : 0;
    }
};

const double* row_of(const RowMajor& x, std::int64_t row) {
    return x.data + static_cast<std::size_t>(row) * x.n_columns;
}

RegionMoments combined(RegionMoments a, const RegionMoments& b, double sign) {
    a.count += sign > 0 ? b.count : -b.count;
    a.sum += sign * b.sum;
    a.weight += sign * b.weight;
    a.weighted += sign * b.weighted;
    a.weighted_sq += sign * b.weighted_sq;
    a.weight_sq += sign * b.weight_sq;
    return a;
}

// A region of a pair on the held-out rows: its rows, those of each of its conditions (inside it
// or not) and all rows.
struct RegionRows {
    RegionMoments inside, first, second, all;
    bool vacuous() const {
        return static_cast<double>(inside.count) >=
                   kVacuousShare * static_cast<double>(first.count) ||
               static_cast<double>(inside.count) >=
                   kVacuousShare * static_cast<double>(second.count);
    }
};

InteractionTest test_pair(const std::vector<RegionRows>& regions, bool weighted,
                          double score_sign) {
    InteractionTest t;
    RegionMoments pair;
    for (const RegionRows& r : regions)
        if (!r.vacuous()) pair.add(r.inside);
    const Sample in = sample_of(pair, weighted);
    const double total = weighted ? pair.weight : static_cast<double>(pair.count);
    if (pair.count < 2 || !(total > 0.0)) return t;
    // Each region's rows expected at the rows of neither condition plus each condition's effect
    // over them (a condition without rows of its own: no effect). The averages share rows across
    // regions: their errors are bounded as if fully correlated.
    double expected = 0.0, outside_error = 0.0;
    for (const RegionRows& r : regions) {
        const double share =
            (weighted ? r.inside.weight : static_cast<double>(r.inside.count)) / total;
        if (r.vacuous() || !(share > 0.0)) continue;
        const RegionMoments first = combined(r.first, r.inside, -1.0);
        const RegionMoments second = combined(r.second, r.inside, -1.0);
        const Sample base = sample_of(
            combined(combined(combined(r.all, r.first, -1.0), r.second, -1.0), r.inside, 1.0),
            weighted);
        if (!(base.effective_n > 1.0)) return t;
        double base_coefficient = 1.0;  // the base less each effect's own base
        for (const RegionMoments* m : {&first, &second}) {
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

RegionBox region_box(const ScanRegion& r) {
    RegionBox box;
    box.first = condition(r.lb1, r.ub1, r.codes1, r.closed1);
    if (r.second >= 0) box.second = condition(r.lb2, r.ub2, r.codes2, r.closed2);
    return box;
}

std::vector<InteractionTest> interaction_tests(const RowMajor& x, const ScanSplit& held_out,
                                               const std::vector<PairCandidate>& pairs,
                                               double score_sign) {
    if (held_out.scores.size != held_out.rows.size ||
        (!held_out.weights.empty() && held_out.weights.size != held_out.rows.size))
        throw std::invalid_argument("interaction_tests: one score (and weight) per held-out row");
    std::vector<std::pair<std::int64_t, std::int64_t>> columns;
    std::vector<RegionBox> boxes;
    for (const PairCandidate& p : pairs)
        for (const RegionBox& b : p.boxes) {
            columns.emplace_back(p.first, p.second);
            boxes.push_back(b);
        }
    const Conditions conditions(columns, boxes);
    std::vector<RegionMoments> of_condition(conditions.bound.size()), inside(boxes.size());
    RegionMoments all;
    const bool weighted = !held_out.weights.empty();
    std::vector<std::uint8_t> in;
    for (std::size_t i = 0; i < held_out.rows.size; ++i) {
        conditions.test(row_of(x, held_out.rows[i]), in);
        const double s = held_out.scores[i], w = weighted ? held_out.weights[i] : 1.0;
        all.add(s, w);
        for (std::size_t d = 0; d < in.size(); ++d)
            if (in[d] != 0) of_condition[d].add(s, w);
        for (std::size_t b = 0; b < boxes.size(); ++b) {
            const auto [first, second] = conditions.of_box[b];
            if ((in[first] & in[second]) != 0) inside[b].add(s, w);
        }
    }
    std::vector<InteractionTest> tests;
    std::size_t box = 0;
    for (const PairCandidate& p : pairs) {
        std::vector<RegionRows> regions;
        for (std::size_t k = 0; k < p.boxes.size(); ++k, ++box) {
            const auto [first, second] = conditions.of_box[box];
            regions.push_back({inside[box], of_condition[first], of_condition[second], all});
        }
        tests.push_back(test_pair(regions, weighted, score_sign));
    }
    return tests;
}

std::vector<std::uint8_t> vacuous_boxes(
    const RowMajor& x, Span<const std::int64_t> searched,
    const std::vector<std::pair<std::int64_t, std::int64_t>>& columns,
    const std::vector<RegionBox>& boxes) {
    if (columns.size() != boxes.size())
        throw std::invalid_argument("vacuous_boxes: one pair of columns per box");
    const Conditions conditions(columns, boxes);
    std::vector<std::int64_t> of_condition(conditions.bound.size()), inside(boxes.size());
    std::vector<std::uint8_t> in;
    for (const std::int64_t row : searched) {
        conditions.test(row_of(x, row), in);
        for (std::size_t d = 0; d < in.size(); ++d) of_condition[d] += in[d];
        for (std::size_t b = 0; b < boxes.size(); ++b)
            inside[b] += in[conditions.of_box[b].first] & in[conditions.of_box[b].second];
    }
    std::vector<std::uint8_t> vacuous(boxes.size());
    for (std::size_t b = 0; b < boxes.size(); ++b) {
        RegionRows r;
        r.inside.count = inside[b];
        r.first.count = of_condition[conditions.of_box[b].first];
        r.second.count = of_condition[conditions.of_box[b].second];
        vacuous[b] = r.inside.count > 0 && r.vacuous() ? 1 : 0;
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

// The regions of these pairs less the vacuous ones on the searched rows (unmarked, and left out of
// their groups).
void drop_vacuous(const ScanFindings& findings, Groups& groups, const std::vector<Key>& pairs,
                  const FindingRows& rows, std::vector<std::uint8_t>& marked) {
    std::vector<std::pair<std::int64_t, std::int64_t>> of_box;
    std::vector<RegionBox> boxes;
    for (const Key& key : pairs)
        for (const std::size_t i : groups.at(key)) {
            of_box.push_back(key);
            boxes.push_back(region_box(findings.regions()[i]));
        }
    if (boxes.empty()) return;
    const std::vector<std::uint8_t> vacuous = vacuous_boxes(rows.x, rows.searched, of_box, boxes);
    std::size_t box = 0;
    for (const Key& key : pairs) {
        std::vector<std::size_t> kept;
        for (const std::size_t i : groups.at(key)) {
            if (vacuous[box++] == 0)
                kept.push_back(i);
            else
                marked[i] = 0;
        }
        groups[key] = kept;
    }
}

// The regions of pairs that hold an interaction: of the pairs with a region weak on the held-out
// rows at level alpha and more severe in all than either feature (the others cannot be a finding
// over their features), those whose test passes, less their vacuous regions; the interaction's
// p-value of each pair so kept.
std::vector<std::uint8_t> tested_regions(const ScanFindings& findings,
                                         const std::vector<std::size_t>& order,
                                         Span<const double> p, double alpha,
                                         const FindingRows& rows, std::map<Key, double>& pair_p) {
    std::vector<std::uint8_t> marked = distinct_regions(findings, order);
    Groups groups = by_features(findings, marked, order);
    const auto alone = [&](std::int64_t column) {
        const auto at = groups.find({column, -1});
        return at == groups.end() ? 0.0 : severity_of(findings, at->second);
    };
    std::vector<PairCandidate> pairs;
    std::size_t n_pairs = 0;
    for (const auto& [key, regions] : groups) {
        n_pairs += key.second >= 0 ? 1 : 0;
        if (key.second < 0 || !any_weak(regions, p, alpha) ||
            !(severity_of(findings, regions) > std::max(alone(key.first), alone(key.second))))
            continue;
        PairCandidate c{key.first, key.second, {}};
        for (std::size_t k = 0; k < std::min(regions.size(), kTestedRegions); ++k)
            c.boxes.push_back(region_box(findings.regions()[regions[k]]));
        pairs.push_back(std::move(c));
    }
    // An evenly spaced sample of the held-out rows when there are many: the test needs no more.
    const std::size_t step = (rows.held_out.rows.size + kTestedRows - 1) / kTestedRows;
    std::vector<std::int64_t> sample_rows;
    std::vector<double> sample_scores, sample_weights;
    ScanSplit held_out = rows.held_out;
    if (step > 1) {
        for (std::size_t i = 0; i < held_out.rows.size; i += step) {
            sample_rows.push_back(held_out.rows[i]);
            sample_scores.push_back(held_out.scores[i]);
            if (!held_out.weights.empty()) sample_weights.push_back(held_out.weights[i]);
        }
        held_out = {{sample_rows.data(), sample_rows.size()},
                    {sample_scores.data(), sample_scores.size()},
                    {sample_weights.data(), sample_weights.size()}};
    }
    const std::vector<InteractionTest> tests =
        interaction_tests(rows.x, held_out, pairs, findings.scoring().score_sign);
    // The false discovery rate among every pair with a region, the untested ones at p = 1.
    std::vector<double> tested_p(n_pairs, 1.0);
    for (std::size_t k = 0; k < tests.size(); ++k) tested_p[k] = tests[k].p_value;
    const std::vector<double> q = benjamini_hochberg({tested_p.data(), tested_p.size()});
    std::vector<Key> kept;
    for (std::size_t k = 0; k < tests.size(); ++k)
        if (q[k] <= alpha && tests[k].excess > 0.0) {
            kept.push_back({pairs[k].first, pairs[k].second});
            pair_p[kept.back()] = tests[k].p_value;
        }
    for (const auto& [key, members] : groups)
        if (key.second >= 0 && pair_p.count(key) == 0) unmark(marked, members);
    drop_vacuous(findings, groups, kept, rows, marked);
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
