// What the Usage page takes from the daemon's figures: the relayed byte counters its
// throughput is made from, and the status line of sessions and relays.
#pragma once

#include <string>

#include "console/control_client/service_metrics.h"

namespace tarvo {

// tarvo_relayed_bytes_total by direction. False, with the reason in *error, when a direction
// is missing.
bool RelayedTotals(const MetricsReading& reading, double& down, double& up, std::string* error);

// "Sessions: 2   TCP relays: 1   UDP relays: 0"; a figure the daemon does not serve is left out.
std::string ServiceStatusLine(const MetricsReading& reading);

}  // namespace tarvo
