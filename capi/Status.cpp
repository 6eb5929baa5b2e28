// Status codes, the calling thread's last message, text copies, outcomes
// and the version.
#include <veltor/CChannel.h>
#include <veltor/version.h>

#include <cstring>

#include "capi/Internal.h"

namespace veltor::capi {

namespace {

// The reason of the thread's last failed call: a thread reads its own,
// whatever other threads do with the same device meanwhile.
thread_local std::string t_LastMessage;

}  // namespace

veltor_status Fail(veltor_status status, const std::string& message) noexcept {
    try {
        t_LastMessage = message;
    } catch (...) {
        // No memory for the text: the status still tells.
        t_LastMessage.clear();
    }
    return status;
}

veltor_status NullArgument(const char* name) noexcept {
    return Fail(VELTOR_INVALID_ARGUMENT, std::string(name) + " is NULL");
}

int ChannelIndex(char letter) {
    if (letter >= 'A' && letter <= 'H') {
        return letter - 'A';
    }
    if (letter >= 'a' && letter <= 'h') {
        return letter - 'a';
    }
    return -1;
}

CChannel* FindChannel(veltor_device* device, char letter) {
    if (device == nullptr) {
        NullArgument("device");
        return nullptr;
    }
    CChannel* channel = ChannelIndex(letter) < 0 ? nullptr : device->device.GetChannel(letter);
    if (channel == nullptr) {
        Fail(VELTOR_INVALID_ARGUMENT, "no channel " + std::to_string(static_cast<int>(letter)) +
                                          ": channels are 'A' to 'H'");
    }
    return channel;
}

veltor_status CopyBytes(const unsigned char* bytes, size_t count, unsigned char* buffer,
                        size_t size, size_t* needed) {
    if (needed == nullptr) {
        return NullArgument("needed");
    }
    if (buffer == nullptr && size != 0) {
        return NullArgument("buffer");
    }
    *needed = count;
    if (count > 0 && size > 0) {
        std::memcpy(buffer, bytes, count < size ? count : size);
    }
    if (size < count) {
        return Fail(VELTOR_BUFFER_TOO_SMALL,
                    "buffer too small: " + std::to_string(count) + " bytes needed");
    }
    return VELTOR_OK;
}

veltor_status CopyText(const std::string& text, char* buffer, size_t size, size_t* needed) {
    if (needed == nullptr) {
        return NullArgument("needed");
    }
    if (buffer == nullptr && size != 0) {
        return NullArgument("buffer");
    }
    *needed = text.size() + 1;
    if (size == 0) {
        return Fail(VELTOR_BUFFER_TOO_SMALL,
                    "buffer too small: " + std::to_string(*needed) + " bytes needed");
    }
    const size_t copied = text.size() < size ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), copied);
    buffer[copied] = '\0';
    if (copied < text.size()) {
        return Fail(VELTOR_BUFFER_TOO_SMALL,
                    "buffer too small: " + std::to_string(*needed) + " bytes needed");
    }
    return VELTOR_OK;
}

veltor_status CommandFailed(CVeltor& device) {
    const std::string message = device.GetLastError();
    const CSerDev::Outcome outcome = device.GetLastOutcome();
    const bool exchange = outcome != CSerDev::kNone && outcome != CSerDev::kSuccess &&
                          message.find(CSerDev::DescribeOutcome(outcome)) != std::string::npos;
    if (!exchange) {
        return Fail(VELTOR_REJECTED, message);
    }
    const bool lineGone = outcome == CSerDev::kNotConnected || outcome == CSerDev::kPortLost ||
                          outcome == CSerDev::kClosed;
    return Fail(lineGone ? VELTOR_NOT_CONNECTED : VELTOR_COMMAND_FAILED, message);
}

}  // namespace veltor::capi

using veltor::capi::Guard;
using veltor::capi::NullArgument;

