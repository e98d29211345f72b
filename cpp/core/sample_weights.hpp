// Cleaning of training sample weights: rows of non-positive weight leave the training set and
// the remaining weights are rescaled to sum to the number of remaining rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/span.hpp"

namespace movra::core {

enum class WeightStatus {
    ok,
    non_finite,          // a NaN or infinite weight: nothing sensible can be kept
    no_positive_weight,  // every weight is zero or negative (or there are no rows)
};

struct WeightSelection {
    WeightStatus status = WeightStatus::ok;
    std::size_t n_kept = 0;  // rows whose weight is > 0
};

// Writes the positions of the rows with weight > 0 into kept_rows[0, n_kept) and their weights,
// rescaled as n_kept * w / sum(kept w), into rescaled[0, n_kept). Both outputs hold at least
// weights.size values. On a status other than ok the outputs are unspecified.
WeightSelection select_and_rescale_weights(Span<const double> weights,
                                           Span<std::int64_t> kept_rows,
                                           Span<double> rescaled);

}  // namespace movra::core
