// BaseSlicing.fit: scores the searched split, lets the strategy find weak regions, measures
// every region on both splits and returns the regions sorted by the gap between them.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "bindings/sagzone/slicing_common.hpp"
#include "core/histogram.hpp"
#include "core/region_stats.hpp"
#include "core/row_bitmap.hpp"

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

// One weak region measured on one split.
struct RegionSide {
    std::size_t count = 0;
    py::object all;  // the scores at its rows (additive metric), else the set score
    double average = std::nan("");
};

// Buffers of the region statistics, grown as needed and kept for the next fit: fresh ones on
// every fit would cost a page fault and a page clearing per 4 KiB.
struct MeasureScratch {
    std::vector<std::uint64_t> words;
    std::vector<std::int64_t> rows;
    bool busy = false;
};

// This thread's buffers while they are held; a fit that starts while they are (Python code run
// in between, say by a finalizer) gets buffers of its own.
class ScratchLease {
public:
    ScratchLease() : shared_(thread_scratch()), held_(!shared_.busy) {
        if (held_) shared_.busy = true;
    }
    ~ScratchLease() {
        if (held_) shared_.busy = false;
    }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;
    MeasureScratch& get() { return held_ ? shared_ : own_; }

private:
    static MeasureScratch& thread_scratch() {
        thread_local MeasureScratch scratch;
        return scratch;
    }
    MeasureScratch& shared_;
    MeasureScratch own_;
    bool held_;
};

// An additive metric over a few regions: each region's rows as a bitmap, then its scores read
// straight into the array that is kept, with the sums on the way.
std::vector<RegionSide> measure_few_additive(const Split& s,
                                             const std::vector<core::RegionBox>& boxes,
                                             core::Span<const double> c1,
                                             core::Span<const double> c2) {
    const std::size_t n_words = core::bitmap_words(s.rows), k = boxes.size();
    const core::Span<const double> scores = bind::span(*s.scores);
    const core::Span<const double> weights = span_or_empty(s.weights);
    ScratchLease lease;
    MeasureScratch& scratch = lease.get();
    std::vector<RegionSide> out(k);
    std::vector<std::size_t> counts(k), first_row(k + 1, 0);
    {
        // Buffers we hold references to; no Python objects are touched.
        py::gil_scoped_release release;
        if (scratch.words.size() < k * n_words) scratch.words.resize(k * n_words);
        std::vector<core::ClosedInterval> a(k), b(k);
        for (std::size_t r = 0; r < k; ++r) {
            a[r] = core::closed_interval(boxes[r].first);
            b[r] = c2.empty() ? core::ClosedInterval{} : core::closed_interval(boxes[r].second);
        }
        core::box_bitmaps(c1, c2, a.data(), b.data(), k, scratch.words.data(), counts.data());
        for (std::size_t r = 0; r < k; ++r) first_row[r + 1] = first_row[r] + counts[r];
        if (scratch.rows.size() < first_row[k]) scratch.rows.resize(first_row[k]);
    }
    std::vector<double*> all(k, nullptr);
    std::vector<std::int64_t*> rows(k);
    for (std::size_t r = 0; r < k; ++r) {
        out[r].count = counts[r];
        rows[r] = scratch.rows.data() + first_row[r];
        if (counts[r] == 0) {
            out[r].all = py::list();
            continue;
        }
        py::array_t<double> array(static_cast<py::ssize_t>(counts[r]));
        all[r] = array.mutable_data();
        out[r].all = array;
    }
    std::vector<double> averages(k, std::nan(""));
    {
        py::gil_scoped_release release;  // as above
        core::bitmap_rows(scratch.words.data(), k, n_words, counts.data(), scores, rows.data(),
                          all.data());
        for (std::size_t r = 0; r < k; ++r) {
            if (counts[r] == 0) continue;
            const core::ScoreSums sums = core::sums_of({all[r], counts[r]}, weights, rows[r]);
            averages[r] = core::average_score(sums, s.weights.has_value(),
                                              core::ZeroWeights::kZeroSum);
        }
    }
    for (std::size_t r = 0; r < k; ++r) out[r].average = averages[r];
    return out;
}

// Every weak region measured on one split: its rows, and the average score of an additive metric
// (from the per-sample scores) or the set metric called on the region's rows.
std::vector<RegionSide> measure_split(const Split& s, const Scoring& scoring,
                                      const std::vector<core::RegionBox>& boxes, bool two) {
    const core::Span<const double> c1{s.columns[0].data(), s.rows};
    const core::Span<const double> c2 =
        two ? core::Span<const double>{s.columns[1].data(), s.rows} : core::Span<const double>{};
    // A bitmap per region reads the columns once per region (vector comparisons, about a
    // quarter millisecond per million rows); past a few dozen regions one pass locating every
    // row among the regions' bounds costs less.
    if (scoring.additive && boxes.size() <= 24) return measure_few_additive(s, boxes, c1, c2);
    const core::Span<const double> scores =
        s.scores ? bind::span(*s.scores) : core::Span<const double>{};
    std::vector<core::RegionRows> members;
    {
        // Buffers we hold references to; no Python objects are touched.
        py::gil_scoped_release release;
        members = core::rows_in_regions(c1, c2, boxes, scores);
    }
    std::vector<RegionSide> out(boxes.size());
    for (std::size_t r = 0; r < boxes.size(); ++r) {
        const std::vector<std::int64_t>& rows = members[r].rows;
        out[r].count = rows.size();
        if (rows.empty()) {
            out[r].all = py::list();
            continue;
        }
        if (scoring.additive) {
            const std::vector<double>& values = members[r].values;
            out[r].all = to_array(values);
            const core::ScoreSums sums =
                core::sums_of({values.data(), values.size()}, span_or_empty(s.weights),
                              rows.data());
            out[r].average =
                core::average_score(sums, s.weights.has_value(), core::ZeroWeights::kZeroSum);
            continue;
        }
        py::object w =
            s.weights ? py::object(gather_array(*s.weights, rows)) : py::object(py::none());
        out[r].all = scoring.func(gather_array(*s.y, rows), gather_array(*s.preds, rows),
                                  py::arg("sample_weight") = w);
        out[r].average = py::float_(out[r].all).cast<double>();
    }
    return out;
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
    const std::vector<RegionSide> sides[2] = {measure_split(train, scoring, boxes, two),
                                              measure_split(test, scoring, boxes, two)};
    std::vector<double> gaps;
    for (std::size_t r = 0; r < rows_out.size(); ++r) {
        py::dict& row = rows_out[r];
        const RegionSide& on_train = sides[0][r];
        const RegionSide& on_test = sides[1][r];
        row["#Train"] = py::int_(on_train.count);
        row["#Test"] = py::int_(on_test.count);
        row[py::str("train_" + name + " All")] = on_train.all;
        row[py::str("train_" + name)] = py::float_(on_train.average);
        row[py::str("test_" + name + " All")] = on_test.all;
        row[py::str("test_" + name)] = py::float_(on_test.average);
        const double gap = on_test.average - on_train.average;
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
            out[k] = static_cast<std::int64_t>(sides[s][order[k]].count);
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
    float_column("test_" + name, [&](std::size_t r) { return sides[1][r].average; });
    float_column("train_" + name, [&](std::size_t r) { return sides[0][r].average; });
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
