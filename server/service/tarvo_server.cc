// TarvoServer: the tunnel daemon's process entry, its service procedure and control handler,
// and the server thread that runs the network loop.
//
// Every thread of the daemon, where it starts, and what it may touch:
// - main (main below): settings, access rules and throttle at start; the service host's
//   signal loop; after the stop, deletes the sessions and sockets under the network lock and
//   flushes the last counts.
// - service procedure (ServiceMain, started by the service host): the store workers, the
//   acceptor (under the network lock), the control port, the metrics endpoints, then the
//   network thread; later the stop control (ServiceCtrlHandler) on the same thread.
// - network (ServerThread): the control listener, then the network loop. Holds the network
//   lock for every pass: all sockets, sessions, relays, accounts, policy and timers.
// - control listener (control_listener.cc): console requests; takes the network lock for
//   what it does to sessions, sockets and settings, never across a store call.
// - notifier (notifier.cc): delivers console notifications; NotifyLock only.
// - store workers, kStoreWorkers, or kNetworkStoreWorkers for a store across a network
//   (store_workers.cc): user-store calls, no daemon state;
//   results go back to the network thread as posted work.
// - user changes (user_change_listener.cc), on a PostgreSQL store only: sleeps in poll() on
//   its libpq connection; calls the store and takes the network lock to end or refresh the
//   sessions of a user another daemon or tool changed; sends the daemon's notes to the others
//   (cluster_channels.cc: its outbox's mutex, a leaf) and posts theirs to the network thread.
// - the daemon table's heartbeat (cluster_sessions.cc), on a PostgreSQL store only: a network
//   timer every third of [DaemonDeadAfter] whose statement runs on a store worker.
// - resolver (name_resolver.cc): c-ares look-ups; its queue's mutex, and the network lock to
//   hand answers over.
// - one per metrics endpoint and one per management API endpoint (http_server.cc): read
//   counters and settings for the text; the API's run the administration commands as the
//   control listener does, one at a time (AdminRequestLock).
// Mutexes, in lock order: NetworkLock, then NotifyLock, the resolver queue's and the posted
// work's; the store pool's, the log files', the control listener's end and the service host's
// are leaves. Lock contracts are annotations (platform/thread_annotations.h) that
// scripts/thread_safety_build.sh checks with clang.
#include <signal.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "external/aes_block.h"
#include "external/reader.h"
#include "platform/directory_checks.h"
#include "platform/fd.h"
#include "platform/home.h"
#include "platform/presence_lock.h"
#include "platform/service_host.h"
#include "server/common/password_hash.h"
#include "server/service/policy/access_file.h"
#include "server/service/policy/cluster_sessions.h"
#include "server/service/policy/host_addresses.h"
#include "server/service/control/settings_reload.h"
#include "server/service/control/control_listener.h"
#include "server/service/control/cluster_login_throttle.h"
#include "server/service/control/cluster_rate_share.h"
#include "server/service/control/user_change_listener.h"
#include "server/service/base/diagnostics.h"
#include "server/service/policy/login_guard.h"
#include "server/service/api/api_server.h"
#include "server/service/metrics/metrics_server.h"
#include "server/service/net/network_loop.h"
#include "server/service/base/notifier.h"
#include "server/service/session/session_list.h"
#include "server/service/base/settings.h"
#include "server/service/front/acceptor.h"
#include "server/service/net/socket.h"
#include "server/service/store/store_workers.h"
#include "server/service/store/traffic_accounting.h"
#include "server/service/v2/v2_front.h"

