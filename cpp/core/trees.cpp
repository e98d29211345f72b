#include "core/trees.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace movra::core {

TreeView view(const TreeArrays& t) {
    return TreeView{{t.tree_offsets.data(), t.tree_offsets.size()},
                    {t.left.data(), t.left.size()},
                    {t.right.data(), t.right.size()},
                    {t.feature.data(), t.feature.size()},
                    {t.threshold.data(), t.threshold.size()},
                    {t.default_left.data(), t.default_left.size()},
                    {t.value.data(), t.value.size()},
                    {t.categorical.data(), t.categorical.size()},
                    {t.category_offsets.data(), t.category_offsets.size()},
                    {t.categories.data(), t.categories.size()}};
}

bool TreeView::in_category_set(std::size_t node, std::int64_t code) const {
    const std::int64_t* first = categories.data + category_offsets[node];
    const std::int64_t* last = categories.data + category_offsets[node + 1];
    return std::binary_search(first, last, code);
}

bool TreeView::goes_left(std::size_t node, double x) const {
    if (!splits_on_categories(node))
        return static_cast<double>(static_cast<float>(x)) < threshold[node];
    // XGBoost truncates the value to its category; below zero or past int32 there is none.
    if (!(x >= 0.0 && x < 2147483648.0)) return true;
    return !in_category_set(node, static_cast<std::int64_t>(static_cast<float>(x)));
}

void check_category_sets(const TreeView& t) {
    if (t.categorical.size == 0 && t.category_offsets.size <= 1 && t.categories.size == 0) return;
    const std::size_t n = t.left.size;
    if (t.categorical.size != n || t.category_offsets.size != n + 1 || t.category_offsets[0] != 0 ||
        t.category_offsets[n] != static_cast<std::int64_t>(t.categories.size))
        throw std::invalid_argument("the category sets do not fit the nodes");
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t first = t.category_offsets[i], last = t.category_offsets[i + 1];
        if (first > last) throw std::invalid_argument("the category offsets must not decrease");
        for (std::int64_t k = first; k < last; ++k)
            if (t.categories[static_cast<std::size_t>(k)] < 0 ||
                (k > first && !(t.categories[static_cast<std::size_t>(k - 1)] <
                                t.categories[static_cast<std::size_t>(k)])))
                throw std::invalid_argument(
                    "a node's categories must be ascending non-negative codes");
    }
}

std::vector<std::int64_t> categories_in_splits(const TreeView& trees, std::size_t n_features) {
    std::vector<std::int64_t> out(n_features, 0);
    for (std::size_t i = 0; i < trees.left.size; ++i) {
        const std::int64_t f = trees.feature[i];
        if (trees.left[i] < 0 || !trees.splits_on_categories(i) || f < 0 ||
            static_cast<std::size_t>(f) >= n_features)
            continue;
        const std::int64_t last = trees.category_offsets[i + 1];
        if (last > trees.category_offsets[i]) {
            auto& k = out[static_cast<std::size_t>(f)];
            k = std::max(k, trees.categories[static_cast<std::size_t>(last - 1)] + 1);
        }
    }
    return out;
}

void tree_margins(const TreeView& trees, double base_margin, Span<const double> x,
                  std::size_t n_columns, Span<double> out) {
    const std::size_t n_trees = trees.tree_offsets.size - 1;
    for (std::size_t r = 0; r < out.size; ++r) {
        const double* row = x.data + r * n_columns;
        double sum = base_margin;
        for (std::size_t t = 0; t < n_trees; ++t) {
            const auto first = static_cast<std::size_t>(trees.tree_offsets[t]);
            std::size_t i = first;
            // Depth is bounded by the node count, so the walk ends even on a malformed tree.
            for (std::size_t steps = 0; trees.left[i] >= 0 && steps < trees.left.size; ++steps) {
                const double v = row[trees.feature[i]];
                const bool go_left =
                    std::isnan(v) ? trees.default_left[i] != 0 : trees.goes_left(i, v);
                i = first + static_cast<std::size_t>(go_left ? trees.left[i] : trees.right[i]);
            }
            sum += trees.value[i];
        }
        out[r] = sum;
    }
}

}  // namespace movra::core
