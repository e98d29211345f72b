// The read-only views of a fitted SagZone (distance, distribution shift, marginal result) and its
// marginal plot.
//
// The weak sample and its reference come from the split the slicer searched: the training rows
// when it searched them, the test rows otherwise. get_target_idx's positions refer to that split,
// so applying them to the other split would pick wrong rows or run out of range.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "bindings/common/arrays.hpp"
#include "bindings/sagzone/sagzone_module.hpp"
#include "core/order.hpp"
#include "core/weak_sample.hpp"

namespace movra::sagzone {

namespace {

// ---- the samples ----

struct Reference {
    std::string title;
    std::string area_name;
    bool full;
};

Reference resolve_compare_to(const py::handle& compare_to) {
    if (py::isinstance<py::str>(compare_to)) {
        const auto name = compare_to.cast<std::string>();
        if (name == "remaining")
            return {"Distribution Shift: Weak vs Remaining Regions", "Remaining Regions", false};
        if (name == "full")
            return {"Distribution Shift: Weak vs Full Regions", "Full Regions", true};
    }
    bind::raise(deps().MovraError, "Unsupported value of compare_to.");
}

// The searched split's rows in the data set, and the positions within it of the weak rows and of
// the reference rows.
struct Samples {
    bind::Vector x;  // all rows of the coded matrix, float64, row-major
    std::size_t n_cols = 0;
    bind::Index split;
    bind::Index weak;
    bind::Index reference;
};

Samples weak_and_reference(const py::object& self, const py::object& diag, bool full) {
    Samples s;
    s.x = bind::as_matrix(self.attr("coded_x"), "coded_x");
    const auto n_rows = static_cast<std::size_t>(s.x.shape(0));
    s.n_cols = static_cast<std::size_t>(s.x.shape(1));
    const bool searched_test = py::bool_(diag.attr("use_test"));
    s.split = bind::as_positions(self.attr(searched_test ? "test_idx" : "train_idx"),
                                 searched_test ? "test_idx" : "train_idx", n_rows);
    const auto n_split = static_cast<std::size_t>(s.split.size());

    // Without a weak region the weak sample is empty rather than an error.
    if (py::len(diag.attr("weak_region_stats")) == 0)
        s.weak = bind::new_index(0);
    else
        s.weak =
            bind::as_positions(self.attr("get_target_idx")(), "weak-region positions", n_split);

    std::vector<std::int64_t> reference;
    {
        // Pure C++ over arrays that this call keeps alive: safe without the GIL. The full
        // reference is every row: the complement of no rows.
        py::gil_scoped_release release;
        reference = core::complement_positions(
            full ? core::Span<const std::int64_t>{} : bind::span(s.weak), n_split);
    }
    s.reference = bind::new_index(reference.size());
    std::copy(reference.begin(), reference.end(), s.reference.mutable_data());
    return s;
}

// Rows of the split at the given groups of positions, stacked in order, as a new matrix
// (features as rows when transposed).
bind::Vector gather(const Samples& s, const std::vector<const bind::Index*>& groups,
                    bool transposed) {
    std::size_t n_picked = 0;
    for (const bind::Index* g : groups) n_picked += static_cast<std::size_t>(g->size());
    std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(n_picked),
                                   static_cast<py::ssize_t>(s.n_cols)};
    if (transposed) std::swap(shape[0], shape[1]);
    bind::Vector out(shape);
    double* dst = out.mutable_data();
    const auto n_rows = static_cast<std::size_t>(s.x.shape(0));
    {
        // Pure C++ over arrays that this call keeps alive: safe without the GIL.
        py::gil_scoped_release release;
        if (transposed) {
            // One group only: a transposed stack would interleave the groups.
            core::gather_rows(s.x.data(), n_rows, s.n_cols, bind::span(s.split),
                              bind::span(*groups.at(0)), true, {dst, n_picked * s.n_cols});
        } else {
            for (const bind::Index* g : groups) {
                const std::size_t size = static_cast<std::size_t>(g->size()) * s.n_cols;
                core::gather_rows(s.x.data(), n_rows, s.n_cols, bind::span(s.split), bind::span(*g),
                                  false, {dst, size});
                dst += size;
            }
        }
    }
    return out;
}

py::object test_data_result(const char* key, const py::dict& value) {
    return deps().TestDataResult(py::arg("key") = key, py::arg("value") = value);
}

// The settings every view reports, in the order they are reported.
void add_settings(py::dict& value, const py::object& self) {
    for (const char* name : {"slice_features", "bins"}) value[name] = self.attr(name);
}

void add_search_settings(py::dict& value, const py::object& self) {
    for (const char* name : {"method", "min_samples", "metric"}) value[name] = self.attr(name);
}

// ---- the views ----

// The distance of every feature between the weak sample and its reference, reference first: the
// distance is measured against the reference's buckets. A categorical feature's codes are its
// categories (PSI over them; WD1 and KS are NaN), as calculate_distance documents.
py::object distances(const Args& a) {
    const py::object& self = a.self();
    const py::object diag = fitted_slicer(self, "get_distance");
    const std::size_t n_features = py::len(self.attr("feature_names"));
    bind::Vector out = bind::new_vector(n_features);
    if (n_features == 0) return std::move(out);
    const Samples s = weak_and_reference(self, diag, a.truth("full"));
    const bind::Vector reference = gather(s, {&s.reference}, true);
    const bind::Vector weak = gather(s, {&s.weak}, true);
    const py::list types(self.attr("feature_types"));
    if (types.size() != n_features)
        bind::raise(deps().MovraError, "feature_types must hold one entry per feature.");
    for (std::size_t i = 0; i < n_features; ++i) {
        const py::int_ row(i);
        py::object d = deps().calculate_distance(
            reference[row], weak[row], py::arg("buckettype") = a["psi_buckets"],
            py::arg("method") = a["distance_metric"], py::arg("feature_type") = types[i]);
        out.mutable_data()[i] = py::float_(d).cast<double>();
    }
    return std::move(out);
}

py::object get_distance(const Args& a) {
    const py::object& self = a.self();
    fitted_slicer(self, "get_distance");
    const Reference ref = resolve_compare_to(a["compare_to"]);
    const py::list feature_names(self.attr("feature_names"));
    const bind::Vector distances = bind::as_vector_of_length(
        self.attr("_distances")(a["psi_buckets"], a["distance_metric"], ref.full), "_distances()",
        feature_names.size());
    const std::vector<std::size_t> top = core::largest_first(bind::span(distances), 10);
    py::list features;
    bind::Vector rounded = bind::new_vector(top.size());
    for (std::size_t k = 0; k < top.size(); ++k) {
        features.append(py::str(feature_names[top[k]]));
        rounded.mutable_data()[k] = core::round_decimals(distances.data()[top[k]], 4);
    }

    py::dict value;
    value["purpose"] = "diagnose";
    value["distance_metric"] = a["distance_metric"];
    add_settings(value, self);
    value["threshold_value"] = self.attr("threshold");
    add_search_settings(value, self);
    value["title"] = ref.title;
    value["x"] = features;
    value["y"] = rounded;
    return test_data_result("resilience_shift_histogram", value);
}

// The positions in the data set of the split's rows at `groups` of positions, in order.
py::array data_set_rows(const Samples& s, const std::vector<const bind::Index*>& groups) {
    std::vector<std::int64_t> rows;
    const std::int64_t* split = s.split.data();
    for (const bind::Index* g : groups)
        for (const std::int64_t k : bind::span(*g)) rows.push_back(split[k]);
    return bind::to_numpy(rows);
}

// A categorical feature shows its labels, not its codes: its column is taken from x itself (a
// DataFrame's column keeps its dtype), at the same rows.
void show_labels(const py::object& self, const Samples& s, const py::object& data) {
    const py::list types(self.attr("feature_types"));
    py::object rows;  // computed at the first categorical feature
    const py::object x = self.attr("x");
    const bool frame = py::hasattr(x, "iloc");
    for (std::size_t j = 0; j < types.size(); ++j) {
        if (!py::object(types[j]).equal(py::str("categorical"))) continue;
        if (!rows) rows = data_set_rows(s, {&s.reference, &s.weak});
        const py::tuple at = py::make_tuple(rows, py::int_(j));
        const py::object labels =
            frame ? x.attr("iloc")[at].attr("reset_index")(py::arg("drop") = true) : x[at];
        data.attr("isetitem")(py::int_(j), labels);
    }
}

// The rows of both samples as one table, reference rows first, then the weak rows (one index
// 0..n-1), with the column "resi_type_" naming each row's sample.
py::object shift_data(const Args& a) {
    const py::object& self = a.self();
    const Samples s = weak_and_reference(self, fitted_slicer(self, "get_shift"), a.truth("full"));
    const bind::Vector rows = gather(s, {&s.reference, &s.weak}, false);
    const py::module_& np = deps().np;
    py::object data =
        deps().pd.attr("DataFrame")(rows, py::arg("columns") = self.attr("feature_names"));
    show_labels(self, s, data);
    py::object labels = np.attr("array")(py::make_tuple(a["area_name"], "Weak Regions"));
    py::list repeats;
    repeats.append(py::int_(s.reference.size()));
    repeats.append(py::int_(s.weak.size()));
    data.attr("__setitem__")("resi_type_", np.attr("repeat")(labels, repeats));
    return data;
}

py::object get_shift(const Args& a) {
    const py::object& self = a.self();
    fitted_slicer(self, "get_shift");
    const py::object feature_names = self.attr("feature_names");
    py::object show_feature = a["show_feature"];
    if (show_feature.is_none()) show_feature = feature_names[py::int_(0)];
    // The list's own lookup: an unknown feature is its ValueError.
    const py::object position = feature_names.attr("index")(show_feature);
    const py::object feature_type = self.attr("feature_types")[position];
    const Reference ref = resolve_compare_to(a["compare_to"]);

    py::dict value;
    value["title"] = ref.title;
    value["show_feature"] = show_feature;
    add_settings(value, self);
    value["threshold_value"] = self.attr("threshold");
    add_search_settings(value, self);
    value["feature_type"] = feature_type;
    value["data"] = self.attr("_shift_data")(show_feature, ref.full, ref.area_name);
    return test_data_result("sagzone_shift", value);
}

py::object get_marginal(const Args& a) {
    const py::object& self = a.self();
    const py::object diag = fitted_slicer(self, "get_marginal");
    py::dict value;
    add_settings(value, self);
    add_search_settings(value, self);
    value["weak_region_stats"] = diag.attr("weak_region_stats");
    value["fidx"] = diag.attr("fidx");
    // A slicer that never built rules reports none.
    py::object rule_list = py::none();
    if (py::hasattr(diag, "rule_list")) rule_list = diag.attr("rule_list");
    value["rule_list"] = rule_list;
    value["x"] = diag.attr("x");
    value["y"] = diag.attr("y");
    value["threshold_value"] = diag.attr("threshold_value");
    value["score_name"] = diag.attr("score_name");
    value["_sign"] = diag.attr("score_sign");
    value["scores"] = diag.attr("scores");
    value["use_test"] = diag.attr("use_test");
    value["is_metric_additive"] = diag.attr("is_metric_additive");
    value["feature_names"] = self.attr("feature_names");
    // What the histogram slicer cut and counted, so that the figure draws the search's own bins:
    // the (first) feature's bin edges, and with two features the rows of each first-feature bin.
    // None where the slicer has none (tree slicing; bin_stats with one feature).
    value["bins1d"] = py::getattr(diag, "bins1d", py::none());
    value["bin_stats"] = py::getattr(diag, "bin_stats", py::none());
    // The labels of the categorical features' codes, for the figure to name its bars (None:
    // every feature numerical).
    value["category_labels"] = py::getattr(self, "category_labels", py::none());
    return test_data_result("sagzone_plot", value);
}

py::object plot_marginal(const Args& a) {
    // The drawing is matplotlib work from end to end; it lives with the package's other plots.
    return deps().plot_marginal_result(a["result"], py::arg("figsize") = a["figsize"],
                                       py::arg("max_ticks") = a["max_ticks"],
                                       py::arg("cmap") = a["cmap"]);
}

const char* const kDistanceDoc = R"(Get distance result between samples in and out the weak region.

Parameters
----------
psi_buckets : {"uniform", "quantile"}, default="uniform"
    How the PSI distance cuts the reference sample into buckets.
distance_metric : {"PSI", "WD1", "KS"}, default="PSI"
    The distance between the two samples of each feature. A categorical feature's PSI has one
    bucket per category, missing being one more; WD1 and KS need ordered values and are NaN
    for it. A numerical feature's missing values are one more PSI bucket beside those of its
    values; WD1 and KS compare the values that are there.
compare_to : {"remaining", "full"}, default="remaining"
    The reference sample: the rows outside the weak regions, or all rows of the searched split.

Returns
-------
TestDataResult
    Key "resilience_shift_histogram"; "x" holds the (at most 10) features with the largest
    distances, largest first (NaN last), and "y" their distances rounded to 4 decimals.
)";

