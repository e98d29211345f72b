#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/region_measure.hpp"

using namespace movra::core;

namespace {

Span<const double> view(const std::vector<double>& v) { return {v.data(), v.size()}; }

struct Listed {
    std::vector<std::vector<std::int64_t>> rows;
    std::vector<std::vector<double>> values;
    std::vector<ScoreSums> sums;
};

Listed list_all(const RegionMeasure& m, Span<const double> values, Span<const double> weights) {
    Listed out;
    out.rows.resize(m.n_regions());
    out.values.resize(m.n_regions());
    std::vector<std::int64_t*> rows;
    std::vector<double*> gathered;
    for (std::size_t r = 0; r < m.n_regions(); ++r) {
        out.rows[r].resize(m.count(r));
        out.values[r].resize(values.empty() ? 0 : m.count(r));
        rows.push_back(out.rows[r].data());
        gathered.push_back(out.values[r].data());
    }
    out.sums = m.list(values, weights, rows.data(), gathered.data());
    return out;
}

// Every region's rows, values and sums equal one plain selection per region, on both methods
// (bitmaps up to kBitmapRegions regions, cells beyond), with ties on the bounds, infinite bounds
// and non-finite values.
void expect_plain(const std::vector<double>& a, const std::vector<double>& b,
                  const std::vector<RegionBox>& regions) {
    const RegionMeasure two(view(a), view(b), regions);
    const RegionMeasure one(view(a), {}, regions);
    const Listed l2 = list_all(two, {}, {});
    std::vector<double> w;
    for (double v : b) w.push_back(std::fabs(v) + 0.5);
    const Listed l1 = list_all(one, view(b), view(w));
    for (std::size_t r = 0; r < regions.size(); ++r) {
        const auto in_box = rows_in_box(view(a), regions[r].first, view(b), regions[r].second);
        EXPECT_EQ(two.count(r), in_box.size());
        EXPECT_EQ(l2.rows[r], in_box);
        const std::vector<std::int64_t> expected = rows_in_bound(view(a), regions[r].first);
        EXPECT_EQ(l1.rows[r], expected);
        std::vector<double> at(expected.size());
        gather(view(b), expected, {at.data(), at.size()});
        EXPECT_EQ(l1.values[r], at);
        ScoreSums direct;
        for (std::int64_t row : expected) direct.add(b[row], w[row]);
        EXPECT_EQ(direct.count, l1.sums[r].count);
        EXPECT_EQ(direct.weighted, l1.sums[r].weighted);
        EXPECT_EQ(direct.weight, l1.sums[r].weight);
    }
}

}  // namespace

TEST(RegionMeasure, EqualsOneSelectionPerRegionFewAndMany) {
    std::vector<double> a, b;
    std::uint64_t state = 12345;
    const auto next = [&]() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 40) / static_cast<double>(1ULL << 24) * 10.0;
    };
    for (int i = 0; i < 2003; ++i) {      // not a multiple of 64: the bitmaps' tail too
        a.push_back(std::floor(next()));  // many ties on the bounds
        b.push_back(next());
    }
    for (std::size_t n_regions : {1u, 3u, 8u, 24u, 25u, 40u}) {
        std::vector<RegionBox> regions;
        for (std::size_t r = 0; r < n_regions; ++r) {
            const double lo = std::floor(next()), lo2 = next();
            regions.push_back({{lo, lo + std::floor(next() / 3.0), r % 2 == 0},
                               {lo2, lo2 + next() / 2.0, r % 3 == 0}});
        }
        expect_plain(a, b, regions);
    }
}

TEST(RegionMeasure, InfiniteBoundsAndNonFiniteValues) {
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> a, b;
    for (int i = 0; i < 301; ++i) {
        a.push_back(i % 37 == 0 ? std::nan("") : (i % 41 == 0 ? inf : (i * 7) % 19 - 3.0));
        b.push_back((i * 11) % 13 - 6.0);
    }
    for (int n_regions : {12, 30})
        for (bool infinite : {false, true}) {
            std::vector<RegionBox> regions;
            for (int r = 0; r < n_regions; ++r)
                regions.push_back(
                    {{r % 12 - 4.0, r % 12 - 2.5, r % 4 == 0}, {-3.0 + r % 3, 4.0, r % 2 == 0}});
            if (infinite) {
                regions[0].first = {-inf, 0.0, false};
                regions[5].first = {5.0, inf, true};
            }
            expect_plain(a, b, regions);
        }
}

// Sets of codes against a plain reading of membership, on codes, missing values and values no
// code equals (negative, fractional, huge, infinite), alone and crossed with intervals and sets.
TEST(RegionMeasure, SetsOfCodesAloneAndCrossed) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> odd = {-1.0, 0.5, 2.25, 7.0, 1e300, 4503599627370496.0, -inf, inf};
    std::vector<double> a, b;
    for (int i = 0; i < 1031; ++i) {
        a.push_back(i % 29 == 0 ? std::nan("") : (i % 31 == 0 ? odd[i % odd.size()] : i % 6));
        b.push_back((i * 7) % 5);  // also the values summed: no NaN
    }
    const Bound first = code_set({0, 2, kMissingCode}), second = code_set({1, 4});
    for (const double v : a) {
        const bool code = v == std::floor(v) && (v == 0.0 || v == 2.0);
        EXPECT_EQ(first.contains(v), code || std::isnan(v)) << v;
    }
    const std::vector<RegionBox> regions = {{first, {0.0, 3.0}},
                                            {{1.0, 4.0, true}, second},
                                            {first, second},
                                            {code_set({kMissingCode}), second},
                                            {code_set({5}), {-inf, inf}},
                                            {{1.0, 4.0}, {0.0, 2.0, true}}};
    expect_plain(a, b, regions);
}
