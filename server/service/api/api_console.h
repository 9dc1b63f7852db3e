// The web console's files, plain and shipped with the package (share/tarvo/web beside the
// daemon's bin directory, or TARVO_WEB_DIR), served under /console/ without a token: the page
// asks for the token and sends it with each API request.
#pragma once

#include <optional>

#include "server/service/metrics/http_server.h"

namespace tarvo {

inline constexpr char kConsolePrefix[] = "/console/";

// The file's answer for a GET of path under /console/ (or / itself); nullopt elsewhere.
std::optional<HttpResponse> ServeConsoleFile(const HttpRequest& request);

}  // namespace tarvo
