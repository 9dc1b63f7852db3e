// The connected users page against a real daemon with clients logged in through the client
// library: sessions and relays following the notifications, Disconnect, and a message.
#include <arpa/inet.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <chrono>
#include <functional>
#include <thread>

#include "client/tarvo_client_lib.h"
#include "console/connected_users_page.h"
#include "console/control_client/control_client.h"
#include "console/edit_message.h"
#include "console/users_page.h"
#include "external/reader.h"
#include "server/common/control_codes.h"
#include "server/common/session_protocol.h"
#include "tests/console/console_harness.h"
#include "tests/loopback_servers.h"

using namespace tarvo;
using namespace tarvo::test;
using client::ClientStatus;

namespace {

constexpr int kTimeoutMs = 5000;

bool LogIn(client::SessionClient& session, int port, const std::string& name,
           const std::string& password) {
  return session.open("127.0.0.1", static_cast<std::uint16_t>(port), "2.0.5", kTimeoutMs) ==
             ClientStatus::kOk &&
         session.login(name, password, kTimeoutMs).outcome == client::LoginOutcome::kAccepted;
}

QTreeWidgetItem* SessionRow(QTreeWidget* list, std::uint32_t sessionId) {
  const QString id = CConnectedUsers::SessionIdText(sessionId);
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    if (list->topLevelItem(i)->text(2) == id) return list->topLevelItem(i);
  }
  return nullptr;
}

// Reads session messages until a text message arrives; its text.
std::string ReadTextMessage(client::SessionClient& session) {
  for (int i = 0; i < 20; ++i) {
    client::ReceivedMessage message;
    if (session.readMessage(message, kTimeoutMs) != ClientStatus::kOk) return {};
    if (message.type != MessageType::TextMessage) continue;
    ByteBuffer plain;
    if (session.decipher({message.payload.data(), message.payload.size()}, plain) !=
        ClientStatus::kOk) {
      return {};
    }
    std::string text(reinterpret_cast<const char*>(plain.data()), plain.size());
    return text.substr(0, text.find('\0'));
  }
  return {};
}

