#include "console/control_client/control_client.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/directory_checks.h"
#include "server/common/control_codes.h"

namespace tarvo {

namespace {

// Copies text and a NUL into a field of fieldSize bytes, cutting what does not fit.
void PutText(std::uint8_t* field, std::size_t fieldSize, std::string_view text) {
  const std::size_t length = std::min(text.size(), fieldSize - 1);
  std::memcpy(field, text.data(), length);
  field[length] = '\0';
}

bool SameName(std::string_view a, std::string_view b) {
  auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return fold(x) == fold(y); });
}

}  // namespace

PortStatus ControlClient::ConnectControlPort(std::unique_ptr<ControlClient>& client,
                                             std::string* error, int retryMs) {
  client.reset();
  std::unique_ptr<ControlClient> made(new ControlClient());
  if (!SharedSection::Create(kRequestSectionSize, kRequestViewSize, made->requestArea_, error)) {
    return PortStatus::Failed;
  }
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(retryMs);
  for (;;) {
    // An impostor in the runtime directory would be handed requests with passwords in them.
    PortStatus status = PortConnection::Connect(kControlPortName, &made->requestArea_, made->port_,
                                                -1, error, IsTrustedPortOwner);
    if (status == PortStatus::Ok) break;
    // A refusal means the daemon could not lend a reply area now: try again after a pause.
    if (status != PortStatus::Refused || std::chrono::steady_clock::now() >= giveUp) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(kConnectRetryPauseMs));
  }
  if (made->port_->peerView().viewSize() < kReplyAreaSize) {
    if (error) *error = "the daemon lent a reply area smaller than the channel's";
    return PortStatus::Failed;
  }
  client = std::move(made);
  return PortStatus::Ok;
}

bool ControlClient::exchange(ControlMessage& message) {
  PortMessage portMessage = ToPortMessage(message);
  lastStatus_ = port_->requestWaitReply(portMessage, timeoutMs_);
  if (lastStatus_ != PortStatus::Ok) return false;
  message = ToControlMessage(portMessage);
  return true;
}

bool ControlClient::CtlAttach() {
  ControlMessage message = MakeControlRequest(CTL_ATTACH);
  return exchange(message);
}

bool ControlClient::CtlDetach() {
  ControlMessage message = MakeControlRequest(CTL_DETACH);
  return exchange(message);
}

std::uint32_t ControlClient::userRequest(std::uint32_t code, std::string_view name,
                                         const std::string_view* password, std::int64_t limit,
                                         bool notify) {
  UserInfo r{};
  PutText(reinterpret_cast<std::uint8_t*>(r.name), sizeof r.name, name);
  if (password != nullptr) {
    PutText(reinterpret_cast<std::uint8_t*>(r.password), sizeof r.password, *password);
    r.limit = limit;
  }
  std::memcpy(request(), &r, sizeof r);
  explicit_bzero(r.password, sizeof r.password);
  ControlMessage message = MakeControlRequest(code, notify ? 1 : 0);
  const bool delivered = exchange(message);
  // The password has done its work: it does not stay in the shared area.
  explicit_bzero(request() + offsetof(UserInfo, password), kUserPasswordSize);
  return delivered ? message.status : CTL_FAILED;
}

std::uint32_t ControlClient::CtlAddUser(std::string_view name, std::string_view password,
                                        std::int64_t limit, bool notify) {
  return userRequest(CTL_ADD_USER, name, &password, limit, notify);
}

std::uint32_t ControlClient::CtlDeleteUser(std::string_view name, bool notify) {
  return userRequest(CTL_DELETE_USER, name, nullptr, 0, notify);
}

std::uint32_t ControlClient::CtlUpdateUser(std::string_view name, std::string_view password,
                                           std::int64_t limit, bool notify) {
  return userRequest(CTL_UPDATE_USER, name, &password, limit, notify);
}

std::uint32_t ControlClient::CtlToggleLock(std::string_view name, bool notify) {
  return userRequest(CTL_TOGGLE_LOCK, name, nullptr, 0, notify);
}

std::uint32_t ControlClient::CtlSetLock(std::string_view name, bool lock, bool* changed,
                                        bool notify) {
  UserInfo r{};
  PutText(reinterpret_cast<std::uint8_t*>(r.name), sizeof r.name, name);
  r.locked = lock ? 1 : 0;
  std::memcpy(request(), &r, sizeof r);
  ControlMessage message = MakeControlRequest(CTL_SET_LOCK, notify ? 1 : 0);
  const bool delivered = exchange(message);
  // The reply wrote the stored password back into the shared area.
  explicit_bzero(request() + offsetof(UserInfo, password), kUserPasswordSize);
  if (changed != nullptr) *changed = delivered && message.status == CTL_OK && message.value != 0;
  return delivered ? message.status : CTL_FAILED;
}

std::uint32_t ControlClient::CtlResetCounter(std::string_view name, bool notify) {
  return userRequest(CTL_RESET_COUNTER, name, nullptr, 0, notify);
}

