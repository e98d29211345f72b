#include "core/purify.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace movra::core {

namespace {

double total(Span<const double> p) {
    double s = 0.0;
    for (double v : p) s += v;
    return s;
}

}  // namespace

void purify_pair_product(Span<double> levels, std::size_t na, std::size_t nb, Span<const double> pa,
                         Span<const double> pb, Span<double> to_rows, Span<double> to_cols) {
    const double sa = total(pa);
    const double sb = total(pb);
    for (std::size_t i = 0; i < na; ++i) {
        double m = 0.0;
        for (std::size_t k = 0; k < nb; ++k) m += pb[k] * levels[i * nb + k];
        m /= sb;
        to_rows[i] = m;
        for (std::size_t k = 0; k < nb; ++k) levels[i * nb + k] -= m;
    }
    // After the row sweep every row has mean zero under pb, so the column means below have mean
    // zero under pb too, and taking them out keeps the rows centred: no second sweep is needed.
    for (std::size_t k = 0; k < nb; ++k) {
        double m = 0.0;
        for (std::size_t i = 0; i < na; ++i) m += pa[i] * levels[i * nb + k];
        m /= sa;
        to_cols[k] = m;
        for (std::size_t i = 0; i < na; ++i) levels[i * nb + k] -= m;
    }
}

namespace {

// One sweep along an axis of the grid: each line's mean level under the joint density (line j's
// cells at j * line_stride + t * step) moved out into to[j]; the largest mean moved.
double sweep(Span<double> levels, Span<const double> joint, const std::vector<double>& mass,
             Span<double> to, std::size_t line_stride, std::size_t step) {
    const std::size_t length = levels.size / mass.size();
    double largest = 0.0;
    for (std::size_t j = 0; j < mass.size(); ++j) {
        if (mass[j] <= 0.0) continue;
        double m = 0.0;
        for (std::size_t t = 0; t < length; ++t) {
            const std::size_t c = j * line_stride + t * step;
            m += joint[c] * levels[c];
        }
        m /= mass[j];
        to[j] += m;
        for (std::size_t t = 0; t < length; ++t) levels[j * line_stride + t * step] -= m;
        largest = std::max(largest, std::fabs(m));
    }
    return largest;
}

}  // namespace

PurifyReport purify_pair_joint(Span<double> levels, std::size_t na, std::size_t nb,
                               Span<const double> joint, Span<double> to_rows, Span<double> to_cols,
                               double tolerance, std::size_t max_iterations) {
    std::fill(to_rows.begin(), to_rows.end(), 0.0);
    std::fill(to_cols.begin(), to_cols.end(), 0.0);
    double scale = 0.0;
    for (double v : levels) scale = std::max(scale, std::fabs(v));
    PurifyReport report;
    if (scale == 0.0) {
        report.converged = true;
        return report;
    }
    const double limit = tolerance * scale;
    std::vector<double> row_mass(na, 0.0), col_mass(nb, 0.0);
    for (std::size_t i = 0; i < na; ++i)
        for (std::size_t k = 0; k < nb; ++k) {
            row_mass[i] += joint[i * nb + k];
            col_mass[k] += joint[i * nb + k];
        }
    while (report.iterations < max_iterations) {
        ++report.iterations;
        // Rows first, then columns: two statements, since arguments' order is unspecified.
        const double largest_row = sweep(levels, joint, row_mass, to_rows, nb, 1);
        const double largest =
            std::max(largest_row, sweep(levels, joint, col_mass, to_cols, 1, nb));
        report.residual = largest;
        if (largest <= limit) {
            report.converged = true;
            break;
        }
    }
    // The column sweep leaves the columns centred; the residual is what the rows still carry.
    double rows_left = 0.0;
    for (std::size_t i = 0; i < na; ++i) {
        if (row_mass[i] <= 0.0) continue;
        double m = 0.0;
        for (std::size_t k = 0; k < nb; ++k) m += joint[i * nb + k] * levels[i * nb + k];
        rows_left = std::max(rows_left, std::fabs(m / row_mass[i]));
    }
    report.residual = rows_left;
    report.converged = rows_left <= limit;
    return report;
}

double center_levels(Span<double> levels, Span<const double> p) {
    double m = 0.0;
    for (std::size_t i = 0; i < levels.size; ++i) m += p[i] * levels[i];
    m /= total(p);
    for (double& v : levels) v -= m;
    return m;
}

}  // namespace movra::core
