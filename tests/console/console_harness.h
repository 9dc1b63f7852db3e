// What the console tests share: a temporary home for the daemon and the console, the real
// daemon started in it, the console opened on its sheet (shown, not modal), message boxes
// answered from a queue and recorded, and the console's process end recorded instead of done.
#pragma once

#include <QApplication>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "console/console_app.h"
#include "console/message_box.h"
#include "console/server_tree_sheet.h"
#include "tests/daemon_process.h"

namespace tarvo::test {

// Where the console runs: in the daemon's home, or in a home of its own that shares only the
// daemon's store and runtime directory (an administrator who may not read the daemon's files,
// its store key among them).
enum class ConsoleHome { Daemons, Own };

class ConsoleHarness {
 public:
  explicit ConsoleHarness(ConsoleHome consoleHome = ConsoleHome::Daemons);
  ~ConsoleHarness();

  // The daemon's home.
  const std::string& home() const { return home_.path(); }
  // The store file, which the console and the test reach in the daemon's home.
  std::string storePath() const;
  // Starts the daemon (once); false when it did not come up.
  bool startDaemon();
  int port() const { return port_; }
  DaemonProcess* daemon() { return daemon_.get(); }

  // InitInstance; on success the sheet is shown. Null when the console ended at start-up.
  std::unique_ptr<CTarvoConsoleApp> openConsole();
  // Closes the sheet if still open and runs the console's exit.
  static void closeConsole(std::unique_ptr<CTarvoConsoleApp>& console);

  std::string readFile(const std::string& name) const;

  std::vector<MessageBoxRequest> boxes;
  std::deque<QMessageBox::StandardButton> answers;  // Ok when empty
  int ended = 0;

 private:
  TempDir home_;
  TempDir consoleHome_;
  int port_ = 0;
  std::unique_ptr<DaemonProcess> daemon_;
};

// Runs act on the next modal dialog of type Dialog once the event loop it opens is running.
// act must close the dialog; if the dialog is not of that type it is rejected.
template <typename Dialog>
void WhenModal(std::function<void(Dialog*)> act) {
  QTimer::singleShot(0, [act] {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* dialog = qobject_cast<Dialog*>(modal)) {
      act(dialog);
    } else if (auto* other = qobject_cast<QDialog*>(modal)) {
      other->reject();
    }
  });
}

// Waits (bounded) until condition holds, running the event loop meanwhile.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 10000);

}  // namespace tarvo::test
