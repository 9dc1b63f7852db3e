#include "tests/console/console_harness.h"

#include <signal.h>
#include <stdlib.h>

#include <QDeadlineTimer>
#include <QTest>
#include <fstream>
#include <sstream>

namespace tarvo::test {

ConsoleHarness::ConsoleHarness(ConsoleHome consoleHome) {
  ::setenv("TARVO_RUNTIME_DIR", home_.path().c_str(), 1);
  if (consoleHome == ConsoleHome::Own) {
    ::setenv("TARVO_HOME", consoleHome_.path().c_str(), 1);
    // Also the daemon's store: it inherits this environment.
    const std::string store = "Driver=SQLite3;Database=" + storePath() + ";Timeout=10000;";
    ::setenv("TARVO_STORE", store.c_str(), 1);
  } else {
    ::setenv("TARVO_HOME", home_.path().c_str(), 1);
  }
  SetMessageBoxFunction([this](const MessageBoxRequest& request) {
    boxes.push_back(request);
    if (answers.empty()) {
      return request.buttons.testFlag(QMessageBox::Ok) ? QMessageBox::Ok : QMessageBox::No;
    }
    const QMessageBox::StandardButton answer = answers.front();
    answers.pop_front();
    return answer;
  });
  SetEndProcessFunction([this] { ++ended; });
}

ConsoleHarness::~ConsoleHarness() {
  SetMessageBoxFunction({});
  SetEndProcessFunction({});
  if (daemon_) daemon_->stop(SIGTERM);
}

bool ConsoleHarness::startDaemon() {
  if (daemon_) return daemon_->running();
  port_ = FreeLoopbackPort();
  daemon_ = std::make_unique<DaemonProcess>(home_.path());
  return daemon_->writeSettings(port_) && daemon_->start() && daemon_->waitReady();
}

std::unique_ptr<CTarvoConsoleApp> ConsoleHarness::openConsole() {
  auto console = std::make_unique<CTarvoConsoleApp>();
  if (!console->InitInstance()) return nullptr;
  console->sheet()->show();
  return console;
}

void ConsoleHarness::closeConsole(std::unique_ptr<CTarvoConsoleApp>& console) {
  if (!console) return;
  if (console->sheet()->isVisible()) console->sheet()->done(QDialog::Rejected);
  console->ExitInstance();
  console.reset();
}

std::string ConsoleHarness::storePath() const { return home_.path() + "/VPNdb.sqlite3"; }

std::string ConsoleHarness::readFile(const std::string& name) const {
  std::ifstream in(home_.path() + "/" + name);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  while (!condition()) {
    if (deadline.hasExpired()) return false;
    QTest::qWait(10);
  }
  return true;
}

}  // namespace tarvo::test
