#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/columns.hpp"
#include "core/region_stats.hpp"
#include "core/scan.hpp"
#include "core/segment_search.hpp"
#include "core/simd.hpp"
#include "core/slice_search.hpp"

using namespace movra::core;

namespace {

struct Random {
    std::uint64_t state;
    std::uint64_t next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return state >> 11;
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
    double uniform() { return static_cast<double>(next()) / 9007199254740992.0; }
};

Span<const double> view(const std::vector<double>& v) { return {v.data(), v.size()}; }

// A data set, its splits and the request over them (the request's spans point into the rest).
struct Case {
    std::vector<double> x;
    std::vector<FeatureKind> kinds;
    std::size_t n_rows = 0, n_columns = 0;
    std::vector<std::int64_t> rows[2];  // train, test
    std::vector<double> scores[2], weights[2];
    ScanRequest request;

    void point() {
        request.x = {x.data(), n_rows, n_columns};
        request.kinds = kinds;
        ScanSplit* splits[2] = {&request.train, &request.test};
        for (std::size_t k = 0; k < 2; ++k) {
            splits[k]->rows = {rows[k].data(), rows[k].size()};
            splits[k]->scores = view(scores[k]);
            splits[k]->weights = view(weights[k]);
        }
    }
};

void add_row(RegionMoments& m, double s, double w) {
    ++m.count;
    m.weight += w;
    m.weighted += w * s;
    m.weighted_sq += (w * s) * s;
    m.weight_sq += w * w;
}

RegionMoments moments_at(const std::vector<std::int64_t>& rows, const std::vector<double>& scores,
                         const std::vector<double>& weights) {
    RegionMoments m;
    for (const std::int64_t r : rows) {
        const auto i = static_cast<std::size_t>(r);
        add_row(m, scores[i], weights.empty() ? 1.0 : weights[i]);
    }
    return m;
}

FeatureKind kind_of(const Case& c, std::size_t column) {
    return c.kinds.empty() ? FeatureKind::kNumerical : c.kinds[column];
}

// A slice's condition as the slicing driver measures it: an interval closed at `top`, or a set.
Bound bound_of(double lb, double ub, const std::vector<std::int32_t>& codes, double top) {
    return codes.empty() ? Bound{lb, ub, ub == top} : code_set(codes);
}

// The column path: each split's rows copied, their columns extracted, each feature and pair
// searched on the searched split's columns, every region's rows selected on both splits'
// columns as the slicing driver selects them (closed at the searched split's largest value).
std::vector<ScanRegion> column_path(const Case& c) {
    const ScanRequest& r = c.request;
    const std::size_t width = c.n_columns;
    std::vector<std::vector<double>> columns[2];
    std::vector<ValueRange> ranges[2];
    for (std::size_t k = 0; k < 2; ++k) {
        std::vector<double> matrix;
        for (const std::int64_t row : c.rows[k])
            for (std::size_t j = 0; j < width; ++j)
                matrix.push_back(c.x[static_cast<std::size_t>(row) * width + j]);
        columns[k].assign(width, std::vector<double>(c.rows[k].size()));
        std::vector<std::size_t> all(width);
        std::vector<double*> outputs(width);
        for (std::size_t j = 0; j < width; ++j) {
            all[j] = j;
            outputs[j] = columns[k][j].data();
        }
        ranges[k] = extract_columns({matrix.data(), c.rows[k].size(), width},
                                    {all.data(), all.size()}, outputs.data());
    }
    const std::size_t s = r.use_test ? 1 : 0;
    std::vector<double> top(width);
    for (std::size_t j = 0; j < width; ++j) top[j] = finite_range(view(columns[s][j])).max;
    const Span<const double> scores = view(c.scores[s]), weights = view(c.weights[s]);
    const auto measure = [&](ScanRegion& region, auto rows_of_split) {
        region.train = moments_at(rows_of_split(0), c.scores[0], c.weights[0]);
        region.test = moments_at(rows_of_split(1), c.scores[1], c.weights[1]);
    };
    std::vector<ScanRegion> out;
    SearchSettings settings = r.settings;
    settings.merge_weights = ZeroWeights::kNotPositiveSum;
    for (const std::size_t f : r.features) {
        const OneFeatureSearch search = search_feature(view(columns[s][f]), kind_of(c, f), scores,
                                                       weights, settings, &ranges[s][f]);
        for (const SliceRule& rule : search.regions) {
            ScanRegion region;
            region.first = static_cast<std::int64_t>(f);
            region.lb1 = rule.lb;
            region.ub1 = rule.ub;
            region.codes1 = rule.codes;
            const Bound bound = bound_of(rule.lb, rule.ub, rule.codes, top[f]);
            measure(region,
                    [&](std::size_t k) { return rows_in_bound(view(columns[k][f]), bound); });
            out.push_back(region);
        }
    }
    settings.merge_weights = ZeroWeights::kZeroSum;
    for (const auto& pair : r.pairs) {
        const std::size_t a = pair.first, b = pair.second;
        const TwoFeatureSearch search =
            search_feature_pair(view(columns[s][a]), kind_of(c, a), view(columns[s][b]),
                                kind_of(c, b), scores, weights, settings, &ranges[s][a]);
        for (const FirstFeatureBin& fb : search.bins)
            for (std::size_t q = 0; q < fb.search.regions.size(); ++q) {
                const SliceRule& rule = fb.search.regions[q];
                ScanRegion region;
                region.first = static_cast<std::int64_t>(a);
                region.second = static_cast<std::int64_t>(b);
                region.lb1 = fb.lb1;
                region.ub1 = fb.ub1;
                region.codes1 = fb.codes1;
                region.lb2 = rule.lb;
                region.ub2 = rule.ub;
                region.codes2 = rule.codes;
                region.lb2q = fb.lb2q[q];
                region.ub2q = fb.ub2q[q];
                const Bound first = bound_of(fb.lb1, fb.ub1, fb.codes1, top[a]);
                const Bound second = bound_of(rule.lb, rule.ub, rule.codes, top[b]);
                measure(region, [&](std::size_t k) {
                    return rows_in_box(view(columns[k][a]), first, view(columns[k][b]), second);
                });
                out.push_back(region);
            }
    }
    return out;
}

void expect_same(const RegionMoments& a, const RegionMoments& b, const std::string& where) {
    EXPECT_EQ(a.count, b.count) << where;
    EXPECT_EQ(a.weight, b.weight) << where;
    EXPECT_EQ(a.weighted, b.weighted) << where;
    EXPECT_EQ(a.weighted_sq, b.weighted_sq) << where;
    EXPECT_EQ(a.weight_sq, b.weight_sq) << where;
}

void expect_same(const std::vector<ScanRegion>& got, const std::vector<ScanRegion>& want,
                 const std::string& where) {
    ASSERT_EQ(got.size(), want.size()) << where;
    for (std::size_t k = 0; k < got.size(); ++k) {
        const ScanRegion &g = got[k], &w = want[k];
        const std::string at = where + " region " + std::to_string(k);
        EXPECT_EQ(g.first, w.first) << at;
        EXPECT_EQ(g.second, w.second) << at;
        const double bounds[2][6] = {{g.lb1, g.ub1, g.lb2, g.ub2, g.lb2q, g.ub2q},
                                     {w.lb1, w.ub1, w.lb2, w.ub2, w.lb2q, w.ub2q}};
        for (std::size_t b = 0; b < 6; ++b)  // NaN where a condition is a set
            EXPECT_TRUE(bounds[0][b] == bounds[1][b] ||
                        (std::isnan(bounds[0][b]) && std::isnan(bounds[1][b])))
                << at << " bound " << b << ": " << bounds[0][b] << " vs " << bounds[1][b];
        EXPECT_EQ(g.codes1, w.codes1) << at;
        EXPECT_EQ(g.codes2, w.codes2) << at;
        expect_same(g.train, w.train, at + " train");
        expect_same(g.test, w.test, at + " test");
    }
}

// A column of the data set of one kind: continuous, few values (with zeros of both signs),
// constant, on a grid that the edges fall on, far from zero, or category codes (kind 5); some
// columns miss values (as few as one, or all of them).
void fill_column(Case& c, std::size_t j, std::size_t kind, Random& rng) {
    const std::size_t values = 1 + rng.below(8);
    const std::size_t missing_kind = rng.below(8);
    const std::size_t categories = 1 + rng.below(rng.below(2) == 0 ? 4 : 60);
    const double offset = 1e6 * static_cast<double>(1 + rng.below(1000));
    for (std::size_t i = 0; i < c.n_rows; ++i) {
        double v = 0.0;
        switch (kind) {
            case 0:
                v = rng.uniform() * 10.0 - 5.0;
                break;
            case 1:
                v = static_cast<double>(rng.below(values));
                if (v == 0.0 && rng.below(2) == 0) v = -0.0;
                break;
            case 2:
                v = 3.25;
                break;
            case 3:
                v = static_cast<double>(rng.below(21)) * 0.5;
                break;
            case 5:
                v = static_cast<double>(rng.below(categories));
                break;
            default:
                v = offset + rng.uniform();
                break;
        }
        const bool missing = missing_kind == 1   ? rng.below(10) == 0
                             : missing_kind == 2 ? rng.below(3) != 0
                             : missing_kind == 3 ? i == c.n_rows / 2
                                                 : missing_kind == 4;
        c.x[i * c.n_columns + j] = missing ? std::nan("") : v;
    }
}

// A random case: splits disjoint, overlapping, unordered or split by a feature's value; scores
// higher in a corner of two features; weights with zeros or none.
Case random_case(Random& rng, std::size_t max_rows, std::int64_t max_bins) {
    Case c;
    c.n_rows = 1 + rng.below(max_rows);
    c.n_columns = 1 + rng.below(5);
    c.x.resize(c.n_rows * c.n_columns);
    // Numerical features only, or some categorical ones, half the time each.
    const bool categorical = rng.below(2) == 0;
    for (std::size_t j = 0; j < c.n_columns; ++j) {
        const std::size_t kind = categorical ? rng.below(8) % 6 : rng.below(6) % 5;
        fill_column(c, j, kind, rng);
        if (categorical)
            c.kinds.push_back(kind == 5 ? FeatureKind::kCategorical : FeatureKind::kNumerical);
    }
    const std::size_t split_kind = rng.below(5);
    const double cut = c.x[rng.below(c.n_rows) * c.n_columns];
    for (std::size_t i = 0; i < c.n_rows; ++i) {
        const auto row = static_cast<std::int64_t>(i);
        // Split by the first column's value: the test split's maximum often an inner edge.
        const double v = c.x[i * c.n_columns];
        const bool test = split_kind == 1   ? v > cut
                          : split_kind == 4 ? v <= cut
                                            : rng.below(10) < 3;
        c.rows[test ? 1 : 0].push_back(row);
        if (split_kind == 2 && rng.below(3) == 0) c.rows[test ? 0 : 1].push_back(row);  // both
    }
    if (split_kind == 3)  // rows in any order, some twice
        for (std::vector<std::int64_t>& rows : c.rows) {
            for (std::size_t k = rows.size(); k > 1; --k)
                std::swap(rows[k - 1], rows[rng.below(k)]);
            if (!rows.empty()) rows.push_back(rows[rng.below(rows.size())]);
        }
    c.request.use_test = rng.below(2) == 0;
    // Both splits need rows: the test split's maximum closes bounds; the searched one is binned.
    for (std::size_t k = 0; k < 2; ++k)
        if (c.rows[k].empty()) c.rows[k].push_back(static_cast<std::int64_t>(rng.below(c.n_rows)));
    const bool integer_scores = rng.below(3) == 0;
    const std::size_t weight_kind = rng.below(3);
    const std::size_t hot1 = rng.below(c.n_columns), hot2 = rng.below(c.n_columns);
    for (std::size_t k = 0; k < 2; ++k)
        for (const std::int64_t row : c.rows[k]) {
            const double* v = &c.x[static_cast<std::size_t>(row) * c.n_columns];
            const bool hot = v[hot1] < v[0] + 0.3 && v[hot2] >= v[c.n_columns - 1] - 0.2;
            double s = integer_scores ? static_cast<double>(rng.below(4))
                                      : rng.uniform() * 2.0 - (rng.below(4) == 0 ? 1.0 : 0.0);
            if (hot) s += integer_scores ? 2.0 : rng.uniform() * 3.0;
            c.scores[k].push_back(s);
            if (weight_kind == 1) c.weights[k].push_back(static_cast<double>(rng.below(3)) * 0.5);
            if (weight_kind == 2) c.weights[k].push_back(rng.below(5) == 0 ? 0.0 : rng.uniform());
        }
    // Requests: every feature and every ordered pair, or a few of them with repeats.
    for (std::size_t a = 0; a < c.n_columns; ++a) {
        c.request.features.push_back(a);
        for (std::size_t b = 0; b < c.n_columns; ++b)
            if (a != b || rng.below(4) == 0) c.request.pairs.push_back({a, b});
    }
    if (rng.below(3) == 0) {
        std::vector<std::pair<std::size_t, std::size_t>> some;
        for (std::size_t k = 0; k < 4; ++k)
            some.push_back({rng.below(c.n_columns), rng.below(c.n_columns)});
        c.request.pairs = some;
        c.request.features = {rng.below(c.n_columns), rng.below(c.n_columns)};
    }
    SearchSettings& settings = c.request.settings;
    settings.max_bins =
        1 + static_cast<std::int64_t>(rng.below(static_cast<std::size_t>(max_bins)));
    settings.min_samples = static_cast<std::int64_t>(rng.below(4) == 0 ? 0 : rng.below(60));
    settings.score_sign = rng.below(3) == 0 ? 1.0 : -1.0;
    const std::size_t s = c.request.use_test ? 1 : 0;
    double sum = 0.0;
    for (const double v : c.scores[s]) sum += v;
    const double average = sum / static_cast<double>(c.scores[s].size());
    settings.threshold_value =
        average * (settings.score_sign < 0 ? 1.0 + 0.3 * rng.uniform() : 1.0 - 0.2 * rng.uniform());
    if (rng.below(5) == 0) settings.merge_weights = ZeroWeights::kZeroSum;  // ignored
    c.point();
    return c;
}

}  // namespace

