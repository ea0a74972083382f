// The report log: a non-modal window listing the port's report lines with a
// time stamp (newest last, the last 5000 kept), and the same lines appended
// to the log file. A dialog of its owner: a window of its own to a screen
// reader, transient for the owner, placed over it, closed by Escape.
#pragma once

#include <QDateTime>
#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <deque>
#include <memory>

namespace mv {
class ReportLogFile;
}

namespace mv::ui {

class TLogWindow : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kMaxLines = 5000;

  // logFilePath "" = no log file.
  explicit TLogWindow(QWidget* parent, const QString& logFilePath);
  ~TLogWindow() override;

  // Adds one report line (the CR inside it is shown as " | "). Never blocks:
  // the list is updated in batches and the file by a writer thread.
  void AddReportLine(const std::string& line);
  void AddReportLine(const std::string& line, const QDateTime& when);

  // The lines kept, oldest first, each "yyyy-MM-dd hh:mm:ss.zzz  text".
  const std::deque<QString>& Lines() const { return lines_; }
  // Shows the lines that arrived since the last update (done by a timer).
  void FlushToView();
  // Waits until the log file has every line added so far (tests, exit).
  void FlushFile();
  // Where the lines go, or why the log file is not being written (shown
  // under the list; the lines then stay in this window only).
  QString LogFileStatus() const;

  QPlainTextEdit* LogMemo;
  QLabel* LogMemoLabel;
  QLabel* LogFileLabel;
  QPushButton* ClearButton;

 public slots:
  void ClearButtonClick();

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  void Reload();
  void ShowFileStatus();

  std::deque<QString> lines_;
  QStringList unshown_;
  QTimer viewTimer_;
  QTimer fileStatusTimer_;
  std::unique_ptr<mv::ReportLogFile> file_;
};

}  // namespace mv::ui
