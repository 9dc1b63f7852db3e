#include "server/service/api/api_routes.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

#include "external/reader.h"
#include "external/reader_policy.h"
#include "server/common/control_records.h"
#include "server/common/user_name.h"
#include "server/service/base/notifications.h"
#include "server/service/base/settings.h"
#include "server/service/base/user_figures.h"
#include "server/service/control/admin_commands.h"
#include "server/service/control/settings_reload.h"
#include "server/service/metrics/metrics_text.h"
#include "server/service/session/session_list.h"
#include "server/service/store/user_copies.h"

namespace tarvo {

namespace {

using nlohmann::json;

constexpr char kPrefix[] = "/api/v1/";
constexpr std::size_t kMaxPage = 1000;
constexpr std::size_t kMaxBulk = 10000;
constexpr std::size_t kMaxSessions = 65536;
constexpr std::size_t kMaxRelays = 65536;

HttpResponse Json(int status, const json& body) {
  return MakeResponse(status, "application/json",
                      body.dump(-1, ' ', false, json::error_handler_t::replace) + "\n");
}

HttpResponse StatusError(std::uint32_t status, const std::string& name) {
  switch (status) {
    case CTL_OK: return Json(200, {{"done", true}});
    case CTL_EXISTS: return ApiError(409, "user " + name + " exists");
    case CTL_NOT_FOUND: return ApiError(404, "no user " + name);
    default: return ApiError(500, "the user store refused or failed");
  }
}

std::string Text(const char* field, std::size_t size) {
  return std::string(field, strnlen(field, size));
}

std::string AddressText(std::uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr in{address};
  ::inet_ntop(AF_INET, &in, text, sizeof text);
  return text;
}

bool ParseAddress(const json& value, std::uint32_t& address) {
  in_addr in{};
  if (!value.is_string() || ::inet_pton(AF_INET, value.get<std::string>().c_str(), &in) != 1) {
    return false;
  }
  address = in.s_addr;
  return true;
}

std::string SessionIdText(std::uint32_t id) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", id);
  return text;
}

bool ParseSessionId(const json& value, std::uint32_t& id) {
  if (!value.is_string()) return false;
  std::string_view text = value.get_ref<const std::string&>();
  if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
  const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), id, 16);
  return !text.empty() && problem == std::errc() && end == text.data() + text.size();
}

const char* PeriodName(std::int32_t period) {
  switch (period) {
    case POLICY_PERIOD_DAILY: return "daily";
    case POLICY_PERIOD_WEEKLY: return "weekly";
    case POLICY_PERIOD_MONTHLY: return "monthly";
    default: return "none";
  }
}

json PolicyJson(const UserPolicy& policy) {
  return {{"rate_down", policy.rateDown},
          {"rate_up", policy.rateUp},
          {"period", PeriodName(policy.period)},
          {"max_sessions", policy.maxSessions},
          {"expires", policy.expires},
          {"protocol", policy.protocol == POLICY_PROTOCOL_V2_ONLY ? "v2-only" : "any"}};
}

// Applies the fields present in change to policy; the reason when one is unusable.
std::optional<std::string> ApplyPolicy(const json& change, UserPolicy& policy) {
  if (!change.is_object()) return "policy is an object";
  for (const auto& [key, value] : change.items()) {
    const bool count = value.is_number_integer() && value.get<std::int64_t>() >= 0;
    if (key == "rate_down" && count) {
      policy.rateDown = value.get<std::int64_t>();
    } else if (key == "rate_up" && count) {
      policy.rateUp = value.get<std::int64_t>();
    } else if (key == "max_sessions" && count && value.get<std::int64_t>() <= INT32_MAX) {
      policy.maxSessions = value.get<std::int32_t>();
    } else if (key == "expires" && count) {
      policy.expires = value.get<std::int64_t>();
    } else if (key == "period" && value.is_string()) {
      const std::string period = value.get<std::string>();
      if (period == "none") policy.period = POLICY_PERIOD_NONE;
      else if (period == "daily") policy.period = POLICY_PERIOD_DAILY;
      else if (period == "weekly") policy.period = POLICY_PERIOD_WEEKLY;
      else if (period == "monthly") policy.period = POLICY_PERIOD_MONTHLY;
      else return "period is none, daily, weekly or monthly";
      if (policy.periodAnchor == 0) policy.periodAnchor = std::time(nullptr);
    } else if (key == "protocol" && value.is_string() &&
               (value == "any" || value == "v2-only")) {
      policy.protocol = value == "any" ? POLICY_PROTOCOL_ANY : POLICY_PROTOCOL_V2_ONLY;
    } else {
      return "policy field " + key + " is unknown or out of range";
    }
  }
  return std::nullopt;
}

