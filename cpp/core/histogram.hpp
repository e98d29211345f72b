// Equal-width histogram bins, with numpy's edges bit for bit, and the bin of every row.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/span.hpp"

namespace movra::core {

struct ValueRange {
    double min = 0.0;
    double max = 0.0;
};

// Smallest and largest value; NaN when any value is NaN (like numpy's min/max).
// Throws std::invalid_argument for an empty span (numpy's reduction error).
ValueRange value_range(Span<const double> x);

// Whether any value is NaN (two at a time with SSE2 where the processor is x86-64).
bool has_nan(Span<const double> x);

// Distinct values among those added: values equal as doubles are one (so -0.0 and 0.0 are), each
// NaN is one of its own. An open-addressing table of the values' bits, kept at most half full,
// so a value seen before is found in a probe or two with no branch on the data's order.
class DistinctCounter {
  public:
    DistinctCounter() : table_(16, kEmpty) {}

    // Adds a value; returns the number of distinct values so far.
    std::size_t add(double v) {
        if (v != v) return ++nans_ + stored_;
        v += 0.0;  // -0.0 as 0.0
        std::uint64_t bits = 0;
        std::memcpy(&bits, &v, sizeof bits);
        for (std::size_t h = slot(bits);; h = (h + 1) & (table_.size() - 1)) {
            if (table_[h] == bits) return nans_ + stored_;
            if (table_[h] == kEmpty) {
                table_[h] = bits;
                if (2 * ++stored_ > table_.size()) grow();
                return nans_ + stored_;
            }
        }
    }

    std::size_t size() const { return nans_ + stored_; }

  private:
    static constexpr std::uint64_t kEmpty = 0x7FF8DEADBEEF0001ULL;  // a NaN: never stored
    // The product's top bits: every bit of the value moves them (a double's low bits are often
    // all zero).
    std::size_t slot(std::uint64_t bits) const {
        return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ULL) >> shift_);
    }
    void grow();

    std::vector<std::uint64_t> table_;
    unsigned shift_ = 60;  // 64 - log2(table size)
    std::size_t stored_ = 0;
    std::size_t nans_ = 0;
};

// Number of distinct values (as DistinctCounter counts them), counting no further than `limit`
// (enough to compare with a bin count).
std::size_t count_distinct_up_to(Span<const double> x, std::size_t limit);

// The number of bins a feature gets: its number of distinct values when that is below
// `max_bins`, else `max_bins`.
std::int64_t histogram_bin_count(Span<const double> x, std::int64_t max_bins);

// numpy.histogram(x, bins)[1] for a range [min, max]: start + i * step with
// step = (stop - start) / bins, the last edge exactly stop, the range widened by 0.5 on each side
// when min == max. Throws std::invalid_argument with numpy's messages for a non-finite range, a
// non-positive bin count or edges that are not strictly increasing.
std::vector<double> equal_width_edges(ValueRange range, std::int64_t bins);

// Finds the bin of a value for strictly increasing edges (see assign_bins).
class BinLocator {
  public:
    explicit BinLocator(const std::vector<double>& edges)
        : BinLocator(edges.data(), edges.size() - 1) {}

    // `n_bins` bins over `edges[0 .. n_bins]`.
    BinLocator(const double* edges, std::size_t n_bins)
        : edges_(edges),
          last_bin_(static_cast<std::ptrdiff_t>(n_bins) - 1),
          top_(static_cast<double>(n_bins)),
          first_(edges[0]),
          scale_(top_ / (edges[n_bins] - edges[0])) {
        // How far the guess below may stray from a value's exact position in units of bins:
        // a few roundings relative to the positions (at most n_bins) and to the edges'
        // magnitude (an offset far from zero makes `v - first` and the edges coarser). Taken
        // 16 times over. From half a bin on the guess is not trusted: a tolerance of a whole
        // bin sends every value the exact way.
        const double magnitude = std::max(std::fabs(edges[0]), std::fabs(edges[n_bins]));
        tolerance_ = 16.0 * DBL_EPSILON * top_ * (1.0 + magnitude * scale_ / top_);
        if (!(tolerance_ < 0.5)) tolerance_ = 1.0;
    }

