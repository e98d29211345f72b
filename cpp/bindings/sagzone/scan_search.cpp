#include "bindings/sagzone/scan_search.hpp"

#include <cmath>
#include <memory>

#include "bindings/common/records.hpp"
#include "core/region_measure.hpp"
#include "core/scan.hpp"

namespace movra::sagzone {

namespace {

// The slicer SagZone would build for these features, with the scan's settings.
py::object make_scan_slicer(const ScanContext& ctx, const std::vector<std::int64_t>& cols) {
    py::list features;
    for (std::int64_t c : cols) features.append(py::str(ctx.names[static_cast<std::size_t>(c)]));
    py::object slicer = make_slicer(ctx.owner, features);
    slicer.attr("feature_names") = ctx.feature_names;
    // What the driver would set: which features are categorical, and their labels.
    slicer.attr("feature_types") = ctx.owner.attr("feature_types");
    slicer.attr("category_labels") = py::getattr(ctx.owner, "category_labels", py::none());
    return slicer;
}

// The rows of every box on one split's columns, each list in increasing order.
std::vector<std::vector<std::int64_t>> rows_of_boxes(const std::vector<FitColumns::Column>& columns,
                                                     const std::vector<core::RegionBox>& boxes) {
    const core::Span<const double> c1 = bind::span(columns[0].values);
    const core::Span<const double> c2 =
        columns.size() > 1 ? bind::span(columns[1].values) : core::Span<const double>{};
    // Pure C++ over buffers the context holds; no Python objects are touched.
    py::gil_scoped_release release;
    const core::RegionMeasure measure(c1, c2, boxes);
    std::vector<std::vector<std::int64_t>> rows(boxes.size());
    std::vector<std::int64_t*> out(boxes.size());
    std::vector<double*> unused(boxes.size(), nullptr);
    for (std::size_t r = 0; r < boxes.size(); ++r) {
        rows[r].resize(measure.count(r));
        out[r] = rows[r].data();
    }
    measure.list({}, {}, out.data(), unused.data());
    return rows;
}

core::RegionMoments moments_of(const ScanSplitData& split, const std::vector<std::int64_t>& rows) {
    const bind::Vector scores = bind::as_vector(split.scores, "scores");
    const std::optional<bind::Vector> weights =
        split.weights.is_none() ? std::nullopt
                                : std::optional<bind::Vector>(bind::as_vector(split.weights, "w"));
    const core::Span<const double> s = bind::span(scores), w = span_or_empty(weights);
    py::gil_scoped_release release;  // reads buffers we hold references to
    return core::moments_at(s, w, rows.data(), rows.size());
}

// A weak-region record's set of codes on one feature (empty for an interval).
std::vector<std::int32_t> codes_of(py::handle record, const char* key) {
    std::vector<std::int32_t> codes;
    const py::object found = py::reinterpret_borrow<py::dict>(record).attr("get")(key);
    if (!found.is_none())
        for (py::handle c : found) codes.push_back(c.cast<std::int32_t>());
    return codes;
}

py::object take(py::handle values, const std::vector<std::int64_t>& rows) {
    if (values.is_none()) return py::none();
    return values.attr("__getitem__")(bind::to_numpy(rows));
}

// A set metric on the region's rows of one split (side 0: training, 1: test), or of both (2).
double set_score(const ScanContext& ctx, const std::vector<std::int64_t>& train_rows,
                 const std::vector<std::int64_t>& test_rows, int side) {
    const py::module_& np = deps().np;
    py::object y, pred, w;
    if (side == 0 || side == 1) {
        const ScanSplitData& s = side == 0 ? ctx.train : ctx.test;
        const std::vector<std::int64_t>& rows = side == 0 ? train_rows : test_rows;
        y = take(s.y, rows);
        pred = take(s.pred, rows);
        w = take(s.weights, rows);
    } else {
        y = np.attr("concatenate")(
            py::make_tuple(take(ctx.train.y, train_rows), take(ctx.test.y, test_rows)));
        pred = np.attr("concatenate")(
            py::make_tuple(take(ctx.train.pred, train_rows), take(ctx.test.pred, test_rows)));
        w = ctx.weighted
                ? np.attr("concatenate")(py::make_tuple(take(ctx.train.weights, train_rows),
                                                        take(ctx.test.weights, test_rows)))
                : py::object(py::none());
    }
    if (py::len(y) == 0) return std::nan("");
    return py::float_(ctx.scoring_func(y, pred, py::arg("sample_weight") = w)).cast<double>();
}

}  // namespace

std::vector<core::FoundRegion> search_features(ScanContext& ctx,
                                               const std::vector<std::int64_t>& cols) {
    const py::object slicer = make_scan_slicer(ctx, cols);
    const ScanSplitData& searched = ctx.use_test ? ctx.test : ctx.train;
    const py::object scores = ctx.additive
                                  ? searched.scores
                                  : ctx.scoring_func(searched.y, searched.pred,
                                                     py::arg("sample_weight") = searched.weights);
    run_strategy_fit(slicer, {searched.x, searched.y, searched.pred, scores, searched.weights},
                     ctx.columns);
    const py::list weak = slicer.attr("weak_region");
    if (py::len(weak) == 0) return {};
    const auto train_columns = ctx.columns.get(ctx.train.x, cols, "train_x");
    const auto test_columns = ctx.columns.get(ctx.test.x, cols, "test_x");
    // Closed at the searched split's maxima, as SagZone measures its regions.
    std::vector<double> maxima;
    for (const FitColumns::Column& c : ctx.use_test ? test_columns : train_columns)
        maxima.push_back(c.top());
    const std::vector<core::RegionBox> boxes =
        bind::region_boxes(weak, cols.size(), {maxima.data(), maxima.size()});
    const auto train_rows = rows_of_boxes(train_columns, boxes);
    const auto test_rows = rows_of_boxes(test_columns, boxes);
    std::vector<core::FoundRegion> found(boxes.size());
    for (std::size_t r = 0; r < boxes.size(); ++r) {
        core::FoundRegion& f = found[r];
        f.first = cols[0];
        f.second = cols.size() > 1 ? cols[1] : -1;
        f.lb1 = boxes[r].first.lb;
        f.ub1 = boxes[r].first.ub;
        f.lb2 = cols.size() > 1 ? boxes[r].second.lb : std::nan("");
        f.ub2 = cols.size() > 1 ? boxes[r].second.ub : std::nan("");
        f.codes1 = codes_of(weak[r], "codes1");
        if (cols.size() > 1) f.codes2 = codes_of(weak[r], "codes2");
        f.closed1 = boxes[r].first.closed;
        f.closed2 = cols.size() > 1 && boxes[r].second.closed;
        if (ctx.additive) {
            f.train = moments_of(ctx.train, train_rows[r]);
            f.test = moments_of(ctx.test, test_rows[r]);
            continue;
        }
        f.train.count = static_cast<std::int64_t>(train_rows[r].size());
        f.test.count = static_cast<std::int64_t>(test_rows[r].size());
        f.train_score = set_score(ctx, train_rows[r], test_rows[r], 0);
        f.test_score = set_score(ctx, train_rows[r], test_rows[r], 1);
        f.overall_score = set_score(ctx, train_rows[r], test_rows[r], 2);
    }
    return found;
}

namespace {

core::ScanSplit scan_split(const ScanSplitData& s, const bind::Vector& scores,
                           const std::optional<bind::Vector>& weights) {
    return {bind::span(s.positions), bind::span(scores), span_or_empty(weights)};
}

std::optional<bind::Vector> weights_of(const ScanSplitData& s) {
    if (s.weights.is_none()) return std::nullopt;
    return bind::as_vector(s.weights, "sample_weight");
}

}  // namespace

std::vector<core::FoundRegion> scan_histograms(
    const ScanContext& ctx, const std::vector<std::int64_t>& features,
    const std::vector<std::pair<std::int64_t, std::int64_t>>& pairs) {
    const py::object& o = ctx.owner;
    const bind::Vector train_scores = bind::as_vector(ctx.train.scores, "scores");
    const bind::Vector test_scores = bind::as_vector(ctx.test.scores, "scores");
    const auto train_weights = weights_of(ctx.train), test_weights = weights_of(ctx.test);
    const ScanSplitData& searched = ctx.use_test ? ctx.test : ctx.train;
    core::ScanRequest request;
    request.x = {ctx.matrix.data(), static_cast<std::size_t>(ctx.matrix.shape(0)),
                 static_cast<std::size_t>(ctx.matrix.shape(1))};
    request.train = scan_split(ctx.train, train_scores, train_weights);
    request.test = scan_split(ctx.test, test_scores, test_weights);
    request.use_test = ctx.use_test;
    request.kinds = ctx.kinds;
    for (std::int64_t f : features) request.features.push_back(static_cast<std::size_t>(f));
    for (const auto& p : pairs)
        request.pairs.emplace_back(static_cast<std::size_t>(p.first),
                                   static_cast<std::size_t>(p.second));
    // As HistogramSlicing sets them: the threshold value from numpy's own average.
    core::SearchSettings& settings = request.settings;
    settings.max_bins = py::int_(o.attr("bins")).cast<std::int64_t>();
    settings.min_samples = py::int_(o.attr("min_samples")).cast<std::int64_t>();
    settings.score_sign = ctx.score_sign;
    Scoring additive;  // the histogram scan's metric is additive
    settings.threshold_value =
        py::float_(threshold_value(ctx.threshold, additive, searched.scores, searched.weights))
            .cast<double>();
    settings.ties = ctx.use_test ? near_ties(test_scores, test_weights)
                                 : near_ties(train_scores, train_weights);
    std::vector<core::ScanRegion> regions;
    {
        // Pure C++ over buffers we hold references to (near ties take the GIL themselves).
        py::gil_scoped_release release;
        regions = core::scan_histograms(request);
    }
    std::vector<core::FoundRegion> found;
    found.reserve(regions.size());
    for (const core::ScanRegion& r : regions) found.emplace_back(r);
    return found;
}

}  // namespace movra::sagzone
