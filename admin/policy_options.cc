#include "admin/policy_options.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <limits>

namespace tarvo::adm {

namespace {

bool Is(std::string_view text, std::string_view word) {
  if (text.size() != word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != word[i]) return false;
  }
  return true;
}

bool ParseCount(std::string_view text, std::int32_t& count) {
  if (Is(text, "none")) return count = 0, true;
  const std::string digits(text);
  if (digits.empty() || !std::isdigit(static_cast<unsigned char>(digits[0]))) return false;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(digits.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value > std::numeric_limits<std::int32_t>::max()) {
    return false;
  }
  count = static_cast<std::int32_t>(value);
  return true;
}

constexpr const char* kPeriodNames[] = {"none", "daily", "weekly", "monthly"};

}  // namespace

bool ParsePeriod(std::string_view text, std::int32_t& period) {
  for (std::int32_t i = 0; i < 4; ++i) {
    if (Is(text, kPeriodNames[i])) return period = i, true;
  }
  return false;
}

const char* PeriodName(std::int32_t period) {
  return period >= 0 && period < 4 ? kPeriodNames[period] : "unknown";
}

std::int64_t DefaultPeriodAnchor(std::int32_t period, std::int64_t now) {
  const std::time_t when = static_cast<std::time_t>(now);
  std::tm fields{};
  localtime_r(&when, &fields);
  switch (period) {
    case POLICY_PERIOD_DAILY:
      return LocalMidnight(now);
    case POLICY_PERIOD_WEEKLY:
      return LocalMidnight(now, -((fields.tm_wday + 6) % 7));  // back to Monday
    case POLICY_PERIOD_MONTHLY:
      return LocalMidnight(now, 1 - fields.tm_mday);
    default:
      return 0;
  }
}

const char* ProtocolName(std::int32_t protocol) {
  return protocol == POLICY_PROTOCOL_V2_ONLY ? "v2-only" : "any";
}

bool IsPolicyOption(std::string_view option) {
  for (std::string_view known :
       {"--rate-down", "--rate-up", "--period", "--period-from", "--max-sessions", "--expires",
        "--protocol"}) {
    if (option == known) return true;
  }
  return false;
}

std::string TakePolicyOption(std::string_view option, std::string_view value,
                             PolicyChange& change) {
  // Built a character at a time: GCC 12 at -O3 warns falsely (-Wrestrict) about "'" + string.
  std::string shown(1, '\'');
  shown.append(value).push_back('\'');
  if (option == "--rate-down" || option == "--rate-up") {
    std::int64_t rate = 0;
    if (!ParseRate(value, rate)) {
      return "bad rate " + shown +
             " (20Mbit, 2.5MB/s, 512KiB/s, 1Gbps ...; 0 or none for no limit)";
    }
    (option == "--rate-down" ? change.rateDown : change.rateUp) = rate;
  } else if (option == "--period") {
    std::int32_t period = 0;
    if (!ParsePeriod(value, period))
      return "bad period " + shown + " (none, daily, weekly, monthly)";
    change.period = period;
  } else if (option == "--period-from") {
    std::int64_t at = 0;
    if (!ParseLocalTime(value, at)) return "bad period start " + shown + " (YYYY-MM-DD[ HH:MM])";
    change.periodFrom = at;
  } else if (option == "--max-sessions") {
    std::int32_t count = 0;
    if (!ParseCount(value, count))
      return "bad session count " + shown + " (0 or none: as MultiConnect)";
    change.maxSessions = count;
  } else if (option == "--expires") {
    std::int64_t at = 0;
    if (!Is(value, "never") && !Is(value, "none") && value != "0" && !ParseLocalTime(value, at)) {
      return "bad expiry " + shown + " (YYYY-MM-DD[ HH:MM], or never)";
    }
    change.expires = at;
  } else if (option == "--protocol") {
    if (Is(value, "any")) {
      change.protocol = POLICY_PROTOCOL_ANY;
    } else if (Is(value, "v2-only")) {
      change.protocol = POLICY_PROTOCOL_V2_ONLY;
    } else {
      return "bad protocol " + shown + " (any, v2-only)";
    }
  } else {
    return "unknown option " + std::string(option);
  }
  return {};
}

std::string ApplyPolicyChange(const PolicyChange& change, std::int64_t now, UserPolicy& policy) {
  const UserPolicy stored = policy;
  if (change.rateDown) policy.rateDown = *change.rateDown;
  if (change.rateUp) policy.rateUp = *change.rateUp;
  if (change.maxSessions) policy.maxSessions = *change.maxSessions;
  if (change.expires) policy.expires = *change.expires;
  if (change.protocol) policy.protocol = *change.protocol;
  if (change.period) policy.period = *change.period;
  if (policy.period == POLICY_PERIOD_NONE) {
    if (change.periodFrom) return "--period-from needs a period (daily, weekly, monthly)";
    policy.periodAnchor = 0;
  } else if (change.periodFrom) {
    policy.periodAnchor = *change.periodFrom;
  } else if (policy.period != stored.period || stored.periodAnchor <= 0) {
    policy.periodAnchor = DefaultPeriodAnchor(policy.period, now);
  }
  policy = PolicyToWrite(stored, policy, now);
  return {};
}

UserPolicy PolicyToWrite(const UserPolicy& stored, UserPolicy wanted, std::int64_t now) {
  if (wanted.period == POLICY_PERIOD_NONE) {
    wanted.periodAnchor = 0;
    wanted.periodStart = 0;
  } else if (wanted.period == stored.period && wanted.periodAnchor == stored.periodAnchor) {
    wanted.periodStart = stored.periodStart;
  } else {
    wanted.periodStart = PolicyPeriodStart(wanted.period, wanted.periodAnchor, now);
  }
  return wanted;
}

}  // namespace tarvo::adm