// The scan gives exactly the column path's regions, bounds, percentile ranks and moments, over
// data sets of every kind (ties on the edges, constant features, few values, splits with values
// beyond the searched range, weights with zeros) and bins from 1 to 60.
TEST(Scan, EqualsTheColumnPath) {
    Random rng{2024};
    std::size_t regions = 0, pair_regions = 0, sets[2] = {0, 0};
    const std::vector<const char*> paths = simd_paths();
    for (int trial = 0; trial < 400; ++trial) {
        Case c = random_case(rng, trial % 4 == 0 ? 3000 : 300, 60);
        c.request.simd_path = paths[static_cast<std::size_t>(trial) % paths.size()];
        const std::vector<ScanRegion> want = column_path(c);
        const std::vector<ScanRegion> got = scan_histograms(c.request);
        expect_same(got, want, "trial " + std::to_string(trial) + " " + c.request.simd_path);
        if (HasFailure()) return;
        regions += got.size();
        for (const ScanRegion& r : got) {
            pair_regions += r.second >= 0;
            sets[0] += !r.codes1.empty();
            sets[1] += !r.codes2.empty();
        }
    }
    EXPECT_GT(regions - pair_regions, 100u);  // the cases do find regions of both kinds
    EXPECT_GT(pair_regions, 1000u);
    EXPECT_GT(sets[0], 200u);  // and of sets on either feature
    EXPECT_GT(sets[1], 200u);
}

