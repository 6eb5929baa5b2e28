// One instrument: its connection, eight channels, general properties, global
// logic and the device-wide commands. Every command may be called from any
// thread (see CSerDev::Lock); a command of several exchanges runs whole.
#pragma once

#include <veltor/CSerDev.h>
#include <veltor/export.h>

#include <functional>
#include <string>

class CChannel;
class CCommand;
namespace veltor {
class ReportDispatch;
}
class CLogic;
class CSymbl;
struct SGeneral;

class VELTOR_API CVeltor : public CSerDev {
public:
    CVeltor();
    virtual ~CVeltor();
    CVeltor(const CVeltor&) = delete;
    CVeltor& operator=(const CVeltor&) = delete;

    // Gathers the instrument's delay reports (watcher thread).
    void HandleUnsolicited(unsigned char* bytes, unsigned long count) override;

    // The host's listener for delay reports: the channel letter, the delay in
    // clock counts, in seconds (at the pair's clock as the general properties
    // give it when the call is made) and a monotonic time stamp in
    // nanoseconds of the report's arrival. Called for every valid report, in
    // arrival order, one call at a time, on a thread of the device's own and
    // outside every lock of the library, while the watcher goes on draining
    // the port. It may run commands on the device; it must not destroy the
    // device, and should return soon: later reports wait for it. Setting it
    // from any other thread returns once no call of the old one is in
    // progress (so the old one's objects may go); null removes it.
    typedef std::function<void(char channel, unsigned int counts, double seconds, long long timeNs)>
        ReportListener;
    void SetReportListener(ReportListener listener);
    // Opens the port and sends the 1024-byte filler burst. 0 on success, else
    // the serial device's code.
    int InitConnection(int port, int baudIndex) override;
    int InitConnection(const char* device, int baudIndex);

    // Carries out one exchange, repeating it while the command's attempts last.
    bool DoCommand(CCommand* command);
    // Clock frequency of a channel's pair, by letter or index 0..7; 0.0 else.
    double GetClockFrequencyHz(char channel) const;
    SGeneral* GetPropA();
    CChannel* GetChannel(char letter) const;

    bool SetGlobalLogic(const char* text);
    // The text of the latest SetGlobalLogic, accepted or not.
    std::string GetGlobalLogic() const;
    // The message of the latest SetGlobalLogic that failed ("Error--<message>
    // (line <n>)"; empty until one fails); *line, when given, gets its line.
    std::string GetGlobalLogicError(int* line = nullptr) const;
    CSymbl** GetGlobalSymbols();

    bool CmdEnableOutputs();
    bool CmdDisableOutputs();
    bool CmdLockFP();
    bool CmdUnlockFP();
    bool CmdResetAll();
    bool CmdSetClock();
    bool CmdSetAllTimingModes();
    bool CmdUpdateAll();
    bool CmdTransferAllLogic();
    bool CmdImplementLogic();

protected:
    // A channel runs its commands in the device's command scope and reports
    // its failures on the device.
    friend class CChannel;

    CChannel** m_pChannels;
    SGeneral* m_pGeneral;
    CLogic* m_pLogic;
    unsigned int m_nUnsolicited;
    veltor::ReportDispatch* m_pDispatch;  // made with the first listener
    // The delay report being gathered, and room for a rival report that
    // may begin inside it.
    unsigned char m_Unsolicited[16];

private:
    static void DeliverDelay(void* device, unsigned char channel, unsigned int counts);
    bool SendBurst();
    int OpenAndSendBurst(const std::function<int()>& open);
    bool SendDeviceRequest(unsigned char operation, const char* status);
    bool ForEachChannel(bool (CChannel::*command)());
};
