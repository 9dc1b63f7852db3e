#include "platform/local_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/home.h"
#include "platform/own_file.h"
#include "platform/port_frames.h"

namespace tarvo {

using port_frames::Deadline;
using port_frames::MakeFrame;
using port_frames::ReadFrame;
using port_frames::ReadResult;
using port_frames::SendFrame;
using port_frames::SendResult;
using port_frames::SystemError;

const char* PortStatusName(PortStatus status) {
  switch (status) {
    case PortStatus::Ok:
      return "ok";
    case PortStatus::NameTaken:
      return "name taken";
    case PortStatus::NotFound:
      return "no such port";
    case PortStatus::Refused:
      return "connection refused";
    case PortStatus::AccessDenied:
      return "access denied";
    case PortStatus::UntrustedOwner:
      return "served by an untrusted user";
    case PortStatus::Closed:
      return "port closed";
    case PortStatus::TimedOut:
      return "timed out";
    case PortStatus::Interrupted:
      return "interrupted";
    case PortStatus::Failed:
      return "failed";
  }
  return "unknown";
}

namespace {

constexpr int kListenBacklog = 64;
constexpr char kPortTurnsFileName[] = "tarvo-ports.lock";
// How long the listener rests when the process is out of descriptors, rather than spinning.
constexpr std::int64_t kOutOfDescriptorsPauseMs = 100;

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

PortStatus Failure(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return PortStatus::Failed;
}

bool SocketAddress(const std::string& path, sockaddr_un& address, std::string* error) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    if (error) *error = "socket path too long for AF_UNIX: " + path;
    return false;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

int ConnectRetrying(int socket, const sockaddr_un& address) {
  for (;;) {
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}

// Whether a live port listens at the path: a connection is made or queued.
bool IsLive(const sockaddr_un& address) {
  UniqueFd probe(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!probe) return true;  // cannot tell: do not take the name from anybody
  int result = ConnectRetrying(probe.get(), address);
  return result == 0 || result == EAGAIN;
}

bool SendRefusal(int socket, port_frames::RefusalReason reason) {
  PortMessage frame = MakeFrame(port_frames::kRefuseFrame);
  frame.data[0] = reason;
  return port_frames::SendFrameNow(socket, frame);
}

// Waits for the next well-formed frame: Ok, Closed (the socket ended), TimedOut or Failed.
PortStatus WaitFrame(int socket, const Deadline& deadline, PortMessage& frame, UniqueFd& passed,
                     std::string* error) {
  for (;;) {
    switch (port_frames::WaitReadable(socket, deadline, error)) {
      case port_frames::WaitResult::Ready:
        break;
      case port_frames::WaitResult::TimedOut:
        return PortStatus::TimedOut;
      case port_frames::WaitResult::Failed:
        return PortStatus::Failed;
    }
    switch (ReadFrame(socket, frame, passed, error)) {
      case ReadResult::Frame:
        return PortStatus::Ok;
      case ReadResult::NoFrame:
      case ReadResult::Bad:
        continue;
      case ReadResult::End:
        return PortStatus::Closed;
      case ReadResult::Failed:
        return PortStatus::Failed;
    }
  }
}

void SendClosed(int socket) {
  port_frames::SendFrameNow(socket,
                            MakeFrame(static_cast<std::uint16_t>(PortMessageType::PortClosed)));
}

}  // namespace

struct LocalPort::Connection {
  enum class State {
    AwaitingRequest,  // accepted socket, its connection request not read yet
    Requested,        // reported to the owner, awaiting accept or refuse
    Accepted,         // awaiting complete
    Connected,
    Ended,  // reported closed; awaiting close()
  };
  UniqueFd socket;
  State state = State::AwaitingRequest;
  PeerCredentials peer;
  SharedSection peerView;
  UniqueFd offered;  // the owner's section, sent at complete
  std::size_t offeredViewSize = 0;
};

PortStatus LocalPort::Create(const std::string& name, const PortAccessRule& rule,
                             std::unique_ptr<LocalPort>& port, std::string* error) {
  port.reset();
  std::string path;
  if (!RuntimeFilePath(name, path, error)) return PortStatus::Failed;
  sockaddr_un address;
  if (!SocketAddress(path, address, error)) return PortStatus::Failed;

  // Creators of any port in this directory take turns, so that two of them cannot both
  // judge a stale file dead and each remove the other's fresh socket. The turn is a lock file
  // that only they may open: a lock on the directory could be held for ever by anyone who may
  // read it. A creator that may not open the file (a user outside its group) goes without.
  std::string turnsPath;
  if (!RuntimeFilePath(kPortTurnsFileName, turnsPath, error)) return PortStatus::Failed;
  bool createdTurns = false;
  std::string turnsError;
  UniqueFd turns = OpenOwnFile(turnsPath, O_RDONLY, kLockFileMode, &turnsError, &createdTurns);
  if (!turns && errno != EACCES) return Failure(error, turnsError);
  if (turns && createdTurns && rule.group() &&
      ::fchown(turns.get(), static_cast<uid_t>(-1), *rule.group()) != 0) {
    // Left to this process's group: the group's consoles then go without turns.
  }
  while (turns && ::flock(turns.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return Failure(error, SystemError(("flock " + turnsPath).c_str()));
  }

  std::unique_ptr<LocalPort> created(new LocalPort());
  created->listener_.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!created->listener_) return Failure(error, SystemError("socket"));
  // bind gives the file the socket's own mode less the umask: set that first, so that the
  // file is never more open than the rule's mode, however loose the umask.
  const mode_t fileMode = rule.socketFileMode(::geteuid());
  ::fchmod(created->listener_.get(), fileMode);
  const auto* raw = reinterpret_cast<const sockaddr*>(&address);
  if (::bind(created->listener_.get(), raw, sizeof address) != 0) {
    if (errno != EADDRINUSE) return Failure(error, SystemError(("bind " + path).c_str()));
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0 && !S_ISSOCK(existing.st_mode)) {
      return Failure(error, path + " exists and is not a socket");
    }
    if (IsLive(address)) return PortStatus::NameTaken;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      return Failure(error, SystemError(("unlink stale " + path).c_str()));
    }
    if (::bind(created->listener_.get(), raw, sizeof address) != 0) {
      return Failure(error, SystemError(("bind " + path).c_str()));
    }
  }
  created->path_ = path;
  struct stat bound {};
  if (::stat(path.c_str(), &bound) == 0) {
    created->device_ = bound.st_dev;
    created->inode_ = bound.st_ino;
  }
  // Connecting needs write permission on the socket file: the mode is the first gate.
  if (rule.group() && ::chown(path.c_str(), static_cast<uid_t>(-1), *rule.group()) != 0) {
    return Failure(error, SystemError(("chown " + path).c_str()));
  }
  if (::chmod(path.c_str(), fileMode) != 0) {
    return Failure(error, SystemError(("chmod " + path).c_str()));
  }
  if (::listen(created->listener_.get(), kListenBacklog) != 0) {
    return Failure(error, SystemError("listen"));
  }
  created->wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!created->wake_) return Failure(error, SystemError("eventfd"));
  created->rule_ = rule;
  port = std::move(created);
  return PortStatus::Ok;
}