// A user record from a request body's fields; the reason when they are unusable. password is
// required for a new user.
std::optional<std::string> ReadUser(const json& body, UserInfo& r, bool needPassword) {
  r = UserInfo{};
  if (!body.is_object()) return "a user is a JSON object";
  const auto name = body.find("name");
  if (name == body.end() || !name->is_string() || name->get_ref<const std::string&>().empty() ||
      name->get_ref<const std::string&>().size() >= kUserNameSize) {
    return "name is a text of 1 to 256 characters";
  }
  std::memcpy(r.name, name->get_ref<const std::string&>().c_str(),
              name->get_ref<const std::string&>().size() + 1);
  const auto password = body.find("password");
  if (password != body.end()) {
    if (!password->is_string() || password->get_ref<const std::string&>().size() >=
                                      kUserPasswordSize) {
      return "password is a text of at most 256 characters";
    }
    std::memcpy(r.password, password->get_ref<const std::string&>().c_str(),
                password->get_ref<const std::string&>().size() + 1);
  } else if (needPassword) {
    return "password is required";
  }
  const auto limit = body.find("limit");
  if (limit != body.end()) {
    if (!limit->is_number_integer() || limit->get<std::int64_t>() < 0) {
      return "limit is a count of bytes, 0 for none";
    }
    r.limit = limit->get<std::int64_t>();
  }
  return std::nullopt;
}

// Tells the event stream of a change made here, as the control channel's changes are told.
void TellChanged(std::uint32_t code, const UserInfo& r) {
  UserInfo told = r;
  explicit_bzero(told.password, sizeof told.password);
  if (code == NTF_USER_DELETED) {
    TapNotification(code, told.name, strnlen(told.name, sizeof told.name) + 1);
  } else {
    TapNotification(code, &told, sizeof told);
  }
}

json UserJson(const UserInfo& r) {
  return {{"name", Text(r.name, sizeof r.name)},
          {"limit", r.limit},
          {"counter", r.counter},
          {"locked", r.locked != 0}};
}

struct ListedUser {
  std::string name;
  std::string folded;  // for search and order
  std::int64_t limit;
  std::int64_t counter;
  bool locked;
};

json UserJson(const ListedUser& user) {
  return {{"name", user.name},
          {"limit", user.limit},
          {"counter", user.counter},
          {"locked", user.locked}};
}

// A page of the store's users, without passwords: how many match in all, -1 when the store
// failed.
std::int64_t ReadUserPage(const std::string& search, std::int32_t column, bool descending,
                          std::size_t offset, std::size_t limit, std::vector<ListedUser>& users) {
  const auto visit = [](void* context, const char* name, std::int64_t userLimit,
                        std::int64_t counter, std::uint8_t locked) {
    static_cast<std::vector<ListedUser>*>(context)->push_back(
        {name, FoldUserName(name), userLimit, counter, locked != 0});
  };
  return VisitUserPage(search.c_str(), column, descending ? 1 : 0,
                       static_cast<std::int64_t>(offset), static_cast<std::int64_t>(limit), visit,
                       &users);
}

std::optional<std::size_t> Count(const HttpRequest& request, const char* name,
                                 std::size_t fallback) {
  const auto text = request.parameter(name);
  if (!text) return fallback;
  std::size_t value = 0;
  const auto [end, problem] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (problem != std::errc() || end != text->data() + text->size()) return std::nullopt;
  return value;
}

HttpResponse ListUsers(const HttpRequest& request) {
  const auto offset = Count(request, "offset", 0);
  const auto limit = Count(request, "limit", 100);
  if (!offset || !limit || *limit == 0 || *limit > kMaxPage) {
    return ApiError(400, "offset is a count and limit a count from 1 to 1000");
  }
  const std::string sort = request.parameter("sort").value_or("name");
  const bool descending = sort.starts_with("-");
  const std::string key = descending ? sort.substr(1) : sort;
  if (key != "name" && key != "limit" && key != "counter" && key != "locked") {
    return ApiError(400, "sort is name, limit, counter or locked, with '-' for descending");
  }
  // The store pages, searches and orders: the daemon reads only the page.
  const std::int32_t column = key == "name" ? 0 : key == "limit" ? 1 : key == "counter" ? 2 : 3;
  const std::string search = request.parameter("search").value_or("");
  if (search.size() >= kUserNameSize) return ApiError(400, "search is at most 256 characters");
  std::vector<ListedUser> users;
  const std::int64_t total = ReadUserPage(search, column, descending, *offset, *limit, users);
  if (total < 0) return ApiError(500, "the user store failed");
  json page = json::array();
  for (const ListedUser& user : users) page.push_back(UserJson(user));
  return Json(200, {{"total", total}, {"offset", *offset}, {"users", page}});
}

