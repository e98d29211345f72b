#include "bindings/common/tables.hpp"

#include <pybind11/numpy.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "bindings/common/method.hpp"

namespace movra::bind {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---- the loops: one column of the coded matrix filled from a 1-D numpy array ----

// A 1-D numpy array's memory as the loops read it (any stride).
struct Source {
    const char* data;
    py::ssize_t stride;
    std::size_t size;
};

Source source_of(const py::array& a) {
    return {static_cast<const char*>(a.data()), a.strides(0), static_cast<std::size_t>(a.size())};
}

// Every `width`-th double from `first`: a column of the row-major coded matrix.
struct OutColumn {
    double* first;
    std::size_t width;
};

template <typename T>
T read(const Source& s, std::size_t i) {
    T v;  // memcpy: a strided view need not be aligned for T
    std::memcpy(&v, s.data + static_cast<py::ssize_t>(i) * s.stride, sizeof(T));
    return v;
}

template <typename T>
void copy_numbers(const Source& s, OutColumn out) {
    for (std::size_t i = 0; i < s.size; ++i)
        out.first[i * out.width] = static_cast<double>(read<T>(s, i));
}

// Codes (negative: missing, NaN out) written as they are, or through `table` (the value of each
// code; NaN: a code that has none). The first row whose code has no value, else s.size.
template <typename T>
std::size_t look_up_codes(const Source& s, const std::optional<Vector>& table, OutColumn out) {
    const double* values = table ? table->data() : nullptr;
    const auto n_values = table ? static_cast<std::size_t>(table->size()) : 0;
    for (std::size_t i = 0; i < s.size; ++i) {
        const auto code = static_cast<std::int64_t>(read<T>(s, i));
        double v = kNaN;
        if (code >= 0 && values == nullptr) {
            v = static_cast<double>(code);
        } else if (code >= 0) {
            const auto k = static_cast<std::size_t>(code);
            if (k >= n_values || std::isnan(values[k])) return i;
            v = values[k];
        }
        out.first[i * out.width] = v;
    }
    return s.size;
}

// Calls f(T{}) with the C++ type of the elements of `a` (booleans, integers, floats in native
// byte order); false when there is none.
template <typename F>
bool with_element_type(const py::array& a, F&& f) {
    const py::dtype dt = a.dtype();
    if (!py::bool_(dt.attr("isnative")) || a.ndim() != 1) return false;
    const auto size = dt.itemsize();
    switch (dt.kind()) {
        case 'b':
            f(bool{});
            return true;
        case 'f':
            if (size == 8)
                f(double{});
            else if (size == 4)
                f(float{});
            return size == 8 || size == 4;
        case 'i':
            if (size == 1)
                f(std::int8_t{});
            else if (size == 2)
                f(std::int16_t{});
            else if (size == 4)
                f(std::int32_t{});
            else
                f(std::int64_t{});
            return true;
        case 'u':
            if (size == 1)
                f(std::uint8_t{});
            else if (size == 2)
                f(std::uint16_t{});
            else if (size == 4)
                f(std::uint32_t{});
            else
                f(std::uint64_t{});
            return true;
        default:
            return false;
    }
}

// ---- the columns as pandas sees them ----

struct Pandas {
    py::module_ np = py::module_::import("numpy");
    py::module_ pd = py::module_::import("pandas");
    py::module_ types = py::module_::import("pandas.api.types");
    py::object MovraError = py::module_::import("movra.exceptions").attr("MovraError");
};

struct Column {
    py::object values;  // a pandas Series or a 1-D numpy array
    std::string name;   // for messages
};

[[noreturn]] void refuse(const Pandas& p, const Column& c, const std::string& why) {
    raise(p.MovraError, "column '" + c.name + "' " + why);
}

bool test(const Pandas& p, const char* predicate, py::handle dtype) {
    return py::bool_(p.types.attr(predicate)(dtype));
}

enum class Kind { kNumber, kBoolean, kCategory, kText };

// A column's kind, and its values in the form that kind is read from (an object column of
// numbers as numbers, of booleans as pandas' nullable booleans).
struct Classified {
    Kind kind;
    py::object values;
};

Classified classify_objects(const Pandas& p, const Column& c) {
    const py::object infer = p.types.attr("infer_dtype");
    std::string inferred = py::str(infer(c.values, py::arg("skipna") = true));
    // infer_dtype skips only some kinds of missing values (not NaT among text): look again
    // without any.
    if (inferred == "mixed") {
        const py::object present = p.np.attr("logical_not")(p.pd.attr("isna")(c.values));
        inferred = py::str(infer(c.values.attr("__getitem__")(present), py::arg("skipna") = true));
    }
    if (inferred == "string" || inferred == "bytes") return {Kind::kText, c.values};
    if (inferred == "boolean")
        return {Kind::kBoolean, p.pd.attr("Series")(c.values).attr("astype")("boolean")};
    if (inferred == "integer" || inferred == "floating" || inferred == "mixed-integer-float" ||
        inferred == "decimal" || inferred == "empty") {
        try {
            return {Kind::kNumber, p.pd.attr("to_numeric")(c.values)};
        } catch (const py::error_already_set&) {
            // refused below, naming the column
        }
    }
    refuse(p, c,
           "holds values of mixed or unsupported kinds (pandas infers '" + inferred +
               "'; lists, mappings or numbers mixed with text?) and cannot be sliced.");
}

Classified classify(const Pandas& p, const Column& c) {
    const py::object dtype = c.values.attr("dtype");
    if (py::isinstance(dtype, p.pd.attr("CategoricalDtype"))) return {Kind::kCategory, c.values};
    if (test(p, "is_bool_dtype", dtype)) return {Kind::kBoolean, c.values};
    const char kind = py::str(dtype.attr("kind")).cast<std::string>().at(0);
    if (py::isinstance<py::dtype>(dtype)) {
        if (kind == 'i' || kind == 'u' || kind == 'f') return {Kind::kNumber, c.values};
        if (kind == 'U' || kind == 'S') return {Kind::kText, c.values};
        if (kind == 'O') return classify_objects(p, c);
    } else if (test(p, "is_numeric_dtype", dtype) && kind != 'c') {
        return {Kind::kNumber, c.values};  // nullable and pyarrow numbers
    } else if (test(p, "is_string_dtype", dtype)) {
        return {Kind::kText, c.values};
    }
    refuse(p, c,
           "of dtype " + py::str(dtype).cast<std::string>() +
               " cannot be sliced: a slicing column holds numbers, booleans, categories or text.");
}

bool numpy_dtype(py::handle values) { return py::isinstance<py::dtype>(values.attr("dtype")); }

// A column of numbers as a numpy array (a nullable one with NaN where missing).
py::array number_array(const Pandas& p, py::handle values) {
    if (numpy_dtype(values)) return p.np.attr("asarray")(values);
    return values.attr("to_numpy")(py::arg("dtype") = "float64", py::arg("na_value") = kNaN);
}

// A categorical column: integer codes (negative: missing) and the labels of the codes.
struct Codes {
    py::array codes;
    py::object labels;
};

Codes categorical_codes(const Pandas& p, const Classified& k) {
    const py::object& values = k.values;
    switch (k.kind) {
        case Kind::kCategory: {
            const py::object cat = values.attr("cat");
            return {p.np.attr("asarray")(cat.attr("codes")),
                    p.np.attr("asarray")(cat.attr("categories"))};
        }
        case Kind::kBoolean: {
            const py::object labels = p.np.attr("array")(py::make_tuple(false, true));
            if (numpy_dtype(values)) return {p.np.attr("asarray")(values), labels};
            const py::object small = values.attr("astype")("Int8");
            return {small.attr("to_numpy")(py::arg("dtype") = "int8", py::arg("na_value") = -1),
                    labels};
        }
        default: {
            // Sorted labels: the codes do not depend on the order of the rows.
            const py::object numbers =
                k.kind == Kind::kNumber && !numpy_dtype(values) ? number_array(p, values) : values;
            const py::tuple found = p.pd.attr("factorize")(numbers, py::arg("sort") = true);
            return {py::array(found[0]), p.np.attr("asarray")(found[1])};
        }
    }
}

// ---- one column converted ----

void fill_numbers(const Pandas& p, py::array values, OutColumn out) {
    const auto copy = [&](auto tag) {
        using T = decltype(tag);
        const Source s = source_of(values);
        // Reads a buffer this call holds; no Python objects are touched.
        py::gil_scoped_release release;
        copy_numbers<T>(s, out);
    };
    if (with_element_type(values, copy)) return;
    values = p.np.attr("asarray")(values, py::arg("dtype") = "float64");  // float16, byte-swapped
    with_element_type(values, copy);
}

// Codes through `table` (or as they are); a code that has no value is a label that is not among
// the known categories.
void fill_codes(const Pandas& p, const Column& c, const Codes& codes,
                const std::optional<Vector>& table, OutColumn out) {
    std::size_t bad = 0;
    const auto look_up = [&](auto tag) {
        using T = decltype(tag);
        const Source s = source_of(codes.codes);
        // Reads buffers this call holds; no Python objects are touched.
        py::gil_scoped_release release;
        bad = look_up_codes<T>(s, table, out);
    };
    if (!with_element_type(codes.codes, look_up))
        raise(PyExc_TypeError, "category codes must be integers");
    if (bad < static_cast<std::size_t>(codes.codes.size())) {
        const py::object label = codes.labels[codes.codes[py::int_(bad)]];
        refuse(p, c,
               "holds the label " + py::repr(label).cast<std::string>() +
                   ", which is not among its known categories.");
    }
}

// The positions of `labels` among the known categories (NaN where a label is not one of them).
Vector positions_among(const Pandas& p, const Column& c, py::handle known, py::handle labels) {
    const py::object index = p.pd.attr("Index")(known);
    if (!py::bool_(index.attr("is_unique"))) refuse(p, c, "has known categories that repeat.");
    const py::array found = index.attr("get_indexer")(labels);
    return p.np.attr("where")(p.np.attr("less")(found, 0), kNaN, found).attr("astype")("float64");
}

// Column `c` into its column of the coded matrix; its feature type and labels (None for a
// numerical feature).
std::pair<const char*, py::object> code_column(const Pandas& p, const Column& c,
                                               std::optional<bool> categorical, py::handle known,
                                               OutColumn out) {
    const Classified k = classify(p, c);
    if (!categorical.value_or(k.kind != Kind::kNumber)) {
        if (!known.is_none()) refuse(p, c, "has known categories but is a numerical feature.");
        if (k.kind == Kind::kText) refuse(p, c, "holds text; it cannot be a numerical feature.");
        if (k.kind == Kind::kNumber) {
            fill_numbers(p, number_array(p, k.values), out);
        } else {
            const Codes codes = categorical_codes(p, k);
            std::optional<Vector> values;  // a category's number (booleans: their codes 0, 1)
            if (k.kind == Kind::kCategory) {
                if (!test(p, "is_numeric_dtype", codes.labels.attr("dtype")))
                    refuse(p, c,
                           "holds categories that are not numbers; it cannot be a "
                           "numerical feature.");
                values = ensure_array<Vector>(codes.labels, "categories");
            }
            fill_codes(p, c, codes, values, out);
        }
        return {"numerical", py::none()};
    }
    Codes codes = categorical_codes(p, k);
    std::optional<Vector> positions;
    py::object labels = codes.labels;
    if (!known.is_none()) {
        positions = positions_among(p, c, known, codes.labels);
        labels = p.np.attr("asarray")(known);
    }
    fill_codes(p, c, codes, positions, out);
    return {"categorical", labels};
}

// ---- the arguments ----

std::vector<std::string> column_names(py::handle names, py::handle table, bool frame,
                                      std::size_t width) {
    std::vector<std::string> out;
    if (!names.is_none()) {
        for (py::handle name : names) out.push_back(py::str(name));
        if (out.size() != width)
            raise(PyExc_ValueError, "names has " + std::to_string(out.size()) + " names for " +
                                        std::to_string(width) + " columns");
        return out;
    }
    if (frame)
        for (py::handle name : table.attr("columns")) out.push_back(py::str(name));
    else
        for (std::size_t j = 0; j < width; ++j) out.push_back("X" + std::to_string(j));
    return out;
}

// Per column: whether the user asked for a categorical feature (none: from the dtype).
std::vector<std::optional<bool>> requested_types(const Pandas& p, py::handle feature_types,
                                                 std::size_t width) {
    std::vector<std::optional<bool>> out(width);
    if (feature_types.is_none()) return out;
    const py::list given(py::reinterpret_borrow<py::object>(feature_types));
    if (given.size() != width)
        raise(p.MovraError, "feature_types has " + std::to_string(given.size()) + " types for " +
                                std::to_string(width) + " features.");
    for (std::size_t j = 0; j < width; ++j) {
        const py::object t = given[j];
        const bool numerical = t.equal(py::str("numerical"));
        if (!numerical && !t.equal(py::str("categorical")))
            raise(p.MovraError, "feature_types[" + std::to_string(j) + "] is " +
                                    py::repr(t).cast<std::string>() +
                                    ": each entry must be \"numerical\" or \"categorical\".");
        out[j] = !numerical;
    }
    return out;
}

std::vector<py::object> known_categories(py::handle categories, std::size_t width) {
    std::vector<py::object> out(width, py::none());
    if (categories.is_none()) return out;
    const py::list given(py::reinterpret_borrow<py::object>(categories));
    if (given.size() != width)
        raise(PyExc_ValueError, "categories has " + std::to_string(given.size()) + " entries for " +
                                    std::to_string(width) + " columns");
    for (std::size_t j = 0; j < width; ++j) out[j] = given[j];
    return out;
}

bool numeric_kind(const py::array& a) {
    const char kind = a.dtype().kind();
    return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f';
}

}  // namespace

