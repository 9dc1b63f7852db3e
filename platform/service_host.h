// The service host: what a service control manager does for the daemon. The dispatcher runs
// the service procedure on its own thread, turns SIGTERM and SIGINT into the stop control and
// SIGHUP into the parameter-change control for the registered control handler (called on the
// dispatcher's thread), and passes the states
// the service reports on to systemd when NOTIFY_SOCKET is set.
#pragma once

#include <cstdint>

namespace tarvo {

enum class ServiceState : std::uint32_t {
  Stopped = 1,
  StartPending = 2,
  StopPending = 3,
  Running = 4,
};

// Control codes handed to the control handler.
inline constexpr std::uint32_t kServiceControlStop = 1;
inline constexpr std::uint32_t kServiceControlInterrogate = 4;
inline constexpr std::uint32_t kServiceControlShutdown = 5;
inline constexpr std::uint32_t kServiceControlParamChange = 6;

using ServiceProcedure = void (*)();
using ServiceControlHandler = void (*)(std::uint32_t control);

// Blocks SIGTERM, SIGINT and SIGHUP, runs serviceMain on a new thread and serves controls until the
// service reports Stopped and serviceMain has returned. Returns the exit code of the Stopped
// report, or 1 when the host itself cannot run (reason on stderr). Controls reach the handler
// only once the service has reported Running; a stop asked for earlier is held until then, a
// parameter change asked for earlier is dropped (the start reads the parameters anyway).
int RunServiceDispatcher(ServiceProcedure serviceMain);

// Registers the control handler; called by the service procedure. False outside a dispatcher.
bool RegisterServiceCtrlHandler(ServiceControlHandler handler);

// Records the service's state (exitCode counts with Stopped only) and tells systemd:
// Running is READY=1, StopPending and Stopped are STOPPING=1; statusText, when given, goes
// along as STATUS=. Callable from any thread.
void ReportServiceState(ServiceState state, int exitCode = 0, const char* statusText = nullptr);

ServiceState CurrentServiceState();

}  // namespace tarvo
