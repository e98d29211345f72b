#include "bindings/common/tables.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
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

// ---- the loops: the columns' values or codes written into the row-major coded matrix ----

// A 1-D numpy array's memory as the loops read it (any stride).
struct Source {
    const char* data = nullptr;
    py::ssize_t stride = 0;
};

Source source_of(const py::array& a) { return {static_cast<const char*>(a.data()), a.strides(0)}; }

template <typename T>
T read(const Source& s, std::size_t i) {
    T v;  // memcpy: a strided view need not be aligned for T
    std::memcpy(&v, s.data + static_cast<py::ssize_t>(i) * s.stride, sizeof(T));
    return v;
}

// What one column's loop reads besides its values: the value of each code (none: codes are
// written as they are).
struct CodeTable {
    const double* values = nullptr;
    std::size_t size = 0;
};

// Rows [begin, end) of one column into `out` (its first cell; rows `width` apart). The first row
// that cannot be written (a code with no value in the table: NaN there), else `end`.
using FillRows = std::size_t (*)(const Source&, std::size_t begin, std::size_t end, CodeTable,
                                 double* out, std::size_t width);

template <typename T>
std::size_t copy_numbers(const Source& s, std::size_t begin, std::size_t end, CodeTable,
                         double* out, std::size_t width) {
    for (std::size_t i = begin; i < end; ++i) out[i * width] = static_cast<double>(read<T>(s, i));
    return end;
}

