#pragma once
// Addresses around the SIP proxy and a request's sender: the local address towards the
// proxy, what a proxy's host name stands for, and who sent a request by its top Via.

#include <string>
#include <vector>

namespace velnaro {

// The local address the system would use to reach the proxy (a text such as
// "sip:host:5080;transport=udp" or "host"): a connected UDP socket, nothing sent.
// 127.0.0.1 when the proxy cannot be reached or named.
std::string RouteAddressTo(const std::string& proxy);

// Every address, in numeric form, that the host of a proxy text stands for.
std::vector<std::string> HostAddresses(const std::string& proxy);

// The addresses a request's top Via header names for its sender, in numeric form: the
// "received" address, which the stack sets when the sender claims another one, and the
// claimed one unless it is a host name. Where the request came from is among them; a
// sender may add a false "received" to its true address, so only when all of them are
// trusted is the sender.
std::vector<std::string> ViaSenderAddresses(const std::string& via);

}  // namespace velnaro
