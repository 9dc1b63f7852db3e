// Host names resolved through the tunnel (Resolve), so the client needs no resolver of its own.
// The daemon answers only names that resolve, no sooner than a second after the request; a name
// without an answer within kAnswerWait counts as unknown. Answers, found or not, are kept for a
// bounded time in a table of bounded size.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/event_loop.h"

namespace tarvo::client {

class TunnelSession;

class NameCache {
 public:
  // found is false when the name did not resolve (or the tunnel could not ask).
  using Callback = std::function<void(bool found, std::uint32_t address)>;

  static constexpr auto kAnswerWait = std::chrono::seconds(6);
  static constexpr auto kKeepFound = std::chrono::seconds(300);
  static constexpr auto kKeepMissing = std::chrono::seconds(10);
  static constexpr std::size_t kMaxEntries = 4096;
  static constexpr std::size_t kMaxPendingNames = 256;
  static constexpr std::size_t kMaxNameLength = 255;

  NameCache(EventLoop& loop, TunnelSession& tunnel) : loop_(loop), tunnel_(tunnel) {}
  ~NameCache();

  // Answers at once (true, with found and address set) for a dotted IPv4 address or a name in
  // the table; otherwise asks the daemon and calls done later, always from the loop.
  bool lookup(const std::string& name, bool& found, std::uint32_t& address, Callback done);
  void onAnswer(std::uint32_t address, const std::string& name);
  // The pending questions will get no answer: they fail now.
  void onSessionLost();

  std::size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    bool found = false;
    std::uint32_t address = 0;
    std::chrono::steady_clock::time_point expires;
  };
  struct Pending {
    std::vector<Callback> waiters;
    EventLoop::TimerId timer = 0;
  };
  void store(const std::string& key, bool found, std::uint32_t address);
  void finish(const std::string& key, bool found, std::uint32_t address);

  EventLoop& loop_;
  TunnelSession& tunnel_;
  std::unordered_map<std::string, Entry> entries_;
  std::unordered_map<std::string, Pending> pending_;
};

}  // namespace tarvo::client