HttpResponse ReadOneUser(const std::string& name) {
  char password[kUserPasswordSize] = {};
  UserInfo r{};
  const std::int32_t status = FindUserStatus(name.c_str(), password, &r.limit, &r.counter,
                                             &r.locked);
  explicit_bzero(password, sizeof password);
  if (status == READER_NO_USER) return ApiError(404, "no user " + name);
  if (status != READER_OK) return ApiError(500, "the user store failed");
  std::memcpy(r.name, name.c_str(), std::min(name.size(), kUserNameSize - 1));
  json user = UserJson(r);
  UserPolicy policy{};
  if (GetUserPolicyStatus(name.c_str(), &policy) == READER_OK) {
    user["policy"] = PolicyJson(policy);
    user["bytes_down"] = policy.bytesDown;
    user["bytes_up"] = policy.bytesUp;
  }
  return Json(200, user);
}

HttpResponse CreateUser(const json& body) {
  UserInfo r;
  if (const auto why = ReadUser(body, r, true)) return ApiError(400, *why);
  const std::uint32_t status = AddUserCmd(r);
  explicit_bzero(r.password, sizeof r.password);
  if (status != CTL_OK) return StatusError(status, r.name);
  TellChanged(NTF_USER_ADDED, r);
  return Json(201, UserJson(r));
}

// All rows checked before any is written; then all written, or, when the store fails part way,
// the ones written are taken back.
HttpResponse CreateUsers(const json& body) {
  const auto rows = body.is_object() ? body.find("users") : body.end();
  if (rows == body.end() || !rows->is_array() || rows->empty() || rows->size() > kMaxBulk) {
    return ApiError(400, "users is an array of 1 to 10000 users");
  }
  std::vector<UserInfo> users(rows->size());
  json refused = json::array();
  std::set<std::string> seen;
  for (std::size_t i = 0; i < rows->size(); ++i) {
    std::optional<std::string> why = ReadUser((*rows)[i], users[i], true);
    if (!why && !seen.insert(FoldUserName(users[i].name)).second) {
      why = "the name is given twice";
    }
    if (!why) {
      char password[kUserPasswordSize];
      std::int64_t limit, counter;
      std::uint8_t locked;
      const std::int32_t status = FindUserStatus(users[i].name, password, &limit, &counter,
                                                 &locked);
      explicit_bzero(password, sizeof password);
      if (status == READER_OK) why = "the user exists";
      if (status == READER_FAILED) why = "the user store failed";
    }
    if (why) {
      const json& row = (*rows)[i];
      refused.push_back({{"row", i},
                         {"name", row.is_object() && row.contains("name") ? row["name"] : json()},
                         {"reason", *why}});
    }
  }
  const auto wipe = [&] {
    for (UserInfo& user : users) explicit_bzero(user.password, sizeof user.password);
  };
  if (!refused.empty()) {
    wipe();
    return Json(422, {{"error", "no user was created: some rows were refused"},
                      {"refused", refused}});
  }
  for (std::size_t i = 0; i < users.size(); ++i) {
    const std::uint32_t status = AddUserCmd(users[i]);
    if (status == CTL_OK) continue;
    for (std::size_t j = 0; j < i; ++j) DeleteUserCmd(users[j]);
    wipe();
    return Json(status == CTL_EXISTS ? 409 : 500,
                {{"error", "no user was created: row " + std::to_string(i) +
                               (status == CTL_EXISTS ? " was created meanwhile"
                                                     : " failed in the store")},
                 {"refused", json::array({{{"row", i}, {"name", users[i].name},
                                           {"reason", status == CTL_EXISTS ? "the user exists"
                                                                           : "store failed"}}})}});
  }
  wipe();
  for (const UserInfo& user : users) TellChanged(NTF_USER_ADDED, user);
  return Json(201, {{"created", users.size()}});
}

