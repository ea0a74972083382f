#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <functional>

#include "app/ui/log_window.h"
#include "app/ui/report_log_file.h"
#include "core/ui/qt_prompts.h"
#include "session/report_line.h"
#include "support/full_disk.h"
#include "support/test_support.h"

using namespace mv::ui;  // the windows

namespace {

QDateTime At(int sec) { return QDateTime(QDate(2024, 3, 1), QTime(10, 0, sec, 5)); }

// Runs the event loop until done() or two seconds have passed.
bool WaitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 200 && !done(); ++i) QTest::qWait(10);
  return done();
}

TEST(LogWindow, LinesGetAStampAndTheFileGetsTheSameLines) {
  mvtest::TempDir dir;
  const std::string path = dir.File("state/morvane-host/morvane-host.log");
  {
    TLogWindow w(nullptr, QString::fromStdString(path));
    EXPECT_TRUE(w.LogFileStatus().contains(QString::fromStdString(path)));
    w.AddReportLine(mv::ReportLine("1", 0, "TxData", "COM port not open", "TDVXCOMPort.cpp", 10, 0), At(1));
    w.AddReportLine("second", At(2));
    ASSERT_EQ(w.Lines().size(), 2u);
    EXPECT_EQ(w.Lines()[0],
              "2024-03-01 10:00:01.005  COM1: ERROR: TxData(): COM port not open. | TDVXCOMPort.cpp line 10.");
    w.FlushFile();
    EXPECT_EQ(mvtest::ReadFile(path),
              "2024-03-01 10:00:01.005  COM1: ERROR: TxData(): COM port not open. | TDVXCOMPort.cpp line 10.\n"
              "2024-03-01 10:00:02.005  second\n");
    w.show();
    EXPECT_EQ(w.LogMemo->blockCount(), 2);
    EXPECT_TRUE(w.LogMemo->toPlainText().endsWith("second"));
    w.AddReportLine("third", At(3));
    w.FlushToView();
    EXPECT_TRUE(w.LogMemo->toPlainText().endsWith("third"));  // newest last
    w.ClearButtonClick();
    EXPECT_TRUE(w.Lines().empty());
    EXPECT_TRUE(w.LogMemo->toPlainText().isEmpty());
  }
  // A second run appends, it does not replace.
  TLogWindow again(nullptr, QString::fromStdString(path));
  again.AddReportLine("fourth", At(4));
  again.FlushFile();
  const std::string text = mvtest::ReadFile(path);
  EXPECT_NE(text.find("second\n"), std::string::npos);
  EXPECT_NE(text.find("third\n"), std::string::npos);
  EXPECT_NE(text.find("fourth\n"), std::string::npos);
}

TEST(LogWindow, KeepsOnlyTheNewestLinesInTheListButAllInTheFile) {
  mvtest::TempDir dir;
  const std::string path = dir.File("burst.log");
  TLogWindow w(nullptr, QString::fromStdString(path));
  w.show();
  const int n = TLogWindow::kMaxLines + 1500;
  for (int i = 0; i < n; ++i) w.AddReportLine("line " + std::to_string(i), At(0));
  w.FlushToView();
  ASSERT_EQ(w.Lines().size(), static_cast<std::size_t>(TLogWindow::kMaxLines));
  EXPECT_TRUE(w.Lines().front().endsWith("line 1500"));
  EXPECT_TRUE(w.Lines().back().endsWith("line " + QString::number(n - 1)));
  EXPECT_LE(w.LogMemo->blockCount(), TLogWindow::kMaxLines);
  EXPECT_TRUE(w.LogMemo->toPlainText().endsWith("line " + QString::number(n - 1)));
  w.FlushFile();
  const std::string text = mvtest::ReadFile(path);
  EXPECT_EQ(static_cast<int>(std::count(text.begin(), text.end(), '\n')), n);
}

TEST(LogWindow, UnwritableLogFolderLeavesTheListWorkingAndSaysWhy) {
  mvtest::TempDir dir;
  mvtest::WriteFile(dir.File("afile"), "x");
  TLogWindow w(nullptr, QString::fromStdString(dir.File("afile/sub/log.log")));
  EXPECT_TRUE(w.LogFileStatus().startsWith("Log file not written: "));
  w.AddReportLine("kept", At(0));
  w.FlushFile();
  EXPECT_EQ(w.Lines().size(), 1u);
  EXPECT_EQ(mvtest::ReadFile(dir.File("afile")), "x");
}

// A log file that stops taking lines (a full disk: /dev/full takes the open
// and refuses every write) is named as not written, with the reason, while
// every line stays in the window.
TEST(LogWindow, FileThatCannotBeWrittenIsToldAndTheLinesStayInTheWindow) {
  TLogWindow w(nullptr, QStringLiteral("/dev/full"));
  w.show();
  w.AddReportLine("first", At(1));
  w.AddReportLine("second", At(2));
  w.FlushFile();
  ASSERT_TRUE(WaitUntil([&] { return w.LogFileLabel->text().startsWith("Log file not written: "); }))
      << w.LogFileLabel->text().toStdString();
  EXPECT_TRUE(w.LogFileLabel->text().contains("No space left on device")) << w.LogFileLabel->text().toStdString();
  EXPECT_TRUE(w.LogFileLabel->text().contains("kept in this window")) << w.LogFileLabel->text().toStdString();
  w.FlushToView();
  EXPECT_EQ(w.Lines().size(), 2u);
  EXPECT_TRUE(w.LogMemo->toPlainText().endsWith("second"));
}