const char* const kShiftDoc = R"(Get distribution shift between samples in and out the weak region.

Parameters
----------
show_feature : str, optional
    The feature to show; by default the first feature.
compare_to : {"remaining", "full"}, default="remaining"
    The reference sample: the rows outside the weak regions, or all rows of the searched split.

Returns
-------
TestDataResult
    Key "sagzone_shift"; "data" is a DataFrame of the reference rows then the weak rows, with
    the column "resi_type_" naming the group of each row. A categorical feature's column holds
    its labels as ``x`` has them (NaN where missing), not its codes.
)";

const char* const kMarginalDoc = R"(Get marginal sagzone result

Returns
-------
TestDataResult
    Key "sagzone_plot": the settings, the weak regions, the rules of every bin or leaf, the
    searched rows and their scores, as ``plot_marginal`` draws them; then, for histogram
    slicing, "bins1d" (the bin edges of the first slicing feature) and "bin_stats" (two
    features: per first-feature bin "lb1", "ub1", "lb2", "ub2", "support"), None otherwise;
    last "category_labels", one entry per feature as in "feature_names": a categorical
    feature's labels (label k names code k), None for a numerical one.
)";

const char* const kPlotDoc = R"(Draw a marginal sagzone result.

One slicing feature: the average score per bin (or leaf) as bars, the threshold as a dashed
line, the weak regions shaded with their sample counts, and the feature's histogram below. Two
slicing features: a heat map of the average score per cell from good to bad, weak regions
outlined, and the features' histograms at the margins. A categorical feature has one bar (or
row of cells) per category, named by its label; missing values have a bar of their own, last
(beside the axis of a numerical feature).

