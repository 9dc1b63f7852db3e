// The management API's two endpoints: always the local socket, and HTTPS on [ApiAddress] when
// set. Each is an HttpServer of its own, so callers of one never take the other's slots.
#pragma once

#include <netinet/in.h>

#include <string>
#include <string_view>

namespace tarvo {

// Starts what can start; what cannot is told on stderr and the daemon runs without it.
void StartApiServer();
void StopApiServer();

}  // namespace tarvo
