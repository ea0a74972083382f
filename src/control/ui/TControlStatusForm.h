// The control/status window: activates a motor profile, starts, stops and
// resets the motor, sets its speed, and reads the drive's nine status values
// once or periodically. It never touches the port: every request goes through
// the request sender the main window hands it (SetRequestSender) before it is
// shown. The window is made once and only hidden when closed.
#pragma once

#include <QDialog>
#include <QTimer>
#include <array>
#include <cstdint>
#include <memory>

#include "control/status_requests.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;

namespace mv {
class RoundLamp;
}

class TControlStatusForm : public QDialog, private mv::ControlStatusView {
  Q_OBJECT

 public:
  explicit TControlStatusForm(QWidget* owner = nullptr);
  ~TControlStatusForm() override;

  // The main window's SendRequest bound to its engine; set before showing.
  void SetRequestSender(mv::RequestSender sender);

  // Accepted values (what the commands and the poll use).
  std::int32_t Speed() const { return speed_; }
  std::int32_t PreviousSpeed() const { return previousSpeed_; }
  std::int32_t StatusPeriod() const { return period_; }
  const QTimer& PollTimer() const { return Timer; }
  // The request tables, so a caller can recognise the window's requests.
  const mv::ControlStatusRequests& Requests() const { return *requests_; }

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

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void reject() override;

 private:
  // mv::ControlStatusView
  void SetStatusFieldText(mv::StatusField field, const char* text) override;
  void SetStatusLamps(std::uint16_t statusWord) override;
  void SetInternalStatusLamps(std::uint16_t internalStatusWord) override;

  void BuildCommandsGroup();
  void BuildStatusGroup();
  QGroupBox* BuildLampGroup(const char* title, const char* objectName, const mv::LampInfo* lamps,
                            std::size_t count, mv::RoundLamp** out);
  void CentreOverOwner();

  std::unique_ptr<mv::ControlStatusRequests> requests_;

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
  std::array<mv::RoundLamp*, mv::kStatusLampCount> statusLamps_{};
  std::array<mv::RoundLamp*, mv::kInternalLampCount> internalLamps_{};

  QPushButton* GetStatusButton = nullptr;
  QLineEdit* StatusUpdatePerLabeledEdit = nullptr;
  QCheckBox* RepeatEnableCheckBox = nullptr;
  QTimer Timer;

  std::int32_t speed_ = 6000;
  std::int32_t previousSpeed_ = 6000;
  std::int32_t period_ = 250;
  std::int32_t previousPeriod_ = 250;
};
