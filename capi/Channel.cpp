// The channel commands, the last delay and the logic texts.
#include <veltor/CChannel.h>

#include <vector>

#include "capi/Internal.h"

using veltor::capi::CopyText;
using veltor::capi::Fail;
using veltor::capi::FindChannel;
using veltor::capi::Guard;
using veltor::capi::NullArgument;
using veltor::capi::RunCommand;

namespace {

veltor_status ChannelCommand(veltor_device* device, char letter, bool (CChannel::*command)()) {
    return Guard([&] {
        CChannel* channel = FindChannel(device, letter);
        if (channel == nullptr) {
            return VELTOR_INVALID_ARGUMENT;
        }
        return RunCommand(device, [&] { return (channel->*command)(); });
    });
}

// A channel's logic message and line into the caller's buffer.
veltor_status LogicMessage(const std::string& message, int line, int* lineOut, char* buffer,
                           size_t size, size_t* needed) {
    if (lineOut == nullptr) {
        return NullArgument("line");
    }
    *lineOut = line;
    return CopyText(message, buffer, size, needed);
}

}  // namespace

extern "C" {

VELTOR_API veltor_status VELTOR_CALL veltor_channel_enable(veltor_device* device, char channel) {
    return ChannelCommand(device, channel, &CChannel::CmdEnable);
}

VELTOR_API veltor_status VELTOR_CALL veltor_channel_disable(veltor_device* device, char channel) {
    return ChannelCommand(device, channel, &CChannel::CmdDisable);
}

VELTOR_API veltor_status VELTOR_CALL veltor_channel_force_trigger(veltor_device* device,
                                                                  char channel) {
    return ChannelCommand(device, channel, &CChannel::CmdForceTrigger);
}

VELTOR_API veltor_status VELTOR_CALL veltor_channel_reset(veltor_device* device, char channel) {
    return ChannelCommand(device, channel, &CChannel::CmdReset);
}

VELTOR_API veltor_status VELTOR_CALL veltor_channel_query(veltor_device* device, char letter,
                                                          double* seconds) {
    return Guard([&] {
        if (seconds == nullptr) {
            return NullArgument("seconds");
        }
        CChannel* channel = FindChannel(device, letter);
        if (channel == nullptr) {
            return VELTOR_INVALID_ARGUMENT;
        }
        // The delay read is the query's, not a report's that came after it.
        return RunCommand(device, [&] {
            const bool ok = channel->CmdQuery();
            if (ok) {
                *seconds = channel->GetLastDelay();
            }
            return ok;
        });
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_channel_last_delay(veltor_device* device, char letter,
                                                               double* seconds) {
    return Guard([&] {
        if (seconds == nullptr) {
            return NullArgument("seconds");
        }
        CChannel* channel = FindChannel(device, letter);
        if (channel == nullptr) {
            return VELTOR_INVALID_ARGUMENT;
        }
        // The conversion reads the general properties a host may be changing.
        CSerDev::Hold hold(device->device);
        *seconds = channel->GetLastDelay();
        return VELTOR_OK;
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_channel_report_count(veltor_device* device, char letter,
                                                                 unsigned long* count) {
    return Guard([&] {
        if (count == nullptr) {
            return NullArgument("count");
        }
        CChannel* channel = FindChannel(device, letter);
        if (channel == nullptr) {
            return VELTOR_INVALID_ARGUMENT;
        }
        *count = channel->GetReportCount();
        return VELTOR_OK;
    });
}

// ---- Logic ----------------------------------------------------------------------

VELTOR_API veltor_status VELTOR_CALL veltor_channel_set_logic(veltor_device* device, char letter,
                                                              const char* text, int* line) {
    return Guard([&] {
        if (text == nullptr || line == nullptr) {
            return NullArgument(text == nullptr ? "text" : "line");
        }
        CChannel* channel = FindChannel(device, letter);
        if (channel == nullptr) {
            return VELTOR_INVALID_ARGUMENT;
        }
        CSerDev::Hold hold(device->device);
        *line = 0;
        if (channel->SetChannelLogic(text)) {
            return VELTOR_OK;
        }
        // Parsing keeps no message: the compile finds it, sending nothing.
        channel->CompileLogic();
        const std::string message = channel->GetLogicError(line);
        return Fail(VELTOR_REJECTED, message);
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_channel_get_logic(veltor_device* device, char letter,
                                                              char* buffer, size_t size,
                                                              size_t* needed) {
    return Guard([&] {
        CChannel* channel = FindChannel(device, letter);
        if (channel == nullptr) {
            return VELTOR_INVALID_ARGUMENT;
        }
        return CopyText(channel->GetChannelLogic(), buffer, size, needed);
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_channel_compile_logic(veltor_device* device,
                                                                  char letter, int* line) {
    return Guard([&] {
        if (line == nullptr) {
            return NullArgument("line");
        }
        CChannel* channel = FindChannel(device, letter);
        if (channel == nullptr) {
            return VELTOR_INVALID_ARGUMENT;
        }
        CSerDev::Hold hold(device->device);
        const bool ok = channel->CompileLogic();
        const std::string message = channel->GetLogicError(line);
        return ok ? VELTOR_OK : Fail(VELTOR_REJECTED, message);
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_channel_logic_error(veltor_device* device, char letter,
                                                                int* line, char* buffer,
                                                                size_t size, size_t* needed) {
    return Guard([&] {
        CChannel* channel = FindChannel(device, letter);
        if (channel == nullptr) {
            return VELTOR_INVALID_ARGUMENT;
        }
        int at = 0;
        const std::string message = channel->GetLogicError(&at);
        return LogicMessage(message, at, line, buffer, size, needed);
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_channel_logic_code(veltor_device* device, char letter,
                                                               unsigned char* buffer, size_t size,
                                                               size_t* needed) {
    return Guard([&] {
        CChannel* channel = FindChannel(device, letter);
        if (channel == nullptr) {
            return VELTOR_INVALID_ARGUMENT;
        }
        const std::vector<unsigned char> code = channel->GetLogicCode();
        return veltor::capi::CopyBytes(code.data(), code.size(), buffer, size, needed);
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_channel_transfer_logic(veltor_device* device,
                                                                   char channel) {
    return ChannelCommand(device, channel, &CChannel::CmdTransferLogic);
}

VELTOR_API veltor_status VELTOR_CALL veltor_set_global_logic(veltor_device* device,
                                                             const char* text, int* line) {
    return Guard([&] {
        if (device == nullptr || text == nullptr || line == nullptr) {
            return NullArgument(device == nullptr ? "device" : text == nullptr ? "text" : "line");
        }
        CSerDev::Hold hold(device->device);
        *line = 0;
        if (!device->device.SetGlobalLogic(text)) {
            const std::string message = device->device.GetGlobalLogicError(line);
            return Fail(VELTOR_REJECTED, message);
        }
        return VELTOR_OK;
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_get_global_logic(veltor_device* device, char* buffer,
                                                             size_t size, size_t* needed) {
    return Guard([&] {
        if (device == nullptr) {
            return NullArgument("device");
        }
        return CopyText(device->device.GetGlobalLogic(), buffer, size, needed);
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_global_logic_error(veltor_device* device, int* line,
                                                               char* buffer, size_t size,
                                                               size_t* needed) {
    return Guard([&] {
        if (device == nullptr) {
            return NullArgument("device");
        }
        int at = 0;
        const std::string message = device->device.GetGlobalLogicError(&at);
        return LogicMessage(message, at, line, buffer, size, needed);
    });
}

}  // extern "C"
