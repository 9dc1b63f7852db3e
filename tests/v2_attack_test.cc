// Protocol v2 against the real daemon on loopback, tried as an attacker on the path would: each
// test is an attack that must fail. The client is tarvoclient's own connector; WireTap is the
// attacker's vantage point.
#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "client/v2_connector.h"
#include "server/common/password_hash.h"
#include "server/common/tls_identity.h"
#include "server/common/tls_pipe.h"
#include "server/common/tls_stream.h"
#include "server/service/base/settings.h"
#include "tests/loopback_servers.h"
#include "tests/tarvo_daemon_fixture.h"
#include "tests/wire_tap.h"

namespace tarvo::test {
namespace {

using client::ClientStatus;

// A destination that keeps what every connection sent it.
class Destination {
 public:
  Destination()
      : server_([this](int fd, const std::atomic<bool>& stopping) {
          std::uint8_t buffer[16384];
          while (!stopping) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0) continue;
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            std::lock_guard lock(mutex_);
            received_.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(got));
          }
          ++closed_;
        }) {}
  std::uint16_t port() const { return server_.port(); }
  int accepted() const { return server_.accepted(); }
  int closed() const { return closed_.load(); }
  std::string received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  mutable std::mutex mutex_;
  std::string received_;
  std::atomic<int> closed_{0};
  LoopbackTcpServer server_;
};

// One relay's TLS connection of V2TestClient, stepped with poll from the test's thread.
class V2TestRelay {
 public:
  V2TestRelay(int fd, std::unique_ptr<TlsStream> tls) : fd_(fd), tls_(std::move(tls)) {}
  V2TestRelay(V2TestRelay&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), tls_(std::move(other.tls_)) {}
  ~V2TestRelay() { close(); }

  SSL* ssl() const { return tls_->ssl(); }
  bool handshake() {
    while (tls_ != nullptr && !tls_->handshake()) {
      if (errno != EAGAIN || !wait(tls_->handshakeWantsWrite())) return false;
    }
    return tls_ != nullptr;
  }
  // Inside TLS a relay's bytes travel as they are.
  void send(const std::string& bytes, ByteBuffer out = {}) {
    out.append(bytes.data(), bytes.size());
    while (tls_ != nullptr && !out.empty()) {
      const ssize_t sent = tls_->write(out.data(), out.size());
      if (sent > 0) {
        out.consume(static_cast<std::size_t>(sent));
      } else if (errno != EAGAIN || !wait(!tls_->writeWantsRead())) {
        return;
      }
    }
  }
  void close() {
    tls_.reset();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  bool wait(bool writing) {
    pollfd entry{fd_, static_cast<short>(writing ? POLLOUT : POLLIN), 0};
    return ::poll(&entry, 1, kIoTimeoutMs) == 1;
  }

  int fd_;
  std::unique_ptr<TlsStream> tls_;
};

// tarvoclient's connector with its loop on a thread of its own once logged in.
class V2TestClient {
 public:
  explicit V2TestClient(std::string fingerprint, std::string knownServers = {})
      : connector_(loop_, client::V2Options{std::move(fingerprint), std::move(knownServers)}) {
    loop_.setBatchLock(&mutex_);
  }
  ~V2TestClient() {
    if (thread_.joinable()) {
      loop_.stop();
      thread_.join();
    }
  }

  ClientStatus login(std::uint16_t port, const std::string& user, const std::string& password,
                     std::string* why = nullptr) {
    key_ = DeriveSessionKeyText(password.c_str());
    std::string reason;
    int fd = -1;
    std::uint32_t id = 0;
    const ClientStatus status =
        connector_.openSession("127.0.0.1", port, user, key_, kIoTimeoutMs, fd, id, reason);
    if (why != nullptr) *why = reason;
    if (status == ClientStatus::kOk) {
      session_ = client::Socket(fd);
      thread_ = std::thread([this] { loop_.run(); });
    }
    return status;
  }

