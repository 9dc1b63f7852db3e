#include "admin/local_time.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace tarvo::adm {

namespace {

// Exactly count digits at text[at], as a number; -1 when they are not there.
int Digits(std::string_view text, std::size_t at, std::size_t count) {
  if (at + count > text.size()) return -1;
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

bool MakeLocal(std::tm fields, std::int64_t& at) {
  const int year = fields.tm_year, month = fields.tm_mon, day = fields.tm_mday;
  fields.tm_isdst = -1;
  const std::time_t made = std::mktime(&fields);
  if (made == static_cast<std::time_t>(-1)) return false;
  // mktime normalises 2027-02-30 to March; a date the calendar lacks is refused instead. An
  // hour skipped by a clock change comes out moved by it, which is kept.
  if (fields.tm_year != year || fields.tm_mon != month || fields.tm_mday != day) return false;
  at = made;
  return true;
}

}  // namespace

bool ParseLocalTime(std::string_view text, std::int64_t& at) {
  if (!text.empty() && text.front() == '@') {
    const std::string digits(text.substr(1));
    if (digits.empty() || !std::isdigit(static_cast<unsigned char>(digits[0]))) return false;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(digits.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    at = value;
    return true;
  }
  std::tm fields{};
  const int year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || text[4] != '-' ||
      text[7] != '-') {
    return false;
  }
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  if (text.size() > 10) {
    if (text[10] != ' ' && text[10] != 'T') return false;
    const int hour = Digits(text, 11, 2), minute = Digits(text, 14, 2);
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || text.size() < 16 ||
        text[13] != ':') {
      return false;
    }
    fields.tm_hour = hour;
    fields.tm_min = minute;
    if (text.size() > 16) {
      const int second = Digits(text, 17, 2);
      if (text[16] != ':' || second < 0 || second > 59 || text.size() != 19) return false;
      fields.tm_sec = second;
    }
  }
  return MakeLocal(fields, at);
}

std::string FormatLocalTime(std::int64_t at) {
  const std::time_t when = static_cast<std::time_t>(at);
  std::tm fields{};
  if (localtime_r(&when, &fields) == nullptr) return std::to_string(at);
  char text[64];
  if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &fields) == 0) {
    return std::to_string(at);
  }
  return text;
}

std::int64_t LocalMidnight(std::int64_t at, int days) {
  const std::time_t when = static_cast<std::time_t>(at);
  std::tm fields{};
  localtime_r(&when, &fields);
  fields.tm_hour = 0;
  fields.tm_min = 0;
  fields.tm_sec = 0;
  fields.tm_mday += days;
  fields.tm_isdst = -1;
  return std::mktime(&fields);
}

}  // namespace tarvo::adm
