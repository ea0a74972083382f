#include "control/ui/TControlStatusForm.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <cstring>

#include "control/control_rules.h"
#include "control/ui/round_lamp.h"
#include "control/ui/status_plot.h"
#include "core/prompts.h"
#include "core/ui/window_place.h"
#include "serial/TDVXCOMPort.h"
#include "serial/ui/TDVXCOMIndicator.h"

namespace mv::ui {

namespace {

QLabel* PlainLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  return label;
}

QPushButton* Button(const char* caption, const char* objectName, QWidget* parent) {
  auto* b = new QPushButton(QString::fromLatin1(caption), parent);
  b->setObjectName(QString::fromLatin1(objectName));
  b->setAccessibleName(QString::fromLatin1(caption));
  // Enter in an edit must reach the edit's own handler, never a default button.
  b->setAutoDefault(false);
  b->setDefault(false);
  return b;
}

bool IsEnterKey(int key) { return key == Qt::Key_Return || key == Qt::Key_Enter; }

QColor ToQColor(mv::LampColour c) { return QColor(c.r, c.g, c.b); }

// Whether both lamp groups have a lamp of this caption.
bool SharedLampCaption(const char* label) {
  const auto same = [label](const mv::LampInfo& l) { return std::strcmp(l.label, label) == 0; };
  return std::any_of(mv::kStatusLamps.begin(), mv::kStatusLamps.end(), same) &&
         std::any_of(mv::kInternalLamps.begin(), mv::kInternalLamps.end(), same);
}

// The port's lamps in the link health row: activity first, then the lines.
// Colours are 0xBBGGRR.
struct PortLampInfo {
  const char* objectName;
  const char* caption;
  const char* accessibleName;
  PLKDVX::TIndicatorType type;
  bool activity;  // a pulse per event: lit for kActivityOnTimeMs
  PLKDVX::TColour onColour;
};
constexpr PLKDVX::TColour kLampGreenOn = 0x00FF00;
constexpr PLKDVX::TColour kLampAmberOn = 0x00BFFF;
constexpr PLKDVX::TColour kLampRedOn = 0x0000FF;
constexpr std::array<PortLampInfo, 10> kPortLamps{{
    {"RXIndicator", "RX", "Received byte", PLKDVX::itRX, true, kLampGreenOn},
    {"TXIndicator", "TX", "Transmitting", PLKDVX::itTX, true, kLampAmberOn},
    {"ERRIndicator", "ERR", "Receive error", PLKDVX::itERR, true, kLampRedOn},
    {"BRKIndicator", "BRK", "Break received", PLKDVX::itBRK, true, kLampRedOn},
    {"CTSIndicator", "CTS", "CTS line", PLKDVX::itCTS, false, kLampGreenOn},
    {"DSRIndicator", "DSR", "DSR line", PLKDVX::itDSR, false, kLampGreenOn},
    {"CDIndicator", "CD", "Carrier detect line", PLKDVX::itCD, false, kLampGreenOn},
    {"RIIndicator", "RI", "Ring indicator line", PLKDVX::itRI, false, kLampGreenOn},
    {"RTSIndicator", "RTS", "RTS line", PLKDVX::itRTS, false, kLampGreenOn},
    {"DTRIndicator", "DTR", "DTR line", PLKDVX::itDTR, false, kLampGreenOn},
}};
// Long enough for a single received byte to be seen.
constexpr int kActivityOnTimeMs = 100;

PLKDVX::IndicatorLamp* LinkedLamp(const PLKDVX::TDVXCOMPort& port, PLKDVX::TIndicatorType type) {
  switch (type) {
    case PLKDVX::itBRK: return port.GetBRKIndicator();
    case PLKDVX::itCD: return port.GetCDIndicator();
    case PLKDVX::itCTS: return port.GetCTSIndicator();
    case PLKDVX::itDSR: return port.GetDSRIndicator();
    case PLKDVX::itDTR: return port.GetDTRIndicator();
    case PLKDVX::itERR: return port.GetERRIndicator();
    case PLKDVX::itRI: return port.GetRIIndicator();
    case PLKDVX::itRTS: return port.GetRTSIndicator();
    case PLKDVX::itRX: return port.GetRXIndicator();
    case PLKDVX::itTX: return port.GetTXIndicator();
  }
  return nullptr;
}

void LinkLamp(PLKDVX::TDVXCOMPort& port, PLKDVX::TIndicatorType type, PLKDVX::IndicatorLamp* lamp) {
  switch (type) {
    case PLKDVX::itBRK: port.SetBRKIndicator(lamp); break;
    case PLKDVX::itCD: port.SetCDIndicator(lamp); break;
    case PLKDVX::itCTS: port.SetCTSIndicator(lamp); break;
    case PLKDVX::itDSR: port.SetDSRIndicator(lamp); break;
    case PLKDVX::itDTR: port.SetDTRIndicator(lamp); break;
    case PLKDVX::itERR: port.SetERRIndicator(lamp); break;
    case PLKDVX::itRI: port.SetRIIndicator(lamp); break;
    case PLKDVX::itRTS: port.SetRTSIndicator(lamp); break;
    case PLKDVX::itRX: port.SetRXIndicator(lamp); break;
    case PLKDVX::itTX: port.SetTXIndicator(lamp); break;
  }
}

}  // namespace

