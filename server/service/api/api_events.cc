#include "server/service/api/api_events.h"

#include <unistd.h>

#include <atomic>
#include <charconv>
#include <deque>
#include <mutex>
#include <set>

#include "console/control_client/notification.h"
#include "server/service/base/notifications.h"

namespace tarvo {

namespace {

// About a minute of a busy daemon's events; a client away longer misses the oldest.
constexpr std::size_t kRingSize = 8192;

class EventRing final : public HttpStreamSource {
 public:
  void push(std::uint32_t code, const void* payload, std::size_t size) {
    Notification notification;
    if (!DecodeNotification(code, static_cast<const std::uint8_t*>(payload), size,
                            notification)) {
      return;
    }
    const nlohmann::json event = NotificationJson(notification);
    std::lock_guard lock(mutex_);
    const std::uint64_t id = ++last_;
    events_.push_back("id: " + std::to_string(id) + "\nevent: " +
                      event["event"].get<std::string>() + "\ndata: " +
                      event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
                      "\n\n");
    if (events_.size() > kRingSize) events_.pop_front();
    for (int fd : wakers_) {
      const char byte = 'e';
      (void)!::write(fd, &byte, 1);  // a full pipe is already a wake-up
    }
  }

  std::string next(std::uint64_t& cursor) override {
    std::lock_guard lock(mutex_);
    // An id from before a restart of the daemon: everything kept is new to the client.
    if (cursor > last_) cursor = 0;
    const std::uint64_t first = last_ - events_.size() + 1;
    std::string text;
    for (std::uint64_t id = std::max(cursor + 1, first); id <= last_; ++id) {
      text += events_[id - first];
    }
    cursor = last_;
    return text;
  }

  void addWaker(int fd) override {
    std::lock_guard lock(mutex_);
    wakers_.insert(fd);
  }
  void removeWaker(int fd) override {
    std::lock_guard lock(mutex_);
    wakers_.erase(fd);
  }

  std::uint64_t last() {
    std::lock_guard lock(mutex_);
    return last_;
  }

 private:
  std::mutex mutex_;
  std::deque<std::string> events_;
  std::uint64_t last_ = 0;
  std::set<int> wakers_;
};

EventRing Ring;

void Tap(std::uint32_t code, const void* payload, std::size_t size) {
  Ring.push(code, payload, size);
}

// The ring fills from the first stream a client opens: a daemon nobody follows keeps no events
// and assembles no notifications for them.
std::atomic<bool> Started{false};

}  // namespace

void StartApiEvents() { Started = true; }

void StopApiEvents() {
  Started = false;
  SetNotificationTap(nullptr);
}

HttpResponse EventStreamResponse(const HttpRequest& request) {
  std::string from = request.header("last-event-id");
  if (from.empty()) from = request.parameter("last_event_id").value_or("");
  if (Started) SetNotificationTap(Tap);
  HttpResponse response;
  response.stream = &Ring;
  response.cursor = Ring.last();
  if (!from.empty()) {
    std::uint64_t id = 0;
    const auto [end, problem] = std::from_chars(from.data(), from.data() + from.size(), id);
    if (problem != std::errc() || end != from.data() + from.size()) {
      return MakeResponse(400, "application/json", "{\"error\":\"Last-Event-ID is an event's id\"}\n");
    }
    response.cursor = id;
  }
  return response;
}

}  // namespace tarvo