HttpResponse ChangeUser(const std::string& name, const json& body) {
  if (!body.is_object()) return ApiError(400, "the change is a JSON object");
  for (const auto& [key, value] : body.items()) {
    if (key != "password" && key != "limit" && key != "policy") {
      return ApiError(400, "only password, limit and policy can be changed");
    }
  }
  json fields = body;
  fields["name"] = name;
  UserInfo r;
  if (const auto why = ReadUser(fields, r, false)) return ApiError(400, *why);
  UserInfo stored{};
  const std::int32_t status =
      FindUserStatus(r.name, stored.password, &stored.limit, &stored.counter, &stored.locked);
  if (status == READER_NO_USER) return ApiError(404, "no user " + name);
  if (status != READER_OK) return ApiError(500, "the user store failed");
  if (!body.contains("password")) std::memcpy(r.password, stored.password, sizeof r.password);
  if (!body.contains("limit")) r.limit = stored.limit;
  explicit_bzero(stored.password, sizeof stored.password);
  if (body.contains("policy")) {
    UserPolicy policy{};
    if (GetUserPolicyStatus(r.name, &policy) != READER_OK) {
      return ApiError(500, "the user store failed");
    }
    if (const auto why = ApplyPolicy(body["policy"], policy)) return ApiError(400, *why);
    if (SetUserPolicyStatus(r.name, &policy) != READER_OK) {
      return ApiError(500, "the user store refused the policy");
    }
  }
  if (body.contains("password") || body.contains("limit")) {
    const std::uint32_t updated = UpdateUserCmd(r);
    explicit_bzero(r.password, sizeof r.password);
    if (updated != CTL_OK) return StatusError(updated, name);
  } else {
    RefreshUserCopyNow(r.name);
  }
  explicit_bzero(r.password, sizeof r.password);
  HttpResponse response = ReadOneUser(name);
  r.counter = stored.counter;
  r.locked = stored.locked;
  TellChanged(NTF_USER_CHANGED, r);
  return response;
}

HttpResponse UserAction(const std::string& name, const std::string& action) {
  UserInfo r{};
  if (name.empty() || name.size() >= kUserNameSize) return ApiError(404, "no user " + name);
  std::memcpy(r.name, name.c_str(), name.size());
  std::uint32_t status;
  if (action == "lock" || action == "unlock") {
    r.locked = action == "lock" ? 1 : 0;
    bool changed = false;
    status = SetLockCmd(r, changed);
    explicit_bzero(r.password, sizeof r.password);
    if (status != CTL_OK) return StatusError(status, name);
    json user = UserJson(r);
    user["changed"] = changed;
    TellChanged(NTF_USER_CHANGED, r);
    return Json(200, user);
  }
  if (action == "reset") {
    // The command does not tell a missing user from a failing store: ask first.
    char password[kUserPasswordSize];
    std::int64_t limit, counter;
    std::uint8_t locked;
    const std::int32_t found = FindUserStatus(r.name, password, &limit, &counter, &locked);
    explicit_bzero(password, sizeof password);
    if (found == READER_NO_USER) return ApiError(404, "no user " + name);
    status = ResetCounterCmd(r);
    explicit_bzero(r.password, sizeof r.password);
    if (status != CTL_OK) return StatusError(status, name);
    TellChanged(NTF_USER_CHANGED, r);
    return Json(200, UserJson(r));
  }
  return ApiError(404, "no such request");
}

// The sessions as the control request lists them, in a reply sized for them (with room for a
// few logging in meanwhile) rather than for the most there can be.
std::vector<UserInfo> SessionRecords() {
  std::size_t room;
  {
    MutexLock lock(NetworkLock);
    room = std::min(Sessions().size() + 64, kMaxSessions);
  }
  std::vector<UserInfo> reply(room);
  const std::uint32_t count = ListSessionsCmd(std::span<std::uint8_t>(
      reinterpret_cast<std::uint8_t*>(reply.data()), room * sizeof(UserInfo)));
  reply.resize(count);
  return reply;
}

