// A serial device's connection: the port and the watcher thread that reads
// it, from opening to closing, with the command lock that keeps one command
// at a time on the line and the cancel that ends it.
//
// Its state, in one word that any thread may read:
//
//   closed --Open--> opening --(port, watcher ready)--> open
//      ^                 |                                |
//      |             (failure: Close)               (hang-up, gone)
//      |                                                  v
//      +----------------- Close <------------------------ lost
//
// Close may begin in any state. While one runs the connection is closing as
// well: a command in progress ends with "closed", and the next one waits for
// the close. A lost connection stays lost until it is closed or opened again
// (StayLost marks a closed one lost, for the reconnection's failed tries).
#pragma once

#include <atomic>
#include <string>

#include "platform/Platform.h"
#include "serial/CommandLock.h"

namespace veltor {

class ReceiveSide;
namespace link {
class Link;
}

// Who hears that the line went away: the device's reconnection hook. Runs on
// the watcher or on a commanding thread with the command lock held; it must
// not call the connection.
class LineLostHook {
public:
    virtual void LineLost() = 0;

protected:
    ~LineLostHook() = default;
};

class Connection {
public:
    enum class State { kClosed, kOpening, kOpen, kLost, kClosing };

    Connection(ReceiveSide& receive, LineLostHook& hook);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Opens the port by name at `baud` bit/s and starts the watcher. 0 when
    // open; else the failure's code (-1 the port or an event, -2..-5 the
    // port's configuration steps, -6 the watcher) with its words in `error`,
    // and the caller closes what is left. Under the command lock.
    int Open(const char* device, long baud, std::string& error);
    // Ends a command in progress on another thread (it ends with "closed"),
    // waits for it, stops the watcher and releases the port. Any thread.
    void Close();
    // Ends the command in progress at its next step (see CSerDev::CancelCommand).
    void Cancel();
    // The port went away: open becomes lost, a command's wait is woken and
    // the hook is told. Once per loss.
    void MarkLost();
    // A connection that is not open is marked lost, so that commands fail
    // as on a lost line until the next opening.
    void StayLost();

    State GetState() const;
    bool Connected() const { return Base(m_Word.load()) == kOpenBits; }
    bool Lost() const { return Base(m_Word.load()) == kLostBits; }
    // A close is waiting for the command in progress, or running.
    bool Closing() const { return m_Word.load() >= kCloser; }
    // The three above from one reading of the state (the exchange's view of
    // the line at each of its steps).
    struct View {
        bool connected;
        bool lost;
        bool closing;
    };
    View Look() const {
        const unsigned word = m_Word.load();
        return View{Base(word) == kOpenBits, Base(word) == kLostBits, word >= kCloser};
    }

    CommandLock& Commands() { return m_Commands; }
    const CommandLock& Commands() const { return m_Commands; }
    Handle Port() const { return m_hPort; }
    // The port's link, resolved once when it opened (null while closed).
    link::Link* PortLink() const { return m_pLink; }
    long Baud() const { return m_nBaud; }

private:
    // The word: the state in its low bits, and above them how many closes
    // are under way (a second close may wait behind the first).
    static constexpr unsigned kClosedBits = 0, kOpeningBits = 1, kOpenBits = 2, kLostBits = 3;
    static constexpr unsigned kStateMask = 3, kCloser = 4;
    static unsigned Base(unsigned word) { return word & kStateMask; }
    // Moves the state from `from` to `to`, keeping the count of closes;
    // false when it was not in `from`.
    bool Move(unsigned from, unsigned to);

    static unsigned WatchProc(void* connection);
    void Release(Handle& handle);

    ReceiveSide& m_Receive;
    LineLostHook& m_Hook;
    CommandLock m_Commands;
    std::atomic<unsigned> m_Word{kClosedBits};
    long m_nBaud = 0;  // line speed of the open port
    Handle m_hPort = nullptr;
    link::Link* m_pLink = nullptr;
    Handle m_hStopEvent = nullptr;
    Handle m_hThread = nullptr;
    Handle m_hStartedEvent = nullptr;
    // Wakes the watcher when an attempt takes the port (where the exchange
    // reads the port itself).
    Handle m_hAsideEvent = nullptr;
    std::atomic<bool> m_bWatcherStarted{false};
};

}  // namespace veltor
