// mv::Prompts for tests: answers and chosen paths come from queues the test
// fills; every message, question and dialog shown is recorded.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "app/prompts.h"

namespace mvtest {

class ScriptedPrompts : public mv::Prompts {
 public:
  // Answers for AskYesNoWarning, in order; when empty the answer is No.
  std::deque<mv::PromptAnswer> answers;
  // Paths for OpenFile, SaveFile and ChooseFolder, in order; an empty string
  // or an empty queue means the dialog was cancelled.
  std::deque<std::string> paths;

  std::vector<std::string> messages;   // ShowMessage texts, in order
  std::vector<std::string> questions;  // AskYesNoWarning texts, in order
  std::vector<mv::FileDialogOptions> fileDialogs;
  std::vector<std::string> folderTitles;

  void ShowMessage(const std::string& text) override { messages.push_back(text); }

  mv::PromptAnswer AskYesNoWarning(const std::string& text) override {
    questions.push_back(text);
    if (answers.empty()) return mv::PromptAnswer::No;
    const mv::PromptAnswer a = answers.front();
    answers.pop_front();
    return a;
  }

  bool OpenFile(const mv::FileDialogOptions& options, std::string& path) override {
    fileDialogs.push_back(options);
    return Next(path);
  }
  bool SaveFile(const mv::FileDialogOptions& options, std::string& path) override {
    fileDialogs.push_back(options);
    return Next(path);
  }
  bool ChooseFolder(const std::string& title, const std::string&, std::string& path) override {
    folderTitles.push_back(title);
    return Next(path);
  }

  std::string LastMessage() const { return messages.empty() ? std::string() : messages.back(); }

 private:
  bool Next(std::string& path) {
    if (paths.empty()) return false;
    std::string p = paths.front();
    paths.pop_front();
    if (p.empty()) return false;
    path = p;
    return true;
  }
};

}  // namespace mvtest
