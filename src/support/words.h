#pragma once

#include <string_view>
#include <vector>

namespace velmora {

// The words of a line of text, as separated by spaces and tabs.
std::vector<std::string_view> SplitWords(std::string_view text);

}  // namespace velmora