LocalPort::~LocalPort() {
  for (auto& [id, connection] : connections_) {
    if (connection->state == Connection::State::Connected) SendClosed(connection->socket.get());
  }
  connections_.clear();
  listener_.reset();
  // Remove the file only while it is still ours: a successor may have taken the name over.
  struct stat current {};
  if (!path_.empty() && ::stat(path_.c_str(), &current) == 0 && current.st_dev == device_ &&
      current.st_ino == inode_) {
    ::unlink(path_.c_str());
  }
}

void LocalPort::interrupt() {
  std::uint64_t one = 1;
  while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

LocalPort::Connection* LocalPort::find(ConnectionId id, std::string* error) const {
  auto found = connections_.find(id);
  if (found == connections_.end()) {
    if (error) *error = "no connection " + std::to_string(id) + " on " + path_;
    return nullptr;
  }
  return found->second.get();
}

void LocalPort::acceptSockets() {
  for (;;) {
    UniqueFd socket(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!socket) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        listenerPausedUntilMs_ = NowMs() + kOutOfDescriptorsPauseMs;
      }
      return;  // EAGAIN: none left
    }
    auto connection = std::make_unique<Connection>();
    if (!ReadPeerCredentials(socket.get(), connection->peer) || !rule_.admits(connection->peer)) {
      SendRefusal(socket.get(), port_frames::kAccessDenied);
      continue;
    }
    connection->socket = std::move(socket);
    connections_.emplace(nextId_++, std::move(connection));
  }
}

