// Where the daemon offers its figures to the local administration tools: an HTTP server on an
// AF_UNIX stream socket in the runtime directory, answering GET /metrics with the Prometheus
// text exposition format. Open to root, the daemon's user and the admin group, as the control
// port is. The loopback TCP endpoint for Prometheus, when configured, serves the same text.
#pragma once

namespace tarvo {

inline constexpr char kMetricsPortName[] = "tarvo-metrics.sock";
inline constexpr char kMetricsPath[] = "/metrics";

}  // namespace tarvo
