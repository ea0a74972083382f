#include "core/ui/qt_prompts.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>
#include <QStringList>
#include <algorithm>

#include "core/ui/window_place.h"

namespace mv {

QString QtFilterText(const std::string& filter) {
  const QStringList parts = QString::fromStdString(filter).split('|');
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString patterns = parts[i + 1];
    patterns.replace(';', ' ');
    out << QStringLiteral("%1 (%2)").arg(parts[i].trimmed(), patterns.simplified());
  }
  if (parts.size() % 2 == 1 && !parts.back().isEmpty()) out << parts.back();
  return out.join(QStringLiteral(";;"));
}

namespace {

QString AppTitle() { return QApplication::applicationName(); }

QString StartPath(const FileDialogOptions& options) {
  QString file = QString::fromStdString(options.initialFile);
  const QString dir = QString::fromStdString(options.initialDir);
  if (file.isEmpty()) return dir;
  if (QFileInfo(file).isAbsolute() || dir.isEmpty()) return file;
  return QDir(dir).filePath(file);
}

// Adds the default extension to a name that has none.
QString WithDefaultExt(const QString& path, const std::string& ext) {
  if (ext.empty() || path.isEmpty()) return path;
  if (!QFileInfo(path).suffix().isEmpty()) return path;
  return path + '.' + QString::fromStdString(ext);
}

}  // namespace

QWidget* OwnerWidget(PromptOwner owner) { return static_cast<QWidget*>(owner.Window()); }

namespace {

// A short message makes a narrow box, and the title bar then cuts the
// program's name ("Morvane...otor Host", "Morvane Controller/Motor Ho" on
// Wayland): the box is made wide enough for its title.
void WideEnoughForTitle(QMessageBox& box) {
  auto* grid = qobject_cast<QGridLayout*>(box.layout());
  if (grid == nullptr) return;
  const int width = std::min(mv::ui::WidthForTitle(box.windowTitle(), box.font()), 600);
  grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Minimum), grid->rowCount(), 0, 1,
                grid->columnCount());
}

}  // namespace

// A plain box: the texts ("ERROR: - ...", the build summary) say what kind
// of message it is, so no icon is added.
void QtPrompts::ShowMessage(PromptOwner owner, const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, AppTitle(), QString::fromStdString(text), QMessageBox::Ok, OwnerWidget(owner));
  box.setTextFormat(Qt::PlainText);
  WideEnoughForTitle(box);
  box.exec();
}

PromptAnswer QtPrompts::AskYesNoWarning(PromptOwner owner, const std::string& text) {
  QMessageBox box(QMessageBox::Warning, AppTitle(), QString::fromStdString(text), QMessageBox::Yes | QMessageBox::No,
                  OwnerWidget(owner));
  box.setTextFormat(Qt::PlainText);
  WideEnoughForTitle(box);
  return box.exec() == QMessageBox::Yes ? PromptAnswer::Yes : PromptAnswer::No;
}

bool QtPrompts::OpenFile(PromptOwner owner, const FileDialogOptions& options, std::string& path) {
  QFileDialog dlg(OwnerWidget(owner), QString::fromStdString(options.title), StartPath(options),
                  QtFilterText(options.filter));
  dlg.setAcceptMode(QFileDialog::AcceptOpen);
  dlg.setFileMode(options.mustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  if (!options.defaultExt.empty()) dlg.setDefaultSuffix(QString::fromStdString(options.defaultExt));
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return false;
  path = WithDefaultExt(dlg.selectedFiles().front(), options.defaultExt).toStdString();
  return true;
}

bool QtPrompts::SaveFile(PromptOwner owner, const FileDialogOptions& options, std::string& path) {
  QFileDialog dlg(OwnerWidget(owner), QString::fromStdString(options.title), StartPath(options),
                  QtFilterText(options.filter));
  dlg.setAcceptMode(QFileDialog::AcceptSave);
  dlg.setFileMode(QFileDialog::AnyFile);
  if (!options.confirmOverwrite) dlg.setOption(QFileDialog::DontConfirmOverwrite, true);
  if (!options.defaultExt.empty()) dlg.setDefaultSuffix(QString::fromStdString(options.defaultExt));
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return false;
  path = WithDefaultExt(dlg.selectedFiles().front(), options.defaultExt).toStdString();
  return true;
}

bool QtPrompts::ChooseFolder(PromptOwner owner, const std::string& title, const std::string& startDir,
                             std::string& path) {
  const QString dir = QFileDialog::getExistingDirectory(OwnerWidget(owner), QString::fromStdString(title),
                                                        QString::fromStdString(startDir), QFileDialog::ShowDirsOnly);
  if (dir.isEmpty()) return false;
  path = dir.toStdString();
  return true;
}

}  // namespace mv
