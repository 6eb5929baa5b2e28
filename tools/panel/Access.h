// Who may use the panel. A panel drives an instrument that may fire lasers,
// and a browser runs pages of any site beside it, so every request is
// checked: its Host (a page whose name was re-pointed at 127.0.0.1, DNS
// rebinding, still sends its own name), its Origin when the browser sends
// one (a page of another site), its size, and for the API the token that
// the panel printed in its address.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/panel/Http.h"

namespace veltor::panel {

struct AccessRule {
    std::string token;
    // "127.0.0.1:8123", "localhost:8123": the Host values the panel answers.
    std::vector<std::string> hosts;
};

// The Host values for a panel listening on `listenHost` at `port`.
std::vector<std::string> PanelHosts(const std::string& listenHost, int port);

// Compares in a time that does not depend on where the texts differ, so
// that the token cannot be guessed a character at a time.
bool SameToken(const std::string& given, const std::string& token);

// The refusal of a request (413, 403, 401), or nothing when it may go on.
// API requests (/api/...) carry the token in the X-Veltor-Token header; a
// GET, which changes nothing, may carry it as ?token= (an EventSource
// cannot set headers).
std::optional<HttpResponse> Refuse(const AccessRule& rule, const HttpRequest& request);

// True when the request carries the token, in the header or, for a GET, in
// the address.
bool CarriesToken(const AccessRule& rule, const HttpRequest& request);

}  // namespace veltor::panel
