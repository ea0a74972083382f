// The control/status window: activates a motor profile, starts, stops and
// resets the motor, sets its speed, and reads the drive's nine status values
// once or periodically. It never touches the port: every request goes through
// the control request tables the main window hands it (SetRequests) before it
// is shown. The window is made once and only hidden when closed.
#pragma once

#include <QDialog>
#include <QTimer>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "control/status_csv.h"
#include "control/status_history.h"
#include "control/status_requests.h"

class QCheckBox;
class QLabel;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;

namespace mv {
class Prompts;
}  // namespace mv

namespace PLKDVX {
class TDVXCOMPort;
class TDVXCOMIndicator;
}  // namespace PLKDVX

namespace mv::ui {

class RoundLamp;
class TStatusPlotForm;

class TControlStatusForm : public QDialog {
  Q_OBJECT

 public:
  explicit TControlStatusForm(QWidget* owner = nullptr);
  ~TControlStatusForm() override;

  // The control request tables (the drive session's), sending through the
  // main window's engine; set before showing. The window shows what their
  // results bring and says when a request did not go well.
  void SetRequests(mv::ControlStatusRequests& requests);

  // Accepted values (what the commands and the poll use).
  std::int32_t Speed() const { return speed_; }
  std::int32_t PreviousSpeed() const { return previousSpeed_; }
  std::int32_t StatusPeriod() const { return period_; }
  const QTimer& PollTimer() const { return Timer; }
  // Link health: the port whose activity and line lamps the window shows.
  // The window links its ten lamps through the port's lamp links (and takes
  // them back from a port set before); null unlinks. The port must outlive
  // the window or be replaced by null first.
  void SetPort(PLKDVX::TDVXCOMPort* port);
  // The message boxes and file dialogs of "Record", raised as this window's.
  // Without them "Record" cannot ask for a file and stays off.
  void SetPrompts(mv::Prompts* prompts);
  // Makes the link trace window for this window ("Trace..."), a child of the
  // given owner so that it takes input while this window is modal. Without
  // it the button is hidden.
  void SetTraceMaker(std::function<QWidget*(QWidget* owner)> maker);

  // Recent completed polls (the plot's data), the status log and the plot.
  const mv::StatusHistory& History() const { return history_; }
  const mv::StatusCsvWriter& StatusLog() const { return csv_; }
  TStatusPlotForm* PlotForm() const { return plot_; }
  QWidget* TraceWindow() const { return trace_; }
  // Seconds on the monotonic clock the history and the poll rate use.
  double MonotonicSeconds() const;

 public slots:
  void FormShow();
  // True when the window may close: false (and "Continuous Get" unchecked)
  // while the poll timer runs.
  bool FormCloseQuery();

  void MotorChangeButtonClick();
  void StartButtonClick();
  void StopButtonClick();
  void ResetButtonClick();
  void MotorSpeedButtonClick();
  void MotorSpeedEditExit();
  // Up, Down and Enter; returns true when the key was one of them.
  bool MotorSpeedEditKeyDown(int key);
  void GetStatusButtonClick();
  void TimerTimer();
  void StatusUpdatePerLabeledEditExit();
  // "Plot...": shows the plot window (made on first use).
  void PlotButtonClick();
  // "Trace...": shows the link trace window (made on first use).
  void TraceButtonClick();
  // "Record" toggled: on asks for a CSV file and starts the status log, off
  // closes it.
  void RecordCheckBoxClick(bool checked);

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void reject() override;
  void hideEvent(QHideEvent* event) override;
  // Shows a window of this one where it never covers the commands.
  void ShowBeside(QWidget* window);

 private:
  void RequestEnded(const mv::ControlResult& result);
  void ShowPoll(const mv::StatusReading& reading);
  void StatusPollDone(const mv::StatusValues& values);
  void SetStatusLamps(std::uint16_t statusWord);
  void SetInternalStatusLamps(std::uint16_t internalStatusWord);
  // Says it on ResultLabel and to screen readers.
  void TellResult(const QString& text);

  void BuildCommandsGroup();
  void BuildStatusGroup();
  QGroupBox* BuildLampGroup(const char* title, const char* objectName, const mv::LampInfo* lamps, std::size_t count,
                            RoundLamp** out);
  QLayout* BuildLinkHealthGroup();
  void StopRecording(const std::string& message);
  void ShowRateIdle();

  mv::ControlStatusRequests* requests_ = nullptr;

  QGroupBox* CommandsGroupBox = nullptr;
  QComboBox* MotorChangeComboBox = nullptr;
  QPushButton* MotorChangeButton = nullptr;
  QPushButton* StartButton = nullptr;
  QPushButton* StopButton = nullptr;
  QPushButton* ResetButton = nullptr;
  QPushButton* MotorSpeedButton = nullptr;
  QLineEdit* MotorSpeedEdit = nullptr;

  QGroupBox* StatusGroupBox = nullptr;
  std::array<QLineEdit*, mv::kStatusFieldCount> statusEdits_{};

  QGroupBox* StatusBitsGroupBox = nullptr;
  QGroupBox* InternalStatusBitsGroupBox = nullptr;
  std::array<RoundLamp*, mv::kStatusLampCount> statusLamps_{};
  std::array<RoundLamp*, mv::kInternalLampCount> internalLamps_{};

  QPushButton* GetStatusButton = nullptr;
  QLineEdit* StatusUpdatePerLabeledEdit = nullptr;
  QCheckBox* RepeatEnableCheckBox = nullptr;
  QTimer Timer;

  // Additions: live plot, status log and link health.
  QPushButton* PlotButton = nullptr;
  QPushButton* TraceButton = nullptr;
  QCheckBox* RecordCheckBox = nullptr;
  QGroupBox* LinkHealthGroupBox = nullptr;
  QLabel* RoundTripLabel = nullptr;  // value of the last request's round trip
  QLabel* PollRateLabel = nullptr;   // achieved polls per second
  QLabel* ResultLabel = nullptr;     // how the last request that went wrong ended
  std::array<PLKDVX::TDVXCOMIndicator*, 10> portLamps_{};
  PLKDVX::TDVXCOMPort* port_ = nullptr;
  mv::Prompts* prompts_ = nullptr;
  mv::StatusHistory history_;
  mv::PollRateMeter pollRate_;
  mv::StatusCsvWriter csv_;
  TStatusPlotForm* plot_ = nullptr;
  std::function<QWidget*(QWidget* owner)> traceMaker_;
  QWidget* trace_ = nullptr;

  std::int32_t speed_ = 6000;
  std::int32_t previousSpeed_ = 6000;
  std::int32_t period_ = 250;
  std::int32_t previousPeriod_ = 250;
};

}  // namespace mv::ui
