// The attributes the server gives each instrument: one table per channel
// (each row becomes A_<name> .. H_<name>) and one for the whole device.
#pragma once

#include <tango.h>

namespace veltor::tango {

enum class ChannelField { kMode, kDelay, kDuration, kEnabled, kLogic, kLastDelay, kReportCount };
enum class DeviceField {
    kOutputsEnabled,
    kPanelLocked,
    kClockAB,
    kClockCD,
    kClockEF,
    kClockGH,
    kGlobalLogic
};

template <typename Field>
struct AttributeRow {
    Field field;
    const char* name;
    long type;  // Tango::DEV_DOUBLE, ...
    Tango::AttrWriteType write;
    const char* unit;
    const char* format;
    const char* description;
};

extern const AttributeRow<ChannelField> kChannelAttributes[7];
extern const AttributeRow<DeviceField> kDeviceAttributes[7];

// "A_Delay".
std::string ChannelAttributeName(int channel, const char* name);

}  // namespace veltor::tango
