#include "console/settings_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "console/console_images.h"
#include "console/message_box.h"
#include "console/notification_event.h"
#include "console/server_tree_sheet.h"
#include "console/users_page.h"
#include "server/common/control_codes.h"

namespace tarvo {

namespace {

// What the Min client version field of the settings record holds.
constexpr int kMaxVersionBytes = static_cast<int>(kMinClientVersionFieldSize) - 1;

// Keeps the text within the record's field, in bytes of UTF-8 rather than characters.
class VersionValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int&) const override {
    return input.toUtf8().size() <= kMaxVersionBytes ? Acceptable : Invalid;
  }
};

}  // namespace

CSettings::CSettings(CServerTreeSheet& sheet)
    : CPropertyPage(sheet, QStringLiteral("Settings"), ConsoleIcon(ConsoleImage::SettingsPage)) {
  port_ = new QLineEdit;
  // Digits only; ten of them cover every unsigned 32-bit number.
  port_->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,10}")), port_));
  multiConnect_ = new QCheckBox(QStringLiteral("Allow multiply connect"));
  logType_ = new QComboBox;
  logType_->addItems({QStringLiteral("None"), QStringLiteral("Small"), QStringLiteral("Full")});
  minVersion_ = new QLineEdit;
  minVersion_->setMaxLength(kMaxVersionBytes);
  minVersion_->setValidator(new VersionValidator(minVersion_));
  hidePassword_ = new QCheckBox(QStringLiteral("Hide password"));
  storeEncrypted_ = new QCheckBox(QStringLiteral("Store encrypted passwords"));
  autoRefresh_ = new QCheckBox(QStringLiteral("Autorefresh users list"));
  autoRefresh_->setVisible(false);  // part of the page, never shown

  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(QStringLiteral("Server port")), 0, 0);
  grid->addWidget(port_, 0, 1);
  grid->addWidget(multiConnect_, 1, 0, 1, 2);
  grid->addWidget(new QLabel(QStringLiteral("Log type")), 2, 0);
  grid->addWidget(logType_, 2, 1);
  grid->addWidget(new QLabel(QStringLiteral("Min client version")), 3, 0);
  grid->addWidget(minVersion_, 3, 1);
  grid->addWidget(hidePassword_, 4, 0, 1, 2);
  grid->addWidget(storeEncrypted_, 5, 0, 1, 2);
  grid->addWidget(autoRefresh_, 6, 0, 1, 2);
  grid->setVerticalSpacing(DialogUnitsY(8));
  grid->setColumnStretch(1, 1);
  auto* column = new QVBoxLayout;
  column->addLayout(grid);
  column->addStretch(1);
  auto* layout = new QHBoxLayout(this);
  layout->addLayout(column);
  layout->addStretch(1);
  // The page's own size is smaller than the sheet's; its controls keep their width.
  column->setContentsMargins(0, 0, 0, 0);
  for (QWidget* field : {static_cast<QWidget*>(port_), static_cast<QWidget*>(logType_),
                         static_cast<QWidget*>(minVersion_)}) {
    field->setFixedWidth(DialogUnitsX(146));
  }

  connect(port_, &QLineEdit::textChanged, this, &CSettings::OnChange);
  connect(minVersion_, &QLineEdit::textChanged, this, &CSettings::OnChange);
  for (QCheckBox* box : {multiConnect_, hidePassword_, storeEncrypted_, autoRefresh_}) {
    connect(box, &QCheckBox::clicked, this, &CSettings::OnChange);
  }
  connect(logType_, &QComboBox::activated, this, &CSettings::OnChange);
}

void CSettings::OnInitDialog() {
  const ConsoleSettings& settings = sheet_.settings();
  autoRefresh_->setChecked(settings.AutoRefresh);
  storeEncrypted_->setChecked(settings.StoreEncryptedPwd);
  hidePassword_->setChecked(settings.HidePwd);
  multiConnect_->setChecked(settings.MultiConnect);
  minVersion_->setText(settings.MinClientVersion);
  // A value outside the list leaves it without a selection.
  logType_->setCurrentIndex(settings.AuditType >= 0 && settings.AuditType <= 2 ? settings.AuditType
                                                                               : -1);
  port_->setText(QString::number(settings.ServerPort));
  // Filling the edits has reported a change to the sheet (Apply is enabled from here on); the
  // page itself holds none yet.
  modified_ = false;
}

void CSettings::OnChange() {
  SetModified(true);
  modified_ = true;
}

bool CSettings::OnApply() {
  if (modified_) {
    ConsoleSettings& settings = sheet_.settings();
    bool isNumber = false;
    const qulonglong port = port_->text().toULongLong(&isNumber);
    if (isNumber && port <= 0xFFFFFFFFull) settings.ServerPort = static_cast<std::uint32_t>(port);
    settings.MultiConnect = multiConnect_->isChecked();
    settings.AutoRefresh = autoRefresh_->isChecked();
    settings.MinClientVersion = minVersion_->text();
    settings.HidePwd = hidePassword_->isChecked();
    settings.AuditType = logType_->currentIndex();
    settings.StoreEncryptedPwd = storeEncrypted_->isChecked();
    QCoreApplication::postEvent(&sheet_.usersPage(), new QEvent(kSettingsChangedEvent));
  }
  modified_ = false;
  OnOK();
  return true;
}

void CSettings::OnOK() {
  sheet_.settingsSent = true;
  if (sheet_.client().CtlSetSettings(sheet_.settings().ToRecord()) != CTL_OK) {
    ConsoleMessageBox(this, QStringLiteral("System error"), QStringLiteral("error"),
                      QMessageBox::Critical);
    EndConsoleProcess();
  }
}

}  // namespace tarvo
