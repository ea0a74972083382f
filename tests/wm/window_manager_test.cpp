// The windows on a real window manager (run by tests/wm/with-openbox: Xvfb
// with openbox). Every prompt the always-on-top windows raise must be stacked
// above the window that raised it, as the manager reports it in the root
// window's _NET_CLIENT_LIST_STACKING (bottom to top); a prompt below its
// window leaves the program looking frozen. The port settings window must
// come back from a minimise with the user's choices and place.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/ui/log_window.h"
#include "app/ui/main_form.h"
#include "control/ui/TControlStatusForm.h"
#include "control/ui/status_plot.h"
#include "core/ui/window_place.h"
#include "firmware/ui/TCreateSPLFileForm.h"
#include "serial/ui/TDVXCOMDlgFrm.h"
#include "support/every_window.h"
#include "support/hex_gen.h"
#include "support/qt_find.h"
#include "support/qt_wait.h"
#include "support/test_support.h"

using namespace mv::ui;  // the windows

namespace {

using mvtest::WaitFor;

std::string Output(const QString& program, const QStringList& args) {
  QProcess p;
  p.start(program, args);
  p.waitForFinished(5000);
  return p.readAllStandardOutput().toStdString();
}

// The managed windows, bottom to top.
std::vector<unsigned long> Stacking() {
  const std::string out = Output(QStringLiteral("xprop"), {"-root", "_NET_CLIENT_LIST_STACKING"});
  std::vector<unsigned long> ids;
  const auto hash = out.find('#');
  if (hash == std::string::npos) return ids;
  std::string list = out.substr(hash + 1);
  for (char& c : list)
    if (c == ',') c = ' ';
  std::istringstream in(list);
  std::string word;
  while (in >> word) ids.push_back(std::stoul(word, nullptr, 16));
  return ids;
}

int StackIndex(const QWidget* w) {
  const std::vector<unsigned long> ids = Stacking();
  for (std::size_t i = 0; i < ids.size(); ++i)
    if (ids[i] == static_cast<unsigned long>(w->winId())) return static_cast<int>(i);
  return -1;
}

// The window `w` is transient for (its WM_TRANSIENT_FOR), 0 for none.
unsigned long TransientFor(const QWidget* w) {
  const std::string out = Output(QStringLiteral("xprop"), {"-id", QString::number(w->winId()), "WM_TRANSIENT_FOR"});
  const auto hash = out.find('#');
  return hash == std::string::npos ? 0 : std::stoul(out.substr(hash + 1), nullptr, 16);
}

// Keys typed on the X server's keyboard, to the window that has the focus.
void Keys(const QStringList& keys) {
  QProcess::execute(QStringLiteral("xdotool"), QStringList{"key", "--delay", "30"} + keys);
}

std::string Describe(const QWidget* w) {
  std::ostringstream s;
  s << w->metaObject()->className() << " \"" << w->windowTitle().toStdString() << "\" 0x" << std::hex << w->winId();
  return s.str();
}

// What was seen of one prompt while it was up.
struct PromptCheck {
  std::string prompt;  // class and title, "" when none appeared
  bool above = false;  // stacked above the window that raised it
  std::string stacking;
};

using Answer = std::function<void(QWidget*)>;

// Closes a prompt as cancelled.
void Cancel(QWidget* prompt) {
  if (auto* dialog = qobject_cast<QDialog*>(prompt))
    dialog->reject();
  else
    prompt->close();
}

// Runs raise(), which shows modal prompts one after another and returns when
// they are answered. While each prompt is up, checks that the manager stacks
// it above `window`, then answers it with the next of `answers`.
std::vector<PromptCheck> CheckPromptsAbove(QWidget* window, const std::function<void()>& raise,
                                           const std::vector<Answer>& answers) {
  std::vector<PromptCheck> checks;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    QWidget* prompt = QApplication::activeModalWidget();
    if (prompt == nullptr || prompt == window || !prompt->isVisible() || checks.size() >= answers.size()) return;
    poll.stop();
    PromptCheck check;
    check.prompt = Describe(prompt);
    // Managed once it is in the list; above its window within a moment.
    WaitFor([&] { return StackIndex(prompt) >= 0 && StackIndex(window) >= 0; });
    check.above = WaitFor([&] { return StackIndex(prompt) > StackIndex(window); }, 2000);
    std::ostringstream s;
    s << "window 0x" << std::hex << window->winId() << ", prompt 0x" << prompt->winId() << ", stacking:";
    for (unsigned long id : Stacking()) s << " 0x" << id;
    check.stacking = s.str();
    const Answer& answer = answers[checks.size()];
    checks.push_back(check);
    answer(prompt);
    poll.start();
  });
  poll.start(20);
  raise();
  poll.stop();
  return checks;
}

