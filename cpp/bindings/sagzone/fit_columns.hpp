// The slicing columns of the matrices one fit reads, each copied out of its matrix once with its
// range, then handed to every step of the fit that needs it.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bindings/common/arrays.hpp"
#include "core/histogram.hpp"

namespace movra::sagzone {

namespace py = pybind11;

// The outermost call of a fit owns it (the facade's fit, else the slicer's) and passes it down
// to our own methods.
class FitColumns {
  public:
    struct Column {
        bind::Vector values;
        core::ValueRange range;  // NaN bounds when the column holds a NaN; {0, 0} when empty
        // The largest value that is not missing (NaN when every value is).
        double top() const;
    };
    // Columns `cols` of the 2-D array-like `matrix`, extracted in one pass unless held already.
    // IndexError for a column out of range. Entries keep their matrix alive, so its identity
    // cannot pass to another object during the fit.
    std::vector<Column> get(py::handle matrix, const std::vector<std::int64_t>& cols,
                            const std::string& argname);

  private:
    struct Entry {
        py::object matrix;
        std::int64_t position;
        Column column;
    };
    std::vector<Entry> entries_;
};

}  // namespace movra::sagzone
