#include "console/usage_reader.h"

#include <QCoreApplication>
#include <QDateTime>

#include "console/control_client/service_metrics.h"
#include "console/usage_metrics.h"
#include "console/user_policies.h"

namespace tarvo {

namespace {

constexpr int kMetricsTimeoutMs = 2000;

void ReadFigures(UsageReading& reading) {
  MetricsReading metrics;
  reading.figuresRead = ReadServiceMetrics(metrics, &reading.error, kMetricsTimeoutMs) &&
                        RelayedTotals(metrics, reading.down, reading.up, &reading.error);
  if (!reading.figuresRead) return;
  // The time of the reading, not of its showing: the rate divides by it.
  reading.atMs = QDateTime::currentMSecsSinceEpoch();
  reading.statusLine = ServiceStatusLine(metrics);
}

std::optional<std::vector<UserUsage>> ReadCounters() {
  // The store's connections are leased one call at a time under the store's lock, so this
  // thread has its connection to itself for the call, as the daemon's store workers do.
  const auto policies = ReadNamedUserPolicies();
  if (!policies) return std::nullopt;
  std::vector<UserUsage> users;
  users.reserve(policies->size());
  for (const auto& [name, policy] : *policies) {
    users.push_back({name.toStdString(), policy.bytesDown, policy.bytesUp});
  }
  return users;
}

}  // namespace

UsageReader::UsageReader(QObject& page) : page_(page) {
  thread_ = std::thread(&UsageReader::UsageReaderThread, this);
}

UsageReader::~UsageReader() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void UsageReader::Ask(UsageRequest request) {
  {
    MutexLock lock(mutex_);
    asked_ = request;
  }
  wake_.notify_one();
}

bool UsageReader::stopping() {
  MutexLock lock(mutex_);
  return stopping_;
}

void UsageReader::UsageReaderThread() {
  for (;;) {
    UsageReading reading;
    {
      MutexLock lock(mutex_);
      wake_.wait(mutex_, [&]() REQUIRES(mutex_) { return stopping_ || asked_.has_value(); });
      if (stopping_) return;
      reading.request = *asked_;
      asked_.reset();
    }
    if (reading.request.figures) ReadFigures(reading);
    if (reading.request.counters && !stopping()) reading.users = ReadCounters();
    // Thread-safe, and the page outlives this thread.
    QCoreApplication::postEvent(&page_, new UsageReadEvent(std::move(reading)));
  }
}

}  // namespace tarvo
