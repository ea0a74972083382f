// Message boxes and file dialogs as one interface: Qt's standard dialogs in
// the desktop app, a scripted implementation in tests.
#pragma once

#include <string>

namespace mv {

enum class PromptAnswer { Ok, Yes, No, Cancel };

struct FileDialogOptions {
  std::string title;
  std::string filter;       // "INI Files|*.ini" style: description|patterns
  std::string initialDir;   // "" = no initial folder
  std::string initialFile;  // pre-filled file name or path
  std::string defaultExt;   // "ini" without dot, "" = none
  bool mustExist = false;       // open: path and file must exist
  bool confirmOverwrite = false;  // save: ask before replacing
};

class Prompts {
 public:
  virtual ~Prompts() = default;
  // A plain modal message box with an OK button (texts as the system words them).
  virtual void ShowMessage(const std::string& text) = 0;
  // A warning box with Yes and No.
  virtual PromptAnswer AskYesNoWarning(const std::string& text) = 0;
  // File dialogs: true and the chosen path, or false when cancelled.
  virtual bool OpenFile(const FileDialogOptions& options, std::string& path) = 0;
  virtual bool SaveFile(const FileDialogOptions& options, std::string& path) = 0;
  virtual bool ChooseFolder(const std::string& title, const std::string& startDir, std::string& path) = 0;
};

}  // namespace mv
