// movra._kernels: the core kernels the package's Python modules call.
#include "bindings/kernels/kernels_module.hpp"

PYBIND11_MODULE(_kernels, m) {
    m.doc() =
        "Compiled kernels of movra: reading boosted trees, functional-ANOVA effects, "
        "step-function evaluation, distances between samples, statistics of one partition of a "
        "data set on a cluster, a table's columns as the matrix the searches read.";
    movra::kernels::register_fanova(m);
    movra::kernels::register_step_functions(m);
    movra::kernels::register_partitions(m);
    movra::kernels::register_distances(m);
    movra::kernels::register_tables(m);
}
