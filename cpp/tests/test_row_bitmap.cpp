#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "core/row_bitmap.hpp"
#include "core/simd.hpp"

using namespace movra::core;

namespace {
Span<const double> view(const std::vector<double>& v) { return {v.data(), v.size()}; }
}  // namespace

// Every vector path gives the bits of the plain comparisons, for lengths around whole words,
// values on the bounds, NaN and infinities, one and two columns.
TEST(BoxBitmap, EveryPathEqualsTheComparisons) {
    std::uint64_t state = 99;
    const auto next = [&]() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 40) / static_cast<double>(1ULL << 24) * 10.0;
    };
    const double inf = HUGE_VAL;
    for (std::size_t n : {0u, 1u, 3u, 63u, 64u, 65u, 130u, 1001u}) {
        std::vector<double> a, b;
        for (std::size_t i = 0; i < n; ++i) {
            double v = std::floor(next());  // ties on the bounds
            if (i % 17 == 5) v = std::nan("");
            if (i % 29 == 7) v = i % 2 == 0 ? inf : -inf;
            a.push_back(v);
            b.push_back(next());
        }
        const ClosedInterval boxes[][2] = {{{2.0, 5.0}, {1.0, 8.5}},
                                           {{-inf, 3.0}, {0.0, inf}},
                                           {{4.0, 4.0}, {0.0, 10.0}},
                                           {{6.0, 2.0}, {0.0, 10.0}},  // empty
                                           {{std::nan(""), 9.0}, {0.0, 10.0}}};
        for (const auto& box : boxes)
            for (bool two : {false, true}) {
                std::vector<std::uint64_t> expected(bitmap_words(n), 0);
                std::size_t expected_count = 0;
                for (std::size_t i = 0; i < n; ++i) {
                    bool in = a[i] >= box[0].lo && a[i] <= box[0].hi;
                    if (two) in = in && b[i] >= box[1].lo && b[i] <= box[1].hi;
                    if (in) {
                        expected[i / 64] |= std::uint64_t{1} << (i % 64);
                        ++expected_count;
                    }
                }
                for (const char* path : simd_paths()) {
                    std::vector<std::uint64_t> words(bitmap_words(n), ~std::uint64_t{0});
                    const std::size_t count =
                        box_bitmap_with(path, view(a), box[0], two ? view(b) : Span<const double>{},
                                        box[1], words.data());
                    EXPECT_EQ(count, expected_count) << path << " n=" << n;
                    EXPECT_EQ(words, expected) << path << " n=" << n;
                }
            }
    }
}

// Values and bounds drawn from the awkward ones (zeros of both signs, negative values,
// subnormals, infinities, NaN of both signs, bounds in either order): every path and any number
// of boxes give the bits of the plain comparisons.
TEST(BoxBitmaps, SpecialValuesEqualTheComparisons) {
    const double inf = HUGE_VAL, tiny = 4.9e-324, nan = std::nan("");
    const double pool[] = {-inf, -1e308, -2.5, -1.0,  -tiny, -0.0, 0.0,
                           tiny, 1.0,    2.5,  1e308, inf,   nan,  -nan};
    const std::size_t n_pool = sizeof pool / sizeof pool[0];
    std::uint64_t state = 41;
    const auto pick = [&]() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return pool[(state >> 33) % n_pool];
    };
    for (std::size_t n : {7u, 64u, 200u}) {
        std::vector<double> a(n), b(n);
        for (std::size_t i = 0; i < n; ++i) {
            a[i] = pick();
            b[i] = pick();
        }
        for (std::size_t k : {1u, 2u, 9u, 30u}) {
            std::vector<ClosedInterval> first(k), second(k);
            for (std::size_t r = 0; r < k; ++r) {
                first[r] = {pick(), pick()};
                second[r] = {pick(), pick()};
                if (r % 3 == 0) first[r] = {-0.0, 0.0};
            }
            for (bool two : {false, true}) {
                const std::size_t n_words = bitmap_words(n);
                for (const char* path : simd_paths()) {
                    std::vector<std::uint64_t> words(k * n_words, ~std::uint64_t{0});
                    std::vector<std::size_t> counts(k, 99);
                    box_bitmaps_with(path, view(a), two ? view(b) : Span<const double>{},
                                     first.data(), second.data(), k, words.data(), counts.data());
                    for (std::size_t r = 0; r < k; ++r) {
                        std::size_t count = 0;
                        for (std::size_t i = 0; i < n; ++i) {
                            bool in = a[i] >= first[r].lo && a[i] <= first[r].hi;
                            if (two) in = in && b[i] >= second[r].lo && b[i] <= second[r].hi;
                            const bool got = (words[(i / 64) * k + r] >> (i % 64)) & 1;
                            ASSERT_EQ(got, in)
                                << path << " n=" << n << " k=" << k << " box " << r << " row " << i;
                            count += in;
                        }
                        EXPECT_EQ(counts[r], count) << path;
                    }
                }
            }
        }
    }
}

