// One instrument: its connection, eight channels, general properties, global
// logic and the device-wide commands.
#pragma once

#include <veltor/CSerDev.h>
#include <veltor/export.h>

class CChannel;
class CCommand;
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
    CChannel** m_pChannels;
    SGeneral* m_pGeneral;
    CLogic* m_pLogic;
    unsigned int m_nUnsolicited;
    // The delay report being gathered, and room for a rival report that
    // may begin inside it.
    unsigned char m_Unsolicited[16];

private:
    bool SendBurst();
    bool SendDeviceRequest(unsigned char operation, const char* status);
    bool ForEachChannel(bool (CChannel::*command)());
};