namespace tarvo {
namespace {

// The server thread; started by ServiceMain, joined by the stop control.
std::thread ServerThreadHandle;

// Binds the control channel's port functions. The local port layer is linked in: nothing to
// bind at run time.
bool LoadPortFunctions() { return true; }

void ServerThread() {
  StartControlListener();
  RunNetworkLoop();
}

void ServiceCtrlHandler(std::uint32_t control) {
  switch (control) {
    case kServiceControlStop:
    case kServiceControlShutdown:
      Diagnose("stopping");
      ReportServiceState(ServiceState::StopPending, 0, "Stopping");
      StopMetricsServer();
      StopApiServer();
      // The network thread finishes its pass and returns; no thread is killed.
      RequestNetworkLoopStop();
      if (ServerThreadHandle.joinable()) ServerThreadHandle.join();
      StopControlListener();
      ReportServiceState(ServiceState::Stopped, 0, "Stopped");
      break;
    case kServiceControlInterrogate:
      ReportServiceState(CurrentServiceState());
      break;
    case kServiceControlParamChange:
      ReloadSettings();
      break;
    default:
      break;
  }
}

// Protocol v2 on the server port, and what the journal must say about v1.
void StartProtocols() {
  std::string keyFile, certificateFile;
  bool v1Refused;
  {
    MutexLock lock(NetworkLock);
    keyFile = ServerSettings.TlsKey;
    certificateFile = ServerSettings.TlsCertificate;
    v1Refused = ServerSettings.ProtocolV1Refused;
  }
  std::string error;
  if (StartV2Front(keyFile, certificateFile, error)) {
    std::fprintf(stderr, "TarvoServer: protocol v2 (TLS 1.3), server key fingerprint %s\n",
                 V2Fingerprint().c_str());
  } else {
    std::fprintf(stderr, "TarvoServer: protocol v2 is not offered: %s\n", error.c_str());
  }
  if (!v1Refused) {
    std::fprintf(stderr,
                 "TarvoServer: protocol v1 is accepted: its recorded sessions can be replayed "
                 "and its traffic read (set [ProtocolV1]:refuse in %s to refuse it)\n",
                 kSettingsFileName);
  }
}

void ServiceMain() {
  if (!RegisterServiceCtrlHandler(ServiceCtrlHandler)) return;
  ReportServiceState(ServiceState::StartPending);

  if (!InitReader()) {
    ReportServiceState(ServiceState::Stopped, 1, "The user store cannot be opened");
    std::fprintf(stderr, "TarvoServer: the user store cannot be opened\n");
    return;
  }

  StartStoreWorkers();

  int serverPort;
  {
    MutexLock lock(NetworkLock);
    ResumeSpooledCounts();
  }
  ShareLoginThrottle();
  ShareRateLimits();
  StartUserChangeListener();
  StartClusterSessions();
  {
    MutexLock lock(NetworkLock);
    serverPort = ServerSettings.ServerPort;
    // Owned by the socket list: the stop path deletes it with every other socket.
    auto* acceptor = new AcceptSocket();
    if (acceptor->bind(serverPort & 0xFFFF) == -1) {
      ReportServiceState(ServiceState::Stopped, 1, "Binding error");
      std::fprintf(stderr, "Port %d :binding error\n", serverPort);
      return;
    }
    if (!acceptor->listen()) {
      ReportServiceState(ServiceState::Stopped, 1, "Listening error");
      std::fprintf(stderr, "Port %d :listening error\n", serverPort);
      return;
    }
    Diagnose("listening on 0.0.0.0 port %u", static_cast<unsigned>(acceptor->port()));
    WatchHostAddresses();
  }
  StartProtocols();

  // The control port exists before the daemon reports that it runs, so that a console started
  // then finds it. Without it the daemon serves clients but no console.
  std::string portError;
  if (!OpenControlPort(&portError)) {
    std::fprintf(stderr, "TarvoServer: no control port: %s\n", portError.c_str());
  }

  StartMetricsServer();
  StartApiServer();
  ServerThreadHandle = std::thread(ServerThread);
  std::string status = "Listening on port " + std::to_string(serverPort & 0xFFFF);
  ReportServiceState(ServiceState::Running, 0, status.c_str());
}

constexpr char kHelpText[] =
    "usage: TarvoServer [--help | --version]\n"
    "The Tarvo tunnel daemon. It runs in the foreground (a Type=notify service under systemd)\n"
    "until SIGTERM or SIGINT, and takes no other options: the settings are in tarvoserver.ini\n"
    "in its home directory, changed with the console or tarvoadm. Other arguments are ignored.\n"
    "Environment:\n"
    "  TARVO_HOME         home directory: settings, audit and message files, SQLite user store\n"
    "                     (default: the directory of this program)\n"
    "  TARVO_RUNTIME_DIR  control ports and presence lock (default: the home directory)\n"
    "  TARVO_STORE        ODBC connection string of the user store (default: the data source\n"
    "                     VPN when configured, else the SQLite file in the home directory)\n"
    "  TARVO_ADMIN_GROUP  group whose members may administer the daemon (default: tarvo)\n"
    "  TARVO_LOGIN_THROTTLE  off, or COUNT,WINDOW,HOLD: COUNT wrong passwords from one address\n"
    "                     within WINDOW seconds refuse its logins for HOLD seconds\n"
    "                     (default: 10,300,300)\n"
    "Diagnostics go to standard error (the journal under systemd).\n";

// --help and --version answer without starting anything; every other argument is ignored.
std::optional<int> AnswerQuery(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kHelpText, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("TarvoServer " TARVO_VERSION_TEXT);
      return 0;
    }
  }
  return std::nullopt;
}

}  // namespace
}  // namespace tarvo

