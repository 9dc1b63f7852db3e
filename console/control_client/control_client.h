// A console's side of the control channel: one connection to the daemon's control port, the
// request area it offers, and one operation per request. Used by TarvoConsole and tarvoadm.
// Requests are made from one thread at a time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/local_port.h"
#include "platform/shared_section.h"
#include "server/common/control_records.h"
#include "server/common/user_info.h"

namespace tarvo {

// How long ConnectControlPort keeps trying while the daemon refuses (it could not make the
// connection's reply area), and the pause between tries.
inline constexpr int kConnectRetryMs = 10000;
inline constexpr int kConnectRetryPauseMs = 50;

class ControlClient {
 public:
  // Connects to the control port of the runtime directory. NotFound: no daemon listens;
  // AccessDenied: this user may not administer it; Refused: it kept refusing for retryMs;
  // UntrustedOwner: the port is served by neither root nor the directory's owner, and was
  // sent nothing (*error says who serves it).
  static PortStatus ConnectControlPort(std::unique_ptr<ControlClient>& client,
                                       std::string* error = nullptr,
                                       int retryMs = kConnectRetryMs);

  // Longest wait for one reply (negative: none, the default).
  void setRequestTimeout(int timeoutMs) { timeoutMs_ = timeoutMs; }
  // Whether the last request reached the daemon and was answered, and why not.
  bool lastDelivered() const { return lastStatus_ == PortStatus::Ok; }
  PortStatus lastPortStatus() const { return lastStatus_; }
  // The daemon's user, as the kernel reports it (a console's notify port admits only it).
  uid_t daemonUser() const { return port_->peer().uid; }

  // Requests 0 and 1: true when the exchange succeeded.
  bool CtlAttach();
  bool CtlDetach();

  // Requests 2-6: the reply's status; CTL_FAILED when not delivered. notify asks for the
  // matching notification. Names and passwords longer than 256 characters are cut.
  std::uint32_t CtlAddUser(std::string_view name, std::string_view password, std::int64_t limit,
                           bool notify = false);
  std::uint32_t CtlDeleteUser(std::string_view name, bool notify = false);
  std::uint32_t CtlUpdateUser(std::string_view name, std::string_view password,
                              std::int64_t limit, bool notify = false);
  std::uint32_t CtlToggleLock(std::string_view name, bool notify = false);
  std::uint32_t CtlResetCounter(std::string_view name, bool notify = false);
  // Request 14: leaves the user locked or unlocked whatever it was; *changed tells whether
  // the daemon had to change it. CTL_NOT_FOUND for no such user; CTL_FAILED as above.
  std::uint32_t CtlSetLock(std::string_view name, bool lock, bool* changed = nullptr,
                           bool notify = false);

  // Requests 7 and 8. The record receives the daemon's settings whenever the request was
  // delivered.
  std::uint32_t CtlGetSettings(SettingsRecord& settings);
  std::uint32_t CtlSetSettings(const SettingsRecord& settings);

  // Request 9: every user; the status (CTL_FAILED when not delivered).
  std::uint32_t CtlEnumUsers(std::vector<UserInfo>& users);
  // Request 9, then the first record whose name equals user.name without regard to case,
  // copied into user: CTL_OK; CTL_NOT_FOUND; CTL_FAILED when not delivered or refused.
  std::uint32_t CtlFindUser(UserInfo& user);

  // Request 10: the sessions (name, address, session id); their number, 0 when not delivered.
  std::uint32_t CtlListSessions(std::vector<UserInfo>& sessions);
  // Request 15: every daemon's sessions; CTL_OK, or CTL_FAILED when the shared store failed or
  // the request was not delivered (lastDelivered() tells which).
  std::uint32_t CtlListAllSessions(std::vector<DaemonSessionInfo>& sessions);
  // Request 11: CTL_OK or CTL_NOT_FOUND; 0 when not delivered.
  std::uint32_t CtlDisconnectSession(std::string_view name, std::uint32_t address,
                                     std::uint32_t sessionId);
  // Request 12: text of at most kMaxMessageText characters (cut beyond); 0 when not delivered.
  std::uint32_t CtlSendMessage(std::uint32_t address, std::string_view text);
  // Request 13: the session's relays; their number, 0 when not delivered.
  std::uint32_t CtlListRelays(std::string_view name, std::uint32_t address,
                              std::uint32_t sessionId, std::vector<RelayInfo>& relays);

  static constexpr std::size_t kMaxMessageText = 1023;

 private:
  ControlClient() = default;
  // Sends one request and waits for its reply; false when not delivered.
  bool exchange(ControlMessage& message);
  std::uint32_t userRequest(std::uint32_t code, std::string_view name,
                            const std::string_view* password, std::int64_t limit, bool notify);
  std::uint8_t* request() const { return static_cast<std::uint8_t*>(requestArea_.base()); }
  const std::uint8_t* reply() const {
    return static_cast<const std::uint8_t*>(port_->peerView().base());
  }

  SharedSection requestArea_;
  std::unique_ptr<PortConnection> port_;
  int timeoutMs_ = -1;
  PortStatus lastStatus_ = PortStatus::Ok;
};

}  // namespace tarvo
