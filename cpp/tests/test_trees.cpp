#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/leaf_rules.hpp"
#include "core/trees.hpp"
#include "core/xgboost_model.hpp"

using namespace movra::core;

namespace {

// One depth-2 tree: root on f0 < 0.5 (missing right); left child on f1 < -1 (missing left);
// right child on f2 < 2.25 (missing right). Leaves 1, 2, 3, 4.
const char* kModelJson = R"({"learner": {"attributes": {}, "feature_names": [],
  "gradient_booster": {"model": {"gbtree_model_param": {"num_trees": "1"},
    "trees": [{"base_weights": [0, 0, 0, 1, 2, 3, 4], "default_left": [0, 1, 0, 0, 0, 0, 0],
      "id": 0, "left_children": [1, 3, 5, -1, -1, -1, -1],
      "right_children": [2, 4, 6, -1, -1, -1, -1],
      "split_conditions": [0.5, -1E0, 2.25, 1.0, 2.0, 3.0, 4.0],
      "split_indices": [0, 1, 2, 0, 0, 0, 0], "split_type": [0, 0, 0, 0, 0, 0, 0],
      "tree_param": {"num_nodes": "7", "size_leaf_vector": "1"}}]},
    "name": "gbtree"},
  "learner_model_param": {"base_score": "[5E-1]"}}, "version": [3, 0, 0]})";

// A small UBJSON writer, enough to encode the same model the way XGBoost does.
struct Ubj {
    std::string out;
    template <typename T>
    void raw(T v) {
        unsigned char b[sizeof(T)];
        std::memcpy(b, &v, sizeof(T));
        for (std::size_t i = 0; i < sizeof(T); ++i)
            out.push_back(static_cast<char>(b[sizeof(T) - 1 - i]));
    }
    void key(const std::string& k) {
        out.push_back('L');
        raw<std::int64_t>(static_cast<std::int64_t>(k.size()));
        out += k;
    }
    void str(const std::string& s) {
        out.push_back('S');
        key(s);
    }
    void ints(const std::vector<std::int32_t>& v) {
        out += "[$l#L";
        raw<std::int64_t>(static_cast<std::int64_t>(v.size()));
        for (auto x : v) raw(x);
    }
    void bytes(const std::vector<std::uint8_t>& v) {
        out += "[$U#L";
        raw<std::int64_t>(static_cast<std::int64_t>(v.size()));
        for (auto x : v) raw(x);
    }
    void floats(const std::vector<float>& v) {
        out += "[$d#L";
        raw<std::int64_t>(static_cast<std::int64_t>(v.size()));
        for (auto x : v) raw(x);
    }
};

std::string model_ubj(const std::string& booster_name = "gbtree") {
    Ubj u;
    u.out += "{";
    u.key("learner");
    u.out += "{";
    u.key("attributes");
    u.out += "{}";
    u.key("gradient_booster");
    u.out += "{";
    u.key("model");
    u.out += "{";
    u.key("trees");
    u.out += "[{";
    u.key("default_left");
    u.bytes({0, 1, 0, 0, 0, 0, 0});
    u.key("id");
    u.out += "L";
    u.raw<std::int64_t>(0);
    u.key("left_children");
    u.ints({1, 3, 5, -1, -1, -1, -1});
    u.key("right_children");
    u.ints({2, 4, 6, -1, -1, -1, -1});
    u.key("split_conditions");
    u.floats({0.5f, -1.0f, 2.25f, 1.0f, 2.0f, 3.0f, 4.0f});
    u.key("split_indices");
    u.ints({0, 1, 2, 0, 0, 0, 0});
    u.key("split_type");
    u.bytes({0, 0, 0, 0, 0, 0, 0});
    u.key("tree_param");
    u.out += "{";
    u.key("size_leaf_vector");
    u.str("1");
    u.out += "}}]}";
    u.key("name");
    u.str(booster_name);
    u.out += "}}";
    u.key("version");
    u.out += "[";
    u.out += "L";
    u.raw<std::int64_t>(3);
    u.out += "]}";
    return u.out;
}

