#include "core/xgboost_model.hpp"

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

template <typename Cursor>
void read_tree(Cursor& in, TreeArrays& out) {
    std::vector<std::int64_t> left, right, feature;
    std::vector<double> condition;
    std::vector<std::uint8_t> default_left;
    bool categorical = false;
    bool vector_leaf = false;
    in.read_object([&](const std::string& key) {
        if (key == "left_children") {
            left = in.template read_numbers<std::int64_t>();
        } else if (key == "right_children") {
            right = in.template read_numbers<std::int64_t>();
        } else if (key == "split_indices") {
            feature = in.template read_numbers<std::int64_t>();
        } else if (key == "split_conditions") {
            condition = in.template read_numbers<double>();
        } else if (key == "default_left") {
            default_left = in.template read_numbers<std::uint8_t>();
        } else if (key == "split_type") {
            for (auto t : in.template read_numbers<int>()) categorical = categorical || t != 0;
        } else if (key == "tree_param") {
            in.read_object([&](const std::string& k) {
                if (k == "size_leaf_vector") {
                    vector_leaf = in.read_number() > 1.0;
                } else {
                    in.skip_value();
                }
            });
        } else {
            in.skip_value();
        }
    });
    if (categorical) in.fail("categorical splits are not supported");
    if (vector_leaf) in.fail("trees with vector leaves are not supported");
    const std::size_t n = left.size();
    if (n == 0 || right.size() != n || feature.size() != n || condition.size() != n ||
        default_left.size() != n)
        in.fail("a tree's node arrays are missing or of unequal lengths");
    for (std::size_t i = 0; i < n; ++i) {
        out.left.push_back(left[i]);
        out.right.push_back(right[i]);
        const bool leaf = left[i] < 0;
        out.feature.push_back(leaf ? -1 : feature[i]);
        out.threshold.push_back(leaf ? 0.0 : as_float32(condition[i]));
        out.value.push_back(leaf ? as_float32(condition[i]) : 0.0);
        out.default_left.push_back(default_left[i] != 0 ? 1 : 0);
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
