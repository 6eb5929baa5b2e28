// The front panel's API: HTTP requests in, responses out, on one device.
// No sockets here (PanelServer.cpp is the HTTP glue), so that it is
// testable alone. Every request runs under one lock: two pages see one
// instrument, and their commands go to it one after the other.
#pragma once

#include <veltor/veltor.h>

#include <atomic>
#include <functional>
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

    // Any request but the event stream. Any thread.
    HttpResponse Handle(const HttpRequest& request);
    // The event stream's refusal, as for Handle.
    std::optional<HttpResponse> RefuseEvents(const HttpRequest& request) const;
    // The next part of an event stream that has sent the events up to
    // `after` and the connection word `connection`: the events since, a
    // connection change, or a keep-alive comment after `timeoutMs`. Empty
    // once the panel is closing.
    std::string NextEvents(long long& after, std::string& connection, int timeoutMs);
    // Ends every event stream.
    void Close();

    // "connected", "lost", or "reconnecting" while the policy tries.
    std::string Connection() const;

private:
    HttpResponse Route(const HttpRequest& request);
    std::string StateJson();
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
    // Tells every page of the new state, and answers with it.
    HttpResponse Changed();

    CVeltor& m_Device;
    PanelConfig m_Config;
    mutable std::mutex m_Lock;
    setup::Setup m_Setup;    // as edited
    setup::Setup m_Applied;  // the last applied: the device borrows its modes
    bool m_bTrace = false;
    EventHub m_Hub;
    long long m_StartNs;
    std::atomic<bool> m_bReconnecting{false};
};

}  // namespace veltor::panel
