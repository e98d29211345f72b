// What the sagzone module's files share: the Python objects it imports at initialisation and the
// classes it creates, held in one place, and the functions that add each class to the module.
#pragma once

#include <pybind11/pybind11.h>

#include "bindings/common/method.hpp"
#include "bindings/common/records.hpp"

namespace movra::sagzone {

namespace py = pybind11;
// Every binding file of the module defines methods.
using bind::Args;
using bind::optional;
using bind::required;

// Imported once when the module loads; never released (they live as long as the interpreter).
struct Deps {
    py::module_ np;
    py::module_ pd;
    py::object percentileofscore;      // scipy.stats.percentileofscore
    py::object binned_statistic;       // scipy.stats.binned_statistic
    py::object t_sf;                   // scipy.stats.t.sf
    py::object DecisionTreeRegressor;  // sklearn.tree.DecisionTreeRegressor
    py::object BaseDiagnoser;
    py::object get_scoring_metric;
    py::object calculate_distance;
    py::object yield_from;  // a generator over a list's items, for methods that yield
    py::object TestDataResult;
    py::object scale_plot_ticks;
    py::object plot_marginal_result;
    py::object plot_scan_result;
    py::object plot_distance_result;
    py::object plot_shift_result;
    // movra.report: the layout of the notebook fragments and of the scan's report.
    py::object display_sagzone;
    py::object display_scan;
    py::object display_unavailable;
    py::object display_guarded;
    py::object write_scan_report;
    py::object MovraError;
    py::object MovraWarning;
    py::object MovraInfo;
    py::object MISSING;     // movra.utils.MISSING: how tables name the missing rows
    bind::RecordKeys keys;  // of the records the searches hand back
    // The module's own classes, set as each is created (later classes call earlier ones).
    py::object BaseSlicing;
    py::object HistogramSlicing;
    py::object TreeSlicing;
    py::object SagZone;
};

// The module's Deps; a RuntimeError when the module failed to load them.
Deps& deps();
void load_deps();

void register_base_slicing(py::module_& m);
void register_histogram_slicing(py::module_& m);
void register_tree_slicing(py::module_& m);
void register_sagzone(py::module_& m);
void register_sagzone_scan(py::module_& m);

// The slicer of a fitted SagZone (self.diag); a MovraError naming `method` when there is none
// (before fit, or after a fit that failed).
py::object fitted_slicer(py::handle self, const char* method);

// Everything SagZone.fit does once BaseDiagnoser.fit has stored the data: the slicer of the
// settings built, the rows split, the search run on the coded matrix; sets `diag` and `output`.
void search_weak_regions(py::handle self);

// The read-only views of a fitted SagZone (get_distance, get_shift, get_marginal) and its
// static plot_marginal, added to the class being built by register_sagzone.
void add_sagzone_views(bind::ClassBuilder& cls);

}  // namespace movra::sagzone
