#include "console/server_tree_sheet.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/about_page.h"
#include "console/connected_users_page.h"
#include "console/message_box.h"
#include "console/notification_event.h"
#include "console/settings_page.h"
#include "console/usage_page.h"
#include "console/users_page.h"
#include "server/common/control_codes.h"

namespace tarvo {

CServerTreeSheet::CServerTreeSheet(ControlClient& client, ConsoleSettings& settings)
    : client_(client), settings_(settings) {
  setWindowTitle(QString::fromLatin1(kProductTitle));
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

  users_ = new CUsers(*this);
  connected_ = new CConnectedUsers(*this);
  settingsPage_ = new CSettings(*this);
  about_ = new CAbout(*this);
  usage_ = new CUsage(*this);
  pages_[0] = users_;
  pages_[1] = connected_;
  pages_[2] = settingsPage_;
  pages_[3] = about_;
  pages_[4] = usage_;

  tree_ = new QTreeWidget;
  tree_->setHeaderHidden(true);
  tree_->setRootIsDecorated(false);
  tree_->setIconSize(QSize(16, 16));
  tree_->setFixedWidth(fontMetrics().averageCharWidth() * 24);

  titleBar_ = new QLabel;
  titleBar_->setAutoFillBackground(true);
  titleBar_->setBackgroundRole(QPalette::Highlight);
  titleBar_->setForegroundRole(QPalette::HighlightedText);
  titleBar_->setMargin(fontMetrics().height() / 3);
  QFont titleFont = titleBar_->font();
  titleFont.setBold(true);
  titleBar_->setFont(titleFont);

  stack_ = new QStackedWidget;
  emptyPage_ = new QLabel(QStringLiteral("Select a sub-page"));
  static_cast<QLabel*>(emptyPage_)->setAlignment(Qt::AlignCenter);
  stack_->addWidget(emptyPage_);
  for (CPropertyPage* page : pages_) {
    stack_->addWidget(page);
    auto* item = new QTreeWidgetItem(tree_, QStringList(page->caption()));
    item->setIcon(0, page->pageIcon());
    connect(page, &CPropertyPage::modifiedChanged, this, &CServerTreeSheet::UpdateApplyButton);
  }
  connect(tree_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    const int index = item != nullptr ? tree_->indexOfTopLevelItem(item) : -1;
    SetActivePage(index >= 0 && index < kPages ? pages_[index] : nullptr);
  });

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                                       QDialogButtonBox::Apply);
  applyButton_ = buttons->button(QDialogButtonBox::Apply);
  applyButton_->setEnabled(false);
  connect(buttons->button(QDialogButtonBox::Ok), &QPushButton::clicked, this,
          &CServerTreeSheet::PressOk);
  connect(buttons->button(QDialogButtonBox::Cancel), &QPushButton::clicked, this,
          &CServerTreeSheet::PressCancel);
  connect(applyButton_, &QPushButton::clicked, this, &CServerTreeSheet::PressApply);

  auto* pageColumn = new QVBoxLayout;
  pageColumn->setSpacing(0);
  pageColumn->addWidget(titleBar_);
  pageColumn->addWidget(stack_, 1);
  auto* body = new QHBoxLayout;
  body->addWidget(tree_);
  body->addLayout(pageColumn, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(body, 1);
  layout->addWidget(buttons);
  // The sheet keeps the size of its largest page.
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

CServerTreeSheet::~CServerTreeSheet() { StopNotifyListener(); }

void CServerTreeSheet::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (shown_) return;
  shown_ = true;
  // The first page is created when the sheet opens.
  tree_->setCurrentItem(tree_->topLevelItem(0));
}

void CServerTreeSheet::SetActivePage(CPropertyPage* page) {
  active_ = page;
  if (page == nullptr) {
    titleBar_->clear();
    stack_->setCurrentWidget(emptyPage_);
    tree_->setCurrentItem(nullptr);
    return;
  }
  page->ensureCreated();
  titleBar_->setText(page->caption());
  stack_->setCurrentWidget(page);
  for (int i = 0; i < kPages; ++i) {
    if (pages_[i] == page && tree_->currentItem() != tree_->topLevelItem(i)) {
      tree_->setCurrentItem(tree_->topLevelItem(i));
    }
  }
}

