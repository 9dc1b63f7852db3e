// tarvoadm users, and tarvoadm user add|set|show|delete|lock|unlock|reset NAME.
#include <algorithm>
#include <cstdio>
#include <optional>

#include "admin/password_input.h"
#include "admin/tarvoadm/byte_size.h"
#include "admin/tarvoadm/command.h"

namespace tarvo::adm {

namespace {

struct UserOptions {
  std::string name;
  std::optional<std::string> password;
  std::optional<std::int64_t> limit;
  PolicyChange policy;
};

// NAME [--password P | --password-file F] [--limit L] [policy options]; an error text, or
// empty.
std::string ParseUserOptions(const std::vector<std::string>& args, UserOptions& options) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool takesValue = arg == "--password" || arg == "--password-file" ||
                            arg == "--limit" || IsPolicyOption(arg);
    if (!takesValue) {
      if (!arg.empty() && arg[0] == '-') return "unknown option " + arg;
      if (!options.name.empty()) return "unexpected argument " + arg;
      options.name = arg;
      continue;
    }
    if (i + 1 >= args.size()) return arg + " needs a value";
    const std::string& value = args[++i];
    if (IsPolicyOption(arg)) {
      if (std::string problem = TakePolicyOption(arg, value, options.policy); !problem.empty()) {
        return problem;
      }
    } else if (arg == "--limit") {
      std::int64_t limit = 0;
      if (!ParseByteSize(value, limit))
        return "bad limit '" + value + "' (bytes, or 10MB, 2GiB ...)";
      options.limit = limit;
    } else if (options.password) {
      return "give the password once";
    } else if (arg == "--password") {
      options.password = value;
    } else {
      std::string password;
      if (!ReadPasswordFile(value, password)) return "cannot read the password file " + value;
      options.password = password;
    }
  }
  if (options.name.empty()) return "the user's name is missing";
  if (options.name.size() >= kUserNameSize) return "the name is longer than 256 characters";
  if (options.password && options.password->size() >= kUserPasswordSize) {
    return "the password is longer than 256 characters";
  }
  return {};
}

nlohmann::json UserJson(const UserInfo& user) {
  return {{"name", user.name},
          {"limit", user.limit},
          {"counter", user.counter},
          {"locked", user.locked != 0}};
}

// Reads the user; an exit code when that failed, else nullopt.
std::optional<int> FindUser(Context& context, const std::string& name, UserInfo& user) {
  user = UserInfo{};
  name.copy(user.name, sizeof user.name - 1);
  switch (context.client->CtlFindUser(user)) {
    case CTL_OK:
      return std::nullopt;
    case CTL_NOT_FOUND:
      return Fail(context, kRefused, "no user '" + name + "'");
    default:
      if (!context.client->lastDelivered()) return NotDelivered(context);
      return Fail(context, kRefused, "the user store could not list its users");
  }
}

// An attached console shows what tarvoadm changed, as it shows a change from another daemon.
constexpr bool kTellConsole = true;

// Add and Set print their result only when report is set; the policy, written after them,
// prints the user as a whole otherwise.
int Add(Context& context, const UserOptions& options, bool report) {
  const std::uint32_t status =
      context.client->CtlAddUser(options.name, *options.password, options.limit.value_or(0),
                                 kTellConsole);
  if (!context.client->lastDelivered()) return NotDelivered(context);
  switch (status) {
    case CTL_OK:
      if (!report) return kDone;
      return Done(context, "user '" + options.name + "' added", {{"name", options.name}});
    case CTL_EXISTS:
      return Fail(context, kRefused, "user '" + options.name + "' already exists");
    default:
      return Fail(context, kRefused, "the user store refused to add '" + options.name + "'");
  }
}

int Set(Context& context, const UserOptions& options, bool report) {
  // The request replaces password and limit together: keep what is not given.
  UserInfo current;
  if (auto failed = FindUser(context, options.name, current)) return *failed;
  const std::string password = options.password.value_or(current.password);
  explicit_bzero(current.password, sizeof current.password);
  const std::uint32_t status =
      context.client->CtlUpdateUser(current.name, password,
                                    options.limit.value_or(current.limit), kTellConsole);
  if (!context.client->lastDelivered()) return NotDelivered(context);
  switch (status) {
    case CTL_OK:
      if (!report) return kDone;
      return Done(context, "user '" + std::string(current.name) + "' changed",
                  {{"name", current.name}});
    case CTL_NOT_FOUND:
      return Fail(context, kRefused, "no user '" + options.name + "'");
    default:
      return Fail(context, kRefused, "the user store refused to change '" + options.name + "'");
  }
}

int Delete(Context& context, const std::string& name) {
  const std::uint32_t status = context.client->CtlDeleteUser(name, kTellConsole);
  if (!context.client->lastDelivered()) return NotDelivered(context);
  if (status != CTL_OK) return Fail(context, kRefused, "no user '" + name + "' to delete");
  return Done(context, "user '" + name + "' deleted", {{"name", name}});
}

