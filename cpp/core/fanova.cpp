#include "core/fanova.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/purify.hpp"

namespace movra::core {

namespace {

template <typename T>
Span<const T> cview(const std::vector<T>& v) {
    return {v.data(), v.size()};
}
template <typename T>
Span<T> mview(std::vector<T>& v) {
    return {v.data(), v.size()};
}

void add_bounds(const FeatureCondition& c, std::vector<double>& points) {
    if (std::isfinite(c.lower)) points.push_back(c.lower);
    if (std::isfinite(c.upper)) points.push_back(c.upper);
}

void sort_unique(std::vector<double>& points) {
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
}

// The split points of a categorical feature's grid: 1 .. k-1, so that code c is in bin c.
std::vector<double> category_points(std::size_t n_categories) {
    std::vector<double> points;
    for (std::size_t c = 1; c < n_categories; ++c) points.push_back(static_cast<double>(c));
    return points;
}

// Bins a condition reaches on a grid, as [begin, end) of the value bins plus the missing bin;
// for a categorical feature, the bins of its admitted codes instead of the range.
struct BinRange {
    std::size_t begin = 0;
    std::size_t end = 0;
    bool missing = false;
    const std::vector<std::uint8_t>* allowed = nullptr;
};

BinRange bins_of(const FeatureCondition& c, const std::vector<double>& points) {
    BinRange r;
    if (c.categorical()) {
        r.allowed = &c.allowed;
        r.missing = c.missing;
        return r;
    }
    // The bounds are split points of the grid, so lower_bound finds them exactly.
    r.begin = std::isfinite(c.lower)
                  ? static_cast<std::size_t>(
                        std::lower_bound(points.begin(), points.end(), c.lower) - points.begin()) +
                        1
                  : 0;
    r.end = std::isfinite(c.upper)
                ? static_cast<std::size_t>(std::lower_bound(points.begin(), points.end(), c.upper) -
                                           points.begin()) +
                      1
                : points.size() + 1;
    if (r.end < r.begin) r.end = r.begin;
    r.missing = c.missing;
    return r;
}

template <typename F>
void for_each_bin(const BinRange& r, std::size_t n_points, F&& f) {
    if (r.allowed != nullptr) {
        for (std::size_t b = 0; b < r.allowed->size(); ++b)
            if ((*r.allowed)[b] != 0) f(b);
    } else {
        for (std::size_t b = r.begin; b < r.end; ++b) f(b);
    }
    if (r.missing) f(n_points + 1);
}

// For each bin of a fine grid, the bin of a coarser grid (a subset of its points) holding it.
std::vector<std::size_t> coarse_bins(const std::vector<double>& fine,
                                     const std::vector<double>& coarse) {
    std::vector<std::size_t> map(fine.size() + 2);
    std::size_t c = 0;
    map[0] = 0;
    for (std::size_t b = 1; b <= fine.size(); ++b) {
        // Fine bin b starts at fine[b - 1].
        while (c < coarse.size() && coarse[c] <= fine[b - 1]) ++c;
        map[b] = c;
    }
    map[fine.size() + 1] = coarse.size() + 1;
    return map;
}

double variance(Span<const double> levels, Span<const double> counts, double n) {
    double mean = 0.0;
    for (std::size_t i = 0; i < levels.size; ++i) mean += counts[i] * levels[i];
    mean /= n;
    double ss = 0.0;
    for (std::size_t i = 0; i < levels.size; ++i) {
        const double d = levels[i] - mean;
        ss += counts[i] * d * d;
    }
    return ss / n;
}

// Where each feature's main effect and each pair's interaction sit in Effects.
struct EffectIndex {
    std::map<std::int64_t, std::size_t> main_of;
    std::map<std::pair<std::int64_t, std::int64_t>, std::size_t> pair_of;

