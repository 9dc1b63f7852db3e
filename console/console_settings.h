// ConsoleSettings: the console's copy of the daemon's seven settings, fetched at start and kept
// for the whole run. Only the settings page changes it; every settings request is built from it.
#pragma once

#include <QString>

#include "server/common/control_records.h"

namespace tarvo {

struct ConsoleSettings {
  QString MinClientVersion;  // at most 127 bytes once encoded
  std::uint32_t ServerPort = 0;
  bool MultiConnect = false;
  int AuditType = 0;  // 0 none, 1 small, 2 full; -1 when the page had no entry selected
  bool HidePwd = false;
  bool StoreEncryptedPwd = false;
  bool AutoRefresh = false;

  static ConsoleSettings FromRecord(const SettingsRecord& record);
  SettingsRecord ToRecord() const;
};

// The text as the Password column and the editors show it: one '*' per character when hidden.
QString ShownPassword(const QString& password, bool hidePwd);

// Text cut to at most maxBytes bytes of UTF-8, never inside a character.
QByteArray Utf8Prefix(const QString& text, int maxBytes);

}  // namespace tarvo
