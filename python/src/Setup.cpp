// Setup files for Python: the submodule _veltor.setup with the functions and
// records of veltor::setup under their C++ names. A Setup owns its modes;
// one read from it (setup.channels[0].mode) keeps the Setup alive, and one
// given to it is copied.
#include "setup/Setup.h"

#include <veltor/veltor.h>

#include <memory>
#include <optional>
#include <string>

#include "python/src/Bindings.h"

namespace veltor::python {

namespace {

namespace vs = veltor::setup;

std::unique_ptr<CTimingMode> Clone(const CTimingMode& mode) {
    std::unique_ptr<CTimingMode> copy = vs::CloneMode(mode);
    if (!copy) {
        throw py::type_error("a mode of a class of the host's own has no file form");
    }
    return copy;
}

}  // namespace

void BindSetup(py::module_& parent) {
    py::module_ module = parent.def_submodule(
        "setup", "Setup files: one JSON file describes a whole instrument (see setup/Setup.h).");

    // Kept for the life of the process, past the interpreter's: never released.
    static auto* error = new py::exception<vs::Error>(module, "Error", PyExc_ValueError);
    py::register_exception_translator([](std::exception_ptr pointer) {
        try {
            if (pointer) {
                std::rethrow_exception(pointer);
            }
        } catch (const vs::Error& caught) {
            py::object type = py::reinterpret_borrow<py::object>(error->ptr());
            py::object raised = type(caught.what());
            raised.attr("path") = caught.Path();
            PyErr_SetObject(error->ptr(), raised.ptr());
        }
    });

    py::class_<vs::Channel>(module, "Channel",
                            "One channel of a setup: its mode, logic and whether it is enabled.")
        .def_property(
            "mode", [](vs::Channel& self) { return self.mode.get(); },
            [](vs::Channel& self, const CTimingMode* mode) {
                self.mode = mode != nullptr ? Clone(*mode) : nullptr;
            },
            py::return_value_policy::reference_internal,
            "The channel's mode (owned by the setup), or None for the default. Setting it "
            "stores a copy.")
        .def_readwrite("logic", &vs::Channel::logic,
                       "The logic text, or None to leave the channel's logic as it is.")
        .def_readwrite("enabled", &vs::Channel::enabled,
                       "True: the update enables the channel; False: disables it; None: leaves "
                       "it as it is.");

    py::class_<vs::Setup>(module, "Setup", "A whole instrument: general, global logic, channels.")
        .def(py::init<>())
        .def_readwrite("general", &vs::Setup::general)
        .def_readwrite("globalLogic", &vs::Setup::globalLogic)
        .def_property_readonly(
            "channels",
            [](py::object self) {
                vs::Setup& setup = self.cast<vs::Setup&>();
                py::list channels;
                for (vs::Channel& channel : setup.channels) {
                    channels.append(
                        py::cast(&channel, py::return_value_policy::reference_internal, self));
                }
                return channels;
            },
            "The eight channels A..H.");

    module.def("Parse", &vs::Parse, py::arg("jsonText"));
    module.def("Format", &vs::Format, py::arg("setup"));
    module.def("Load", Released(&vs::Load), py::arg("path"));
    module.def("Save", Released(&vs::Save), py::arg("path"), py::arg("setup"));
    module.def("Capture", Released(&vs::Capture), py::arg("device"),
               "What the device's host objects hold now, with copies of its modes.");
    module.def("ModeName", &vs::ModeName, py::arg("mode"));
    module.def("MakeMode", &vs::MakeMode, py::arg("name"));
    module.def("CloneMode", &vs::CloneMode, py::arg("mode"));
}

}  // namespace veltor::python
