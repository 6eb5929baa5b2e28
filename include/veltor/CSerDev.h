/// @file
/// The serial device: the port, its watcher thread and the receive ring, and
/// one attempt of a request/response exchange.
#pragma once

#include <veltor/export.h>

#include <functional>
#include <string>

class CCommand;

/// The serial link of a device: the port, the watcher thread that reads it,
/// and the request/answer exchange. CVeltor is the instrument built on it.
class VELTOR_API CSerDev {
public:
    CSerDev();
    virtual ~CSerDev();
    /// A copy would release the source's port, thread and ring a second time.
    CSerDev(const CSerDev&) = delete;
    CSerDev& operator=(const CSerDev&) = delete;

    /// Bytes of the instrument that are no awaited answer, in arrival order:
    /// whatever arrives while no exchange awaits an answer, and the delay
    /// reports and noise around an awaited answer. A message may be split over
    /// several calls, and one call may hold several; the bytes are valid only
    /// during the call. Runs on the watcher thread with the receive lock held,
    /// or on the thread of an exchange with the device's lock held (for bytes
    /// that arrive while it awaits its answer, or still wait when its request
    /// is about to be written); never on two threads at once. It must not
    /// start an exchange or close the
    /// device. A class that overrides it closes the connection in its own
    /// destructor, before its members are gone: the watcher calls it until
    /// then.
    virtual void HandleUnsolicited(unsigned char* bytes, unsigned long count);
    /// A whole, valid delay report among the unasked bytes: the channel index
    /// 0..7 and the delay in clock counts. Each byte of the stream is judged
    /// once, where answers are told from reports, so that a late answer's
    /// delay bytes are never read as a report. Called on the same thread and
    /// under the same conditions as HandleUnsolicited, for each report in
    /// arrival order, before the bytes that hold it reach HandleUnsolicited.
    virtual void HandleDelayReport(unsigned char channel, unsigned int counts);
    /// Stops the watcher and releases the port and events. Always 0. From any
    /// thread: a command in progress on another thread ends promptly with the
    /// outcome kClosed, and closing waits for it to return.
    virtual int CloseConnection();
    /// False once the port is closed or lost (see kPortLost). Any thread.
    bool IsConnected() const;
    /// Ends the command in progress on this device, whichever thread runs
    /// it, at once: it returns false with the outcome kCancelled, makes no
    /// further attempt and no further step, and the connection stays open.
    /// A request already written may or may not have been carried out (as
    /// after no answer); its answer, if it comes, is not taken for the next
    /// command's. A command that has not taken the device's lock yet is not
    /// cancelled: call it again while the command runs if it may not have
    /// begun. Any thread but a signal handler (it takes the receive lock).
    void CancelCommand();

    /// The device's lock. Every command takes it for its whole run, so one
    /// exchange at a time goes over the line and a command of several
    /// exchanges runs whole. A host holds it (from any thread; it may be taken
    /// again by the thread that holds it) to keep other threads' commands out
    /// while it changes what commands read — a timing mode object, the general
    /// properties — or to read GetLastOutcome together with its own command.
    void Lock();
    /// Releases the device's lock taken with Lock.
    void Unlock();
    /// Holds the device's lock for a scope: CSerDev::Hold hold(device);
    class Hold {
    public:
        /// Takes the device's lock until the end of the scope.
        explicit Hold(CSerDev& device) : m_Device(device) { m_Device.Lock(); }
        ~Hold() { m_Device.Unlock(); }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        CSerDev& m_Device;
    };

    /// How the last attempt of an exchange ended.
    enum Outcome {
        kNone,          ///< no exchange yet
        kSuccess,       ///< a valid positive answer
        kNotConnected,  ///< nothing was sent
        kWriteFailed,   ///< the request could not be written (or its write was given up)
        kNoAnswer,      ///< no answer within the time allowed
        kNegative,      ///< the instrument refused the request
        kWrongLead,     ///< no answer, only bytes that were neither an answer nor a report
        kIncomplete,    ///< the answer stopped after its header
        kBadChecksum,   ///< the answer's checksum failed
        kPortLost,      ///< the port went away (hang-up, unplugged adapter): reconnect
        kMismatch,      ///< only answers of other requests arrived in the time allowed
        kClosed,        ///< the connection was closed (from another thread) meanwhile
        /// answers owed to earlier requests never came, and a query to get
        /// back in step was not answered: the command was not sent
        kOutOfStep,
        /// the host cancelled the command (CancelCommand); a request already
        /// written may or may not have been carried out
        kCancelled,
    };
    /// Queries sent at most before one command to get back in step with an
    /// instrument that still owes answers (see kOutOfStep).
    static const int kStepQueries = 2;
    /// How the device's last attempt ended, whichever thread made it.
    Outcome GetLastOutcome() const;
    /// The outcome in words: "no answer", "refused by the instrument", ...
    static const char* DescribeOutcome(Outcome outcome);

    /// Why the device's last command (or connection) failed, in words a user
    /// can act on: which step, which channel, which parameter, what the line
    /// did ("channel A: setting timing mode: no answer after 5 attempts").
    /// Empty after one that succeeded. Any thread; hold the device's lock
    /// around the command and this call to read the failure of one's own.
    std::string GetLastError() const;

    /// Baud indices of InitConnection.
    enum Baud {
        kBaud2400,
        kBaud4800,
        kBaud9600,
        kBaud19200,
        kBaud38400,
        kBaud57600,
        kBaud115200,
    };
    /// Line speed in bit/s of a baud index, 0 for an index that names none.
    static long BaudRate(int baudIndex);