// The daemon sets the state rather than toggling it, so a change made meanwhile by another
// console cannot turn a lock into an unlock; it says whether it had to change anything.
int SetLock(Context& context, const std::string& name, bool lock) {
  bool changed = false;
  const std::uint32_t status = context.client->CtlSetLock(name, lock, &changed, kTellConsole);
  if (!context.client->lastDelivered()) return NotDelivered(context);
  if (status == CTL_NOT_FOUND) return Fail(context, kRefused, "no user '" + name + "'");
  if (status != CTL_OK) return Fail(context, kRefused, "the user store refused to change the lock");
  const std::string state = lock ? "locked" : "unlocked";
  return Done(context, "user '" + name + "' " + (changed ? "" : "is already ") + state,
              {{"name", name}, {"locked", lock}, {"changed", changed}});
}

int Reset(Context& context, const std::string& name) {
  const std::uint32_t status = context.client->CtlResetCounter(name, kTellConsole);
  if (!context.client->lastDelivered()) return NotDelivered(context);
  if (status != CTL_OK) {
    return Fail(context, kRefused, "no user '" + name + "', or the user store refused the reset");
  }
  return Done(context, "traffic counter of '" + name + "' reset", {{"name", name}});
}

}  // namespace

int UsersCommand(Context& context) {
  if (!context.args.empty()) return UsageError(context, "users takes no arguments");
  if (auto failed = Connect(context)) return *failed;
  std::vector<UserInfo> users;
  const std::uint32_t status = context.client->CtlEnumUsers(users);
  if (!context.client->lastDelivered()) return NotDelivered(context);
  if (status != CTL_OK) return Fail(context, kRefused, "the user store could not list its users");
  nlohmann::json list = nlohmann::json::array();
  std::string text = "NAME\tLIMIT\tCOUNTER\tLOCKED";
  for (UserInfo& user : users) {
    explicit_bzero(user.password, sizeof user.password);  // never shown
    list.push_back(UserJson(user));
    text += '\n';
    text += std::string(user.name) + "\t" +
            (user.limit == 0 ? std::string("none") : FormatByteSize(user.limit)) + "\t" +
            std::to_string(user.counter) + "\t" + (user.locked ? "yes" : "no");
  }
  return Done(context, text, {{"users", list}});
}

int UserCommand(Context& context) {
  const auto& args = context.args;
  if (args.empty()) {
    return UsageError(context,
                      "user needs an action: add, set, show, delete, lock, unlock, reset");
  }
  const std::string& action = args[0];
  UserOptions options;
  const bool takesOptions = action == "add" || action == "set";
  if (std::string problem = ParseUserOptions(args, options); !problem.empty()) {
    return UsageError(context, problem);
  }
  const bool policy = !options.policy.empty();
  if (!takesOptions && (options.password || options.limit || policy)) {
    return UsageError(context, "user " + action + " takes only a name");
  }
  static constexpr const char* kActions[] = {"add",  "set",    "show", "delete",
                                             "lock", "unlock", "reset"};
  if (std::find(std::begin(kActions), std::end(kActions), action) == std::end(kActions)) {
    return UsageError(context, "unknown user action '" + action + "'");
  }
  if (action == "add" && !options.password) {
    return UsageError(context, "give --password or --password-file");
  }
  const bool daemonChange = options.password || options.limit;
  if (action == "set" && !daemonChange && !policy) {
    return UsageError(context,
                      "give --password, --password-file, --limit or a policy option");
  }
  // Policy is read and written in the store itself; a store that cannot be opened, or a change
  // it would refuse, stops the command before the daemon is asked anything.
  if (action == "show" || policy) {
    if (auto failed = OpenStore(context)) return *failed;
  }
  if (action == "show") return ShowUser(context, options.name);
  if (action == "set" && policy) {
    if (auto failed = CheckPolicyChange(context, options.name, options.policy)) return *failed;
  }
  if (action == "add" || daemonChange || !policy) {
    if (auto failed = Connect(context)) return *failed;
  }
  if (action == "add" || action == "set") {
    if (action == "add" || daemonChange) {
      const int code = action == "add" ? Add(context, options, !policy)
                                       : Set(context, options, !policy);
      if (code != kDone || !policy) return code;
    }
    const std::string done = "user '" + options.name + "' " + (action == "add" ? "added" : "changed");
    return WritePolicy(context, options.name, options.policy, done);
  }
  if (action == "delete") return Delete(context, options.name);
  if (action == "lock") return SetLock(context, options.name, true);
  if (action == "unlock") return SetLock(context, options.name, false);
  return Reset(context, options.name);
}

}  // namespace tarvo::adm
