// tarvoadm settings [set KEY=VALUE ...], sessions, relays, disconnect, message.
#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "admin/tarvoadm/command.h"
#include "server/common/user_name.h"

namespace tarvo::adm {

namespace {

nlohmann::json SettingsJson(const SettingsRecord& s) {
  return {{"MinClientVersion", s.MinClientVersion},
          {"ServerPort", s.ServerPort},
          {"MultiConnect", s.MultiConnect != 0},
          {"AuditType", s.AuditType},
          {"HidePwd", s.HidePwd != 0},
          {"StoreEncryptedPwd", s.StoreEncryptedPwd != 0},
          {"AutoRefresh", s.AutoRefresh != 0}};
}

std::string SettingsText(const SettingsRecord& s) {
  auto yesNo = [](std::uint32_t flag) { return flag ? std::string("yes") : std::string("no"); };
  return "MinClientVersion=" + std::string(s.MinClientVersion) +
         "\nServerPort=" + std::to_string(s.ServerPort) +
         "\nMultiConnect=" + yesNo(s.MultiConnect) + "\nAuditType=" + std::to_string(s.AuditType) +
         "\nHidePwd=" + yesNo(s.HidePwd) + "\nStoreEncryptedPwd=" + yesNo(s.StoreEncryptedPwd) +
         "\nAutoRefresh=" + yesNo(s.AutoRefresh);
}

bool ParseFlag(const std::string& text, std::uint32_t& flag) {
  for (const char* yes : {"yes", "1", "true", "on"}) {
    if (strcasecmp(text.c_str(), yes) == 0) return flag = 1, true;
  }
  for (const char* no : {"no", "0", "false", "off"}) {
    if (strcasecmp(text.c_str(), no) == 0) return flag = 0, true;
  }
  return false;
}

bool ParseInt(const std::string& text, long low, long high, std::int32_t& out) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || errno != 0 || *end != '\0' || value < low || value > high) return false;
  out = static_cast<std::int32_t>(value);
  return true;
}

// Applies one KEY=VALUE; an error text, or empty.
std::string ApplySetting(const std::string& assignment, SettingsRecord& s) {
  const auto equals = assignment.find('=');
  if (equals == std::string::npos) return "expected KEY=VALUE, got '" + assignment + "'";
  const std::string key = assignment.substr(0, equals);
  const std::string value = assignment.substr(equals + 1);
  auto is = [&](const char* name) { return strcasecmp(key.c_str(), name) == 0; };
  bool ok = true;
  if (is("MinClientVersion")) {
    ok = !value.empty() && value.size() < sizeof s.MinClientVersion;
    if (ok) {
      std::memset(s.MinClientVersion, 0, sizeof s.MinClientVersion);
      value.copy(s.MinClientVersion, value.size());
    }
  } else if (is("ServerPort")) {
    ok = ParseInt(value, 1, 65535, s.ServerPort);
  } else if (is("AuditType")) {
    ok = ParseInt(value, 0, 0x7FFFFFFF, s.AuditType);
  } else if (is("MultiConnect")) {
    ok = ParseFlag(value, s.MultiConnect);
  } else if (is("HidePwd")) {
    ok = ParseFlag(value, s.HidePwd);
  } else if (is("StoreEncryptedPwd")) {
    ok = ParseFlag(value, s.StoreEncryptedPwd);
  } else if (is("AutoRefresh")) {
    ok = ParseFlag(value, s.AutoRefresh);
  } else {
    return "unknown setting '" + key +
           "' (MinClientVersion, ServerPort, MultiConnect, AuditType, HidePwd, "
           "StoreEncryptedPwd, AutoRefresh)";
  }
  return ok ? std::string() : "bad value for " + key + ": '" + value + "'";
}

// NAME ADDRESS SESSION_ID; an error text, or empty.
std::string ParseSession(const std::vector<std::string>& args, std::uint32_t& address,
                         std::uint32_t& id) {
  if (args.size() != 3) return "expected NAME ADDRESS SESSION_ID";
  if (args[0].empty() || args[0].size() >= kUserNameSize) return "bad user name";
  if (!ParseAddress(args[1], address)) return "bad IPv4 address '" + args[1] + "'";
  if (!ParseSessionId(args[2], id)) return "bad session id '" + args[2] + "'";
  return {};
}

}  // namespace

int SettingsCommand(Context& context) {
  const auto& args = context.args;
  const bool setting = !args.empty() && args[0] == "set";
  if (!args.empty() && !setting)
    return UsageError(context, "unknown settings action '" + args[0] + "'");
  if (setting && args.size() < 2) return UsageError(context, "settings set needs KEY=VALUE ...");
  SettingsRecord scratch{};
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (std::string problem = ApplySetting(args[i], scratch); !problem.empty()) {
      return UsageError(context, problem);
    }
  }
  if (auto failed = Connect(context)) return *failed;
  SettingsRecord settings{};
  if (context.client->CtlGetSettings(settings) != CTL_OK || !context.client->lastDelivered()) {
    return NotDelivered(context);
  }
  if (!setting)
    return Done(context, SettingsText(settings), {{"settings", SettingsJson(settings)}});
  for (std::size_t i = 1; i < args.size(); ++i) ApplySetting(args[i], settings);
  context.client->CtlSetSettings(settings);
  if (!context.client->lastDelivered()) return NotDelivered(context);
  return Done(context, SettingsText(settings), {{"settings", SettingsJson(settings)}});
}