    /// The wire trace: every request written, every answer read for a request
    /// and every chunk of bytes the instrument sent unasked (delay reports,
    /// late answers, noise), with a monotonic time stamp in nanoseconds and
    /// the status text of the command in progress ("Setting timing mode...";
    /// empty when none runs). The bytes are valid during the call only.
    struct TraceEvent {
        /// What the bytes are.
        enum Kind {
            kRequest,  ///< a request written
            kAnswer,   ///< an answer read for a request
            kUnasked   ///< bytes the instrument sent unasked
        };
        Kind kind;                   ///< what the bytes are
        const unsigned char* bytes;  ///< the bytes, valid during the call
        unsigned long count;         ///< how many
        long long timeNs;            ///< monotonic time stamp, nanoseconds
        const char* status;          ///< the command in progress, or ""
    };
    /// Called one event at a time, on the commanding thread for requests and
    /// answers and on the watcher thread for unasked bytes, while the device
    /// holds its lock or its receive lock: it must not call the device, and
    /// should return soon. Off (null) by default; the library itself prints nothing.
    /// Setting it returns once no call of the old one is in progress.
    typedef std::function<void(const TraceEvent& event)> TraceListener;
    /// Sets the trace (see TraceListener); null turns it off.
    void SetTrace(TraceListener trace);

protected:
    /// One command's run: holds the device's lock, and the outermost scope
    /// clears the last failure, so that a command of several steps reports
    /// the failure of the step that stopped it.
    class CommandScope {
    public:
        /// Enters a command's run on the device.
        explicit CommandScope(CSerDev& device);
        ~CommandScope();
        CommandScope(const CommandScope&) = delete;
        CommandScope& operator=(const CommandScope&) = delete;

    private:
        CSerDev& m_Device;
    };
    /// The failure of the command in progress; a step that adds context puts
    /// its own words in front ("channel A: " + what failed).
    void SetLastError(const std::string& text);
    /// Whether the calling thread holds the device's lock.
    bool HoldsLock() const;
    /// Takes the device's lock only if no other thread holds it (Unlock
    /// releases it); true when taken.
    bool TryLock();
    /// Puts context in front of the failure text.
    void PrefixLastError(const std::string& context);
    /// The failure of the last exchange of a command that made `attempts`
    /// attempts, from its status text and outcome.
    void SetExchangeError(const CCommand* command, int attempts);

    /// Opens port number `port` (1 and up: COM n on Windows, /dev/ttyS(n-1) on
    /// Linux) at baud index 0..6 (2400..115200 bit/s). 0 on success; -1 bad
    /// baud index or the port cannot be opened; -2..-5 a configuration step
    /// failed; -6 the watcher thread could not be started; -7 the filler
    /// burst after opening could not be written. A failed opening
    /// leaves nothing held: the port is free for the next try.
    virtual int InitConnection(int port, int baudIndex);
    /// The same for a port given by its device name.
    int InitConnection(const char* device, int baudIndex);

    /// One attempt of an exchange: true when a valid positive response that
    /// can belong to the request arrived within the attempt's time. The time
    /// is counted from the moment the request can have left on the line.
    bool SendReceive(CCommand* command);
    /// Writes raw bytes; false when not connected, or when the write failed
    /// or was given up after its bound (GetLastError says which).
    bool Write(unsigned char* bytes, int count);
    /// The same, naming what is written in the failure ("the filler burst").
    bool WriteNamed(const unsigned char* bytes, int count, const std::string& what);
    /// Before a new command: waits, at most until the last attempt's time-out
    /// has passed once more since that attempt ended, for answers still owed
    /// to earlier requests (an instrument that answered late), so that none
    /// of them is taken for the new command's answer. False when some are
    /// still owed after that time.
    bool AwaitLateAnswers();
    /// Before a new command (`next`): makes sure no answer owed to an
    /// earlier request can be taken for its own. The instrument answers in
    /// order, so answers still owed after AwaitLateAnswers come before the
    /// next request's, if at all; when the next request's answer could be
    /// taken for one of them (any answer but that of a query of a channel no
    /// owed answer can be a query of), a query of such a channel is sent
    /// first, and whatever comes before its answer is taken for late. When
    /// every channel's query may still be owed, the owed answers are awaited
    /// for one time-out of `next` until a channel is free. Up to
    /// kStepQueries such queries, each awaited for the time of one attempt of
    /// `next`. False, with the outcome kOutOfStep (or kPortLost, kClosed,
    /// kCancelled), when none was answered: `next` is not to be sent.
    bool GetInStep(const CCommand* next);
    /// A whole command: gets back in step, then makes attempts while the
    /// command's tries last and a further attempt can go better. `once`
    /// (null: none) names a command that must not be carried out twice: it
    /// is not sent again once the instrument may have carried it out, and
    /// the failure says so. The failure text names the step and the outcome.
    bool RunCommand(CCommand* command, const char* once);

    /// The port went away (the watcher saw a hang-up, or a write found it
    /// gone). Called once the device is marked lost, on the watcher or on a
    /// commanding thread with the device's lock held: it must not call the
    /// device. Does nothing.
    virtual void HandleLineLost();
    /// Marks a device that is not connected as lost, so that commands fail
    /// with kPortLost until it is connected or closed.
    void StayLost();
    /// Whether the calling thread is handing HandleUnsolicited bytes from
    /// this device's own line: their delay reports have reached
    /// HandleDelayReport already. False for a host's own call.
    bool HandsOverLineBytes() const;

private:
    /// The device's state: its connection, receive side, the exchange's
    /// record of answers owed, the last outcome and failure, and the trace
    /// (serial/CSerDevImpl.h).
    struct Impl;
    Impl* m_pImpl;
};
