// A TCP proxy on 127.0.0.1 that holds every byte for a fixed delay in each direction before it
// forwards it to a target port on 127.0.0.1, so that a store on loopback behaves like one across
// a network. One thread serves every connection with poll and the delivery times as its
// time-out. It can be told to refuse: open connections are cut and new ones closed at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace tarvo::test {

class DelayProxy {
 public:
  DelayProxy(std::uint16_t targetPort, std::chrono::microseconds delay);
  ~DelayProxy();
  DelayProxy(const DelayProxy&) = delete;
  DelayProxy& operator=(const DelayProxy&) = delete;

  // Listens on a free port and starts the thread; false when it cannot listen.
  bool start();
  // Closes every connection and joins the thread.
  void stop();

  std::uint16_t port() const { return port_; }
  // Bytes read from now on are held this long.
  void setDelay(std::chrono::microseconds delay);
  // While on, open connections are cut and new ones closed as soon as they are accepted.
  void setRefusing(bool refusing);
  int accepted() const { return accepted_.load(); }

 private:
  void run();
  void wake();

  const std::uint16_t targetPort_;
  std::atomic<std::int64_t> delayUs_;
  std::atomic<bool> refusing_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  int listener_ = -1;
  int wakeFd_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace tarvo::test
