#include "bindings/sagzone/slicers.hpp"

#include <algorithm>
#include <string>

#include "bindings/sagzone/sagzone_module.hpp"

namespace movra::sagzone {

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
    if (fidx.empty()) bind::raise(deps().MovraError, "Only Support at most two slicing features.");
    return fidx;
}

std::vector<std::int64_t> feature_columns(py::handle features, py::handle feature_names,
                                          const char* noun) {
    const py::list names(py::reinterpret_borrow<py::object>(feature_names));
    std::vector<std::int64_t> columns;
    for (py::handle feature : features) {
        std::size_t i = 0;
        while (i < names.size() &&
               !py::object(names[i]).equal(py::reinterpret_borrow<py::object>(feature)))
            ++i;
        if (i == names.size())
            bind::raise(deps().MovraError, std::string(noun) + " " +
                                               py::repr(feature).cast<std::string>() +
                                               " is not one of the feature names.");
        columns.push_back(static_cast<std::int64_t>(i));
    }
    return columns;
}

py::object make_slicer(py::handle owner, py::handle features) {
    const Deps& d = deps();
    const py::object method = owner.attr("method");
    py::dict settings;
    for (const char* name : {"estimator", "task_type", "threshold", "min_samples", "metric"})
        settings[name] = owner.attr(name);
    settings["slice_features"] = features;
    // "tree" first, by exact string equality.
    if (method.equal(py::str("tree"))) {
        settings["max_depth"] = owner.attr("max_depth");
        return d.TreeSlicing(**settings);
    }
    if (method.equal(py::str("histogram"))) {
        settings["bins"] = owner.attr("bins");
        return d.HistogramSlicing(**settings);
    }
    bind::raise(d.MovraError, "sagzone method should be either histogram or tree.");
}

std::vector<bind::Param> slicer_init_params(const bind::Param* own, std::size_t at) {
    std::vector<bind::Param> params{required("self"),
                                    optional("estimator"),
                                    optional("slice_features"),
                                    optional("task_type"),
                                    optional("threshold", py::float_(1.2)),
                                    optional("min_samples", py::int_(30)),
                                    optional("metric")};
    if (own != nullptr) params.insert(params.begin() + static_cast<std::ptrdiff_t>(at), *own);
    return params;
}

std::vector<bind::Param> strategy_fit_params() {
    return {required("self"),  required("x"),      required("y"),
            required("preds"), required("scores"), optional("sample_weight")};
}

// The kind of the slicer's slicing feature at `position` (0 the first, 1 the second): categorical
// where the fit's feature_types say so.
core::FeatureKind slicing_kind(py::handle self, std::size_t position) {
    const py::object types = py::getattr(self, "feature_types", py::none());
    if (types.is_none()) return core::FeatureKind::kNumerical;
    const py::object column = py::list(self.attr("fidx"))[position];
    return py::str(types[column]).cast<std::string>() == "categorical"
               ? core::FeatureKind::kCategorical
               : core::FeatureKind::kNumerical;
}

bool own_method(py::handle obj, const char* name, py::handle cls) {
    const py::object bound = py::getattr(obj, name);
    const py::object defined = cls.attr("__dict__").attr("get")(name);
    return PyMethod_Check(bound.ptr()) && PyMethod_GET_SELF(bound.ptr()) == obj.ptr() &&
           PyMethod_GET_FUNCTION(bound.ptr()) == defined.ptr();
}

void run_strategy_fit(py::handle self, const StrategyCall& call, FitColumns& columns) {
    const Deps& d = deps();
    if (own_method(self, "_fit", d.HistogramSlicing)) return histogram_fit(self, call, columns);
    if (own_method(self, "_fit", d.TreeSlicing)) return tree_fit(self, call, columns);
    self.attr("_fit")(call.x, call.y, call.preds, call.scores,
                      py::arg("sample_weight") = call.sample_weight);
}

}  // namespace movra::sagzone
