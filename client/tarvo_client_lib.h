// A client of the daemon's wire protocol over sockets with time-outs: the session connection
// (opening message, Hello or VersionRefused, Login, session messages) and data connections
// (opening of kind 1, destination header, cipher records). Calls block for at most the
// time-out they are given and report a ClientStatus; nothing throws.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "server/common/byte_buffer.h"
#include "server/common/encryption.h"
#include "server/common/session_protocol.h"

namespace tarvo::client {

enum class ClientStatus {
  kOk,
  kResolveFailed,   // the host name has no IPv4 address
  kConnectFailed,   // the TCP connection could not be made
  kTimeout,         // nothing (or not enough) arrived in time, or the peer did not take our bytes
  kClosed,          // the peer closed the connection
  kIoError,         // a socket call failed
  kProtocolError,   // bytes that are not the expected frame
  kVersionRefused,  // the daemon answered the opening message with VersionRefused
  kNotLoggedIn,     // the call needs a session key
};

const char* ToString(ClientStatus status);

enum class LoginOutcome {
  kAccepted,
  kDoubleConnect,
  kUnknownUser,
  kInvalidPassword,
  kUserLocked,
  kFailed,  // no answer: see LoginResult::status
};

struct LoginResult {
  LoginOutcome outcome = LoginOutcome::kFailed;
  ClientStatus status = ClientStatus::kOk;  // why, when outcome is kFailed
  std::uint32_t sessionId = 0;              // when accepted
};

// An owned socket descriptor, non-blocking underneath; every wait is a poll with a deadline.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket();
  Socket(Socket&& other) noexcept : fd_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept;

  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  void close();

  // Connects to host (dotted IPv4 or a name) and port, from sourceAddress (IPv4, network
  // order) when it is not 0.
  ClientStatus connect(const std::string& host, std::uint16_t port, int timeoutMs,
                       std::uint32_t sourceAddress = 0);
  // Sends every byte before the time-out.
  ClientStatus sendAll(std::span<const std::uint8_t> bytes, int timeoutMs);
  // Waits for and appends at most maxBytes bytes that arrive (at least one).
  ClientStatus receiveSome(ByteBuffer& into, std::size_t maxBytes, int timeoutMs);

 private:
  int fd_ = -1;
};

struct ReceivedMessage {
  std::uint32_t type = 0;
  ByteBuffer payload;
};

// One session connection.
class SessionClient {
 public:
  // Connects and sends the opening message with versionText; then reads Hello (kOk) or
  // VersionRefused (kVersionRefused); either way rangeText receives the version range text.
  ClientStatus open(const std::string& host, std::uint16_t port, std::string_view versionText,
                    int timeoutMs, std::string* rangeText = nullptr);

  // Sends Login for name with the key derived from password and reads the answer. On success
  // the session's encryptor and decryptor are set up.
  LoginResult login(std::string_view name, const std::string& password, int timeoutMs);
  // The same with the session key text already derived (DeriveSessionKeyText of the
  // password): a client that logs in again and again derives it once.
  LoginResult loginWithKey(std::string_view name, const std::string& keyText, int timeoutMs);

  // Takes over an inner session stream that a v2 connection logged in (fd: after the
  // LoginAccepted), with the session key text that login was made with.
  void adoptLoggedIn(int fd, std::uint32_t sessionId, const std::string& keyText);

  // Frames and sends one session message.
  ClientStatus sendMessage(std::uint32_t type, std::span<const std::uint8_t> payload = {},
                           int timeoutMs = 5000);
  // Sends bytes as they are (for tests of malformed input).
  ClientStatus sendRaw(std::span<const std::uint8_t> bytes, int timeoutMs = 5000);
  // Reads the next whole session message.
  ClientStatus readMessage(ReceivedMessage& message, int timeoutMs);

  // Sends TrafficInfo and reads the answer.
  ClientStatus trafficInfo(std::int64_t& limit, std::int64_t& counter, int timeoutMs);
  // Sends a TextMessage enciphered under the session key.
  ClientStatus sendTextMessage(std::string_view text, int timeoutMs = 5000);
  // Sends one datagram on a UDP channel (address in network order, port in host order); at most
  // 65535 bytes.
  ClientStatus sendUdpData(std::uint32_t address, std::uint16_t port, std::uint32_t channel,
                           std::span<const std::uint8_t> datagram, std::uint16_t value = 0,
                           int timeoutMs = 5000);
  ClientStatus sendUdpClose(std::uint32_t channel, int timeoutMs = 5000);
  // Asks for the names to be looked up; each that resolves comes back as a Resolve message.
  ClientStatus sendResolve(std::span<const std::string> names, int timeoutMs = 5000);
  // Deciphers the records in a received payload (TextMessage, Resolve, or the part of a
  // UdpData after its header) with the session's decryptor.
  ClientStatus decipher(std::span<const std::uint8_t> records, ByteBuffer& plaintext);
  AESEncryptor* encryptor() { return encryptor_.get(); }

  // The local IPv4 address (network order) that this session's connections and its data
  // connections come from; 0 (the default) lets the system choose. A balancer that keeps a
  // client on one daemon by its address sees them as one client.
  void setSourceAddress(std::uint32_t address) { sourceAddress_ = address; }
  std::uint32_t sourceAddress() const { return sourceAddress_; }

  bool loggedIn() const { return encryptor_ != nullptr; }
  std::uint32_t sessionId() const { return sessionId_; }
  const std::string& keyText() const { return keyText_; }
  const std::string& host() const { return host_; }
  std::uint16_t port() const { return port_; }
  Socket& socket() { return socket_; }
  void close() { socket_.close(); }
  // Bytes already received past the last message read, for a caller that goes on reading the
  // socket itself.
  ByteBuffer takeReceived() { return std::move(received_); }

 private:
  Socket socket_;
  ByteBuffer received_;
  MessageReader reader_{kMaxMessageLengthLoggedIn};
  std::string host_;
  std::uint16_t port_ = 0;
  std::uint32_t sourceAddress_ = 0;
  std::string keyText_;
  std::uint32_t sessionId_ = 0;
  std::unique_ptr<AESEncryptor> encryptor_;
  std::unique_ptr<AESDecryptor> decryptor_;
};

// One data connection of a logged-in session: records in both directions after the header.
class DataConnection {
 public:
  // Connects to the session's daemon and sends the opening of kind 1, the session id and the
  // destination (address in network byte order, port in host byte order).
  ClientStatus open(const SessionClient& session, std::uint32_t address, std::uint16_t port,
                    int timeoutMs);
  // Sends data as records of at most 65535 plaintext bytes each.
  ClientStatus send(std::span<const std::uint8_t> data, int timeoutMs = 5000);
  // Waits for record bytes and appends the plaintext they yield (possibly none when only part
  // of a unit arrived). kClosed once the daemon has closed the connection.
  ClientStatus receive(ByteBuffer& plaintext, int timeoutMs);

  Socket& socket() { return socket_; }
  void close() { socket_.close(); }

 private:
  Socket socket_;
  std::unique_ptr<AESEncryptor> encryptor_;
  std::unique_ptr<AESDecryptor> decryptor_;
};

}  // namespace tarvo::client
