#include "client/v2_connector.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "server/common/coding.h"
#include "server/common/tls_pipe.h"

namespace tarvo::client {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Steps pipe until done() or the deadline; false at the deadline or when the pipe failed.
template <typename Done>
bool DriveUntil(TlsPipe& pipe, int fd, Clock::time_point end, Done done) {
  for (;;) {
    pipe.step();
    if (done()) return true;
    if (pipe.failed() || pipe.finished()) return false;
    short events = 0;
    if (pipe.wantTlsRead()) events |= POLLIN;
    if (pipe.wantTlsWrite()) events |= POLLOUT;
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, RemainingMs(end));
    if (ready == 0) return false;
    if (ready < 0 && errno != EINTR) return false;
  }
}

bool MakePair(int pair[2]) {
  return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) == 0;
}

// The fingerprint the known-servers file holds for hostPort, or empty.
std::string KnownFingerprint(const std::string& path, const std::string& hostPort) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream words(line);
    std::string where, fingerprint;
    if (words >> where >> fingerprint && where == hostPort) return fingerprint;
  }
  return {};
}

bool RememberFingerprint(const std::string& path, const std::string& hostPort,
                         const std::string& fingerprint) {
  const std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string directory = path.substr(0, slash);
    // Both levels of ~/.config/tarvo.
    const std::size_t parent = directory.rfind('/');
    if (parent != std::string::npos && parent > 0) ::mkdir(directory.substr(0, parent).c_str(), 0700);
    ::mkdir(directory.c_str(), 0700);
  }
  std::ofstream file(path, std::ios::app);
  file << hostPort << ' ' << fingerprint << '\n';
  return static_cast<bool>(file.flush());
}

}  // namespace

std::string DefaultKnownServersPath() {
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config != '\0') {
    return std::string(config) + "/tarvo/known_servers";
  }
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : ".") + "/.config/tarvo/known_servers";
}

// The session's TLS connection, joined to the inner end its user holds.
class V2Connector::Pump final : public IoHandler {
 public:
  Pump(V2Connector& connector, std::unique_ptr<TlsPipe> pipe, int tlsFd, int plainFd)
      : connector_(connector), pipe_(std::move(pipe)), tlsFd_(tlsFd), plainFd_(plainFd) {
    connector_.pumps_.insert(this);
    pipe_->attachPlain(plainFd_);
    connector_.loop_.add(tlsFd_, EPOLLIN | EPOLLOUT, this);
    connector_.loop_.add(plainFd_, 0, this);
    update();
  }
  ~Pump() override {
    connector_.pumps_.erase(this);
    connector_.loop_.forget(tlsFd_);
    connector_.loop_.forget(plainFd_);
    ::close(tlsFd_);
    ::close(plainFd_);
  }

  void onIo(int, std::uint32_t) override { update(); }

 private:
  void update() {
    pipe_->step();
    if (pipe_->finished()) {
      delete this;
      return;
    }
    connector_.loop_.setInterest(tlsFd_, (pipe_->wantTlsRead() ? EPOLLIN : 0u) |
                                             (pipe_->wantTlsWrite() ? EPOLLOUT : 0u));
    connector_.loop_.setInterest(plainFd_, (pipe_->wantPlainRead() ? EPOLLIN : 0u) |
                                               (pipe_->wantPlainWrite() ? EPOLLOUT : 0u));
  }

  V2Connector& connector_;
  std::unique_ptr<TlsPipe> pipe_;
  int tlsFd_;
  int plainFd_;
};

V2Connector::V2Connector(EventLoop& loop, V2Options options)
    : loop_(loop), options_(std::move(options)), ctx_(MakeClientContext()) {
  // Relays resume the session with the ticket the daemon gives; the context keeps none itself.
  SSL_CTX_set_session_cache_mode(ctx_.get(),
                                 SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx_.get(), &V2Connector::onNewTicket);
  SSL_CTX_set_app_data(ctx_.get(), this);
}

V2Connector::~V2Connector() {
  while (!pumps_.empty()) delete *pumps_.begin();
  if (ticket_ != nullptr) SSL_SESSION_free(ticket_);
}

int V2Connector::onNewTicket(SSL* ssl, SSL_SESSION* session) {
  auto* connector = static_cast<V2Connector*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  // A copy no connection holds: OpenSSL marks a connection's session unusable when the
  // connection is freed without close_notify (a relay cut short), and the ticket would go with it.
  SSL_SESSION* copy = SSL_SESSION_dup(session);
  if (copy == nullptr) return 0;
  if (connector->ticket_ != nullptr) SSL_SESSION_free(connector->ticket_);
  connector->ticket_ = copy;
  connector->ticketFor_ = connector->hostPort_;
  return 0;  // the connection keeps its own reference
}

void V2Connector::offerTicket(SSL* ssl) {
  if (ticket_ == nullptr) return;
  // Each connection resumes from its own copy, for the reason above.
  SSL_SESSION* copy = SSL_SESSION_dup(ticket_);
  if (copy == nullptr) return;
  SSL_set_session(ssl, copy);
  SSL_SESSION_free(copy);
}

