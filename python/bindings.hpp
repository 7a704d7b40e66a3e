#pragma once
// Shared by the module's sources: the vector types cross to Python as bound
// opaque classes, never as lists, so every source must see these declarations.

#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl_bind.h>

#include "background/Metadata.hpp"
#include "background/PEList.hpp"

PYBIND11_MAKE_OPAQUE(std::vector<background::Metadata>)
PYBIND11_MAKE_OPAQUE(std::vector<double>)
PYBIND11_MAKE_OPAQUE(background::PEList)

namespace rarovaredivar {

// Each adds its classes to the module; called in this order.
void define_metadata(pybind11::module_& module);
void define_vectors(pybind11::module_& module);
void define_background(pybind11::module_& module);

}  // namespace rarovaredivar
