#include "bindings.hpp"

namespace py = pybind11;

namespace rarovaredivar {

// The vector binding makes MetadataVector global (its element is a bound
// class) and the other two local to this module.
void define_vectors(py::module_& module) {
    py::bind_vector<std::vector<background::Metadata>>(module, "MetadataVector");
    py::bind_vector<std::vector<double>>(module, "DoubleVector");
    py::bind_vector<background::PEList>(module, "PEListVector");
}

}  // namespace rarovaredivar
