// Finding the port: veltor::ListPorts and its records, under their C++ names.
#include <veltor/Ports.h>

#include "python/src/Bindings.h"

namespace veltor::python {

void BindPorts(py::module_& module) {
    py::enum_<PortProbe>(module, "PortProbe", "What probing found on a port.")
        .value("NotProbed", PortProbe::NotProbed)
        .value("Instrument", PortProbe::Instrument)
        .value("NoAnswer", PortProbe::NoAnswer)
        .value("Busy", PortProbe::Busy)
        .value("Failed", PortProbe::Failed);

    py::class_<PortInfo>(module, "PortInfo", "One serial port of the machine.")
        .def_readonly("path", &PortInfo::path)
        .def_readonly("stableName", &PortInfo::stableName)
        .def_readonly("description", &PortInfo::description)
        .def_readonly("bus", &PortInfo::bus)
        .def_readonly("vendorId", &PortInfo::vendorId)
        .def_readonly("productId", &PortInfo::productId)
        .def_readonly("manufacturer", &PortInfo::manufacturer)
        .def_readonly("product", &PortInfo::product)
        .def_readonly("serialNumber", &PortInfo::serialNumber)
        .def_readonly("probe", &PortInfo::probe)
        .def_readonly("probeBaudIndex", &PortInfo::probeBaudIndex)
        .def_readonly("probeNote", &PortInfo::probeNote);

    module.def(
        "ListPorts",
        [](bool probe, std::vector<int> baudIndexes, std::vector<std::string> extraPaths,
           bool systemPorts) {
            PortListOptions options;
            options.probe = probe;
            options.baudIndexes = std::move(baudIndexes);
            options.extraPaths = std::move(extraPaths);
            options.systemPorts = systemPorts;
            return WithoutGil([&options] { return ListPorts(options); });
        },
        py::arg("probe") = false, py::arg("baudIndexes") = std::vector<int>{CSerDev::kBaud115200},
        py::arg("extraPaths") = std::vector<std::string>{}, py::arg("systemPorts") = true,
        "The machine's serial ports, then extraPaths; with probe, each port no other program "
        "holds is opened at each baud index (sending the 1024-byte filler burst) and sent one "
        "query of channel A.");
}

}  // namespace veltor::python