TControlStatusForm::TControlStatusForm(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName(QStringLiteral("ControlStatusForm"));
  setWindowTitle(QStringLiteral("Motor Control/Status"));

  BuildCommandsGroup();
  BuildStatusGroup();
  StatusBitsGroupBox = BuildLampGroup(mv::kStatusLampGroup, "StatusBitsGroupBox", mv::kStatusLamps.data(),
                                      mv::kStatusLampCount, statusLamps_.data());
  InternalStatusBitsGroupBox = BuildLampGroup(mv::kInternalLampGroup, "InternalStatusBitsGroupBox",
                                              mv::kInternalLamps.data(), mv::kInternalLampCount, internalLamps_.data());

  GetStatusButton = Button("Get", "GetStatusButton", this);
  StatusUpdatePerLabeledEdit = new QLineEdit(QStringLiteral("250"), this);
  StatusUpdatePerLabeledEdit->setObjectName(QStringLiteral("StatusUpdatePerLabeledEdit"));
  StatusUpdatePerLabeledEdit->setAccessibleName(QStringLiteral("Repeat Period (mS)"));
  StatusUpdatePerLabeledEdit->setMaxLength(10);
  StatusUpdatePerLabeledEdit->setFixedWidth(60);
  auto* periodLabel = PlainLabel(QStringLiteral("Repeat Period (mS)"), this);
  periodLabel->setObjectName(QStringLiteral("StatusUpdatePerLabel"));
  periodLabel->setBuddy(StatusUpdatePerLabeledEdit);
  RepeatEnableCheckBox = new QCheckBox(QStringLiteral("Continuous Get"), this);
  RepeatEnableCheckBox->setObjectName(QStringLiteral("RepeatEnableCheckBox"));
  RepeatEnableCheckBox->setAccessibleName(QStringLiteral("Continuous Get"));

  auto* pollRow = new QGridLayout;
  pollRow->addWidget(periodLabel, 0, 1);
  pollRow->addWidget(GetStatusButton, 1, 0);
  pollRow->addWidget(StatusUpdatePerLabeledEdit, 1, 1);
  pollRow->addWidget(RepeatEnableCheckBox, 1, 2);
  RecordCheckBox = new QCheckBox(QStringLiteral("Record"), this);
  RecordCheckBox->setObjectName(QStringLiteral("RecordCheckBox"));
  RecordCheckBox->setAccessibleName(QStringLiteral("Record status log"));
  RecordCheckBox->setToolTip(QStringLiteral("Append every completed poll to a CSV file"));
  PlotButton = Button("Plot...", "PlotButton", this);
  TraceButton = Button("Trace...", "TraceButton", this);
  TraceButton->setToolTip(QStringLiteral("Every frame on the line, as Tools > Link Trace shows it"));
  TraceButton->hide();  // until there is a trace to show
  pollRow->addWidget(RecordCheckBox, 1, 3);
  pollRow->addWidget(PlotButton, 1, 4);
  pollRow->addWidget(TraceButton, 1, 5);
  pollRow->setColumnStretch(6, 1);

  auto* lampRow = new QHBoxLayout;
  lampRow->addWidget(StatusBitsGroupBox);
  lampRow->addWidget(InternalStatusBitsGroupBox, 0, Qt::AlignTop);

  auto* top = new QHBoxLayout;
  top->addWidget(CommandsGroupBox);
  top->addWidget(StatusGroupBox, 1);

  auto* root = new QVBoxLayout(this);
  root->addLayout(top);
  root->addLayout(lampRow);
  root->addLayout(pollRow);
  root->addLayout(BuildLinkHealthGroup());
  ResultLabel = PlainLabel(QString(), this);
  ResultLabel->setObjectName(QStringLiteral("ResultLabel"));
  ResultLabel->setAccessibleDescription(QStringLiteral("How the last request went"));
  ResultLabel->setWordWrap(true);
  root->addWidget(ResultLabel);
  root->setSizeConstraint(QLayout::SetFixedSize);

  Timer.setObjectName(QStringLiteral("Timer"));
  Timer.setTimerType(Qt::PreciseTimer);
  Timer.setInterval(period_);

  connect(MotorChangeButton, &QPushButton::clicked, this, &TControlStatusForm::MotorChangeButtonClick);
  connect(StartButton, &QPushButton::clicked, this, &TControlStatusForm::StartButtonClick);
  connect(StopButton, &QPushButton::clicked, this, &TControlStatusForm::StopButtonClick);
  connect(ResetButton, &QPushButton::clicked, this, &TControlStatusForm::ResetButtonClick);
  connect(MotorSpeedButton, &QPushButton::clicked, this, &TControlStatusForm::MotorSpeedButtonClick);
  connect(GetStatusButton, &QPushButton::clicked, this, &TControlStatusForm::GetStatusButtonClick);
  connect(&Timer, &QTimer::timeout, this, &TControlStatusForm::TimerTimer);
  MotorSpeedEdit->installEventFilter(this);
  StatusUpdatePerLabeledEdit->installEventFilter(this);
  connect(PlotButton, &QPushButton::clicked, this, &TControlStatusForm::PlotButtonClick);
  connect(TraceButton, &QPushButton::clicked, this, &TControlStatusForm::TraceButtonClick);
  connect(RecordCheckBox, &QCheckBox::clicked, this, &TControlStatusForm::RecordCheckBoxClick);
}

