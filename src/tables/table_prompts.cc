#include "tables/table_prompts.h"

namespace velmora {

void ShowRefusal(OperatorPrompt& prompt, const std::string& text) {
  prompt.Ask({.title = "Error",
              .text = text,
              .buttons = PromptButtons::kOk,
              .icon = PromptIcon::kWarning,
              .default_answer = PromptAnswer::kOk});
}

bool Confirm(OperatorPrompt& prompt, const std::string& title, const std::string& text) {
  return prompt.Ask({.title = title,
                     .text = text,
                     .buttons = PromptButtons::kYesNo,
                     .icon = PromptIcon::kQuestion,
                     .default_answer = PromptAnswer::kYes}) == PromptAnswer::kYes;
}

ListChange RefuseListChange(OperatorPrompt& prompt, ListRefusal refusal, const std::string& text) {
  ShowRefusal(prompt, text);
  return {.ok = false, .refusal = refusal, .message = text};
}

}  // namespace velmora
