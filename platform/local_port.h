// Local ports: named rendezvous points between processes of one machine, carrying 40-byte
// messages and letting each side map a view of the other's shared section. AF_UNIX
// SOCK_SEQPACKET sockets in the runtime directory; sections are memfd objects.
//
// Port owner (one thread):
//   LocalPort::Create(name, rule)        the socket file "name" in the runtime directory
//   loop: receive(event)                 waits on the port and every connection at once
//     ConnectionRequest -> accept(id, ownSection) + complete(id), or refuse(id)
//                          (check event.peerViewSize first: that is all you may read)
//     Request           -> read peerView(id), answer with reply(id, event.message)
//     PortClosed / ClientDied -> close(id)
//   interrupt() from another thread makes a waiting receive return Interrupted.
//
// Connector:
//   PortConnection::Connect(name, ownSection[, timeout, error, ownerCheck])
//                                               returns once the owner completed or refused
//   requestWaitReply(message[, timeout])        the reply overwrites message
//   close() (or destruction)                    the owner sees PortClosed
//
// A peer that dies is seen as PortClosed/ClientDied by the owner and as Closed by a
// connector; no call waits on a dead peer. Peers the owner's access rule does not admit are
// refused before the owner hears of them, and their Connect returns AccessDenied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/fd.h"
#include "platform/peer_credentials.h"
#include "platform/port_message.h"
#include "platform/shared_section.h"

namespace tarvo {

enum class PortStatus {
  Ok,
  NameTaken,       // Create: a live port holds the name
  NotFound,        // Connect: no port listens under the name
  Refused,         // Connect: the owner refused (refuse(), or the offered section was unusable)
  AccessDenied,    // Connect: the port's access rule does not admit this process
  UntrustedOwner,  // Connect: the port is served by someone the connector does not trust
  Closed,          // the peer closed the connection or died
  TimedOut,
  Interrupted,  // receive: interrupt() was called
  Failed,       // a system call failed, or a call did not fit the connection's state
};

const char* PortStatusName(PortStatus status);

// Names a connection of a LocalPort; never reused by the same port.
using ConnectionId = std::uint64_t;

struct PortEvent {
  PortMessageType type = PortMessageType::Request;
  ConnectionId connection = 0;
  // Request: the message as sent; header.clientProcess is the sender's pid from the kernel.
  PortMessage message{};
  // ConnectionRequest: who connects and the size of the view it offers (0: none).
  PeerCredentials peer;
  std::size_t peerViewSize = 0;
};

class LocalPort {
 public:
  // Creates the port "name" in the runtime directory. NameTaken while a live port holds it;
  // a socket file left by a dead process is taken over.
  static PortStatus Create(const std::string& name, const PortAccessRule& rule,
                           std::unique_ptr<LocalPort>& port, std::string* error = nullptr);
  // Closes every connection and removes the socket file (if it is still this port's).
  ~LocalPort();
  LocalPort(const LocalPort&) = delete;
  LocalPort& operator=(const LocalPort&) = delete;

  // Waits for the next connection request, request, or end of a connection (timeoutMs < 0:
  // no time-out). Ok with event filled; TimedOut; Interrupted; Failed.
  PortStatus receive(PortEvent& event, int timeoutMs = -1, std::string* error = nullptr);

  // Accepts a connection request, offering a view of own (may be null: no view). The
  // connector keeps waiting until complete().
  PortStatus accept(ConnectionId id, const SharedSection* own, std::string* error = nullptr);
  // Releases the connector of an accepted connection. Closed when it has gone meanwhile.
  PortStatus complete(ConnectionId id, std::string* error = nullptr);
  // Refuses a connection request; the connector's Connect returns Refused.
  void refuse(ConnectionId id);
  // Answers a request of connection id; message keeps the request's message id. A peer that
  // does not read its replies is not waited for: Failed, and the caller should close it.
  PortStatus reply(ConnectionId id, const PortMessage& message, std::string* error = nullptr);
  // The view the connector offered, mapped here; null when it offered none or id is unknown.
  const SharedSection* peerView(ConnectionId id) const;
  // Ends a connection and forgets it.
  void close(ConnectionId id);

  // Thread-safe: makes the current or next receive return Interrupted.
  void interrupt();

  const std::string& path() const { return path_; }
  std::size_t connectionCount() const { return connections_.size(); }

 private:
  struct Connection;
  LocalPort() = default;
  Connection* find(ConnectionId id, std::string* error) const;
  // Handles readiness of the listener or one connection; true when event was filled.
  void acceptSockets();
  bool readConnection(ConnectionId id, Connection& connection, PortEvent& event);

  UniqueFd listener_;
  UniqueFd wake_;
  std::string path_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  PortAccessRule rule_ = PortAccessRule::UserAndRoot(0);
  std::map<ConnectionId, std::unique_ptr<Connection>> connections_;
  ConnectionId nextId_ = 1;
  ConnectionId lastServed_ = 0;
  std::int64_t listenerPausedUntilMs_ = 0;  // steady clock; out of descriptors
};

// Whether the process serving the port at path is the one meant; false, with the reason in
// *error, ends the connection before anything is sent.
using PortOwnerCheck =
    std::function<bool(const PeerCredentials& owner, const std::string& path, std::string* error)>;

class PortConnection {
 public:
  // Connects to the port "name" in the runtime directory, offering a view of own (may be
  // null). Waits until the owner completes or refuses (timeoutMs < 0: no time-out). With
  // ownerCheck, a port whose owner fails it gives UntrustedOwner and has been sent nothing.
  static PortStatus Connect(const std::string& name, const SharedSection* own,
                            std::unique_ptr<PortConnection>& connection, int timeoutMs = -1,
                            std::string* error = nullptr,
                            const PortOwnerCheck& ownerCheck = nullptr);
  ~PortConnection() { close(); }
  PortConnection(const PortConnection&) = delete;
  PortConnection& operator=(const PortConnection&) = delete;

  // Sends message as a request and waits for its reply, which overwrites message. TimedOut
  // leaves the connection usable: a late reply is recognised by its id and dropped.
  PortStatus requestWaitReply(PortMessage& message, int timeoutMs = -1,
                              std::string* error = nullptr);

  // The view the owner offered at accept, mapped here (invalid when it offered none).
  const SharedSection& peerView() const { return peerView_; }
  // The port owner's identity, as the kernel recorded it.
  const PeerCredentials& peer() const { return peer_; }
  bool connected() const { return socket_.valid(); }

  void close();

 private:
  PortConnection() = default;

  UniqueFd socket_;
  SharedSection peerView_;
  PeerCredentials peer_;
  std::uint32_t lastMessageId_ = 0;
};

}  // namespace tarvo
