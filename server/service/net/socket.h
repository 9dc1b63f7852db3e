// The socket class family: every network endpoint of the daemon is a Socket, served by the
// one network thread (network_loop.h). A socket that must end returns false from a handler or
// is retired (RetireSocket); only the loop deletes it, before its next wait, and its destructor
// closes the handle and deletes the sockets it owns. Everything here runs under the network
// lock. A change to what a socket wants watched goes through setFlag, clearFlag, the queues or
// MarkSocketDirty, so that the loop asks its queries again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <span>
#include <vector>

#include "platform/event_loop.h"
#include "server/common/byte_buffer.h"
#include "server/service/net/network_loop.h"
#include "server/common/tls_stream.h"

namespace tarvo {

// The socket handle value meaning "no handle of its own" (handed over, or none was made).
// Not 0: descriptor 0 is a valid one.
inline constexpr int kNoHandle = -1;

inline constexpr std::size_t kStreamReadChunk = 16384;
inline constexpr std::size_t kDatagramReadSize = 65536;
// Every relayed TCP connection is a new connection to the daemon: a short backlog overflows
// under a burst of relays and the dropped SYNs cost a second each. The kernel caps it at
// net.core.somaxconn.
inline constexpr int kListenBacklog = 4096;

class Socket : private IoHandler {
 public:
  enum Flag : std::uint32_t {
    Connecting = 1,   // a non-blocking connection attempt is in progress
    Closing = 2,      // send what is queued, then end; while connecting: end now
    AwaitHeader = 4,  // relay data connections only
    // TLS holds bytes for it that epoll will not report: while it wants to read, the loop
    // serves it without waiting (tls_stream.h).
    Buffered = 8,
  };

  // Takes handle (kNoHandle for none), which must be non-blocking already (every descriptor
  // the daemon makes or accepts is), and joins the owner's children and the socket list.
  Socket(int handle, Socket* owner);
  virtual ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Binds to 0.0.0.0 and port (host order, 0 = any); the bound port, or -1.
  virtual int bind(int port);
  // The queries say what to watch for from the socket's state alone: they change nothing.
  virtual bool wantRead() const REQUIRES(NetworkLock) = 0;
  virtual bool wantWrite() const REQUIRES(NetworkLock) = 0;
  virtual bool wantExcept() const REQUIRES(NetworkLock) = 0;
  virtual bool onRead() REQUIRES(NetworkLock) = 0;
  virtual bool onWrite() REQUIRES(NetworkLock) = 0;
  virtual bool onExcept() REQUIRES(NetworkLock) = 0;
  // Before the loop watches for writability: sends what is queued now, when writing has no
  // effect but sending. True when the queue left at once, so no writability report is needed
  // (and no interest to turn on and off around one small answer).
  virtual bool sendAtOnce() REQUIRES(NetworkLock) { return false; }

  int handle() const { return handle_; }
  // Gives the handle up (to an object that takes the connection over) without closing it.
  int releaseHandle();

  std::uint32_t flags() const { return flags_; }
  bool hasFlag(Flag flag) const { return (flags_ & flag) != 0; }
  void setFlag(Flag flag);
  void clearFlag(Flag flag);

  // Ended: deleted before the loop's next wait, no handler of it is called again.
  bool retired() const { return retiredSlot_ != kNotListed; }

  Socket* owner() const { return owner_; }
  const std::vector<Socket*>& children() const { return children_; }

 protected:
  int handle_ = kNoHandle;
  std::uint32_t flags_ = 0;

 private:
  friend class SocketList;
  friend class NetworkLoopSide;

  // Readiness from the loop: runs the handlers for what the socket asked to be watched for.
  void onIo(int fd, std::uint32_t events) override;

  Socket* owner_ = nullptr;
  std::vector<Socket*> children_;
  std::size_t slot_ = 0;                      // index in the socket list
  static constexpr std::size_t kNotListed = ~std::size_t{0};
  std::size_t dirtySlot_ = kNotListed;        // index in the loop's dirty list
  std::size_t retiredSlot_ = kNotListed;      // index in the loop's retired list
  std::size_t bufferedSlot_ = kNotListed;     // index in the loop's list to serve unasked
  std::uint32_t interest_ = 0;                // what the loop watches the handle for; 0: nothing
  bool hungUp_ = false;  // the loop saw a hang-up while nothing but exceptions was wanted
};

// The process-wide list of every live socket, in construction order. A socket's slot is
// cleared when it is deleted and the list is compacted before a wait once half of it is
// cleared, so a walk by slot survives handlers that delete any socket.
class SocketList {
 public:
  std::size_t slotCount() const { return slots_.size(); }
  // The socket in a slot, or nullptr when it has been deleted since the last compaction.
  Socket* at(std::size_t slot) const { return slots_[slot]; }
  std::size_t liveCount() const { return live_; }
  // Drops cleared slots, keeping the order of the others, once they are half the list.
  void compact();

 private:
  friend class Socket;
  void add(Socket* socket);
  void remove(Socket* socket);

  std::vector<Socket*> slots_;
  std::size_t live_ = 0;
};

SocketList& Sockets();

// Deletes every socket, in list order (owners take their children with them). The caller
// holds the network lock and no loop pass runs.
void DeleteAllSockets();

// Starts a non-blocking connection of handle to address (IPv4, network order) and port (host
// order); false when it failed at once.
bool ConnectNonBlocking(int handle, std::uint32_t address, int port);

// A stream socket with an outgoing byte queue.
class TcpSocket : public Socket {
 public:
  // Without a handle (kNoHandle) a new non-blocking stream socket is made.
  TcpSocket(int handle, Socket* owner);
  ~TcpSocket() override;

