// mv::Prompts for tests: answers and chosen paths come from queues the test
// fills; every message, question and dialog shown is recorded, with the
// window that raised it.
#pragma once

#include <deque>
#include <ostream>
#include <string>
#include <vector>

#include "core/prompts.h"

namespace mv {
// GoogleTest shows an owner as the window's address.
inline void PrintTo(const PromptOwner& owner, std::ostream* os) { *os << "window " << owner.Window(); }
}  // namespace mv

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
  std::vector<mv::PromptOwner> owners;  // the raising window of every prompt above, in order

  void ShowMessage(mv::PromptOwner owner, const std::string& text) override {
    owners.push_back(owner);
    messages.push_back(text);
  }

  mv::PromptAnswer AskYesNoWarning(mv::PromptOwner owner, const std::string& text) override {
    owners.push_back(owner);
    questions.push_back(text);
    if (answers.empty()) return mv::PromptAnswer::No;
    const mv::PromptAnswer a = answers.front();
    answers.pop_front();
    return a;
  }

  bool OpenFile(mv::PromptOwner owner, const mv::FileDialogOptions& options, std::string& path) override {
    owners.push_back(owner);
    fileDialogs.push_back(options);
    return Next(path);
  }
  bool SaveFile(mv::PromptOwner owner, const mv::FileDialogOptions& options, std::string& path) override {
    owners.push_back(owner);
    fileDialogs.push_back(options);
    return Next(path);
  }
  bool ChooseFolder(mv::PromptOwner owner, const std::string& title, const std::string&, std::string& path) override {
    owners.push_back(owner);
    folderTitles.push_back(title);
    return Next(path);
  }

  std::string LastMessage() const { return messages.empty() ? std::string() : messages.back(); }
  // How many prompts so far were raised by some other window than `owner`.
  std::size_t RaisedByOthers(mv::PromptOwner owner) const {
    std::size_t n = 0;
    for (const mv::PromptOwner& o : owners) n += o == owner ? 0 : 1;
    return n;
  }

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
