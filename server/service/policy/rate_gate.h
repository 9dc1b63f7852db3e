// A speed limit shared by the relays of one user and one direction: a token bucket refilled on
// the loop's clock. A relay that finds the allowance spent, or others already waiting, joins a
// FIFO and is not read; a timer of the loop wakes waiters in turn as tokens come back, each for
// one read of at most a quantum, so a user's relays share the rate fairly. Datagrams are not
// held: past the allowance they are dropped. Network lock held for every call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "server/service/net/network_loop.h"

namespace tarvo {

class Socket;
class RateGate;

// One relay's place in one gate's FIFO.
class RateWaiter {
 public:
  RateWaiter() = default;
  // Leaves the FIFO it waits in.
  ~RateWaiter();
  RateWaiter(const RateWaiter&) = delete;
  RateWaiter& operator=(const RateWaiter&) = delete;

  bool waiting() const { return gate_ != nullptr; }

 private:
  friend class RateGate;
  RateGate* gate_ = nullptr;  // while in a FIFO
  RateWaiter* prev_ = nullptr;
  RateWaiter* next_ = nullptr;
  Socket* wake_ = nullptr;    // the end whose reading waits
  bool pass_ = false;         // woken for one read, ahead of later arrivals
};

class RateGate {
 public:
  RateGate() = default;
  // Wakes whoever waits, so no waiter outlives its gate in a FIFO.
  ~RateGate();
  RateGate(const RateGate&) = delete;
  RateGate& operator=(const RateGate&) = delete;

  // The user's limit in bytes per second; 0 lifts it and wakes every waiter.
  void setRate(std::int64_t bytesPerSecond);
  // The part of the limit this daemon lets through, in millionths (kWholeShare: all of it),
  // when daemons sharing a store share the user's limit.
  void setShare(std::int64_t millionths);
  static constexpr std::int64_t kWholeShare = 1'000'000;
  std::int64_t limit() const { return limit_; }
  std::int64_t share() const { return share_; }
  // What passes here now: the share of the limit.
  std::int64_t rate() const { return rate_; }
  bool limited() const { return rate_ > 0; }

  // Bytes spent since the last call, and whether a relay had to wait for its turn or a
  // datagram was dropped meanwhile.
  struct Use {
    std::int64_t bytes = 0;
    bool held = false;
  };
  Use takeUse();
  // Called when a limited gate that takeUse found idle (or a new one) spends again; network
  // lock held. One for all gates.
  static void setOnActive(void (*onActive)());

  // How much the relay may read now: everything (SIZE_MAX) without a limit; while limited one
  // quantum, or 0, and the waiter joins the FIFO; end is marked dirty when its turn comes.
  std::size_t allowance(RateWaiter& waiter, Socket* end);
  // Bytes the relay read (the allowance may be overspent by what one read took).
  void charge(std::size_t bytes);
  // A datagram of size bytes may pass (and is charged) unless the allowance is spent.
  bool admitDatagram(std::size_t size);

  std::size_t quantum() const { return quantum_; }
  std::size_t waiters() const { return count_; }

 private:
  friend class RateWaiter;
  void applyRate();
  void noteActive();
  void refill();
  void enqueue(RateWaiter& waiter, Socket* end);
  void unlink(RateWaiter& waiter);
  // Wakes waiters in order while tokens last; rearms while some still wait.
  void turn();
  void armFor(std::int64_t deficit);
  void wakeAll();

  std::int64_t limit_ = 0;
  std::int64_t share_ = kWholeShare;
  std::int64_t rate_ = 0;
  std::int64_t spent_ = 0;  // since takeUse
  bool held_ = false;       // since takeUse
  bool active_ = false;     // spent since takeUse found it idle
  std::int64_t capacity_ = 0;
  std::size_t quantum_ = 0;
  std::int64_t tokens_ = 0;  // negative: a read overspent, repaid before anyone reads again
  NetworkTime refilled_{};
  RateWaiter* head_ = nullptr;
  RateWaiter* tail_ = nullptr;
  std::size_t count_ = 0;
  NetworkTimer timer_;
};

}  // namespace tarvo
