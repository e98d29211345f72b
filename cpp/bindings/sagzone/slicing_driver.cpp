// BaseSlicing.fit: scores the searched split, lets the strategy find weak regions, measures
// every region on both splits and returns the regions sorted by the gap between them.
#include "bindings/sagzone/slicing_driver.hpp"

#include <cmath>
#include <memory>

#include "bindings/common/records.hpp"
#include "bindings/sagzone/sagzone_module.hpp"
#include "bindings/sagzone/scoring.hpp"
#include "bindings/sagzone/slicers.hpp"
#include "core/order.hpp"
#include "core/region_measure.hpp"

namespace movra::sagzone {

namespace {

py::object ravelled(py::handle values) { return deps().np.attr("ravel")(values); }

void require_predictions(py::handle pred, const std::string& argname) {
    if (pred.is_none())
        bind::raise(deps().MovraError,
                    argname +
                        " is None: the metric needs predictions of this split (predicted "
                        "probabilities for a probability metric).");
}

// One split (training or test) as the region statistics read it.
struct Split {
    std::vector<FitColumns::Column> columns;  // the slicing columns
    std::optional<bind::Vector> scores;       // per-sample scores (additive metric)
    std::optional<bind::Vector> y, preds;     // for a set metric
    std::optional<bind::Vector> weights;
    std::size_t rows = 0;
};

Split make_split(const char* side, const DriverCall& in, const std::vector<std::int64_t>& fidx,
                 const Scoring& scoring, py::object scores, FitColumns& columns) {
    const bool train = side[1] == 'r';
    const std::string s = side;
    Split out;
    out.columns = columns.get(train ? in.train_x : in.test_x, fidx, s + "_x");
    out.rows = static_cast<std::size_t>(out.columns[0].values.size());
    out.weights = optional_weights(train ? in.train_sample_weight : in.test_sample_weight,
                                   s + "_sample_weight", out.rows);
    const py::object& pred = train ? in.train_pred : in.test_pred;
    const py::object& y = train ? in.train_y : in.test_y;
    require_predictions(pred, s + "_pred");
    if (scoring.additive) {
        // Per-sample scores are elementwise: computed once per split, then gathered per region.
        if (scores.is_none()) scores = scoring.func(ravelled(y), ravelled(pred));
        out.scores = bind::as_vector_of_length(scores, s + " scores", out.rows);
    } else {
        out.y = bind::as_vector_of_length(ravelled(y), s + "_y", out.rows);
        out.preds = bind::as_vector_of_length(ravelled(pred), s + "_pred", out.rows);
    }
    return out;
}

// Every weak region measured on one split.
struct SplitMeasure {
    std::vector<std::size_t> counts;
    std::vector<py::object> all;  // the scores at its rows (additive metric), else the set score
    std::vector<double> averages;
};

// The rows of every region, then the scores at them straight into the arrays that are kept (an
// additive metric, averaged from the sums on the way) or the metric called on them.
SplitMeasure measure_split(const Split& s, const Scoring& scoring,
                           const std::vector<core::RegionBox>& boxes) {
    const std::size_t k = boxes.size();
    const core::Span<const double> c1 = bind::span(s.columns[0].values);
    const core::Span<const double> c2 =
        s.columns.size() > 1 ? bind::span(s.columns[1].values) : core::Span<const double>{};
    std::optional<core::RegionMeasure> measure;
    {
        // Buffers we hold references to; no Python objects are touched.
        py::gil_scoped_release release;
        measure.emplace(c1, c2, boxes);
    }
    SplitMeasure out{std::vector<std::size_t>(k), std::vector<py::object>(k),
                     std::vector<double>(k, std::nan(""))};
    // Not zeroed: the listing writes every row before anything reads it.
    const std::unique_ptr<std::int64_t[]> rows_buffer(new std::int64_t[measure->total()]);
    std::vector<std::int64_t*> rows(k);
    std::vector<double*> gathered(k, nullptr);
    for (std::size_t r = 0, first = 0; r < k; first += measure->count(r), ++r) {
        out.counts[r] = measure->count(r);
        rows[r] = rows_buffer.get() + first;
        if (out.counts[r] == 0) {
            out.all[r] = py::list();
        } else if (scoring.additive) {
            py::array_t<double> array(static_cast<py::ssize_t>(out.counts[r]));
            gathered[r] = array.mutable_data();
            out.all[r] = array;
        }
    }
    const core::Span<const double> scores =
        s.scores ? bind::span(*s.scores) : core::Span<const double>{};
    std::vector<core::ScoreSums> sums;
    {
        py::gil_scoped_release release;  // as above
        sums = measure->list(scores, span_or_empty(s.weights), rows.data(), gathered.data());
    }
    for (std::size_t r = 0; r < k; ++r) {
        if (out.counts[r] == 0) continue;
        if (scoring.additive) {
            out.averages[r] =
                core::average_score(sums[r], s.weights.has_value(), core::ZeroWeights::kZeroSum);
            continue;
        }
        const std::vector<std::int64_t> region(rows[r], rows[r] + out.counts[r]);
        py::object w = s.weights ? py::object(bind::gather_array(bind::span(*s.weights), region))
                                 : py::object(py::none());
        out.all[r] = scoring.func(bind::gather_array(bind::span(*s.y), region),
                                  bind::gather_array(bind::span(*s.preds), region),
                                  py::arg("sample_weight") = w);
        out.averages[r] = py::float_(out.all[r]).cast<double>();
    }
    return out;
}

// The region table, built column by column from what is known here (a DataFrame from the
// records would infer every column's type from Python objects, row by row).
py::object region_table(const std::vector<core::RegionBox>& boxes, const SplitMeasure sides[2],
                        const std::vector<double>& gaps, const std::vector<std::size_t>& order,
                        const std::vector<std::int64_t>& fidx, py::handle feature_names,
                        const std::string& name) {
    const std::size_t n_rows = order.size();
    const py::list features(py::reinterpret_borrow<py::object>(feature_names));
    py::list names;
    py::dict data;
    const auto float_column = [&](const std::string& key, const auto& value_of) {
        py::array_t<double> column(static_cast<py::ssize_t>(n_rows));
        for (std::size_t k = 0; k < n_rows; ++k) column.mutable_data()[k] = value_of(order[k]);
        data[py::str(key)] = column;
    };
    const auto int_column = [&](const std::string& key, const SplitMeasure& side) {
        py::array_t<std::int64_t> column(static_cast<py::ssize_t>(n_rows));
        for (std::size_t k = 0; k < n_rows; ++k)
            column.mutable_data()[k] = static_cast<std::int64_t>(side.counts[order[k]]);
        data[py::str(key)] = column;
    };
    for (std::size_t f = 0; f < fidx.size(); ++f) {
        const std::string i = std::to_string(f + 1);
        const py::str fname = py::str(features[static_cast<std::size_t>(fidx[f])]);
        const auto bound = [&](std::size_t r) { return f == 0 ? boxes[r].first : boxes[r].second; };
        float_column("lb" + i, [&](std::size_t r) { return bound(r).lb; });
        float_column("ub" + i, [&](std::size_t r) { return bound(r).ub; });
        names.append(py::str("[") + fname);
        names.append(fname + py::str(")"));
    }
    int_column("#Test", sides[1]);
    int_column("#Train", sides[0]);
    float_column("test_" + name, [&](std::size_t r) { return sides[1].averages[r]; });
    float_column("train_" + name, [&](std::size_t r) { return sides[0].averages[r]; });
    float_column("Gap", [&](std::size_t r) { return gaps[r]; });
    for (const std::string& c : {std::string("#Test"), std::string("#Train"), "test_" + name,
                                 "train_" + name, std::string("Gap")})
        names.append(py::str(c));
    py::object output = deps().pd.attr("DataFrame")(data);
    // Set afterwards: two features of the same name must still give two columns each.
    output.attr("columns") = names;
    return output;
}

// The region rows of weak_region_stats: a copy of each weak region with its statistics.
std::vector<py::dict> region_rows(const py::list& weak, const SplitMeasure sides[2],
                                  const std::vector<double>& gaps, const std::string& name) {
    std::vector<py::dict> rows;
    for (std::size_t r = 0; r < gaps.size(); ++r) {
        py::dict row = weak[r].attr("copy")();
        row["#Train"] = py::int_(sides[0].counts[r]);
        row["#Test"] = py::int_(sides[1].counts[r]);
        row[py::str("train_" + name + " All")] = sides[0].all[r];
        row[py::str("train_" + name)] = py::float_(sides[0].averages[r]);
        row[py::str("test_" + name + " All")] = sides[1].all[r];
        row[py::str("test_" + name)] = py::float_(sides[1].averages[r]);
        row["Gap"] = py::float_(gaps[r]);
        rows.push_back(row);
    }
    return rows;
}

// The regions' rows of weak_region_stats (a copy of each weak region with its statistics on
// both splits), sorted by the gap between the splits, and the table.
py::object tabulate_regions(py::handle self, const SplitMeasure sides[2]) {
    const py::list weak = self.attr("weak_region");
    std::vector<std::int64_t> fidx;
    for (py::handle f : self.attr("fidx")) fidx.push_back(f.cast<std::int64_t>());
    if (fidx.size() > 2) fidx.resize(2);
    const std::string name = py::str(self.attr("score_name")).cast<std::string>();
    std::vector<double> gaps(py::len(weak));
    for (std::size_t r = 0; r < gaps.size(); ++r)
        gaps[r] = sides[1].averages[r] - sides[0].averages[r];
    const std::vector<std::size_t> order = core::largest_first({gaps.data(), gaps.size()});
    const std::vector<py::dict> rows = region_rows(weak, sides, gaps, name);
    py::list sorted_rows;
    for (std::size_t i : order) sorted_rows.append(rows[i]);
    self.attr("weak_region_stats") = sorted_rows;
    return region_table(bind::region_boxes(weak, fidx.size(), {}), sides, gaps, order, fidx,
                        self.attr("feature_names"), name);
}

// Every weak region measured on both splits; an upper bound is closed where it reaches the test
// data's maximum of that column.
py::object measure_regions(py::handle self, const DriverCall& in, const Scoring& scoring,
                           const py::object& scores, FitColumns& columns) {
    std::vector<std::int64_t> fidx;
    for (py::handle f : self.attr("fidx")) fidx.push_back(f.cast<std::int64_t>());
    if (fidx.size() > 2) fidx.resize(2);
    const py::object none = py::none();
    const Split train =
        make_split("train", in, fidx, scoring, in.use_test ? none : scores, columns);
    const Split test = make_split("test", in, fidx, scoring, in.use_test ? scores : none, columns);
    if (test.rows == 0)
        bind::raise(deps().MovraError,
                    "test_x has no rows: the weak regions cannot be measured on the test data.");
    std::vector<double> test_maxima;
    for (const FitColumns::Column& c : test.columns) test_maxima.push_back(c.range.max);
    const std::vector<core::RegionBox> boxes = bind::region_boxes(
        self.attr("weak_region"), fidx.size(), {test_maxima.data(), test_maxima.size()});
    const SplitMeasure sides[2] = {measure_split(train, scoring, boxes),
                                   measure_split(test, scoring, boxes)};
    return tabulate_regions(self, sides);
}

DriverCall driver_call(const Args& a) {
    return {a["train_x"],
            a["train_y"],
            a["test_x"],
            a["test_y"],
            a["train_pred"],
            a["test_pred"],
            a["feature_names"],
            a.truth("use_test"),
            a["use_test"],
            a["train_sample_weight"],
            a["test_sample_weight"]};
}

py::object fit(const Args& a) {
    FitColumns columns;
    return drive(a.self(), driver_call(a), columns);
}

// One split's measures as the caller hands them over: counts, scores ("All") and averages.
SplitMeasure split_measure(const Args& a, const char* side, std::size_t n_regions) {
    const std::string s = side;
    SplitMeasure m;
    const bind::Vector counts =
        bind::as_vector_of_length(a[(s + "_counts").c_str()], s + "_counts", n_regions);
    const bind::Vector averages =
        bind::as_vector_of_length(a[(s + "_averages").c_str()], s + "_averages", n_regions);
    const py::list all(a[(s + "_scores").c_str()]);
    if (all.size() != n_regions)
        bind::raise(PyExc_ValueError, s + "_scores must hold one entry per weak region");
    for (std::size_t r = 0; r < n_regions; ++r) {
        m.counts.push_back(static_cast<std::size_t>(counts.data()[r]));
        m.all.push_back(all[r]);
        m.averages.push_back(averages.data()[r]);
    }
    return m;
}

py::object tabulate(const Args& a) {
    const std::size_t n = py::len(a.self().attr("weak_region"));
    const SplitMeasure sides[2] = {split_measure(a, "train", n), split_measure(a, "test", n)};
    return tabulate_regions(a.self(), sides);
}

}  // namespace

py::object drive(py::handle self, const DriverCall& in, FitColumns& columns) {
    self.attr("use_test") = in.use_test_arg;
    self.attr("weak_region_stats") = py::list();
    self.attr("feature_names") = in.feature_names;
    const Scoring scoring = scoring_of(self);
    const py::object& x = in.use_test ? in.test_x : in.train_x;
    const py::object& y = in.use_test ? in.test_y : in.train_y;
    const py::object& pred = in.use_test ? in.test_pred : in.train_pred;
    const py::object& weights = in.use_test ? in.test_sample_weight : in.train_sample_weight;
    require_predictions(pred, in.use_test ? "test_pred" : "train_pred");
    const py::object preds = ravelled(pred);
    const py::object scores =
        scoring.additive ? scoring.func(ravelled(y), preds)
                         : scoring.func(ravelled(y), preds, py::arg("sample_weight") = weights);
    run_strategy_fit(self, {x, y, preds, scores, weights}, columns);
    if (py::len(self.attr("weak_region")) == 0) return py::none();
    return measure_regions(self, in, scoring, scores, columns);
}

py::object run_driver(py::handle slicer, const DriverCall& in, FitColumns& columns) {
    if (own_method(slicer, "fit", deps().BaseSlicing)) return drive(slicer, in, columns);
    return slicer.attr("fit")(
        py::arg("train_x") = in.train_x, py::arg("train_y") = in.train_y,
        py::arg("test_x") = in.test_x, py::arg("test_y") = in.test_y,
        py::arg("train_pred") = in.train_pred, py::arg("test_pred") = in.test_pred,
        py::arg("train_sample_weight") = in.train_sample_weight,
        py::arg("test_sample_weight") = in.test_sample_weight,
        py::arg("feature_names") = in.feature_names, py::arg("use_test") = in.use_test_arg);
}

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
    cls.def("_tabulate_regions",
            "The weak regions' table from their measures on both splits.\n\n"
            "For each region of weak_region, in order: the number of rows in each split\n"
            "(*_counts), their scores (*_scores: the per-sample scores, or the set score) and\n"
            "their average score (*_averages). Sets weak_region_stats (the regions with their\n"
            "statistics, largest gap first).\n\n"
            "Returns\n-------\npandas.DataFrame\n",
            {required("self"), required("train_counts"), required("train_scores"),
             required("train_averages"), required("test_counts"), required("test_scores"),
             required("test_averages")},
            tabulate);
}

}  // namespace movra::sagzone
