// TreeSlicing: a shallow regression tree of the per-sample scores on the slicing features; its
// leaves are the candidate regions.
#include <cmath>

#include <pybind11/eval.h>

#include "bindings/sagzone/slicing_common.hpp"
#include "core/histogram.hpp"
#include "core/slice_search.hpp"
#include "core/tree_walk.hpp"

namespace movra::sagzone {

namespace {

using bind::Args;
using bind::optional;
using bind::required;

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

// Yields the items of a list: _dfs hands out a real generator over the leaves the C++ walk found.
py::object& generator_factory() {
    static py::object* factory = nullptr;
    if (factory == nullptr) {
        py::dict scope;
        py::exec("def leaf_rules(rules):\n    yield from rules\n", scope);
        factory = new py::object(scope["leaf_rules"]);
    }
    return *factory;
}

template <typename T>
py::array_t<T, py::array::c_style | py::array::forcecast> tree_array(py::handle tree,
                                                                    const char* name) {
    return py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(tree.attr(name));
}

py::object init(const Args& a) {
    py::object self = a[std::size_t{0}];
    base_slicing_class().attr("__init__")(
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

py::object dfs(const Args& a) {
    py::handle tree = a["tree"];
    const auto left = tree_array<std::int64_t>(tree, "children_left");
    const auto right = tree_array<std::int64_t>(tree, "children_right");
    const auto feature = tree_array<std::int64_t>(tree, "feature");
    const auto threshold = tree_array<double>(tree, "threshold");
    const auto value = tree_array<double>(tree, "value");
    const auto samples = tree_array<std::int64_t>(tree, "n_node_samples");
    const auto nodes = static_cast<std::size_t>(feature.size());
    if (static_cast<std::size_t>(left.size()) != nodes || static_cast<std::size_t>(right.size()) != nodes ||
        static_cast<std::size_t>(threshold.size()) != nodes || static_cast<std::size_t>(samples.size()) != nodes ||
        nodes == 0 || static_cast<std::size_t>(value.size()) % nodes != 0)
        bind::raise(PyExc_ValueError, "tree arrays of inconsistent lengths");
    core::FittedTreeNodes arrays{left.data(),      right.data(), feature.data(), threshold.data(),
                            value.data(),     static_cast<std::size_t>(value.size()) / nodes,
                            samples.data(),   nodes};
    core::LeafBounds start;
    for (auto item : py::reinterpret_borrow<py::dict>(a["rule"])) {
        py::handle bounds = item.second;
        start.emplace_back(py::str(item.first).cast<std::string>(),
                           core::LeafBound{py::float_(bounds["lb"]).cast<double>(),
                                           py::float_(bounds["ub"]).cast<double>()});
    }
    const auto node = py::int_(a["curr_node_idx"]).cast<std::int64_t>();
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
            splits[py::str(entry.first)] =
                bound_dict(py::float_(entry.second.lb), py::float_(entry.second.ub));
        py::dict rule;
        rule["splits"] = splits;
        rule["values"] = py::float_(leaf.value);
        rule["counts"] = py::int_(leaf.count);
        rules.append(rule);
    }
    return generator_factory()(rules);
}

py::object fit(const Args& a) {
    py::object self = a[std::size_t{0}];
    py::object x = a["x"], scores = a["scores"], sample_weight = a["sample_weight"];
    self.attr("x") = x;
    self.attr("y") = a["y"];
    self.attr("scores") = scores;
    const Scoring scoring = scoring_of(self);
    const bind::Vector s = bind::as_vector(scores, "scores");
    const auto n = static_cast<std::size_t>(s.size());
    const auto weights = optional_weights(sample_weight, "sample_weight", n);
    const double threshold_value =
        py::float_(self.attr("threshold")).cast<double>() * overall_average(s, weights);
    self.attr("threshold_value") = py::float_(threshold_value);

    const std::vector<std::int64_t> fidx = resolve_fidx(self);
    if (fidx.empty() || fidx.size() > 2)
        bind::raise(deps().MovraError, "Only Support at most two slicing features.");
    const bind::Vector matrix = bind::as_matrix(x, "x");
    if (static_cast<std::size_t>(matrix.shape(0)) != n)
        bind::raise(PyExc_ValueError, "scores has " + std::to_string(n) + " values, expected " +
                                          std::to_string(matrix.shape(0)));
    const py::array_t<double> columns = select_columns(matrix, fidx, "x");
    py::object tree_estimator = self.attr("tree_estimator");
    tree_estimator.attr("fit")(columns, s, py::arg("sample_weight") = sample_weight);

    // The observed range of each slicing column clips the leaves' open sides.
    std::vector<core::ValueRange> ranges;
    for (std::size_t k = 0; k < fidx.size(); ++k) {
        const bind::Vector column = column_of(bind::as_matrix(columns, "x"), static_cast<std::int64_t>(k), "x");
        ranges.push_back(core::value_range(bind::span(column)));
    }
    self.attr("weak_region") = py::list();
    py::list rule_list = py::list(self.attr("_dfs")(tree_estimator.attr("tree_"), 0, py::dict()));
    self.attr("rule_list") = rule_list;
    py::list weak_region;
    for (py::handle rule : rule_list) {
        const double value = py::float_(rule["values"]).cast<double>();
        if (!core::is_weak(value, scoring.sign, threshold_value)) continue;
        core::LeafBounds splits;
        for (auto item : py::reinterpret_borrow<py::dict>(rule["splits"]))
            splits.emplace_back(py::str(item.first).cast<std::string>(),
                                core::LeafBound{py::float_(item.second["lb"]).cast<double>(),
                                                py::float_(item.second["ub"]).cast<double>()});
        py::dict region;
        for (std::size_t k = 0; k < fidx.size(); ++k) {
            const core::LeafBound b =
                core::clipped_leaf_bound(splits, k, ranges[k].min, ranges[k].max);
            region[py::str("lb" + std::to_string(k + 1))] = py::float_(b.lb);
            region[py::str("ub" + std::to_string(k + 1))] = py::float_(b.ub);
        }
        weak_region.append(region);
    }
    self.attr("weak_region") = weak_region;
    return py::none();
}

}  // namespace

void register_tree_slicing(py::module_& m) {
    bind::ClassBuilder cls(m, "TreeSlicing", py::make_tuple(base_slicing_class()), kDoc);
    cls.def("__init__", "",
            {required("self"), optional("estimator"), optional("slice_features"),
             optional("task_type"), optional("threshold", py::float_(1.2)),
             optional("max_depth", py::int_(2)), optional("min_samples", py::int_(30)),
             optional("metric")},
            init);
    cls.def("_dfs",
            "Depth-first walk of a fitted tree structure (tree_) from node curr_node_idx with\n"
            "the bounds collected so far in rule; a generator of one leaf rule per leaf\n"
            "({\"splits\", \"values\", \"counts\"}), left subtree before right subtree.\n",
            {required("self"), required("tree"), required("curr_node_idx"), required("rule")},
            dfs);
    cls.def("_fit",
            "Fit the tree on the slicing columns of x with the scores as target; leaves at or\n"
            "beyond the threshold value become weak_region, every leaf a rule in rule_list.\n",
            {required("self"), required("x"), required("y"), required("preds"),
             required("scores"), optional("sample_weight")},
            fit);
    cls.finish();
}

}  // namespace movra::sagzone