  // A relay to 127.0.0.1:port that sends request first, driven from the test's thread.
  V2TestRelay relay(std::uint16_t port, const std::string& request) {
    int fd = -1;
    std::unique_ptr<TlsStream> tls;
    {
      std::lock_guard lock(mutex_);
      tls = connector_.openRelay(fd);
    }
    V2TestRelay relay(fd, std::move(tls));
    ByteBuffer out;
    if (relay.handshake()) {
      std::lock_guard lock(mutex_);
      EXPECT_TRUE(connector_.relayOpening(relay.ssl(), out));
    }
    AppendDestinationHeader(out, htonl(INADDR_LOOPBACK), port);
    relay.send(request, std::move(out));
    return relay;
  }

 private:
  std::mutex mutex_;
  EventLoop loop_;
  client::V2Connector connector_;
  std::string key_;
  client::Socket session_;
  std::thread thread_;
};

std::string DaemonFingerprint(const TestDaemon& daemon) {
  std::string fingerprint;
  WaitUntil([&] {
    fingerprint = FingerprintOfPublicKeyFile(daemon.home() + "/tarvoserver-tls.pub");
    return !fingerprint.empty();
  });
  return fingerprint;
}

std::size_t CountRows(const TestDaemon& daemon, const std::string& part) {
  const auto rows = daemon.auditRows();
  return static_cast<std::size_t>(std::count_if(
      rows.begin(), rows.end(), [&](const std::string& row) { return row.find(part) != std::string::npos; }));
}

const std::string kRequest = "POST /transfer HTTP/1.1\r\nCookie: session=4711\r\n\r\n";

class V2AttackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // OpenSSL writes to sockets with write(): a peer that has gone must not end the test.
    ::signal(SIGPIPE, SIG_IGN);
    ASSERT_TRUE(daemon_.started());
    ASSERT_TRUE(daemon_.addUser("alice", "secret"));
    fingerprint_ = DaemonFingerprint(daemon_);
    ASSERT_FALSE(fingerprint_.empty());
  }

  TestDaemon daemon_{AuditedSettings(/*multiConnect=*/true)};
  std::string fingerprint_;
  Destination destination_;
};

TEST_F(V2AttackTest, RecordedLoginReplayedOnANewConnectionLogsNobodyIn) {
  WireTap tap(daemon_.port());
  {
    V2TestClient client(fingerprint_);
    ASSERT_EQ(client.login(tap.port(), "alice", "secret"), ClientStatus::kOk);
  }
  ASSERT_TRUE(WaitUntil([&] { return CountRows(daemon_, "\"close\"") == 1; }));
  const std::size_t opened = CountRows(daemon_, "\"open\"");
  ASSERT_EQ(opened, 1u);
  ReplayTo(daemon_.port(), tap.sent(0));
  // The replay's handshake cannot finish: no login is even tried.
  EXPECT_EQ(CountRows(daemon_, "\"open\""), opened);
}

TEST_F(V2AttackTest, RecordedRelayReplayedOpensNothingAndSessionsDifferOnTheWire) {
  WireTap tap(daemon_.port());
  std::vector<std::vector<std::uint8_t>> relays;
  for (int session = 0; session < 2; ++session) {
    V2TestClient client(fingerprint_);
    ASSERT_EQ(client.login(tap.port(), "alice", "secret"), ClientStatus::kOk);
    const std::size_t before = destination_.received().size();
    V2TestRelay relay = client.relay(destination_.port(), kRequest);
    ASSERT_TRUE(WaitUntil([&] { return destination_.received().size() == before + kRequest.size(); }));
    relay.close();
    ASSERT_TRUE(WaitUntil([&] { return destination_.closed() == session + 1; }));
    relays.push_back(tap.sent(tap.connections() - 1));
  }
  // The same request in two sessions: nothing on the wire repeats.
  EXPECT_NE(relays[0], relays[1]);
  const std::string received = destination_.received();
  ReplayTo(daemon_.port(), relays[0]);
  EXPECT_EQ(destination_.accepted(), 2);
  EXPECT_EQ(destination_.received(), received);
}

TEST_F(V2AttackTest, FlippedBitClosesTheRelayAndNothingPastItArrives) {
  WireTap tap(daemon_.port());
  V2TestClient client(fingerprint_);
  ASSERT_EQ(client.login(tap.port(), "alice", "secret"), ClientStatus::kOk);
  V2TestRelay relay = client.relay(destination_.port(), kRequest);
  ASSERT_TRUE(WaitUntil([&] { return destination_.received() == kRequest; }));
  tap.flipNextChunk();
  relay.send("second request that must not arrive");
  ASSERT_TRUE(WaitUntil([&] { return destination_.closed() == 1; }));
  EXPECT_EQ(destination_.received(), kRequest);
}

