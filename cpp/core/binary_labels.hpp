// From positive-class probabilities of a binary classifier to class indices and log-odds.
#pragma once

#include <cstdint>

#include "core/span.hpp"

namespace movra::core {

// out[i] = 1 when proba[i] > threshold, else 0 (a probability equal to the threshold, or NaN,
// gives 0). Both spans have the same length.
void positive_class_indices(Span<const double> proba, double threshold, Span<std::int64_t> out);

// out[i] = log(p / (1 - p)) with p = proba[i] clipped to [lower, upper] (0 < lower < upper < 1),
// so a probability of exactly 0 or 1 still gives a finite value. NaN stays NaN.
void clipped_log_odds(Span<const double> proba, double lower, double upper, Span<double> out);

}  // namespace movra::core
