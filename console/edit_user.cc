#include "console/edit_user.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>
#include <limits>

#include "console/edit_policy.h"

namespace tarvo {

namespace {

// Longest name and password the dialog lets through (bytes of UTF-8, as the store keeps them).
constexpr int kMaxNameBytes = 255;
constexpr int kMaxPasswordBytes = 32;

constexpr std::int64_t kUnitFactors[] = {1, 1024, 1024 * 1024, 1024 * 1024 * 1024};

}  // namespace

CEditUser::CEditUser(QWidget* owner, bool hidePwd, const QString& name, const QString& password,
                     std::int64_t limit)
    : QDialog(owner) {
  setWindowTitle(QStringLiteral("Edit user"));
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

  nameEdit_ = new QLineEdit;
  passwordEdit_ = new QLineEdit;
  if (hidePwd) {
    passwordEdit_->setEchoMode(QLineEdit::Password);
    passwordEdit_->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));  // '*'
  }
  limitEdit_ = new QLineEdit;
  limitEdit_->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), limitEdit_));
  unitList_ = new QComboBox;
  unitList_->addItems({QStringLiteral("Bytes"), QStringLiteral("KB"), QStringLiteral("MB"),
                       QStringLiteral("GB")});
  unitList_->setCurrentIndex(0);

  okButton_ = new QPushButton(QStringLiteral("OK"));
  okButton_->setDefault(true);
  okButton_->setEnabled(false);
  cancelButton_ = new QPushButton(QStringLiteral("Cancel"));
  connect(okButton_, &QPushButton::clicked, this, &CEditUser::OnOk);
  connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);
  policyButton_ = new QPushButton(QStringLiteral("Policy..."));
  policyButton_->setAutoDefault(false);
  connect(policyButton_, &QPushButton::clicked, this, &CEditUser::OnPolicy);
  connect(nameEdit_, &QLineEdit::textChanged, this, &CEditUser::UpdateOkButton);
  connect(passwordEdit_, &QLineEdit::textChanged, this, &CEditUser::UpdateOkButton);

  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(QStringLiteral("User name")), 0, 0);
  grid->addWidget(nameEdit_, 0, 1, 1, 2);
  grid->addWidget(new QLabel(QStringLiteral("Password")), 1, 0);
  grid->addWidget(passwordEdit_, 1, 1, 1, 2);
  grid->addWidget(new QLabel(QStringLiteral("Traffic limit")), 2, 0);
  grid->addWidget(limitEdit_, 2, 1);
  grid->addWidget(unitList_, 2, 2);
  grid->addWidget(policyButton_, 3, 2);
  grid->setColumnStretch(1, 1);
  grid->setVerticalSpacing(fontMetrics().height());
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(okButton_);
  buttons->addWidget(cancelButton_);
  auto* groupLayout = new QVBoxLayout;
  groupLayout->addLayout(grid);
  groupLayout->addSpacing(fontMetrics().height());
  groupLayout->addLayout(buttons);
  auto* group = new QGroupBox(QStringLiteral("User settings"));
  group->setLayout(groupLayout);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  setMinimumWidth(fontMetrics().averageCharWidth() * 279 / 4);

  if (!name.isEmpty()) {
    nameEdit_->setText(name);
    nameEdit_->setEnabled(false);  // an existing user keeps its name
    passwordEdit_->setText(password);
    limitEdit_->setText(QString::number(limit));
  }
}

void CEditUser::UpdateOkButton() {
  const qsizetype nameBytes = nameEdit_->text().toUtf8().size();
  const qsizetype passwordBytes = passwordEdit_->text().toUtf8().size();
  okButton_->setEnabled(nameBytes >= 1 && nameBytes <= kMaxNameBytes &&
                        passwordBytes <= kMaxPasswordBytes);
}

std::int64_t CEditUser::LimitFromText(const QString& text, int unitIndex) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t value = 0;
  for (QChar c : text) {
    if (!c.isDigit()) break;
    const int digit = c.digitValue();
    value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
  }
  const std::int64_t factor = kUnitFactors[unitIndex >= 0 && unitIndex < 4 ? unitIndex : 0];
  return value > kMax / factor ? kMax : value * factor;
}

void CEditUser::DisablePolicy() {
  policyButton_->setEnabled(false);
  policyButton_->setToolTip(QStringLiteral("The user store did not give this user's policy"));
}

void CEditUser::OnPolicy() {
  CEditPolicy dialog(this, policy_);
  if (dialog.exec() != QDialog::Accepted) return;
  policy_ = dialog.policy();
  policyEdited_ = true;
}

void CEditUser::OnOk() {
  name_ = nameEdit_->text();
  password_ = passwordEdit_->text();
  limit_ = LimitFromText(limitEdit_->text(), unitList_->currentIndex());
  accept();
}

}  // namespace tarvo
