// mv::Prompts on Qt's standard message boxes and file dialogs.
#pragma once

#include <QString>

#include "core/prompts.h"

class QWidget;

namespace mv {

// "INI Files|*.ini" (description|patterns, pairs separated by '|') becomes
// Qt's "INI Files (*.ini)"; several pairs become lines joined by ";;".
QString QtFilterText(const std::string& filter);

// The widget a PromptOwner stands for (null for none).
QWidget* OwnerWidget(PromptOwner owner);

// Every box and dialog is a child of the window that raised it.
class QtPrompts : public Prompts {
 public:
  void ShowMessage(PromptOwner owner, const std::string& text) override;
  PromptAnswer AskYesNoWarning(PromptOwner owner, const std::string& text) override;
  bool OpenFile(PromptOwner owner, const FileDialogOptions& options, std::string& path) override;
  bool SaveFile(PromptOwner owner, const FileDialogOptions& options, std::string& path) override;
  bool ChooseFolder(PromptOwner owner, const std::string& title, const std::string& startDir,
                    std::string& path) override;
};

}  // namespace mv
