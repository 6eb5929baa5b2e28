// The Tango class of the instrument's devices: its attributes (one generic
// attribute class over the tables of Attributes.h), its commands and the
// factory of its devices.
#pragma once

#include <tango.h>

namespace veltor::tango {

class Class : public Tango::DeviceClass {
public:
    static Class* Init(const char* name);

    void attribute_factory(std::vector<Tango::Attr*>& attributes) override;
    void command_factory() override;
    void device_factory(const Tango::DevVarStringArray* names) override;

private:
    explicit Class(std::string& name);
};

}  // namespace veltor::tango
