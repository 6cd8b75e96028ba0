#include "support/operator_prompt.h"

#include "support/log.h"

namespace velmora {

PromptAnswer LoggingPrompt::Ask(const PromptRequest& request) {
  std::string line = request.title + ": " + request.text;
  for (char& c : line) {
    if (c == '\n') c = ' ';
  }
  switch (request.default_answer) {
    case PromptAnswer::kOk:
      if (request.buttons == PromptButtons::kOkCancel) line += " [answered OK]";
      break;
    case PromptAnswer::kYes:
      line += " [answered Yes]";
      break;
    case PromptAnswer::kNo:
      line += " [answered No]";
      break;
    case PromptAnswer::kCancel:
      line += " [answered Cancel]";
      break;
  }
  log_ << line << "\n";
  return request.default_answer;
}

}  // namespace velmora
