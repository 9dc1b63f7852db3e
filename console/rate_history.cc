#include "console/rate_history.h"

namespace tarvo {

void RateHistory::AddReading(std::int64_t atMs, double downTotal, double upTotal) {
  if (haveBase_ && atMs > baseMs_ && downTotal >= baseDown_ && upTotal >= baseUp_) {
    const double seconds = static_cast<double>(atMs - baseMs_) / 1000.0;
    points_.push_back({atMs, (downTotal - baseDown_) / seconds, (upTotal - baseUp_) / seconds});
  }
  haveBase_ = true;
  baseMs_ = atMs;
  baseDown_ = downTotal;
  baseUp_ = upTotal;
  while (!points_.empty() && points_.front().atMs < atMs - spanMs_) points_.pop_front();
  // A clock set back: later points would follow earlier ones.
  while (!points_.empty() && points_.back().atMs > atMs) points_.pop_back();
}

}  // namespace tarvo
