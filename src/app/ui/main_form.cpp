#include "app/ui/main_form.h"

#include <QAccessible>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

#include "app/ui/TProfileCompareForm.h"
#include "app/ui/about_form.h"
#include "app/ui/link_trace_window.h"
#include "app/ui/log_window.h"
#include "control/ui/TControlStatusForm.h"
#include "core/ui/qt_prompts.h"
#include "firmware/ui/TCreateSPLFileForm.h"
#include "profiles/profile_file.h"
#include "profiles/ui/TMotorProfileEditForm.h"
#include "serial/port_info.h"
#include "serial/ui/gui_queue_pump.h"
#include "session/report_line.h"

namespace mv::ui {

namespace {

constexpr int kPanelWidths[TMainForm::kPanelCount] = {140, 20, 50, 20, 50, 22, 50, 27, 50, 33, 50};
const char* const kPanelTexts[TMainForm::kPanelCount] = {"COM Closed", "Tx",   "0", "Rx",   "0", "TO",
                                                         "0",          "Errs", "0", "Busy", "0"};

QString SlotTag(int slotIndex) { return QStringLiteral("P%1").arg(slotIndex + 1, 2, 10, QLatin1Char('0')); }

constexpr const char* kIniFilter = "INI Files|*.ini";

// The width of the widest text a slot's name label can show: the longest name
// and comment of any one printable character, measured in the label's font.
// Only the characters of the widest advance are measured as whole texts
// (shaping a text costs far more than looking up one advance).
int WidestSlotText(const QFontMetrics& fm, const QFontMetricsF& fmf) {
  qreal widestAdvance = 0;
  std::vector<QChar> widestChars;
  for (int c = 0x20; c <= 0xFF; ++c) {
    if (c > 0x7E && c < 0xA0) continue;
    const QChar ch(c);
    const qreal advance = fmf.horizontalAdvance(ch);
    if (advance > widestAdvance + 0.01) {
      widestAdvance = advance;
      widestChars.clear();
    }
    if (advance >= widestAdvance - 0.01) widestChars.push_back(ch);
  }
  int widest = 0;
  for (const QChar ch : widestChars)
    widest = std::max(
        widest, fm.horizontalAdvance(QString(static_cast<qsizetype>(mv::kNameMaxChars), ch) + QStringLiteral(": ") +
                                     QString(static_cast<qsizetype>(mv::kCommentMaxChars), ch)));
  return widest;
}

// The six "Activate" buttons are one exclusive group (each sits in a group
// box of its own): a click never unchecks the checked one, and screen readers
// hear radio buttons. The program unchecks one this way.
void UncheckActivate(QRadioButton* b) {
  QButtonGroup* group = b->group();
  if (group) group->setExclusive(false);
  b->setChecked(false);
  if (group) group->setExclusive(true);
}

// A full path for a name a dialog returned (already absolute from Qt's own dialogs).
std::string AbsolutePath(const std::string& path) {
  return QFileInfo(QString::fromStdString(path)).absoluteFilePath().toStdString();
}

}  // namespace

TMainForm::TMainForm(mv::Prompts* prompts, std::shared_ptr<mv::SerialPlatform> platform, const QString& logFilePath)
    : QMainWindow(nullptr),
      session_(GuiQueue, RxICTOTimer, std::move(platform), this),
      DVXCOMPort(session_.Port()),
      prompts_(prompts) {
  setObjectName(QStringLiteral("MainForm"));
  if (!prompts_) {
    ownPrompts_ = std::make_unique<mv::QtPrompts>();
    prompts_ = ownPrompts_.get();
  }
  pump_ = std::make_unique<mv::GuiQueuePump>(GuiQueue, this);
  session_.SetMainSink(mv::MainResultSink::Bind<&TMainForm::MainRequestEnded>(this));
  session_.OnReport = [this](const mv::PortReport& r) { DVXCOMPortReport(r); };

  // The settings window's size for centring.
  PLKDVX::MeasureCOMDlgInto(DVXCOMPort);
  DVXCOMDlg = new PLKDVX::TDVXCOMDlg(this);
  DVXCOMDlg->setObjectName(QStringLiteral("DVXCOMDlg"));
  DVXCOMDlg->SetTitle(QStringLiteral("COM Port Settings"));
  DVXCOMDlg->SetPort(1);

  LogWindow = new TLogWindow(this, logFilePath);
  for (int i = 0; i < mv::kSlotCount; ++i) profileSlots[i] = mv::MotorProfileDefaults(i);

  BuildMenus();
  BuildStatusBar();
  auto* central = new QWidget(this);
  central->setObjectName(QStringLiteral("ClientArea"));
  auto* lay = new QVBoxLayout(central);
  lay->setContentsMargins(8, 8, 8, 8);
  lay->setSpacing(6);
  lay->addWidget(BuildDriveInfo(central));
  for (int i = 0; i < mv::kSlotCount; ++i) lay->addWidget(BuildSlot(central, i));
  lay->addWidget(BuildProfilesGroup(central));
  RequestResultLabel = new QLabel(central);
  RequestResultLabel->setObjectName(QStringLiteral("RequestResultLabel"));
  RequestResultLabel->setTextFormat(Qt::PlainText);
  RequestResultLabel->setAccessibleDescription(QStringLiteral("How the last request went"));
  // A long text never widens the window; the whole text is its tooltip.
  RequestResultLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  RequestResultLabel->setMinimumHeight(RequestResultLabel->fontMetrics().height());
  lay->addWidget(RequestResultLabel);
  setCentralWidget(central);

  // Single fixed border: system menu and minimise only, no resizing.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  adjustSize();
  setFixedSize(sizeHint());
}

TMainForm::~TMainForm() {
  // The control/status window links its lamps to the port and sends through
  // the engine: it goes before either of them.
  session_.ClearSinks();
  if (ControlStatusForm) {
    ControlStatusForm->SetPort(nullptr);
    delete ControlStatusForm;
    ControlStatusForm = nullptr;
  }
  // It reads the session's recorder: it goes before the session does.
  delete LinkTraceWindow;
  LinkTraceWindow = nullptr;
  // Close the port while the log still exists; the session then stops its
  // events from reaching the engine.
  if (!closed_) DVXCOMPort.Close();
  session_.OnReport = nullptr;
}

// ---------------------------------------------------------------- building

void TMainForm::BuildMenus() {
  MainMenu = menuBar();
  MainMenu->setObjectName(QStringLiteral("MainMenu"));
  auto action = [this](QMenu* menu, const char* name, const QString& text, void (TMainForm::*slot)()) {
    QAction* a = menu->addAction(text);
    a->setObjectName(QString::fromLatin1(name));
    connect(a, &QAction::triggered, this, slot);
    return a;
  };
  File1 = MainMenu->addMenu(QStringLiteral("&File"));
  File1->setObjectName(QStringLiteral("File1"));
  LoadConfig1 = action(File1, "LoadConfig1", QStringLiteral("&Load Config"), &TMainForm::LoadConfig1Click);
  SaveConfig1 = action(File1, "SaveConfig1", QStringLiteral("&Save Config"), &TMainForm::SaveConfig1Click);
  CreateSPLFile1 = action(File1, "CreateSPLFile1", QStringLiteral("&Create SPL File"), &TMainForm::CreateSPLFile1Click);
  Exit1 = action(File1, "Exit1", QStringLiteral("E&xit"), &TMainForm::Exit1Click);
  COM1 = MainMenu->addMenu(QStringLiteral("&COM"));
  COM1->setObjectName(QStringLiteral("COM1"));
  Settings1 = action(COM1, "Settings1", QStringLiteral("&Settings"), &TMainForm::Settings1Click);
  Open1 = action(COM1, "Open1", QStringLiteral("&Open"), &TMainForm::Open1Click);
  Close1 = action(COM1, "Close1", QStringLiteral("&Close"), &TMainForm::Close1Click);
  View1 = MainMenu->addMenu(QStringLiteral("&View"));
  View1->setObjectName(QStringLiteral("View1"));
  ControlStatus1 = action(View1, "ControlStatus1", QStringLiteral("Control/Status"), &TMainForm::ControlStatus1Click);
  Log1 = action(View1, "Log1", QStringLiteral("&Log"), &TMainForm::Log1Click);
  Tools1 = MainMenu->addMenu(QStringLiteral("&Tools"));
  Tools1->setObjectName(QStringLiteral("Tools1"));
  Compare1 = action(Tools1, "Compare1", QStringLiteral("Co&mpare Profiles..."), &TMainForm::Compare1Click);
  LinkTrace1 = action(Tools1, "LinkTrace1", QStringLiteral("&Link Trace"), &TMainForm::LinkTrace1Click);
  Help1 = MainMenu->addMenu(QStringLiteral("&Help"));
  Help1->setObjectName(QStringLiteral("Help1"));
  About1 = action(Help1, "About1", QStringLiteral("&About"), &TMainForm::About1Click);
}

void TMainForm::BuildStatusBar() {
  StatusBar = statusBar();
  StatusBar->setObjectName(QStringLiteral("StatusBar"));
  StatusBar->setSizeGripEnabled(false);
  StatusBar->installEventFilter(this);
  StatusBar->setAccessibleName(QStringLiteral("Status"));
  const QFontMetrics fm = StatusBar->fontMetrics();
  // Widest texts each panel shows; the given widths grow when the font needs it.
  const QString widest[kPanelCount] = {QStringLiteral("COM32: 115200 8 space 1.5"),
                                       QStringLiteral("Tx"),
                                       QStringLiteral("9999999"),
                                       QStringLiteral("Rx"),
                                       QStringLiteral("9999999"),
                                       QStringLiteral("TO"),
                                       QStringLiteral("9999999"),
                                       QStringLiteral("Errs"),
                                       QStringLiteral("9999999"),
                                       QStringLiteral("Busy"),
                                       QStringLiteral("9999999")};
  // A panel is read as it shows ("COM Closed", "Tx", "0"); what it is goes in
  // its description.
  static const char* const descriptions[kPanelCount] = {"Port state",
                                                        "Caption of the frames sent",
                                                        "Frames sent",
                                                        "Caption of the responses received",
                                                        "Responses received",
                                                        "Caption of the response timeouts",
                                                        "Response timeouts",
                                                        "Caption of the errors",
                                                        "Unknown responses, receive errors and breaks",
                                                        "Caption of the requests refused while busy",
                                                        "Requests refused while busy"};
  for (int i = 0; i < kPanelCount; ++i) {
    auto* panel = new QLabel(QString::fromLatin1(kPanelTexts[i]), StatusBar);
    panel->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
    panel->setTextFormat(Qt::PlainText);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setAccessibleDescription(QString::fromLatin1(descriptions[i]));
    panel->setFixedWidth(std::max(kPanelWidths[i], fm.horizontalAdvance(widest[i]) + 10));
    panel->installEventFilter(this);
    StatusBar->addWidget(panel);
    StatusPanels[i] = panel;
  }
}

QWidget* TMainForm::BuildDriveInfo(QWidget* parent) {
  DriveInfoGroupBox = new QGroupBox(QStringLiteral("Drive Information"), parent);
  DriveInfoGroupBox->setObjectName(QStringLiteral("DriveInfoGroupBox"));
  auto* grid = new QGridLayout(DriveInfoGroupBox);
  grid->setHorizontalSpacing(6);
  auto field = [&](QLineEdit*& edit, const char* name, const QString& caption, int row, int col) {
    edit = new QLineEdit(DriveInfoGroupBox);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setReadOnly(true);
    edit->setAccessibleName(caption);
    edit->setMinimumWidth(edit->fontMetrics().horizontalAdvance(QStringLiteral("S00000-00, H00000-000")) + 12);
    auto* label = new QLabel(caption, DriveInfoGroupBox);
    label->setObjectName(QString::fromLatin1(name) + QStringLiteral("Label"));
    label->setBuddy(edit);
    grid->addWidget(edit, row, col);
    grid->addWidget(label, row, col + 1);
  };
  field(NameLabeledEdit, "NameLabeledEdit", QStringLiteral("Name"), 0, 0);
  field(VersionLabeledEdit, "VersionLabeledEdit", QStringLiteral("Version"), 0, 2);
  field(SerialNoLabeledEdit, "SerialNoLabeledEdit", QStringLiteral("Serial No"), 1, 0);
  field(HardwareIdentifierLabeledEdit, "HardwareIdentifierLabeledEdit", QStringLiteral("Hardware ID"), 1, 2);
  GetDriveDataButton = new QPushButton(QStringLiteral("Get"), DriveInfoGroupBox);
  GetDriveDataButton->setObjectName(QStringLiteral("GetDriveDataButton"));
  GetDriveDataButton->setAccessibleName(QStringLiteral("Get"));
  GetDriveDataButton->setAccessibleDescription(QStringLiteral("Get the drive information"));
  connect(GetDriveDataButton, &QPushButton::clicked, this, &TMainForm::GetDriveDataButtonClick);
  grid->addWidget(GetDriveDataButton, 0, 4, 2, 1, Qt::AlignVCenter);
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(3, 1);
  return DriveInfoGroupBox;
}

QWidget* TMainForm::BuildSlot(QWidget* parent, int i) {
  SlotControls& s = Slots[i];
  const QString tag = SlotTag(i);
  s.GroupBox = new QGroupBox(QStringLiteral("Motor Profile ") + tag, parent);
  s.GroupBox->setObjectName(tag + QStringLiteral("GroupBox"));
  auto* row = new QHBoxLayout(s.GroupBox);
  row->setSpacing(4);
  // Heard as the caption and then the slot ("Load INI, P01"): the caption is
  // what a user sees and says; what the button does is its description.
  auto button = [&](QPushButton*& b, const char* suffix, const QString& text, const QString& what) {
    b = new QPushButton(text, s.GroupBox);
    b->setObjectName(tag + QString::fromLatin1(suffix));
    b->setAccessibleName(text + QStringLiteral(", ") + tag);
    b->setAccessibleDescription(what.arg(tag));
    row->addWidget(b);
  };
  button(s.LoadFromINIButton, "LoadFromINIButton", QStringLiteral("Load INI"),
         QStringLiteral("Load a profile file into slot %1"));
  button(s.SaveToINIButton, "SaveToINIButton", QStringLiteral("Save INI"),
         QStringLiteral("Save slot %1 to a profile file"));
  button(s.EditButton, "EditButton", QStringLiteral("Edit"), QStringLiteral("Edit the profile in slot %1"));
  button(s.LoadContButton, "LoadContButton", QStringLiteral("Get Cont"),
         QStringLiteral("Get profile %1 from the controller into the slot"));
  button(s.SaveContButton, "SaveContButton", QStringLiteral("Save Cont"),
         QStringLiteral("Save slot %1 to the controller"));
  s.ActivedRadioButton = new QRadioButton(QStringLiteral("Activate"), s.GroupBox);
  s.ActivedRadioButton->setObjectName(tag + QStringLiteral("ActivedRadioButton"));
  s.ActivedRadioButton->setAccessibleName(QStringLiteral("Activate, ") + tag);
  s.ActivedRadioButton->setAccessibleDescription(QStringLiteral("Activate profile %1 on the controller").arg(tag));
  if (!activateGroup_) activateGroup_ = new QButtonGroup(this);
  activateGroup_->addButton(s.ActivedRadioButton);
  row->addSpacing(6);
  row->addWidget(s.ActivedRadioButton);
  s.NameLabel = new QLabel(QString::fromLatin1(kUndefinedSlotText), s.GroupBox);
  s.NameLabel->setObjectName(tag + QStringLiteral("NameLabel"));
  s.NameLabel->setTextFormat(Qt::PlainText);
  s.NameLabel->setAccessibleDescription(tag + QStringLiteral(" profile name"));
  // Room for the widest name and comment the slot can hold.
  s.NameLabel->setMinimumWidth(WidestSlotText(s.NameLabel->fontMetrics(), QFontMetricsF(s.NameLabel->font())));
  row->addSpacing(6);
  row->addWidget(s.NameLabel, 1);

  connect(s.LoadFromINIButton, &QPushButton::clicked, this, [this, i] { LoadFromINIButtonClick(i); });
  connect(s.SaveToINIButton, &QPushButton::clicked, this, [this, i] { SaveToINIButtonClick(i); });
  connect(s.EditButton, &QPushButton::clicked, this, [this, i] { EditButtonClick(i); });
  connect(s.LoadContButton, &QPushButton::clicked, this, [this, i] { LoadContButtonClick(i); });
  connect(s.SaveContButton, &QPushButton::clicked, this, [this, i] { SaveContButtonClick(i); });
  connect(s.ActivedRadioButton, &QRadioButton::clicked, this, [this, i] { ActivedRadioButtonClick(i); });
  return s.GroupBox;
}

QWidget* TMainForm::BuildProfilesGroup(QWidget* parent) {
  P01P06GroupBox = new QGroupBox(QStringLiteral("Motor Profiles"), parent);
  P01P06GroupBox->setObjectName(QStringLiteral("P01P06GroupBox"));
  auto* row = new QHBoxLayout(P01P06GroupBox);
  auto button = [&](QPushButton*& b, const char* name, const QString& text, void (TMainForm::*slot)()) {
    b = new QPushButton(text, P01P06GroupBox);
    b->setObjectName(QString::fromLatin1(name));
    b->setAccessibleName(text);
    connect(b, &QPushButton::clicked, this, slot);
    row->addWidget(b);
  };
  button(GetP01P06ContButton, "GetP01P06ContButton", QStringLiteral("Get all from Controller"),
         &TMainForm::GetP01P06ContButtonClick);
  button(SetP01P06ContButton, "SetP01P06ContButton", QStringLiteral("Save all to Controller"),
         &TMainForm::SetP01P06ContButtonClick);
  row->addStretch(1);
  button(DeactivateAllButton, "DeactivateAllButton", QStringLiteral("Deactive All"),
         &TMainForm::DeactivateAllButtonClick);
  return P01P06GroupBox;
}

// ---------------------------------------------------------------- window

QString TMainForm::Caption() { return QString::asprintf("%s V%d.%dA", kApplicationName, kVersionMajor, kVersionMinor); }

void TMainForm::FormShow() { setWindowTitle(Caption()); }

void TMainForm::showEvent(QShowEvent* e) {
  FormShow();
  if (!e->spontaneous() && !property("mvCentred").toBool()) {
    setProperty("mvCentred", true);
    if (QScreen* s = screen()) {
      const QRect avail = s->availableGeometry();
      move(avail.center() - QPoint(frameGeometry().width() / 2, frameGeometry().height() / 2));
    }
  }
  QMainWindow::showEvent(e);
}

bool TMainForm::FormCloseQuery() {
  std::string question;
  const std::string& configFileName = session_.ConfigFileName();
  if (configFileName.empty())
    question = "Create a configuration file?";
  else if (ConfigChanged())
    question =
        "Update configuration file " + QFileInfo(QString::fromStdString(configFileName)).fileName().toStdString() + "?";
  if (!question.empty() && prompts_->AskYesNoWarning(mv::OwnerOf(this), question) == mv::PromptAnswer::Yes)
    SaveConfig();
  // The program closes whatever the answer and whether the save went through
  // (a failed save has shown why and left the previous file as it was).
  return true;
}

void TMainForm::FormClose() {
  DVXCOMPort.Close();
  closed_ = true;
}

void TMainForm::closeEvent(QCloseEvent* e) {
  if (!FormCloseQuery()) {
    e->ignore();
    return;
  }
  FormClose();
  LogWindow->close();
  e->accept();
}

bool TMainForm::eventFilter(QObject* watched, QEvent* e) {
  if (e->type() == QEvent::MouseButtonDblClick &&
      (watched == StatusBar || (watched->parent() == StatusBar && qobject_cast<QLabel*>(watched)))) {
    StatusBarDblClick();
    return true;
  }
  return QMainWindow::eventFilter(watched, e);
}

// ---------------------------------------------------------------- status bar

QString TMainForm::PanelText(int panel) const {
  return panel >= 0 && panel < kPanelCount ? StatusPanels[panel]->text() : QString();
}

void TMainForm::SetPanelText(int panel, const QString& text) {
  if (panel >= 0 && panel < kPanelCount) StatusPanels[panel]->setText(text);
}

void TMainForm::SetPortStatusText(const char* text) { SetPanelText(0, QString::fromLatin1(text)); }

void TMainForm::CountersChanged(const mv::LinkCounters& c) {
  SetPanelText(2, QString::number(c.tx));
  SetPanelText(4, QString::number(c.rx));
  SetPanelText(6, QString::number(c.to));
  SetPanelText(8, QString::number(c.errs));
  SetPanelText(10, QString::number(c.busy));
}

void TMainForm::StatusBarDblClick() { session_.Engine().ResetCounters(); }

// ---------------------------------------------------------------- port and engine

bool TMainForm::SendRequest(const mv::RequestStep* steps, std::uint32_t count) {
  return session_.Engine().SendRequest(steps, count);
}

void TMainForm::DVXCOMPortReport(const mv::PortReport& r) {
  // The receive worker ends when the device has gone (adapter unplugged).
  if (r.code == PLKDVX::rcDeviceGone && DVXCOMPort.GetOpened())
    SetPanelText(0, QString::fromStdString(mv::DeviceRemovedText(DVXCOMPort.GetPort())));
  LogWindow->AddReportLine(mv::ReportLine(DVXCOMPort.GetPortStr(), r.type, r.func, r.desc, r.file, r.line, r.err) +
                           mv::SystemReason(r.err));
}

// ---------------------------------------------------------------- menu

void TMainForm::Open1Click() {
  if (DVXCOMPort.GetOpened()) return;
  OpenPortAndShowState();
}

void TMainForm::OpenPortAndShowState() {
  StatusPanels[0]->setToolTip(QString());
  session_.Open();
  if (DVXCOMPort.GetOpened()) {
    SetPanelText(0, QString::asprintf("COM%d: %s %s %s %s", DVXCOMPort.GetPort(), DVXCOMPort.GetBaudRateStr().c_str(),
                                      DVXCOMPort.GetDataBitsStr().c_str(), DVXCOMPort.GetParityStr().c_str(),
                                      DVXCOMPort.GetStopBitsStr().c_str()));
  } else {
    SetPanelText(0, QStringLiteral("COM Closed"));
    // Why, and what to do: below the box's first line when the device is
    // there but could not be had, and always on panel 0's tooltip.
    StatusPanels[0]->setToolTip(QString::fromStdString(
        mv::OpenFailureDetails(DVXCOMPort.GetPort(), DVXCOMPort.DevicePath(), session_.OpenError())));
    prompts_->ShowMessage(mv::OwnerOf(this),
                          mv::OpenFailureMessage(DVXCOMPort.GetPort(), DVXCOMPort.DevicePath(), session_.OpenError()));
  }
}

void TMainForm::Close1Click() {
  if (!DVXCOMPort.GetOpened()) return;
  DVXCOMPort.Close();
  SetPanelText(0, QStringLiteral("COM closed"));
}

void TMainForm::Settings1Click() {
  DVXCOMDlg->SetPort(DVXCOMPort.GetPort());
  DVXCOMDlg->SetBaudRate(DVXCOMPort.GetBaudRate());
  DVXCOMDlg->SetDataBits(DVXCOMPort.GetDataBits());
  DVXCOMDlg->SetParity(DVXCOMPort.GetParity());
  DVXCOMDlg->SetStopBits(DVXCOMPort.GetStopBits());
  const QRect frame = frameGeometry();
  const int x = frame.left() + frame.width() / 2 - DVXCOMPort.GetCOMDlgWidth() / 2;
  const int y = frame.top() + frame.height() / 2 - DVXCOMPort.GetCOMDlgHeight() / 2;
  DVXCOMDlg->Execute(x, y);
  DVXCOMPort.SetPort1(DVXCOMDlg->GetPort());
  DVXCOMPort.SetBaudRate(DVXCOMDlg->GetBaudRate());
  DVXCOMPort.SetDataBits(DVXCOMDlg->GetDataBits());
  DVXCOMPort.SetParity(DVXCOMDlg->GetParity());
  DVXCOMPort.SetStopBits(DVXCOMDlg->GetStopBits());
}

void TMainForm::Exit1Click() { close(); }

void TMainForm::Compare1Click() {
  mv::ui::ProfileCompareHooks h;
  h.Slot = [this](int i) -> const mv::MotorProfile& { return ProfileSlot(i); };
  h.SetProfileSlot = [this](int i, const mv::MotorProfile& p) { setProfileSlot(i, p); };
  h.SaveCont = [this](int i) { SaveContButtonClick(i); };
  h.SaveINI = [this](int i, mv::PromptOwner raisedBy) { SaveSlotToFile(i, raisedBy); };
  h.ReadDrive = [this](int i) { return session_.Main().GetProfileToScratch(i) == mv::RequestOutcome::Pending; };
  h.DriveResult = [this]() -> const mv::ScratchProfile& { return session_.Main().Scratch(); };
  h.LinkBusy = [this] { return session_.Engine().Busy(); };
  h.prompts = prompts_;
  mv::ui::TProfileCompareForm form(this, std::move(h), 0);
  form.exec();
}

void TMainForm::LinkTrace1Click() {
  if (LinkTraceWindow == nullptr) LinkTraceWindow = new TLinkTraceWindow(this, session_.Recorder(), *prompts_);
  LinkTraceWindow->show();
  LinkTraceWindow->raise();
  LinkTraceWindow->activateWindow();
}

void TMainForm::Log1Click() {
  LogWindow->show();
  LogWindow->raise();
  LogWindow->activateWindow();
}

void TMainForm::About1Click() {
  TAboutForm about(this);
  about.SetCompanyName(QStringLiteral("Morvane"));
  about.SetApplicationName(QString::fromLatin1(kApplicationName));
  about.SetIdentity(QStringLiteral("QRX410Host"));
  about.SetVersion(QString::asprintf("V%d.%dA", kVersionMajor, kVersionMinor));
  about.SetBuildTime(QStringLiteral("16:00"));
  about.SetBuildDate(QStringLiteral("6th April 2023"));
  about.SetNoticeYear(QStringLiteral("2023"));
  about.exec();
}

// ---------------------------------------------------------------- configuration file

void TMainForm::LoadConfig1Click() {
  mv::FileDialogOptions options;
  options.title = "Load Configuration File";
  options.filter = kIniFilter;
  options.initialDir = ".";
  options.mustExist = true;
  std::string path;
  if (!prompts_->OpenFile(mv::OwnerOf(this), options, path)) return;
  LoadConfigFile(path);
}

bool TMainForm::LoadConfigFile(const std::string& path) {
  std::string message;
  if (!session_.LoadConfig(AbsolutePath(path), message)) {
    prompts_->ShowMessage(mv::OwnerOf(this), message);
    return false;
  }
  OpenPortAndShowState();
  return true;
}

void TMainForm::SaveConfig1Click() { SaveConfig(); }

bool TMainForm::SaveConfig() {
  std::string path = session_.ConfigFileName();
  if (path.empty()) {
    mv::FileDialogOptions options;
    options.title = "Save Configuration File";
    options.filter = kIniFilter;
    options.initialDir = ".";
    options.defaultExt = "ini";
    options.confirmOverwrite = false;
    if (!prompts_->SaveFile(mv::OwnerOf(this), options, path)) return false;
    path = AbsolutePath(path);
  }
  std::string message;
  if (!session_.SaveConfig(path, message)) {
    // Nothing was written: the name and the saved copy stay as they were,
    // so the exit question still offers the save.
    prompts_->ShowMessage(mv::OwnerOf(this), message);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- other windows

void TMainForm::CreateSPLFile1Click() {
  TCreateSPLFileForm form(this, session_.Builder(), profileSlots, *prompts_);
  form.exec();
}

void TMainForm::CreateControlStatusForm() {
  if (ControlStatusForm) return;
  ControlStatusForm = new TControlStatusForm(this);
  ControlStatusForm->setObjectName(QStringLiteral("ControlStatusForm"));
  ControlStatusForm->SetPort(&DVXCOMPort);
  ControlStatusForm->SetRequests(session_.Control());
  ControlStatusForm->SetPrompts(prompts_);
  // Its own link trace window: the main window's takes no input while
  // Control/Status is modal.
  ControlStatusForm->SetTraceMaker([this](QWidget* owner) -> QWidget* {
    auto* trace = new TLinkTraceWindow(owner, session_.Recorder(), *prompts_);
    trace->SetCentredOverOwner(false);
    return trace;
  });
  ControlStatusForm->hide();
}

void TMainForm::ControlStatus1Click() {
  CreateControlStatusForm();
  ControlStatusForm->exec();
}

// ---------------------------------------------------------------- drive and slots

void TMainForm::GetDriveDataButtonClick() { session_.Main().GetDriveData(); }
void TMainForm::GetP01P06ContButtonClick() { session_.Main().GetAllProfiles(); }
void TMainForm::SetP01P06ContButtonClick() { session_.Main().SaveAllProfiles(profileSlots); }

void TMainForm::DeactivateAllButtonClick() {
  for (auto& s : Slots) UncheckActivate(s.ActivedRadioButton);
  session_.Main().DeactivateAll();
}

void TMainForm::ActivedRadioButtonClick(int slotIndex) {
  if (slotIndex < 0 || slotIndex >= mv::kSlotCount) return;
  for (int i = 0; i < mv::kSlotCount; ++i)
    if (i != slotIndex) UncheckActivate(Slots[i].ActivedRadioButton);
  session_.Main().Activate(slotIndex);
}

void TMainForm::LoadContButtonClick(int slotIndex) {
  if (slotIndex >= 0 && slotIndex < mv::kSlotCount) session_.Main().GetProfile(slotIndex);
}

void TMainForm::SaveContButtonClick(int slotIndex) {
  if (slotIndex >= 0 && slotIndex < mv::kSlotCount)
    session_.Main().SaveProfile(slotIndex, profileSlots[static_cast<std::size_t>(slotIndex)]);
}

// ---------------------------------------------------------------- profile files and the editor

std::string TMainForm::SlotTitle(const char* verb, int slotIndex) {
  return std::string(verb) + " Motor Profile " + SlotTag(slotIndex).toStdString();
}

void TMainForm::LoadFromINIButtonClick(int slotIndex) {
  if (slotIndex < 0 || slotIndex >= mv::kSlotCount) return;
  mv::FileDialogOptions options;
  options.title = SlotTitle("Load", slotIndex);
  options.filter = kIniFilter;
  options.defaultExt = "ini";
  options.initialDir = ".";
  options.mustExist = true;
  std::string path;
  if (!prompts_->OpenFile(mv::OwnerOf(this), options, path)) return;
  mv::MotorProfile record;
  std::string message;
  if (!mv::readMotorProfileFile(path, record, message)) {
    prompts_->ShowMessage(mv::OwnerOf(this), mv::RefusedProfileFileMessage(message, path));
    return;
  }
  setProfileSlot(slotIndex, record);
}

void TMainForm::SaveToINIButtonClick(int slotIndex) { SaveSlotToFile(slotIndex, mv::OwnerOf(this)); }

void TMainForm::SaveSlotToFile(int slotIndex, mv::PromptOwner raisedBy) {
  if (slotIndex < 0 || slotIndex >= mv::kSlotCount) return;
  mv::FileDialogOptions options;
  options.title = SlotTitle("Save", slotIndex);
  options.defaultExt = "ini";
  options.confirmOverwrite = true;
  std::string path;
  if (!prompts_->SaveFile(raisedBy, options, path)) return;
  std::string message;
  if (!mv::writeMotorProfileFile(path, profileSlots[static_cast<std::size_t>(slotIndex)], message)) {
    prompts_->ShowMessage(raisedBy, message);
    return;
  }
  TellResult(QStringLiteral("Save INI %1: written to %2").arg(SlotTag(slotIndex), QString::fromStdString(path)));
}

void TMainForm::EditButtonClick(int slotIndex) {
  if (slotIndex < 0 || slotIndex >= mv::kSlotCount) return;
  const auto i = static_cast<std::size_t>(slotIndex);
  // The editor reads the slot itself (its "Defaults" sees a profile that
  // arrived from the drive meanwhile) and never writes to it.
  mv::ui::TMotorProfileEditForm editor(this, slotIndex + 1, profileSlots[i]);
  if (editor.exec() != QDialog::Accepted) return;
  profileSlots[i] = editor.EditedProfile();
  Slots[i].NameLabel->setText(QString::fromLatin1(profileSlots[i].Name().c_str()) + QStringLiteral(": ") +
                              QString::fromLatin1(profileSlots[i].Comment().c_str()));
}

void TMainForm::setProfileSlot(int index, const mv::MotorProfile& profile) {
  if (index < 0 || index >= mv::kSlotCount) return;
  profileSlots[index] = profile;
  QString text = QString::fromLatin1(profile.Name().c_str());
  const std::string comment = profile.Comment();
  if (!comment.empty()) text += QStringLiteral(": ") + QString::fromLatin1(comment.c_str());
  Slots[index].NameLabel->setText(text);
}

const mv::MotorProfile& TMainForm::ProfileSlot(int index) const {
  return profileSlots[index >= 0 && index < mv::kSlotCount ? index : 0];
}

// ---------------------------------------------------------------- drive fields and messages

void TMainForm::MainRequestEnded(const mv::MainResult& r) {
  using mv::MainRequestKind;
  const int slot = r.slot;
  const QString tag = slot >= 0 && slot < mv::kSlotCount ? SlotTag(slot) : QString();
  QString caption;
  switch (r.kind) {
    case MainRequestKind::DriveInfo: caption = QStringLiteral("Get (drive information)"); break;
    case MainRequestKind::Activate: caption = QStringLiteral("Activate ") + tag; break;
    case MainRequestKind::DeactivateAll: caption = QStringLiteral("Deactive All"); break;
    case MainRequestKind::GetProfile: caption = QStringLiteral("Get Cont ") + tag; break;
    case MainRequestKind::SaveProfile: caption = QStringLiteral("Save Cont ") + tag; break;
    case MainRequestKind::GetAllProfiles: caption = QStringLiteral("Get all from Controller"); break;
    case MainRequestKind::SaveAllProfiles: caption = QStringLiteral("Save all to Controller"); break;
    case MainRequestKind::ReadProfile: return;  // the compare window says it
  }
  // What the answers brought, unless they may have been another request's.
  if (r.end.trusted) {
    const mv::DriveIdentity& id = r.identity;
    QLineEdit* fields[] = {NameLabeledEdit, VersionLabeledEdit, SerialNoLabeledEdit, HardwareIdentifierLabeledEdit};
    for (int f = 0; f < mv::DriveIdentity::kFieldCount; ++f) {
      const auto field = static_cast<mv::DriveIdentity::Field>(f);
      if (id.Has(field)) fields[f]->setText(QString::fromLatin1(id.Text(field)));
    }
    for (int i = 0; i < mv::kSlotCount; ++i)
      if (r.slotOutcome[static_cast<std::size_t>(i)] == mv::SlotOutcome::Received)
        setProfileSlot(i, r.profiles[static_cast<std::size_t>(i)]);
  }
  if (r.end.outcome == mv::RequestOutcome::RefusedPortClosed) {
    TellResult(caption + QStringLiteral(": ") + QString::fromLatin1(mv::kPortNotOpenedText));
    return;
  }
  if (!r.Completed() || !r.end.trusted) {
    TellResult(caption + QStringLiteral(": ") + QString::fromStdString(mv::OutcomeWords(r.end)));
    return;
  }
  // The drive's own refusals and unreadable profiles: a box each.
  bool boxes = false;
  for (int i = 0; i < mv::kSlotCount; ++i) {
    char text[96];
    if (!mv::SlotMessage(r, i, text, sizeof text)) continue;
    ShowMessage(text);
    boxes = true;
  }
  if (boxes) {
    TellResult(caption + QStringLiteral(": not every profile went through"));
  } else if (r.kind == MainRequestKind::SaveProfile) {
    TellResult(caption + QStringLiteral(": saved by the drive"));
  } else if (r.kind == MainRequestKind::GetProfile) {
    TellResult(r.slotOutcome[static_cast<std::size_t>(slot)] == mv::SlotOutcome::Received
                   ? caption + QStringLiteral(": received")
                   : caption + QStringLiteral(": the drive answered with another slot's profile"));
  } else {
    TellResult(QString());
  }
}

void TMainForm::TellResult(const QString& text) {
  RequestResultLabel->setText(text);
  RequestResultLabel->setToolTip(text);
  if (text.isEmpty()) return;
  // Heard wherever the focus is.
  QAccessibleEvent alert(RequestResultLabel, QAccessible::Alert);
  QAccessible::updateAccessibility(&alert);
}
// A drive's answer can arrive while another window is in front (the compare
// window's "Slot → Drive", the control/status window): its message belongs
// to the modal window the user is in, else to this one.
void TMainForm::ShowMessage(const char* text) {
  QWidget* modal = QApplication::activeModalWidget();
  prompts_->ShowMessage(mv::OwnerOf(modal ? modal : this), text);
}

}  // namespace mv::ui
