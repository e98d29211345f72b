// Reading boosted trees and decomposing them into functional-ANOVA effects.
#include "core/fanova.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings/common/arrays.hpp"
#include "bindings/common/method.hpp"
#include "bindings/kernels/kernels_module.hpp"
#include "core/leaf_rules.hpp"
#include "core/trees.hpp"
#include "core/xgboost_model.hpp"

namespace movra::kernels {

namespace {

template <typename T>
py::array_t<T> to_numpy(const std::vector<T>& v) {
    py::array_t<T> out(static_cast<py::ssize_t>(v.size()));
    if (!v.empty()) std::memcpy(out.mutable_data(), v.data(), v.size() * sizeof(T));
    return out;
}

template <typename T>
using Contig = py::array_t<T, py::array::c_style | py::array::forcecast>;

// The node arrays of a trees dict, checked for equal lengths, kept alive with their view.
struct HeldTrees {
    Contig<std::int64_t> offsets, left, right, feature;
    Contig<double> threshold, value;
    Contig<std::uint8_t> default_left;
    Contig<std::uint8_t> categorical;
    Contig<std::int64_t> category_offsets, categories;
    core::TreeView view;
    std::vector<std::int64_t> n_categories;  // per feature, once known (see categories_of)
};

template <typename T>
Contig<T> field(const py::dict& trees, const char* key) {
    if (!trees.contains(key))
        bind::raise(PyExc_ValueError, std::string("trees lacks '") + key + "'");
    const std::string argname = std::string("trees['") + key + "']";
    Contig<T> a = bind::ensure_array<Contig<T>>(trees[key], argname);
    if (a.ndim() != 1) bind::raise(PyExc_ValueError, argname + " must be a 1-D numeric array");
    return a;
}

template <typename T>
core::Span<const T> sp(const Contig<T>& a) {
    return {a.data(), static_cast<std::size_t>(a.size())};
}

template <typename T>
Contig<T> optional_field(const py::dict& trees, const char* key) {
    if (!trees.contains(key)) return Contig<T>(0);
    return field<T>(trees, key);
}

HeldTrees hold_trees(py::handle obj) {
    if (!py::isinstance<py::dict>(obj))
        bind::raise(PyExc_TypeError, "trees must be a dict of arrays");
    py::dict d = py::reinterpret_borrow<py::dict>(obj);
    HeldTrees h{field<std::int64_t>(d, "tree_offsets"),
                field<std::int64_t>(d, "left"),
                field<std::int64_t>(d, "right"),
                field<std::int64_t>(d, "feature"),
                field<double>(d, "threshold"),
                field<double>(d, "value"),
                field<std::uint8_t>(d, "default_left"),
                optional_field<std::uint8_t>(d, "categorical"),
                optional_field<std::int64_t>(d, "category_offsets"),
                optional_field<std::int64_t>(d, "categories"),
                {},
                {}};
    const py::ssize_t n = h.left.size();
    if (h.right.size() != n || h.feature.size() != n || h.threshold.size() != n ||
        h.value.size() != n || h.default_left.size() != n)
        bind::raise(PyExc_ValueError, "the node arrays of trees differ in length");
    if (h.offsets.size() < 1 || h.offsets.data()[0] != 0 ||
        h.offsets.data()[h.offsets.size() - 1] != n)
        bind::raise(PyExc_ValueError, "trees['tree_offsets'] must run from 0 to the node count");
    h.view =
        core::TreeView{sp(h.offsets),          sp(h.left),         sp(h.right), sp(h.feature),
                       sp(h.threshold),        sp(h.default_left), sp(h.value), sp(h.categorical),
                       sp(h.category_offsets), sp(h.categories)};
    core::check_category_sets(h.view);
    return h;
}

// Each feature's category count: the given ones (None: none given), raised to what the trees'
// category sets need, so that every split's categories have a code.
void categories_of(HeldTrees& trees, py::handle given, std::size_t n_columns) {
    std::vector<std::int64_t> counts = core::categories_in_splits(trees.view, n_columns);
    if (!given.is_none()) {
        std::size_t j = 0;
        for (py::handle k : given) {
            if (j == n_columns)
                bind::raise(PyExc_ValueError, "n_categories has more entries than X has columns");
            const auto count = py::int_(py::reinterpret_borrow<py::object>(k)).cast<std::int64_t>();
            if (count < 0) bind::raise(PyExc_ValueError, "n_categories must not be negative");
            counts[j] = std::max(counts[j], count);
            ++j;
        }
        if (j != n_columns)
            bind::raise(PyExc_ValueError, "n_categories has fewer entries than X has columns");
    }
    trees.n_categories = std::move(counts);
}

core::Span<const std::int64_t> n_categories_span(const HeldTrees& trees) {
    return {trees.n_categories.data(), trees.n_categories.size()};
}

// JSON text opens with '{' then a quoted key (or '}'); UBJSON's keys start with a length marker.
bool is_json(const std::string& text) {
    std::size_t i = 0;
    auto skip = [&] {
        while (i < text.size() &&
               (text[i] == ' ' || text[i] == '\n' || text[i] == '\r' || text[i] == '\t'))
            ++i;
    };
    skip();
    if (i == text.size() || text[i] != '{') return false;
    ++i;
    skip();
    return i < text.size() && (text[i] == '"' || text[i] == '}');
}

py::dict read_trees(py::buffer model) {
    py::buffer_info info = model.request();
    // A private copy of the bytes in their logical order (a strided view such as
    // memoryview(raw)[::2] included): the caller's buffer (a bytearray) could change once the GIL
    // is released.
    std::string text(static_cast<std::size_t>(info.size * info.itemsize), '\0');
    if (PyBuffer_ToContiguous(text.data(), info.view(), static_cast<Py_ssize_t>(text.size()),
                              'C') != 0)
        throw py::error_already_set();
    core::TreeArrays trees;
    {
        // The kernel reads only the private copy above.
        py::gil_scoped_release release;
        trees = is_json(text) ? core::read_xgboost_json(text.data(), text.size())
                              : core::read_xgboost_ubjson(text.data(), text.size());
    }
    py::dict out;
    out["tree_offsets"] = to_numpy(trees.tree_offsets);
    out["left"] = to_numpy(trees.left);
    out["right"] = to_numpy(trees.right);
    out["feature"] = to_numpy(trees.feature);
    out["threshold"] = to_numpy(trees.threshold);
    out["default_left"] = to_numpy(trees.default_left);
    out["value"] = to_numpy(trees.value);
    out["categorical"] = to_numpy(trees.categorical);
    out["category_offsets"] = to_numpy(trees.category_offsets);
    out["categories"] = to_numpy(trees.categories);
    return out;
}

// A pair's grid (levels or counts), row-major, as a rows x cols array.
py::array_t<double> grid_2d(const std::vector<double>& cells, std::size_t rows, std::size_t cols) {
    py::array_t<double> out({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
    if (!cells.empty())
        std::memcpy(out.mutable_data(), cells.data(), cells.size() * sizeof(double));
    return out;
}

py::dict effects_dict(const core::Effects& fx) {
    py::list mains, pairs;
    for (const core::MainEffect& m : fx.mains) {
        py::dict d;
        d["feature"] = m.feature;
        d["n_categories"] = m.n_categories;
        d["split_points"] = to_numpy(m.split_points);
        d["levels"] = to_numpy(m.levels);
        d["counts"] = to_numpy(m.counts);
        d["importance"] = m.importance;
        mains.append(d);
    }
    for (const core::PairEffect& p : fx.pairs) {
        py::dict d;
        d["features"] = py::make_tuple(p.feature_a, p.feature_b);
        d["split_points"] = py::make_tuple(to_numpy(p.split_points_a), to_numpy(p.split_points_b));
        const std::size_t rows = p.split_points_a.size() + 2, cols = p.split_points_b.size() + 2;
        d["levels"] = grid_2d(p.levels, rows, cols);
        d["counts"] = grid_2d(p.counts, rows, cols);
        d["importance"] = p.importance;
        d["purify_iterations"] = p.purify_iterations;
        d["purify_converged"] = p.purify_converged;
        d["purify_residual"] = p.purify_residual;
        pairs.append(d);
    }
    py::dict out;
    out["intercept"] = fx.intercept;
    out["mains"] = mains;
    out["pairs"] = pairs;
    return out;
}

// The decomposition's options, checked. The kernels' std::invalid_argument reaches Python as
// ValueError (pybind11's translation), once the GIL is back.
core::FanovaOptions options_of(bool purify, bool true_to_data, double tolerance,
                               std::int64_t max_iterations) {
    if (!(tolerance >= 0.0)) bind::raise(PyExc_ValueError, "tolerance must be non-negative");
    if (max_iterations < 1) bind::raise(PyExc_ValueError, "max_iterations must be at least 1");
    core::FanovaOptions options;
    options.purify = purify;
    options.true_to_data = true_to_data;
    options.tolerance = tolerance;
    options.max_iterations = static_cast<std::size_t>(max_iterations);
    return options;
}

py::dict effects(py::handle trees_obj, double base_margin, py::handle x, bool purify,
                 bool true_to_data, double tolerance, std::int64_t max_iterations,
                 py::handle n_categories) {
    HeldTrees trees = hold_trees(trees_obj);
    bind::Vector xm = bind::as_matrix(x, "X");
    if (xm.shape(0) == 0) bind::raise(PyExc_ValueError, "X has no rows");
    const core::FanovaOptions options = options_of(purify, true_to_data, tolerance, max_iterations);
    const core::Matrix data{xm.data(), static_cast<std::size_t>(xm.shape(0)),
                            static_cast<std::size_t>(xm.shape(1))};
    categories_of(trees, n_categories, data.n_columns);
    core::Effects fx;
    {
        // The kernels read the node arrays and X held above and write only C++ vectors.
        py::gil_scoped_release release;
        fx = core::fanova_effects(
            core::leaf_rules(trees.view, data.n_columns, n_categories_span(trees)), base_margin,
            data, options);
    }
    return effects_dict(fx);
}

py::list as_list(const std::vector<std::vector<double>>& arrays) {
    py::list out;
    for (const auto& a : arrays) out.append(to_numpy(a));
    return out;
}

std::vector<std::vector<double>> as_arrays(py::handle list, const char* name) {
    std::vector<std::vector<double>> out;
    for (py::handle a : list) {
        const bind::Vector v = bind::as_vector(a, name);
        out.emplace_back(v.data(), v.data() + v.size());
    }
    return out;
}

py::dict grid_counts(py::handle trees_obj, py::handle x, py::handle n_categories) {
    HeldTrees trees = hold_trees(trees_obj);
    bind::Vector xm = bind::as_matrix(x, "X");
    const core::Matrix data{xm.data(), static_cast<std::size_t>(xm.shape(0)),
                            static_cast<std::size_t>(xm.shape(1))};
    categories_of(trees, n_categories, data.n_columns);
    core::GridCounts counts;
    {
        // Reads the node arrays and X held above; writes C++ vectors only.
        py::gil_scoped_release release;
        const core::Effects grids = core::effect_grids(
            core::leaf_rules(trees.view, data.n_columns, n_categories_span(trees)), 0.0,
            data.n_columns);
        counts = core::grid_counts(grids, data);
    }
    py::dict out;
    out["mains"] = as_list(counts.mains);
    out["pairs"] = as_list(counts.pairs);
    out["n_rows"] = data.n_rows;
    return out;
}

py::dict effects_from_counts(py::handle trees_obj, double base_margin, py::handle counts_obj,
                             std::int64_t n_columns, bool purify, bool true_to_data,
                             double tolerance, std::int64_t max_iterations,
                             py::handle n_categories) {
    HeldTrees trees = hold_trees(trees_obj);
    if (!py::isinstance<py::dict>(counts_obj))
        bind::raise(PyExc_TypeError, "counts must be a dict as grid_counts gives it");
    const py::dict counts_dict = py::reinterpret_borrow<py::dict>(counts_obj);
    for (const char* key : {"mains", "pairs", "n_rows"})
        if (!counts_dict.contains(key))
            bind::raise(PyExc_ValueError, std::string("counts lacks '") + key + "'");
    core::GridCounts counts{as_arrays(counts_dict["mains"], "counts['mains']"),
                            as_arrays(counts_dict["pairs"], "counts['pairs']")};
    const double n_rows = py::float_(counts_dict["n_rows"]).cast<double>();
    if (n_columns < 1) bind::raise(PyExc_ValueError, "n_columns must be at least 1");
    if (!(n_rows >= 1.0)) bind::raise(PyExc_ValueError, "X has no rows");
    const core::FanovaOptions options = options_of(purify, true_to_data, tolerance, max_iterations);
    const auto columns = static_cast<std::size_t>(n_columns);
    categories_of(trees, n_categories, columns);
    core::Effects fx;
    {
        // Reads the node arrays held above and C++ copies of the counts.
        py::gil_scoped_release release;
        fx = core::effect_grids(core::leaf_rules(trees.view, columns, n_categories_span(trees)),
                                base_margin, columns);
        core::finish_effects(fx, counts, n_rows, options);
    }
    return effects_dict(fx);
}

py::object margins(py::handle trees_obj, double base_margin, py::handle x) {
    HeldTrees trees = hold_trees(trees_obj);
    bind::Vector xm = bind::as_matrix(x, "X");
    const auto n_columns = static_cast<std::size_t>(xm.shape(1));
    categories_of(trees, py::none(), n_columns);
    bind::Vector out = bind::new_vector(static_cast<std::size_t>(xm.shape(0)));
    auto out_span = bind::mutable_span(out);
    {
        // Reads the arrays held above, writes the new output array only.
        py::gil_scoped_release release;
        // Validates indices before the walk.
        core::leaf_rules(trees.view, n_columns, n_categories_span(trees));
        core::tree_margins(trees.view, base_margin, bind::span(xm), n_columns, out_span);
    }
    return std::move(out);
}

}  // namespace

void register_fanova(py::module_& m) {
    m.def("read_xgboost_trees", &read_trees, py::arg("model_json"),
          "Node arrays of every tree of a gbtree model saved by Booster.save_raw('ubj') or "
          "save_raw('json') (recognised from the data): "
          "tree_offsets, left, right, feature, threshold, default_left, value, and for splits "
          "on sets of categories categorical (a flag per node), category_offsets and "
          "categories (each node's codes, which go right).");
    m.def("fanova_effects", &effects, py::arg("trees"), py::arg("base_margin"), py::arg("X"),
          py::arg("purify") = true, py::arg("true_to_data") = false, py::arg("tolerance") = 1e-13,
          py::arg("max_iterations") = 10000, py::arg("n_categories") = py::none(),
          "Intercept, main effects and pairwise interactions of the trees as step functions, "
          "purified under the rows of X (product of marginal frequencies, or joint cell "
          "frequencies when true_to_data), with each effect's variance over X and the rows of X "
          "counted in each bin or cell of its grid ('counts', shaped as 'levels'). "
          "n_categories: each column's category count (0: numerical; None: only what the "
          "trees' category splits need); a categorical column holds codes 0 .. k-1 or NaN, and "
          "its grid has a bin per code.");
    m.def("grid_counts", &grid_counts, py::arg("trees"), py::arg("X"),
          py::arg("n_categories") = py::none(),
          "The rows of X counted on the effects' grids of the trees: per main effect and per "
          "interaction (row-major), with n_rows; counts of parts of the data add up to the "
          "whole's.");
    m.def("fanova_effects_from_counts", &effects_from_counts, py::arg("trees"),
          py::arg("base_margin"), py::arg("counts"), py::arg("n_columns"), py::arg("purify") = true,
          py::arg("true_to_data") = false, py::arg("tolerance") = 1e-13,
          py::arg("max_iterations") = 10000, py::arg("n_categories") = py::none(),
          "fanova_effects from the rows' counts on the grids (grid_counts, summed over the parts "
          "of the data) instead of the rows.");
    m.def("tree_margins", &margins, py::arg("trees"), py::arg("base_margin"), py::arg("X"),
          "base_margin plus the leaf each row reaches in every tree, summed in double.");
}

}  // namespace movra::kernels
