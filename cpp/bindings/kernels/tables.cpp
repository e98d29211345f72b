// A data set's columns as the coded matrix the searches read (movra.diagnoser.base, movra.dask).
#include "bindings/common/tables.hpp"

#include "bindings/kernels/kernels_module.hpp"

namespace movra::kernels {

namespace {

constexpr const char* kCodedColumnsDoc =
    R"(The float64 matrix the searches read, with each column's feature type and labels.

A numerical feature's values (NaN where missing: NaN, None, pd.NA, NaT), a categorical feature's
codes 0..K-1 as doubles (NaN where missing), code k standing for label k. Numbers are numerical;
booleans, categories and text categorical, unless ``feature_types`` says otherwise (a numeric
column made categorical takes its sorted distinct values as labels). Text is coded by pandas'
factorisation with sorted labels, booleans by False, True, a category column by its categories.

Parameters
----------
x : numpy array or pandas DataFrame
feature_types : list of {"numerical", "categorical"}, optional
categories : list, optional
    Per column None, or the labels of a categorical column known in advance: the codes are
    positions among them (the same in every part of a data set), a label not among them is an
    error.
names : list of str, optional
    The columns' names in error messages.

Returns
-------
(coded, feature_types, category_labels)
    ``coded`` is x itself for a C-contiguous float64 array of numerical features;
    ``category_labels`` holds None for a numerical feature.
)";

py::tuple coded_columns(py::handle x, py::handle feature_types, py::handle categories,
                        py::handle names) {
    bind::CodedTable t = bind::coded_columns(x, feature_types, categories, names);
    return py::make_tuple(std::move(t.coded), std::move(t.feature_types),
                          std::move(t.category_labels));
}

}  // namespace

void register_tables(py::module_& m) {
    m.def("coded_columns", &coded_columns, py::arg("x"), py::arg("feature_types") = py::none(),
          py::arg("categories") = py::none(), py::arg("names") = py::none(), kCodedColumnsDoc);
}

}  // namespace movra::kernels
