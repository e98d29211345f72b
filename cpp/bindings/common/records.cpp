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
    return {key("lb"),     key("ub"),  key("codes"), key("splits"), key("values"),
            key("counts"), key("f0"),  key("f1"),    key("lb1"),    key("ub1"),
            key("codes1"), key("lb2"), key("ub2"),   key("codes2"), key("support")};
}

Condition Condition::interval(py::handle lb, py::handle ub) {
    return {py::reinterpret_borrow<py::object>(lb), py::reinterpret_borrow<py::object>(ub), {}};
}

Condition Condition::of(const core::SliceRule& slice) {
    return {py::float_(slice.lb), py::float_(slice.ub), slice.codes};
}

namespace {

py::tuple codes_tuple(const std::vector<std::int32_t>& codes) {
    py::tuple t(codes.size());
    for (std::size_t k = 0; k < codes.size(); ++k) t[k] = py::int_(codes[k]);
    return t;
}

void set_condition(py::dict& d, const py::str& lb, const py::str& ub, const py::str& codes,
                   const Condition& c) {
    set_item(d, lb, c.lb);
    set_item(d, ub, c.ub);
    if (!c.codes.empty()) set_item(d, codes, codes_tuple(c.codes));
}

}  // namespace

py::dict bound_dict(const RecordKeys& k, const Condition& c) {
    py::dict d;
    set_condition(d, k.lb, k.ub, k.codes, c);
    return d;
}

py::dict rule_record(const RecordKeys& k, const Condition& first, const Condition* second,
                     double value, std::int64_t count) {
    py::dict splits;
    set_item(splits, k.f0, bound_dict(k, first));
    if (second != nullptr) set_item(splits, k.f1, bound_dict(k, *second));
    py::dict rule;
    set_item(rule, k.splits, splits);
    set_item(rule, k.values, py::float_(value));
    set_item(rule, k.counts, py::int_(count));
    return rule;
}

py::dict region_record(const RecordKeys& k, const Condition& first, const Condition* second) {
    py::dict region;
    set_condition(region, k.lb1, k.ub1, k.codes1, first);
    if (second != nullptr) set_condition(region, k.lb2, k.ub2, k.codes2, *second);
    return region;
}

py::list rule_records(const RecordKeys& k, const std::vector<core::SliceRule>& rules,
                      const Condition* first) {
    py::list out;
    for (const core::SliceRule& r : rules) {
        const Condition c = Condition::of(r);
        out.append(first ? rule_record(k, *first, &c, r.value, r.count)
                         : rule_record(k, c, nullptr, r.value, r.count));
    }
    return out;
}

py::list region_records(const RecordKeys& k, const std::vector<core::SliceRule>& regions,
                        const Condition* first) {
    py::list out;
    for (const core::SliceRule& r : regions) {
        const Condition c = Condition::of(r);
        out.append(first ? region_record(k, *first, &c) : region_record(k, c, nullptr));
    }
    return out;
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
    const auto codes = [](py::handle record, const char* key) {
        std::vector<std::int32_t> out;
        const py::object found = py::reinterpret_borrow<py::dict>(record).attr("get")(key);
        if (!found.is_none())
            for (py::handle c : found) out.push_back(c.cast<std::int32_t>());
        return out;
    };
    std::vector<core::RegionBounds> bounds;
    for (py::handle r : records) {
        core::RegionBounds b(bound(r, "lb1"), bound(r, "ub1"), 0.0, 0.0);
        b.codes1 = codes(r, "codes1");
        if (n_columns > 1) {
            b.lb2 = bound(r, "lb2");
            b.ub2 = bound(r, "ub2");
            b.codes2 = codes(r, "codes2");
        }
        bounds.push_back(std::move(b));
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
