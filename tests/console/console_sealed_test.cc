// The users page with passwords sealed in the store, the console running in a home of its own:
// like an administrator of the admin group, it reaches the daemon's store but not its key.
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <cstring>

#include "console/console_images.h"
#include "console/control_client/control_client.h"
#include "console/edit_user.h"
#include "console/users_page.h"
#include "external/reader.h"
#include "server/common/control_codes.h"
#include "tests/console/console_harness.h"
#include "tests/raw_sql.h"

using namespace tarvo;
using namespace tarvo::test;

namespace {

QTreeWidgetItem* Row(QTreeWidget* list, const QString& name) {
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    if (list->topLevelItem(i)->text(0) == name) return list->topLevelItem(i);
  }
  return nullptr;
}

// The store's record as this process reads it, through the function that finds a user whose
// password does not open.
UserInfo Found(const char* name) {
  UserInfo user{};
  if (FindUserStatus(name, user.password, &user.limit, &user.counter, &user.locked) != READER_OK) {
    user.name[0] = '\0';
  } else {
    std::strncpy(user.name, name, sizeof user.name - 1);
  }
  return user;
}

// The record as the daemon reads it, with its key.
std::string DaemonPassword(ControlClient& client, const char* name) {
  UserInfo user{};
  std::strncpy(user.name, name, sizeof user.name - 1);
  return client.CtlFindUser(user) == CTL_OK ? std::string(user.password) : "(none)";
}

}  // namespace

class ConsoleSealedTest : public QObject {
  Q_OBJECT

 private:
  ConsoleHarness harness_{ConsoleHome::Own};
  std::unique_ptr<CTarvoConsoleApp> console_;
  std::unique_ptr<ControlClient> other_;

  CUsers& page() { return console_->sheet()->usersPage(); }
  QTreeWidget* list() { return page().list(); }
  int image(const QString& name) { return Row(list(), name)->data(0, kRowImageRole).toInt(); }

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(harness_.startDaemon());
    QCOMPARE(ControlClient::ConnectControlPort(other_), PortStatus::Ok);
    SettingsRecord settings{};
    QCOMPARE(other_->CtlGetSettings(settings), CTL_OK);
    settings.StoreEncryptedPwd = 1;
    QCOMPARE(other_->CtlSetSettings(settings), CTL_OK);

    // Sealed by the daemon, under the key in its home.
    QCOMPARE(other_->CtlAddUser("sealy", "s3cret", 0, false), CTL_OK);
    // Sealed under this process's key, then moved to another row: nobody can open it.
    QVERIFY(InitReader());
    QVERIFY(SetUserInfo("decoy", "d", 0, 1));
    QVERIFY(SetUserInfo("ghost", "g", 500, 1));
    QCOMPARE(RunSqlOnFile(harness_.storePath(),
                          "UPDATE UsersTable SET user_password = (SELECT user_password FROM "
                          "UsersTable WHERE name_key = 'decoy') WHERE name_key = 'ghost'"),
             std::string());
    QVERIFY(DeleteUser("decoy"));
    SetUserCount("ghost", 70);

    // What the console can read by itself: neither password.
    char password[kUserPasswordSize];
    std::int64_t limit, counter;
    std::uint8_t locked;
    QVERIFY(!GetUserInfo("sealy", password, &limit, &counter, &locked));
    QVERIFY(!GetUserInfo("ghost", password, &limit, &counter, &locked));
    QCOMPARE(DaemonPassword(*other_, "ghost"), std::string());
  }

  void init() {
    console_ = harness_.openConsole();
    QVERIFY(console_ != nullptr);
    harness_.boxes.clear();
  }
  void cleanup() { ConsoleHarness::closeConsole(console_); }

  void showsThePasswordsTheDaemonOpens() {
    QCOMPARE(Row(list(), "sealy")->text(1), QStringLiteral("s3cret"));
    QCOMPARE(Row(list(), "ghost")->text(1), QString());
    // "Change" shows what the list shows.
    Row(list(), "sealy")->setSelected(true);
    QString held;
    WhenModal<CEditUser>([&](CEditUser* editor) {
      held = editor->passwordEdit()->text();
      editor->cancelButton()->click();
    });
    page().changeButton()->click();
    QCOMPARE(held, QStringLiteral("s3cret"));
  }

  void anUnopenablePasswordIsLockedResetAndReplaced() {
    Row(list(), "ghost")->setSelected(true);
    QCOMPARE(Row(list(), "ghost")->text(3), QStringLiteral("70"));
    page().lockButton()->click();
    QVERIFY(WaitFor([&] { return image("ghost") == 1; }));
    QCOMPARE(Found("ghost").locked, 1);
    page().lockButton()->click();
    QVERIFY(WaitFor([&] { return image("ghost") == 0; }));
    QCOMPARE(Found("ghost").locked, 0);
    page().resetButton()->click();
    QVERIFY(WaitFor([&] { return Row(list(), "ghost")->text(3) == "0"; }));
    QCOMPARE(Found("ghost").counter, 0);
    QCOMPARE(harness_.ended, 0);

    // The name is taken: "Add" says so and overwrites nothing.
    const int rows = list()->topLevelItemCount();
    WhenModal<CEditUser>([](CEditUser* editor) {
      editor->nameEdit()->setText("GHOST");
      editor->passwordEdit()->setText("intruder");
      editor->okButton()->click();
    });
    page().addButton()->click();
    QCOMPARE(harness_.boxes.size(), 1u);
    QCOMPARE(harness_.boxes[0].text, QStringLiteral("User already exist"));
    QCOMPARE(list()->topLevelItemCount(), rows);
    QCOMPARE(DaemonPassword(*other_, "ghost"), std::string());
    QCOMPARE(Found("ghost").limit, 500);

    // "Change" opens it with the empty password and sets a new one.
    QString held = QStringLiteral("(not opened)");
    WhenModal<CEditUser>([&](CEditUser* editor) {
      held = editor->passwordEdit()->text();
      editor->passwordEdit()->setText("fresh");
      editor->okButton()->click();
    });
    page().changeButton()->click();
    QCOMPARE(held, QString());
    QCOMPARE(Row(list(), "ghost")->text(1), QStringLiteral("fresh"));
    QCOMPARE(DaemonPassword(*other_, "ghost"), std::string("fresh"));
    QCOMPARE(harness_.ended, 0);
  }

  void aConsoleStartedLaterShowsTheNewPassword() {
    QCOMPARE(Row(list(), "ghost")->text(1), QStringLiteral("fresh"));
    QCOMPARE(list()->topLevelItemCount(), 2);
  }
};

QTEST_MAIN(ConsoleSealedTest)
#include "console_sealed_test.moc"
