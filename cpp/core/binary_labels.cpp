#include "core/binary_labels.hpp"

#include <cmath>

namespace movra::core {

void positive_class_indices(Span<const double> proba, double threshold, Span<std::int64_t> out) {
    for (std::size_t i = 0; i < proba.size; ++i) out[i] = proba[i] > threshold ? 1 : 0;
}

void clipped_log_odds(Span<const double> proba, double lower, double upper, Span<double> out) {
    for (std::size_t i = 0; i < proba.size; ++i) {
        double p = proba[i];
        // Written as comparisons (not std::clamp) so that NaN passes through like np.clip.
        if (p < lower) p = lower;
        if (p > upper) p = upper;
        out[i] = std::log(p / (1.0 - p));
    }
}

}  // namespace movra::core
