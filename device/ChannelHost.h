// What a channel needs of its device: the device's lock, a command's run,
// carrying one exchange, the clock of its pair and the failure text. The
// device gives its channels this and nothing more of its insides.
#pragma once

#include <string>

class CCommand;
class CVeltor;

namespace veltor {

class ChannelHost {
public:
    // The device's lock (recursive), as CSerDev::Lock.
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    // Runs body(context) as one command's run (InCommand below).
    virtual bool RunCommandBody(bool (*body)(void* context), void* context) = 0;
    // Carries out one exchange, as CVeltor::DoCommand, or at most once with
    // `once` naming it (as CVeltor::DoCommandOnce).
    virtual bool Carry(CCommand* command, const char* once) = 0;
    // The clock of channel 0..7's pair, for a reading on any thread.
    virtual double ClockForReading(int channel) = 0;
    // The failure of the command in progress, and context in front of it.
    virtual void SetLastError(const std::string& text) = 0;
    virtual void PrefixLastError(const std::string& context) = 0;

protected:
    ~ChannelHost() = default;
};

// Runs `body` (returning bool) in one command's run on the device: its lock
// held throughout, and the outermost run clears the last failure, so that a
// failure seen after it is this command's.
template <class Body>
bool InCommand(ChannelHost& host, Body& body) {
    return host.RunCommandBody([](void* context) { return (*static_cast<Body*>(context))(); },
                               &body);
}

// The channels' view of a device; null for null.
ChannelHost* HostOf(CVeltor* device);

}  // namespace veltor
