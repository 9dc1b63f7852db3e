#include "platform/service_host.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/fd.h"
#include "platform/thread_annotations.h"

namespace tarvo {

namespace {

struct HostState {
  Mutex mutex;
  ServiceState state GUARDED_BY(mutex) = ServiceState::Stopped;
  int exitCode GUARDED_BY(mutex) = 0;
  bool stoppingSent GUARDED_BY(mutex) = false;
  bool inDispatcher GUARDED_BY(mutex) = false;
  bool serviceMainDone GUARDED_BY(mutex) = false;
  ServiceControlHandler handler GUARDED_BY(mutex) = nullptr;
  // eventfd: the dispatcher looks at the state again. Set under the mutex before the service
  // thread starts and reset after it ends; polled without it.
  UniqueFd changed;
};

HostState& Host() {
  static HostState host;
  return host;
}

void Signal(const UniqueFd& event) {
  if (!event) return;
  std::uint64_t one = 1;
  ssize_t result;
  do {
    result = ::write(event.get(), &one, sizeof one);
  } while (result < 0 && errno == EINTR);
}

void Drain(int fd, std::size_t size) {
  char buffer[sizeof(signalfd_siginfo) * 8];
  ssize_t result;
  do {
    result = ::read(fd, buffer, size);
  } while (result < 0 && errno == EINTR);
}

// The signals waiting on the signalfd: whether a stop and whether a reload was asked for.
void ReadSignals(int fd, bool& stop, bool& reload) {
  signalfd_siginfo info[8];
  for (;;) {
    const ssize_t result = ::read(fd, info, sizeof info);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) return;
    for (std::size_t i = 0; i < static_cast<std::size_t>(result) / sizeof info[0]; ++i) {
      (info[i].ssi_signo == SIGHUP ? reload : stop) = true;
    }
  }
}

void Notify(const std::string& message) {
  // sd_notify does nothing (and returns 0) when NOTIFY_SOCKET is not set.
  sd_notify(0, message.c_str());
}

}  // namespace

bool RegisterServiceCtrlHandler(ServiceControlHandler handler) {
  HostState& host = Host();
  MutexLock lock(host.mutex);
  if (!host.inDispatcher || handler == nullptr) return false;
  host.handler = handler;
  return true;
}

void ReportServiceState(ServiceState state, int exitCode, const char* statusText) {
  HostState& host = Host();
  std::string message;
  {
    MutexLock lock(host.mutex);
    host.state = state;
    host.exitCode = state == ServiceState::Stopped ? exitCode : 0;
    switch (state) {
      case ServiceState::Running:
        message = "READY=1";
        break;
      case ServiceState::StopPending:
      case ServiceState::Stopped:
        if (!host.stoppingSent) message = "STOPPING=1";
        host.stoppingSent = true;
        break;
      case ServiceState::StartPending:
        break;
    }
    Signal(host.changed);
  }
  if (statusText != nullptr) {
    if (!message.empty()) message += '\n';
    message += "STATUS=";
    message += statusText;
  }
  if (!message.empty()) Notify(message);
}

ServiceState CurrentServiceState() {
  HostState& host = Host();
  MutexLock lock(host.mutex);
  return host.state;
}

int RunServiceDispatcher(ServiceProcedure serviceMain) {
  HostState& host = Host();

  // Inherited dispositions would hide the signals from the signalfd (an ignored signal is
  // dropped when raised), so take them back to the default before blocking them.
  ::signal(SIGTERM, SIG_DFL);
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGHUP, SIG_DFL);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  // Every thread started from here on inherits the mask, so only the signalfd sees them.
  if (::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
    std::fprintf(stderr, "TarvoServer: cannot block the stop signals\n");
    return 1;
  }
  UniqueFd signals(::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK));
  UniqueFd changed(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!signals || !changed) {
    std::fprintf(stderr, "TarvoServer: cannot set up signal handling: %s\n", std::strerror(errno));
    return 1;
  }
  {
    MutexLock lock(host.mutex);
    host.state = ServiceState::StartPending;
    host.exitCode = 0;
    host.stoppingSent = false;
    host.serviceMainDone = false;
    host.handler = nullptr;
    host.inDispatcher = true;
    host.changed = std::move(changed);
  }

  std::thread mainThread([serviceMain] {
    serviceMain();
    HostState& h = Host();
    MutexLock lock(h.mutex);
    h.serviceMainDone = true;
    Signal(h.changed);
  });

  bool stopHeld = false;
  int exitCode = 0;
  for (;;) {
    ServiceState state;
    bool mainDone;
    ServiceControlHandler handler;
    {
      MutexLock lock(host.mutex);
      state = host.state;
      mainDone = host.serviceMainDone;
      handler = host.handler;
      exitCode = host.exitCode;
    }
    if (state == ServiceState::Stopped && mainDone) break;
    if (stopHeld && state == ServiceState::Running && handler != nullptr) {
      stopHeld = false;
      handler(kServiceControlStop);
      continue;
    }

    pollfd fds[2] = {{signals.get(), POLLIN, 0}, {host.changed.get(), POLLIN, 0}};
    int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "TarvoServer: poll failed in the service host: %s\n",
                   std::strerror(errno));
      break;  // cannot serve controls any more; fall through to joining the service thread
    }
    if (fds[1].revents & POLLIN) Drain(fds[1].fd, sizeof(std::uint64_t));
    if (fds[0].revents & POLLIN) {
      bool stop = false;
      bool reload = false;
      ReadSignals(fds[0].fd, stop, reload);
      // SIGTERM and SIGINT are both the stop control; held while the service is starting.
      if (stop) stopHeld = true;
      if (reload && !stopHeld && state == ServiceState::Running && handler != nullptr) {
        handler(kServiceControlParamChange);
      }
    }
  }

  if (mainThread.joinable()) mainThread.join();
  {
    MutexLock lock(host.mutex);
    exitCode = host.exitCode;
    host.inDispatcher = false;
    host.handler = nullptr;
    host.changed.reset();
  }
  return exitCode;
}

}  // namespace tarvo
