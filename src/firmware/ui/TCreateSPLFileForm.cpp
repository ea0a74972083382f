#include "firmware/ui/TCreateSPLFileForm.h"

#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>
#include <filesystem>
#include <system_error>

#include "firmware/spl_builder.h"

namespace mv::ui {

namespace {

QLabel* PlainLabel(const QString& text, const char* objectName, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  label->setObjectName(QString::fromLatin1(objectName));
  return label;
}

// An edit is heard by its label's text (the label is made by the caller and
// names it too); what the field is goes in its description.
QLineEdit* Edit(const char* objectName, const char* label, const char* description, QWidget* parent) {
  auto* e = new QLineEdit(parent);
  e->setObjectName(QString::fromLatin1(objectName));
  e->setAccessibleName(QString::fromLatin1(label));
  e->setAccessibleDescription(QString::fromLatin1(description));
  return e;
}

// A button is heard by its caption first ("Select hex file").
QPushButton* Button(const char* caption, const char* objectName, const char* accessibleName, QWidget* parent) {
  auto* b = new QPushButton(QString::fromLatin1(caption), parent);
  b->setObjectName(QString::fromLatin1(objectName));
  b->setAccessibleName(QString::fromLatin1(accessibleName));
  // Enter in an edit is the edit's business, never a default button's.
  b->setAutoDefault(false);
  b->setDefault(false);
  return b;
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

std::string FileNameOf(const std::string& path) { return std::filesystem::path(path).filename().string(); }

bool IsEnterKey(const QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  const int key = static_cast<const QKeyEvent*>(event)->key();
  return key == Qt::Key_Return || key == Qt::Key_Enter;
}

}  // namespace

TCreateSPLFileForm::TCreateSPLFileForm(QWidget* owner, mv::ImageBuilderSettings& settings,
                                       const std::array<mv::MotorProfile, mv::kSlotCount>& profiles,
                                       mv::Prompts& prompts)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint),
      settings_(settings),
      profiles_(profiles),
      prompts_(prompts) {
  setObjectName(QStringLiteral("CreateSPLFileForm"));
  setWindowTitle(QStringLiteral("Create SPL File"));

  // "Hex File"
  auto* hexGroup = new QGroupBox(QStringLiteral("Hex File"), this);
  hexGroup->setObjectName(QStringLiteral("HexFileGroupBox"));
  HexFileEdit = Edit("HexFileEdit", "File", "Hex file", hexGroup);
  HexFileEdit->setReadOnly(true);
  HexFileEdit->setMinimumWidth(260);
  auto* hexLabel = PlainLabel(QStringLiteral("File"), "HexFileLabel", hexGroup);
  hexLabel->setBuddy(HexFileEdit);
  SelectHexFileButton = Button("&Select", "SelectHexFileButton", "Select hex file", hexGroup);
  auto* hexRow = new QHBoxLayout(hexGroup);
  hexRow->addWidget(hexLabel);
  hexRow->addWidget(HexFileEdit, 1);
  hexRow->addWidget(SelectHexFileButton);

  // "Configuration"
  auto* configGroup = new QGroupBox(QStringLiteral("Configuration"), this);
  configGroup->setObjectName(QStringLiteral("ConfigurationGroupBox"));
  AppStartAddressLabeledEdit = Edit("AppStartAddressLabeledEdit", "Application Start Address",
                                    "Program address, a multiple of 0x800", configGroup);
  MotorProfileStartAddressLabeledEdit = Edit("MotorProfileStartAddressLabeledEdit", "Motor Profiles Start Address",
                                             "Program address, a multiple of 0x800", configGroup);
  for (QLineEdit* e : {AppStartAddressLabeledEdit, MotorProfileStartAddressLabeledEdit}) {
    e->setMaxLength(12);
    e->setFixedWidth(90);
  }
  auto* appLabel = PlainLabel(QStringLiteral("Application Start Address"), "AppStartAddressLabel", configGroup);
  appLabel->setBuddy(AppStartAddressLabeledEdit);
  auto* mpLabel =
      PlainLabel(QStringLiteral("Motor Profiles Start Address"), "MotorProfileStartAddressLabel", configGroup);
  mpLabel->setBuddy(MotorProfileStartAddressLabeledEdit);
  auto* configGrid = new QGridLayout(configGroup);
  configGrid->addWidget(appLabel, 0, 0);
  configGrid->addWidget(mpLabel, 0, 1);
  configGrid->addWidget(AppStartAddressLabeledEdit, 1, 0);
  configGrid->addWidget(MotorProfileStartAddressLabeledEdit, 1, 1);
  configGrid->setColumnStretch(2, 1);

  // "SPL File"
  auto* splGroup = new QGroupBox(QStringLiteral("SPL File"), this);
  splGroup->setObjectName(QStringLiteral("SPLFileGroupBox"));
  SPLFileDirEdit = Edit("SPLFileDirEdit", "Directory", "SPL file directory", splGroup);
  SPLFileDirEdit->setReadOnly(true);
  auto* dirLabel = PlainLabel(QStringLiteral("Directory"), "SPLFileDirLabel", splGroup);
  dirLabel->setBuddy(SPLFileDirEdit);
  SelectSPLFileButton = Button("&Select", "SelectSPLFileButton", "Select SPL file directory", splGroup);
  SPLFileNameEdit = Edit("SPLFileNameEdit", "Name", "SPL file name", splGroup);
  SPLFileNameEdit->setMaxLength(255);
  auto* nameLabel = PlainLabel(QStringLiteral("Name"), "SPLFileNameLabel", splGroup);
  nameLabel->setBuddy(SPLFileNameEdit);
  auto* splGrid = new QGridLayout(splGroup);
  splGrid->addWidget(dirLabel, 0, 0);
  splGrid->addWidget(SPLFileDirEdit, 0, 1);
  splGrid->addWidget(SelectSPLFileButton, 0, 2);
  splGrid->addWidget(nameLabel, 1, 0);
  splGrid->addWidget(SPLFileNameEdit, 1, 1);
  splGrid->setColumnStretch(1, 1);

  // "Firmware Version"
  auto* versionGroup = new QGroupBox(QStringLiteral("Firmware Version"), this);
  versionGroup->setObjectName(QStringLiteral("FirmwareVersionGroupBox"));
  FirmwareVersionEdit = Edit("FirmwareVersionEdit", "Version", "Firmware version, 0 to 255", versionGroup);
  FirmwareVersionEdit->setText(QStringLiteral("0"));
  FirmwareVersionEdit->setMaxLength(12);
  FirmwareVersionEdit->setFixedWidth(60);
  auto* versionLabel = PlainLabel(QStringLiteral("Version"), "FirmwareVersionLabel", versionGroup);
  versionLabel->setBuddy(FirmwareVersionEdit);
  auto* versionRow = new QHBoxLayout(versionGroup);
  versionRow->addWidget(versionLabel);
  versionRow->addWidget(FirmwareVersionEdit);
  versionRow->addStretch(1);

  // "SPL Image"
  auto* imageGroup = new QGroupBox(QStringLiteral("SPL Image"), this);
  imageGroup->setObjectName(QStringLiteral("SPLImageGroupBox"));
  LSRStartAddrLabel = PlainLabel(QStringLiteral("Start Address: 0x00000"), "LSRStartAddrLabel", imageGroup);
  LSRSizeLabel = PlainLabel(QStringLiteral("Size: 0 bytes"), "LSRSizeLabel", imageGroup);
  DeviceTypeLabel = PlainLabel(QStringLiteral("Device Type:"), "DeviceTypeLabel", imageGroup);
  auto* imageCol = new QVBoxLayout(imageGroup);
  imageCol->addWidget(LSRStartAddrLabel);
  imageCol->addWidget(LSRSizeLabel);
  imageCol->addWidget(DeviceTypeLabel);

  DefaultsButton = Button("&Defaults", "DefaultsButton", "Defaults", this);
  CreateLSRFileButton = Button("&Create", "CreateLSRFileButton", "Create", this);
  CloseButton = Button("&Close", "CloseButton", "Close", this);
  // "&Create"/"&Close" and the two "&Select" buttons share their letters, and
  // a key with several owners only moves the focus between them. The first
  // of each pair in the window's order keeps the key and is pressed by it:
  // Alt+C presses "Create", Alt+S the hex file's "Select". The others keep
  // their captions; "Close" is also Escape.
  CloseButton->setShortcut(QKeySequence());
  SelectSPLFileButton->setShortcut(QKeySequence());

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(DefaultsButton);
  buttons->addStretch(1);
  buttons->addWidget(CreateLSRFileButton);
  buttons->addWidget(CloseButton);

  auto* lower = new QHBoxLayout;
  lower->addWidget(versionGroup);
  lower->addWidget(imageGroup, 1);

  auto* root = new QVBoxLayout(this);
  root->addWidget(hexGroup);
  root->addWidget(configGroup);
  root->addWidget(splGroup);
  root->addLayout(lower);
  root->addLayout(buttons);
  root->setSizeConstraint(QLayout::SetFixedSize);

  connect(SelectHexFileButton, &QPushButton::clicked, this, &TCreateSPLFileForm::SelectHexFileButtonClick);
  connect(SelectSPLFileButton, &QPushButton::clicked, this, &TCreateSPLFileForm::SelectSPLFileButtonClick);
  connect(DefaultsButton, &QPushButton::clicked, this, &TCreateSPLFileForm::DefaultsButtonClick);
  connect(CreateLSRFileButton, &QPushButton::clicked, this, &TCreateSPLFileForm::CreateLSRFileButtonClick);
  connect(CloseButton, &QPushButton::clicked, this, &TCreateSPLFileForm::CloseButtonClick);
  for (QLineEdit* e :
       {AppStartAddressLabeledEdit, MotorProfileStartAddressLabeledEdit, SPLFileNameEdit, FirmwareVersionEdit})
    e->installEventFilter(this);

  TakeSettings();
}

TCreateSPLFileForm::~TCreateSPLFileForm() = default;

void TCreateSPLFileForm::TakeSettings() {
  hexFile_ = settings_.hex_file;
  appStartAddress_ = settings_.app_start_address;
  motorProfileStartAddress_ = settings_.motor_profile_start_address;
  splFileDir_ = settings_.spl_file_dir;
}

void TCreateSPLFileForm::ShowSettings() {
  HexFileEdit->setText(Q(hexFile_.empty() ? std::string() : FileNameOf(hexFile_)));
  AppStartAddressLabeledEdit->setText(Q(mv::FormatSplAddress(appStartAddress_)));
  MotorProfileStartAddressLabeledEdit->setText(Q(mv::FormatSplAddress(motorProfileStartAddress_)));
  SPLFileDirEdit->setText(Q(splFileDir_));
}

void TCreateSPLFileForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) {
    CentreOverOwner();
    FormShow();
  }
}