void expect_model(const TreeArrays& t) {
    ASSERT_EQ(t.n_trees(), 1u);
    ASSERT_EQ(t.n_nodes(), 7u);
    EXPECT_EQ(t.left, (std::vector<std::int64_t>{1, 3, 5, -1, -1, -1, -1}));
    EXPECT_EQ(t.feature, (std::vector<std::int64_t>{0, 1, 2, -1, -1, -1, -1}));
    EXPECT_EQ(t.threshold[1], -1.0);
    EXPECT_EQ(t.threshold[2], 2.25);
    EXPECT_EQ(t.value[6], 4.0);
    EXPECT_EQ(t.default_left, (std::vector<std::uint8_t>{0, 1, 0, 0, 0, 0, 0}));
}

}  // namespace

TEST(ReadXgboostModel, JsonAndUbjsonGiveTheSameArrays) {
    expect_model(read_xgboost_json(kModelJson, std::strlen(kModelJson)));
    const std::string ubj = model_ubj();
    expect_model(read_xgboost_ubjson(ubj.data(), ubj.size()));
}

TEST(ReadXgboostModel, ThresholdsAreRoundedToFloat32) {
    std::string text = kModelJson;
    text.replace(text.find("0.5, -1E0"), 3, "0.1");
    const TreeArrays t = read_xgboost_json(text.data(), text.size());
    EXPECT_EQ(t.threshold[0], static_cast<double>(0.1f));
}

TEST(ReadXgboostModel, RejectsWhatCannotBeDecomposed) {
    std::string dart = model_ubj("dart");
    EXPECT_THROW(read_xgboost_ubjson(dart.data(), dart.size()), std::invalid_argument);
    std::string categorical = kModelJson;
    categorical.replace(categorical.find("\"split_type\": [0"), 16, "\"split_type\": [1");
    EXPECT_THROW(read_xgboost_json(categorical.data(), categorical.size()), std::invalid_argument);
    std::string truncated(kModelJson, 200);
    EXPECT_THROW(read_xgboost_json(truncated.data(), truncated.size()), std::invalid_argument);
    std::string ubj = model_ubj();
    for (std::size_t cut : {std::size_t{1}, ubj.size() / 2, ubj.size() - 1})
        EXPECT_THROW(read_xgboost_ubjson(ubj.data(), cut), std::invalid_argument);
}

TEST(LeafRules, ThreeFeatureTreeSplitsIntoTwoPairs) {
    const TreeArrays t = read_xgboost_json(kModelJson, std::strlen(kModelJson));
    const auto rules = leaf_rules(view(t), 3);
    ASSERT_EQ(rules.size(), 4u);
    const double inf = std::numeric_limits<double>::infinity();
    for (const LeafRule& r : rules) {
        ASSERT_EQ(r.n_conditions, 2);
        EXPECT_LT(r.conditions[0].feature, r.conditions[1].feature);
        if (r.value == 1.0) {  // f0 < 0.5 (not missing), f1 < -1 (missing allowed)
            EXPECT_EQ(r.conditions[0].upper, 0.5);
            EXPECT_FALSE(r.conditions[0].missing);
            EXPECT_EQ(r.conditions[1].lower, -inf);
            EXPECT_EQ(r.conditions[1].upper, -1.0);
            EXPECT_TRUE(r.conditions[1].missing);
        }
        if (r.value == 4.0) {  // f0 >= 0.5 or missing; f2 >= 2.25 or missing
            EXPECT_EQ(r.conditions[0].feature, 0);
            EXPECT_EQ(r.conditions[0].lower, 0.5);
            EXPECT_TRUE(r.conditions[0].missing);
            EXPECT_EQ(r.conditions[1].feature, 2);
            EXPECT_EQ(r.conditions[1].upper, inf);
            EXPECT_TRUE(r.conditions[1].missing);
        }
    }
}

namespace {
TreeArrays one_tree(std::vector<std::int64_t> left, std::vector<std::int64_t> right,
                    std::vector<std::int64_t> feature, std::vector<double> threshold,
                    std::vector<std::uint8_t> dflt, std::vector<double> value) {
    TreeArrays t;
    t.left = std::move(left);
    t.right = std::move(right);
    t.feature = std::move(feature);
    t.threshold = std::move(threshold);
    t.default_left = std::move(dflt);
    t.value = std::move(value);
    t.tree_offsets.push_back(static_cast<std::int64_t>(t.left.size()));
    return t;
}
}  // namespace