PromptCheck CheckPromptAbove(QWidget* window, const std::function<void()>& raise, const Answer& answer = Cancel) {
  std::vector<PromptCheck> checks = CheckPromptsAbove(window, raise, {answer});
  return checks.empty() ? PromptCheck{} : checks.front();
}

void ExpectAbove(const PromptCheck& c, const char* what) {
  EXPECT_FALSE(c.prompt.empty()) << what << ": no prompt appeared";
  EXPECT_TRUE(c.above) << what << ": " << c.prompt << " is not above its window; " << c.stacking;
}

QAbstractButton* ButtonIn(QWidget* window, const char* name) { return mvtest::Find<QAbstractButton>(window, name); }

// The main window with Qt's own prompts, no serial devices and its files in
// temporary folders.
class OnTheDesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("MORVANE_PORT_MAP", map.Path().c_str(), 1);
    form = std::make_unique<TMainForm>(nullptr, nullptr, QString::fromStdString(dir.File("host.log")));
    form->show();
    ASSERT_TRUE(WaitFor([&] { return StackIndex(form.get()) >= 0; })) << "the main window is not managed";
  }
  void TearDown() override {
    form.reset();
    unsetenv("MORVANE_PORT_MAP");
  }

  // Opens a window of the main window's (modal, as the menu does) and runs
  // body on it once the manager has it.
  template <class Window>
  void InWindow(QAction* menuItem, const std::function<void(Window*)>& body) {
    bool ran = false;
    QTimer::singleShot(0, [&] {
      Window* w = nullptr;
      WaitFor([&] {
        w = qobject_cast<Window*>(QApplication::activeModalWidget());
        return w != nullptr && StackIndex(w) >= 0;
      });
      ASSERT_NE(w, nullptr);
      body(w);
      ran = true;
      w->close();
    });
    menuItem->trigger();
    EXPECT_TRUE(ran);
  }

  mvtest::TempDir map;
  mvtest::TempDir dir;
  std::unique_ptr<TMainForm> form;
};

using SplWindowPrompts = OnTheDesktop;
using ControlStatusPrompts = OnTheDesktop;
using SettingsDialogRestore = OnTheDesktop;
using ControlStatusWindow = OnTheDesktop;
using ReportLogWindow = OnTheDesktop;
using EveryWindow = OnTheDesktop;

