#include "core/distances.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace movra::core {

namespace {

constexpr double kFloor = 1e-4;
constexpr std::size_t kBuckets = 10;

double total(Span<const double> counts) {
    double t = 0.0;
    for (std::size_t k = 0; k < counts.size; ++k) t += counts[k];
    return t;
}

std::vector<double> cumulative_shares(Span<const double> counts, double n) {
    std::vector<double> out(counts.size);
    double running = 0.0;
    for (std::size_t k = 0; k < counts.size; ++k) {
        running += counts[k];
        out[k] = running / n;
    }
    return out;
}

// The reference's deciles read off its fine bins, and the decile bucket of every fine bin.
std::vector<std::size_t> decile_buckets(Span<const double> edges, Span<const double> reference,
                                        double n, double low, double high, std::size_t& n_buckets) {
    const std::vector<double> share = cumulative_shares(reference, n);
    std::vector<double> cut{low};
    for (std::size_t q = 1; q < kBuckets; ++q) {
        const double level = static_cast<double>(q) / static_cast<double>(kBuckets);
        // The first fine bin whose cumulative share reaches the decile: its upper edge.
        const auto k = static_cast<std::size_t>(
            std::lower_bound(share.begin(), share.end(), level) - share.begin());
        cut.push_back(edges[std::min(k + 1, edges.size - 1)]);
    }
    cut.push_back(high);
    std::sort(cut.begin(), cut.end());
    cut.erase(std::unique(cut.begin(), cut.end()), cut.end());
    // The cuts between the ends (none when there are at most two).
    std::vector<double> inner;
    if (cut.size() > 2) inner.assign(cut.begin() + 1, cut.end() - 1);
    n_buckets = inner.size() + 1;
    std::vector<std::size_t> bucket(reference.size);
    for (std::size_t k = 0; k < reference.size; ++k)
        bucket[k] = static_cast<std::size_t>(
            std::upper_bound(inner.begin(), inner.end(), edges[k]) - inner.begin());
    return bucket;
}

// The buckets of a binned PSI: the fine bins themselves, or with `quantile` the reference's
// deciles (one bucket when the reference has no value or one bin).
void psi_buckets(Span<const double> edges, Span<const double> reference, Span<const double> weak,
                 double n_reference, bool quantile, double low, double high,
                 std::vector<double>& expected, std::vector<double>& actual) {
    if (!quantile) {
        expected.assign(reference.data, reference.data + reference.size);
        actual.assign(weak.data, weak.data + weak.size);
        return;
    }
    if (edges.size < 2 || !(n_reference > 0.0)) {
        expected.assign(1, n_reference);
        actual.assign(1, total(weak));
        return;
    }
    std::size_t n_buckets = 0;
    const std::vector<std::size_t> bucket =
        decile_buckets(edges, reference, n_reference, low, high, n_buckets);
    expected.assign(n_buckets, 0.0);
    actual.assign(n_buckets, 0.0);
    for (std::size_t k = 0; k < bucket.size(); ++k) {
        expected[bucket[k]] += reference[k];
        actual[bucket[k]] += weak[k];
    }
}

}  // namespace

double population_stability(Span<const double> expected_counts, Span<const double> actual_counts) {
    if (expected_counts.size != actual_counts.size)
        throw std::invalid_argument("the two samples must be counted in the same buckets");
    const double n_expected = total(expected_counts), n_actual = total(actual_counts);
    if (!(n_expected > 0.0) || !(n_actual > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    double psi = 0.0;
    for (std::size_t k = 0; k < expected_counts.size; ++k) {
        const double e = std::max(expected_counts[k] / n_expected, kFloor);
        const double a = std::max(actual_counts[k] / n_actual, kFloor);
        psi += (e - a) * std::log(e / a);
    }
    return psi;
}

double binned_distance(Span<const double> edges, Span<const double> reference,
                       Span<const double> weak, const std::string& method, bool quantile,
                       double low, double high, double reference_missing, double weak_missing) {
    if (method != "PSI" && method != "WD1" && method != "KS")
        throw std::invalid_argument("Unsupported distance method '" + method +
                                    "'; use 'PSI', 'WD1' or 'KS'.");
    if (reference.size != weak.size)
        throw std::invalid_argument("the two samples must be counted in the same bins");
    const double n_weak = total(weak), n_reference = total(reference);
    if (method == "PSI") {
        std::vector<double> expected, actual;
        psi_buckets(edges, reference, weak, n_reference, quantile, low, high, expected, actual);
        if (reference_missing > 0.0 || weak_missing > 0.0) {
            expected.push_back(reference_missing);
            actual.push_back(weak_missing);
        }
        return population_stability({expected.data(), expected.size()},
                                    {actual.data(), actual.size()});
    }
    if (!(n_weak > 0.0) || !(n_reference > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> cdf_reference = cumulative_shares(reference, n_reference);
    const std::vector<double> cdf_weak = cumulative_shares(weak, n_weak);
    double out = 0.0;
    for (std::size_t k = 0; k < cdf_weak.size(); ++k) {
        const double gap = std::fabs(cdf_reference[k] - cdf_weak[k]);
        if (method == "KS")
            out = std::max(out, gap);
        else if (k + 1 < edges.size)
            out += gap * (edges[k + 1] - edges[k]);
    }
    return out;
}

}  // namespace movra::core