TControlStatusForm::~TControlStatusForm() = default;

void TControlStatusForm::BuildCommandsGroup() {
  CommandsGroupBox = new QGroupBox(QStringLiteral("Commands"), this);
  CommandsGroupBox->setObjectName(QStringLiteral("CommandsGroupBox"));

  MotorChangeButton = Button("Change", "MotorChangeButton", CommandsGroupBox);
  MotorChangeComboBox = new QComboBox(CommandsGroupBox);
  MotorChangeComboBox->setObjectName(QStringLiteral("MotorChangeComboBox"));
  for (int i = 1; i <= 6; ++i) MotorChangeComboBox->addItem(QStringLiteral("P%1").arg(i, 2, 10, QLatin1Char('0')));
  MotorChangeComboBox->setCurrentIndex(0);
  MotorChangeComboBox->setAccessibleName(QStringLiteral("Motor profile to activate"));
  auto* profileLabel = PlainLabel(QStringLiteral("Profile"), CommandsGroupBox);
  profileLabel->setObjectName(QStringLiteral("MotorChangeLabel"));
  profileLabel->setBuddy(MotorChangeComboBox);

  StartButton = Button("Start", "StartButton", CommandsGroupBox);
  StopButton = Button("Stop", "StopButton", CommandsGroupBox);
  ResetButton = Button("Reset", "ResetButton", CommandsGroupBox);

  MotorSpeedButton = Button("Speed", "MotorSpeedButton", CommandsGroupBox);
  MotorSpeedEdit = new QLineEdit(QStringLiteral("6000"), CommandsGroupBox);
  MotorSpeedEdit->setObjectName(QStringLiteral("MotorSpeedEdit"));
  MotorSpeedEdit->setAccessibleName(QStringLiteral("RPM"));  // its label's text
  MotorSpeedEdit->setAccessibleDescription(QStringLiteral("Speed sent by Speed, 3000 to 100000 RPM"));
  MotorSpeedEdit->setMaxLength(10);
  MotorSpeedEdit->setFixedWidth(70);
  auto* rpmLabel = PlainLabel(QStringLiteral("RPM"), CommandsGroupBox);
  rpmLabel->setObjectName(QStringLiteral("MotorSpeedRPMLabel"));
  rpmLabel->setBuddy(MotorSpeedEdit);

  auto* grid = new QGridLayout(CommandsGroupBox);
  grid->addWidget(MotorChangeButton, 0, 0);
  grid->addWidget(profileLabel, 0, 1);
  grid->addWidget(MotorChangeComboBox, 0, 2);
  grid->addWidget(StartButton, 1, 0);
  grid->addWidget(StopButton, 2, 0);
  grid->addWidget(ResetButton, 3, 0);
  auto* speedRow = new QHBoxLayout;
  speedRow->addWidget(MotorSpeedEdit);
  speedRow->addWidget(rpmLabel);
  speedRow->addStretch(1);
  grid->addWidget(MotorSpeedButton, 4, 0);
  grid->addLayout(speedRow, 4, 1, 1, 2);
  grid->setRowStretch(5, 1);
}

