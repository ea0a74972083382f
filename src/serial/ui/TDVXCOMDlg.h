// The port settings component: keeps a set of port settings and shows the
// settings window on request. Refused property writes are silent.
#pragma once

#include <QObject>
#include <QString>

#include "serial/TDVXCOMPort.h"
#include "serial/port_types.h"
#include "serial/ui/TDVXCOMDlgFrm.h"

namespace PLKDVX {

// The outer size of a settings window made with the default settings, a list
// of one port, an empty caption at 0, 0 (made, measured, destroyed unshown).
QSize MeasureCOMDlg();

// The port object's own settings window: "COM Port Settings" at x, y with the
// port's COMMax and its five settings; only OK applies the chosen values,
// through the port's setters and their rules (no port change while open).
// onBeforeExec, when given, sees the window before it runs.
void COMDlg(TDVXCOMPort& port, int x, int y, QWidget* owner = nullptr,
            const std::function<void(TDVXCOMDlgFrm&)>& onBeforeExec = {});

// Gives the port the settings window's size, for centring it.
void MeasureCOMDlgInto(TDVXCOMPort& port);

class TDVXCOMDlg : public QObject {
  Q_OBJECT
 public:
  explicit TDVXCOMDlg(QObject* owner = nullptr);

  QString GetCopyright() const { return copyright_; }
  QString GetVersion() const { return version_; }
  QString GetTitle() const { return title_; }
  int GetCOMMax() const { return comMax_; }
  int GetPort() const { return port_; }
  TBaudRate GetBaudRate() const { return baudRate_; }
  TDataBits GetDataBits() const { return dataBits_; }
  TParity GetParity() const { return parity_; }
  TStopBits GetStopBits() const { return stopBits_; }
  TCOMDlgReadOnlyAttribs GetReadOnlyAttribs() const { return readOnly_; }

  void SetCopyright(const QString&) {}
  void SetVersion(const QString&) {}
  void SetTitle(const QString& t) { title_ = t; }
  void SetCOMMax(int v);    // 1..256, ignored when equal; pulls Port down to it
  void SetPort(int n);      // 0..COMMax
  void SetBaudRate(int v);  // ordinal 0..10
  void SetDataBits(int v);  // ordinal 0..3
  void SetParity(int v);    // ordinal 0..4
  void SetStopBits(int v);  // ordinal 0..2
  void SetReadOnlyAttribs(TCOMDlgReadOnlyAttribs s) { readOnly_ = s; }

  std::string GetPortStr() const { return std::to_string(port_); }
  std::string GetBaudRateStr() const { return BaudRateStr(baudRate_); }
  std::string GetDataBitsStr() const { return DataBitsStr(dataBits_); }
  std::string GetParityStr() const { return ParityStr(parity_); }
  std::string GetStopBitsStr() const { return StopBitsStr(stopBits_); }

  int GetCOMDlgHeight() const { return dlgHeight_; }
  int GetCOMDlgWidth() const { return dlgWidth_; }

  // Shows the settings window with its top-left corner at x, y; the five
  // values are stored back only when it is closed with OK.
  void Execute(int x, int y);

  // Called with the window before it runs (tests drive the window from it).
  std::function<void(TDVXCOMDlgFrm&)> OnBeforeExecute;

 private:
  QString copyright_;
  QString version_;
  QString title_;
  int comMax_ = 32;
  int port_ = 1;
  TBaudRate baudRate_ = br9600;
  TDataBits dataBits_ = db8;
  TParity parity_ = paNone;
  TStopBits stopBits_ = sb1;
  TCOMDlgReadOnlyAttribs readOnly_ = 0;
  int dlgHeight_ = 0;
  int dlgWidth_ = 0;
};

}  // namespace PLKDVX
