// Weak regions measured on one split: the rows inside each region, the scores at those rows and
// their sums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/region_stats.hpp"
#include "core/span.hpp"

namespace movra::core {

// The regions' rows, found in two steps so that the caller can allocate the outputs (numpy
// arrays, say) once the counts are known. Up to kBitmapRegions regions: a bitmap per region from
// vector comparisons, then every region's rows read back from the bitmaps word by word, so the
// values are read once in row order however many regions there are. More regions: one pass
// locating each row among the regions' first-column bounds (a table lookup corrected against
// the bounds), checking only the regions that overlap the row's place.
class RegionMeasure {
  public:
    static constexpr std::size_t kBitmapRegions = 24;

    // Finds the rows of every region; `second` is empty for regions on one column.
    RegionMeasure(Span<const double> first, Span<const double> second,
                  const std::vector<RegionBox>& regions);

    std::size_t n_regions() const { return counts_.size(); }
    std::size_t count(std::size_t r) const { return counts_[r]; }
    std::size_t total() const;

    // Lists region r's rows in increasing order into rows[r] (count(r) of them) and, when `values`
    // is not empty, values[row] into gathered[r]; returns each region's sums of the gathered values
    // with weights[row] (1 each when `weights` is empty). Pointers of empty regions may be null.
    std::vector<ScoreSums> list(Span<const double> values, Span<const double> weights,
                                std::int64_t* const* rows, double* const* gathered) const;

  private:
    std::vector<std::size_t> counts_;
    std::size_t n_rows_ = 0;
    std::vector<std::uint64_t> words_;  // the interleaved bitmaps (few regions)
    // The rows of each region (many regions), in increasing order.
    std::vector<std::vector<std::int64_t>> lists_;
};

}  // namespace movra::core
