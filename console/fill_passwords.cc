#include "console/fill_passwords.h"

#include <QTreeWidget>
#include <cstring>
#include <vector>

#include "console/console_settings.h"
#include "console/control_client/control_client.h"
#include "server/common/control_codes.h"

namespace tarvo {

int CtlFillPasswords(ControlClient& client, QTreeWidget* list, bool hidePwd) {
  std::vector<UserInfo> users;
  const std::uint32_t status = client.CtlEnumUsers(users);
  if (!client.lastDelivered()) return -1;
  if (status != CTL_OK) return 0;
  const int rows = list->topLevelItemCount();
  for (int i = 0; i < rows; ++i) {
    QTreeWidgetItem* row = list->topLevelItem(i);
    const QString name = row->text(0);
    for (const UserInfo& user : users) {
      const QString userName =
          QString::fromUtf8(user.name, static_cast<qsizetype>(strnlen(user.name, sizeof user.name)));
      if (userName.compare(name, Qt::CaseInsensitive) != 0) continue;
      const QString password = QString::fromUtf8(
          user.password, static_cast<qsizetype>(strnlen(user.password, sizeof user.password)));
      row->setText(1, ShownPassword(password, hidePwd));
      break;
    }
  }
  for (UserInfo& user : users) explicit_bzero(user.password, sizeof user.password);
  return rows;
}

}  // namespace tarvo
