// CEditUser: the modal dialog in which one user's name, password and traffic limit are
// entered. An empty name means a new user; a given name cannot be changed. Its "Policy..."
// button opens CEditPolicy; what that dialog gives is kept here, and stored by the users page
// only when this editor is accepted.
#pragma once

#include <QDialog>
#include <cstdint>

#include "external/reader_policy.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace tarvo {

class CEditUser : public QDialog {
  Q_OBJECT

 public:
  CEditUser(QWidget* owner, bool hidePwd, const QString& name = {}, const QString& password = {},
            std::int64_t limit = 0);

  QString name() const { return name_; }
  QString password() const { return password_; }
  std::int64_t limit() const { return limit_; }

  // The policy the "Policy..." dialog starts from (the empty one unless set), or none to offer
  // when the store could not give it.
  void SetStoredPolicy(const UserPolicy& policy) { policy_ = policy; }
  void DisablePolicy();
  // True once the policy dialog was accepted; policy() is then what it gave.
  bool policyEdited() const { return policyEdited_; }
  UserPolicy policy() const { return policy_; }

  QLineEdit* nameEdit() const { return nameEdit_; }
  QLineEdit* passwordEdit() const { return passwordEdit_; }
  QLineEdit* limitEdit() const { return limitEdit_; }
  QComboBox* unitList() const { return unitList_; }
  QPushButton* okButton() const { return okButton_; }
  QPushButton* cancelButton() const { return cancelButton_; }
  QPushButton* policyButton() const { return policyButton_; }

  // The limit in bytes for a decimal text and a unit index (0 Bytes, 1 KB, 2 MB, 3 GB). An empty
  // text is 0; a value or product past the largest 64-bit value is held at that value.
  static std::int64_t LimitFromText(const QString& text, int unitIndex);

 private:
  void UpdateOkButton();
  void OnOk();
  void OnPolicy();

  QLineEdit* nameEdit_ = nullptr;
  QLineEdit* passwordEdit_ = nullptr;
  QLineEdit* limitEdit_ = nullptr;
  QComboBox* unitList_ = nullptr;
  QPushButton* okButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
  QPushButton* policyButton_ = nullptr;
  UserPolicy policy_{};
  bool policyEdited_ = false;
  QString name_;
  QString password_;
  std::int64_t limit_ = 0;
};

}  // namespace tarvo
