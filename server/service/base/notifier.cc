#include "server/service/base/notifier.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "platform/local_port.h"
#include "server/common/control_records.h"
#include "server/service/base/diagnostics.h"
#include "server/service/base/notifications.h"

namespace tarvo {

std::atomic<bool> ConsoleAttached{false};
Mutex NotifyLock;

namespace {

// One queue entry.
struct QueuedNotification {
  bool dropConnection = false;  // not a notification: end the notify connection
  std::uint64_t generation = 0;  // set when queued: how many attaches and detaches came before
  std::uint32_t code = 0;
  std::vector<std::uint8_t> payload;
};

// Which console serves the notify port: its process and the port's socket file. A console that
// ends takes its file with it, so a successor (even in the same process) is told apart.
struct ConsoleIdentity {
  pid_t pid = 0;
  dev_t device = 0;
  ino_t inode = 0;
  std::int64_t changedNs = 0;
  bool operator==(const ConsoleIdentity&) const = default;
};

// The notify connection, touched only by the notifier thread.
class NotifyConnection {
 public:
  explicit NotifyConnection(const PortAccessRule& rule) : rule_(rule) {}

  // Connects when needed and delivers; false (and no connection) when the console is absent,
  // refuses, or does not answer in time.
  bool deliver(const QueuedNotification& item) {
    if (!ensureConnected()) return false;
    std::memcpy(area_.base(), item.payload.data(), item.payload.size());
    PortMessage message = ToPortMessage(MakeNotification(item.code));
    const PortStatus status = port_->requestWaitReply(message, kNotificationTimeoutMs);
    if (status != PortStatus::Ok) {
      drop();
      // A console that went away is told by its control connection; one that stays and does
      // not answer is told here, once until a console takes a notification again.
      if (status == PortStatus::TimedOut && !told_) {
        Diagnose("a console did not answer a notification in time: its notify connection was "
                 "dropped");
        told_ = true;
      }
      return false;
    }
    told_ = false;
    return true;
  }

  void drop() {
    port_.reset();
    area_.reset();
  }

  bool connected() const { return port_ != nullptr; }
  bool ensureConnected() { return port_ || connect(); }
  // The console of the current connection, or of the last one.
  const std::optional<ConsoleIdentity>& console() const { return console_; }

 private:
  // A fresh notification area for every connection: a console that held an earlier one sees
  // nothing written for its successor.
  bool connect() {
    if (!SharedSection::Create(kNotificationSectionSize, kRequestViewSize, area_)) return false;
    // The owner is checked before the area is handed over.
    std::optional<ConsoleIdentity> reached;
    auto admitted = [&](const PeerCredentials& owner, const std::string& path, std::string*) {
      if (!rule_.admits(owner)) return false;
      struct stat file {};
      if (::stat(path.c_str(), &file) == 0) {
        reached = ConsoleIdentity{owner.pid, file.st_dev, file.st_ino,
                                  file.st_ctim.tv_sec * 1000000000LL + file.st_ctim.tv_nsec};
      }
      return true;
    };
    if (PortConnection::Connect(kNotifyPortName, &area_, port_, kNotificationTimeoutMs, nullptr,
                                admitted) != PortStatus::Ok) {
      drop();
      return false;
    }
    console_ = reached;
    return true;
  }

