// The Usage page's blocking reads on a thread of their own: the daemon's figures (an HTTP read
// bounded by its time-out) and every user's counters from the user store. Each answer is posted
// to the page as an event, as the notify listener's notifications are, so that only the
// user-interface thread touches the page.
#pragma once

#include <QEvent>
#include <condition_variable>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "console/usage_figures.h"
#include "platform/thread_annotations.h"

class QObject;

namespace tarvo {

inline constexpr QEvent::Type kUsageReadEvent = static_cast<QEvent::Type>(QEvent::User + 110);

struct UsageRequest {
  bool figures = false;   // the daemon's relayed bytes and status line
  bool counters = false;  // every user's counters
};

struct UsageReading {
  UsageRequest request;
  // When figures were asked: read at atMs, or the reason they could not be in error.
  bool figuresRead = false;
  std::int64_t atMs = 0;
  double down = 0;
  double up = 0;
  std::string statusLine;
  std::string error;
  // When counters were asked; nothing when the store could not be read.
  std::optional<std::vector<UserUsage>> users;
};

class UsageReadEvent : public QEvent {
 public:
  explicit UsageReadEvent(UsageReading reading)
      : QEvent(kUsageReadEvent), reading_(std::move(reading)) {}
  const UsageReading& reading() const { return reading_; }

 private:
  UsageReading reading_;
};

class UsageReader {
 public:
  // Starts the thread; its answers go to page, which must outlive this reader.
  explicit UsageReader(QObject& page);
  // Waits for a read in flight, whose remaining steps are skipped: at most the HTTP read's
  // time-out or one store call. An answer posted and not yet handled is dropped with the page's
  // pending events when the page goes.
  ~UsageReader();
  UsageReader(const UsageReader&) = delete;
  UsageReader& operator=(const UsageReader&) = delete;

  // The caller asks again only once the answer came: one read at a time, none queued.
  void Ask(UsageRequest request);

 private:
  void UsageReaderThread();
  bool stopping();

  QObject& page_;
  Mutex mutex_;
  std::condition_variable_any wake_;  // asked, or stopping
  std::optional<UsageRequest> asked_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

}  // namespace tarvo
