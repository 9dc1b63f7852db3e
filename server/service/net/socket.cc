#include "server/service/net/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/fd.h"
#include "server/service/net/network_loop.h"
#include "server/service/net/network_loop_access.h"
#include "server/service/net/relay_io.h"

namespace tarvo {

namespace {

// How long the listener stops accepting after running out of descriptors.
constexpr std::chrono::milliseconds kAcceptPause{250};

// Accepts per readiness report: bursts of connections are taken in few passes, and the
// listener still yields to the other sockets.
constexpr int kAcceptsPerRead = 16;

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

// ---- socket list

SocketList& Sockets() {
  static SocketList list;
  return list;
}

void SocketList::add(Socket* socket) {
  socket->slot_ = slots_.size();
  slots_.push_back(socket);
  ++live_;
}

void SocketList::remove(Socket* socket) {
  if (socket->slot_ < slots_.size() && slots_[socket->slot_] == socket) {
    slots_[socket->slot_] = nullptr;
    --live_;
  }
}

void SocketList::compact() {
  if (live_ * 2 > slots_.size()) return;
  std::size_t next = 0;
  for (Socket* socket : slots_) {
    if (socket == nullptr) continue;
    socket->slot_ = next;
    slots_[next++] = socket;
  }
  slots_.resize(next);
}

void DeleteAllSockets() {
  SocketList& list = Sockets();
  // Destructors clear slots (their own and their children's) and never fill earlier ones, so
  // one forward walk meets every socket, including any made while others are deleted.
  for (std::size_t slot = 0; slot < list.slotCount(); ++slot) {
    if (Socket* socket = list.at(slot)) delete socket;
  }
}

// ---- Socket

Socket::Socket(int handle, Socket* owner) : handle_(handle), owner_(owner) {
  if (owner_ != nullptr) owner_->children_.push_back(this);
  Sockets().add(this);
  MarkSocketDirty(this);
}

Socket::~Socket() {
  if (owner_ != nullptr) {
    auto& siblings = owner_->children_;
    auto found = std::find(siblings.begin(), siblings.end(), this);
    if (found != siblings.end()) siblings.erase(found);
    owner_ = nullptr;
  }
  ForgetSocket(this);
  if (handle_ != kNoHandle) CloseDescriptor(std::exchange(handle_, kNoHandle));
  Sockets().remove(this);
  // Each child takes itself out of children_ as it goes.
  while (!children_.empty()) delete children_.front();
}

int Socket::releaseHandle() {
  HandOverSocket(this);
  return std::exchange(handle_, kNoHandle);
}

void Socket::setFlag(Flag flag) {
  flags_ |= flag;
  // A connection still being made has sent nothing: there is nothing to finish.
  if ((flags_ & (Closing | Connecting)) == (Closing | Connecting)) {
    RetireSocket(this);
    return;
  }
  MarkSocketDirty(this);
}

void Socket::clearFlag(Flag flag) {
  flags_ &= ~static_cast<std::uint32_t>(flag);
  MarkSocketDirty(this);
}

int Socket::bind(int port) {
  if (handle_ == kNoHandle || port < 0 || port > 0xFFFF) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::bind(handle_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  socklen_t length = sizeof address;
  if (::getsockname(handle_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  return ntohs(address.sin_port);
}

// ---- TcpSocket

TcpSocket::TcpSocket(int handle, Socket* owner) : Socket(handle, owner) {
  if (handle_ == kNoHandle) handle_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

bool TcpSocket::wantRead() const {
  return (!hasFlag(Connecting) && !hasFlag(Closing)) || tlsWriteWaitsToRead();
}

bool TcpSocket::wantWrite() const {
  return hasFlag(Connecting) || !output_.empty() || hasFlag(Closing) || tlsReadWaitsToWrite();
}

bool TcpSocket::wantExcept() const { return hasFlag(Connecting); }

TcpSocket::~TcpSocket() {
  if (tls_ != nullptr) tls_->shutdown();
}

void TcpSocket::useTls(std::unique_ptr<TlsStream> tls) {
  tls_ = std::move(tls);
  // What came behind the opening frame may already wait inside OpenSSL.
  if (tls_->pending()) flags_ |= Buffered;
  MarkSocketDirty(this);
}

bool TcpSocket::onRead() {
  // A write that waited for the peer's bytes goes on first.
  if (tlsWriteWaitsToRead() && !onWrite()) return false;
  std::uint8_t buffer[kStreamReadChunk];
  ssize_t received;
  if (tls_ != nullptr) {
    received = tls_->read(buffer, sizeof buffer);
    flags_ = tls_->pending() ? (flags_ | Buffered) : (flags_ & ~std::uint32_t{Buffered});
  } else {
    do {
      received = ::recv(handle_, buffer, sizeof buffer, 0);
    } while (received < 0 && errno == EINTR);
  }
  if (received > 0) return onData({buffer, static_cast<std::size_t>(received)});
  if (received == 0) {  // the peer closed: send what is queued, then go
    setFlag(Closing);
    return true;
  }
  if (WouldBlock(errno)) return onData({});
  return false;
}

bool TcpSocket::onWrite() {
  if (hasFlag(Connecting)) {
    if (hasFlag(Closing)) return false;
    clearFlag(Connecting);
    onConnected();
    return true;
  }
  // A read that waited for the socket to take bytes goes on first.
  if (tlsReadWaitsToWrite() && !onRead()) return false;
  if (SendQueued(handle_, tls_.get(), output_) == SendResult::kFailed) return false;
  return !hasFlag(Closing) || !output_.empty();
}

bool TcpSocket::onExcept() {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(handle_, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error == 0) return true;
  onConnectFailed();
  return false;
}

bool ConnectNonBlocking(int handle, std::uint32_t address, int port) {
  if (handle == kNoHandle || port < 0 || port > 0xFFFF) return false;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = address;
  peer.sin_port = htons(static_cast<std::uint16_t>(port));
  // Not retried on EINTR: an interrupted connect goes on in the background, like one that
  // is in progress, and its outcome arrives as writability or an error.
  int result = ::connect(handle, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
  return result == 0 || errno == EINPROGRESS || errno == EINTR || WouldBlock(errno);
}

bool TcpSocket::connect(std::uint32_t address, int port) {
  if (!ConnectNonBlocking(handle_, address, port)) return false;
  flags_ = Connecting;
  MarkSocketDirty(this);
  return true;
}

void TcpSocket::queueOutput(const void* bytes, std::size_t count) {
  output_.append(bytes, count);
  MarkSocketDirty(this);
}

// ---- TcpServerSocket

TcpServerSocket::TcpServerSocket(int handle, Socket* owner) : TcpSocket(handle, owner) {
  // A restarted daemon can bind at once while connections of the old one sit in TIME_WAIT.
  // On Linux this never lets two listeners share a port.
  int on = 1;
  if (handle_ != kNoHandle) ::setsockopt(handle_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

bool TcpServerSocket::listen() {
  if (handle_ == kNoHandle) return false;
  // Accepted connections inherit these: TCP_NODELAY (a session's or relay's small writes, a
  // keystroke or a request, leave at once) and narrow kernel buffers, so a connection pins
  // little until it is known: a session widens its own at login, a relay when it is granted.
  SetNoDelay(handle_);
  SetKernelBuffers(handle_, kNarrowBuffers);
  return ::listen(handle_, kListenBacklog) == 0;
}

bool TcpServerSocket::onRead() {
  for (int i = 0; i < kAcceptsPerRead; ++i) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int accepted = ::accept4(handle_, reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted < 0) {
      if (errno == EINTR) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // The connection stays in the backlog and the listener stays readable: stop asking
        // for a while instead of failing the same accept on every pass.
        resumeTimer_.arm(kAcceptPause, [this] { MarkSocketDirty(this); });
      }
      return true;
    }
    if (!onAccept(accepted, peer.sin_addr.s_addr, ntohs(peer.sin_port))) CloseDescriptor(accepted);
  }
  return true;
}

void TcpServerSocket::stopListening() {
  resumeTimer_.cancel();
  if (handle_ != kNoHandle) CloseDescriptor(releaseHandle());
}

std::uint16_t TcpServerSocket::port() const {
  if (port_ == 0 && handle_ != kNoHandle) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(handle_, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
      port_ = ntohs(local.sin_port);
    }
  }
  return port_;
}

// ---- datagrams

Datagram::Datagram(std::uint32_t peerAddress, std::uint16_t peerPort, const void* bytes,
                   std::size_t count)
    : address(peerAddress), port(peerPort), payload(bytes, count) {}

Datagram::~Datagram() {
  if (queue_ != nullptr) queue_->items_.erase(position_);
}

DatagramQueue::~DatagramQueue() {
  while (!items_.empty()) delete items_.front();
}

void DatagramQueue::push(std::unique_ptr<Datagram> datagram) {
  if (datagram->queue_ != nullptr) datagram->queue_->items_.erase(datagram->position_);
  Datagram* item = datagram.release();
  item->queue_ = this;
  item->position_ = items_.insert(items_.end(), item);
}

// ---- UdpSocket

UdpSocket::UdpSocket(Socket* owner) : Socket(kNoHandle, owner) {
  handle_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (InDescriptorReserve(handle_)) CloseDescriptor(std::exchange(handle_, kNoHandle));
}

UdpSocket::~UdpSocket() = default;

bool UdpSocket::onRead() {
  static thread_local std::uint8_t buffer[kDatagramReadSize];
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  ssize_t received;
  do {
    received = ::recvfrom(handle_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer),
                          &length);
  } while (received < 0 && errno == EINTR);
  // Errors here (a refused earlier send, a would-block) say nothing about this socket's future.
  if (received < 0) return true;
  return onDatagram(std::make_unique<Datagram>(peer.sin_addr.s_addr, peer.sin_port, buffer,
                                               static_cast<std::size_t>(received)));
}

bool UdpSocket::onWrite() {
  while (Datagram* datagram = queue_.front()) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = datagram->address;
    peer.sin_port = datagram->port;
    ssize_t sent = ::sendto(handle_, datagram->payload.data(), datagram->payload.size(),
                            MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return WouldBlock(errno);
    }
    delete datagram;  // takes itself out of the queue
  }
  return true;
}

void UdpSocket::queueDatagram(std::unique_ptr<Datagram> datagram) {
  queue_.push(std::move(datagram));
  MarkSocketDirty(this);
}

}  // namespace tarvo
