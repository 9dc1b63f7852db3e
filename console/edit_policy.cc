#include "console/edit_policy.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSpinBox>
#include <QVBoxLayout>
#include <ctime>

#include "admin/policy_options.h"

namespace tarvo {

namespace {

const QStringList& RateUnits() {
  static const QStringList units = {"bit/s", "kbit/s", "Mbit/s", "Gbit/s", "B/s",  "kB/s",
                                    "MB/s",  "GB/s",   "KiB/s",  "MiB/s",  "GiB/s"};
  return units;
}

QComboBox* RateUnitList() {
  auto* list = new QComboBox;
  list->addItems(RateUnits());
  list->setCurrentText(QStringLiteral("Mbit/s"));
  return list;
}

QLineEdit* RateEdit() {
  auto* edit = new QLineEdit;
  edit->setPlaceholderText(QStringLiteral("no limit"));
  edit->setValidator(new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("[0-9]{0,15}(\\.[0-9]{0,3})?")), edit));
  return edit;
}

QDateTimeEdit* TimeEdit(std::int64_t at) {
  auto* edit = new QDateTimeEdit(QDateTime::fromSecsSinceEpoch(at));
  edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm"));
  edit->setCalendarPopup(true);
  return edit;
}

}  // namespace

CEditPolicy::CEditPolicy(QWidget* owner, const UserPolicy& policy)
    : QDialog(owner), policy_(policy) {
  setWindowTitle(QStringLiteral("User policy"));
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
  const std::int64_t now = std::time(nullptr);

  rateDown_ = RateEdit();
  rateDownUnit_ = RateUnitList();
  rateUp_ = RateEdit();
  rateUpUnit_ = RateUnitList();
  ShowRate(policy.rateDown, rateDown_, rateDownUnit_);
  ShowRate(policy.rateUp, rateUp_, rateUpUnit_);
  period_ = new QComboBox;
  period_->addItems({QStringLiteral("None"), QStringLiteral("Daily"), QStringLiteral("Weekly"),
                     QStringLiteral("Monthly")});
  const bool knownPeriod = policy.period >= 0 && policy.period <= POLICY_PERIOD_MONTHLY;
  period_->setCurrentIndex(knownPeriod ? policy.period : 0);
  periodStart_ = TimeEdit(policy.period != POLICY_PERIOD_NONE && policy.periodAnchor > 0
                              ? policy.periodAnchor
                              : adm::LocalMidnight(now));
  maxSessions_ = new QSpinBox;
  maxSessions_->setRange(0, 1000000);
  maxSessions_->setSpecialValueText(QStringLiteral("As MultiConnect"));
  maxSessions_->setValue(policy.maxSessions);
  neverExpires_ = new QCheckBox(QStringLiteral("Never"));
  neverExpires_->setChecked(policy.expires == 0);
  expires_ = TimeEdit(policy.expires != 0 ? policy.expires : adm::LocalMidnight(now, 1));

  okButton_ = new QPushButton(QStringLiteral("OK"));
  okButton_->setDefault(true);
  cancelButton_ = new QPushButton(QStringLiteral("Cancel"));
  connect(okButton_, &QPushButton::clicked, this, &CEditPolicy::OnOk);
  connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);
  connect(period_, &QComboBox::currentIndexChanged, this, &CEditPolicy::OnPeriodChanged);
  connect(neverExpires_, &QCheckBox::toggled, this, &CEditPolicy::UpdateControls);
  for (QLineEdit* edit : {rateDown_, rateUp_}) {
    connect(edit, &QLineEdit::textChanged, this, &CEditPolicy::UpdateControls);
  }
  for (QComboBox* unit : {rateDownUnit_, rateUpUnit_}) {
    connect(unit, &QComboBox::currentIndexChanged, this, &CEditPolicy::UpdateControls);
  }

  auto* grid = new QGridLayout;
  int row = 0;
  auto addRow = [&](const char* label, QWidget* field, QWidget* extra = nullptr) {
    grid->addWidget(new QLabel(QString::fromUtf8(label)), row, 0);
    grid->addWidget(field, row, 1);
    if (extra != nullptr) grid->addWidget(extra, row, 2);
    ++row;
  };
  addRow("Download rate", rateDown_, rateDownUnit_);
  addRow("Upload rate", rateUp_, rateUpUnit_);
  addRow("Quota period", period_);
  addRow("Period starts", periodStart_);
  addRow("Max. sessions", maxSessions_);
  addRow("Expires", expires_, neverExpires_);
  grid->setColumnStretch(1, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(okButton_);
  buttons->addWidget(cancelButton_);
  auto* groupLayout = new QVBoxLayout;
  groupLayout->addLayout(grid);
  groupLayout->addWidget(new QLabel(QStringLiteral("The traffic limit counts up + down.")));
  groupLayout->addLayout(buttons);
  auto* group = new QGroupBox(QStringLiteral("Policy"));
  group->setLayout(groupLayout);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  UpdateControls();
}

