#include "bindings/common/method.hpp"

#include <structmember.h>

#include <cstring>
#include <new>
#include <stdexcept>

namespace movra::bind {

namespace {

struct MethodData {
    std::vector<Param> params;
    Impl impl;
};

struct MethodObject {
    PyObject_HEAD PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* signature;
    MethodData* data;
};

std::string type_error_prefix(const MethodObject* self) {
    return py::str(self->name).cast<std::string>() + "()";
}

[[noreturn]] void type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw py::error_already_set();
}

// Binds args/kwargs to the parameters exactly as CPython binds a def's arguments, with its
// messages: keyword problems first, then too many positionals, then missing ones.
std::vector<py::object> bind_arguments(const MethodObject* self, PyObject* args, PyObject* kwargs) {
    const std::vector<Param>& params = self->data->params;
    const std::size_t n_params = params.size();
    const auto n_given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    std::vector<py::object> values(n_params);
    for (std::size_t i = 0; i < n_given && i < n_params; ++i)
        values[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args, i));

    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key))
                type_error(type_error_prefix(self) + " keywords must be strings");
            const std::string key_name = py::reinterpret_borrow<py::str>(key).cast<std::string>();
            std::size_t i = 0;
            while (i < n_params && params[i].name != key_name) ++i;
            if (i == n_params)
                type_error(type_error_prefix(self) + " got an unexpected keyword argument '" +
                           key_name + "'");
            if (values[i])
                type_error(type_error_prefix(self) + " got multiple values for argument '" +
                           key_name + "'");
            values[i] = py::reinterpret_borrow<py::object>(value);
        }
    }

    if (n_given > n_params) {
        std::size_t n_defaults = 0;
        for (const Param& p : params) n_defaults += p.default_value ? 1 : 0;
        std::string takes;
        bool plural = true;
        if (n_defaults > 0) {
            takes =
                "from " + std::to_string(n_params - n_defaults) + " to " + std::to_string(n_params);
        } else {
            takes = std::to_string(n_params);
            plural = n_params != 1;
        }
        type_error(type_error_prefix(self) + " takes " + takes + " positional argument" +
                   (plural ? "s" : "") + " but " + std::to_string(n_given) + " " +
                   (n_given == 1 ? "was" : "were") + " given");
    }

    std::vector<std::string> missing;
    for (std::size_t i = 0; i < n_params; ++i)
        if (!values[i] && !params[i].default_value) missing.push_back("'" + params[i].name + "'");
    if (!missing.empty()) {
        std::string names;
        if (missing.size() == 1) {
            names = missing[0];
        } else if (missing.size() == 2) {
            names = missing[0] + " and " + missing[1];
        } else {
            for (std::size_t i = 0; i + 1 < missing.size(); ++i) names += missing[i] + ", ";
            names += "and " + missing.back();
        }
        type_error(type_error_prefix(self) + " missing " + std::to_string(missing.size()) +
                   " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                   names);
    }

    for (std::size_t i = 0; i < n_params; ++i)
        if (!values[i]) values[i] = params[i].default_value;
    return values;
}

