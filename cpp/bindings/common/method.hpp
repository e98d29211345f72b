// C++ functions as methods of real Python classes.
//
// The deliverable classes subclass Python classes (BaseDiagnoser, scikit-learn's BaseEstimator),
// so they are built with type(name, bases, namespace) at module initialisation. Each method in
// the namespace is a `movra.method` object: it binds like a Python function (obj.m(...) passes
// self), carries __name__, __qualname__, __doc__, __module__ and an inspect.Signature, and binds
// positional and keyword arguments itself, raising TypeError in CPython's own wording.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bindings/common/arrays.hpp"

namespace movra::bind {

namespace py = pybind11;

// One positional-or-keyword parameter; a null default means the parameter is required.
struct Param {
    std::string name;
    py::object default_value;
};

inline Param required(const char* name) { return Param{name, py::object()}; }
inline Param optional(const char* name, py::object default_value = py::none()) {
    return Param{name, std::move(default_value)};
}

// The bound arguments of one call, every parameter filled (defaults included).
class Args {
  public:
    Args(const std::vector<Param>* params, std::vector<py::object> values)
        : params_(params), values_(std::move(values)) {}

    const py::object& operator[](std::size_t i) const { return values_.at(i); }
    // By parameter name; a name that is not a parameter is a programming error.
    const py::object& operator[](const char* name) const;
    std::size_t size() const { return values_.size(); }

    // Typed reads of one argument, converted as Python converts them, with errors that name the
    // parameter.
    const py::object& self() const { return values_.at(0); }
    bool is_none(const char* name) const { return (*this)[name].is_none(); }
    bool truth(const char* name) const;                    // Python's truth value
    double number(const char* name) const;                 // float(value)
    std::int64_t integer(const char* name) const;          // operator.index(value)
    Vector vector(const char* name) const;                 // 1-D float64 (as_vector)
    Vector vector(const char* name, std::size_t n) const;  // ... of length n
    // None stays None; anything else as vector(name, n).
    std::optional<Vector> optional_vector(const char* name, std::size_t n) const;
    Vector matrix(const char* name) const;  // 2-D float64 (as_matrix)

  private:
    const std::vector<Param>* params_;
    std::vector<py::object> values_;
};

using Impl = std::function<py::object(const Args&)>;

// A `movra.method` object. `qualname` is "Class.method" for a method.
py::object make_function(const std::string& module, const std::string& name,
                         const std::string& qualname, const std::string& doc,
                         std::vector<Param> params, Impl impl);

// Collects the namespace of a class and creates it with type(name, bases, namespace).
class ClassBuilder {
  public:
    ClassBuilder(py::module_ module, std::string name, py::tuple bases, const std::string& doc);

    // A method; `params` starts with "self".
    ClassBuilder& def(const std::string& name, const std::string& doc, std::vector<Param> params,
                      Impl impl);
    // A staticmethod; `params` has no "self".
    ClassBuilder& def_static(const std::string& name, const std::string& doc,
                             std::vector<Param> params, Impl impl);
    ClassBuilder& attr(const std::string& name, py::object value);
    // What the namespace holds under `name` (a method defined above, say).
    py::object member(const std::string& name) const;

    // Creates the class, publishes it as a module attribute and returns it.
    py::object finish();

  private:
    py::module_ module_;
    std::string name_;
    std::string module_name_;
    py::tuple bases_;
    py::dict namespace_;
};

// Raise `exc_type(message)` from C++ code; pybind11 turns it back into the Python exception.
[[noreturn]] void raise(py::handle exc_type, const std::string& message);

}  // namespace movra::bind
