// Connections waiting for something a client sends at once: the opening message, then the
// Login. A flood of connections that never send it must stay bounded without punishing a busy
// client or its neighbours behind one address, so two rules apply:
//   - in all, at most maxInAll wait; a newcomer past it evicts the one that has waited longest,
//     which by then has waited far longer than any client does;
//   - a connection that has waited longer than a client ever does turns late; one address may
//     hold maxLatePerAddress late ones, and one turning late past that is evicted.
// Network thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <unordered_map>

namespace tarvo {

// How long a connection may take to send its opening message (and a data connection its
// session id; a v2 connection its handshake and opening frame).
inline constexpr std::chrono::seconds kOpeningTimeout{15};

class WaitingRoom;

// One waiting connection's place in a room. Leaves the room when destroyed.
class WaitingSeat {
 public:
  // address: the peer's IPv4 address. evicted runs when the room needs the seat; the owner
  // then ends (the seat has already left).
  WaitingSeat(WaitingRoom& room, std::uint32_t address, std::function<void()> evicted);
  ~WaitingSeat();
  WaitingSeat(const WaitingSeat&) = delete;
  WaitingSeat& operator=(const WaitingSeat&) = delete;

  // The connection has waited longer than clients do; false (and evicted) when its address
  // already holds its bound of late ones.
  bool turnLate();
  // What it waited for came: out of the room.
  void leave();
  bool waiting() const { return waiting_; }

 private:
  friend class WaitingRoom;
  void evict();

  WaitingRoom& room_;
  std::uint32_t address_;
  std::function<void()> evicted_;
  bool waiting_ = true;
  bool late_ = false;
  std::list<WaitingSeat*>::iterator place_;  // in the room, oldest first
};

class WaitingRoom {
 public:
  WaitingRoom(std::size_t maxInAll, std::size_t maxLatePerAddress)
      : maxInAll_(maxInAll), maxLatePerAddress_(maxLatePerAddress) {}

  std::size_t size() const { return seats_.size(); }
  std::size_t lateFrom(std::uint32_t address) const;

 private:
  friend class WaitingSeat;

  std::size_t maxInAll_;
  std::size_t maxLatePerAddress_;
  std::list<WaitingSeat*> seats_;
  std::unordered_map<std::uint32_t, std::size_t> lateByAddress_;
};

}  // namespace tarvo
