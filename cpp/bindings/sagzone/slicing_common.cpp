#include "bindings/sagzone/slicing_common.hpp"

#include <algorithm>
#include <cmath>

#include "core/columns.hpp"
#include "core/region_stats.hpp"

namespace movra::sagzone {

py::object& base_slicing_class() {
    static py::object* cls = new py::object();  // lives as long as the interpreter
    return *cls;
}

bool truthy(py::handle obj) {
    const int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

Scoring scoring_of(py::handle self) {
    Scoring s;
    s.name = py::str(self.attr("score_name")).cast<std::string>();
    s.sign = py::float_(self.attr("score_sign")).cast<double>();
    s.func = self.attr("scoring_func");
    s.additive = truthy(self.attr("is_metric_additive"));
    return s;
}

std::optional<bind::Vector> optional_weights(py::handle obj, const std::string& argname,
                                             std::size_t n) {
    if (obj.is_none()) return std::nullopt;
    return bind::as_vector_of_length(obj, argname, n);
}

py::array_t<double> to_array(const std::vector<double>& values) {
    py::array_t<double> out(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
}

py::array_t<std::int64_t> to_positions(const std::vector<std::int64_t>& positions) {
    py::array_t<std::int64_t> out(static_cast<py::ssize_t>(positions.size()));
    std::copy(positions.begin(), positions.end(), out.mutable_data());
    return out;
}

py::array_t<double> gather_array(const bind::Vector& values,
                                 const std::vector<std::int64_t>& positions) {
    py::array_t<double> out(static_cast<py::ssize_t>(positions.size()));
    core::gather(bind::span(values), positions,
                 {out.mutable_data(), static_cast<std::size_t>(out.size())});
    return out;
}

double call_set_score(const py::object& func, const bind::Vector& y, const bind::Vector& preds,
                      const std::optional<bind::Vector>& weights,
                      const std::vector<std::int64_t>& rows) {
    py::object w = weights ? py::object(gather_array(*weights, rows)) : py::object(py::none());
    py::object score = func(gather_array(y, rows), gather_array(preds, rows),
                            py::arg("sample_weight") = w);
    return py::float_(score).cast<double>();
}

std::vector<std::int64_t> resolve_fidx(py::handle self) {
    py::object names = self.attr("feature_names");
    std::vector<std::int64_t> fidx;
    for (py::handle name : self.attr("slice_features")) {
        // list.index: a name that is not a feature raises ValueError.
        const auto position = names.attr("index")(name).cast<std::int64_t>();
        if (std::find(fidx.begin(), fidx.end(), position) == fidx.end()) fidx.push_back(position);
    }
    py::list stored;
    for (std::int64_t f : fidx) stored.append(py::int_(f));
    self.attr("fidx") = stored;
    return fidx;
}

py::array_t<double> select_columns(const bind::Vector& matrix, const std::vector<std::int64_t>& cols,
                                   const std::string& argname) {
    const auto rows = static_cast<std::size_t>(matrix.shape(0));
    const auto width = static_cast<std::size_t>(matrix.shape(1));
    for (std::int64_t c : cols)
        if (c < 0 || static_cast<std::size_t>(c) >= width)
            bind::raise(PyExc_IndexError, argname + " has " + std::to_string(width) +
                                              " columns, column " + std::to_string(c) +
                                              " is out of range");
    py::array_t<double> out({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols.size())});
    const double* in = matrix.data();
    double* o = out.mutable_data();
    {
        // Plain memory copies between buffers we hold references to: no Python objects touched.
        py::gil_scoped_release release;
        const std::size_t k = cols.size();
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < k; ++j)
                o[i * k + j] = in[i * width + static_cast<std::size_t>(cols[j])];
    }
    return out;
}

namespace {

struct CachedColumn {
    py::object matrix;
    std::int64_t column;
    bind::Vector values;
    core::ValueRange range;  // as core::value_range gives it
};
thread_local std::vector<CachedColumn>* active_columns = nullptr;

}  // namespace

std::optional<core::ValueRange> cached_range(const bind::Vector& column) {
    if (active_columns == nullptr || column.size() == 0) return std::nullopt;
    for (const CachedColumn& c : *active_columns)
        if (c.values.data() == column.data() && c.values.size() == column.size()) return c.range;
    return std::nullopt;
}

core::ValueRange range_of(const bind::Vector& column) {
    if (const auto r = cached_range(column)) return *r;
    const core::Span<const double> values = bind::span(column);
    // Reads a buffer we hold a reference to; no Python objects are touched.
    py::gil_scoped_release release;
    return core::value_range(values);
}

ColumnScope::ColumnScope() : outermost_(active_columns == nullptr) {
    if (outermost_) active_columns = new std::vector<CachedColumn>();
}

ColumnScope::~ColumnScope() {
    if (outermost_) {
        delete active_columns;
        active_columns = nullptr;
    }
}

#if PY_VERSION_HEX >= 0x030A0000
GcPause::GcPause() : was_enabled_(PyGC_Disable() != 0) {}
GcPause::~GcPause() {
    if (was_enabled_) PyGC_Enable();
}
#else
GcPause::GcPause() : was_enabled_(false) {
    py::module_ gc = py::module_::import("gc");
    was_enabled_ = gc.attr("isenabled")().cast<bool>();
    if (was_enabled_) gc.attr("disable")();
}
GcPause::~GcPause() {
    if (!was_enabled_) return;
    // A destructor must not throw: an error while re-enabling is reported, not raised.
    PyObject* gc = PyImport_ImportModule("gc");
    PyObject* result = gc != nullptr ? PyObject_CallMethod(gc, "enable", nullptr) : nullptr;
    if (result == nullptr) PyErr_WriteUnraisable(nullptr);
    Py_XDECREF(result);
    Py_XDECREF(gc);
}
#endif

std::vector<bind::Vector> slicing_columns(py::handle matrix, const std::vector<std::int64_t>& cols,
                                          const std::string& argname) {
    std::vector<std::optional<bind::Vector>> found(cols.size());
    std::vector<std::size_t> missing;
    for (std::size_t k = 0; k < cols.size(); ++k) {
        if (active_columns != nullptr)
            for (const CachedColumn& c : *active_columns)
                if (c.matrix.ptr() == matrix.ptr() && c.column == cols[k]) found[k] = c.values;
        if (!found[k]) missing.push_back(k);
    }
    if (!missing.empty()) {
        const bind::Vector m = bind::as_matrix(matrix, argname);
        const auto rows = static_cast<std::size_t>(m.shape(0));
        const auto width = static_cast<std::size_t>(m.shape(1));
        std::vector<double*> outputs;
        std::vector<std::size_t> positions;
        for (std::size_t k : missing) {
            if (cols[k] < 0 || static_cast<std::size_t>(cols[k]) >= width)
                bind::raise(PyExc_IndexError, argname + " has " + std::to_string(width) +
                                                  " columns, column " + std::to_string(cols[k]) +
                                                  " is out of range");
            found[k] = bind::new_vector(rows);
            outputs.push_back(found[k]->mutable_data());
            positions.push_back(static_cast<std::size_t>(cols[k]));
        }
        const double* in = m.data();
        std::vector<core::ValueRange> ranges(outputs.size());
        {
            // Copies between buffers we hold references to; no Python objects are touched.
            py::gil_scoped_release release;
            ranges = core::extract_columns(core::RowMajor{in, rows, width},
                                           {positions.data(), positions.size()}, outputs.data());
        }
        if (active_columns != nullptr)
            for (std::size_t j = 0; j < missing.size(); ++j)
                active_columns->push_back({py::reinterpret_borrow<py::object>(matrix),
                                           cols[missing[j]], *found[missing[j]], ranges[j]});
    }
    std::vector<bind::Vector> out;
    for (auto& f : found) out.push_back(std::move(*f));
    return out;
}

const Keys& keys() {
    static const Keys* k = new Keys{py::str("lb"),     py::str("ub"),     py::str("splits"),
                                    py::str("values"), py::str("counts"), py::str("f0"),
                                    py::str("f1"),     py::str("lb1"),    py::str("ub1"),
                                    py::str("lb2"),    py::str("ub2")};
    return *k;
}

bind::Vector column_of(const bind::Vector& matrix, std::int64_t c, const std::string& argname) {
    return bind::as_vector(select_columns(matrix, {c}, argname).attr("reshape")(-1), argname);
}

namespace {
void set_item(py::dict& d, const py::str& key, py::handle value) {
    if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
}
}  // namespace

py::dict bound_dict(py::handle lb, py::handle ub) {
    const Keys& k = keys();
    py::dict d;
    set_item(d, k.lb, lb);
    set_item(d, k.ub, ub);
    return d;
}

py::dict rule_record(py::handle lb1, py::handle ub1, py::handle lb2, py::handle ub2, bool two,
                     double value, std::int64_t count) {
    const Keys& k = keys();
    py::dict splits;
    set_item(splits, k.f0, bound_dict(lb1, ub1));
    if (two) set_item(splits, k.f1, bound_dict(lb2, ub2));
    py::dict rule;
    set_item(rule, k.splits, splits);
    set_item(rule, k.values, py::float_(value));
    set_item(rule, k.counts, py::int_(count));
    return rule;
}

py::dict region_record(py::handle lb1, py::handle ub1, py::handle lb2, py::handle ub2, bool two) {
    const Keys& k = keys();
    py::dict region;
    set_item(region, k.lb1, lb1);
    set_item(region, k.ub1, ub1);
    if (two) {
        set_item(region, k.lb2, lb2);
        set_item(region, k.ub2, ub2);
    }
    return region;
}

double overall_average(const bind::Vector& scores, const std::optional<bind::Vector>& weights) {
    const core::Span<const double> s = bind::span(scores), w = span_or_empty(weights);
    core::ScoreSums sums;
    {
        // Reads two buffers we hold references to; no Python objects are touched.
        py::gil_scoped_release release;
        sums = core::sums_all(s, w);
    }
    return core::average_score(sums, weights.has_value(), core::ZeroWeights::kNotPositiveSum);
}

}  // namespace movra::sagzone
