#include "console/fill_passwords.h"

#include <QHash>
#include <QTreeWidget>
#include <cstring>
#include <vector>

#include "console/console_settings.h"
#include "console/control_client/control_client.h"
#include "console/user_names.h"
#include "server/common/control_codes.h"

namespace tarvo {

int CtlFillPasswords(ControlClient& client, QTreeWidget* list, bool hidePwd) {
  std::vector<UserInfo> users;
  const std::uint32_t status = client.CtlEnumUsers(users);
  if (!client.lastDelivered()) return -1;
  if (status != CTL_OK) return 0;
  // The first record of each name, found by key: a store of many users is filled in one pass.
  QHash<QString, QString> passwords;
  passwords.reserve(static_cast<qsizetype>(users.size()));
  auto text = [](const char* field, std::size_t size) {
    return QString::fromUtf8(field, static_cast<qsizetype>(strnlen(field, size)));
  };
  for (UserInfo& user : users) {
    const QString key = UserNameKey(text(user.name, sizeof user.name));
    if (!passwords.contains(key)) passwords.insert(key, text(user.password, sizeof user.password));
    explicit_bzero(user.password, sizeof user.password);
  }
  const int rows = list->topLevelItemCount();
  for (int i = 0; i < rows; ++i) {
    QTreeWidgetItem* row = list->topLevelItem(i);
    const auto found = passwords.constFind(UserNameKey(row->text(0)));
    if (found != passwords.constEnd()) row->setText(1, ShownPassword(*found, hidePwd));
  }
  return rows;
}

}  // namespace tarvo
