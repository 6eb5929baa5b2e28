/// @file
/// One of the instrument's eight output channels, A to H. Every command and
/// setter may be called from any thread: each takes its device's lock.
#pragma once

#include <veltor/LogicWarnings.h>
#include <veltor/export.h>

#include <string>
#include <vector>

class CTimingMode;
class CVeltor;

/// One output channel, A to H; the device makes and owns all eight
/// (CVeltor::GetChannel).
class VELTOR_API CChannel {
public:
    /// Made by the device for each letter A to H.
    CChannel(CVeltor* device, char name);
    virtual ~CChannel();
    /// A copy would delete the same logic compiler twice.
    CChannel(const CChannel&) = delete;
    CChannel& operator=(const CChannel&) = delete;

    /// Enables the channel.
    bool CmdEnable();
    /// Disables the channel.
    bool CmdDisable();
    /// Whether the instrument last acknowledged enabling (1) or disabling
    /// (0) the channel through this object; -1 before either, and after one
    /// that failed (it may or may not have been carried out). Any thread.
    int GetEnabledState() const;
    /// Triggers the channel once, as if its logic input fired. Unlike the
    /// other commands it is never sent twice for one call: it is repeated
    /// only when the instrument refused it (not carried out) or it could not
    /// be written. After no answer, a garbled, cut or late one, it returns
    /// false at once, and GetLastError says the trigger may or may not have
    /// been carried out.
    bool CmdForceTrigger();
    /// Resets the channel.
    bool CmdReset();
    /// Asks the instrument for the channel's delay, as the instrument holds
    /// it, in counts of the pair's clock, and stores it as the last delay
    /// (as a delay report would): GetLastDelay() then gives it in seconds.
    /// On failure the last delay stays as it was.
    bool CmdQuery();
    /// Checks the effective timing mode and sends it; nothing is sent when the
    /// check fails or there is no effective mode.
    bool CmdSetTimingMode();
    /// True when the effective timing mode's times are all within their
    /// intervals at the channel's clock; sends nothing.
    bool CheckParameters() const;

    /// The channel's own mode (null when it runs on the default).
    CTimingMode* GetTimingMode() const;
    /// Attaches a mode (null: fall back to the default); returns the previous one.
    CTimingMode* SetTimingMode(CTimingMode* mode);
    /// Replaces the default of every channel; returns the previous default.
    /// The default the devices made (installed by a device made while none
    /// is installed, kept while any device lives) stays theirs: never delete
    /// it. Any thread: it returns once no command or check on another thread
    /// is using the previous default, which the host may then delete.
    static CTimingMode* SetDefaultTimingMode(CTimingMode* mode);

    /// Stores a delay given in clock counts of the channel's pair. Any thread
    /// (the watcher stores the instrument's delay reports).
    void SetLastDelay(unsigned int counts);
    /// The last delay in seconds, at the pair's clock as the general
    /// properties give it now. Any thread.
    double GetLastDelay() const;
    /// Delay reports the instrument sent for this channel so far. Any thread.
    unsigned long GetReportCount() const;
    /// Counts one more delay report (the device calls it for each report).
    void CountReport();

    /// Replaces the channel's logic text, which must assign the channel's
    /// input (inA for channel A); true when it parses. The text is kept even
    /// when it does not; nothing is sent.
    bool SetChannelLogic(const char* text);
    /// The channel's logic text, as the last SetChannelLogic left it (at
    /// first "inA = not in1;" and so on).
    std::string GetChannelLogic() const;
    /// True when the kept text parses against the current global symbols.
    bool CheckLogic();
    /// Compiles the channel's logic text against the current global symbols,
    /// sending nothing: a text that cannot be loaded is found before a
    /// transfer. On failure GetLogicError tells what and on which line.
    bool CompileLogic();
    /// The message of the last compile or transfer ("No errors." after a
    /// good one); *line, when given, gets its line (0: none).
    std::string GetLogicError(int* line = nullptr) const;
    /// Where the kept text may read otherwise than intended (operators of
    /// different kinds mixed without parentheses: see FindLogicWarnings).
    /// Warnings never stop a compile or a transfer.
    std::vector<veltor::LogicWarning> GetLogicWarnings() const;
    /// The logic code of the last successful compile; empty for the empty
    /// logic or when the text has no valid compile.
    std::vector<unsigned char> GetLogicCode() const;
    /// Compiles the logic text and loads the code into the instrument; it
    /// takes effect with CVeltor::CmdImplementLogic. Nothing is sent when the
    /// text does not compile.
    bool CmdTransferLogic();

    /// @cond INTERNAL
    /// The channel's state, defined inside the library only.
    struct Impl;
    /// @endcond

private:
    Impl* m_pImpl;
};