Parameters
----------
result : TestDataResult or dict
    The result of ``get_marginal``.
figsize : tuple of float, optional
    Figure size in inches.
max_ticks : int, default=11
    The largest number of labelled ticks per axis.
cmap : matplotlib colormap, optional
    Heat-map colours for two features.

Returns
-------
matplotlib.figure.Figure
)";

const char* const kPlotDistanceDoc = R"(Draw a distance result: a bar per feature, largest on top.

Parameters
----------
result : TestDataResult or dict
    The result of ``get_distance``.
figsize : tuple of float, optional

Returns
-------
matplotlib.figure.Figure
)";

const char* const kPlotShiftDoc = R"(Draw a shift result: the feature's distribution among the
reference rows and among the weak rows, each as shares of its own rows.

A numerical feature is two histograms on shared bins with a slot for missing values beside
them; a categorical one a pair of bars per category (missing values one more, "missing").

Parameters
----------
result : TestDataResult or dict
    The result of ``get_shift``.
figsize : tuple of float, optional
bins : int, default=20
    Histogram bins of a numerical feature.

Returns
-------
matplotlib.figure.Figure
)";

const char* const kDistancesDoc =
    R"(The distance of every feature between the weak sample and its reference.

The step of ``get_distance`` that reads the samples: the rows of the searched split inside the
weak regions, against the rows outside them (or all rows when ``full``), by
``calculate_distance``. A subclass that keeps its rows elsewhere overrides it.

