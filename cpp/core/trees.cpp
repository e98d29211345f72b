#include "core/trees.hpp"

#include <cmath>

namespace movra::core {

TreeView view(const TreeArrays& t) {
    return TreeView{{t.tree_offsets.data(), t.tree_offsets.size()},
                    {t.left.data(), t.left.size()},
                    {t.right.data(), t.right.size()},
                    {t.feature.data(), t.feature.size()},
                    {t.threshold.data(), t.threshold.size()},
                    {t.default_left.data(), t.default_left.size()},
                    {t.value.data(), t.value.size()}};
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
                bool go_left;
                if (std::isnan(v)) {
                    go_left = trees.default_left[i] != 0;
                } else {
                    go_left = static_cast<double>(static_cast<float>(v)) < trees.threshold[i];
                }
                i = first + static_cast<std::size_t>(go_left ? trees.left[i] : trees.right[i]);
            }
            sum += trees.value[i];
        }
        out[r] = sum;
    }
}

}  // namespace movra::core
