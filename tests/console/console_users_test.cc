// The console's start-up and its users page against a real daemon and its store.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTreeWidget>

#include "console/control_client/control_client.h"
#include "console/console_images.h"
#include "console/edit_user.h"
#include "console/notification_event.h"
#include "console/settings_page.h"
#include "console/user_names.h"
#include "console/users_page.h"
#include "external/reader.h"
#include "server/common/control_codes.h"
#include "tests/console/console_harness.h"

using namespace tarvo;
using namespace tarvo::test;

namespace {

struct StoredUser {
  bool found = false;
  std::string password;
  std::int64_t limit = 0, counter = 0;
  bool locked = false;
};

StoredUser Stored(const char* name) {
  StoredUser user;
  char password[kUserPasswordSize] = {};
  std::uint8_t locked = 0;
  user.found = GetUserInfo(name, password, &user.limit, &user.counter, &locked);
  user.password = password;
  user.locked = locked != 0;
  return user;
}

QTreeWidgetItem* Row(QTreeWidget* list, const QString& name) {
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    if (list->topLevelItem(i)->text(0) == name) return list->topLevelItem(i);
  }
  return nullptr;
}

int Image(QTreeWidget* list, const QString& name) {
  QTreeWidgetItem* row = Row(list, name);
  return row != nullptr ? row->data(0, kRowImageRole).toInt() : -1;
}

QStringList Names(QTreeWidget* list) {
  QStringList names;
  for (int i = 0; i < list->topLevelItemCount(); ++i) names << list->topLevelItem(i)->text(0);
  return names;
}

void Select(QTreeWidget* list, const QStringList& names) {
  list->clearSelection();
  for (const QString& name : names) Row(list, name)->setSelected(true);
}

int DrawnPixels(const QIcon& icon) {
  const QImage image = icon.pixmap(16, 16).toImage();
  int drawn = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) drawn += qAlpha(image.pixel(x, y)) > 0 ? 1 : 0;
  }
  return drawn;
}

}  // namespace

class ConsoleUsersTest : public QObject {
  Q_OBJECT

 private:
  ConsoleHarness harness_;
  std::unique_ptr<CTarvoConsoleApp> console_;

  CUsers& page() { return console_->sheet()->usersPage(); }
  QTreeWidget* list() { return page().list(); }

  // Through the settings page, applied: the users list refills its Password column.
  void setHidePwd(bool on) {
    CServerTreeSheet* sheet = console_->sheet();
    sheet->SetActivePage(&sheet->settingsPage());
    if (sheet->settingsPage().hidePasswordBox()->isChecked() != on) {
      sheet->settingsPage().hidePasswordBox()->click();
    }
    sheet->PressApply();
    sheet->SetActivePage(&page());
  }

  void open() {
    QVERIFY(harness_.startDaemon());
    console_ = harness_.openConsole();
    QVERIFY(console_ != nullptr);
    harness_.boxes.clear();
  }

 private Q_SLOTS:
  void initTestCase() {
    // Every image is drawn (a missing resource would only warn).
    QTest::failOnWarning(QRegularExpression(QStringLiteral("qt.svg")));
    for (ConsoleImage image : {ConsoleImage::Program, ConsoleImage::UsersPage,
                               ConsoleImage::ConnectedPage, ConsoleImage::SettingsPage,
                               ConsoleImage::Emblem, ConsoleImage::Padlock,
                               ConsoleImage::CounterDisplay, ConsoleImage::PlugLightning,
                               ConsoleImage::ArrowRight}) {
      QVERIFY(DrawnPixels(ConsoleIcon(image)) > 16 * 16 / 8);
    }
    QCOMPARE(DrawnPixels(ConsoleIcon(ConsoleImage::None)), 0);
  }

  // Start-up failures come first: the store opens in this process's home once.
  void endsSilentlyWithoutStore() {
    ::setenv("TARVO_STORE", "Driver=NoSuchOdbcDriver;", 1);
    CTarvoConsoleApp console;
    QVERIFY(!console.InitInstance());
    ::unsetenv("TARVO_STORE");
    QVERIFY(harness_.boxes.empty());
  }

  void reportsServiceNotRunning() {
    CTarvoConsoleApp console;
    QVERIFY(!console.InitInstance());
    QCOMPARE(console.sheet(), nullptr);
    QCOMPARE(harness_.boxes.size(), 1u);
    QCOMPARE(harness_.boxes[0].text, QStringLiteral("Tarvo service not running"));
    QCOMPARE(harness_.boxes[0].caption, QStringLiteral("Error"));
    QCOMPARE(harness_.boxes[0].icon, QMessageBox::Critical);
    QCOMPARE(harness_.boxes[0].owner, nullptr);
    harness_.boxes.clear();
  }