// The common name of the certificate the daemon presents to a new connection.
std::string PresentedCommonName(std::uint16_t port) {
  UniqueSslCtx ctx(MakeClientContext());
  client::Socket tcp;
  if (tcp.connect("127.0.0.1", port, kIoTimeoutMs) != ClientStatus::kOk) return {};
  ::fcntl(tcp.fd(), F_SETFL, ::fcntl(tcp.fd(), F_GETFL) & ~O_NONBLOCK);
  UniqueSsl ssl(SSL_new(ctx.get()));
  SSL_set_fd(ssl.get(), tcp.fd());
  if (SSL_connect(ssl.get()) != 1) return {};
  X509* certificate = SSL_get0_peer_certificate(ssl.get());
  char name[256] = {};
  if (certificate == nullptr ||
      X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, name,
                                sizeof name) < 0) {
    return {};
  }
  return name;
}

// A reload reads the certificate again: new connections get the renewed one, and a session
// from before goes on opening relays that resume its ticket.
TEST_F(V2AttackTest, AReloadServesARenewedCertificateAndSessionsGoOnResuming) {
  V2TestClient client(fingerprint_);
  ASSERT_EQ(client.login(daemon_.port(), "alice", "secret"), ClientStatus::kOk);
  const std::string certificate = daemon_.home() + "/renewed.pem";
  ASSERT_EQ(std::system(("openssl req -x509 -key " + daemon_.home() +
                         "/tarvoserver-tls.key -subj /CN=renewed.example -days 2 -out " +
                         certificate + " 2>/dev/null")
                            .c_str()),
            0);
  ServerSettingsRecord settings = AuditedSettings(/*multiConnect=*/true);
  settings.ServerPort = daemon_.port();
  settings.TlsCertificate = certificate;
  ASSERT_TRUE(SaveSettingsFile(daemon_.home() + "/tarvoserver.ini", settings));
  ASSERT_EQ(::kill(daemon_.process().pid(), SIGHUP), 0);
  ASSERT_TRUE(WaitUntil([&] {
    return daemon_.process().stderrText().find("key and certificate read again") !=
           std::string::npos;
  })) << daemon_.process().stderrText();
  EXPECT_EQ(PresentedCommonName(daemon_.port()), "renewed.example");

  V2TestRelay relay = client.relay(destination_.port(), kRequest);
  EXPECT_EQ(SSL_session_reused(relay.ssl()), 1);
  EXPECT_TRUE(WaitUntil([&] { return destination_.received() == kRequest; }));
}

// Relays cut short (no close_notify) must not cost the session its ticket, and a client's
// next login resumes even across a restart of the daemon, whose ticket keys only it can read.
TEST_F(V2AttackTest, RelaysCutShortAndARestartLeaveTheTicketGood) {
  {
    V2TestClient client(fingerprint_);
    ASSERT_EQ(client.login(daemon_.port(), "alice", "secret"), ClientStatus::kOk);
    for (int relay = 0; relay < 3; ++relay) {
      V2TestRelay cut = client.relay(destination_.port(), kRequest);
      EXPECT_EQ(SSL_session_reused(cut.ssl()), 1) << "relay " << relay;
      cut.close();
    }
  }
  struct stat keys {};
  ASSERT_EQ(::stat((daemon_.home() + "/tarvoserver-tickets.key").c_str(), &keys), 0);
  EXPECT_EQ(keys.st_mode & 0777, 0600u);

  EventLoop loop;
  client::V2Connector connector(loop, client::V2Options{fingerprint_, ""});
  const std::string key = DeriveSessionKeyText("secret");
  auto logIn = [&] {
    int fd = -1;
    std::uint32_t id = 0;
    std::string why;
    const ClientStatus status =
        connector.openSession("127.0.0.1", daemon_.port(), "alice", key, kIoTimeoutMs, fd, id, why);
    if (fd >= 0) ::close(fd);
    return status;
  };
  ASSERT_EQ(logIn(), ClientStatus::kOk);
  EXPECT_FALSE(connector.lastSessionResumed());
  ASSERT_EQ(daemon_.process().stop(SIGTERM), 0);
  DaemonProcess again(daemon_.home());
  ASSERT_TRUE(again.start() && again.waitReady());
  ASSERT_EQ(logIn(), ClientStatus::kOk);
  EXPECT_TRUE(connector.lastSessionResumed());
  EXPECT_EQ(again.stop(SIGTERM), 0);
}

