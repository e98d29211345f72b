// The display of the diagnosers (__repr__, _repr_html_) and their reports: what the fit holds,
// gathered for movra.report, which lays it out.
#pragma once

#include <functional>

#include "bindings/sagzone/sagzone_module.hpp"

namespace movra::sagzone {

// __repr__ and _repr_html_, added to SagZone and to SagZoneScan while they are built.
void add_sagzone_display(bind::ClassBuilder& cls);
void add_scan_display(bind::ClassBuilder& cls);

// SagZoneScan.report, added to the class while it is built.
void add_scan_report(bind::ClassBuilder& cls);

// What the fragments show, as movra.report.display takes it (the scan's without its figure).
py::dict sagzone_display_content(py::handle self);
py::dict scan_display_content(py::handle self);

// build(), or a fragment saying why it could not be built: a display never raises.
py::object displayed(py::handle self, const std::function<py::object()>& build);

}  // namespace movra::sagzone
