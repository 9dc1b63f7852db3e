// The Usage page against a real daemon and its store: two users relay known amounts through
// the client library, their sessions end, and the bars hold exactly what the daemon counted;
// the store is read once for a burst of notifications; the throughput follows the daemon's
// relayed byte counters from poll to poll, and its area says why when the daemon's figures
// cannot be read, while the bars go on working. The reads are made one at a time off the
// user-interface thread, and the console closes cleanly with one in flight.
#include <arpa/inet.h>
#include <signal.h>
#include <stdlib.h>

#include <QBarSet>
#include <QLabel>
#include <QLineSeries>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>
#include <atomic>
#include <cmath>
#include <vector>

#include "client/tarvo_client_lib.h"
#include "console/about_page.h"
#include "console/control_client/service_metrics.h"
#include "console/notification_event.h"
#include "console/usage_metrics.h"
#include "console/usage_page.h"
#include "external/reader.h"
#include "external/reader_policy.h"
#include "server/common/control_codes.h"
#include "tests/console/console_harness.h"
#include "tests/loopback_servers.h"

using namespace tarvo;
using namespace tarvo::test;
using client::ClientStatus;
using client::DataConnection;

namespace {

constexpr int kTimeoutMs = 5000;
const std::uint32_t kLoopbackAddress = ::inet_addr("127.0.0.1");

bool LogIn(client::SessionClient& session, int port, const std::string& name,
           const std::string& password) {
  return session.open("127.0.0.1", static_cast<std::uint16_t>(port), "2.0.5", kTimeoutMs) ==
             ClientStatus::kOk &&
         session.login(name, password, kTimeoutMs).outcome == client::LoginOutcome::kAccepted;
}

std::vector<std::uint8_t> Pattern(std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = PatternByte(i);
  return bytes;
}

// count bytes to an echo server and back: count each way.
bool Echo(const client::SessionClient& session, std::uint16_t port, std::size_t count) {
  DataConnection relay;
  if (relay.open(session, kLoopbackAddress, port, kTimeoutMs) != ClientStatus::kOk ||
      relay.send(Pattern(count)) != ClientStatus::kOk) {
    return false;
  }
  ByteBuffer back;
  while (back.size() < count) {
    if (relay.receive(back, kTimeoutMs) != ClientStatus::kOk) return false;
  }
  return back.size() == count;
}

// Everything a source server sends, until it closes.
std::size_t Download(const client::SessionClient& session, std::uint16_t port) {
  DataConnection relay;
  if (relay.open(session, kLoopbackAddress, port, kTimeoutMs) != ClientStatus::kOk) return 0;
  ByteBuffer got;
  while (relay.receive(got, kTimeoutMs) == ClientStatus::kOk) {
  }
  return got.size();
}

// The daemon's relayed byte counters, down and up; -1 each when they cannot be read.
std::pair<double, double> RelayedNow() {
  MetricsReading reading;
  double down = -1;
  double up = -1;
  if (!ReadServiceMetrics(reading, nullptr) || !RelayedTotals(reading, down, up, nullptr)) {
    return {-1, -1};
  }
  return {down, up};
}

}  // namespace

class ConsoleUsageTest : public QObject {
  Q_OBJECT

 private:
  ConsoleHarness harness_;
  std::unique_ptr<CTarvoConsoleApp> console_;

  CUsage& page() { return console_->sheet()->usagePage(); }
  void showPage() { console_->sheet()->SetActivePage(&page()); }

  // Waits (bounded) until every read asked of the page so far has been answered and shown.
  bool ReadsShown() {
    QSignalSpy shown(&page(), &CUsage::readShown);
    while (page().readInFlight()) {
      if (!shown.wait(kTimeoutMs)) return false;
    }
    return true;
  }
  // One poll, made and shown.
  bool PollShown() {
    page().Poll();
    return ReadsShown();
  }

