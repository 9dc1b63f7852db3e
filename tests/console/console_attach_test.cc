// Two consoles on one daemon: the first holds the notify port (its listener is the console's
// own, answering as slowly as the test lets it), the second is the console program, whose users
// page attaches when it opens and detaches on Cancel. Notifications raised for the first
// console before either stay its own.
#include <QTest>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "console/control_client/control_client.h"
#include "console/control_client/notify_listener.h"
#include "server/common/control_codes.h"
#include "tests/console/console_harness.h"

using namespace tarvo;
using namespace tarvo::test;

namespace {

// The names of the user-added notifications received, in order. The first one is held until
// released, so that the daemon has the rest queued meanwhile.
class HeldListener {
 public:
  explicit HeldListener(uid_t daemonUser) {
    NotifyListener::Start(
        daemonUser, [this](const Notification& notification) { receive(notification); },
        listener_);
  }
  bool started() const { return listener_ != nullptr; }

  // Waits (bounded) until the first notification is being held.
  bool waitHolding() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return !names_.empty(); });
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  // Waits (bounded) until count names have come; all names so far.
  std::vector<std::string> waitNames(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return names_.size() >= count; });
    return names_;
  }

 private:
  void receive(const Notification& notification) {
    if (notification.code != NTF_USER_ADDED) return;
    std::unique_lock lock(mutex_);
    names_.push_back(notification.name);
    changed_.notify_all();
    // Bounded, so that a failing test still ends.
    if (names_.size() == 1) changed_.wait_for(lock, std::chrono::seconds(10), [&] { return released_; });
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> names_;
  bool released_ = false;
  std::unique_ptr<NotifyListener> listener_;  // last: stopped before the rest goes
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
    HeldListener listener(first->daemonUser());
    QVERIFY(listener.started());
    QVERIFY(first->CtlAttach());

    // The second console is made ready; it attaches when its sheet opens.
    auto second = std::make_unique<CTarvoConsoleApp>();
    QVERIFY(second->InitInstance());

    QCOMPARE(first->CtlAddUser("u1", "p", 0, true), CTL_OK);
    QVERIFY(listener.waitHolding());
    QCOMPARE(first->CtlAddUser("u2", "p", 0, true), CTL_OK);
    QCOMPARE(first->CtlAddUser("u3", "p", 0, true), CTL_OK);
    second->sheet()->show();  // the users page attaches
    QVERIFY(!second->sheet()->notificationsRunning());  // the first one holds the notify port
    QCOMPARE(first->CtlAddUser("u4", "p", 0, true), CTL_OK);
    second->sheet()->PressCancel();  // and detaches
    QVERIFY(!second->sheet()->isVisible());
    listener.release();
    second->ExitInstance();
    second.reset();

    QCOMPARE(first->CtlAddUser("u5", "p", 0, true), CTL_OK);
    QCOMPARE(listener.waitNames(5), (std::vector<std::string>{"u1", "u2", "u3", "u4", "u5"}));
    QCOMPARE(harness_.ended, 0);
  }
};

QTEST_MAIN(ConsoleAttachTest)
#include "console_attach_test.moc"
