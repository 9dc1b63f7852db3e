#include "server/service/control/admin_commands.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "external/reader.h"
#include "server/common/session_protocol.h"
#include "server/service/base/diagnostics.h"
#include "server/service/net/network_loop.h"
#include "server/service/session/session_list.h"
#include "server/service/base/settings.h"
#include "server/service/front/acceptor.h"
#include "server/service/net/socket.h"
#include "server/service/store/traffic_accounting.h"
#include "server/service/store/user_copies.h"
#include "server/service/session/user_socket.h"

namespace tarvo {

namespace {

// What the store holds for a user, wiped when it goes out of scope. A user whose sealed password
// does not open is read with an empty one: it exists, so it can be changed, locked and reset,
// and its name is not free for another.
struct StoredUser {
  char password[kUserPasswordSize] = {};
  std::int64_t limit = 0;
  std::int64_t counter = 0;
  std::uint8_t locked = 0;

  ~StoredUser() { explicit_bzero(password, sizeof password); }
  // A ReaderStatus.
  std::int32_t read(const char* name) {
    return FindUserStatus(name, password, &limit, &counter, &locked);
  }
};

// Whether new passwords are stored sealed: a setting the console may change meanwhile.
bool SealNewPasswords() EXCLUDES(NetworkLock) {
  MutexLock lock(NetworkLock);
  return ServerSettings.StoreEncryptedPwd;
}

void TakeStored(UserInfo& r, const StoredUser& stored) {
  std::memcpy(r.password, stored.password, sizeof r.password);
  r.password[sizeof r.password - 1] = '\0';
  r.limit = stored.limit;
  r.counter = stored.counter;
  r.locked = stored.locked;
}

template <typename T>
void PutRecord(std::span<std::uint8_t> reply, std::size_t index, const T& record) {
  std::memcpy(reply.data() + index * sizeof(T), &record, sizeof(T));
}

}  // namespace

void EndSessionsOf(const char* name) {
  MutexLock lock(NetworkLock);
  std::vector<UserSocket*> ending;
  for (UserSocket* session : Sessions()) {
    if (SameUserName(session->userName(), name)) ending.push_back(session);
  }
  for (UserSocket* session : ending) session->end();
}

std::uint32_t AddUserCmd(const UserInfo& r) {
  StoredUser existing;
  switch (existing.read(r.name)) {
    case READER_OK:
      return CTL_EXISTS;
    case READER_NO_USER:
      break;
    default:
      return CTL_FAILED;  // unknown whether the name is free: never overwrite
  }
  return SetUserInfo(r.name, r.password, r.limit, SealNewPasswords() ? 1 : 0)
             ? CTL_OK
             : CTL_FAILED;
}

std::uint32_t DeleteUserCmd(const UserInfo& r) {
  EndSessionsOf(r.name);
  return DeleteUser(r.name) ? CTL_OK : CTL_NOT_FOUND;
}

std::uint32_t UpdateUserCmd(UserInfo& r) {
  StoredUser stored;
  if (const std::int32_t status = stored.read(r.name); status != READER_OK) {
    return status == READER_NO_USER ? CTL_NOT_FOUND : CTL_FAILED;
  }
  if (!SetUserInfo(r.name, r.password, r.limit, SealNewPasswords() ? 1 : 0)) {
    return CTL_FAILED;
  }
  // A raised limit lets a session over the old one relay again now, not a refresh later.
  RefreshUserCopyNow(r.name);
  r.counter = stored.counter;
  r.locked = stored.locked;
  return CTL_OK;
}

std::uint32_t ToggleLockCmd(UserInfo& r) {
  StoredUser stored;
  if (stored.read(r.name) != READER_OK) return CTL_FAILED;
  const std::uint8_t lock = stored.locked ? 0 : 1;
  if (!LockUser(r.name, lock)) return CTL_FAILED;
  TakeStored(r, stored);
  r.locked = lock;
  if (lock) EndSessionsOf(r.name);
  return CTL_OK;
}

std::uint32_t SetLockCmd(UserInfo& r, bool& changed) {
  // Requests run one at a time on the listener thread, so nothing of this daemon's comes
  // between the read and the write; another writer of a shared store can only make the write
  // one that was not needed, never leave the other state.
  const std::uint8_t lock = r.locked ? 1 : 0;
  StoredUser stored;
  changed = false;
  const std::int32_t status = stored.read(r.name);
  if (status == READER_NO_USER) return CTL_NOT_FOUND;
  if (status != READER_OK) return CTL_FAILED;
  if (stored.locked != lock) {
    if (!LockUser(r.name, lock)) return CTL_FAILED;
    changed = true;
  }
  TakeStored(r, stored);
  r.locked = lock;
  // Also when it already was locked: a session that logged in just before must not outlive it.
  if (lock) EndSessionsOf(r.name);
  return CTL_OK;
}

std::uint32_t ResetCounterCmd(UserInfo& r) {
  StoredUser stored;
  if (stored.read(r.name) != READER_OK) return CTL_FAILED;
  if (!ResetUser(r.name)) return CTL_FAILED;
  TakeStored(r, stored);
  r.counter = 0;
  // Pending bytes of live sessions go on top of the reset counter.
  StoreCountersOfUserNow(r.name);
  return CTL_OK;
}

std::uint32_t GetSettingsCmd(std::span<std::uint8_t> reply) {
  MutexLock lock(NetworkLock);
  SettingsRecord record{};
  // The file allows longer texts than the record's field: the field gets what fits.
  const std::size_t length =
      strnlen(ServerSettings.MinClientVersion, sizeof ServerSettings.MinClientVersion);
  std::memcpy(record.MinClientVersion, ServerSettings.MinClientVersion,
              std::min(length, sizeof record.MinClientVersion - 1));
  record.ServerPort = ServerSettings.ServerPort;
  record.MultiConnect = ServerSettings.MultiConnect ? 1 : 0;
  record.AuditType = ServerSettings.AuditType;
  record.HidePwd = ServerSettings.HidePwd ? 1 : 0;
  record.StoreEncryptedPwd = ServerSettings.StoreEncryptedPwd ? 1 : 0;
  record.AutoRefresh = ServerSettings.AutoRefresh ? 1 : 0;
  PutRecord(reply, 0, record);
  return CTL_OK;
}

std::uint32_t SetSettingsCmd(const SettingsRecord& record) {
  MutexLock lock(NetworkLock);
  const bool portChanged = record.ServerPort != ServerSettings.ServerPort;
  const std::size_t length = strnlen(record.MinClientVersion, sizeof record.MinClientVersion - 1);
  std::memset(ServerSettings.MinClientVersion, 0, sizeof ServerSettings.MinClientVersion);
  std::memcpy(ServerSettings.MinClientVersion, record.MinClientVersion, length);
  ServerSettings.ServerPort = record.ServerPort;
  ServerSettings.AuditType = record.AuditType;
  ServerSettings.MultiConnect = record.MultiConnect != 0;
  ServerSettings.HidePwd = record.HidePwd != 0;
  ServerSettings.StoreEncryptedPwd = record.StoreEncryptedPwd != 0;
  ServerSettings.AutoRefresh = record.AutoRefresh != 0;
  SaveSettings();
  if (portChanged) MoveServerPort(record.ServerPort);
  return CTL_OK;
}

std::uint32_t EnumUsersCmd(std::span<std::uint8_t> reply, std::uint32_t& count) {
  static_assert(kMaxEnumeratedUsers * sizeof(UserInfo) <= kReplyAreaSize);
  count = 0;
  if (reply.size() < kMaxEnumeratedUsers * sizeof(UserInfo)) return CTL_FAILED;
  const std::int32_t found = EnumUsers2(reinterpret_cast<UserInfo*>(reply.data()));
  if (found < 0) return CTL_FAILED;
  count = static_cast<std::uint32_t>(found);
  return CTL_OK;
}

std::uint32_t ListSessionsCmd(std::span<std::uint8_t> reply) {
  MutexLock lock(NetworkLock);
  const std::size_t room = reply.size() / sizeof(UserInfo);
  std::size_t count = 0;
  for (const UserSocket* session : Sessions()) {
    if (count == room) break;
    // Only name, address, session id and a v2 session's protocol byte: the other fields are
    // not written.
    std::uint8_t* record = reply.data() + count * sizeof(UserInfo);
    const std::string& name = session->userName();
    const std::size_t length = std::min(name.size(), kUserNameSize - 1);
    std::memcpy(record + offsetof(UserInfo, name), name.data(), length);
    record[offsetof(UserInfo, name) + length] = '\0';
    const std::uint32_t address = session->peerAddress();
    const std::uint32_t id = session->sessionId();
    std::memcpy(record + offsetof(UserInfo, address), &address, sizeof address);
    std::memcpy(record + offsetof(UserInfo, sessionId), &id, sizeof id);
    if (session->v2() != nullptr) record[offsetof(UserInfo, protocol)] = kSessionProtocolV2;
    ++count;
  }
  return static_cast<std::uint32_t>(count);
}

std::uint32_t DisconnectSessionCmd(const UserInfo& r) {
  MutexLock lock(NetworkLock);
  for (UserSocket* session : Sessions()) {
    if (session->peerAddress() == r.address && session->sessionId() == r.sessionId &&
        SameUserName(session->userName(), r.name)) {
      session->setFlag(Socket::Closing);
      return CTL_OK;
    }
  }
  return CTL_NOT_FOUND;
}

std::uint32_t SendMessageCmd(std::uint32_t address, std::string_view text) {
  MutexLock lock(NetworkLock);
  for (UserSocket* session : Sessions()) {
    if (session->peerAddress() != address || session->encryptor() == nullptr) continue;
    ByteBuffer frame;
    AppendTextMessage(frame, *session->encryptor(), text);
    session->queueOutput(frame.view());
  }
  return CTL_OK;
}

}  // namespace tarvo
