// Holds a Tango device's monitor for a scope, as Tango's own requests do.
// (Tango's AutoTangoMonitor chooses the monitor by serialisation model, in
// a switch that g++ flags as maybe uninitialised once inlined; the server
// keeps Tango's default model, one request at a time per device.)
#pragma once

#include <tango.h>

namespace veltor::tango {

class MonitorHold {
public:
    // Throws Tango::DevFailed when the monitor is not had within its time-out.
    explicit MonitorHold(Tango::DeviceImpl& device) : m_Monitor(device.get_dev_monitor()) {
        m_Monitor.get_monitor();
    }
    ~MonitorHold() { m_Monitor.rel_monitor(); }
    MonitorHold(const MonitorHold&) = delete;
    MonitorHold& operator=(const MonitorHold&) = delete;

private:
    Tango::TangoMonitor& m_Monitor;
};

}  // namespace veltor::tango
