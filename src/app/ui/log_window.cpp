#include "app/ui/log_window.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QScrollBar>
#include <QShowEvent>
#include <QVBoxLayout>

#include "app/ui/report_log_file.h"
#include "core/ui/window_place.h"

namespace mv::ui {

TLogWindow::TLogWindow(QWidget* parent, const QString& logFilePath)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                          Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("LogWindow"));
  setWindowTitle(QStringLiteral("Report Log"));
  setModal(false);
  setSizeGripEnabled(true);
  resize(720, 360);

  LogMemoLabel = new QLabel(QStringLiteral("&Report lines"), this);
  LogMemoLabel->setObjectName(QStringLiteral("LogMemoLabel"));
  LogMemo = new QPlainTextEdit(this);
  LogMemo->setObjectName(QStringLiteral("LogMemo"));
  LogMemo->setReadOnly(true);
  LogMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
  LogMemo->setMaximumBlockCount(kMaxLines);
  LogMemo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  LogMemo->setAccessibleName(QStringLiteral("Report lines"));
  LogMemoLabel->setBuddy(LogMemo);

  LogFileLabel = new QLabel(this);
  LogFileLabel->setObjectName(QStringLiteral("LogFileLabel"));
  LogFileLabel->setTextFormat(Qt::PlainText);
  LogFileLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  LogFileLabel->setAccessibleDescription(QStringLiteral("Report log file"));

  ClearButton = new QPushButton(QStringLiteral("C&lear"), this);
  ClearButton->setObjectName(QStringLiteral("ClearButton"));
  ClearButton->setAccessibleName(QStringLiteral("Clear"));
  ClearButton->setAutoDefault(false);  // Enter never clears the log
  connect(ClearButton, &QPushButton::clicked, this, &TLogWindow::ClearButtonClick);

  auto* lay = new QVBoxLayout(this);
  lay->addWidget(LogMemoLabel);
  lay->addWidget(LogMemo, 1);
  auto* row = new QHBoxLayout;
  row->addWidget(LogFileLabel, 1);
  row->addWidget(ClearButton);
  lay->addLayout(row);

  if (!logFilePath.isEmpty()) file_ = std::make_unique<mv::ReportLogFile>(logFilePath.toStdString());
  LogFileLabel->setText(LogFileStatus());

  viewTimer_.setInterval(100);
  viewTimer_.setSingleShot(true);
  connect(&viewTimer_, &QTimer::timeout, this, &TLogWindow::FlushToView);
  fileStatusTimer_.setInterval(250);
  fileStatusTimer_.setSingleShot(true);
  connect(&fileStatusTimer_, &QTimer::timeout, this, &TLogWindow::ShowFileStatus);
}

TLogWindow::~TLogWindow() = default;

QString TLogWindow::LogFileStatus() const {
  if (!file_) return QStringLiteral("Log file: none");
  const std::string error = file_->Error();
  if (!error.empty())
    return QStringLiteral("Log file not written: ") + QString::fromStdString(error) +
           QStringLiteral("; the report lines are kept in this window only");
  return QStringLiteral("Log file: ") + QString::fromStdString(file_->Path());
}

void TLogWindow::ShowFileStatus() { LogFileLabel->setText(LogFileStatus()); }

void TLogWindow::AddReportLine(const std::string& line) { AddReportLine(line, QDateTime::currentDateTime()); }

void TLogWindow::AddReportLine(const std::string& line, const QDateTime& when) {
  QString text = QString::fromStdString(line);
  text.replace(QLatin1Char('\r'), QStringLiteral(" | "));
  text.replace(QLatin1Char('\n'), QStringLiteral(" | "));
  const QString entry = when.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")) + QStringLiteral("  ") + text;
  lines_.push_back(entry);
  if (lines_.size() > static_cast<std::size_t>(kMaxLines)) lines_.pop_front();
  if (file_) {
    file_->Append(entry.toStdString());
    // The writer works in the background: look at how it went a moment later.
    if (!fileStatusTimer_.isActive()) fileStatusTimer_.start();
  }
  if (isVisible()) {
    unshown_.push_back(entry);
    if (unshown_.size() > kMaxLines) unshown_.pop_front();
    if (!viewTimer_.isActive()) viewTimer_.start();
  }
}

void TLogWindow::FlushToView() {
  if (unshown_.isEmpty()) return;
  LogMemo->appendPlainText(unshown_.join(QLatin1Char('\n')));
  unshown_.clear();
}

void TLogWindow::FlushFile() {
  if (file_) file_->Flush();
  ShowFileStatus();
}

void TLogWindow::Reload() {
  unshown_.clear();
  QStringList all;
  for (const QString& l : lines_) all.push_back(l);
  LogMemo->setPlainText(all.join(QLatin1Char('\n')));
  LogMemo->moveCursor(QTextCursor::End);
  LogMemo->horizontalScrollBar()->setValue(0);
}

void TLogWindow::ClearButtonClick() {
  lines_.clear();
  unshown_.clear();
  LogMemo->clear();
}

void TLogWindow::showEvent(QShowEvent* e) {
  Reload();
  ShowFileStatus();
  if (!e->spontaneous()) mv::ui::CentreOverOwner(this);
  QDialog::showEvent(e);
}

}  // namespace mv::ui
