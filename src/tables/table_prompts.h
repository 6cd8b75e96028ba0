#pragma once

#include <string>

#include "support/operator_prompt.h"

namespace velmora {

// The message boxes that the table and list changes share.

// A refusal: title "Error", exclamation icon, OK.
void ShowRefusal(OperatorPrompt& prompt, const std::string& text);
// A Yes/No question; true for Yes. Without an operator the answer is Yes.
bool Confirm(OperatorPrompt& prompt, const std::string& title, const std::string& text);

// Why a list change was not made.
enum class ListRefusal { kNone, kExists, kInvalid, kNotStorable, kNoSuchEntry, kFull };

// The outcome of a list change: the refusal shown, if any.
struct ListChange {
  bool ok = true;
  ListRefusal refusal = ListRefusal::kNone;
  std::string message;
};

// Shows the refusal and returns it as a failed change.
ListChange RefuseListChange(OperatorPrompt& prompt, ListRefusal refusal, const std::string& text);

// Answers every question with its default and shows nothing: for callers that report the outcome
// in their own words, such as the remote control. Any thread may call.
class SilentPrompt final : public OperatorPrompt {
 public:
  PromptAnswer Ask(const PromptRequest& request) override { return request.default_answer; }
};

}  // namespace velmora