TEST_F(SplWindowPrompts, EveryPromptIsAboveTheWindow) {
  hexgen::Image img;  // a dsPIC33EP256 firmware
  img.FillWords(4 * 4096, 4 * 4096);
  img.FillWords(9 * 4096, 31 * 4096 + 1500);
  img.FillWords(85 * 4096, 16);
  mvtest::WriteFile(dir.File("fw.hex"), img.ToHex());

  InWindow<TCreateSPLFileForm>(form->CreateSPLFile1, [&](TCreateSPLFileForm* spl) {
    ExpectAbove(CheckPromptAbove(spl, [&] { ButtonIn(spl, "CreateLSRFileButton")->click(); }), "error box");
    ExpectAbove(CheckPromptAbove(spl, [&] { ButtonIn(spl, "SelectHexFileButton")->click(); }), "open dialog");
    ExpectAbove(CheckPromptAbove(spl, [&] { ButtonIn(spl, "SelectSPLFileButton")->click(); }), "folder chooser");
  });

  // A build that goes through ends with its summary.
  form->Session().Builder().hex_file = dir.File("fw.hex");
  form->Session().Builder().spl_file_dir = dir.Path();
  InWindow<TCreateSPLFileForm>(form->CreateSPLFile1, [&](TCreateSPLFileForm* spl) {
    mvtest::Find<QLineEdit>(spl, QStringLiteral("SPLFileNameEdit"))->setText(QStringLiteral("fw"));
    std::string summary;
    const PromptCheck c = CheckPromptAbove(
        spl, [&] { ButtonIn(spl, "CreateLSRFileButton")->click(); },
        [&](QWidget* box) {
          if (auto* m = qobject_cast<QMessageBox*>(box)) summary = m->text().toStdString();
          box->close();
        });
    ExpectAbove(c, "summary");
    EXPECT_EQ(summary.rfind("Bootloader flash pages = 0 to 3.", 0), 0u) << summary;
  });
  EXPECT_TRUE(mvtest::FileExists(dir.File("fw.spl")));
}

TEST_F(ControlStatusPrompts, RecordDialogAndItsErrorAreAboveTheWindow) {
  mvtest::WriteFile(dir.File("other.csv"), "not a status log\r\n");
  InWindow<TControlStatusForm>(form->ControlStatus1, [&](TControlStatusForm* control) {
    auto* record = ButtonIn(control, "RecordCheckBox");
    ExpectAbove(CheckPromptAbove(control, [&] { record->click(); }), "Record dialog");
    EXPECT_FALSE(record->isChecked());

    // The file chosen is not a status log: refused with a message.
    const Answer chooseOther = [&](QWidget* prompt) {
      auto* fd = qobject_cast<QFileDialog*>(prompt);
      ASSERT_NE(fd, nullptr);
      auto* name = fd->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));  // typed, as a user does
      ASSERT_NE(name, nullptr);
      name->setText(QString::fromStdString(dir.File("other.csv")));
      static_cast<QDialog*>(fd)->accept();  // as the dialog's own Save button does
    };
    const std::vector<PromptCheck> checks = CheckPromptsAbove(control, [&] { record->click(); }, {chooseOther, Cancel});
    ASSERT_EQ(checks.size(), 2u);
    ExpectAbove(checks[0], "Record dialog");
    ExpectAbove(checks[1], "Record error box");
    EXPECT_FALSE(record->isChecked());
  });
}

// "Plot..." opens its window from the always-on-top control/status window:
// it must come up in front of that window, not hidden behind it.
TEST_F(ControlStatusPrompts, PlotWindowOpensInFrontOfTheControlWindow) {
  InWindow<TControlStatusForm>(form->ControlStatus1, [&](TControlStatusForm* control) {
    ButtonIn(control, "PlotButton")->click();
    QWidget* plot = control->PlotForm();
    ASSERT_NE(plot, nullptr);
    EXPECT_TRUE(WaitFor([&] { return StackIndex(plot) >= 0; })) << "the plot window is not managed";
    EXPECT_TRUE(WaitFor([&] { return StackIndex(plot) > StackIndex(control); }, 2000))
        << "the plot window is behind the control/status window";
  });
}