// An impostor with a key of its own, on the path or in the server's place: it records every
// application byte a client sends it.
class Impostor {
 public:
  Impostor()
      : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")),
        ctx_(MakeServerContext(key_.get(), "", error_)),
        server_([this](int fd, const std::atomic<bool>&) {
          UniqueSsl ssl(SSL_new(ctx_.get()));
          SSL_set_fd(ssl.get(), fd);
          if (SSL_accept(ssl.get()) != 1) return;
          ++handshakes_;
          std::uint8_t buffer[4096];
          int got;
          while ((got = SSL_read(ssl.get(), buffer, sizeof buffer)) > 0) received_ += got;
        }) {}
  std::uint16_t port() const { return server_.port(); }
  int handshakes() const { return handshakes_.load(); }
  int received() const { return received_.load(); }

 private:
  UniquePkey key_;
  std::string error_;
  UniqueSslCtx ctx_;
  std::atomic<int> handshakes_{0};
  std::atomic<int> received_{0};
  LoopbackTcpServer server_;
};

TEST_F(V2AttackTest, AnImpostorGetsNoProofFromAPinnedOrKnownServerClient) {
  TempDir config;
  const std::string known = config.path() + "/known_servers";
  Impostor impostor;
  {
    // The daemon's key, learnt on first use where the impostor now answers.
    std::ofstream file(known);
    file << "127.0.0.1:" << impostor.port() << ' ' << fingerprint_ << '\n';
  }
  for (const auto& [pin, file] : {std::pair{fingerprint_, std::string()}, std::pair{std::string(), known}}) {
    V2TestClient client(pin, file);
    std::string why;
    EXPECT_EQ(client.login(impostor.port(), "alice", "secret", &why), ClientStatus::kProtocolError);
    EXPECT_NE(why.find(pin.empty() ? "has changed" : "not the pinned"), std::string::npos) << why;
  }
  ASSERT_TRUE(WaitUntil([&] { return impostor.handshakes() == 2; }));
  EXPECT_EQ(impostor.received(), 0);
}

TEST_F(V2AttackTest, UnknownUserAndWrongPasswordEndAlikeAndV1CanBeRefused) {
  for (const auto& [user, password] : {std::pair{"alice", "wrong"}, std::pair{"nobody", "secret"}}) {
    V2TestClient client(fingerprint_);
    EXPECT_EQ(client.login(daemon_.port(), user, password), ClientStatus::kClosed);
  }
  EXPECT_EQ(CountRows(daemon_, "invalid password"), 1u);
  EXPECT_EQ(CountRows(daemon_, "unknown user"), 1u);

  // v1 sessions and data connections on the port where v1 is refused: closed as a malformed
  // opening is, with a row; v2 goes on.
  ServerSettingsRecord settings = AuditedSettings();
  settings.ProtocolV1Refused = true;
  TestDaemon refusing(settings);
  ASSERT_TRUE(refusing.started());
  ASSERT_TRUE(refusing.addUser("alice", "secret"));
  client::Socket raw;
  ASSERT_TRUE(ConnectRaw(raw, refusing));
  ASSERT_EQ(raw.sendAll(SessionOpening("2.0.5"), kIoTimeoutMs), ClientStatus::kOk);
  ByteBuffer answer;
  EXPECT_EQ(raw.receiveSome(answer, 64, kIoTimeoutMs), ClientStatus::kClosed);
  EXPECT_TRUE(answer.empty());
  EXPECT_TRUE(WaitUntil([&] { return CountRows(refusing, "protocol v1 refused") == 1; }));
  V2TestClient client(DaemonFingerprint(refusing));
  EXPECT_EQ(client.login(refusing.port(), "alice", "secret"), ClientStatus::kOk);
}

}  // namespace
}  // namespace tarvo::test