// ?all=true: every daemon sharing the store, each session with its daemon.
HttpResponse ListAllSessions() {
  std::vector<DaemonSessionInfo> all;
  if (!ListAllSessions(all)) return ApiError(503, "the shared store did not answer");
  json sessions = json::array();
  for (const DaemonSessionInfo& s : all) {
    sessions.push_back({{"name", Text(s.name, sizeof s.name)},
                        {"address", AddressText(s.address)},
                        {"session_id", SessionIdText(s.sessionId)},
                        {"protocol", s.protocol == kSessionProtocolV2 ? "v2" : "v1"},
                        {"daemon", Text(s.daemon, sizeof s.daemon)}});
  }
  return Json(200, {{"sessions", sessions}});
}

HttpResponse ListSessions(const HttpRequest& request) {
  const std::string all = request.parameter("all").value_or("false");
  if (all != "true" && all != "false") return ApiError(400, "all is true or false");
  if (all == "true") return ListAllSessions();
  json sessions = json::array();
  for (const UserInfo& s : SessionRecords()) {
    sessions.push_back({{"name", Text(s.name, sizeof s.name)},
                        {"address", AddressText(s.address)},
                        {"session_id", SessionIdText(s.sessionId)},
                        {"protocol", s.protocol == kSessionProtocolV2 ? "v2" : "v1"}});
  }
  return Json(200, {{"sessions", sessions}});
}

// name, address and session_id, from a body or from query parameters.
std::optional<std::string> ReadSession(const json& fields, UserInfo& r) {
  r = UserInfo{};
  const auto name = fields.find("name");
  if (name == fields.end() || !name->is_string() ||
      name->get_ref<const std::string&>().size() >= kUserNameSize) {
    return "name is the session's user";
  }
  std::memcpy(r.name, name->get_ref<const std::string&>().c_str(),
              name->get_ref<const std::string&>().size() + 1);
  if (!fields.contains("address") || !ParseAddress(fields["address"], r.address)) {
    return "address is the session's dotted IPv4 address";
  }
  if (!fields.contains("session_id") || !ParseSessionId(fields["session_id"], r.sessionId)) {
    return "session_id is the session's id in hexadecimal";
  }
  return std::nullopt;
}

HttpResponse Disconnect(const json& body) {
  UserInfo r;
  if (!body.is_object()) return ApiError(400, "the session is a JSON object");
  if (const auto why = ReadSession(body, r)) return ApiError(400, *why);
  if (DisconnectSessionCmd(r) != CTL_OK) {
    // Ended only by the daemon that holds it.
    const std::string daemon = DaemonOfSession(r);
    if (!daemon.empty()) {
      return ApiError(409, "the session is on daemon " + daemon + ": disconnect it there");
    }
    return ApiError(404, "no such session");
  }
  return Json(200, {{"done", true}});
}

HttpResponse SendMessage(const json& body) {
  std::uint32_t address = 0;
  if (!body.is_object() || !body.contains("address") || !ParseAddress(body["address"], address)) {
    return ApiError(400, "address is the sessions' dotted IPv4 address");
  }
  const auto text = body.find("text");
  if (text == body.end() || !text->is_string() || text->get_ref<const std::string&>().empty() ||
      text->get_ref<const std::string&>().size() > 1023 ||
      text->get_ref<const std::string&>().find('\0') != std::string::npos) {
    return ApiError(400, "text is 1 to 1023 characters");
  }
  SendMessageCmd(address, text->get_ref<const std::string&>());
  return Json(200, {{"done", true}});
}

HttpResponse ListRelays(const HttpRequest& request) {
  json fields = json::object();
  for (const char* name : {"name", "address", "session_id"}) {
    if (const auto value = request.parameter(name)) fields[name] = *value;
  }
  UserInfo r;
  if (const auto why = ReadSession(fields, r)) return ApiError(400, *why);
  auto reply = std::make_unique<RelayInfo[]>(kMaxRelays);
  const std::uint32_t count = ListRelaysCmd(
      r.address, r.sessionId, r.name,
      std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(reply.get()),
                              kMaxRelays * sizeof(RelayInfo)));
  json relays = json::array();
  for (std::uint32_t i = 0; i < count; ++i) {
    relays.push_back({{"address", AddressText(reply[i].address)},
                      {"port", reply[i].port},
                      {"source_port", reply[i].sourcePort},
                      {"connected", reply[i].connectedOrSessionId != 0}});
  }
  return Json(200, {{"relays", relays}});
}