bool LocalPort::readConnection(ConnectionId id, Connection& connection, PortEvent& event) {
  PortMessage frame;
  UniqueFd passed;
  ReadResult result = ReadFrame(connection.socket.get(), frame, passed, nullptr);
  if (result == ReadResult::NoFrame) return false;

  if (connection.state == Connection::State::AwaitingRequest) {
    // Connections that never became requests are dropped without a word to the owner.
    if (result == ReadResult::Bad ||
        (result == ReadResult::Frame &&
         frame.header.type != static_cast<std::uint16_t>(PortMessageType::ConnectionRequest))) {
      SendRefusal(connection.socket.get(), port_frames::kRefusedByOwner);
    }
    if (result != ReadResult::Frame ||
        frame.header.type != static_cast<std::uint16_t>(PortMessageType::ConnectionRequest)) {
      connections_.erase(id);
      return false;
    }
    const std::size_t viewSize = frame.header.clientViewSize;
    if (viewSize != 0 || passed.valid()) {
      if (!passed.valid() ||
          !SharedSection::MapReceived(std::move(passed), viewSize, connection.peerView)) {
        SendRefusal(connection.socket.get(), port_frames::kRefusedByOwner);
        connections_.erase(id);
        return false;
      }
    }
    connection.state = Connection::State::Requested;
    event = PortEvent{};
    event.type = PortMessageType::ConnectionRequest;
    event.connection = id;
    event.message = frame;
    event.message.header.clientProcess = static_cast<std::uint32_t>(connection.peer.pid);
    event.peer = connection.peer;
    event.peerViewSize = connection.peerView.viewSize();
    return true;
  }

  // Connected.
  if (result == ReadResult::Bad) return false;  // ignored, as any unexpected frame
  const bool closedFrame =
      result == ReadResult::Frame &&
      frame.header.type == static_cast<std::uint16_t>(PortMessageType::PortClosed);
  if (result == ReadResult::Frame && !closedFrame) {
    if (frame.header.type != static_cast<std::uint16_t>(PortMessageType::Request)) return false;
    event = PortEvent{};
    event.type = PortMessageType::Request;
    event.connection = id;
    event.message = frame;
    event.message.header.clientProcess = static_cast<std::uint32_t>(connection.peer.pid);
    return true;
  }
  // A close frame, the socket's end, or a failed read: the connection is over.
  connection.state = Connection::State::Ended;
  event = PortEvent{};
  event.type = closedFrame ? PortMessageType::PortClosed : PortMessageType::ClientDied;
  event.connection = id;
  event.message = MakeFrame(static_cast<std::uint16_t>(event.type));
  return true;
}

PortStatus LocalPort::receive(PortEvent& event, int timeoutMs, std::string* error) {
  const Deadline deadline = Deadline::After(timeoutMs);
  std::vector<pollfd> entries;
  std::vector<ConnectionId> ids;
  for (;;) {
    entries.clear();
    ids.clear();
    entries.push_back({wake_.get(), POLLIN, 0});
    int waitMs = deadline.remainingMs();
    const std::int64_t now = NowMs();
    const bool listening = now >= listenerPausedUntilMs_;
    if (listening) {
      entries.push_back({listener_.get(), POLLIN, 0});
    } else {
      int pauseMs = static_cast<int>(listenerPausedUntilMs_ - now);
      if (waitMs < 0 || pauseMs < waitMs) waitMs = pauseMs;
    }
    const std::size_t firstConnection = entries.size();
    // Start after the connection served last, so a busy console cannot starve the others.
    auto start = connections_.upper_bound(lastServed_);
    for (std::size_t n = 0; n < connections_.size(); ++n, ++start) {
      if (start == connections_.end()) start = connections_.begin();
      const auto state = start->second->state;
      if (state != Connection::State::AwaitingRequest && state != Connection::State::Connected) {
        continue;
      }
      entries.push_back({start->second->socket.get(), POLLIN, 0});
      ids.push_back(start->first);
    }

    int ready = ::poll(entries.data(), entries.size(), waitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Failure(error, SystemError("poll"));
    }
    if (ready == 0) {
      if (deadline.remainingMs() == 0) return PortStatus::TimedOut;
      continue;  // the listener's rest is over
    }
    if (entries[0].revents) {
      std::uint64_t count;
      while (::read(wake_.get(), &count, sizeof count) < 0 && errno == EINTR) {
      }
      return PortStatus::Interrupted;
    }
    for (std::size_t i = firstConnection; i < entries.size(); ++i) {
      if (!entries[i].revents) continue;
      const ConnectionId id = ids[i - firstConnection];
      auto found = connections_.find(id);
      if (found == connections_.end()) continue;
      lastServed_ = id;
      if (readConnection(id, *found->second, event)) return PortStatus::Ok;
    }
    if (listening && entries[1].revents) acceptSockets();
  }
}

