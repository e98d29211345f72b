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

// Writes the positions of the rows with weight > 0 into kept_rows[0, n_kept) and their weights
// into kept_weights[0, n_kept). Both outputs hold at least weights.size values. A NaN or infinite
// weight stops the selection with status non_finite (the outputs are then unspecified).
WeightSelection select_positive_weights(Span<const double> weights, Span<std::int64_t> kept_rows,
                                        Span<double> kept_weights);

// Rescales in place to n * w / total with n = weights.size, rounded as numpy rounds
// `n * w / total` (a product, then a quotient). The caller supplies the total so that it can be
// numpy's own sum of the same weights. A total that is not a positive finite number leaves the
// weights unchanged and gives no_positive_weight.
WeightStatus rescale_to_row_count(Span<double> weights, double total);

}  // namespace movra::core