// Handles the events posted to receiver alone, until done holds (bounded).
bool HandleEventsOf(QObject* receiver, const std::function<bool()>& done) {
  for (int i = 0; i < 1000; ++i) {
    QCoreApplication::sendPostedEvents(receiver, 0);
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace

class ConsoleConnectedTest : public QObject {
  Q_OBJECT

 private:
  ConsoleHarness harness_;
  std::unique_ptr<CTarvoConsoleApp> console_;

  CConnectedUsers& page() { return console_->sheet()->connectedUsersPage(); }
  QTreeWidget* sessions() { return page().sessionList(); }
  QTreeWidget* relays() { return page().relayList(); }
  void showPage() { console_->sheet()->SetActivePage(&page()); }

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(harness_.startDaemon());
    console_ = harness_.openConsole();  // opens the store in this home
    QVERIFY(console_ != nullptr);
    ConsoleHarness::closeConsole(console_);
    QVERIFY(SetUserInfo("alice", "alicepw", 0, 0));
    QVERIFY(SetUserInfo("bob", "bobpw", 0, 0));
  }

  void init() {
    console_ = harness_.openConsole();
    QVERIFY(console_ != nullptr);
    harness_.boxes.clear();
  }
  void cleanup() { ConsoleHarness::closeConsole(console_); }

  void formatsSessionIds() {
    QCOMPARE(CConnectedUsers::SessionIdText(0x1A2B), QStringLiteral("00001a2b"));
    QCOMPARE(CConnectedUsers::SessionIdText(0xFFFFFFFFu), QStringLiteral("ffffffff"));
  }

  void listsSessionsOnFirstShowThenFollowsLogins() {
    client::SessionClient early;
    QVERIFY(LogIn(early, harness_.port(), "bob", "bobpw"));
    // Not shown yet: the page's window does not exist and nothing is posted to it.
    QVERIFY(!page().created());
    showPage();
    QTRY_VERIFY(SessionRow(sessions(), early.sessionId()) != nullptr);
    QTreeWidgetItem* row = SessionRow(sessions(), early.sessionId());
    QCOMPARE(row->text(0), QStringLiteral("bob"));
    QCOMPARE(row->text(1), QStringLiteral("127.0.0.1"));
    QCOMPARE(row->text(3), QStringLiteral("v1"));
    QCOMPARE(sessions()->topLevelItemCount(), 1);
    QVERIFY(!page().disconnectButton()->isEnabled());
    QVERIFY(!relays()->isEnabled());

    client::SessionClient later;
    QVERIFY(LogIn(later, harness_.port(), "alice", "alicepw"));
    QVERIFY(WaitFor([&] { return SessionRow(sessions(), later.sessionId()) != nullptr; }));
    QCOMPARE(sessions()->topLevelItem(0)->text(0), QStringLiteral("alice"));  // sorted by name

    later.close();
    QVERIFY(WaitFor([&] { return SessionRow(sessions(), later.sessionId()) == nullptr; }));
    early.close();
    QVERIFY(WaitFor([&] { return sessions()->topLevelItemCount() == 0; }));
  }

  void followsTheSelectedSessionsRelays() {
    LoopbackTcpServer destination(EchoHandler);
    client::SessionClient session;
    QVERIFY(LogIn(session, harness_.port(), "alice", "alicepw"));
    showPage();
    QVERIFY(WaitFor([&] { return SessionRow(sessions(), session.sessionId()) != nullptr; }));
    SessionRow(sessions(), session.sessionId())->setSelected(true);
    QVERIFY(relays()->isEnabled());
    QVERIFY(page().disconnectButton()->isEnabled());
    QCOMPARE(relays()->topLevelItemCount(), 0);

    // Each row's image as it was inserted, and as it is now.
    QList<int> insertedImages;
    connect(relays()->model(), &QAbstractItemModel::rowsInserted, this,
            [&](const QModelIndex&, int first, int) {
              insertedImages << relays()->topLevelItem(first)->data(0, kRowImageRole).toInt();
            });
    client::DataConnection relay;
    QCOMPARE(relay.open(session, ::inet_addr("127.0.0.1"), destination.port(), kTimeoutMs),
             ClientStatus::kOk);
    QVERIFY(WaitFor([&] {
      return relays()->topLevelItemCount() == 1 &&
             relays()->topLevelItem(0)->data(0, kRowImageRole).toInt() == 0;
    }));
    QCOMPARE(insertedImages, QList<int>{1});  // created: still connecting
    QTreeWidgetItem* row = relays()->topLevelItem(0);
    QCOMPARE(row->text(0), QStringLiteral("127.0.0.1"));
    QCOMPARE(row->text(1), QString::number(destination.port()));

    // Selecting the session again lists the relay from the daemon, connected.
    const QString sourcePort = row->text(2);
    sessions()->clearSelection();
    QVERIFY(!relays()->isEnabled());
    QCOMPARE(relays()->topLevelItemCount(), 0);
    SessionRow(sessions(), session.sessionId())->setSelected(true);
    QCOMPARE(relays()->topLevelItemCount(), 1);
    QCOMPARE(relays()->topLevelItem(0)->text(2), sourcePort);
    QCOMPARE(relays()->topLevelItem(0)->data(0, kRowImageRole).toInt(), 0);

    // A relay of another session leaves this list alone.
    client::SessionClient other;
    QVERIFY(LogIn(other, harness_.port(), "bob", "bobpw"));
    client::DataConnection otherRelay;
    QCOMPARE(otherRelay.open(other, ::inet_addr("127.0.0.1"), destination.port(), kTimeoutMs),
             ClientStatus::kOk);
    QVERIFY(WaitFor([&] { return destination.accepted() == 2; }));

    relay.close();
    QVERIFY(WaitFor([&] { return relays()->topLevelItemCount() == 0; }));
    // Created while connecting, then listed (connected) on the second selection; nothing of
    // the other session's relay.
    QCOMPARE(insertedImages, (QList<int>{1, 0}));
  }

  // A relay's creation raised before the selection lists the relays, and handled after, adds
  // no second, "connecting" row that nothing would ever remove.
  void aCreationCrossingTheListingLeavesNoGhostRow() {
    LoopbackTcpServer destination(EchoHandler);
    client::SessionClient session;
    QVERIFY(LogIn(session, harness_.port(), "alice", "alicepw"));
    showPage();
    QVERIFY(WaitFor([&] { return SessionRow(sessions(), session.sessionId()) != nullptr; }));

    // No event is handled from here until the selection: the relay's notifications wait in
    // the page's queue. A user change raised after them tells when they are all there.
    client::DataConnection relay;
    QCOMPARE(relay.open(session, ::inet_addr("127.0.0.1"), destination.port(), kTimeoutMs),
             ClientStatus::kOk);
    // An echo through the relay: the daemon has made it and connected it.
    const std::uint8_t ping[] = {'p', 'i', 'n', 'g'};
    QCOMPARE(relay.send(ping), ClientStatus::kOk);
    ByteBuffer echoed;
    for (int i = 0; i < 20 && echoed.size() < sizeof ping; ++i) {
      QCOMPARE(relay.receive(echoed, kTimeoutMs), ClientStatus::kOk);
    }
    QCOMPARE(echoed.size(), sizeof ping);
    std::unique_ptr<ControlClient> other;
    QCOMPARE(ControlClient::ConnectControlPort(other), PortStatus::Ok);
    QCOMPARE(other->CtlUpdateUser("bob", "bobpw", 4321, true), CTL_OK);
    CUsers& users = console_->sheet()->usersPage();
    QVERIFY(HandleEventsOf(&users, [&] {
      for (int i = 0; i < users.list()->topLevelItemCount(); ++i) {
        if (users.list()->topLevelItem(i)->text(2) == "4321") return true;
      }
      return false;
    }));

    SessionRow(sessions(), session.sessionId())->setSelected(true);
    QCOMPARE(relays()->topLevelItemCount(), 1);  // listed, connected
    QCoreApplication::sendPostedEvents(&page(), 0);
    QCOMPARE(relays()->topLevelItemCount(), 1);
    QCOMPARE(relays()->topLevelItem(0)->data(0, kRowImageRole).toInt(), 0);

    relay.close();
    QVERIFY(WaitFor([&] { return relays()->topLevelItemCount() == 0; }));
    QCOMPARE(other->CtlUpdateUser("bob", "bobpw", 0, false), CTL_OK);
  }

  void disconnectsAndSendsMessages() {
    client::SessionClient session;
    QVERIFY(LogIn(session, harness_.port(), "bob", "bobpw"));
    showPage();
    QVERIFY(WaitFor([&] { return SessionRow(sessions(), session.sessionId()) != nullptr; }));
    SessionRow(sessions(), session.sessionId())->setSelected(true);

    const QString text = QString(1023, QLatin1Char('m'));
    WhenModal<CEditMessage>([&](CEditMessage* editor) {
      editor->textEdit()->setText(text + QStringLiteral("cut"));
      editor->sendButton()->click();
    });
    page().messageButton()->click();
    QCOMPARE(QString::fromStdString(ReadTextMessage(session)), text);

    page().disconnectButton()->click();
    QVERIFY(WaitFor([&] { return SessionRow(sessions(), session.sessionId()) == nullptr; }));
    client::ReceivedMessage message;
    ClientStatus status = ClientStatus::kOk;
    for (int i = 0; i < 20 && status == ClientStatus::kOk; ++i) {
      status = session.readMessage(message, kTimeoutMs);
    }
    QCOMPARE(status, ClientStatus::kClosed);
    QCOMPARE(harness_.ended, 0);
  }

  void afterApplyOnlyDisconnectChangesTheList() {
    showPage();
    console_->sheet()->PressApply();  // detaches the console
    client::SessionClient session;
    QVERIFY(LogIn(session, harness_.port(), "alice", "alicepw"));
    // The login is not shown; a page opened anew would list it.
    auto second = std::make_unique<CTarvoConsoleApp>();
    QVERIFY(second->InitInstance());
    std::vector<UserInfo> listed;
    QCOMPARE(console_->sheet()->client().CtlListSessions(listed), 1u);
    QCOMPARE(sessions()->topLevelItemCount(), 0);
    second.reset();

    // A row whose session has ended goes at once on Disconnect (the daemon no longer has it).
    client::SessionClient gone;
    QVERIFY(LogIn(gone, harness_.port(), "bob", "bobpw"));
    ConsoleHarness::closeConsole(console_);
    console_ = harness_.openConsole();
    showPage();
    QCOMPARE(sessions()->topLevelItemCount(), 2);
    console_->sheet()->PressApply();
    gone.close();
    QVERIFY(WaitFor([&] {
      std::vector<UserInfo> now;
      return console_->sheet()->client().CtlListSessions(now) == 1;
    }));
    SessionRow(sessions(), gone.sessionId())->setSelected(true);
    page().disconnectButton()->click();
    QVERIFY(SessionRow(sessions(), gone.sessionId()) == nullptr);
    QCOMPARE(sessions()->topLevelItemCount(), 1);
  }
};

QTEST_MAIN(ConsoleConnectedTest)
#include "console_connected_test.moc"
