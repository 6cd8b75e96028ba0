#include "tables/stored_text.h"

#include <algorithm>

#include "ini/ini_text.h"

namespace velmora {

namespace {

bool HasAny(std::string_view text, std::string_view chars) {
  return text.find_first_of(chars) != std::string_view::npos;
}

bool HasBlankEnd(std::string_view text, std::string_view blanks) {
  return !text.empty() && (blanks.find(text.front()) != std::string_view::npos ||
                           blanks.find(text.back()) != std::string_view::npos);
}

// Removes `forbidden`, cuts to the alias length and trims `blanks`.
std::string Stripped(std::string_view text, std::string_view forbidden, std::string_view blanks) {
  std::string out;
  for (char c : text) {
    if (forbidden.find(c) == std::string_view::npos) out.push_back(c);
  }
  if (out.size() > kMaxAliasLength) out.resize(kMaxAliasLength);
  const size_t begin = out.find_first_not_of(blanks);
  if (begin == std::string::npos) return {};
  return out.substr(begin, out.find_last_not_of(blanks) - begin + 1);
}

constexpr std::string_view kSubnetAliasForbidden = "=,;\"\r\n";
constexpr std::string_view kRowAliasForbidden = ";[\r\n";
constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kRowBlanks = " \t\"";

}  // namespace

bool IsStorableSubnetAlias(std::string_view alias) {
  return alias.size() <= kMaxAliasLength && !HasAny(alias, kSubnetAliasForbidden) &&
         !HasBlankEnd(alias, kBlanks) && CleanIniLine(alias).find("IPSubNet") == std::string::npos;
}

std::string StorableSubnetAlias(std::string_view alias) {
  if (IsStorableSubnetAlias(alias)) return std::string(alias);
  std::string stripped = Stripped(alias, kSubnetAliasForbidden, kBlanks);
  return IsStorableSubnetAlias(stripped) ? stripped : std::string();
}

bool IsStorableRowAlias(std::string_view alias) {
  return alias.size() <= kMaxAliasLength && !HasAny(alias, kRowAliasForbidden) &&
         !HasBlankEnd(alias, kRowBlanks);
}

std::string StorableRowAlias(std::string_view alias) {
  if (IsStorableRowAlias(alias)) return std::string(alias);
  return Stripped(alias, kRowAliasForbidden, kRowBlanks);
}

bool IsStorableProfileAlias(std::string_view alias) {
  return !alias.empty() && IsStorableRowAlias(alias) && !HasAny(alias, "=\"");
}

bool IsStorableUser(std::string_view name, std::string_view password) {
  using namespace std::string_view_literals;
  const std::string clean = CleanIniLine(name);
  return !name.empty() && !HasAny(name, "=\r\n\0"sv) && !HasAny(password, "\r\n\0"sv) &&
         (clean.empty() || (clean.front() != '[' && clean.front() != ';')) &&
         name.size() + 1 + password.size() <= kIniMaxLineLength;
}

std::optional<uint32_t> RowAddress(std::string_view text) {
  if (text.empty() || text.size() > 31 || std::count(text.begin(), text.end(), '.') != 3 ||
      text.find_first_not_of("0123456789abcdefABCDEFxX.") != std::string_view::npos) {
    return std::nullopt;
  }
  const uint32_t address = DottedToAddress(std::string(text));
  if (address == 0xffffffff) return std::nullopt;
  return address;
}

bool IsRowFileName(std::string_view name, const std::vector<std::string>& reserved) {
  return !name.empty() && name.front() != '.' && !HasAny(name, std::string_view("/\0", 2)) &&
         std::find(reserved.begin(), reserved.end(), name) == reserved.end();
}

}  // namespace velmora