// The lines beyond the seven that the API shows and changes; applied at the next start.
struct ExtraLine {
  const char* key;
  std::string ServerSettingsRecord::*text;
  bool ServerSettingsRecord::*flag;
};
constexpr ExtraLine kExtraLines[] = {
    {"udp_address_restricted", nullptr, &ServerSettingsRecord::UdpAddressRestricted},
    {"metrics_address", &ServerSettingsRecord::MetricsAddress, nullptr},
    {"metrics_per_user", nullptr, &ServerSettingsRecord::MetricsPerUser},
    {"trusted_balancers", &ServerSettingsRecord::TrustedBalancers, nullptr},
    {"protocol_v1_refused", nullptr, &ServerSettingsRecord::ProtocolV1Refused},
    {"tls_certificate", &ServerSettingsRecord::TlsCertificate, nullptr},
    {"tls_key", &ServerSettingsRecord::TlsKey, nullptr},
    {"api_address", &ServerSettingsRecord::ApiAddress, nullptr},
    {"api_certificate", &ServerSettingsRecord::ApiCertificate, nullptr},
    {"api_key", &ServerSettingsRecord::ApiKey, nullptr},
};

HttpResponse ReadSettings() {
  SettingsRecord record{};
  GetSettingsCmd(std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(&record), sizeof record));
  json extra = json::object();
  {
    MutexLock lock(NetworkLock);
    for (const ExtraLine& line : kExtraLines) {
      if (line.text != nullptr) extra[line.key] = ServerSettings.*line.text;
      else extra[line.key] = ServerSettings.*line.flag;
    }
  }
  return Json(200, {{"min_client_version", Text(record.MinClientVersion,
                                                sizeof record.MinClientVersion)},
                    {"server_port", record.ServerPort},
                    {"multi_connect", record.MultiConnect != 0},
                    {"audit_type", record.AuditType},
                    {"hide_pwd", record.HidePwd != 0},
                    {"store_encrypted_pwd", record.StoreEncryptedPwd != 0},
                    {"auto_refresh", record.AutoRefresh != 0},
                    {"extra", extra}});
}

HttpResponse ChangeSettings(const json& body) {
  if (!body.is_object()) return ApiError(400, "the change is a JSON object");
  SettingsRecord record{};
  GetSettingsCmd(std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(&record), sizeof record));
  std::map<std::string, json> extra;
  for (const auto& [key, value] : body.items()) {
    if (key == "min_client_version" && value.is_string() &&
        !value.get_ref<const std::string&>().empty() &&
        value.get_ref<const std::string&>().size() < sizeof record.MinClientVersion &&
        value.get_ref<const std::string&>().find_first_of("\r\n") == std::string::npos) {
      std::memset(record.MinClientVersion, 0, sizeof record.MinClientVersion);
      std::memcpy(record.MinClientVersion, value.get_ref<const std::string&>().data(),
                  value.get_ref<const std::string&>().size());
    } else if (key == "server_port" && value.is_number_integer() && value.get<int>() >= 1 &&
               value.get<int>() <= 65535) {
      record.ServerPort = value.get<int>();
    } else if (key == "audit_type" && value.is_number_integer() &&
               value.get<std::int64_t>() >= 0 && value.get<std::int64_t>() <= INT32_MAX) {
      record.AuditType = value.get<std::int32_t>();
    } else if (key == "multi_connect" && value.is_boolean()) {
      record.MultiConnect = value.get<bool>();
    } else if (key == "hide_pwd" && value.is_boolean()) {
      record.HidePwd = value.get<bool>();
    } else if (key == "store_encrypted_pwd" && value.is_boolean()) {
      record.StoreEncryptedPwd = value.get<bool>();
    } else if (key == "auto_refresh" && value.is_boolean()) {
      record.AutoRefresh = value.get<bool>();
    } else if (key == "extra" && value.is_object()) {
      for (const auto& [name, line] : value.items()) {
        const auto known = std::find_if(std::begin(kExtraLines), std::end(kExtraLines),
                                        [&wanted = name](const ExtraLine& e) { return wanted == e.key; });
        const bool fits = known != std::end(kExtraLines) &&
                          (known->text != nullptr
                               ? line.is_string() && line.get_ref<const std::string&>().find_first_of(
                                                         "\r\n") == std::string::npos
                               : line.is_boolean());
        if (!fits) return ApiError(400, "extra." + name + " is unknown or of the wrong type");
        extra[name] = line;
      }
    } else {
      return ApiError(400, key + " is unknown or out of range");
    }
  }
  if (!extra.empty()) {
    MutexLock lock(NetworkLock);
    for (const ExtraLine& line : kExtraLines) {
      const auto change = extra.find(line.key);
      if (change == extra.end()) continue;
      if (line.text != nullptr) ServerSettings.*line.text = change->second.get<std::string>();
      else ServerSettings.*line.flag = change->second.get<bool>();
    }
  }
  // Saves the file, the extra lines with it, and moves the port when it changed.
  SetSettingsCmd(record);
  // The file now holds the change: read it again as a reload does, so that every line a reload
  // applies (the protocol's key and certificate among them) applies now.
  if (!extra.empty()) ReloadSettings();
  HttpResponse response = ReadSettings();
  std::string atStart;
  for (const char* line : {"metrics_address", "api_address", "api_certificate", "api_key"}) {
    if (extra.count(line) != 0) atStart += (atStart.empty() ? "" : ", ") + std::string(line);
  }
  if (!atStart.empty()) response.headers["X-Applies"] = "at the next start: " + atStart;
  return response;
}

