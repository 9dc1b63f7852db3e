// The socket layer and network loop on real loopback sockets, one pass at a time.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/fd.h"
#include "server/service/front/dispatch_socket.h"
#include "server/service/net/network_loop.h"
#include "server/service/front/acceptor.h"
#include "server/service/net/socket.h"

namespace tarvo {
namespace {

constexpr int kMaxPasses = 400;

std::uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

// A listening descriptor on 127.0.0.1 and an ephemeral port.
UniqueFd Listener(int& port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = Loopback();
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  EXPECT_EQ(::listen(fd.get(), 512), 0);
  return fd;
}

UniqueFd ConnectTo(int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = Loopback();
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  timeval timeout{10, 0};  // bounds every blocking read of a test
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return fd;
}

// A connected pair: the server side's descriptor (for a Socket) and the peer (the test's).
struct Pair {
  int server;
  UniqueFd peer;
};

Pair MakePair(const UniqueFd& listener, int port) {
  UniqueFd peer = ConnectTo(port);
  int server = ::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  EXPECT_GE(server, 0);
  return {server, std::move(peer)};
}

void WriteAll(int fd, const std::string& text) {
  ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// A stream socket whose behaviour each test fills in.
class TestSocket : public TcpSocket {
 public:
  TestSocket(int handle, Socket* owner, std::vector<std::string>* log = nullptr,
             std::string name = "")
      : TcpSocket(handle, owner), log_(log), name_(std::move(name)) {}
  ~TestSocket() override {
    if (log_) log_->push_back("~" + name_);
  }

  bool onData(std::span<const std::uint8_t> bytes) override {
    received.append(bytes.begin(), bytes.end());
    if (!bytes.empty() && log_) log_->push_back("data " + name_);
    return onDataHook ? onDataHook() : true;
  }
  void onConnected() override { connected = true; }
  void onConnectFailed() override {
    if (connectFailed) *connectFailed = true;
  }

  std::string received;
  std::function<bool()> onDataHook;
  bool connected = false;
  bool* connectFailed = nullptr;

 private:
  std::vector<std::string>* log_;
  std::string name_;
};

class SocketLayerTest : public ::testing::Test {
 protected:
  void SetUp() override { listener_ = Listener(port_); }
  void TearDown() override {
    std::lock_guard lock(NetworkLock);
    DeleteAllSockets();
  }

  // Runs passes until done() holds; false when it never did.
  bool RunUntil(const std::function<bool()>& done) {
    for (int pass = 0; pass < kMaxPasses; ++pass) {
      {
        std::lock_guard lock(NetworkLock);
        if (done()) return true;
      }
      RunNetworkPass(50);
    }
    std::lock_guard lock(NetworkLock);
    return done();
  }

  Pair pair() { return MakePair(listener_, port_); }

  UniqueFd listener_;
  int port_ = 0;
  std::vector<std::string> log;  // outlives the sockets TearDown deletes
};

bool HandleClosed(int fd) { return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF; }

TEST_F(SocketLayerTest, OwnerDeletesChildrenFirstToLastAndClosesTheirHandles) {
  Pair a = pair(), b = pair(), c = pair(), d = pair();
  auto* owner = new TestSocket(a.server, nullptr, &log, "owner");
  auto* first = new TestSocket(b.server, owner, &log, "first");
  new TestSocket(c.server, owner, &log, "second");
  auto* third = new TestSocket(d.server, owner, &log, "third");
  EXPECT_EQ(owner->children().size(), 3u);

  delete first;  // a child leaves its owner's list
  ASSERT_EQ(owner->children().size(), 2u);
  EXPECT_EQ(owner->children().back(), third);

  delete owner;
  EXPECT_EQ(log, (std::vector<std::string>{"~first", "~owner", "~second", "~third"}));
  for (int fd : {a.server, b.server, c.server, d.server}) EXPECT_TRUE(HandleClosed(fd)) << fd;
  EXPECT_EQ(Sockets().liveCount(), 0u);
}

TEST_F(SocketLayerTest, HandlersMayEndSocketsBeforeAndAfterThemselves) {
  std::vector<Pair> pairs;
  for (int i = 0; i < 6; ++i) pairs.push_back(pair());
  // All six are readable in the same pass. s2's handler ends s0 (before it in the list) and
  // s4 (after it); s3 owns s5, which comes after it, and its handler ends it.
  auto* s0 = new TestSocket(pairs[0].server, nullptr, &log, "s0");
  auto* s1 = new TestSocket(pairs[1].server, nullptr, &log, "s1");
  auto* s2 = new TestSocket(pairs[2].server, nullptr, &log, "s2");
  auto* s3 = new TestSocket(pairs[3].server, nullptr, &log, "s3");
  auto* s4 = new TestSocket(pairs[4].server, nullptr, &log, "s4");
  auto* s5 = new TestSocket(pairs[5].server, s3, &log, "s5");
  (void)s1;
  (void)s5;
  s2->onDataHook = [&] {
    RetireSocket(s0);
    RetireSocket(s4);
    return true;
  };
  s3->onDataHook = [s3] {
    for (Socket* child : s3->children()) RetireSocket(child);
    return true;
  };
  for (auto& p : pairs) WriteAll(p.peer.get(), "x");

  ASSERT_TRUE(RunUntil([&] { return s2->received == "x" && s3->received == "x"; }));
  // Nothing ended was called afterwards; nothing was deleted twice (ASan would say).
  std::vector<std::string> handled;
  for (const auto& entry : log) {
    if (entry.rfind("data", 0) == 0) handled.push_back(entry);
  }
  for (const auto& entry : handled) {
    EXPECT_NE(entry, "data s4");
    EXPECT_NE(entry, "data s5");
  }
  EXPECT_EQ(Sockets().liveCount(), 3u);  // s1, s2, s3

  // The survivors keep being served in later passes.
  WriteAll(pairs[1].peer.get(), "y");
  WriteAll(pairs[3].peer.get(), "z");
  EXPECT_TRUE(RunUntil([&] { return s1->received.find('y') != std::string::npos && s3->received == "xz"; }));
}

TEST_F(SocketLayerTest, ChildEndingItsOwnerAndFailingIsDeletedOnce) {
  Pair a = pair(), b = pair();
  auto* owner = new TestSocket(a.server, nullptr, &log, "owner");
  auto* child = new TestSocket(b.server, owner, &log, "child");
  child->onDataHook = [owner] {
    RetireSocket(owner);  // takes the child with it
    return false;         // and the loop must not delete it again
  };
  WriteAll(b.peer.get(), "x");
  ASSERT_TRUE(RunUntil([&] { return Sockets().liveCount() == 0; }));
  EXPECT_EQ(std::count(log.begin(), log.end(), "~child"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "~owner"), 1);
}

std::string ReadToEnd(int fd, std::size_t limit) {
  std::string all;
  char buffer[65536];
  while (all.size() <= limit) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    all.append(buffer, static_cast<std::size_t>(n));
  }
  return all;
}

TEST_F(SocketLayerTest, ClosingSendsTheQueueThenDeletes) {
  Pair p = pair();
  auto* socket = new TestSocket(p.server, nullptr, &log, "s");
  std::string payload(3 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  {
    std::lock_guard lock(NetworkLock);
    socket->queueOutput(payload.data(), payload.size());
    socket->setFlag(Socket::Closing);
  }
  // More than the socket buffers hold: the loop must send across passes while we read.
  std::string received;
  std::thread reader([&] { received = ReadToEnd(p.peer.get(), payload.size()); });
  bool gone = RunUntil([&] { return Sockets().liveCount() == 0; });
  reader.join();
  EXPECT_TRUE(gone);
  EXPECT_TRUE(received == payload) << received.size();
}

TEST_F(SocketLayerTest, PeerCloseWithQueuedOutputDeliversItThenDeletes) {
  Pair p = pair();
  auto* socket = new TestSocket(p.server, nullptr);
  {
    std::lock_guard lock(NetworkLock);
    socket->queueOutput("answer", 6);
  }
  ::shutdown(p.peer.get(), SHUT_WR);  // the peer is done sending but still reads
  ASSERT_TRUE(RunUntil([&] { return Sockets().liveCount() == 0; }));
  EXPECT_EQ(ReadToEnd(p.peer.get(), 100), "answer");
}

TEST_F(SocketLayerTest, ClosingWhileConnectingEndsBeforeTheWait) {
  auto* socket = new TestSocket(kNoHandle, nullptr, &log, "s");
  const int handle = socket->handle();
  {
    std::lock_guard lock(NetworkLock);
    ASSERT_TRUE(socket->connect(Loopback(), port_));
    socket->setFlag(Socket::Closing);  // nothing was sent: nothing to wait for
  }
  RunNetworkPass(0);
  EXPECT_EQ(log, std::vector<std::string>{"~s"});
  EXPECT_TRUE(HandleClosed(handle));
}

TEST_F(SocketLayerTest, AHandedOverConnectionIsServedByItsNewOwnerAlone) {
  // As the dispatcher hands a connection to a session: the first socket reads a byte, gives
  // its handle to a second one and ends; what comes next reaches the second.
  Pair a = pair();
  TestSocket* second = nullptr;
  auto* first = new TestSocket(a.server, nullptr, &log, "first");
  first->onDataHook = [&] {
    second = new TestSocket(first->releaseHandle(), nullptr);
    return false;
  };
  WriteAll(a.peer.get(), "x");
  ASSERT_TRUE(RunUntil([&] { return second != nullptr; }));
  WriteAll(a.peer.get(), "more");
  EXPECT_TRUE(RunUntil([&] { return second->received == "more"; }));

  // A handle given up and closed instead, as a refused data connection's is: the next
  // connection, which may get the same number, is served as a new one.
  Pair b = pair();
  auto* third = new TestSocket(b.server, nullptr, &log, "third");
  third->onDataHook = [&] {
    CloseDescriptor(third->releaseHandle());
    return false;
  };
  WriteAll(b.peer.get(), "y");
  ASSERT_TRUE(RunUntil([&] { return std::count(log.begin(), log.end(), "~third") == 1; }));
  Pair c = pair();
  auto* fourth = new TestSocket(c.server, nullptr);
  WriteAll(c.peer.get(), "z");
  EXPECT_TRUE(RunUntil([&] { return fourth->received == "z"; }));
  EXPECT_EQ(std::count(log.begin(), log.end(), "~first"), 1);
}

TEST_F(SocketLayerTest, ServesFarMoreThan64Sockets) {
  constexpr int kCount = 300;
  std::vector<Pair> pairs;
  std::vector<TestSocket*> sockets;
  for (int i = 0; i < kCount; ++i) {
    pairs.push_back(pair());
    auto* socket = new TestSocket(pairs.back().server, nullptr);
    socket->onDataHook = [socket] {
      socket->queueOutput(socket->received.data(), socket->received.size());
      socket->received.clear();
      return true;
    };
    sockets.push_back(socket);
  }
  for (int i = 0; i < kCount; ++i) WriteAll(pairs[i].peer.get(), std::to_string(i));
  // Every socket echoes; the last one in the list as surely as the first.
  std::thread loop([] {
    for (int pass = 0; pass < kMaxPasses && Sockets().liveCount() > 0; ++pass) RunNetworkPass(50);
  });
  for (int i = 0; i < kCount; ++i) {
    std::string expected = std::to_string(i);
    std::string echoed(expected.size(), '\0');
    ssize_t n = ::recv(pairs[i].peer.get(), echoed.data(), echoed.size(), MSG_WAITALL);
    ASSERT_EQ(n, static_cast<ssize_t>(expected.size())) << i;
    EXPECT_EQ(echoed, expected);
  }
  {
    std::lock_guard lock(NetworkLock);
    DeleteAllSockets();
  }
  loop.join();
}

TEST_F(SocketLayerTest, OutputQueuedFromAnotherThreadWakesTheLoop) {
  Pair p = pair();
  auto* socket = new TestSocket(p.server, nullptr);
  // Passes without a periodic wake-up: only readiness or the wake-up ends their wait.
  std::atomic<bool> done{false};
  std::thread loop([&done] {
    while (!done.load()) RunNetworkPass(-1);
  });
  {
    std::lock_guard lock(NetworkLock);
    socket->queueOutput("ping", 4);
  }
  char buffer[4] = {};
  ssize_t n = ::recv(p.peer.get(), buffer, sizeof buffer, MSG_WAITALL);
  done.store(true);
  WakeNetworkLoop();
  if (n != 4) WriteAll(p.peer.get(), "unblock");  // ends a wait the wake-up failed to end
  loop.join();
  ASSERT_EQ(n, 4);
  EXPECT_EQ(std::string(buffer, 4), "ping");
}

TEST_F(SocketLayerTest, RunNetworkLoopReturnsAfterAStopRequest) {
  std::thread loop([] { RunNetworkLoop(); });
  RequestNetworkLoopStop();
  loop.join();  // an empty socket list sleeps in the kernel, and the request ends the sleep
  SUCCEED();
}

TEST_F(SocketLayerTest, ConnectReportsSuccessAndFailure) {
  auto* good = new TestSocket(kNoHandle, nullptr);
  ASSERT_TRUE(good->connect(Loopback(), port_));
  EXPECT_TRUE(RunUntil([&] { return good->connected; }));
  EXPECT_FALSE(good->hasFlag(Socket::Connecting));

  int closedPort = 0;
  { UniqueFd spare = Listener(closedPort); }  // a port nobody listens on any more
  bool failed = false;
  auto* bad = new TestSocket(kNoHandle, nullptr);
  bad->connectFailed = &failed;
  ASSERT_TRUE(bad->connect(Loopback(), closedPort));
  EXPECT_TRUE(RunUntil([&] { return failed && Sockets().liveCount() == 1; }));
}

TEST_F(SocketLayerTest, AcceptorOwnsDispatchSocketsAndDeletingItClosesThem) {
  auto* acceptor = new AcceptSocket();
  EXPECT_EQ(Acceptor, acceptor);
  int port = acceptor->bind(0);
  ASSERT_GT(port, 0);
  ASSERT_TRUE(acceptor->listen());
  UniqueFd one = ConnectTo(port), two = ConnectTo(port);
  ASSERT_TRUE(RunUntil([&] { return acceptor->children().size() == 2; }));
  EXPECT_NE(dynamic_cast<DispatchSocket*>(acceptor->children().front()), nullptr);

  ::shutdown(one.get(), SHUT_WR);  // a peer that goes away ends its connection
  ASSERT_TRUE(RunUntil([&] { return acceptor->children().size() == 1; }));
  {
    std::lock_guard lock(NetworkLock);
    delete acceptor;
  }
  EXPECT_EQ(Acceptor, nullptr);
  EXPECT_EQ(ReadToEnd(two.get(), 10), "");  // closed by the daemon side
  EXPECT_EQ(Sockets().liveCount(), 0u);
}

TEST_F(SocketLayerTest, ListenerBacksOffWhenDescriptorsRunOut) {
  auto* acceptor = new AcceptSocket();
  int port = acceptor->bind(0);
  ASSERT_TRUE(acceptor->listen());
  RunNetworkPass(0);  // makes the loop's own descriptors before the limit drops
  // Also before: the sanitizers' first check of a call needs a descriptor of its own, so one
  // connection goes the whole way from readiness to accept first.
  UniqueFd first = ConnectTo(port);
  ASSERT_TRUE(RunUntil([&] { return acceptor->children().size() == 1; }));
  {
    std::lock_guard lock(NetworkLock);
    delete acceptor->children().front();
  }
  UniqueFd client = ConnectTo(port);
  EXPECT_TRUE(acceptor->wantRead());

  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(client.get() + 1);  // no descriptor left for accept
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  bool pausedSeen = false;
  for (int pass = 0; pass < 5 && !pausedSeen; ++pass) {
    RunNetworkPass(50);
    std::lock_guard lock(NetworkLock);
    pausedSeen = !acceptor->wantRead();
  }
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_TRUE(pausedSeen);
  EXPECT_EQ(acceptor->children().size(), 0u);
  // With descriptors back the waiting connection is taken.
  EXPECT_TRUE(RunUntil([&] { return acceptor->children().size() == 1; }));
}

class TestUdpSocket : public UdpSocket {
 public:
  TestUdpSocket() : UdpSocket(nullptr) {}
  bool onDatagram(std::unique_ptr<Datagram> datagram) override {
    received.emplace_back(reinterpret_cast<const char*>(datagram->payload.data()),
                          datagram->payload.size());
    return true;
  }
  std::vector<std::string> received;
};

TEST_F(SocketLayerTest, UdpReceiveErrorKeepsTheSocketAndQueuesSend) {
  auto* udp = new TestUdpSocket();
  int udpPort = udp->bind(0);
  ASSERT_GT(udpPort, 0);
  auto* sender = new TestUdpSocket();
  int senderPort = sender->bind(0);
  ASSERT_GT(senderPort, 0);

  // A connected datagram socket learns of a refused send as a pending receive error. Another
  // program may take a freed port at once, and the kernel spends at most 50 port-unreachable
  // answers at a time across the machine: so each try frees a fresh datagram port, and the
  // first error ends the loop.
  auto peer = [](int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = Loopback();
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
  };
  pollfd pending{udp->handle(), POLLIN, 0};
  for (int attempt = 0; attempt < 50 && !(pending.revents & POLLERR); ++attempt) {
    sockaddr_in refused = peer(0);
    socklen_t length = sizeof refused;
    {
      UniqueFd spare(::socket(AF_INET, SOCK_DGRAM, 0));
      ASSERT_EQ(::bind(spare.get(), reinterpret_cast<sockaddr*>(&refused), length), 0);
      ASSERT_EQ(::getsockname(spare.get(), reinterpret_cast<sockaddr*>(&refused), &length), 0);
    }
    ASSERT_EQ(::connect(udp->handle(), reinterpret_cast<sockaddr*>(&refused), sizeof refused), 0);
    ASSERT_EQ(::send(udp->handle(), "x", 1, 0), 1);
    pending.revents = 0;
    ::poll(&pending, 1, 100);
  }
  ASSERT_TRUE(pending.revents & POLLERR);
  RunNetworkPass(0);
  EXPECT_EQ(Sockets().liveCount(), 2u);

  // It still receives (from the sender it is now tied to), and the sender's queue goes out,
  // a 0-byte datagram included.
  sockaddr_in fromSender = peer(senderPort);
  ASSERT_EQ(::connect(udp->handle(), reinterpret_cast<sockaddr*>(&fromSender), sizeof fromSender), 0);
  {
    std::lock_guard lock(NetworkLock);
    std::uint16_t to = htons(static_cast<std::uint16_t>(udpPort));
    sender->queueDatagram(std::make_unique<Datagram>(Loopback(), to, "hello", 5));
    sender->queueDatagram(std::make_unique<Datagram>(Loopback(), to, "", 0));
  }
  ASSERT_TRUE(RunUntil([&] { return udp->received.size() == 2; }));
  EXPECT_EQ(udp->received[0], "hello");
  EXPECT_EQ(udp->received[1], "");
  EXPECT_TRUE(sender->outputQueue().empty());
}

TEST(DatagramTest, DestroyingAQueuedDatagramTakesItOutOfItsQueue) {
  DatagramQueue queue;
  queue.push(std::make_unique<Datagram>(1, 2, "a", 1));
  queue.push(std::make_unique<Datagram>(3, 4, "b", 1));
  Datagram* first = queue.front();
  EXPECT_EQ(first->queue(), &queue);
  delete first;
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_EQ(queue.front()->address, 3u);
}

}  // namespace
}  // namespace tarvo
