#include "console/users_page.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <cstring>
#include <memory>

#include "console/edit_user.h"
#include "console/fill_passwords.h"
#include "console/message_box.h"
#include "console/notification_event.h"
#include "console/server_tree_sheet.h"
#include "console/settings_page.h"
#include "console/user_names.h"
#include "console/user_policies.h"
#include "external/reader.h"
#include "server/common/control_codes.h"

namespace tarvo {

namespace {

// Rows sort by name under the rule by which names match.
class UserRow : public QTreeWidgetItem {
 public:
  using QTreeWidgetItem::QTreeWidgetItem;
  bool operator<(const QTreeWidgetItem& other) const override {
    return UserNameBefore(text(0), other.text(0));
  }
};

enum Column { kName = 0, kPassword = 1, kLimit = 2, kCounter = 3, kUp = 4, kDown = 5 };

// The Up and Down columns are read again at most this often.
constexpr int kCounterReadMs = 1000;

QString Text(const char* field, std::size_t size) {
  return QString::fromUtf8(field, static_cast<qsizetype>(strnlen(field, size)));
}

}  // namespace

CUsers::CUsers(CServerTreeSheet& sheet)
    : CPropertyPage(sheet, QStringLiteral("Users"), ConsoleIcon(ConsoleImage::UsersPage)) {
  list_ = new QTreeWidget;
  add_ = new QPushButton(QStringLiteral("Add"));
  delete_ = new QPushButton(QStringLiteral("Delete"));
  change_ = new QPushButton(QStringLiteral("Change"));
  reset_ = new QPushButton(QStringLiteral("Reset"));
  lock_ = new QPushButton(QStringLiteral("(Un)Lock"));
  refresh_ = new QPushButton(QStringLiteral("Refresh"));
  auto* buttons = new QHBoxLayout;
  for (QPushButton* button : {add_, delete_, change_, reset_, lock_, refresh_}) {
    button->setAutoDefault(false);
    buttons->addWidget(button);
  }
  auto* groupLayout = new QVBoxLayout;
  groupLayout->addWidget(list_, 1);
  groupLayout->addLayout(buttons);
  auto* group = new QGroupBox(QStringLiteral("Users"));
  group->setLayout(groupLayout);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  setMinimumSize(DialogUnitsX(347), DialogUnitsY(239));

  connect(add_, &QPushButton::clicked, this, &CUsers::OnAdd);
  connect(delete_, &QPushButton::clicked, this, &CUsers::OnDelete);
  connect(change_, &QPushButton::clicked, this, &CUsers::OnChange);
  connect(reset_, &QPushButton::clicked, this, &CUsers::OnReset);
  connect(lock_, &QPushButton::clicked, this, &CUsers::OnLock);
  connect(refresh_, &QPushButton::clicked, this, &CUsers::OnRefresh);
  connect(list_, &QTreeWidget::itemSelectionChanged, this, &CUsers::OnSelectionChanged);
  counterRead_ = new QTimer(this);
  counterRead_->setSingleShot(true);
  counterRead_->setInterval(kCounterReadMs);
  connect(counterRead_, &QTimer::timeout, this, &CUsers::ReadCounters);
}

int CUsers::RowImage(const UserInfo& user) {
  if (user.locked != 0) return 1;
  if (user.limit != 0 && user.counter >= user.limit) return 2;
  return 0;
}

QString CUsers::LimitText(std::int64_t limit) {
  return limit == 0 ? QStringLiteral("Not assigned") : QString::number(limit);
}

void CUsers::OnInitDialog() {
  SetUpReportList(list_, {QStringLiteral("Name"), QStringLiteral("Password"),
                          QStringLiteral("Limit"), QStringLiteral("Counter"),
                          QStringLiteral("Up"), QStringLiteral("Down")},
                  {100, 200, 89, 89, 89, 89});
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setSortingEnabled(true);
  list_->sortByColumn(kName, Qt::AscendingOrder);
  images_ = UserRowImages();
  OnSelectionChanged();

  // The whole list, once, straight from the store.
  bool emptyPasswords = false;
  {
    auto users = std::make_unique<UserInfo[]>(kMaxEnumeratedUsers);
    const std::int32_t count = EnumUsers2(users.get());
    for (std::int32_t i = 0; i < count; ++i) {
      const UserInfo& user = users[i];
      emptyPasswords = emptyPasswords || user.password[0] == '\0';
      AddRow(Text(user.name, sizeof user.name), Text(user.password, sizeof user.password),
             user.limit, user.counter, RowImage(user));
    }
    for (std::int32_t i = 0; i < count; ++i) {
      explicit_bzero(users[i].password, sizeof users[i].password);
    }
  }
  ReadCounters();

  sheet_.StartNotifyListener();
  sheet_.client().CtlAttach();
  // The store lists a sealed password this process cannot open (its key is the daemon's alone)
  // as empty. The daemon opens it: fill the column from it, once attached, so that a change
  // made meanwhile reaches the list as a notification after the fill.
  if (emptyPasswords) CtlFillPasswords(sheet_.client(), list_, sheet_.settings().HidePwd);
}

void CUsers::OnSelectionChanged() {
  const auto count = list_->selectedItems().size();
  change_->setEnabled(count == 1);
  delete_->setEnabled(count >= 1);
  reset_->setEnabled(count >= 1);
  lock_->setEnabled(count >= 1);
}

QTreeWidgetItem* CUsers::FindRow(const QString& name) const {
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = list_->topLevelItem(i);
    if (UserNamesEqual(row->text(kName), name)) return row;
  }
  return nullptr;
}

