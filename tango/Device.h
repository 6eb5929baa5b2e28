// One instrument as a Tango device: the library's CVeltor behind the
// attributes of Attributes.h and the commands of the class (Class.cpp).
//
// Tango runs one request of a device at a time (its monitor). No thread but
// Tango's own takes that monitor and the EventPusher's: reports are posted
// to the EventPusher; the reconnecting thread and the opener (a port missing
// at start) take only the instrument's lock. Init, which holds the monitor,
// waits for those two, never for the EventPusher.
#pragma once

#include <tango.h>
#include <veltor/veltor.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "setup/Setup.h"
#include "tango/Attributes.h"
#include "tango/EventPusher.h"

namespace veltor::tango {

class Device : public Tango::Device_5Impl {
public:
    Device(Tango::DeviceClass* deviceClass, std::string& name);
    ~Device() override;

    void init_device() override;
    void delete_device() override;
    Tango::DevState dev_state() override;
    // Tango refuses a written time outside the attribute's min and max
    // before the device sees it; its refusal is given the library's words.
    void write_attributes_4(const Tango::AttributeValueList_4& values,
                            const Tango::ClntIdent& client) override;
    Tango::ConstDevString dev_status() override;

    void ReadChannel(int channel, ChannelField field, Tango::Attribute& attribute);
    void WriteChannel(int channel, ChannelField field, Tango::WAttribute& attribute);
    void ReadDevice(DeviceField field, Tango::Attribute& attribute);
    void WriteDevice(DeviceField field, Tango::WAttribute& attribute);

    void UpdateAll();
    void ApplySetup(const std::string& json);
    std::vector<std::string> CheckSetup(const std::string& json);
    std::string ExportSetup();
    double Query(const std::string& channel);
    void RunChannel(const std::string& channel, bool (CChannel::*command)());
    void ResetAll();

private:
    // What a read hands Tango: it must stay until the reply is sent, after
    // every attribute of a request was read, so each attribute has its own.
    struct Value {
        Tango::DevDouble number = 0.0;
        Tango::DevBoolean flag = false;
        Tango::DevLong64 count = 0;
        std::string text;
        Tango::DevString textPointer = nullptr;
    };
    static constexpr int kChannelFields = 7;

    void ReadProperties();
    // Opens the port; with Reconnect, a port that cannot be opened is tried
    // again by the opener thread under the library's reconnecting policy.
    void Connect();
    // The opener thread: tries the port until it opens or Init stops it.
    void OpenLater(int baudIndex);
    void StopOpener();
    // The reconnecting thread's events; once the line is back, the last
    // update and the channels' enabled states go again.
    void OnReconnect(CVeltor::ReconnectEvent event);
    // CmdUpdateAll under the device's lock; when it fails, the panel and
    // output flags are put back as the update found them, so that the next
    // one leaves the outputs and the panel as the client wrote them.
    bool SendUpdate(CVeltor& instrument);
    // Each channel enabled or disabled as the states say (nothing: left as
    // it is), A to H; false at the first that fails.
    bool SendEnabledStates(CVeltor& instrument, const std::array<std::optional<bool>, 8>& states);
    // Enable or Disable of one channel, remembered for a reconnection.
    bool SetEnabled(int channel, bool on);
    CVeltor& Instrument();
    CChannel& Channel(const std::string& letter);
    // The device's last error after a command that returned `ok`: a fault
    // (State FAULT, Status the message) and a Tango exception when it failed.
    void Check(bool ok, const char* origin);
    // A refused value or setup: an exception, and no fault of the device.
    [[noreturn]] void Refuse(const std::string& description, const char* origin);
    void SetFault(const std::string& text);
    void WriteTime(int channel, ChannelField field, double seconds);
    // Why the channel's mode would refuse that time, in the library's words
    // ("channel A: duration 1e-09 s is outside ..."); empty when it takes it.
    std::string TimeRefusal(int channel, ChannelField field, double seconds);
    // The min and max of the delay and duration attributes: the intervals
    // the channel's mode allows at its pair's clock.
    void RefreshRanges(int channel);
    void RefreshAllRanges();
    // Gives Tango's refusals of times outside an attribute's limits the
    // library's words.
    void ExplainRefusals(const Tango::AttributeValueList_4& values, Tango::MultiDevFailed& failed);
    void PushLastDelay(char channel, double seconds);

    // Properties (or, without a database, the command-line options).
    std::string m_Port;
    long m_Baud = 115200;
    bool m_bReconnect = false;

    std::unique_ptr<CVeltor> m_Instrument;
    // The host objects: the modes the channels run are the setup's.
    veltor::setup::Setup m_Setup;
    // Under the instrument's lock: an update succeeded since Init, and what
    // each channel was last asked to be (nothing: never asked).
    bool m_bUpdated = false;
    std::array<std::optional<bool>, 8> m_WantEnabled;
    // Made once with the device: Init does not wait for its thread.
    std::unique_ptr<EventPusher> m_Pusher;
    // The line went away and the update has not gone again yet.
    std::atomic<bool> m_bLineLost{false};
    // Init is replacing the instrument: the reconnecting thread sends nothing.
    std::atomic<bool> m_bStopping{false};
    // The port or the speed cannot work at all (no port, a bad speed).
    bool m_bBadSettings = false;
    std::mutex m_FaultMutex;  // the reconnecting and opener threads set the fault
    std::string m_Fault;
    // Why the opener's last try failed; empty while it is not trying.
    std::string m_OpenError;
    // The opener thread and what stops it.
    std::thread m_Opener;
    std::condition_variable m_OpenerWake;
    bool m_bOpenerStop = false;
    std::string m_StatusText;
    std::array<Value, 8 * kChannelFields + 7> m_Values;
};

}  // namespace veltor::tango