TEST_F(SettingsDialogRestore, MinimiseAndRestoreKeepTheUsersChoicesAndPlace) {
  const int portBefore = form->DVXCOMPort.GetPort();
  bool ran = false;
  QTimer::singleShot(0, [&] {
    PLKDVX::TDVXCOMDlgFrm* dlg = nullptr;
    WaitFor([&] {
      dlg = qobject_cast<PLKDVX::TDVXCOMDlgFrm*>(QApplication::activeModalWidget());
      return dlg != nullptr && StackIndex(dlg) >= 0;
    });
    ASSERT_NE(dlg, nullptr);
    const QString id = QString::number(dlg->winId());
    // The user's choices, and the window dragged somewhere else.
    dlg->COMPortComboBoxEx->setCurrentIndex(portBefore == 4 ? 5 : 3);
    dlg->BaudRateComboBox->setCurrentIndex(PLKDVX::br19200);
    dlg->DataBitsComboBox->setCurrentIndex(PLKDVX::db7);
    dlg->ParityComboBox->setCurrentIndex(PLKDVX::paOdd);
    dlg->StopBitsComboBox->setCurrentIndex(PLKDVX::sb2);
    const QPoint opened = dlg->pos();
    // Moved as a user drags it (asked again if the manager was still placing it).
    bool moved = false;
    for (int attempt = 0; attempt < 5 && !moved; ++attempt) {
      QProcess::execute(QStringLiteral("xdotool"), {"windowmove", id, "61", "83"});
      moved = WaitFor([&] { return dlg->pos() != opened; }, 1000);
    }
    ASSERT_TRUE(moved) << "the window did not move";
    QApplication::processEvents();
    const QPoint placed = dlg->pos();

    QProcess::execute(QStringLiteral("xdotool"), {"windowminimize", id});
    ASSERT_TRUE(WaitFor([&] { return dlg->isMinimized(); })) << "not minimised";
    QProcess::execute(QStringLiteral("xdotool"), {"windowactivate", id});
    ASSERT_TRUE(WaitFor([&] { return !dlg->isMinimized() && StackIndex(dlg) >= 0; })) << "not restored";
    QApplication::processEvents();

    EXPECT_EQ(dlg->COMPortComboBoxEx->currentIndex(), portBefore == 4 ? 5 : 3);
    EXPECT_EQ(dlg->BaudRateComboBox->currentIndex(), PLKDVX::br19200);
    EXPECT_EQ(dlg->DataBitsComboBox->currentIndex(), PLKDVX::db7);
    EXPECT_EQ(dlg->ParityComboBox->currentIndex(), PLKDVX::paOdd);
    EXPECT_EQ(dlg->StopBitsComboBox->currentIndex(), PLKDVX::sb2);
    EXPECT_EQ(dlg->pos(), placed);
    ran = true;
    dlg->OKButton->click();
  });
  form->Settings1->trigger();
  ASSERT_TRUE(ran);
  // OK wrote what the user chose, not the opening values.
  EXPECT_EQ(form->DVXCOMPort.GetPort(), portBefore == 4 ? 6 : 4);
  EXPECT_EQ(form->DVXCOMPort.GetBaudRate(), PLKDVX::br19200);
  EXPECT_EQ(form->DVXCOMPort.GetDataBits(), PLKDVX::db7);
  EXPECT_EQ(form->DVXCOMPort.GetParity(), PLKDVX::paOdd);
  EXPECT_EQ(form->DVXCOMPort.GetStopBits(), PLKDVX::sb2);
}

}  // namespace

