// What the C interface's files share: the device behind the opaque handle,
// the status of a failure with the calling thread's message, and the checks
// and copies every function makes.
#pragma once

#include <veltor/CTimingMode.h>
#include <veltor/CVeltor.h>
#include <veltor/veltor_c.h>

#include <cstddef>
#include <exception>
#include <memory>
#include <new>
#include <string>

class CChannel;

struct veltor_device {
    // The timing modes set through this interface, one per channel. Declared
    // before the device, so that the device (and with it every command and
    // its watcher) is gone before they are.
    std::unique_ptr<CTimingMode> modes[8];
    CVeltor device;
};

namespace veltor::capi {

// Stores `message` as the calling thread's last failure; returns `status`.
veltor_status Fail(veltor_status status, const std::string& message) noexcept;
veltor_status NullArgument(const char* name) noexcept;

// Runs the body of an interface function: no exception leaves it.
template <typename Body>
veltor_status Guard(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return Fail(VELTOR_NO_MEMORY, "out of memory");
    } catch (const std::exception& e) {
        return Fail(VELTOR_INTERNAL_ERROR, std::string("internal error: ") + e.what());
    } catch (...) {
        return Fail(VELTOR_INTERNAL_ERROR, "internal error: unknown exception");
    }
}

// The channel a letter names; null (with the thread's message) when none.
CChannel* FindChannel(veltor_device* device, char letter);
// 0..7 for a letter naming a channel, -1 else.
int ChannelIndex(char letter);

// The caller's text buffer: *needed gets the length with its NUL; what fits
// is copied, always terminated when size > 0.
veltor_status CopyText(const std::string& text, char* buffer, size_t size, size_t* needed);
veltor_status CopyBytes(const unsigned char* bytes, size_t count, unsigned char* buffer,
                        size_t size, size_t* needed);

// The status of a command that returned false, read with the device's lock
// still held so that message and outcome are the command's own: an exchange
// failure names its outcome in the message; a failure without one is the
// host's refusal.
veltor_status CommandFailed(CVeltor& device);

// Runs a command with the device's lock held around it and its failure.
template <typename Command>
veltor_status RunCommand(veltor_device* device, Command&& command) {
    if (device == nullptr) {
        return NullArgument("device");
    }
    CSerDev::Hold hold(device->device);
    return command() ? VELTOR_OK : CommandFailed(device->device);
}

}  // namespace veltor::capi
