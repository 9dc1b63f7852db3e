#include "server/service/policy/rate_gate.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "server/service/net/socket.h"

namespace tarvo {

namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
// One read while limited: about 1/16 s of the rate, so a limited user's relays are woken some
// 16 times a second (each wake costs a timer, a read and two changes of the epoll set), within
// bounds that keep records full and reads worth their system call.
constexpr std::int64_t kQuantumDivisor = 16;
constexpr std::int64_t kMinQuantum = 4096;
constexpr std::int64_t kMaxQuantum = 131072;
// What a user may spend at once after a pause: an eighth of a second of the rate.
constexpr std::int64_t kBurstDivisor = 8;

void (*OnActive)() = nullptr;

}  // namespace

RateWaiter::~RateWaiter() {
  if (gate_ != nullptr) gate_->unlink(*this);
}

RateGate::~RateGate() {
  while (head_ != nullptr) unlink(*head_);
}

void RateGate::setRate(std::int64_t bytesPerSecond) {
  limit_ = std::max<std::int64_t>(bytesPerSecond, 0);
  applyRate();
}

void RateGate::setShare(std::int64_t millionths) {
  share_ = std::clamp<std::int64_t>(millionths, 1, kWholeShare);
  applyRate();
}

RateGate::Use RateGate::takeUse() {
  const Use use{spent_, held_};
  spent_ = 0;
  held_ = false;
  active_ = use.bytes > 0 || use.held;
  return use;
}

void RateGate::setOnActive(void (*onActive)()) { OnActive = onActive; }

void RateGate::noteActive() {
  if (active_) return;
  active_ = true;
  if (OnActive != nullptr) OnActive();
}

void RateGate::applyRate() {
  std::int64_t bytesPerSecond = limit_;
  if (limit_ > 0 && share_ < kWholeShare) {
    bytesPerSecond = std::max<std::int64_t>(
        1, static_cast<std::int64_t>(static_cast<__int128>(limit_) * share_ / kWholeShare));
  }
  if (bytesPerSecond == rate_) return;
  if (bytesPerSecond == 0) {
    rate_ = 0;
    timer_.cancel();
    wakeAll();
    return;
  }
  const bool wasLimited = limited();
  if (wasLimited) refill();  // what the old rate earned so far
  rate_ = bytesPerSecond;
  quantum_ = static_cast<std::size_t>(std::clamp(rate_ / kQuantumDivisor, kMinQuantum, kMaxQuantum));
  capacity_ = std::max(static_cast<std::int64_t>(quantum_), rate_ / kBurstDivisor);
  if (!wasLimited) {
    tokens_ = capacity_;
    refilled_ = NetworkNow();
  }
  tokens_ = std::min(tokens_, capacity_);
  if (head_ != nullptr) {
    timer_.cancel();
    armFor(static_cast<std::int64_t>(quantum_) - tokens_);
  }
}

void RateGate::refill() {
  const NetworkTime now = NetworkNow();
  if (now <= refilled_) return;
  if (tokens_ >= capacity_) {
    refilled_ = now;
    return;
  }
  const std::int64_t nanos =
      std::chrono::duration_cast<std::chrono::nanoseconds>(now - refilled_).count();
  const __int128 earned = static_cast<__int128>(rate_) * nanos / kNanosPerSecond;
  if (earned >= capacity_ - tokens_) {
    tokens_ = capacity_;
    refilled_ = now;
    return;
  }
  // Only the time the whole bytes took is used up: a fraction carries over, so frequent calls
  // at a low rate still earn.
  tokens_ += static_cast<std::int64_t>(earned);
  refilled_ += std::chrono::nanoseconds(
      static_cast<std::int64_t>(earned * kNanosPerSecond / rate_));
}

std::size_t RateGate::allowance(RateWaiter& waiter, Socket* end) {
  if (!limited()) return std::numeric_limits<std::size_t>::max();
  if (waiter.gate_ != nullptr) return 0;  // still waiting for its turn
  refill();
  if (waiter.pass_) {
    waiter.pass_ = false;
    return quantum_;
  }
  // Those already waiting go first.
  if (tokens_ > 0 && head_ == nullptr) return quantum_;
  enqueue(waiter, end);
  return 0;
}

void RateGate::charge(std::size_t bytes) {
  if (!limited() || bytes == 0) return;
  tokens_ -= static_cast<std::int64_t>(bytes);
  spent_ += static_cast<std::int64_t>(bytes);
  noteActive();
}

bool RateGate::admitDatagram(std::size_t size) {
  if (!limited()) return true;
  refill();
  if (tokens_ <= 0) {
    held_ = true;
    noteActive();
    return false;
  }
  charge(size);
  return true;
}

void RateGate::enqueue(RateWaiter& waiter, Socket* end) {
  waiter.gate_ = this;
  waiter.wake_ = end;
  waiter.prev_ = tail_;
  waiter.next_ = nullptr;
  if (tail_ != nullptr) {
    tail_->next_ = &waiter;
  } else {
    head_ = &waiter;
  }
  tail_ = &waiter;
  ++count_;
  held_ = true;
  noteActive();
  if (!timer_.armed()) armFor(static_cast<std::int64_t>(quantum_) - tokens_);
}

void RateGate::unlink(RateWaiter& waiter) {
  if (waiter.prev_ != nullptr) {
    waiter.prev_->next_ = waiter.next_;
  } else {
    head_ = waiter.next_;
  }
  if (waiter.next_ != nullptr) {
    waiter.next_->prev_ = waiter.prev_;
  } else {
    tail_ = waiter.prev_;
  }
  waiter.gate_ = nullptr;
  waiter.prev_ = waiter.next_ = nullptr;
  --count_;
  if (head_ == nullptr) timer_.cancel();
}

void RateGate::turn() {
  refill();
  std::int64_t budget = tokens_;
  while (head_ != nullptr && budget > 0) {
    RateWaiter& waiter = *head_;
    unlink(waiter);
    waiter.pass_ = true;
    MarkSocketDirty(waiter.wake_);
    budget -= static_cast<std::int64_t>(quantum_);
  }
  // The woken spend their quanta; the next in line waits for what that leaves owing.
  if (head_ != nullptr) armFor(static_cast<std::int64_t>(quantum_) - budget);
}

void RateGate::armFor(std::int64_t deficit) {
  deficit = std::max<std::int64_t>(deficit, 1);
  const __int128 millis = (static_cast<__int128>(deficit) * 1000 + rate_ - 1) / rate_;
  const auto delay = std::chrono::milliseconds(
      static_cast<std::int64_t>(std::clamp<__int128>(millis, 1, 60'000)));
  timer_.arm(delay, [this] { turn(); });
}

void RateGate::wakeAll() {
  while (head_ != nullptr) {
    RateWaiter& waiter = *head_;
    unlink(waiter);
    waiter.pass_ = true;
    MarkSocketDirty(waiter.wake_);
  }
}

}  // namespace tarvo