  PortAccessRule rule_;
  bool told_ = false;
  std::unique_ptr<PortConnection> port_;
  SharedSection area_;
  std::optional<ConsoleIdentity> console_;
};

struct Notifier {
  std::condition_variable_any wake;
  std::deque<QueuedNotification> queue GUARDED_BY(NotifyLock);
  std::uint64_t generation GUARDED_BY(NotifyLock) = 0;  // attach/detach count
  bool running GUARDED_BY(NotifyLock) = false;
  bool stopping GUARDED_BY(NotifyLock) = false;
  std::thread thread;
  std::atomic<std::uint64_t> dropped{0};
};

Notifier& State() {
  static Notifier notifier;
  return notifier;
}

std::uint64_t CurrentGeneration() {
  MutexLock lock(NotifyLock);
  return State().generation;
}

void NotifierThread(PortAccessRule rule) {
  Notifier& state = State();
  NotifyConnection connection(rule);
  // Notifications raised before this generation are owed to the console served before the
  // current connection was made: only that console gets them.
  std::uint64_t owedBefore = 0;
  for (;;) {
    QueuedNotification item;
    bool stopping;
    {
      MutexLock lock(NotifyLock);
      state.wake.wait(NotifyLock, [&]() REQUIRES(NotifyLock) {
        return !state.queue.empty() || state.stopping;
      });
      if (state.queue.empty()) break;
      item = std::move(state.queue.front());
      state.queue.pop_front();
      stopping = state.stopping;
    }
    if (item.dropConnection) {
      // In order: what was queued before an attach or detach has gone out on the old
      // connection; what follows connects anew.
      connection.drop();
      continue;
    }
    bool delivered = false;
    if (!connection.connected()) {
      const std::optional<ConsoleIdentity> before = connection.console();
      // Connecting may wait for a console port to appear. A console other than the one served
      // before did not have the notifications raised before its attach: it lists afresh.
      const std::uint64_t generation = CurrentGeneration();
      if (connection.ensureConnected() &&
          (!before || !connection.console() || *before != *connection.console())) {
        owedBefore = generation;
      }
    }
    if (connection.connected()) {
      delivered = item.generation < owedBefore || connection.deliver(item);
    }
    if (!delivered && stopping) {
      // The daemon is stopping and the console does not take notifications: do not make the
      // stop wait for each of the rest in turn.
      MutexLock lock(NotifyLock);
      state.dropped += state.queue.size();
      state.queue.clear();
      break;
    }
  }
  connection.drop();
}

}  // namespace

void StartNotifier(const PortAccessRule& consoleRule) {
  Notifier& state = State();
  MutexLock lock(NotifyLock);
  if (state.running) return;
  state.running = true;
  state.stopping = false;
  state.thread = std::thread(NotifierThread, consoleRule);
}

void StopNotifier() {
  Notifier& state = State();
  {
    MutexLock lock(NotifyLock);
    if (!state.running) return;
    state.stopping = true;
  }
  state.wake.notify_one();
  state.thread.join();
  MutexLock lock(NotifyLock);
  state.running = false;
  state.queue.clear();
}

namespace {

void QueueNotification(QueuedNotification item) {
  Notifier& state = State();
  {
    MutexLock lock(NotifyLock);
    // Without a notifier (tools and tests that run the socket layer alone) there is no
    // console to tell.
    if (!state.running || state.stopping) return;
    // A console attached or detached. What is queued stays owed to the console that owns the
    // notify port, which an attach by another console does not change.
    if (item.dropConnection) ++state.generation;
    item.generation = state.generation;
    if (item.payload.size() > kMaxNotificationPayload ||
        state.queue.size() >= kMaxQueuedNotifications) {
      ++state.dropped;
      return;
    }
    state.queue.push_back(std::move(item));
  }
  state.wake.notify_one();
}

}  // namespace

namespace {
std::atomic<NotificationTap> Tap{nullptr};
}  // namespace

void SetNotificationTap(NotificationTap tap) { Tap.store(tap); }

void TapNotification(std::uint32_t code, const void* payload, std::size_t size) {
  if (const NotificationTap tap = Tap.load()) tap(code, payload, size);
}

bool NotificationsWanted() { return ConsoleAttached.load() || Tap.load() != nullptr; }

void SendNotification(std::uint32_t code, const void* payload, std::size_t size,
                      bool requested) {
  if (const NotificationTap tap = Tap.load()) {
    tap(code, payload, size);
    // Assembled for the tap alone: no console is attached, and none asked for it.
    if (!requested && !ConsoleAttached.load()) return;
  }
  QueuedNotification item;
  item.code = code;
  const auto* bytes = static_cast<const std::uint8_t*>(payload);
  item.payload.assign(bytes, bytes + size);
  QueueNotification(std::move(item));
}

void DropNotifyConnection() {
  QueuedNotification item;
  item.dropConnection = true;
  QueueNotification(std::move(item));
}

std::uint64_t DroppedNotificationCount() { return State().dropped.load(); }

}  // namespace tarvo
