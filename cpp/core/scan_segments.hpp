// The scan's searches of what equal-width bins alone do not cover: categorical features and
// missing values, read from the features' codes (and a pair's numerical second values) on the
// searched split, with exactly the bins, verdicts and regions of search_feature and
// search_feature_pair on copied columns. Shared by the scan's own sources only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/scan_coding.hpp"
#include "core/segment_search.hpp"
#include "core/slice_search.hpp"
#include "core/span.hpp"

namespace movra::core::scan_steps {

// One feature searched on the searched split from its codes: search_feature on its column.
// `split_profile` is the score profile of the whole searched split.
OneFeatureSearch search_coded_feature(const CodedFeature& f, const SplitRows& searched,
                                      const SearchSettings& settings,
                                      const ScoreProfile& split_profile, const char* simd_path);

// A pair searched on the searched split, the second feature within every bin of the first (see
// CodedFeature::n_bins), as search_feature_pair searches the columns unless both are numerical
// without a missing value: a numerical second feature from its values there, a categorical one
// from its codes.
TwoFeatureSearch search_pair_in_bins(const CodedFeature& first, const SplitRows& searched,
                                     Span<const double> second, const SearchSettings& settings,
                                     const ScoreProfile& split_profile, const char* simd_path);
TwoFeatureSearch search_pair_of_codes(const CodedFeature& first, const CodedFeature& second,
                                      const SplitRows& searched, const SearchSettings& settings,
                                      const ScoreProfile& split_profile, const char* simd_path);

// The first n rows of the searched split (increasing positions) whose code is one of `codes`
// (category codes, kMissingCode for the missing rows).
std::vector<std::int64_t> rows_with_codes(const CodedFeature& f, std::size_t n,
                                          const std::vector<std::int32_t>& codes);

// What the searches above share.

// The score profile of rows added one at a time, as ProfileAccumulator finds it.
struct RowProfile {
    double low = 0.0, high = 0.0, low_weight = 0.0;

    void add(double score, double w) {
        low = score < low ? score : low;
        high = score > high ? score : high;
        low_weight = w < low_weight ? w : low_weight;
    }
    ScoreProfile profile() const;
};

// The score profile of part of the searched rows, found by a pass over them only when a near tie
// needs it: the whole split's profile bounds it (a verdict that is no near tie there is none on
// the part either).
class PartProfile {
  public:
    PartProfile(const ScoreProfile& split, std::function<ScoreProfile()> find)
        : split_(split), find_(std::move(find)) {}
    const ScoreProfile& split() const { return split_; }
    const ScoreProfile& own();
    // near_tie(value, count, threshold_value, own()), own() found only when the split's says so.
    bool near_tie(double value, std::int64_t count, double threshold_value);

  private:
    ScoreProfile split_, own_;
    std::function<ScoreProfile()> find_;
    bool found_ = false;
};

// judge(s, settings, profile, rows) with the part's profile: first with the split's and no near
// tie settled; when that meets none, it is the result, else judge runs again with the part's own.
using Judge = std::function<void(OneFeatureSearch&, const SearchSettings&, const ScoreProfile&,
                                 const RowsOfCodes&)>;
void judge_part(OneFeatureSearch& s, const SearchSettings& settings, PartProfile& profile,
                const RowsOfCodes& rows, const Judge& judge);

}  // namespace movra::core::scan_steps
