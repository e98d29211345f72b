#include "core/region_measure.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

#include "core/row_bitmap.hpp"

namespace movra::core {

namespace {

// The cells of the first column between consecutive distinct region bounds (cell c holds the
// values with exactly c bounds at or below them), and for each cell the regions overlapping it.
class RegionCells {
  public:
    explicit RegionCells(const std::vector<RegionBox>& regions) {
        for (const RegionBox& r : regions)
            for (double b : {r.first.lb, r.first.ub})
                if (!std::isnan(b)) breaks_.push_back(b);
        std::sort(breaks_.begin(), breaks_.end());
        breaks_.erase(std::unique(breaks_.begin(), breaks_.end()), breaks_.end());
        link_regions(regions);
        build_table();
    }

    // The regions overlapping the cell of value v.
    Span<const std::uint32_t> regions_at(double v) const {
        const std::size_t c = use_table_ ? fast_cell(v) : cell_of(v);
        return {cell_regions_.data() + cell_start_[c], cell_start_[c + 1] - cell_start_[c]};
    }

  private:
    // The number of bounds at or below v, by a binary search without branches (the data would
    // make a branch on every step unpredictable).
    std::size_t cell_of(double v) const {
        if (breaks_.empty()) return 0;
        const double* base = breaks_.data();
        std::size_t len = breaks_.size();
        while (len > 1) {
            const std::size_t half = len / 2;
            base = base[half] <= v ? base + half : base;
            len -= half;
        }
        return static_cast<std::size_t>(base - breaks_.data()) +
               static_cast<std::size_t>(*base <= v);
    }

    // Rows with lb <= x <= ub lie in the cells from lb's to ub's: each region is listed in
    // those cells, as offsets into one list.
    void link_regions(const std::vector<RegionBox>& regions) {
        const std::size_t n_cells = breaks_.size() + 1;
        cell_start_.assign(n_cells + 1, 0);
        std::vector<std::pair<std::size_t, std::size_t>> spans(regions.size(), {1, 0});
        for (std::size_t r = 0; r < regions.size(); ++r) {
            const Bound& b = regions[r].first;
            if (std::isnan(b.lb) || std::isnan(b.ub)) continue;
            spans[r] = {cell_of(b.lb), cell_of(b.ub)};
            for (std::size_t c = spans[r].first; c <= spans[r].second; ++c) ++cell_start_[c + 1];
        }
        for (std::size_t c = 0; c < n_cells; ++c) cell_start_[c + 1] += cell_start_[c];
        cell_regions_.resize(cell_start_[n_cells]);
        std::vector<std::size_t> next(cell_start_.begin(), cell_start_.end() - 1);
        for (std::size_t r = 0; r < regions.size(); ++r)
            for (std::size_t c = spans[r].first; c <= spans[r].second; ++c)
                cell_regions_[next[c]++] = static_cast<std::uint32_t>(r);
    }

    // A table over equal slices of the bounds' span gives a first guess of a value's cell.
    // Slot 0 holds the values below the first bound, slot kSlots + 1 those at or above the last.
    void build_table() {
        if (breaks_.size() < 2) return;
        front_ = breaks_.front();
        const double back = breaks_.back();
        scale_ = static_cast<double>(kSlots) / (back - front_);
        use_table_ =
            std::isfinite(front_) && std::isfinite(back) && std::isfinite(scale_) && scale_ > 0.0;
        if (!use_table_) return;
        table_.resize(kSlots + 2);
        table_[0] = 0;
        for (std::size_t t = 1; t <= kSlots; ++t)
            table_[t] =
                static_cast<std::uint32_t>(cell_of(front_ + static_cast<double>(t - 1) / scale_));
        table_[kSlots + 1] = static_cast<std::uint32_t>(breaks_.size());
    }

    // The table's guess corrected against the bounds themselves: exactly cell_of(v).
    std::size_t fast_cell(double v) const {
        // Clamped to the table by selects, not branches (NaN lands in slot 0; its cell does not
        // matter, as no bound contains NaN). Through a signed integer: the unsigned conversion
        // costs a branch.
        double guess = (v - front_) * scale_ + 1.0;
        guess = guess > 0.0 ? guess : 0.0;
        const double top = static_cast<double>(kSlots + 1);
        guess = guess < top ? guess : top;
        const auto slot = static_cast<std::size_t>(static_cast<std::int64_t>(guess));
        auto c = static_cast<std::size_t>(table_[slot]);
        while (c > 0 && breaks_[c - 1] > v) --c;
        while (c < breaks_.size() && breaks_[c] <= v) ++c;
        return c;
    }

