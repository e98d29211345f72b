#include "core/xgboost_model.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/json_cursor.hpp"
#include "core/ubjson_cursor.hpp"

namespace movra::core {

namespace {

// The model's numbers are float32 printed in shortest round-trip form: rounding the parsed
// double to float32 gives back the model's exact value.
double as_float32(double v) { return static_cast<double>(static_cast<float>(v)); }

// A tree's arrays as the model stores them; categorical splits keep their sets in four arrays:
// categories_nodes[k] holds categories[categories_segments[k] ..][:categories_sizes[k]].
struct RawTree {
    std::vector<std::int64_t> left, right, feature;
    std::vector<double> condition;
    std::vector<std::uint8_t> default_left;
    std::vector<int> split_type;
    std::vector<std::int64_t> categories, category_nodes, category_segments, category_sizes;
    bool vector_leaf = false;
};

template <typename Cursor>
RawTree read_raw_tree(Cursor& in) {
    RawTree t;
    in.read_object([&](const std::string& key) {
        if (key == "left_children") {
            t.left = in.template read_numbers<std::int64_t>();
        } else if (key == "right_children") {
            t.right = in.template read_numbers<std::int64_t>();
        } else if (key == "split_indices") {
            t.feature = in.template read_numbers<std::int64_t>();
        } else if (key == "split_conditions") {
            t.condition = in.template read_numbers<double>();
        } else if (key == "default_left") {
            t.default_left = in.template read_numbers<std::uint8_t>();
        } else if (key == "split_type") {
            t.split_type = in.template read_numbers<int>();
        } else if (key == "categories") {
            t.categories = in.template read_numbers<std::int64_t>();
        } else if (key == "categories_nodes") {
            t.category_nodes = in.template read_numbers<std::int64_t>();
        } else if (key == "categories_segments") {
            t.category_segments = in.template read_numbers<std::int64_t>();
        } else if (key == "categories_sizes") {
            t.category_sizes = in.template read_numbers<std::int64_t>();
        } else if (key == "tree_param") {
            in.read_object([&](const std::string& k) {
                if (k == "size_leaf_vector") {
                    t.vector_leaf = in.read_number() > 1.0;
                } else {
                    in.skip_value();
                }
            });
        } else {
            in.skip_value();
        }
    });
    return t;
}

// Each node's set of categories (empty for a numerical split), sorted.
template <typename Cursor>
std::vector<std::vector<std::int64_t>> category_sets(const Cursor& in, const RawTree& t) {
    const std::size_t n = t.left.size();
    std::vector<std::vector<std::int64_t>> sets(n);
    const std::size_t m = t.category_nodes.size();
    if (t.category_segments.size() != m || t.category_sizes.size() != m)
        in.fail("a tree's category arrays are of unequal lengths");
    for (std::size_t k = 0; k < m; ++k) {
        const std::int64_t node = t.category_nodes[k], first = t.category_segments[k],
                           size = t.category_sizes[k];
        if (node < 0 || static_cast<std::size_t>(node) >= n || first < 0 || size < 0 ||
            static_cast<std::size_t>(first + size) > t.categories.size())
            in.fail("a tree's category set is out of range");
        auto& set = sets[static_cast<std::size_t>(node)];
        set.assign(t.categories.begin() + first, t.categories.begin() + first + size);
        std::sort(set.begin(), set.end());
        set.erase(std::unique(set.begin(), set.end()), set.end());
        if (!set.empty() && set.front() < 0) in.fail("a tree has a negative category");
    }
    return sets;
}

template <typename Cursor>
void read_tree(Cursor& in, TreeArrays& out) {
    const RawTree t = read_raw_tree(in);
    if (t.vector_leaf) in.fail("trees with vector leaves are not supported");
    const std::size_t n = t.left.size();
    if (n == 0 || t.right.size() != n || t.feature.size() != n || t.condition.size() != n ||
        t.default_left.size() != n || (!t.split_type.empty() && t.split_type.size() != n))
        in.fail("a tree's node arrays are missing or of unequal lengths");
    const auto sets = category_sets(in, t);
    for (std::size_t i = 0; i < n; ++i) {
        out.left.push_back(t.left[i]);
        out.right.push_back(t.right[i]);
        const bool leaf = t.left[i] < 0;
        const bool categorical = !leaf && !t.split_type.empty() && t.split_type[i] != 0;
        if (categorical && sets[i].empty()) in.fail("a categorical split has no categories");
        out.feature.push_back(leaf ? -1 : t.feature[i]);
        // A categorical split's condition is no threshold (1.7 writes NaN, 3.x a tiny number).
        out.threshold.push_back(leaf || categorical ? 0.0 : as_float32(t.condition[i]));
        out.value.push_back(leaf ? as_float32(t.condition[i]) : 0.0);
        out.default_left.push_back(t.default_left[i] != 0 ? 1 : 0);
        out.categorical.push_back(categorical ? 1 : 0);
        if (categorical)
            out.categories.insert(out.categories.end(), sets[i].begin(), sets[i].end());
        out.category_offsets.push_back(static_cast<std::int64_t>(out.categories.size()));
    }
    out.tree_offsets.push_back(static_cast<std::int64_t>(out.left.size()));
}

template <typename Cursor>
void read_gradient_booster(Cursor& in, TreeArrays& out) {
    std::string name;
    bool has_trees = false;
    in.read_object([&](const std::string& key) {
        if (key == "name") {
            name = in.read_string();
        } else if (key == "model") {
            in.read_object([&](const std::string& k) {
                if (k == "trees") {
                    has_trees = true;
                    in.read_array([&] { read_tree(in, out); });
                } else {
                    in.skip_value();
                }
            });
        } else {
            in.skip_value();
        }
    });
    if (name != "gbtree") in.fail("only gbtree boosters are supported, got '" + name + "'");
    if (!has_trees) in.fail("no trees in the model");
}

template <typename Cursor>
TreeArrays read_model(Cursor& in) {
    TreeArrays out;
    bool found = false;
    in.read_object([&](const std::string& key) {
        if (key != "learner") {
            in.skip_value();
            return;
        }
        in.read_object([&](const std::string& k) {
            if (k == "gradient_booster") {
                found = true;
                read_gradient_booster(in, out);
            } else {
                in.skip_value();
            }
        });
    });
    if (!in.at_end()) in.fail("data after the model");
    if (!found) in.fail("no learner.gradient_booster object");
    return out;
}

}  // namespace

TreeArrays read_xgboost_json(const char* text, std::size_t length) {
    JsonCursor in(text, length);
    return read_model(in);
}

TreeArrays read_xgboost_ubjson(const char* data, std::size_t length) {
    UbjCursor in(data, length);
    return read_model(in);
}

}  // namespace movra::core
