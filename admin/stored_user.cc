#include "admin/stored_user.h"

#include <strings.h>

#include <ctime>

#include "admin/policy_options.h"
#include "admin/tarvoadm/byte_size.h"

namespace tarvo::adm {

namespace {

std::string SessionsText(std::int32_t maxSessions) {
  return maxSessions == 0 ? std::string("as MultiConnect says") : std::to_string(maxSessions);
}

}  // namespace

std::int32_t ReadStoredUser(const std::string& name, StoredUser& user) {
  char password[kUserPasswordSize] = {};
  std::uint8_t locked = 0;
  user = StoredUser{};
  user.name = name;
  std::int32_t status =
      FindUserStatus(name.c_str(), password, &user.limit, &user.counter, &locked);
  explicit_bzero(password, sizeof password);  // never shown
  if (status != READER_OK) return status;
  user.locked = locked != 0;
  return GetUserPolicyStatus(name.c_str(), &user.policy);
}

std::string StoredUserText(const StoredUser& user) {
  const UserPolicy& p = user.policy;
  std::string text = "name: " + user.name;
  text += "\nlocked: " + std::string(user.locked ? "yes" : "no");
  text += "\nlimit: " + (user.limit == 0 ? std::string("none") : FormatByteSize(user.limit)) +
          " (up + down)";
  text += "\ncounter: " + std::to_string(user.counter);
  text += "\ndown: " + std::to_string(p.bytesDown);
  text += "\nup: " + std::to_string(p.bytesUp);
  text += "\nrate down: " + FormatRate(p.rateDown);
  text += "\nrate up: " + FormatRate(p.rateUp);
  text += "\nperiod: " + std::string(PeriodName(p.period));
  if (p.period != POLICY_PERIOD_NONE) {
    text += "\nperiod from: " + FormatLocalTime(p.periodAnchor);
    text += "\ncurrent period since: " + FormatLocalTime(p.periodStart);
    const std::int64_t next = PolicyNextPeriodStart(p.period, p.periodAnchor, std::time(nullptr));
    if (next > 0) text += "\nnext reset: " + FormatLocalTime(next);
  }
  text += "\nmax sessions: " + SessionsText(p.maxSessions);
  text += "\nexpires: " + (p.expires == 0 ? std::string("never") : FormatLocalTime(p.expires));
  text += "\nprotocol: " + std::string(ProtocolName(p.protocol));
  return text;
}

nlohmann::json PolicyJson(const UserPolicy& p) {
  nlohmann::json json = {{"rate_down", p.rateDown},
                         {"rate_up", p.rateUp},
                         {"period", PeriodName(p.period)},
                         {"period_anchor", p.periodAnchor},
                         {"period_start", p.periodStart},
                         {"max_sessions", p.maxSessions},
                         {"expires", p.expires},
                         {"protocol", ProtocolName(p.protocol)}};
  if (p.period != POLICY_PERIOD_NONE) {
    json["next_period_start"] =
        PolicyNextPeriodStart(p.period, p.periodAnchor, std::time(nullptr));
  }
  return json;
}

nlohmann::json StoredUserJson(const StoredUser& user) {
  nlohmann::json json = PolicyJson(user.policy);
  json["name"] = user.name;
  json["limit"] = user.limit;
  json["counter"] = user.counter;
  json["locked"] = user.locked;
  json["bytes_down"] = user.policy.bytesDown;
  json["bytes_up"] = user.policy.bytesUp;
  return json;
}

}  // namespace tarvo::adm