TEST(BitmapRows, SetBitsInOrderWithValuesForInterleavedRegions) {
    std::vector<double> values(256);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = 0.5 * static_cast<double>(i);
    // Two regions, word by word: region 0's words at even places, region 1's at odd ones.
    const std::vector<std::uint64_t> words{
        0x8000000000000001ULL, 0x2ULL, 0, 0, 0x6ULL, 0, 0x100ULL, 0x1ULL};
    std::vector<std::int64_t> rows0(5), rows1(2);
    std::vector<double> gathered0(5), gathered1(2);
    std::int64_t* rows[] = {rows0.data(), rows1.data()};
    double* gathered[] = {gathered0.data(), gathered1.data()};
    const std::size_t counts[] = {5, 2};
    bitmap_rows(words.data(), 2, 4, counts, view(values), rows, gathered);
    EXPECT_EQ(rows0, (std::vector<std::int64_t>{0, 63, 129, 130, 200}));
    EXPECT_EQ(gathered0, (std::vector<double>{0.0, 31.5, 64.5, 65.0, 100.0}));
    EXPECT_EQ(rows1, (std::vector<std::int64_t>{1, 192}));
    EXPECT_EQ(gathered1, (std::vector<double>{0.5, 96.0}));
}

// A stride interleaves bitmaps: each region's words land at its own places.
TEST(BoxBitmap, StrideInterleavesRegions) {
    std::vector<double> x(130);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<double>(i);
    for (const char* path : simd_paths()) {
        std::vector<std::uint64_t> words(3 * bitmap_words(x.size()), 0);
        EXPECT_EQ(box_bitmap_with(path, view(x), {0.0, 0.0}, {}, {}, words.data() + 0, 3), 1u);
        EXPECT_EQ(box_bitmap_with(path, view(x), {64.0, 129.0}, {}, {}, words.data() + 2, 3), 66u);
        EXPECT_EQ(words, (std::vector<std::uint64_t>{1, 0, 0, 0, 0, ~std::uint64_t{0}, 0, 0, 3}))
            << path;
    }
}

// Several boxes at once (in blocks of up to four on the vector path) give each box's own bitmap.
TEST(BoxBitmaps, EqualOneBoxAtATimeInterleaved) {
    std::vector<double> a, b;
    for (std::size_t i = 0; i < 389; ++i) {
        a.push_back(static_cast<double>((i * 37) % 23));
        b.push_back(i % 11 == 0 ? std::nan("") : static_cast<double>((i * 17) % 13));
    }
    std::vector<ClosedInterval> first, second;
    for (std::size_t r = 0; r < 7; ++r) {
        first.push_back({static_cast<double>(r * 3), static_cast<double>(r * 3 + 4)});
        second.push_back({static_cast<double>(r), static_cast<double>(r + 6)});
    }
    const std::size_t n_words = bitmap_words(a.size());
    for (const char* path : simd_paths())
        for (std::size_t k : {1u, 3u, 4u, 5u, 7u})
            for (bool two : {false, true}) {
                const Span<const double> columns2 = two ? view(b) : Span<const double>{};
                std::vector<std::uint64_t> words(k * n_words, ~std::uint64_t{0});
                std::vector<std::size_t> counts(k, 99);
                box_bitmaps_with(path, view(a), columns2, first.data(), second.data(), k,
                                 words.data(), counts.data());
                for (std::size_t r = 0; r < k; ++r) {
                    std::vector<std::uint64_t> one(n_words);
                    const std::size_t count = box_bitmap_with("scalar", view(a), first[r], columns2,
                                                              second[r], one.data());
                    EXPECT_EQ(counts[r], count) << path << " k=" << k << " r=" << r;
                    for (std::size_t w = 0; w < n_words; ++w)
                        EXPECT_EQ(words[w * k + r], one[w]) << path << " k=" << k << " r=" << r;
                }
            }
}

