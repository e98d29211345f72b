#include "bindings/sagzone/records.hpp"

namespace movra::sagzone {

namespace {

// Dictionary keys of every record, created once (they live as long as the interpreter).
struct Keys {
    py::str lb, ub, splits, values, counts, f0, f1, lb1, ub1, lb2, ub2;
};

const Keys& keys() {
    static const Keys* k =
        new Keys{py::str("lb"),     py::str("ub"),  py::str("splits"), py::str("values"),
                 py::str("counts"), py::str("f0"),  py::str("f1"),     py::str("lb1"),
                 py::str("ub1"),    py::str("lb2"), py::str("ub2")};
    return *k;
}

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

py::list rule_records(const std::vector<core::SliceRule>& rules, bool two, py::handle lb1,
                      py::handle ub1) {
    py::list out;
    for (const core::SliceRule& r : rules) {
        py::float_ lb(r.lb), ub(r.ub);
        out.append(two ? rule_record(lb1, ub1, lb, ub, true, r.value, r.count)
                       : rule_record(lb, ub, py::none(), py::none(), false, r.value, r.count));
    }
    return out;
}

py::list region_records(const std::vector<core::SliceRule>& regions, bool two, py::handle lb1,
                        py::handle ub1) {
    py::list out;
    for (const core::SliceRule& r : regions) {
        py::float_ lb(r.lb), ub(r.ub);
        out.append(two ? region_record(lb1, ub1, lb, ub, true)
                       : region_record(lb, ub, py::none(), py::none(), false));
    }
    return out;
}

py::dict bin_stats_record(double lb1, double ub1, double lb2, double ub2, std::int64_t support) {
    py::dict d;
    d["lb1"] = py::float_(lb1);
    d["ub1"] = py::float_(ub1);
    d["lb2"] = py::float_(lb2);
    d["ub2"] = py::float_(ub2);
    d["support"] = py::int_(support);
    return d;
}

}  // namespace movra::sagzone
