// The management API's requests under /api/v1: users, sessions, relays, messages, settings,
// usage and tokens. Each does what the matching control request does, through the same
// commands, one request at a time with the control channel (AdminRequestLock).
#pragma once

#include "server/service/api/api_tokens.h"
#include "server/service/metrics/http_server.h"

namespace tarvo {

// role: what the caller may do, already established by the server (the local socket's peers
// are admins; a TCP caller is its token's role).
HttpResponse RouteApiRequest(const HttpRequest& request, ApiRole role, ApiTokens& tokens);

// {"error": reason} with status.
HttpResponse ApiError(int status, const std::string& reason);

}  // namespace tarvo
