// The modal port settings window: port number (with a present/absent mark and
// the device each number stands for), baud rate, data bits, parity and stop
// bits. It writes the caller's five variables only when closed with OK.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <cstdint>
#include <functional>

#include "serial/port_types.h"

namespace PLKDVX {

enum TCOMDlgReadOnlyAttrib : std::uint8_t { roPort, roBaudRate, roDataBits, roParity, roStopBits };

// A set of TCOMDlgReadOnlyAttrib in one byte (bit n = member with ordinal n).
using TCOMDlgReadOnlyAttribs = std::uint8_t;
constexpr TCOMDlgReadOnlyAttribs RoBit(TCOMDlgReadOnlyAttrib a) { return static_cast<TCOMDlgReadOnlyAttribs>(1u << a); }

// The two port marks, 16 x 16, drawn in code: 0 a green tick, 1 a red cross.
QIcon PortPresentImage();
QIcon PortAbsentImage();

// A combo box that tells before its list drops down.
class DropDownComboBox : public QComboBox {
  Q_OBJECT
 public:
  using QComboBox::QComboBox;
  void showPopup() override;
 signals:
  void DropDown();
};

class TDVXCOMDlgFrm : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kMaxListedPorts = 32;
  // Item data role holding a port item's image index (0 present, 1 absent).
  static constexpr int kImageIndexRole = Qt::UserRole + 1;
  // Item data role holding the USB adapter behind a present port ("" for none).
  static constexpr int kAdapterRole = Qt::UserRole + 2;

  TDVXCOMDlgFrm(QWidget* owner, int left, int top, const QString& caption, TCOMDlgReadOnlyAttribs readOnly,
                int numPorts, int& port, TBaudRate& baudRate, TDataBits& dataBits, TParity& parity,
                TStopBits& stopBits);

  // The presence test and the device path shown per port; tests replace them.
  std::function<bool(int)> PortPresent;
  std::function<std::string(int)> PortPath;
  // The USB adapter description of a device path (sysfs); tests replace it.
  std::function<std::string(const std::string&)> AdapterOf;

  int NumPorts() const { return numPorts_; }

  // Handlers.
  void FormShow();
  void COMPortComboBoxExDropDown();
  void OKButtonClick();
  void DefaultsButtonClick();
  void CancelButtonClick();

  DropDownComboBox* COMPortComboBoxEx;
  QComboBox* BaudRateComboBox;
  QComboBox* DataBitsComboBox;
  QComboBox* ParityComboBox;
  QComboBox* StopBitsComboBox;
  QLabel* COMPortLabel;
  QLabel* BaudRateLabel;
  QLabel* DataBitsLabel;
  QLabel* ParityLabel;
  QLabel* StopBitsLabel;
  QLabel* DeviceLabel;   // the device the selected port number stands for
  QLabel* AdapterLabel;  // the USB adapter of that device, when it is one
  QPushButton* OKButton;
  QPushButton* DefaultsButton;
  QPushButton* CancelButton;

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  void SelectOpeningValues();
  // Marks port n's item: present or absent, its device and adapter.
  void MarkPort(int n);
  void ShowDevice();

  int left_;
  int top_;
  QString caption_;
  TCOMDlgReadOnlyAttribs readOnly_;
  int numPorts_;
  int openPort_;
  int openBaud_;
  int openDataBits_;
  int openParity_;
  int openStopBits_;
  int& port_;
  TBaudRate& baudRate_;
  TDataBits& dataBits_;
  TParity& parity_;
  TStopBits& stopBits_;
};

}  // namespace PLKDVX
