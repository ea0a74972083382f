// The main window: owns the serial port, the request engine, the six profile
// slots, the image-builder settings and the configuration file name for the
// whole run. Shows the drive's identity, one row of controls per slot, the
// port state and link counters in the status bar, and the menus that reach
// every other window.
#pragma once

#include <QAction>
#include <QButtonGroup>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "core/prompts.h"
#include "core/ui/qt_timer.h"
#include "link/engine.h"
#include "link/main_requests.h"
#include "profiles/motor_profile.h"
#include "serial/TDVXCOMPort.h"
#include "serial/gui_queue.h"
#include "serial/ui/TDVXCOMDlg.h"
#include "session/drive_session.h"

namespace mv {
class GuiQueuePump;
}

namespace mv::ui {

class TLogWindow;
class TControlStatusForm;
class TLinkTraceWindow;

class TMainForm : public QMainWindow, private mv::LinkView {
  Q_OBJECT
 public:
  static constexpr const char* kApplicationTitle = "Morvane Controller/Motor Host";
  static constexpr const char* kApplicationName = "Morvane Controller Host";
  static constexpr int kVersionMajor = 1;
  static constexpr int kVersionMinor = 3;
  static constexpr int kPanelCount = 11;
  static constexpr const char* kUndefinedSlotText = "<undefined>";

  // prompts: message boxes and file dialogs (null = Qt's own). platform: the
  // serial devices (null = the POSIX ones). logFilePath: where report lines
  // are appended ("" = no log file).
  explicit TMainForm(mv::Prompts* prompts = nullptr, std::shared_ptr<mv::SerialPlatform> platform = nullptr,
                     const QString& logFilePath = QString());
  ~TMainForm() override;

  // --- what the main window owns ---
  mv::GuiCallQueue GuiQueue;  // the port workers' hand-off to this thread
  mv::QtTimer RxICTOTimer;    // the engine's response timer, created disabled
 private:
  mv::DriveSession session_;  // the port, the engine, the request tables, the configuration
 public:
  PLKDVX::TDVXCOMPort& DVXCOMPort;  // the session's port
  PLKDVX::TDVXCOMDlg* DVXCOMDlg;
  std::array<mv::MotorProfile, mv::kSlotCount> profileSlots;

  // --- engine and configuration ---
  mv::DriveSession& Session() { return session_; }
  const mv::DriveSession& Session() const { return session_; }
  bool SendRequest(const mv::RequestStep* steps, std::uint32_t count);
  mv::RequestSender RequestSender() { return session_.Engine().Sender(); }
  mv::RequestEngine& Engine() { return session_.Engine(); }
  mv::MainRequests& Requests() { return session_.Main(); }
  mv::Prompts& Prompts() { return *prompts_; }

  // --- slots ---
  // Stores a profile in slot 0..5 and shows its name (and ": " comment when
  // there is one) on the slot's label. Other indexes change nothing.
  void setProfileSlot(int index, const mv::MotorProfile& profile);
  const mv::MotorProfile& ProfileSlot(int index) const;

  // --- status bar ---
  QString PanelText(int panel) const;
  void SetPanelText(int panel, const QString& text);

  // --- components of the window ---
  QMenuBar* MainMenu;
  QMenu* File1;
  QMenu* COM1;
  QMenu* View1;
  QMenu* Help1;
  QAction* LoadConfig1;
  QAction* SaveConfig1;
  QAction* CreateSPLFile1;
  QAction* Exit1;
  QAction* Settings1;
  QAction* Open1;
  QAction* Close1;
  QAction* ControlStatus1;
  QAction* Log1;
  QMenu* Tools1;        // "&Tools": additions beyond the drive's own menus
  QAction* Compare1;    // Tools > Compare Profiles...: a slot against the drive and a file
  QAction* LinkTrace1;  // Tools > Link Trace: every frame on the line, live
  QAction* About1;
  QStatusBar* StatusBar;
  std::array<QLabel*, kPanelCount> StatusPanels{};

