#pragma once

#include <deque>
#include <string>
#include <vector>

#include "support/operator_prompt.h"

namespace velmora::testing {

// An operator who answers from a script (the request's default once the script is used up) and
// remembers every question and message.
class RecordingPrompt final : public OperatorPrompt {
 public:
  PromptAnswer Ask(const PromptRequest& request) override {
    requests.push_back(request);
    if (answers.empty()) return request.default_answer;
    const PromptAnswer answer = answers.front();
    answers.pop_front();
    return answer;
  }

  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const PromptRequest& request : requests) texts.push_back(request.text);
    return texts;
  }

  std::deque<PromptAnswer> answers;
  std::vector<PromptRequest> requests;
};

}  // namespace velmora::testing
