#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// The longest line the readers take in one piece; a longer one is read as several lines.
inline constexpr size_t kIniMaxLineLength = 511;

// Splits a text into lines. LF and CR LF end a line; neither is kept. No length limit.
std::vector<std::string_view> SplitTextLines(std::string_view text);

// The lines of the main file as its readers take them: SplitTextLines, with every line longer
// than kIniMaxLineLength cut into pieces of at most that length.
std::vector<std::string_view> SplitIniLines(std::string_view text);

// The line without spaces, tabs, double quotes, CR and LF anywhere: what decides a line's kind.
std::string CleanIniLine(std::string_view line);

// A plain decimal conversion: leading blanks skipped, an optional sign, then digits up to the
// first other character. No digits give 0; values beyond 32 bits saturate.
int32_t DecimalValue(std::string_view text);

// The decimal conversion of an unsigned 32-bit setting: as DecimalValue, but the value is taken
// modulo 2^32, so that every unsigned number written reads back as itself.
uint32_t UnsignedDecimalValue(std::string_view text);

// A number field of a table row: decimal, "0x" hexadecimal or "0" octal with an optional sign;
// a suffix B or b divides it by 1024, M or m multiplies it by 1024. No number gives 0.
int64_t FieldNumberValue(std::string_view text);

// A text setting: everything from the first ";" removed, then blanks, tabs, double quotes, CR and
// LF trimmed from both ends.
std::string SettingText(std::string_view value);

// Appends `line` and the CR LF that ends every line the router writes.
void AppendIniLine(std::string& out, std::string_view line);

}  // namespace velmora
