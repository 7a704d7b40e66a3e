#include "bindings.hpp"

namespace py = pybind11;

namespace rarovaredivar {

// The vector binding makes MetadataVector global (its element is a bound
// class) and the other two local to this module. DoubleVector exposes its
// buffer, so numpy.asarray views the times without a copy.
void define_vectors(py::module_& module) {
    py::bind_vector<std::vector<background::Metadata>>(module, "MetadataVector");
    py::bind_vector<std::vector<double>>(module, "DoubleVector", py::buffer_protocol());
    py::bind_vector<background::PEList>(module, "PEListVector");
}

}  // namespace rarovaredivar
