#include "console/console_app.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include "console/message_box.h"
#include "console/server_tree_sheet.h"
#include "external/reader.h"
#include "platform/presence_lock.h"

namespace tarvo {

namespace {

void StartupError(const QString& text, const QString& caption) {
  ConsoleMessageBox(nullptr, text, caption, QMessageBox::Critical);
}

}  // namespace

CTarvoConsoleApp::CTarvoConsoleApp() = default;
CTarvoConsoleApp::~CTarvoConsoleApp() = default;

bool CTarvoConsoleApp::InitInstance() {
  if (!InitReader()) return false;  // no store: nothing to manage, and nothing to say

  std::string why;
  switch (ControlClient::ConnectControlPort(client_, &why)) {
    case PortStatus::Ok:
      break;
    case PortStatus::UntrustedOwner:
      // Not the daemon: say who it is rather than pretend nothing is there.
      StartupError(QString::fromStdString(why), QStringLiteral("Error"));
      return false;
    default:
      StartupError(QStringLiteral("Tarvo service not running"), QStringLiteral("Error"));
      return false;
  }
  // The port alone may be left over; the daemon's presence lock proves it is up.
  errno = 0;
  if (!IsDaemonRunning()) {
    const int error = errno != 0 ? errno : ENOENT;
    StartupError(QStringLiteral("Tarvo service not running"), QString::number(error));
    return false;
  }

  SettingsRecord record{};
  if (client_->CtlGetSettings(record) != 0) {
    StartupError(QStringLiteral("Options read error"), QStringLiteral("Error"));
    return false;
  }
  settings_ = ConsoleSettings::FromRecord(record);

  sheet_ = std::make_unique<CServerTreeSheet>(*client_, settings_);
  return true;
}

void CTarvoConsoleApp::ExitInstance() {
  if (!sheet_) return;
  sheet_->StopNotifyListener();
  // The daemon writes the settings file after it answered; the pause lets it finish before the
  // administrator looks.
  if (sheet_->settingsSent) std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

int CTarvoConsoleApp::Run() {
  if (InitInstance()) {
    sheet_->exec();
    ExitInstance();
  }
  return 0;
}

}  // namespace tarvo
