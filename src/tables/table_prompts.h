#pragma once

#include <string>

#include "support/operator_prompt.h"

namespace velmora {

// The message boxes that the table and list changes share.

// A refusal: title "Error", exclamation icon, OK.
void ShowRefusal(OperatorPrompt& prompt, const std::string& text);
// A Yes/No question; true for Yes. Without an operator the answer is Yes.
bool Confirm(OperatorPrompt& prompt, const std::string& title, const std::string& text);

// The outcome of a list change: the refusal shown, if any.
struct ListChange {
  bool ok = true;
  std::string message;
};

// Shows the refusal and returns it as a failed change.
ListChange RefuseListChange(OperatorPrompt& prompt, const std::string& text);

}  // namespace velmora
