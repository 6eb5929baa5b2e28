#include "tango/Class.h"

#include <functional>
#include <type_traits>

#include "tango/Device.h"

namespace veltor::tango {

namespace {

// One attribute of the tables: channel -1 for a device-wide one.
template <typename Field>
class Attribute : public Tango::Attr {
public:
    Attribute(const AttributeRow<Field>& row, int channel)
        : Tango::Attr(Name(row, channel).c_str(), row.type, row.write),
          m_Field(row.field),
          m_Channel(channel) {
        Tango::UserDefaultAttrProp properties;
        properties.set_unit(row.unit);
        properties.set_standard_unit(row.unit);
        properties.set_display_unit(row.unit);
        properties.set_format(row.format);
        properties.set_description(row.description);
        set_default_properties(properties);
    }

    void read(Tango::DeviceImpl* device, Tango::Attribute& attribute) override {
        if constexpr (std::is_same_v<Field, ChannelField>) {
            static_cast<Device*>(device)->ReadChannel(m_Channel, m_Field, attribute);
        } else {
            static_cast<Device*>(device)->ReadDevice(m_Field, attribute);
        }
    }

    void write(Tango::DeviceImpl* device, Tango::WAttribute& attribute) override {
        if constexpr (std::is_same_v<Field, ChannelField>) {
            static_cast<Device*>(device)->WriteChannel(m_Channel, m_Field, attribute);
        } else {
            static_cast<Device*>(device)->WriteDevice(m_Field, attribute);
        }
    }

private:
    static std::string Name(const AttributeRow<Field>& row, int channel) {
        return channel < 0 ? row.name : ChannelAttributeName(channel, row.name);
    }

    Field m_Field;
    int m_Channel;
};

// A command over one call of the device: the Any in, the Any out.
class Command : public Tango::Command {
public:
    using Run = std::function<CORBA::Any*(Command&, Device&, const CORBA::Any&)>;

    Command(const char* name, Tango::CmdArgType in, Tango::CmdArgType out, const char* inText,
            const char* outText, Run run)
        : Tango::Command(name, in, out, inText, outText), m_Run(std::move(run)) {}

    CORBA::Any* execute(Tango::DeviceImpl* device, const CORBA::Any& in) override {
        return m_Run(*this, *static_cast<Device*>(device), in);
    }

    std::string Text(const CORBA::Any& in) {
        const char* text = nullptr;
        extract(in, text);
        return text;
    }
    using Tango::Command::insert;

private:
    Run m_Run;
};

CORBA::Any* Strings(Command& command, const std::vector<std::string>& texts) {
    Tango::DevVarStringArray array;
    array.length(static_cast<CORBA::ULong>(texts.size()));
    for (std::size_t i = 0; i < texts.size(); ++i) {
        array[static_cast<CORBA::ULong>(i)] = CORBA::string_dup(texts[i].c_str());
    }
    return command.insert(array);
}

}  // namespace

Class::Class(std::string& name) : Tango::DeviceClass(name) {}

Class* Class::Init(const char* name) {
    // Tango keeps the class for the life of the server.
    std::string text = name;
    return new Class(text);
}

void Class::attribute_factory(std::vector<Tango::Attr*>& attributes) {
    for (int channel = 0; channel < 8; ++channel) {
        for (const auto& row : kChannelAttributes) {
            auto* attribute = new Attribute<ChannelField>(row, channel);
            if (row.field == ChannelField::kLastDelay) {
                // Pushed by the server on each report; without a database
                // Tango cannot poll to detect changes itself.
                attribute->set_change_event(true, false);
            }
            attributes.push_back(attribute);
        }
    }
    for (const auto& row : kDeviceAttributes) {
        attributes.push_back(new Attribute<DeviceField>(row, -1));
    }
}

void Class::command_factory() {
    using Any = const CORBA::Any&;
    const auto add = [this](const char* name, Tango::CmdArgType in, Tango::CmdArgType out,
                            const char* inText, const char* outText, Command::Run run) {
        command_list.push_back(new Command(name, in, out, inText, outText, std::move(run)));
    };
    add("UpdateAll", Tango::DEV_VOID, Tango::DEV_VOID, "", "", [](Command& c, Device& d, Any) {
        d.UpdateAll();
        return c.insert();
    });
    add("ResetAll", Tango::DEV_VOID, Tango::DEV_VOID, "", "", [](Command& c, Device& d, Any) {
        d.ResetAll();
        return c.insert();
    });
    add("ApplySetup", Tango::DEV_STRING, Tango::DEV_VOID, "a setup file's JSON text", "",
        [](Command& c, Device& d, Any in) {
            d.ApplySetup(c.Text(in));
            return c.insert();
        });
    add("CheckSetup", Tango::DEV_STRING, Tango::DEVVAR_STRINGARRAY, "a setup file's JSON text",
        "its problems; none when the setup would be taken",
        [](Command& c, Device& d, Any in) { return Strings(c, d.CheckSetup(c.Text(in))); });
    add("ExportSetup", Tango::DEV_VOID, Tango::DEV_STRING, "",
        "the host's setup as a setup file's JSON text",
        [](Command& c, Device& d, Any) { return c.insert(d.ExportSetup().c_str()); });
    add("Query", Tango::DEV_STRING, Tango::DEV_DOUBLE, "channel A to H",
        "the channel's delay as the instrument holds it, in seconds",
        [](Command& c, Device& d, Any in) { return c.insert(d.Query(c.Text(in))); });
    const std::pair<const char*, bool (CChannel::*)()> channelCommands[] = {
        {"Enable", &CChannel::CmdEnable},
        {"Disable", &CChannel::CmdDisable},
        {"ForceTrigger", &CChannel::CmdForceTrigger},
        {"Reset", &CChannel::CmdReset},
    };
    for (const auto& [name, member] : channelCommands) {
        add(name, Tango::DEV_STRING, Tango::DEV_VOID, "channel A to H", "",
            [member = member](Command& c, Device& d, Any in) {
                d.RunChannel(c.Text(in), member);
                return c.insert();
            });
    }
}

void Class::device_factory(const Tango::DevVarStringArray* names) {
    for (CORBA::ULong i = 0; i < names->length(); ++i) {
        std::string name = (*names)[i].in();
        Device* device = new Device(this, name);
        device_list.push_back(device);
        if (Tango::Util::_UseDb && !Tango::Util::_FileDb) {
            export_device(device);
        } else {
            export_device(device, name.c_str());
        }
    }
}

}  // namespace veltor::tango
