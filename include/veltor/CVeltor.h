/// @file
/// One instrument: its connection, eight channels, general properties, global
/// logic and the device-wide commands. Every command may be called from any
/// thread (see CSerDev::Lock); a command of several exchanges runs whole.
#pragma once

#include <veltor/CSerDev.h>
#include <veltor/export.h>

#include <functional>
#include <string>

class CChannel;
class CCommand;
class CSymbl;
struct SGeneral;

/// One instrument: connect it, set its channels up and send commands.
class VELTOR_API CVeltor : public CSerDev {
public:
    CVeltor();
    virtual ~CVeltor();
    CVeltor(const CVeltor&) = delete;
    CVeltor& operator=(const CVeltor&) = delete;

    /// Gathers the delay reports in bytes a host hands the device itself
    /// (from a transport of its own, or a recorded trace): each whole, valid
    /// report reaches HandleDelayReport once, in order; a report may be split
    /// over calls. Any thread. The watcher's own calls carry bytes whose
    /// reports have reached HandleDelayReport already: for those it does
    /// nothing, so an override may pass every call on to it.
    void HandleUnsolicited(unsigned char* bytes, unsigned long count) override;
    /// Takes a delay report: the channel's last delay and report count, and
    /// the report listener's queue.
    void HandleDelayReport(unsigned char channel, unsigned int counts) override;

    /// The host's listener for delay reports: the channel letter, the delay in
    /// clock counts, in seconds (at the pair's clock as the general
    /// properties gave it when the clock options were last sent, or when the
    /// listener was set if that was later) and a monotonic time stamp in
    /// nanoseconds of the report's arrival. Called for every valid report, in
    /// arrival order, one call at a time, on a thread of the device's own and
    /// outside every lock of the library (a host holding the device's lock
    /// still gets its reports), while the watcher goes on draining the port.
    /// It may run commands on the device, and should return soon: later
    /// reports wait for it. Setting it from a thread that holds neither the
    /// device's lock nor a call of the listener returns once no call of the
    /// old one is in progress (so the old one's objects may go); from the
    /// listener itself or under the device's lock it returns at once, and a
    /// call in progress may finish later. No call of the old one starts after
    /// it returns; null removes it. A device destroyed in its own listener is
    /// released at once; the listener's thread ends when that call returns.
    typedef std::function<void(char channel, unsigned int counts, double seconds, long long timeNs)>
        ReportListener;
    /// Sets the report listener (see ReportListener); null removes it.
    void SetReportListener(ReportListener listener);
    /// Reports waiting for the listener are held up to kReportQueueLimit; a
    /// listener slower than the reports arrive for longer than that loses
    /// the oldest waiting ones first (the channels' last delays and report
    /// counts still take every report). How many were dropped since the
    /// device was made. Any thread.
    unsigned long long GetDroppedReportCount() const;
    /// The most reports that wait for the listener.
    static const unsigned kReportQueueLimit = 4096;
    /// How the device keeps its connection (SetReconnect). Off by default.
    struct ReconnectPolicy {
        /// Whether a lost line is opened again at all.
        bool enabled = true;
        /// The wait before the first try, in milliseconds; each failed try
        /// doubles it, up to longestMs.
        unsigned firstMs = 100;
        /// The longest wait between two tries, in milliseconds.
        unsigned longestMs = 5000;
        /// Once back, send the last CmdUpdateAll that succeeded again, from
        /// the host's objects as they are then (an instrument that was
        /// switched off has lost its configuration).
        bool resendUpdate = false;
    };
    /// Opens a lost line again, by the same port name or number the host
    /// gave InitConnection, on a thread of the device's own: tries at
    /// growing intervals, each under the device's lock like a command, and
    /// sends the filler burst as any opening does. Commands fail at once
    /// with kPortLost while the line is away. CloseConnection ends the tries;
    /// a new InitConnection keeps the policy. Any thread; returns at once.
    void SetReconnect(const ReconnectPolicy& policy);
    /// What the reconnecting thread tells the host.
    enum ReconnectEvent {
        kLineLost,      ///< the line went away; tries begin
        kLineBack,      ///< the port is open again
        kUpdateResent,  ///< the last update was sent again and acknowledged
        kUpdateFailed,  ///< sending the last update again failed (GetLastError)
    };
    /// Called on the reconnecting thread, outside every lock of the library,
    /// one event at a time: it may run commands and take the host's locks.
    typedef std::function<void(ReconnectEvent event)> ReconnectListener;
    /// Sets the reconnect listener; null removes it. From a thread that holds
    /// neither the device's lock nor a call of the listener it returns once
    /// no call of the old one is in progress; no call of the old one starts
    /// after it returns.
    void SetReconnectListener(ReconnectListener listener);
    /// Ends the reconnecting policy's tries (a line closed on purpose is not
    /// opened again), then the connection. Any thread.
    int CloseConnection() override;
    /// Opens the port and sends the 1024-byte filler burst. 0 on success, else
    /// the serial device's code, or -7 when the burst could not be written
    /// (the port is closed again).
    int InitConnection(int port, int baudIndex) override;
    /// The same for a port given by its device path ("/dev/ttyUSB0").
    int InitConnection(const char* device, int baudIndex);

