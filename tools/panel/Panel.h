// The front panel's API: HTTP requests in, responses out, on one device.
// No sockets here (PanelHttp.cpp is the HTTP glue), so that it is
// testable alone. The instrument's commands run under one lock, so that two
// pages' commands go to it one after the other; the setup being edited and
// the state made from it have a lock of their own, so that reading the state
// never waits for the line.
#pragma once

#include <veltor/veltor.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "setup/Setup.h"
#include "tools/panel/Access.h"
#include "tools/panel/EventHub.h"
#include "tools/panel/Http.h"

namespace veltor::panel {

struct PanelConfig {
    AccessRule access;
    std::string port;       // the instrument's port name, as shown
    std::string setupPath;  // --setup FILE: loaded before, saved on request; empty: none
    bool reconnect = false;
    // With the built-in simulated instrument: what it holds (JSON) and
    // making it send a delay report. Empty without one.
    std::function<std::string()> simState;
    std::function<void(int channel, unsigned counts)> simReport;
};

class Panel {
public:
    // Takes the device's report listener and, with config.reconnect, its
    // reconnecting policy; the device must outlive the panel.
    Panel(CVeltor& device, PanelConfig config, setup::Setup initial);
    ~Panel();
    Panel(const Panel&) = delete;
    Panel& operator=(const Panel&) = delete;

    // What the server makes of a request's head before reading its body:
    // the access checks, and a page request (outside /api/) must be a GET.
    Admission Admit(const HttpRequest& request) const;
    // Any request but the event stream. Any thread. An exception of the
    // handling is answered 500 with its text.
    HttpResponse Handle(const HttpRequest& request);
    // The event stream's refusal, as for Handle.
    std::optional<HttpResponse> RefuseEvents(const HttpRequest& request) const;
    // The next part of an event stream that has sent the events up to
    // `after` and the connection word `connection`: the events since, a
    // connection change, or a keep-alive comment after `timeoutMs`. Empty
    // once the panel is closing. A page far behind gets the events a part
    // at a time (about kEventPartBytes each, or one larger event).
    std::string NextEvents(long long& after, std::string& connection, int timeoutMs);
    static constexpr std::size_t kEventPartBytes = 256 * 1024;
    // Ends every event stream.
    void Close();

    // The bytes of the events kept for pages that read late.
    std::size_t KeptEventBytes() const { return m_Hub.KeptBytes(); }

    // "connected", "lost", or "reconnecting" while the policy tries.
    std::string Connection() const;

private:
    HttpResponse Route(const HttpRequest& request);
    // The state as the page reads it: the one made at the last change, with
    // the connection as it is now.
    std::string State() const;
    // Makes the state of the setup as edited; m_EditLock held.
    void MakeState();
    HttpResponse TakeSetup(const std::string& body);
    HttpResponse ApplySetup();
    // Tells every page how a command ended, and answers with the same: 200,
    // or `failure` when it was not carried out.
    HttpResponse Tell(const std::string& what, bool ok, std::string message, int failure);
    // An instrument command's outcome: `done`, or the device's reason (502).
    HttpResponse Command(const std::string& what, bool ok, const std::string& done);
    HttpResponse Save();
    HttpResponse Trace(const std::string& body);
    HttpResponse SimReport(const std::string& body);
    // Makes the state, tells every page of it, and answers with it;
    // m_EditLock held.
    HttpResponse Changed();

    CVeltor& m_Device;
    PanelConfig m_Config;
    // Taken before m_EditLock when both are needed.
    std::mutex m_LineLock;
    setup::Setup m_Applied;  // the last applied: the device borrows its modes
    mutable std::mutex m_EditLock;
    setup::Setup m_Setup;  // as edited
    bool m_bTrace = false;
    // The state's JSON without its "connection", made at each change.
    std::shared_ptr<const std::string> m_State;
    EventHub m_Hub;
    long long m_StartNs;
    std::atomic<bool> m_bReconnecting{false};
};

}  // namespace veltor::panel
