// SagZoneScan: SagZone's weak-region search on every feature and every pair of a data set, each
// region ranked by how much of the split's error it makes and tested on the rows the search did
// not use.
#include <algorithm>
#include <cmath>

#include "bindings/sagzone/display.hpp"
#include "bindings/sagzone/scan_search.hpp"
#include "bindings/sagzone/scan_table.hpp"
#include "core/columns.hpp"
#include "core/region_stats.hpp"

namespace movra::sagzone {

namespace {

constexpr const char* kDoc = R"(Scan every feature and every pair for weak regions.

SagZone's search (equal-width bins or a shallow tree on the per-sample scores) runs on every
scanned feature and pair, sharing the split, the scores and each feature's columns. Each weak
region is ranked by its severity and tested on the rows the search did not use (the test rows,
or the training rows when ``use_test`` is true), so that a region that only looks bad on the
rows it was chosen on is not reported as significant.

Parameters
----------
estimator : object
    The model to diagnose.
task_type : {"regression", "classification"}, default=None
    The task; None infers it from the estimator.
threshold : float, default=1.2
    A region is weak when its score is worse than threshold times the average.
method : {"histogram", "tree"}, default="histogram"
bins : int, default=10
max_depth : int, default=2
min_samples : int, default=20
metric : str, default=None
use_test : bool, default=False
    Search the test rows instead of the training rows.
random_state : int, default=0
features : list of str, default=None
    The features to scan; None scans all.
pairs : {True, False, "auto"}, default="auto"
    Also search pairs of features: "auto" scans every pair of at most 30 features, else every
    pair among the 20 features whose own weakest region is most severe.
alpha : float, default=0.05
    The false discovery rate at which regions are marked significant (Benjamini-Hochberg over
    every region the scan found).

Attributes
----------
results_ : pandas.DataFrame
    One row per finding, most severe first: the reported regions of one feature, or of one pair
    that adds an interaction to its two features. A region is reported when weak on the
    held-out rows too (a positive severity), one of overlapping regions of the same features.
    For a metric of per-sample scores, a pair is reported when one of its regions is weak on
    the held-out rows (p <= alpha), its regions' severities sum to more than either feature's,
    and its regions are weaker on the held-out rows than each region's conditions alone explain
    (the rows of neither condition plus each condition's effect over them; tested on its four
    most severe regions and at most 65536 held-out rows), at the false discovery rate alpha
    among the pairs; for another metric, when its regions' severities sum to more than 1.1
    times either feature's. A pair's region whose one
    condition keeps 95% or more of the other's rows on the searched split is that one feature's
    region and is not reported. Each row holds the finding's most severe region: the feature(s)
    and bounds, the row counts, the metric inside on both splits and overall, "Gap" (test minus
    training), "severity" (the region's share of the held-out split's error that it adds beyond
    the split's average: sum of w * (s - mean) over the region / (W * |mean|), positive when
    worse), "p_value" (one-sided: the region's average worse than threshold times the split's,
    on the held-out rows), "q_value" and "significant"; then "n_regions", "finding_severity"
    (the sum of its regions' severities, by which the findings are ranked) and "interaction_p"
    (a pair's interaction test; NaN for a feature). ``regions_[regions_.finding == i]`` are the
    regions of row i.
regions_ : pandas.DataFrame
    Every region the searches found, with the same columns, "reported" and "finding" (the row
    of ``results_`` of a reported region's finding, -1 for none).
scanned_features_ : list of str
scanned_pairs_ : list of tuple of str
severity_matrix_ : pandas.DataFrame
    Over the scanned features: the worst severity among the reported regions of each feature
    (diagonal) and pair (NaN where none is reported), as ``plot`` draws it.
significant_matrix_ : pandas.DataFrame
    Whether the region behind each cell of ``severity_matrix_`` is significant.
)";

py::object init(const Args& a) {
    const py::object& self = a.self();
    deps().BaseDiagnoser.attr("__init__")(self, a["estimator"], a["task_type"], a["random_state"]);
    for (const char* name : {"threshold", "method", "bins", "max_depth", "min_samples", "metric",
                             "use_test", "random_state", "features", "pairs", "alpha"})
        self.attr(name) = a[name];
    return py::none();
}

// The scanned columns: every feature, or the names given.
std::vector<std::int64_t> scanned_columns(py::handle self, const std::vector<std::string>& names) {
    std::vector<std::int64_t> cols;
    const py::object features = self.attr("features");
    if (features.is_none()) {
        for (std::size_t i = 0; i < names.size(); ++i) cols.push_back(static_cast<std::int64_t>(i));
        return cols;
    }
    for (py::handle f : features) {
        const std::string name = py::str(f).cast<std::string>();
        const auto it = std::find(names.begin(), names.end(), name);
        if (it == names.end())
            bind::raise(deps().MovraError, "feature " + py::repr(f).cast<std::string>() +
                                               " is not one of the feature names.");
        const auto c = static_cast<std::int64_t>(it - names.begin());
        if (std::find(cols.begin(), cols.end(), c) == cols.end()) cols.push_back(c);
    }
    if (cols.empty()) bind::raise(deps().MovraError, "features names no feature to scan.");
    return cols;
}

void check_settings(py::handle self) {
    const py::object method = self.attr("method");
    if (!method.equal(py::str("histogram")) && !method.equal(py::str("tree")))
        bind::raise(deps().MovraError, "sagzone method should be either histogram or tree.");
    const py::object pairs = self.attr("pairs");
    if (!(pairs.is(py::bool_(true)) || pairs.is(py::bool_(false)) || pairs.equal(py::str("auto"))))
        bind::raise(deps().MovraError, "pairs should be True, False or \"auto\".");
    const double alpha = py::float_(self.attr("alpha")).cast<double>();
    if (!(alpha > 0.0 && alpha < 1.0))
        bind::raise(deps().MovraError, "alpha should lie strictly between 0 and 1.");
}

py::object take(py::handle values, py::handle rows) {
    if (values.is_none()) return py::none();
    return values.attr("__getitem__")(rows);
}

ScanSplitData split_data(py::handle self, const char* idx_name, py::handle pred, bool copy_rows) {
    ScanSplitData s;
    const py::object idx = self.attr(idx_name);
    s.positions =
        bind::as_positions(idx, idx_name, static_cast<std::size_t>(py::len(self.attr("y"))));
    s.x = copy_rows ? take(self.attr("coded_x"), idx) : py::object(py::none());
    s.y = deps().np.attr("ravel")(take(self.attr("y"), idx));
    s.pred = take(pred, idx);
    s.weights = take(self.attr("sample_weight"), idx);
    s.scores = py::none();
    return s;
}

// Whether a scanned column may have regions of sets (it is categorical, or misses values on a
// split). An infinite value is refused: its bins would have no width.
bool check_scanned_columns(const ScanContext& ctx, const std::vector<std::int64_t>& cols) {
    std::vector<std::size_t> columns(cols.begin(), cols.end());
    std::vector<bool> missing(cols.size(), false), infinite(cols.size(), false);
    const core::RowMajor x{ctx.matrix.data(), static_cast<std::size_t>(ctx.matrix.shape(0)),
                           static_cast<std::size_t>(ctx.matrix.shape(1))};
    for (const ScanSplitData* s : {&ctx.train, &ctx.test}) {
        const core::Span<const std::int64_t> rows = bind::span(s->positions);
        std::vector<bool> non_finite, inf;
        std::vector<std::size_t> suspects;  // columns to search for an infinite value
        {
            // Reads the data set in place; no Python objects are touched.
            py::gil_scoped_release release;
            non_finite = core::non_finite_columns(x, rows, {columns.data(), columns.size()});
            for (std::size_t k = 0; k < cols.size(); ++k)
                if (non_finite[k]) suspects.push_back(columns[k]);
            if (!suspects.empty())
                inf = core::infinite_columns(x, rows, {suspects.data(), suspects.size()});
        }
        for (std::size_t k = 0, j = 0; k < cols.size(); ++k) {
            missing[k] = missing[k] || non_finite[k];
            infinite[k] = infinite[k] || (non_finite[k] && inf[j++]);
        }
    }
    bool sets = false;
    for (std::size_t k = 0; k < cols.size(); ++k) {
        if (infinite[k])
            bind::raise(deps().MovraError,
                        "feature '" + ctx.names[static_cast<std::size_t>(cols[k])] +
                            "' holds infinite values; leave it out with features=.");
        sets = sets || missing[k] ||
               ctx.kinds[static_cast<std::size_t>(cols[k])] == core::FeatureKind::kCategorical;
    }
    return sets;
}

// The split, the predictions, the scores: everything the searches share. The histogram scan of an
// additive metric reads the data set in place; the other searches read copies of the splits.
void prepare(ScanContext& ctx, py::handle self, const std::vector<std::int64_t>& cols,
             bool in_place) {
    const py::object probe = make_probe(self);
    ctx.owner = py::reinterpret_borrow<py::object>(self);
    ctx.feature_names = self.attr("feature_names");
    for (py::handle n : ctx.feature_names) ctx.names.push_back(py::str(n).cast<std::string>());
    ctx.use_test = truthy(self.attr("use_test"));
    ctx.score_name = py::str(probe.attr("score_name")).cast<std::string>();
    ctx.score_sign = py::float_(probe.attr("score_sign")).cast<double>();
    ctx.threshold = probe.attr("threshold");
    ctx.scoring_func = probe.attr("scoring_func");
    ctx.weighted = !self.attr("sample_weight").is_none();
    const py::object pred =
        truthy(probe.attr("needs_proba")) ? self.attr("pred_proba") : self.attr("pred");
    if (pred.is_none())
        bind::raise(deps().MovraError,
                    "the metric needs predicted probabilities: pass prediction_proba.");
    // The searches read the coded matrix: numbers and category codes, NaN where missing.
    ctx.matrix = bind::as_matrix(self.attr("coded_x"), "coded_x");
    ctx.train = split_data(self, "train_idx", pred, false);
    ctx.test = split_data(self, "test_idx", pred, false);
    if (static_cast<std::size_t>((ctx.use_test ? ctx.test : ctx.train).positions.size()) == 0)
        bind::raise(deps().MovraError, ctx.use_test
                                           ? "The test split has no rows (test_idx selects none)."
                                           : "The training split has no rows (train_idx selects "
                                             "none).");
    for (py::handle t : self.attr("feature_types"))
        ctx.kinds.push_back(py::str(t).cast<std::string>() == "categorical"
                                ? core::FeatureKind::kCategorical
                                : core::FeatureKind::kNumerical);
    ctx.has_sets = check_scanned_columns(ctx, cols);
    ctx.in_place = in_place;
    if (!in_place)
        for (ScanSplitData* s : {&ctx.train, &ctx.test})
            s->x =
                take(self.attr("coded_x"), self.attr(s == &ctx.train ? "train_idx" : "test_idx"));
    if (!ctx.additive) return;
    for (ScanSplitData* s : {&ctx.train, &ctx.test}) {
        s->scores = ctx.scoring_func(s->y, s->pred);
        if (in_place) s->y = s->pred = py::none();  // the in-place scan reads the scores only
    }
}

// The pairs setting, one of True, False and "auto" (check_settings saw to it).
core::PairChoice pair_choice(py::handle self) {
    const py::object pairs = self.attr("pairs");
    if (pairs.is(py::bool_(false))) return core::PairChoice::kNone;
    return pairs.is(py::bool_(true)) ? core::PairChoice::kAll : core::PairChoice::kAuto;
}

// Every region of every scanned feature, then of every pair the scan searches: read in place by
// the histogram scan of an additive metric, else found by the slicers.
void search_all(ScanContext& ctx, py::handle self, const std::vector<std::int64_t>& cols,
                std::vector<std::pair<std::int64_t, std::int64_t>>& pairs,
                core::ScanFindings& findings) {
    const core::PairChoice choice = pair_choice(self);
    const auto add_all = [&](std::vector<core::FoundRegion> found) {
        for (core::FoundRegion& r : found) findings.add(std::move(r));
    };
    if (!ctx.in_place) {
        for (std::int64_t c : cols) add_all(search_features(ctx, {c}));
        pairs = core::pairs_to_scan(cols, choice, findings);
        for (const auto& p : pairs) add_all(search_features(ctx, {p.first, p.second}));
        return;
    }
    // Which pairs "auto" takes from many features depends on the features' own regions.
    if (!core::pairs_follow_features(choice, cols.size())) {
        pairs = core::pairs_to_scan(cols, choice, findings);
        add_all(scan_histograms(ctx, cols, pairs));
        return;
    }
    add_all(scan_histograms(ctx, cols, {}));
    pairs = core::pairs_to_scan(cols, choice, findings);
    if (!pairs.empty()) add_all(scan_histograms(ctx, {}, pairs));
}

py::object fit(const Args& a) {
    const py::object& self = a.self();
    deps().BaseDiagnoser.attr("fit")(
        self, a["x"], a["y"], a["train_idx"], a["test_idx"], a["prediction"], a["prediction_proba"],
        a["sample_weight"], a["feature_names"], a["feature_types"], py::none(), py::none());
    check_settings(self);
    std::vector<std::string> names;
    for (py::handle n : self.attr("feature_names")) names.push_back(py::str(n).cast<std::string>());
    const std::vector<std::int64_t> cols = scanned_columns(self, names);
    ScanContext ctx;
    ctx.additive = truthy(make_probe(self).attr("is_metric_additive"));
    const bool in_place =
        ctx.additive && py::object(self.attr("method")).equal(py::str("histogram"));
    prepare(ctx, self, cols, in_place);
    std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
    core::ScanFindings findings = empty_findings(ctx);
    search_all(ctx, self, cols, pairs, findings);
    py::list scanned_features, scanned_pairs;
    for (std::int64_t c : cols)
        scanned_features.append(py::str(names[static_cast<std::size_t>(c)]));
    for (const auto& p : pairs)
        scanned_pairs.append(py::make_tuple(names[static_cast<std::size_t>(p.first)],
                                            names[static_cast<std::size_t>(p.second)]));
    self.attr("scanned_features_") = scanned_features;
    self.attr("scanned_pairs_") = scanned_pairs;
    const ScanTables tables = scan_tables(self, ctx, findings, cols);
    self.attr("regions_") = tables.regions;
    self.attr("severity_matrix_") = tables.worst;
    self.attr("significant_matrix_") = tables.significant;
    self.attr("results_") = tables.findings;
    return self;
}

// What BaseDiagnoser.fit stores, as a SagZone reads it.
constexpr const char* kFittedData[] = {
    "x",           "coded_x",     "y",       "train_idx",     "test_idx",      "sample_weight",
    "pred",        "pred_proba",  "classes", "feature_names", "feature_types", "category_labels",
    "target_name", "predict_name"};

py::object get_sagzone(const Args& a) {
    const py::object& self = a.self();
    if (!py::hasattr(self, "results_"))
        bind::raise(deps().MovraError, "get_sagzone needs a fitted SagZoneScan: call fit first.");
    const py::object results = self.attr("results_");
    const std::int64_t i = a.integer("i");
    const auto n = static_cast<std::int64_t>(py::len(results));
    if (i < -n || i >= n)
        bind::raise(PyExc_IndexError,
                    "results_ has " + std::to_string(n) + " rows, no row " + std::to_string(i));
    const py::object row = results.attr("iloc")[py::int_(i)];
    py::list features;
    features.append(row["feature_1"]);
    const py::object second = row["feature_2"];
    if (!truthy(deps().pd.attr("isna")(second))) features.append(second);
    const py::object sz = deps().SagZone(
        self.attr("estimator"), features, py::arg("task_type") = self.attr("task_type"),
        py::arg("threshold") = self.attr("threshold"), py::arg("method") = self.attr("method"),
        py::arg("bins") = self.attr("bins"), py::arg("max_depth") = self.attr("max_depth"),
        py::arg("min_samples") = self.attr("min_samples"), py::arg("metric") = self.attr("metric"),
        py::arg("use_test") = self.attr("use_test"),
        py::arg("random_state") = self.attr("random_state"));
    // The scan's data are validated and coded already: the SagZone takes them as they are (a
    // second BaseDiagnoser.fit would call the model again and recode the table).
    for (const char* name : kFittedData) sz.attr(name) = self.attr(name);
    search_weak_regions(sz);
    return sz;
}

py::object plot(const Args& a) {
    const py::object& self = a.self();
    if (!py::hasattr(self, "results_"))
        bind::raise(deps().MovraError, "plot needs a fitted SagZoneScan: call fit first.");
    return deps().plot_scan_result(
        self.attr("results_"), self.attr("scanned_features_"), py::arg("top") = a["top"],
        py::arg("figsize") = a["figsize"],
        py::arg("score_name") = py::str(make_probe(self).attr("score_name")),
        py::arg("worst") = self.attr("severity_matrix_"),
        py::arg("significant") = self.attr("significant_matrix_"),
        py::arg("regions") = self.attr("regions_"));
}

}  // namespace

// A slicer of the scan's settings, for its scoring configuration.
py::object make_probe(py::handle self) {
    return deps().BaseSlicing(py::arg("task_type") = self.attr("task_type"),
                              py::arg("threshold") = self.attr("threshold"),
                              py::arg("min_samples") = self.attr("min_samples"),
                              py::arg("metric") = self.attr("metric"));
}

void register_sagzone_scan(py::module_& m) {
    bind::ClassBuilder cls(m, "SagZoneScan", py::make_tuple(deps().BaseDiagnoser), kDoc);
    cls.def("__init__", "",
            {required("self"), required("estimator"), optional("task_type"),
             optional("threshold", py::float_(1.2)), optional("method", py::str("histogram")),
             optional("bins", py::int_(10)), optional("max_depth", py::int_(2)),
             optional("min_samples", py::int_(20)), optional("metric"),
             optional("use_test", py::bool_(false)), optional("random_state", py::int_(0)),
             optional("features"), optional("pairs", py::str("auto")),
             optional("alpha", py::float_(0.05))},
            init);
    cls.def("fit", "Scan every feature and pair for weak regions.\n\nReturns\n-------\nself\n",
            {required("self"), required("x"), required("y"), required("train_idx"),
             required("test_idx"), optional("prediction"), optional("prediction_proba"),
             optional("sample_weight"), optional("feature_names"), optional("feature_types")},
            fit);
    cls.def("get_sagzone",
            "The SagZone of row i's feature(s), fitted with the scan's settings and data.\n\n"
            "Returns\n-------\nSagZone\n",
            {required("self"), required("i")}, get_sagzone);
    cls.def("plot",
            "Draw the scan: the worst severity of every feature (diagonal) and pair, beside\n"
            "bars of the top findings, each split into its "
            "regions.\n\nReturns\n-------\nmatplotlib.figure.Figure\n",
            {required("self"), optional("top", py::int_(10)), optional("figsize")}, plot);
    add_scan_display(cls);
    add_scan_report(cls);
    cls.finish();
}

}  // namespace movra::sagzone
