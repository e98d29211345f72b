// The slicing driver (BaseSlicing.fit) as the facade calls it, sharing the fit's columns.
#pragma once

#include <pybind11/pybind11.h>

#include "bindings/common/method.hpp"
#include "bindings/sagzone/fit_columns.hpp"

namespace movra::sagzone {

// The arguments of BaseSlicing.fit.
struct DriverCall {
    py::object train_x, train_y, test_x, test_y, train_pred, test_pred, feature_names;
    bool use_test = true;
    py::object use_test_arg;  // as given: stored as the slicer's use_test
    py::object train_sample_weight, test_sample_weight;
    py::object feature_types, category_labels;  // None: every slicing feature is numerical
};

// The driver's work on `self` (a slicer) with the fit's columns.
py::object drive(py::handle self, const DriverCall& in, FitColumns& columns);

// slicer.fit(...): directly when it is BaseSlicing's own fit, else through Python.
py::object run_driver(py::handle slicer, const DriverCall& in, FitColumns& columns);

// The driver (BaseSlicing.fit) and the region table it ends with (BaseSlicing._tabulate_regions,
// which the slicers of the cluster path call on their merged statistics), added to BaseSlicing.
void add_slicing_driver(bind::ClassBuilder& cls);

}  // namespace movra::sagzone
