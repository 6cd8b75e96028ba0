#pragma once

#include <string>

namespace velmora {

class Log;

enum class PromptButtons { kOk, kYesNo, kOkCancel };
enum class PromptIcon { kInformation, kQuestion, kWarning, kError };
enum class PromptAnswer { kOk, kYes, kNo, kCancel };

struct PromptRequest {
  std::string title;
  std::string text;
  PromptButtons buttons = PromptButtons::kOk;
  PromptIcon icon = PromptIcon::kInformation;
  // What a run without an operator answers.
  PromptAnswer default_answer = PromptAnswer::kOk;
};

// How the core asks the operator a question or tells them of a refusal: a message box in the
// window, a log line when headless. Called from the control thread.
class OperatorPrompt {
 public:
  virtual ~OperatorPrompt() = default;
  virtual PromptAnswer Ask(const PromptRequest& request) = 0;
};

// Headless: logs the title and text and answers with the request's default.
class LoggingPrompt final : public OperatorPrompt {
 public:
  explicit LoggingPrompt(Log& log) : log_(log) {}
  PromptAnswer Ask(const PromptRequest& request) override;

 private:
  Log& log_;
};

}  // namespace velmora
