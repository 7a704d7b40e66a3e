// Entry point of the extension module. The interpreter version is checked
// before anything touches the binding library, then the module is made by
// multi-phase initialisation; its execution step defines the classes once per
// interpreter.

#include <cstring>
#include <exception>

#include "bindings.hpp"

namespace py = pybind11;

static_assert(PY_MAJOR_VERSION == 3 && PY_MINOR_VERSION == 10, "the module is built for Python 3.10");

namespace {

constexpr const char* python_version = "3.10";

// Turns the exception being handled into the ImportError of a failed import.
void set_import_error() {
    try {
        throw;
    } catch (py::error_already_set& e) {
        py::raise_from(e, PyExc_ImportError, "initialization failed");
    } catch (const std::exception& e) {
        py::set_error(PyExc_ImportError, e.what());
    }
}

int execute(PyObject* raw_module) {
    try {
        auto module = py::reinterpret_borrow<py::module_>(raw_module);
        if (py::detail::get_cached_module(module.attr("__spec__").attr("name")))
            return 0;
        module.doc() = "Python bindings for the VORN Background Library";
        rarovaredivar::define_metadata(module);
        rarovaredivar::define_vectors(module);
        rarovaredivar::define_background(module);
        py::detail::cache_completed_module(module);
        return 0;
    } catch (...) {
        set_import_error();
    }
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&py::detail::cached_create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(&execute)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "rarovaredivar",  // m_name
    nullptr,          // m_doc: set by the execution step
    0,                // m_size: no per-module state
    nullptr,          // m_methods
    slots,
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_rarovaredivar() {
    const char* version = Py_GetVersion();
    const std::size_t length = std::strlen(python_version);
    // "3.100" must not pass for "3.10".
    if (std::strncmp(version, python_version, length) != 0 || (version[length] >= '0' && version[length] <= '9')) {
        PyErr_Format(PyExc_ImportError,
                     "Python version mismatch: module was compiled for Python %s, but the interpreter version is "
                     "incompatible: %s.",
                     python_version, version);
        return nullptr;
    }
    try {
        py::detail::ensure_internals();
        return PyModuleDef_Init(&definition);
    } catch (...) {
        set_import_error();
    }
    return nullptr;
}