// Beyond about 120 bins a code takes two bytes.
TEST(Scan, ManyBinsTakeWiderCodes) {
    Random rng{77};
    for (int trial = 0; trial < 12; ++trial) {
        Case c = random_case(rng, 4000, 10);
        c.request.settings.max_bins = 100 + static_cast<std::int64_t>(rng.below(300));
        const std::vector<ScanRegion> want = column_path(c);
        for (const char* path : simd_paths()) {
            c.request.simd_path = path;
            expect_same(scan_histograms(c.request), want,
                        "trial " + std::to_string(trial) + " " + path);
        }
    }
}

// Beyond 32766 bins, four.
TEST(Scan, ManyThousandBinsTakeFourByteCodes) {
    Random rng{41};
    Case c;
    c.n_rows = 40000;
    c.n_columns = 2;
    for (std::size_t i = 0; i < c.n_rows; ++i) {
        c.x.push_back(rng.uniform());
        c.x.push_back(static_cast<double>(rng.below(50)));
        const std::size_t k = rng.below(10) < 8 ? 0 : 1;
        c.rows[k].push_back(static_cast<std::int64_t>(i));
        // Few weak bins: merging them takes a pass over the bins each.
        c.scores[k].push_back(rng.below(500) == 0 ? 5.0 : 1.0);
    }
    c.request.features = {0, 1};
    c.request.pairs = {{0, 1}, {1, 0}};
    c.request.settings.max_bins = 40000;
    c.request.settings.threshold_value = 2.0;
    c.point();
    const std::vector<ScanRegion> want = column_path(c);
    for (const char* path : simd_paths()) {
        c.request.simd_path = path;
        expect_same(scan_histograms(c.request), want, path);
    }
    EXPECT_GT(want.size(), 50u);
}