TEST(LeafRules, SameFeatureTwiceNarrowsOneInterval) {
    // f1 < 3 then f1 < 1: leaves [-inf,1), [1,3), [3,inf).
    const TreeArrays t = one_tree({1, 3, -1, -1, -1}, {2, 4, -1, -1, -1}, {1, 1, -1, -1, -1},
                                  {3.0, 1.0, 0, 0, 0}, {1, 0, 0, 0, 0}, {0, 0, 7.0, 5.0, 6.0});
    const auto rules = leaf_rules(view(t), 2);
    ASSERT_EQ(rules.size(), 3u);
    for (const LeafRule& r : rules) {
        ASSERT_EQ(r.n_conditions, 1);
        EXPECT_EQ(r.conditions[0].feature, 1);
        if (r.value == 6.0) {
            EXPECT_EQ(r.conditions[0].lower, 1.0);
            EXPECT_EQ(r.conditions[0].upper, 3.0);
            EXPECT_TRUE(r.conditions[0].missing);  // missing: left at the root, right below
        }
        if (r.value == 5.0) {
            EXPECT_EQ(r.conditions[0].upper, 1.0);
            EXPECT_FALSE(r.conditions[0].missing);
        }
    }
}

TEST(LeafRules, RejectsBadTrees) {
    // A child pointing back at the root.
    TreeArrays cycle =
        one_tree({1, 0, -1}, {2, 2, -1}, {0, 0, -1}, {1, 2, 0}, {0, 0, 0}, {0, 0, 1});
    EXPECT_THROW(leaf_rules(view(cycle), 1), std::invalid_argument);
    // Feature index beyond the data.
    TreeArrays wide =
        one_tree({1, -1, -1}, {2, -1, -1}, {5, -1, -1}, {1, 0, 0}, {0, 0, 0}, {0, 1, 2});
    EXPECT_THROW(leaf_rules(view(wide), 3), std::invalid_argument);
    // A path through three features (depth 3).
    TreeArrays deep =
        one_tree({1, 3, -1, 5, -1, -1, -1}, {2, 4, -1, 6, -1, -1, -1}, {0, 1, -1, 2, -1, -1, -1},
                 {0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0}, {0, 0, 1, 0, 1, 1, 1});
    EXPECT_THROW(leaf_rules(view(deep), 3), std::invalid_argument);
}

TEST(TreeMargins, Float32RoundingAndDefaultBranch) {
    const TreeArrays t = read_xgboost_json(kModelJson, std::strlen(kModelJson));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // 0.49999999 rounds to float32 0.5, which is not < 0.5: the row goes right.
    std::vector<double> x{0.49999999, 0.0, 3.0,  //
                          0.4,        nan, 0.0,  //
                          nan,        0.0, nan};
    std::vector<double> out(3);
    tree_margins(view(t), 0.25, {x.data(), x.size()}, 3, {out.data(), out.size()});
    EXPECT_EQ(out[0], 4.25);
    EXPECT_EQ(out[1], 1.25);
    EXPECT_EQ(out[2], 4.25);
}

TEST(ReadXgboostModel, CategoricalSplitsKeepTheirSetsAndSendThemRight) {
    // The root of kModelJson split on the categories {3, 1} of f0, written as XGBoost 1.7 writes
    // it (a NaN condition); 3.x writes a tiny number instead.
    std::string text = kModelJson;
    text.replace(text.find("\"split_type\": [0"), 16, "\"split_type\": [1");
    text.replace(text.find("[0.5, -1E0"), 5, "[NaN,");
    text.replace(text.find("\"id\": 0,"), 8,
                 "\"id\": 0, \"categories\": [3, 1], \"categories_nodes\": [0], "
                 "\"categories_segments\": [0], \"categories_sizes\": [2],");
    const TreeArrays t = read_xgboost_json(text.data(), text.size());
    EXPECT_EQ(t.categorical[0], 1);
    EXPECT_EQ(t.categories, (std::vector<std::int64_t>{1, 3}));
    const TreeView v = view(t);
    for (int code = -1; code < 6; ++code)
        EXPECT_EQ(v.goes_left(0, code), code != 1 && code != 3) << code;
    const std::vector<std::int64_t> k{5, 0, 0};
    const auto rules = leaf_rules(v, 3, {k.data(), 3});
    for (const LeafRule& r : rules) {
        const std::vector<std::uint8_t> right{0, 1, 0, 1, 0};
        const std::vector<std::uint8_t> left{1, 0, 1, 0, 1};
        EXPECT_EQ(r.conditions[0].allowed, r.conditions[1].feature == 1 ? left : right);
    }
    EXPECT_THROW(leaf_rules(v, 3), std::invalid_argument);  // f0 is not declared categorical
}
