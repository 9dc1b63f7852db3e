// CServerTreeSheet: the console's one window. A tree of the four designed pages and the Usage
// page on the left, the active page's caption as a title bar above the page, and OK, Cancel and
// Apply. It holds the pages, the control client and the notification listener; the pages reach
// one another through it.
#pragma once

#include <QDialog>
#include <atomic>
#include <memory>

#include "console/console_settings.h"
#include "console/control_client/control_client.h"
#include "console/control_client/notify_listener.h"

class QLabel;
class QPushButton;
class QStackedWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace tarvo {

class CAbout;
class CConnectedUsers;
class CPropertyPage;
class CSettings;
class CUsage;
class CUsers;

// The product's name and mark, the sheet's caption.
inline constexpr char kProductTitle[] = "Tarvo Server BETA";

class CServerTreeSheet : public QDialog {
  Q_OBJECT

 public:
  CServerTreeSheet(ControlClient& client, ConsoleSettings& settings);
  ~CServerTreeSheet() override;

  ControlClient& client() { return client_; }
  ConsoleSettings& settings() { return settings_; }

  CUsers& usersPage() { return *users_; }
  CConnectedUsers& connectedUsersPage() { return *connected_; }
  CSettings& settingsPage() { return *settingsPage_; }
  CAbout& aboutPage() { return *about_; }
  CUsage& usagePage() { return *usage_; }
  CPropertyPage* activePage() const { return active_; }
  void SetActivePage(CPropertyPage* page);

  // The buttons, as pressing them does.
  void PressOk();
  void PressCancel();
  void PressApply();
  QPushButton* applyButton() const { return applyButton_; }
  QTreeWidget* pageTree() const { return tree_; }
  QString titleBarText() const;
  // The text the page area shows, or the empty-page text when no page is selected.
  bool showsEmptyPage() const;

  // A close request that is not the title-bar close: the users list is emptied, the console
  // detaches and the sheet closes as after Cancel. Every other close ends the process at once.
  void PlainClose();

  // The question every page asks before the sheet is cancelled: when the settings page holds
  // changes, "Save changed data?", and on Yes the settings page applies. Always true.
  bool AskToSaveSettings();

  // Set whenever the settings page sends the settings; read at exit.
  bool settingsSent = false;

  // The notification listener: started by the users page, stopped by the application at exit.
  // A listener that cannot start (another console holds the notify port) leaves this console
  // without notifications.
  void StartNotifyListener();
  void StopNotifyListener();
  bool notificationsRunning() const { return listener_ != nullptr; }
  // Whether the connected users page's window exists: the listener posts session and relay
  // events only then. Written on the user-interface thread, read on the listener's.
  void setConnectedPageWindow(bool exists) { connectedPageWindow_.store(exists); }
  // The same for the Usage page, which takes user and session events.
  void setUsagePageWindow(bool exists) { usagePageWindow_.store(exists); }

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void reject() override;  // Escape: as Cancel

 private:
  void Deliver(const Notification& notification);  // on the listener thread
  bool ApplyPages();
  void UpdateApplyButton();

  ControlClient& client_;
  ConsoleSettings& settings_;
  CUsers* users_ = nullptr;
  CConnectedUsers* connected_ = nullptr;
  CSettings* settingsPage_ = nullptr;
  CAbout* about_ = nullptr;
  CUsage* usage_ = nullptr;
  static constexpr int kPages = 5;
  CPropertyPage* pages_[kPages] = {};
  CPropertyPage* active_ = nullptr;

  QTreeWidget* tree_ = nullptr;
  QLabel* titleBar_ = nullptr;
  QStackedWidget* stack_ = nullptr;
  QWidget* emptyPage_ = nullptr;
  QPushButton* applyButton_ = nullptr;
  bool shown_ = false;
  bool plainClose_ = false;

  std::unique_ptr<NotifyListener> listener_;
  std::atomic<bool> connectedPageWindow_{false};
  std::atomic<bool> usagePageWindow_{false};
};

}  // namespace tarvo