    std::size_t operator()(double v) const {
        // An arithmetic guess of the value's position among the edges. Where it lies clearly
        // inside a bin (not within the rounding tolerance of a whole number) that bin is exact;
        // otherwise the edges themselves decide, so the result always agrees with x >= lb and
        // x < ub. The clamps are selects: the first and last bins hold rows at random and a
        // mispredicted branch would cost more than the lookup. NaN lands in bin 0.
        double guess = (v - first_) * scale_;
        guess = guess > 0.0 ? guess : 0.0;
        guess = guess < top_ ? guess : top_;
        auto b = static_cast<std::ptrdiff_t>(guess);
        const double fraction = guess - static_cast<double>(b);
        if ((fraction < tolerance_) | (fraction > 1.0 - tolerance_)) {
            b = b < last_bin_ ? b : last_bin_;
            while (b > 0 && v < edges_[b]) --b;
            while (b < last_bin_ && v >= edges_[b + 1]) ++b;
        }
        return static_cast<std::size_t>(b);
    }

    // What the arithmetic guess uses, for the vector variants below. A tolerance below half a
    // bin bounds the guess's error: the value then lies in the guessed bin or a next one.
    struct Guess {
        double first, scale, top, tolerance;
    };
    Guess guess() const { return {first_, scale_, top_, tolerance_}; }
    const double* edges() const { return edges_; }
    std::size_t last_bin() const { return static_cast<std::size_t>(last_bin_); }

  private:
    const double* edges_;
    std::ptrdiff_t last_bin_;
    double top_;
    double first_;
    double scale_;
    double tolerance_ = 0.5;
};

// locate(x[i]) into out[i] for every row, the guesses four (AVX2) or two (SSE2) rows at a time;
// `path` is one of simd_paths(), the best when null.
void locate_bins(const BinLocator& locate, Span<const double> x, std::uint32_t* out,
                 const char* path = nullptr);

// Rows binned by the locator of their group, each group on its own edges; each row's value must
// lie within its group's edges (as rows lie within the range their edges were made from).
class GroupedBinLocator {
  public:
    // `locators` must outlive this object. `offsets`, when given (one per group), is added to
    // every row's bin: a row's place among all groups' bins in one step.
    explicit GroupedBinLocator(const std::vector<BinLocator>& locators,
                               std::vector<std::uint32_t> offsets = {});

    // offsets[group[i]] + locators[group[i]](x[i]) into out[i] for every row (`path` as for
    // locate_bins).
    void operator()(const std::uint32_t* group, Span<const double> x, std::uint32_t* out,
                    const char* path = nullptr) const;

  private:
    const std::vector<BinLocator>& locators_;
    std::vector<std::uint32_t> offsets_;                // per group (zero when none were given)
    std::vector<double> params_;                        // per group: its first edge and scale
    std::vector<double> edges_;                         // every group's edges, one after the other
    std::vector<std::uint32_t> edge_start_, last_bin_;  // per group: its edges' place, last bin
    double top_ = 0.0;                                  // the most bins of any group
    double tolerance_ = 0.0;                            // the widest tolerance of any group
};

// Bin of every row for strictly increasing edges: i such that edges[i] <= x < edges[i + 1], the
// maximum in the last bin (numpy.digitize over the inner edges, right=False).
void assign_bins(Span<const double> x, const std::vector<double>& edges, Span<std::int32_t> bins);

// Rows grouped by bin, a stable counting sort: the rows of bin b are
// order[offsets[b] .. offsets[b + 1]), in increasing row order.
struct BinGroups {
    std::vector<std::size_t> offsets;
    std::vector<std::int64_t> order;
};
BinGroups group_by_bin(Span<const std::int32_t> bins, std::size_t n_bins);

// Shortest text that reads back as the same double, as Python's repr does.
std::string format_double(double value);

}  // namespace movra::core
