#include "tools/panel/Access.h"

#include <algorithm>

namespace veltor::panel {

namespace {

const std::string* Header(const HttpRequest& request, const std::string& name) {
    const auto found = request.headers.find(name);
    return found == request.headers.end() ? nullptr : &found->second;
}

bool Allowed(const AccessRule& rule, const std::string& host) {
    return std::find(rule.hosts.begin(), rule.hosts.end(), host) != rule.hosts.end();
}

}  // namespace

std::vector<std::string> PanelHosts(const std::string& listenHost, int port) {
    const std::string suffix = ":" + std::to_string(port);
    std::vector<std::string> hosts = {"127.0.0.1" + suffix, "localhost" + suffix};
    if (listenHost != "127.0.0.1" && listenHost != "localhost") {
        hosts.push_back(listenHost + suffix);
    }
    return hosts;
}

bool SameToken(const std::string& given, const std::string& token) {
    // Every character of the token is looked at whatever was given.
    unsigned char difference = given.size() == token.size() && !token.empty() ? 0 : 1;
    for (std::size_t i = 0; i < token.size(); ++i) {
        const char c = i < given.size() ? given[i] : '\0';
        difference |= static_cast<unsigned char>(c ^ token[i]);
    }
    return difference == 0;
}

std::optional<HttpResponse> Refuse(const AccessRule& rule, const HttpRequest& request) {
    if (request.body.size() > kMaxBodyBytes) {
        return ErrorResponse(413, "request body over " + std::to_string(kMaxBodyBytes) + " bytes");
    }
    const std::string* host = Header(request, "host");
    if (host == nullptr || !Allowed(rule, *host)) {
        return ErrorResponse(403, "this panel answers only to " + rule.hosts.front() + " (Host " +
                                      (host ? "\"" + *host + "\"" : "missing") + ")");
    }
    const std::string* origin = Header(request, "origin");
    if (origin != nullptr &&
        (origin->rfind("http://", 0) != 0 || !Allowed(rule, origin->substr(7)))) {
        return ErrorResponse(
            403, "requests from another site's page are refused (Origin \"" + *origin + "\")");
    }
    if (request.path.rfind("/api/", 0) != 0) {
        return std::nullopt;
    }
    if (!CarriesToken(rule, request)) {
        return ErrorResponse(401, "missing or wrong token: open the address the panel printed");
    }
    return std::nullopt;
}

bool CarriesToken(const AccessRule& rule, const HttpRequest& request) {
    const std::string* header = Header(request, "x-veltor-token");
    std::string given = header ? *header : "";
    if (header == nullptr && request.method == "GET") {
        const auto query = request.query.find("token");
        given = query == request.query.end() ? "" : query->second;
    }
    return SameToken(given, rule.token);
}

}  // namespace veltor::panel
