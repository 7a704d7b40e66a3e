#include <cstdio>
#include <string>

#include <pybind11/native_enum.h>

#include "bindings.hpp"

namespace py = pybind11;
using background::Metadata;

namespace rarovaredivar {

void define_metadata(py::module_& module) {
    py::class_<Metadata> metadata(module, "Metadata");
    metadata.def(py::init<>());

    py::native_enum<Metadata::Primary>(metadata, "Primary", "enum.IntEnum")
        .value("GAMMA", Metadata::GAMMA)
        .value("PROTON", Metadata::PROTON)
        .export_values()
        .finalize();

    metadata.def_readwrite("uid", &Metadata::uid, "Unique ID of the shower.")
        .def_readwrite("primary", &Metadata::primary, "Type of primary particle (gamma = 1, proton = 14).")
        .def_readwrite("energy", &Metadata::energy, "Energy of the primary particle in GeV.")
        .def_readwrite("x", &Metadata::x, "X position of the shower core in meters.")
        .def_readwrite("y", &Metadata::y, "Y position of the shower core in meters.")
        .def_readwrite("theta", &Metadata::theta, "Zenith angle of the shower in radians.")
        .def_readwrite("phi", &Metadata::phi, "Azimuth angle of the shower in radians.")
        .def_readwrite("time", &Metadata::time, "Arrival time of the shower in seconds.");

    // Reads the raw field, so a record holding no valid primary still prints.
    // std::format defines its fields {}, {:.3e}, {:.0f} and {:.3f} by these
    // printf conversions, so the text is the same.
    metadata.def("__repr__", [](const Metadata& m) {
        auto print = [&m](char* out, std::size_t size) {
            return std::snprintf(out, size,
                                 "<Metadata(uid = %lu, primary = %s, energy = %.3e GeV, x = %.0f m, y = %.0f m, "
                                 "theta = %.3f, phi = %.3f, time = %.3e s)>",
                                 m.uid, m.primary == Metadata::PROTON ? "PROTON" : "GAMMA", m.energy, m.x, m.y,
                                 m.theta, m.phi, m.time);
        };
        std::string text(static_cast<std::size_t>(print(nullptr, 0)), '\0');
        print(text.data(), text.size() + 1);
        return text;
    });
}

}  // namespace rarovaredivar