// Dense and sparse words alike (the first four set bits of a word are written without a branch
// on their number): the rows read back are exactly the set bits, in order.
TEST(BitmapRows, ExactForAnyDensity) {
    std::uint64_t state = 3;
    const auto next = [&]() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return state;
    };
    const std::size_t n_words = 40, n = n_words * 64;
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<double>(i) + 0.25;
    for (int density : {0, 1, 3, 8, 32, 64}) {
        std::vector<std::uint64_t> words(n_words, 0);
        for (std::size_t w = 0; w < n_words; ++w)
            for (int b = 0; b < 64; ++b)
                if (static_cast<int>(next() >> 58) < density) words[w] |= std::uint64_t{1} << b;
        std::vector<std::int64_t> expected;
        for (std::size_t i = 0; i < n; ++i)
            if ((words[i / 64] >> (i % 64)) & 1) expected.push_back(static_cast<std::int64_t>(i));
        const std::size_t count = expected.size();
        std::vector<std::int64_t> got(count);
        std::vector<double> gathered(count);
        std::int64_t* rows[] = {got.data()};
        double* values_out[] = {gathered.data()};
        bitmap_rows(words.data(), 1, n_words, &count, view(values), rows, values_out);
        EXPECT_EQ(got, expected) << density;
        for (std::size_t k = 0; k < count; ++k)
            EXPECT_EQ(gathered[k], static_cast<double>(expected[k]) + 0.25);
    }
}

// Many interleaved regions of very different densities (some take two bits per word without a
// branch, some four), over more words than one block and a last word that ends early: each
// region's rows and values are its set bits in order, with or without values.
TEST(BitmapRows, ManyRegionsOfMixedDensity) {
    std::uint64_t state = 8;
    const auto next = [&]() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return state >> 11;
    };
    const std::size_t n = 64 * 75 + 13, n_words = bitmap_words(n), k = 7;
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<double>(i) * 0.5;
    const unsigned per_mille[k] = {0, 5, 20, 40, 300, 900, 1000};
    std::vector<std::uint64_t> words(n_words * k, 0);
    std::vector<std::vector<std::int64_t>> want(k);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t r = 0; r < k; ++r)
            if (next() % 1000 < per_mille[r]) {
                words[(i / 64) * k + r] |= std::uint64_t{1} << (i % 64);
                want[r].push_back(static_cast<std::int64_t>(i));
            }
    std::vector<std::size_t> counts(k);
    for (std::size_t r = 0; r < k; ++r) counts[r] = want[r].size();
    for (bool with_values : {true, false}) {
        std::vector<std::vector<std::int64_t>> got(k);
        std::vector<std::vector<double>> got_values(k);
        std::vector<std::int64_t*> rows(k);
        std::vector<double*> gathered(k);
        for (std::size_t r = 0; r < k; ++r) {
            got[r].assign(counts[r], -1);
            got_values[r].assign(counts[r], -1.0);
            rows[r] = got[r].data();
            gathered[r] = got_values[r].data();
        }
        bitmap_rows(words.data(), k, n_words, counts.data(),
                    with_values ? view(values) : Span<const double>{}, rows.data(),
                    gathered.data());
        for (std::size_t r = 0; r < k; ++r) {
            EXPECT_EQ(got[r], want[r]) << "region " << r;
            if (!with_values) continue;
            for (std::size_t j = 0; j < counts[r]; ++j)
                EXPECT_EQ(got_values[r][j], values[static_cast<std::size_t>(want[r][j])]);
        }
    }
}
