// What the panel's HTTP server hands to the pure request handling, and what
// it sends back: no sockets here, so that the handling is testable alone.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>

namespace veltor::panel {

struct HttpRequest {
    std::string method;                          // "GET", "POST", ...
    std::string path;                            // without the query
    std::map<std::string, std::string> headers;  // names in lower case
    std::map<std::string, std::string> query;
    std::string body;
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
};

// What the server makes of a request's head, before reading its body: a
// refusal sent at once, or the request goes on; `trusted` when it carried
// the token.
struct Admission {
    std::optional<HttpResponse> refusal;
    bool trusted = false;
};

// The largest request body taken; the server refuses a longer one before
// reading it, and the handling refuses one that got through.
constexpr std::size_t kMaxBodyBytes = 1 << 20;

// A JSON response {"error": message} with that status.
HttpResponse ErrorResponse(int status, const std::string& message);

}  // namespace veltor::panel
