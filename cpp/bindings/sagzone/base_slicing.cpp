// BaseSlicing: the slicing and scoring configuration, and the three services every strategy
// calls per candidate slice: the rows inside a slice, its rule record and its weak verdict.
#include <cmath>

#include "bindings/common/records.hpp"
#include "bindings/sagzone/sagzone_module.hpp"
#include "bindings/sagzone/scoring.hpp"
#include "bindings/sagzone/slicers.hpp"
#include "bindings/sagzone/slicing_driver.hpp"
#include "core/region_stats.hpp"
#include "core/slice_search.hpp"

namespace movra::sagzone {

namespace {

constexpr const char* kDoc =
    "Base slice class for analyzing 1D or 2D numerical features.\n"
    "\n"
    "The threshold is defined as threshold * test set performance (for regression), and\n"
    "1 / threshold * test set performance (for classification)\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "estimator : object, default=None\n"
    "    The model under diagnosis.\n"
    "slice_features : list of str, default=None\n"
    "    One or two feature names to slice on.\n"
    "task_type : {\"regression\", \"classification\"}, default=None\n"
    "threshold : float, default=1.2\n"
    "    A slice is weak when its score is worse than threshold times the average score;\n"
    "    stored as 1 / threshold for a metric where higher is better.\n"
    "min_samples : int, default=30\n"
    "    The fewest samples a merged weak region may hold.\n"
    "metric : str, default=None\n"
    "    The scoring metric (None is \"MSE\").\n"
    "\n"
    "Attributes\n"
    "----------\n"
    "score_name, score_sign, scoring_func, needs_proba, is_metric_additive\n"
    "    The scoring configuration of `metric`.\n"
    "fidx : list of int\n"
    "    Column positions of the slicing features (set when fitted).\n"
    "threshold_value : float\n"
    "    The absolute weak-region threshold (set when fitted).\n";

py::object init(const Args& a) {
    const py::object& self = a.self();
    self.attr("estimator") = a["estimator"];
    self.attr("slice_features") = a["slice_features"];
    self.attr("task_type") = a["task_type"];
    self.attr("metric") = a["metric"];
    self.attr("min_samples") = a["min_samples"];
    py::tuple scoring = deps().get_scoring_metric(self.attr("metric"), py::arg("average") = false);
    if (py::len(scoring) != 5)
        bind::raise(deps().MovraError, "get_scoring_metric must return five values");
    self.attr("score_name") = scoring[0];
    self.attr("score_sign") = scoring[1];
    self.attr("scoring_func") = scoring[2];
    self.attr("needs_proba") = scoring[3];
    self.attr("is_metric_additive") = scoring[4];
    py::object threshold = a["threshold"];
    const auto positive = [](py::handle v) {
        const int r = PyObject_RichCompareBool(v.ptr(), py::int_(0).ptr(), Py_GT);
        if (r < 0) throw py::error_already_set();
        return r != 0;
    };
    const bool invert = positive(self.attr("score_sign")) && positive(threshold);
    if (invert) {
        PyObject* inverted = PyNumber_TrueDivide(py::int_(1).ptr(), threshold.ptr());
        if (inverted == nullptr) throw py::error_already_set();
        threshold = py::reinterpret_steal<py::object>(inverted);
    }
    self.attr("threshold") = threshold;
    return py::none();
}

// The rows inside the slice: on the first feature's values with one slicing feature, else on the
// second feature's values of rows the caller already restricted to the first feature's interval.
std::vector<std::int64_t> slice_rows(const Args& a, const bind::Vector& x) {
    const bool one = py::len(a.self().attr("fidx")) == 1;
    const core::Bound bound{a.number(one ? "lb1" : "lb2"), a.number(one ? "ub1" : "ub2"),
                            a.truth("right")};
    const core::Span<const double> values = bind::span(x);
    // A scan of a buffer we hold a reference to; no Python objects are touched.
    py::gil_scoped_release release;
    return core::rows_in_bound(values, bound);
}

py::object get_index(const Args& a) { return bind::to_numpy(slice_rows(a, a.vector("x"))); }

// The slice score: the (weighted) average of the rows' scores for an additive metric (the plain
// average when their weights sum to zero), the metric on the rows otherwise. Where a verdict is
// asked for (`judge`) and rounding could flip it, numpy's average of the rows decides.
struct SliceScore {
    double value = 0.0;
    bool weak = false;
};

SliceScore slice_score(const Args& a, std::size_t n, const std::vector<std::int64_t>& rows,
                       bool judge) {
    const Scoring scoring = scoring_of(a.self());
    const auto weights = a.optional_vector("sample_weight", n);
    SliceScore out;
    if (!scoring.additive) {
        out.value =
            call_set_score(scoring.func, a.vector("y", n), a.vector("preds", n), weights, rows);
    } else {
        const bind::Vector scores = a.vector("scores", n);
        const bind::Vector at_rows = bind::gather_array(bind::span(scores), rows);
        const auto sums = core::sums_of(bind::span(at_rows), span_or_empty(weights), rows.data());
        out.value = core::average_score(sums, weights.has_value(), core::ZeroWeights::kZeroSum);
        if (judge) {
            const double threshold_value =
                py::float_(a.self().attr("threshold_value")).cast<double>();
            const core::ScoreProfile profile =
                core::score_profile(bind::span(scores), span_or_empty(weights));
            if (core::near_tie(out.value, sums.count, threshold_value, profile))
                out.value = near_ties(scores, weights).exact_average(rows);
        }
    }
    if (judge) {
        const double threshold_value = py::float_(a.self().attr("threshold_value")).cast<double>();
        out.weak = core::is_weak(out.value, scoring.sign, threshold_value);
    }
    return out;
}

py::object get_rule_list(const Args& a) {
    const bind::Vector x = a.vector("x");
    const std::vector<std::int64_t> rows = slice_rows(a, x);
    double score = std::nan("");
    if (!rows.empty())
        score = slice_score(a, static_cast<std::size_t>(x.size()), rows, false).value;
    const bool two = py::len(a.self().attr("fidx")) != 1;
    const auto first = bind::Condition::interval(a["lb1"], a["ub1"]);
    const auto second = bind::Condition::interval(a["lb2"], a["ub2"]);
    py::list rules;
    rules.append(bind::rule_record(deps().keys, first, two ? &second : nullptr, score,
                                   static_cast<std::int64_t>(rows.size())));
    return std::move(rules);
}

py::object evaluate_slice(const Args& a) {
    const bind::Vector x = a.vector("x");
    const std::vector<std::int64_t> rows = slice_rows(a, x);
    py::list weak;
    if (rows.empty() || !slice_score(a, static_cast<std::size_t>(x.size()), rows, true).weak)
        return std::move(weak);
    const bool two = py::len(a.self().attr("fidx")) != 1;
    const auto first = bind::Condition::interval(a["lb1"], a["ub1"]);
    const auto second = bind::Condition::interval(a["lb2"], a["ub2"]);
    weak.append(bind::region_record(deps().keys, first, two ? &second : nullptr));
    return std::move(weak);
}

std::vector<bind::Param> slice_params() {
    return {required("self"),
            required("x"),
            required("y"),
            required("preds"),
            required("scores"),
            required("lb1"),
            required("ub1"),
            optional("lb2"),
            optional("ub2"),
            optional("right", py::bool_(false)),
            optional("sample_weight")};
}

}  // namespace

void register_base_slicing(py::module_& m) {
    py::tuple bases = py::make_tuple(py::module_::import("builtins").attr("object"));
    bind::ClassBuilder cls(m, "BaseSlicing", bases, kDoc);
    cls.def("__init__", "", slicer_init_params(), init);
    cls.def("get_index",
            "Positions of the samples inside a slice.\n\n"
            "With one slicing feature, lb1 <= x < ub1 (x <= ub1 when right is true); with two,\n"
            "the same on lb2, ub2 over the second feature's values of samples already inside\n"
            "the first feature's interval.\n\n"
            "Returns\n-------\nnumpy.ndarray of int\n",
            {required("self"), required("x"), required("lb1"), required("ub1"), optional("lb2"),
             optional("ub2"), optional("right", py::bool_(false))},
            get_index);
    cls.def("get_rule_list",
            "The rule record of a slice.\n\n"
            "Returns\n-------\nlist of dict\n"
            "    One record with keys \"splits\", \"values\" (the slice score, NaN when empty)\n"
            "    and \"counts\".\n",
            slice_params(), get_rule_list);
    cls.def("evaluate_slice",
            "Judge a slice: weak when its score is at or beyond threshold_value.\n\n"
            "Returns\n-------\nlist of dict\n"
            "    One weak-region record (\"lb1\", \"ub1\" and, for two features, \"lb2\",\n"
            "    \"ub2\") when the slice is weak, else empty.\n",
            slice_params(), evaluate_slice);
    cls.def("_resolve_fidx",
            "Set fidx: the column positions of slice_features in feature_names, each once, in\n"
            "the order given.\n\nReturns\n-------\nlist of int\n",
            {required("self")}, [](const Args& a) -> py::object {
                resolve_fidx(a.self());
                return a.self().attr("fidx");
            });
    add_slicing_driver(cls);
    deps().BaseSlicing = cls.finish();
}

}  // namespace movra::sagzone