void TControlStatusForm::BuildStatusGroup() {
  StatusGroupBox = new QGroupBox(QStringLiteral("Status"), this);
  StatusGroupBox->setObjectName(QStringLiteral("StatusGroupBox"));
  auto* grid = new QGridLayout(StatusGroupBox);
  for (std::size_t i = 0; i < mv::kStatusFieldCount; ++i) {
    const mv::StatusFieldInfo& info = mv::kStatusFields[i];
    auto* edit = new QLineEdit(QStringLiteral("0"), StatusGroupBox);
    edit->setObjectName(QString::fromLatin1(info.objectName));
    edit->setReadOnly(true);
    edit->setAccessibleName(QString::fromLatin1(info.label));
    edit->setFixedWidth(100);
    auto* label = PlainLabel(QString::fromLatin1(info.label), StatusGroupBox);
    label->setObjectName(
        QString::fromLatin1(info.objectName).replace(QStringLiteral("LabeledEdit"), QStringLiteral("Label")));
    label->setBuddy(edit);
    const int row = static_cast<int>(i / 3) * 2;
    const int col = static_cast<int>(i % 3);
    grid->addWidget(label, row, col);
    grid->addWidget(edit, row + 1, col);
    statusEdits_[i] = edit;
  }
}

QGroupBox* TControlStatusForm::BuildLampGroup(const char* title, const char* objectName, const mv::LampInfo* lamps,
                                              std::size_t count, RoundLamp** out) {
  auto* group = new QGroupBox(QString::fromLatin1(title), this);
  group->setObjectName(QString::fromLatin1(objectName));
  auto* grid = new QGridLayout(group);
  const std::size_t perColumn = 4;
  for (std::size_t i = 0; i < count; ++i) {
    auto* lamp = new RoundLamp(group);
    lamp->setObjectName(QString::fromLatin1(lamps[i].objectName));
    // A caption both groups show is heard with its group.
    const QString caption = QString::fromLatin1(lamps[i].label);
    lamp->setAccessibleName(
        SharedLampCaption(lamps[i].label) ? QString::fromLatin1(title) + QStringLiteral(": ") + caption : caption);
    auto* label = PlainLabel(QString::fromLatin1(lamps[i].label), group);
    label->setObjectName(
        QString::fromLatin1(lamps[i].objectName).replace(QStringLiteral("Shape"), QStringLiteral("Label")));
    const int row = static_cast<int>(i % perColumn);
    const int col = static_cast<int>(i / perColumn) * 2;
    grid->addWidget(lamp, row, col);
    grid->addWidget(label, row, col + 1);
    out[i] = lamp;
  }
  grid->setColumnStretch(4, 1);
  // The lamps are displays only; the group takes no input.
  group->setEnabled(false);
  return group;
}

