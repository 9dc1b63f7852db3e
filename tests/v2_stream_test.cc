// Protocol v2 as the network loop serves it: a raw TLS client (OpenSSL, blocking, bounded by
// socket time-outs) speaks the documented wire to the real daemon, so that the test decides
// how bytes fall into TLS records. Also the per-user v2-only rule against a designed login.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/common/coding.h"
#include "server/common/password_hash.h"
#include "server/common/session_protocol.h"
#include "server/common/tls_identity.h"
#include "server/common/tls_pipe.h"
#include "server/common/v2_wire.h"
#include "tests/loopback_servers.h"
#include "tests/tarvo_daemon_fixture.h"

namespace tarvo::test {
namespace {

// One blocking TLS connection to the daemon; every read and write gives up after 5 s.
class RawV2 {
 public:
  explicit RawV2(std::uint16_t port) : ctx_(MakeClientContext()), fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    timeval limit{5, 0};
    ::setsockopt(fd_.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd_.fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in daemon{};
    daemon.sin_family = AF_INET;
    daemon.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    daemon.sin_port = htons(port);
    if (::connect(fd_.fd(), reinterpret_cast<sockaddr*>(&daemon), sizeof daemon) != 0) return;
    ssl_.reset(SSL_new(ctx_.get()));
    SSL_set_fd(ssl_.get(), fd_.fd());
    if (SSL_connect(ssl_.get()) != 1 || !ExportChannelBinding(ssl_.get(), exporter_)) ssl_.reset();
  }

  bool up() const { return ssl_ != nullptr; }
  const V2Exporter& exporter() const { return exporter_; }

  // Everything in one SSL_write: one record up to 16 KiB.
  bool write(const ByteBuffer& bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
      const int sent = SSL_write(ssl_.get(), bytes.data() + at, static_cast<int>(bytes.size() - at));
      if (sent <= 0) return false;
      at += static_cast<std::size_t>(sent);
    }
    return true;
  }
  // Exactly count bytes, or fewer when the daemon closes or goes quiet.
  std::string read(std::size_t count) {
    std::string got(count, '\0');
    std::size_t have = 0;
    while (have < count) {
      const int n = SSL_read(ssl_.get(), got.data() + have, static_cast<int>(count - have));
      if (n <= 0) break;
      have += static_cast<std::size_t>(n);
    }
    got.resize(have);
    return got;
  }

 private:
  UniqueSslCtx ctx_;
  client::Socket fd_;
  UniqueSsl ssl_;
  V2Exporter exporter_{};
};

// A destination that reads the expected number of bytes, then answers with download pattern
// bytes and closes.
class Destination {
 public:
  Destination(std::size_t expected, std::size_t download)
      : server_([this, expected, download](int fd, const std::atomic<bool>& stopping) {
          std::uint8_t buffer[65536];
          while (!stopping && received().size() < expected) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0) continue;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) return;
            std::lock_guard lock(mutex_);
            received_.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
          }
          std::string answer(download, '\0');
          for (std::size_t i = 0; i < download; ++i) answer[i] = static_cast<char>(PatternByte(i));
          for (std::size_t at = 0; at < answer.size() && !stopping;) {
            const ssize_t n = ::send(fd, answer.data() + at, answer.size() - at, MSG_NOSIGNAL);
            if (n <= 0) return;
            at += static_cast<std::size_t>(n);
          }
        }) {}
  std::uint16_t port() const { return server_.port(); }
  std::string received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  mutable std::mutex mutex_;
  std::string received_;
  LoopbackTcpServer server_;
};

std::string PatternText(std::size_t count, std::size_t from = 0) {
  std::string text(count, '\0');
  for (std::size_t i = 0; i < count; ++i) text[i] = static_cast<char>(PatternByte(from + i));
  return text;
}

