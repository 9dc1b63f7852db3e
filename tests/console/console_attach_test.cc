// Two consoles on one daemon: the first holds the notify port (served here, so that it can
// hold one answer back while it goes on accepting), the second is the console program, whose
// users page attaches when it opens and detaches on Cancel. Notifications raised for the first
// console before either stay its own, and it stays attached.
#include <QTest>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/tarvo_client_lib.h"
#include "console/control_client/control_client.h"
#include "console/control_client/notification.h"
#include "server/common/control_codes.h"
#include "server/common/control_records.h"
#include "tests/console/console_harness.h"

using namespace tarvo;
using namespace tarvo::test;

namespace {

// The first console's notify port. It records user-added and session-opened notifications in
// order ("added NAME", "opened NAME") and holds back its answer to the first one until released, so
// that the daemon queues the rest meanwhile. It accepts at once throughout: should the daemon give
// up on the held answer, it reconnects for the next notification and nothing else is lost.
class HeldConsolePort {
 public:
  explicit HeldConsolePort(uid_t daemonUser) {
    if (LocalPort::Create(kNotifyPortName, PortAccessRule::UserAndRoot(daemonUser), port_) ==
        PortStatus::Ok) {
      thread_ = std::thread([this] { serve(); });
    }
  }
  ~HeldConsolePort() {
    if (!thread_.joinable()) return;
    stopping_.store(true);
    port_->interrupt();
    thread_.join();
  }
  bool started() const { return thread_.joinable(); }

  // Waits (bounded) until the first notification is held.
  bool waitHolding() { return !waitNames(1).empty(); }
  void release() {
    released_.store(true);
    port_->interrupt();
  }
  // Waits (bounded) until count names have come; all names so far.
  std::vector<std::string> waitNames(std::size_t count) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, std::chrono::seconds(10), [&] { return names_.size() >= count; });
    return names_;
  }

 private:
  void serve() {
    std::optional<PortEvent> held;
    while (!stopping_.load()) {
      if (held && released_.load()) {
        port_->reply(held->connection, held->message);
        held.reset();
      }
      PortEvent event;
      if (port_->receive(event) != PortStatus::Ok) continue;  // interrupted
      switch (event.type) {
        case PortMessageType::ConnectionRequest:
          if (port_->accept(event.connection, nullptr) != PortStatus::Ok ||
              port_->complete(event.connection) != PortStatus::Ok) {
            port_->close(event.connection);
          }
          break;
        case PortMessageType::Request: {
          const SharedSection* area = port_->peerView(event.connection);
          Notification notification;
          const bool decoded =
              area != nullptr && DecodeNotification(ToControlMessage(event.message).code,
                                                    static_cast<const std::uint8_t*>(area->base()),
                                                    area->viewSize(), notification);
          const char* kind = !decoded                                  ? nullptr
                             : notification.code == NTF_USER_ADDED     ? "added "
                             : notification.code == NTF_SESSION_OPENED ? "opened "
                                                                       : nullptr;
          bool first = false;
          if (kind != nullptr) {
            std::lock_guard lock(mutex_);
            names_.push_back(kind + notification.name);
            first = names_.size() == 1;
            arrived_.notify_all();
          }
          if (first && !released_.load()) {
            held = event;
          } else {
            port_->reply(event.connection, event.message);
          }
          break;
        }
        case PortMessageType::PortClosed:
        case PortMessageType::ClientDied:
          port_->close(event.connection);
          break;
        default:
          break;
      }
    }
  }

  std::unique_ptr<LocalPort> port_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> released_{false};
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<std::string> names_;
  std::thread thread_;
};

}  // namespace

class ConsoleAttachTest : public QObject {
  Q_OBJECT

 private:
  ConsoleHarness harness_;

 private Q_SLOTS:
  void aSecondConsoleKeepsTheFirstConsolesNotifications() {
    QVERIFY(harness_.startDaemon());
    std::unique_ptr<ControlClient> first;
    QCOMPARE(ControlClient::ConnectControlPort(first), PortStatus::Ok);
    HeldConsolePort firstPort(first->daemonUser());
    QVERIFY(firstPort.started());
    QVERIFY(first->CtlAttach());

    // The second console is made ready; it attaches when its sheet opens.
    auto second = std::make_unique<CTarvoConsoleApp>();
    QVERIFY(second->InitInstance());

    QCOMPARE(first->CtlAddUser("u1", "p", 0, true), CTL_OK);
    QVERIFY(firstPort.waitHolding());
    QCOMPARE(first->CtlAddUser("u2", "p", 0, true), CTL_OK);
    QCOMPARE(first->CtlAddUser("u3", "p", 0, true), CTL_OK);
    second->sheet()->show();                            // the users page attaches
    QVERIFY(!second->sheet()->notificationsRunning());  // the first one holds the notify port
    QCOMPARE(first->CtlAddUser("u4", "p", 0, true), CTL_OK);
    second->sheet()->PressCancel();  // and detaches
    QVERIFY(!second->sheet()->isVisible());
    firstPort.release();
    second->ExitInstance();
    second.reset();

    // Still attached, the first console is told of logins.
    QCOMPARE(first->CtlAddUser("u5", "p", 0, true), CTL_OK);
    client::SessionClient session;
    QCOMPARE(session.open("127.0.0.1", static_cast<std::uint16_t>(harness_.port()), "2.0.5", 5000),
             client::ClientStatus::kOk);
    QCOMPARE(session.login("u5", "p", 5000).outcome, client::LoginOutcome::kAccepted);
    QCOMPARE(firstPort.waitNames(6),
             (std::vector<std::string>{"added u1", "added u2", "added u3", "added u4", "added u5",
                                       "opened u5"}));
    QCOMPARE(harness_.ended, 0);
  }
};

QTEST_MAIN(ConsoleAttachTest)
#include "console_attach_test.moc"