PyObject* method_call(PyObject* obj, PyObject* args, PyObject* kwargs) {
    auto* self = reinterpret_cast<MethodObject*>(obj);
    try {
        Args bound(&self->data->params, bind_arguments(self, args, kwargs));
        py::object result = self->data->impl(bound);
        return result.release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// Like a function: bound to an instance it is a bound method, looked up on the class it is itself.
PyObject* method_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

void method_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<MethodObject*>(obj);
    Py_XDECREF(self->name);
    Py_XDECREF(self->qualname);
    Py_XDECREF(self->doc);
    Py_XDECREF(self->module);
    Py_XDECREF(self->signature);
    {
        // The parameters' defaults are Python objects: release them with the GIL held (we are).
        delete self->data;
    }
    PyTypeObject* tp = Py_TYPE(obj);
    tp->tp_free(obj);
    Py_DECREF(tp);
}

PyObject* method_repr(PyObject* obj) {
    auto* self = reinterpret_cast<MethodObject*>(obj);
    return PyUnicode_FromFormat("<movra.method %U>", self->qualname);
}

// Pickled by reference, like a function: the module attribute path given by __qualname__.
PyObject* method_reduce(PyObject* obj, PyObject* /*unused*/) {
    auto* self = reinterpret_cast<MethodObject*>(obj);
    Py_INCREF(self->qualname);
    return self->qualname;
}

#if PY_VERSION_HEX >= 0x030C0000
#define MOVRA_T_OBJECT Py_T_OBJECT_EX
#define MOVRA_READONLY Py_READONLY
#else
#define MOVRA_T_OBJECT T_OBJECT_EX
#define MOVRA_READONLY READONLY
#endif

PyMemberDef method_members[] = {
    {"__name__", MOVRA_T_OBJECT, offsetof(MethodObject, name), 0, nullptr},
    {"__qualname__", MOVRA_T_OBJECT, offsetof(MethodObject, qualname), 0, nullptr},
    {"__doc__", MOVRA_T_OBJECT, offsetof(MethodObject, doc), 0, nullptr},
    {"__module__", MOVRA_T_OBJECT, offsetof(MethodObject, module), 0, nullptr},
    {"__signature__", MOVRA_T_OBJECT, offsetof(MethodObject, signature), MOVRA_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyMethodDef method_methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(method_reduce), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

// CPython 3.8 writes the module part of the type's dotted name ("movra") into the new type's
// __module__ entry, over the member descriptor that reads each method's own module: every method
// would report "movra" and pickling by reference would look in the wrong module. Put the descriptor
// back; later CPythons keep it, and this replaces it by an equal one.
void restore_module_member(PyTypeObject* type) {
    for (PyMemberDef* member = method_members; member->name != nullptr; ++member) {
        if (std::strcmp(member->name, "__module__") != 0) continue;
        PyObject* descriptor = PyDescr_NewMember(type, member);
        if (descriptor == nullptr) throw py::error_already_set();
        const int failed = PyDict_SetItemString(type->tp_dict, "__module__", descriptor);
        Py_DECREF(descriptor);
        if (failed != 0) throw py::error_already_set();
        PyType_Modified(type);
        return;
    }
}

PyTypeObject* method_type() {
    // One type per extension module (each links this file); created on first use, never freed.
    static PyTypeObject* type = [] {
        PyType_Slot slots[] = {{Py_tp_call, reinterpret_cast<void*>(method_call)},
                               {Py_tp_descr_get, reinterpret_cast<void*>(method_get)},
                               {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
                               {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
                               {Py_tp_members, method_members},
                               {Py_tp_methods, method_methods},
                               {0, nullptr}};
        PyType_Spec type_spec = {"movra.method", static_cast<int>(sizeof(MethodObject)), 0,
                                 Py_TPFLAGS_DEFAULT, slots};
        PyObject* created = PyType_FromSpec(&type_spec);
        if (created == nullptr) throw py::error_already_set();
        auto* created_type = reinterpret_cast<PyTypeObject*>(created);
        try {
            restore_module_member(created_type);
        } catch (...) {
            Py_DECREF(created);
            throw;
        }
        return created_type;
    }();
    return type;
}

py::object make_signature(const std::vector<Param>& params) {
    py::module_ inspect = py::module_::import("inspect");
    py::object parameter = inspect.attr("Parameter");
    py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
    py::list items;
    for (const Param& p : params) {
        if (p.default_value)
            items.append(parameter(p.name, kind, py::arg("default") = p.default_value));
        else
            items.append(parameter(p.name, kind));
    }
    return inspect.attr("Signature")(items);
}

}  // namespace

const py::object& Args::operator[](const char* name) const {
    for (std::size_t i = 0; i < params_->size(); ++i)
        if ((*params_)[i].name == name) return values_[i];
    throw std::logic_error(std::string("no parameter named ") + name);
}

bool Args::truth(const char* name) const {
    const int r = PyObject_IsTrue((*this)[name].ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

double Args::number(const char* name) const {
    const py::object& value = (*this)[name];
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        raise(PyExc_TypeError, std::string(name) + " must be a real number, got " +
                                   py::repr(value).cast<std::string>());
    }
    return v;
}

std::int64_t Args::integer(const char* name) const {
    const py::object& value = (*this)[name];
    PyObject* index = PyNumber_Index(value.ptr());
    if (index == nullptr) {
        PyErr_Clear();
        raise(PyExc_TypeError, std::string(name) + " must be an integer, got " +
                                   py::repr(value).cast<std::string>());
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (overflow != 0)
        raise(PyExc_OverflowError,
              std::string(name) + " is too large: " + py::repr(value).cast<std::string>());
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return static_cast<std::int64_t>(v);
}

Vector Args::vector(const char* name) const { return as_vector((*this)[name], name); }

Vector Args::vector(const char* name, std::size_t n) const {
    return as_vector_of_length((*this)[name], name, n);
}

std::optional<Vector> Args::optional_vector(const char* name, std::size_t n) const {
    if (is_none(name)) return std::nullopt;
    return vector(name, n);
}

Vector Args::matrix(const char* name) const { return as_matrix((*this)[name], name); }

py::object make_function(const std::string& module, const std::string& name,
                         const std::string& qualname, const std::string& doc,
                         std::vector<Param> params, Impl impl) {
    PyTypeObject* type = method_type();
    py::object signature = make_signature(params);
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) throw py::error_already_set();
    auto* self = reinterpret_cast<MethodObject*>(obj);
    self->name = py::str(name).release().ptr();
    self->qualname = py::str(qualname).release().ptr();
    self->doc = doc.empty() ? py::none().release().ptr() : py::str(doc).release().ptr();
    self->module = py::str(module).release().ptr();
    self->signature = signature.release().ptr();
    self->data = new MethodData{std::move(params), std::move(impl)};
    return py::reinterpret_steal<py::object>(obj);
}

ClassBuilder::ClassBuilder(py::module_ module, std::string name, py::tuple bases,
                           const std::string& doc)
    : module_(std::move(module)), name_(std::move(name)), bases_(std::move(bases)) {
    module_name_ = module_.attr("__name__").cast<std::string>();
    namespace_["__module__"] = module_name_;
    namespace_["__qualname__"] = name_;
    namespace_["__doc__"] = doc.empty() ? py::object(py::none()) : py::object(py::str(doc));
}

ClassBuilder& ClassBuilder::def(const std::string& name, const std::string& doc,
                                std::vector<Param> params, Impl impl) {
    namespace_[py::str(name)] = make_function(module_name_, name, name_ + "." + name, doc,
                                              std::move(params), std::move(impl));
    return *this;
}

ClassBuilder& ClassBuilder::def_static(const std::string& name, const std::string& doc,
                                       std::vector<Param> params, Impl impl) {
    py::object fn = make_function(module_name_, name, name_ + "." + name, doc, std::move(params),
                                  std::move(impl));
    namespace_[py::str(name)] = py::module_::import("builtins").attr("staticmethod")(fn);
    return *this;
}

ClassBuilder& ClassBuilder::attr(const std::string& name, py::object value) {
    namespace_[py::str(name)] = std::move(value);
    return *this;
}

py::object ClassBuilder::member(const std::string& name) const { return namespace_[py::str(name)]; }

py::object ClassBuilder::finish() {
    py::object cls = py::module_::import("builtins").attr("type")(name_, bases_, namespace_);
    module_.attr(name_.c_str()) = cls;
    return cls;
}

void raise(py::handle exc_type, const std::string& message) {
    PyErr_SetString(exc_type.ptr(), message.c_str());
    throw py::error_already_set();
}

}  // namespace movra::bind
