#include "core/sample_weights.hpp"

#include <cmath>

namespace movra::core {

WeightSelection select_positive_weights(Span<const double> weights, Span<std::int64_t> kept_rows,
                                        Span<double> kept_weights) {
    WeightSelection result;
    std::size_t n_kept = 0;
    for (std::size_t i = 0; i < weights.size; ++i) {
        const double w = weights[i];
        // NaN > 0 is false and inf / inf is NaN: a non-finite weight would be silently dropped
        // or poison every other weight, so it is refused instead.
        if (!std::isfinite(w)) {
            result.status = WeightStatus::non_finite;
            return result;
        }
        if (w > 0.0) {
            kept_rows[n_kept] = static_cast<std::int64_t>(i);
            kept_weights[n_kept] = w;
            ++n_kept;
        }
    }
    result.n_kept = n_kept;
    if (n_kept == 0) result.status = WeightStatus::no_positive_weight;
    return result;
}

WeightStatus rescale_to_row_count(Span<double> weights, double total) {
    // Positive finite weights can still overflow when summed.
    if (!(total > 0.0) || !std::isfinite(total)) return WeightStatus::no_positive_weight;
    const auto n = static_cast<double>(weights.size);
    // Same operation order as n * w / sum(w), so whole-number weights stay exact.
    for (std::size_t k = 0; k < weights.size; ++k) weights[k] = n * weights[k] / total;
    return WeightStatus::ok;
}

}  // namespace movra::core