class V2StreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    ASSERT_TRUE(daemon_.started());
    ASSERT_TRUE(daemon_.addUser("alice", "secret"));
    // The daemon writes its key at start: the first handshake may come before it is ready.
    ASSERT_TRUE(WaitUntil([&] { return RawV2(daemon_.port()).up(); }));
  }

  // Logs in as alice; false when the daemon did not accept.
  bool logIn(RawV2& session) {
    if (!session.up()) return false;
    ByteBuffer frame;
    AppendV2SessionOpening(frame, "alice", MakeV2LoginProof(key_, session.exporter(), "alice"));
    if (!session.write(frame)) return false;
    const std::string accepted = session.read(12);  // LoginAccepted: type, length, session id
    if (accepted.size() != 12 || accepted[0] != 1) return false;
    sessionId_ = DecodeFixed32(reinterpret_cast<const std::uint8_t*>(accepted.data()) + 8);
    relayKey_ = MakeV2RelayKey(key_, session.exporter());
    return true;
  }

  TestDaemon daemon_{AuditedSettings()};
  const std::string key_ = DeriveSessionKeyText("secret");
  std::uint32_t sessionId_ = 0;
  V2Proof relayKey_{};
};

// The opening frame, the destination header and the first bytes in one TLS record: what
// follows the frame waits inside OpenSSL, where epoll never reports it, and must still be
// relayed. Then a megabyte up and eight down, byte for byte as sent (no records inside TLS),
// with the relay pausing on full queues while OpenSSL holds deciphered bytes.
TEST_F(V2StreamTest, BytesBehindTheFrameAndBothWaysArriveAsTheyAre) {
  constexpr std::size_t kUpload = 1 << 20;
  constexpr std::size_t kDownload = 8 << 20;
  const std::string request = "GET / HTTP/1.1\r\n\r\n";
  Destination destination(request.size() + kUpload, kDownload);
  RawV2 session(daemon_.port());
  ASSERT_TRUE(logIn(session));

  RawV2 relay(daemon_.port());
  ASSERT_TRUE(relay.up());
  ByteBuffer first;
  AppendV2RelayOpening(first, sessionId_, MakeV2RelayProof(relayKey_, relay.exporter(), sessionId_));
  AppendDestinationHeader(first, htonl(INADDR_LOOPBACK), destination.port());
  first.append(request.data(), request.size());
  ASSERT_TRUE(relay.write(first));
  // Nothing more comes from the socket until the request has arrived.
  ASSERT_TRUE(WaitUntil([&] { return destination.received() == request; }));
  const std::string upload = PatternText(kUpload);
  ASSERT_TRUE(relay.write(ByteBuffer(upload.data(), upload.size())));

  const std::string download = relay.read(kDownload);
  EXPECT_EQ(download.size(), kDownload);
  EXPECT_TRUE(download == PatternText(kDownload));
  EXPECT_TRUE(destination.received() == request + upload);
}

// A user kept to v2 who logs in over the designed protocol with the right password: closed
// without a reply, as a malformed opening is, and the row says why; v2 still logs in.
TEST_F(V2StreamTest, AUserKeptToV2IsClosedUnansweredOverTheDesignedProtocol) {
  ASSERT_TRUE(daemon_.store({"policy", "alice", "--protocol", "v2-only"}));
  client::SessionClient designed;
  ASSERT_TRUE(OpenSession(designed, daemon_));
  const client::LoginResult result = designed.login("alice", "secret", kIoTimeoutMs);
  EXPECT_EQ(result.outcome, client::LoginOutcome::kFailed);
  EXPECT_EQ(result.status, client::ClientStatus::kClosed);
  EXPECT_TRUE(WaitUntil([&] {
    for (const std::string& row : daemon_.auditRows()) {
      if (row.find("protocol v1 refused for this user") != std::string::npos) return true;
    }
    return false;
  }));
  RawV2 session(daemon_.port());
  EXPECT_TRUE(logIn(session));
}

}  // namespace
}  // namespace tarvo::test