void TControlStatusForm::SetRequests(mv::ControlStatusRequests& requests) {
  requests_ = &requests;
  requests.SetResultSink(mv::ControlResultSink::Bind<&TControlStatusForm::RequestEnded>(this));
}

void TControlStatusForm::RequestEnded(const mv::ControlResult& r) {
  using mv::ControlRequestKind;
  const bool poll = r.kind == ControlRequestKind::Status || r.kind == ControlRequestKind::TimerStatus;
  // A tick that finds the previous poll still running is lost, as ever: the
  // Busy counter says so, the user did nothing.
  if (r.kind == ControlRequestKind::TimerStatus && r.end.outcome == mv::RequestOutcome::RefusedBusy) return;
  if (poll && r.end.trusted) ShowPoll(r.status);
  if (poll && r.Ok()) StatusPollDone(r.status.values);
  if (r.Ok()) {
    if (!poll) TellResult(QString());
    return;
  }
  QString caption;
  switch (r.kind) {
    case ControlRequestKind::ChangeProfile: caption = QStringLiteral("Change"); break;
    case ControlRequestKind::Start: caption = QStringLiteral("Start"); break;
    case ControlRequestKind::Stop: caption = QStringLiteral("Stop"); break;
    case ControlRequestKind::Reset: caption = QStringLiteral("Reset"); break;
    case ControlRequestKind::SetSpeed: caption = QStringLiteral("Speed"); break;
    case ControlRequestKind::Status: caption = QStringLiteral("Get"); break;
    case ControlRequestKind::TimerStatus: caption = QStringLiteral("Continuous Get"); break;
  }
  mv::RequestEnd end = r.end;
  if (end.outcome == mv::RequestOutcome::Completed) end.outcome = mv::RequestOutcome::Shifted;
  TellResult(caption + QStringLiteral(": ") + QString::fromStdString(mv::OutcomeWords(end)));
}

void TControlStatusForm::TellResult(const QString& text) {
  if (ResultLabel->text() == text) return;
  ResultLabel->setText(text);
  if (text.isEmpty()) return;
  // Heard wherever the focus is.
  QAccessibleEvent alert(ResultLabel, QAccessible::Alert);
  QAccessible::updateAccessibility(&alert);
}

void TControlStatusForm::ShowPoll(const mv::StatusReading& s) {
  for (const mv::StatusFieldInfo& f : mv::kStatusFields)
    if (s.Answered(f.field))
      statusEdits_[static_cast<std::size_t>(f.field)]->setText(QString::fromLatin1(s.Text(f.field)));
  if (s.values.Has(mv::StatusField::Status)) SetStatusLamps(s.values.StatusWord());
  if (s.values.Has(mv::StatusField::InternalStatus)) SetInternalStatusLamps(s.values.InternalStatusWord());
}

