// The device: creation, connection, the device-wide commands and the
// general properties.
#include <veltor/SGeneral.h>

#include <string>

#include "capi/Internal.h"
#include "device/ClockSources.h"

using veltor::capi::Fail;
using veltor::capi::Guard;
using veltor::capi::NullArgument;
using veltor::capi::RunCommand;

namespace {

// Opens the port with `open`, under the device's lock so that the failure
// text read afterwards is this connection's.
template <typename Open>
veltor_status OpenPort(veltor_device* device, int baudIndex, Open&& open) {
    if (device == nullptr) {
        return NullArgument("device");
    }
    if (CSerDev::BaudRate(baudIndex) == 0) {
        return Fail(VELTOR_INVALID_ARGUMENT,
                    "no baud index " + std::to_string(baudIndex) + ": indices are 0 to 6");
    }
    CSerDev::Hold hold(device->device);
    if (open() != 0) {
        return Fail(VELTOR_CONNECT_FAILED, device->device.GetLastError());
    }
    return VELTOR_OK;
}

veltor_status DeviceCommand(veltor_device* device, bool (CVeltor::*command)()) {
    return Guard([&] { return RunCommand(device, [&] { return (device->device.*command)(); }); });
}

}  // namespace

extern "C" {

VELTOR_API veltor_status VELTOR_CALL veltor_create(veltor_device** device) {
    return Guard([&] {
        if (device == nullptr) {
            return NullArgument("device");
        }
        *device = nullptr;
        *device = new veltor_device;
        return VELTOR_OK;
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_destroy(veltor_device* device) {
    return Guard([&] {
        if (device == nullptr) {
            return NullArgument("device");
        }
        delete device;
        return VELTOR_OK;
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_connect_port(veltor_device* device, int port,
                                                         int baud_index) {
    return Guard([&] {
        return OpenPort(device, baud_index,
                        [&] { return device->device.InitConnection(port, baud_index); });
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_connect_path(veltor_device* device, const char* path,
                                                         int baud_index) {
    return Guard([&] {
        if (path == nullptr) {
            return NullArgument("path");
        }
        return OpenPort(device, baud_index,
                        [&] { return device->device.InitConnection(path, baud_index); });
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_disconnect(veltor_device* device) {
    return Guard([&] {
        if (device == nullptr) {
            return NullArgument("device");
        }
        // Not under the device's lock: closing wakes a command that holds it.
        device->device.CloseConnection();
        return VELTOR_OK;
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_cancel_command(veltor_device* device) {
    return Guard([&] {
        if (device == nullptr) {
            return NullArgument("device");
        }
        // Not under the device's lock, which the command holds.
        device->device.CancelCommand();
        return VELTOR_OK;
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_is_connected(veltor_device* device, int* connected) {
    if (device == nullptr || connected == nullptr) {
        return NullArgument(device == nullptr ? "device" : "connected");
    }
    *connected = device->device.IsConnected() ? 1 : 0;
    return VELTOR_OK;
}

VELTOR_API veltor_status VELTOR_CALL veltor_enable_outputs(veltor_device* device) {
    return DeviceCommand(device, &CVeltor::CmdEnableOutputs);
}

VELTOR_API veltor_status VELTOR_CALL veltor_disable_outputs(veltor_device* device) {
    return DeviceCommand(device, &CVeltor::CmdDisableOutputs);
}

VELTOR_API veltor_status VELTOR_CALL veltor_lock_panel(veltor_device* device) {
    return DeviceCommand(device, &CVeltor::CmdLockFP);
}

VELTOR_API veltor_status VELTOR_CALL veltor_unlock_panel(veltor_device* device) {
    return DeviceCommand(device, &CVeltor::CmdUnlockFP);
}

VELTOR_API veltor_status VELTOR_CALL veltor_reset_all(veltor_device* device) {
    return DeviceCommand(device, &CVeltor::CmdResetAll);
}

VELTOR_API veltor_status VELTOR_CALL veltor_set_clock(veltor_device* device) {
    return DeviceCommand(device, &CVeltor::CmdSetClock);
}

VELTOR_API veltor_status VELTOR_CALL veltor_set_all_modes(veltor_device* device) {
    return DeviceCommand(device, &CVeltor::CmdSetAllTimingModes);
}

VELTOR_API veltor_status VELTOR_CALL veltor_update_all(veltor_device* device) {
    return DeviceCommand(device, &CVeltor::CmdUpdateAll);
}

VELTOR_API veltor_status VELTOR_CALL veltor_transfer_all_logic(veltor_device* device) {
    return DeviceCommand(device, &CVeltor::CmdTransferAllLogic);
}

VELTOR_API veltor_status VELTOR_CALL veltor_implement_logic(veltor_device* device) {
    return DeviceCommand(device, &CVeltor::CmdImplementLogic);
}

VELTOR_API veltor_status VELTOR_CALL veltor_get_general(veltor_device* device,
                                                        veltor_general* general) {
    return Guard([&] {
        if (device == nullptr || general == nullptr) {
            return NullArgument(device == nullptr ? "device" : "general");
        }
        if (general->size != sizeof(veltor_general)) {
            return Fail(VELTOR_INVALID_ARGUMENT, "general: size is not sizeof(veltor_general)");
        }
        CSerDev::Hold hold(device->device);
        const SGeneral& g = *device->device.GetPropA();
        general->clock_ab = g.nClockAB;
        general->clock_cd = g.nClockCD;
        general->clock_ef = g.nClockEF;
        general->clock_gh = g.nClockGH;
        general->ref_clock_hz = g.dRefClockHz;
        general->lock_panel = g.bLockFP ? 1 : 0;
        general->disable_outputs = g.bDisableOutputs ? 1 : 0;
        return VELTOR_OK;
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_set_general(veltor_device* device,
                                                        const veltor_general* general) {
    return Guard([&] {
        if (device == nullptr || general == nullptr) {
            return NullArgument(device == nullptr ? "device" : "general");
        }
        if (general->size != sizeof(veltor_general)) {
            return Fail(VELTOR_INVALID_ARGUMENT, "general: size is not sizeof(veltor_general)");
        }
        // The instrument takes only the low two bits of a clock-source code,
        // and would run the pair on a clock the host does not convert for.
        const struct {
            const char* name;
            int code;
        } clocks[] = {{"clock_ab", general->clock_ab},
                      {"clock_cd", general->clock_cd},
                      {"clock_ef", general->clock_ef},
                      {"clock_gh", general->clock_gh}};
        for (const auto& clock : clocks) {
            if (!veltor::IsClockSource(clock.code)) {
                return Fail(VELTOR_INVALID_ARGUMENT, std::string("general: ") + clock.name +
                                                         " is " + std::to_string(clock.code) +
                                                         "; only 0 to 3 name a clock (" +
                                                         veltor::ClockSourceNames() + ")");
            }
        }
        // Under the lock: no other thread's command converts times meanwhile.
        CSerDev::Hold hold(device->device);
        SGeneral& g = *device->device.GetPropA();
        g.nClockAB = general->clock_ab;
        g.nClockCD = general->clock_cd;
        g.nClockEF = general->clock_ef;
        g.nClockGH = general->clock_gh;
        g.dRefClockHz = general->ref_clock_hz;
        g.bLockFP = general->lock_panel != 0;
        g.bDisableOutputs = general->disable_outputs != 0;
        return VELTOR_OK;
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_clock_frequency(veltor_device* device, char channel,
                                                            double* hz) {
    return Guard([&] {
        if (hz == nullptr) {
            return NullArgument("hz");
        }
        if (veltor::capi::FindChannel(device, channel) == nullptr) {
            return VELTOR_INVALID_ARGUMENT;
        }
        CSerDev::Hold hold(device->device);
        *hz = device->device.GetClockFrequencyHz(channel);
        return VELTOR_OK;
    });
}

}  // extern "C"
