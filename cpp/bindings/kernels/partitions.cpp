// Statistics of one partition of a data set spread over a cluster: what movra.dask computes on the
// workers, one call per partition, and merges on the client by addition.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings/common/arrays.hpp"
#include "bindings/common/method.hpp"
#include "bindings/common/records.hpp"
#include "bindings/kernels/kernels_module.hpp"
#include "core/binary_labels.hpp"
#include "core/merged_search.hpp"
#include "core/partition_stats.hpp"

namespace movra::kernels {

namespace {

using Mask = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;

using bind::to_numpy;

// An exact sum as (partials, plain sum, exact): parts merge by concatenating the partials and
// adding the plain sums.
py::tuple exact_sum(const core::ExactSum& s) {
    return py::make_tuple(to_numpy(s.partials()), s.plain(), s.exact());
}

// An exact sum given back as (partials, plain sum, exact), merged or not.
core::ExactSum exact_sum_of(py::handle obj) {
    const py::tuple t(py::reinterpret_borrow<py::object>(obj));
    if (t.size() != 3) bind::raise(PyExc_ValueError, "an exact sum is (partials, plain, exact)");
    const bind::Vector partials = bind::as_vector(t[0], "partials");
    return core::ExactSum::of_parts(bind::span(partials), t[1].cast<double>(), t[2].cast<bool>());
}

// A row mask of length n, or none.
std::optional<Mask> mask_of(py::handle obj, std::size_t n) {
    if (obj.is_none()) return std::nullopt;
    Mask m = bind::ensure_array<Mask>(bind::as_array(obj, "selected"), "selected");
    if (m.ndim() != 1 || static_cast<std::size_t>(m.size()) != n)
        bind::raise(PyExc_ValueError, "selected must be a mask of " + std::to_string(n) + " rows");
    return m;
}
core::Span<const std::uint8_t> span(const std::optional<Mask>& m) {
    if (!m) return {};
    return {m->data(), static_cast<std::size_t>(m->size())};
}

std::optional<bind::Vector> optional_vector(py::handle obj, const char* name, std::size_t n) {
    if (obj.is_none()) return std::nullopt;
    return bind::as_vector_of_length(obj, name, n);
}
core::Span<const double> span(const std::optional<bind::Vector>& v) {
    return v ? bind::span(*v) : core::Span<const double>{};
}

std::vector<double> edges_of(py::handle obj, const char* name) {
    const bind::Vector e = bind::as_vector(obj, name);
    return {e.data(), e.data() + e.size()};
}

// The slicing columns of a partition: one or two vectors of equal length.
struct Columns {
    bind::Vector first_values;
    std::optional<bind::Vector> second_values;
    std::size_t rows = 0;
    core::Span<const double> first() const { return bind::span(first_values); }
    core::Span<const double> second() const {
        return second_values ? bind::span(*second_values) : core::Span<const double>{};
    }
    bool two() const { return second_values.has_value(); }
};

Columns columns_of(py::handle first, py::handle second) {
    Columns c;
    c.first_values = bind::as_vector(first, "first");
    c.rows = static_cast<std::size_t>(c.first_values.size());
    if (!second.is_none()) c.second_values = bind::as_vector_of_length(second, "second", c.rows);
    return c;
}

// Runs a kernel without the GIL: the kernels read buffers the caller holds and write C++ objects
// only (their std::invalid_argument reaches Python as ValueError once the GIL is back).
template <typename F>
auto released(F&& f) {
    py::gil_scoped_release release;
    return f();
}

py::dict sums_dict(const std::vector<core::ScoreSums>& sums) {
    std::vector<std::int64_t> count(sums.size());
    std::vector<double> sum(sums.size()), weight(sums.size()), weighted(sums.size());
    for (std::size_t k = 0; k < sums.size(); ++k) {
        count[k] = sums[k].count;
        sum[k] = sums[k].sum;
        weight[k] = sums[k].weight;
        weighted[k] = sums[k].weighted;
    }
    py::dict d;
    d["count"] = to_numpy(count);
    d["sum"] = to_numpy(sum);
    d["weight"] = to_numpy(weight);
    d["weighted"] = to_numpy(weighted);
    return d;
}

// ---- the kernels ----

py::dict score_totals(py::handle scores_obj, py::handle weights_obj, py::handle selected_obj) {
    const bind::Vector scores = bind::as_vector(scores_obj, "scores");
    const auto n = static_cast<std::size_t>(scores.size());
    const auto weights = optional_vector(weights_obj, "weights", n);
    const auto selected = mask_of(selected_obj, n);
    const core::ScoreTotals t = released(
        [&] { return core::score_totals(bind::span(scores), span(weights), span(selected)); });
    py::dict d;
    d["count"] = t.count;
    d["sum"] = exact_sum(t.sum);
    d["weighted"] = exact_sum(t.weighted);
    d["weight"] = exact_sum(t.weight);
    d["low"] = t.low;
    d["high"] = t.high;
    d["low_weight"] = t.low_weight;
    return d;
}

py::dict weight_summary(py::handle weights_obj) {
    const bind::Vector w = bind::as_vector(weights_obj, "sample_weight");
    const core::WeightSummary s = released([&] { return core::weight_summary(bind::span(w)); });
    py::dict d;
    d["count"] = s.count;
    d["positive"] = s.positive;
    d["non_finite"] = s.non_finite;
    d["positive_sum"] = exact_sum(s.positive_sum);
    return d;
}

py::dict column_ranges(py::handle x, py::handle selected_obj) {
    py::array arr = bind::as_array(x, "X");
    if (arr.ndim() == 1) arr = arr.attr("reshape")(-1, 1);
    const bind::Vector m = bind::as_matrix(arr, "X");
    const auto rows = static_cast<std::size_t>(m.shape(0));
    const auto cols = static_cast<std::size_t>(m.shape(1));
    const auto selected = mask_of(selected_obj, rows);
    const core::ColumnRanges r =
        released([&] { return core::column_ranges(m.data(), rows, cols, span(selected)); });
    std::vector<double> low(cols), high(cols), lowest(cols), highest(cols);
    for (std::size_t j = 0; j < cols; ++j) {
        low[j] = r.ranges[j].min;
        high[j] = r.ranges[j].max;
        lowest[j] = r.present[j].min;
        highest[j] = r.present[j].max;
    }
    py::dict d;
    d["min"] = to_numpy(low);
    d["max"] = to_numpy(high);
    d["lowest"] = to_numpy(lowest);
    d["highest"] = to_numpy(highest);
    d["missing"] = to_numpy(r.missing);
    d["count"] = r.count;
    d["any_nan"] = r.any_nan;
    d["any_inf"] = r.any_inf;
    return d;
}

py::object distinct_values(py::handle x_obj, std::int64_t limit, py::handle selected_obj) {
    if (limit < 0) bind::raise(PyExc_ValueError, "limit must be non-negative");
    const bind::Vector x = bind::as_vector(x_obj, "x");
    const auto selected = mask_of(selected_obj, static_cast<std::size_t>(x.size()));
    return to_numpy(released([&] {
        return core::distinct_values(bind::span(x), span(selected),
                                     static_cast<std::size_t>(limit));
    }));
}

// The rows of a partition on the cells of a histogram search (one column, or two with an edge
// array per first-column bin, the missing one last, None or empty for a bin without values),
// with their scores and weights.
struct CellRows {
    Columns c;
    std::unique_ptr<core::CellGrid> grid;
    bind::Vector scores;
    std::optional<bind::Vector> weights;
    std::optional<Mask> selected;
};

CellRows cell_rows(py::handle first, py::handle second, py::handle edges, py::handle second_edges,
                   py::handle scores, py::handle weights, py::handle selected) {
    CellRows r{columns_of(first, second), nullptr, {}, {}, {}};
    if (r.c.two() == second_edges.is_none())
        bind::raise(PyExc_ValueError, "second_edges go with a second column");
    std::vector<double> e1 = edges_of(edges, "edges");
    if (second_edges.is_none()) {
        r.grid = std::make_unique<core::CellGrid>(std::move(e1));
    } else {
        std::vector<std::vector<double>> e2;
        for (py::handle e : second_edges)
            e2.push_back(e.is_none() ? std::vector<double>{} : edges_of(e, "second_edges"));
        r.grid = std::make_unique<core::CellGrid>(std::move(e1), std::move(e2));
    }
    r.scores = bind::as_vector_of_length(scores, "scores", r.c.rows);
    r.weights = optional_vector(weights, "weights", r.c.rows);
    r.selected = mask_of(selected, r.c.rows);
    return r;
}

py::dict cell_sums(py::handle first, py::handle second, py::handle edges, py::handle second_edges,
                   py::handle scores, py::handle weights, py::handle selected) {
    const CellRows r = cell_rows(first, second, edges, second_edges, scores, weights, selected);
    std::int64_t unplaced = 0;
    const auto sums = released([&] {
        return core::cell_score_sums(*r.grid, r.c.first(), r.c.second(), bind::span(r.scores),
                                     span(r.weights), span(r.selected), &unplaced);
    });
    py::dict d = sums_dict(sums);
    d["unplaced"] = unplaced;
    return d;
}

py::list exact_cell_sums(py::handle first, py::handle second, py::handle edges,
                         py::handle second_edges, py::handle scores, py::handle weights,
                         py::handle selected, const std::vector<std::int64_t>& cells_in) {
    const CellRows r = cell_rows(first, second, edges, second_edges, scores, weights, selected);
    std::vector<std::size_t> cells;
    for (std::int64_t k : cells_in) {
        if (k < 0) bind::raise(PyExc_ValueError, "cell out of range");
        cells.push_back(static_cast<std::size_t>(k));
    }
    const auto sums = released([&] {
        return core::exact_cell_sums(*r.grid, r.c.first(), r.c.second(), bind::span(r.scores),
                                     span(r.weights), span(r.selected), cells);
    });
    py::list out;
    for (const core::ExactCellSums& s : sums)
        out.append(py::make_tuple(s.count, exact_sum(s.weighted), exact_sum(s.weight)));
    return out;
}

py::dict first_bin_profile(py::handle first, py::handle second, py::handle edges,
                           std::int64_t limit, py::handle selected_obj) {
    if (limit < 0) bind::raise(PyExc_ValueError, "limit must be non-negative");
    const Columns c = columns_of(first, second);
    if (!c.two()) bind::raise(PyExc_ValueError, "a second column is needed");
    const std::vector<double> e = edges_of(edges, "edges");
    const auto selected = mask_of(selected_obj, c.rows);
    const core::FirstBinProfile p = released([&] {
        return core::first_bin_profile(e, c.first(), c.second(), span(selected),
                                       static_cast<std::size_t>(limit));
    });
    std::vector<double> low, high;
    py::list distinct;
    for (std::size_t b = 0; b < p.support.size(); ++b) {
        low.push_back(p.range2[b].min);
        high.push_back(p.range2[b].max);
        distinct.append(to_numpy(p.distinct2[b]));
    }
    py::dict d;
    d["support"] = to_numpy(p.support);
    d["missing"] = to_numpy(p.missing2);
    d["min"] = to_numpy(low);
    d["max"] = to_numpy(high);
    d["distinct"] = distinct;
    return d;
}

// Weak-region records as boxes on the partition's one or two columns, closed at `closed_at` (a
// maximum per column) or open.
std::vector<core::RegionBox> boxes_of(py::handle regions, const Columns& c, py::handle closed_at) {
    std::vector<double> maxima;
    if (!closed_at.is_none()) maxima = edges_of(closed_at, "closed_at");
    return bind::region_boxes(regions, c.two() ? 2 : 1, {maxima.data(), maxima.size()});
}

py::dict region_sums(py::handle first, py::handle second, py::handle regions, py::handle closed_at,
                     py::handle scores_obj, py::handle weights_obj, py::handle selected_obj) {
    const Columns c = columns_of(first, second);
    const std::vector<core::RegionBox> boxes = boxes_of(regions, c, closed_at);
    const bind::Vector scores = bind::as_vector_of_length(scores_obj, "scores", c.rows);
    const auto weights = optional_vector(weights_obj, "weights", c.rows);
    const auto selected = mask_of(selected_obj, c.rows);
    return sums_dict(released([&] {
        return core::region_score_sums(c.first(), c.second(), bind::span(scores), span(weights),
                                       span(selected), boxes);
    }));
}

py::object region_multiplicity(py::handle first, py::handle second, py::handle regions,
                               py::handle closed_at, py::handle selected_obj) {
    const Columns c = columns_of(first, second);
    const std::vector<core::RegionBox> boxes = boxes_of(regions, c, closed_at);
    const auto selected = mask_of(selected_obj, c.rows);
    std::vector<std::uint32_t> out(c.rows);
    released([&] {
        core::region_multiplicity(c.first(), c.second(), span(selected), boxes, out.data());
        return 0;
    });
    return to_numpy(out);
}

py::object region_positions(py::handle first, py::handle second, py::handle region,
                            py::handle closed_at, py::handle selected_obj, std::int64_t offset) {
    const Columns c = columns_of(first, second);
    const std::vector<core::RegionBox> boxes = boxes_of(py::make_tuple(region), c, closed_at);
    const auto selected = mask_of(selected_obj, c.rows);
    return to_numpy(released([&] {
        return core::selected_positions_in(c.first(), c.second(), span(selected), boxes[0], offset);
    }));
}

py::list weighted_histograms(py::handle x, py::handle edges_obj, py::handle a_obj,
                             py::handle b_obj) {
    const bind::Vector m = bind::as_matrix(x, "X");
    const auto rows = static_cast<std::size_t>(m.shape(0));
    const auto cols = static_cast<std::size_t>(m.shape(1));
    std::vector<std::vector<double>> edges;
    for (py::handle e : edges_obj) edges.push_back(edges_of(e, "edges"));
    const bind::Vector a = bind::as_vector_of_length(a_obj, "weight_a", rows);
    const bind::Vector b = bind::as_vector_of_length(b_obj, "weight_b", rows);
    const auto counts = released([&] {
        return core::weighted_histograms(m.data(), rows, cols, edges, bind::span(a), bind::span(b));
    });
    py::list out;
    for (const auto& c : counts) out.append(to_numpy(c));
    return out;
}

py::object clipped_log_odds(py::handle proba_obj, double lower, double upper) {
    if (!(0.0 < lower && lower < upper && upper < 1.0))
        bind::raise(PyExc_ValueError, "0 < lower < upper < 1 is required");
    const bind::Vector p = bind::as_vector(proba_obj, "proba");
    bind::Vector out = bind::new_vector(static_cast<std::size_t>(p.size()));
    auto out_span = bind::mutable_span(out);
    {
        // Reads and writes only the two arrays held here.
        py::gil_scoped_release release;
        core::clipped_log_odds(bind::span(p), lower, upper, out_span);
    }
    return std::move(out);
}

py::object average_scores(py::handle sums_obj, bool weighted) {
    std::vector<double> out;
    for (const core::ScoreSums& s : bind::score_sums_of(sums_obj))
        out.push_back(core::average_score(s, weighted, core::ZeroWeights::kZeroSum));
    return to_numpy(out);
}

double exact_average(py::handle totals_obj, bool weighted) {
    const py::dict d = py::reinterpret_borrow<py::dict>(totals_obj);
    core::ScoreTotals t;
    t.count = d["count"].cast<std::int64_t>();
    t.sum = exact_sum_of(d["sum"]);
    t.weighted = exact_sum_of(d["weighted"]);
    t.weight = exact_sum_of(d["weight"]);
    return t.average(weighted);
}

py::object exact_cell_averages(py::handle cells_obj, bool weighted) {
    std::vector<core::ExactCellSums> cells;
    for (py::handle cell : cells_obj) {
        const py::tuple t(py::reinterpret_borrow<py::object>(cell));
        cells.push_back({t[0].cast<std::int64_t>(), exact_sum_of(t[1]), exact_sum_of(t[2])});
    }
    return to_numpy(core::exact_averages(cells, weighted));
}

py::object merged_near_ties(py::handle values_obj, py::handle counts_obj, std::int64_t n_total,
                            double threshold_value, double low, double high, double low_weight) {
    const bind::Vector values = bind::as_vector(values_obj, "values");
    const auto n = static_cast<std::size_t>(values.size());
    const bind::Vector counts = bind::as_vector_of_length(counts_obj, "counts", n);
    core::ScoreProfile p;
    if (low < 0.0 && high > 0.0) p.mixed_sign_scale = std::max(-low, high);
    p.negative_weights = low_weight < 0.0;
    const std::vector<std::uint8_t> out =
        core::merged_near_ties(bind::span(values), bind::span(counts), n_total, threshold_value, p);
    return to_numpy(out).attr("astype")("bool");
}

}  // namespace

void register_partitions(py::module_& m) {
    m.def("average_scores", &average_scores, py::arg("sums"), py::arg("weighted"),
          "Each cell's average score from its count and sums: weighted where its weights do not "
          "sum to zero, else the plain mean; NaN for an empty cell.");
    m.def("exact_average", &exact_average, py::arg("totals"), py::arg("weighted"),
          "The rows' average score from score_totals (merged over parts) rounded once: weighted "
          "where the weights sum to more than zero.");
    m.def("exact_cell_averages", &exact_cell_averages, py::arg("cells"), py::arg("weighted"),
          "The exactly rounded average of each cell of exact_cell_sums (merged over parts); NaN "
          "where there is none.");
    m.def("merged_near_ties", &merged_near_ties, py::arg("values"), py::arg("counts"),
          py::arg("n_total"), py::arg("threshold_value"), py::arg("low"), py::arg("high"),
          py::arg("low_weight"),
          "Which merged averages lie within rounding of the threshold value.");
    const py::none none;
    m.def("score_totals", &score_totals, py::arg("scores"), py::arg("weights") = none,
          py::arg("selected") = none,
          "Count, exact sums of the scores, of w * score and of w (each as (partials, plain "
          "sum, exact)) and the extremes of the selected rows' scores and weights.");
    m.def("weight_summary", &weight_summary, py::arg("sample_weight"),
          "Row count, whether a weight is NaN or infinite, the number of positive weights and "
          "their exact sum (partials, plain sum, exact).");
    m.def("column_ranges", &column_ranges, py::arg("X"), py::arg("selected") = none,
          "Per column the smallest and largest selected value (NaN where one is NaN), the same "
          "of the values that are there (lowest, highest) and how many are missing, the number "
          "of selected rows, and whether any selected value is NaN or infinite.");
    m.def("distinct_values", &distinct_values, py::arg("x"), py::arg("limit"),
          py::arg("selected") = none,
          "Up to `limit` distinct values of the selected rows, in the order first seen.");
    m.def("cell_sums", &cell_sums, py::arg("first"), py::arg("second"), py::arg("edges"),
          py::arg("second_edges"), py::arg("scores"), py::arg("weights") = none,
          py::arg("selected") = none,
          "Count and score sums of the selected rows in every cell of the histogram search on "
          "one column, or on two (second_edges: one edge array per first-column bin, the "
          "missing one last, None for a bin without values); a column's missing rows are a "
          "cell of their own after its bins.");
    m.def("exact_cell_sums", &exact_cell_sums, py::arg("first"), py::arg("second"),
          py::arg("edges"), py::arg("second_edges"), py::arg("scores"), py::arg("weights"),
          py::arg("selected"), py::arg("cells"),
          "For each cell in `cells`: (count, exact sum of w * score, exact sum of w).");
    m.def("first_bin_profile", &first_bin_profile, py::arg("first"), py::arg("second"),
          py::arg("edges"), py::arg("limit"), py::arg("selected") = none,
          "Per bin of the first column (its missing rows last): row count, range of the second "
          "column's values that are there, up to `limit` distinct ones and how many are "
          "missing.");
    m.def("region_sums", &region_sums, py::arg("first"), py::arg("second"), py::arg("regions"),
          py::arg("closed_at"), py::arg("scores"), py::arg("weights") = none,
          py::arg("selected") = none,
          "Count and score sums of the selected rows inside each weak region (records with lb1, "
          "ub1[, lb2, ub2]; an upper bound closed where it equals closed_at's entry, if given).");
    m.def("region_multiplicity", &region_multiplicity, py::arg("first"), py::arg("second"),
          py::arg("regions"), py::arg("closed_at"), py::arg("selected") = none,
          "For every row, the number of weak regions holding it (an upper bound closed where it "
          "equals closed_at's entry, if given; 0 for an unselected row).");
    m.def("region_positions", &region_positions, py::arg("first"), py::arg("second"),
          py::arg("region"), py::arg("closed_at"), py::arg("selected"), py::arg("offset"),
          "Positions among the selected rows, from `offset`, of those inside the weak region "
          "(an upper bound closed where it equals closed_at's entry, if given).");
    m.def("weighted_histograms", &weighted_histograms, py::arg("X"), py::arg("edges"),
          py::arg("weight_a"), py::arg("weight_b"),
          "Per column, histograms on its edges (a value in bin #{inner edges <= value}, NaN in "
          "one more bin) of the rows counted weight_a[i] and weight_b[i] times: the bins of a, "
          "then those of b.");
    m.def("clipped_log_odds", &clipped_log_odds, py::arg("proba"), py::arg("lower"),
          py::arg("upper"), "log(p / (1 - p)) with p clipped to [lower, upper].");
}

}  // namespace movra::kernels
