// Port names that reach the instrument over the network, through a device
// server that holds its serial line:
//
//   socket://HOST:PORT    raw TCP: the server passes the bytes through and
//                         sets the line speed itself
//   rfc2217://HOST:PORT   Telnet with the COM Port Control option: the host
//                         sets the line speed through the server
//
// HOST is a name, an IPv4 address or an IPv6 address in brackets
// ([::1]:4000). A name of another scheme ("tcp://...") is refused; any
// other name is a serial device's name.
#pragma once

#include <string>

namespace veltor {

enum class NetLink { None, Raw, Rfc2217 };

struct NetAddress {
    NetLink link = NetLink::None;
    std::string host;     // without the brackets of an IPv6 address
    std::string service;  // the port number, in decimal
};

// Reads a port name. NetLink::None: no network name, a device's (`error`
// empty). A name with a network scheme but no valid HOST:PORT, or with an
// unknown scheme, sets `error` and returns NetLink::None.
NetAddress ParseNetAddress(const char* name, std::string& error);

}  // namespace veltor
