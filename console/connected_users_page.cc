#include "console/connected_users_page.h"

#include <arpa/inet.h>

#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <vector>

#include "console/edit_message.h"
#include "console/message_box.h"
#include "console/notification_event.h"
#include "console/server_tree_sheet.h"
#include "console/user_names.h"
#include "server/common/control_codes.h"

namespace tarvo {

namespace {

class SessionRow : public QTreeWidgetItem {
 public:
  using QTreeWidgetItem::QTreeWidgetItem;
  bool operator<(const QTreeWidgetItem& other) const override {
    return UserNameBefore(text(0), other.text(0));
  }
};

enum SessionColumn { kName = 0, kAddress = 1, kSessionId = 2, kProtocol = 3 };
enum RelayColumn { kDestination = 0, kDestinationPort = 1, kSourcePort = 2 };

// A cell read as "%x" or "%u" reads: the leading number, 0 when there is none.
std::uint32_t LeadingNumber(const QString& text, int base) {
  std::uint32_t value = 0;
  for (QChar c : text) {
    const char16_t unit = c.unicode();
    const int digit = unit >= u'0' && unit <= u'9'                 ? unit - u'0'
                      : base == 16 && unit >= u'a' && unit <= u'f' ? unit - u'a' + 10
                      : base == 16 && unit >= u'A' && unit <= u'F' ? unit - u'A' + 10
                                                                   : -1;
    if (digit < 0) break;
    value = value * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(digit);
  }
  return value;
}

}  // namespace

CConnectedUsers::CConnectedUsers(CServerTreeSheet& sheet)
    : CPropertyPage(sheet, QStringLiteral("Connected users"),
                    ConsoleIcon(ConsoleImage::ConnectedPage)) {
  sessions_ = new QTreeWidget;
  relays_ = new QTreeWidget;
  message_ = new QPushButton(QStringLiteral("Message"));
  disconnect_ = new QPushButton(QStringLiteral("Disconnect"));
  message_->setAutoDefault(false);
  disconnect_->setAutoDefault(false);

  auto* sessionLayout = new QVBoxLayout;
  sessionLayout->addWidget(sessions_, 1);
  auto* sessionGroup = new QGroupBox(QStringLiteral("Connected users"));
  sessionGroup->setLayout(sessionLayout);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(message_);
  buttons->addWidget(disconnect_);
  auto* relayLayout = new QVBoxLayout;
  relayLayout->addWidget(relays_, 1);
  auto* relayGroup = new QGroupBox(QStringLiteral("Active connections"));
  relayGroup->setLayout(relayLayout);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(sessionGroup, 112);
  layout->addLayout(buttons);
  layout->addWidget(relayGroup, 85);
  setMinimumSize(DialogUnitsX(347), DialogUnitsY(239));

  connect(disconnect_, &QPushButton::clicked, this, &CConnectedUsers::OnDisconnect);
  connect(message_, &QPushButton::clicked, this, &CConnectedUsers::OnMessage);
  connect(sessions_, &QTreeWidget::itemSelectionChanged, this,
          &CConnectedUsers::OnSelectionChanged);
}

QString CConnectedUsers::SessionIdText(std::uint32_t sessionId) {
  return QStringLiteral("%1").arg(sessionId, 8, 16, QLatin1Char('0'));
}

QString CConnectedUsers::AddressText(std::uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr value{};
  value.s_addr = address;
  ::inet_ntop(AF_INET, &value, text, sizeof text);
  return QString::fromLatin1(text);
}

bool CConnectedUsers::ParseAddress(const QString& text, std::uint32_t& address) {
  in_addr value{};
  if (::inet_pton(AF_INET, text.toLatin1().constData(), &value) != 1) return false;
  address = value.s_addr;
  return true;
}

void CConnectedUsers::OnInitDialog() {
  images_ = RelayRowImages();
  SetUpReportList(sessions_,
                  {QStringLiteral("Name"), QStringLiteral("IP address"),
                   QStringLiteral("Session ID"), QStringLiteral("Protocol")},
                  {300, 100, 78, 60});
  sessions_->setSelectionMode(QAbstractItemView::SingleSelection);
  sessions_->setSortingEnabled(true);
  sessions_->sortByColumn(kName, Qt::AscendingOrder);
  SetUpReportList(relays_,
                  {QStringLiteral("Destination IP address"), QStringLiteral("Destination Port"),
                   QStringLiteral("Source Port")},
                  {300, 89, 89});
  relays_->setSelectionMode(QAbstractItemView::SingleSelection);
  relays_->setEnabled(false);
  disconnect_->setEnabled(false);
  message_->setEnabled(false);
  sheet_.setConnectedPageWindow(true);
}

void CConnectedUsers::showEvent(QShowEvent* event) {
  CPropertyPage::showEvent(event);
  if (!firstShow_) return;
  firstShow_ = false;
  std::vector<UserInfo> sessions;
  sheet_.client().CtlListSessions(sessions);
  for (const UserInfo& session : sessions) {
    AddSessionRow(QString::fromUtf8(session.name), session.address, session.sessionId,
                  session.protocol);
  }
}

void CConnectedUsers::AddSessionRow(const QString& name, std::uint32_t address,
                                    std::uint32_t sessionId, std::uint8_t protocol) {
  auto* row = new SessionRow;
  row->setText(kName, name);
  row->setText(kAddress, AddressText(address));
  row->setText(kSessionId, SessionIdText(sessionId));
  row->setText(kProtocol, protocol == kSessionProtocolV2 ? QStringLiteral("v2") : QStringLiteral("v1"));
  sessions_->addTopLevelItem(row);
}

QTreeWidgetItem* CConnectedUsers::SelectedSession() const {
  const QList<QTreeWidgetItem*> selected = sessions_->selectedItems();
  return selected.size() == 1 ? selected.front() : nullptr;
}

void CConnectedUsers::AddRelayRow(std::uint32_t address, std::uint32_t port,
                                  std::uint32_t sourcePort, int image) {
  auto* row = new QTreeWidgetItem;
  row->setText(kDestination, AddressText(address));
  row->setText(kDestinationPort, QString::number(port));
  row->setText(kSourcePort, QString::number(sourcePort));
  row->setIcon(kDestination, images_[static_cast<std::size_t>(image)]);
  row->setData(kDestination, kRowImageRole, image);
  relays_->addTopLevelItem(row);
}

void CConnectedUsers::OnSelectionChanged() {
  const auto count = sessions_->selectedItems().size();
  relays_->clear();
  disconnect_->setEnabled(count > 0);
  message_->setEnabled(count > 0);
  QTreeWidgetItem* row = SelectedSession();
  if (row == nullptr) {
    relays_->setEnabled(false);
    return;
  }
  std::uint32_t address = 0;
  ParseAddress(row->text(kAddress), address);
  std::vector<RelayInfo> relays;
  sheet_.client().CtlListRelays(row->text(kName).toUtf8().toStdString(), address,
                                LeadingNumber(row->text(kSessionId), 16), relays);
  for (const RelayInfo& relay : relays) {
    // Request 13 sets the flag once the outgoing connection is made.
    AddRelayRow(relay.address, relay.port, relay.sourcePort,
                relay.connectedOrSessionId == 0 ? 1 : 0);
  }
  relays_->setEnabled(true);
}

void CConnectedUsers::OnDisconnect() {
  QTreeWidgetItem* row = SelectedSession();
  if (row == nullptr) return;
  std::uint32_t address = 0;
  ParseAddress(row->text(kAddress), address);
  const std::uint32_t status = sheet_.client().CtlDisconnectSession(
      row->text(kName).toUtf8().toStdString(), address, LeadingNumber(row->text(kSessionId), 16));
  if (status == CTL_NOT_FOUND) {
    delete row;  // the session had already ended
  } else if (status == CTL_FAILED) {
    ConsoleMessageBox(this, QStringLiteral("System error"), QStringLiteral("Error"),
                      QMessageBox::Critical);
    EndConsoleProcess();
  }
  // Otherwise the row goes with the session-closed notification.
}

void CConnectedUsers::OnMessage() {
  CEditMessage editor(this);
  if (editor.exec() != QDialog::Accepted) return;
  QTreeWidgetItem* row = SelectedSession();
  if (row == nullptr) return;
  std::uint32_t address = 0;
  ParseAddress(row->text(kAddress), address);
  sheet_.client().CtlSendMessage(address, editor.text().toUtf8().toStdString());
}

QTreeWidgetItem* CConnectedUsers::FindRelayRow(std::uint32_t address, std::uint32_t port,
                                               std::uint32_t sourcePort) const {
  for (int i = 0; i < relays_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = relays_->topLevelItem(i);
    std::uint32_t rowAddress = 0;
    if (ParseAddress(row->text(kDestination), rowAddress) && rowAddress == address &&
        LeadingNumber(row->text(kDestinationPort), 10) == port &&
        LeadingNumber(row->text(kSourcePort), 10) == sourcePort) {
      return row;
    }
  }
  return nullptr;
}

void CConnectedUsers::OnRelayEvent(const Notification& notification) {
  QTreeWidgetItem* session = SelectedSession();
  if (session == nullptr ||
      LeadingNumber(session->text(kSessionId), 16) != notification.sessionId ||
      !UserNamesEqual(session->text(kName), QString::fromStdString(notification.name))) {
    return;
  }
  const RelayInfo& relay = notification.relay;
  QTreeWidgetItem* row = FindRelayRow(relay.address, relay.port, relay.sourcePort);
  if (notification.code == NTF_RELAY_CREATED) {
    // A creation raised before the relay listing of the selection can arrive after it: the
    // relay is listed already, as it is now. One relay, one row.
    if (row == nullptr) AddRelayRow(relay.address, relay.port, relay.sourcePort, 1);
  } else if (row != nullptr) {
    if (notification.code == NTF_RELAY_CONNECTED) {
      row->setIcon(kDestination, images_[0]);
      row->setData(kDestination, kRowImageRole, 0);
    } else {
      delete row;
    }
  }
}

void CConnectedUsers::customEvent(QEvent* event) {
  if (event->type() != kAddedEvent && event->type() != kDeletedEvent &&
      event->type() != kChangedEvent) {
    return;
  }
  const Notification& notification = static_cast<NotificationEvent*>(event)->notification();
  if (event->type() == kChangedEvent) {
    OnRelayEvent(notification);
    return;
  }
  const QString name = QString::fromStdString(notification.name);
  QTreeWidgetItem* row =
      FindSessionRow(name, AddressText(notification.address), notification.sessionId);
  if (event->type() == kAddedEvent) {
    // A login can be both in the list fetched at the first show and in a notification that
    // was on its way meanwhile: one session, one row.
    if (row == nullptr) {
      AddSessionRow(name, notification.address, notification.sessionId, notification.protocol);
    }
  } else {
    delete row;
  }
}

QTreeWidgetItem* CConnectedUsers::FindSessionRow(const QString& name, const QString& address,
                                                 std::uint32_t sessionId) const {
  const QString id = SessionIdText(sessionId);
  for (int i = 0; i < sessions_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = sessions_->topLevelItem(i);
    if (UserNamesEqual(row->text(kName), name) && row->text(kAddress) == address &&
        row->text(kSessionId) == id) {
      return row;
    }
  }
  return nullptr;
}

}  // namespace tarvo
