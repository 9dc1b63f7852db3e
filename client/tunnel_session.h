// The client's session with the daemon: login, keep-alive, messages from the administrator,
// datagrams and name answers coming back, and a new login with back-off when the session is
// lost. The login itself waits (at most the login time-out) on the loop's thread; everything
// after it is driven by readiness.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/event_loop.h"
#include "client/tarvo_client_lib.h"

namespace tarvo::client {

class V2Connector;

struct TunnelConfig {
  std::string host;
  std::uint16_t port = 0;
  std::string user;
  std::string password;
  std::string version = "2.0.5";
  int loginTimeoutMs = 5000;
  // Protocol v2 (the default of tarvoclient); null: protocol v1.
  V2Connector* v2 = nullptr;
};

// What a login attempt came to, in words for the operator; refused is true for the daemon's
// refusals (version, user, password, lock, double connect), false for connection trouble.
struct LoginReport {
  bool accepted = false;
  bool refused = false;
  std::string text;
};

// Logs in on session (opened and logged in when accepted).
LoginReport LogIn(SessionClient& session, const TunnelConfig& config);

class TunnelListener {
 public:
  virtual ~TunnelListener() = default;
  virtual void onSessionLost() = 0;
  virtual void onUdpData(std::uint32_t channel, std::uint32_t address, std::uint16_t port,
                         std::span<const std::uint8_t> datagram) = 0;
  virtual void onResolved(std::uint32_t address, const std::string& name) = 0;
};

class TunnelSession : public IoHandler {
 public:
  static constexpr auto kKeepAlive = std::chrono::seconds(10);
  static constexpr auto kFirstRetry = std::chrono::seconds(1);
  static constexpr auto kLongestRetry = std::chrono::seconds(30);
  // Datagrams are dropped rather than queued past this many bytes waiting for the daemon.
  static constexpr std::size_t kQueueLimit = 1 << 20;

  TunnelSession(EventLoop& loop, TunnelConfig config);
  ~TunnelSession() override;

  void setListener(TunnelListener* listener) { listener_ = listener; }
  // The first login; the caller reports and decides. Later logins are the session's own work.
  LoginReport start();

  bool up() const { return fd_ >= 0; }
  std::uint32_t sessionId() const { return session_.sessionId(); }
  const std::string& keyText() const { return session_.keyText(); }
  const sockaddr_in& daemonAddress() const { return daemonAddress_; }
  // Null for protocol v1.
  V2Connector* v2() const { return config_.v2; }
  // Increases at every login, so work tied to an earlier session can tell.
  std::uint64_t generation() const { return generation_; }

  // False (and nothing sent) while the session is down or its queue is full.
  bool sendUdpData(std::uint32_t channel, std::uint32_t address, std::uint16_t port,
                   std::span<const std::uint8_t> datagram);
  bool sendUdpClose(std::uint32_t channel);
  bool sendResolve(const std::string& name);

  void onIo(int fd, std::uint32_t events) override;

 private:
  void attach();
  void lose(const char* why);
  void scheduleLogin();
  void keepAlive();
  bool handleMessage(std::uint32_t type, std::span<const std::uint8_t> payload);
  void flush();
  void updateInterest();

  EventLoop& loop_;
  TunnelConfig config_;
  TunnelListener* listener_ = nullptr;
  SessionClient session_;
  sockaddr_in daemonAddress_{};
  int fd_ = -1;  // owned by session_; registered with the loop while the session is up
  ByteBuffer in_;
  ByteBuffer out_;
  MessageReader reader_{kMaxMessageLengthLoggedIn};
  std::chrono::seconds retryDelay_ = kFirstRetry;
  EventLoop::TimerId keepAliveTimer_ = 0;
  EventLoop::TimerId loginTimer_ = 0;
  std::uint64_t generation_ = 0;
};

}  // namespace tarvo::client
