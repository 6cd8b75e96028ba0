#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/address_text.h"

namespace velmora {

// The texts of the tables and lists that must read back from velmora.ini exactly as they were
// written: the rules each kind obeys, shared by the file readers and the editing operations.

inline constexpr size_t kMaxAliasLength = 128;

// A subnet alias: at most 128 characters, no blank at either end, none of = , ; " CR LF, and no
// field name of a subnet row (which the row reader would find in it).
bool IsStorableSubnetAlias(std::string_view alias);
// The alias without what cannot be stored: forbidden characters removed, cut to length; empty
// when that still cannot be stored.
std::string StorableSubnetAlias(std::string_view alias);

// A profile alias as it stands at the end of an IP/MAC row: at most 128 characters, no blank or
// double quote at either end, none of ; [ CR LF.
bool IsStorableRowAlias(std::string_view alias);
std::string StorableRowAlias(std::string_view alias);

// A profile alias that can be stored both in [USERPROFILES] and on a row: a row alias that is not
// empty and holds neither "=" nor a double quote.
bool IsStorableProfileAlias(std::string_view alias);

// A user name and password that make one [L2TPUSERS] line: a name not empty, without "=", CR, LF
// or NUL, that does not start like a header or a comment ("[" or ";", also after blanks); a
// password without CR, LF or NUL; the line within the reader's limit.
bool IsStorableUser(std::string_view name, std::string_view password);

// The IPv4 address of an IP/MAC row's text: digits, hexadecimal digits and "x" with exactly three
// dots, at most 31 characters, read by the dotted-address conversion; none for anything else
// and for all ones.
std::optional<uint32_t> RowAddress(std::string_view text);

// Whether a table name may name a stand-alone row file: no "/", not starting with ".", and none
// of the router's own files.
bool IsRowFileName(std::string_view name, const std::vector<std::string>& reserved);

}  // namespace velmora