json ServiceFigures() {
  // Every unlabelled sample of the metrics, by name.
  json figures = json::object();
  const std::string text = CurrentMetricsText();
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view line(text.data() + at, end - at);
    at = end + 1;
    if (line.empty() || line[0] == '#' || line.find('{') != std::string_view::npos) continue;
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) continue;
    figures[std::string(line.substr(0, space))] = std::strtod(
        std::string(line.substr(space + 1)).c_str(), nullptr);
  }
  return figures;
}

// A page of users' usage, in name order (offset and limit as for the users), or one user's.
HttpResponse Usage(const HttpRequest& request, const std::optional<std::string>& only) {
  const auto offset = Count(request, "offset", 0);
  const auto limit = Count(request, "limit", 100);
  if (!offset || !limit || *limit == 0 || *limit > kMaxPage) {
    return ApiError(400, "offset is a count and limit a count from 1 to 1000");
  }
  std::map<std::string, std::int64_t> sessions;
  for (const UserInfo& session : SessionRecords()) ++sessions[FoldUserName(session.name)];
  std::vector<ListedUser> users;
  std::int64_t total = 0;
  if (only) {
    char password[kUserPasswordSize];
    ListedUser user{*only, FoldUserName(*only), 0, 0, false};
    std::uint8_t locked = 0;
    const std::int32_t status =
        FindUserStatus(only->c_str(), password, &user.limit, &user.counter, &locked);
    explicit_bzero(password, sizeof password);
    if (status == READER_NO_USER) return ApiError(404, "no user " + *only);
    if (status != READER_OK) return ApiError(500, "the user store failed");
    users.push_back(user);
  } else {
    total = ReadUserPage("", 0, false, *offset, *limit, users);
    if (total < 0) return ApiError(500, "the user store failed");
  }
  json list = json::array();
  for (const ListedUser& user : users) {
    UserPolicy policy{};
    GetUserPolicyStatus(user.name.c_str(), &policy);
    const auto open = sessions.find(user.folded);
    list.push_back({{"name", user.name},
                    {"counter", user.counter},
                    {"limit", user.limit},
                    {"bytes_down", policy.bytesDown},
                    {"bytes_up", policy.bytesUp},
                    {"period", PeriodName(policy.period)},
                    {"period_start", policy.periodStart},
                    {"sessions", open == sessions.end() ? 0 : open->second}});
  }
  if (only) return Json(200, list[0]);
  return Json(200, {{"total", total}, {"offset", *offset}, {"users", list},
                    {"service", ServiceFigures()}});
}

HttpResponse Tokens(const HttpRequest& request, const std::vector<std::string>& parts,
                    const json& body, ApiTokens& tokens) {
  if (parts.size() == 1 && request.method == "GET") {
    const auto entries = tokens.list();
    if (!entries) return ApiError(503, "the store cannot be read");
    json list = json::array();
    for (const ApiTokenEntry& entry : *entries) {
      list.push_back({{"name", entry.name}, {"role", RoleName(entry.role)},
                      {"created", entry.created}});
    }
    return Json(200, {{"tokens", list}});
  }
  if (parts.size() == 1 && request.method == "POST") {
    const auto name = body.is_object() ? body.find("name") : body.end();
    const auto role = body.is_object() ? body.find("role") : body.end();
    const std::string roleText =
        role != body.end() && role->is_string() ? role->get<std::string>() : std::string();
    const ApiRole parsed = ParseRole(roleText).value_or(ApiRole::Auditor);
    if (name == body.end() || !name->is_string() || !ParseRole(roleText)) {
      return ApiError(400, "name is the token's name and role admin, operator or auditor");
    }
    std::string why;
    int status = 400;
    const auto secret = tokens.create(name->get<std::string>(), parsed, why, status);
    if (!secret) return ApiError(status, why);
    return Json(201, {{"name", *name}, {"role", RoleName(parsed)}, {"token", *secret}});
  }
  if (parts.size() == 2 && request.method == "DELETE") {
    switch (tokens.revoke(parts[1])) {
      case TokenChange::kDone: break;
      case TokenChange::kNone: return ApiError(404, "no token " + parts[1]);
      case TokenChange::kStoreFailed: return ApiError(503, "the store cannot be written");
    }
    return Json(200, {{"done", true}});
  }
  return ApiError(405, "not served");
}