bool CEditPolicy::ReadRate(const QLineEdit* edit, const QComboBox* unit,
                           std::int64_t& rate) const {
  const QString text = edit->text();
  if (text.isEmpty()) return rate = 0, true;
  return adm::ParseRate((text + unit->currentText()).toStdString(), rate);
}

void CEditPolicy::ShowRate(std::int64_t rate, QLineEdit* edit, QComboBox* unit) {
  if (rate <= 0) return;
  // The byte form FormatRate chose, when the list has its unit; else plain bytes.
  const std::string shown = adm::FormatRate(rate);
  const std::string bytes = shown.substr(0, shown.find(" ("));
  const auto space = bytes.find(' ');
  const QString unitText = QString::fromStdString(bytes.substr(space + 1));
  if (space != std::string::npos && RateUnits().contains(unitText)) {
    edit->setText(QString::fromStdString(bytes.substr(0, space)));
    unit->setCurrentText(unitText);
  } else {
    edit->setText(QString::number(rate));
    unit->setCurrentText(QStringLiteral("B/s"));
  }
}

void CEditPolicy::OnPeriodChanged(int period) {
  // A period other than the stored one starts, by default, where tarvoadm starts it.
  const std::int64_t anchor = period == policy_.period && policy_.periodAnchor > 0
                                  ? policy_.periodAnchor
                                  : adm::DefaultPeriodAnchor(period, std::time(nullptr));
  if (anchor > 0) periodStart_->setDateTime(QDateTime::fromSecsSinceEpoch(anchor));
  UpdateControls();
}

void CEditPolicy::UpdateControls() {
  periodStart_->setEnabled(period_->currentIndex() != POLICY_PERIOD_NONE);
  expires_->setEnabled(!neverExpires_->isChecked());
  std::int64_t rate = 0;
  okButton_->setEnabled(ReadRate(rateDown_, rateDownUnit_, rate) &&
                        ReadRate(rateUp_, rateUpUnit_, rate));
}

void CEditPolicy::OnOk() {
  UserPolicy entered = policy_;
  if (!ReadRate(rateDown_, rateDownUnit_, entered.rateDown) ||
      !ReadRate(rateUp_, rateUpUnit_, entered.rateUp)) {
    return;
  }
  entered.period = period_->currentIndex();
  // The fields show minutes: an instant left as it was shown keeps its stored seconds.
  auto instant = [](const QDateTimeEdit* edit, std::int64_t stored) {
    const std::int64_t shown = edit->dateTime().toSecsSinceEpoch();
    return stored > 0 && stored / 60 == shown / 60 ? stored : shown;
  };
  entered.periodAnchor = entered.period == POLICY_PERIOD_NONE
                             ? 0
                             : instant(periodStart_, policy_.periodAnchor);
  entered.maxSessions = maxSessions_->value();
  entered.expires = neverExpires_->isChecked() ? 0 : instant(expires_, policy_.expires);
  policy_ = entered;
  accept();
}

}  // namespace tarvo
