// BaseSlicing.fit: scores the searched split, lets the strategy find weak regions, measures
// every region on both splits and returns the regions sorted by the gap between them.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "bindings/sagzone/slicing_common.hpp"
#include "core/histogram.hpp"
#include "core/region_stats.hpp"

namespace movra::sagzone {

namespace {

using bind::Args;
using bind::optional;
using bind::required;

// One split (training or test) seen by the region statistics.
struct Split {
    std::string side;  // "train" or "test"
    std::vector<bind::Vector> columns;          // the slicing columns
    std::optional<bind::Vector> scores;         // per-sample scores (additive metric)
    std::optional<bind::Vector> y, preds;       // for a set metric
    std::optional<bind::Vector> weights;
    std::size_t rows = 0;
};

py::object ravelled(py::handle values) { return deps().np.attr("ravel")(values); }

void require_predictions(py::handle pred, const std::string& argname) {
    if (pred.is_none())
        bind::raise(deps().MovraError,
                    argname + " is None: the metric needs predictions of this split (predicted "
                              "probabilities for a probability metric).");
}

Split make_split(const std::string& side, py::handle x, py::handle y, py::handle pred,
                 py::handle weights, const std::vector<std::int64_t>& fidx,
                 const Scoring& scoring, py::object search_scores) {
    Split s;
    s.side = side;
    s.columns = slicing_columns(x, fidx, side + "_x");
    s.rows = static_cast<std::size_t>(s.columns[0].size());
    s.weights = optional_weights(weights, side + "_sample_weight", s.rows);
    require_predictions(pred, side + "_pred");
    if (scoring.additive) {
        // Per-sample scores are elementwise: computed once per split, then gathered per region.
        if (search_scores.is_none()) search_scores = scoring.func(ravelled(y), ravelled(pred));
        s.scores = bind::as_vector_of_length(search_scores, side + " scores", s.rows);
    } else {
        s.y = bind::as_vector_of_length(ravelled(y), side + "_y", s.rows);
        s.preds = bind::as_vector_of_length(ravelled(pred), side + "_pred", s.rows);
    }
    return s;
}

// The (all, average) statistics of one region on one split; `members` carries the scores at its
// rows for an additive metric.
std::pair<py::object, double> side_stats(const Split& s, const Scoring& scoring,
                                         const core::RegionRows& members) {
    const std::vector<std::int64_t>& rows = members.rows;
    if (rows.empty()) return {py::list(), std::nan("")};
    if (scoring.additive) {
        py::array_t<double> all = to_array(members.values);
        py::array_t<double> w;
        if (s.weights) w = gather_array(*s.weights, rows);
        const core::ScoreSums sums = core::sums_of(
            core::Span<const double>{members.values.data(), members.values.size()},
            s.weights ? core::Span<const double>{w.data(), rows.size()}
                      : core::Span<const double>{});
        return {all, core::average_score(sums, s.weights.has_value(), core::ZeroWeights::kZeroSum)};
    }
    py::object w = s.weights ? py::object(gather_array(*s.weights, rows)) : py::object(py::none());
    py::object score = scoring.func(gather_array(*s.y, rows), gather_array(*s.preds, rows),
                                    py::arg("sample_weight") = w);
    return {score, py::float_(score).cast<double>()};
}

py::object fit(const Args& a) {
    py::object self = a[std::size_t{0}];
    const GcPause no_collections_during_fit;
    ColumnScope columns_of_this_fit;
    self.attr("use_test") = a["use_test"];
    self.attr("weak_region_stats") = py::list();
    self.attr("feature_names") = a["feature_names"];
    const Scoring scoring = scoring_of(self);
    const bool use_test = truthy(a["use_test"]);
    const char* side = use_test ? "test" : "train";
    py::object x = a[use_test ? "test_x" : "train_x"];
    py::object y = a[use_test ? "test_y" : "train_y"];
    py::object pred = a[use_test ? "test_pred" : "train_pred"];
    py::object weights = a[use_test ? "test_sample_weight" : "train_sample_weight"];

    require_predictions(pred, std::string(side) + "_pred");
    py::object preds = ravelled(pred);
    py::object scores = scoring.additive
                            ? scoring.func(ravelled(y), preds)
                            : scoring.func(ravelled(y), preds, py::arg("sample_weight") = weights);
    self.attr("_fit")(x, y, preds, scores, py::arg("sample_weight") = weights);

    py::list weak = self.attr("weak_region");
    if (py::len(weak) == 0) return py::none();

    std::vector<std::int64_t> fidx;
    for (py::handle f : self.attr("fidx")) fidx.push_back(f.cast<std::int64_t>());
    const bool two = fidx.size() != 1;
    if (two) fidx.resize(2);
    const Split train = make_split("train", a["train_x"], a["train_y"], a["train_pred"],
                                   a["train_sample_weight"], fidx, scoring,
                                   use_test ? py::object(py::none()) : scores);
    const Split test = make_split("test", a["test_x"], a["test_y"], a["test_pred"],
                                  a["test_sample_weight"], fidx, scoring,
                                  use_test ? scores : py::object(py::none()));
    // An upper bound is closed where it reaches the test data's maximum of that column.
    std::vector<double> test_max;
    for (const auto& column : test.columns) {
        if (column.size() == 0)
            bind::raise(PyExc_ValueError,
                        "zero-size array to reduction operation maximum which has no identity");
        test_max.push_back(range_of(column).max);
    }

    const std::string name = scoring.name;
    std::vector<core::RegionBox> boxes;
    std::vector<py::dict> rows_out;
    for (py::handle item : weak) {
        rows_out.push_back(py::reinterpret_borrow<py::object>(item).attr("copy")());
        core::Bound bounds[2];
        for (std::size_t k = 0; k < fidx.size(); ++k) {
            const std::string i = std::to_string(k + 1);
            bounds[k].lb = py::float_(item[py::str("lb" + i)]).cast<double>();
            bounds[k].ub = py::float_(item[py::str("ub" + i)]).cast<double>();
            bounds[k].closed = bounds[k].ub == test_max[k];
        }
        boxes.push_back({bounds[0], bounds[1]});
    }
    std::vector<core::RegionRows> members[2];
    const Split* splits[2] = {&train, &test};
    for (int s = 0; s < 2; ++s) {
        const Split& split = *splits[s];
        const core::Span<const double> c1{split.columns[0].data(), split.rows};
        const core::Span<const double> c2 =
            two ? core::Span<const double>{split.columns[1].data(), split.rows}
                : core::Span<const double>{};
        const core::Span<const double> split_scores =
            split.scores ? bind::span(*split.scores) : core::Span<const double>{};
        // One pass over buffers we hold references to, the scores gathered on the way; no
        // Python objects are touched.
        py::gil_scoped_release release;
        members[s] = core::rows_in_regions(c1, c2, boxes, split_scores);
    }
    std::vector<double> gaps, train_average, test_average;
    for (std::size_t r = 0; r < rows_out.size(); ++r) {
        py::dict& row = rows_out[r];
        const auto train_stats = side_stats(train, scoring, members[0][r]);
        const auto test_stats = side_stats(test, scoring, members[1][r]);
        row["#Train"] = py::int_(members[0][r].rows.size());
        row["#Test"] = py::int_(members[1][r].rows.size());
        row[py::str("train_" + name + " All")] = train_stats.first;
        row[py::str("train_" + name)] = py::float_(train_stats.second);
        row[py::str("test_" + name + " All")] = test_stats.first;
        row[py::str("test_" + name)] = py::float_(test_stats.second);
        train_average.push_back(train_stats.second);
        test_average.push_back(test_stats.second);
        const double gap = test_stats.second - train_stats.second;
        row["Gap"] = py::float_(gap);
        gaps.push_back(gap);
    }

    // Largest gap first; equal gaps keep the regions' order and a NaN gap goes last.
    std::vector<std::size_t> order(gaps.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) {
        if (std::isnan(gaps[j])) return !std::isnan(gaps[i]);
        if (std::isnan(gaps[i])) return false;
        return gaps[i] > gaps[j];
    });
    py::list stats_sorted;
    for (std::size_t i : order) stats_sorted.append(rows_out[i]);
    self.attr("weak_region_stats") = stats_sorted;