void CUsers::AddRow(const QString& name, const QString& password, std::int64_t limit,
                    std::int64_t counter, int image) {
  auto* row = new UserRow;
  row->setText(kName, name);
  row->setText(kPassword, ShownPassword(password, sheet_.settings().HidePwd));
  row->setText(kLimit, LimitText(limit));
  row->setText(kCounter, QString::number(counter));
  row->setText(kUp, QStringLiteral("0"));
  row->setText(kDown, QStringLiteral("0"));
  SetRowImage(row, image);
  list_->addTopLevelItem(row);
}

void CUsers::ReadCounters() {
  ++counterReads_;
  const auto policies = ReadUserPolicies();
  if (!policies) return;  // the columns keep what they showed; the next notification retries
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = list_->topLevelItem(i);
    const auto found = policies->constFind(UserNameKey(row->text(kName)));
    if (found == policies->constEnd()) continue;
    row->setText(kUp, QString::number(found->bytesUp));
    row->setText(kDown, QString::number(found->bytesDown));
  }
}

void CUsers::StorePolicy(const QString& name, const CEditUser& editor) {
  if (!editor.policyEdited() || StoreUserPolicy(name, editor.policy())) return;
  ConsoleMessageBox(this, QStringLiteral("The user store did not take the user's policy"),
                    QStringLiteral("Error"), QMessageBox::Critical);
}

void CUsers::SetRowImage(QTreeWidgetItem* row, int image) {
  row->setIcon(kName, images_[static_cast<std::size_t>(image)]);
  row->setData(kName, kRowImageRole, image);
}

void CUsers::SystemError(const QString& caption) {
  ConsoleMessageBox(this, QStringLiteral("System error"), caption, QMessageBox::Critical);
  EndConsoleProcess();
}

void CUsers::OnAdd() {
  CEditUser editor(this, sheet_.settings().HidePwd);
  if (editor.exec() != QDialog::Accepted) return;
  const std::uint32_t status =
      sheet_.client().CtlAddUser(editor.name().toUtf8().toStdString(),
                                 editor.password().toUtf8().toStdString(), editor.limit());
  if (status == CTL_OK) {
    // The daemon had no such user: a row left for that name (its deletion not yet notified)
    // is replaced.
    delete FindRow(editor.name());
    AddRow(editor.name(), editor.password(), editor.limit(), 0, 0);
    StorePolicy(editor.name(), editor);
  } else if (status == CTL_EXISTS) {
    ConsoleMessageBox(this, QStringLiteral("User already exist"), QStringLiteral("Error"),
                      QMessageBox::Critical);
  } else {
    ConsoleMessageBox(this, QStringLiteral("System error"), QStringLiteral("Error"),
                      QMessageBox::Critical);
  }
}

