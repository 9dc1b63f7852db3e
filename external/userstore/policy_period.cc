// Quota period boundaries on the local calendar. A boundary repeats the anchor's local time of
// day, and its weekday or day of the month; an anchor of 0 stands for local midnight, on Monday
// for weekly periods and on the 1st for monthly ones.
#include <ctime>

#include "external/reader_policy.h"

namespace {

struct Anchor {
  int hour = 0;
  int minute = 0;
  int second = 0;
  int weekday = 1;   // 0 Sunday
  int monthDay = 1;  // 1..31
};

Anchor AnchorOf(std::int64_t anchor) {
  Anchor a;
  if (anchor == 0) return a;
  const std::time_t t = static_cast<std::time_t>(anchor);
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) return a;
  a.hour = local.tm_hour;
  a.minute = local.tm_min;
  a.second = local.tm_sec;
  a.weekday = local.tm_wday;
  a.monthDay = local.tm_mday;
  return a;
}

int DaysInMonth(int year, int month) {  // month 0..11, year since 1900
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const int full = year + 1900;
  const bool leap = (full % 4 == 0 && full % 100 != 0) || full % 400 == 0;
  return month == 1 && leap ? 29 : kDays[month];
}

// The instant of the anchor's time of day on the given local date (day may be out of range:
// mktime carries it into the neighbouring month). mktime also settles daylight saving time.
std::int64_t At(int year, int month, int day, const Anchor& a) {
  std::tm when{};
  when.tm_year = year;
  when.tm_mon = month;
  when.tm_mday = day;
  when.tm_hour = a.hour;
  when.tm_min = a.minute;
  when.tm_sec = a.second;
  when.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&when));
}

// The anchor's day in the given month, or the month's last day when it has no such day.
std::int64_t InMonth(int year, int month, const Anchor& a) {
  year += month / 12;
  month %= 12;
  if (month < 0) {
    month += 12;
    year -= 1;
  }
  const int last = DaysInMonth(year, month);
  return At(year, month, a.monthDay < last ? a.monthDay : last, a);
}

// The boundary on or before at's local date (possibly after at), and the one before it.
std::int64_t CandidateStart(std::int32_t period, const Anchor& a, const std::tm& local,
                            int stepsBack) {
  switch (period) {
    case POLICY_PERIOD_DAILY:
      return At(local.tm_year, local.tm_mon, local.tm_mday - stepsBack, a);
    case POLICY_PERIOD_WEEKLY: {
      const int back = (local.tm_wday - a.weekday + 7) % 7;
      return At(local.tm_year, local.tm_mon, local.tm_mday - back - 7 * stepsBack, a);
    }
    case POLICY_PERIOD_MONTHLY:
      return InMonth(local.tm_year, local.tm_mon - stepsBack, a);
    default:
      return 0;
  }
}

bool UsablePeriod(std::int32_t period) {
  return period == POLICY_PERIOD_DAILY || period == POLICY_PERIOD_WEEKLY ||
         period == POLICY_PERIOD_MONTHLY;
}

}  // namespace

std::int64_t PolicyPeriodStart(std::int32_t period, std::int64_t anchor, std::int64_t at) {
  if (!UsablePeriod(period)) return 0;
  const Anchor a = AnchorOf(anchor);
  const std::time_t t = static_cast<std::time_t>(at);
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) return 0;
  // The boundary of at's own day, week or month may still lie ahead of at: then it is the one
  // before (two steps cover a day that daylight saving time shortened).
  for (int back = 0; back < 3; ++back) {
    const std::int64_t start = CandidateStart(period, a, local, back);
    if (start != -1 && start <= at) return start;
  }
  return 0;
}

std::int64_t PolicyNextPeriodStart(std::int32_t period, std::int64_t anchor, std::int64_t at) {
  const std::int64_t start = PolicyPeriodStart(period, anchor, at);
  if (start == 0) return 0;
  const Anchor a = AnchorOf(anchor);
  const std::time_t t = static_cast<std::time_t>(start);
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) return 0;
  for (int ahead = 1; ahead < 4; ++ahead) {
    std::int64_t next = 0;
    switch (period) {
      case POLICY_PERIOD_DAILY:
        next = At(local.tm_year, local.tm_mon, local.tm_mday + ahead, a);
        break;
      case POLICY_PERIOD_WEEKLY:
        next = At(local.tm_year, local.tm_mon, local.tm_mday + 7 * ahead, a);
        break;
      default:
        next = InMonth(local.tm_year, local.tm_mon + ahead, a);
        break;
    }
    if (next > at) return next;
  }
  return 0;
}