Returns
-------
numpy.ndarray of float
    One distance per feature, in the order of ``feature_names``.
)";

const char* const kShiftDataDoc = R"(The rows of both samples of ``get_shift`` as one table.

The step of ``get_shift`` that reads the samples: the reference rows (those outside the weak
regions, or all rows when ``full``) then the weak rows, with the column "resi_type_" holding
``area_name`` or "Weak Regions". A subclass that keeps its rows elsewhere overrides it.

Returns
-------
pandas.DataFrame
)";

}  // namespace

void add_sagzone_views(bind::ClassBuilder& cls) {
    cls.def("_distances", kDistancesDoc,
            {required("self"), required("psi_buckets"), required("distance_metric"),
             required("full")},
            distances)
        .def("_shift_data", kShiftDataDoc,
             {required("self"), required("show_feature"), required("full"), required("area_name")},
             shift_data);
    cls.def("get_distance", kDistanceDoc,
            {required("self"), optional("psi_buckets", py::str("uniform")),
             optional("distance_metric", py::str("PSI")),
             optional("compare_to", py::str("remaining"))},
            get_distance)
        .def("get_shift", kShiftDoc,
             {required("self"), optional("show_feature"),
              optional("compare_to", py::str("remaining"))},
             get_shift)
        .def("get_marginal", kMarginalDoc, {required("self")}, get_marginal)
        .def_static("plot_marginal", kPlotDoc,
                    {required("result"), optional("figsize"), optional("max_ticks", py::int_(11)),
                     optional("cmap")},
                    plot_marginal)
        .def_static("plot_distance", kPlotDistanceDoc, {required("result"), optional("figsize")},
                    [](const Args& a) {
                        return deps().plot_distance_result(a["result"],
                                                           py::arg("figsize") = a["figsize"]);
                    })
        .def_static("plot_shift", kPlotShiftDoc,
                    {required("result"), optional("figsize"), optional("bins", py::int_(20))},
                    [](const Args& a) {
                        return deps().plot_shift_result(a["result"],
                                                        py::arg("figsize") = a["figsize"],
                                                        py::arg("bins") = a["bins"]);
                    });
}

}  // namespace movra::sagzone
