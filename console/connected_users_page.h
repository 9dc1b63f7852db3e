// CConnectedUsers: the logged-in sessions (fetched when the page is first shown, then following
// the session notifications) and the relays of the one selected session; disconnect a session
// or send it a text message.
#pragma once

#include <cstdint>

#include "console/console_images.h"
#include "console/property_page.h"

class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace tarvo {

struct Notification;

class CConnectedUsers : public CPropertyPage {
  Q_OBJECT

 public:
  // The page's window lives until the sheet closes; the sheet stops the listener before its
  // pages go.
  explicit CConnectedUsers(CServerTreeSheet& sheet);

  void OnDisconnect();
  void OnMessage();

  QTreeWidget* sessionList() const { return sessions_; }
  QTreeWidget* relayList() const { return relays_; }
  QPushButton* disconnectButton() const { return disconnect_; }
  QPushButton* messageButton() const { return message_; }

  // "%.8x": eight lower-case hexadecimal digits.
  static QString SessionIdText(std::uint32_t sessionId);
  // Dotted form of an IPv4 address in network byte order, and back (false when not an address).
  static QString AddressText(std::uint32_t address);
  static bool ParseAddress(const QString& text, std::uint32_t& address);

 protected:
  void OnInitDialog() override;
  void showEvent(QShowEvent* event) override;
  void customEvent(QEvent* event) override;

 private:
  void OnSelectionChanged();
  QTreeWidgetItem* SelectedSession() const;
  // The row of a session: name (ASCII letters in either case), dotted address and id equal.
  QTreeWidgetItem* FindSessionRow(const QString& name, const QString& address,
                                  std::uint32_t sessionId) const;
  void AddSessionRow(const QString& name, std::uint32_t address, std::uint32_t sessionId,
                     std::uint8_t protocol);
  void AddRelayRow(std::uint32_t address, std::uint32_t port, std::uint32_t sourcePort,
                   int image);
  QTreeWidgetItem* FindRelayRow(std::uint32_t address, std::uint32_t port,
                                std::uint32_t sourcePort) const;
  void OnRelayEvent(const Notification& notification);

  QTreeWidget* sessions_ = nullptr;
  QTreeWidget* relays_ = nullptr;
  QPushButton* message_ = nullptr;
  QPushButton* disconnect_ = nullptr;
  RowImageList images_;
  bool firstShow_ = true;
};

}  // namespace tarvo