  void init() {
    if (QByteArray(QTest::currentTestFunction()).startsWith("ends") ||
        QByteArray(QTest::currentTestFunction()).startsWith("reports")) {
      return;
    }
    QVERIFY(harness_.startDaemon());
    static bool seeded = false;
    if (!seeded) {
      seeded = true;
      QVERIFY(SetUserInfo("alice", "secret", 0, 0));
      QVERIFY(SetUserInfo("Bob", "pw12345", 1000, 0));
      SetUserCount("Bob", 1000);
      QVERIFY(SetUserInfo("carol", "c", 10, 0));
      SetUserCount("carol", 50);
      QVERIFY(LockUser("carol", 1));
    }
    open();
  }

  void cleanup() { ConsoleHarness::closeConsole(console_); }

  void listsTheStoreWithRowImages() {
    QCOMPARE(Names(list()), (QStringList{"alice", "Bob", "carol"}));
    QTreeWidgetItem* alice = Row(list(), "alice");
    QCOMPARE(alice->text(1), QStringLiteral("secret"));
    QCOMPARE(alice->text(2), QStringLiteral("Not assigned"));
    QCOMPARE(alice->text(3), QStringLiteral("0"));
    QCOMPARE(Row(list(), "Bob")->text(2), QStringLiteral("1000"));
    QCOMPARE(Image(list(), "alice"), 0);
    QCOMPARE(Image(list(), "Bob"), 2);    // counter reached the limit
    QCOMPARE(Image(list(), "carol"), 1);  // locked wins over a used-up limit
    QCOMPARE(list()->headerItem()->text(0), QStringLiteral("Name"));
    QCOMPARE(list()->headerItem()->text(3), QStringLiteral("Counter"));

    // Selection rules.
    QVERIFY(page().addButton()->isEnabled());
    QVERIFY(!page().deleteButton()->isEnabled());
    QVERIFY(!page().changeButton()->isEnabled());
    Select(list(), {"alice", "Bob"});
    QVERIFY(page().deleteButton()->isEnabled());
    QVERIFY(page().resetButton()->isEnabled());
    QVERIFY(page().lockButton()->isEnabled());
    QVERIFY(!page().changeButton()->isEnabled());
    Select(list(), {"alice"});
    QVERIFY(page().changeButton()->isEnabled());
  }

  void editorOkCondition() {
    CEditUser editor(nullptr, false);
    QVERIFY(!editor.okButton()->isEnabled());
    QCOMPARE(editor.unitList()->currentText(), QStringLiteral("Bytes"));
    editor.nameEdit()->setText(QString(255, 'n'));
    QVERIFY(editor.okButton()->isEnabled());
    editor.nameEdit()->setText(QString(256, 'n'));
    QVERIFY(!editor.okButton()->isEnabled());
    editor.nameEdit()->setText("x");
    editor.passwordEdit()->setText(QString(33, 'p'));
    QVERIFY(!editor.okButton()->isEnabled());
    editor.passwordEdit()->setText(QString(32, 'p'));
    QVERIFY(editor.okButton()->isEnabled());

    QCOMPARE(CEditUser::LimitFromText("", 3), 0);
    QCOMPARE(CEditUser::LimitFromText("2", 1), 2048);
    QCOMPARE(CEditUser::LimitFromText("3", 3), 3LL << 30);
    // Past 64 bits, before or after the unit, the limit holds at the largest value.
    QCOMPARE(CEditUser::LimitFromText("99999999999999999999", 0), INT64_MAX);
    QCOMPARE(CEditUser::LimitFromText("9000000000000", 3), INT64_MAX);
  }

  void addsAndRefusesDuplicates() {
    WhenModal<CEditUser>([](CEditUser* editor) {
      editor->nameEdit()->setText("dave");
      editor->passwordEdit()->setText("davepw");
      editor->limitEdit()->setText("2");
      editor->unitList()->setCurrentIndex(1);  // KB
      editor->okButton()->click();
    });
    page().addButton()->click();
    QTreeWidgetItem* dave = Row(list(), "dave");
    QVERIFY(dave != nullptr);
    QCOMPARE(dave->text(2), QStringLiteral("2048"));
    QCOMPARE(dave->text(3), QStringLiteral("0"));
    QCOMPARE(Stored("dave").limit, 2048);
    QCOMPARE(Stored("dave").password, std::string("davepw"));

    const int rows = list()->topLevelItemCount();
    WhenModal<CEditUser>([](CEditUser* editor) {
      editor->nameEdit()->setText("ALICE");
      editor->passwordEdit()->setText("other");
      editor->okButton()->click();
    });
    page().addButton()->click();
    QCOMPARE(list()->topLevelItemCount(), rows);
    QCOMPARE(harness_.boxes.size(), 1u);
    QCOMPARE(harness_.boxes[0].text, QStringLiteral("User already exist"));
    QCOMPARE(harness_.boxes[0].caption, QStringLiteral("Error"));
    QCOMPARE(harness_.boxes[0].owner, static_cast<QWidget*>(&page()));
    QCOMPARE(Stored("alice").password, std::string("secret"));

    // Cancel changes nothing.
    WhenModal<CEditUser>([](CEditUser* editor) {
      editor->nameEdit()->setText("nobody");
      editor->cancelButton()->click();
    });
    page().addButton()->click();
    QVERIFY(!Stored("nobody").found);
  }