std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t at = 0;
  while (at <= path.size()) {
    const std::size_t slash = std::min(path.find('/', at), path.size());
    std::string part;
    if (!PercentDecode(std::string_view(path).substr(at, slash - at), part)) return {};
    parts.push_back(std::move(part));
    at = slash + 1;
  }
  return parts;
}

}  // namespace

HttpResponse ApiError(int status, const std::string& reason) {
  return Json(status, {{"error", reason}});
}

HttpResponse RouteApiRequest(const HttpRequest& request, ApiRole role, ApiTokens& tokens) {
  if (!request.path.starts_with(kPrefix)) return ApiError(404, "the API is under /api/v1/");
  const std::vector<std::string> parts = Split(request.path.substr(std::strlen(kPrefix)));
  if (parts.empty() || parts[0].empty()) return ApiError(404, "no such resource");
  const std::string& what = parts[0];
  const bool reads = request.method == "GET" || request.method == "HEAD";

  // Who may do what: auditors read; operators also change users and sessions; admins also
  // change settings and hold the tokens.
  const bool adminOnly = what == "tokens" || (what == "settings" && !reads);
  if (adminOnly && role != ApiRole::Admin) return ApiError(403, "an admin token is needed");
  if (!reads && role == ApiRole::Auditor) return ApiError(403, "an auditor token only reads");

  json body;
  if (!reads) {
    body = json::parse(request.body.empty() ? std::string("{}") : request.body, nullptr, false);
    if (body.is_discarded()) return ApiError(400, "the body is not JSON");
  }
  std::lock_guard serialized(AdminRequestLock);
  if (what == "tokens") return Tokens(request, parts, body, tokens);
  const std::string& method = request.method;
  if (what == "users") {
    if (parts.size() == 1 && reads) return ListUsers(request);
    if (parts.size() == 1 && method == "POST") return CreateUser(body);
    if (parts.size() == 2 && parts[1] == "bulk" && method == "POST") return CreateUsers(body);
    if (parts.size() == 2 && reads) return ReadOneUser(parts[1]);
    if (parts.size() == 2 && method == "PATCH") return ChangeUser(parts[1], body);
    if (parts.size() == 2 && method == "DELETE") {
      UserInfo r{};
      if (parts[1].empty() || parts[1].size() >= kUserNameSize) {
        return ApiError(404, "no user " + parts[1]);
      }
      std::memcpy(r.name, parts[1].c_str(), parts[1].size());
      const std::uint32_t status = DeleteUserCmd(r);
      if (status == CTL_OK) TellChanged(NTF_USER_DELETED, r);
      return StatusError(status, parts[1]);
    }
    if (parts.size() == 3 && method == "POST") return UserAction(parts[1], parts[2]);
  } else if (what == "sessions") {
    if (parts.size() == 1 && reads) return ListSessions(request);
    if (parts.size() == 2 && parts[1] == "relays" && reads) return ListRelays(request);
    if (parts.size() == 2 && parts[1] == "disconnect" && method == "POST") return Disconnect(body);
  } else if (what == "messages" && parts.size() == 1 && method == "POST") {
    return SendMessage(body);
  } else if (what == "settings" && parts.size() == 1) {
    if (reads) return ReadSettings();
    if (method == "PATCH") return ChangeSettings(body);
  } else if (what == "usage" && reads) {
    if (parts.size() == 1) return Usage(request, std::nullopt);
    if (parts.size() == 2) return Usage(request, parts[1]);
  }
  return ApiError(404, "no such resource or method");
}

}  // namespace tarvo
