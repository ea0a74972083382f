#include "control/ui/TControlStatusForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include "control/control_rules.h"
#include "control/ui/round_lamp.h"

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

}  // namespace

TControlStatusForm::TControlStatusForm(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint),
      requests_(std::make_unique<mv::ControlStatusRequests>(static_cast<mv::ControlStatusView&>(*this))) {
  setObjectName(QStringLiteral("ControlStatusForm"));
  setWindowTitle(QStringLiteral("Motor Control/Status"));

  BuildCommandsGroup();
  BuildStatusGroup();
  StatusBitsGroupBox = BuildLampGroup(mv::kStatusLampGroup, "StatusBitsGroupBox", mv::kStatusLamps.data(),
                                      mv::kStatusLampCount, statusLamps_.data());
  InternalStatusBitsGroupBox =
      BuildLampGroup(mv::kInternalLampGroup, "InternalStatusBitsGroupBox", mv::kInternalLamps.data(),
                     mv::kInternalLampCount, internalLamps_.data());

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
  pollRow->setColumnStretch(3, 1);

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
  MotorSpeedEdit->setAccessibleName(QStringLiteral("Speed (RPM)"));
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
    label->setObjectName(QString::fromLatin1(info.objectName).replace(QStringLiteral("LabeledEdit"),
                                                                       QStringLiteral("Label")));
    label->setBuddy(edit);
    const int row = static_cast<int>(i / 3) * 2;
    const int col = static_cast<int>(i % 3);
    grid->addWidget(label, row, col);
    grid->addWidget(edit, row + 1, col);
    statusEdits_[i] = edit;
  }
}

QGroupBox* TControlStatusForm::BuildLampGroup(const char* title, const char* objectName, const mv::LampInfo* lamps,
                                              std::size_t count, mv::RoundLamp** out) {
  auto* group = new QGroupBox(QString::fromLatin1(title), this);
  group->setObjectName(QString::fromLatin1(objectName));
  auto* grid = new QGridLayout(group);
  const std::size_t perColumn = 4;
  for (std::size_t i = 0; i < count; ++i) {
    auto* lamp = new mv::RoundLamp(group);
    lamp->setObjectName(QString::fromLatin1(lamps[i].objectName));
    lamp->setAccessibleName(QString::fromLatin1(lamps[i].label));
    auto* label = PlainLabel(QString::fromLatin1(lamps[i].label), group);
    label->setObjectName(QString::fromLatin1(lamps[i].objectName).replace(QStringLiteral("Shape"),
                                                                           QStringLiteral("Label")));
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

void TControlStatusForm::SetRequestSender(mv::RequestSender sender) { requests_->SetRequestSender(sender); }

void TControlStatusForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) {
    CentreOverOwner();
    FormShow();
  }
}

void TControlStatusForm::CentreOverOwner() {
  adjustSize();
  const QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
  if (!owner) return;
  const QRect o = owner->frameGeometry();
  move(o.left() + o.width() / 2 - width() / 2, o.top() + o.height() / 2 - height() / 2);
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

void TControlStatusForm::MotorChangeButtonClick() { requests_->Change(MotorChangeComboBox->currentIndex()); }
void TControlStatusForm::StartButtonClick() { requests_->Start(); }
void TControlStatusForm::StopButtonClick() { requests_->Stop(); }
void TControlStatusForm::ResetButtonClick() { requests_->Reset(); }
void TControlStatusForm::MotorSpeedButtonClick() { requests_->Speed(static_cast<std::uint32_t>(speed_)); }

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
  requests_->GetStatus();
  if (RepeatEnableCheckBox->isChecked()) {
    // The edit holds an accepted period: it was normalised when it was left.
    StatusUpdatePerLabeledEditExit();
    Timer.setInterval(period_);
    Timer.start();
  }
}

void TControlStatusForm::TimerTimer() {
  if (RepeatEnableCheckBox->isChecked())
    requests_->TimerStatus();  // refused while a request runs: this poll is lost
  else
    Timer.stop();
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

void TControlStatusForm::SetStatusFieldText(mv::StatusField field, const char* text) {
  statusEdits_[static_cast<std::size_t>(field)]->setText(QString::fromLatin1(text));
}

void TControlStatusForm::SetStatusLamps(std::uint16_t statusWord) {
  for (std::size_t i = 0; i < mv::kStatusLampCount; ++i)
    statusLamps_[i]->SetFill(ToQColor(mv::LampColourFor(mv::kStatusLamps[i], statusWord)));
}

void TControlStatusForm::SetInternalStatusLamps(std::uint16_t internalStatusWord) {
  for (std::size_t i = 0; i < mv::kInternalLampCount; ++i)
    internalLamps_[i]->SetFill(ToQColor(mv::LampColourFor(mv::kInternalLamps[i], internalStatusWord)));
}
