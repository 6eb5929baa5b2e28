#include "serial/NetAddress.h"

#include <cctype>
#include <cstring>

namespace veltor {

namespace {

// True when `name` starts with `scheme`, in any case.
bool HasScheme(const char* name, const char* scheme) {
    for (; *scheme != '\0'; ++name, ++scheme) {
        const char c = *name >= 'A' && *name <= 'Z' ? static_cast<char>(*name - 'A' + 'a') : *name;
        if (c != *scheme) {
            return false;
        }
    }
    return true;
}

// True when `name` starts like a URL ("tcp://", "telnet://"): a scheme is a
// letter, then letters, digits, '+', '-' or '.'. No device path looks so.
bool HasOtherScheme(const char* name) {
    const char* p = name;
    if (!std::isalpha(static_cast<unsigned char>(*p))) {
        return false;
    }
    while (std::isalnum(static_cast<unsigned char>(*p)) || *p == '+' || *p == '-' || *p == '.') {
        ++p;
    }
    return std::strncmp(p, "://", 3) == 0;
}

}  // namespace

NetAddress ParseNetAddress(const char* name, std::string& error) {
    error.clear();
    NetAddress address;
    if (name == nullptr) {
        return address;
    }
    const char* rest = nullptr;
    NetLink link = NetLink::None;
    if (HasScheme(name, "socket://")) {
        link = NetLink::Raw;
        rest = name + std::strlen("socket://");
    } else if (HasScheme(name, "rfc2217://")) {
        link = NetLink::Rfc2217;
        rest = name + std::strlen("rfc2217://");
    } else {
        if (HasOtherScheme(name)) {
            const char* schemeEnd = std::strstr(name, "://") + 3;
            error = "unknown scheme '" + std::string(name, schemeEnd) +
                    "'; accepted: a device path, socket://HOST:PORT, rfc2217://HOST:PORT";
        }
        return address;
    }
    const std::string text(rest);
    const std::string usage = std::string("expected ") +
                              (link == NetLink::Raw ? "socket" : "rfc2217") +
                              "://HOST:PORT with PORT 1 to 65535";
    std::string host;
    std::string service;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = usage;
            return address;
        }
        host = text.substr(1, close - 1);
        service = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string::npos) {
            error = usage;
            return address;
        }
        host = text.substr(0, colon);
        service = text.substr(colon + 1);
        // An IPv6 address without brackets would be read wrong.
        if (host.find(':') != std::string::npos) {
            error = usage + " (an IPv6 address in brackets: [::1]:PORT)";
            return address;
        }
    }
    long port = 0;
    bool digits = !service.empty() && service.size() <= 5;
    for (const char c : service) {
        digits = digits && c >= '0' && c <= '9';
        port = port * 10 + (c - '0');
    }
    if (host.empty() || !digits || port < 1 || port > 65535) {
        error = usage;
        return address;
    }
    address.link = link;
    address.host = host;
    address.service = std::to_string(port);
    return address;
}

}  // namespace veltor