QLayout* TControlStatusForm::BuildLinkHealthGroup() {
  LinkHealthGroupBox = new QGroupBox(QStringLiteral("Link"), this);
  LinkHealthGroupBox->setObjectName(QStringLiteral("LinkHealthGroupBox"));
  auto* grid = new QGridLayout(LinkHealthGroupBox);

  // Values are heard as they show; what they are is their description.
  auto value = [this](const char* objectName, const char* what) {
    auto* label = PlainLabel(QStringLiteral("-"), LinkHealthGroupBox);
    label->setObjectName(QString::fromLatin1(objectName));
    label->setAccessibleDescription(QString::fromLatin1(what));
    label->setMinimumWidth(label->fontMetrics().horizontalAdvance(QStringLiteral("00.0 /s of 5.0 /s")));
    return label;
  };
  RoundTripLabel = value("RoundTripLabel", "Round trip of the last request");
  PollRateLabel = value("PollRateLabel", "Achieved poll rate");
  auto* rttCaption = PlainLabel(QStringLiteral("Round trip:"), LinkHealthGroupBox);
  rttCaption->setObjectName(QStringLiteral("RoundTripCaptionLabel"));
  auto* rateCaption = PlainLabel(QStringLiteral("Poll rate:"), LinkHealthGroupBox);
  rateCaption->setObjectName(QStringLiteral("PollRateCaptionLabel"));
  grid->addWidget(rttCaption, 0, 0);
  grid->addWidget(RoundTripLabel, 0, 1);
  grid->addWidget(rateCaption, 0, 2);
  grid->addWidget(PollRateLabel, 0, 3);
  grid->setColumnStretch(4, 1);

  auto* lamps = new QHBoxLayout;
  for (std::size_t i = 0; i < kPortLamps.size(); ++i) {
    const PortLampInfo& info = kPortLamps[i];
    auto* lamp = new PLKDVX::TDVXCOMIndicator(LinkHealthGroupBox);
    lamp->setObjectName(QString::fromLatin1(info.objectName));
    lamp->setAccessibleName(QString::fromLatin1(info.accessibleName));
    lamp->setFixedSize(13, 13);
    lamp->SetOnColour(info.onColour);
    if (info.activity) lamp->SetOnTime(kActivityOnTimeMs);
    auto* caption = PlainLabel(QString::fromLatin1(info.caption), LinkHealthGroupBox);
    caption->setObjectName(
        QString::fromLatin1(info.objectName).replace(QStringLiteral("Indicator"), QStringLiteral("IndicatorLabel")));
    if (i == 4) lamps->addSpacing(12);  // activity | lines
    lamps->addWidget(lamp);
    lamps->addWidget(caption);
    lamps->addSpacing(4);
    portLamps_[i] = lamp;
  }
  lamps->addStretch(1);
  grid->addLayout(lamps, 1, 0, 1, 5);

  auto* row = new QVBoxLayout;
  row->setContentsMargins(0, 0, 0, 0);
  row->addWidget(LinkHealthGroupBox);
  return row;
}

void TControlStatusForm::SetPort(PLKDVX::TDVXCOMPort* port) {
  if (port == port_) return;
  if (port_ != nullptr)
    for (std::size_t i = 0; i < kPortLamps.size(); ++i)
      if (LinkedLamp(*port_, kPortLamps[i].type) == portLamps_[i]) LinkLamp(*port_, kPortLamps[i].type, nullptr);
  port_ = port;
  if (port_ != nullptr)
    for (std::size_t i = 0; i < kPortLamps.size(); ++i) LinkLamp(*port_, kPortLamps[i].type, portLamps_[i]);
}

void TControlStatusForm::SetPrompts(mv::Prompts* prompts) { prompts_ = prompts; }

void TControlStatusForm::SetTraceMaker(std::function<QWidget*(QWidget* owner)> maker) {
  traceMaker_ = std::move(maker);
  TraceButton->setVisible(static_cast<bool>(traceMaker_));
}

double TControlStatusForm::MonotonicSeconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void TControlStatusForm::PlotButtonClick() {
  if (plot_ == nullptr) {
    // A child of this window, so it takes input while this window is modal.
    plot_ = new TStatusPlotForm(history_, this);
    connect(plot_, &TStatusPlotForm::ClearRequested, this, [this] {
      history_.Clear();
      plot_->HistoryCleared();
    });
  }
  ShowBeside(plot_);
}

void TControlStatusForm::TraceButtonClick() {
  if (trace_ == nullptr && traceMaker_) trace_ = traceMaker_(this);
  if (trace_ != nullptr) ShowBeside(trace_);
}

