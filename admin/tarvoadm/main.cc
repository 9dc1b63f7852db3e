// tarvoadm: the command-line console. Administers a running TarvoServer over its control
// channel, as TarvoConsole does: users, settings, sessions, relays, messages, notifications.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "admin/tarvoadm/command.h"
#include "platform/home.h"

namespace tarvo::adm {

namespace {

constexpr char kUsageText[] =
    "usage: tarvoadm [--json] COMMAND ...\n"
    "  users                                     list the users\n"
    "  user add NAME (--password P | --password-file F) [--limit L] [POLICY]\n"
    "  user set NAME [--password P | --password-file F] [--limit L] [POLICY]\n"
    "  user show NAME                            every field of the user, its policy and its\n"
    "                                            down and up counters (from the store)\n"
    "  user delete NAME | user lock NAME | user unlock NAME | user reset NAME\n"
    "                                            (lock and unlock leave that state, whatever\n"
    "                                            it was, and say whether they changed it)\n"
    "  settings                                  show the seven settings\n"
    "  settings set KEY=VALUE ...                change settings\n"
    "  sessions                                  list the logged-in sessions (ids in hex,\n"
    "                                            as the console shows them); --all: every\n"
    "                                            daemon sharing the store, with a DAEMON column\n"
    "  relays NAME ADDRESS SESSION_ID            list a session's relays\n"
    "  disconnect NAME ADDRESS SESSION_ID        close a session\n"
    "  message ADDRESS TEXT                      send a text to every session from ADDRESS\n"
    "  watch                                     print notifications until interrupted\n"
    "  stats                                     the daemon's figures once, in the Prometheus\n"
    "                                            text format (a textfile collector's .prom\n"
    "                                            file); --json: every sample as JSON\n"
    "  fingerprint                               the server key's fingerprint (protocol v2)\n"
    "  enrol NAME --host HOST                    the line a user gives tarvoclient --enrolment:\n"
    "                                            server address, port and fingerprint\n"
    "  token create NAME --role admin|operator|auditor\n"
    "                                            a management API token, printed once\n"
    "  token list | token revoke NAME            the API's tokens (names and roles)\n"
    "POLICY, written straight to the user store (the daemon applies it at the user's next\n"
    "login or counter store):\n"
    "  --rate-down R | --rate-up R   speed toward / from the client: 20Mbit, 2.5MB/s,\n"
    "                                512KiB/s, 1Gbps (b bits, B bytes; k M G decimal, Ki Mi Gi\n"
    "                                binary; a plain number is bytes per second); 0 or none\n"
    "  --period none|daily|weekly|monthly   when the counter starts again from 0\n"
    "  --period-from DATE            the reset instant the period repeats (YYYY-MM-DD[ HH:MM],\n"
    "                                local time); default midnight today, on Monday, on the 1st\n"
    "  --max-sessions N              simultaneous sessions; 0 or none: as MultiConnect says\n"
    "  --expires DATE | never        logins from DATE (local midnight, or YYYY-MM-DD HH:MM)\n"
    "                                are refused as for a locked user\n"
    "  --protocol any|v2-only        v2-only: the user's logins over protocol v1 are closed\n"
    "                                unanswered (and audited); any: the daemon's rule\n"
    "Limits: bytes, or with a binary unit: K/KB/KiB = 1024, MB/MiB = 2^20, GB/GiB = 2^30,\n"
    "TB/TiB = 2^40; 0 = no limit. --password-file - reads the password from standard input;\n"
    "--password P is visible to other local users (ps, /proc) while tarvoadm runs.\n"
    "Exit status: 0 done, 1 refused by the daemon or the store, or the store cannot be\n"
    "opened, 2 usage, 3 daemon not running or not reachable. The daemon is found in\n"
    "TARVO_RUNTIME_DIR, else TARVO_HOME, else the directory of this program; the store is\n"
    "TARVO_STORE (an ODBC connection string), else the data source VPN, else the SQLite\n"
    "file in TARVO_HOME or that directory.\n";

}  // namespace

std::optional<int> Connect(Context& context) {
  std::string error;
  switch (ControlClient::ConnectControlPort(context.connection, &error)) {
    case PortStatus::Ok:
      context.client = context.connection.get();
      return std::nullopt;
    case PortStatus::NotFound:
      return Fail(
          context, kUnreachable,
          "the Tarvo daemon is not running (no control port in " + RuntimeDirectory() + ")");
    case PortStatus::AccessDenied:
      return Fail(context, kUnreachable,
                  "access denied: root, the daemon's user and members of its admin group "
                  "may administer it");
    case PortStatus::UntrustedOwner:
      return Fail(context, kUnreachable, error + "; nothing was sent");
    case PortStatus::Refused:
      return Fail(context, kUnreachable, "the daemon keeps refusing the connection");
    default:
      return Fail(context, kUnreachable, "cannot reach the daemon: " + error);
  }
}

}  // namespace tarvo::adm

int main(int argc, char** argv) {
  using namespace tarvo::adm;
  Context context;
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) {
      context.json = true;
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsageText, stdout);
      return kDone;
    } else {
      words.emplace_back(argv[i]);
    }
  }
  if (words.empty()) {
    std::fputs(kUsageText, stderr);
    return kUsage;
  }
  static const std::map<std::string, int (*)(Context&)> kCommands = {
      {"users", UsersCommand},       {"user", UserCommand},     {"settings", SettingsCommand},
      {"sessions", SessionsCommand}, {"relays", RelaysCommand}, {"disconnect", DisconnectCommand},
      {"message", MessageCommand},   {"watch", WatchCommand},   {"stats", StatsCommand},
      {"fingerprint", FingerprintCommand}, {"enrol", EnrolCommand},   {"token", TokenCommand},
  };
  auto command = kCommands.find(words[0]);
  if (command == kCommands.end()) return UsageError(context, "unknown command '" + words[0] + "'");
  context.args.assign(words.begin() + 1, words.end());
  return command->second(context);
}
