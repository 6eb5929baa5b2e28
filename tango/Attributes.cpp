#include "tango/Attributes.h"

namespace veltor::tango {

const AttributeRow<ChannelField> kChannelAttributes[7] = {
    {ChannelField::kMode, "Mode", Tango::DEV_STRING, Tango::READ_WRITE, "", "%s",
     "timing mode, as setup files name it (delay, dyn-delay, up-down, validate, clock, toggle, "
     "count, passive, null)"},
    {ChannelField::kDelay, "Delay", Tango::DEV_DOUBLE, Tango::READ_WRITE, "s", "%.9g",
     "delay (clock mode: high time) in seconds"},
    {ChannelField::kDuration, "Duration", Tango::DEV_DOUBLE, Tango::READ_WRITE, "s", "%.9g",
     "duration (clock mode: low time) in seconds"},
    {ChannelField::kEnabled, "Enabled", Tango::DEV_BOOLEAN, Tango::READ_WRITE, "", "%d",
     "the instrument last acknowledged enabling the channel; writing enables or disables it"},
    {ChannelField::kLogic, "Logic", Tango::DEV_STRING, Tango::READ_WRITE, "", "%s",
     "the channel's logic text (sent by UpdateAll)"},
    {ChannelField::kLastDelay, "LastDelay", Tango::DEV_DOUBLE, Tango::READ, "s", "%.9g",
     "the last delay the instrument reported or answered to Query, in seconds"},
    {ChannelField::kReportCount, "ReportCount", Tango::DEV_LONG64, Tango::READ, "", "%d",
     "delay reports received for the channel"},
};

const AttributeRow<DeviceField> kDeviceAttributes[7] = {
    {DeviceField::kOutputsEnabled, "OutputsEnabled", Tango::DEV_BOOLEAN, Tango::READ_WRITE, "",
     "%d", "all outputs on; writing sends it at once"},
    {DeviceField::kPanelLocked, "PanelLocked", Tango::DEV_BOOLEAN, Tango::READ_WRITE, "", "%d",
     "front panel locked; writing sends it at once"},
    {DeviceField::kClockAB, "ClockAB", Tango::DEV_STRING, Tango::READ_WRITE, "", "%s",
     "clock source of channels A and B: 200MHz, 3.125MHz, 2xref, 2xref/64 (sent by UpdateAll)"},
    {DeviceField::kClockCD, "ClockCD", Tango::DEV_STRING, Tango::READ_WRITE, "", "%s",
     "clock source of channels C and D"},
    {DeviceField::kClockEF, "ClockEF", Tango::DEV_STRING, Tango::READ_WRITE, "", "%s",
     "clock source of channels E and F"},
    {DeviceField::kClockGH, "ClockGH", Tango::DEV_STRING, Tango::READ_WRITE, "", "%s",
     "clock source of channels G and H"},
    {DeviceField::kGlobalLogic, "GlobalLogic", Tango::DEV_STRING, Tango::READ_WRITE, "", "%s",
     "the global logic text, whose names every channel's logic may use (sent by UpdateAll)"},
};

std::string ChannelAttributeName(int channel, const char* name) {
    return std::string(1, static_cast<char>('A' + channel)) + "_" + name;
}

}  // namespace veltor::tango