bool V2Connector::pinAccepts(SSL* ssl, std::string& why) {
  const std::string presented = PeerFingerprint(ssl);
  if (presented.empty()) {
    why = "the server at " + hostPort_ + " presented no key";
    return false;
  }
  if (!options_.fingerprint.empty()) {
    if (presented == options_.fingerprint) return true;
    why = "the server at " + hostPort_ + " presented the key " + presented +
          ", not the pinned " + options_.fingerprint +
          ": this is not your server, or its key was replaced (ask the administrator for the "
          "fingerprint tarvoadm prints)";
    return false;
  }
  const std::string known = KnownFingerprint(options_.knownServersPath, hostPort_);
  if (known == presented) return true;
  if (!known.empty()) {
    why = "the key of the server at " + hostPort_ + " has changed: it presented " + presented +
          " where " + options_.knownServersPath + " holds " + known +
          ". Someone may be impersonating the server. If the administrator replaced its key, "
          "check the new fingerprint with them (tarvoadm fingerprint) and remove the line for " +
          hostPort_ + " from that file";
    return false;
  }
  if (!RememberFingerprint(options_.knownServersPath, hostPort_, presented)) {
    why = "cannot record the server's key in " + options_.knownServersPath;
    return false;
  }
  std::fprintf(stderr,
               "tarvoclient: trusting the server at %s on first use: key fingerprint %s, pinned "
               "in %s\n",
               hostPort_.c_str(), presented.c_str(), options_.knownServersPath.c_str());
  // From now on this connector holds the pin, whatever the file becomes.
  options_.fingerprint = presented;
  return true;
}

ClientStatus V2Connector::openSession(const std::string& host, std::uint16_t port,
                                      const std::string& user, const std::string& keyText,
                                      int timeoutMs, int& innerFd, std::uint32_t& sessionId,
                                      std::string& why) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  hostPort_ = host + ":" + std::to_string(port);
  Socket tcp;
  if (ClientStatus status = tcp.connect(host, port, timeoutMs); status != ClientStatus::kOk) {
    return status;
  }
  socklen_t length = sizeof daemon_;
  ::getpeername(tcp.fd(), reinterpret_cast<sockaddr*>(&daemon_), &length);
  int on = 1;
  ::setsockopt(tcp.fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  UniqueSsl ssl(SSL_new(ctx_.get()));
  if (!ssl) return ClientStatus::kIoError;
  SSL_set_fd(ssl.get(), tcp.fd());
  SSL_set_connect_state(ssl.get());
  // A ticket from an earlier session with this server makes the login a resumption: no
  // certificate to decode, no signature to check, a fresh X25519 exchange all the same.
  if (ticketFor_ == hostPort_) offerTicket(ssl.get());
  auto pipe = std::make_unique<TlsPipe>(std::move(ssl), tcp.fd());
  if (!DriveUntil(*pipe, tcp.fd(), end, [&] { return pipe->handshakeDone(); })) {
    return pipe->failed() ? ClientStatus::kProtocolError : ClientStatus::kTimeout;
  }
  resumed_ = SSL_session_reused(pipe->ssl()) == 1;
  // Nothing that depends on the password leaves before the server's key is accepted.
  if (!pinAccepts(pipe->ssl(), why)) return ClientStatus::kProtocolError;
  V2Exporter exporter{};
  if (!ExportChannelBinding(pipe->ssl(), exporter)) return ClientStatus::kProtocolError;
  ByteBuffer frame;
  AppendV2SessionOpening(frame, user, MakeV2LoginProof(keyText, exporter, user));
  pipe->send(frame.view());
  constexpr std::size_t kAcceptedSize = kMessageHeaderSize + 4;
  const bool answered = DriveUntil(*pipe, tcp.fd(), end, [&] {
    return pipe->received().size() >= kAcceptedSize || pipe->peerClosed();
  });
  if (!answered) return pipe->failed() ? ClientStatus::kClosed : ClientStatus::kTimeout;
  if (pipe->received().size() < kAcceptedSize) return ClientStatus::kClosed;
  const std::uint8_t* accepted = pipe->received().data();
  if (DecodeFixed32(accepted) != MessageType::LoginAccepted ||
      DecodeFixed32(accepted + 4) != kAcceptedSize) {
    return ClientStatus::kProtocolError;
  }
  sessionId = sessionId_ = DecodeFixed32(accepted + 8);
  pipe->received().consume(kAcceptedSize);
  relayKey_ = MakeV2RelayKey(keyText, exporter);
  int pair[2];
  if (!MakePair(pair)) return ClientStatus::kIoError;
  new Pump(*this, std::move(pipe), tcp.release(), pair[1]);  // deletes itself at its end
  innerFd = pair[0];
  return ClientStatus::kOk;
}

std::unique_ptr<TlsStream> V2Connector::openRelay(int& fd) {
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  auto tls = std::make_unique<TlsStream>(ctx_.get(), fd, TlsStream::Role::kClient);
  const bool connecting =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&daemon_), sizeof daemon_) == 0 ||
      errno == EINPROGRESS;
  if (!tls->valid() || !connecting) {
    ::close(fd);
    fd = -1;
    return nullptr;
  }
  offerTicket(tls->ssl());
  return tls;
}

bool V2Connector::relayOpening(SSL* ssl, ByteBuffer& frame) {
  std::string why;
  V2Exporter exporter{};
  if (!pinAccepts(ssl, why) || !ExportChannelBinding(ssl, exporter)) return false;
  AppendV2RelayOpening(frame, sessionId_, MakeV2RelayProof(relayKey_, exporter, sessionId_));
  return true;
}

}  // namespace tarvo::client