void TCreateSPLFileForm::CentreOverOwner() {
  adjustSize();
  const QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
  if (!owner) return;
  const QRect o = owner->frameGeometry();
  move(o.left() + o.width() / 2 - width() / 2, o.top() + o.height() / 2 - height() / 2);
}

void TCreateSPLFileForm::FormShow() {
  ShowSettings();
  firmwareVersion_ = 0;
  FirmwareVersionEditExit();
}

void TCreateSPLFileForm::SelectHexFileButtonClick() {
  mv::FileDialogOptions options;
  options.title = "Select Intel Hex File";
  options.filter = "Intel Hex Files|*.hex;*.h86";
  options.initialDir = ".";
  if (!hexFile_.empty()) {
    const std::string folder = std::filesystem::path(hexFile_).parent_path().string();
    if (!folder.empty()) options.initialDir = folder;
  }
  options.mustExist = true;
  std::string path;
  if (!prompts_.OpenFile(mv::OwnerOf(this), options, path)) return;
  std::error_code ec;
  const std::filesystem::path full = std::filesystem::absolute(path, ec);
  hexFile_ = ec ? path : full.lexically_normal().string();
  HexFileEdit->setText(Q(FileNameOf(hexFile_)));
}

void TCreateSPLFileForm::AppStartAddressLabeledEditExit() {
  appStartAddress_ = mv::ReadAppStartAddressText(AppStartAddressLabeledEdit->text().toStdString(), appStartAddress_);
  AppStartAddressLabeledEdit->setText(Q(mv::FormatSplAddress(appStartAddress_)));
}

