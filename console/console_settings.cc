#include "console/console_settings.h"

#include <cstring>

namespace tarvo {

ConsoleSettings ConsoleSettings::FromRecord(const SettingsRecord& record) {
  ConsoleSettings settings;
  settings.MinClientVersion = QString::fromUtf8(
      record.MinClientVersion, static_cast<qsizetype>(strnlen(record.MinClientVersion,
                                                              sizeof record.MinClientVersion)));
  settings.ServerPort = static_cast<std::uint32_t>(record.ServerPort);
  settings.MultiConnect = record.MultiConnect != 0;
  settings.AuditType = record.AuditType;
  settings.HidePwd = record.HidePwd != 0;
  settings.StoreEncryptedPwd = record.StoreEncryptedPwd != 0;
  settings.AutoRefresh = record.AutoRefresh != 0;
  return settings;
}

SettingsRecord ConsoleSettings::ToRecord() const {
  SettingsRecord record{};
  const QByteArray version = Utf8Prefix(MinClientVersion, sizeof record.MinClientVersion - 1);
  std::memcpy(record.MinClientVersion, version.constData(), static_cast<size_t>(version.size()));
  record.ServerPort = static_cast<std::int32_t>(ServerPort);
  record.MultiConnect = MultiConnect ? 1 : 0;
  record.AuditType = AuditType;
  record.HidePwd = HidePwd ? 1 : 0;
  record.StoreEncryptedPwd = StoreEncryptedPwd ? 1 : 0;
  record.AutoRefresh = AutoRefresh ? 1 : 0;
  return record;
}

QString ShownPassword(const QString& password, bool hidePwd) {
  return hidePwd ? QString(password.size(), QLatin1Char('*')) : password;
}

QByteArray Utf8Prefix(const QString& text, int maxBytes) {
  QByteArray bytes = text.toUtf8();
  if (bytes.size() <= maxBytes) return bytes;
  qsizetype end = maxBytes;
  // Step back over continuation bytes so that no character is split.
  while (end > 0 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80) --end;
  bytes.truncate(end);
  return bytes;
}

}  // namespace tarvo
