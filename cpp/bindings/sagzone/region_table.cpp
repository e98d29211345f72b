#include "bindings/sagzone/region_table.hpp"

#include <pybind11/numpy.h>

#include <string>

#include "bindings/common/arrays.hpp"
#include "bindings/sagzone/sagzone_module.hpp"
#include "core/order.hpp"
#include "core/region_stats.hpp"

namespace movra::sagzone {

namespace {

// One slicing feature's condition in every region, as the records hold it.
struct FeatureConditions {
    bool categorical = false;
    py::object labels;  // the category labels (None: the codes stand for themselves)
    std::vector<double> lb, ub;
    std::vector<std::vector<std::int32_t>> codes;  // a set's codes, else empty
    bool any_set = false;
};

FeatureConditions conditions_of(py::handle self, const py::list& weak, std::int64_t column,
                                std::size_t f) {
    FeatureConditions c;
    const py::object types = py::getattr(self, "feature_types", py::none());
    c.categorical =
        !types.is_none() && py::str(types[py::int_(column)]).cast<std::string>() == "categorical";
    const py::object labels = py::getattr(self, "category_labels", py::none());
    c.labels = labels.is_none() ? py::object(py::none()) : py::object(labels[py::int_(column)]);
    const std::string i = std::to_string(f + 1);
    const py::str lb("lb" + i), ub("ub" + i), codes("codes" + i);
    for (py::handle region : weak) {
        const py::dict d = py::reinterpret_borrow<py::dict>(region);
        c.lb.push_back(py::float_(d[lb]).cast<double>());
        c.ub.push_back(py::float_(d[ub]).cast<double>());
        std::vector<std::int32_t> set;
        if (d.contains(codes))
            for (py::handle code : d[codes]) set.push_back(code.cast<std::int32_t>());
        c.any_set = c.any_set || !set.empty();
        c.codes.push_back(std::move(set));
    }
    return c;
}

// The table, built column by column from what is known here (a DataFrame from the records would
// infer every column's type from Python objects, row by row).
py::object region_table(py::handle self, const py::list& weak, const SplitMeasure sides[2],
                        const std::vector<double>& gaps, const std::vector<std::size_t>& order,
                        const std::vector<std::int64_t>& fidx, const std::string& name) {
    const std::size_t n_rows = order.size();
    const py::list features(self.attr("feature_names"));
    py::list names, columns;
    const auto float_column = [&](const auto& value_of) {
        py::array_t<double> column(static_cast<py::ssize_t>(n_rows));
        for (std::size_t k = 0; k < n_rows; ++k) column.mutable_data()[k] = value_of(order[k]);
        columns.append(column);
    };
    const auto object_column = [&](const auto& value_of) {
        py::list column;
        for (std::size_t k = 0; k < n_rows; ++k) column.append(value_of(order[k]));
        // A list, not an array: numpy would unpack tuples of labels into a second axis.
        columns.append(column);
    };
    for (std::size_t f = 0; f < fidx.size(); ++f) {
        const py::str fname = py::str(features[static_cast<std::size_t>(fidx[f])]);
        const FeatureConditions c = conditions_of(self, weak, fidx[f], f);
        if (c.categorical) {
            object_column([&](std::size_t r) { return labelled(c.codes[r], c.labels); });
            names.append(fname);
            continue;
        }
        for (const std::vector<double>* bound : {&c.lb, &c.ub}) {
            if (!c.any_set) {
                float_column([&](std::size_t r) { return (*bound)[r]; });
            } else {
                // The missing rows of a numerical feature are named, not written as NaN bounds.
                object_column([&](std::size_t r) {
                    return c.codes[r].empty() ? py::object(py::float_((*bound)[r]))
                                              : deps().MISSING;
                });
            }
        }
        names.append(py::str("[") + fname);
        names.append(fname + py::str(")"));
    }
    const auto int_column = [&](const SplitMeasure& side) {
        py::array_t<std::int64_t> column(static_cast<py::ssize_t>(n_rows));
        for (std::size_t k = 0; k < n_rows; ++k)
            column.mutable_data()[k] = static_cast<std::int64_t>(side.counts[order[k]]);
        columns.append(column);
    };
    int_column(sides[1]);
    int_column(sides[0]);
    float_column([&](std::size_t r) { return sides[1].averages[r]; });
    float_column([&](std::size_t r) { return sides[0].averages[r]; });
    float_column([&](std::size_t r) { return gaps[r]; });
    for (const std::string& c : {std::string("#Test"), std::string("#Train"), "test_" + name,
                                 "train_" + name, std::string("Gap")})
        names.append(py::str(c));
    py::dict data;
    for (std::size_t k = 0; k < columns.size(); ++k) data[py::int_(k)] = columns[k];
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
}  // namespace

py::tuple labelled(const std::vector<std::int32_t>& codes, const py::object& labels) {
    py::tuple out(codes.size());
    for (std::size_t k = 0; k < codes.size(); ++k) {
        const py::int_ code(codes[k]);
        out[k] = codes[k] == core::kMissingCode ? deps().MISSING
                 : labels.is_none()             ? py::object(code)
                                                : py::object(labels[code]);
    }
    return out;
}

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
    return region_table(self, weak, sides, gaps, order, fidx, name);
}

namespace {

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

void add_region_table(bind::ClassBuilder& cls) {
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
