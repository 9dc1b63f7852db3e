// The sheet around the pages, the settings page writing tarvoserver.ini through the daemon, and
// the About page.
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include "console/about_page.h"
#include "console/settings_page.h"
#include "console/users_page.h"
#include "tests/console/console_harness.h"

using namespace tarvo;
using namespace tarvo::test;

class ConsoleSheetTest : public QObject {
  Q_OBJECT

 private:
  ConsoleHarness harness_;
  std::unique_ptr<CTarvoConsoleApp> console_;

  CServerTreeSheet& sheet() { return *console_->sheet(); }
  CSettings& settings() { return sheet().settingsPage(); }
  bool iniHas(const std::string& line) {
    return harness_.readFile("tarvoserver.ini").find(line + "\n") != std::string::npos;
  }
  bool iniExists() { return ::access((harness_.home() + "/tarvoserver.ini").c_str(), F_OK) == 0; }
  void removeIni() { ::unlink((harness_.home() + "/tarvoserver.ini").c_str()); }

 private Q_SLOTS:
  void initTestCase() { QVERIFY(harness_.startDaemon()); }

  void init() {
    console_ = harness_.openConsole();
    QVERIFY(console_ != nullptr);
    harness_.boxes.clear();
    harness_.ended = 0;
  }
  void cleanup() { ConsoleHarness::closeConsole(console_); }

  void showsTheFourDesignedPagesAndUsageInATree() {
    QVERIFY(sheet().windowTitle().contains("Tarvo Server"));
    QVERIFY(sheet().windowTitle().contains("BETA"));
    QTreeWidget* tree = sheet().pageTree();
    QCOMPARE(tree->topLevelItemCount(), 5);
    const QStringList captions{"Users", "Connected users", "Settings", "About", "Usage"};
    for (int i = 0; i < 5; ++i) {
      QCOMPARE(tree->topLevelItem(i)->text(0), captions[i]);
      QVERIFY(!tree->topLevelItem(i)->icon(0).isNull());
    }
    QCOMPARE(sheet().titleBarText(), QStringLiteral("Users"));
    QVERIFY(sheet().usersPage().created());
    QVERIFY(!sheet().aboutPage().created());
    QVERIFY(!sheet().applyButton()->isEnabled());

    tree->setCurrentItem(tree->topLevelItem(3));
    QCOMPARE(sheet().titleBarText(), QStringLiteral("About"));
    QCOMPARE(sheet().aboutPage().titleLine()->text(), QStringLiteral("Tarvo Server BETA V2.0.5"));
    tree->setCurrentItem(nullptr);
    QVERIFY(sheet().showsEmptyPage());
  }

  void appliesSettingsThroughTheDaemon() {
    sheet().SetActivePage(&settings());
    // Filling the page enables Apply, though the page itself holds no change yet.
    QVERIFY(sheet().applyButton()->isEnabled());
    QVERIFY(!settings().modified());
    QVERIFY(!settings().autoRefreshBox()->isVisible());
    QVERIFY(settings().hidePasswordBox()->isVisible());

    settings().minVersionEdit()->setText("2.0.1");
    settings().multiConnectBox()->click();
    settings().logTypeList()->setCurrentIndex(2);
    settings().portEdit()->setText(QString::number(harness_.port()));
    QVERIFY(settings().modified());
    sheet().applyButton()->click();
    QVERIFY(sheet().isVisible());
    QVERIFY(!sheet().applyButton()->isEnabled());
    QVERIFY(!settings().modified());
    QVERIFY(iniHas("[MinClientVersion]:2.0.1"));
    QVERIFY(iniHas("[MultiConnect]:yes"));
    QVERIFY(iniHas("[AuditType]:2"));
    QCOMPARE(sheet().settings().MinClientVersion, QStringLiteral("2.0.1"));
    QVERIFY(sheet().settingsSent);

    // A version longer than the record's field is refused as it is typed.
    settings().minVersionEdit()->clear();
    QTest::keyClicks(settings().minVersionEdit(), QString(130, QLatin1Char('9')));
    QCOMPARE(settings().minVersionEdit()->text().size(), 127);
  }

  void okSendsEvenWithoutChanges() {
    sheet().SetActivePage(&settings());
    removeIni();
    sheet().PressOk();
    QVERIFY(!sheet().isVisible());
    QCOMPARE(sheet().result(), int(QDialog::Accepted));
    QVERIFY(iniExists());
    QVERIFY(iniHas("[MinClientVersion]:2.0.1"));  // as the previous console left it
  }

  void cancelAsksToSaveChanges() {
    sheet().SetActivePage(&settings());
    settings().minVersionEdit()->setText("2.0.3");
    removeIni();
    harness_.answers.push_back(QMessageBox::No);
    sheet().PressCancel();
    QVERIFY(!sheet().isVisible());
    QCOMPARE(harness_.boxes.size(), 1u);
    QCOMPARE(harness_.boxes[0].text, QStringLiteral("Save changed data?"));
    QCOMPARE(harness_.boxes[0].caption, QStringLiteral("VPN server"));
    QCOMPARE(harness_.boxes[0].icon, QMessageBox::Question);
    QCOMPARE(harness_.boxes[0].owner, static_cast<QWidget*>(&sheet()));
    QVERIFY(!iniExists());

    // Yes, asked from the users page as the active page, saves them.
    ConsoleHarness::closeConsole(console_);
    console_ = harness_.openConsole();
    sheet().SetActivePage(&settings());
    settings().minVersionEdit()->setText("2.0.4");
    sheet().SetActivePage(&sheet().usersPage());
    harness_.answers.push_back(QMessageBox::Yes);
    sheet().PressCancel();
    QVERIFY(!sheet().isVisible());
    QVERIFY(iniHas("[MinClientVersion]:2.0.4"));

    // Without changes Cancel asks nothing.
    ConsoleHarness::closeConsole(console_);
    console_ = harness_.openConsole();
    harness_.boxes.clear();
    sheet().PressCancel();
    QVERIFY(harness_.boxes.empty());
  }

  void titleBarCloseEndsAtOnce() {
    sheet().SetActivePage(&settings());
    settings().minVersionEdit()->setText("2.0.9");
    sheet().close();
    QCOMPARE(harness_.ended, 1);
    QVERIFY(harness_.boxes.empty());
    QVERIFY(iniHas("[MinClientVersion]:2.0.4"));

    // A plain close request empties the users list and closes without a question.
    sheet().PlainClose();
    QVERIFY(!sheet().isVisible());
    QCOMPARE(sheet().usersPage().list()->topLevelItemCount(), 0);
    QVERIFY(harness_.boxes.empty());
  }
};

QTEST_MAIN(ConsoleSheetTest)
#include "console_sheet_test.moc"