  bool wantRead() const REQUIRES(NetworkLock) override;
  bool wantWrite() const REQUIRES(NetworkLock) override;
  bool wantExcept() const REQUIRES(NetworkLock) override;
  bool onRead() REQUIRES(NetworkLock) override;
  bool onWrite() REQUIRES(NetworkLock) override;
  bool onExcept() REQUIRES(NetworkLock) override;

  // Starts a non-blocking connection to address (IPv4, network order) and port (host order).
  virtual bool connect(std::uint32_t address, int port) REQUIRES(NetworkLock);
  virtual void onConnected() REQUIRES(NetworkLock) = 0;
  virtual void onConnectFailed() REQUIRES(NetworkLock) = 0;
  // Received bytes (possibly none); false = delete.
  virtual bool onData(std::span<const std::uint8_t> bytes) REQUIRES(NetworkLock) = 0;

  // Appends bytes to the outgoing queue; the loop sends them. From a thread other than the
  // network thread (holding the network lock) this also wakes the loop.
  void queueOutput(const void* bytes, std::size_t count);
  void queueOutput(std::span<const std::uint8_t> bytes) { queueOutput(bytes.data(), bytes.size()); }
  const ByteBuffer& outputQueue() const { return output_; }

  // From now on the connection's bytes go through tls (protocol v2), which has completed its
  // handshake on this socket's handle; the socket's end sends close_notify.
  void useTls(std::unique_ptr<TlsStream> tls);

 protected:
  // OpenSSL waits for the socket the other way round (a handshake message in the way).
  bool tlsReadWaitsToWrite() const { return tls_ != nullptr && tls_->readWantsWrite(); }
  bool tlsWriteWaitsToRead() const { return tls_ != nullptr && tls_->writeWantsRead(); }

  ByteBuffer output_;

 private:
  std::unique_ptr<TlsStream> tls_;
};

// A listening stream socket: accepts connections and hands each to onAccept.
class TcpServerSocket : public TcpSocket {
 public:
  TcpServerSocket(int handle, Socket* owner);

  bool onRead() REQUIRES(NetworkLock) override;
  virtual bool listen() REQUIRES(NetworkLock);
  // A connection was accepted: its handle, the peer's IPv4 address (network order) and port
  // (host order). False = the layer closes the handle.
  virtual bool onAccept(int handle, std::uint32_t address, int port) REQUIRES(NetworkLock) = 0;
  // The port it listens on (host order); 0 before it is bound.
  std::uint16_t port() const;
  // Closes the listening handle now, so that the port is free before the socket is deleted.
  void stopListening();

 protected:
  // True while accepting is paused because the process ran out of descriptors.
  bool acceptPaused() const { return resumeTimer_.armed(); }

 private:
  NetworkTimer resumeTimer_;
  mutable std::uint16_t port_ = 0;  // found when first asked after the bind
};


class DatagramQueue;

// One datagram: its peer (IPv4 address and port, both network order) and payload. It removes
// itself from the queue it sits in when destroyed.
class Datagram {
 public:
  Datagram(std::uint32_t address, std::uint16_t port, const void* bytes, std::size_t count);
  ~Datagram();
  Datagram(const Datagram&) = delete;
  Datagram& operator=(const Datagram&) = delete;

  DatagramQueue* queue() const { return queue_; }

  std::uint32_t address;
  std::uint16_t port;
  ByteBuffer payload;

 private:
  friend class DatagramQueue;
  DatagramQueue* queue_ = nullptr;
  std::list<Datagram*>::iterator position_;
};

// An ordered queue that owns its datagrams.
class DatagramQueue {
 public:
  DatagramQueue() = default;
  ~DatagramQueue();
  DatagramQueue(const DatagramQueue&) = delete;
  DatagramQueue& operator=(const DatagramQueue&) = delete;

  void push(std::unique_ptr<Datagram> datagram);
  Datagram* front() const { return items_.empty() ? nullptr : items_.front(); }
  bool empty() const { return items_.empty(); }
  std::size_t size() const { return items_.size(); }

 private:
  friend class Datagram;
  std::list<Datagram*> items_;
};

// A datagram socket with an outgoing datagram queue; not bound until bind or the first send.
class UdpSocket : public Socket {
 public:
  explicit UdpSocket(Socket* owner);
  ~UdpSocket() override;

  bool wantRead() const REQUIRES(NetworkLock) override { return true; }
  bool wantWrite() const REQUIRES(NetworkLock) override { return !queue_.empty(); }
  bool wantExcept() const REQUIRES(NetworkLock) override { return true; }
  bool onRead() REQUIRES(NetworkLock) override;
  bool onWrite() REQUIRES(NetworkLock) override;
  bool onExcept() REQUIRES(NetworkLock) override { return true; }
  // A datagram arrived (possibly of 0 bytes); false = delete.
  virtual bool onDatagram(std::unique_ptr<Datagram> datagram) REQUIRES(NetworkLock) = 0;

  // Queues a datagram for sending; wakes the loop when called off the network thread.
  void queueDatagram(std::unique_ptr<Datagram> datagram);
  const DatagramQueue& outputQueue() const { return queue_; }

 protected:
  DatagramQueue queue_;
};

}  // namespace tarvo