void TControlStatusForm::ShowBeside(QWidget* window) {
  // Beside this window: being transient for it, the window stays above it,
  // so it must never lie over the commands (Stop among them).
  if (!window->isVisible())
    mv::ui::PlaceBesideOwner(window, QRect(CommandsGroupBox->mapToGlobal(QPoint(0, 0)), CommandsGroupBox->size()));
  window->show();
  window->raise();
  window->activateWindow();
}

void TControlStatusForm::RecordCheckBoxClick(bool checked) {
  std::string error;
  if (!checked) {
    if (!csv_.Close(error) && prompts_) prompts_->ShowMessage(mv::OwnerOf(this), error);
    return;
  }
  if (!prompts_) {  // nothing to ask for a file with
    RecordCheckBox->setChecked(false);
    return;
  }
  mv::FileDialogOptions options;
  options.title = "Record Status Log";
  options.filter = "CSV Files|*.csv";
  options.initialFile = "status.csv";
  options.defaultExt = "csv";
  options.confirmOverwrite = false;  // polls are appended, nothing is replaced
  std::string path;
  if (!prompts_->SaveFile(mv::OwnerOf(this), options, path)) {
    RecordCheckBox->setChecked(false);
    return;
  }
  if (!csv_.Open(path, error)) {
    RecordCheckBox->setChecked(false);
    prompts_->ShowMessage(mv::OwnerOf(this), error);
  }
}

void TControlStatusForm::StopRecording(const std::string& message) {
  std::string ignored;
  csv_.Close(ignored);
  RecordCheckBox->setChecked(false);
  // Called while a result is delivered: the message box waits until the engine is done.
  if (!message.empty() && prompts_)
    QTimer::singleShot(0, this, [this, message] { prompts_->ShowMessage(mv::OwnerOf(this), message); });
}

void TControlStatusForm::ShowRateIdle() {
  pollRate_.Reset();
  PollRateLabel->setText(QStringLiteral("-"));
}

void TControlStatusForm::StatusPollDone(const mv::StatusValues& values) {
  const double now = MonotonicSeconds();
  history_.Add(now, values);
  if (plot_ != nullptr) plot_->DataAdded();

  const std::int64_t rtt = requests_ != nullptr ? requests_->Sender().LastRoundTripNs() : -1;
  RoundTripLabel->setText(rtt < 0 ? QStringLiteral("-")
                                  : QStringLiteral("%1 ms").arg(static_cast<double>(rtt) / 1e6, 0, 'f', 1));
  if (Timer.isActive()) {
    pollRate_.Completed(now);
    const double rate = pollRate_.Rate(now);
    if (rate > 0)
      PollRateLabel->setText(
          QStringLiteral("%1 /s of %2 /s").arg(rate, 0, 'f', 1).arg(1000.0 / Timer.interval(), 0, 'f', 1));
  }

  if (csv_.IsOpen()) {
    std::string error;
    if (!csv_.Append(mv::WallClockMs(), values, error)) StopRecording(error);
  }
}

void TControlStatusForm::hideEvent(QHideEvent* event) {
  QDialog::hideEvent(event);
  if (plot_ != nullptr && !event->spontaneous()) plot_->hide();
}

void TControlStatusForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) {
    adjustSize();
    mv::ui::CentreOverOwner(this);
    FormShow();
    // Never where it was left: a focus left on Stop is one Shift+Tab from
    // Start. "Get" only reads the status.
    GetStatusButton->setFocus(Qt::OtherFocusReason);
  }
}

void TControlStatusForm::FormShow() {
  MotorSpeedEditExit();
  StatusUpdatePerLabeledEditExit();
}

bool TControlStatusForm::FormCloseQuery() {
  if (Timer.isActive()) {
    RepeatEnableCheckBox->setChecked(false);
    return false;
  }
  return true;
}

void TControlStatusForm::reject() {
  // The close button, Escape and close() all end here: closing only hides.
  if (!FormCloseQuery()) return;
  QDialog::reject();
}

