#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <stdexcept>
#include <vector>

#include "core/histogram.hpp"
#include "core/simd.hpp"

using namespace movra::core;

namespace {
Span<const double> view(const std::vector<double>& v) { return {v.data(), v.size()}; }
}  // namespace

TEST(EqualWidthEdges, StartPlusIndexTimesStepLastExactlyStop) {
    const std::vector<double> e = equal_width_edges({0.1, 0.7}, 3);
    ASSERT_EQ(e.size(), 4u);
    const double step = (0.7 - 0.1) / 3.0;
    EXPECT_EQ(e[0], 0.1);
    EXPECT_EQ(e[1], 1.0 * step + 0.1);
    EXPECT_EQ(e[2], 2.0 * step + 0.1);
    EXPECT_EQ(e[3], 0.7);
}

TEST(EqualWidthEdges, ConstantRangeIsWidened) {
    EXPECT_EQ(equal_width_edges({2.0, 2.0}, 1), (std::vector<double>{1.5, 2.5}));
}

TEST(EqualWidthEdges, RefusesWhatNumpyRefuses) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_THROW(equal_width_edges({nan, nan}, 3), std::invalid_argument);
    EXPECT_THROW(equal_width_edges({0.0, inf}, 3), std::invalid_argument);
    EXPECT_THROW(equal_width_edges({0.0, 1.0}, 0), std::invalid_argument);
    // two adjacent doubles cannot hold three finite-sized bins
    EXPECT_THROW(equal_width_edges({1.0, std::nextafter(1.0, 2.0)}, 3), std::invalid_argument);
    try {
        equal_width_edges({nan, nan}, 3);
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "autodetected range of [nan, nan] is not finite");
    }
}

TEST(BinCount, DistinctValuesBelowTheLimit) {
    const std::vector<double> few{3, 1, 3, 2, 1, 1};
    EXPECT_EQ(histogram_bin_count(view(few), 10), 3);
    EXPECT_EQ(histogram_bin_count(view(few), 2), 2);
    EXPECT_EQ(count_distinct_up_to(view(few), 100), 3u);
}

TEST(ValueRange, MinMaxNaNAndEmpty) {
    const std::vector<double> v{2, -1, 5};
    EXPECT_EQ(value_range(view(v)).min, -1);
    EXPECT_EQ(value_range(view(v)).max, 5);
    const std::vector<double> with_nan{1, std::nan(""), 3};
    EXPECT_TRUE(std::isnan(value_range(view(with_nan)).min));
    EXPECT_THROW(value_range(Span<const double>{}), std::invalid_argument);
}

// Distinct values counted by a table of the values' bits equal those of a sorted set, up to any
// limit: zeros of both signs are one value, integers (whose low bits are all zero) and many
// duplicates spread over the table, which grows past its first size.
TEST(CountDistinct, EqualsASortedSet) {
    std::uint64_t state = 23;
    const auto next = [&]() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return state >> 11;
    };
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t n = next() % 3000, values = 1 + next() % 300;
        std::vector<double> x(n);
        for (double& v : x) {
            v = static_cast<double>(next() % values) * (trial % 2 == 0 ? 1.0 : 0.37);
            if (v == 0.0 && next() % 2 == 0) v = -0.0;
        }
        std::set<double> all(x.begin(), x.end());
        for (std::size_t limit :
             {std::size_t{0}, std::size_t{1}, std::size_t{7}, values, std::size_t{5000}}) {
            EXPECT_EQ(count_distinct_up_to(view(x), limit), std::min(limit, all.size()))
                << trial << " " << limit;
        }
    }
    DistinctCounter nans;
    EXPECT_EQ(nans.add(std::nan("")), 1u);  // each NaN a value of its own
    EXPECT_EQ(nans.add(std::nan("")), 2u);
    EXPECT_EQ(nans.add(1.0), 3u);
    EXPECT_EQ(nans.add(1.0), 3u);
}

TEST(AssignBins, EdgeValuesGoUpMaximumToLastBin) {
    const std::vector<double> edges = equal_width_edges({0.0, 1.0}, 10);
    std::vector<double> x;
    for (double e : edges) x.push_back(e);
    std::vector<std::int32_t> bins(x.size());
    assign_bins(view(x), edges, {bins.data(), bins.size()});
    for (std::size_t i = 0; i + 1 < x.size(); ++i) EXPECT_EQ(bins[i], static_cast<int>(i));
    EXPECT_EQ(bins.back(), 9);
}

