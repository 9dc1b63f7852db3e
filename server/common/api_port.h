// Where the daemon serves its management API to local administrators: HTTP on an AF_UNIX stream
// socket in the runtime directory, open to root, the daemon's user and the admin group (as the
// control port is), who act as admins without a token. Over TCP the API is HTTPS with tokens.
#pragma once

namespace tarvo {

inline constexpr char kApiPortName[] = "tarvo-api.sock";
inline constexpr char kApiPrefix[] = "/api/v1/";

}  // namespace tarvo