QString CServerTreeSheet::titleBarText() const { return titleBar_->text(); }

bool CServerTreeSheet::showsEmptyPage() const { return stack_->currentWidget() == emptyPage_; }

void CServerTreeSheet::UpdateApplyButton() {
  bool modified = false;
  for (CPropertyPage* page : pages_) modified = modified || page->sheetModified();
  applyButton_->setEnabled(modified);
}

bool CServerTreeSheet::ApplyPages() {
  // Every page that has a window applies, in sheet order.
  for (CPropertyPage* page : pages_) {
    if (page->created() && !page->OnApply()) return false;
  }
  for (CPropertyPage* page : pages_) page->SetModified(false);
  return true;
}

void CServerTreeSheet::PressOk() {
  if (ApplyPages()) done(QDialog::Accepted);
}

void CServerTreeSheet::PressApply() { ApplyPages(); }

void CServerTreeSheet::PressCancel() {
  if (active_ == nullptr || active_->OnQueryCancel()) done(QDialog::Rejected);
}

void CServerTreeSheet::reject() { PressCancel(); }

bool CServerTreeSheet::AskToSaveSettings() {
  if (settingsPage_->modified() &&
      ConsoleMessageBox(this, QStringLiteral("Save changed data?"), QStringLiteral("VPN server"),
                        QMessageBox::Question,
                        QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes) {
    settingsPage_->OnApply();
  }
  return true;
}

void CServerTreeSheet::closeEvent(QCloseEvent* event) {
  if (!plainClose_) {
    // The title-bar close (or Alt+F4): the console ends at once, asking nothing and saving
    // nothing.
    event->ignore();
    EndConsoleProcess();
    return;
  }
  plainClose_ = false;
  // A plain close request: empty the users list, let the page detach, then close.
  users_->OnWindowClose();
  event->accept();
  done(QDialog::Rejected);
}

void CServerTreeSheet::PlainClose() {
  plainClose_ = true;
  close();
}

void CServerTreeSheet::StartNotifyListener() {
  if (listener_) return;
  NotifyListener::Start(
      client_.daemonUser(), [this](const Notification& notification) { Deliver(notification); },
      listener_);
}

void CServerTreeSheet::StopNotifyListener() { listener_.reset(); }

void CServerTreeSheet::Deliver(const Notification& notification) {
  // Listener thread: post a copy and return, so the daemon gets its answer at once.
  if (usagePageWindow_.load()) {
    switch (notification.code) {
      case NTF_USER_ADDED:
      case NTF_USER_DELETED:
      case NTF_USER_CHANGED:
      case NTF_SESSION_OPENED:
      case NTF_SESSION_CLOSED:
        QCoreApplication::postEvent(usage_, new NotificationEvent(kChangedEvent, notification));
        break;
      default: break;
    }
  }
  QObject* target = nullptr;
  QEvent::Type type = kAddedEvent;
  switch (notification.code) {
    case NTF_USER_ADDED: target = users_; type = kAddedEvent; break;
    case NTF_USER_DELETED: target = users_; type = kDeletedEvent; break;
    case NTF_USER_CHANGED: target = users_; type = kChangedEvent; break;
    case NTF_SESSION_OPENED: target = connected_; type = kAddedEvent; break;
    case NTF_SESSION_CLOSED: target = connected_; type = kDeletedEvent; break;
    case NTF_RELAY_CREATED:
    case NTF_RELAY_CONNECTED:
    case NTF_RELAY_CLOSED: target = connected_; type = kChangedEvent; break;
    default: return;
  }
  // Session and relay events only while the connected users page's window exists; before that
  // the page fetches the whole list when it is first shown.
  if (target == connected_ && !connectedPageWindow_.load()) return;
  QCoreApplication::postEvent(target, new NotificationEvent(type, notification));
}

}  // namespace tarvo
