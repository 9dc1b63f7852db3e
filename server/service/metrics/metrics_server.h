// Serves the daemon's figures (metrics_text.h) over HTTP on threads of their own: always on the
// local metrics socket in the runtime directory, for the administration tools, and on a
// loopback TCP address when [MetricsAddress] names one, for Prometheus. A scrape takes the
// network lock only to copy the figures it guards; parsing requests and writing the text
// happen off the network thread.
#pragma once

#include <netinet/in.h>

#include <string>
#include <string_view>

namespace tarvo {

// Reads "ADDRESS:PORT" with an IPv4 address ("localhost" for 127.0.0.1) and a port from 1 to
// 65535. False, with the reason in *error, for anything else.
bool ParseHostPort(std::string_view text, sockaddr_in& address, std::string* error);
// The same, for a loopback address only (127.0.0.0/8).
bool ParseMetricsAddress(std::string_view text, sockaddr_in& address, std::string* error);

// Starts what can start; what cannot is told on stderr and the daemon runs without it.
void StartMetricsServer();
// Ends both servers and removes the socket file. Safe when nothing started.
void StopMetricsServer();

}  // namespace tarvo