PortStatus LocalPort::accept(ConnectionId id, const SharedSection* own, std::string* error) {
  Connection* connection = find(id, error);
  if (!connection) return PortStatus::Failed;
  if (connection->state != Connection::State::Requested) {
    return Failure(error, "connection " + std::to_string(id) + " is not awaiting accept");
  }
  if (own && own->valid()) {
    connection->offered.reset(::fcntl(own->fd(), F_DUPFD_CLOEXEC, 0));
    if (!connection->offered) return Failure(error, SystemError("fcntl(F_DUPFD_CLOEXEC)"));
    connection->offeredViewSize = own->viewSize();
  }
  connection->state = Connection::State::Accepted;
  return PortStatus::Ok;
}

PortStatus LocalPort::complete(ConnectionId id, std::string* error) {
  Connection* connection = find(id, error);
  if (!connection) return PortStatus::Failed;
  if (connection->state != Connection::State::Accepted) {
    return Failure(error, "connection " + std::to_string(id) + " is not accepted");
  }
  PortMessage frame = MakeFrame(port_frames::kAcceptFrame);
  frame.header.clientViewSize = static_cast<std::uint32_t>(connection->offeredViewSize);
  // The connector waits for this frame alone, so its queue has room: no wait here.
  switch (SendFrame(connection->socket.get(), frame, connection->offered.get(), Deadline::After(0),
                    error)) {
    case SendResult::Sent:
      break;
    case SendResult::Closed:
      connection->state = Connection::State::Ended;
      return PortStatus::Closed;
    case SendResult::TimedOut:
      return Failure(error, "the connector of " + path_ + " does not read");
    case SendResult::Failed:
      return PortStatus::Failed;
  }
  connection->offered.reset();
  connection->state = Connection::State::Connected;
  return PortStatus::Ok;
}

void LocalPort::refuse(ConnectionId id) {
  Connection* connection = find(id, nullptr);
  if (!connection) return;
  SendRefusal(connection->socket.get(), port_frames::kRefusedByOwner);
  connections_.erase(id);
}

PortStatus LocalPort::reply(ConnectionId id, const PortMessage& message, std::string* error) {
  Connection* connection = find(id, error);
  if (!connection) return PortStatus::Failed;
  if (connection->state == Connection::State::Ended) return PortStatus::Closed;
  if (connection->state != Connection::State::Connected) {
    return Failure(error, "connection " + std::to_string(id) + " is not connected");
  }
  PortMessage answer = message;
  answer.header.totalLength = kPortMessageSize;
  answer.header.type = static_cast<std::uint16_t>(PortMessageType::Reply);
  switch (SendFrame(connection->socket.get(), answer, kNoDescriptor, Deadline::After(0), error)) {
    case SendResult::Sent:
      return PortStatus::Ok;
    case SendResult::Closed:
      return PortStatus::Closed;
    case SendResult::TimedOut:
      return Failure(error, "the peer on " + path_ + " does not read its replies");
    case SendResult::Failed:
      break;
  }
  return PortStatus::Failed;
}

const SharedSection* LocalPort::peerView(ConnectionId id) const {
  Connection* connection = find(id, nullptr);
  return connection && connection->peerView.valid() ? &connection->peerView : nullptr;
}

void LocalPort::close(ConnectionId id) {
  Connection* connection = find(id, nullptr);
  if (!connection) return;
  if (connection->state == Connection::State::Connected) SendClosed(connection->socket.get());
  connections_.erase(id);
}