// Codes: negative is missing (NaN out).
template <typename T>
std::size_t look_up_codes(const Source& s, std::size_t begin, std::size_t end, CodeTable table,
                          double* out, std::size_t width) {
    for (std::size_t i = begin; i < end; ++i) {
        const auto code = static_cast<std::int64_t>(read<T>(s, i));
        double v = kNaN;
        if (code >= 0 && table.values == nullptr) {
            v = static_cast<double>(code);
        } else if (code >= 0) {
            const auto k = static_cast<std::size_t>(code);
            if (k >= table.size || std::isnan(table.values[k])) return i;
            v = table.values[k];
        }
        out[i * width] = v;
    }
    return end;
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

// ---- one column planned ----

// One column's conversion, decided with pandas (GIL held) and run later without it.
struct ColumnFill {
    py::array values;             // numbers, or integer codes (negative: missing)
    std::optional<Vector> table;  // the value of each code; none: the codes themselves
    py::object labels;            // the labels of the codes, for the message on an unknown one
    FillRows fill = nullptr;
    Source source;
};

ColumnFill numbers_fill(const Pandas& p, py::array values) {
    ColumnFill f;
    const auto choose = [&](auto tag) { f.fill = &copy_numbers<decltype(tag)>; };
    if (!with_element_type(values, choose)) {
        values = p.np.attr("asarray")(values, py::arg("dtype") = "float64");  // float16, swapped
        with_element_type(values, choose);
    }
    f.values = std::move(values);
    return f;
}

ColumnFill codes_fill(py::array codes, py::object labels, std::optional<Vector> table) {
    ColumnFill f;
    const auto choose = [&](auto tag) { f.fill = &look_up_codes<decltype(tag)>; };
    if (!with_element_type(codes, choose))
        raise(PyExc_TypeError, "category codes must be integers");
    f.values = std::move(codes);
    f.labels = std::move(labels);
    f.table = std::move(table);
    return f;
}

// The known categories of a column as its labels (a pandas Index keeps each label's type, where
// numpy would make text of a list of booleans and text), and the position among them of each of
// the column's own labels (NaN where a label is not one of them).
struct KnownCategories {
    py::object labels;
    Vector positions;
};

KnownCategories known_among(const Pandas& p, const Column& c, py::handle known, py::handle labels) {
    const py::object index = p.pd.attr("Index")(known);
    if (!py::bool_(index.attr("is_unique"))) refuse(p, c, "has known categories that repeat.");
    const py::array found = index.attr("get_indexer")(labels);
    return {p.np.attr("asarray")(index),
            p.np.attr("where")(p.np.attr("less")(found, 0), kNaN, found).attr("astype")("float64")};
}

// How column `c` is converted; its feature type and labels (None for a numerical feature).
struct PlannedColumn {
    ColumnFill fill;
    const char* type;
    py::object labels;
};

PlannedColumn plan_numerical(const Pandas& p, const Column& c, const Classified& k) {
    if (k.kind == Kind::kText) refuse(p, c, "holds text; it cannot be a numerical feature.");
    if (k.kind == Kind::kNumber)
        return {numbers_fill(p, number_array(p, k.values)), "numerical", py::none()};
    Codes codes = categorical_codes(p, k);
    std::optional<Vector> values;  // a category's number (booleans: their codes 0, 1)
    if (k.kind == Kind::kCategory) {
        if (!test(p, "is_numeric_dtype", codes.labels.attr("dtype")))
            refuse(p, c,
                   "holds categories that are not numbers; it cannot be a numerical feature.");
        values = ensure_array<Vector>(codes.labels, "categories");
    }
    return {codes_fill(std::move(codes.codes), codes.labels, std::move(values)), "numerical",
            py::none()};
}

PlannedColumn plan_column(const Pandas& p, const Column& c, std::optional<bool> categorical,
                          py::handle known) {
    const Classified k = classify(p, c);
    if (!categorical.value_or(k.kind != Kind::kNumber)) {
        if (!known.is_none()) refuse(p, c, "has known categories but is a numerical feature.");
        return plan_numerical(p, c, k);
    }
    Codes codes = categorical_codes(p, k);
    if (known.is_none())
        return {codes_fill(std::move(codes.codes), codes.labels, std::nullopt), "categorical",
                codes.labels};
    KnownCategories among = known_among(p, c, known, codes.labels);
    return {codes_fill(std::move(codes.codes), codes.labels, std::move(among.positions)),
            "categorical", among.labels};
}

// Every planned column into the coded matrix, a block of rows at a time: the matrix is
// row-major, so a block stays in cache while each column writes its cells of it. The column and
// row of the first code that has no value, if any.
std::optional<std::pair<std::size_t, std::size_t>> fill_columns(std::vector<ColumnFill>& plans,
                                                                std::size_t n, Vector& coded) {
    std::vector<CodeTable> tables;
    for (ColumnFill& f : plans) {
        f.source = source_of(f.values);
        tables.push_back(f.table
                             ? CodeTable{f.table->data(), static_cast<std::size_t>(f.table->size())}
                             : CodeTable{});
    }
    const std::size_t width = plans.size();
    double* out = coded.mutable_data();
    constexpr std::size_t kBlock = 4096;
    // Reads buffers the plans hold and writes the new matrix; no Python objects are touched.
    py::gil_scoped_release release;
    for (std::size_t begin = 0; begin < n; begin += kBlock) {
        const std::size_t end = std::min(n, begin + kBlock);
        for (std::size_t j = 0; j < width; ++j) {
            const std::size_t stop =
                plans[j].fill(plans[j].source, begin, end, tables[j], out + j, width);
            if (stop < end) return std::make_pair(j, stop);
        }
    }
    return std::nullopt;
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
    std::vector<ColumnFill> plans;
    std::size_t j = 0;
    const py::object columns = frame ? table.attr("items")() : table.attr("T");
    for (py::handle item : columns) {
        const py::object values = frame ? py::tuple(py::reinterpret_borrow<py::object>(item))[1]
                                        : py::reinterpret_borrow<py::object>(item);
        PlannedColumn planned = plan_column(p, {values, labels_of[j]}, requested[j], known[j]);
        out.feature_types.append(planned.type);
        out.category_labels.append(planned.labels);
        plans.push_back(std::move(planned.fill));
        ++j;
    }
    out.coded = Vector({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(width)});
    if (const auto bad = fill_columns(plans, n, out.coded)) {
        const ColumnFill& f = plans[bad->first];
        const py::object label = f.labels[f.values[py::int_(bad->second)]];
        refuse(p, {py::none(), labels_of[bad->first]},
               "holds the label " + py::repr(label).cast<std::string>() +
                   ", which is not among its known categories.");
    }
    return out;
}

}  // namespace movra::bind
