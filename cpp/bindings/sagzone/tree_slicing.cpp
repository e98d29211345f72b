// TreeSlicing: a shallow regression tree of the per-sample scores on the slicing features; its
// leaves are the candidate regions.
#include <cmath>

#include "bindings/common/records.hpp"
#include "bindings/sagzone/sagzone_module.hpp"
#include "bindings/sagzone/scoring.hpp"
#include "bindings/sagzone/slicers.hpp"
#include "bindings/sagzone/tree_columns.hpp"
#include "core/histogram.hpp"
#include "core/slice_search.hpp"
#include "core/tree_walk.hpp"

namespace movra::sagzone {

namespace {

constexpr const char* kDoc =
    "Tree based slicing for analyzing 1D or 2D features.\n"
    "\n"
    "A DecisionTreeRegressor of depth max_depth, with at least min_samples samples per leaf,\n"
    "is fitted on the per-sample scores over the slicing features; a leaf whose value is at or\n"
    "beyond the threshold value is a weak region. Needs an additive metric.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "estimator, slice_features, task_type, threshold, min_samples, metric\n"
    "    As for BaseSlicing.\n"
    "max_depth : int, default=2\n"
    "    The depth limit of the tree.\n"
    "\n"
    "Attributes\n"
    "----------\n"
    "tree_estimator : sklearn.tree.DecisionTreeRegressor\n"
    "weak_region : list of dict\n"
    "    Weak leaves, bounds clipped to the observed range of the slicing columns.\n"
    "rule_list : list of dict\n"
    "    One rule per leaf, left before right.\n";

template <typename T>
using TreeArray = py::array_t<T, py::array::c_style | py::array::forcecast>;

// One of tree_'s arrays as numbers (a clear error for anything else), flat.
template <typename T>
TreeArray<T> tree_array(py::handle tree, const char* name) {
    return bind::ensure_array<TreeArray<T>>(tree.attr(name), std::string("tree.") + name);
}

py::object init(const Args& a) {
    const py::object& self = a.self();
    deps().BaseSlicing.attr("__init__")(
        self, py::arg("estimator") = a["estimator"], py::arg("task_type") = a["task_type"],
        py::arg("slice_features") = a["slice_features"], py::arg("threshold") = a["threshold"],
        py::arg("min_samples") = a["min_samples"], py::arg("metric") = a["metric"]);
    if (!truthy(self.attr("is_metric_additive")))
        bind::raise(deps().MovraError, "tree slicing is incompatible with this metric.");
    self.attr("max_depth") = a["max_depth"];
    self.attr("tree_estimator") = deps().DecisionTreeRegressor(
        py::arg("max_depth") = a["max_depth"], py::arg("min_samples_leaf") = a["min_samples"]);
    return py::none();
}

core::LeafBounds leaf_bounds(py::handle rule) {
    core::LeafBounds bounds;
    for (auto item : py::reinterpret_borrow<py::dict>(rule))
        bounds.emplace_back(py::str(item.first).cast<std::string>(),
                            core::LeafBound{py::float_(item.second["lb"]).cast<double>(),
                                            py::float_(item.second["ub"]).cast<double>()});
    return bounds;
}

py::object dfs(const Args& a) {
    py::handle tree = a["tree"];
    const auto left = tree_array<std::int64_t>(tree, "children_left");
    const auto right = tree_array<std::int64_t>(tree, "children_right");
    const auto feature = tree_array<std::int64_t>(tree, "feature");
    const auto threshold = tree_array<double>(tree, "threshold");
    const auto value = tree_array<double>(tree, "value");
    const auto samples = tree_array<std::int64_t>(tree, "n_node_samples");
    const auto nodes = static_cast<std::size_t>(feature.size());
    const auto n = [](const auto& array) { return static_cast<std::size_t>(array.size()); };
    if (n(left) != nodes || n(right) != nodes || n(threshold) != nodes || n(samples) != nodes ||
        nodes == 0 || n(value) % nodes != 0)
        bind::raise(PyExc_ValueError, "tree arrays of inconsistent lengths");
    const core::FittedTreeNodes arrays{left.data(),      right.data(), feature.data(),
                                       threshold.data(), value.data(), n(value) / nodes,
                                       samples.data(),   nodes};
    const core::LeafBounds start = leaf_bounds(a["rule"]);
    const std::int64_t node = a.integer("curr_node_idx");
    std::vector<core::TreeLeaf> leaves;
    {
        // A walk over arrays we hold references to; no Python objects are touched.
        py::gil_scoped_release release;
        leaves = core::tree_leaf_rules(arrays, node, start);
    }
    py::list rules;
    for (const core::TreeLeaf& leaf : leaves) {
        py::dict splits;
        for (const auto& entry : leaf.splits)
            splits[py::str(entry.first)] = bind::bound_dict(
                deps().keys, bind::Condition::interval(py::float_(entry.second.lb),
                                                       py::float_(entry.second.ub)));
        py::dict rule;
        rule["splits"] = splits;
        rule["values"] = py::float_(leaf.value);
        rule["counts"] = py::int_(leaf.count);
        rules.append(rule);
    }
    // _dfs yields its leaves: a real generator over the rules the C++ walk found.
    return deps().yield_from(rules);
}

py::object fit(const Args& a) {
    FitColumns columns;
    tree_fit(a.self(), {a["x"], a["y"], a["preds"], a["scores"], a["sample_weight"]}, columns);
    return py::none();
}

}  // namespace

void tree_fit(py::handle self, const StrategyCall& in, FitColumns& columns) {
    self.attr("x") = in.x;
    self.attr("y") = in.y;
    self.attr("scores") = in.scores;
    const Scoring scoring = scoring_of(self);
    const bind::Vector s = bind::as_vector(in.scores, "scores");
    const auto n = static_cast<std::size_t>(s.size());
    self.attr("threshold_value") =
        threshold_value(self.attr("threshold"), scoring, s, in.sample_weight);
    const double threshold_value = py::float_(self.attr("threshold_value")).cast<double>();

    const std::vector<std::int64_t> fidx = resolve_fidx(self);
    if (fidx.empty() || fidx.size() > 2)
        bind::raise(deps().MovraError, "Only Support at most two slicing features.");
    const std::vector<FitColumns::Column> slicing = columns.get(in.x, fidx, "x");
    if (static_cast<std::size_t>(slicing[0].values.size()) != n)
        bind::raise(PyExc_ValueError, "scores has " + std::to_string(n) + " values, expected " +
                                          std::to_string(slicing[0].values.size()));
    const TreeColumns tree(self, slicing, s,
                           optional_weights(in.sample_weight, "sample_weight", n));
    py::object tree_estimator = self.attr("tree_estimator");
    tree_estimator.attr("fit")(tree.input(), tree.scores(),
                               py::arg("sample_weight") = tree.weights());

    self.attr("weak_region") = py::list();
    py::list rule_list(self.attr("_dfs")(tree_estimator.attr("tree_"), 0, py::dict()));
    tree.read_back(rule_list);
    py::list weak = tree.weak_leaves(rule_list, scoring, threshold_value);
    tree.judge_missing(rule_list, weak, scoring, threshold_value,
                       py::int_(self.attr("min_samples")).cast<std::int64_t>());
    self.attr("rule_list") = rule_list;
    self.attr("weak_region") = weak;
}

void register_tree_slicing(py::module_& m) {
    bind::ClassBuilder cls(m, "TreeSlicing", py::make_tuple(deps().BaseSlicing), kDoc);
    const bind::Param own = optional("max_depth", py::int_(2));
    cls.def("__init__", "", slicer_init_params(&own, 5), init);
    cls.def("_dfs",
            "Depth-first walk of a fitted tree structure (tree_) from node curr_node_idx with\n"
            "the bounds collected so far in rule; a generator of one leaf rule per leaf\n"
            "({\"splits\", \"values\", \"counts\"}), left subtree before right subtree.\n",
            {required("self"), required("tree"), required("curr_node_idx"), required("rule")}, dfs);
    cls.def("_fit",
            "Fit the tree on the slicing columns of x with the scores as target; leaves at or\n"
            "beyond the threshold value become weak_region, every leaf a rule in rule_list.\n",
            strategy_fit_params(), fit);
    deps().TreeSlicing = cls.finish();
}

}  // namespace movra::sagzone