void TCreateSPLFileForm::MotorProfileStartAddressLabeledEditExit() {
  motorProfileStartAddress_ = mv::ReadMotorProfileStartAddressText(
      MotorProfileStartAddressLabeledEdit->text().toStdString(), motorProfileStartAddress_);
  MotorProfileStartAddressLabeledEdit->setText(Q(mv::FormatSplAddress(motorProfileStartAddress_)));
}

void TCreateSPLFileForm::SelectSPLFileButtonClick() {
  // Start in the current folder, or in the folder that holds the chosen one.
  std::string start;
  const std::string shown = SPLFileDirEdit->text().toStdString();
  const std::size_t slash = shown.rfind('/');
  if (!shown.empty() && slash != std::string::npos) {
    start = shown.substr(0, slash + 1);
  } else {
    std::error_code ec;
    start = std::filesystem::current_path(ec).string();
  }
  std::string chosen;
  if (!prompts_.ChooseFolder(mv::OwnerOf(this), "Select SPL File Directory", start, chosen)) return;
  splFileDir_ = chosen;
  SPLFileDirEdit->setText(Q(chosen));
}

void TCreateSPLFileForm::SPLFileNameEditExit() {
  SPLFileNameEdit->setText(Q(mv::SplFileNameWithExtension(SPLFileNameEdit->text().toStdString())));
}

