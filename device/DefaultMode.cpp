#include "device/DefaultMode.h"

#include <veltor/CChannel.h>
#include <veltor/SimpleModes.h>

namespace veltor {

namespace {

CTimingMode* s_pDevicesDefault = nullptr;
unsigned long s_nDevices = 0;

}  // namespace

std::recursive_mutex& DefaultModeLock() {
    static std::recursive_mutex lock;
    return lock;
}

void AdoptDeviceDefault() {
    CTimingMode* fresh = new CNull;  // before anything changes: it may throw
    {
        std::lock_guard<std::recursive_mutex> hold(DefaultModeLock());
        ++s_nDevices;
        if (s_pDevicesDefault == nullptr) {
            s_pDevicesDefault = fresh;
            fresh = nullptr;
        }
        // A device made while a default is installed leaves it there: the
        // host's own default outlives the devices the library makes for
        // itself (a port probe, an offline check).
        CTimingMode* installed = CChannel::SetDefaultTimingMode(nullptr);
        CChannel::SetDefaultTimingMode(installed != nullptr ? installed : s_pDevicesDefault);
    }
    delete fresh;
}

void ReleaseDeviceDefault() {
    CTimingMode* gone = nullptr;
    {
        std::lock_guard<std::recursive_mutex> hold(DefaultModeLock());
        if (s_nDevices == 0 || --s_nDevices > 0) {
            return;
        }
        gone = s_pDevicesDefault;
        s_pDevicesDefault = nullptr;
        CTimingMode* installed = CChannel::SetDefaultTimingMode(nullptr);
        if (installed != gone) {
            CChannel::SetDefaultTimingMode(installed);  // the host's stays
        }
    }
    delete gone;
}

}  // namespace veltor