// A near tie is settled on the same rows, positions in the searched split, as the column path
// asks for (integer scores make bins' averages equal the threshold value exactly).
TEST(Scan, NearTiesAskForTheSameRows) {
    Random rng{5};
    std::size_t asked = 0;
    for (int trial = 0; trial < 60; ++trial) {
        Case c = random_case(rng, 600, 8);
        const std::size_t s = c.request.use_test ? 1 : 0;
        for (double& v : c.scores[s]) v = std::floor(v);
        c.request.settings.threshold_value = 1.0;
        std::vector<std::vector<std::int64_t>> calls[2];
        std::vector<ScanRegion> results[2];
        for (std::size_t k = 0; k < 2; ++k) {
            c.request.settings.ties.exact_average = [&, k](const std::vector<std::int64_t>& rows) {
                calls[k].push_back(rows);
                double sum = 0.0;
                for (const std::int64_t r : rows) sum += c.scores[s][static_cast<std::size_t>(r)];
                return sum / static_cast<double>(rows.size());
            };
            results[k] = k == 0 ? scan_histograms(c.request) : column_path(c);
        }
        // The scan runs the pairs grouped by second feature: the same calls, in another order.
        for (auto& list : calls) std::sort(list.begin(), list.end());
        EXPECT_EQ(calls[0], calls[1]) << trial;
        expect_same(results[0], results[1], "trial " + std::to_string(trial));
        asked += calls[0].size();
    }
    EXPECT_GT(asked, 50u);
}

