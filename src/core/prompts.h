// Message boxes and file dialogs as one interface: Qt's standard dialogs in
// the desktop app, a scripted implementation in tests.
#pragma once

#include <string>

namespace mv {

enum class PromptAnswer { Ok, Yes, No, Cancel };

struct FileDialogOptions {
  std::string title;
  std::string filter;             // "INI Files|*.ini" style: description|patterns
  std::string initialDir;         // "" = no initial folder
  std::string initialFile;        // pre-filled file name or path
  std::string defaultExt;         // "ini" without dot, "" = none
  bool mustExist = false;         // open: path and file must exist
  bool confirmOverwrite = false;  // save: ask before replacing
};

// The window that raises a prompt. The box or dialog belongs to that window
// (transient for it): a window manager keeps it above that window, an
// always-on-top one included, and centres it there. A prompt given to any
// other window can open behind the window the user is looking at. The core
// only hands the window on; the desktop adapter knows it is a widget.
class PromptOwner {
 public:
  PromptOwner() = default;  // no window: a prompt of its own
  explicit PromptOwner(void* window) : window_(window) {}
  void* Window() const { return window_; }
  friend bool operator==(const PromptOwner&, const PromptOwner&) = default;

 private:
  void* window_ = nullptr;
};

// The owner for a prompt raised from `widget` (any widget of the window; the
// window it belongs to owns the prompt).
template <class Widget>
PromptOwner OwnerOf(Widget* widget) {
  return widget ? PromptOwner(widget->window()) : PromptOwner();
}

class Prompts {
 public:
  virtual ~Prompts() = default;
  // A plain modal message box with an OK button (texts as the system words them).
  virtual void ShowMessage(PromptOwner owner, const std::string& text) = 0;
  // A warning box with Yes and No.
  virtual PromptAnswer AskYesNoWarning(PromptOwner owner, const std::string& text) = 0;
  // File dialogs: true and the chosen path, or false when cancelled.
  virtual bool OpenFile(PromptOwner owner, const FileDialogOptions& options, std::string& path) = 0;
  virtual bool SaveFile(PromptOwner owner, const FileDialogOptions& options, std::string& path) = 0;
  virtual bool ChooseFolder(PromptOwner owner, const std::string& title, const std::string& startDir,
                            std::string& path) = 0;
};

}  // namespace mv
