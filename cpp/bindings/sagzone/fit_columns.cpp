#include "bindings/sagzone/fit_columns.hpp"

#include <cmath>
#include <optional>

#include "bindings/common/method.hpp"
#include "core/columns.hpp"
#include "core/segment_search.hpp"

namespace movra::sagzone {

double FitColumns::Column::top() const {
    if (!std::isnan(range.max)) return range.max;
    return core::finite_range(bind::span(values)).max;
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

}  // namespace movra::sagzone
