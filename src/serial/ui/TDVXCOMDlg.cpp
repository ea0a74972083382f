#include "serial/ui/TDVXCOMDlg.h"

#include <QApplication>
#include <QWidget>

namespace PLKDVX {

QSize MeasureCOMDlg() {
  int port = 1;
  TBaudRate baud = br9600;
  TDataBits dataBits = db8;
  TParity parity = paNone;
  TStopBits stopBits = sb1;
  TDVXCOMDlgFrm frm(nullptr, 0, 0, QString(), 0, 1, port, baud, dataBits, parity, stopBits);
  frm.PortPresent = nullptr;  // measuring needs no device look-up
  frm.PortPath = nullptr;
  frm.FormShow();
  frm.adjustSize();
  // The window frame is the window manager's; add a typical title bar so the
  // centring accounts for it.
  const QSize client = frm.size();
  const int titleBar = frm.fontMetrics().height() + 12;
  return QSize(client.width() + 2, client.height() + titleBar + 2);
}

void COMDlg(TDVXCOMPort& port, int x, int y, QWidget* owner, const std::function<void(TDVXCOMDlgFrm&)>& onBeforeExec) {
  int n = port.GetPort();
  TBaudRate baud = port.GetBaudRate();
  TDataBits dataBits = port.GetDataBits();
  TParity parity = port.GetParity();
  TStopBits stopBits = port.GetStopBits();
  TDVXCOMDlgFrm frm(owner, x, y, QStringLiteral("COM Port Settings"), 0, port.GetCOMMax(), n, baud, dataBits, parity,
                    stopBits);
  if (onBeforeExec) onBeforeExec(frm);
  if (frm.exec() != QDialog::Accepted) return;
  port.SetPort1(n);
  port.SetBaudRate(baud);
  port.SetDataBits(dataBits);
  port.SetParity(parity);
  port.SetStopBits(stopBits);
}

void MeasureCOMDlgInto(TDVXCOMPort& port) {
  const QSize size = MeasureCOMDlg();
  port.SetCOMDlgSize(size.width(), size.height());
}

TDVXCOMDlg::TDVXCOMDlg(QObject* owner)
    : QObject(owner),
      copyright_(QStringLiteral("Port settings dialog, Morvane serial components")),
      version_(QStringLiteral("1.00")) {
  const QSize size = MeasureCOMDlg();
  dlgHeight_ = size.height();
  dlgWidth_ = size.width();
}

void TDVXCOMDlg::SetCOMMax(int v) {
  if (v < 1 || v > 256 || v == comMax_) return;
  comMax_ = v;
  if (port_ > comMax_) port_ = comMax_;
}

void TDVXCOMDlg::SetPort(int n) {
  if (n < 0 || n > comMax_) return;
  port_ = n;
}

void TDVXCOMDlg::SetBaudRate(int v) {
  if (v < 0 || v > br115200) return;
  baudRate_ = static_cast<TBaudRate>(v);
}

void TDVXCOMDlg::SetDataBits(int v) {
  if (v < 0 || v > db8) return;
  dataBits_ = static_cast<TDataBits>(v);
}

void TDVXCOMDlg::SetParity(int v) {
  if (v < 0 || v > paSpace) return;
  parity_ = static_cast<TParity>(v);
}

void TDVXCOMDlg::SetStopBits(int v) {
  if (v < 0 || v > sb2) return;
  stopBits_ = static_cast<TStopBits>(v);
}

void TDVXCOMDlg::Execute(int x, int y) {
  int port = port_;
  TBaudRate baud = baudRate_;
  TDataBits dataBits = dataBits_;
  TParity parity = parity_;
  TStopBits stopBits = stopBits_;
  QWidget* parent = qobject_cast<QWidget*>(QObject::parent());
  if (!parent) parent = QApplication::activeWindow();
  TDVXCOMDlgFrm frm(parent, x, y, title_, readOnly_, comMax_, port, baud, dataBits, parity, stopBits);
  if (OnBeforeExecute) OnBeforeExecute(frm);
  if (frm.exec() != QDialog::Accepted) return;
  port_ = port;
  baudRate_ = baud;
  dataBits_ = dataBits;
  parity_ = parity;
  stopBits_ = stopBits;
}

}  // namespace PLKDVX
