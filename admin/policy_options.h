// Per-user policy as an administrator writes it on a command line, shared by tarvoadm and
// tarvostore (and the console's computation of what to store).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "admin/local_time.h"
#include "admin/rate_units.h"
#include "external/reader_policy.h"

namespace tarvo::adm {

bool ParsePeriod(std::string_view text, std::int32_t& period);  // none, daily, weekly, monthly
const char* PeriodName(std::int32_t period);
const char* ProtocolName(std::int32_t protocol);  // any, v2-only

// Where a period starts when no start is given: midnight local time today (daily), on this
// week's Monday (weekly), on the 1st of this month (monthly).
std::int64_t DefaultPeriodAnchor(std::int32_t period, std::int64_t now);

// What a command line asks to change; unset fields stay as stored.
struct PolicyChange {
  std::optional<std::int64_t> rateDown;
  std::optional<std::int64_t> rateUp;
  std::optional<std::int32_t> period;
  std::optional<std::int64_t> periodFrom;
  std::optional<std::int32_t> maxSessions;
  std::optional<std::int64_t> expires;
  std::optional<std::int32_t> protocol;

  bool empty() const {
    return !rateDown && !rateUp && !period && !periodFrom && !maxSessions && !expires &&
           !protocol;
  }
};

// --rate-down, --rate-up, --period, --period-from, --max-sessions, --expires, --protocol.
bool IsPolicyOption(std::string_view option);
// Takes the value of a policy option; an error text, or empty.
std::string TakePolicyOption(std::string_view option, std::string_view value,
                             PolicyChange& change);

// Applies change to policy (the stored one on entry) at the instant now; an error text, or
// empty. A period or start that changes moves the period start to the start of the current
// period, so the counter is not reset at once; otherwise the stored period start stays, since
// writing back an older one would have the next daemon reset the period a second time.
std::string ApplyPolicyChange(const PolicyChange& change, std::int64_t now, UserPolicy& policy);

// The policy to write when the wanted one was made from stored: as above, wanted's period start
// is the stored one when period and anchor are unchanged, else the current period's start.
UserPolicy PolicyToWrite(const UserPolicy& stored, UserPolicy wanted, std::int64_t now);

}  // namespace tarvo::adm