    /// Carries out one exchange, repeating it while the command's attempts last.
    bool DoCommand(CCommand* command);
    /// The same for a command the instrument must carry out at most once (a
    /// forced trigger fires a channel): it is sent again only when the
    /// instrument refused it or the request could not be written. After any
    /// other failure the instrument may have carried it out, and the command
    /// fails at once with a message that says so, naming `what` ("the
    /// trigger").
    bool DoCommandOnce(CCommand* command, const char* what);
    /// Clock frequency of a channel's pair, by letter or index 0..7; 0.0 else.
    double GetClockFrequencyHz(char channel) const;
    /// The general properties (clock sources, reference clock, panel and
    /// output flags), to read and change in place; they reach the instrument
    /// with CmdSetClock or CmdUpdateAll.
    SGeneral* GetPropA();
    /// The channel with that letter, 'A'..'H' or 'a'..'h'; null for any other.
    CChannel* GetChannel(char letter) const;

    /// Replaces the global logic text, whose names every channel's logic may
    /// use. True when it is accepted; otherwise the previous global names stay
    /// in force and GetGlobalLogicError tells why.
    bool SetGlobalLogic(const char* text);
    /// The text of the latest SetGlobalLogic, accepted or not.
    std::string GetGlobalLogic() const;
    /// The message of the latest SetGlobalLogic that failed ("Error--<message>
    /// (line <n>)"; empty until one fails); *line, when given, gets its line.
    std::string GetGlobalLogicError(int* line = nullptr) const;
    /// The global symbol array (predefined and global names), ended by an
    /// empty slot.
    CSymbl** GetGlobalSymbols();

    /// Switches all outputs on.
    bool CmdEnableOutputs();
    /// Switches all outputs off.
    bool CmdDisableOutputs();
    /// Locks the front panel.
    bool CmdLockFP();
    /// Unlocks the front panel.
    bool CmdUnlockFP();
    /// Resets all channels.
    bool CmdResetAll();
    /// Sends the clock options: each pair's clock source and the panel and
    /// output flags of the general properties. A clock-source code outside 0
    /// to 3 is refused: false, nothing sent.
    bool CmdSetClock();
    /// Sends the timing modes of channels A to H, stopping at the first that
    /// fails.
    bool CmdSetAllTimingModes();
    /// Brings everything to the instrument in one locked sequence: panel
    /// locked and outputs off, logic of all channels, clock options, timing
    /// modes, logic put into effect, then outputs on and panel unlocked unless
    /// the general properties keep them off and locked. The first failing step
    /// stops it and leaves the instrument locked with its outputs off. A
    /// clock-source code outside 0 to 3 stops it before anything is sent.
    bool CmdUpdateAll();
    /// Loads the logic of channels A to H, stopping at the first that fails.
    bool CmdTransferAllLogic();
    /// Puts the loaded logic of all channels into effect.
    bool CmdImplementLogic();

    /// @cond INTERNAL
    /// The device's state, defined inside the library only.
    struct Impl;
    /// @endcond

protected:
    void HandleLineLost() override;

private:
    Impl* m_pImpl;
    bool Carry(CCommand* command, const char* once);
    /// The pairs' clocks as the general properties give them, kept for
    /// readers that cannot take the device's lock (under the device's lock).
    void SnapshotClocks(double hz[4]);
};
