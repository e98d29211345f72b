#include "bindings/common/records.hpp"

#include "bindings/common/arrays.hpp"
#include "bindings/common/method.hpp"

namespace movra::bind {

namespace {

void set_item(py::dict& d, const py::str& key, py::handle value) {
    if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
}

}  // namespace

RecordKeys RecordKeys::create() {
    const auto key = [](const char* name) {
        return py::reinterpret_steal<py::str>(PyUnicode_InternFromString(name));
    };
    return {key("lb"), key("ub"),  key("splits"), key("values"), key("counts"), key("f0"),
            key("f1"), key("lb1"), key("ub1"),    key("lb2"),    key("ub2"),    key("support")};
}

py::dict bound_dict(const RecordKeys& k, py::handle lb, py::handle ub) {
    py::dict d;
    set_item(d, k.lb, lb);
    set_item(d, k.ub, ub);
    return d;
}

py::dict rule_record(const RecordKeys& k, py::handle lb1, py::handle ub1, py::handle lb2,
                     py::handle ub2, bool two, double value, std::int64_t count) {
    py::dict splits;
    set_item(splits, k.f0, bound_dict(k, lb1, ub1));
    if (two) set_item(splits, k.f1, bound_dict(k, lb2, ub2));
    py::dict rule;
    set_item(rule, k.splits, splits);
    set_item(rule, k.values, py::float_(value));
    set_item(rule, k.counts, py::int_(count));
    return rule;
}

py::dict region_record(const RecordKeys& k, py::handle lb1, py::handle ub1, py::handle lb2,
                       py::handle ub2, bool two) {
    py::dict region;
    set_item(region, k.lb1, lb1);
    set_item(region, k.ub1, ub1);
    if (two) {
        set_item(region, k.lb2, lb2);
        set_item(region, k.ub2, ub2);
    }
    return region;
}

namespace {

// One record per slice, built by `record(lb1, ub1, lb2, ub2, slice)` with the slice's bounds on
// the searched feature in the first or the second place.
template <typename Record>
py::list records_of(const std::vector<core::SliceRule>& slices, bool two, py::handle lb1,
                    py::handle ub1, Record record) {
    py::list out;
    for (const core::SliceRule& r : slices) {
        py::float_ lb(r.lb), ub(r.ub);
        out.append(two ? record(lb1, ub1, lb, ub, r) : record(lb, ub, py::none(), py::none(), r));
    }
    return out;
}

}  // namespace

py::list rule_records(const RecordKeys& k, const std::vector<core::SliceRule>& rules, bool two,
                      py::handle lb1, py::handle ub1) {
    return records_of(rules, two, lb1, ub1,
                      [&k, two](py::handle a, py::handle b, py::handle c, py::handle d,
                                const core::SliceRule& r) {
                          return rule_record(k, a, b, c, d, two, r.value, r.count);
                      });
}

py::list region_records(const RecordKeys& k, const std::vector<core::SliceRule>& regions, bool two,
                        py::handle lb1, py::handle ub1) {
    return records_of(
        regions, two, lb1, ub1,
        [&k, two](py::handle a, py::handle b, py::handle c, py::handle d, const core::SliceRule&) {
            return region_record(k, a, b, c, d, two);
        });
}

py::dict bin_stats_record(const RecordKeys& k, double lb1, double ub1, double lb2, double ub2,
                          std::int64_t support) {
    py::dict d;
    set_item(d, k.lb1, py::float_(lb1));
    set_item(d, k.ub1, py::float_(ub1));
    set_item(d, k.lb2, py::float_(lb2));
    set_item(d, k.ub2, py::float_(ub2));
    set_item(d, k.support, py::int_(support));
    return d;
}

std::vector<core::RegionBox> region_boxes(py::handle records, std::size_t n_columns,
                                          core::Span<const double> closed_at) {
    const auto bound = [](py::handle record, const char* key) {
        return py::float_(record[py::str(key)]).cast<double>();
    };
    std::vector<core::RegionBounds> bounds;
    for (py::handle r : records) {
        core::RegionBounds b{bound(r, "lb1"), bound(r, "ub1"), 0.0, 0.0};
        if (n_columns > 1) {
            b.lb2 = bound(r, "lb2");
            b.ub2 = bound(r, "ub2");
        }
        bounds.push_back(b);
    }
    return core::region_boxes(bounds, closed_at);
}

std::vector<core::ScoreSums> score_sums_of(py::handle sums) {
    if (!py::isinstance<py::dict>(sums))
        raise(PyExc_TypeError, "sums must be a dict of count, sum, weight, weighted");
    const py::dict d = py::reinterpret_borrow<py::dict>(sums);
    const Vector count = as_vector(d["count"], "count");
    const auto n = static_cast<std::size_t>(count.size());
    const Vector sum = as_vector_of_length(d["sum"], "sum", n);
    const Vector weight = as_vector_of_length(d["weight"], "weight", n);
    const Vector weighted = as_vector_of_length(d["weighted"], "weighted", n);
    std::vector<core::ScoreSums> out(n);
    for (std::size_t k = 0; k < n; ++k)
        out[k] = {static_cast<std::int64_t>(count.data()[k]), sum.data()[k], weight.data()[k],
                  weighted.data()[k]};
    return out;
}

}  // namespace movra::bind