void TCreateSPLFileForm::FirmwareVersionEditExit() {
  firmwareVersion_ = mv::ReadFirmwareVersionText(FirmwareVersionEdit->text().toStdString(), firmwareVersion_);
  FirmwareVersionEdit->setText(QString::number(firmwareVersion_));
}

void TCreateSPLFileForm::DefaultsButtonClick() {
  TakeSettings();
  ShowSettings();
}

void TCreateSPLFileForm::CreateLSRFileButtonClick() {
  // An edit still holding typed text (Create reached by its access key, with
  // the focus left in place) is read first, so the file gets what is shown.
  AppStartAddressLabeledEditExit();
  MotorProfileStartAddressLabeledEditExit();
  SPLFileNameEditExit();
  FirmwareVersionEditExit();

  mv::SplBuildInput in;
  in.hexPath = hexFile_;
  in.appStartAddress = appStartAddress_;
  in.motorProfileStartAddress = motorProfileStartAddress_;
  in.splDir = splFileDir_;
  in.fileName = SPLFileNameEdit->text().toStdString();
  in.firmwareVersion = static_cast<std::uint8_t>(firmwareVersion_);
  in.profiles = profiles_;
  const mv::SplBuildResult r = mv::BuildSplFile(in);

  if (!r.deviceLabel.empty()) DeviceTypeLabel->setText(Q(r.deviceLabel));
  if (!r.startAddressText.empty()) {
    LSRStartAddrLabel->setText(Q(r.startAddressText));
    LSRSizeLabel->setText(Q(r.sizeText));
  }
  if (!r.Ok()) prompts_.ShowMessage(mv::OwnerOf(this), r.message);
  if (!r.copySettingsBack) return;

  settings_.hex_file = hexFile_;
  settings_.app_start_address = appStartAddress_;
  settings_.motor_profile_start_address = motorProfileStartAddress_;
  settings_.spl_file_dir = splFileDir_;

  // The summary lines are joined by a carriage return; a message box breaks
  // lines only at a line feed, so the box is given line feeds.
  std::string text = r.SummaryText();
  for (char& c : text)
    if (c == '\r') c = '\n';
  if (r.fileWritten) text += "\n\nSPL file written: " + r.splPath;
  prompts_.ShowMessage(mv::OwnerOf(this), text);
}

void TCreateSPLFileForm::CloseButtonClick() { reject(); }

bool TCreateSPLFileForm::eventFilter(QObject* watched, QEvent* event) {
  const bool leaving = event->type() == QEvent::FocusOut;
  if (watched == AppStartAddressLabeledEdit) {
    if (leaving || IsEnterKey(event)) AppStartAddressLabeledEditExit();
    if (IsEnterKey(event)) return true;
  } else if (watched == MotorProfileStartAddressLabeledEdit) {
    if (leaving || IsEnterKey(event)) MotorProfileStartAddressLabeledEditExit();
    if (IsEnterKey(event)) return true;
  } else if (watched == SPLFileNameEdit) {
    if (leaving) SPLFileNameEditExit();
  } else if (watched == FirmwareVersionEdit) {
    if (leaving) FirmwareVersionEditExit();
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace mv::ui
