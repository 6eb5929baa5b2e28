// The state of a CVeltor, kept out of the exported header so that it may
// change without changing the class's layout.
#pragma once

#include <veltor/CVeltor.h>

#include <atomic>
#include <mutex>
#include <string>

#include "device/ChannelHost.h"

class CChannel;
class CLogic;
struct SGeneral;
namespace veltor {
class ClockSnapshot;
class ReportDispatch;
class ReportGatherer;
class Reconnector;
}  // namespace veltor

struct CVeltor::Impl final : veltor::ChannelHost {
    explicit Impl(CVeltor& self) : m_Self(self) {}
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    static Impl& Of(CVeltor& device) { return *device.m_pImpl; }
    static const Impl& Of(const CVeltor& device) { return *device.m_pImpl; }

    // What a channel needs of its device.
    void Lock() override { m_Self.Lock(); }
    void Unlock() override { m_Self.Unlock(); }
    bool RunCommandBody(bool (*body)(void* context), void* context) override;
    bool Carry(CCommand* command, const char* once) override { return m_Self.Carry(command, once); }
    double ClockForReading(int channel) override;
    void SetLastError(const std::string& text) override { m_Self.SetLastError(text); }
    void PrefixLastError(const std::string& context) override { m_Self.PrefixLastError(context); }

    // How one try of the reconnecting thread ended.
    enum Reopened { kNotWanted, kStillAway, kBack, kBackResent, kBackResendFailed };
    // One try of the reconnecting thread to open the lost line again.
    Reopened Reopen();
    // Opens the port (by name, or by number when the name is null) and sends
    // the filler burst.
    int OpenAndSendBurst(const char* device, int port, int baudIndex);
    bool SendBurst();
    bool UpdateAll();
    bool SendDeviceRequest(unsigned char operation, const char* status);
    bool ForEachChannel(bool (CChannel::*command)());
    // Hands the report listener the clocks as the general properties give
    // them (under the device's lock).
    void NoteClocks();

    CVeltor& m_Self;
    CChannel** m_pChannels = nullptr;
    SGeneral* m_pGeneral = nullptr;
    CLogic* m_pLogic = nullptr;
    // Made with the first listener; deliveries read it from the thread that
    // holds the receive side.
    std::atomic<veltor::ReportDispatch*> m_pDispatch{nullptr};
    std::mutex m_DispatchMaking;  // two threads setting a listener make one dispatch
    // The reconnecting policy and its thread.
    veltor::Reconnector* m_pReconnect = nullptr;
    // Set by the holder of the device's lock while it opens a lost line.
    bool m_bReopening = false;
    // A CmdUpdateAll succeeded on this connection (under the device's lock).
    bool m_bUpdated = false;
    // Gathers the reports in bytes a host hands HandleUnsolicited itself.
    veltor::ReportGatherer* m_pGatherer = nullptr;
    // The pairs' clocks for threads that cannot take the device's lock.
    veltor::ClockSnapshot* m_pClocks = nullptr;
    // The general properties the snapshot was last taken from (under the
    // device's lock): a command that finds them unchanged stores nothing.
    bool m_bClocksTaken = false;
    int m_ClockCodes[4] = {0, 0, 0, 0};
    double m_ClockRefHz = 0.0;
    double m_ClockHz[4] = {0.0, 0.0, 0.0, 0.0};
};
