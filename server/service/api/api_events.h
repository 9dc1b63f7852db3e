// The management API's event stream: every notification the daemon sends (logins, session
// ends, relays, user changes), as Server-Sent Events with increasing ids, kept in a bounded
// ring so that a client reconnecting with Last-Event-ID gets what it missed, once.
#pragma once

#include "server/service/metrics/http_server.h"

namespace tarvo {

// Lets the first event stream tap the notifications.
void StartApiEvents();
// After the network thread stopped.
void StopApiEvents();

// The stream for a GET of the events: from Last-Event-ID (the header, or the last_event_id
// parameter) when given, else from now.
HttpResponse EventStreamResponse(const HttpRequest& request);

}  // namespace tarvo