int main(int argc, char** argv) {
  using namespace tarvo;
  if (auto answered = AnswerQuery(argc, argv)) return std::fflush(stdout) == 0 ? *answered : 1;
  // A peer that goes away must never end the daemon; sends use MSG_NOSIGNAL as well.
  ::signal(SIGPIPE, SIG_IGN);
  // A file-size limit makes a log write fail (EFBIG), which loses a line; it must not end the
  // daemon.
  ::signal(SIGXFSZ, SIG_IGN);
  // Said here rather than found at the first login, where the only way out would be to stop.
  if (!AesAvailable()) {
    std::fprintf(stderr,
                 "TarvoServer: OpenSSL offers no AES-256-ECB under its configuration; no "
                 "client can be served\n");
    return 1;
  }
  if (!Md5Available()) {
    std::fprintf(stderr, "TarvoServer: OpenSSL offers no MD5; no session key can be derived\n");
    return 1;
  }
  // Every session holds descriptors; take what the system allows. Failing leaves the default.
  RaiseOpenFileLimit();

  // Whoever may write to the runtime directory could serve a control port or hold the lock
  // in the daemon's place; whoever may write to the home could swap its files.
  std::string error;
  if (!CheckRuntimeDirectory(RuntimeDirectory(), &error)) {
    std::fprintf(stderr, "TarvoServer: %s\n", error.c_str());
    return 1;
  }
  if (const std::string home = HomeDirectory(); WritableByOthers(home)) {
    std::fprintf(stderr,
                 "TarvoServer: warning: the home directory %s is writable by other users, who "
                 "can replace the settings, the user store and the logs\n",
                 home.c_str());
  }

  PresenceLock presence;
  switch (presence.acquire(&error)) {
    case PresenceLock::Result::Acquired:
      if (auto admins = ControlPortRule().group()) presence.shareWith(*admins);
      break;
    case PresenceLock::Result::HeldByOther:
      std::fprintf(stderr, "TarvoServer: another TarvoServer is running (%s is locked)\n",
                   presence.path().c_str());
      return 1;
    case PresenceLock::Result::Failed:
      std::fprintf(stderr, "TarvoServer: %s\n", error.c_str());
      return 1;
  }

  // The network lock is a static mutex (NetworkLock), ready before any thread starts.
  // Without a settings file the embedded defaults stay.
  {
    MutexLock lock(NetworkLock);
    LoadSettings();
  }
  LoadAccessRules();
  ConfigureLoginThrottle();
  LoadPortFunctions();

  int status = RunServiceDispatcher(ServiceMain);
  StopUserChangeListener();
  // The daemon's sessions stop counting on the other daemons at once.
  StopClusterSessions();

  // Sessions first, so that their closing rows are written, then whatever sockets remain.
  {
    MutexLock lock(NetworkLock);
    DeleteAllSessions();
    DeleteAllSockets();
  }
  // Their last counts reach the store, however long it takes up to a bound: a store that
  // hangs must not keep the process from ending.
  FlushFinalCounts();
  // Delivers the notifications of those ends (bounded), then ends the notifier thread.
  StopNotifier();
  return status;
}