  // A bar's download and upload in bytes; -1 each when there is no bar of that name.
  std::pair<std::int64_t, std::int64_t> Bar(const QString& name) {
    const qsizetype i = page().barNames().indexOf(name);
    if (i < 0) return {-1, -1};
    const double unit = page().byteUnit().bytes;
    return {std::llround(page().downSet()->at(i) * unit),
            std::llround(page().upSet()->at(i) * unit)};
  }

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(harness_.startDaemon());
    console_ = harness_.openConsole();  // opens the store in this home
    QVERIFY(console_ != nullptr);
    ConsoleHarness::closeConsole(console_);
    QVERIFY(SetUserInfo("ann", "annpw", 0, 0));
    QVERIFY(SetUserInfo("ben", "benpw", 0, 0));
    QVERIFY(SetUserInfo("cy", "cypw", 0, 0));  // relays nothing: no bar
  }

  void init() {
    console_ = harness_.openConsole();
    QVERIFY(console_ != nullptr);
    harness_.boxes.clear();
  }
  void cleanup() { ConsoleHarness::closeConsole(console_); }

  void theSheetKeepsTheDesignedPagesSize() {
    CServerTreeSheet* sheet = console_->sheet();
    const QSize designed = sheet->size();
    showPage();
    QVERIFY(PollShown());  // the texts change
    QCOMPARE(sheet->size(), designed);
    sheet->SetActivePage(&sheet->aboutPage());
    QCOMPARE(sheet->size(), designed);
  }

  void comesAfterTheDesignedPagesAndStartsEmpty() {
    QVERIFY(!page().created());
    showPage();
    QCOMPARE(console_->sheet()->titleBarText(), QStringLiteral("Usage"));
    QVERIFY(ReadsShown());
    QVERIFY(page().barNames().isEmpty());
    QCOMPARE(page().totals().both(), 0);
    QVERIFY(page().totalsLabel()->text().contains("0 B"));
  }

  void barsHoldWhatEachUserRelayedOnceTheSessionsEnd() {
    showPage();
    LoopbackTcpServer echo(EchoHandler);
    LoopbackTcpServer source(SourceHandler(50'000));
    std::atomic<bool> release{true};
    std::atomic<std::size_t> sunk{0};
    std::atomic<bool> intact{true};
    LoopbackTcpServer sink(SinkHandler(release, sunk, intact));

    client::SessionClient ann;
    client::SessionClient ben;
    QVERIFY(LogIn(ann, harness_.port(), "ann", "annpw"));
    QVERIFY(LogIn(ben, harness_.port(), "ben", "benpw"));
    QVERIFY(Echo(ann, echo.port(), 30'000));
    QCOMPARE(Download(ben, source.port()), std::size_t{50'000});
    {
      DataConnection upload;
      QCOMPARE(upload.open(ben, kLoopbackAddress, sink.port(), kTimeoutMs), ClientStatus::kOk);
      QCOMPARE(upload.send(Pattern(20'000)), ClientStatus::kOk);
      QVERIFY(WaitFor([&] { return sunk.load() >= 20'000; }));
    }
    // The end of a session stores what it counted; the notification brings the page's read.
    ann.close();
    ben.close();
    QVERIFY(WaitFor([&] { return page().totals().both() == 130'000; }));
    QCOMPARE(Bar("ann"), std::make_pair(std::int64_t{30'000}, std::int64_t{30'000}));
    QCOMPARE(Bar("ben"), std::make_pair(std::int64_t{50'000}, std::int64_t{20'000}));
    // Bottom up: ann's 60,000 below ben's 70,000, no bar for cy and no others' bar.
    QCOMPARE(page().barNames(), QStringList({"ann", "ben"}));
    QCOMPARE(page().totals().down, 80'000);
    QCOMPARE(page().totals().up, 50'000);
    QCOMPARE(QString::fromLatin1(page().byteUnit().name), QStringLiteral("KB"));
    QVERIFY(page().totalsLabel()->text().contains("127 KB"));  // 130,000 bytes
    QVERIFY(harness_.boxes.empty());
  }

  void readsTheStoreOnceForABurstOfNotifications() {
    showPage();
    QVERIFY(ReadsShown());  // the first poll, with the bars
    const auto before = Bar("ann");
    std::int64_t counter = 0;
    UserPolicy policy{};
    QCOMPARE(AddUserCountsStatus("ann", 1'000, 2'000, &counter, &policy), READER_OK);
    const int reads = page().counterReads();
    Notification changed;
    changed.code = NTF_USER_CHANGED;
    changed.name = "ann";
    for (int i = 0; i < 50; ++i) {
      NotificationEvent event(kChangedEvent, changed);
      QCoreApplication::sendEvent(&page(), &event);
    }
    QVERIFY(WaitFor([&] { return Bar("ann").first == before.first + 1'000; }));
    QCOMPARE(page().counterReads(), reads + 1);
    QCOMPARE(Bar("ann").second, before.second + 2'000);
  }

  void throughputIsTheRelayedBytesBetweenPollsOverTheTimeBetweenThem() {
    showPage();
    QVERIFY(PollShown());  // after the first one, made at the latest when the page was shown
    QVERIFY(page().showsRateChart());
    const auto& points = page().rateHistory().points();
    QVERIFY(!points.empty());
    const std::size_t quiet = points.size() - 1;
    QCOMPARE(points[quiet].down, 0.0);
    QCOMPARE(points[quiet].up, 0.0);
    const auto before = RelayedNow();
    QVERIFY(before.first >= 0);

    LoopbackTcpServer echo(EchoHandler);
    client::SessionClient ann;
    QVERIFY(LogIn(ann, harness_.port(), "ann", "annpw"));
    QVERIFY(Echo(ann, echo.port(), 40'000));
    QVERIFY(WaitFor([&] {
      const auto now = RelayedNow();
      return now.first >= before.first + 40'000 && now.second >= before.second + 40'000;
    }));
    QVERIFY(PollShown());
    // The page's own 5 s poll may have come in between: the points after the quiet one,
    // each rate over its time, add up to what was relayed.
    QVERIFY(points.size() > quiet + 1);
    double down = 0;
    double up = 0;
    for (std::size_t i = quiet + 1; i < points.size(); ++i) {
      const double seconds = static_cast<double>(points[i].atMs - points[i - 1].atMs) / 1000.0;
      QVERIFY(seconds > 0);
      down += points[i].down * seconds;
      up += points[i].up * seconds;
    }
    QCOMPARE(std::llround(down), 40'000LL);
    QCOMPARE(std::llround(up), 40'000LL);
    // The chart holds the points at their times.
    const auto count = static_cast<int>(points.size());
    QCOMPARE(page().downRateSeries()->count(), count);
    QCOMPARE(page().upRateSeries()->count(), count);
    QCOMPARE(static_cast<std::int64_t>(page().downRateSeries()->at(count - 1).x()),
             points.back().atMs);
    QVERIFY(page().statusLine()->text().startsWith("Sessions: 1   TCP relays: "));
    QVERIFY(page().statusLine()->text().contains("UDP relays: 0"));
    ann.close();
  }

  void saysWhyTheThroughputIsMissingAndTheBarsStillWork() {
    // A runtime directory without the daemon's sockets.
    TempDir elsewhere;
    const QByteArray runtime = qgetenv("TARVO_RUNTIME_DIR");
    QVERIFY(ReadsShown());  // no read of the variable while it changes
    ::setenv("TARVO_RUNTIME_DIR", elsewhere.path().c_str(), 1);
    showPage();
    QVERIFY(PollShown());
    const std::int64_t before = Bar("ben").first;
    std::int64_t counter = 0;
    UserPolicy policy{};
    QCOMPARE(AddUserCountsStatus("ben", 3'000, 0, &counter, &policy), READER_OK);
    QVERIFY(PollShown());
    ::setenv("TARVO_RUNTIME_DIR", runtime.constData(), 1);
    QVERIFY(!page().showsRateChart());
    const QString prefix = QStringLiteral("The service's throughput cannot be shown: ");
    QVERIFY(page().rateError()->text().startsWith(prefix));
    QVERIFY(page().rateError()->text().size() > prefix.size());
    QVERIFY(page().statusLine()->text().isEmpty());
    QVERIFY(page().rateHistory().points().empty());
    QCOMPARE(Bar("ben").first, before + 3'000);
  }

  void readsOneAtATimeAndClosesWithAReadInFlight() {
    showPage();
    QVERIFY(ReadsShown());
    const int polls = page().polls();
    // Asked while the first is in flight, the other nine are made after it, as one. The page's
    // own 5 s poll may come in as well.
    for (int i = 0; i < 10; ++i) page().Poll();
    QVERIFY(ReadsShown());
    QVERIFY(page().polls() - polls >= 2);
    QVERIFY(page().polls() - polls <= 3);

    // A stopped daemon holds the figures' read until its time-out: the console closes while the
    // reader's thread waits in it, and the answer posted after the page began to go is dropped
    // with the page (the sanitizer build sees any touch of the page after that).
    QCOMPARE(::kill(harness_.daemon()->pid(), SIGSTOP), 0);
    page().Poll();
    ConsoleHarness::closeConsole(console_);
    QCOMPARE(::kill(harness_.daemon()->pid(), SIGCONT), 0);
  }
};

QTEST_MAIN(ConsoleUsageTest)
#include "console_usage_test.moc"