    // The table, built column by column from what is known here (a DataFrame from the records
    // would infer every column's type from Python objects, row by row).
    const std::size_t n_rows = order.size();
    py::list feature_names = py::list(a["feature_names"]);
    py::list names;
    py::dict data;
    const auto float_column = [&](const std::string& key, const auto& value_of) {
        py::array_t<double> column(static_cast<py::ssize_t>(n_rows));
        double* out = column.mutable_data();
        for (std::size_t k = 0; k < n_rows; ++k) out[k] = value_of(order[k]);
        data[py::str(key)] = column;
    };
    const auto int_column = [&](const std::string& key, int s) {
        py::array_t<std::int64_t> column(static_cast<py::ssize_t>(n_rows));
        std::int64_t* out = column.mutable_data();
        for (std::size_t k = 0; k < n_rows; ++k)
            out[k] = static_cast<std::int64_t>(members[s][order[k]].rows.size());
        data[py::str(key)] = column;
    };
    for (std::size_t f = 0; f < fidx.size(); ++f) {
        const std::string i = std::to_string(f + 1);
        py::str fname = py::str(feature_names[static_cast<std::size_t>(fidx[f])]);
        const auto bound = [&](std::size_t r) { return f == 0 ? boxes[r].first : boxes[r].second; };
        float_column("lb" + i, [&](std::size_t r) { return bound(r).lb; });
        float_column("ub" + i, [&](std::size_t r) { return bound(r).ub; });
        names.append(py::str("[") + fname);
        names.append(fname + py::str(")"));
    }
    int_column("#Test", 1);
    int_column("#Train", 0);
    float_column("test_" + name, [&](std::size_t r) { return test_average[r]; });
    float_column("train_" + name, [&](std::size_t r) { return train_average[r]; });
    float_column("Gap", [&](std::size_t r) { return gaps[r]; });
    for (const std::string& c : {std::string("#Test"), std::string("#Train"), "test_" + name,
                                 "train_" + name, std::string("Gap")})
        names.append(py::str(c));
    py::object output = deps().pd.attr("DataFrame")(data);
    // Set afterwards: two features of the same name must still give two columns each.
    output.attr("columns") = names;
    return output;
}

}  // namespace

void add_slicing_driver(bind::ClassBuilder& cls) {
    cls.def("fit",
            "Search weak regions and measure them on the training and test data.\n\n"
            "The strategy's _fit searches the test data when use_test is true, else the\n"
            "training data; every weak region is then measured on both.\n\n"
            "Returns\n-------\npandas.DataFrame or None\n"
            "    One row per weak region, largest gap (test minus training score) first;\n"
            "    None when no weak region was found.\n",
            {required("self"), required("train_x"), required("train_y"), required("test_x"),
             required("test_y"), optional("train_pred"), optional("test_pred"),
             optional("feature_names"), optional("use_test", py::bool_(true)),
             optional("train_sample_weight"), optional("test_sample_weight")},
            fit);
}

}  // namespace movra::sagzone
