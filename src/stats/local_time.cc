#include "stats/local_time.h"

#include <cstdio>
#include <ctime>

namespace velmora {

namespace {

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kDaysFrom1601To1970 = 134774;

// Days since 1 January 1970 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Civil {
  int64_t year, month, day, hour, minute, second;
};

Civil CivilFromFileTime(LocalFileTime time) {
  const int64_t seconds = time / kTicksPerSecond;
  int64_t days = seconds / 86400 - kDaysFrom1601To1970;
  const int64_t rest = seconds % 86400;
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp + (mp < 10 ? 3 : -9);
  return {
      yoe + era * 400 + (month <= 2 ? 1 : 0), month, day, rest / 3600, rest / 60 % 60, rest % 60};
}

LocalFileTime FileTimeFromCivil(const Civil& c) {
  const int64_t days = DaysFromCivil(c.year, c.month, c.day) + kDaysFrom1601To1970;
  return ((days * 86400) + c.hour * 3600 + c.minute * 60 + c.second) * kTicksPerSecond;
}

}  // namespace

LocalFileTime LocalFileTimeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return FileTimeFromCivil({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                            local.tm_min, local.tm_sec});
}

std::string FormatLocalFileTime(LocalFileTime time) {
  const Civil c = CivilFromFileTime(time);
  char text[64];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d", static_cast<int>(c.day),
                static_cast<int>(c.month), static_cast<int>(c.year), static_cast<int>(c.hour),
                static_cast<int>(c.minute), static_cast<int>(c.second));
  return text;
}

std::optional<LocalFileTime> ParseLocalFileTime(std::string_view date, std::string_view time) {
  const std::string text = std::string(date) + " " + std::string(time);
  int day, month, year, hour, minute, second;
  char end;
  if (std::sscanf(text.c_str(), "%2d.%2d.%4d %2d:%2d:%2d%c", &day, &month, &year, &hour, &minute,
                  &second, &end) != 6 ||
      month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 59 || year < 0) {
    return std::nullopt;
  }
  if (year < 1601) year += 2000;
  return FileTimeFromCivil({year, month, day, hour, minute, second});
}

std::string LocalDateText(LocalFileTime time) {
  const Civil c = CivilFromFileTime(time);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", static_cast<int>(c.year),
                static_cast<int>(c.month), static_cast<int>(c.day));
  return text;
}

}  // namespace velmora
