// mv::Prompts on Qt's standard message boxes and file dialogs.
#pragma once

#include <QString>

#include "app/prompts.h"

class QWidget;

namespace mv {

// "INI Files|*.ini" (description|patterns, pairs separated by '|') becomes
// Qt's "INI Files (*.ini)"; several pairs become lines joined by ";;".
QString QtFilterText(const std::string& filter);

class QtPrompts : public Prompts {
 public:
  explicit QtPrompts(QWidget* parent = nullptr) : parent_(parent) {}
  void SetParent(QWidget* parent) { parent_ = parent; }

  void ShowMessage(const std::string& text) override;
  PromptAnswer AskYesNoWarning(const std::string& text) override;
  bool OpenFile(const FileDialogOptions& options, std::string& path) override;
  bool SaveFile(const FileDialogOptions& options, std::string& path) override;
  bool ChooseFolder(const std::string& title, const std::string& startDir, std::string& path) override;

 private:
  QWidget* parent_;
};

}  // namespace mv
