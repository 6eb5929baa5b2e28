// The state of a CChannel, kept out of the exported header so that it may
// change without changing the class's layout.
#pragma once

#include <veltor/CChannel.h>

#include <atomic>
#include <mutex>
#include <string>

class CChLogic;
class CTimingMode;
class CVeltor;
namespace veltor {
class ChannelHost;
}

struct CChannel::Impl {
    Impl(CVeltor* device, veltor::ChannelHost* host, char name)
        : m_pDevice(device), m_pHost(host), m_Name(name) {}
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    static Impl& Of(CChannel& channel) { return *channel.m_pImpl; }
    static const Impl& Of(const CChannel& channel) { return *channel.m_pImpl; }

    // The device the channel was made for (null: none), and the letter as
    // given, upper case.
    CVeltor* Device() const { return m_pDevice; }
    char Name() const { return m_Name; }

    CTimingMode* EffectiveMode(std::unique_lock<std::recursive_mutex>& defaultHold) const;
    // A channel named outside A to H sends nothing.
    bool CanSend() const;
    // Puts "channel X: " in front of the device's failure text; false.
    bool Failed() const;
    bool SendChannelRequest(unsigned char selector, unsigned char code, const char* status,
                            const char* once = nullptr);
    // Checks the effective timing mode and sends it (in a command's run).
    bool CheckAndSendMode();

    // The device's public side, which the timing modes take.
    CVeltor* const m_pDevice;
    // What the channel needs of the device's insides.
    veltor::ChannelHost* const m_pHost;
    const char m_Name;
    CTimingMode* m_pMode = nullptr;
    CChLogic* m_pChLogic = nullptr;
    // The last delay in clock counts, written by the host and by the watcher
    // thread (delay reports). Kept in counts so that the watcher never reads
    // the general properties the host may be changing; converted on reading.
    std::atomic<unsigned int> m_nLastDelay{0};
    std::atomic<unsigned long> m_nReports{0};
    std::atomic<int> m_nEnabled{-1};
};
