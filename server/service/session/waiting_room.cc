#include "server/service/session/waiting_room.h"

#include <utility>

namespace tarvo {

WaitingSeat::WaitingSeat(WaitingRoom& room, std::uint32_t address, std::function<void()> evicted)
    : room_(room), address_(address), evicted_(std::move(evicted)) {
  if (room_.seats_.size() >= room_.maxInAll_) room_.seats_.front()->evict();
  place_ = room_.seats_.insert(room_.seats_.end(), this);
}

WaitingSeat::~WaitingSeat() { leave(); }

bool WaitingSeat::turnLate() {
  if (!waiting_ || late_) return waiting_;
  std::size_t& late = room_.lateByAddress_[address_];
  if (late >= room_.maxLatePerAddress_) {
    if (late == 0) room_.lateByAddress_.erase(address_);
    evict();
    return false;
  }
  ++late;
  late_ = true;
  return true;
}

void WaitingSeat::leave() {
  if (!waiting_) return;
  waiting_ = false;
  room_.seats_.erase(place_);
  if (!late_) return;
  late_ = false;
  auto entry = room_.lateByAddress_.find(address_);
  if (entry != room_.lateByAddress_.end() && --entry->second == 0) {
    room_.lateByAddress_.erase(entry);
  }
}

void WaitingSeat::evict() {
  leave();
  if (evicted_) evicted_();
}

std::size_t WaitingRoom::lateFrom(std::uint32_t address) const {
  auto entry = lateByAddress_.find(address);
  return entry == lateByAddress_.end() ? 0 : entry->second;
}

}  // namespace tarvo