std::uint32_t ControlClient::CtlGetSettings(SettingsRecord& settings) {
  ControlMessage message = MakeControlRequest(CTL_GET_SETTINGS);
  if (!exchange(message)) return CTL_FAILED;
  std::memcpy(&settings, reply(), sizeof settings);
  settings.MinClientVersion[sizeof settings.MinClientVersion - 1] = '\0';
  return message.status;
}

std::uint32_t ControlClient::CtlSetSettings(const SettingsRecord& settings) {
  std::memcpy(request(), &settings, sizeof settings);
  ControlMessage message = MakeControlRequest(CTL_SET_SETTINGS);
  return exchange(message) ? message.status : CTL_FAILED;
}

std::uint32_t ControlClient::CtlEnumUsers(std::vector<UserInfo>& users) {
  users.clear();
  ControlMessage message = MakeControlRequest(CTL_ENUM_USERS);
  if (!exchange(message)) return CTL_FAILED;
  if (message.status != CTL_OK) return message.status;
  const std::size_t count = std::min<std::size_t>(message.value, kMaxEnumeratedUsers);
  users.resize(count);
  // An empty vector's data() may be null, which memcpy must not get even for 0 bytes.
  if (count != 0) std::memcpy(users.data(), reply(), count * sizeof(UserInfo));
  for (UserInfo& user : users) {
    user.name[sizeof user.name - 1] = '\0';
    user.password[sizeof user.password - 1] = '\0';
  }
  return CTL_OK;
}

std::uint32_t ControlClient::CtlFindUser(UserInfo& user) {
  std::vector<UserInfo> users;
  if (CtlEnumUsers(users) != CTL_OK) return CTL_FAILED;
  const std::string_view wanted(user.name, strnlen(user.name, sizeof user.name));
  for (const UserInfo& candidate : users) {
    if (SameName(candidate.name, wanted)) {
      user = candidate;
      return CTL_OK;
    }
  }
  return CTL_NOT_FOUND;
}

std::uint32_t ControlClient::CtlListSessions(std::vector<UserInfo>& sessions) {
  sessions.clear();
  ControlMessage message = MakeControlRequest(CTL_LIST_SESSIONS);
  if (!exchange(message)) return 0;
  const std::size_t count = std::min<std::size_t>(message.value, kMaxEnumeratedUsers);
  sessions.resize(count);
  if (count != 0) std::memcpy(sessions.data(), reply(), count * sizeof(UserInfo));
  for (UserInfo& session : sessions) session.name[sizeof session.name - 1] = '\0';
  return static_cast<std::uint32_t>(count);
}

std::uint32_t ControlClient::CtlListAllSessions(std::vector<DaemonSessionInfo>& sessions) {
  sessions.clear();
  ControlMessage message = MakeControlRequest(CTL_LIST_ALL_SESSIONS);
  if (!exchange(message)) return CTL_FAILED;
  if (message.status != CTL_OK) return message.status;
  const std::size_t count = std::min<std::size_t>(message.value, kMaxReplyDaemonSessions);
  sessions.resize(count);
  if (count != 0) std::memcpy(sessions.data(), reply(), count * sizeof(DaemonSessionInfo));
  for (DaemonSessionInfo& session : sessions) {
    session.name[sizeof session.name - 1] = '\0';
    session.daemon[sizeof session.daemon - 1] = '\0';
  }
  return CTL_OK;
}

std::uint32_t ControlClient::CtlDisconnectSession(std::string_view name, std::uint32_t address,
                                                  std::uint32_t sessionId) {
  UserInfo r{};
  PutText(reinterpret_cast<std::uint8_t*>(r.name), sizeof r.name, name);
  r.address = address;
  r.sessionId = sessionId;
  std::memcpy(request(), &r, sizeof r);
  ControlMessage message = MakeControlRequest(CTL_DISCONNECT_SESSION);
  return exchange(message) ? message.status : 0;
}

std::uint32_t ControlClient::CtlSendMessage(std::uint32_t address, std::string_view text) {
  std::memcpy(request(), &address, sizeof address);
  PutText(request() + kMessageTextOffset, kMaxMessageText + 1, text);
  ControlMessage message = MakeControlRequest(CTL_SEND_MESSAGE);
  return exchange(message) ? message.status : 0;
}

std::uint32_t ControlClient::CtlListRelays(std::string_view name, std::uint32_t address,
                                           std::uint32_t sessionId,
                                           std::vector<RelayInfo>& relays) {
  relays.clear();
  std::memcpy(request(), &address, sizeof address);
  std::memcpy(request() + kRelaysSessionIdOffset, &sessionId, sizeof sessionId);
  PutText(request() + kRelaysNameOffset, kUserNameSize, name);
  ControlMessage message = MakeControlRequest(CTL_LIST_RELAYS);
  if (!exchange(message)) return 0;
  const std::size_t count = std::min<std::size_t>(message.value, kMaxReplyRelays);
  relays.resize(count);
  if (count != 0) std::memcpy(relays.data(), reply(), count * sizeof(RelayInfo));
  return static_cast<std::uint32_t>(count);
}

}  // namespace tarvo
