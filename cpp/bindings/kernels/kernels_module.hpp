// What the _kernels module's files share: the functions that add each topic's kernels.
#pragma once

#include <pybind11/pybind11.h>

namespace movra::kernels {

namespace py = pybind11;

// read_xgboost_trees, fanova_effects, grid_counts, fanova_effects_from_counts, tree_margins.
void register_fanova(py::module_& m);

// evaluate_step_1d, evaluate_step_2d.
void register_step_functions(py::module_& m);

// population_stability, binned_distance.
void register_distances(py::module_& m);

// coded_columns: a table's columns as the coded matrix the searches read.
void register_tables(py::module_& m);

// Statistics of one partition of a data set spread over a cluster (movra.dask).
void register_partitions(py::module_& m);

}  // namespace movra::kernels