TEST(AssignBins, AgreesWithComparisonsOnValuesNextToEdges) {
    const std::vector<double> edges = equal_width_edges({-3.3, 7.1}, 7);
    std::vector<double> x;
    for (double e : edges) {
        x.push_back(std::nextafter(e, -1e9));
        x.push_back(e);
        x.push_back(std::nextafter(e, 1e9));
    }
    std::vector<std::int32_t> bins(x.size());
    assign_bins(view(x), edges, {bins.data(), bins.size()});
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i] < edges.front() || x[i] > edges.back()) continue;
        const auto b = static_cast<std::size_t>(bins[i]);
        EXPECT_GE(x[i], edges[b]);
        if (b + 2 < edges.size())
            EXPECT_LT(x[i], edges[b + 1]);
        else
            EXPECT_LE(x[i], edges[b + 1]);
    }
}

// The locator's arithmetic guess must never place a value off the exact comparisons, also where
// the range lies far from zero (coarse edges) or is tiny, and for values a few ulps from edges.
TEST(BinLocator, ExactNextToEdgesForOffsetAndTinyRanges) {
    const ValueRange ranges[] = {{1e9, 1e9 + 1.0}, {-4e15, -4e15 + 64.0}, {0.0, 1e-310},
                                 {1e-300, 3e-300}, {-7.25, 1e6},          {0.1, 0.7}};
    for (const ValueRange& range : ranges)
        for (std::int64_t bins : {1, 3, 10, 50, 997}) {
            std::vector<double> edges;
            try {
                edges = equal_width_edges(range, bins);
            } catch (const std::invalid_argument&) {
                continue;  // too many bins for this range, as numpy says
            }
            const BinLocator locate(edges);
            std::vector<double> x;
            for (double e : edges) {
                double below = e, above = e;
                x.push_back(e);
                for (int k = 0; k < 4; ++k) {
                    below = std::nextafter(below, -HUGE_VAL);
                    above = std::nextafter(above, HUGE_VAL);
                    x.push_back(below);
                    x.push_back(above);
                }
            }
            for (const double v : x) {
                if (v < edges.front() || v > edges.back()) continue;
                const std::size_t b = locate(v);
                ASSERT_LT(b + 1, edges.size());
                EXPECT_GE(v, edges[b]) << range.min << " " << bins;
                if (b + 2 < edges.size()) {
                    EXPECT_LT(v, edges[b + 1]) << range.min << " " << bins;
                }
            }
            // Every vector path (values next to edges are the ones it settles against them, and
            // a range far from zero leaves the guess untrusted), alone and as one of two groups.
            const std::vector<BinLocator> both{locate, BinLocator(edges.data(), 1)};
            const GroupedBinLocator grouped(both);
            const std::vector<std::uint32_t> first_group(x.size(), 0);
            for (const char* path : simd_paths()) {
                std::vector<std::uint32_t> got(x.size()), got_grouped(x.size());
                locate_bins(locate, view(x), got.data(), path);
                grouped(first_group.data(), view(x), got_grouped.data(), path);
                for (std::size_t i = 0; i < x.size(); ++i) {
                    EXPECT_EQ(got[i], locate(x[i])) << path << " " << range.min << " " << bins;
                    if (x[i] < edges.front() || x[i] > edges.back()) continue;
                    EXPECT_EQ(got_grouped[i], locate(x[i])) << path << " " << range.min;
                }
            }
        }
}

// The vector lookups equal the one-by-one lookup on every path: values on and next to edges,
// NaN, the extremes, lengths that leave a tail, and rows of several groups with their own edges.
TEST(LocateBins, EveryPathEqualsTheLocator) {
    const std::vector<double> edges = equal_width_edges({-3.3, 7.1}, 7);
    const std::vector<double> other = equal_width_edges({1e9, 1e9 + 3.0}, 50);
    const std::vector<double> single = equal_width_edges({2.0, 2.0}, 1);
    const std::vector<BinLocator> locators{BinLocator(edges), BinLocator(other),
                                           BinLocator(single)};
    std::vector<double> x;
    std::vector<std::uint32_t> group;
    std::uint64_t state = 5;
    for (std::size_t g = 0; g < 3; ++g) {
        const std::vector<double>& e = g == 0 ? edges : (g == 1 ? other : single);
        for (double v : e)
            for (double w : {std::nextafter(v, -HUGE_VAL), v, std::nextafter(v, HUGE_VAL)})
                if (w >= e.front() && w <= e.back()) {
                    x.push_back(w);
                    group.push_back(static_cast<std::uint32_t>(g));
                }
        for (int k = 0; k < 37; ++k) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            const double u = static_cast<double>(state >> 11) / 9007199254740992.0;
            x.push_back(e.front() + u * (e.back() - e.front()));
            group.push_back(static_cast<std::uint32_t>(g));
        }
    }
    x.push_back(std::nan(""));
    group.push_back(0);
    for (const char* path : simd_paths()) {
        std::vector<std::uint32_t> got(x.size());
        const Span<const double> first_rows{x.data(), 61};  // group 0 only, odd length
        locate_bins(locators[0], first_rows, got.data(), path);
        for (std::size_t i = 0; i < first_rows.size; ++i)
            EXPECT_EQ(got[i], locators[0](x[i])) << path << " row " << i;
        const GroupedBinLocator grouped(locators);
        grouped(group.data(), {x.data(), x.size()}, got.data(), path);
        for (std::size_t i = 0; i < x.size(); ++i)
            EXPECT_EQ(got[i], locators[group[i]](x[i])) << path << " row " << i;
    }
}

