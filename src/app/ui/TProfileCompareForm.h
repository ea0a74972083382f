// The "Compare" window: one profile slot next to the drive's copy of that
// profile and a profile file, field by field in the editors' units, with the
// differences marked. The drive's copy is read into a scratch record (never
// into the slot); the "use" buttons go through the main window's own paths
// (setProfileSlot, "Save Cont", "Save INI"), so every check those make still
// applies.
#pragma once

#include <QColor>
#include <QDialog>
#include <QString>
#include <functional>
#include <string>

#include "core/prompts.h"
#include "link/main_requests.h"
#include "profiles/motor_profile.h"
#include "profiles/profile_compare.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTableWidget;
class QTimer;

namespace mv::ui {

// What the window needs of the main window. Every member must be set.
struct ProfileCompareHooks {
  std::function<const MotorProfile&(int slotIndex)> Slot;                    // read only
  std::function<void(int slotIndex, const MotorProfile& p)> SetProfileSlot;  // setProfileSlot
  std::function<void(int slotIndex)> SaveCont;                               // the slot's "Save Cont"
  // The slot's "Save INI", its dialog and messages raised by `raisedBy`.
  std::function<void(int slotIndex, PromptOwner raisedBy)> SaveINI;
  std::function<bool(int slotIndex)> ReadDrive;  // Get profile into the scratch copy; false when refused
  std::function<const ScratchProfile&()> DriveResult;
  std::function<bool()> LinkBusy;
  Prompts* prompts = nullptr;  // the open dialog and message boxes (raised as this window's)
};

class TProfileCompareForm : public QDialog {
  Q_OBJECT
 public:
  enum Column { DiffColumn = 0, FieldColumn = 1, SlotColumn = 2, DriveColumn = 3, FileColumn = 4, ColumnCount = 5 };
  // Side indexes of the comparison.
  static constexpr int kSlotSide = 0;
  static constexpr int kDriveSide = 1;
  static constexpr int kFileSide = 2;

  TProfileCompareForm(QWidget* owner, ProfileCompareHooks hooks, int slotIndex);

  int SlotIndex() const { return slotIndex_; }
  const ProfileCompare& Comparison() const { return compare_; }
  const std::string& FilePath() const { return filePath_; }

  // Fixed colours of a differing row (any palette, any state).
  static QColor DifferenceBackground() { return QColor(255, 226, 140); }
  static QColor DifferenceText() { return QColor(0, 0, 0); }

  // Handlers.
  void SlotComboBoxChange(int index);
  void ReadDriveButtonClick();
  void OpenFileButtonClick();
  void UseDriveButtonClick();
  void UseFileButtonClick();
  void SaveToDriveButtonClick();
  void SaveToFileButtonClick();
  // Brings the slot side up to date with the slot (also run by a timer).
  void RefreshSlot();

  QComboBox* SlotComboBox;
  QLabel* SlotLabel;
  QPushButton* ReadDriveButton;
  QPushButton* OpenFileButton;
  QLabel* FileLabel;
  QCheckBox* DifferencesOnlyCheckBox;
  QTableWidget* CompareTable;
  QLabel* StatusLabel;
  QPushButton* UseDriveButton;
  QPushButton* UseFileButton;
  QPushButton* SaveToDriveButton;
  QPushButton* SaveToFileButton;
  QPushButton* CloseButton;

 private:
  enum class Waiting { Nothing, DriveRead, SaveThenRead };
  void PollLink();
  void StartDriveRead();
  void DriveReadEnded();
  void ReloadFile();
  void Refresh();
  void UpdateButtons();
  void SetStatus(const QString& text);
  QString Tag() const;

  ProfileCompareHooks hooks_;
  int slotIndex_;
  ProfileCompare compare_;
  bool driveUsable_ = false;
  std::string filePath_;
  Waiting waiting_ = Waiting::Nothing;
  QTimer* linkTimer_;
  QTimer* slotTimer_;
};

}  // namespace mv::ui