void CUsers::OnDelete() {
  if (ConsoleMessageBox(nullptr, QStringLiteral("Do you want to delete selected user(s)?"),
                        QStringLiteral("VPN server"), QMessageBox::Question,
                        QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
    return;
  }
  for (int i = list_->topLevelItemCount() - 1; i >= 0; --i) {
    QTreeWidgetItem* row = list_->topLevelItem(i);
    if (!row->isSelected()) continue;
    if (sheet_.client().CtlDeleteUser(row->text(kName).toUtf8().toStdString()) != CTL_OK) {
      SystemError(QStringLiteral("Error"));
      return;
    }
    delete row;
  }
}

void CUsers::OnChange() {
  QTreeWidgetItem* row = nullptr;
  for (int i = 0; i < list_->topLevelItemCount() && row == nullptr; ++i) {
    if (list_->topLevelItem(i)->isSelected()) row = list_->topLevelItem(i);
  }
  if (row == nullptr) return;
  const QString name = row->text(kName);
  UserInfo user{};
  const QByteArray nameBytes = Utf8Prefix(name, kUserNameSize - 1);
  std::memcpy(user.name, nameBytes.constData(), static_cast<size_t>(nameBytes.size()));
  if (sheet_.client().CtlFindUser(user) != CTL_OK) {
    SystemError(QStringLiteral("Error"));
    return;
  }
  const QString limitText = row->text(kLimit);
  const std::int64_t limit =
      limitText == QStringLiteral("Not assigned") ? 0 : limitText.toLongLong();
  CEditUser editor(this, sheet_.settings().HidePwd, name,
                   Text(user.password, sizeof user.password), limit);
  explicit_bzero(user.password, sizeof user.password);
  UserPolicy policy{};
  if (GetUserPolicyStatus(nameBytes.constData(), &policy) == READER_OK) {
    editor.SetStoredPolicy(policy);
  } else {
    editor.DisablePolicy();  // an empty policy written back would clear the stored one
  }
  if (editor.exec() != QDialog::Accepted) return;
  if (sheet_.client().CtlUpdateUser(name.toUtf8().toStdString(),
                                    editor.password().toUtf8().toStdString(),
                                    editor.limit()) != CTL_OK) {
    SystemError(QStringLiteral("Error"));
    return;
  }
  row->setText(kPassword, ShownPassword(editor.password(), sheet_.settings().HidePwd));
  row->setText(kLimit, LimitText(editor.limit()));
  StorePolicy(name, editor);
}

void CUsers::OnReset() {
  // One user only: the selected row nearest the bottom.
  for (int i = list_->topLevelItemCount() - 1; i >= 0; --i) {
    QTreeWidgetItem* row = list_->topLevelItem(i);
    if (!row->isSelected()) continue;
    if (sheet_.client().CtlResetCounter(row->text(kName).toUtf8().toStdString(), true) ==
        CTL_FAILED) {
      SystemError(QStringLiteral("Error"));
    }
    return;  // the row follows the daemon's user-changed notification
  }
}

void CUsers::OnLock() {
  for (int i = list_->topLevelItemCount() - 1; i >= 0; --i) {
    QTreeWidgetItem* row = list_->topLevelItem(i);
    if (!row->isSelected()) continue;
    if (sheet_.client().CtlToggleLock(row->text(kName).toUtf8().toStdString(), true) ==
        CTL_FAILED) {
      SystemError(QStringLiteral("Error"));
      return;
    }
  }
}

bool CUsers::OnApply() {
  CPropertyPage* active = sheet_.activePage();
  if (active != nullptr && active != this) active->OnApply();
  sheet_.client().CtlDetach();
  return true;
}

bool CUsers::OnQueryCancel() {
  sheet_.AskToSaveSettings();
  sheet_.client().CtlDetach();
  return true;
}

void CUsers::OnWindowClose() {
  list_->clear();
  sheet_.client().CtlDetach();
}

void CUsers::OnSettingsChanged() {
  if (sheet_.client().CtlSetSettings(sheet_.settings().ToRecord()) != CTL_OK) {
    SystemError(QStringLiteral("error"));
    return;
  }
  CtlFillPasswords(sheet_.client(), list_, sheet_.settings().HidePwd);
}

void CUsers::customEvent(QEvent* event) {
  if (event->type() == kSettingsChangedEvent) {
    OnSettingsChanged();
    return;
  }
  if (event->type() != kAddedEvent && event->type() != kDeletedEvent &&
      event->type() != kChangedEvent) {
    return;
  }
  const Notification& notification = static_cast<NotificationEvent*>(event)->notification();
  const QString name = QString::fromUtf8(notification.name.data(),
                                         static_cast<qsizetype>(notification.name.size()));
  if (event->type() == kAddedEvent) {
    const UserInfo& user = notification.user;
    // A user added while the store was being read can be in the list already: one row each.
    delete FindRow(name);
    AddRow(name, Text(user.password, sizeof user.password), user.limit, 0, 0);
  } else if (event->type() == kDeletedEvent) {
    delete FindRow(name);
  } else if (QTreeWidgetItem* row = FindRow(name)) {
    const UserInfo& user = notification.user;
    row->setText(kPassword, ShownPassword(Text(user.password, sizeof user.password),
                                          sheet_.settings().HidePwd));
    row->setText(kLimit, LimitText(user.limit));
    row->setText(kCounter, QString::number(user.counter));
    SetRowImage(row, RowImage(user));
    // A counter store or reset: Up and Down follow, many notifications to one read.
    if (!counterRead_->isActive()) counterRead_->start();
  }
}

}  // namespace tarvo
