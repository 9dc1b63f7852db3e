// Destinations for relay tests, run in the test process on 127.0.0.1 (or another loopback
// address): a TCP server whose
// connections are served by a handler each on its own thread, and a UDP echo server. Every
// wait is bounded; stopping ends the handlers and joins every thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tarvo::test {

// The pattern byte at offset i of every test stream.
inline std::uint8_t PatternByte(std::size_t i) {
  return static_cast<std::uint8_t>((i * 7 + i / 251) & 0xff);
}

class LoopbackTcpServer {
 public:
  // handler(fd, stopping) serves one accepted connection and returns when done; the server
  // closes fd afterwards. It must look at stopping at least every few hundred ms.
  using Handler = std::function<void(int fd, const std::atomic<bool>& stopping)>;
  // address: the loopback address it listens on, dotted.
  explicit LoopbackTcpServer(Handler handler, const char* address = "127.0.0.1");
  ~LoopbackTcpServer();
  LoopbackTcpServer(const LoopbackTcpServer&) = delete;
  LoopbackTcpServer& operator=(const LoopbackTcpServer&) = delete;

  std::uint16_t port() const { return port_; }
  int accepted() const { return accepted_.load(); }

 private:
  void acceptLoop();

  Handler handler_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

// Handlers.
// Echoes everything until the peer closes.
void EchoHandler(int fd, const std::atomic<bool>& stopping);
// Sends count pattern bytes, then closes.
LoopbackTcpServer::Handler SourceHandler(std::size_t count);
// Reads nothing until release is set, then reads everything into *received (pattern checked
// into *intact) until the peer closes.
LoopbackTcpServer::Handler SinkHandler(const std::atomic<bool>& release,
                                       std::atomic<std::size_t>& received,
                                       std::atomic<bool>& intact);

// Answers every datagram with its own bytes followed by the sender's port (2 bytes, network
// order), so a test sees which socket sent it.
class UdpEchoServer {
 public:
  explicit UdpEchoServer(const char* address = "127.0.0.1");
  ~UdpEchoServer();
  UdpEchoServer(const UdpEchoServer&) = delete;
  UdpEchoServer& operator=(const UdpEchoServer&) = delete;
  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// A DNS server on 127.0.0.1 that answers A questions as answer(name) says; a name it gives no
// address for is never answered, as behind a resolver that hangs.
class LoopbackNameServer {
 public:
  using Answerer = std::function<std::optional<std::uint32_t>(const std::string& name)>;
  explicit LoopbackNameServer(Answerer answer);
  ~LoopbackNameServer();
  LoopbackNameServer(const LoopbackNameServer&) = delete;
  LoopbackNameServer& operator=(const LoopbackNameServer&) = delete;

  std::uint16_t port() const { return port_; }
  // "127.0.0.1:port", as the daemon's name server setting takes it.
  std::string address() const;
  int questions() const { return questions_.load(); }

 private:
  Answerer answer_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<int> questions_{0};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// Resident memory of a process in KiB (VmRSS), or -1.
long ResidentKiB(int pid);

}  // namespace tarvo::test