namespace {

// Closed with the focus left on Stop and opened again: the focus is on a
// control that cannot move the motor (Shift+Tab, Space must not start it),
// and the window is where it was the first time.
TEST_F(ControlStatusWindow, ReopensAtTheSamePlaceWithTheFocusOffTheMotorButtons) {
  QRect first;
  for (int opening = 1; opening <= 3; ++opening)
    InWindow<TControlStatusForm>(form->ControlStatus1, [&](TControlStatusForm* control) {
      // Framed, and left where the manager put it for a while.
      QRect last;
      int still = 0;
      ASSERT_TRUE(WaitFor([&] {
        const QRect now = control->frameGeometry();
        still = now == last && !mv::ui::FrameMargins(control).isNull() ? still + 1 : 0;
        last = now;
        return still >= 20;
      })) << "not framed";
      if (opening == 1) first = control->frameGeometry();
      EXPECT_EQ(control->frameGeometry(), first) << "opening " << opening;
      QWidget* focus = control->focusWidget();
      EXPECT_EQ(focus ? focus->objectName().toStdString() : "", "GetStatusButton") << "opening " << opening;
      ButtonIn(control, "StopButton")->setFocus();
    });
}

// The plot and the link trace opened from the control/status window belong
// to it and never cover Stop, also when that window is made active again as
// Alt+Tab or wmctrl -a does; the trace takes the keyboard while the
// control/status window is modal.
TEST_F(ControlStatusWindow, ItsWindowsStayWithItNeverCoverStopAndTakeInput) {
  for (const char* button : {"PlotButton", "TraceButton"}) {
    SCOPED_TRACE(button);
    InWindow<TControlStatusForm>(form->ControlStatus1, [&](TControlStatusForm* control) {
      ButtonIn(control, button)->click();
      QWidget* opened = std::string(button) == "PlotButton" ? control->PlotForm() : control->TraceWindow();
      ASSERT_NE(opened, nullptr);
      ASSERT_TRUE(WaitFor([&] { return StackIndex(opened) >= 0; })) << "the window is not managed";
      EXPECT_EQ(TransientFor(opened), static_cast<unsigned long>(control->winId()));
      ASSERT_TRUE(WaitFor([&] { return opened->isActiveWindow(); })) << "the window is not active";
      if (auto* find = opened->findChild<QLineEdit*>(QStringLiteral("FindEdit"))) {
        find->setFocus();
        Keys({"3", "5"});
        EXPECT_TRUE(WaitFor([&] { return find->text() == QStringLiteral("35"); }))
            << "typed keys did not reach the trace: \"" << find->text().toStdString() << "\"";
      }
      QProcess::execute(QStringLiteral("xdotool"), {"windowactivate", QString::number(control->winId())});
      EXPECT_TRUE(WaitFor([&] { return control->isActiveWindow(); })) << "the control/status window is not active";
      WaitFor([&] { return false; }, 300);  // the manager's restacking
      QWidget* stop = ButtonIn(control, "StopButton");
      const QRect stopOnScreen(stop->mapToGlobal(QPoint(0, 0)), stop->size());
      for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && StackIndex(w) > StackIndex(control)) {
          EXPECT_FALSE(w->frameGeometry().intersects(stopOnScreen)) << Describe(w) << " covers Stop";
        }
      }
      opened->close();
    });
  }
}

// The report log belongs to the main window, opens over it and closes on
// Escape typed on the keyboard.
TEST_F(ReportLogWindow, BelongsToTheMainWindowOpensOverItAndEscapeClosesIt) {
  form->Log1->trigger();
  QWidget* log = form->LogWindow;
  ASSERT_TRUE(WaitFor([&] { return StackIndex(log) >= 0 && log->isActiveWindow(); })) << "the log is not active";
  ASSERT_TRUE(WaitFor([&] { return !mv::ui::FrameMargins(log).isNull(); }));
  QApplication::processEvents();
  EXPECT_EQ(TransientFor(log), static_cast<unsigned long>(form->winId()));
  const QPoint offset = log->frameGeometry().center() - form->frameGeometry().center();
  EXPECT_LE(offset.manhattanLength(), 4) << "the log is not centred over the main window";
  Keys({"Escape"});
  EXPECT_TRUE(WaitFor([&] { return !log->isVisible(); })) << "Escape did not close the log";
}

}  // namespace

namespace {

// Every window, opened as a user does, is transient for the window it was
// opened from (WM_TRANSIENT_FOR), so the manager keeps the two together.
TEST_F(EveryWindow, IsTransientForTheWindowItWasOpenedFrom) {
  QApplication::setApplicationName(QString::fromLatin1(TMainForm::kApplicationTitle));
  form->DVXCOMPort.SetPort1(1);
  ASSERT_EQ(symlink(map.File("none").c_str(), map.File("COM1").c_str()), 0);  // its open fails with a box
  mvtest::OpenEveryWindow(*form, [](const mvtest::OpenWindow& w) {
    if (!w.opener) return;
    ASSERT_TRUE(WaitFor([&] { return TransientFor(w.window) != 0; }, 2000)) << w.name << " belongs to no window";
    EXPECT_EQ(TransientFor(w.window), static_cast<unsigned long>(w.opener->winId())) << w.name;
  });
}

}  // namespace
