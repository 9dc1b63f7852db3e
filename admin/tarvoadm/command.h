// What every tarvoadm subcommand gets and returns: its arguments, the output mode, and the
// connection to the daemon; it answers with an exit code.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "admin/policy_options.h"
#include "console/control_client/control_client.h"

namespace tarvo::adm {

enum ExitCode : int {
  kDone = 0,
  kRefused = 1,  // the daemon refused: exists, not found, the store refused
  kUsage = 2,
  kUnreachable = 3,  // no daemon, not allowed to reach it, or it stopped answering
};

struct Context {
  std::vector<std::string> args;  // after the subcommand's own words
  bool json = false;
  ControlClient* client = nullptr;  // set by Connect
  std::unique_ptr<ControlClient> connection;
};

// Connects to the daemon of the runtime directory; an exit code when that failed.
std::optional<int> Connect(Context& context);

// Output: a line of text, or one JSON object.
int Done(const Context& context, const std::string& text, nlohmann::json result = {});
int Fail(const Context& context, int code, const std::string& message);
// The exit for a request the daemon did not answer.
int NotDelivered(const Context& context);
int UsageError(const Context& context, const std::string& message);

// Subcommands. Each checks its arguments before it asks the daemon anything.
int UsersCommand(Context& context);
int UserCommand(Context& context);      // add, set, show, delete, lock, unlock, reset
int SettingsCommand(Context& context);  // show, or set KEY=VALUE ...
int SessionsCommand(Context& context);
int RelaysCommand(Context& context);
int DisconnectCommand(Context& context);
int MessageCommand(Context& context);
int WatchCommand(Context& context);
int StatsCommand(Context& context);  // the daemon's figures, once
int FingerprintCommand(Context& context);  // the v2 server key's fingerprint
int EnrolCommand(Context& context);        // a user's v2 enrolment line
int TokenCommand(Context& context);        // the management API's tokens

// The user store, for per-user policy: opened once (an exit code when it cannot be), the change
// checked against the stored policy before anything is changed, then written.
std::optional<int> OpenStore(Context& context);
std::optional<int> CheckPolicyChange(Context& context, const std::string& name,
                                     const PolicyChange& change);
// Writes the change and prints done and the user as now stored.
int WritePolicy(Context& context, const std::string& name, const PolicyChange& change,
                const std::string& done);
int ShowUser(Context& context, const std::string& name);

// Argument helpers shared by the subcommands.
bool ParseAddress(const std::string& text, std::uint32_t& address);  // dotted IPv4
std::string FormatAddress(std::uint32_t address);
// Session ids as the console shows them: 8 hexadecimal digits (a leading 0x is accepted).
bool ParseSessionId(const std::string& text, std::uint32_t& id);
std::string FormatSessionId(std::uint32_t id);

}  // namespace tarvo::adm
