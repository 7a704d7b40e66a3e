// Entry point of the extension module: the binding library's module
// definition checks the interpreter version, creates the module by
// multi-phase initialisation and runs this body once per interpreter.

#include "bindings.hpp"

static_assert(PY_MAJOR_VERSION == 3 && PY_MINOR_VERSION == 10, "the module is built for Python 3.10");

PYBIND11_MODULE(rarovaredivar, module) {
    module.doc() = "Python bindings for the VORN Background Library";
    rarovaredivar::define_metadata(module);
    rarovaredivar::define_vectors(module);
    rarovaredivar::define_background(module);
}