  void changesPasswordAndLimit() {
    Select(list(), {"dave"});
    QString shownName, shownPassword, shownLimit;
    bool nameEditable = true;
    WhenModal<CEditUser>([&](CEditUser* editor) {
      shownName = editor->nameEdit()->text();
      nameEditable = editor->nameEdit()->isEnabled();
      shownPassword = editor->passwordEdit()->text();
      shownLimit = editor->limitEdit()->text();
      editor->passwordEdit()->setText("newpw");
      editor->limitEdit()->setText("3");
      editor->unitList()->setCurrentIndex(2);  // MB
      editor->okButton()->click();
    });
    page().changeButton()->click();
    QCOMPARE(shownName, QStringLiteral("dave"));
    QVERIFY(!nameEditable);
    QCOMPARE(shownPassword, QStringLiteral("davepw"));
    QCOMPARE(shownLimit, QStringLiteral("2048"));
    QCOMPARE(Stored("dave").password, std::string("newpw"));
    QCOMPARE(Stored("dave").limit, 3 * 1048576);
    QCOMPARE(Row(list(), "dave")->text(1), QStringLiteral("newpw"));
    QCOMPARE(Row(list(), "dave")->text(2), QString::number(3 * 1048576));

    // "Not assigned" opens as 0.
    Select(list(), {"alice"});
    WhenModal<CEditUser>([&](CEditUser* editor) {
      shownLimit = editor->limitEdit()->text();
      editor->cancelButton()->click();
    });
    page().changeButton()->click();
    QCOMPARE(shownLimit, QStringLiteral("0"));
  }

  void followsNotificationsOfOtherConsoles() {
    std::unique_ptr<ControlClient> other;
    QCOMPARE(ControlClient::ConnectControlPort(other), PortStatus::Ok);
    QCOMPARE(other->CtlAddUser("erin", "erinpw", 5, true), CTL_OK);
    QVERIFY(WaitFor([&] { return Row(list(), "erin") != nullptr; }));
    QCOMPARE(Row(list(), "erin")->text(3), QStringLiteral("0"));
    QCOMPARE(other->CtlUpdateUser("erin", "changed", 0, true), CTL_OK);
    QVERIFY(WaitFor([&] { return Row(list(), "erin")->text(1) == "changed"; }));
    QCOMPARE(Row(list(), "erin")->text(2), QStringLiteral("Not assigned"));
    QCOMPARE(other->CtlDeleteUser("ERIN", true), CTL_OK);
    QVERIFY(WaitFor([&] { return Row(list(), "erin") == nullptr; }));
  }

  void locksAllSelectedAndResetsTheLowest() {
    SetUserCount("alice", 70);
    Select(list(), {"alice", "Bob"});
    page().lockButton()->click();
    QVERIFY(WaitFor([&] { return Image(list(), "alice") == 1 && Image(list(), "Bob") == 1; }));
    QVERIFY(Stored("alice").locked);
    QVERIFY(Stored("Bob").locked);
    page().lockButton()->click();
    QVERIFY(WaitFor([&] { return Image(list(), "alice") == 0 && Image(list(), "Bob") == 2; }));
    QVERIFY(!Stored("Bob").locked);

    // Reset acts on the selected row nearest the bottom only.
    page().resetButton()->click();
    QVERIFY(WaitFor([&] { return Row(list(), "Bob")->text(3) == "0"; }));
    QCOMPARE(Image(list(), "Bob"), 0);
    QCOMPARE(Stored("Bob").counter, 0);
    QCOMPARE(Stored("alice").counter, 70);
  }

  void deletesEverySelectedRow() {
    harness_.answers.push_back(QMessageBox::No);
    Select(list(), {"alice", "dave"});
    page().deleteButton()->click();
    QVERIFY(Stored("alice").found);
    QCOMPARE(harness_.boxes.back().text, QStringLiteral("Do you want to delete selected user(s)?"));
    QCOMPARE(harness_.boxes.back().caption, QStringLiteral("VPN server"));
    QCOMPARE(harness_.boxes.back().icon, QMessageBox::Question);

    harness_.answers.push_back(QMessageBox::Yes);
    page().deleteButton()->click();
    QCOMPARE(Names(list()), (QStringList{"Bob", "carol"}));
    QVERIFY(!Stored("alice").found);
    QVERIFY(!Stored("dave").found);
    QCOMPARE(harness_.ended, 0);
  }

