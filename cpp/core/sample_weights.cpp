#include "core/sample_weights.hpp"

#include <cmath>

namespace movra::core {

namespace {

// numpy's pairwise summation (blocks of 8 accumulators, halves above 128 values), so that the
// sum, and hence every rescaled weight, matches np.sum to the last bit in the common cases.
double pairwise_sum(const double* v, std::size_t n) {
    if (n < 8) {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) s += v[i];
        return s;
    }
    if (n <= 128) {
        double r[8];
        for (std::size_t j = 0; j < 8; ++j) r[j] = v[j];
        std::size_t i = 8;
        for (; i + 8 <= n; i += 8)
            for (std::size_t j = 0; j < 8; ++j) r[j] += v[i + j];
        double s = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) s += v[i];
        return s;
    }
    std::size_t half = n / 2;
    half -= half % 8;
    return pairwise_sum(v, half) + pairwise_sum(v + half, n - half);
}

}  // namespace

WeightSelection select_and_rescale_weights(Span<const double> weights,
                                           Span<std::int64_t> kept_rows,
                                           Span<double> rescaled) {
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
            rescaled[n_kept] = w;
            ++n_kept;
        }
    }
    result.n_kept = n_kept;
    const double total = pairwise_sum(rescaled.data, n_kept);
    // Positive finite weights can still overflow when summed.
    if (!(total > 0.0) || !std::isfinite(total)) {
        result.status = WeightStatus::no_positive_weight;
        return result;
    }
    const auto n = static_cast<double>(n_kept);
    // Same operation order as n * w / sum(w), so whole-number weights stay exact.
    for (std::size_t k = 0; k < n_kept; ++k) rescaled[k] = n * rescaled[k] / total;
    return result;
}

}  // namespace movra::core
