// The users page's Up and Down columns and the user editor's policy dialog, against a real
// daemon and its store.
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTreeWidget>
#include <ctime>

#include "console/control_client/control_client.h"
#include "console/edit_policy.h"
#include "console/edit_user.h"
#include "console/notification_event.h"
#include "console/users_page.h"
#include "external/reader_policy.h"
#include "server/common/control_codes.h"
#include "tests/console/console_harness.h"

using namespace tarvo;
using namespace tarvo::test;

namespace {

QTreeWidgetItem* Row(QTreeWidget* list, const QString& name) {
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    if (list->topLevelItem(i)->text(0) == name) return list->topLevelItem(i);
  }
  return nullptr;
}

QString Cell(QTreeWidget* list, const QString& name, int column) {
  QTreeWidgetItem* row = Row(list, name);
  return row != nullptr ? row->text(column) : QStringLiteral("(no row)");
}

UserPolicy Policy(const char* name) {
  UserPolicy policy{};
  policy.period = -1;  // told apart from a read that failed
  GetUserPolicyStatus(name, &policy);
  return policy;
}

// Midnight local time on the 1st of this month, and on the 1st of the next.
std::int64_t FirstOfMonth(int monthsAhead = 0) {
  const std::time_t now = std::time(nullptr);
  std::tm fields{};
  localtime_r(&now, &fields);
  fields.tm_mday = 1;
  fields.tm_mon += monthsAhead;
  fields.tm_hour = fields.tm_min = fields.tm_sec = 0;
  fields.tm_isdst = -1;
  return std::mktime(&fields);
}

void ChooseRate(QLineEdit* edit, QComboBox* unit, const char* number, const char* unitText) {
  edit->setText(QString::fromUtf8(number));
  unit->setCurrentText(QString::fromUtf8(unitText));
}

}  // namespace

class ConsolePolicyTest : public QObject {
  Q_OBJECT

 private:
  ConsoleHarness harness_;
  std::unique_ptr<CTarvoConsoleApp> console_;

  CUsers& page() { return console_->sheet()->usersPage(); }
  QTreeWidget* list() { return page().list(); }

