// CUsers: the users page. Lists every user of the store (read once at start), and adds,
// deletes, changes, resets and (un)locks users through the daemon; afterwards the list follows
// the daemon's notifications. It starts the notification listener and attaches the console.
// Beside the designed columns, Up and Down show the user's counters from the store, read again
// at most once a second while user-changed notifications (counter stores among them) arrive.
#pragma once

#include "console/console_images.h"
#include "console/property_page.h"
#include "server/common/user_info.h"

class QPushButton;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace tarvo {

class CEditUser;

class CUsers : public CPropertyPage {
  Q_OBJECT

 public:
  explicit CUsers(CServerTreeSheet& sheet);

  bool OnApply() override;
  bool OnQueryCancel() override;
  // The sheet's plain close: every row goes, then the console detaches.
  void OnWindowClose();

  // The buttons' handlers.
  void OnAdd();
  void OnDelete();
  void OnChange();
  void OnReset();
  void OnLock();
  void OnRefresh() {}  // the list stays current through the notifications

  QTreeWidget* list() const { return list_; }
  QPushButton* addButton() const { return add_; }
  QPushButton* deleteButton() const { return delete_; }
  QPushButton* changeButton() const { return change_; }
  QPushButton* resetButton() const { return reset_; }
  QPushButton* lockButton() const { return lock_; }
  QPushButton* refreshButton() const { return refresh_; }

  // The image of a user's row: 1 locked; else 2 when a limit is set and used up; else 0.
  static int RowImage(const UserInfo& user);
  static QString LimitText(std::int64_t limit);

  // How often the Up and Down columns were read from the store.
  int counterReads() const { return counterReads_; }

 protected:
  void OnInitDialog() override;
  void customEvent(QEvent* event) override;

 private:
  void OnSelectionChanged();
  QTreeWidgetItem* FindRow(const QString& name) const;
  void AddRow(const QString& name, const QString& password, std::int64_t limit,
              std::int64_t counter, int image);
  void SetRowImage(QTreeWidgetItem* row, int image);
  void OnSettingsChanged();
  void ReadCounters();
  // After the editor is accepted and the daemon took the change: its policy, if edited.
  void StorePolicy(const QString& name, const CEditUser& editor);
  // "System error" with the given caption, then the process ends.
  void SystemError(const QString& caption);

  QTreeWidget* list_ = nullptr;
  QPushButton* add_ = nullptr;
  QPushButton* delete_ = nullptr;
  QPushButton* change_ = nullptr;
  QPushButton* reset_ = nullptr;
  QPushButton* lock_ = nullptr;
  QPushButton* refresh_ = nullptr;
  RowImageList images_;
  QTimer* counterRead_ = nullptr;
  int counterReads_ = 0;
};

}  // namespace tarvo
