#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// Local times as the statistic file keeps them: 100-nanosecond units since 1 January 1601, in
// local time; 0 means none.
using LocalFileTime = int64_t;

inline constexpr LocalFileTime kFileTimeTicksPerMs = 10000;

// The local time now, from the system's wall clock.
LocalFileTime LocalFileTimeNow();
// "dd.mm.yyyy hh:mm:ss".
std::string FormatLocalFileTime(LocalFileTime time);
// The inverse of FormatLocalFileTime; a year below 1601 is taken as 2000 plus the year. None
// for a text that is no such time.
std::optional<LocalFileTime> ParseLocalFileTime(std::string_view date, std::string_view time);
// "YYYY-MM-DD" of the time.
std::string LocalDateText(LocalFileTime time);

}  // namespace velmora