CodedTable coded_columns(py::handle x, py::handle feature_types, py::handle categories,
                         py::handle names) {
    const Pandas p;
    const bool frame = py::isinstance(x, p.pd.attr("DataFrame"));
    const py::object table = frame ? py::reinterpret_borrow<py::object>(x) : as_array(x, "x");
    const py::tuple shape(table.attr("shape"));
    if (shape.size() != 2)
        raise(p.MovraError, "x must be a two-dimensional array, got shape " +
                                py::str(shape).cast<std::string>() + ".");
    const auto n = shape[0].cast<std::size_t>(), width = shape[1].cast<std::size_t>();
    const std::vector<std::string> labels_of = column_names(names, table, frame, width);
    const std::vector<std::optional<bool>> requested = requested_types(p, feature_types, width);
    const std::vector<py::object> known = known_categories(categories, width);

    CodedTable out;
    bool plain = !frame && numeric_kind(py::array(table));
    for (std::size_t j = 0; j < width; ++j)
        plain = plain && !requested[j].value_or(false) && known[j].is_none();
    if (plain) {
        // Numbers only: the matrix itself (copied only when it is not C-contiguous float64).
        out.coded = ensure_array<Vector>(table, "x");
        for (std::size_t j = 0; j < width; ++j) {
            out.feature_types.append("numerical");
            out.category_labels.append(py::none());
        }
        return out;
    }
    out.coded = Vector({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(width)});
    double* first = out.coded.mutable_data();
    std::size_t j = 0;
    const py::object columns = frame ? table.attr("items")() : table.attr("T");
    for (py::handle item : columns) {
        const py::object values = frame ? py::tuple(py::reinterpret_borrow<py::object>(item))[1]
                                        : py::reinterpret_borrow<py::object>(item);
        const auto [type, labels] = code_column(p, {values, labels_of[j]}, requested[j], known[j],
                                                OutColumn{first + j, width});
        out.feature_types.append(type);
        out.category_labels.append(labels);
        ++j;
    }
    return out;
}

}  // namespace movra::bind
