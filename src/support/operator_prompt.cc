#include "support/operator_prompt.h"

#include "support/log.h"

namespace velmora {

PromptAnswer LoggingPrompt::Ask(const PromptRequest& request) {
  std::string line = request.title + ": " + request.text;
  for (char& c : line) {
    if (c == '\n') c = ' ';
  }
  if (request.buttons == PromptButtons::kYesNo) {
    line += request.default_answer == PromptAnswer::kYes ? " [answered Yes]" : " [answered No]";
  }
  log_ << line << "\n";
  return request.default_answer;
}

}  // namespace velmora