namespace {

// --all: every daemon sharing the store, with a DAEMON column.
int AllSessionsCommand(Context& context) {
  std::vector<DaemonSessionInfo> sessions;
  const std::uint32_t status = context.client->CtlListAllSessions(sessions);
  if (!context.client->lastDelivered()) return NotDelivered(context);
  if (status != CTL_OK) return Fail(context, kRefused, "the shared store did not answer");
  nlohmann::json list = nlohmann::json::array();
  std::string text = "DAEMON\tNAME\tADDRESS\tSESSION_ID\tPROTOCOL";
  for (const DaemonSessionInfo& session : sessions) {
    const char* protocol = session.protocol == kSessionProtocolV2 ? "v2" : "v1";
    list.push_back({{"daemon", session.daemon},
                    {"name", session.name},
                    {"address", FormatAddress(session.address)},
                    {"session_id", session.sessionId},
                    {"protocol", protocol}});
    text += '\n';
    text += std::string(session.daemon) + "\t" + session.name + "\t" +
            FormatAddress(session.address) + "\t" + FormatSessionId(session.sessionId) + "\t" +
            protocol;
  }
  return Done(context, text, {{"sessions", list}});
}

// The daemon that holds a session this one does not; empty when none does.
std::string OtherDaemonOf(Context& context, const std::string& name, std::uint32_t address,
                          std::uint32_t id) {
  std::vector<DaemonSessionInfo> sessions;
  if (context.client->CtlListAllSessions(sessions) != CTL_OK) return {};
  for (const DaemonSessionInfo& session : sessions) {
    if (session.address == address && session.sessionId == id && SameUserName(session.name, name)) {
      return session.daemon;
    }
  }
  return {};
}

}  // namespace

int SessionsCommand(Context& context) {
  const bool all = context.args.size() == 1 && context.args[0] == "--all";
  if (!context.args.empty() && !all) return UsageError(context, "sessions takes only --all");
  if (auto failed = Connect(context)) return *failed;
  if (all) return AllSessionsCommand(context);
  std::vector<UserInfo> sessions;
  context.client->CtlListSessions(sessions);
  if (!context.client->lastDelivered()) return NotDelivered(context);
  nlohmann::json list = nlohmann::json::array();
  std::string text = "NAME\tADDRESS\tSESSION_ID\tPROTOCOL";
  for (const UserInfo& session : sessions) {
    const char* protocol = session.protocol == kSessionProtocolV2 ? "v2" : "v1";
    list.push_back({{"name", session.name},
                    {"address", FormatAddress(session.address)},
                    {"session_id", session.sessionId},
                    {"protocol", protocol}});
    text += '\n';
    text += std::string(session.name) + "\t" + FormatAddress(session.address) + "\t" +
            FormatSessionId(session.sessionId) + "\t" + protocol;
  }
  return Done(context, text, {{"sessions", list}});
}

int RelaysCommand(Context& context) {
  std::uint32_t address = 0, id = 0;
  if (std::string problem = ParseSession(context.args, address, id); !problem.empty()) {
    return UsageError(context, "relays: " + problem);
  }
  if (auto failed = Connect(context)) return *failed;
  std::vector<RelayInfo> relays;
  context.client->CtlListRelays(context.args[0], address, id, relays);
  if (!context.client->lastDelivered()) return NotDelivered(context);
  nlohmann::json list = nlohmann::json::array();
  std::string text = "DESTINATION\tSOURCE_PORT\tCONNECTED";
  for (const RelayInfo& relay : relays) {
    const std::string destination = FormatAddress(relay.address) + ":" + std::to_string(relay.port);
    list.push_back({{"destination", FormatAddress(relay.address)},
                    {"port", relay.port},
                    {"source_port", relay.sourcePort},
                    {"connected", relay.connectedOrSessionId != 0}});
    text += "\n" + destination + "\t" + std::to_string(relay.sourcePort) + "\t" +
            (relay.connectedOrSessionId ? "yes" : "no");
  }
  return Done(context, text, {{"relays", list}});
}

int DisconnectCommand(Context& context) {
  std::uint32_t address = 0, id = 0;
  if (std::string problem = ParseSession(context.args, address, id); !problem.empty()) {
    return UsageError(context, "disconnect: " + problem);
  }
  if (auto failed = Connect(context)) return *failed;
  const std::uint32_t status = context.client->CtlDisconnectSession(context.args[0], address, id);
  if (!context.client->lastDelivered()) return NotDelivered(context);
  if (status != CTL_OK) {
    // Ended only by the daemon that holds it.
    const std::string daemon = OtherDaemonOf(context, context.args[0], address, id);
    if (!daemon.empty()) {
      return Fail(context, kRefused,
                  "session " + FormatSessionId(id) + " of '" + context.args[0] +
                      "' is on daemon " + daemon + ": disconnect it there");
    }
    return Fail(context, kRefused, "no such session");
  }
  return Done(context,
              "session " + FormatSessionId(id) + " of '" + context.args[0] + "' is closing");
}

int MessageCommand(Context& context) {
  const auto& args = context.args;
  std::uint32_t address = 0;
  if (args.size() != 2) return UsageError(context, "message: expected ADDRESS TEXT");
  if (!ParseAddress(args[0], address))
    return UsageError(context, "bad IPv4 address '" + args[0] + "'");
  if (args[1].size() > ControlClient::kMaxMessageText) {
    return UsageError(context, "the text is longer than 1023 characters");
  }
  if (auto failed = Connect(context)) return *failed;
  context.client->CtlSendMessage(address, args[1]);
  if (!context.client->lastDelivered()) return NotDelivered(context);
  return Done(context, "message sent to every session from " + args[0]);
}

}  // namespace tarvo::adm
