// The SPL file window: picks the firmware's Intel HEX file, the two start
// addresses, the SPL folder, file name and firmware version, and builds a new
// SPL file holding the six motor profiles. It works on copies of the main
// window's image-builder settings and copies them back after a build. Its
// dialogs and message boxes are raised as its own (it stays on top).
//
// Made for each use and shown modally:
//   TCreateSPLFileForm form(this, {hex_file, app_start_address,
//                           motor_profile_start_address, spl_file_dir},
//                           profileSlots, Prompts());
//   form.exec();
#pragma once

#include <QDialog>
#include <array>
#include <cstdint>
#include <string>

#include "core/prompts.h"
#include "firmware/spl_builder.h"
#include "profiles/motor_profile.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace mv::ui {

class TCreateSPLFileForm : public QDialog {
  Q_OBJECT

 public:
  TCreateSPLFileForm(QWidget* owner, mv::ImageBuilderSettings& settings,
                     const std::array<mv::MotorProfile, mv::kSlotCount>& profiles, mv::Prompts& prompts);
  ~TCreateSPLFileForm() override;

  // Working values (what a build would use now).
  const std::string& HexFilePath() const { return hexFile_; }
  std::uint32_t AppStartAddress() const { return appStartAddress_; }
  std::uint32_t MotorProfileStartAddress() const { return motorProfileStartAddress_; }
  const std::string& SplFileDir() const { return splFileDir_; }
  std::uint32_t FirmwareVersion() const { return firmwareVersion_; }

 public slots:
  void FormShow();
  void SelectHexFileButtonClick();
  void AppStartAddressLabeledEditExit();
  void MotorProfileStartAddressLabeledEditExit();
  void SelectSPLFileButtonClick();
  void SPLFileNameEditExit();
  void FirmwareVersionEditExit();
  void DefaultsButtonClick();
  void CreateLSRFileButtonClick();
  void CloseButtonClick();

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void TakeSettings();
  void ShowSettings();
  void CentreOverOwner();

  mv::ImageBuilderSettings& settings_;
  const std::array<mv::MotorProfile, mv::kSlotCount>& profiles_;
  mv::Prompts& prompts_;

  std::string hexFile_;
  std::uint32_t appStartAddress_ = mv::kDefaultAppStartAddress;
  std::uint32_t motorProfileStartAddress_ = mv::kDefaultMotorProfileStartAddress;
  std::string splFileDir_;
  std::uint32_t firmwareVersion_ = 0;

  QLineEdit* HexFileEdit = nullptr;
  QPushButton* SelectHexFileButton = nullptr;
  QLineEdit* AppStartAddressLabeledEdit = nullptr;
  QLineEdit* MotorProfileStartAddressLabeledEdit = nullptr;
  QLineEdit* SPLFileDirEdit = nullptr;
  QPushButton* SelectSPLFileButton = nullptr;
  QLineEdit* SPLFileNameEdit = nullptr;
  QLineEdit* FirmwareVersionEdit = nullptr;
  QLabel* LSRStartAddrLabel = nullptr;
  QLabel* LSRSizeLabel = nullptr;
  QLabel* DeviceTypeLabel = nullptr;
  QPushButton* DefaultsButton = nullptr;
  QPushButton* CreateLSRFileButton = nullptr;
  QPushButton* CloseButton = nullptr;
};

}  // namespace mv::ui