// Lines that could not be written are tried again with the next line, once
// there is room: the file ends up with every line, in order.
TEST(LogWindow, LinesKeptAfterAFullDiskReachTheFileWhenThereIsRoomAgain) {
  mvtest::TinyDisk disk;
  if (!disk.Mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here";
  const std::string path = disk.File("host.log");
  TLogWindow w(nullptr, QString::fromStdString(path));
  disk.Fill();
  w.AddReportLine("while full", At(1));
  w.FlushFile();
  EXPECT_TRUE(w.LogFileLabel->text().contains("No space left on device")) << w.LogFileLabel->text().toStdString();
  ::unlink(disk.File("filler").c_str());
  w.AddReportLine("after", At(2));
  w.FlushFile();
  EXPECT_EQ(w.LogFileLabel->text().toStdString(), "Log file: " + path);
  EXPECT_EQ(mvtest::ReadFile(path), "2024-03-01 10:00:01.005  while full\n2024-03-01 10:00:02.005  after\n");
}

// An ordinary user's read-only log file is not written, and the window says
// why (root may write any file: the nonroot group runs this as uid 65534).
TEST(LogWindow, ReadOnlyLogFileIsToldWithTheSystemsReason) {
  if (::geteuid() == 0) {
    GTEST_SKIP() << "root may write any file; the nonroot group runs this as an ordinary user";
  }
  mvtest::TempDir dir;
  const std::string path = dir.File("host.log");
  mvtest::WriteFile(path, "old\n");
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  TLogWindow w(nullptr, QString::fromStdString(path));
  w.AddReportLine("kept", At(0));
  w.FlushFile();
  EXPECT_EQ(w.LogFileLabel->text().toStdString(), "Log file not written: cannot open " + path +
                                                      ": Permission denied; the report lines are kept in this "
                                                      "window only");
  EXPECT_EQ(w.Lines().size(), 1u);
  EXPECT_EQ(mvtest::ReadFile(path), "old\n");
}

TEST(LogWindow, LogPathFollowsXdgStateHome) {
  const QByteArray oldState = qgetenv("XDG_STATE_HOME");
  const QByteArray oldHome = qgetenv("HOME");
  qputenv("XDG_STATE_HOME", "/tmp/st");
  EXPECT_EQ(mv::DefaultReportLogPath(), "/tmp/st/morvane-host/morvane-host.log");
  qputenv("XDG_STATE_HOME", "relative/ignored");
  qputenv("HOME", "/home/u");
  EXPECT_EQ(mv::DefaultReportLogPath(), "/home/u/.local/state/morvane-host/morvane-host.log");
  qunsetenv("XDG_STATE_HOME");
  EXPECT_EQ(mv::DefaultReportLogPath(), "/home/u/.local/state/morvane-host/morvane-host.log");
  qputenv("HOME", oldHome);
  if (!oldState.isNull()) qputenv("XDG_STATE_HOME", oldState);
}

TEST(QtPrompts, FiltersBecomeQtFilters) {
  EXPECT_EQ(mv::QtFilterText("INI Files|*.ini"), "INI Files (*.ini)");
  EXPECT_EQ(mv::QtFilterText("INI Files|*.ini|All Files|*.*"), "INI Files (*.ini);;All Files (*.*)");
  EXPECT_EQ(mv::QtFilterText("Hex|*.hex;*.ihx"), "Hex (*.hex *.ihx)");
  EXPECT_EQ(mv::QtFilterText(""), "");
}

// The box or dialog is a child of the raising widget's window (so a window
// manager stacks it above that window); messages are plain boxes with OK.
TEST(QtPrompts, BoxesAndDialogsBelongToTheRaisingWindow) {
  QDialog window;
  auto* edit = new QLineEdit(&window);
  window.show();
  mv::QtPrompts prompts;
  QWidget* parent = nullptr;
  QMessageBox::Icon icon = QMessageBox::Warning;
  QMessageBox::StandardButtons buttons;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    parent = box->parentWidget();
    icon = box->icon();
    buttons = box->standardButtons();
    box->accept();
  });
  prompts.ShowMessage(mv::OwnerOf(edit), "ERROR: - Hex file not selected.");
  EXPECT_EQ(parent, &window);
  EXPECT_EQ(icon, QMessageBox::NoIcon);
  EXPECT_EQ(buttons, QMessageBox::Ok);

  parent = nullptr;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    parent = dialog->parentWidget();
    dialog->reject();
  });
  std::string path;
  EXPECT_FALSE(prompts.OpenFile(mv::OwnerOf(&window), mv::FileDialogOptions{}, path));
  EXPECT_EQ(parent, &window);
}

}  // namespace
