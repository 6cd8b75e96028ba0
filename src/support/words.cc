#include "support/words.h"

#include <algorithm>

namespace velmora {

std::vector<std::string_view> SplitWords(std::string_view text) {
  std::vector<std::string_view> words;
  while (!text.empty()) {
    const size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string_view::npos) break;
    text.remove_prefix(begin);
    const size_t end = std::min(text.find_first_of(" \t"), text.size());
    words.push_back(text.substr(0, end));
    text.remove_prefix(end);
  }
  return words;
}

}  // namespace velmora