    static constexpr std::size_t kSlots = 4096;
    std::vector<double> breaks_;
    std::vector<std::size_t> cell_start_;
    std::vector<std::uint32_t> cell_regions_;
    std::vector<std::uint32_t> table_;
    double front_ = 0.0;
    double scale_ = 0.0;
    bool use_table_ = false;
};

// Every region's rows in one pass over the rows, in order, checking only the regions that
// overlap the row's cell. A row is written at the end of a checked region's list and kept only
// when inside: no branch on membership, which the data make unpredictable. Each list keeps one
// spare slot for that write.
std::vector<std::vector<std::int64_t>> rows_by_cells(Span<const double> first,
                                                     Span<const double> second,
                                                     const std::vector<RegionBox>& regions) {
    const bool two = !second.empty();
    const RegionCells cells(regions);
    std::vector<std::vector<std::int64_t>> lists(regions.size(), std::vector<std::int64_t>(16));
    std::vector<std::size_t> kept(regions.size(), 0);
    for (std::size_t i = 0; i < first.size; ++i) {
        const double v = first[i];
        for (const std::uint32_t r : cells.regions_at(v)) {
            std::vector<std::int64_t>& list = lists[r];
            std::size_t& k = kept[r];
            if (k + 1 == list.size()) list.resize(2 * list.size());
            list[k] = static_cast<std::int64_t>(i);
            k += static_cast<std::size_t>(regions[r].first.contains(v) &
                                          (!two || regions[r].second.contains(second[i])));
        }
    }
    for (std::size_t r = 0; r < regions.size(); ++r) {
        lists[r].resize(kept[r]);
        lists[r].shrink_to_fit();
    }
    return lists;
}

// Writes (or, when `narrow`, ands into) bit i % 64 of words[(i / 64) * stride] whether
// `column[i]` lies in the set `bound`; returns the bits left set.
std::size_t set_bits(Span<const double> column, const Bound& bound, std::uint64_t* words,
                     std::size_t stride, bool narrow) {
    std::size_t count = 0;
    for (std::size_t w = 0; w < bitmap_words(column.size); ++w) {
        const std::size_t begin = w * 64;
        const std::size_t end = std::min(column.size, begin + 64);
        std::uint64_t bits = 0;
        for (std::size_t i = begin; i < end; ++i)
            bits |= static_cast<std::uint64_t>(bound.contains(column[i])) << (i - begin);
        std::uint64_t& word = words[w * stride];
        word = narrow ? word & bits : bits;
        count += static_cast<std::size_t>(__builtin_popcountll(word));
    }
    return count;
}

// The bitmap of one box with a set of codes on a column: the interval column (if any) by vector
// comparisons first, then the sets.
std::size_t set_box_bits(Span<const double> first, Span<const double> second, const RegionBox& box,
                         std::uint64_t* words, std::size_t stride) {
    const bool two = !second.empty();
    const Bound* bounds[2] = {&box.first, &box.second};
    const Span<const double> columns[2] = {first, second};
    std::size_t count = 0;
    bool written = false;
    if (!box.first.is_set && two && !box.second.is_set) {
        // Two intervals (a box among others with sets): one bitmap of both conditions.
        count = box_bitmap(first, closed_interval(box.first), second, closed_interval(box.second),
                           words, stride);
        written = true;
    } else {
        for (std::size_t c = 0; c < (two ? 2u : 1u); ++c)
            if (!bounds[c]->is_set) {
                count = box_bitmap(columns[c], closed_interval(*bounds[c]), {}, {}, words, stride);
                written = true;
            }
    }
    for (std::size_t c = 0; c < (two ? 2u : 1u); ++c)
        if (bounds[c]->is_set) {
            count = set_bits(columns[c], *bounds[c], words, stride, written);
            written = true;
        }
    return count;
}

}  // namespace

RegionMeasure::RegionMeasure(Span<const double> first, Span<const double> second,
                             const std::vector<RegionBox>& regions)
    : counts_(regions.size(), 0), n_rows_(first.size) {
    const std::size_t k = regions.size();
    if (k == 0) return;
    const bool two = !second.empty();
    const bool intervals = std::none_of(regions.begin(), regions.end(), [two](const RegionBox& r) {
        return r.first.is_set || (two && r.second.is_set);
    });
    if (!intervals && k <= kBitmapRegions) {
        // Sets of categories or missing rows: a pass over the columns for each region's bitmap.
        words_.resize(k * bitmap_words(n_rows_));
        for (std::size_t r = 0; r < k; ++r)
            counts_[r] = set_box_bits(first, second, regions[r], words_.data() + r, k);
        return;
    }
    if (!intervals) {
        for (const RegionBox& r : regions)
            lists_.push_back(two ? rows_in_box(first, r.first, second, r.second)
                                 : rows_in_bound(first, r.first));
        for (std::size_t r = 0; r < k; ++r) counts_[r] = lists_[r].size();
        return;
    }
    if (k > kBitmapRegions) {
        lists_ = rows_by_cells(first, second, regions);
        for (std::size_t r = 0; r < k; ++r) counts_[r] = lists_[r].size();
        return;
    }
    std::vector<ClosedInterval> a(k), b(k);
    for (std::size_t r = 0; r < k; ++r) {
        a[r] = closed_interval(regions[r].first);
        b[r] = two ? closed_interval(regions[r].second) : ClosedInterval{};
    }
    words_.resize(k * bitmap_words(n_rows_));
    box_bitmaps(first, second, a.data(), b.data(), k, words_.data(), counts_.data());
}

std::size_t RegionMeasure::total() const {
    return std::accumulate(counts_.begin(), counts_.end(), std::size_t{0});
}

std::vector<ScoreSums> RegionMeasure::list(Span<const double> values, Span<const double> weights,
                                           std::int64_t* const* rows,
                                           double* const* gathered) const {
    const std::size_t k = counts_.size();
    if (lists_.empty() && k > 0) {
        bitmap_rows(words_.data(), k, bitmap_words(n_rows_), counts_.data(), values, rows,
                    gathered);
    } else {
        for (std::size_t r = 0; r < k; ++r) {
            std::copy(lists_[r].begin(), lists_[r].end(), rows[r]);
            if (!values.empty())
                for (std::size_t j = 0; j < counts_[r]; ++j)
                    gathered[r][j] = values[static_cast<std::size_t>(lists_[r][j])];
        }
    }
    std::vector<ScoreSums> sums(k);
    if (!values.empty())
        for (std::size_t r = 0; r < k; ++r)
            sums[r] = sums_of({gathered[r], counts_[r]}, weights, rows[r]);
    return sums;
}

}  // namespace movra::core