  void open() {
    console_ = harness_.openConsole();
    QVERIFY(console_ != nullptr);
    harness_.boxes.clear();
  }

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(harness_.startDaemon());
    open();  // opens the store in this process too
    QVERIFY(SetUserInfo("ann", "annpw", 0, 0));
    QVERIFY(SetUserInfo("ben", "benpw", 0, 0));
    std::int64_t counter = 0;
    UserPolicy policy{};
    QCOMPARE(AddUserCountsStatus("ann", 700, 300, &counter, &policy), READER_OK);
    ConsoleHarness::closeConsole(console_);
  }

  void init() { open(); }
  void cleanup() { ConsoleHarness::closeConsole(console_); }

  void upAndDownFollowTheStoreWithOneReadPerBurstOfNotifications() {
    // After the designed columns, which stay as they were.
    QCOMPARE(list()->columnCount(), 6);
    const QStringList headers = {"Name", "Password", "Limit", "Counter", "Up", "Down"};
    for (int column = 0; column < 6; ++column) {
      QCOMPARE(list()->headerItem()->text(column), headers[column]);
    }
    QCOMPARE(Cell(list(), "ann", 3), QStringLiteral("1000"));
    QCOMPARE(Cell(list(), "ann", 4), QStringLiteral("300"));
    QCOMPARE(Cell(list(), "ann", 5), QStringLiteral("700"));
    QCOMPARE(Cell(list(), "ben", 4), QStringLiteral("0"));

    // Fifty counter notifications at once: one read of the store after them.
    std::int64_t counter = 0;
    UserPolicy policy{};
    QCOMPARE(AddUserCountsStatus("ann", 1000, 0, &counter, &policy), READER_OK);
    const int reads = page().counterReads();
    Notification changed;
    changed.code = NTF_USER_CHANGED;
    changed.name = "ann";
    std::memcpy(changed.user.name, "ann", 3);
    changed.user.counter = counter;
    for (int i = 0; i < 50; ++i) {
      NotificationEvent event(kChangedEvent, changed);
      QCoreApplication::sendEvent(&page(), &event);
    }
    QVERIFY(WaitFor([&] { return Cell(list(), "ann", 5) == "1700"; }));
    QCOMPARE(page().counterReads(), reads + 1);
    QCOMPARE(Cell(list(), "ann", 3), QStringLiteral("2000"));

    // The daemon's own notification of a change made elsewhere.
    QCOMPARE(AddUserCountsStatus("ben", 5, 6, &counter, &policy), READER_OK);
    std::unique_ptr<ControlClient> other;
    QCOMPARE(ControlClient::ConnectControlPort(other), PortStatus::Ok);
    QCOMPARE(other->CtlUpdateUser("ben", "benpw", 0, true), CTL_OK);
    QVERIFY(WaitFor([&] { return Cell(list(), "ben", 4) == "6"; }));
    QCOMPARE(Cell(list(), "ben", 5), QStringLiteral("5"));

    // A reset zeroes them with the design's counter.
    list()->clearSelection();
    Row(list(), "ann")->setSelected(true);
    page().resetButton()->click();
    QVERIFY(WaitFor([&] { return Cell(list(), "ann", 5) == "0"; }));
    QCOMPARE(Cell(list(), "ann", 4), QStringLiteral("0"));
    QCOMPARE(Cell(list(), "ann", 3), QStringLiteral("0"));
    QVERIFY(harness_.boxes.empty());
  }

  void policyIsStoredWhenTheEditorIsAccepted() {
    // A new user with a policy: written once the daemon has added the user.
    std::int64_t expiry = 0;
    bool okForTinyRate = true;
    WhenModal<CEditUser>([&](CEditUser* editor) {
      editor->nameEdit()->setText("cat");
      editor->passwordEdit()->setText("catpw");
      WhenModal<CEditPolicy>([&](CEditPolicy* dialog) {
        ChooseRate(dialog->rateDownEdit(), dialog->rateDownUnit(), "0.001", "bit/s");
        okForTinyRate = dialog->okButton()->isEnabled();  // below a byte a second
        ChooseRate(dialog->rateDownEdit(), dialog->rateDownUnit(), "20", "Mbit/s");
        ChooseRate(dialog->rateUpEdit(), dialog->rateUpUnit(), "512", "KiB/s");
        QVERIFY(!dialog->periodStartEdit()->isEnabled());
        dialog->periodList()->setCurrentIndex(POLICY_PERIOD_MONTHLY);
        QVERIFY(dialog->periodStartEdit()->isEnabled());
        dialog->maxSessionsBox()->setValue(2);
        QVERIFY(dialog->neverExpiresBox()->isChecked());
        dialog->neverExpiresBox()->setChecked(false);
        dialog->expiresEdit()->setDateTime(QDateTime(QDate(2027, 6, 30), QTime(0, 0)));
        expiry = dialog->expiresEdit()->dateTime().toSecsSinceEpoch();
        dialog->okButton()->click();
      });
      editor->policyButton()->click();
      editor->okButton()->click();
    });
    page().addButton()->click();
    QVERIFY(!okForTinyRate);
    UserPolicy stored = Policy("cat");
    QCOMPARE(stored.rateDown, 2500000);
    QCOMPARE(stored.rateUp, 524288);
    QCOMPARE(stored.period, static_cast<std::int32_t>(POLICY_PERIOD_MONTHLY));
    QCOMPARE(stored.periodAnchor, FirstOfMonth());  // the default start, as tarvoadm's
    QCOMPARE(stored.periodStart, FirstOfMonth());   // the current period: no reset at once
    QCOMPARE(stored.maxSessions, 2);
    QCOMPARE(stored.expires, expiry);
    QCOMPARE(Cell(list(), "cat", 4), QStringLiteral("0"));

    // A policy accepted in an editor that is then cancelled is not stored.
    Row(list(), "cat")->setSelected(true);
    WhenModal<CEditUser>([&](CEditUser* editor) {
      WhenModal<CEditPolicy>([&](CEditPolicy* dialog) {
        dialog->maxSessionsBox()->setValue(5);
        dialog->okButton()->click();
      });
      editor->policyButton()->click();
      editor->cancelButton()->click();
    });
    page().changeButton()->click();
    QCOMPARE(Policy("cat").maxSessions, 2);

    // A period that is due to begin (its start left behind, the anchor off by seconds): the
    // dialog shows what is stored, and a change of something else leaves the reset due.
    stored.periodAnchor = FirstOfMonth(-12) + 30;
    stored.periodStart = PolicyPeriodStart(POLICY_PERIOD_MONTHLY, stored.periodAnchor,
                                           FirstOfMonth() - 1);
    QCOMPARE(SetUserPolicyStatus("cat", &stored), READER_OK);
    QString downText, downUnit, upText, upUnit;
    int period = -1;
    WhenModal<CEditUser>([&](CEditUser* editor) {
      WhenModal<CEditPolicy>([&](CEditPolicy* dialog) {
        downText = dialog->rateDownEdit()->text();
        downUnit = dialog->rateDownUnit()->currentText();
        upText = dialog->rateUpEdit()->text();
        upUnit = dialog->rateUpUnit()->currentText();
        period = dialog->periodList()->currentIndex();
        dialog->rateUpEdit()->clear();  // no limit
        dialog->maxSessionsBox()->setValue(0);
        dialog->okButton()->click();
      });
      editor->policyButton()->click();
      editor->okButton()->click();
    });
    page().changeButton()->click();
    QCOMPARE(downText + " " + downUnit, QStringLiteral("2.5 MB/s"));
    QCOMPARE(upText + " " + upUnit, QStringLiteral("512 KiB/s"));
    QCOMPARE(period, static_cast<int>(POLICY_PERIOD_MONTHLY));
    const UserPolicy changed = Policy("cat");
    QCOMPARE(changed.rateUp, 0);
    QCOMPARE(changed.maxSessions, 0);
    QCOMPARE(changed.rateDown, 2500000);
    QCOMPARE(changed.periodAnchor, stored.periodAnchor);
    QCOMPARE(changed.periodStart, stored.periodStart);
    std::uint8_t began = 0;
    std::int64_t counter = 0;
    UserPolicy after{};
    QCOMPARE(BeginUserPeriodStatus("cat", std::time(nullptr), &began, &counter, &after),
             READER_OK);
    QCOMPARE(began, std::uint8_t{1});
    QVERIFY(harness_.boxes.empty());
    QCOMPARE(harness_.ended, 0);
  }
};

QTEST_MAIN(ConsolePolicyTest)
#include "console_policy_test.moc"
