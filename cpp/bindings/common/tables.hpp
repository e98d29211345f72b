// A data set's columns as the searches read them: one float64 matrix, a numerical feature's values
// (NaN where missing) and a categorical feature's category codes 0..K-1 (NaN where missing), with
// the labels of the codes. The model keeps the table as the user gave it; only this is converted.
#pragma once

#include <pybind11/pybind11.h>

#include "bindings/common/arrays.hpp"

namespace movra::bind {

namespace py = pybind11;

struct CodedTable {
    Vector coded;              // n x p, C-contiguous float64
    py::list feature_types;    // "numerical" or "categorical", one per column
    py::list category_labels;  // None (numerical) or the array of labels, label k of code k
};

// The coded matrix of `x`: a numpy array (numeric, or object/str read per column as text) or a
// pandas DataFrame of numeric, boolean, nullable, category, string and object-of-text columns.
//
// - `feature_types`: None (from the dtypes: numbers are numerical; booleans, categories and text
//   are categorical) or one "numerical"/"categorical" per column, which wins. A categorical
//   numeric column's categories are its sorted distinct values.
// - `categories`: None, or one entry per column: None, or the labels of a categorical column
//   known in advance (codes are then positions among them, the same in every part of a data
//   set converted piece by piece; a label not among them is an error).
// - `names`: the columns' names in messages (None: the frame's columns, else "X0", "X1", ...).
//
// One pass per column; text by pandas' factorisation with sorted labels, so that codes do not
// depend on the order of the rows. A numeric numpy array of numerical features is returned as it
// is when it is C-contiguous float64 (no copy). A column that cannot be sliced (datetimes, lists,
// mixed numbers and text) or a bad entry is a MovraError naming it.
CodedTable coded_columns(py::handle x, py::handle feature_types, py::handle categories,
                         py::handle names);

}  // namespace movra::bind