    std::size_t pair(const LeafRule& rule) const {
        return pair_of.at({rule.conditions[0].feature, rule.conditions[1].feature});
    }
};

// One main effect per feature the rules test and one interaction per pair a leaf tests, both in
// ascending order of their features.
EffectIndex number_effects(const std::vector<LeafRule>& rules, std::size_t n_columns,
                           Effects& out) {
    EffectIndex index;
    for (const LeafRule& rule : rules)
        for (int c = 0; c < rule.n_conditions; ++c)
            index.main_of.emplace(rule.conditions[c].feature, 0);
    for (auto& [feature, position] : index.main_of) {
        if (static_cast<std::size_t>(feature) >= n_columns)
            throw std::invalid_argument("the trees test feature " + std::to_string(feature) +
                                        " but the data has " + std::to_string(n_columns) +
                                        " columns");
        position = out.mains.size();
        out.mains.emplace_back();
        out.mains.back().feature = feature;
    }
    for (const LeafRule& rule : rules)
        if (rule.n_conditions == 2)
            index.pair_of.emplace(
                std::make_pair(rule.conditions[0].feature, rule.conditions[1].feature), 0);
    for (auto& [features, position] : index.pair_of) {
        position = out.pairs.size();
        out.pairs.emplace_back();
        out.pairs.back().feature_a = features.first;
        out.pairs.back().feature_b = features.second;
    }
    return index;
}

// Grids: every split point of a numerical feature for its main effect, and the split points of
// the pair's own leaves for an interaction; a categorical feature's codes on every grid of it.
// The levels start at zero.
void build_grids(const std::vector<LeafRule>& rules, const EffectIndex& index, Effects& out) {
    for (const LeafRule& rule : rules) {
        for (int c = 0; c < rule.n_conditions; ++c) {
            const FeatureCondition& condition = rule.conditions[c];
            MainEffect& m = out.mains[index.main_of.at(condition.feature)];
            if (condition.categorical())
                m.n_categories = static_cast<std::int64_t>(condition.allowed.size());
            add_bounds(condition, m.split_points);
        }
        if (rule.n_conditions == 2) {
            PairEffect& pe = out.pairs[index.pair(rule)];
            add_bounds(rule.conditions[0], pe.split_points_a);
            add_bounds(rule.conditions[1], pe.split_points_b);
        }
    }
    for (MainEffect& m : out.mains) {
        if (m.n_categories > 0) m.split_points = category_points(m.categories_count());
        sort_unique(m.split_points);
        m.levels.assign(m.split_points.size() + 2, 0.0);
    }
    for (PairEffect& pe : out.pairs) {
        const MainEffect& ma = out.mains[index.main_of.at(pe.feature_a)];
        const MainEffect& mb = out.mains[index.main_of.at(pe.feature_b)];
        if (ma.n_categories > 0) pe.split_points_a = ma.split_points;
        if (mb.n_categories > 0) pe.split_points_b = mb.split_points;
        sort_unique(pe.split_points_a);
        sort_unique(pe.split_points_b);
        pe.levels.assign((pe.split_points_a.size() + 2) * (pe.split_points_b.size() + 2), 0.0);
    }
}

// Every leaf adds its value on the cells its path reaches (a leaf without conditions, to the
// intercept).
void add_leaves(const std::vector<LeafRule>& rules, const EffectIndex& index, Effects& out) {
    for (const LeafRule& rule : rules) {
        if (rule.n_conditions == 0) {
            out.intercept += rule.value;
        } else if (rule.n_conditions == 1) {
            MainEffect& m = out.mains[index.main_of.at(rule.conditions[0].feature)];
            for_each_bin(bins_of(rule.conditions[0], m.split_points), m.split_points.size(),
                         [&](std::size_t b) { m.levels[b] += rule.value; });
        } else {
            PairEffect& pe = out.pairs[index.pair(rule)];
            const std::size_t width = pe.split_points_b.size() + 2;
            const BinRange rb = bins_of(rule.conditions[1], pe.split_points_b);
            for_each_bin(bins_of(rule.conditions[0], pe.split_points_a), pe.split_points_a.size(),
                         [&](std::size_t a) {
                             for_each_bin(rb, pe.split_points_b.size(), [&](std::size_t b) {
                                 pe.levels[a * width + b] += rule.value;
                             });
                         });
        }
    }
}

// Each row's bin on every main effect's grid, and the row count per bin.
struct RowBins {
    std::vector<std::vector<std::uint32_t>> bins;  // [main][row]
    std::vector<std::vector<double>> counts;       // [main][bin]
};

RowBins bin_rows(const std::vector<MainEffect>& mains, Matrix data) {
    // In blocks of rows, one feature at a time: the block of the row-major matrix stays in cache
    // while each feature's lookup table stays in the nearest cache for the whole block.
    const std::size_t n_mains = mains.size();
    RowBins out;
    out.bins.resize(n_mains);
    out.counts.resize(n_mains);
    std::vector<StepLocator> locators;
    locators.reserve(n_mains);
    std::vector<std::vector<std::uint32_t>> counts(n_mains);
    for (std::size_t m = 0; m < n_mains; ++m) {
        locators.emplace_back(cview(mains[m].split_points));
        out.bins[m].resize(data.n_rows);
        counts[m].assign(mains[m].levels.size(), 0);
    }
    constexpr std::size_t kBlock = 256;
    for (std::size_t first = 0; first < data.n_rows; first += kBlock) {
        const std::size_t last = std::min(first + kBlock, data.n_rows);
        for (std::size_t m = 0; m < n_mains; ++m) {
            const StepLocator& locate = locators[m];
            const double* column = data.data + mains[m].feature;
            std::uint32_t* bins = out.bins[m].data();
            std::uint32_t* count = counts[m].data();
            for (std::size_t r = first; r < last; ++r) {
                const auto b = static_cast<std::uint32_t>(locate.bin(column[r * data.n_columns]));
                bins[r] = b;
                ++count[b];
            }
        }
    }
    for (std::size_t m = 0; m < n_mains; ++m)
        out.counts[m].assign(counts[m].begin(), counts[m].end());
    return out;
}

// The rows' counts on a pair's grid, from their bins on the two main grids (which hold the
// pair's split points): map_a and map_b send a main bin to the pair's bin.
std::vector<double> pair_cell_counts(const std::vector<std::uint32_t>& bins_a,
                                     const std::vector<std::uint32_t>& bins_b,
                                     const std::vector<std::size_t>& map_a,
                                     const std::vector<std::size_t>& map_b, std::size_t na,
                                     std::size_t nb, std::vector<std::uint32_t>& cell_counts) {
    // Row offsets on the pair grid folded into the first map: one add per row.
    std::vector<std::uint32_t> offset_a(map_a.size()), offset_b(map_b.size());
    for (std::size_t b = 0; b < map_a.size(); ++b)
        offset_a[b] = static_cast<std::uint32_t>(map_a[b] * nb);
    for (std::size_t b = 0; b < map_b.size(); ++b)
        offset_b[b] = static_cast<std::uint32_t>(map_b[b]);
    cell_counts.assign(na * nb, 0);
    for (std::size_t r = 0; r < bins_a.size(); ++r)
        ++cell_counts[offset_a[bins_a[r]] + offset_b[bins_b[r]]];
    return std::vector<double>(cell_counts.begin(), cell_counts.end());
}

// Moves the interaction's mass along each axis out of it, under the joint cell counts or the
// product of their marginals, into the two main effects on their finer grids.
void purify_into_mains(PairEffect& pe, const std::vector<double>& joint, MainEffect& main_a,
                       MainEffect& main_b, const std::vector<std::size_t>& map_a,
                       const std::vector<std::size_t>& map_b, const FanovaOptions& options) {
    const std::size_t na = pe.split_points_a.size() + 2;
    const std::size_t nb = pe.split_points_b.size() + 2;
    std::vector<double> to_a(na), to_b(nb);
    if (options.true_to_data) {
        const PurifyReport rep =
            purify_pair_joint(mview(pe.levels), na, nb, cview(joint), mview(to_a), mview(to_b),
                              options.tolerance, options.max_iterations);
        pe.purify_iterations = rep.iterations;
        pe.purify_converged = rep.converged;
        pe.purify_residual = rep.residual;
    } else {
        std::vector<double> pa(na, 0.0), pb(nb, 0.0);
        for (std::size_t i = 0; i < na; ++i)
            for (std::size_t k = 0; k < nb; ++k) {
                pa[i] += joint[i * nb + k];
                pb[k] += joint[i * nb + k];
            }
        purify_pair_product(mview(pe.levels), na, nb, cview(pa), cview(pb), mview(to_a),
                            mview(to_b));
        pe.purify_iterations = 1;
    }
    for (std::size_t b = 0; b < map_a.size(); ++b) main_a.levels[b] += to_a[map_a[b]];
    for (std::size_t b = 0; b < map_b.size(); ++b) main_b.levels[b] += to_b[map_b[b]];
}

}  // namespace

Effects fanova_effects(const std::vector<LeafRule>& rules, double base_margin, Matrix data,
                       const FanovaOptions& options) {
    if (data.n_rows == 0) throw std::invalid_argument("the data has no rows");
    Effects out = effect_grids(rules, base_margin, data.n_columns);
    finish_effects(out, grid_counts(out, data), static_cast<double>(data.n_rows), options);
    return out;
}

Effects effect_grids(const std::vector<LeafRule>& rules, double base_margin,
                     std::size_t n_columns) {
    Effects out;
    out.intercept = base_margin;
    const EffectIndex index = number_effects(rules, n_columns, out);
    build_grids(rules, index, out);
    add_leaves(rules, index, out);
    return out;
}

namespace {

// The position of a feature's main effect (mains are in ascending feature order).
std::size_t main_of(const Effects& fx, std::int64_t feature) {
    const auto it =
        std::lower_bound(fx.mains.begin(), fx.mains.end(), feature,
                         [](const MainEffect& m, std::int64_t f) { return m.feature < f; });
    if (it == fx.mains.end() || it->feature != feature)
        throw std::invalid_argument("an interaction's feature has no main effect");
    return static_cast<std::size_t>(it - fx.mains.begin());
}

}  // namespace

namespace {

// A categorical feature's values must be its codes (or missing): any other value would land in
// the bin of a code it is not.
void check_category_codes(const MainEffect& m, Matrix data) {
    const Column column = data.column(static_cast<std::size_t>(m.feature));
    const auto k = static_cast<double>(m.n_categories);
    for (std::size_t r = 0; r < column.size; ++r) {
        const double v = column[r];
        if (!std::isnan(v) && !(v >= 0.0 && v < k && v == std::floor(v)))
            throw std::invalid_argument("feature " + std::to_string(m.feature) +
                                        " is categorical with " + std::to_string(m.n_categories) +
                                        " categories; " + std::to_string(v) +
                                        " is none of its codes");
    }
}

}  // namespace

GridCounts grid_counts(const Effects& grids, Matrix data) {
    for (const MainEffect& m : grids.mains) {
        if (static_cast<std::size_t>(m.feature) >= data.n_columns)
            throw std::invalid_argument("the trees test feature " + std::to_string(m.feature) +
                                        " but the data has " + std::to_string(data.n_columns) +
                                        " columns");
        if (m.n_categories > 0) check_category_codes(m, data);
    }
    const RowBins rows = bin_rows(grids.mains, data);
    GridCounts out;
    out.mains = rows.counts;
    std::vector<std::uint32_t> cell_counts;  // reused by every pair
    for (const PairEffect& pe : grids.pairs) {
        const std::size_t ma = main_of(grids, pe.feature_a);
        const std::size_t mb = main_of(grids, pe.feature_b);
        const auto map_a = coarse_bins(grids.mains[ma].split_points, pe.split_points_a);
        const auto map_b = coarse_bins(grids.mains[mb].split_points, pe.split_points_b);
        out.pairs.push_back(pair_cell_counts(rows.bins[ma], rows.bins[mb], map_a, map_b,
                                             pe.split_points_a.size() + 2,
                                             pe.split_points_b.size() + 2, cell_counts));
    }
    return out;
}

void finish_effects(Effects& grids, const GridCounts& counts, double n_rows,
                    const FanovaOptions& options) {
    if (!(n_rows > 0.0)) throw std::invalid_argument("the data has no rows");
    if (counts.mains.size() != grids.mains.size() || counts.pairs.size() != grids.pairs.size())
        throw std::invalid_argument("the counts do not fit the effects' grids");
    for (std::size_t m = 0; m < grids.mains.size(); ++m)
        if (counts.mains[m].size() != grids.mains[m].levels.size())
            throw std::invalid_argument("the counts do not fit the effects' grids");
    for (std::size_t p = 0; p < grids.pairs.size(); ++p)
        if (counts.pairs[p].size() != grids.pairs[p].levels.size())
            throw std::invalid_argument("the counts do not fit the effects' grids");
    for (std::size_t p = 0; p < grids.pairs.size(); ++p) {
        PairEffect& pe = grids.pairs[p];
        const std::size_t ma = main_of(grids, pe.feature_a);
        const std::size_t mb = main_of(grids, pe.feature_b);
        const auto map_a = coarse_bins(grids.mains[ma].split_points, pe.split_points_a);
        const auto map_b = coarse_bins(grids.mains[mb].split_points, pe.split_points_b);
        if (options.purify)
            purify_into_mains(pe, counts.pairs[p], grids.mains[ma], grids.mains[mb], map_a, map_b,
                              options);
        pe.importance = variance(cview(pe.levels), cview(counts.pairs[p]), n_rows);
        pe.counts = counts.pairs[p];
    }

    for (std::size_t m = 0; m < grids.mains.size(); ++m) {
        MainEffect& me = grids.mains[m];
        if (options.purify)
            grids.intercept += center_levels(mview(me.levels), cview(counts.mains[m]));
        me.importance = variance(cview(me.levels), cview(counts.mains[m]), n_rows);
        me.counts = counts.mains[m];
    }
}

}  // namespace movra::core