void TControlStatusForm::MotorChangeButtonClick() {
  if (requests_ != nullptr) requests_->Change(MotorChangeComboBox->currentIndex());
}
void TControlStatusForm::StartButtonClick() {
  if (requests_ != nullptr) requests_->Start();
}
void TControlStatusForm::StopButtonClick() {
  if (requests_ != nullptr) requests_->Stop();
}
void TControlStatusForm::ResetButtonClick() {
  if (requests_ != nullptr) requests_->Reset();
}
void TControlStatusForm::MotorSpeedButtonClick() {
  if (requests_ != nullptr) requests_->Speed(static_cast<std::uint32_t>(speed_));
}

void TControlStatusForm::MotorSpeedEditExit() {
  const std::int32_t v = mv::SpeedOnExit(MotorSpeedEdit->text().toStdString(), previousSpeed_);
  speed_ = v;
  previousSpeed_ = v;
  MotorSpeedEdit->setText(QString::number(v));
}

bool TControlStatusForm::MotorSpeedEditKeyDown(int key) {
  const std::string text = MotorSpeedEdit->text().toStdString();
  std::int32_t v = 0;
  if (key == Qt::Key_Up)
    v = mv::SpeedOnUp(text);
  else if (key == Qt::Key_Down)
    v = mv::SpeedOnDown(text);
  else if (IsEnterKey(key))
    v = mv::SpeedOnEnter(text);
  else
    return false;
  MotorSpeedEdit->setText(QString::number(v));
  speed_ = v;
  MotorSpeedButtonClick();
  return true;
}

void TControlStatusForm::GetStatusButtonClick() {
  if (requests_ != nullptr) requests_->GetStatus();
  if (RepeatEnableCheckBox->isChecked()) {
    // The edit holds an accepted period: it was normalised when it was left.
    StatusUpdatePerLabeledEditExit();
    Timer.setInterval(period_);
    Timer.start();
    ShowRateIdle();  // the rate counts from this start
  }
}

void TControlStatusForm::TimerTimer() {
  if (RepeatEnableCheckBox->isChecked()) {
    if (requests_ != nullptr) requests_->TimerStatus();  // refused while a request runs: this poll is lost
  } else {
    Timer.stop();
    ShowRateIdle();
  }
}

void TControlStatusForm::StatusUpdatePerLabeledEditExit() {
  const std::int32_t v = mv::PeriodOnExit(StatusUpdatePerLabeledEdit->text().toStdString(), previousPeriod_);
  period_ = v;
  previousPeriod_ = v;
  StatusUpdatePerLabeledEdit->setText(QString::number(v));
}

bool TControlStatusForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == MotorSpeedEdit) {
    if (event->type() == QEvent::KeyPress) {
      if (MotorSpeedEditKeyDown(static_cast<QKeyEvent*>(event)->key())) return true;
    } else if (event->type() == QEvent::FocusOut) {
      MotorSpeedEditExit();
    }
  } else if (watched == StatusUpdatePerLabeledEdit) {
    if (event->type() == QEvent::KeyPress && IsEnterKey(static_cast<QKeyEvent*>(event)->key())) {
      StatusUpdatePerLabeledEditExit();
      return true;
    }
    if (event->type() == QEvent::FocusOut) StatusUpdatePerLabeledEditExit();
  }
  return QDialog::eventFilter(watched, event);
}

void TControlStatusForm::SetStatusLamps(std::uint16_t statusWord) {
  for (std::size_t i = 0; i < mv::kStatusLampCount; ++i) {
    statusLamps_[i]->SetFill(ToQColor(mv::LampColourFor(mv::kStatusLamps[i], statusWord)));
    statusLamps_[i]->SetOn((statusWord & mv::kStatusLamps[i].mask) != 0);
  }
}

void TControlStatusForm::SetInternalStatusLamps(std::uint16_t internalStatusWord) {
  for (std::size_t i = 0; i < mv::kInternalLampCount; ++i) {
    internalLamps_[i]->SetFill(ToQColor(mv::LampColourFor(mv::kInternalLamps[i], internalStatusWord)));
    internalLamps_[i]->SetOn((internalStatusWord & mv::kInternalLamps[i].mask) != 0);
  }
}

}  // namespace mv::ui