// Only the searched split's maximum closes a bound: where the test split ends on an inner edge
// (5), the rows there count in one bin only, on both splits, as the search counted them.
TEST(Scan, BoundsCloseAtTheSearchedMaximumOnly) {
    Case c;
    c.n_rows = 2000;
    c.n_columns = 2;
    Random rng{3};
    for (std::size_t i = 0; i < c.n_rows; ++i) {
        c.x.push_back(static_cast<double>(i % 11));  // edges 0, 1, ..., 10
        c.x.push_back(rng.uniform());
        const bool test = i % 11 <= 5 && i % 3 == 0;  // the test split's maximum: 5
        c.rows[test ? 1 : 0].push_back(static_cast<std::int64_t>(i));
        c.scores[test ? 1 : 0].push_back(c.x.back() < 0.5 ? 5.0 : 1.0);
    }
    c.request.pairs = {{0, 1}};
    c.request.features = {0};
    c.request.settings.threshold_value = 2.0;
    c.request.settings.max_bins = 10;
    c.point();
    const std::vector<ScanRegion> got = scan_histograms(c.request);
    expect_same(got, column_path(c), "");
    std::int64_t at_five[2] = {0, 0};  // test rows at 5 counted by the regions of a feature
    for (const ScanRegion& r : got) {
        if (r.second >= 0) continue;
        for (const std::int64_t row : c.rows[1]) {
            const double v = c.x[static_cast<std::size_t>(row) * 2];
            at_five[r.ub1 == 5.0 ? 0 : 1] += v == 5.0 && v >= r.lb1 && v < r.ub1;
        }
    }
    EXPECT_EQ(at_five[0], 0);  // a bound at 5 is open
}

TEST(Scan, SplitMomentsAddEveryRowInOrder) {
    Random rng{9};
    const Case c = random_case(rng, 500, 10);
    const auto [train, test] = split_moments(c.request);
    std::vector<std::int64_t> all[2];
    for (std::size_t k = 0; k < 2; ++k)
        for (std::size_t i = 0; i < c.rows[k].size(); ++i)
            all[k].push_back(static_cast<std::int64_t>(i));
    expect_same(train, moments_at(all[0], c.scores[0], c.weights[0]), "train");
    expect_same(test, moments_at(all[1], c.scores[1], c.weights[1]), "test");
}

TEST(Scan, RejectsWhatTheSearchesReject) {
    Random rng{11};
    Case c = random_case(rng, 50, 10);
    c.request.features = {c.n_columns};
    EXPECT_THROW(scan_histograms(c.request), std::invalid_argument);
    c.request.features = {0};
    c.request.settings.max_bins = 0;
    EXPECT_THROW(scan_histograms(c.request), std::invalid_argument);
    c.request.settings.max_bins = 10;
    const std::size_t s = c.request.use_test ? 1 : 0;
    c.rows[s].clear();
    c.scores[s].clear();
    c.weights[s].clear();
    c.point();
    EXPECT_THROW(scan_histograms(c.request), std::invalid_argument);
}