// Past 16 groups the AVX-512 path gathers each row's edge, scale and offset instead of permuting
// them out of registers: the same bins, whatever the group of each row.
TEST(LocateBins, ManyGroupsEqualTheLocator) {
    std::vector<std::vector<double>> edges;
    std::uint64_t state = 17;
    const auto next = [&]() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) / 9007199254740992.0;
    };
    for (std::size_t g = 0; g < 40; ++g) {
        const double lo = -50.0 + 100.0 * next();
        edges.push_back(equal_width_edges({lo, lo + 0.01 + next() * static_cast<double>(g % 7)},
                                          static_cast<std::int64_t>(1 + g % 13)));
    }
    std::vector<BinLocator> locators;
    for (const auto& e : edges) locators.emplace_back(e);
    for (std::size_t groups : {1u, 8u, 16u, 17u, 40u}) {
        std::vector<double> x;
        std::vector<std::uint32_t> group;
        for (std::size_t i = 0; i < 999; ++i) {
            const auto g = static_cast<std::uint32_t>((i * 7919) % groups);
            const std::vector<double>& e = edges[g];
            double v = e.front() + next() * (e.back() - e.front());
            if (i % 5 == 0) v = e[i % e.size()];  // on an edge
            if (i % 7 == 0) v = std::nextafter(e[i % e.size()], -HUGE_VAL);
            x.push_back(std::max(e.front(), std::min(v, e.back())));
            group.push_back(g);
        }
        const std::vector<BinLocator> some(locators.begin(),
                                           locators.begin() + static_cast<std::ptrdiff_t>(groups));
        // Without offsets, and with each group's own offset added to its rows' bins.
        std::vector<std::uint32_t> offsets(groups);
        for (std::size_t g = 0; g < groups; ++g)
            offsets[g] = static_cast<std::uint32_t>(g * 1000 + 7);
        for (bool with_offsets : {false, true}) {
            const GroupedBinLocator grouped(some,
                                            with_offsets ? offsets : std::vector<std::uint32_t>{});
            for (const char* path : simd_paths()) {
                std::vector<std::uint32_t> got(x.size());
                grouped(group.data(), {x.data(), x.size()}, got.data(), path);
                for (std::size_t i = 0; i < x.size(); ++i)
                    ASSERT_EQ(got[i],
                              (with_offsets ? offsets[group[i]] : 0u) + some[group[i]](x[i]))
                        << path << " groups " << groups << " row " << i;
            }
        }
    }
}

TEST(HasNan, FindsANanAnywhere) {
    for (std::size_t n : {0u, 1u, 3u, 4u, 5u, 8u, 9u, 33u}) {
        std::vector<double> x(n, 1.5);
        EXPECT_FALSE(has_nan({x.data(), n}));
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = i % 2 == 0 ? std::nan("") : -std::nan("");
            EXPECT_TRUE(has_nan({x.data(), n})) << n << " " << i;
            x[i] = HUGE_VAL;
            EXPECT_FALSE(has_nan({x.data(), n})) << n << " " << i;
        }
    }
}

TEST(GroupByBin, StableCountingSort) {
    const std::vector<std::int32_t> bins{2, 0, 2, 1, 0};
    const BinGroups g = group_by_bin({bins.data(), bins.size()}, 4);
    EXPECT_EQ(g.offsets, (std::vector<std::size_t>{0, 2, 3, 5, 5}));
    EXPECT_EQ(g.order, (std::vector<std::int64_t>{1, 4, 3, 0, 2}));
}

TEST(FormatDouble, ReadsBackLikePythonRepr) {
    EXPECT_EQ(format_double(0.1), "0.1");
    EXPECT_EQ(format_double(5.0), "5.0");
    EXPECT_EQ(format_double(-std::numeric_limits<double>::infinity()), "-inf");
}
