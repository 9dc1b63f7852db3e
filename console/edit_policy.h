// CEditPolicy: the small dialog, opened from the user editor's "Policy..." button, in which one
// user's policy is entered: rates with a unit, the quota period and its start, the session cap
// and the expiry. It only edits a UserPolicy; the users page writes it to the store.
#pragma once

#include <QDialog>

#include "external/reader_policy.h"

class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace tarvo {

class CEditPolicy : public QDialog {
  Q_OBJECT

 public:
  CEditPolicy(QWidget* owner, const UserPolicy& policy);

  // The policy as entered; counters and period start as given to the constructor.
  UserPolicy policy() const { return policy_; }

  QLineEdit* rateDownEdit() const { return rateDown_; }
  QComboBox* rateDownUnit() const { return rateDownUnit_; }
  QLineEdit* rateUpEdit() const { return rateUp_; }
  QComboBox* rateUpUnit() const { return rateUpUnit_; }
  QComboBox* periodList() const { return period_; }  // None, Daily, Weekly, Monthly
  QDateTimeEdit* periodStartEdit() const { return periodStart_; }
  QSpinBox* maxSessionsBox() const { return maxSessions_; }
  QCheckBox* neverExpiresBox() const { return neverExpires_; }
  QDateTimeEdit* expiresEdit() const { return expires_; }
  QPushButton* okButton() const { return okButton_; }
  QPushButton* cancelButton() const { return cancelButton_; }

 private:
  // A rate's number and unit, or false when they are not one.
  bool ReadRate(const QLineEdit* edit, const QComboBox* unit, std::int64_t& rate) const;
  void ShowRate(std::int64_t rate, QLineEdit* edit, QComboBox* unit);
  void OnPeriodChanged(int period);
  void UpdateControls();
  void OnOk();

  QLineEdit* rateDown_ = nullptr;
  QComboBox* rateDownUnit_ = nullptr;
  QLineEdit* rateUp_ = nullptr;
  QComboBox* rateUpUnit_ = nullptr;
  QComboBox* period_ = nullptr;
  QDateTimeEdit* periodStart_ = nullptr;
  QSpinBox* maxSessions_ = nullptr;
  QCheckBox* neverExpires_ = nullptr;
  QDateTimeEdit* expires_ = nullptr;
  QPushButton* okButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
  UserPolicy policy_;
};

}  // namespace tarvo