  void hidesPasswordsInListAndEditor() {
    // Turn HidePwd on through the settings page; the users list redraws its Password column.
    auto* sheet = console_->sheet();
    sheet->SetActivePage(&sheet->settingsPage());
    sheet->settingsPage().hidePasswordBox()->click();
    sheet->PressApply();
    QVERIFY(WaitFor([&] { return Row(list(), "Bob")->text(1) == "*******"; }));
    QCOMPARE(Row(list(), "carol")->text(1), QStringLiteral("*"));

    sheet->SetActivePage(&page());
    Select(list(), {"Bob"});
    QLineEdit::EchoMode echo = QLineEdit::Normal;
    QString held;
    WhenModal<CEditUser>([&](CEditUser* editor) {
      echo = editor->passwordEdit()->echoMode();
      held = editor->passwordEdit()->text();
      editor->cancelButton()->click();
    });
    page().changeButton()->click();
    QCOMPARE(echo, QLineEdit::Password);
    QCOMPARE(held, QStringLiteral("pw12345"));

    // A console started now shows the masked column from the first row on.
    ConsoleHarness::closeConsole(console_);
    open();
    QCOMPARE(Row(list(), "Bob")->text(1), QStringLiteral("*******"));
  }

  // Names match as the daemon and the store match them: ASCII letters in either case, every
  // other character exactly. "émile" and "Émile" are two users, each with its own row.
  void namesDifferingBeyondAsciiAreTwoUsers() {
    QVERIFY(UserNamesEqual("Bob", "bOB"));
    QVERIFY(!UserNamesEqual(QStringLiteral("émile"), QStringLiteral("Émile")));
    QVERIFY(!UserNamesEqual(QStringLiteral("kim"), QStringLiteral("\u212Aim")));  // Kelvin sign

    setHidePwd(false);
    ConsoleHarness::closeConsole(console_);
    open();
    QCOMPARE(Row(list(), "Bob")->text(1), QStringLiteral("pw12345"));

    const QString lower = QStringLiteral("émile"), upper = QStringLiteral("Émile");
    std::unique_ptr<ControlClient> other;
    QCOMPARE(ControlClient::ConnectControlPort(other), PortStatus::Ok);
    QCOMPARE(other->CtlAddUser(lower.toStdString(), "lowerpw", 0, true), CTL_OK);
    QCOMPARE(other->CtlAddUser(upper.toStdString(), "upperpw", 7, true), CTL_OK);
    QVERIFY(WaitFor([&] { return Row(list(), lower) && Row(list(), upper); }));
    QCOMPARE(Row(list(), lower)->text(1), QStringLiteral("lowerpw"));

    QCOMPARE(other->CtlUpdateUser(upper.toStdString(), "changed", 9, true), CTL_OK);
    QVERIFY(WaitFor([&] { return Row(list(), upper)->text(1) == "changed"; }));
    QCOMPARE(Row(list(), lower)->text(1), QStringLiteral("lowerpw"));
    QCOMPARE(Row(list(), lower)->text(2), QStringLiteral("Not assigned"));

    // The Password column refilled from the daemon gives each row its own.
    setHidePwd(true);
    QVERIFY(WaitFor([&] { return Row(list(), upper)->text(1) == "*******"; }));
    QCOMPARE(Row(list(), lower)->text(1), QStringLiteral("*******"));
    setHidePwd(false);
    QVERIFY(WaitFor([&] { return Row(list(), lower)->text(1) == "lowerpw"; }));
    QCOMPARE(Row(list(), upper)->text(1), QStringLiteral("changed"));

    // Each one's editor, and each one's deletion, concern that user alone.
    ConsoleHarness::closeConsole(console_);
    open();
    Select(list(), {upper});
    QString held;
    WhenModal<CEditUser>([&](CEditUser* editor) {
      held = editor->passwordEdit()->text();
      editor->cancelButton()->click();
    });
    page().changeButton()->click();
    QCOMPARE(held, QStringLiteral("changed"));
    QCOMPARE(other->CtlDeleteUser(lower.toStdString(), true), CTL_OK);
    QVERIFY(WaitFor([&] { return Row(list(), lower) == nullptr; }));
    QVERIFY(Row(list(), upper) != nullptr);
    QCOMPARE(other->CtlDeleteUser(upper.toStdString(), true), CTL_OK);
    QVERIFY(WaitFor([&] { return Row(list(), upper) == nullptr; }));
    QCOMPARE(harness_.ended, 0);
  }
};

QTEST_MAIN(ConsoleUsersTest)
#include "console_users_test.moc"