// The C enum mirrors the class's outcomes value for value.
constexpr bool Same(veltor_outcome c, CSerDev::Outcome outcome) {
    return static_cast<int>(c) == static_cast<int>(outcome);
}
static_assert(Same(VELTOR_OUTCOME_NONE, CSerDev::kNone) &&
                  Same(VELTOR_OUTCOME_SUCCESS, CSerDev::kSuccess) &&
                  Same(VELTOR_OUTCOME_NOT_CONNECTED, CSerDev::kNotConnected) &&
                  Same(VELTOR_OUTCOME_WRITE_FAILED, CSerDev::kWriteFailed) &&
                  Same(VELTOR_OUTCOME_NO_ANSWER, CSerDev::kNoAnswer) &&
                  Same(VELTOR_OUTCOME_NEGATIVE, CSerDev::kNegative) &&
                  Same(VELTOR_OUTCOME_WRONG_LEAD, CSerDev::kWrongLead) &&
                  Same(VELTOR_OUTCOME_INCOMPLETE, CSerDev::kIncomplete) &&
                  Same(VELTOR_OUTCOME_BAD_CHECKSUM, CSerDev::kBadChecksum) &&
                  Same(VELTOR_OUTCOME_PORT_LOST, CSerDev::kPortLost) &&
                  Same(VELTOR_OUTCOME_MISMATCH, CSerDev::kMismatch) &&
                  Same(VELTOR_OUTCOME_CLOSED, CSerDev::kClosed) &&
                  Same(VELTOR_OUTCOME_OUT_OF_STEP, CSerDev::kOutOfStep) &&
                  Same(VELTOR_OUTCOME_CANCELLED, CSerDev::kCancelled),
              "veltor_outcome and CSerDev::Outcome differ");

extern "C" {

VELTOR_API veltor_status VELTOR_CALL veltor_status_name(int status, const char** name) {
    static const char* const kNames[] = {
        "VELTOR_OK",
        "VELTOR_INVALID_ARGUMENT",
        "VELTOR_BUFFER_TOO_SMALL",
        "VELTOR_CONNECT_FAILED",
        "VELTOR_NOT_CONNECTED",
        "VELTOR_REJECTED",
        "VELTOR_COMMAND_FAILED",
        "VELTOR_NO_MEMORY",
        "VELTOR_INTERNAL_ERROR",
    };
    if (name == nullptr) {
        return NullArgument("name");
    }
    const int count = static_cast<int>(sizeof(kNames) / sizeof(kNames[0]));
    *name = status >= 0 && status < count ? kNames[status] : "unknown status";
    return VELTOR_OK;
}

VELTOR_API veltor_status VELTOR_CALL veltor_last_message(char* buffer, size_t size,
                                                         size_t* needed) {
    return Guard([&] {
        // Reading the message must not replace it: a buffer too small is
        // told by the status alone.
        const std::string saved = veltor::capi::t_LastMessage;
        const veltor_status status = veltor::capi::CopyText(saved, buffer, size, needed);
        veltor::capi::t_LastMessage = saved;
        return status;
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_version(int* major, int* minor, int* patch) {
    if (major == nullptr || minor == nullptr || patch == nullptr) {
        return NullArgument(major == nullptr ? "major" : minor == nullptr ? "minor" : "patch");
    }
    *major = VELTOR_VERSION_MAJOR;
    *minor = VELTOR_VERSION_MINOR;
    *patch = VELTOR_VERSION_PATCH;
    return VELTOR_OK;
}

VELTOR_API veltor_status VELTOR_CALL veltor_version_string(const char** version) {
    if (version == nullptr) {
        return NullArgument("version");
    }
    *version = VELTOR_VERSION;
    return VELTOR_OK;
}

VELTOR_API veltor_status VELTOR_CALL veltor_last_outcome(veltor_device* device, int* outcome) {
    if (device == nullptr || outcome == nullptr) {
        return NullArgument(device == nullptr ? "device" : "outcome");
    }
    *outcome = static_cast<int>(device->device.GetLastOutcome());
    return VELTOR_OK;
}

VELTOR_API veltor_status VELTOR_CALL veltor_describe_outcome(int outcome, const char** text) {
    if (text == nullptr) {
        return NullArgument("text");
    }
    *text = outcome >= VELTOR_OUTCOME_NONE && outcome <= VELTOR_OUTCOME_CANCELLED
                ? CSerDev::DescribeOutcome(static_cast<CSerDev::Outcome>(outcome))
                : "unknown outcome";
    return VELTOR_OK;
}

VELTOR_API veltor_status VELTOR_CALL veltor_device_last_error(veltor_device* device, char* buffer,
                                                              size_t size, size_t* needed) {
    return Guard([&] {
        if (device == nullptr) {
            return NullArgument("device");
        }
        return veltor::capi::CopyText(device->device.GetLastError(), buffer, size, needed);
    });
}

}  // extern "C"