  QGroupBox* DriveInfoGroupBox;
  QLineEdit* NameLabeledEdit;
  QLineEdit* VersionLabeledEdit;
  QLineEdit* SerialNoLabeledEdit;
  QLineEdit* HardwareIdentifierLabeledEdit;
  QPushButton* GetDriveDataButton;

  struct SlotControls {
    QGroupBox* GroupBox = nullptr;
    QPushButton* LoadFromINIButton = nullptr;
    QPushButton* SaveToINIButton = nullptr;
    QPushButton* EditButton = nullptr;
    QPushButton* LoadContButton = nullptr;
    QPushButton* SaveContButton = nullptr;
    QRadioButton* ActivedRadioButton = nullptr;
    QLabel* NameLabel = nullptr;
  };
  std::array<SlotControls, mv::kSlotCount> Slots;  // P01 .. P06

  QGroupBox* P01P06GroupBox;
  QPushButton* GetP01P06ContButton;
  QPushButton* SetP01P06ContButton;
  QPushButton* DeactivateAllButton;
  // How the last request ended when it did not go well, or what a Save Cont,
  // Get Cont or Save INI did; announced to screen readers as it changes.
  QLabel* RequestResultLabel;

  TLogWindow* LogWindow;
  // Made at its first use and only hidden after it.
  TLinkTraceWindow* LinkTraceWindow = nullptr;
  // Made once at start-up (CreateControlStatusForm) and only hidden after use.
  TControlStatusForm* ControlStatusForm = nullptr;

  // Makes the control/status window (hidden) unless it exists; the program
  // entry calls it right after making the main window.
  void CreateControlStatusForm();

  // --- configuration file ---
  // The save shared by "&Save Config" and the exit question: asks for a file
  // when no configuration file name is known. False when cancelled or when
  // the file could not be written (the reason was shown, nothing changed).
  bool SaveConfig();
  // Whether the port number, baud rate, parity or an image-builder setting
  // differs from what was last loaded or saved (data and stop bits are not compared).
  bool ConfigChanged() const { return session_.ConfigChanged(); }
  // Loads a configuration file: all or nothing, then reopens the port with it.
  // False with the reason shown when the file is refused.
  bool LoadConfigFile(const std::string& path);

 public slots:
  // Menu.
  void LoadConfig1Click();
  void SaveConfig1Click();
  void CreateSPLFile1Click();
  void Exit1Click();
  void Settings1Click();
  void Open1Click();
  void Close1Click();
  void ControlStatus1Click();
  void Log1Click();
  void Compare1Click();
  void LinkTrace1Click();
  void About1Click();

  // Drive information and the profile group.
  void GetDriveDataButtonClick();
  void GetP01P06ContButtonClick();
  void SetP01P06ContButtonClick();
  void DeactivateAllButtonClick();

  // Per-slot buttons by slot index 0..5 (the P0n... handlers below forward here).
  void LoadFromINIButtonClick(int slotIndex);
  void SaveToINIButtonClick(int slotIndex);
  void EditButtonClick(int slotIndex);
  void LoadContButtonClick(int slotIndex);
  void SaveContButtonClick(int slotIndex);
  void ActivedRadioButtonClick(int slotIndex);

  // Status bar.
  void StatusBarDblClick();

