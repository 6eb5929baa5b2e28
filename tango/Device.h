// One instrument as a Tango device: the library's CVeltor behind the
// attributes of Attributes.h and the commands of the class (Class.cpp).
//
// Tango runs one request of a device at a time (its monitor). The library's
// threads never take that monitor: reports are posted to the EventPusher,
// the reconnecting thread only records the line's state.
#pragma once

#include <tango.h>
#include <veltor/veltor.h>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
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
    void Connect();
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
    std::unique_ptr<EventPusher> m_Pusher;
    std::atomic<bool> m_bLineLost{false};
    std::mutex m_FaultMutex;  // the reconnecting thread clears the fault
    std::string m_Fault;
    std::string m_StatusText;
    std::array<Value, 8 * kChannelFields + 7> m_Values;
};

}  // namespace veltor::tango
