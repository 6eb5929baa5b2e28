// The panel served over HTTP: the routes on httplib behind the front of
// Front.h, each request handed to the Panel as it came and each response
// sent back as it was made; only the event stream is the server's own (a
// chunked response that stays open).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/panel/Panel.h"

namespace veltor::panel {

struct ServerLimits {
    // Threads that answer requests; each open event stream holds one.
    int workers = 24;
    // Event streams open at once; the next is refused with 503.
    int mostStreams = 16;
    // Seconds a connection has to send a whole request head, from its
    // opening or the end of the answer before.
    int headSeconds = 5;
    // Seconds an admitted request has to send its body.
    int bodySeconds = 10;
    // Open connections that have not shown the token; beyond it, the one
    // waiting longest is closed.
    int mostStrangers = 32;
    // Idle connections of the token holder; beyond it, the oldest is closed.
    int mostTrusted = 32;
    // Workers that serve strangers' requests at once (the page's files).
    int strangerWorkers = 4;
};

class PanelHttp {
public:
    explicit PanelHttp(ServerLimits limits = {});
    ~PanelHttp();
    PanelHttp(const PanelHttp&) = delete;
    PanelHttp& operator=(const PanelHttp&) = delete;

    // The TCP port bound on `host` (`port` 0: any free one), or -1.
    int Bind(const std::string& host, int port);
    // Serves `panel` on a thread of its own until Stop; the panel must
    // outlive the serving. `failed` runs on that thread if the serving ends
    // by itself (it cannot start its threads, say), after the error is told.
    void Start(Panel& panel, std::function<void()> failed = nullptr);
    // Ends the event streams and the serving; waits for both.
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

}  // namespace veltor::panel