 public:
  void P01LoadFromINIButtonClick() { LoadFromINIButtonClick(0); }
  void P02LoadFromINIButtonClick() { LoadFromINIButtonClick(1); }
  void P03LoadFromINIButtonClick() { LoadFromINIButtonClick(2); }
  void P04LoadFromINIButtonClick() { LoadFromINIButtonClick(3); }
  void P05LoadFromINIButtonClick() { LoadFromINIButtonClick(4); }
  void P06LoadFromINIButtonClick() { LoadFromINIButtonClick(5); }
  void P01SaveToINIButtonClick() { SaveToINIButtonClick(0); }
  void P02SaveToINIButtonClick() { SaveToINIButtonClick(1); }
  void P03SaveToINIButtonClick() { SaveToINIButtonClick(2); }
  void P04SaveToINIButtonClick() { SaveToINIButtonClick(3); }
  void P05SaveToINIButtonClick() { SaveToINIButtonClick(4); }
  void P06SaveToINIButtonClick() { SaveToINIButtonClick(5); }
  void P01EditButtonClick() { EditButtonClick(0); }
  void P02EditButtonClick() { EditButtonClick(1); }
  void P03EditButtonClick() { EditButtonClick(2); }
  void P04EditButtonClick() { EditButtonClick(3); }
  void P05EditButtonClick() { EditButtonClick(4); }
  void P06EditButtonClick() { EditButtonClick(5); }
  void P01LoadContButtonClick() { LoadContButtonClick(0); }
  void P02LoadContButtonClick() { LoadContButtonClick(1); }
  void P03LoadContButtonClick() { LoadContButtonClick(2); }
  void P04LoadContButtonClick() { LoadContButtonClick(3); }
  void P05LoadContButtonClick() { LoadContButtonClick(4); }
  void P06LoadContButtonClick() { LoadContButtonClick(5); }
  void P01SaveContButtonClick() { SaveContButtonClick(0); }
  void P02SaveContButtonClick() { SaveContButtonClick(1); }
  void P03SaveContButtonClick() { SaveContButtonClick(2); }
  void P04SaveContButtonClick() { SaveContButtonClick(3); }
  void P05SaveContButtonClick() { SaveContButtonClick(4); }
  void P06SaveContButtonClick() { SaveContButtonClick(5); }
  void P01ActivedRadioButtonClick() { ActivedRadioButtonClick(0); }
  void P02ActivedRadioButtonClick() { ActivedRadioButtonClick(1); }
  void P03ActivedRadioButtonClick() { ActivedRadioButtonClick(2); }
  void P04ActivedRadioButtonClick() { ActivedRadioButtonClick(3); }
  void P05ActivedRadioButtonClick() { ActivedRadioButtonClick(4); }
  void P06ActivedRadioButtonClick() { ActivedRadioButtonClick(5); }

  // The port's reports (GUI thread): each goes to the log.
  void DVXCOMPortReport(const mv::PortReport& report);

  // Window events.
  void FormShow();
  // Whether the window may close; the configuration file question goes here.
  bool FormCloseQuery();
  void FormClose();

  // The caption text shown once the window is shown.
  static QString Caption();

 protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  // mv::LinkView
  void SetPortStatusText(const char* text) override;
  void CountersChanged(const mv::LinkCounters& counters) override;
  // A drive's message box, raised by the modal window in front.
  void ShowMessage(const char* text);
  // Shows what the drive's answers brought and says how a request ended.
  void MainRequestEnded(const mv::MainResult& result);
  // Says it on RequestResultLabel and to screen readers.
  void TellResult(const QString& text);

  void BuildMenus();
  void BuildStatusBar();
  QWidget* BuildDriveInfo(QWidget* parent);
  QWidget* BuildSlot(QWidget* parent, int slotIndex);
  QWidget* BuildProfilesGroup(QWidget* parent);
  void OpenPortAndShowState();
  // "Save INI" of a slot with its dialog and messages raised by `raisedBy`.
  void SaveSlotToFile(int slotIndex, mv::PromptOwner raisedBy);
  static std::string SlotTitle(const char* verb, int slotIndex);

  std::unique_ptr<mv::Prompts> ownPrompts_;
  mv::Prompts* prompts_;
  std::unique_ptr<mv::GuiQueuePump> pump_;
  QButtonGroup* activateGroup_ = nullptr;  // the six "Activate" radio buttons
  bool closed_ = false;
};

}  // namespace mv::ui
