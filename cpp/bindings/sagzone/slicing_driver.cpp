// BaseSlicing.fit: scores the searched split, lets the strategy find weak regions, measures
// every region on both splits and returns the regions sorted by the gap between them.
#include "bindings/sagzone/slicing_driver.hpp"

#include <cmath>
#include <memory>

#include "bindings/common/records.hpp"
#include "bindings/sagzone/region_table.hpp"
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

// Every weak region measured on both splits.
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
    // Closed at the searched split's maximum: the rows the search counted at the top of a column
    // are in the region, on both splits alike.
    std::vector<double> maxima;
    for (const FitColumns::Column& c : (in.use_test ? test : train).columns)
        maxima.push_back(c.top());
    const std::vector<core::RegionBox> boxes =
        bind::region_boxes(self.attr("weak_region"), fidx.size(), {maxima.data(), maxima.size()});
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
            a["test_sample_weight"],
            a["feature_types"],
            a["category_labels"]};
}

py::object fit(const Args& a) {
    FitColumns columns;
    return drive(a.self(), driver_call(a), columns);
}

}  // namespace

py::object drive(py::handle self, const DriverCall& in, FitColumns& columns) {
    self.attr("use_test") = in.use_test_arg;
    self.attr("weak_region_stats") = py::list();
    self.attr("feature_names") = in.feature_names;
    self.attr("feature_types") = in.feature_types;
    self.attr("category_labels") = in.category_labels;
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
        py::arg("feature_names") = in.feature_names, py::arg("use_test") = in.use_test_arg,
        py::arg("feature_types") = in.feature_types,
        py::arg("category_labels") = in.category_labels);
}

void add_slicing_driver(bind::ClassBuilder& cls) {
    cls.def("fit",
            "Search weak regions and measure them on the training and test data.\n\n"
            "The strategy's _fit searches the test data when use_test is true, else the\n"
            "training data; every weak region is then measured on both.\n\n"
            "feature_types says which slicing features are categorical (their columns hold\n"
            "category codes, NaN where missing) and category_labels their labels.\n\n"
            "Returns\n-------\npandas.DataFrame or None\n"
            "    One row per weak region, largest gap (test minus training score) first;\n"
            "    None when no weak region was found.\n",
            {required("self"), required("train_x"), required("train_y"), required("test_x"),
             required("test_y"), optional("train_pred"), optional("test_pred"),
             optional("feature_names"), optional("use_test", py::bool_(true)),
             optional("train_sample_weight"), optional("test_sample_weight"),
             optional("feature_types"), optional("category_labels")},
            fit);
    add_region_table(cls);
}

}  // namespace movra::sagzone
