#include "bindings/sagzone/slicing_common.hpp"

#include <algorithm>

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

py::array_t<double> gather_array(core::Span<const double> values,
                                 const std::vector<std::int64_t>& positions) {
    py::array_t<double> out(static_cast<py::ssize_t>(positions.size()));
    core::gather(values, positions, {out.mutable_data(), static_cast<std::size_t>(out.size())});
    return out;
}

double call_set_score(const py::object& func, const bind::Vector& y, const bind::Vector& preds,
                      const std::optional<bind::Vector>& weights,
                      const std::vector<std::int64_t>& rows) {
    py::object w =
        weights ? py::object(gather_array(bind::span(*weights), rows)) : py::object(py::none());
    py::object score = func(gather_array(bind::span(y), rows),
                            gather_array(bind::span(preds), rows), py::arg("sample_weight") = w);
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

py::object numpy_average(py::handle scores, py::handle weights) {
    const py::module_& np = deps().np;
    py::object w = py::none();
    if (!weights.is_none() && np.attr("sum")(weights) > py::int_(0))
        w = py::reinterpret_borrow<py::object>(weights);
    return np.attr("average")(scores, py::arg("weights") = w);
}

core::NearTies near_ties(const bind::Vector& scores, const std::optional<bind::Vector>& weights) {
    core::NearTies ties;
    const core::Span<const double> s = bind::span(scores), w = span_or_empty(weights);
    // Spans, not array handles: copying the callback must not touch reference counts.
    ties.exact_average = [s, w](const std::vector<std::int64_t>& rows) {
        py::gil_scoped_acquire acquire;
        const py::module_& np = deps().np;
        py::object values = gather_array(s, rows);
        if (!w.empty()) {
            py::object at_rows = gather_array(w, rows);
            if (!np.attr("sum")(at_rows).equal(py::int_(0)))
                return py::float_(np.attr("average")(values, py::arg("weights") = at_rows))
                    .cast<double>();
        }
        return py::float_(np.attr("average")(values)).cast<double>();
    };
    return ties;
}

std::vector<FitColumns::Column> FitColumns::get(py::handle matrix,
                                                const std::vector<std::int64_t>& cols,
                                                const std::string& argname) {
    std::vector<std::optional<Column>> found(cols.size());
    std::vector<std::size_t> missing;
    for (std::size_t k = 0; k < cols.size(); ++k) {
        for (const Entry& e : entries_)
            if (e.matrix.ptr() == matrix.ptr() && e.position == cols[k]) found[k] = e.column;
        if (!found[k]) missing.push_back(k);
    }
    if (!missing.empty()) {
        const bind::Vector m = bind::as_matrix(matrix, argname);
        const auto rows = static_cast<std::size_t>(m.shape(0));
        const auto width = static_cast<std::size_t>(m.shape(1));
        std::vector<std::size_t> positions;
        std::vector<double*> outputs;
        for (std::size_t k : missing) {
            if (cols[k] < 0 || static_cast<std::size_t>(cols[k]) >= width)
                bind::raise(PyExc_IndexError, argname + " has " + std::to_string(width) +
                                                  " columns, column " + std::to_string(cols[k]) +
                                                  " is out of range");
            found[k] = Column{bind::new_vector(rows), {}};
            positions.push_back(static_cast<std::size_t>(cols[k]));
            outputs.push_back(found[k]->values.mutable_data());
        }
        std::vector<core::ValueRange> ranges;
        {
            // Copies between buffers we hold references to; no Python objects are touched.
            py::gil_scoped_release release;
            ranges = core::extract_columns({m.data(), rows, width},
                                           {positions.data(), positions.size()}, outputs.data());
        }
        for (std::size_t j = 0; j < missing.size(); ++j) {
            found[missing[j]]->range = ranges[j];
            entries_.push_back(
                {py::reinterpret_borrow<py::object>(matrix), cols[missing[j]], *found[missing[j]]});
        }
    }
    std::vector<Column> out;
    for (auto& f : found) out.push_back(std::move(*f));
    return out;
}

namespace {

struct DirectEntry {
    py::object method;
    DirectFit fit;
};

// Filled when the module loads, read-only afterwards.
std::vector<DirectEntry>& direct_fits() {
    static auto* entries = new std::vector<DirectEntry>();  // lives as long as the interpreter
    return *entries;
}

}  // namespace

void register_direct_fit(py::object method, DirectFit direct) {
    direct_fits().push_back({std::move(method), direct});
}

void run_strategy_fit(py::handle self, const StrategyCall& call, FitColumns& columns) {
    for (const DirectEntry& e : direct_fits())
        if (is_own_method(self, "_fit", e.method)) {
            e.fit(self, call, columns);
            return;
        }
    self.attr("_fit")(call.x, call.y, call.preds, call.scores,
                      py::arg("sample_weight") = call.sample_weight);
}

bool is_own_method(py::handle self, const char* name, py::handle method) {
    const py::object bound = py::getattr(self, name);
    return PyMethod_Check(bound.ptr()) && PyMethod_GET_SELF(bound.ptr()) == self.ptr() &&
           PyMethod_GET_FUNCTION(bound.ptr()) == method.ptr();
}

}  // namespace movra::sagzone