PortStatus PortConnection::Connect(const std::string& name, const SharedSection* own,
                                   std::unique_ptr<PortConnection>& connection, int timeoutMs,
                                   std::string* error, const PortOwnerCheck& ownerCheck) {
  connection.reset();
  const Deadline deadline = Deadline::After(timeoutMs);
  std::string path;
  if (!RuntimeFilePath(name, path, error)) return PortStatus::Failed;
  sockaddr_un address;
  if (!SocketAddress(path, address, error)) return PortStatus::Failed;

  std::unique_ptr<PortConnection> made(new PortConnection());
  made->socket_.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!made->socket_) return Failure(error, SystemError("socket"));
  if (!deadline.infinite()) {
    // A full backlog makes connect wait; bound that wait by the time-out.
    const int ms = deadline.remainingMs();
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    if (limit.tv_sec == 0 && limit.tv_usec == 0) limit.tv_usec = 1;
    ::setsockopt(made->socket_.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  }
  switch (int result = ConnectRetrying(made->socket_.get(), address)) {
    case 0:
      break;
    case ENOENT:
    case ECONNREFUSED:
      return PortStatus::NotFound;
    case EACCES:
    case EPERM:
      return PortStatus::AccessDenied;
    case EAGAIN:
      return PortStatus::TimedOut;
    default:
      errno = result;
      return Failure(error, SystemError(("connect " + path).c_str()));
  }
  if (!ReadPeerCredentials(made->socket_.get(), made->peer_, error)) return PortStatus::Failed;
  // Checked before the request, which carries this side's section.
  if (ownerCheck && !ownerCheck(made->peer_, path, error)) {
    made->socket_.reset();  // not even the closing frame
    return PortStatus::UntrustedOwner;
  }

  PortMessage request = MakeFrame(static_cast<std::uint16_t>(PortMessageType::ConnectionRequest));
  request.header.clientProcess = static_cast<std::uint32_t>(::getpid());
  request.header.clientThread = static_cast<std::uint32_t>(::gettid());
  const bool offering = own && own->valid();
  request.header.clientViewSize = offering ? static_cast<std::uint32_t>(own->viewSize()) : 0;
  switch (SendFrame(made->socket_.get(), request, offering ? own->fd() : kNoDescriptor, deadline,
                    error)) {
    case SendResult::Sent:
    case SendResult::Closed:  // a refusal may be waiting to be read
      break;
    case SendResult::TimedOut:
      return PortStatus::TimedOut;
    case SendResult::Failed:
      return PortStatus::Failed;
  }

  for (;;) {
    PortMessage answer;
    UniqueFd passed;
    if (PortStatus status = WaitFrame(made->socket_.get(), deadline, answer, passed, error);
        status != PortStatus::Ok) {
      return status;
    }
    if (answer.header.type == port_frames::kRefuseFrame) {
      return answer.data[0] == port_frames::kAccessDenied ? PortStatus::AccessDenied
                                                          : PortStatus::Refused;
    }
    if (answer.header.type != port_frames::kAcceptFrame) continue;
    const std::size_t viewSize = answer.header.clientViewSize;
    if (viewSize != 0 || passed.valid()) {
      if (!passed.valid()) return Failure(error, "the port owner offered a view without a section");
      if (!SharedSection::MapReceived(std::move(passed), viewSize, made->peerView_, error)) {
        return PortStatus::Failed;
      }
    }
    connection = std::move(made);
    return PortStatus::Ok;
  }
}

PortStatus PortConnection::requestWaitReply(PortMessage& message, int timeoutMs,
                                            std::string* error) {
  if (!socket_) return PortStatus::Closed;
  const Deadline deadline = Deadline::After(timeoutMs);
  if (++lastMessageId_ == 0) ++lastMessageId_;
  PortMessage request = message;
  request.header.totalLength = kPortMessageSize;
  request.header.type = static_cast<std::uint16_t>(PortMessageType::Request);
  request.header.clientProcess = static_cast<std::uint32_t>(::getpid());
  request.header.clientThread = static_cast<std::uint32_t>(::gettid());
  request.header.messageId = lastMessageId_;
  switch (SendFrame(socket_.get(), request, kNoDescriptor, deadline, error)) {
    case SendResult::Sent:
      break;
    case SendResult::Closed:
      close();
      return PortStatus::Closed;
    case SendResult::TimedOut:
      return PortStatus::TimedOut;
    case SendResult::Failed:
      return PortStatus::Failed;
  }
  for (;;) {
    PortMessage answer;
    UniqueFd passed;
    PortStatus status = WaitFrame(socket_.get(), deadline, answer, passed, error);
    if (status == PortStatus::Closed) close();
    if (status != PortStatus::Ok) return status;
    if (answer.header.type == static_cast<std::uint16_t>(PortMessageType::PortClosed)) {
      close();
      return PortStatus::Closed;
    }
    // Replies to requests that timed out earlier carry older ids: dropped.
    if (answer.header.type != static_cast<std::uint16_t>(PortMessageType::Reply) ||
        answer.header.messageId != lastMessageId_) {
      continue;
    }
    message = answer;
    return PortStatus::Ok;
  }
}

void PortConnection::close() {
  if (socket_) SendClosed(socket_.get());
  socket_.reset();
  peerView_.reset();
}

}  // namespace tarvo
